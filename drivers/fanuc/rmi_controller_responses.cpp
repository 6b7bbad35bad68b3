#include "orvane/drivers/fanuc/rmi_controller_responses.hpp"

#include "orvane/drivers/fanuc/rmi_controller_requests.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

namespace orvane::drivers {

namespace {

constexpr double radians_per_degree = 0.017453292519943295;
constexpr double metres_per_millimetre = 0.001;

[[noreturn]] void refuse(const std::string& message) { throw OrvaneError("driver.fanuc", message); }

const nlohmann::json& member(const nlohmann::json& object, const char* key) {
    const auto it = object.is_object() ? object.find(key) : object.end();
    if (it == object.end()) refuse(std::string("RMI Response does not contain the field ") + key + ".");
    return *it;
}

double number_member(const nlohmann::json& object, const char* key) {
    const nlohmann::json& value = member(object, key);
    if (!value.is_number()) refuse(std::string("RMI Response field ") + key + " is not a number: " + value.dump());
    const double number = value.get<double>();
    if (!std::isfinite(number)) refuse(std::string("RMI Response field ") + key + " is not finite.");
    return number;
}

// Only JSON integers within 32 bits: the library would truncate a float and
// accept a boolean.
int int_member(const nlohmann::json& object, const char* key) {
    const nlohmann::json& value = member(object, key);
    if (value.is_number_integer()) {
        const auto wide = value.is_number_unsigned() && value.get<std::uint64_t>() > std::numeric_limits<int>::max()
                              ? std::numeric_limits<std::int64_t>::max()
                              : value.get<std::int64_t>();
        if (wide >= std::numeric_limits<int>::min() && wide <= std::numeric_limits<int>::max()) {
            return static_cast<int>(wide);
        }
    }
    refuse(std::string("RMI Response field ") + key + " is not a 32-bit integer: " + value.dump());
}

std::int64_t time_tag_member(const nlohmann::json& object) {
    const auto it = object.find("TimeTag");
    if (it == object.end() || !it->is_number_integer()) return 0;  // informational only
    if (it->is_number_unsigned() && it->get<std::uint64_t>() > std::numeric_limits<std::int64_t>::max()) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return it->get<std::int64_t>();
}

void read_configuration(const nlohmann::json& object, int& user_frame, int& user_tool,
                        ArmConfiguration& configuration) {
    const nlohmann::json& members = member(object, "Configuration");
    user_frame = int_member(members, "UFrameNumber");
    user_tool = int_member(members, "UToolNumber");
    configuration.front = int_member(members, "Front") != 0;
    configuration.up = int_member(members, "Up") != 0;
    configuration.left = int_member(members, "Left") != 0;
    configuration.flip = int_member(members, "Flip") != 0;
    configuration.turn4 = int_member(members, "Turn4");
    configuration.turn5 = int_member(members, "Turn5");
    configuration.turn6 = int_member(members, "Turn6");
}

bool is_text(const nlohmann::json& value, std::string_view a, std::string_view b) {
    if (!value.is_string()) return false;
    const auto& text = value.get_ref<const std::string&>();
    return text == a || text == b;
}

}  // namespace

orvane::Frame frame_from_rmi(const nlohmann::json& members) {
    return orvane::Frame::from_euler(
        number_member(members, "X") * metres_per_millimetre, number_member(members, "Y") * metres_per_millimetre,
        number_member(members, "Z") * metres_per_millimetre, number_member(members, "W") * radians_per_degree,
        number_member(members, "P") * radians_per_degree, number_member(members, "R") * radians_per_degree);
}

UnknownPacketResponse::UnknownPacketResponse(std::string kind, nlohmann::json object)
    : RmiResponse(std::move(kind), "Unknown", std::move(object)) {
    success = false;
}

ReadIOPortResponse::ReadIOPortResponse(nlohmann::json object)
    : RmiResponse(std::string(RMI_COMMAND), "FRC_ReadIOPort", std::move(object)) {
    if (!success) return;
    port_value = number_member(body, "PortValue");
    integral = body["PortValue"].is_number_integer();
}

ReadRegisterResponse::ReadRegisterResponse(nlohmann::json object)
    : RmiResponse(std::string(RMI_COMMAND), "FRC_ReadRegister", std::move(object)) {
    if (!success) return;
    register_value = number_member(body, "RegisterValue");
    const auto type = body.find("DataType");
    if (type != body.end() && is_text(*type, RMI_REGISTER_INTEGER, "Int")) {
        integral = true;
    } else if (type != body.end() && is_text(*type, RMI_REGISTER_REAL, "Float")) {
        integral = false;
    } else {
        integral = body["RegisterValue"].is_number_integer();
    }
}

CartesianPositionResponse::CartesianPositionResponse(nlohmann::json object)
    : RmiResponse(std::string(RMI_COMMAND), "FRC_ReadCartesianPosition", std::move(object)) {
    if (!success) return;
    pose = frame_from_rmi(member(body, "Position"));
    read_configuration(body, user_frame, user_tool, configuration);
    time_tag = time_tag_member(body);
}

TCPSpeedResponse::TCPSpeedResponse(nlohmann::json object)
    : RmiResponse(std::string(RMI_COMMAND), "FRC_ReadTCPSpeed", std::move(object)) {
    if (!success) return;
    speed = number_member(body, "Speed") * metres_per_millimetre;
    time_tag = time_tag_member(body);
}

UFrameUToolResponse::UFrameUToolResponse(nlohmann::json object)
    : RmiResponse(std::string(RMI_COMMAND), "FRC_GetUFrameUTool", std::move(object)) {
    if (!success) return;
    user_frame = int_member(body, "UFrameNumber");
    user_tool = int_member(body, "UToolNumber");
}

FrameDataResponse::FrameDataResponse(std::string name_, nlohmann::json object)
    : RmiResponse(std::string(RMI_COMMAND), std::move(name_), std::move(object)) {
    if (!success) return;
    number = int_member(body, name == "FRC_ReadUToolData" ? "ToolNumber" : "FrameNumber");
    frame = frame_from_rmi(member(body, "Frame"));
}

PositionRegisterResponse::PositionRegisterResponse(nlohmann::json object)
    : RmiResponse(std::string(RMI_COMMAND), "FRC_ReadPositionRegister", std::move(object)) {
    if (!success) return;
    const auto representation = body.find("Representation");
    if (representation != body.end() && representation->is_string()) {
        cartesian = representation->get_ref<const std::string&>() != RMI_REPRESENTATION_JOINT;
    } else {
        cartesian = !body.contains("JointAngle");
    }
    if (cartesian) {
        pose = frame_from_rmi(member(body, "Position"));
        read_configuration(body, user_frame, user_tool, configuration);
        return;
    }
    const nlohmann::json& angles = member(body, "JointAngle");
    static constexpr const char* keys[] = {"J1", "J2", "J3", "J4", "J5", "J6", "J7", "J8", "J9"};
    for (const char* key : keys) {
        joint_angles.push_back(angles.contains(key) ? number_member(angles, key) * radians_per_degree : 0.0);
    }
}

ReadErrorResponse::ReadErrorResponse(nlohmann::json object)
    : RmiResponse(std::string(RMI_COMMAND), "FRC_ReadError", std::move(object)) {
    if (!success) return;
    static constexpr const char* keys[] = {"ErrorData", "ErrorData2", "ErrorData3", "ErrorData4", "ErrorData5"};
    for (const char* key : keys) {
        const auto text = body.find(key);
        if (text == body.end()) continue;
        if (!text->is_string()) refuse(std::string("RMI Response field ") + key + " is not a string: " + text->dump());
        const auto& alarm = text->get_ref<const std::string&>();
        if (!alarm.empty() && alarm != "No Error") alarms.push_back(alarm);
    }
}

std::shared_ptr<RmiResponse> build_controller_response(const std::string& kind, const std::string& name,
                                                       nlohmann::json& object) {
    if (name == "Unknown") return std::make_shared<UnknownPacketResponse>(kind, std::move(object));
    if (kind != RMI_COMMAND) return nullptr;
    if (name == "FRC_ReadIOPort") return std::make_shared<ReadIOPortResponse>(std::move(object));
    if (name == "FRC_ReadRegister") return std::make_shared<ReadRegisterResponse>(std::move(object));
    if (name == "FRC_ReadCartesianPosition") return std::make_shared<CartesianPositionResponse>(std::move(object));
    if (name == "FRC_ReadTCPSpeed") return std::make_shared<TCPSpeedResponse>(std::move(object));
    if (name == "FRC_GetUFrameUTool") return std::make_shared<UFrameUToolResponse>(std::move(object));
    if (name == "FRC_ReadUFrameData" || name == "FRC_ReadUToolData") {
        return std::make_shared<FrameDataResponse>(name, std::move(object));
    }
    if (name == "FRC_ReadPositionRegister") return std::make_shared<PositionRegisterResponse>(std::move(object));
    if (name == "FRC_ReadError") return std::make_shared<ReadErrorResponse>(std::move(object));
    return nullptr;
}

}  // namespace orvane::drivers
