// Reading the simulator's executed path through the LR Mate's arm model (an
// independent forward kinematics, not the simulator's): TCP positions,
// speeds and joint accelerations of the interpolation steps.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <vector>

#include <orvane/motion/robots.hpp>
#include <orvane/sim/controller_simulator.hpp>

namespace simtest {

using Point = std::array<double, 3>;

// TCP (mm) of the LR Mate's arm model for joints in the controller's
// convention (J3 relative to J2); the arm model's base differs from the
// controller's world by a translation only.
inline Point model_tcp_mm(const std::array<double, 9>& controller_deg) {
  static const auto arm = orvane::robots::fanuc_lrmate200id();
  constexpr double rad = std::numbers::pi / 180.0;
  std::vector<double> q(6);
  for (int k = 0; k < 6; ++k) q[k] = controller_deg[k] * rad;
  q[2] += q[1];
  auto t = arm->calculate_tcp(q).translation();
  return {t[0] * 1000, t[1] * 1000, t[2] * 1000};
}
inline Point model_tcp_mm(const orvane::sim::PathSample& s) { return model_tcp_mm(s.controller_deg); }

inline double distance(const Point& a, const Point& b) { return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]); }

inline double distance_to_segment(const Point& p, const Point& a, const Point& b) {
  Point ab{b[0] - a[0], b[1] - a[1], b[2] - a[2]}, ap{p[0] - a[0], p[1] - a[1], p[2] - a[2]};
  double len2 = ab[0] * ab[0] + ab[1] * ab[1] + ab[2] * ab[2];
  double t = len2 > 0 ? std::clamp((ap[0] * ab[0] + ap[1] * ab[1] + ap[2] * ab[2]) / len2, 0.0, 1.0) : 0.0;
  return std::hypot(ap[0] - t * ab[0], ap[1] - t * ab[1], ap[2] - t * ab[2]);
}

// Joint accelerations of an executed path (planner convention, deg/s^2),
// from its commanded positions; each sample's neighbours give one value.
inline std::vector<std::array<double, 6>> joint_accelerations(const std::vector<orvane::sim::PathSample>& path) {
  std::vector<std::array<double, 6>> out;
  for (std::size_t i = 1; i + 1 < path.size(); ++i) {
    const auto &a = path[i - 1], &b = path[i], &c = path[i + 1];
    std::array<double, 6> acc{};
    for (int k = 0; k < 6; ++k) {
      auto planner = [k](const orvane::sim::PathSample& s) {
        return k == 2 ? s.commanded_deg[2] + s.commanded_deg[1] : s.commanded_deg[k];
      };
      double v0 = (planner(b) - planner(a)) / (b.t - a.t), v1 = (planner(c) - planner(b)) / (c.t - b.t);
      acc[k] = 2.0 * (v1 - v0) / (c.t - a.t);
    }
    out.push_back(acc);
  }
  return out;
}

}  // namespace simtest
