#pragma once

#include <cstdint>
#include <vector>

#include "orvane/drivers/fanuc/rmi_message.hpp"

namespace orvane::drivers {

class ConnectionRequest : public RmiCommunication {
public:
    ConnectionRequest();
};

class DisconnectionRequest : public RmiCommunication {
public:
    DisconnectionRequest();
};

class InitializeRequest : public RmiCommand {
public:
    InitializeRequest();
};

class ResetRequest : public RmiCommand {
public:
    ResetRequest();
};

class AbortRequest : public RmiCommand {
public:
    AbortRequest();
};

class ControllerStatusRequest : public RmiCommand {
public:
    ControllerStatusRequest();
};

class JointAngleRequest : public RmiCommand {
public:
    JointAngleRequest();
};

class ReadDIRequest : public RmiCommand {
public:
    explicit ReadDIRequest(std::uint64_t port);
};

class SetDORequest : public RmiCommand {
public:
    SetDORequest(std::uint64_t port, bool value);
};

class SetSpeedOverrideRequest : public RmiCommand {
public:
    explicit SetSpeedOverrideRequest(std::int32_t value);
};

// FRC_SetPayLoad is an instruction on the controller: it joins the motion
// queue and is answered, under its sequence ID, once executed.
class SetPayloadRequest : public RmiInstruction {
public:
    // `schedule` is sent as it is: the controller checks its range.
    SetPayloadRequest(std::int32_t sequence_id, std::int32_t schedule);
    // Sequence ID 0: the sender numbers it with set_seq_id before writing it.
    explicit SetPayloadRequest(std::int32_t schedule);
    // A schedule is a number, never a mass: a fraction must not be rounded
    // into one (2.5 kg would select schedule 3).
    SetPayloadRequest(std::int32_t sequence_id, double schedule) = delete;
    explicit SetPayloadRequest(double schedule) = delete;
};

// Runs a program of the controller ("FRC_Call"); an instruction, answered
// when the program ends.
class ProgramCallInstruction : public RmiInstruction {
public:
    ProgramCallInstruction(std::int32_t sequence_id, const std::string& program);
};

// One streamed joint-space motion step.
class MotionInstruction : public RmiInstruction {
public:
    // `joint_positions` in radians (at most nine are sent, missing ones as
    // 0.0), `duration` in seconds. Throws OrvaneError for a zero, non-finite
    // or overlong duration and for a joint value that cannot be sent.
    MotionInstruction(std::int32_t sequence_id, std::vector<double> joint_positions, double duration,
                      bool stop_at_target);

    std::vector<double> joint_positions;
    double duration;
};

}  // namespace orvane::drivers
