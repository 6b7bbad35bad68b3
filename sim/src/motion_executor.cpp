// The motion executor: runs the queue on the controller's own clock (every
// interpolation period), not on the packets' arrival.
//
// Motion time = max(asked time, minimum_motion_ms) * 100 / override, the
// asked time coming from "mSec"/"Time", from "Percent" of the joints'
// maximum speed, or from the TCP path length at the asked TCP speed; it is
// stretched when a joint (planner convention) would exceed its max_velocity
// by more than 0.1 %, each stretch one SlowDown record. A CNT/CR motion with
// TermValue > 0 starts only once a later instruction has arrived; FINE and
// CNT 0 run on. A joint motion is linear in joint space; a Cartesian path
// (linear, circular) is followed through the joint positions solved along it.
#include <algorithm>

#include "core.hpp"

namespace orvane::sim::detail {

namespace {

constexpr double limit_velocity_tolerance = 1e-3;  // single-precision angles make short steps noisy

Joints lerp(const Joints& a, const Joints& b, double f) {
  Joints out;
  for (int k = 0; k < 9; ++k) out[k] = a[k] + (b[k] - a[k]) * f;
  return out;
}

}  // namespace

// ---- the measured position ---------------------------------------------------

Joints MotionExecutor::position_at(Clock::time_point t) const {
  if (!executing || queue.empty()) return pos;
  if (pause_at) t = std::min(t, *pause_at);
  double f = seg_dur <= 0.0 ? 1.0 : std::chrono::duration<double>(t - seg_start).count() / seg_dur;
  f = std::clamp(f, 0.0, 1.0);
  const Instr& head = queue.front();
  if (head.kind == Instr::Kind::Stream) return streamed;
  if (head.cartesian && head.path.size() >= 2) {
    double x = f * static_cast<double>(head.path.size() - 1);
    std::size_t i = std::min(static_cast<std::size_t>(x), head.path.size() - 2);
    return lerp(head.path[i], head.path[i + 1], x - static_cast<double>(i));
  }
  return lerp(seg_from, head.target, f);
}

void MotionExecutor::remember_commanded(Clock::time_point t, const Joints& c) {
  if (servo_lag <= 0.0) {
    commanded_history.clear();
    return;
  }
  // Two clocks add to it (RMI's interpolation and Stream Motion's period): keep it in time order.
  if (!commanded_history.empty() && t <= commanded_history.back().first) return;
  commanded_history.emplace_back(t, c);
  auto keep = seconds(servo_lag + 0.1);
  while (commanded_history.size() > 2 && commanded_history.front().first < t - keep) commanded_history.pop_front();
}

Joints MotionExecutor::lagged_commanded(Clock::time_point t) const {
  Joints now = position_at(t);
  if (servo_lag <= 0.0 || commanded_history.empty()) return now;
  auto at = t - seconds(servo_lag);
  if (at <= commanded_history.front().first) return commanded_history.front().second;
  auto between = [&](Clock::time_point t0, const Joints& a, Clock::time_point t1, const Joints& b) {
    double span = std::chrono::duration<double>(t1 - t0).count();
    double f = span <= 0.0 ? 1.0 : std::chrono::duration<double>(at - t0).count() / span;
    return lerp(a, b, std::clamp(f, 0.0, 1.0));
  };
  for (std::size_t i = 1; i < commanded_history.size(); ++i)
    if (at <= commanded_history[i].first)
      return between(commanded_history[i - 1].first, commanded_history[i - 1].second, commanded_history[i].first,
                     commanded_history[i].second);
  return between(commanded_history.back().first, commanded_history.back().second, t, now);
}

Joints MotionExecutor::measured_at(Clock::time_point t) const {
  Joints out = lagged_commanded(t);
  for (const Deviation& d : deviations) {
    if (!d.active || d.since > t) continue;
    int k = d.spec.joint - 1;
    if (d.spec.block) out[k] = d.frozen;
    else out[k] += d.spec.offset_deg;
  }
  return out;
}

void MotionExecutor::update_deviations(Clock::time_point t) {
  for (Deviation& d : deviations) {
    if (d.active) continue;
    std::optional<Clock::time_point> at = d.spec.from;
    if (d.spec.after_motion_start) {
      if (!run_start) continue;
      at = *run_start + seconds(*d.spec.after_motion_start);
    }
    if (!at || *at > t) continue;
    d.frozen = measured_at(t)[d.spec.joint - 1];  // a blocked joint stays where it is measured now
    d.active = true;
    d.since = t;
  }
}

Joints Core::measured_now() {
  auto now = Clock::now();
  motion.update_deviations(now);
  return motion.measured_at(now);
}

// ---- stepping ------------------------------------------------------------------

double Core::motion_time(const Instr& in, const Joints& from) {
  Joints a = to_planner(from), b = to_planner(in.target);
  double asked_ms = in.speed_ms;
  if (in.speed_percent > 0.0) {
    asked_ms = 0.0;
    for (std::size_t k = 0; k < cfg.joint_limits.size() && k < 9; ++k) {
      double vmax = cfg.joint_limits[k].max_velocity * in.speed_percent / 100.0;
      if (vmax > 0.0) asked_ms = std::max(asked_ms, std::fabs(b[k] - a[k]) / deg_per_rad / vmax * 1000.0);
    }
  } else if (in.speed_mm_s > 0.0) {
    asked_ms = in.path_length_mm / in.speed_mm_s * 1000.0;
  }
  double base_ms = std::max(asked_ms, static_cast<double>(cfg.minimum_motion_ms));
  double t = base_ms / 1000.0 * 100.0 / std::max(1, state.override_percent);

  // The largest joint step per unit of the motion's fraction.
  std::array<double, 9> span{};
  if (in.cartesian && in.path.size() >= 2) {
    double steps = static_cast<double>(in.path.size() - 1);
    for (std::size_t i = 1; i < in.path.size(); ++i) {
      Joints p0 = to_planner(in.path[i - 1]), p1 = to_planner(in.path[i]);
      for (int k = 0; k < 9; ++k) span[k] = std::max(span[k], std::fabs(p1[k] - p0[k]) * steps);
    }
  } else {
    for (int k = 0; k < 9; ++k) span[k] = std::fabs(b[k] - a[k]);
  }
  double needed = t;
  int worst = -1;
  double worst_ratio = 1.0;
  for (std::size_t k = 0; k < cfg.joint_limits.size() && k < 9; ++k) {
    double dist = span[k] / deg_per_rad;
    double vmax = cfg.joint_limits[k].max_velocity;
    if (vmax <= 0.0) continue;
    double ratio = (dist / t) / vmax;
    if (ratio > worst_ratio * (1.0 + limit_velocity_tolerance)) {
      worst_ratio = ratio;
      worst = static_cast<int>(k);
      needed = dist / vmax;
    }
  }
  if (worst >= 0)
    records.add_slow_down({in.seq, worst, span[worst] / deg_per_rad / t, cfg.joint_limits[worst].max_velocity});
  return needed;
}

void Core::answer_instruction(const Instr& in) {
  ojson a = packet(kInstruction, in.name);
  a["ErrorID"] = 0;
  a["SequenceID"] = in.seq;
  emit(a, false);
}

void Core::advance(Clock::time_point t) {
  if (state.paused || motion.pause_at) return;
  for (;;) {
    if (motion.executing && !motion.queue.empty() && motion.queue.front().kind == Instr::Kind::Stream)
      return;  // STREAM_MOTN ends by the stream, not by time
    if (!motion.executing) {
      if (motion.queue.empty()) return;
      Instr& head = motion.queue.front();
      Clock::time_point start = std::max(motion.t_cursor, head.arrived);
      using Kind = Instr::Kind;
      if (head.kind == Kind::Payload || head.kind == Kind::SetUFrame || head.kind == Kind::SetUTool ||
          head.kind == Kind::WaitDin) {
        if (head.kind == Kind::WaitDin && (state.port("DI", head.number) != 0.0) != head.input_on) {
          return;  // checked again at every tick
        }
        if (head.kind == Kind::Payload) state.payload_schedule = head.number;
        if (head.kind == Kind::SetUFrame) state.active_uframe = head.number;
        if (head.kind == Kind::SetUTool) state.active_utool = head.number;
        motion.t_cursor = head.kind == Kind::WaitDin ? std::max(start, std::min(t, Clock::now())) : start;
        Instr done = std::move(head);
        motion.queue.pop_front();
        answer_instruction(done);
        continue;
      }
      if (head.kind == Kind::Motion) {
        // A blended motion is planned together with the next one: it waits for it.
        if (head.blend && motion.queue.size() < 2) return;
        if (head.blend) start = std::max(start, motion.queue[1].arrived);
      }
      if (start > t) return;
      if (faults.fault_seqs.erase(head.seq)) {
        motion_fault(head.seq, "MOTN-017 Limit error (G:1^2, A:" + std::to_string(head.seq) + ")");
        return;
      }
      motion.seg_from = motion.pos;
      motion.seg_start = start;
      if (head.kind == Kind::Stream) {
        motion.streamed = motion.pos;
        motion.executing = true;
        stream_program_started(start);
        return;
      }
      if (head.kind == Kind::Motion) {
        if (head.cartesian && !head.path.empty()) head.path.front() = motion.pos;
        motion.seg_dur = motion_time(head, motion.pos);
        if (!motion.run_start) motion.run_start = start;
        if (!motion.first_motion) motion.first_motion = start;
      } else {  // FRC_WaitTime, FRC_Call: time passes, the arm stands
        head.target = motion.pos;
        motion.seg_dur = head.duration_s;
      }
      motion.executing = true;
    }
    auto end = motion.seg_start + seconds(motion.seg_dur);
    if (t < end) return;
    motion.pos = motion.queue.front().target;
    motion.executing = false;
    motion.t_cursor = end;
    Instr done = std::move(motion.queue.front());
    motion.queue.pop_front();
    answer_instruction(done);
    cv.notify_all();
  }
}

void Core::halt(Clock::time_point t) {
  motion.pos = motion.position_at(t);
  motion.executing = false;
  motion.pause_at.reset();
  motion.queue.clear();
  motion.t_cursor = std::max(motion.t_cursor, t);
  cv.notify_all();
}

void Core::hold_motion(Clock::time_point t) {
  if (!motion.pause_at) motion.pause_at = t;
}

void Core::continue_motion(Clock::time_point t) {
  if (!motion.pause_at) return;
  auto held = t - *motion.pause_at;
  motion.seg_start += held;
  motion.t_cursor += held;
  motion.pause_at.reset();
}

void Core::schedule_tick() {
  net.tick_timer->expires_at(net.next_tick);
  net.tick_timer->async_wait([this](const boost::system::error_code& ec) {
    if (ec) return;
    std::lock_guard lk(m);
    if (net.stopping) return;
    on_tick();
  });
}

void Core::on_tick() {
  auto period = seconds(cfg.interpolation_period);
  auto now = Clock::now();
  Clock::time_point t = net.next_tick;
  if (now - t > 10 * period) t = now;  // far behind (a stalled machine): skip the missed ticks
  advance(t);
  bool active = motion.executing || !motion.queue.empty();
  Joints c = motion.position_at(t);
  // While STREAM_MOTN runs, Stream Motion's period keeps the history and the path.
  bool streaming = stream_program_running();
  if (!streaming) motion.remember_commanded(t, c);
  motion.update_deviations(t);
  Joints measured = motion.measured_at(t);
  if (arm) {
    auto p = arm->faceplate(measured).translation();
    if (last_tcp) {
      double dt = std::chrono::duration<double>(t - last_tcp->first).count();
      const auto& q = last_tcp->second;
      if (dt > 0.0)
        motion.tcp_speed_mm_s = std::hypot(p[0] - q[0], p[1] - q[1], p[2] - q[2]) * 1000.0 / dt;
    }
    last_tcp = std::make_pair(t, p);
  }
  if (motion.first_motion && !streaming && (active || motion.was_active))
    records.add_sample({std::chrono::duration<double>(t - *motion.first_motion).count(), measured,
                        to_planner(measured), c});
  if (!active) motion.run_start.reset();
  motion.was_active = active && !streaming;
  release_answers();
  net.next_tick = t + period;
  schedule_tick();
}

void Core::finish_stream_program(Clock::time_point t) {
  if (!stream_program_running()) return;
  motion.pos = motion.streamed;
  motion.executing = false;
  motion.t_cursor = std::max(motion.t_cursor, t);
  Instr done = std::move(motion.queue.front());
  motion.queue.pop_front();
  answer_instruction(done);
  cv.notify_all();
}

}  // namespace orvane::sim::detail
