#include "command_checks.hpp"

#include <cmath>
#include <cstdio>

#include "packets.hpp"

namespace orvane::sim::detail::stream_motion {

namespace {

constexpr double relative_tolerance = 1e-9;  // finite differences of doubles, not of the arm

bool above(double value, double limit) { return std::fabs(value) > limit * (1.0 + relative_tolerance); }

std::optional<orvane::Frame::Vector3> faceplate_mm(const ArmModel* arm, const Joints& stream_deg) {
  if (!arm) return std::nullopt;
  auto p = arm->faceplate(to_controller(stream_deg)).translation();
  return orvane::Frame::Vector3{p[0] * 1000.0, p[1] * 1000.0, p[2] * 1000.0};
}

}  // namespace

std::string alarm_text(const CheckResult& r, uint32_t sequence) {
  char where[64];
  std::snprintf(where, sizeof where, " (Sq.%u, J%d)", sequence, r.joint);
  std::string at = where;
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, " %.6g > %.6g", std::fabs(r.value), r.limit);
  switch (r.breach) {
    case Breach::None: return {};
    case Breach::DataStyle: return "MOTN-625 ST: Position data is abnormal (Sq." + std::to_string(sequence) + ", data style)";
    case Breach::NotFinite: return "MOTN-625 ST: Position data is abnormal" + at;
    case Breach::JointRange: return "SRVO-115 Limit error" + at;
    case Breach::Jump: return "MOTN-720 ST: Position jump (Sq." + std::to_string(sequence) + ")" + numbers + " mm";
    case Breach::Velocity: return "MOTN-609 ST: Exceeded Jnt Vel Limit" + at + numbers + " deg/s";
    case Breach::Acceleration: return "MOTN-721 Exceeded Jnt Acc/Dec Limit" + at + numbers + " deg/s^2";
    case Breach::Jerk: return "MOTN-722 Exceeded Jnt Jerk Limit" + at + numbers + " deg/s^3";
  }
  return {};
}

void CommandChecker::restart(const Joints& rest, const CheckContext& ctx) {
  q_ = rest;
  v_ = {};
  a_ = {};
  faceplate_ = faceplate_mm(ctx.arm, rest);
}

CommandChecker::Step CommandChecker::step_to(const Joints& q, const CheckContext& ctx) const {
  Step s;
  double t = ctx.period_s;
  for (std::size_t k = 0; k < 9; ++k) {
    s.v[k] = (q[k] - q_[k]) / t;
    s.a[k] = (s.v[k] - v_[k]) / t;
    s.j[k] = (s.a[k] - a_[k]) / t;
  }
  if (auto p = faceplate_mm(ctx.arm, q); p && faceplate_) {
    const auto& o = *faceplate_;
    s.jump_mm = std::hypot((*p)[0] - o[0], (*p)[1] - o[1], (*p)[2] - o[2]);
    s.speed_mm_s = *s.jump_mm / t;
  }
  return s;
}

CheckResult CommandChecker::check(uint16_t data_style, const Joints& q, const CheckContext& ctx) const {
  if (data_style != data_style_joints) return {Breach::DataStyle, 0, static_cast<double>(data_style), 0.0};
  for (std::size_t k = 0; k < 9; ++k)
    if (!std::isfinite(q[k])) return {Breach::NotFinite, static_cast<int>(k + 1), 0.0, 0.0};
  const auto& limits = *ctx.joint_limits;
  if (limits.empty()) return {};  // no robot model: nothing to hold the command to
  for (std::size_t k = 0; k < limits.size() && k < 9; ++k) {
    double lower = limits[k].lower * deg_per_rad, upper = limits[k].upper * deg_per_rad;
    if (q[k] < lower || q[k] > upper)
      return {Breach::JointRange, static_cast<int>(k + 1), q[k], q[k] < lower ? lower : upper};
  }
  Step s = step_to(q, ctx);
  if (s.jump_mm && *s.jump_mm > max_jump_mm) return {Breach::Jump, 0, *s.jump_mm, max_jump_mm};
  // Without an arm model the strictest step holds.
  int step = s.speed_mm_s ? speed_step(*s.speed_mm_s, ctx.max_cartesian_speed) : threshold_steps - 1;
  const std::pair<ThresholdKind, const Joints*> kinds[] = {
      {ThresholdKind::Velocity, &s.v}, {ThresholdKind::Acceleration, &s.a}, {ThresholdKind::Jerk, &s.j}};
  for (auto [kind, values] : kinds) {
    for (int axis = 1; axis <= 9; ++axis) {
      double limit = threshold_at(ctx.tables->of(axis, kind), step, ctx.payload_fraction);
      bool robot_joint = static_cast<std::size_t>(axis) <= limits.size();
      if (robot_joint && limit <= 0.0) continue;  // a joint without a limit of this kind; beyond the joints: no motion
      double value = (*values)[static_cast<std::size_t>(axis - 1)];
      if (above(value, limit)) {
        Breach b = kind == ThresholdKind::Velocity       ? Breach::Velocity
                   : kind == ThresholdKind::Acceleration ? Breach::Acceleration
                                                         : Breach::Jerk;
        return {b, axis, value, limit};
      }
    }
  }
  return {};
}

void CommandChecker::take(const Joints& q, const CheckContext& ctx) {
  Step s = step_to(q, ctx);
  q_ = q;
  v_ = s.v;
  a_ = s.a;
  faceplate_ = faceplate_mm(ctx.arm, q);
}

}  // namespace orvane::sim::detail::stream_motion
