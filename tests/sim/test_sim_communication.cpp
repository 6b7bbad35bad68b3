// Connection and firmware: what an older controller does not know, and the
// first packets other clients send after connecting.
#include "sim/rmi_client.hpp"

using namespace simtest;
using orvane::sim::SimulatorConfig;
namespace err = orvane::sim::error_id;

namespace {

// The commands of firmware newer than the manual's edition, one valid packet each.
std::vector<json> newer_commands() {
  return {json{{"Command", "FRC_ReadRegister"}, {"RegisterNumber", 1}},
          json{{"Command", "FRC_WriteRegister"}, {"RegisterNumber", 1}, {"RegisterValue", 1}, {"DataType", "Integer"}},
          json{{"Command", "FRC_ReadIOPort"}, {"PortType", "DO"}, {"PortNumber", 1}},
          json{{"Command", "FRC_WriteIOPort"}, {"PortType", "DO"}, {"PortNumber", 1}, {"PortValue", 1}},
          json{{"Command", "FRC_ReadVariable"}, {"VariableName", "$MCR.$GENOVERRIDE"}},
          json{{"Command", "FRC_WriteVariable"}, {"VariableName", "$MCR.$GENOVERRIDE"}, {"VariableType", "Integer"},
               {"VariableValue", 50}},
          json{{"Command", "FRC_GetExtStatus"}},
          json{{"Command", "FRC_SetPayloadID"}, {"ScheduleNumber", 1}},
          json{{"Command", "FRC_SetPayloadValue"}, {"ScheduleNumber", 1}, {"Mass", 1.0}, {"CG_X", 0.0}, {"CG_Y", 0.0},
               {"CG_Z", 0.0}},
          json{{"Command", "FRC_SetPayloadComp"}, {"ScheduleNumber", 1}, {"Mass", 1.0}, {"CG_X", 0.0}, {"CG_Y", 0.0},
               {"CG_Z", 0.0}}};
}

}  // namespace

TEST(SimFirmware, OlderControllerAnswersTheNewerCommandsUnknownAndServesTheRest) {
  SimulatorConfig cfg;
  cfg.firmware = orvane::sim::Firmware::Older;
  auto c = RmiClient::start(cfg);
  for (const json& packet : newer_commands()) {
    json a = c->command(packet);
    EXPECT_EQ(a["Command"], "Unknown") << packet.dump() << " -> " << a.dump();
    EXPECT_EQ(a["ErrorID"], err::invalid_rmi_command) << packet.dump();
  }
  EXPECT_EQ(c->command({{"Command", "FRC_GetStatus"}})["Override"], 100) << "the refused write changed nothing";
  EXPECT_EQ(c->sim().digital_output(1), std::nullopt);
  for (const char* older : {"FRC_ReadCartesianPosition", "FRC_GetUFrameUTool", "FRC_ReadError", "FRC_ReadTCPSpeed"}) {
    json a = c->command({{"Command", older}});
    EXPECT_EQ(a["Command"], older);
    EXPECT_EQ(a["ErrorID"], 0) << a.dump();
  }
}

TEST(SimFirmware, NewerControllerKnowsThemAll) {
  auto c = RmiClient::start();
  for (const json& packet : newer_commands()) {
    json a = c->command(packet);
    EXPECT_EQ(a["Command"], packet["Command"]) << a.dump();
    EXPECT_EQ(a["ErrorID"], 0) << packet.dump() << " -> " << a.dump();
  }
}

TEST(SimOtherClientsStart, InitialisationsOfOtherClientsAreServed) {
  auto sim = start_sim();
  // FANUC's own client: FRC_Connect_STMO, then the payload schedule before anything else.
  json stmo = connect_control(*sim, "FRC_Connect_STMO");
  ASSERT_EQ(stmo["ErrorID"], 0) << stmo.dump();
  RawClient data;
  ASSERT_TRUE(data.connect(sim->config().address, static_cast<uint16_t>(stmo["PortNumber"].get<int>())));
  for (const char* line : {R"({"Command":"FRC_Initialize"})", R"({"Command":"FRC_SetPayloadID","ScheduleNumber":1})",
                           R"({"Command":"FRC_ReadError"})", R"({"Command":"FRC_SetUFrameUTool","UFrameNumber":0,"UToolNumber":1})",
                           R"({"Command":"FRC_GetUFrameUTool"})", R"({"Command":"FRC_GetStatus"})"}) {
    json a = data.command(line);
    EXPECT_NE(a.value("Command", ""), "Unknown") << line;
    EXPECT_EQ(a.value("ErrorID", -1), 0) << line << " -> " << a.dump();
  }
}

TEST(SimOtherClientsStart, PrettyPrintedCartesianPacketWithNulIsOnePacket) {
  auto c = RmiClient::start();
  ASSERT_EQ(c->move_joints(kWorkPose)["ErrorID"], 0);
  json here = c->cartesian_now();
  Xyzwpr start = xyzwpr(here["Position"]);
  json rel = cartesian_motion("FRC_LinearRelative", {0, 0, 15, 0, 0, 0}, here["Configuration"], "mmSec", 200, "FINE", 255);
  rel["SequenceID"] = c->command({{"Command", "FRC_GetStatus"}})["NextSequenceID"];
  c->link().send(rel.dump(4) + "\r\n" + std::string(1, '\0'));
  auto a = c->link().read_until([&](const json& j) { return answers_instruction(j, rel["SequenceID"].get<int>()); });
  ASSERT_TRUE(a);
  EXPECT_EQ((*a)["ErrorID"], 0) << a->dump();
  Xyzwpr now = c->tcp_now();
  EXPECT_NEAR(now.z - start.z, 15, 0.1);
  EXPECT_EQ(c->command({{"Command", "FRC_GetStatus"}})["ErrorID"], 0) << "the NUL started no packet";
}
