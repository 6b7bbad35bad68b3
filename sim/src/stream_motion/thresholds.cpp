#include "thresholds.hpp"

#include <algorithm>
#include <cmath>

#include "../common.hpp"

namespace orvane::sim {

namespace {

// How far the entries lie above the model's limit: at the lowest speed step
// 1.5 times it, falling linearly to the limit at the top step (full
// payload); no payload allows a quarter more at every step.
constexpr double lowest_step_factor = 1.5;
constexpr double no_payload_factor = 1.25;

// The nearest float not below v, so that rounding never takes an entry under its limit.
float float_at_least(double v) {
  float f = static_cast<float>(v);
  if (static_cast<double>(f) < v) f = std::nextafter(f, INFINITY);
  return f;
}

double limit_of(const JointLimit& l, ThresholdKind kind) {
  switch (kind) {
    case ThresholdKind::Velocity: return l.max_velocity;
    case ThresholdKind::Acceleration: return l.max_acceleration;
    case ThresholdKind::Jerk: return l.max_jerk;
  }
  return 0.0;
}

}  // namespace

ThresholdTable stream_motion_threshold(const std::vector<JointLimit>& limits, int axis, ThresholdKind kind) {
  ThresholdTable t;
  if (axis < 1 || static_cast<std::size_t>(axis) > limits.size()) return t;
  double limit = limit_of(limits[static_cast<std::size_t>(axis - 1)], kind) * detail::deg_per_rad;
  if (!(limit > 0.0) || !std::isfinite(limit)) return t;
  constexpr int top = threshold_steps - 1;
  for (int i = 0; i < threshold_steps; ++i) {
    double full = limit * (1.0 + (lowest_step_factor - 1.0) * static_cast<double>(top - i) / top);
    t.full_payload[static_cast<std::size_t>(i)] = float_at_least(full);
    t.no_payload[static_cast<std::size_t>(i)] = float_at_least(full * no_payload_factor);
  }
  return t;
}

namespace detail::stream_motion {

ThresholdTables ThresholdTables::from(const std::vector<JointLimit>& limits) {
  ThresholdTables all;
  for (int axis = 1; axis <= threshold_axes; ++axis)
    for (int kind = 0; kind < threshold_kinds; ++kind)
      all.tables[static_cast<std::size_t>(axis - 1)][static_cast<std::size_t>(kind)] =
          stream_motion_threshold(limits, axis, static_cast<ThresholdKind>(kind));
  return all;
}

int speed_step(double speed_mm_s, double max_cartesian_speed) {
  if (!(max_cartesian_speed > 0.0) || !std::isfinite(speed_mm_s)) return threshold_steps - 1;
  double lowest = max_cartesian_speed / threshold_steps;
  double x = (threshold_steps - 1) * (1.2 * speed_mm_s - lowest) / (max_cartesian_speed - lowest);
  return static_cast<int>(std::clamp(std::floor(x), 0.0, static_cast<double>(threshold_steps - 1)));
}

double threshold_at(const ThresholdTable& table, int step, double payload_fraction) {
  auto i = static_cast<std::size_t>(std::clamp(step, 0, threshold_steps - 1));
  double f = std::clamp(std::isfinite(payload_fraction) ? payload_fraction : 1.0, 0.0, 1.0);
  double no = table.no_payload[i], full = table.full_payload[i];
  return no + f * (full - no);
}

}  // namespace detail::stream_motion

}  // namespace orvane::sim
