#include "orvane/drivers/fanuc/stream_motion_axes.hpp"

#include <memory>
#include <string>
#include <vector>

#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers::stream_motion {

namespace {

void collect_linear(const orvane::Robot& robot, std::vector<bool>& linear) {
    if (const auto* arm = dynamic_cast<const orvane::RobotArm*>(&robot)) {
        for (const auto& joint : arm->joints()) linear.push_back(joint.type == orvane::Joint::Type::Prismatic);
        return;
    }
    if (dynamic_cast<const orvane::LinearAxis*>(&robot)) {
        linear.push_back(true);
        return;
    }
    const auto parts = robot.sub_robots();
    if (parts.size() == 1 && parts.front().get() == &robot) {
        // A robot of a kind unknown here: its joints are taken as rotary.
        linear.insert(linear.end(), robot.get_degrees_of_freedom(), false);
        return;
    }
    for (const auto& part : parts) collect_linear(*part, linear);
}

}  // namespace

AxisUnits axis_units_of(const orvane::Robot& robot) {
    std::vector<bool> linear;
    collect_linear(robot, linear);
    if (linear.empty() || linear.size() > max_axes || linear.size() != robot.get_degrees_of_freedom()) {
        throw OrvaneError("driver.fanuc", "Stream Motion drives 1 to 9 axes; the robot '" + robot.name + "' has " +
                                              std::to_string(robot.get_degrees_of_freedom()) + ".");
    }
    AxisUnits units{.count = linear.size()};
    for (std::size_t axis = 0; axis < linear.size(); ++axis) units.linear[axis] = linear[axis];
    return units;
}

}  // namespace orvane::drivers::stream_motion
