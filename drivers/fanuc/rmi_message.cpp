#include "orvane/drivers/fanuc/rmi_message.hpp"

#include <utility>

namespace orvane::drivers {

RmiMessage::RmiMessage(std::string type, std::string name)
    : type(std::move(type)), name(std::move(name)), body(nlohmann::json::object()) {}

RmiMessage::~RmiMessage() = default;

const std::string& RmiMessage::as_string() {
    if (!text.empty()) return text;

    std::string line;
    line.reserve(64);
    line += "{\"";
    line += type;
    line += "\":\"";
    line += name;
    line += '"';
    if (body.is_object() && !body.empty()) {
        // nlohmann keeps object members sorted, so the order is fixed.
        const std::string members = body.dump();
        line += ',';
        line.append(members, 1, std::string::npos);
    } else {
        line += '}';
    }
    line += RMI_LINE_END;
    text = std::move(line);
    return text;
}

const nlohmann::json& RmiMessage::as_json() {
    if (body.empty()) {
        if (text.empty()) {
            throw OrvaneError("driver.fanuc",
                              "Message has no string defined, cannot provide a json version of that.");
        }
        body = nlohmann::json::parse(text);
    }
    return body;
}

const std::string& RmiMessage::get_type() const { return type; }

const std::string& RmiMessage::get_name() const { return name; }

RmiCommunication::RmiCommunication(std::string name)
    : RmiMessage(std::string(RMI_COMMUNICATION), std::move(name)), id(get_name()) {}

const std::string& RmiCommunication::get_id() const { return id; }

RmiCommand::RmiCommand(std::string name) : RmiMessage(std::string(RMI_COMMAND), std::move(name)), id(get_name()) {}

const std::string& RmiCommand::get_id() const { return id; }

RmiInstruction::RmiInstruction(std::string name, std::int32_t sequence_id)
    : RmiMessage(std::string(RMI_INSTRUCTION), std::move(name)) {
    set_seq_id(sequence_id);
}

const std::string& RmiInstruction::get_id() const { return id; }

void RmiInstruction::set_seq_id(std::int32_t sequence_id) {
    id = std::string(RMI_INSTRUCTION) + std::to_string(sequence_id);
    body["SequenceID"] = sequence_id;
}

bool RmiInstruction::is_req_from_instruction(std::string_view id) { return id.starts_with(RMI_INSTRUCTION); }

}  // namespace orvane::drivers
