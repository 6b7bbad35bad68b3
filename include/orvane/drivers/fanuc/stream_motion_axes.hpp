#pragma once

#include <array>
#include <cstddef>

#include <orvane/motion/robot.hpp>

#include "orvane/drivers/fanuc/stream_motion_packets.hpp"

namespace orvane::drivers::stream_motion {

/// The axes a session streams, in the controller's order, and their units:
/// the wire carries degrees (millimetres for a linear axis), the driver
/// radians (metres). Joints pass through otherwise unchanged: Stream Motion
/// reports and takes J3 independent of J2, as planners have it.
struct AxisUnits {
    /// Axes streamed, 1 to 9 (J1..J6, then E1..E3).
    std::size_t count{6};
    /// Per axis: true for a linear axis (metres), false for a rotary one (radians).
    std::array<bool, max_axes> linear{};

    double to_wire(std::size_t axis, double value) const noexcept {
        return linear[axis] ? value * 1000.0 : value * degrees_per_radian;
    }
    double from_wire(std::size_t axis, double value) const noexcept {
        return linear[axis] ? value / 1000.0 : value / degrees_per_radian;
    }

    static constexpr double degrees_per_radian = 57.29577951308232;
};

/// The units of a robot's joints, in joint order: prismatic joints and
/// linear axes are linear, everything else rotary. Throws OrvaneError for a
/// robot of more than 9 joints or none.
AxisUnits axis_units_of(const orvane::Robot& robot);

}  // namespace orvane::drivers::stream_motion
