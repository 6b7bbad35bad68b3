// Every command's answer carries the members FANUC's own client reads from
// it, also when the command is refused (a client reads them before it looks
// at "ErrorID"), and every instruction answer its name, "ErrorID" and
// "SequenceID".
#include <functional>

#include "sim/rmi_client.hpp"

using namespace simtest;
namespace err = orvane::sim::error_id;

namespace {

using Check = std::function<bool(const json&)>;

bool is_int(const json& v) { return v.is_number_integer(); }
bool is_number(const json& v) { return v.is_number(); }
bool is_text(const json& v) { return v.is_string(); }

Check object_of(std::vector<std::string> keys, Check each) {
  return [keys, each](const json& v) {
    if (!v.is_object()) return false;
    for (const auto& k : keys)
      if (!v.contains(k) || !each(v[k])) return false;
    return true;
  };
}

const Check frame = object_of({"X", "Y", "Z", "W", "P", "R"}, is_number);
const Check position = object_of({"X", "Y", "Z", "W", "P", "R", "Ext1", "Ext2", "Ext3"}, is_number);
const Check configuration = object_of(
    {"UToolNumber", "UFrameNumber", "Front", "Up", "Left", "Flip", "Turn4", "Turn5", "Turn6"}, is_int);
const Check joint_angle = object_of({"J1", "J2", "J3", "J4", "J5", "J6", "J7", "J8", "J9"}, is_number);

struct Expected {
  json request;
  std::vector<std::pair<std::string, Check>> members;  // besides the kind and "ErrorID"
};

// In an order in which each succeeds on a fresh controller.
std::vector<Expected> every_command() {
  json flange = frame_json({0, 0, 0, 0, 0, 0});
  json config{{"UToolNumber", 1}, {"UFrameNumber", 0}, {"Front", 1}, {"Up", 1}, {"Left", 0},
              {"Flip", 0},        {"Turn4", 0},        {"Turn5", 0}, {"Turn6", 0}};
  return {
      {{{"Command", "FRC_Initialize"}}, {{"GroupMask", is_int}}},
      {{{"Command", "FRC_GetStatus"}},
       {{"ServoReady", is_int}, {"TPMode", is_int}, {"RMIMotionStatus", is_int}, {"ProgramStatus", is_int},
        {"SingleStepMode", is_int}, {"NumberUTool", is_int}, {"NumberUFrame", is_int}, {"NextSequenceID", is_int},
        {"Override", is_int}}},
      {{{"Command", "FRC_ReadError"}}, {{"Count", is_int}, {"ErrorData", is_text}}},
      {{{"Command", "FRC_SetUFrameUTool"}, {"UFrameNumber", 0}, {"UToolNumber", 1}}, {}},
      {{{"Command", "FRC_GetUFrameUTool"}}, {{"UFrameNumber", is_int}, {"UToolNumber", is_int}}},
      {{{"Command", "FRC_WriteUFrameData"}, {"FrameNumber", 1}, {"Frame", flange}}, {}},
      {{{"Command", "FRC_ReadUFrameData"}, {"FrameNumber", 1}}, {{"FrameNumber", is_int}, {"Frame", frame}}},
      {{{"Command", "FRC_WriteUToolData"}, {"ToolNumber", 1}, {"Frame", flange}}, {}},
      {{{"Command", "FRC_ReadUToolData"}, {"ToolNumber", 1}},
       {{"ToolNumber", is_int}, {"Frame", frame}, {"Configuration", configuration}}},
      {{{"Command", "FRC_ReadDIN"}, {"PortNumber", 1}}, {{"PortNumber", is_int}, {"PortValue", is_int}}},
      {{{"Command", "FRC_WriteDOUT"}, {"PortNumber", 1}, {"PortValue", "ON"}}, {}},
      {{{"Command", "FRC_ReadCartesianPosition"}},
       {{"TimeTag", is_int}, {"Configuration", configuration}, {"Position", position}}},
      {{{"Command", "FRC_ReadJointAngles"}}, {{"TimeTag", is_int}, {"JointAngle", joint_angle}}},
      {{{"Command", "FRC_SetOverRide"}, {"Value", 100}}, {}},
      {{{"Command", "FRC_WritePositionRegister"}, {"RegisterNumber", 2}, {"Configuration", config},
        {"Position", position_json({400, 0, 300, 180, 0, 0})}},
       {{"RegisterNumber", is_int}}},
      {{{"Command", "FRC_ReadPositionRegister"}, {"RegisterNumber", 2}},
       {{"RegisterNumber", is_int}, {"Representation", is_text}, {"Configuration", configuration},
        {"Position", position}}},
      {{{"Command", "FRC_ReadTCPSpeed"}}, {{"TimeTag", is_int}, {"Speed", is_number}}},
      {{{"Command", "FRC_WriteRegister"}, {"RegisterNumber", 3}, {"RegisterValue", 7}, {"DataType", "Integer"}}, {}},
      {{{"Command", "FRC_ReadRegister"}, {"RegisterNumber", 3}}, {{"DataType", is_text}, {"RegisterValue", is_number}}},
      {{{"Command", "FRC_WriteIOPort"}, {"PortType", "GO"}, {"PortNumber", 4}, {"PortValue", 9}},
       {{"PortType", is_text}, {"PortNumber", is_int}}},
      {{{"Command", "FRC_ReadIOPort"}, {"PortType", "AI"}, {"PortNumber", 4}},
       {{"PortType", is_text}, {"PortNumber", is_int}, {"PortValue", is_number}}},
      {{{"Command", "FRC_WriteVariable"}, {"VariableName", "$RMI_CFG.$DISCNT_TIM"}, {"VariableType", "Integer"},
        {"VariableValue", 60}},
       {}},
      {{{"Command", "FRC_ReadVariable"}, {"VariableName", "$STMO.$COM_INT"}},
       {{"VariableName", is_text}, {"VariableType", is_text}, {"VariableValue", is_number}}},
      {{{"Command", "FRC_GetExtStatus"}}, {{"InMotion", is_int}, {"DrivesPowered", is_int}, {"GenOverride", is_int}}},
      {{{"Command", "FRC_SetPayloadID"}, {"ScheduleNumber", 1}}, {}},
      {{{"Command", "FRC_SetPayloadValue"}, {"ScheduleNumber", 1}, {"Mass", 1.0}, {"CG_X", 0.0}, {"CG_Y", 0.0},
        {"CG_Z", 30.0}},
       {}},
      {{{"Command", "FRC_SetPayloadComp"}, {"ScheduleNumber", 1}, {"Mass", 1.0}, {"CG_X", 0.0}, {"CG_Y", 0.0},
        {"CG_Z", 30.0}},
       {}},
      {{{"Command", "FRC_Pause"}}, {}},
      {{{"Command", "FRC_Continue"}}, {}},
      {{{"Command", "FRC_Reset"}}, {}},
      {{{"Command", "FRC_Abort"}}, {}},
  };
}

void expect_members(const Expected& e, const json& a, int error, const std::string& when) {
  const std::string name = e.request["Command"];
  EXPECT_EQ(a.value("Command", ""), name) << when << ": " << a.dump();
  EXPECT_EQ(a.value("ErrorID", -1), error) << when << ": " << a.dump();
  for (const auto& [member, check] : e.members) {
    EXPECT_TRUE(a.contains(member) && check(a[member])) << when << ": " << name << " lacks a good \"" << member
                                                        << "\" in " << a.dump();
  }
}

}  // namespace

TEST(SimAnswerMembers, EveryCommandAnswersWithItsMembersWhenServedAndWhenRefused) {
  auto c = RmiClient::start({}, false);
  const auto commands = every_command();
  ASSERT_EQ(commands.size(), 31u) << "every command of the packet set";
  for (const auto& e : commands) expect_members(e, c->command(e.request), 0, "served");

  // Refused because the command before it is still unanswered: the refusal
  // changes nothing and carries the same members.
  ASSERT_EQ(c->command({{"Command", "FRC_Initialize"}})["ErrorID"], 0);
  for (const auto& e : commands) {
    c->sim().withhold_answers(true);
    const auto before = c->sim().received_line_count();
    c->link().send_line(json{{"Command", "FRC_GetStatus"}}.dump());
    c->link().send_line(e.request.dump());
    int lines = 0;  // both lines received (each is looked at once)
    ASSERT_TRUE(c->sim().wait_for_line([&lines](const std::string&) { return ++lines == 2; }, kWait, before));
    c->sim().withhold_answers(false);
    auto first = c->link().read_json();
    auto second = c->link().read_json();
    ASSERT_TRUE(first && second) << e.request.dump();

    EXPECT_EQ((*first).value("Command", ""), "FRC_GetStatus");
    expect_members(e, *second, err::wait_for_command_done, "refused");
  }
  json status = c->command({{"Command", "FRC_GetStatus"}});
  EXPECT_EQ(status["RMIMotionStatus"], 1) << "no refused FRC_Abort took effect: " << status.dump();
}

TEST(SimAnswerMembers, DisconnectAndEveryInstructionAnswerWithTheirMembers) {
  auto c = RmiClient::start({}, false);
  // Before FRC_Initialize every instruction is refused at once: each answer
  // names the instruction and the SequenceID it was sent with.
  const char* instructions[] = {
      "FRC_WaitDIN",          "FRC_SetUFrame",         "FRC_SetUTool",        "FRC_WaitTime",
      "FRC_SetPayLoad",       "FRC_Call",              "FRC_LinearMotion",    "FRC_LinearRelative",
      "FRC_JointMotion",      "FRC_JointRelative",     "FRC_CircularMotion",  "FRC_CircularRelative",
      "FRC_JointMotionJRep",  "FRC_JointRelativeJRep", "FRC_LinearMotionJRep", "FRC_LinearRelativeJRep",
      "FRC_SplineMotion",     "FRC_SplineMotionJRep"};
  int seq = 40;
  for (const char* name : instructions) {
    c->link().send_line(json{{"Instruction", name}, {"SequenceID", seq}}.dump());
    auto a = c->link().read_json();
    ASSERT_TRUE(a) << name;
    EXPECT_EQ((*a).value("Instruction", ""), name) << a->dump();
    EXPECT_EQ((*a).value("ErrorID", 0), err::rmi_not_running) << a->dump();
    EXPECT_EQ((*a).value("SequenceID", -1), seq) << a->dump();
    ++seq;
  }
  json bye = c->command({{"Communication", "FRC_Disconnect"}});
  EXPECT_EQ(bye.value("Communication", ""), "FRC_Disconnect");
  EXPECT_EQ(bye.value("ErrorID", -1), 0) << bye.dump();
}
