// A FANUC robot controller as seen over RMI: a real TCP server (control port
// for "FRC_Connect", data port for everything else) with the controller's
// RMI state machine, an instruction queue executed in real time and fault
// injection for tests.
//
// Behaviour where the controller's own is undocumented or a choice was made:
// - "TimeTag" of "FRC_ReadJointAngles" counts ticks of 2 ms since start()
//   (it wraps at 2^31); it is the time the reported position was measured.
// - "FRC_ReadJointAngles" reports the measured position: the commanded one
//   (also between interpolation steps) delayed by the servo lag, with the
//   deliberate joint deviations applied (see block_joint / offset_joint).
// - "ProgramStatus": see program_status_* below (0, 1 or 2, never more).
//   "RMIMotionStatus" is 1 while RMI_MOVE runs and is neither paused, held
//   nor being aborted.
// - A joint motion is linear in joint space from the position where it
//   starts to its target; a linear or circular motion follows its TCP path
//   (straight or on the circle) through the arm model's inverse kinematics;
//   both sampled every interpolation period. A motion whose time is given
//   ("mSec", "Time") runs at constant speed for
//   max(asked time, minimum_motion_ms) * 100 / override; a motion whose
//   speed is given ("Percent", "mmSec", "InchMin") is planned by the
//   controller: it accelerates and decelerates with the joints'
//   max_acceleration (scaled by "ACC") and cruises at the asked speed, the
//   whole profile stretched by 100 / override. Either is stretched when a
//   joint (planner convention) would exceed its max_velocity by more than
//   0.1 %; each stretch is one SlowDown record. A CNT/CR motion with
//   TermValue > 0 starts only once a later instruction has arrived; FINE,
//   CNT 0 and a CNT joint or linear motion with "NoBlend" "ON" run on.
// - A target out of reach or outside a joint range (a Cartesian path: any
//   point of it) is accepted and faults when the instruction would start:
//   the alarm is "MOTN-017 Limit error", "MOTN-018 Position not reachable"
//   or "MOTN-023 In singularity". Such a fault (also fault_at_sequence_id)
//   stops the robot where it is, discards queued instructions WITHOUT
//   answers, pushes "FRC_SystemFault" naming the instruction, leaves its
//   alarm text for "FRC_ReadError", pauses RMI_MOVE (ProgramStatus 1) and
//   every new instruction is refused (2556952 until "FRC_Abort", 2556937
//   after it) until the recovery "FRC_Abort", "FRC_Reset", "FRC_Initialize"
//   (abort and reset in either order). A fault pushed by push_system_fault
//   (an "abort all" on the pendant, a lost HOLD signal) is recovered by
//   "FRC_Reset" alone: RMI_MOVE runs on with the next SequenceID unchanged.
// - The controller has one motion group: a "Group" other than 1 is refused
//   with 2556967 (RMIT-039), a "GroupMask" other than 1 with 2556968
//   (RMIT-040).
// - "FRC_WriteUFrameData" and "FRC_WriteUToolData" are refused with 2556943
//   while a motion instruction is accepted and unfinished.
// - "FRC_Abort" stops the robot and discards queued instructions (unanswered)
//   at once and answers after abort_duration; meanwhile commands get 2556955
//   and instructions 2556937. Refusals never use up a SequenceID.
// - "FRC_Reset" while the E-stop is pressed answers 2556943; after the
//   release it clears the E-stop alarm (servos ready again), a fault and HOLD.
//   "FRC_Initialize" with a fault alarm still set answers 2556943.
// - When the data client goes (disconnect, drop, terminate) its queued
//   instructions and unsent answers are discarded and the robot stops; the
//   RMI_MOVE program stays selected, so the next "FRC_Initialize" answers 7015
//   until an "FRC_Abort".
// - Unparseable lines and packets whose first member is not "Communication",
//   "Command" or "Instruction" are answered
//   {"Command":"Unknown","ErrorID":2556950}; a packet of the ASCII mode
//   (a name with "ASCII" in it) is answered with its own kind and name and
//   2556978 (RMIT-050); other unrecognised packets
//   {"Command":"Unknown","ErrorID":2556941} (an unknown instruction:
//   {"Instruction":"Unknown","ErrorID":2556941,"SequenceID":n}).
// - A line that grows beyond 1 MiB without a terminator, or 4 MiB of output
//   the client does not read, drops the client.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvane/sim/stream_motion.hpp"

namespace orvane::sim {

namespace detail {
struct Core;
}

// One axis, planner convention (J3 independent of J2): radians, radians,
// rad/s, rad/s², rad/s³ (0: controller-planned motions do not ramp this
// joint; Stream Motion does not check it).
struct JointLimit {
  double lower;
  double upper;
  double max_velocity;
  double max_acceleration = 0.0;
  double max_jerk = 0.0;
};

std::vector<JointLimit> lrmate200id_limits();
std::vector<JointLimit> crx10ial_limits();
// The rated payload of a robot model ("lrmate200id" 7 kg, "crx10ial" 10 kg;
// 0 for another name): the full payload of the Stream Motion threshold tables.
double rated_payload_kg(const std::string& arm_model);

// The Stream Motion threshold table of an axis (1 ... 9) and kind, derived
// from the joint limits: with full payload, entry i (the speed step up to
// (i + 1) * 5 % of the maximum Cartesian speed) is limit * (1 + 0.5 (19 - i) / 19),
// with no payload 1.25 times that, in degrees, each rounded up to a float.
// So every entry is at least the limit and is the limit itself (to float
// precision) at the top step with full payload; entries fall as the step
// rises; full payload lies below no payload. A planner that keeps the
// model's limits keeps every entry. An axis without a limit of that kind
// (beyond the robot's joints) has a table of zeros: it must not move.
ThresholdTable stream_motion_threshold(const std::vector<JointLimit>& limits, int axis, ThresholdKind kind);

// ProgramStatus values reported by "FRC_GetStatus": 0 running (also before
// the first "FRC_Initialize"), 1 paused, 2 aborted, as the manual has them;
// clients reject any other value.
inline constexpr int program_status_none = 0;     // no RMI_MOVE run since power-up
inline constexpr int program_status_running = 0;  // RMI_MOVE running
inline constexpr int program_status_paused = 1;   // paused by a motion fault / E-stop / pendant
inline constexpr int program_status_aborted = 2;  // ended by "FRC_Abort"

// RMI error IDs used by the simulator.
namespace error_id {
inline constexpr int servo_off = 2556935;
inline constexpr int teach_pendant_enabled = 2556936;
inline constexpr int rmi_not_running = 2556937;
inline constexpr int invalid_rmi_command = 2556941;
inline constexpr int command_fail = 2556942;
inline constexpr int invalid_controller_state = 2556943;
inline constexpr int invalid_value = 2556949;
inline constexpr int invalid_text_string = 2556950;
inline constexpr int rmi_in_hold = 2556952;
inline constexpr int already_connected = 2556954;
inline constexpr int wait_for_command_done = 2556955;
inline constexpr int wait_for_instruction_done = 2556956;
inline constexpr int invalid_sequence_id = 2556957;
inline constexpr int invalid_speed_type = 2556958;
inline constexpr int invalid_speed = 2556959;
inline constexpr int invalid_term_type = 2556960;
inline constexpr int invalid_term_value = 2556961;
inline constexpr int invalid_group_number = 2556967;
inline constexpr int invalid_group_mask = 2556968;
inline constexpr int single_step_mode = 2556971;
inline constexpr int invalid_ascii_string_packet = 2556978;
inline constexpr int program_in_use = 7004;
inline constexpr int program_already_exists = 7015;
}  // namespace error_id

// Which packets the controller knows: "newer" firmware adds FRC_Connect_STMO,
// the register, I/O port, variable and payload commands and FRC_GetExtStatus;
// an "older" controller answers each of them {"Command":"Unknown","ErrorID":2556941}.
enum class Firmware { Newer, Older };

// A system variable as "FRC_ReadVariable" reports it.
struct SystemVariable {
  bool real = false;  // "Float", else "Integer"
  double value = 0.0;
};

struct SimulatorConfig {
  std::string address = "127.0.0.1";
  uint16_t control_port = 16001;
  uint16_t data_port = 16002;                   // 0 = an ephemeral port
  int major_version = 9, minor_version = 0;
  int minimum_motion_ms = 24;                   // 12 or 24
  double interpolation_period = 0.008;          // s
  double idle_timeout = 3600.0;                 // s without any packet before "FRC_Terminate" + drop; <= 0 disables
  bool compact_answers = false;                 // false: the real controller's text format
  bool initialize_resets_sequence_id = true;
  double abort_duration = 1.5;                  // s a "FRC_Abort" takes to answer (real ones take seconds)
  std::vector<JointLimit> joint_limits = lrmate200id_limits();  // one per axis; axes beyond are unlimited
  std::array<double, 9> initial_position_deg{}; // controller convention (J3 relative to J2)
  uint32_t random_seed = 1;                     // member order of answers is reproducible
  bool close_control_after_connect = true;      // false: keep the control connection until the client closes it
  double servo_lag = 0.0;                       // s the measured position trails the commanded one
  Firmware firmware = Firmware::Newer;
  // Kinematics for Cartesian packets: "lrmate200id", "crx10ial" or "" (none:
  // Cartesian packets are refused).
  std::string arm_model = "lrmate200id";
  std::map<std::string, double> programs;       // FRC_Call: program name -> run time in seconds
  // User tools and frames the controller has ("NumberUTool", "NumberUFrame"
  // of FRC_GetStatus): tools 1 ... number_utool, frames 1 ... number_uframe.
  int number_utool = 10;                        // 1 ... 10
  int number_uframe = 9;                        // 1 ... 9
  // System variables beside (or instead of) the controller's own, e.g.
  // {"$STMO.$COM_INT", {false, 4}}; names in upper case, "$" first.
  std::map<std::string, SystemVariable> variables;

  // Stream Motion (UDP on the same address; see stream_motion.hpp).
  uint16_t stream_motion_port = 60015;          // 0 = not served
  int stream_motion_version = 3;                // highest protocol version served: 3 or 4
  int stream_motion_period_ms = 8;              // 8 or 4
  double stream_motion_ready_delay = 0.25;      // s from STREAM_MOTN's start until status bit 0 rises
  double max_cartesian_speed = 2000.0;          // mm/s: the speed scale of the threshold tables
};

// A deliberate difference between the measured and the commanded position of
// one joint, from a given moment on, until clear_joint_deviations().
struct JointDeviation {
  int joint = 1;             // 1 ... 9
  bool block = false;        // the joint stops where it is (instructions are still answered)
  double offset_deg = 0.0;   // else: measured = commanded + offset (controller convention)
  // From when: an absolute time, or this many seconds after the next motion
  // starts (the executor leaves rest; a motion already running counts).
  std::optional<std::chrono::steady_clock::time_point> from;
  std::optional<double> after_motion_start;
};

struct ReceivedLine {
  std::chrono::steady_clock::time_point at;
  std::string channel;  // "control" | "data"
  std::string line;     // without its terminator (cut to 100000 bytes)
};

struct PathSample {
  double t;                                // s since the first motion started
  std::array<double, 9> controller_deg;    // measured, J3 relative to J2
  std::array<double, 9> planner_deg;       // measured, J3 + J2
  std::array<double, 9> commanded_deg{};   // commanded, J3 relative to J2
};

struct SlowDown {
  int sequence_id;
  int joint;                  // 0-based, the most limiting joint of the instruction
  double requested_velocity;  // rad/s, planner convention
  double limit;               // rad/s
};

struct StatusSnapshot {
  bool servo_ready, tp_enabled, single_step, estop, alarm, hold, rmi_running, client_connected;
  int program_status, next_sequence_id, override_percent, payload_schedule;
  size_t queued_instructions;  // accepted and not yet answered (executing one included)
};

class ControllerSimulator {
public:
  // Throws std::invalid_argument for numbers of tools or frames out of range
  // or a system variable set_variable would refuse.
  explicit ControllerSimulator(SimulatorConfig config = {});
  ~ControllerSimulator();
  ControllerSimulator(const ControllerSimulator&) = delete;
  ControllerSimulator& operator=(const ControllerSimulator&) = delete;

  // Binds both acceptors (SO_REUSEADDR) and starts the io thread. Throws
  // std::system_error when an address cannot be bound.
  void start();
  // Closes every connection and joins the io thread; returns quickly.
  void stop();
  const SimulatorConfig& config() const;
  uint16_t data_port() const;     // the bound data port (after start)
  uint16_t control_port() const;  // the bound control port (after start)

  // Controller state.
  void set_digital_input(uint64_t port, bool value);
  // Any port type ("DI", "RI", "AI", "GI", also outputs and "FLAG"); throws
  // std::invalid_argument for an unknown type, a port outside 1 ... 32767 or
  // a value that is not finite.
  void set_port(const std::string& type, int64_t port, double value);
  double port(const std::string& type, int64_t port) const;  // 0 if never written
  void add_program(const std::string& name, double run_seconds);  // for FRC_Call
  // Sets (or adds) a system variable; the name is taken in any letter case.
  // Throws std::invalid_argument for a name that is not "$..." of at most 64
  // bytes, a value that is not finite, a variable RMI cannot change
  // ($SCR.$NUM_GROUP), or a value its controller setting does not take
  // ($MCR.$GENOVERRIDE 1 ... 100, $MNUFRAMENUM[1] and $MNUTOOLNUM[1] within
  // the frames and tools). A variable that is a controller setting keeps its type.
  void set_variable(const std::string& name, SystemVariable value);
  std::optional<SystemVariable> variable(const std::string& name) const;
  std::optional<bool> digital_output(uint64_t port) const;  // empty if never written
  // Enabling the pendant, switching servos off or pressing the E-stop while
  // RMI_MOVE runs pauses it like a motion fault ("FRC_SystemFault" pushed).
  void set_teach_pendant(bool enabled);
  void set_servo_ready(bool ready);
  void set_estop(bool pressed);
  void set_single_step(bool on);
  void set_initialize_resets_sequence_id(bool);
  void set_next_sequence_id(int);
  void set_override(int percent);
  StatusSnapshot status() const;
  std::vector<std::string> alarms() const;  // the alarm history, newest first
  std::array<double, 9> joint_position_deg() const;  // measured now (no servo lag), controller convention
  std::array<double, 9> commanded_position_deg() const;  // commanded now, controller convention

  // Fault injection.
  // The next instruction with this SequenceID is refused at once with this
  // ErrorID (one shot; a refused instruction does not use up its ID).
  void refuse_sequence_id(int sequence_id, int error_id);
  // When the instruction with this SequenceID starts executing, a motion
  // fault happens as for a target outside the joint range (one shot):
  // recovered by "FRC_Abort", "FRC_Reset" and "FRC_Initialize".
  void fault_at_sequence_id(int sequence_id);
  // Pushes "FRC_SystemFault" (default SequenceID: the executing or last
  // accepted instruction); RMI_MOVE pauses, queued instructions are
  // discarded unanswered, new ones are refused until "FRC_Reset".
  void push_system_fault(std::optional<int> sequence_id = {});
  void push_terminate();     // "FRC_Terminate", then drops both connections
  void drop_connections();   // closes both connections abruptly (RST), no packet
  void set_answer_delay(double seconds);  // every later answer leaves this much later
  // While on, answers are kept back (not lost) and leave in order when it is
  // switched off; a command answered while on stays pending, so a further
  // command is refused with 2556955 (also kept back). Pushed packets
  // ("FRC_SystemFault", "FRC_Terminate") and send_raw bytes are not held.
  void withhold_answers(bool on);
  void send_raw(const std::string& bytes);  // exact bytes to the data client
  // The next answer on the data connection is written in two parts, the
  // second `pause_seconds` after the first (nothing happens if at_byte is 0 or
  // beyond the line). Answers on the control connection are never split.
  void split_next_answer(std::size_t at_byte, double pause_seconds = 0.05);
  void split_every_answer(std::size_t at_byte, double pause_seconds = 0.05);  // 0 = off
  void set_compact_answers(bool);
  // Measured position: the commanded one `seconds` ago.
  void set_servo_lag(double seconds);
  // Deliberate deviation of the arm from its commanded path (joint 1 ... 9).
  // The defaults mean "from now on".
  void add_joint_deviation(const JointDeviation& deviation);
  void block_joint(int joint, std::chrono::steady_clock::time_point from = std::chrono::steady_clock::now());
  void offset_joint(int joint, double degrees,
                    std::chrono::steady_clock::time_point from = std::chrono::steady_clock::now());
  void clear_joint_deviations();  // the measured position follows the commanded one again

  // Records.
  std::vector<ReceivedLine> received_lines() const;
  std::vector<PathSample> executed_path() const;
  std::vector<SlowDown> slow_downs() const;
  void clear_records();
  void write_path_csv(const std::string& file) const;
  void write_received_csv(const std::string& file) const;

  // Called on the io thread for every received line (incoming = true) and
  // every line sent; must not call back into the simulator.
  void set_line_observer(std::function<void(const std::string& channel, bool incoming, const std::string& line)>);

  // Stream Motion (see stream_motion.hpp).
  uint16_t stream_motion_port() const;  // the bound UDP port (after start; 0 when not served)
  // Arms a fault. Command faults (lose, late, limits) hit the command with
  // this number, or the next command (the next motion command for the
  // limits) when none is given; Start faults happen as the status with this
  // number goes out, or with the next status.
  void inject_stream_fault(StreamFault fault, std::optional<uint32_t> at_sequence = {});
  StreamMotionStatus stream_motion_status() const;
  std::vector<StreamCommandRecord> stream_commands() const;  // every command received, with its verdict
  bool wait_for_stream(const std::function<bool(const StreamMotionStatus&)>& pred,
                       std::chrono::milliseconds timeout) const;

  // Waits for tests; false on time-out.
  bool wait_for_client(std::chrono::milliseconds timeout) const;
  bool wait_for_disconnect(std::chrono::milliseconds timeout) const;
  // Looks at received lines from index `from` on, so a caller can wait for a
  // line that has not arrived yet rather than match an older one.
  bool wait_for_line(const std::function<bool(const std::string&)>& pred, std::chrono::milliseconds timeout,
                     std::size_t from = 0) const;
  size_t received_line_count() const;
  bool wait_until_motion_idle(std::chrono::milliseconds timeout) const;
  size_t connection_count() const;  // data connections accepted so far

private:
  std::unique_ptr<detail::Core> impl_;
};

}  // namespace orvane::sim
