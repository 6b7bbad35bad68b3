#pragma once

// What a motion the controller plans itself is asked to do: its target, how
// it ends (blends into the next one or stops there) and its modifiers.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "orvane/drivers/fanuc/fanuc_controller_types.hpp"

namespace orvane::drivers {

/// How a controller-planned motion ends. `fine` stops at the target; `cnt`
/// (1 to 100) and `corner` (a corner radius in metres) let the controller
/// round the corner into the next motion, which it can do only once that
/// motion has arrived.
struct Blend {
    enum class Kind : std::uint8_t { fine, cnt, corner };
    Kind kind{Kind::fine};
    /// CNT: 1 to 100; corner: the radius in metres.
    double value{0.0};

    static Blend fine() { return {}; }
    static Blend cnt(int value) { return {Kind::cnt, static_cast<double>(value)}; }
    static Blend corner(double radius) { return {Kind::corner, radius}; }

    /// Whether the motion waits for the next one to blend into it.
    bool blends() const { return kind != Kind::fine; }
    bool operator==(const Blend&) const = default;
};

/// A target of a controller-planned motion: joint values (radians, J3
/// independent of J2, one per joint of the robot) or a pose in the
/// controller's terms (its user frame and tool).
using MotionTarget = std::variant<std::vector<double>, CartesianPose>;

/// The modifiers of a controller-planned motion.
struct ControllerMotionOptions {
    /// Empty: FINE.
    std::optional<Blend> blend;
    /// The target is an offset from where the previous motion ends: joint
    /// values added, or a pose offset in its user frame.
    bool relative{false};
    /// A CNT joint or linear motion starts without waiting for the next one
    /// (the corner is then not rounded).
    bool no_blend{false};
    /// A share of the arm's acceleration, 1 to 150 percent; empty: the
    /// controller's own (100).
    std::optional<int> acceleration_percent;
};

}  // namespace orvane::drivers
