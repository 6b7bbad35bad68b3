// fanuc-rmi-sim: a FANUC controller on RMI for development and tests.
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <chrono>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "orvane/sim/controller_simulator.hpp"

namespace {

using orvane::sim::ControllerSimulator;
using orvane::sim::SimulatorConfig;

const char* kHelp = R"HELP(Usage: fanuc-rmi-sim [OPTIONS]

A FANUC robot controller on RMI (Remote Motion Interface) over TCP: the control
port answers "FRC_Connect", the data port serves commands and executes motion
instructions in real time. Ctrl-C (SIGINT) or SIGTERM stops it (exit 0).

Network and protocol:
  --address ADDR            address to listen on (default 127.0.0.1)
  --control-port N          control port (default 16001)
  --data-port N             data port returned by FRC_Connect (default 16002, 0 = ephemeral)
  --major-version N         reported MajorVersion (default 9)
  --minor-version N         reported MinorVersion (default 0)
  --idle-timeout S          seconds without a packet before FRC_Terminate (default 3600, 0 = never)
  --compact                 compact JSON answers instead of the controller's own format
  --seed N                  seed of the member order of answers (default 1)
  --keep-control-open       do not close the control connection after answering FRC_Connect
                            (a real controller closes it)
  --firmware newer|older    newer (default) also serves FRC_Connect_STMO, the register, I/O
                            port, variable and payload commands and FRC_GetExtStatus; older
                            answers them {"Command" : "Unknown", "ErrorID" : 2556941}

Packets are framed on CR LF; NUL bytes between packets are skipped and a bare LF
inside a packet is whitespace. The first member of a packet is its kind
("Communication", "Command" or "Instruction"); a packet that starts otherwise is
answered {"Command" : "Unknown", "ErrorID" : 2556950}, a packet of the ASCII mode
(a name with "ASCII" in it) ErrorID 2556978. "JointAngle" may leave out J7 ... J9
(taken as 0); a joint beyond the robot's axes that is given must be 0.

Motion: joint motions take SpeedType "mSec" (ms), "Time" (0.1 s) or "Percent"
(1 ... 100 of the joints' maximum speed), Cartesian paths "mmSec", "InchMin",
"mSec" or "Time". A time is kept exactly (a stream of short CNT "mSec" motions runs
as timed); a speed is planned as on an arm: the joints accelerate and decelerate
with their limits, scaled by "ACC" (1 ... 150, default 100), and cruise at the
speed. FINE takes any TermValue, CNT and CR 0 ... 100; a CNT or CR motion above 0
waits for the next motion, except a CNT joint or linear motion with "NoBlend" "ON".
A target beyond a joint limit or out of reach is accepted and faults when it would
start: FRC_SystemFault with its SequenceID, the alarm (MOTN-017 Limit error,
MOTN-018 Position not reachable, MOTN-023 In singularity) in FRC_ReadError, every
later instruction refused until FRC_Abort, FRC_Reset and FRC_Initialize.
"Group" other than 1 is refused with 2556967, "GroupMask" other than 1 with
2556968; FRC_WriteUFrameData and FRC_WriteUToolData with 2556943 while a motion
instruction is unfinished. FRC_GetStatus reports the numbers of tools and frames
(10 and 9). "TimeTag" (FRC_ReadJointAngles, FRC_ReadCartesianPosition,
FRC_ReadTCPSpeed) is an integer count of 2 ms ticks since the simulator started
(wrapping at 2^31), taken when the reported value was measured.

Controller:
  --robot NAME              joint limits, accelerations and kinematics (Cartesian packets):
                            lrmate200id (default), crx10ial or none (joint limits off,
                            Cartesian packets refused)
  --min-motion-ms N         shortest motion time, 12 or 24 (default 24)
  --interpolation-period S  interpolation period in seconds (default 0.008)
  --no-reset-seq-on-init    FRC_Initialize keeps the next sequence ID
  --next-seq N              next sequence ID at start
  --abort-duration S        seconds FRC_Abort takes to answer (default 1.5; 0 for fast tests)
  --initial-position LIST   comma-separated joint angles in degrees, controller convention
  --override N              speed override in percent at start (default 100)
  --din PORT=0|1            initial value of a digital input (repeatable)
  --port TYPE:PORT=VALUE    initial value of any port: DI, RI, AI, GI (inputs), DO, RO, AO,
                            GO or FLAG (repeatable), e.g. --port AI:3=4.5
  --program NAME=SECONDS    a program FRC_Call may run, taking SECONDS (repeatable); a name
                            not given is refused with 2556949
  --variable NAME=VALUE     a system variable for FRC_ReadVariable (repeatable), e.g.
                            --variable '$STMO.$COM_INT=4'; a variable the controller has keeps
                            its type, a new one is Float if VALUE has a point or exponent.
                            The controller's own include $STMO.$COM_INT (8),
                            $RMI_CFG.$ASBN_ENB (0), $RMI_CFG.$DISCNT_TIM (60),
                            $MCR.$GENOVERRIDE (the override) and $SCR.$NUM_GROUP (1)

Fault injection:
  --teach-pendant           start with the teach pendant enabled
  --servo-off               start with the servos off
  --estop                   start with the E-stop pressed
  --single-step             start in single step mode
  --refuse-seq ID:ERROR     refuse the instruction with SequenceID ID with ErrorID ERROR (repeatable)
  --fault-at-seq ID         motion fault (FRC_SystemFault, MOTN-017) when instruction ID starts,
                            recovered by FRC_Abort, FRC_Reset, FRC_Initialize (repeatable)
  --answer-delay S          delay every answer by S seconds
  --withhold                keep every answer back (until the console says "withhold off")
  --split-answers[=BYTE]    write every answer in two parts, cut at BYTE (default 10)
  --split-pause S           pause between the two parts (default 0.05)
  --servo-lag S             the measured joint position (FRC_ReadJointAngles) is the commanded
                            one S seconds earlier (default 0)
  --block-joint J[@T]       joint J (1-9) stops moving T seconds after the first motion starts
                            (default 0); instructions are still answered (repeatable)
  --offset-joint J:DEG[@T]  joint J is measured DEG degrees off its commanded value from T
                            seconds after the first motion starts (repeatable)

Stream Motion (UDP on the same address; one command per status packet):
  --stream-motion-port N    UDP port (default 60015, 0 = not served)
  --stream-motion-version N highest protocol version served, 3 or 4 (default 3); status is
                            type 202 (388 bytes) for a version 3 session, 204 (416) for 4
  --stream-motion-period-ms N  period of the status packets, 8 or 4 (default 8)
  --stream-motion-ready-delay S  seconds from STREAM_MOTN's start until status bit 0 rises
                            (default 0.25)
  --max-cartesian-speed MMS speed scale of the threshold tables (default 2000 mm/s)
  --sm-fault KIND[@SEQ]     a Stream Motion fault (repeatable): lose, late (handled 1.5
                            periods after it arrives), velocity, acceleration, jerk, joint
                            (command SEQ breaks J1's limit of that kind), foreign-start,
                            second-start (a Start from another host, or again from the peer,
                            as status SEQ goes out); without SEQ the next command or status
  The program "STREAM_MOTN" is always known to FRC_Call: bit 0 (ready for commands) rises
  while it runs, if it was called before the session's Start. Threshold tables (axis 1-9,
  velocity/acceleration/jerk in deg/s, deg/s^2, deg/s^3) derive from the robot's joint limits
  (jerk = 5 x acceleration): with full payload entry i (speed step up to (i+1) x 5 % of the
  maximum Cartesian speed) is limit x (1 + 0.5 (19 - i) / 19), with no payload 1.25 times
  that; so every entry is at least the limit, the limit itself at the top step with full
  payload. Commands are checked from one to the next at the period (velocity, acceleration,
  jerk by finite differences; the command before the first is the measured position) against
  the entry of FANUC's speed step, clamp(floor(19 (1.2 v - vmax/20) / (vmax - vmax/20)), 0, 19)
  for the faceplate speed v of the step, weighed by the payload (mass / rated payload).
  A broken limit stops the arm with its alarm (MOTN-609 velocity, MOTN-721 acceleration,
  MOTN-722 jerk, SRVO-115 joint range, MOTN-720 a jump over 50 mm, MOTN-625 bad data), as a
  motion fault (FRC_SystemFault); recovery: FRC_Reset, FRC_Call STREAM_MOTN. A period without
  a command for a motion in progress: the arm coasts 0.1 s, then stops with MOTN-603.

Output:
  --record-csv PREFIX       on exit write PREFIX_path.csv (executed joint path) and
                            PREFIX_received.csv (every received line)
  --verbose                 print every received line and every answer
  --console                 read commands from standard input:
                              terminate | fault [SEQ] | drop | estop on|off | tp on|off |
                              servo on|off | single-step on|off | din PORT 0|1 |
                              port TYPE PORT VALUE | variable NAME VALUE |
                              delay S | withhold on|off | override N | lag S |
                              block J [T] | offset J DEG [T] | deviations clear | status |
                              sm-fault KIND [SEQ] | sm-status | quit
                            (block and offset take effect T seconds from now, default 0;
                            fault pushes a fault FRC_Reset alone recovers)
  --help                    this text

On start it prints one line "fanuc-rmi-sim listening on ADDR:PORT (data port N,
Stream Motion UDP port M)" (without the Stream Motion part when it is not served).
)HELP";

struct Options {
  SimulatorConfig config;
  std::optional<std::string> record_prefix;
  bool verbose = false, console = false;
  bool tp = false, servo_off = false, estop = false, single_step = false, withhold = false;
  std::optional<int> next_seq, override_percent;
  double answer_delay = 0.0;
  std::size_t split_at = 0;
  double split_pause = 0.05;
  std::vector<std::pair<int, int>> refusals;
  std::vector<int> faults;
  std::vector<std::pair<uint64_t, bool>> dins;
  struct PortValue {
    std::string type;
    int64_t port;
    double value;
  };
  std::vector<PortValue> ports;
  std::vector<std::pair<std::string, std::string>> variables;  // NAME, VALUE as written
  std::vector<orvane::sim::JointDeviation> deviations;
  std::vector<std::pair<orvane::sim::StreamFault, std::optional<uint32_t>>> stream_faults;
};

[[noreturn]] void usage_error(const std::string& message) {
  std::cerr << "fanuc-rmi-sim: " << message << "\n(see --help)\n";
  std::exit(2);
}

double to_double(const std::string& opt, const std::string& v) {
  try {
    std::size_t used = 0;
    double d = std::stod(v, &used);
    if (used != v.size()) throw std::invalid_argument(v);
    return d;
  } catch (const std::exception&) {
    usage_error(opt + " expects a number, got '" + v + "'");
  }
}

long long to_int(const std::string& opt, const std::string& v) {
  try {
    std::size_t used = 0;
    long long d = std::stoll(v, &used);
    if (used != v.size()) throw std::invalid_argument(v);
    return d;
  } catch (const std::exception&) {
    usage_error(opt + " expects an integer, got '" + v + "'");
  }
}

uint16_t to_port(const std::string& opt, const std::string& v) {
  long long p = to_int(opt, v);
  if (p < 0 || p > 65535) usage_error(opt + " expects a port number");
  return static_cast<uint16_t>(p);
}

// "J[@T]" or "J:DEG[@T]": a joint deviation from T seconds after the first motion starts.
orvane::sim::JointDeviation to_deviation(const std::string& opt, const std::string& v, bool block) {
  orvane::sim::JointDeviation d;
  d.block = block;
  std::string spec = v;
  d.after_motion_start = 0.0;
  if (auto at = spec.find('@'); at != std::string::npos) {
    d.after_motion_start = to_double(opt, spec.substr(at + 1));
    spec = spec.substr(0, at);
  }
  if (!block) {
    auto colon = spec.find(':');
    if (colon == std::string::npos) usage_error(opt + " expects J:DEG[@T]");
    d.offset_deg = to_double(opt, spec.substr(colon + 1));
    spec = spec.substr(0, colon);
  }
  long long j = to_int(opt, spec);
  if (j < 1 || j > 9) usage_error(opt + ": the joint is 1 ... 9");
  if (*d.after_motion_start < 0.0) usage_error(opt + ": the time is at least 0");
  d.joint = static_cast<int>(j);
  return d;
}

std::optional<orvane::sim::StreamFault> stream_fault_named(const std::string& name) {
  using orvane::sim::StreamFault;
  if (name == "lose") return StreamFault::LoseCommand;
  if (name == "late") return StreamFault::LateCommand;
  if (name == "velocity") return StreamFault::VelocityLimit;
  if (name == "acceleration") return StreamFault::AccelerationLimit;
  if (name == "jerk") return StreamFault::JerkLimit;
  if (name == "joint") return StreamFault::JointLimit;
  if (name == "foreign-start") return StreamFault::ForeignStart;
  if (name == "second-start") return StreamFault::SecondStart;
  return std::nullopt;
}

// "KIND[@SEQ]".
std::pair<orvane::sim::StreamFault, std::optional<uint32_t>> to_stream_fault(const std::string& opt,
                                                                             const std::string& v) {
  auto at = v.find('@');
  auto kind = stream_fault_named(v.substr(0, at));
  if (!kind) usage_error(opt + ": unknown fault '" + v.substr(0, at) + "'");
  std::optional<uint32_t> seq;
  if (at != std::string::npos) {
    long long n = to_int(opt, v.substr(at + 1));
    if (n < 0 || n > 0xFFFFFFFFLL) usage_error(opt + ": a sequence number is 0 ... 2^32 - 1");
    seq = static_cast<uint32_t>(n);
  }
  return {*kind, seq};
}

Options parse(int argc, char** argv) {
  Options o;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    std::optional<std::string> inline_value;
    if (auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      inline_value = a.substr(eq + 1);
      a = a.substr(0, eq);
    }
    auto value = [&]() -> std::string {
      if (inline_value) return *inline_value;
      if (i + 1 >= args.size()) usage_error(a + " needs a value");
      return args[++i];
    };
    if (a == "--help" || a == "-h") {
      std::cout << kHelp;
      std::exit(0);
    } else if (a == "--address") o.config.address = value();
    else if (a == "--control-port") o.config.control_port = to_port(a, value());
    else if (a == "--data-port") o.config.data_port = to_port(a, value());
    else if (a == "--major-version") o.config.major_version = static_cast<int>(to_int(a, value()));
    else if (a == "--minor-version") o.config.minor_version = static_cast<int>(to_int(a, value()));
    else if (a == "--idle-timeout") o.config.idle_timeout = to_double(a, value());
    else if (a == "--compact") o.config.compact_answers = true;
    else if (a == "--keep-control-open") o.config.close_control_after_connect = false;
    else if (a == "--seed") o.config.random_seed = static_cast<uint32_t>(to_int(a, value()));
    else if (a == "--firmware") {
      std::string f = value();
      if (f == "newer") o.config.firmware = orvane::sim::Firmware::Newer;
      else if (f == "older") o.config.firmware = orvane::sim::Firmware::Older;
      else usage_error("--firmware is newer or older");
    } else if (a == "--servo-lag") {
      o.config.servo_lag = to_double(a, value());
      if (!(o.config.servo_lag >= 0.0 && o.config.servo_lag <= 10.0)) usage_error("--servo-lag must lie in [0, 10]");
    } else if (a == "--block-joint") o.deviations.push_back(to_deviation(a, value(), true));
    else if (a == "--offset-joint") o.deviations.push_back(to_deviation(a, value(), false));
    else if (a == "--robot") {
      std::string r = value();
      if (r == "lrmate200id") o.config.joint_limits = orvane::sim::lrmate200id_limits();
      else if (r == "crx10ial") o.config.joint_limits = orvane::sim::crx10ial_limits();
      else if (r == "none") o.config.joint_limits.clear();
      if (r == "lrmate200id" || r == "crx10ial" || r == "none") o.config.arm_model = r == "none" ? "" : r;
      else usage_error("unknown robot '" + r + "'");
    } else if (a == "--min-motion-ms") {
      long long ms = to_int(a, value());
      if (ms != 12 && ms != 24) usage_error("--min-motion-ms is 12 or 24");
      o.config.minimum_motion_ms = static_cast<int>(ms);
    } else if (a == "--interpolation-period") {
      o.config.interpolation_period = to_double(a, value());
      if (o.config.interpolation_period < 0.001 || o.config.interpolation_period > 0.1)
        usage_error("--interpolation-period must lie in [0.001, 0.1]");
    } else if (a == "--no-reset-seq-on-init") o.config.initialize_resets_sequence_id = false;
    else if (a == "--next-seq") o.next_seq = static_cast<int>(to_int(a, value()));
    else if (a == "--abort-duration") {
      o.config.abort_duration = to_double(a, value());
      if (!(o.config.abort_duration >= 0.0 && o.config.abort_duration <= 600.0))
        usage_error("--abort-duration must lie in [0, 600]");
    }
    else if (a == "--initial-position") {
      std::stringstream ss(value());
      std::string item;
      std::size_t k = 0;
      while (std::getline(ss, item, ',')) {
        if (k >= 9) usage_error("--initial-position takes at most 9 values");
        o.config.initial_position_deg[k++] = to_double(a, item);
      }
    } else if (a == "--override") o.override_percent = static_cast<int>(to_int(a, value()));
    else if (a == "--din") {
      std::string v = value();
      auto eq = v.find('=');
      if (eq == std::string::npos) usage_error("--din expects PORT=0|1");
      o.dins.emplace_back(static_cast<uint64_t>(to_int(a, v.substr(0, eq))), to_int(a, v.substr(eq + 1)) != 0);
    } else if (a == "--port") {
      std::string v = value();
      auto colon = v.find(':'), eq = v.find('=');
      if (colon == std::string::npos || eq == std::string::npos || eq < colon)
        usage_error("--port expects TYPE:PORT=VALUE");
      o.ports.push_back({v.substr(0, colon), to_int(a, v.substr(colon + 1, eq - colon - 1)), to_double(a, v.substr(eq + 1))});
    } else if (a == "--program") {
      std::string v = value();
      auto eq = v.find('=');
      if (eq == std::string::npos || eq == 0) usage_error("--program expects NAME=SECONDS");
      double t = to_double(a, v.substr(eq + 1));
      if (!(t >= 0.0 && t <= 86400.0)) usage_error("--program: the run time lies in [0, 86400] seconds");
      o.config.programs[v.substr(0, eq)] = t;
    } else if (a == "--stream-motion-port") o.config.stream_motion_port = to_port(a, value());
    else if (a == "--stream-motion-version") {
      long long v = to_int(a, value());
      if (v != 3 && v != 4) usage_error("--stream-motion-version is 3 or 4");
      o.config.stream_motion_version = static_cast<int>(v);
    } else if (a == "--stream-motion-period-ms") {
      long long ms = to_int(a, value());
      if (ms != 8 && ms != 4) usage_error("--stream-motion-period-ms is 8 or 4");
      o.config.stream_motion_period_ms = static_cast<int>(ms);
    } else if (a == "--stream-motion-ready-delay") {
      o.config.stream_motion_ready_delay = to_double(a, value());
      if (!(o.config.stream_motion_ready_delay >= 0.0 && o.config.stream_motion_ready_delay <= 60.0))
        usage_error("--stream-motion-ready-delay must lie in [0, 60]");
    } else if (a == "--max-cartesian-speed") {
      o.config.max_cartesian_speed = to_double(a, value());
      if (!(o.config.max_cartesian_speed >= 1.0 && o.config.max_cartesian_speed <= 100000.0))
        usage_error("--max-cartesian-speed must lie in [1, 100000]");
    } else if (a == "--sm-fault") {
      o.stream_faults.push_back(to_stream_fault(a, value()));
    } else if (a == "--variable") {
      std::string v = value();
      auto eq = v.find('=');
      if (eq == std::string::npos || eq == 0) usage_error("--variable expects NAME=VALUE");
      to_double(a, v.substr(eq + 1));
      o.variables.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (a == "--teach-pendant") o.tp = true;
    else if (a == "--servo-off") o.servo_off = true;
    else if (a == "--estop") o.estop = true;
    else if (a == "--single-step") o.single_step = true;
    else if (a == "--refuse-seq") {
      std::string v = value();
      auto colon = v.find(':');
      if (colon == std::string::npos) usage_error("--refuse-seq expects ID:ERROR");
      o.refusals.emplace_back(static_cast<int>(to_int(a, v.substr(0, colon))),
                              static_cast<int>(to_int(a, v.substr(colon + 1))));
    } else if (a == "--fault-at-seq") o.faults.push_back(static_cast<int>(to_int(a, value())));
    else if (a == "--answer-delay") o.answer_delay = to_double(a, value());
    else if (a == "--withhold") o.withhold = true;
    else if (a == "--split-answers") o.split_at = inline_value ? static_cast<std::size_t>(to_int(a, *inline_value)) : 10;
    else if (a == "--split-pause") o.split_pause = to_double(a, value());
    else if (a == "--record-csv") o.record_prefix = value();
    else if (a == "--verbose") o.verbose = true;
    else if (a == "--console") o.console = true;
    else usage_error("unknown option '" + args[i] + "'");
  }
  return o;
}

std::mutex print_mutex;

void say(const std::string& line) {
  std::lock_guard lk(print_mutex);
  std::cout << line << std::endl;
}

std::chrono::steady_clock::duration seconds(double s) {
  if (!(s >= 0.0 && s <= 86400.0)) throw std::invalid_argument("a time in seconds, 0 ... 86400");
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
}

// A variable the controller has keeps its type; a new one is Float when the
// text has a point or an exponent. Throws std::invalid_argument when refused.
void set_variable(ControllerSimulator& sim, const std::string& name, const std::string& text) {
  std::size_t used = 0;
  double value = std::stod(text, &used);
  if (used != text.size()) throw std::invalid_argument("not a number: '" + text + "'");
  auto known = sim.variable(name);
  bool real = known ? known->real : text.find_first_of(".eE") != std::string::npos;
  sim.set_variable(name, {real, value});
}

// std::stoul takes "-1" for its largest value: a negative number or one past the
// type's range is refused instead of wrapping around.
template <class Unsigned>
Unsigned parse_unsigned(const std::string& word) {
  if (word.empty() || word[0] == '-') throw std::invalid_argument("not a non-negative number: " + word);
  std::size_t used = 0;
  const unsigned long long value = std::stoull(word, &used);
  if (used != word.size() || value > std::numeric_limits<Unsigned>::max())
    throw std::out_of_range("out of range: " + word);
  return static_cast<Unsigned>(value);
}

bool on_off(const std::string& word, bool& out) {
  if (word == "on" || word == "1") out = true;
  else if (word == "off" || word == "0") out = false;
  else return false;
  return true;
}

void console(ControllerSimulator& sim) {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string cmd, arg, arg2;
    in >> cmd >> arg >> arg2;
    bool flag = false;
    try {
      if (cmd.empty()) continue;
      if (cmd == "quit" || cmd == "exit") break;
      if (cmd == "terminate") sim.push_terminate();
      else if (cmd == "drop") sim.drop_connections();
      else if (cmd == "fault") sim.push_system_fault(arg.empty() ? std::nullopt : std::optional<int>(std::stoi(arg)));
      else if (cmd == "estop" && on_off(arg, flag)) sim.set_estop(flag);
      else if (cmd == "tp" && on_off(arg, flag)) sim.set_teach_pendant(flag);
      else if (cmd == "servo" && on_off(arg, flag)) sim.set_servo_ready(flag);
      else if (cmd == "single-step" && on_off(arg, flag)) sim.set_single_step(flag);
      else if (cmd == "withhold" && on_off(arg, flag)) sim.withhold_answers(flag);
      else if (cmd == "din" && on_off(arg2, flag)) sim.set_digital_input(parse_unsigned<std::uint64_t>(arg), flag);
      else if (cmd == "port" && !arg2.empty()) {
        std::string arg3;
        in >> arg3;
        sim.set_port(arg, std::stoll(arg2), std::stod(arg3));
      } else if (cmd == "variable" && !arg2.empty()) set_variable(sim, arg, arg2);
      else if (cmd == "delay") sim.set_answer_delay(std::stod(arg));
      else if (cmd == "override") sim.set_override(std::stoi(arg));
      else if (cmd == "lag") sim.set_servo_lag(std::stod(arg));
      else if (cmd == "block" && !arg.empty()) {
        sim.block_joint(std::stoi(arg), std::chrono::steady_clock::now() + seconds(arg2.empty() ? 0.0 : std::stod(arg2)));
      } else if (cmd == "offset" && !arg2.empty()) {
        std::string arg3;
        in >> arg3;
        sim.offset_joint(std::stoi(arg), std::stod(arg2),
                         std::chrono::steady_clock::now() + seconds(arg3.empty() ? 0.0 : std::stod(arg3)));
      } else if (cmd == "deviations" && arg == "clear") sim.clear_joint_deviations();
      else if (cmd == "sm-fault" && stream_fault_named(arg)) {
        std::optional<uint32_t> seq;
        if (!arg2.empty()) seq = parse_unsigned<std::uint32_t>(arg2);
        sim.inject_stream_fault(*stream_fault_named(arg), seq);
      } else if (cmd == "sm-status") {
        auto s = sim.stream_motion_status();
        static const char* phases[] = {"idle", "filling", "following", "coasting"};
        std::ostringstream out;
        out << "live=" << s.live << " peer=" << (s.peer.empty() ? "-" : s.peer) << " version=" << s.version
            << " status_seq=" << s.last_status << " ready=" << (s.status & 1) << " in_motion=" << ((s.status >> 3) & 1)
            << " in_error=" << (s.robot_status & 1) << " tp=" << ((s.robot_status >> 1) & 1)
            << " estop=" << ((s.robot_status >> 2) & 1) << " phase=" << phases[static_cast<int>(s.phase)]
            << " buffered=" << s.buffered << " missed=" << s.missed_periods << " start_move=" << s.start_move
            << " use_tcp=" << s.use_tcp;
        say(out.str());
        continue;
      }
      else if (cmd == "status") {
        auto s = sim.status();
        auto p = sim.joint_position_deg();
        std::ostringstream out;
        out << "client=" << s.client_connected << " rmi=" << s.rmi_running << " program=" << s.program_status
            << " servo=" << s.servo_ready << " tp=" << s.tp_enabled << " estop=" << s.estop << " alarm=" << s.alarm
            << " hold=" << s.hold << " next_seq=" << s.next_sequence_id << " queued=" << s.queued_instructions
            << " override=" << s.override_percent << " payload=" << s.payload_schedule << " joints=";
        for (int k = 0; k < 9; ++k) out << (k ? "," : "") << p[k];
        say(out.str());
        continue;
      } else {
        say("unknown console command: " + line);
        continue;
      }
      say("ok");
    } catch (const std::exception& e) {
      say(std::string("error: ") + e.what());
    }
  }
  if (!std::cin) return;  // end of input: keep serving until a signal
  ::kill(::getpid(), SIGTERM);
}

}  // namespace

int main(int argc, char** argv) {
  Options opt = parse(argc, argv);

  // Every thread inherits the blocked signals; the main thread takes them with sigwait.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  ControllerSimulator sim(opt.config);
  if (opt.servo_off) sim.set_servo_ready(false);
  if (opt.tp) sim.set_teach_pendant(true);
  if (opt.estop) sim.set_estop(true);
  if (opt.single_step) sim.set_single_step(true);
  if (opt.next_seq) sim.set_next_sequence_id(*opt.next_seq);
  if (opt.override_percent) sim.set_override(*opt.override_percent);
  for (auto [port, v] : opt.dins) sim.set_digital_input(port, v);
  try {
    for (const auto& p : opt.ports) sim.set_port(p.type, p.port, p.value);
  } catch (const std::exception& e) {
    usage_error(std::string("--port: ") + e.what());
  }
  try {
    for (const auto& [name, text] : opt.variables) set_variable(sim, name, text);
  } catch (const std::exception& e) {
    usage_error(std::string("--variable: ") + e.what());
  }
  for (auto [id, err] : opt.refusals) sim.refuse_sequence_id(id, err);
  for (int id : opt.faults) sim.fault_at_sequence_id(id);
  for (const auto& d : opt.deviations) sim.add_joint_deviation(d);
  for (auto [fault, seq] : opt.stream_faults) sim.inject_stream_fault(fault, seq);
  if (opt.answer_delay > 0) sim.set_answer_delay(opt.answer_delay);
  if (opt.withhold) sim.withhold_answers(true);
  if (opt.split_at > 0) sim.split_every_answer(opt.split_at, opt.split_pause);
  if (opt.verbose) {
    // Stream Motion status goes out every period: only a change of its bits is printed.
    auto last_bits = std::make_shared<std::string>();
    sim.set_line_observer([last_bits](const std::string& channel, bool incoming, const std::string& line) {
      if (channel == "stream" && !incoming) {
        auto bits = line.substr(line.find("\"Status\""));
        bits = bits.substr(0, bits.find(",\"JointAngle\""));
        if (bits == *last_bits) return;
        *last_bits = bits;
      }
      say(std::string(incoming ? "<- " : "-> ") + channel + ": " + line);
    });
  }

  try {
    sim.start();
  } catch (const std::exception& e) {
    std::cerr << "fanuc-rmi-sim: " << e.what() << std::endl;
    return 1;
  }
  std::string stream_motion =
      sim.stream_motion_port() ? ", Stream Motion UDP port " + std::to_string(sim.stream_motion_port()) : "";
  say("fanuc-rmi-sim listening on " + opt.config.address + ":" + std::to_string(sim.control_port()) +
      " (data port " + std::to_string(sim.data_port()) + stream_motion + ")");

  if (opt.console) std::thread(console, std::ref(sim)).detach();

  int sig = 0;
  sigwait(&signals, &sig);
  sim.stop();
  int status = 0;
  if (opt.record_prefix) {
    try {
      sim.write_path_csv(*opt.record_prefix + "_path.csv");
      sim.write_received_csv(*opt.record_prefix + "_received.csv");
    } catch (const std::exception& e) {
      std::cerr << "fanuc-rmi-sim: " << e.what() << std::endl;
      status = 1;
    }
  }
  say("fanuc-rmi-sim stopped");
  std::_Exit(status);  // the console thread may still block on standard input
}
