#pragma once

// Instructions the controller plans and runs itself: joint, linear and
// circular motions with a speed and a blend, program calls, waits, and the
// user frame and tool they run in. Built with sequence ID 0; the sender
// numbers each with set_seq_id as it takes its place in the queue. Values in
// the driver's units (radians, metres, seconds; joint values in the
// controller's convention, J3 relative to J2) are converted to millimetres
// and degrees here; a value the wire cannot carry throws OrvaneError
// "driver.fanuc" (the driver checks ranges before it builds one).

#include <cstdint>
#include <string>
#include <vector>

#include "orvane/drivers/fanuc/controller_motion_types.hpp"
#include "orvane/drivers/fanuc/fanuc_controller_types.hpp"
#include "orvane/drivers/fanuc/rmi_message.hpp"

namespace orvane::drivers {

/// How the controller interpolates a motion: in joint space, along a
/// straight line or along an arc of a circle.
enum class PlannedPath : std::uint8_t { joint, linear, circular };

/// The speed of a planned motion: a share of the joints' maximum speed
/// (joint motions) or the TCP speed (linear and circular motions).
struct PlannedSpeed {
    enum class Unit : std::uint8_t { percent, metres_per_second };
    Unit unit{Unit::percent};
    double value{100.0};
};

/// The instruction's packet name, e.g. "FRC_LinearRelativeJRep".
std::string planned_motion_name(PlannedPath path, bool relative, bool joint_representation);

class PlannedMotionInstruction : public RmiInstruction {
public:
    /// To joint values (radians, controller convention, at most nine).
    PlannedMotionInstruction(PlannedPath path, const std::vector<double>& joint_angles, const PlannedSpeed& speed,
                             const ControllerMotionOptions& options);
    /// To a pose in its user frame and tool.
    PlannedMotionInstruction(PlannedPath path, const CartesianPose& target, const ArmConfiguration& configuration,
                             const PlannedSpeed& speed, const ControllerMotionOptions& options);
    /// Along the circle through `via` to `target` (both in the target's frame and tool).
    PlannedMotionInstruction(const CartesianPose& via, const ArmConfiguration& via_configuration,
                             const CartesianPose& target, const ArmConfiguration& configuration,
                             const PlannedSpeed& speed, const ControllerMotionOptions& options);

private:
    void add_speed_and_termination(const PlannedSpeed& speed, const ControllerMotionOptions& options);
};

/// "FRC_Call": runs a program of the controller to its end.
class CallProgramInstruction : public RmiInstruction {
public:
    explicit CallProgramInstruction(const std::string& program);
};

/// "FRC_WaitTime": the queue stands still for `seconds`.
class WaitTimeInstruction : public RmiInstruction {
public:
    explicit WaitTimeInstruction(double seconds);
};

/// "FRC_WaitDIN": the queue waits until digital input `port` is on (or off).
class WaitInputInstruction : public RmiInstruction {
public:
    WaitInputInstruction(std::uint64_t port, bool on);
};

/// "FRC_SetUFrame": the user frame of the motions queued after it.
class SetUserFrameInstruction : public RmiInstruction {
public:
    explicit SetUserFrameInstruction(int frame);
};

/// "FRC_SetUTool": the tool of the motions queued after it.
class SetUserToolInstruction : public RmiInstruction {
public:
    explicit SetUserToolInstruction(int tool);
};

}  // namespace orvane::drivers
