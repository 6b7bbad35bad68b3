#pragma once

#include <optional>
#include <string>
#include <variant>

#include <orvane/motion/trajectory.hpp>
#include <orvane/motion/waypoint.hpp>

namespace orvane::drivers {

/// Join `trajectory` from the present state so that the robot is on it at
/// time `duration` (seconds) of it.
struct BlendIntoCommand {
    orvane::Trajectory trajectory;
    double duration{0.0};
};

/// Plan the motion that the planner knows under `name`, optionally towards
/// another goal.
struct MotionCommand {
    std::string name;
    std::optional<orvane::Goal> goal;
    bool ignore_collisions{false};
};

/// Plan a motion from the present state to `goal`.
struct PointCommand {
    orvane::Goal goal;
    bool ignore_collisions{false};
};

/// Bring the robot to rest as fast as its limits allow.
struct StopCommand {};

/// Run `trajectory` unchanged.
struct TrajectoryCommand {
    orvane::Trajectory trajectory;
};

/// Every motion a driver executes, in the order the variant holds them.
using Command = std::variant<BlendIntoCommand, MotionCommand, PointCommand, StopCommand, TrajectoryCommand>;

}  // namespace orvane::drivers
