#pragma once

// Answers to the requests of rmi_controller_requests.hpp, converted to the
// driver's units (metres, radians, m/s); joint values stay in the controller's
// convention (J3 relative to J2). A missing or mistyped member throws
// OrvaneError "driver.fanuc" naming it, but only in an answer that reports
// success: a refusal's members may be placeholders.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <orvane/motion/frame.hpp>

#include "orvane/drivers/fanuc/fanuc_controller_types.hpp"
#include "orvane/drivers/fanuc/rmi_message.hpp"

namespace orvane::drivers {

/// The controller's answer to a packet it does not know (older firmware):
/// `{"Command" : "Unknown", "ErrorID" : 2556941}`. Never successful.
class UnknownPacketResponse : public RmiResponse {
public:
    UnknownPacketResponse(std::string kind, nlohmann::json object);
};

class ReadIOPortResponse : public RmiResponse {
public:
    explicit ReadIOPortResponse(nlohmann::json object);

    double port_value = 0.0;
    /// The value came as a JSON integer (digital, group, flag ports).
    bool integral = false;
};

class ReadRegisterResponse : public RmiResponse {
public:
    explicit ReadRegisterResponse(nlohmann::json object);

    double register_value = 0.0;
    /// The register holds an integer ("DataType", or the value's JSON type
    /// when the controller gives no type).
    bool integral = false;
};

class CartesianPositionResponse : public RmiResponse {
public:
    explicit CartesianPositionResponse(nlohmann::json object);

    orvane::Frame pose;
    int user_frame = 0;
    int user_tool = 0;
    ArmConfiguration configuration;
    std::int64_t time_tag = 0;
};

class TCPSpeedResponse : public RmiResponse {
public:
    explicit TCPSpeedResponse(nlohmann::json object);

    double speed = 0.0;  // m/s
    std::int64_t time_tag = 0;
};

class UFrameUToolResponse : public RmiResponse {
public:
    explicit UFrameUToolResponse(nlohmann::json object);

    int user_frame = 0;
    int user_tool = 0;
};

/// The answer to FRC_ReadUFrameData or FRC_ReadUToolData.
class FrameDataResponse : public RmiResponse {
public:
    FrameDataResponse(std::string name, nlohmann::json object);

    int number = 0;
    orvane::Frame frame;
};

class PositionRegisterResponse : public RmiResponse {
public:
    explicit PositionRegisterResponse(nlohmann::json object);

    bool cartesian = false;
    /// When cartesian: the pose with the frame, tool and configuration it was taught in.
    orvane::Frame pose;
    int user_frame = 0;
    int user_tool = 0;
    ArmConfiguration configuration;
    /// Otherwise: nine joint values, radians, J3 relative to J2.
    std::vector<double> joint_angles;
};

class ReadErrorResponse : public RmiResponse {
public:
    explicit ReadErrorResponse(nlohmann::json object);

    /// The alarm texts, newest first; "No Error" (the answer of a controller
    /// without alarms) is left out.
    std::vector<std::string> alarms;
};

/// X Y Z (mm) W P R (degrees) of a "Frame" or "Position" member as a frame.
orvane::Frame frame_from_rmi(const nlohmann::json& members);

/// The response for the packets above, or nullptr for a name that is none of
/// theirs (from_str then builds its own).
std::shared_ptr<RmiResponse> build_controller_response(const std::string& kind, const std::string& name,
                                                       nlohmann::json& object);

}  // namespace orvane::drivers
