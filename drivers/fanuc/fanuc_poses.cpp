// FanucDriver: poses in the controller's terms (world or user frame, tool) as
// goals of the planner, which measures the faceplate from the arm's base.
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "orvane/drivers/fanuc/fanuc_driver.hpp"
#include "orvane/drivers/fanuc/fanuc_world_frame.hpp"

namespace orvane::drivers {

std::optional<orvane::CartesianWaypoint> FanucDriver::to_planner_waypoint(const CartesianPose& pose) {
    begin_operation();
    // `logged`: the failed read has already said why in the log.
    auto refused = [this](const std::string& why, bool logged = false) -> std::optional<orvane::CartesianWaypoint> {
        if (logged) {
            set_last_error(why);
        } else {
            refuse(why);
        }
        return std::nullopt;
    };
    const auto arm = std::dynamic_pointer_cast<const orvane::RobotArm>(robot);
    if (!arm) {
        return refused("A Cartesian pose needs a single arm to drive; '" + robot->name + "' is not one.");
    }
    // User frame 0 is the world frame and tool 0 the faceplate: nothing to read.
    const auto read = [](int number, auto&& reader) -> std::optional<orvane::Frame> {
        if (number == 0) return orvane::Frame::Identity();
        return reader(number);
    };
    const auto user_frame = read(pose.user_frame, [this](int n) { return get_user_frame(n); });
    if (!user_frame) {
        return refused("The pose is in user frame " + std::to_string(pose.user_frame) +
                          ", which could not be read from the controller.",
                      true);
    }
    const auto tool = read(pose.user_tool, [this](int n) { return get_user_tool(n); });
    if (!tool) {
        return refused("The pose is of tool " + std::to_string(pose.user_tool) +
                          ", which could not be read from the controller.",
                      true);
    }
    // The pose places the tool's TCP in the user frame; the faceplate lies
    // the tool's offset back from it.
    const orvane::Frame faceplate_in_world = *user_frame * pose.pose * tool->inverse();
    try {
        return orvane::CartesianWaypoint(world_to_base(*arm, faceplate_in_world));
    } catch (const std::invalid_argument& error) {
        return refused(error.what());
    }
}

Result FanucDriver::move_to(const CartesianPose& goal, bool ignore_collisions) {
    const auto waypoint = to_planner_waypoint(goal);
    if (!waypoint) return Result::Error;
    return move_to(orvane::Goal(*waypoint), ignore_collisions);
}

std::shared_future<Result> FanucDriver::move_to_async(const CartesianPose& goal, bool ignore_collisions) {
    return launch([this, goal, ignore_collisions] { return move_to(goal, ignore_collisions); }).share();
}

}  // namespace orvane::drivers
