// FanucDriver: analog and group I/O, numeric registers, flags and robot I/O
// through the alias table ("FRC_ReadIOPort"/"FRC_WriteIOPort",
// "FRC_ReadRegister"/"FRC_WriteRegister"), and the exchange all controller
// data operations share.
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <sstream>
#include <string>

#include "orvane/drivers/fanuc/fanuc_driver.hpp"
#include "orvane/drivers/fanuc/rmi_controller_requests.hpp"
#include "orvane/drivers/fanuc/rmi_controller_responses.hpp"
#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers {

namespace {

constexpr std::uint64_t highest_address = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
constexpr int highest_group_value = 65535;
constexpr double float_max = static_cast<double>(std::numeric_limits<float>::max());

std::string describe(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

// The refusals a user can act on, by the controller's error ID.
std::string error_text(std::int32_t error_id) {
    switch (error_id) {
        case 2556935: return " (Servo Off)";
        case 2556936: return " (Teach Pendant is Enabled)";
        case 2556937: return " (RMI Not Running)";
        case 2556941: return " (Invalid RMI Command)";
        case 2556942: return " (Command Fail)";
        case 2556943: return " (Invalid Controller State)";
        case 2556949: return " (Invalid Value)";
        case 2556950: return " (Invalid Text String)";
        case 2556952: return " (RMI in HOLD)";
        case 2556955: return " (Wait for Command Done)";
        default: return "";
    }
}

}  // namespace

RmiSocket::ResponsePtr FanucDriver::ask_controller(RmiMessage& request, const std::string& what) {
    const auto link = socket.link_serial();
    if (!check_link() || !link) {
        refuse(what + ": not connected to the controller.");
        return nullptr;
    }
    if (firmware_limits.is_unsupported(*link, request.get_name())) {
        set_last_error(what + " is not supported by this controller (its RMI firmware does not know " +
                       request.get_name() + ").");
        return nullptr;
    }
    const auto answer = command(request);
    if (!answer) throw OrvaneError("driver.fanuc", "Attempt to cast message failed.");
    if (dynamic_cast<const UnknownPacketResponse*>(answer.get()) != nullptr) {
        const std::string why = "The controller does not know " + request.get_name() +
                                " (its RMI firmware predates it): " + what + " is not supported on it.";
        // One warning per link; last_error says it every time.
        if (firmware_limits.remember_unsupported(*link, request.get_name())) {
            refuse(why);
        } else {
            set_last_error(why);
        }
        return nullptr;
    }
    if (!answer->success) {
        refuse(what + " was refused by the controller with error id " + std::to_string(answer->error_id) +
               error_text(answer->error_id) + ".");
        return nullptr;
    }
    return answer;
}

bool FanucDriver::refuse_while_moving(const std::string& what) {
    bool moving = motion.published_run() != 0;
    switch (motion.published_phase()) {
        case MotionPhase::streaming:
        case MotionPhase::draining:
        case MotionPhase::ending:
        case MotionPhase::paused:
        case MotionPhase::queueing:
        case MotionPhase::holding: moving = true; break;
        default: break;
    }
    if (moving) refuse(what + " is refused while a motion streams or is paused.");
    return moving;
}

std::optional<std::uint64_t> FanucDriver::alias_address(const std::string& name, bool for_reading,
                                                        const std::string& what) {
    const auto alias = get_io_alias(name);
    if (!alias) {
        // Reading a default here would report a misspelt signal as a value.
        refuse("No I/O alias named '" + name + "': " + what + " was not done.");
        return std::nullopt;
    }
    // The controller's 32-bit port and register numbers start at 1.
    const std::uint64_t address = for_reading ? alias->address_in : alias->address_out;
    if (address < 1 || address > highest_address) {
        refuse(what + ": address " + std::to_string(address) + " does not exist on the controller.");
        return std::nullopt;
    }
    return address;
}

namespace {

std::string port_name(const std::string& type, std::uint64_t port) {
    return type + "[" + std::to_string(port) + "]";
}

}  // namespace

bool FanucDriver::in_range(int value, int low, int high, const std::string& what) {
    if (value >= low && value <= high) return true;
    refuse(what + ": " + std::to_string(value) + " is outside " + std::to_string(low) + " to " + std::to_string(high) +
           ".");
    return false;
}

std::optional<int> FanucDriver::whole_number(double value, const std::string& what, const std::string& advice) {
    if (value != std::trunc(value) || value < std::numeric_limits<int>::min() ||
        value > std::numeric_limits<int>::max()) {
        refuse(what + ": the controller answered " + describe(value) + ", not a whole number" + advice + ".");
        return std::nullopt;
    }
    return static_cast<int>(value);
}

std::optional<double> FanucDriver::get_analog_input(const std::string& name) {
    begin_operation();
    const auto port = alias_address(name, true, "reading analog input '" + name + "'");
    if (!port) return std::nullopt;
    ReadIOPortRequest request("AI", *port);
    const auto answer = ask_controller(request, "Reading " + port_name("AI", *port));
    if (!answer) return std::nullopt;
    return RmiResponse::as<ReadIOPortResponse>(answer)->port_value;
}

bool FanucDriver::set_analog_output(const std::string& name, double value) {
    begin_operation();
    const auto port = alias_address(name, false, "writing analog output '" + name + "'");
    if (!port) return false;
    const std::string what = "Writing " + describe(value) + " to " + port_name("AO", *port);
    if (!std::isfinite(value) || std::fabs(value) > float_max) {
        refuse(what + ": not a value an analog output can take.");
        return false;
    }
    WriteIOPortRequest request("AO", *port, value);
    return ask_controller(request, what) != nullptr;
}

// Digital, group and flag ports read as integers; a real answer that is not
// a whole number is a protocol fault, never rounded into a signal state.
std::optional<int> FanucDriver::integral_port_value(const RmiSocket::ResponsePtr& answer, const std::string& what) {
    if (!answer) return std::nullopt;
    return whole_number(RmiResponse::as<ReadIOPortResponse>(answer)->port_value, what, "");
}

std::optional<int> FanucDriver::get_group_input(const std::string& name) {
    begin_operation();
    const auto port = alias_address(name, true, "reading group input '" + name + "'");
    if (!port) return std::nullopt;
    const std::string what = "Reading " + port_name("GI", *port);
    ReadIOPortRequest request("GI", *port);
    return integral_port_value(ask_controller(request, what), what);
}

bool FanucDriver::set_group_output(const std::string& name, int value) {
    begin_operation();
    const auto port = alias_address(name, false, "writing group output '" + name + "'");
    if (!port) return false;
    const std::string what = "Writing " + std::to_string(value) + " to " + port_name("GO", *port);
    if (value < 0 || value > highest_group_value) {
        refuse(what + ": a group output takes 0 to 65535.");
        return false;
    }
    WriteIOPortRequest request("GO", *port, static_cast<std::int64_t>(value));
    return ask_controller(request, what) != nullptr;
}

std::optional<int> FanucDriver::get_flag(const std::string& name) {
    begin_operation();
    const auto port = alias_address(name, true, "reading flag '" + name + "'");
    if (!port) return std::nullopt;
    const std::string what = "Reading " + port_name("FLAG", *port);
    ReadIOPortRequest request("FLAG", *port);
    const auto value = integral_port_value(ask_controller(request, what), what);
    if (!value) return std::nullopt;
    return *value != 0 ? 1 : 0;
}

bool FanucDriver::set_flag(const std::string& name, int value) {
    begin_operation();
    const auto port = alias_address(name, false, "writing flag '" + name + "'");
    if (!port) return false;
    // Any non-zero value sets it, as for a digital output.
    WriteIOPortRequest request("FLAG", *port, static_cast<std::int64_t>(value != 0 ? 1 : 0));
    return ask_controller(request, "Writing " + std::to_string(value != 0 ? 1 : 0) + " to " +
                                       port_name("FLAG", *port)) != nullptr;
}

std::optional<int> FanucDriver::get_robot_input(const std::string& name) {
    begin_operation();
    const auto port = alias_address(name, true, "reading robot input '" + name + "'");
    if (!port) return std::nullopt;
    const std::string what = "Reading " + port_name("RI", *port);
    ReadIOPortRequest request("RI", *port);
    const auto value = integral_port_value(ask_controller(request, what), what);
    if (!value) return std::nullopt;
    return *value != 0 ? 1 : 0;
}

bool FanucDriver::set_robot_output(const std::string& name, int value) {
    begin_operation();
    const auto port = alias_address(name, false, "writing robot output '" + name + "'");
    if (!port) return false;
    WriteIOPortRequest request("RO", *port, static_cast<std::int64_t>(value != 0 ? 1 : 0));
    return ask_controller(request, "Writing " + std::to_string(value != 0 ? 1 : 0) + " to " +
                                       port_name("RO", *port)) != nullptr;
}

std::optional<int> FanucDriver::get_int_register(const std::string& name) {
    begin_operation();
    const auto number = alias_address(name, true, "reading register '" + name + "'");
    if (!number) return std::nullopt;
    const std::string what = "Reading " + port_name("R", *number);
    ReadRegisterRequest request(*number);
    const auto answer = ask_controller(request, what);
    if (!answer) return std::nullopt;
    // A real register is read as an integer only when it holds one exactly.
    return whole_number(RmiResponse::as<ReadRegisterResponse>(answer)->register_value, what,
                        "; use get_double_register");
}

bool FanucDriver::set_int_register(const std::string& name, int value) {
    begin_operation();
    const auto number = alias_address(name, false, "writing register '" + name + "'");
    if (!number) return false;
    WriteRegisterRequest request(*number, static_cast<std::int32_t>(value));
    return ask_controller(request, "Writing " + std::to_string(value) + " to " + port_name("R", *number)) != nullptr;
}

std::optional<double> FanucDriver::get_double_register(const std::string& name) {
    begin_operation();
    const auto number = alias_address(name, true, "reading register '" + name + "'");
    if (!number) return std::nullopt;
    ReadRegisterRequest request(*number);
    const auto answer = ask_controller(request, "Reading " + port_name("R", *number));
    if (!answer) return std::nullopt;
    return RmiResponse::as<ReadRegisterResponse>(answer)->register_value;
}

bool FanucDriver::set_double_register(const std::string& name, double value) {
    begin_operation();
    const auto number = alias_address(name, false, "writing register '" + name + "'");
    if (!number) return false;
    const std::string what = "Writing " + describe(value) + " to " + port_name("R", *number);
    if (!std::isfinite(value) || std::fabs(value) > float_max) {
        refuse(what + ": a register holds finite single-precision values only.");
        return false;
    }
    WriteRegisterRequest request(*number, value);
    return ask_controller(request, what) != nullptr;
}

}  // namespace orvane::drivers
