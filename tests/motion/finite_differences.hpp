#pragma once

// Velocity, acceleration and jerk as a controller computes them from
// consecutive commanded positions, checked against limits.

#include <orvane/motion/robot.hpp>
#include <orvane/motion/trajectory.hpp>

#include <cmath>
#include <cstddef>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace orvane::testing {

struct DerivativeLimits {
    double velocity, acceleration, jerk;
};

inline std::vector<DerivativeLimits> derivative_limits(const std::vector<JointLimits>& limits) {
    std::vector<DerivativeLimits> result;
    for (const auto& l : limits) result.push_back({l.max_velocity, l.max_acceleration, l.max_jerk});
    return result;
}

// The positions a controller is commanded: the robot rests where the
// trajectory starts before it, and where it ends after it.
inline std::vector<std::vector<double>> commanded_at_rest(const Trajectory& trajectory) {
    auto positions = trajectory.positions();
    positions.insert(positions.begin(), 3, positions.front());
    positions.insert(positions.end(), 3, positions.back());
    return positions;
}

// The first finite difference (first, second or third, divided by dt^order)
// beyond its limit, described; empty if every one keeps it. Rounding of the
// positions (to about 1e-11) is allowed for.
inline std::optional<std::string> first_broken_limit(const std::vector<std::vector<double>>& positions, double dt,
                                                     const std::vector<DerivativeLimits>& limits) {
    constexpr double relative = 1e-9, position_rounding = 1e-11;
    const char* names[] = {"velocity", "acceleration", "jerk"};
    for (std::size_t k = 1; k < positions.size(); ++k) {
        for (std::size_t j = 0; j < limits.size(); ++j) {
            auto p = [&](std::size_t back) { return positions[k - back][j]; };
            double differences[3] = {(p(0) - p(1)) / dt, 0.0, 0.0};
            if (k >= 2) differences[1] = (p(0) - 2.0 * p(1) + p(2)) / (dt * dt);
            if (k >= 3) differences[2] = (p(0) - 3.0 * p(1) + 3.0 * p(2) - p(3)) / (dt * dt * dt);
            const double bounds[3] = {limits[j].velocity, limits[j].acceleration, limits[j].jerk};
            for (int order = 0; order < 3; ++order) {
                const double slack = bounds[order] * relative + position_rounding * std::pow(2.0 / dt, order + 1);
                if (std::abs(differences[order]) > bounds[order] + slack) {
                    std::ostringstream out;
                    out << names[order] << " of joint " << j + 1 << " at sample " << k << ": "
                        << differences[order] << " beyond " << bounds[order] << " (ratio "
                        << std::abs(differences[order]) / bounds[order] << ")";
                    return out.str();
                }
            }
        }
    }
    return std::nullopt;
}

}  // namespace orvane::testing
