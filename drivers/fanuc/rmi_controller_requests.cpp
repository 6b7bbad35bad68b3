#include "orvane/drivers/fanuc/rmi_controller_requests.hpp"

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <utility>

namespace orvane::drivers {

namespace {

constexpr double degrees_per_radian = 57.29577951308232;
constexpr double millimetres_per_metre = 1000.0;
constexpr double float_max = static_cast<double>(std::numeric_limits<float>::max());

[[noreturn]] void refuse(const std::string& message) { throw OrvaneError("driver.fanuc", message); }

std::string describe(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

// A value the controller keeps in single precision; anything beyond it would
// be sent as null (not finite) or stored as infinity.
double wire_real(double value, const std::string& what) {
    if (!std::isfinite(value) || std::fabs(value) > float_max) {
        refuse(what + " cannot be sent to the controller: " + describe(value));
    }
    return value;
}

}  // namespace

nlohmann::json rmi_configuration(int user_frame, int user_tool, const ArmConfiguration& configuration) {
    return {{"UFrameNumber", user_frame},
            {"UToolNumber", user_tool},
            {"Front", configuration.front ? 1 : 0},
            {"Up", configuration.up ? 1 : 0},
            {"Left", configuration.left ? 1 : 0},
            {"Flip", configuration.flip ? 1 : 0},
            {"Turn4", configuration.turn4},
            {"Turn5", configuration.turn5},
            {"Turn6", configuration.turn6}};
}

nlohmann::json rmi_position(const orvane::Frame& pose) {
    nlohmann::json position = rmi_frame(pose);
    position["Ext1"] = 0.0;
    position["Ext2"] = 0.0;
    position["Ext3"] = 0.0;
    return position;
}

nlohmann::json rmi_frame(const orvane::Frame& frame) {
    const auto euler = frame.to_euler();
    static constexpr const char* keys[] = {"X", "Y", "Z", "W", "P", "R"};
    nlohmann::json members = nlohmann::json::object();
    for (std::size_t k = 0; k < 6; ++k) {
        const double scale = k < 3 ? millimetres_per_metre : degrees_per_radian;
        members[keys[k]] = wire_real(euler[k] * scale, std::string("Frame member ") + keys[k]);
    }
    return members;
}

ReadIOPortRequest::ReadIOPortRequest(std::string port_type, std::uint64_t port) : RmiCommand("FRC_ReadIOPort") {
    body["PortType"] = std::move(port_type);
    body["PortNumber"] = port;
}

WriteIOPortRequest::WriteIOPortRequest(std::string port_type, std::uint64_t port, std::int64_t value)
    : RmiCommand("FRC_WriteIOPort") {
    body["PortType"] = std::move(port_type);
    body["PortNumber"] = port;
    body["PortValue"] = value;
}

WriteIOPortRequest::WriteIOPortRequest(std::string port_type, std::uint64_t port, double value)
    : RmiCommand("FRC_WriteIOPort") {
    body["PortValue"] = wire_real(value, port_type + "[" + std::to_string(port) + "]");
    body["PortType"] = std::move(port_type);
    body["PortNumber"] = port;
}

ReadRegisterRequest::ReadRegisterRequest(std::uint64_t number) : RmiCommand("FRC_ReadRegister") {
    body["RegisterNumber"] = number;
}

WriteRegisterRequest::WriteRegisterRequest(std::uint64_t number, std::int32_t value)
    : RmiCommand("FRC_WriteRegister") {
    body["RegisterNumber"] = number;
    body["RegisterValue"] = value;
    body["DataType"] = RMI_REGISTER_INTEGER;
}

WriteRegisterRequest::WriteRegisterRequest(std::uint64_t number, double value) : RmiCommand("FRC_WriteRegister") {
    body["RegisterNumber"] = number;
    body["RegisterValue"] = wire_real(value, "R[" + std::to_string(number) + "]");
    body["DataType"] = RMI_REGISTER_REAL;
}

ReadPositionRegisterRequest::ReadPositionRegisterRequest(std::uint64_t number)
    : RmiCommand("FRC_ReadPositionRegister") {
    body["RegisterNumber"] = number;
}

WritePositionRegisterRequest::WritePositionRegisterRequest(std::uint64_t number, const orvane::Frame& pose,
                                                           int user_frame, int user_tool,
                                                           const ArmConfiguration& configuration)
    : RmiCommand("FRC_WritePositionRegister") {
    body["RegisterNumber"] = number;
    body["Representation"] = RMI_REPRESENTATION_CARTESIAN;
    body["Position"] = rmi_position(pose);
    body["Configuration"] = rmi_configuration(user_frame, user_tool, configuration);
}

WritePositionRegisterRequest::WritePositionRegisterRequest(std::uint64_t number,
                                                           const std::vector<double>& joint_angles)
    : RmiCommand("FRC_WritePositionRegister") {
    if (joint_angles.size() > 9) refuse("A joint position register holds at most 9 joints.");
    body["RegisterNumber"] = number;
    body["Representation"] = RMI_REPRESENTATION_JOINT;
    nlohmann::json angles = nlohmann::json::object();
    for (std::size_t k = 1; k <= 9; ++k) {
        const double value = k <= joint_angles.size() ? joint_angles[k - 1] * degrees_per_radian : 0.0;
        angles["J" + std::to_string(k)] = wire_real(value, "Joint " + std::to_string(k));
    }
    body["JointAngle"] = std::move(angles);
}

GetUFrameUToolRequest::GetUFrameUToolRequest() : RmiCommand("FRC_GetUFrameUTool") {}

SetUFrameUToolRequest::SetUFrameUToolRequest(int user_frame, int user_tool) : RmiCommand("FRC_SetUFrameUTool") {
    body["UFrameNumber"] = user_frame;
    body["UToolNumber"] = user_tool;
}

ReadUFrameDataRequest::ReadUFrameDataRequest(int frame_number) : RmiCommand("FRC_ReadUFrameData") {
    body["FrameNumber"] = frame_number;
}

WriteUFrameDataRequest::WriteUFrameDataRequest(int frame_number, const orvane::Frame& frame)
    : RmiCommand("FRC_WriteUFrameData") {
    body["FrameNumber"] = frame_number;
    body["Frame"] = rmi_frame(frame);
}

ReadUToolDataRequest::ReadUToolDataRequest(int tool_number) : RmiCommand("FRC_ReadUToolData") {
    body["ToolNumber"] = tool_number;
}

WriteUToolDataRequest::WriteUToolDataRequest(int tool_number, const orvane::Frame& frame)
    : RmiCommand("FRC_WriteUToolData") {
    body["ToolNumber"] = tool_number;
    body["Frame"] = rmi_frame(frame);
}

ReadCartesianPositionRequest::ReadCartesianPositionRequest() : RmiCommand("FRC_ReadCartesianPosition") {}

ReadTCPSpeedRequest::ReadTCPSpeedRequest() : RmiCommand("FRC_ReadTCPSpeed") {}

SetPayloadValueRequest::SetPayloadValueRequest(int schedule, const PayloadValue& payload)
    : RmiCommand("FRC_SetPayloadValue") {
    // 1 kgf cm s^2 = 9.80665 N x 0.01 m x s^2 = 0.0980665 kg m^2.
    constexpr double centimetres_per_metre = 100.0;
    constexpr double kg_m2_per_kgf_cm_s2 = 0.0980665;
    body["ScheduleNumber"] = schedule;
    body["Mass"] = wire_real(payload.mass, "The payload mass");
    static constexpr const char* centre_keys[] = {"CG_X", "CG_Y", "CG_Z"};
    static constexpr const char* inertia_keys[] = {"IN_X", "IN_Y", "IN_Z"};
    for (std::size_t k = 0; k < 3; ++k) {
        body[centre_keys[k]] = wire_real(payload.centre_of_gravity[k] * centimetres_per_metre,
                                         std::string("The payload's centre of gravity ") + "XYZ"[k]);
        if (payload.inertia) {
            body[inertia_keys[k]] = wire_real((*payload.inertia)[k] / kg_m2_per_kgf_cm_s2,
                                              std::string("The payload's inertia about ") + "XYZ"[k]);
        }
    }
}

ReadErrorRequest::ReadErrorRequest(int count) : RmiCommand("FRC_ReadError") {
    if (count < 1 || count > 5) refuse("FRC_ReadError reads 1 to 5 alarms, not " + std::to_string(count) + ".");
    body["Count"] = count;
}

}  // namespace orvane::drivers
