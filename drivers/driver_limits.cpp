// Checking a trajectory against the robot's joint limits before it is run.
#include <cmath>
#include <cstddef>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "orvane/drivers/driver.hpp"

namespace orvane::drivers {

namespace {

// Rounding in planners and in readings of the controller (0.001 degrees)
// must not refuse a trajectory that runs along a limit.
constexpr double position_tolerance = 1e-6;  // rad
constexpr double velocity_tolerance = 1e-3;  // relative to the limit
constexpr double velocity_floor = 1e-9;      // rad/s

std::string describe(std::size_t joint, std::size_t sample, const std::string& what) {
    std::ostringstream text;
    text.precision(6);
    text << "Joint " << joint + 1 << " at sample " << sample << " " << what;
    return text.str();
}

std::string number(double value) {
    std::ostringstream text;
    text.precision(6);
    text << value;
    return text.str();
}

}  // namespace

std::optional<std::string> Driver::find_limit_violation(const orvane::Trajectory& candidate) const {
    const auto limits = robot->get_joint_limits();
    const auto& times = candidate.times();
    const auto& positions = candidate.positions();
    const auto& velocities = candidate.velocities();
    if (limits.size() != degrees_of_freedom) return std::nullopt;  // no limits to hold it to

    for (std::size_t k = 0; k < positions.size(); ++k) {
        // This robot's joints within a trajectory of the whole composite, as
        // slice_state_offset cuts them.
        const std::size_t width = positions[k].size();
        const std::size_t first = width == degrees_of_freedom ? 0 : offset;
        if (width < first + degrees_of_freedom) return "Sample " + std::to_string(k) + " has too few joints.";

        for (std::size_t j = 0; j < degrees_of_freedom; ++j) {
            const auto& limit = limits[j];
            const double q = positions[k][first + j];
            const double v = velocities[k][first + j];
            const double max_velocity = limit.max_velocity * (1.0 + velocity_tolerance) + velocity_floor;
            if (!std::isfinite(q) || q < limit.lower - position_tolerance || q > limit.upper + position_tolerance) {
                return describe(j, k, "is at " + number(q) + " rad, outside its range " + number(limit.lower) +
                                          " to " + number(limit.upper) + " rad.");
            }
            if (!std::isfinite(v) || std::abs(v) > max_velocity) {
                return describe(j, k, "has the velocity " + number(v) + " rad/s, beyond its limit of " +
                                          number(limit.max_velocity) + " rad/s.");
            }
            if (k == 0) continue;
            // The time scaler moves in straight lines between samples: the
            // step is the speed the robot is commanded to, whatever the
            // velocities claim.
            const double step = std::abs(q - positions[k - 1][first + j]) / (times[k] - times[k - 1]);
            if (step > max_velocity) {
                return describe(j, k, "is reached from sample " + std::to_string(k - 1) + " at " + number(step) +
                                          " rad/s, beyond its limit of " + number(limit.max_velocity) + " rad/s.");
            }
        }
    }
    return std::nullopt;
}

}  // namespace orvane::drivers
