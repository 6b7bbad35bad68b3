// Every period of a live session, on the simulator's own clock: the
// commands that have arrived are taken, the streamed motion follows one
// command (or coasts, or stops), the executed path and the servo lag's
// history are kept, and the status goes to the peer.
#include <algorithm>
#include <cmath>

#include "../core.hpp"
#include "../handlers/handlers.hpp"

namespace orvane::sim::detail {

namespace sm = stream_motion;

namespace {

// A stand-in motor current that changes with the motion (not a model of a
// motor): proportional to the commanded acceleration, plus friction while a
// joint moves.
constexpr double current_per_acceleration = 0.004;  // A per deg/s²
constexpr double current_friction = 0.3;            // A

}  // namespace

void Core::stream_tick() {
  auto& s = stream;
  if (!s.live) return;
  uint64_t session = s.session_number;
  stream_drain();  // what arrived before the tick counts for the period it ends
  if (!s.live || net.stopping || s.session_number != session) return;  // stopped, or restarted with its own tick
  Clock::time_point t = s.next_tick;

  uint32_t next_status = s.last_status + 1;
  for (auto it = s.start_faults.begin(); it != s.start_faults.end();) {
    if (it->first && *it->first != next_status) {
      ++it;
      continue;
    }
    bool foreign = it->second == StreamFault::ForeignStart;
    it = s.start_faults.erase(it);
    stream_alarm(foreign ? stream_alarm_foreign_start : stream_alarm_second_start);
  }

  bool ready = stream_ready(t);
  if (ready && !s.was_ready) s.expected.reset();  // a new run of the program: the numbering anchors again
  if (!ready && s.phase != StreamPhase::Idle) s.stop_motion();
  s.was_ready = ready;

  bool program_was_running = stream_program_running();
  stream_follow(t);
  if (program_was_running) motion.remember_commanded(t, motion.position_at(t));
  motion.update_deviations(t);
  Joints measured = motion.measured_at(t);
  bool streaming = s.phase != StreamPhase::Idle || s.moved;
  if (motion.first_motion && (streaming || s.was_streaming))
    records.add_sample({std::chrono::duration<double>(t - *motion.first_motion).count(), measured,
                        to_planner(measured), motion.position_at(t)});
  s.was_streaming = streaming;

  stream_send_status(t, measured);

  // The next period a full one later; after a stall of this host at least
  // half a period from now, so that a client is never blamed for the
  // simulator's own lateness.
  auto period = seconds(cfg.stream_motion_period_ms / 1000.0);
  s.next_tick = std::max(t + period, Clock::now() + period / 2);
  stream_schedule_tick();
}

void Core::stream_follow(Clock::time_point t) {
  auto& s = stream;
  double period = cfg.stream_motion_period_ms / 1000.0;
  s.moved = false;
  auto follow = [&](const Joints& q) {
    for (std::size_t k = 0; k < 9; ++k) {
      double v = (q[k] - s.commanded[k]) / period;
      s.acceleration[k] = (v - s.velocity[k]) / period;
      s.velocity[k] = v;
    }
    s.moved = q != s.commanded;
    s.commanded = q;
    motion.streamed = to_controller(q);
    if (!motion.first_motion) motion.first_motion = t;
    if (!motion.run_start) motion.run_start = t;
  };
  // Coasting: on at the last velocity, held inside the joint ranges.
  auto coast = [&] {
    Joints q;
    for (std::size_t k = 0; k < 9; ++k) {
      q[k] = s.commanded[k] + s.velocity[k] * period;
      if (k < cfg.joint_limits.size())
        q[k] = std::clamp(q[k], cfg.joint_limits[k].lower * deg_per_rad, cfg.joint_limits[k].upper * deg_per_rad);
    }
    follow(q);
  };

  switch (s.phase) {
    case StreamPhase::Idle:
      if (s.end_requested) {
        s.stop_motion();
        finish_stream_program(t);
      }
      return;
    case StreamPhase::Filling: {
      bool has_last = std::any_of(s.buffer.begin(), s.buffer.end(), [](const StreamedCommand& c) { return c.last; });
      if (s.buffer.size() < static_cast<std::size_t>(std::max(1, s.start_move)) && !has_last) return;
      s.phase = StreamPhase::Following;
      [[fallthrough]];
    }
    case StreamPhase::Following:
      if (!s.buffer.empty()) {
        StreamedCommand c = s.buffer.front();
        s.buffer.pop_front();
        follow(c.position);
        if (c.last) {
          s.stop_motion();
          finish_stream_program(t);
        }
      } else if (s.end_requested) {
        s.stop_motion();
        finish_stream_program(t);
      } else {
        ++s.missed_periods;
        s.phase = StreamPhase::Coasting;
        s.coast_since = t;
        coast();
      }
      return;
    case StreamPhase::Coasting:
      if (t - s.coast_since < seconds(stream_coast_seconds)) return coast();
      // The deviation has grown too large: a hard stop where the arm is.
      stream_alarm(stream_alarm_receiving_interval);
      return;
  }
}

void Core::stream_send_status(Clock::time_point t, const Joints& measured) {
  auto& s = stream;
  sm::Status st;
  st.version = s.version;
  st.sequence = ++s.last_status;
  bool in_error = state.fault_alarm || state.estop_alarm;
  bool ready = stream_ready(t);
  bool estopped = state.estop;
  if (s.estop_since) {  // an E-stop shows in stages
    auto since = t - *s.estop_since;
    if (since < seconds(stream_estop_error_after)) in_error = s.error_at_estop;
    if (since < seconds(stream_estop_ready_after)) ready = s.ready_at_estop;
    if (since < seconds(stream_estop_bit_after)) estopped = false;
  }
  bool in_motion = s.moved || s.phase == StreamPhase::Coasting;
  st.status = static_cast<uint8_t>((ready ? 1 : 0) | (s.command_in_period ? 2 : 0) | (state.servo_ready() ? 4 : 0) |
                                   (in_motion ? 8 : 0));
  st.robot_status = static_cast<uint8_t>((in_error ? 1 : 0) | (state.tp ? 2 : 0) | (estopped ? 4 : 0));
  st.contact_stop = cfg.arm_model == "crx10ial" ? 1 : 0;  // a collaborative arm reports SAFE
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - net.start_time).count();
  st.time_stamp = static_cast<uint32_t>(std::max<int64_t>(0, ms) / 2 * 2);
  Joints q = to_planner(measured);
  for (std::size_t k = 0; k < 9; ++k) {
    st.joints[k] = static_cast<float>(q[k]);
    double v = s.velocity[k];
    double friction = std::fabs(v) > 1e-9 ? std::copysign(current_friction, v) : 0.0;
    st.current[k] = static_cast<float>(current_per_acceleration * s.acceleration[k] + friction);
  }
  if (arm) {
    Pose p = handlers::tcp_in(*this, measured, 0, s.use_tcp ? state.active_utool : 0);
    st.position = {static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z),
                   static_cast<float>(p.w), static_cast<float>(p.p), static_cast<float>(p.r),
                   static_cast<float>(q[6]),  static_cast<float>(q[7]),  static_cast<float>(q[8])};
  }
  sm::fill_state_io(s.gpio, state, st.io);
  stream_send({s.sbuf.data(), sm::write_status(st, s.sbuf)}, s.peer);
  ++s.statuses_sent;
  s.status_bits = st.status;
  s.robot_status_bits = st.robot_status;
  s.command_in_period = false;
  if (net.observer) {
    ojson j = ojson::object();
    j["Packet"] = "Status";
    j["SequenceNo"] = st.sequence;
    j["Status"] = st.status;
    j["RobotStatus"] = st.robot_status;
    j["JointAngle"] = q;
    net.observer("stream", false, j.dump());
  }
  cv.notify_all();
}

StreamMotionStatus Core::stream_status() const {
  const auto& s = stream;
  StreamMotionStatus out;
  out.live = s.live;
  if (s.live) out.peer = s.peer.address().to_string() + ":" + std::to_string(s.peer.port());
  out.version = s.live ? static_cast<int>(s.version) : 0;
  out.last_status = s.last_status;
  out.status = s.status_bits;
  out.robot_status = s.robot_status_bits;
  out.phase = s.phase;
  out.buffered = s.buffer.size();
  out.statuses_sent = s.statuses_sent;
  out.missed_periods = s.missed_periods;
  out.commands_received = s.commands_received;
  out.start_move = s.start_move;
  out.use_tcp = s.use_tcp;
  return out;
}

}  // namespace orvane::sim::detail
