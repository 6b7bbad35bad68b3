// Stream Motion's packets and the period's work: the session (Start, Stop,
// one peer), requests (capability, thresholds, GPIO, force sensor), commands
// (numbering, checks, the buffer) and, every period, following one command
// and sending the status. The rules are listed in orvane/sim/stream_motion.hpp;
// the states in stream_state.hpp.
#include <algorithm>
#include <cmath>

#include "../core.hpp"
#include "../handlers/handlers.hpp"

namespace orvane::sim::detail {

namespace sm = stream_motion;

namespace {

const std::string& alarm_bad_packet = stream_alarm_bad_packet;
const std::string& alarm_foreign_start = stream_alarm_foreign_start;
const std::string& alarm_second_start = stream_alarm_second_start;
const std::string& alarm_receiving_interval = stream_alarm_receiving_interval;

constexpr double late_by_periods = 1.5;  // an injected late command arrives this much after it was sent

std::string endpoint_text(const udp::endpoint& e) { return e.address().to_string() + ":" + std::to_string(e.port()); }

const char* packet_name(uint32_t type) {
  switch (type) {
    case sm::type_stop: return "Stop";
    case sm::type_threshold: return "Threshold";
    case sm::type_get_capability: return "GetCapability";
    case sm::type_set_capability: return "SetCapability";
    case sm::type_start: return "Start";
    case sm::type_command: return "Command";
    case sm::type_gpio: return "GpioConfig";
    case sm::type_force_sensor: return "ForceSensorConfig";
    default: return "Unknown";
  }
}

// A received packet as one line of the record, as RMI packets are recorded.
std::string describe(std::span<const uint8_t> b, const udp::endpoint& from) {
  ojson j = ojson::object();
  auto h = sm::read_header(b);
  j["Packet"] = h ? packet_name(h->type) : "Unknown";
  j["From"] = endpoint_text(from);
  j["Size"] = b.size();
  if (!h) return j.dump();
  j["Type"] = h->type;
  j["Version"] = h->version;
  auto size = sm::request_size(h->type);
  if (!size || *size != b.size()) return j.dump();
  if (h->type == sm::type_command) {
    auto c = sm::read_command(b);
    j["SequenceNo"] = c.sequence;
    j["IsLastCommand"] = c.last;
    j["MotionCtrl"] = c.motion;
    j["DataStyle"] = c.data_style;
    ojson q = ojson::array();
    for (double v : c.position) q.push_back(std::isfinite(v) ? ojson(v) : ojson(std::to_string(v)));
    j["Position"] = q;
  } else if (h->type == sm::type_threshold) {
    auto r = sm::read_threshold_request(b);
    j["Axis"] = r.axis;
    j["Kind"] = r.kind;
  } else if (h->type == sm::type_set_capability) {
    auto c = sm::read_capability(b);
    j["StartMove"] = c.start_move;
    j["UseTcp"] = c.use_tcp;
  }
  return j.dump();
}

}  // namespace

// ---- the program and readiness -------------------------------------------------

bool Core::stream_program_running() const {
  return motion.executing && !motion.queue.empty() && motion.queue.front().kind == Instr::Kind::Stream;
}

bool Core::stream_ready(Clock::time_point t) const {
  const auto& s = stream;
  bool dropped = s.ready_drop_at && t >= *s.ready_drop_at && t < *s.ready_drop_at + seconds(stream_stale_drop_for);
  return s.live && s.armed && stream_program_running() && s.program_since && !dropped &&
         t >= *s.program_since + seconds(cfg.stream_motion_ready_delay) && state.servo_ready() && !state.tp &&
         !state.fault_alarm && !state.estop_alarm && !state.paused && !motion.pause_at;
}

void Core::stream_program_started(Clock::time_point t) {
  stream.program_since = t;
  stream.ready_drop_at.reset();
  if (stream.instance_unfinished) stream.ready_drop_at = t + seconds(stream_stale_drop_after);
  stream.instance_unfinished = true;
  stream.commanded = to_planner(motion.pos);
  stream.stop_motion();
}

// An alarm of the stream: a streamed motion stops with it (a motion fault:
// the program pauses, FRC_SystemFault), else it only stands in the history
// and sets in_error.
void Core::stream_alarm(const std::string& text) {
  stream.stop_motion();
  if (stream_program_running()) {
    motion_fault({}, text);
    return;
  }
  state.fault_alarm = true;
  state.raise_alarm(text);
  cv.notify_all();
}

void Core::stream_estop(bool pressed) {
  if (!pressed) {
    stream.estop_since.reset();
    return;
  }
  stream.estop_since = Clock::now();
  stream.ready_at_estop = stream.status_bits & 1;
  stream.error_at_estop = stream.robot_status_bits & 1;
}

sm::CheckContext Core::stream_check_context() const {
  sm::CheckContext ctx;
  ctx.joint_limits = &cfg.joint_limits;
  ctx.tables = &stream.tables;
  ctx.arm = arm.get();
  ctx.period_s = cfg.stream_motion_period_ms / 1000.0;
  ctx.max_cartesian_speed = cfg.max_cartesian_speed;
  // The payload: the selected schedule's mass, else the group's payload variable.
  double mass = 0.0;
  auto schedule = state.payloads.find(state.payload_schedule);
  if (state.payload_schedule > 0 && schedule != state.payloads.end()) {
    mass = schedule->second.mass;
  } else if (auto v = state.variables.find("$PARAM_GROUP[1].$PAYLOAD"); v != state.variables.end()) {
    mass = v->second.value;
  }
  double rated = rated_payload_kg(cfg.arm_model);
  ctx.payload_fraction = rated > 0.0 ? mass / rated : 1.0;  // no rated payload known: the full-payload tables
  return ctx;
}

sm::CheckResult Core::stream_injected_breach(StreamFault fault, const sm::CheckContext& ctx) const {
  auto top = [&](ThresholdKind kind) {
    return sm::threshold_at(stream.tables.of(1, kind), threshold_steps - 1, ctx.payload_fraction);
  };
  switch (fault) {
    case StreamFault::VelocityLimit: return {sm::Breach::Velocity, 1, 1.5 * top(ThresholdKind::Velocity), top(ThresholdKind::Velocity)};
    case StreamFault::AccelerationLimit:
      return {sm::Breach::Acceleration, 1, 1.5 * top(ThresholdKind::Acceleration), top(ThresholdKind::Acceleration)};
    case StreamFault::JerkLimit: return {sm::Breach::Jerk, 1, 1.5 * top(ThresholdKind::Jerk), top(ThresholdKind::Jerk)};
    case StreamFault::JointLimit: {
      double upper = ctx.joint_limits->empty() ? 0.0 : (*ctx.joint_limits)[0].upper * deg_per_rad;
      return {sm::Breach::JointRange, 1, upper + 1.0, upper};
    }
    default: return {};
  }
}

// ---- packets ---------------------------------------------------------------------

namespace {

struct Requests {
  Core& core;
  const udp::endpoint& from;

  void capability(std::span<const uint8_t> b) {
    auto& s = core.stream;
    sm::Capability c = sm::read_capability(b);
    if (c.type == sm::type_set_capability && !s.live) {  // settings hold from one session to the next
      if (c.start_move <= static_cast<uint32_t>(max_start_move)) s.start_move = static_cast<int>(c.start_move);
      if (c.use_tcp <= 1) s.use_tcp = c.use_tcp == 1;
    }
    sm::Capability a;
    a.type = c.type;
    a.version = c.version;
    a.sampling_rate = static_cast<uint32_t>(core.cfg.stream_motion_period_ms);
    a.start_move = static_cast<uint32_t>(s.start_move);
    a.available_version = static_cast<uint32_t>(core.cfg.stream_motion_version);
    a.use_tcp = s.use_tcp ? 1 : 0;
    core.stream_send({s.sbuf.data(), sm::write_capability(a, s.sbuf)}, from);
  }

  void threshold(std::span<const uint8_t> b) {
    auto& s = core.stream;
    sm::ThresholdRequest r = sm::read_threshold_request(b);
    if (r.axis < 1 || r.axis > sm::threshold_axes || r.kind >= sm::threshold_kinds)
      return core.stream_alarm(alarm_bad_packet);
    sm::ThresholdAnswer a;
    a.version = r.version;
    a.axis = r.axis;
    a.kind = r.kind;
    a.max_cartesian_speed = static_cast<uint32_t>(std::lround(core.cfg.max_cartesian_speed));
    a.interval = static_cast<uint32_t>(core.cfg.stream_motion_period_ms);
    const ThresholdTable& t = s.tables.of(static_cast<int>(r.axis), static_cast<ThresholdKind>(r.kind));
    a.no_payload = t.no_payload;
    a.full_payload = t.full_payload;
    core.stream_send({s.sbuf.data(), sm::write_threshold_answer(a, s.sbuf)}, from);
  }

  void gpio(std::span<const uint8_t> b) {
    auto& s = core.stream;
    sm::GpioSetup setup;
    if (s.live) setup.result = sm::gpio_mismatch;  // the mapping is fixed while a session streams
    else setup = sm::configure_gpio(sm::read_gpio_config(b));
    if (!s.live) s.gpio = setup.map;  // a refused configuration maps nothing
    core.stream_send({s.sbuf.data(), sm::write_gpio_result({setup.result, setup.ptf}, s.sbuf)}, from);
  }

  void start(uint32_t version) {
    auto& s = core.stream;
    if (s.live) return core.stream_alarm(from == s.peer ? alarm_second_start : alarm_foreign_start);
    s.live = true;
    ++s.session_number;
    s.peer = from;
    s.version = version;
    s.last_status = 0;
    s.expected.reset();
    s.command_in_period = false;
    s.was_ready = false;
    s.armed = std::any_of(core.motion.queue.begin(), core.motion.queue.end(),
                          [](const Instr& in) { return in.kind == Instr::Kind::Stream; });
    s.stop_motion();
    s.next_tick = Clock::now() + seconds(core.cfg.stream_motion_period_ms / 1000.0);
    core.stream_schedule_tick();
    core.cv.notify_all();
  }

  void stop() {
    auto& s = core.stream;
    if (!s.live) return;  // a client's defensive Stop
    s.live = false;
    if (s.timer) s.timer->cancel();
    // STREAM_MOTN outlives the session: still running it stops the arm;
    // ended, the controller still notes the silence.
    if (core.stream_program_running()) core.stream_alarm(alarm_receiving_interval);
    else if (s.armed) core.state.raise_alarm(alarm_receiving_interval);
    s.stop_motion();
    core.cv.notify_all();
  }

  void command(std::span<const uint8_t> b);
};

void record_command(StreamMotion& s, StreamCommandRecord r) {
  ++s.commands_received;
  if (s.records.size() < max_stream_command_records) s.records.push_back(std::move(r));
}

}  // namespace

void Requests::command(std::span<const uint8_t> b) {
  auto& s = core.stream;
  sm::Command c = sm::read_command(b);
  StreamCommandRecord rec;
  rec.at = Clock::now();
  rec.sequence = c.sequence;
  rec.last = c.last != 0;
  rec.motion = c.motion != 0;
  rec.position_deg = c.position;
  auto done = [&](CommandVerdict v, std::string detail = {}) {
    rec.verdict = v;
    rec.detail = std::move(detail);
    record_command(s, std::move(rec));
    core.cv.notify_all();
  };
  if (!s.live) return done(CommandVerdict::Refused, "no session");
  if (from != s.peer) return done(CommandVerdict::Refused, "not the session's peer");
  if (c.version != s.version) {
    core.stream_alarm(alarm_bad_packet);
    return done(CommandVerdict::Faulted, alarm_bad_packet + " (version " + std::to_string(c.version) + ")");
  }

  // Numbering: the first command may answer any of the last statuses, each
  // later one follows its predecessor; none answers a status not yet sent.
  if (s.last_status == 0) return done(CommandVerdict::Refused, "no status sent yet");
  auto behind = static_cast<int32_t>(s.last_status - c.sequence);  // wraps with the numbers
  if (behind < 0) return done(CommandVerdict::Refused, "ahead of the last status " + std::to_string(s.last_status));
  if (!s.expected && behind >= static_cast<int32_t>(stream_packet_stack))
    return done(CommandVerdict::Refused, "answers a status too old (last " + std::to_string(s.last_status) + ")");
  if (s.expected && c.sequence != *s.expected)
    return done(CommandVerdict::Refused, "sequence: expected " + std::to_string(*s.expected));
  s.expected = c.sequence + 1;
  s.command_in_period = true;
  if (s.phase == StreamPhase::Coasting) return done(CommandVerdict::Ignored, "late: the arm is coasting");

  bool ready = core.stream_ready(Clock::now());
  if (!c.motion || !ready) {
    sm::apply_command_io(s.gpio, c.io, core.state);
    if (c.last && ready) s.end_requested = true;
    return done(c.motion ? CommandVerdict::NotReady : CommandVerdict::Accepted, c.motion ? "bit 0 is clear" : "");
  }

  // An injected limit fault belongs to a motion command that is checked.
  auto limit_fault = [](StreamFault f) { return f != StreamFault::LoseCommand && f != StreamFault::LateCommand; };
  std::optional<StreamFault> injected;
  if (auto it = s.command_faults.find(c.sequence); it != s.command_faults.end() && limit_fault(it->second)) {
    injected = it->second;
    s.command_faults.erase(it);
  } else if (s.next_command_fault && limit_fault(*s.next_command_fault)) {
    injected = s.next_command_fault;
    s.next_command_fault.reset();
  }

  sm::CheckContext ctx = core.stream_check_context();
  if (s.phase == StreamPhase::Idle) s.checker.restart(to_planner(core.measured_now()), ctx);
  sm::CheckResult result = s.checker.check(c.data_style, c.position, ctx);
  if (result && injected) result = core.stream_injected_breach(*injected, ctx);
  if (!result) {
    std::string alarm = sm::alarm_text(result, c.sequence);
    core.stream_alarm(alarm);
    return done(CommandVerdict::Faulted, alarm);
  }
  if (s.buffer.size() >= stream_packet_stack) return done(CommandVerdict::Refused, "command buffer full");
  s.checker.take(c.position, ctx);
  sm::apply_command_io(s.gpio, c.io, core.state);
  s.buffer.push_back({c.sequence, c.last != 0, c.position});
  if (s.phase == StreamPhase::Idle) s.phase = StreamPhase::Filling;
  done(CommandVerdict::Accepted);
}

void Core::stream_datagram(std::span<const uint8_t> b, const udp::endpoint& from, bool delayed) {
  auto h = sm::read_header(b);
  auto size = h ? sm::request_size(h->type) : std::nullopt;
  bool well_sized = size && *size == b.size();
  // Faults of the network: a command lost, or handled late.
  if (!delayed && well_sized && h->type == sm::type_command) {
    uint32_t seq = sm::read_command(b).sequence;
    auto fault = stream.command_faults.find(seq);
    bool armed_here = fault != stream.command_faults.end();
    std::optional<StreamFault> kind = armed_here ? std::optional(fault->second) : stream.next_command_fault;
    bool from_peer = stream.live && from == stream.peer && net.io;
    if (from_peer && kind && (*kind == StreamFault::LoseCommand || *kind == StreamFault::LateCommand)) {
      if (armed_here) stream.command_faults.erase(fault);
      else stream.next_command_fault.reset();
      if (*kind == StreamFault::LoseCommand) {
        StreamCommandRecord r;
        r.at = Clock::now();
        r.sequence = seq;
        r.verdict = CommandVerdict::Lost;
        r.detail = "lost (injected)";
        record_command(stream, std::move(r));
        return;
      }
      auto bytes = std::make_shared<std::vector<uint8_t>>(b.begin(), b.end());
      auto timer = std::make_shared<asio::steady_timer>(*net.io, seconds(late_by_periods * cfg.stream_motion_period_ms / 1000.0));
      timer->async_wait([this, bytes, timer, from](const boost::system::error_code& ec) {
        if (ec) return;
        std::lock_guard lk(m);
        if (!net.stopping) stream_datagram(*bytes, from, true);
      });
      return;
    }
  }

  record("stream", describe(b, from));
  if (!well_sized) return stream_alarm(alarm_bad_packet);
  // Force-sensor configuration exists from version 4 on; any other packet from 3 on.
  bool force = h->type == sm::type_force_sensor;
  if (force && cfg.stream_motion_version < 4) return stream_alarm(alarm_bad_packet);
  uint32_t lowest = force ? 4 : sm::lowest_version;
  if (h->version < lowest || h->version > static_cast<uint32_t>(cfg.stream_motion_version))
    return stream_alarm(alarm_bad_packet);

  Requests r{*this, from};
  switch (h->type) {
    case sm::type_start: return r.start(h->version);
    case sm::type_stop: return r.stop();
    case sm::type_get_capability:
    case sm::type_set_capability: return r.capability(b);
    case sm::type_threshold: return r.threshold(b);
    case sm::type_gpio: return r.gpio(b);
    case sm::type_command: return r.command(b);
    case sm::type_force_sensor: return;  // taken; the simulated arm has no sensor to select or reset
    default: return stream_alarm(alarm_bad_packet);
  }
}

}  // namespace orvane::sim::detail
