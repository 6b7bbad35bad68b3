#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include <orvane/motion/frame.hpp>

namespace orvane {

// Common base of the points a motion can start from or go to.
struct Element {
    virtual ~Element() = default;
};

// A joint-space point: position with the velocity and acceleration to have there.
struct Waypoint : Element {
    std::vector<double> position;
    std::vector<double> velocity;
    std::vector<double> acceleration;

    Waypoint() = default;
    // Zeros for `degrees_of_freedom` joints.
    explicit Waypoint(std::size_t degrees_of_freedom);
    // At rest at `position`.
    explicit Waypoint(std::vector<double> position);
    Waypoint(std::vector<double> position, std::vector<double> velocity,
             std::vector<double> acceleration);
};

// A tool-centre-point pose (in the arm's base frame), reached at rest; the
// planner finds the joint position by inverse kinematics from the motion's start.
struct CartesianWaypoint : Element {
    Frame frame;

    CartesianWaypoint() = default;
    explicit CartesianWaypoint(const Frame& frame) : frame(frame) {}
};

namespace points {

// A point for one robot.
using Point = std::variant<std::vector<double>, Waypoint, CartesianWaypoint>;

// Points per robot name, for a composite robot whose parts are named: each
// entry sets the joints of the sub-robot of that name. In a goal, joints that
// no entry covers stay where the motion starts.
using RobotMap = std::map<std::string, Point>;

}  // namespace points

// Where a motion starts or goes: a joint vector (reached at rest), a Waypoint,
// a CartesianWaypoint or a map of points per robot.
using Goal = std::variant<std::vector<double>, Waypoint, CartesianWaypoint, points::RobotMap>;

}  // namespace orvane
