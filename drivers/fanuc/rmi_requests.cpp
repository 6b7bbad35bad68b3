#include "orvane/drivers/fanuc/rmi_requests.hpp"

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <utility>

namespace orvane::drivers {

namespace {

constexpr double radians_per_degree = 0.017453292519943295;
// The shortest motion the controller executes as given (milliseconds).
constexpr std::int32_t minimum_speed_ms = 24;
constexpr double int32_max = static_cast<double>(std::numeric_limits<std::int32_t>::max());

std::string describe(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

[[noreturn]] void refuse(const std::string& message) { throw OrvaneError("driver.fanuc", message); }

}  // namespace

ConnectionRequest::ConnectionRequest() : RmiCommunication("FRC_Connect") {}
DisconnectionRequest::DisconnectionRequest() : RmiCommunication("FRC_Disconnect") {}
InitializeRequest::InitializeRequest() : RmiCommand("FRC_Initialize") {}
ResetRequest::ResetRequest() : RmiCommand("FRC_Reset") {}
AbortRequest::AbortRequest() : RmiCommand("FRC_Abort") {}
ControllerStatusRequest::ControllerStatusRequest() : RmiCommand("FRC_GetStatus") {}
JointAngleRequest::JointAngleRequest() : RmiCommand("FRC_ReadJointAngles") {}

ReadDIRequest::ReadDIRequest(std::uint64_t port) : RmiCommand("FRC_ReadDIN") { body["PortNumber"] = port; }

SetDORequest::SetDORequest(std::uint64_t port, bool value) : RmiCommand("FRC_WriteDOUT") {
    body["PortNumber"] = port;
    body["PortValue"] = value ? "ON" : "OFF";
}

SetSpeedOverrideRequest::SetSpeedOverrideRequest(std::int32_t value) : RmiCommand("FRC_SetOverRide") {
    body["Value"] = value;
}

SetPayloadRequest::SetPayloadRequest(std::int32_t sequence_id, std::int32_t schedule)
    : RmiInstruction("FRC_SetPayLoad", sequence_id) {
    body["ScheduleNumber"] = schedule;
}

SetPayloadRequest::SetPayloadRequest(std::int32_t schedule) : SetPayloadRequest(0, schedule) {}

ProgramCallInstruction::ProgramCallInstruction(std::int32_t sequence_id, const std::string& program)
    : RmiInstruction("FRC_Call", sequence_id) {
    body["ProgramName"] = program;
}

MotionInstruction::MotionInstruction(std::int32_t sequence_id, std::vector<double> joint_positions_, double duration_,
                                     bool stop_at_target)
    : RmiInstruction("FRC_JointMotionJRep", sequence_id),
      joint_positions(std::move(joint_positions_)),
      duration(duration_) {
    const std::string seq = std::to_string(sequence_id);
    if (duration == 0.0) refuse("Cannot send instructions with 0 execution time for ID " + seq);
    // A NaN or infinity would reach the wire as null, or as an undefined
    // integer conversion below.
    if (!std::isfinite(duration)) refuse("Cannot send instructions with non-finite execution time for ID " + seq);

    nlohmann::json angles = nlohmann::json::object();
    for (std::size_t k = 1; k <= 9; ++k) {
        double degrees = 0.0;
        if (k <= joint_positions.size()) {
            const double value = joint_positions[k - 1];
            if (!std::isfinite(value)) {
                refuse("Joint value " + std::to_string(k) + " of instruction " + seq + " is not finite: " +
                       describe(value));
            }
            degrees = value / radians_per_degree;
            // Narrowing a double beyond the float range is undefined.
            if (!(std::fabs(degrees) <= static_cast<double>(std::numeric_limits<float>::max()))) {
                refuse("Joint value " + std::to_string(k) + " of instruction " + seq + " is out of range: " +
                       describe(value));
            }
            degrees = static_cast<double>(static_cast<float>(degrees));
        }
        angles["J" + std::to_string(k)] = degrees;
    }
    body["JointAngle"] = std::move(angles);
    body["SpeedType"] = "mSec";

    const double milliseconds = std::round(duration * 1000.0);  // halves away from zero
    // Anything below the minimum (negative durations included) becomes the
    // minimum; a duration too long for the controller's 32-bit field is a fault.
    std::int32_t speed = minimum_speed_ms;
    if (milliseconds > int32_max) {
        refuse("Cannot send instructions with an execution time of " + describe(duration) + " s for ID " + seq);
    }
    if (milliseconds > minimum_speed_ms) speed = static_cast<std::int32_t>(milliseconds);
    body["Speed"] = speed;
    body["TermType"] = "CNT";
    body["TermValue"] = stop_at_target ? 0 : 100;
}

}  // namespace orvane::drivers
