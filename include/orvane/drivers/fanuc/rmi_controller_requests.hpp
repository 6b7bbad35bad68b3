#pragma once

// Requests for the controller's memory beyond motion: I/O ports of every
// kind, registers, position registers, frames and tools, the Cartesian
// position, the TCP speed and the alarm history. Values are given in the
// driver's units (metres, radians) and converted to the controller's
// millimetres and degrees here; joint values are in the controller's
// convention (J3 relative to J2). A value the wire cannot carry (not finite,
// out of range) throws OrvaneError "driver.fanuc".

#include <cstdint>
#include <string>
#include <vector>

#include <orvane/motion/frame.hpp>

#include "orvane/drivers/fanuc/fanuc_controller_types.hpp"
#include "orvane/drivers/fanuc/rmi_message.hpp"

namespace orvane::drivers {

/// The "DataType" of a numeric register on the wire.
inline constexpr std::string_view RMI_REGISTER_INTEGER = "Integer";
inline constexpr std::string_view RMI_REGISTER_REAL = "Real";

/// The "Representation" of a position register on the wire.
inline constexpr std::string_view RMI_REPRESENTATION_CARTESIAN = "Cartesian";
inline constexpr std::string_view RMI_REPRESENTATION_JOINT = "Joint";

class ReadIOPortRequest : public RmiCommand {
public:
    /// `port_type` as the controller names it: "DI", "DO", "RI", "RO", "AI",
    /// "AO", "GI", "GO" or "FLAG".
    ReadIOPortRequest(std::string port_type, std::uint64_t port);
};

class WriteIOPortRequest : public RmiCommand {
public:
    WriteIOPortRequest(std::string port_type, std::uint64_t port, std::int64_t value);
    /// Analog outputs: a real value.
    WriteIOPortRequest(std::string port_type, std::uint64_t port, double value);
};

class ReadRegisterRequest : public RmiCommand {
public:
    explicit ReadRegisterRequest(std::uint64_t number);
};

class WriteRegisterRequest : public RmiCommand {
public:
    WriteRegisterRequest(std::uint64_t number, std::int32_t value);
    /// The controller keeps real registers in single precision.
    WriteRegisterRequest(std::uint64_t number, double value);
};

class ReadPositionRegisterRequest : public RmiCommand {
public:
    explicit ReadPositionRegisterRequest(std::uint64_t number);
};

class WritePositionRegisterRequest : public RmiCommand {
public:
    WritePositionRegisterRequest(std::uint64_t number, const orvane::Frame& pose, int user_frame, int user_tool,
                                 const ArmConfiguration& configuration);
    /// Up to nine joint values (radians, J3 relative to J2); missing ones are sent as 0.
    WritePositionRegisterRequest(std::uint64_t number, const std::vector<double>& joint_angles);
};

class GetUFrameUToolRequest : public RmiCommand {
public:
    GetUFrameUToolRequest();
};

class SetUFrameUToolRequest : public RmiCommand {
public:
    SetUFrameUToolRequest(int user_frame, int user_tool);
};

class ReadUFrameDataRequest : public RmiCommand {
public:
    explicit ReadUFrameDataRequest(int frame_number);
};

class WriteUFrameDataRequest : public RmiCommand {
public:
    WriteUFrameDataRequest(int frame_number, const orvane::Frame& frame);
};

class ReadUToolDataRequest : public RmiCommand {
public:
    explicit ReadUToolDataRequest(int tool_number);
};

class WriteUToolDataRequest : public RmiCommand {
public:
    WriteUToolDataRequest(int tool_number, const orvane::Frame& frame);
};

class ReadCartesianPositionRequest : public RmiCommand {
public:
    ReadCartesianPositionRequest();
};

class ReadTCPSpeedRequest : public RmiCommand {
public:
    ReadTCPSpeedRequest();
};

class ReadErrorRequest : public RmiCommand {
public:
    /// `count`: how many of the newest alarms, 1 to 5.
    explicit ReadErrorRequest(int count);
};

/// "FRC_SetPayloadValue" (newer firmware): the mass properties of payload
/// schedule `schedule`. On the wire in the units of the controller's payload
/// data: kg, the centre of gravity in cm and the inertia in kgf cm s^2;
/// without inertia the members are left out and the controller keeps its own.
class SetPayloadValueRequest : public RmiCommand {
public:
    SetPayloadValueRequest(int schedule, const PayloadValue& payload);
};

/// X Y Z (mm) W P R (degrees) of a frame, as the controller's "Frame" member.
nlohmann::json rmi_frame(const orvane::Frame& frame);
/// A pose as the controller's "Position" member: the frame and the extended
/// axes, which this system does not drive.
nlohmann::json rmi_position(const orvane::Frame& pose);
/// The controller's "Configuration" member of a pose.
nlohmann::json rmi_configuration(int user_frame, int user_tool, const ArmConfiguration& configuration);

}  // namespace orvane::drivers
