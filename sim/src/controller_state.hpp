// The controller's state and memory: the RMI program's state, registers,
// position registers, frames and tools, I/O, system variables, payloads and
// the alarm history. Memory outlives a connection, as on a controller.
// Plain data: guarded by Core::m.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>

#include "common.hpp"
#include "orvane/sim/controller_simulator.hpp"

namespace orvane::sim::detail {

// X Y Z in mm, W P R in degrees (extrinsic X, Y, Z rotations).
struct Pose {
  double x = 0, y = 0, z = 0, w = 0, p = 0, r = 0;
};

// FANUC's configuration string: tool and frame numbers, the arm's posture
// flags (1 or 0) and the turn numbers of J4 ... J6.
struct Configuration {
  int utool = 1, uframe = 0;
  int front = 1, up = 1, left = 0, flip = 0;
  int turn4 = 0, turn5 = 0, turn6 = 0;
};

struct PositionRegister {
  bool joint_representation = false;
  Pose position;
  std::array<double, 3> ext{};  // Ext1 ... Ext3
  Configuration configuration;
  Joints joints{};
};

struct RegisterValue {
  bool real = false;  // "Real", else "Integer"
  double value = 0.0;
};


struct Payload {
  double mass = 0, cg_x = 0, cg_y = 0, cg_z = 0, in_x = 0, in_y = 0, in_z = 0;
};

inline constexpr int max_uframe = 9;   // at most UFRAME[1..9]; 0 is the world frame
inline constexpr int max_utool = 10;   // at most UTOOL[1..10]; 0 is the faceplate
inline constexpr int motion_groups = 1;  // the arm; group masks and "Group" members are checked against it
inline constexpr int max_register = 200;
inline constexpr int max_position_register = 100;
inline constexpr int max_payload_schedule = 10;
inline constexpr std::size_t max_alarms = 100;

struct ControllerState {
  // ---- the RMI program ------------------------------------------------------
  bool servo_power = true, tp = false, single_step = false, estop = false, estop_alarm = false;
  bool fault_alarm = false, hold = false, paused = false, rmi_running = false, abort_in_progress = false;
  // A motion error (a limit broken, a position out of reach) paused
  // RMI_MOVE at an instruction it cannot run: FRC_Reset clears the alarm but
  // does not resume it; FRC_Abort ends it and a new FRC_Initialize starts over.
  bool needs_abort = false;
  bool init_resets_seq = true;
  int program_status = program_status_none;
  int next_seq = 1;
  int override_percent = 100;
  int payload_schedule = 0;
  int group_mask = 1;

  bool servo_ready() const { return servo_power && !estop && !estop_alarm; }

  // ---- memory ---------------------------------------------------------------
  // I/O by port type ("DI", "DO", "RI", "RO", "AI", "AO", "GI", "GO", "FLAG").
  // A port never written reads 0.
  std::map<std::string, std::map<int64_t, double>> ports;
  std::map<int, RegisterValue> registers;
  std::map<int, PositionRegister> position_registers;
  std::array<Pose, max_uframe + 1> uframes{};
  std::array<Pose, max_utool + 1> utools{};
  int number_uframe = max_uframe, number_utool = max_utool;  // how many the controller has (configured)
  int active_uframe = 0, active_utool = 1;
  std::map<int, Payload> payloads;
  std::deque<std::string> alarms;  // newest first
  // System variables with a value of their own (the others are linked to
  // settings above; see system_variables.cpp).
  std::map<std::string, SystemVariable> variables{
      {"$RMI_CFG.$DISCNT_TIM", {false, 60.0}},     // minutes without a packet before FRC_Terminate
      {"$PARAM_GROUP[1].$PAYLOAD", {true, 0.0}},  // kg
      {"$STMO.$COM_INT", {false, 8.0}},           // the Stream Motion period, ms
      // Read by clients; what a controller reports is not known, so it is
      // 0 unless set (config, command line, console).
      {"$RMI_CFG.$ASBN_ENB", {false, 0.0}}};

  void raise_alarm(std::string text) {
    alarms.push_front(std::move(text));
    if (alarms.size() > max_alarms) alarms.pop_back();
  }

  double port(const std::string& type, int64_t number) const {
    auto t = ports.find(type);
    if (t == ports.end()) return 0.0;
    auto it = t->second.find(number);
    return it == t->second.end() ? 0.0 : it->second;
  }
  std::optional<double> port_if_written(const std::string& type, int64_t number) const {
    auto t = ports.find(type);
    if (t == ports.end()) return std::nullopt;
    auto it = t->second.find(number);
    if (it == t->second.end()) return std::nullopt;
    return it->second;
  }
};

}  // namespace orvane::sim::detail
