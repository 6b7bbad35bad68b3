// Packet handlers, one file per family: communication, status and errors,
// I/O and registers, frames and tools, motion instructions. The dispatcher
// applies the rules every packet of a kind shares (one command at a time,
// firmware, sequence IDs, the buffer, HOLD) and calls them.
#pragma once

#include <map>
#include <string>

#include "../core.hpp"

namespace orvane::sim::detail::handlers {

// A command handler fills the answer's members and returns its ErrorID.
// With `act` false the command is refused before it runs: fill the members
// (an error answer still carries them all) and change nothing.
// It returns answer_later when it answers by itself (a slow FRC_Abort).
using CommandFn = int (*)(Core& core, const json& request, ojson& answer, bool act);
inline constexpr int answer_later = -1;

struct CommandEntry {
  CommandFn fn;
  bool newer;                // only newer firmware knows it
  bool takes_group = false;  // an optional "Group" member names the motion group
};
using CommandTable = std::map<std::string, CommandEntry>;

// An instruction handler reads the packet into `in` and returns 0 or the
// ErrorID that refuses it; it changes nothing else.
using InstructionFn = int (*)(Core& core, const json& request, Instr& in);
using InstructionTable = std::map<std::string, InstructionFn>;

// communication.cpp
ojson connect(Core& core, const std::string& line);  // the control port's one packet
void communication(Core& core, const std::string& name, const json& request);

void add_status_commands(CommandTable& table);         // status_errors.cpp
void add_io_register_commands(CommandTable& table);    // io_registers.cpp
void add_frame_tool_commands(CommandTable& table);     // frames_tools.cpp
void add_instructions(InstructionTable& table);        // motion_instructions.cpp

// Shapes shared by packets (frames_tools.cpp): each returns false when a
// member is missing or not a finite number.
bool read_pose(const json& j, Pose& out);
bool read_configuration(const Core& core, const json& j, Configuration& out);  // tool and frame must exist
bool read_joint_angles(const Core& core, const json& j, Joints& out);  // J7 ... J9 may be missing
ojson pose_json(const Pose& p);
ojson position_json(const Pose& p, const std::array<double, 3>& ext);
ojson configuration_json(const Configuration& c);
ojson joints_json(const Joints& q);
// The faceplate pose in the World frame -> the TCP in a user frame and tool.
Pose tcp_in(const Core& core, const Joints& joints, int uframe, int utool);
// A TCP pose in a user frame and tool -> the faceplate in the World frame.
orvane::Frame faceplate_for(const Core& core, const Pose& tcp, int uframe, int utool);

}  // namespace orvane::sim::detail::handlers
