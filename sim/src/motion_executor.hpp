// The motion executor's data: the queue of accepted instructions (the front
// one executes), the interpolation of the executing motion, the measured
// position (servo lag, deliberate deviations) and a hold by FRC_Pause.
// Guarded by Core::m; the stepping lives in Core (motion_executor.cpp).
//
// The executor's state, one per moment:
//   at rest     queue empty, !executing
//   waiting     queue not empty, !executing: the head waits for its start
//               (a blended motion for the next instruction, a wait for its input)
//   executing   the head runs from seg_start for seg_dur (ramping up and
//               down for seg_ramp at each end when the controller plans it)
//   held        pause_at set (FRC_Pause): time stands still for the head
// Transitions: accept -> waiting; start -> executing; end -> waiting / at rest;
// halt (abort, fault, client gone) -> at rest; pause -> held; continue -> back.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common.hpp"
#include "orvane/sim/controller_simulator.hpp"

namespace orvane::sim::detail {

struct Instr {
  // Stream: FRC_Call "STREAM_MOTN"; it runs until the stream ends it, the
  // arm following Stream Motion's commands (MotionExecutor::streamed).
  enum class Kind { Motion, Payload, WaitTime, WaitDin, SetUFrame, SetUTool, Call, Stream };
  Kind kind = Kind::Motion;
  std::string name;  // the packet's name, for the answer
  int seq = 0;
  int number = 0;            // payload schedule, frame, tool or input port
  bool input_on = false;     // FRC_WaitDIN
  double duration_s = 0.0;   // FRC_WaitTime, FRC_Call
  // Motion: the joint target (controller convention); a Cartesian path is
  // interpolated through `path` (joint positions at fractions 0 ... 1).
  Joints target{};
  double speed_ms = 0.0;         // motion time asked for ("mSec", "Time")
  double speed_percent = 0.0;    // > 0: "Percent" of the joints' maximum speed instead
  double speed_mm_s = 0.0;       // > 0: TCP speed of a Cartesian path instead
  bool planned = false;          // a speed, not a time: the controller plans its acceleration
  double acc_percent = 100.0;    // "ACC": share of the arm's acceleration
  std::optional<std::string> alarm;  // the motion error it raises when it would start
  double path_length_mm = 0.0;   // of a Cartesian path
  bool cartesian = false;        // interpolated along the TCP path (linear, circular)
  std::vector<Joints> path;      // Cartesian path sampled (first = start, last = target)
  bool blend = false;
  Clock::time_point arrived;
};

// How long a motion takes and how long it ramps at each end (s).
struct MotionTiming {
  double duration = 0.0;
  double ramp = 0.0;
};

struct Deviation {
  JointDeviation spec;
  bool active = false;
  Clock::time_point since;
  double frozen = 0.0;  // a blocked joint's measured value
};

struct MotionExecutor {
  std::deque<Instr> queue;  // accepted and unanswered; the front one executes
  bool executing = false;
  Joints pos{};             // commanded position at rest (degrees)
  Joints seg_from{};
  Clock::time_point seg_start, t_cursor;
  double seg_dur = 0.0;
  double seg_ramp = 0.0;    // s of constant acceleration at the start (and deceleration at the end)
  bool was_active = false;
  std::optional<Clock::time_point> first_motion;
  std::optional<Clock::time_point> run_start;  // the executor left rest here; reset at rest
  std::optional<Clock::time_point> pause_at;   // held by FRC_Pause since then
  double tcp_speed_mm_s = 0.0;                 // of the executing motion
  Joints streamed{};                           // commanded while STREAM_MOTN executes

  double servo_lag = 0.0;
  std::deque<std::pair<Clock::time_point, Joints>> commanded_history;  // one per tick, servo_lag long
  std::vector<Deviation> deviations;

  bool moving() const { return executing && !pause_at; }
  // A motion instruction accepted and not yet finished (running, held or
  // waiting for its start).
  bool motion_unfinished() const {
    for (const Instr& in : queue)
      if (in.kind == Instr::Kind::Motion) return true;
    return false;
  }

  // Commanded position at t (t no earlier than the segment's start).
  Joints position_at(Clock::time_point t) const;
  // The share of the executing motion done at t (0 ... 1).
  double fraction_at(Clock::time_point t) const;
  void remember_commanded(Clock::time_point t, const Joints& c);
  Joints lagged_commanded(Clock::time_point t) const;
  Joints measured_at(Clock::time_point t) const;
  void update_deviations(Clock::time_point t);
};

}  // namespace orvane::sim::detail
