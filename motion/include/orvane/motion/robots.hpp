#pragma once

#include <memory>

#include <orvane/motion/robot.hpp>

// Models of real arms, built from public kinematic data (see data/robots/).
// Joint positions follow the independent-joint convention: J3 is the angle of
// link 3 relative to link 2 (a FANUC controller reports J3 - J2 instead). The
// TCP is the flange face (tool0) in the arm's base_link frame; the FANUC World
// frame lies on the J1 axis at J2 height above it. Acceleration and jerk limits
// are not published by the maker and are assumed (full speed in 0.5 s, full
// acceleration in 0.2 s).
namespace orvane::robots {

// One RMI motion instruction per minimum motion duration (24 ms).
inline constexpr double fanuc_control_rate = 1.0 / 0.024;

// Each call builds a new arm (robots are compared by identity).
std::shared_ptr<RobotArm> fanuc_lrmate200id();
std::shared_ptr<RobotArm> fanuc_crx10ial();

}  // namespace orvane::robots
