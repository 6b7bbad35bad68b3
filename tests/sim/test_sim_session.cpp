// One whole session of every packet a controller knows, as one client would
// run it: each valid packet must be known and succeed.
#include <set>

#include "sim/rmi_client.hpp"

using namespace simtest;

namespace {

class WholeSession {
public:
  explicit WholeSession(RmiClient& c) : c_(c) {}

  json command(const json& packet) { return check(packet, c_.command(packet), "Command"); }
  json instruction(const json& packet) { return check(packet, c_.run(packet), "Instruction"); }
  // Sends without waiting; finish() checks the answer.
  int start(const json& packet) {
    names_.insert(packet["Instruction"].get<std::string>());
    return c_.send(packet);
  }
  void finish(int seq, const std::string& name) {
    json a = c_.await(seq);
    EXPECT_EQ(a.value("Instruction", ""), name) << a.dump();
    EXPECT_EQ(a.value("ErrorID", -1), 0) << name << " -> " << a.dump();
  }
  const std::set<std::string>& names() const { return names_; }

private:
  json check(const json& packet, const json& a, const char* kind) {
    std::string name = packet.value(kind, packet.value("Communication", std::string()));
    names_.insert(name);
    EXPECT_NE(a.value("Command", ""), "Unknown") << packet.dump();
    EXPECT_NE(a.value("Instruction", ""), "Unknown") << packet.dump();
    EXPECT_EQ(a.value(kind, a.value("Communication", std::string())), name) << a.dump();
    EXPECT_EQ(a.value("ErrorID", -1), 0) << packet.dump() << " -> " << a.dump();
    return a;
  }
  RmiClient& c_;
  std::set<std::string> names_;
};

json motion(const std::string& name, const json& target_member, const std::string& speed_type, double speed) {
  json j{{"Instruction", name}, {"SpeedType", speed_type}, {"Speed", speed}, {"TermType", "FINE"}, {"TermValue", 0}};
  j.update(target_member);
  return j;
}

}  // namespace

TEST(SimWholeSession, EveryPacketIsKnownAndValidOnesSucceed) {
  orvane::sim::SimulatorConfig cfg;
  cfg.programs["SHORT_JOB"] = 0.2;
  auto c = RmiClient::start(cfg, false);
  EXPECT_EQ(c->connect_answer().value("Communication", ""), "FRC_Connect");
  WholeSession s(*c);

  s.command({{"Command", "FRC_Initialize"}, {"GroupMask", 1}});
  c->resync();
  s.command({{"Command", "FRC_GetStatus"}});
  s.command({{"Command", "FRC_ReadError"}, {"Count", 1}});
  s.command({{"Command", "FRC_SetPayloadID"}, {"ScheduleNumber", 1}});
  s.command({{"Command", "FRC_SetPayloadValue"}, {"ScheduleNumber", 1}, {"Mass", 1.5}, {"CG_X", 0.0}, {"CG_Y", 0.0},
             {"CG_Z", 40.0}, {"IN_X", 0.0}, {"IN_Y", 0.0}, {"IN_Z", 0.0}});
  s.command({{"Command", "FRC_SetPayloadComp"}, {"ScheduleNumber", 1}, {"Mass", 1.5}, {"CG_X", 0.0}, {"CG_Y", 0.0},
             {"CG_Z", 40.0}, {"IN_X", 0.0}, {"IN_Y", 0.0}, {"IN_Z", 0.0}});
  json flange = frame_json({0, 0, 0, 0, 0, 0});
  s.command({{"Command", "FRC_WriteUToolData"}, {"ToolNumber", 1}, {"Frame", flange}});
  s.command({{"Command", "FRC_ReadUToolData"}, {"ToolNumber", 1}});
  s.command({{"Command", "FRC_WriteUFrameData"}, {"FrameNumber", 1}, {"Frame", flange}});
  s.command({{"Command", "FRC_ReadUFrameData"}, {"FrameNumber", 1}});
  s.command({{"Command", "FRC_SetUFrameUTool"}, {"UFrameNumber", 0}, {"UToolNumber", 1}});
  s.command({{"Command", "FRC_GetUFrameUTool"}});
  s.command({{"Command", "FRC_SetOverRide"}, {"Value", 100}});
  s.command({{"Command", "FRC_ReadDIN"}, {"PortNumber", 1}});
  s.command({{"Command", "FRC_WriteDOUT"}, {"PortNumber", 1}, {"PortValue", "ON"}});
  s.command({{"Command", "FRC_ReadIOPort"}, {"PortType", "AI"}, {"PortNumber", 1}});
  s.command({{"Command", "FRC_WriteIOPort"}, {"PortType", "GO"}, {"PortNumber", 1}, {"PortValue", 5}});
  s.command({{"Command", "FRC_WriteRegister"}, {"RegisterNumber", 1}, {"RegisterValue", 3}, {"DataType", "Integer"}});
  s.command({{"Command", "FRC_ReadRegister"}, {"RegisterNumber", 1}});
  s.command({{"Command", "FRC_WriteVariable"}, {"VariableName", "$MCR.$GENOVERRIDE"}, {"VariableType", "Integer"},
             {"VariableValue", 100}});
  s.command({{"Command", "FRC_ReadVariable"}, {"VariableName", "$MCR.$GENOVERRIDE"}});
  s.command({{"Command", "FRC_GetExtStatus"}});
  s.command({{"Command", "FRC_ReadJointAngles"}});
  s.command({{"Command", "FRC_ReadTCPSpeed"}});

  // Instructions other than motion.
  c->sim().set_digital_input(2, true);
  s.instruction({{"Instruction", "FRC_WaitDIN"}, {"PortNumber", 2}, {"PortValue", "ON"}});
  s.instruction({{"Instruction", "FRC_SetUFrame"}, {"FrameNumber", 0}});
  s.instruction({{"Instruction", "FRC_SetUTool"}, {"ToolNumber", 1}});
  s.instruction({{"Instruction", "FRC_WaitTime"}, {"Time", 0.1}});
  s.instruction({{"Instruction", "FRC_SetPayLoad"}, {"ScheduleNumber", 1}});
  s.instruction({{"Instruction", "FRC_Call"}, {"ProgramName", "SHORT_JOB"}});

  // Motion: every form, from a pose with room around it.
  s.instruction(motion("FRC_JointMotionJRep", {{"JointAngle", joint_angle_json(kWorkPose)}}, "mSec", 500));
  json here = s.command({{"Command", "FRC_ReadCartesianPosition"}});
  json config = here["Configuration"];
  Xyzwpr p = xyzwpr(here["Position"]);
  auto at = [&](double dx, double dy, double dz) {
    return json{{"Configuration", config}, {"Position", position_json({p.x + dx, p.y + dy, p.z + dz, p.w, p.p, p.r})}};
  };
  auto by = [&](double dx, double dy, double dz) {
    return json{{"Configuration", config}, {"Position", position_json({dx, dy, dz, 0, 0, 0})}};
  };
  s.command({{"Command", "FRC_WritePositionRegister"}, {"RegisterNumber", 1}, {"Configuration", config},
             {"Position", here["Position"]}});
  s.command({{"Command", "FRC_ReadPositionRegister"}, {"RegisterNumber", 1}});
  s.instruction(motion("FRC_LinearMotion", at(0, 0, -30), "mmSec", 200));
  s.instruction(motion("FRC_LinearRelative", by(0, 0, 30), "mmSec", 200));
  s.instruction(motion("FRC_JointMotion", at(20, 0, 0), "Percent", 20));
  s.instruction(motion("FRC_JointRelative", by(-20, 0, 0), "Percent", 20));
  json circ = motion("FRC_CircularMotion", at(0, 40, 0), "mmSec", 200);
  circ["ViaConfiguration"] = config;
  circ["ViaPosition"] = position_json({p.x + 20, p.y + 20, p.z, p.w, p.p, p.r});
  s.instruction(circ);
  json circ_rel = motion("FRC_CircularRelative", by(0, -40, 0), "mmSec", 200);
  circ_rel["ViaConfiguration"] = config;
  circ_rel["ViaPosition"] = position_json({-20, -20, 0, 0, 0, 0});
  s.instruction(circ_rel);
  s.instruction(motion("FRC_SplineMotion", at(10, 10, 10), "mmSec", 200));
  s.instruction(motion("FRC_JointRelativeJRep", {{"JointAngle", joint_angle_json({5, 0, 0, 0, 0, 0, 0, 0, 0})}}, "Percent", 20));
  s.instruction(motion("FRC_LinearMotionJRep", {{"JointAngle", joint_angle_json(kWorkPose)}}, "mmSec", 200));
  s.instruction(motion("FRC_LinearRelativeJRep", {{"JointAngle", joint_angle_json({0, 0, 0, 0, 0, 5, 0, 0, 0})}}, "mmSec", 200));
  s.instruction(motion("FRC_SplineMotionJRep", {{"JointAngle", joint_angle_json(kWorkPose)}}, "mmSec", 200));

  // Pause and continue a motion under way.
  std::array<double, 9> aside = kWorkPose;
  aside[0] = 10;
  int seq = s.start(motion("FRC_JointMotionJRep", {{"JointAngle", joint_angle_json(aside)}}, "mSec", 1500));
  s.command({{"Command", "FRC_Pause"}});
  s.command({{"Command", "FRC_Continue"}});
  s.finish(seq, "FRC_JointMotionJRep");

  s.command({{"Command", "FRC_Reset"}});
  s.command({{"Command", "FRC_Abort"}});
  s.command({{"Communication", "FRC_Disconnect"}});
  EXPECT_TRUE(c->sim().wait_for_disconnect(kWait));

  // Every packet the client may send, Communication ones included.
  json stmo = connect_control(c->sim(), "FRC_Connect_STMO");
  EXPECT_EQ(stmo.value("ErrorID", -1), 0) << stmo.dump();
  const std::set<std::string> every_packet{
      "FRC_Disconnect", "FRC_Initialize", "FRC_Abort", "FRC_Pause", "FRC_Continue", "FRC_ReadError",
      "FRC_SetUFrameUTool", "FRC_GetStatus", "FRC_ReadUFrameData", "FRC_WriteUFrameData", "FRC_ReadUToolData",
      "FRC_WriteUToolData", "FRC_ReadDIN", "FRC_WriteDOUT", "FRC_ReadCartesianPosition", "FRC_ReadJointAngles",
      "FRC_SetOverRide", "FRC_GetUFrameUTool", "FRC_ReadPositionRegister", "FRC_WritePositionRegister", "FRC_Reset",
      "FRC_ReadTCPSpeed", "FRC_ReadRegister", "FRC_WriteRegister", "FRC_ReadIOPort", "FRC_WriteIOPort",
      "FRC_ReadVariable", "FRC_WriteVariable", "FRC_GetExtStatus", "FRC_SetPayloadID", "FRC_SetPayloadValue",
      "FRC_SetPayloadComp", "FRC_WaitDIN", "FRC_SetUFrame", "FRC_SetUTool", "FRC_WaitTime", "FRC_SetPayLoad",
      "FRC_Call", "FRC_LinearMotion", "FRC_LinearRelative", "FRC_JointMotion", "FRC_JointRelative",
      "FRC_CircularMotion", "FRC_CircularRelative", "FRC_JointMotionJRep", "FRC_JointRelativeJRep",
      "FRC_LinearMotionJRep", "FRC_LinearRelativeJRep", "FRC_SplineMotion", "FRC_SplineMotionJRep"};
  EXPECT_EQ(s.names(), every_packet) << "besides FRC_Connect and FRC_Connect_STMO, the session sent each packet";
}
