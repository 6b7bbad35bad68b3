// The motion executor: runs the queue on the controller's own clock (every
// interpolation period), not on the packets' arrival.
//
// A motion's time:
// - asked as a time ("mSec", "Time"): max(asked time, minimum_motion_ms) *
//   100 / override at constant speed, so that a stream of short CNT
//   instructions runs exactly as timed, one straight after the other;
// - asked as a speed ("Percent" of the joints' maximum speed, a TCP speed
//   along the path): planned as the controller does, a trapezoid in the
//   path's fraction: each joint accelerates at most at max_acceleration *
//   ACC / 100, cruises at the asked speed and decelerates to rest at the
//   target (at least minimum_motion_ms), the whole profile stretched by
//   100 / override. An end that blends with a neighbouring motion ramps
//   with half of that, so that the two ramps added together stay within
//   the arm's acceleration (blending.cpp).
// Either is stretched when a joint (planner convention) would exceed its
// max_velocity by more than 0.1 %, each stretch one SlowDown record. A
// CNT/CR motion with TermValue > 0 starts only once a later instruction has
// arrived; FINE and CNT 0 run on. A joint motion is linear in joint space; a
// Cartesian path (linear, circular) is followed through the joint positions
// solved along it. A motion that carries an alarm (a limit, a position out
// of reach) faults when it would start.
#include <algorithm>
#include <limits>

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

double Segment::fraction_at(double tau) const {
  if (dur <= 0.0) return 1.0;
  tau = std::clamp(tau, 0.0, dur);
  double up = std::min(ramp_in, dur), down = std::min(ramp_out, dur - up);
  double peak = 1.0 / (dur - 0.5 * (up + down));  // fraction per second while cruising
  if (tau < up) return 0.5 * peak / up * tau * tau;
  if (tau <= dur - down) return peak * (tau - 0.5 * up);
  double left = dur - tau;
  return std::clamp(1.0 - 0.5 * peak / down * left * left, 0.0, 1.0);
}

Joints Segment::at(Clock::time_point t) const {
  double f = fraction_at(std::chrono::duration<double>(t - start).count());
  if (path.size() >= 2) {
    double x = f * static_cast<double>(path.size() - 1);
    std::size_t i = std::min(static_cast<std::size_t>(x), path.size() - 2);
    return lerp(path[i], path[i + 1], x - static_cast<double>(i));
  }
  return lerp(from, to, f);
}

Joints MotionExecutor::position_at(Clock::time_point t) const {
  if (!executing || queue.empty()) return pos;
  if (queue.front().kind == Instr::Kind::Stream) return streamed;
  if (pause_at) t = std::min(t, *pause_at);
  Joints p = seg.at(t);
  // Blending: what the motion before has still to run adds to the head's way from its end.
  if (leaving) {
    Joints rest = leaving->at(t);
    for (int k = 0; k < 9; ++k) p[k] += rest[k] - leaving->to[k];
  }
  return p;
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

namespace {

// How each joint (planner convention, radians) moves with the motion's
// fraction s: the largest |dq/ds| and |d2q/ds2| along it. A joint motion is
// linear in s; a Cartesian path bends in joint space.
struct JointGeometry {
  std::array<double, 9> slope{};
  std::array<double, 9> bend{};
};

JointGeometry joint_geometry(const Instr& in, const Joints& from) {
  JointGeometry g;
  if (in.cartesian && in.path.size() >= 2) {
    const double steps = static_cast<double>(in.path.size() - 1);
    for (std::size_t i = 1; i < in.path.size(); ++i) {
      Joints p0 = to_planner(in.path[i - 1]), p1 = to_planner(in.path[i]);
      for (int k = 0; k < 9; ++k) g.slope[k] = std::max(g.slope[k], std::fabs(p1[k] - p0[k]) / deg_per_rad * steps);
      if (i + 1 < in.path.size()) {
        Joints p2 = to_planner(in.path[i + 1]);
        for (int k = 0; k < 9; ++k)
          g.bend[k] = std::max(g.bend[k], std::fabs(p2[k] - 2.0 * p1[k] + p0[k]) / deg_per_rad * steps * steps);
      }
    }
  } else {
    Joints a = to_planner(from), b = to_planner(in.target);
    for (int k = 0; k < 9; ++k) g.slope[k] = std::fabs(b[k] - a[k]) / deg_per_rad;
  }
  return g;
}

}  // namespace

MotionTiming Core::motion_time(const Instr& in, const Joints& from, bool gentle_in, bool gentle_out) const {
  const JointGeometry g = joint_geometry(in, from);
  const double minimum = cfg.minimum_motion_ms / 1000.0;
  const double stretch = 100.0 / std::max(1, state.override_percent);
  const auto& limits = cfg.joint_limits;
  const std::size_t axes = std::min<std::size_t>(limits.size(), 9);

  if (!in.planned) {
    double t = std::max(in.speed_ms / 1000.0, minimum) * stretch;
    double needed = t;
    int worst = -1;
    double worst_ratio = 1.0;
    for (std::size_t k = 0; k < axes; ++k) {
      double vmax = limits[k].max_velocity;
      if (vmax <= 0.0) continue;
      double ratio = (g.slope[k] / t) / vmax;
      if (ratio > worst_ratio * (1.0 + limit_velocity_tolerance)) {
        worst_ratio = ratio;
        worst = static_cast<int>(k);
        needed = g.slope[k] / vmax;
      }
    }
    MotionTiming timing{needed, 0.0, 0.0, std::nullopt};
    if (worst >= 0) timing.slowed = SlowDown{in.seq, worst, g.slope[worst] / t, limits[worst].max_velocity};
    return timing;
  }

  // Planned: the top speed and the acceleration of the fraction s (1/s, 1/s^2).
  constexpr double unbounded = std::numeric_limits<double>::infinity();
  std::optional<SlowDown> slowed;
  double speed = unbounded;
  if (in.speed_percent > 0.0) {
    for (std::size_t k = 0; k < axes; ++k)
      if (g.slope[k] > 0.0 && limits[k].max_velocity > 0.0)
        speed = std::min(speed, limits[k].max_velocity * in.speed_percent / 100.0 / g.slope[k]);
  } else if (in.speed_mm_s > 0.0 && in.path_length_mm > 0.0) {
    speed = in.speed_mm_s / in.path_length_mm;
  }
  int worst = -1;
  double joint_speed = unbounded;
  for (std::size_t k = 0; k < axes; ++k) {
    if (g.slope[k] <= 0.0 || limits[k].max_velocity <= 0.0) continue;
    double top = limits[k].max_velocity / g.slope[k];
    if (top < joint_speed) {
      joint_speed = top;
      worst = static_cast<int>(k);
    }
  }
  if (speed > joint_speed * (1.0 + limit_velocity_tolerance)) {
    if (std::isfinite(speed)) slowed = SlowDown{in.seq, worst, g.slope[worst] * speed, limits[worst].max_velocity};
    speed = joint_speed;
  }
  // Each end's share of a joint's acceleration: half where it blends.
  const double share_in = gentle_in ? 0.5 : 1.0, share_out = gentle_out ? 0.5 : 1.0;
  // A bent path accelerates its joints by bend * speed^2 even at constant
  // speed: that takes at most half an end's share, the rest is for
  // speeding up and slowing down.
  for (std::size_t k = 0; k < axes; ++k) {
    double amax = limits[k].max_acceleration * in.acc_percent / 100.0 * std::min(share_in, share_out);
    if (g.bend[k] > 0.0 && amax > 0.0) speed = std::min(speed, std::sqrt(0.5 * amax / g.bend[k]));
  }
  auto end_acceleration = [&](double share) {
    double acceleration = unbounded;
    for (std::size_t k = 0; k < axes; ++k) {
      double amax = limits[k].max_acceleration * in.acc_percent / 100.0 * share;
      if (g.slope[k] > 0.0 && amax > 0.0) {
        double left = std::isfinite(speed) ? amax - g.bend[k] * speed * speed : amax;
        acceleration = std::min(acceleration, left / g.slope[k]);
      }
    }
    return acceleration;
  };
  const double acc_in = end_acceleration(share_in), acc_out = end_acceleration(share_out);

  double duration = minimum, ramp_in = 0.0, ramp_out = 0.0;
  if (std::isfinite(speed) && speed > 0.0) {
    if (!std::isfinite(acc_in) || !std::isfinite(acc_out)) {
      duration = 1.0 / speed;
    } else if (0.5 * speed * speed * (1.0 / acc_in + 1.0 / acc_out) <= 1.0) {  // accelerate, cruise, decelerate
      ramp_in = speed / acc_in;
      ramp_out = speed / acc_out;
      duration = 1.0 / speed + 0.5 * (ramp_in + ramp_out);
    } else {  // too short to reach the speed
      double peak = std::sqrt(2.0 / (1.0 / acc_in + 1.0 / acc_out));
      ramp_in = peak / acc_in;
      ramp_out = peak / acc_out;
      duration = ramp_in + ramp_out;
    }
  }
  if (duration < minimum) {
    ramp_in *= minimum / duration;
    ramp_out *= minimum / duration;
    duration = minimum;
  }
  return {duration * stretch, ramp_in * stretch, ramp_out * stretch, slowed};
}

void Core::answer_instruction(const Instr& in) {
  ojson a = packet(kInstruction, in.name);
  a["ErrorID"] = 0;
  a["SequenceID"] = in.seq;
  emit(a, false);
}

void Core::start_motion(Instr& head, Clock::time_point start, const Joints& from, const MotionTiming& timing,
                        bool blends_out) {
  if (timing.slowed) records.add_slow_down(*timing.slowed);
  Segment& s = motion.seg;
  s.from = from;
  s.to = head.target;
  s.start = start;
  s.dur = timing.duration;
  s.ramp_in = timing.ramp_in;
  s.ramp_out = timing.ramp_out;
  s.blends_out = blends_out;
  s.path.clear();
  if (head.cartesian && !head.path.empty()) {
    head.path.front() = from;
    s.path = std::move(head.path);
  }
  motion.executing = true;
}

void Core::advance(Clock::time_point t) {
  if (state.paused || motion.pause_at) return;
  for (;;) {
    if (motion.leaving && t >= motion.leaving->end()) motion.leaving.reset();
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
        if (head.waits_for_next && motion.queue.size() < 2) return;
        if (head.waits_for_next) start = std::max(start, motion.queue[1].arrived);
      }
      if (start > t) return;
      // A motion error of the instruction: found when the planner takes it up.
      if (faults.fault_seqs.erase(head.seq)) {
        motion_fault(head.seq, "MOTN-017 Limit error (G:1)", false);
        return;
      }
      if (head.kind == Kind::Motion && head.alarm) {
        motion_fault(head.seq, *head.alarm, false);
        return;
      }
      if (head.kind == Kind::Stream) {
        motion.seg = Segment{motion.pos, motion.pos, {}, start};
        motion.streamed = motion.pos;
        motion.executing = true;
        stream_program_started(start);
        return;
      }
      if (head.kind == Kind::Motion) {
        bool blends_out = may_blend(head, motion.queue.size() > 1 ? &motion.queue[1] : nullptr);
        start_motion(head, start, motion.pos, motion_time(head, motion.pos, false, blends_out), blends_out);
        if (!motion.run_start) motion.run_start = start;
        if (!motion.first_motion) motion.first_motion = start;
      } else {  // FRC_WaitTime, FRC_Call: time passes, the arm stands
        head.target = motion.pos;
        start_motion(head, start, motion.pos, {head.duration_s, 0.0, 0.0, std::nullopt}, false);
      }
    }
    if (blend_into_next(t)) continue;
    auto end = motion.seg.end();
    if (t < end) return;
    motion.pos = motion.queue.front().target;
    motion.executing = false;
    motion.leaving.reset();
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
  motion.leaving.reset();
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
  motion.seg.start += held;
  if (motion.leaving) motion.leaving->start += held;
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
  stream.instance_unfinished = false;  // ended by its last command: nothing of it stays live
  motion.pos = motion.streamed;
  motion.executing = false;
  motion.t_cursor = std::max(motion.t_cursor, t);
  Instr done = std::move(motion.queue.front());
  motion.queue.pop_front();
  answer_instruction(done);
  cv.notify_all();
}

}  // namespace orvane::sim::detail
