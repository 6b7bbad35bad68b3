// Status, alarms, system variables and payloads over RMI.
#include <cmath>

#include "sim/rmi_client.hpp"

using namespace simtest;
namespace err = orvane::sim::error_id;

namespace {

json read_error(RmiClient& c, int count) { return c.command({{"Command", "FRC_ReadError"}, {"Count", count}}); }

bool is_alarm_text(const json& v) { return v.is_string() && !v.get<std::string>().empty() && v != "No Error"; }

}  // namespace

TEST(SimAlarms, ReadErrorSaysNoErrorThenListsTheAlarmsThatHappened) {
  auto c = RmiClient::start();
  json none = c->command({{"Command", "FRC_ReadError"}});
  EXPECT_EQ(none["ErrorID"], 0) << none.dump();
  EXPECT_EQ(none["ErrorData"], "No Error");
  EXPECT_TRUE(none.contains("Count")) << none.dump();

  // A fault pushed from the pendant, then an E-stop pressed and released.
  c->sim().push_system_fault();
  EXPECT_TRUE(c->link().read_until([](const json& j) { return j.value("Communication", "") == "FRC_SystemFault"; }));
  ASSERT_EQ(c->command({{"Command", "FRC_Reset"}})["ErrorID"], 0);
  c->sim().set_estop(true);
  c->sim().set_estop(false);
  ASSERT_EQ(c->command({{"Command", "FRC_Reset"}})["ErrorID"], 0);

  json two = read_error(*c, 2);
  EXPECT_EQ(two["ErrorID"], 0) << two.dump();
  EXPECT_EQ(two["Count"], 2);
  EXPECT_TRUE(is_alarm_text(two["ErrorData"])) << two.dump();
  EXPECT_TRUE(is_alarm_text(two["ErrorData2"])) << two.dump();
  EXPECT_NE(two["ErrorData"], two["ErrorData2"]) << "two different alarms";
  EXPECT_FALSE(two.contains("ErrorData3"));
  EXPECT_TRUE(is_alarm_text(read_error(*c, 1)["ErrorData"])) << "the history outlives the reset";

  for (int bad : {0, 6}) EXPECT_EQ(read_error(*c, bad)["ErrorID"], err::invalid_value) << bad;
  EXPECT_EQ(c->command({{"Command", "FRC_ReadError"}, {"Count", "2"}})["ErrorID"], err::invalid_value);
}

TEST(SimStatus, ExtendedStatusReportsMotionDrivesAndOverride) {
  auto c = RmiClient::start();
  json x = c->command({{"Command", "FRC_GetExtStatus"}});
  EXPECT_EQ(x["ErrorID"], 0) << x.dump();
  EXPECT_EQ(x["InMotion"], 0);
  EXPECT_EQ(x["DrivesPowered"], 1);
  EXPECT_EQ(x["GenOverride"], 100);

  ASSERT_EQ(c->command({{"Command", "FRC_SetOverRide"}, {"Value", 30}})["ErrorID"], 0);
  EXPECT_EQ(c->command({{"Command", "FRC_GetExtStatus"}})["GenOverride"], 30);

  std::array<double, 9> q{};
  q[0] = 20;
  int seq = c->send({{"Instruction", "FRC_JointMotionJRep"}, {"JointAngle", joint_angle_json(q)}, {"SpeedType", "mSec"},
                     {"Speed", 600}, {"TermType", "FINE"}, {"TermValue", 0}});
  bool seen_moving = false;
  auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!c->answered_within(seq, 0ms) && std::chrono::steady_clock::now() < deadline)
    if (c->command({{"Command", "FRC_GetExtStatus"}}).value("InMotion", 0) == 1) seen_moving = true;
  EXPECT_TRUE(seen_moving);
  EXPECT_EQ(c->await(seq)["ErrorID"], 0);
  EXPECT_EQ(c->command({{"Command", "FRC_GetExtStatus"}})["InMotion"], 0);

  c->sim().set_servo_ready(false);
  EXPECT_EQ(c->command({{"Command", "FRC_GetExtStatus"}})["DrivesPowered"], 0);
}

TEST(SimStatus, SystemVariablesReadAndWrite) {
  auto c = RmiClient::start({}, false);
  json v = c->command({{"Command", "FRC_ReadVariable"}, {"VariableName", "$RMI_CFG.$DISCNT_TIM"}});
  EXPECT_EQ(v["ErrorID"], 0) << v.dump();
  EXPECT_EQ(v["VariableName"], "$RMI_CFG.$DISCNT_TIM");
  EXPECT_EQ(v["VariableType"], "Integer");
  EXPECT_EQ(v["VariableValue"], 60) << "minutes without a packet before the controller drops the link";

  // The general override is a system variable.
  json w = c->command({{"Command", "FRC_WriteVariable"}, {"VariableName", "$MCR.$GENOVERRIDE"},
                       {"VariableType", "Integer"}, {"VariableValue", 40}});
  EXPECT_EQ(w["ErrorID"], 0) << w.dump();
  EXPECT_EQ(c->command({{"Command", "FRC_GetStatus"}})["Override"], 40);
  EXPECT_EQ(c->command({{"Command", "FRC_ReadVariable"}, {"VariableName", "$MCR.$GENOVERRIDE"}})["VariableValue"], 40);

  EXPECT_NE(c->command({{"Command", "FRC_ReadVariable"}, {"VariableName", "$NO_SUCH_VARIABLE"}}).value("ErrorID", 0), 0);
  for (const json& bad : {json{{"Command", "FRC_ReadVariable"}},
                          json{{"Command", "FRC_ReadVariable"}, {"VariableName", "$" + std::string(70, 'A')}},
                          json{{"Command", "FRC_WriteVariable"}, {"VariableName", "$MCR.$GENOVERRIDE"},
                               {"VariableType", "Integer"}, {"VariableValue", 400}},
                          json{{"Command", "FRC_WriteVariable"}, {"VariableName", "$MCR.$GENOVERRIDE"},
                               {"VariableType", "Integer"}}}) {
    EXPECT_EQ(c->command(bad).value("ErrorID", 0), err::invalid_value) << bad.dump();
  }
  EXPECT_EQ(c->command({{"Command", "FRC_GetStatus"}})["Override"], 40) << "refused writes change nothing";
}

TEST(SimStatus, SystemVariablesClientsReadAreKnownAndSettable) {
  orvane::sim::SimulatorConfig cfg;
  cfg.variables["$rmi_cfg.$asbn_enb"] = {false, 1};  // any letter case
  cfg.variables["$MY_CELL.$SPEED"] = {true, 2.5};
  auto c = RmiClient::start(cfg, false);
  auto read = [&](const std::string& name) {
    return c->command({{"Command", "FRC_ReadVariable"}, {"VariableName", name}});
  };
  json com = read("$STMO.$COM_INT");
  EXPECT_EQ(com["ErrorID"], 0) << com.dump();
  EXPECT_EQ(com["VariableType"], "Integer");
  EXPECT_EQ(com["VariableValue"], 8) << "the Stream Motion period in ms";
  EXPECT_EQ(read("$RMI_CFG.$ASBN_ENB")["VariableValue"], 1);
  json mine = read("$my_cell.$speed");
  EXPECT_EQ(mine["VariableType"], "Float");
  EXPECT_DOUBLE_EQ(mine["VariableValue"].get<double>(), 2.5);
  EXPECT_EQ(read("$SCR.$NUM_GROUP")["VariableValue"], 1);

  // Set while the controller runs; a controller setting keeps its type.
  c->sim().set_variable("$STMO.$COM_INT", {false, 4});
  EXPECT_EQ(read("$STMO.$COM_INT")["VariableValue"], 4);
  c->sim().set_variable("$MCR.$GENOVERRIDE", {false, 35});
  EXPECT_EQ(c->command({{"Command", "FRC_GetStatus"}})["Override"], 35);
  for (auto [name, value] : std::vector<std::pair<std::string, orvane::sim::SystemVariable>>{
           {"STMO.$COM_INT", {false, 4}},
           {"$" + std::string(70, 'X'), {false, 1}},
           {"$STMO.$COM_INT", {false, 2.5}},
           {"$STMO.$COM_INT", {false, std::nan("")}},
           {"$MCR.$GENOVERRIDE", {false, 0}},
           {"$SCR.$NUM_GROUP", {false, 2}}})
    EXPECT_THROW(c->sim().set_variable(name, value), std::invalid_argument) << name;
  EXPECT_EQ(read("$STMO.$COM_INT")["VariableValue"], 4) << "refused settings change nothing";

  // Over RMI the period is read, not written; neither is the number of groups.
  for (const char* name : {"$STMO.$COM_INT", "$SCR.$NUM_GROUP"}) {
    json w = c->command({{"Command", "FRC_WriteVariable"}, {"VariableName", name}, {"VariableType", "Integer"},
                         {"VariableValue", 2}});
    EXPECT_EQ(w["ErrorID"], err::invalid_value) << name;
  }
  EXPECT_EQ(read("$STMO.$COM_INT")["VariableValue"], 4);

  orvane::sim::SimulatorConfig bad;
  bad.variables["NO_DOLLAR"] = {false, 1};
  EXPECT_THROW(orvane::sim::ControllerSimulator{bad}, std::invalid_argument);
}

TEST(SimStatus, PayloadCommandsSelectAndDescribeSchedules) {
  auto c = RmiClient::start();
  json a = c->command({{"Command", "FRC_SetPayloadID"}, {"ScheduleNumber", 3}});
  EXPECT_EQ(a["Command"], "FRC_SetPayloadID");
  EXPECT_EQ(a["ErrorID"], 0) << a.dump();
  EXPECT_EQ(c->sim().status().payload_schedule, 3);
  json value{{"Command", "FRC_SetPayloadValue"}, {"ScheduleNumber", 3}, {"Mass", 2.5}, {"CG_X", 0.0},
             {"CG_Y", 0.0},                       {"CG_Z", 50.0},       {"IN_X", 0.01}, {"IN_Y", 0.01},
             {"IN_Z", 0.02}};
  EXPECT_EQ(c->command(value)["ErrorID"], 0);
  json comp = value;
  comp["Command"] = "FRC_SetPayloadComp";
  EXPECT_EQ(c->command(comp)["ErrorID"], 0);
  EXPECT_EQ(c->command({{"Command", "FRC_SetPayloadID"}, {"ScheduleNumber", 0}})["ErrorID"], err::invalid_value);
  value.erase("Mass");
  EXPECT_EQ(c->command(value)["ErrorID"], err::invalid_value);
  value["Mass"] = -1.0;
  EXPECT_EQ(c->command(value)["ErrorID"], err::invalid_value);
  EXPECT_EQ(c->sim().status().payload_schedule, 3);
}
