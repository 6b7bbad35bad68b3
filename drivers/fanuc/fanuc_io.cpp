// FanucDriver: digital I/O through the alias table, the controller's speed
// override, the payload schedule and what a schedule holds.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>

#include "orvane/drivers/fanuc/fanuc_driver.hpp"
#include "orvane/drivers/fanuc/rmi_controller_requests.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers {

namespace {

std::string describe(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

bool is_payload_schedule(double schedule) {
    return std::isfinite(schedule) && schedule == std::floor(schedule) &&
           schedule >= FanucDriver::lowest_payload_schedule && schedule <= FanucDriver::highest_payload_schedule;
}

bool all_finite(const std::array<double, 3>& values, bool non_negative) {
    return std::ranges::all_of(values,
                               [non_negative](double v) { return std::isfinite(v) && (!non_negative || v >= 0.0); });
}

}  // namespace

std::optional<int> FanucDriver::get_digital_input(const std::string& name) {
    begin_operation();
    const auto alias = get_io_alias(name);
    if (!alias) {
        // Reading 0 here would report a misspelt interlock input as "off".
        refuse("No I/O alias named '" + name + "': the digital input was not read.");
        return std::nullopt;
    }
    const std::string what = "Reading DI[" + std::to_string(alias->address_in) + "]";
    ReadDIRequest request(alias->address_in);
    const auto answer = ask_controller(request, what);
    if (!answer) return std::nullopt;
    // Only 0 and 1 are readings: anything else (a string "ON", 2, 0.5) might
    // stand for either, and an interlock must not read as a made-up "off".
    const auto& body = answer->as_json();
    const auto value = body.find("PortValue");
    if (value == body.end() || !value->is_number_integer() || (*value != 0 && *value != 1)) {
        refuse("The controller answered FRC_ReadDIN for port " + std::to_string(alias->address_in) +
               " with PortValue " + (value == body.end() ? std::string("missing") : value->dump()) +
               "; the input was not read.");
        return std::nullopt;
    }
    return *value == 1 ? 1 : 0;
}

bool FanucDriver::set_digital_output(const std::string& name, int value) {
    begin_operation();
    const auto alias = get_io_alias(name);
    if (!alias) {
        refuse("No I/O alias named '" + name + "': the digital output was not written.");
        return false;
    }
    SetDORequest request(alias->address_out, value != 0);
    return ask_controller(request, "Writing " + std::to_string(value != 0 ? 1 : 0) + " to DO[" +
                                       std::to_string(alias->address_out) + "]") != nullptr;
}

bool FanucDriver::set_speed_override(int value) {
    begin_operation();
    if (value < 1 || value > 100) {
        refuse("The speed override is a percentage from 1 to 100; " + std::to_string(value) + " was refused.");
        return false;
    }
    SetSpeedOverrideRequest request(value);
    const bool accepted = ask_controller(request, "Setting the speed override to " + std::to_string(value) + " %") != nullptr;
    // The override stretches every instruction: the answer bound follows it.
    if (accepted) known_override = value;
    return accepted;
}

std::optional<std::string> FanucDriver::payload_schedule_fault(double schedule) {
    if (is_payload_schedule(schedule)) return std::nullopt;
    return "Payload schedule " + describe(schedule) + " does not exist: a schedule is a whole number from " +
           std::to_string(lowest_payload_schedule) + " to " + std::to_string(highest_payload_schedule) +
           ", never a mass.";
}

std::optional<std::string> FanucDriver::payload_value_fault(int schedule, const PayloadValue& payload) {
    if (auto fault = payload_schedule_fault(schedule)) return fault;
    if (!std::isfinite(payload.mass) || payload.mass < 0.0) {
        return "The payload mass must be finite and not negative, not " + describe(payload.mass) + " kg.";
    }
    if (!all_finite(payload.centre_of_gravity, false)) {
        return std::string("The payload's centre of gravity must be finite.");
    }
    if (payload.inertia && !all_finite(*payload.inertia, true)) {
        return std::string("The payload's inertia must be finite and not negative.");
    }
    try {
        SetPayloadValueRequest request(schedule, payload);
    } catch (const OrvaneError& error) {
        return error.message + ".";
    }
    return std::nullopt;
}

bool FanucDriver::set_payload(double schedule) {
    begin_operation();
    if (const auto fault = payload_schedule_fault(schedule)) {
        refuse(*fault);
        return false;
    }
    const auto value = static_cast<std::int32_t>(schedule);
    check_link();
    std::shared_future<RmiSocket::ResponsePtr> answer;
    std::int32_t sequence_id = 0;
    std::size_t queued = 0;
    {
        // An instruction: its sequence ID is taken, and it is sent, in turn
        // with the motion instructions.
        std::lock_guard lock(sampling_mutex);
        // The controller's queue is counted only by the motions queued on it.
        if (!is_enabled() || busy() || controller_queue_open()) {
            refuse("The payload can only be set while the driver is enabled and no controller-planned motion is queued.");
            return false;
        }
        sequence_id = next_sequence_id;
        SetPayloadRequest request(sequence_id, value);
        wait_for_send_slot();  // paced like every instruction
        answer = socket.send_request(request, std::nullopt).share();
        last_instruction_sent_at = std::chrono::steady_clock::now();
        ++next_sequence_id;
        queued = pending_count();
    }
    // Answered once executed, that is after the motion queued before it.
    const double margin = std::isfinite(instruction_timeout_margin) ? std::max(0.0, instruction_timeout_margin) : 1.0;
    const double bound = static_cast<double>(queued + 1) * delta_time * 100.0 / std::max(1, known_override.load()) +
                         margin + command_timeout;
    if (answer.wait_for(std::chrono::duration<double>(bound)) != std::future_status::ready) {
        refuse_as_error("No answer to FRC_SetPayLoad from the controller.");
        return false;
    }
    try {
        const auto response = answer.get();
        if (response && response->success) return true;
        if (response) refuse("The controller refused FRC_SetPayLoad with error id " + std::to_string(response->error_id) + ".");
    } catch (const std::exception& error) {
        // The socket fails a refused instruction's request with the reason.
        refuse_as_error(reason_of(error));
    }
    // A refused instruction does not use up its sequence ID on the
    // controller: unless more followed it, the next one takes it again.
    std::lock_guard lock(sampling_mutex);
    const auto phase = motion.phase();
    if (next_sequence_id == sequence_id + 1 && (phase == MotionPhase::ready || phase == MotionPhase::paused)) {
        next_sequence_id = sequence_id;
    }
    return false;
}

bool FanucDriver::set_payload_value(int schedule, const PayloadValue& payload) {
    begin_operation();
    if (const auto fault = payload_value_fault(schedule, payload)) {
        refuse(*fault);
        return false;
    }
    SetPayloadValueRequest request(schedule, payload);
    return ask_controller(request, "Setting payload schedule " + std::to_string(schedule)) != nullptr;
}

}  // namespace orvane::drivers
