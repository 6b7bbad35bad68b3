// The public face of the simulator: each call takes the one lock and
// reaches the room that owns the concern (see core.hpp).
#include "orvane/sim/controller_simulator.hpp"

#include <cmath>
#include <set>
#include <stdexcept>

#include "core.hpp"
#include "system_variables.hpp"

namespace orvane::sim {

using detail::Clock;

namespace {

void set_variable_or_throw(detail::ControllerState& state, const std::string& name, const SystemVariable& v) {
  auto key = detail::variable_key(name);
  if (!key) throw std::invalid_argument("a system variable is named \"$...\" in at most 64 bytes: '" + name + "'");
  if (detail::write_variable(state, *key, v, detail::VariableWriter::Simulator) != 0)
    throw std::invalid_argument("system variable " + *key + " does not take that value");
}

}  // namespace

detail::Core::Core(SimulatorConfig c) : cfg(std::move(c)) {
  if (cfg.number_utool < 1 || cfg.number_utool > detail::max_utool)
    throw std::invalid_argument("number_utool lies in 1 ... " + std::to_string(detail::max_utool));
  if (cfg.number_uframe < 1 || cfg.number_uframe > detail::max_uframe)
    throw std::invalid_argument("number_uframe lies in 1 ... " + std::to_string(detail::max_uframe));
  state.number_utool = cfg.number_utool;
  state.number_uframe = cfg.number_uframe;
  // The Stream Motion settings as the controller shows them; a variable the
  // configuration sets explicitly still wins.
  state.variables["$STMO.$COM_INT"] = {false, static_cast<double>(cfg.stream_motion_period_ms)};
  state.variables["$STMO.$PKT_STACK"] = {false, static_cast<double>(stream_packet_stack)};
  for (const auto& [name, v] : cfg.variables) set_variable_or_throw(state, name, v);
  out.rng.seed(cfg.random_seed);
  out.compact = cfg.compact_answers;
  state.init_resets_seq = cfg.initialize_resets_sequence_id;
  motion.pos = cfg.initial_position_deg;
  motion.servo_lag = std::max(0.0, cfg.servo_lag);
  net.start_time = Clock::now();
  motion.t_cursor = net.start_time;
  arm = ArmModel::make(cfg.arm_model);
  programs = cfg.programs;
  if (cfg.stream_motion_version < stream_motion::lowest_version ||
      cfg.stream_motion_version > stream_motion::highest_version)
    throw std::invalid_argument("Stream Motion version 3 or 4");
  if (cfg.stream_motion_period_ms != 8 && cfg.stream_motion_period_ms != 4)
    throw std::invalid_argument("Stream Motion period 8 or 4 ms");
  stream.tables = stream_motion::ThresholdTables::from(cfg.joint_limits);
}

ControllerSimulator::ControllerSimulator(SimulatorConfig config) : impl_(std::make_unique<detail::Core>(std::move(config))) {}

ControllerSimulator::~ControllerSimulator() {
  try {
    impl_->stop();
  } catch (...) {
  }
}

void ControllerSimulator::start() { impl_->start(); }
void ControllerSimulator::stop() { impl_->stop(); }
const SimulatorConfig& ControllerSimulator::config() const { return impl_->cfg; }

uint16_t ControllerSimulator::data_port() const {
  std::lock_guard lk(impl_->m);
  return impl_->net.bound_data_port;
}

uint16_t ControllerSimulator::control_port() const {
  std::lock_guard lk(impl_->m);
  return impl_->net.bound_control_port;
}

void ControllerSimulator::set_digital_input(uint64_t port, bool value) {
  std::lock_guard lk(impl_->m);
  impl_->state.ports["DI"][static_cast<int64_t>(std::min<uint64_t>(port, INT64_MAX))] = value ? 1.0 : 0.0;
}

void ControllerSimulator::set_port(const std::string& type, int64_t port, double value) {
  static const std::set<std::string> types = {"DI", "DO", "RI", "RO", "AI", "AO", "GI", "GO", "FLAG"};
  if (!types.count(type) || !std::isfinite(value)) throw std::invalid_argument("unknown port type or value");
  if (port < 1 || port > 32767) throw std::invalid_argument("ports are numbered 1 ... 32767");
  std::lock_guard lk(impl_->m);
  impl_->state.ports[type][port] = value;
}

double ControllerSimulator::port(const std::string& type, int64_t port) const {
  std::lock_guard lk(impl_->m);
  return impl_->state.port(type, port);
}

void ControllerSimulator::add_program(const std::string& name, double run_seconds) {
  std::lock_guard lk(impl_->m);
  impl_->programs[name] = std::max(0.0, run_seconds);
}

void ControllerSimulator::set_variable(const std::string& name, SystemVariable value) {
  std::lock_guard lk(impl_->m);
  set_variable_or_throw(impl_->state, name, value);
}

std::optional<SystemVariable> ControllerSimulator::variable(const std::string& name) const {
  std::lock_guard lk(impl_->m);
  auto key = detail::variable_key(name);
  if (!key) return std::nullopt;
  return detail::read_variable(impl_->state, *key);
}

std::optional<bool> ControllerSimulator::digital_output(uint64_t port) const {
  std::lock_guard lk(impl_->m);
  auto v = impl_->state.port_if_written("DO", static_cast<int64_t>(std::min<uint64_t>(port, INT64_MAX)));
  if (!v) return std::nullopt;
  return *v != 0.0;
}

void ControllerSimulator::set_teach_pendant(bool enabled) {
  std::lock_guard lk(impl_->m);
  bool was = impl_->state.tp;
  impl_->state.tp = enabled;
  if (enabled && !was && impl_->state.rmi_running) impl_->motion_fault({}, "TPIF-013 Enable switch on (teach pendant)");
}

void ControllerSimulator::set_servo_ready(bool ready) {
  std::lock_guard lk(impl_->m);
  bool was = impl_->state.servo_power;
  impl_->state.servo_power = ready;
  if (!ready && was && impl_->state.rmi_running) impl_->motion_fault({}, "SRVO-002 Servo power off");
}

void ControllerSimulator::set_estop(bool pressed) {
  std::lock_guard lk(impl_->m);
  bool was = impl_->state.estop;
  impl_->state.estop = pressed;
  if (pressed != was) impl_->stream_estop(pressed);
  if (pressed && !was) {
    impl_->state.estop_alarm = true;
    if (impl_->state.rmi_running) impl_->motion_fault({}, "SRVO-001 Operator panel E-stop");
    else impl_->halt(Clock::now());
  }
}

void ControllerSimulator::set_single_step(bool on) {
  std::lock_guard lk(impl_->m);
  impl_->state.single_step = on;
}

void ControllerSimulator::set_initialize_resets_sequence_id(bool on) {
  std::lock_guard lk(impl_->m);
  impl_->state.init_resets_seq = on;
}

void ControllerSimulator::set_next_sequence_id(int id) {
  std::lock_guard lk(impl_->m);
  impl_->state.next_seq = id;
}

void ControllerSimulator::set_override(int percent) {
  std::lock_guard lk(impl_->m);
  impl_->state.override_percent = std::clamp(percent, 1, 100);
}

StatusSnapshot ControllerSimulator::status() const {
  std::lock_guard lk(impl_->m);
  const auto& s = impl_->state;
  return {s.servo_ready(), s.tp, s.single_step, s.estop, s.estop_alarm || s.fault_alarm, s.hold,
          s.rmi_running, impl_->net.session != nullptr, s.program_status, s.next_seq, s.override_percent,
          s.payload_schedule, impl_->motion.queue.size()};
}

std::array<double, 9> ControllerSimulator::joint_position_deg() const {
  std::lock_guard lk(impl_->m);
  auto now = Clock::now();
  impl_->motion.update_deviations(now);
  return impl_->motion.measured_at(now);
}

std::array<double, 9> ControllerSimulator::commanded_position_deg() const {
  std::lock_guard lk(impl_->m);
  return impl_->motion.position_at(Clock::now());
}

void ControllerSimulator::set_servo_lag(double seconds) {
  std::lock_guard lk(impl_->m);
  impl_->motion.servo_lag = std::clamp(std::isfinite(seconds) ? seconds : 0.0, 0.0, 10.0);
}

void ControllerSimulator::add_joint_deviation(const JointDeviation& deviation) {
  if (deviation.joint < 1 || deviation.joint > 9 || !std::isfinite(deviation.offset_deg) ||
      (deviation.after_motion_start && !(*deviation.after_motion_start >= 0.0)))
    throw std::invalid_argument("joint deviation: joint 1 ... 9, a finite offset, a time of at least 0");
  std::lock_guard lk(impl_->m);
  detail::Deviation d;
  d.spec = deviation;
  if (!d.spec.from && !d.spec.after_motion_start) d.spec.from = Clock::now();
  impl_->motion.deviations.push_back(d);
  impl_->motion.update_deviations(Clock::now());
}

void ControllerSimulator::block_joint(int joint, std::chrono::steady_clock::time_point from) {
  JointDeviation d;
  d.joint = joint;
  d.block = true;
  d.from = from;
  add_joint_deviation(d);
}

void ControllerSimulator::offset_joint(int joint, double degrees, std::chrono::steady_clock::time_point from) {
  JointDeviation d;
  d.joint = joint;
  d.offset_deg = degrees;
  d.from = from;
  add_joint_deviation(d);
}

void ControllerSimulator::clear_joint_deviations() {
  std::lock_guard lk(impl_->m);
  impl_->motion.deviations.clear();
}

void ControllerSimulator::refuse_sequence_id(int sequence_id, int error_id) {
  std::lock_guard lk(impl_->m);
  impl_->faults.refusals[sequence_id] = error_id;
}

void ControllerSimulator::fault_at_sequence_id(int sequence_id) {
  std::lock_guard lk(impl_->m);
  impl_->faults.fault_seqs.insert(sequence_id);
}

void ControllerSimulator::push_system_fault(std::optional<int> sequence_id) {
  std::lock_guard lk(impl_->m);
  impl_->motion_fault(sequence_id, "SYST-034 HOLD signal from SOP/UOP is lost (injected fault)");
}

void ControllerSimulator::push_terminate() {
  std::lock_guard lk(impl_->m);
  detail::Core& s = *impl_;
  s.on_io([&s] {
    if (s.net.session) s.terminate(s.net.session);
    auto controls = s.net.controls;
    for (auto& c : controls) s.close_control(c, false);
  });
}

void ControllerSimulator::drop_connections() {
  std::lock_guard lk(impl_->m);
  detail::Core& s = *impl_;
  s.on_io([&s] {
    if (s.net.session) s.close_session(s.net.session, true);
    auto controls = s.net.controls;
    for (auto& c : controls) s.close_control(c, true);
  });
}

void ControllerSimulator::set_answer_delay(double seconds) {
  std::lock_guard lk(impl_->m);
  impl_->out.delay = std::max(0.0, seconds);
}

void ControllerSimulator::withhold_answers(bool on) {
  std::lock_guard lk(impl_->m);
  detail::Core& s = *impl_;
  s.out.withheld = on;
  if (!on) s.on_io([&s] { s.release_answers(); });
}

void ControllerSimulator::send_raw(const std::string& bytes) {
  std::lock_guard lk(impl_->m);
  if (impl_->net.observer) impl_->net.observer("data", false, bytes);
  impl_->enqueue(impl_->net.session, {bytes, 0.0, false});
}

void ControllerSimulator::split_next_answer(std::size_t at_byte, double pause_seconds) {
  std::lock_guard lk(impl_->m);
  impl_->out.split_next = std::make_pair(at_byte, pause_seconds);
}

void ControllerSimulator::split_every_answer(std::size_t at_byte, double pause_seconds) {
  std::lock_guard lk(impl_->m);
  if (at_byte == 0) impl_->out.split_every.reset();
  else impl_->out.split_every = std::make_pair(at_byte, pause_seconds);
}

void ControllerSimulator::set_compact_answers(bool on) {
  std::lock_guard lk(impl_->m);
  impl_->out.compact = on;
}

std::vector<ReceivedLine> ControllerSimulator::received_lines() const {
  std::lock_guard lk(impl_->m);
  return impl_->records.received;
}

std::vector<PathSample> ControllerSimulator::executed_path() const {
  std::lock_guard lk(impl_->m);
  return impl_->records.path;
}

std::vector<SlowDown> ControllerSimulator::slow_downs() const {
  std::lock_guard lk(impl_->m);
  return impl_->records.slows;
}

void ControllerSimulator::clear_records() {
  std::lock_guard lk(impl_->m);
  impl_->records.received.clear();
  impl_->records.path.clear();
  impl_->records.slows.clear();
  impl_->stream.records.clear();
  impl_->motion.first_motion.reset();
  impl_->motion.was_active = false;
}

void ControllerSimulator::write_path_csv(const std::string& file) const {
  detail::write_path_csv(executed_path(), file);
}

void ControllerSimulator::write_received_csv(const std::string& file) const {
  std::vector<ReceivedLine> lines;
  std::chrono::steady_clock::time_point origin;
  {
    std::lock_guard lk(impl_->m);
    lines = impl_->records.received;
    origin = impl_->net.start_time;
  }
  detail::write_received_csv(lines, origin, file);
}

void ControllerSimulator::set_line_observer(
    std::function<void(const std::string& channel, bool incoming, const std::string& line)> fn) {
  std::lock_guard lk(impl_->m);
  impl_->net.observer = std::move(fn);
}

bool ControllerSimulator::wait_for_client(std::chrono::milliseconds timeout) const {
  std::unique_lock lk(impl_->m);
  return impl_->cv.wait_for(lk, timeout, [this] { return impl_->net.session != nullptr; });
}

bool ControllerSimulator::wait_for_disconnect(std::chrono::milliseconds timeout) const {
  std::unique_lock lk(impl_->m);
  return impl_->cv.wait_for(lk, timeout, [this] { return impl_->net.session == nullptr; });
}

bool ControllerSimulator::wait_for_line(const std::function<bool(const std::string&)>& pred,
                                        std::chrono::milliseconds timeout, std::size_t from) const {
  std::unique_lock lk(impl_->m);
  std::size_t seen = from;
  return impl_->cv.wait_for(lk, timeout, [&] {
    const auto& lines = impl_->records.received;
    seen = std::min(seen, lines.size());
    for (; seen < lines.size(); ++seen)
      if (pred(lines[seen].line)) return true;
    return false;
  });
}

bool ControllerSimulator::wait_until_motion_idle(std::chrono::milliseconds timeout) const {
  std::unique_lock lk(impl_->m);
  return impl_->cv.wait_for(lk, timeout, [this] { return impl_->motion.queue.empty() && !impl_->motion.executing; });
}

size_t ControllerSimulator::received_line_count() const {
  std::lock_guard lk(impl_->m);
  return impl_->records.received.size();
}

size_t ControllerSimulator::connection_count() const {
  std::lock_guard lk(impl_->m);
  return impl_->records.data_connections;
}

}  // namespace orvane::sim
