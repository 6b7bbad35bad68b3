#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <orvane/motion/robot.hpp>
#include <orvane/motion/waypoint.hpp>

namespace orvane {

// A point-to-point planning request. An empty `robot` means the planner
// environment's only robot. `start` and `goal` may be left out here and given
// when planning (named motions keep defaults for them).
struct Motion {
    std::string name;
    std::shared_ptr<Robot> robot;
    std::optional<Goal> start;
    std::optional<Goal> goal;
    // Accepted for compatibility; this library has no collision model.
    bool ignore_collisions{false};

    Motion() = default;
    Motion(std::string name, std::shared_ptr<Robot> robot, std::optional<Goal> start,
           std::optional<Goal> goal, bool ignore_collisions = false);
};

// A joint-space request between two Waypoints, with the control interface
// that says what the goal means.
struct LowLevelMotion {
    enum class ControlInterface : std::int32_t {
        // Reach the goal's position, velocity and acceleration; all joints
        // arrive together.
        Position = 0,
        // Reach the goal's velocity as fast as the limits allow, wherever that
        // is: with a zero goal velocity, a stop. The goal's position and
        // acceleration are not used; the trajectory ends with zero acceleration.
        Velocity = 1,
    };

    std::string name;
    std::shared_ptr<Robot> robot;
    Waypoint start;
    Waypoint goal;
    ControlInterface control_interface{ControlInterface::Position};
    // Accepted for compatibility; this library has no collision model.
    bool ignore_collisions{false};

    LowLevelMotion() = default;
    explicit LowLevelMotion(std::shared_ptr<Robot> robot);
    LowLevelMotion(std::shared_ptr<Robot> robot, Waypoint start, Waypoint goal);
    LowLevelMotion(std::string name, std::shared_ptr<Robot> robot, Waypoint start, Waypoint goal);
};

}  // namespace orvane
