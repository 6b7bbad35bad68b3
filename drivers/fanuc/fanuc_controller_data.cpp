// FanucDriver: the Cartesian position and TCP speed, the active user frame and
// tool, frame and tool data, position registers and the alarm history.
// Metres and radians, J3 independent of J2; the controller's millimetres,
// degrees and relative J3 exist only in the messages.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "orvane/drivers/fanuc/fanuc_driver.hpp"
#include "orvane/drivers/fanuc/rmi_controller_requests.hpp"
#include "orvane/drivers/fanuc/rmi_controller_responses.hpp"
#include "orvane/drivers/fanuc/rmi_joints.hpp"
#include "orvane/log/log.hpp"

namespace orvane::drivers {

namespace {

// The controller's standard numbering: user frames 0 (the world) to 9,
// tools 0 (the faceplate) to 10; only frames and tools from 1 hold data.
constexpr int highest_user_frame = 9;
constexpr int highest_tool = 10;

bool is_finite(const orvane::Frame& frame) {
    for (const double value : frame.translation()) {
        if (!std::isfinite(value)) return false;
    }
    for (const auto& row : frame.rotation()) {
        for (const double value : row) {
            if (!std::isfinite(value)) return false;
        }
    }
    return true;
}

CartesianPose pose_of(const orvane::Frame& pose, int user_frame, int user_tool,
                      const ArmConfiguration& configuration) {
    return CartesianPose{pose, user_frame, user_tool, configuration.to_string()};
}

}  // namespace

std::optional<CartesianPose> FanucDriver::get_current_cartesian_position() {
    begin_operation();
    ReadCartesianPositionRequest request;
    const auto answer = ask_controller(request, "Reading the Cartesian position");
    if (!answer) return std::nullopt;
    const auto position = RmiResponse::as<CartesianPositionResponse>(answer);
    return pose_of(position->pose, position->user_frame, position->user_tool, position->configuration);
}

std::optional<double> FanucDriver::get_tcp_speed() {
    begin_operation();
    ReadTCPSpeedRequest request;
    const auto answer = ask_controller(request, "Reading the TCP speed");
    if (!answer) return std::nullopt;
    return RmiResponse::as<TCPSpeedResponse>(answer)->speed;
}

std::optional<FrameToolNumbers> FanucDriver::get_active_frame_and_tool() {
    begin_operation();
    GetUFrameUToolRequest request;
    const auto answer = ask_controller(request, "Reading the active user frame and tool");
    if (!answer) return std::nullopt;
    const auto numbers = RmiResponse::as<UFrameUToolResponse>(answer);
    return FrameToolNumbers{numbers->user_frame, numbers->user_tool};
}

bool FanucDriver::set_active_frame_and_tool(int user_frame, int user_tool) {
    begin_operation();
    const std::string what = "Selecting user frame " + std::to_string(user_frame) + " and tool " +
                             std::to_string(user_tool);
    if (!in_range(user_frame, 0, highest_user_frame, what) || !in_range(user_tool, 0, highest_tool, what)) {
        return false;
    }
    // A frame change under a running program changes what its positions mean.
    if (refuse_while_moving(what)) return false;
    SetUFrameUToolRequest request(user_frame, user_tool);
    return ask_controller(request, what) != nullptr;
}

std::optional<orvane::Frame> FanucDriver::get_user_frame(int number) {
    begin_operation();
    const std::string what = "Reading user frame " + std::to_string(number);
    if (!in_range(number, 1, highest_user_frame, what)) return std::nullopt;
    ReadUFrameDataRequest request(number);
    const auto answer = ask_controller(request, what);
    if (!answer) return std::nullopt;
    return RmiResponse::as<FrameDataResponse>(answer)->frame;
}

bool FanucDriver::set_user_frame(int number, const orvane::Frame& frame) {
    begin_operation();
    const std::string what = "Writing user frame " + std::to_string(number);
    if (!in_range(number, 1, highest_user_frame, what)) return false;
    if (!is_finite(frame)) {
        refuse(what + ": the frame is not finite.");
        return false;
    }
    if (refuse_while_moving(what)) return false;
    WriteUFrameDataRequest request(number, frame);
    return ask_controller(request, what) != nullptr;
}

std::optional<orvane::Frame> FanucDriver::get_user_tool(int number) {
    begin_operation();
    const std::string what = "Reading tool " + std::to_string(number);
    if (!in_range(number, 1, highest_tool, what)) return std::nullopt;
    ReadUToolDataRequest request(number);
    const auto answer = ask_controller(request, what);
    if (!answer) return std::nullopt;
    return RmiResponse::as<FrameDataResponse>(answer)->frame;
}

bool FanucDriver::set_user_tool(int number, const orvane::Frame& frame) {
    begin_operation();
    const std::string what = "Writing tool " + std::to_string(number);
    if (!in_range(number, 1, highest_tool, what)) return false;
    if (!is_finite(frame)) {
        refuse(what + ": the frame is not finite.");
        return false;
    }
    if (refuse_while_moving(what)) return false;
    WriteUToolDataRequest request(number, frame);
    return ask_controller(request, what) != nullptr;
}

std::optional<PositionRegister> FanucDriver::get_position_register(int number) {
    begin_operation();
    const std::string what = "Reading PR[" + std::to_string(number) + "]";
    if (!in_range(number, 1, std::numeric_limits<int>::max(), what)) return std::nullopt;
    ReadPositionRegisterRequest request(static_cast<std::uint64_t>(number));
    const auto answer = ask_controller(request, what);
    if (!answer) return std::nullopt;
    const auto reg = RmiResponse::as<PositionRegisterResponse>(answer);
    PositionRegister result;
    if (reg->cartesian) {
        result.cartesian = pose_of(reg->pose, reg->user_frame, reg->user_tool, reg->configuration);
        return result;
    }
    result.joint_position = planner_joints(reg->joint_angles, degrees_of_freedom);
    return result;
}

bool FanucDriver::set_position_register(int number, const CartesianPose& pose) {
    begin_operation();
    const std::string what = "Writing PR[" + std::to_string(number) + "]";
    if (!in_range(number, 1, std::numeric_limits<int>::max(), what) ||
        !in_range(pose.user_frame, 0, highest_user_frame, what + " user frame") ||
        !in_range(pose.user_tool, 0, highest_tool, what + " tool")) {
        return false;
    }
    const auto configuration = ArmConfiguration::parse(pose.configuration);
    if (!configuration) {
        refuse(what + ": '" + pose.configuration +
                               "' is not a configuration (write it as \"N U T, 0, 0, 0\").");
        return false;
    }
    if (!is_finite(pose.pose)) {
        refuse(what + ": the pose is not finite.");
        return false;
    }
    std::optional<WritePositionRegisterRequest> request;
    try {
        request.emplace(static_cast<std::uint64_t>(number), pose.pose, pose.user_frame, pose.user_tool,
                        *configuration);
    } catch (const OrvaneError& error) {
        refuse(what + ": " + error.message);
        return false;
    }
    return ask_controller(*request, what) != nullptr;
}

bool FanucDriver::set_position_register(int number, const std::vector<double>& joint_position) {
    begin_operation();
    const std::string what = "Writing PR[" + std::to_string(number) + "]";
    if (!in_range(number, 1, std::numeric_limits<int>::max(), what)) return false;
    if (joint_position.size() != degrees_of_freedom) {
        refuse(what + ": " + std::to_string(joint_position.size()) + " joint values for a robot of " +
                               std::to_string(degrees_of_freedom) + " joints.");
        return false;
    }
    std::vector<double> angles = joint_position;
    to_rmi_joints(angles);
    std::optional<WritePositionRegisterRequest> request;
    try {
        request.emplace(static_cast<std::uint64_t>(number), angles);
    } catch (const OrvaneError& error) {
        refuse(what + ": " + error.message);
        return false;
    }
    return ask_controller(*request, what) != nullptr;
}

std::optional<std::vector<std::string>> FanucDriver::read_errors(int count) {
    begin_operation();
    const std::string what = "Reading the alarm history";
    if (!in_range(count, 1, 5, what + " (count)")) return std::nullopt;
    ReadErrorRequest request(count);
    const auto answer = ask_controller(request, what);
    if (!answer) return std::nullopt;
    return RmiResponse::as<ReadErrorResponse>(answer)->alarms;
}

}  // namespace orvane::drivers
