#pragma once

// The controller's world frame beside the planner's base frame.
//
// The planner measures an arm's TCP from the arm's base (the base link, on
// the floor); a FANUC controller measures it in its world frame (user frame
// 0), whose origin lies on the J1 axis at the height of the J2 axis: 330 mm
// above the base of an LR Mate 200iD, 245 mm for a CRX-10iA/L. Both frames
// keep their axes parallel.

#include <orvane/motion/frame.hpp>
#include <orvane/motion/robot.hpp>

namespace orvane::drivers {

/// The controller's world frame in the arm's base frame, found from the
/// arm's own kinematic chain (J1's axis, and J2's axis at the zero
/// position), so it holds for any FANUC arm model. Throws
/// std::invalid_argument for an arm of fewer than two joints or whose first
/// two joints are not revolute.
orvane::Frame world_frame_in_base(const orvane::RobotArm& arm);

/// A pose given in the controller's world frame, in the arm's base frame
/// (where CartesianWaypoint and calculate_tcp have it).
orvane::Frame world_to_base(const orvane::RobotArm& arm, const orvane::Frame& pose_in_world);

/// A pose given in the arm's base frame, in the controller's world frame.
orvane::Frame base_to_world(const orvane::RobotArm& arm, const orvane::Frame& pose_in_base);

}  // namespace orvane::drivers
