#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <orvane/motion/frame.hpp>

namespace orvane::drivers {

/// FANUC's configuration of an arm pose: which of the inverse-kinematic
/// solutions a Cartesian position means, written as the controller's teach
/// pendant shows it, e.g. "N U T, 0, 0, 0" (wrist Flip or No flip, elbow Up or
/// Down, arm in fronT or Back, then the turn numbers of J4, J5 and J6; an "L"
/// marks the left-hand solution of arms that have one).
struct ArmConfiguration {
    bool flip{false};
    bool up{true};
    bool front{true};
    bool left{false};
    int turn4{0};
    int turn5{0};
    int turn6{0};

    std::string to_string() const;
    /// Empty for text that is not a configuration (unknown letter, a letter
    /// pair given twice or not at all, more than three turn numbers, a turn
    /// number outside -128 to 127).
    static std::optional<ArmConfiguration> parse(std::string_view text);

    bool operator==(const ArmConfiguration&) const = default;
};

/// A TCP pose as the controller keeps it: in user frame `user_frame` with
/// tool `user_tool`. `pose` is in metres and radians (W, P, R are the Euler
/// angles of orvane::Frame); the controller's millimetres and degrees appear
/// only on the wire.
struct CartesianPose {
    orvane::Frame pose;
    int user_frame{0};
    int user_tool{0};
    /// As ArmConfiguration::to_string writes it.
    std::string configuration{"N U T, 0, 0, 0"};
};

/// The user frame and tool the controller applies to Cartesian positions.
struct FrameToolNumbers {
    int user_frame{0};
    int user_tool{0};

    bool operator==(const FrameToolNumbers&) const = default;
};

/// One position register (PR[n]): either a Cartesian pose or a joint position
/// (radians, J3 independent of J2, one value per joint of the robot).
struct PositionRegister {
    std::optional<CartesianPose> cartesian;
    std::optional<std::vector<double>> joint_position;
};

/// What a payload schedule holds: the mass (kg), its centre of gravity in
/// the faceplate frame (m) and, optionally, its moments of inertia about the
/// centre of gravity (kg m^2, about axes parallel to the faceplate's).
struct PayloadValue {
    double mass{0.0};
    std::array<double, 3> centre_of_gravity{};
    std::optional<std::array<double, 3>> inertia;
};

}  // namespace orvane::drivers
