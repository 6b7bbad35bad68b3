#include "orvane/drivers/fanuc/rmi_responses.hpp"

#include "orvane/drivers/fanuc/rmi_controller_responses.hpp"

#include <limits>
#include <string>
#include <utility>

namespace orvane::drivers {

namespace {

constexpr double radians_per_degree = 0.017453292519943295;

// Real answers nest two levels ("JointAngle" inside the packet). The bound
// keeps a hostile line from making the parser build, and anything that walks
// the value recurse through, a structure of unbounded depth.
constexpr int max_nesting_depth = 32;
// How much of an unusable line an error message quotes.
constexpr std::size_t quoted_line_limit = 200;

[[noreturn]] void refuse(const std::string& message) { throw OrvaneError("driver.fanuc", message); }

// A short description of an unexpected value that never walks into it: the
// value comes from the controller and may be arbitrarily large or deep.
std::string describe(const nlohmann::json& value) {
    if (value.is_number() || value.is_boolean() || value.is_null()) return value.dump();
    return std::string("a JSON ") + value.type_name();
}

std::string quoted(std::string_view line) {
    if (line.size() <= quoted_line_limit) return std::string(line);
    return std::string(line.substr(0, quoted_line_limit)) + "... (" + std::to_string(line.size()) + " bytes)";
}

// Refuses a line whose arrays and objects nest deeper than the bound, before
// anything is parsed. Brackets inside strings do not count.
void check_nesting(std::string_view line) {
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char c : line) {
        if (in_string) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > max_nesting_depth) {
                refuse("RMI response nests deeper than " + std::to_string(max_nesting_depth) +
                       " levels: " + quoted(line));
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
}

const nlohmann::json& member(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) refuse(std::string("RMI Response does not contain the field ") + key + ".");
    return *it;
}

// Reads an integer member within [low, high]. Only JSON integers qualify:
// the library would silently truncate a float (undefined when out of range)
// and accept a boolean.
std::int64_t integer_member(const nlohmann::json& object, const char* key, std::int64_t low, std::int64_t high) {
    const nlohmann::json& value = member(object, key);
    bool in_range = false;
    std::int64_t result = 0;
    if (value.is_number_unsigned()) {
        const auto raw = value.get<std::uint64_t>();
        in_range = raw <= static_cast<std::uint64_t>(high);
        result = static_cast<std::int64_t>(raw);
    } else if (value.is_number_integer()) {
        result = value.get<std::int64_t>();
        in_range = result >= low && result <= high;
    } else {
        refuse(std::string("RMI Response field ") + key + " is not an integer: " + describe(value));
    }
    if (!in_range) refuse(std::string("RMI Response field ") + key + " is out of range: " + describe(value));
    return result;
}

std::int32_t int32_member(const nlohmann::json& object, const char* key) {
    return static_cast<std::int32_t>(integer_member(object, key, std::numeric_limits<std::int32_t>::min(),
                                                    std::numeric_limits<std::int32_t>::max()));
}

bool flag_member(const nlohmann::json& object, const char* key) { return int32_member(object, key) != 0; }

double number_member(const nlohmann::json& object, const char* key) {
    const nlohmann::json& value = member(object, key);
    if (!value.is_number()) refuse(std::string("RMI Response field ") + key + " is not a number: " + describe(value));
    return value.get<double>();
}

std::shared_ptr<RmiResponse> build(std::string kind, std::string name, nlohmann::json object) {
    if (auto controller = build_controller_response(kind, name, object)) return controller;
    if (name == "FRC_Connect") return std::make_shared<ConnectionResponse>(std::move(object));
    if (name == "FRC_GetStatus") return std::make_shared<ControllerStatusResponse>(std::move(object));
    if (name == "FRC_ReadJointAngles") return std::make_shared<JointAngleResponse>(std::move(object));
    if (name == "FRC_ReadDIN") return std::make_shared<ReadDIResponse>(std::move(object));
    return std::make_shared<RmiResponse>(std::move(kind), std::move(name), std::move(object));
}

}  // namespace

RmiResponse::RmiResponse(std::string kind, std::string name_, nlohmann::json object)
    : RmiMessage(std::move(kind), std::move(name_)) {
    if (!object.is_object()) refuse("RMI response is not a JSON object.");
    body = std::move(object);

    if (body.contains("ErrorID")) {
        error_id = int32_member(body, "ErrorID");
    } else if (type != RMI_COMMUNICATION) {
        // Only unsolicited communication packets (FRC_SystemFault) may lack it.
        refuse("RMI Response does not contain the field ErrorID.");
    }

    if (type == RMI_INSTRUCTION) {
        // The same key as the instruction it answers.
        id = std::string(RMI_INSTRUCTION) + std::to_string(int32_member(body, "SequenceID"));
    } else {
        id = name;
    }
    success = error_id == 0;
}

const std::string& RmiResponse::get_id() const { return id; }

std::shared_ptr<RmiResponse> RmiResponse::from_str(std::string_view line) {
    check_nesting(line);
    nlohmann::json object = nlohmann::json::parse(line);
    if (object.is_object()) {
        for (const std::string_view kind : {RMI_INSTRUCTION, RMI_COMMAND, RMI_COMMUNICATION}) {
            const auto it = object.find(kind);
            if (it == object.end()) continue;
            if (!it->is_string()) {
                refuse("RMI Response field " + std::string(kind) + " is not a string: " + describe(*it));
            }
            std::string name = it->get<std::string>();
            return build(std::string(kind), std::move(name), std::move(object));
        }
    }
    throw OrvaneError("driver.fanuc", "RMI response of unknown type: " + quoted(line));
}

ConnectionResponse::ConnectionResponse(nlohmann::json object)
    : RmiResponse(std::string(RMI_COMMUNICATION), "FRC_Connect", std::move(object)) {
    port_number = int32_member(body, "PortNumber");
    major_version = int32_member(body, "MajorVersion");
}

ControllerStatusResponse::ControllerStatusResponse(nlohmann::json object)
    : RmiResponse(std::string(RMI_COMMAND), "FRC_GetStatus", std::move(object)) {
    servo_ready = flag_member(body, "ServoReady");
    tp_mode = flag_member(body, "TPMode");
    rmi_motion_status = flag_member(body, "RMIMotionStatus");
    program_status = flag_member(body, "ProgramStatus");
    single_step_mode = flag_member(body, "SingleStepMode");
    next_sequence_id = int32_member(body, "NextSequenceID");
}

JointAngleResponse::JointAngleResponse(nlohmann::json object)
    : RmiResponse(std::string(RMI_COMMAND), "FRC_ReadJointAngles", std::move(object)) {
    const nlohmann::json& angles = member(body, "JointAngle");
    if (!angles.is_object()) refuse("RMI Response field JointAngle is not an object: " + describe(angles));
    joint_angles.reserve(9);
    static constexpr const char* keys[] = {"J1", "J2", "J3", "J4", "J5", "J6", "J7", "J8", "J9"};
    for (const char* key : keys) joint_angles.push_back(number_member(angles, key) * radians_per_degree);
    // Doubled in 64 bits: no TimeTag the controller can send overflows.
    time_tag = 2 * integer_member(body, "TimeTag", std::numeric_limits<std::int64_t>::min() / 2,
                                  std::numeric_limits<std::int64_t>::max() / 2);
}

ReadDIResponse::ReadDIResponse(nlohmann::json object)
    : RmiResponse(std::string(RMI_COMMAND), "FRC_ReadDIN", std::move(object)) {
    port_value = member(body, "PortValue") == 1;
}

}  // namespace orvane::drivers
