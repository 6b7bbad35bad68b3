// Controller memory over RMI: numeric and position registers, I/O ports of
// every type and flags. Each value written is read back.
#include <gmock/gmock.h>

#include "sim/rmi_client.hpp"

using namespace simtest;
using ::testing::AnyOf;
namespace err = orvane::sim::error_id;

namespace {

json write_register(RmiClient& c, int n, json value, const std::string& type) {
  return c.command({{"Command", "FRC_WriteRegister"}, {"RegisterNumber", n}, {"RegisterValue", value}, {"DataType", type}});
}
json read_register(RmiClient& c, int n) { return c.command({{"Command", "FRC_ReadRegister"}, {"RegisterNumber", n}}); }
json write_port(RmiClient& c, const std::string& type, int n, json value) {
  return c.command({{"Command", "FRC_WriteIOPort"}, {"PortType", type}, {"PortNumber", n}, {"PortValue", value}});
}
json read_port(RmiClient& c, const std::string& type, int n) {
  return c.command({{"Command", "FRC_ReadIOPort"}, {"PortType", type}, {"PortNumber", n}});
}

}  // namespace

TEST(SimRegisters, IntegerAndRealRegistersReadBackAndOutliveTheConnection) {
  auto c = RmiClient::start({}, false);
  json w = write_register(*c, 5, 42, "Integer");
  EXPECT_EQ(w["Command"], "FRC_WriteRegister");
  EXPECT_EQ(w["ErrorID"], 0) << w.dump();
  json r = read_register(*c, 5);
  EXPECT_EQ(r["ErrorID"], 0) << r.dump();
  EXPECT_EQ(r["DataType"], "Integer");
  ASSERT_TRUE(r["RegisterValue"].is_number_integer()) << r.dump();
  EXPECT_EQ(r["RegisterValue"], 42);

  EXPECT_EQ(write_register(*c, 6, -2.75, "Real")["ErrorID"], 0);
  r = read_register(*c, 6);
  EXPECT_EQ(r["DataType"], "Real");
  EXPECT_DOUBLE_EQ(r["RegisterValue"].get<double>(), -2.75);
  // A register changes type with what is written into it.
  EXPECT_EQ(write_register(*c, 5, 0.5, "Real")["ErrorID"], 0);
  EXPECT_DOUBLE_EQ(read_register(*c, 5)["RegisterValue"].get<double>(), 0.5);
  EXPECT_EQ(write_register(*c, 5, 7, "Integer")["ErrorID"], 0);

  c->reconnect();
  EXPECT_EQ(read_register(*c, 5)["RegisterValue"], 7) << "registers are controller memory";
  EXPECT_DOUBLE_EQ(read_register(*c, 6)["RegisterValue"].get<double>(), -2.75);
}

TEST(SimRegisters, BadRegisterPacketsAreRefusedAndChangeNothing) {
  auto c = RmiClient::start({}, false);
  ASSERT_EQ(write_register(*c, 8, 11, "Integer")["ErrorID"], 0);
  for (const json& bad :
       {json{{"Command", "FRC_WriteRegister"}, {"RegisterNumber", 8}, {"DataType", "Integer"}},  // no value
        json{{"Command", "FRC_WriteRegister"}, {"RegisterNumber", 8}, {"RegisterValue", "12"}, {"DataType", "Integer"}},
        json{{"Command", "FRC_WriteRegister"}, {"RegisterNumber", 8}, {"RegisterValue", 1.5}, {"DataType", "Integer"}},
        json{{"Command", "FRC_WriteRegister"}, {"RegisterNumber", 0}, {"RegisterValue", 1}, {"DataType", "Integer"}},
        json{{"Command", "FRC_WriteRegister"}, {"RegisterNumber", 100000}, {"RegisterValue", 1}, {"DataType", "Integer"}},
        json{{"Command", "FRC_WriteRegister"}, {"RegisterNumber", "8"}, {"RegisterValue", 1}, {"DataType", "Integer"}}}) {
    json a = c->command(bad);
    EXPECT_EQ(a["ErrorID"], err::invalid_value) << bad.dump() << " -> " << a.dump();
  }
  json a = c->command({{"Command", "FRC_WriteRegister"}, {"RegisterNumber", 8}, {"RegisterValue", 1}, {"DataType", "Text"}});
  EXPECT_THAT(a["ErrorID"].get<int>(), AnyOf(err::invalid_value, err::invalid_text_string)) << a.dump();
  EXPECT_EQ(c->command({{"Command", "FRC_ReadRegister"}})["ErrorID"], err::invalid_value);
  EXPECT_EQ(read_register(*c, 0)["ErrorID"], err::invalid_value);
  EXPECT_EQ(read_register(*c, 8)["RegisterValue"], 11);
}

TEST(SimRegisters, PositionRegistersHoldCartesianAndJointPositions) {
  auto c = RmiClient::start({}, false);
  json config{{"UToolNumber", 1}, {"UFrameNumber", 0}, {"Front", 1}, {"Up", 1}, {"Left", 0},
              {"Flip", 0},        {"Turn4", 0},        {"Turn5", 0}, {"Turn6", 0}};
  Xyzwpr p{350.5, -20.25, 240.0, 180.0, 0.0, 30.0};
  json w = c->command({{"Command", "FRC_WritePositionRegister"}, {"RegisterNumber", 3},
                       {"Configuration", config}, {"Position", position_json(p)}});
  EXPECT_EQ(w["ErrorID"], 0) << w.dump();
  EXPECT_EQ(w["RegisterNumber"], 3);
  std::array<double, 9> q{10, -20, 15.5, 0, -45, 90, 0, 0, 0};
  EXPECT_EQ(c->command({{"Command", "FRC_WritePositionRegister"}, {"RegisterNumber", 4},
                        {"JointAngle", joint_angle_json(q)}})["ErrorID"], 0);

  json cart = c->command({{"Command", "FRC_ReadPositionRegister"}, {"RegisterNumber", 3}});
  EXPECT_EQ(cart["ErrorID"], 0) << cart.dump();
  EXPECT_EQ(cart["RegisterNumber"], 3);
  ASSERT_TRUE(cart.contains("Position") && cart.contains("Configuration") && cart.contains("Representation"))
      << cart.dump();
  Xyzwpr back = xyzwpr(cart["Position"]);
  EXPECT_LT(distance_mm(back, p), 1e-3);
  EXPECT_LT(angle_diff_deg(back.w, p.w) + angle_diff_deg(back.p, p.p) + angle_diff_deg(back.r, p.r), 1e-3);
  EXPECT_EQ(cart["Configuration"]["Front"], 1);
  EXPECT_EQ(cart["Configuration"]["UToolNumber"], 1);

  json joint = c->command({{"Command", "FRC_ReadPositionRegister"}, {"RegisterNumber", 4}});
  EXPECT_EQ(joint["ErrorID"], 0) << joint.dump();
  ASSERT_TRUE(joint.contains("JointAngle")) << joint.dump();
  EXPECT_NE(joint["Representation"], cart["Representation"]);
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(joints(joint)[k], q[k], 1e-3) << "J" << k + 1;

  EXPECT_EQ(c->command({{"Command", "FRC_ReadPositionRegister"}, {"RegisterNumber", 0}})["ErrorID"], err::invalid_value);
  EXPECT_EQ(c->command({{"Command", "FRC_WritePositionRegister"}, {"RegisterNumber", 5},
                        {"Position", {{"X", "far"}}}, {"Configuration", config}})["ErrorID"], err::invalid_value);
}

TEST(SimIoPorts, OutputsOfEveryTypeReadBack) {
  auto c = RmiClient::start({}, false);
  json w = write_port(*c, "DO", 3, 1);
  EXPECT_EQ(w["Command"], "FRC_WriteIOPort");
  EXPECT_EQ(w["ErrorID"], 0) << w.dump();
  EXPECT_EQ(c->sim().digital_output(3), true) << "the controller's DO[3] is set";
  json r = read_port(*c, "DO", 3);
  EXPECT_EQ(r["ErrorID"], 0) << r.dump();
  EXPECT_EQ(r["PortType"], "DO");
  EXPECT_EQ(r["PortNumber"], 3);
  EXPECT_EQ(r["PortValue"], 1);
  // FRC_WriteDOUT and FRC_WriteIOPort reach the same outputs.
  ASSERT_EQ(c->command({{"Command", "FRC_WriteDOUT"}, {"PortNumber", 4}, {"PortValue", "ON"}})["ErrorID"], 0);
  EXPECT_EQ(read_port(*c, "DO", 4)["PortValue"], 1);
  EXPECT_EQ(write_port(*c, "DO", 3, 0)["ErrorID"], 0);
  EXPECT_EQ(read_port(*c, "DO", 3)["PortValue"], 0);

  EXPECT_EQ(write_port(*c, "AO", 2, 3.25)["ErrorID"], 0);
  EXPECT_DOUBLE_EQ(read_port(*c, "AO", 2)["PortValue"].get<double>(), 3.25);
  EXPECT_EQ(write_port(*c, "GO", 1, 200)["ErrorID"], 0);
  EXPECT_EQ(read_port(*c, "GO", 1)["PortValue"], 200);
  EXPECT_EQ(write_port(*c, "FLAG", 7, 1)["ErrorID"], 0);
  EXPECT_EQ(read_port(*c, "FLAG", 7)["PortValue"], 1);
  EXPECT_EQ(read_port(*c, "FLAG", 8)["PortValue"], 0);
  EXPECT_EQ(write_port(*c, "RO", 2, 1)["ErrorID"], 0);
  EXPECT_EQ(read_port(*c, "RO", 2)["PortValue"], 1);
  EXPECT_EQ(read_port(*c, "AO", 2)["PortValue"].get<double>(), 3.25) << "one port type does not overwrite another";
}

TEST(SimIoPorts, InputsFollowTheControllerAndCannotBeWritten) {
  auto c = RmiClient::start({}, false);
  EXPECT_EQ(read_port(*c, "DI", 9)["PortValue"], 0);
  c->sim().set_digital_input(9, true);
  json r = read_port(*c, "DI", 9);
  EXPECT_EQ(r["ErrorID"], 0) << r.dump();
  EXPECT_EQ(r["PortValue"], 1);
  EXPECT_EQ(c->command({{"Command", "FRC_ReadDIN"}, {"PortNumber", 9}})["PortValue"], 1);
  for (const char* input : {"DI", "RI", "AI", "GI"}) {
    json a = write_port(*c, input, 9, 0);
    EXPECT_NE(a.value("ErrorID", 0), 0) << input << " is an input: " << a.dump();
  }
  EXPECT_EQ(read_port(*c, "DI", 9)["PortValue"], 1);
}

TEST(SimIoPorts, BadPortPacketsAreRefused) {
  auto c = RmiClient::start({}, false);
  for (const json& bad : {json{{"Command", "FRC_ReadIOPort"}, {"PortType", "XX"}, {"PortNumber", 1}},
                          json{{"Command", "FRC_WriteIOPort"}, {"PortType", "XO"}, {"PortNumber", 1}, {"PortValue", 1}}}) {
    json a = c->command(bad);
    EXPECT_THAT(a.value("ErrorID", 0), AnyOf(err::invalid_value, err::invalid_text_string)) << a.dump();
  }
  for (const json& bad : {json{{"Command", "FRC_ReadIOPort"}, {"PortType", "DO"}},
                          json{{"Command", "FRC_ReadIOPort"}, {"PortNumber", 1}},
                          json{{"Command", "FRC_ReadIOPort"}, {"PortType", "DO"}, {"PortNumber", 0}},
                          json{{"Command", "FRC_ReadIOPort"}, {"PortType", "DO"}, {"PortNumber", "1"}},
                          json{{"Command", "FRC_WriteIOPort"}, {"PortType", "DO"}, {"PortNumber", 1}},
                          json{{"Command", "FRC_WriteIOPort"}, {"PortType", "AO"}, {"PortNumber", 1}, {"PortValue", "1.5"}}}) {
    json a = c->command(bad);
    EXPECT_EQ(a.value("ErrorID", 0), err::invalid_value) << bad.dump() << " -> " << a.dump();
  }
  EXPECT_EQ(read_port(*c, "AO", 1)["PortValue"].get<double>(), 0.0);
  EXPECT_FALSE(c->sim().digital_output(1).has_value());
}
