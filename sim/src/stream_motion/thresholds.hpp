// The threshold tables a Stream Motion controller answers, and how a
// command's speed step and the payload pick the limit that holds for it.
#pragma once

#include <array>
#include <vector>

#include "orvane/sim/controller_simulator.hpp"

namespace orvane::sim::detail::stream_motion {

inline constexpr int threshold_axes = 9;
inline constexpr int threshold_kinds = 3;

// Every axis's table of every kind, built once from the joint limits.
struct ThresholdTables {
  std::array<std::array<ThresholdTable, threshold_kinds>, threshold_axes> tables{};

  static ThresholdTables from(const std::vector<JointLimit>& limits);
  const ThresholdTable& of(int axis, ThresholdKind kind) const {  // axis 1 ... 9
    return tables[static_cast<std::size_t>(axis - 1)][static_cast<std::size_t>(kind)];
  }
};

// FANUC's speed step for a Cartesian speed (mm/s): the lower entry of
// 19 (1.2 v - v_max/20) / (v_max - v_max/20), clamped to 0 ... 19.
int speed_step(double speed_mm_s, double max_cartesian_speed);

// The limit at a step for a payload fraction (mass / rated payload, clamped
// to 0 ... 1): no + fraction (full - no).
double threshold_at(const ThresholdTable& table, int step, double payload_fraction);

}  // namespace orvane::sim::detail::stream_motion
