#include "orvane/drivers/fanuc/rmi_planned_motions.hpp"

#include <cmath>
#include <sstream>

#include "orvane/drivers/fanuc/rmi_controller_requests.hpp"
#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers {

namespace {

constexpr double degrees_per_radian = 57.29577951308232;
constexpr double millimetres_per_metre = 1000.0;

[[noreturn]] void refuse(const std::string& message) { throw OrvaneError("driver.fanuc", message); }

std::string describe(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

nlohmann::json joint_angles_member(const std::vector<double>& joint_angles) {
    if (joint_angles.size() > 9) refuse("A motion instruction carries at most 9 joints.");
    nlohmann::json angles = nlohmann::json::object();
    for (std::size_t k = 1; k <= 9; ++k) {
        const double value = k <= joint_angles.size() ? joint_angles[k - 1] * degrees_per_radian : 0.0;
        if (!std::isfinite(value)) refuse("Joint " + std::to_string(k) + " cannot be sent: " + describe(value));
        angles["J" + std::to_string(k)] = value;
    }
    return angles;
}

}  // namespace

std::string planned_motion_name(PlannedPath path, bool relative, bool joint_representation) {
    std::string name = "FRC_";
    switch (path) {
        case PlannedPath::joint: name += "Joint"; break;
        case PlannedPath::linear: name += "Linear"; break;
        case PlannedPath::circular: name += "Circular"; break;
    }
    name += relative ? "Relative" : "Motion";
    if (joint_representation) name += "JRep";
    return name;
}

PlannedMotionInstruction::PlannedMotionInstruction(PlannedPath path, const std::vector<double>& joint_angles,
                                                   const PlannedSpeed& speed, const ControllerMotionOptions& options)
    : RmiInstruction(planned_motion_name(path, options.relative, true), 0) {
    if (path == PlannedPath::circular) refuse("A circular motion needs a via point and a target pose.");
    body["JointAngle"] = joint_angles_member(joint_angles);
    add_speed_and_termination(speed, options);
}

PlannedMotionInstruction::PlannedMotionInstruction(PlannedPath path, const CartesianPose& target,
                                                   const ArmConfiguration& configuration, const PlannedSpeed& speed,
                                                   const ControllerMotionOptions& options)
    : RmiInstruction(planned_motion_name(path, options.relative, false), 0) {
    if (path == PlannedPath::circular) refuse("A circular motion needs a via point and a target pose.");
    body["Position"] = rmi_position(target.pose);
    body["Configuration"] = rmi_configuration(target.user_frame, target.user_tool, configuration);
    add_speed_and_termination(speed, options);
}

PlannedMotionInstruction::PlannedMotionInstruction(const CartesianPose& via,
                                                   const ArmConfiguration& via_configuration,
                                                   const CartesianPose& target, const ArmConfiguration& configuration,
                                                   const PlannedSpeed& speed, const ControllerMotionOptions& options)
    : RmiInstruction(planned_motion_name(PlannedPath::circular, options.relative, false), 0) {
    body["Position"] = rmi_position(target.pose);
    body["Configuration"] = rmi_configuration(target.user_frame, target.user_tool, configuration);
    body["ViaPosition"] = rmi_position(via.pose);
    body["ViaConfiguration"] = rmi_configuration(target.user_frame, target.user_tool, via_configuration);
    add_speed_and_termination(speed, options);
}

void PlannedMotionInstruction::add_speed_and_termination(const PlannedSpeed& speed,
                                                         const ControllerMotionOptions& options) {
    if (!std::isfinite(speed.value) || speed.value <= 0.0) refuse("A motion speed must be above 0: " + describe(speed.value));
    if (speed.unit == PlannedSpeed::Unit::percent) {
        body["SpeedType"] = "Percent";
        body["Speed"] = static_cast<int>(std::lround(speed.value));
    } else {
        body["SpeedType"] = "mmSec";
        body["Speed"] = static_cast<int>(std::lround(speed.value * millimetres_per_metre));
    }
    const auto blend = options.blend.value_or(Blend::fine());
    switch (blend.kind) {
        case Blend::Kind::fine:
            body["TermType"] = "FINE";
            body["TermValue"] = 0;
            break;
        case Blend::Kind::cnt:
            body["TermType"] = "CNT";
            body["TermValue"] = static_cast<int>(std::lround(blend.value));
            break;
        case Blend::Kind::corner:
            body["TermType"] = "CR";
            body["TermValue"] = static_cast<int>(std::lround(blend.value * millimetres_per_metre));
            break;
    }
    if (options.no_blend) body["NoBlend"] = "ON";
    if (options.acceleration_percent) body["ACC"] = *options.acceleration_percent;
}

CallProgramInstruction::CallProgramInstruction(const std::string& program) : RmiInstruction("FRC_Call", 0) {
    body["ProgramName"] = program;
}

WaitTimeInstruction::WaitTimeInstruction(double seconds) : RmiInstruction("FRC_WaitTime", 0) {
    if (!std::isfinite(seconds) || seconds < 0.0) refuse("A wait cannot last " + describe(seconds) + " s.");
    body["Time"] = seconds;
}

WaitInputInstruction::WaitInputInstruction(std::uint64_t port, bool on) : RmiInstruction("FRC_WaitDIN", 0) {
    body["PortNumber"] = port;
    body["PortValue"] = on ? "ON" : "OFF";
}

SetUserFrameInstruction::SetUserFrameInstruction(int frame) : RmiInstruction("FRC_SetUFrame", 0) {
    body["FrameNumber"] = frame;
}

SetUserToolInstruction::SetUserToolInstruction(int tool) : RmiInstruction("FRC_SetUTool", 0) {
    body["ToolNumber"] = tool;
}

}  // namespace orvane::drivers
