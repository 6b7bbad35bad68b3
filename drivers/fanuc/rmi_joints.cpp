// The joint convention of RMI against the planner's, and the check of a
// joint reading before it becomes a position.
#include "orvane/drivers/fanuc/rmi_joints.hpp"

#include <cmath>
#include <numbers>
#include <string>

#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers {

namespace {

// Joint readings beyond ten turns are protocol violations (rad).
constexpr double max_plausible_joint_angle = 20.0 * std::numbers::pi;
constexpr double degrees_per_radian = 180.0 / std::numbers::pi;

}  // namespace

void to_rmi_joints(std::vector<double>& joints) {
    if (joints.size() >= 3) joints[2] -= joints[1];
}

void from_rmi_joints(std::vector<double>& joints) {
    if (joints.size() >= 3) joints[2] += joints[1];
}

std::vector<double> planner_joints(const std::vector<double>& rmi_angles, std::size_t count) {
    if (rmi_angles.size() < count) {
        throw OrvaneError("driver.fanuc", "The controller reported " + std::to_string(rmi_angles.size()) +
                                              " joint angles for a robot of " + std::to_string(count) + ".");
    }
    std::vector<double> position(rmi_angles.begin(), rmi_angles.begin() + static_cast<std::ptrdiff_t>(count));
    for (std::size_t j = 0; j < position.size(); ++j) {
        if (!std::isfinite(position[j]) || std::abs(position[j]) > max_plausible_joint_angle) {
            throw OrvaneError("driver.fanuc", "The controller reported J" + std::to_string(j + 1) + " at " +
                                                  std::to_string(position[j] * degrees_per_radian) +
                                                  " degrees, which no joint can reach.");
        }
    }
    from_rmi_joints(position);
    return position;
}

std::vector<double> planner_joints(const JointAngleResponse& answer, std::size_t count) {
    if (!answer.success) {
        throw OrvaneError("driver.fanuc",
                          "Reading the joint angles failed with error id " + std::to_string(answer.error_id) + ".");
    }
    return planner_joints(answer.joint_angles, count);
}

}  // namespace orvane::drivers
