// Stream Motion as the simulated controller serves it: UDP on the simulator's
// address (port 60015 by default), one command for every status packet the
// controller sends each period (8 or 4 ms), sharing the controller (alarms,
// programs, joint position, servo lag, executed-path record) with RMI.
//
// What it does where a real controller's behaviour is unknown or a choice
// was made (each the stricter reading, so that a client built against the
// simulator does not lean on leniency a controller may not have):
// - Versions 3 and 4 are served (the highest is configured); version 1
//   packet types are unknown types. Every packet must have its exact size
//   and a version from 3 to the configured one; commands the version their
//   session started with. A packet of an unknown type, a wrong size or
//   version posts "HOST-380 System error 0x19,0x0" (in error; a streamed
//   motion stops). Force-sensor configuration (205) exists from version 4
//   on; the simulated arm carries no sensor (fs_type 0xFFFFFFFF).
// - A session lives from Start to Stop and has one peer, the sender of its
//   Start. Status flows every period to it alone, numbered 1, 2, ... (wrapping
//   at 2^32) on the simulator's clock. A Start from another host posts
//   "HOST-380 System error 0x30,0x0", a second Start from the peer
//   "MOTN-607 ST: Start received while streaming"; both leave the session
//   live and stop a streamed motion. A Stop from any host ends the session.
//   Requests (capability, thresholds, GPIO) are answered to their sender.
// - Status bit 0 (ready for commands) rises `stream_motion_ready_delay`
//   after the program STREAM_MOTN (RMI "FRC_Call") starts, if the session's
//   Start came while STREAM_MOTN was called, with servos ready, pendant off
//   and no alarm; it falls when the program ends (last command, FRC_Abort,
//   fault, FRC_Pause). An instance that ended otherwise than by its last
//   command (abort, fault, a Stop while it ran) stays live behind: the next
//   STREAM_MOTN called drops bit 0 once, for 0.1 s, 1 s after it starts
//   (a motion streaming then stops). Bit 1: a command arrived in the last period; bit 2:
//   servos ready; bit 3: the streamed arm moved in the last period.
// - Commands: the first after Start or after bit 0 rose may carry any of the
//   last 10 status numbers; each later one the previous + 1 and never a
//   status number not yet sent. A command breaking that rule is refused (it
//   moves nothing and sets no I/O). Motion commands are followed in order,
//   one per period: the one received in period n is the commanded position
//   from the tick that ends period n, and status n+1 reports it (servo lag
//   aside). With a start buffer (capability start_move) of N > 1 the arm
//   starts once N commands are buffered, so a client may be N - 1 periods
//   late without harm.
// - A motion command with do_motn_ctrl 1 while bit 0 is clear moves nothing
//   (its I/O is applied). Checks, in order, against the previous accepted
//   motion command (before the first: the measured position at rest):
//   data style 0xFFFF (joint angles; anything else posts MOTN-625), finite
//   values (MOTN-625), joint ranges (SRVO-115), a faceplate jump above 50 mm
//   in one period (MOTN-720), velocity (MOTN-609), acceleration (MOTN-721)
//   and jerk (MOTN-722) by finite differences at the period, against the
//   threshold entries for the Cartesian speed of that step and the payload.
//   A broken check stops the arm where it is commanded, posts the alarm
//   (naming "Sq.n" and the joint), pauses the program (FRC_SystemFault) and
//   sets in_error; recovery: "FRC_Reset", then "FRC_Call" STREAM_MOTN again
//   (the session may stay live).
// - A period that ends with no command for a motion in progress (late or
//   missing): the arm coasts at its last commanded velocity for 0.1 s,
//   commands arriving meanwhile are ignored, then it stops, bit 0 falls and
//   "MOTN-603 ST: Receiving interval over" is posted as a motion fault.
// - is_last_command ends the motion when that command has been followed and
//   ends STREAM_MOTN (its FRC_Call is answered): bits 0 and 3 fall. A Stop
//   while STREAM_MOTN runs is a motion fault with MOTN-603; after it has
//   ended MOTN-603 only goes to the alarm history, as on a controller.
// - An E-stop shows in the status in the stages seen on an arm: in_error
//   after 110 ms, bit 0 off after 300 ms, e_stopped after 500 ms (the arm
//   stops at once and status keeps flowing).
// - Thresholds: see stream_motion_threshold(). The step of a command is
//   FANUC's: clamp(floor(19 (1.2 v - v_max/20) / (v_max - v_max/20)), 0, 19)
//   for the faceplate speed v of that step; the payload (the selected
//   schedule's mass, else $PARAM_GROUP[1].$PAYLOAD) weighs no and full
//   payload as no + (mass / rated payload) (full - no).
// - GPIO: command types 1 (I/O command: DO, RO, AO, F), 2 (I/O state: any of
//   DO DI RO RI AO AI F), 3 (register command) and 4 (register state: R[],
//   gpio_type 100); ports 1 ... 32767, registers 1 ... 200; the command and
//   the state blocks each fit their 256 bytes. Anything else, or a
//   configuration sent while a session is live, answers result 2. ptf is
//   the number of configured blocks.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

namespace orvane::sim {

// Faults the simulator causes on Stream Motion when told to.
enum class StreamFault {
  LoseCommand,        // the command with this number never reaches the controller
  LateCommand,        // the command with this number is handled 1.5 periods after it arrives
  VelocityLimit,      // the command with this number breaks J1's velocity threshold
  AccelerationLimit,  // ... J1's acceleration threshold
  JerkLimit,          // ... J1's jerk threshold
  JointLimit,         // ... lies beyond J1's range
  ForeignStart,       // a Start from another host arrives as status number `at` goes out
  SecondStart,        // the peer's Start arrives again, without a Stop, as status `at` goes out
};

// Threshold kinds, as the threshold request numbers them.
enum class ThresholdKind { Velocity = 0, Acceleration = 1, Jerk = 2 };

inline constexpr int threshold_steps = 20;

// One axis's table of one kind, in degrees (per s, s², s³).
struct ThresholdTable {
  std::array<float, threshold_steps> no_payload{};
  std::array<float, threshold_steps> full_payload{};
};

// What became of one received command.
enum class CommandVerdict {
  Accepted,       // taken (motion buffered if do_motn_ctrl 1, I/O applied)
  NotReady,       // do_motn_ctrl 1 while bit 0 was clear: I/O applied, nothing moved
  Refused,        // sequence rule broken, or no session with this sender: nothing applied
  Ignored,        // the motion had already faulted or was coasting: nothing applied
  Faulted,        // broke a check: the alarm in `detail` was posted
  Lost,           // an injected network fault: it never reached the controller
};

struct StreamCommandRecord {
  std::chrono::steady_clock::time_point at;  // handled (arrival, or later for an injected late one)
  uint32_t sequence = 0;
  bool last = false;         // is_last_command
  bool motion = false;       // do_motn_ctrl
  std::array<double, 9> position_deg{};  // as sent (J3 independent of J2)
  CommandVerdict verdict = CommandVerdict::Refused;
  std::string detail;        // the alarm, or why it was refused
};

enum class StreamPhase {
  Idle,       // no streamed motion (bit 0 may be set)
  Filling,    // motion commands buffered, fewer than the start buffer
  Following,  // one buffered command followed per period
  Coasting,   // a period went by without a command: the arm coasts, then stops
};

struct StreamMotionStatus {
  bool live = false;               // a session started and not stopped
  std::string peer;                // "address:port" of the live session's peer
  int version = 0;                 // of the live session
  uint32_t last_status = 0;        // number of the last status sent in the session
  uint8_t status = 0;              // the bits of the last status packet
  uint8_t robot_status = 0;
  StreamPhase phase = StreamPhase::Idle;
  std::size_t buffered = 0;        // commands waiting to be followed
  uint64_t statuses_sent = 0;      // since start(), all sessions
  uint64_t missed_periods = 0;     // periods that ended without a command for a motion in progress
  uint64_t commands_received = 0;  // since start(), all sessions (lost ones included)
  int start_move = 0;              // capability: buffer size to start motion
  bool use_tcp = false;            // capability: status position of the TCP (else faceplate)
};

}  // namespace orvane::sim
