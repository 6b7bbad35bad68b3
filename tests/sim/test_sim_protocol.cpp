// Connection handling and command answers of the simulator, over loopback.
#include <regex>
#include <set>

#include "orvane/sim/testing.hpp"
#include "sim/sim_client.hpp"

using namespace simtest;
using orvane::sim::SimulatorConfig;
namespace err = orvane::sim::error_id;

namespace {

// Every colon outside strings has a space on both sides, every comma a space after it.
bool controller_spacing(const std::string& line) {
  bool in_string = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"' && (i == 0 || line[i - 1] != '\\')) in_string = !in_string;
    if (in_string) continue;
    if (c == ':' && (i == 0 || line[i - 1] != ' ' || i + 1 >= line.size() || line[i + 1] != ' ')) return false;
    if (c == ',' && (i + 1 >= line.size() || line[i + 1] != ' ')) return false;
  }
  return true;
}

}  // namespace

TEST(SimHandshake, ConnectAnswersDataPortAndServerClosesControl) {
  auto sim = start_sim();
  for (std::string name : {"FRC_Connect", "FRC_Connect_STMO"}) {
    bool closed = false;
    json answer = connect_control(*sim, name, &closed);
    EXPECT_EQ(answer["Communication"], name);
    EXPECT_EQ(answer["ErrorID"], 0);
    EXPECT_EQ(answer["PortNumber"], sim->data_port());
    EXPECT_EQ(answer["MajorVersion"], 9);
    EXPECT_EQ(answer["MinorVersion"], 0);
    EXPECT_TRUE(closed) << "the controller closes the control connection itself";
  }
  RawClient data;
  ASSERT_TRUE(data.connect(sim->config().address, sim->data_port()));
  EXPECT_TRUE(sim->wait_for_client(kWait));
  EXPECT_EQ(sim->connection_count(), 1u);
  auto lines = sim->received_lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0].channel, "control");
  EXPECT_EQ(lines[0].line, R"({"Communication":"FRC_Connect"})");
}

TEST(SimHandshake, ControlConnectionCanBeKeptOpen) {
  SimulatorConfig cfg;
  cfg.close_control_after_connect = false;
  auto sim = start_sim(cfg);
  RawClient control;
  ASSERT_TRUE(control.connect(sim->config().address, sim->control_port()));
  control.send_line(R"({"Communication":"FRC_Connect"})");
  auto answer = control.read_json();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["ErrorID"], 0);
  EXPECT_FALSE(control.wait_closed(300ms));
  control.send_line("later");
  EXPECT_TRUE(sim->wait_for_line([](const std::string& l) { return l == "later"; }, kWait));
}

TEST(SimHandshake, SecondClientRefusedWhileFirstIsAlive) {
  auto sim = start_sim();
  Session first;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, first));
  json refused = connect_control(*sim);
  EXPECT_EQ(refused["ErrorID"], err::already_connected);
  // A data connection that bypasses the refusal is not served either.
  RawClient intruder;
  ASSERT_TRUE(intruder.connect(sim->config().address, sim->data_port()));
  EXPECT_TRUE(intruder.wait_closed());
  EXPECT_EQ(first.data.command(R"({"Command":"FRC_GetStatus"})")["ErrorID"], 0);
  EXPECT_EQ(sim->connection_count(), 1u);
}

TEST(SimHandshake, ClientThatDroppedItsLinkReconnectsAtOnce) {
  auto sim = start_sim();
  {
    Session first;
    ASSERT_NO_FATAL_FAILURE(open_session(*sim, first));
    first.data.close();  // no FRC_Disconnect
  }
  Session second;  // immediately: the dead session must not block it
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, second));
  EXPECT_EQ(second.data.command(R"({"Command":"FRC_GetStatus"})")["ErrorID"], 0);
  EXPECT_EQ(sim->connection_count(), 2u);
}

TEST(SimHandshake, DisconnectIsAnsweredThenClosed) {
  auto sim = start_sim();
  Session s;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
  json answer = s.data.command(R"({"Communication":"FRC_Disconnect"})");
  EXPECT_EQ(answer["Communication"], "FRC_Disconnect");
  EXPECT_EQ(answer["ErrorID"], 0);
  EXPECT_TRUE(s.data.wait_closed());
  EXPECT_TRUE(sim->wait_for_disconnect(kWait));
  EXPECT_FALSE(sim->status().client_connected);
  Session again;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, again));
}

TEST(SimHandshake, IdleClientGetsTerminateAndIsDropped) {
  SimulatorConfig cfg;
  cfg.idle_timeout = 0.3;
  auto sim = start_sim(cfg);
  Session s;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
  auto line = s.data.read_line();
  ASSERT_TRUE(line);
  EXPECT_EQ(json::parse(*line), json::parse(R"({"Communication":"FRC_Terminate"})"));
  EXPECT_TRUE(s.data.wait_closed());
  EXPECT_TRUE(sim->wait_for_disconnect(kWait));
}

TEST(SimCommands, StatusInControllerFormat) {
  SimulatorConfig cfg;
  cfg.random_seed = 7;
  auto sim = start_sim(cfg);
  Session s;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
  std::set<std::string> orders;
  std::string first_text;
  for (int i = 0; i < 5; ++i) {
    s.data.send_line(R"({"Command":"FRC_GetStatus"})");
    auto line = s.data.read_line();
    ASSERT_TRUE(line);
    if (i == 0) first_text = *line;
    EXPECT_EQ(line->rfind(R"({"Command" : "FRC_GetStatus", )", 0), 0u) << *line;
    EXPECT_TRUE(controller_spacing(*line)) << *line;
    json j = json::parse(*line);
    EXPECT_EQ(j["ErrorID"], 0);
    EXPECT_EQ(j["ServoReady"], 1);
    EXPECT_EQ(j["TPMode"], 0);
    EXPECT_EQ(j["RMIMotionStatus"], 0);
    EXPECT_EQ(j["ProgramStatus"], orvane::sim::program_status_none);
    EXPECT_EQ(j["SingleStepMode"], 0);
    EXPECT_EQ(j["NextSequenceID"], 1);
    EXPECT_EQ(j["Override"], 100);
    EXPECT_TRUE(j["NumberUTool"].is_number_integer());
    EXPECT_TRUE(j["NumberUFrame"].is_number_integer());
    std::string keys;
    const std::regex key(R"re("(\w+)" : )re");
    for (std::sregex_iterator r(line->begin(), line->end(), key), e; r != e; ++r)
      keys += (*r)[1].str() + ",";
    orders.insert(keys);
  }
  EXPECT_GT(orders.size(), 1u) << "member order varies between answers";

  // The same seed gives the same text.
  auto twin = start_sim(cfg);
  Session t;
  ASSERT_NO_FATAL_FAILURE(open_session(*twin, t));
  t.data.send_line(R"({"Command":"FRC_GetStatus"})");
  EXPECT_EQ(t.data.read_line(), first_text);
}

TEST(SimCommands, JointAnglesInBothFormats) {
  SimulatorConfig cfg;
  cfg.initial_position_deg = {12.3456, -0.5, 0.0001948, 0.0, 90.0, -179.9996, 0.0, 0.0, 0.0};
  auto sim = start_sim(cfg);
  Session s;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
  s.data.send_line(R"({"Command":"FRC_ReadJointAngles"})");
  auto line = s.data.read_line();
  ASSERT_TRUE(line);
  EXPECT_TRUE(controller_spacing(*line)) << *line;
  for (std::string expected : {R"("J1" : 12.346)", R"("J2" : -0.500)", R"("J3" : 1.948e-04)", R"("J4" : 0.000)",
                               R"("J5" : 90.000)", R"("J6" : -180.000)"})
    EXPECT_NE(line->find(expected), std::string::npos) << expected << " in " << *line;
  json j = json::parse(*line);
  EXPECT_EQ(j["ErrorID"], 0);
  EXPECT_EQ(j["Group"], 1);
  ASSERT_TRUE(j["TimeTag"].is_number_integer());
  int first_tag = j["TimeTag"];

  sim->set_compact_answers(true);
  s.data.send_line(R"({"Command":"FRC_ReadJointAngles"})");
  line = s.data.read_line();
  ASSERT_TRUE(line);
  EXPECT_EQ(line->find(" : "), std::string::npos) << *line;
  EXPECT_EQ(line->rfind(R"({"Command":"FRC_ReadJointAngles",)", 0), 0u) << *line;
  j = json::parse(*line);
  auto q = joints(j);
  EXPECT_DOUBLE_EQ(q[0], 12.346);
  EXPECT_DOUBLE_EQ(q[2], 1.948e-04);
  EXPECT_DOUBLE_EQ(q[4], 90.0);
  EXPECT_GE(j["TimeTag"].get<int>(), first_tag);
}

TEST(SimCommands, DigitalIoAndOverride) {
  auto sim = start_sim();
  Session s;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
  json din = s.data.command(R"({"Command":"FRC_ReadDIN","PortNumber":5})");
  EXPECT_EQ(din["ErrorID"], 0);
  EXPECT_EQ(din["PortNumber"], 5);
  EXPECT_EQ(din["PortValue"], 0);
  sim->set_digital_input(5, true);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_ReadDIN","PortNumber":5})")["PortValue"], 1);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_ReadDIN","PortNumber":-1})")["ErrorID"], err::invalid_value);
  // Ports are numbered 1 to 32767: an address beyond is refused, never wrapped or stored.
  for (const char* port : {"0", "32768", "1099511627776", "9223372036854775807"}) {
    EXPECT_EQ(s.data.command(std::string(R"({"Command":"FRC_ReadDIN","PortNumber":)") + port + "}")["ErrorID"],
              err::invalid_value) << port;
    EXPECT_EQ(s.data.command(std::string(R"({"Command":"FRC_WriteDOUT","PortValue":"ON","PortNumber":)") + port + "}")["ErrorID"],
              err::invalid_value) << port;
  }
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_WriteDOUT","PortNumber":32767,"PortValue":"ON"})")["ErrorID"], 0);

  EXPECT_FALSE(sim->digital_output(3).has_value());
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_WriteDOUT","PortNumber":3,"PortValue":"ON"})")["ErrorID"], 0);
  EXPECT_EQ(sim->digital_output(3), true);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_WriteDOUT","PortNumber":3,"PortValue":"OFF"})")["ErrorID"], 0);
  EXPECT_EQ(sim->digital_output(3), false);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_WriteDOUT","PortNumber":3,"PortValue":"MAYBE"})")["ErrorID"],
            err::invalid_text_string);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_WriteDOUT","PortNumber":3,"PortValue":1})")["ErrorID"],
            err::invalid_value);
  EXPECT_EQ(sim->digital_output(3), false);

  EXPECT_EQ(s.data.command(R"({"Command":"FRC_SetOverRide","Value":50})")["ErrorID"], 0);
  EXPECT_EQ(sim->status().override_percent, 50);
  for (const char* bad : {"0", "101", "\"50\""})
    EXPECT_EQ(s.data.command(std::string(R"({"Command":"FRC_SetOverRide","Value":)") + bad + "}")["ErrorID"],
              err::invalid_value)
        << bad;
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_GetStatus"})")["Override"], 50);
}

TEST(SimCommands, CommandWhileAnotherIsUnansweredIsRefused) {
  auto sim = start_sim();
  Session s;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
  sim->set_answer_delay(0.3);
  s.data.send_line(R"({"Command":"FRC_GetStatus"})");
  s.data.send_line(R"({"Command":"FRC_ReadJointAngles"})");
  auto first = s.data.read_json();
  auto second = s.data.read_json();
  ASSERT_TRUE(first && second);
  EXPECT_EQ((*first)["Command"], "FRC_GetStatus");
  EXPECT_EQ((*first)["ErrorID"], 0);
  EXPECT_EQ((*second)["Command"], "FRC_ReadJointAngles");
  EXPECT_EQ((*second)["ErrorID"], err::wait_for_command_done);
  EXPECT_TRUE((*second).contains("JointAngle")) << "an error answer still carries all its members";
  sim->set_answer_delay(0.0);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_ReadJointAngles"})")["ErrorID"], 0);
}

TEST(SimCommands, SlowAbortKeepsCommandsWaiting) {
  SimulatorConfig cfg;
  cfg.abort_duration = 0.3;
  auto sim = start_sim(cfg);
  Session s;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"], 0);
  s.data.send_line(R"({"Command":"FRC_Abort"})");
  json refused = s.data.command(R"({"Command":"FRC_GetStatus"})");
  EXPECT_EQ(refused["ErrorID"], err::wait_for_command_done);
  auto abort = s.data.read_until([](const json& j) { return j.value("Command", "") == "FRC_Abort"; });
  ASSERT_TRUE(abort);
  EXPECT_EQ((*abort)["ErrorID"], 0);
  json status = s.data.command(R"({"Command":"FRC_GetStatus"})");
  EXPECT_EQ(status["ErrorID"], 0);
  EXPECT_EQ(status["ProgramStatus"], orvane::sim::program_status_aborted);
}

TEST(SimCommands, UnknownPacketsAreAnsweredAndTheLinkStays) {
  auto sim = start_sim();
  Session s;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
  struct Case {
    const char* line;
    const char* kind;
    int error;
  };
  for (Case c : {Case{R"({"Command":"FRC_Foo"})", "Command", err::invalid_rmi_command},
                 Case{R"({"Command":"FRC_SetPayLoad","ScheduleNumber":2})", "Command", err::invalid_rmi_command},
                 Case{R"({"Communication":"FRC_Hello"})", "Command", err::invalid_rmi_command},
                 Case{R"({"Foo":1})", "Command", err::invalid_text_string},
                 Case{R"({})", "Command", err::invalid_text_string},
                 Case{R"({"Command":17})", "Command", err::invalid_rmi_command},
                 Case{R"([1,2,3])", "Command", err::invalid_rmi_command},
                 Case{R"(not json at all)", "Command", err::invalid_text_string},
                 Case{R"({"Instruction":"FRC_Teleport","SequenceID":3})", "Instruction",
                      err::invalid_rmi_command}}) {
    s.data.send_line(c.line);
    auto j = s.data.read_json();
    ASSERT_TRUE(j) << c.line;
    EXPECT_EQ((*j)[c.kind], "Unknown") << c.line;
    EXPECT_EQ((*j)["ErrorID"], c.error) << c.line;
    if (std::string(c.kind) == "Instruction") EXPECT_EQ((*j)["SequenceID"], 3);
  }
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_GetStatus"})")["ErrorID"], 0);
}

TEST(SimCommands, InitializeRefusalsAndProgramState) {
  auto sim = start_sim();
  Session s;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
  auto init = [&] { return s.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"].get<int>(); };
  auto reset = [&] { return s.data.command(R"({"Command":"FRC_Reset"})")["ErrorID"].get<int>(); };

  sim->set_teach_pendant(true);
  EXPECT_EQ(init(), err::teach_pendant_enabled);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_GetStatus"})")["TPMode"], 1);
  sim->set_teach_pendant(false);
  sim->set_servo_ready(false);
  EXPECT_EQ(init(), err::servo_off);
  sim->set_servo_ready(true);
  sim->set_single_step(true);
  EXPECT_EQ(init(), err::single_step_mode);
  sim->set_single_step(false);

  sim->set_estop(true);
  EXPECT_EQ(init(), err::servo_off);
  EXPECT_NE(reset(), 0) << "the E-stop alarm stays while the button is pressed";
  sim->set_estop(false);
  EXPECT_EQ(init(), err::servo_off) << "released but not reset";
  EXPECT_EQ(reset(), 0);
  EXPECT_TRUE(sim->status().servo_ready);

  json ok = s.data.command(R"({"Command":"FRC_Initialize","GroupMask":1})");
  EXPECT_EQ(ok["ErrorID"], 0);
  EXPECT_EQ(ok["GroupMask"], 1);
  json status = s.data.command(R"({"Command":"FRC_GetStatus"})");
  EXPECT_EQ(status["RMIMotionStatus"], 1);
  EXPECT_EQ(status["ProgramStatus"], orvane::sim::program_status_running);
  EXPECT_EQ(init(), err::program_already_exists);

  // RMI_MOVE stays selected across sessions until it is aborted.
  s.data.command(R"({"Communication":"FRC_Disconnect"})");
  ASSERT_TRUE(sim->wait_for_disconnect(kWait));
  Session next;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, next));
  EXPECT_EQ(next.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"], err::program_already_exists);
  EXPECT_EQ(next.data.command(R"({"Command":"FRC_Abort"})")["ErrorID"], 0);
  EXPECT_EQ(next.data.command(R"({"Command":"FRC_Abort"})")["ErrorID"], err::command_fail);
  EXPECT_EQ(next.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"], 0);
}

TEST(SimCommands, APacketMustNameItsKindFirst) {
  auto sim = start_sim();
  Session s;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"], 0);
  // Valid packets but for the order of their members: not served.
  for (const char* line : {R"({"ErrorID":0,"Command":"FRC_Abort"})",
                           R"({"SequenceID":1,"Instruction":"FRC_WaitTime","Time":0.1})",
                           R"( {"Value":10,"Command":"FRC_SetOverRide"})"}) {
    s.data.send_line(line);
    auto j = s.data.read_json();
    ASSERT_TRUE(j) << line;
    EXPECT_EQ((*j)["Command"], "Unknown") << line;
    EXPECT_EQ((*j)["ErrorID"], err::invalid_text_string) << line;
  }
  json status = s.data.command(R"({"Command":"FRC_GetStatus"})");
  EXPECT_EQ(status["RMIMotionStatus"], 1) << "the abort was not served";
  EXPECT_EQ(status["NextSequenceID"], 1) << "the instruction was not taken";
  EXPECT_EQ(status["Override"], 100);
  // The kind first, then anything in any order; an escaped key is the same key.
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_SetOverRide","Value":10})")["ErrorID"], 0);
  EXPECT_EQ(s.data.command(R"({"\u0043ommand":"FRC_GetStatus"})")["Override"], 10);

  // On the control port too.
  RawClient control;
  ASSERT_TRUE(control.connect(sim->config().address, sim->control_port()));
  control.send_line(R"({"Port":1,"Communication":"FRC_Connect"})");
  auto answer = control.read_json();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["Command"], "Unknown");
  EXPECT_EQ((*answer)["ErrorID"], err::invalid_text_string);
}

TEST(SimCommands, AsciiModePacketsGetTheirOwnError) {
  auto sim = start_sim();
  Session s;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"], 0);
  json a = s.data.command(R"({"Command":"FRC_ASCII","ASCIIString":"J P[1] 100% FINE"})");
  EXPECT_EQ(a["Command"], "FRC_ASCII");
  EXPECT_EQ(a["ErrorID"], err::invalid_ascii_string_packet);
  s.data.send_line(R"({"Instruction":"FRC_AsciiInstruction","SequenceID":1,"ASCIIString":"WAIT 1.00 sec"})");
  auto j = s.data.read_json();
  ASSERT_TRUE(j);
  EXPECT_EQ((*j)["Instruction"], "FRC_AsciiInstruction");
  EXPECT_EQ((*j)["ErrorID"], err::invalid_ascii_string_packet);
  EXPECT_EQ((*j)["SequenceID"], 1);
  EXPECT_EQ(sim->status().next_sequence_id, 1) << "a refusal uses up no SequenceID";
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_Teleport"})")["ErrorID"], err::invalid_rmi_command)
      << "other unknown packets stay unknown";
}

TEST(SimCommands, GroupsAreCheckedAgainstTheOneArm) {
  auto sim = start_sim();
  Session s;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
  for (json mask : {json(2), json(3), json(7), json(0), json("1")}) {
    json a = s.data.command(json{{"Command", "FRC_Initialize"}, {"GroupMask", mask}}.dump());
    EXPECT_EQ(a["ErrorID"], err::invalid_group_mask) << mask.dump();
    EXPECT_TRUE(a.contains("GroupMask")) << a.dump();
  }
  EXPECT_FALSE(sim->status().rmi_running);
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Initialize","GroupMask":1})")["ErrorID"], 0);

  json frame{{"X", 0}, {"Y", 0}, {"Z", 0}, {"W", 0}, {"P", 0}, {"R", 0}};
  const std::vector<json> with_group{
      {{"Command", "FRC_ReadJointAngles"}},
      {{"Command", "FRC_ReadCartesianPosition"}},
      {{"Command", "FRC_GetUFrameUTool"}},
      {{"Command", "FRC_SetUFrameUTool"}, {"UFrameNumber", 0}, {"UToolNumber", 1}},
      {{"Command", "FRC_ReadUFrameData"}, {"FrameNumber", 1}},
      {{"Command", "FRC_WriteUFrameData"}, {"FrameNumber", 1}, {"Frame", frame}},
      {{"Command", "FRC_ReadUToolData"}, {"ToolNumber", 1}},
      {{"Command", "FRC_WriteUToolData"}, {"ToolNumber", 1}, {"Frame", frame}},
      {{"Command", "FRC_ReadPositionRegister"}, {"RegisterNumber", 1}},
      {{"Command", "FRC_WritePositionRegister"}, {"RegisterNumber", 1}, {"JointAngle", {{"J1", 0}, {"J2", 0}, {"J3", 0}, {"J4", 0}, {"J5", 0}, {"J6", 0}}}},
      {{"Command", "FRC_SetPayloadID"}, {"ScheduleNumber", 2}},
      {{"Command", "FRC_SetPayloadValue"}, {"ScheduleNumber", 2}, {"Mass", 1.0}, {"CG_X", 0}, {"CG_Y", 0}, {"CG_Z", 0}},
      {{"Command", "FRC_SetPayloadComp"}, {"ScheduleNumber", 2}, {"Mass", 1.0}, {"CG_X", 0}, {"CG_Y", 0}, {"CG_Z", 0}}};
  for (json request : with_group) {
    for (json group : {json(9), json(2), json(0), json("1")}) {
      request["Group"] = group;
      json a = s.data.command(request.dump());
      EXPECT_EQ(a["ErrorID"], err::invalid_group_number) << request.dump() << " -> " << a.dump();
    }
    request["Group"] = 1;
    json a = s.data.command(request.dump());
    EXPECT_EQ(a["ErrorID"], 0) << request.dump() << " -> " << a.dump();
  }
  // A refused command changes nothing.
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_SetPayloadID","ScheduleNumber":5,"Group":9})")["ErrorID"],
            err::invalid_group_number);
  EXPECT_EQ(sim->status().payload_schedule, 2);
}
