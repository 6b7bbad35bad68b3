#pragma once

#include <cstdint>
#include <vector>

#include "orvane/drivers/fanuc/rmi_message.hpp"

namespace orvane::drivers {

// The answers whose members the driver reads. A missing or mistyped member
// throws OrvaneError "driver.fanuc" naming it.

class ConnectionResponse : public RmiResponse {
public:
    explicit ConnectionResponse(nlohmann::json object);

    std::int32_t port_number = 0;
    std::int32_t major_version = 0;
};

class ControllerStatusResponse : public RmiResponse {
public:
    explicit ControllerStatusResponse(nlohmann::json object);

    bool servo_ready = false;
    bool tp_mode = false;
    bool rmi_motion_status = false;
    bool program_status = false;
    bool single_step_mode = false;
    std::int32_t next_sequence_id = 0;
};

class JointAngleResponse : public RmiResponse {
public:
    explicit JointAngleResponse(nlohmann::json object);

    std::vector<double> joint_angles;  // nine values, radians
    std::int64_t time_tag = 0;         // twice the controller's "TimeTag"
};

class ReadDIResponse : public RmiResponse {
public:
    explicit ReadDIResponse(nlohmann::json object);

    bool port_value = false;
};

}  // namespace orvane::drivers
