// Blending: a CNT or CR motion rounds its corner into the next motion
// instead of stopping at its target, as a controller's planner does.
//
// - Which motions blend: a motion asked as a speed (the controller plans its
//   ramps) that ends CNT 1 ... 100 or CR above 0, followed at once in the
//   queue by another such motion that can run (no alarm, no fault armed for
//   it). Whether it blends is decided when it starts: the next motion must
//   have arrived by then (without "NoBlend" it waited for it). A wait, a
//   program call, a frame, tool or payload change between the two stops the
//   arm at the point, as does a motion asked as a time (it runs at constant
//   speed without ramps to overlap, one straight after the other).
// - How: the next motion starts while this one decelerates and the two add
//   up (the next one's way from the corner adds to what is left of this
//   one's), so the speed carries through the corner and the path cuts it.
//   Both blending ends ramp with half the arm's acceleration, so the sum
//   stays within it, and the sum of two ramping speeds never exceeds the
//   larger of the two.
// - How much: the overlap is at most the shorter of the two ramps (this
//   one's deceleration, the next one's acceleration). CNT n takes n % of it:
//   CNT 100 keeps the speed up through the corner (a straight continuation
//   loses none), a lower value rounds less and slows down more. CR r takes
//   as much of it as keeps each motion within r mm of the corner, so the
//   path leaves the first line and joins the second within r of the corner
//   (the TCP length of a joint motion is its chord; without an arm model
//   there is no length and CR blends as CNT 100).
// - When a blended motion counts as executed, and is answered: when the arm
//   leaves its path toward the next target, at the start of the blend; the
//   next one is then the head of the queue.
// - A blend that could not start before the first motion's end (the next
//   motion still waiting for its own next one) is none: the arm stops at the
//   point and goes on from rest.
#include <limits>

#include "core.hpp"

namespace orvane::sim::detail {

bool Core::may_blend(const Instr& in, const Instr* next) const {
  return in.planned && in.rounds_corner() && next && next->kind == Instr::Kind::Motion && next->planned &&
         !next->alarm && !faults.fault_seqs.contains(next->seq);
}

double Core::tcp_length_mm(const Instr& in, const Joints& from) const {
  if (in.cartesian) return in.path_length_mm;
  if (!arm) return 0.0;
  auto a = arm->faceplate(from).translation(), b = arm->faceplate(in.target).translation();
  return std::hypot(b[0] - a[0], b[1] - a[1], b[2] - a[2]) * 1000.0;
}

double Core::blend_overlap(const Instr& first, const Instr& next, const MotionTiming& next_timing) const {
  const Segment& a = motion.seg;
  const double window = std::min(a.ramp_out, next_timing.ramp_in);
  if (first.term == Instr::Term::Cnt) return window * first.term_value / 100.0;

  // Corner region: in its last (first) tau seconds, a motion ramping its
  // share of the way at `acc` covers 0.5 * acc * tau^2 of it.
  const double radius = first.term_value;
  auto time_within_radius = [radius](double length_mm, double dur, double ramp_in, double ramp_out, double ramp) {
    if (length_mm <= 0.0 || ramp <= 0.0) return std::numeric_limits<double>::infinity();
    double peak = 1.0 / (dur - 0.5 * (ramp_in + ramp_out));
    double acc = peak / ramp;
    return std::sqrt(2.0 * std::min(1.0, radius / length_mm) / acc);
  };
  double overlap = window;
  overlap = std::min(overlap, time_within_radius(tcp_length_mm(first, a.from), a.dur, a.ramp_in, a.ramp_out, a.ramp_out));
  overlap = std::min(overlap, time_within_radius(tcp_length_mm(next, a.to), next_timing.duration, next_timing.ramp_in,
                                                 next_timing.ramp_out, next_timing.ramp_in));
  return overlap;
}

bool Core::blend_into_next(Clock::time_point t) {
  if (!motion.seg.blends_out || motion.queue.size() < 2) return false;
  const Clock::time_point end = motion.seg.end();
  if (t < end - seconds(motion.seg.ramp_out)) return false;  // the overlap never reaches past the deceleration
  Instr& next = motion.queue[1];
  // A fault armed for the next one since this one started: this one ends at its point first.
  if (!may_blend(motion.queue.front(), &next)) return false;
  Clock::time_point ready = next.arrived;
  if (next.waits_for_next) {
    if (motion.queue.size() < 3) return false;
    ready = std::max(ready, motion.queue[2].arrived);
  }
  const Joints corner = motion.seg.to;
  const bool next_blends_out = may_blend(next, motion.queue.size() > 2 ? &motion.queue[2] : nullptr);
  if (next.cartesian && !next.path.empty()) next.path.front() = corner;
  const MotionTiming timing = motion_time(next, corner, true, next_blends_out);
  const Clock::time_point start = std::max(end - seconds(blend_overlap(motion.queue.front(), next, timing)), ready);
  if (start > t || start >= end) return false;

  Instr done = std::move(motion.queue.front());
  motion.queue.pop_front();
  motion.leaving = std::move(motion.seg);
  start_motion(motion.queue.front(), start, corner, timing, next_blends_out);
  answer_instruction(done);
  cv.notify_all();
  return true;
}

}  // namespace orvane::sim::detail
