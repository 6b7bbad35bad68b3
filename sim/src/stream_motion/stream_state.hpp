// Stream Motion's state: the UDP endpoint, the settings a client changes
// (capability, GPIO), the session and the streamed motion. Guarded by
// Core::m; the code lives in endpoint.cpp (UDP) and session.cpp (packets and
// the period's work), both Core members.
//
// The session:
//   closed --Start--> live (peer = its sender, status numbering from 1)
//   live --Stop (any host)--> closed;  live --Start--> live + alarm
// The streamed motion, within a live session (one phase at a time):
//   idle      --motion command accepted-->             filling
//   filling   --start buffer reached at a tick-->      following
//   following --a period ends with no command-->       coasting
//   following --last command followed-->               idle (STREAM_MOTN ends)
//   coasting  --coast time over-->                     idle + MOTN-603 (motion fault)
//   any       --bit 0 lost (fault, abort, pause, E-stop, Stop)--> idle
// Readiness (bit 0) rising re-anchors the command numbering and makes the
// measured position the command before the next first one.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio.hpp>

#include "../common.hpp"
#include "command_checks.hpp"
#include "gpio.hpp"
#include "orvane/sim/stream_motion.hpp"
#include "packets.hpp"
#include "thresholds.hpp"

namespace orvane::sim::detail {

using udp = boost::asio::ip::udp;

inline constexpr std::size_t stream_packet_stack = 10;     // commands a controller buffers ($STMO.$PKT_STACK)
inline constexpr double stream_coast_seconds = 0.1;        // a silent sender: the arm coasts this long, then stops
inline constexpr double stream_estop_error_after = 0.110;  // E-stop: in_error shows after ...
inline constexpr double stream_estop_ready_after = 0.300;  // ... bit 0 falls after ...
inline constexpr double stream_estop_bit_after = 0.500;    // ... and e_stopped shows after
inline constexpr double stream_stale_drop_after = 1.0;  // a call over a live instance: bit 0 drops this long in ...
inline constexpr double stream_stale_drop_for = 0.1;    // ... for this long
inline constexpr std::size_t max_stream_command_records = 500'000;
inline constexpr int max_start_move = 9;

inline const std::string stream_alarm_bad_packet = "HOST-380 System error 0x19,0x0";
inline const std::string stream_alarm_foreign_start = "HOST-380 System error 0x30,0x0";
inline const std::string stream_alarm_second_start = "MOTN-607 ST: Start received while streaming";
inline const std::string stream_alarm_receiving_interval = "MOTN-603 ST: Receiving interval over";

struct StreamedCommand {
  uint32_t sequence = 0;
  bool last = false;
  Joints position{};  // Stream Motion convention (J3 independent), degrees
};

struct StreamMotion {
  // ---- endpoint (endpoint.cpp) ---------------------------------------------
  std::unique_ptr<udp::socket> socket;
  std::unique_ptr<boost::asio::steady_timer> timer;
  uint16_t bound_port = 0;
  std::array<uint8_t, 65536> rbuf{};  // one datagram; larger ones are cut and refused by size
  std::array<uint8_t, stream_motion::max_status_size> sbuf{};

  // ---- settings --------------------------------------------------------------
  stream_motion::ThresholdTables tables;
  int start_move = 0;
  bool use_tcp = false;
  stream_motion::GpioMap gpio;

  // ---- session ---------------------------------------------------------------
  bool live = false;
  uint64_t session_number = 0;  // counts Starts, so that a period's work notices a new session
  udp::endpoint peer;
  uint32_t version = 3;
  bool armed = false;            // STREAM_MOTN was called when the session started
  uint32_t last_status = 0;      // number of the last status sent (0: none yet)
  Clock::time_point next_tick;
  bool command_in_period = false;
  std::optional<uint32_t> expected;  // the next command's number; empty: the next command anchors
  bool was_ready = false;

  // ---- the program STREAM_MOTN -------------------------------------------------
  std::optional<Clock::time_point> program_since;  // it started executing then
  // An instance not ended by a last command stays live behind an abort or a
  // fault; the next one called while it does loses bit 0 once, a while in.
  bool instance_unfinished = false;
  std::optional<Clock::time_point> ready_drop_at;

  // ---- streamed motion -----------------------------------------------------------
  StreamPhase phase = StreamPhase::Idle;
  std::deque<StreamedCommand> buffer;  // accepted, not yet followed
  bool end_requested = false;          // a last command without motion: the program ends once drained
  stream_motion::CommandChecker checker;
  Joints commanded{};                  // the position followed this period (Stream Motion convention)
  Joints velocity{};                   // of the last period, deg/s
  Joints acceleration{};               // of the last period, deg/s²
  Clock::time_point coast_since;
  bool moved = false;                  // the commanded position changed this period
  bool was_streaming = false;          // for one path sample after the motion ends

  // ---- E-stop stages -------------------------------------------------------------
  std::optional<Clock::time_point> estop_since;
  bool ready_at_estop = false, error_at_estop = false;

  // ---- injected faults -------------------------------------------------------------
  std::map<uint32_t, StreamFault> command_faults;  // by command number
  std::optional<StreamFault> next_command_fault;   // the next command from the peer
  std::vector<std::pair<std::optional<uint32_t>, StreamFault>> start_faults;  // by status number (empty: next)

  // ---- records -----------------------------------------------------------------------
  std::vector<StreamCommandRecord> records;
  uint64_t statuses_sent = 0, missed_periods = 0, commands_received = 0;
  uint8_t status_bits = 0, robot_status_bits = 0;

  // Back to idle: nothing buffered, nothing moving.
  void stop_motion() {
    phase = StreamPhase::Idle;
    buffer.clear();
    end_requested = false;
    velocity = {};
    acceleration = {};
  }
};

}  // namespace orvane::sim::detail
