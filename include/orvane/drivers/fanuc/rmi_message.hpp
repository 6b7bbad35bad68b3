#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers {

// The three packet kinds (the key of a packet's first member) and the line
// terminator of the RMI wire format.
inline constexpr std::string_view RMI_COMMUNICATION = "Communication";
inline constexpr std::string_view RMI_COMMAND = "Command";
inline constexpr std::string_view RMI_INSTRUCTION = "Instruction";
inline constexpr std::string_view RMI_LINE_END = "\r\n";

// One RMI packet: a kind, a FANUC packet name and the members that follow them.
class RmiMessage {
public:
    // The key under which the socket files the pending answer.
    virtual const std::string& get_id() const = 0;
    // The wire text, CR LF included; built on the first call and kept.
    virtual const std::string& as_string();
    // The members after the kind/name pair; for a request that has none,
    // the parsed wire text.
    virtual const nlohmann::json& as_json();
    virtual const std::string& get_type() const;
    virtual const std::string& get_name() const;
    virtual ~RmiMessage();

protected:
    RmiMessage(std::string type, std::string name);
    RmiMessage(const RmiMessage&) = default;
    RmiMessage(RmiMessage&&) = default;
    RmiMessage& operator=(const RmiMessage&) = default;
    RmiMessage& operator=(RmiMessage&&) = default;

    std::string type;
    std::string name;
    std::string text;
    nlohmann::json body;
};

class RmiCommunication : public RmiMessage {
public:
    explicit RmiCommunication(std::string name);
    const std::string& get_id() const override;

protected:
    std::string id;
};

class RmiCommand : public RmiMessage {
public:
    explicit RmiCommand(std::string name);
    const std::string& get_id() const override;

protected:
    std::string id;
};

class RmiInstruction : public RmiMessage {
public:
    RmiInstruction(std::string name, std::int32_t sequence_id);
    const std::string& get_id() const override;

    // Renumbers the instruction; call it before the text is first built.
    void set_seq_id(std::int32_t sequence_id);

    static bool is_req_from_instruction(std::string_view id);

protected:
    std::string id;
};

// A packet received from the controller. Immutable once built; shared
// between the socket's reader thread and the caller waiting for it.
class RmiResponse : public RmiMessage {
public:
    RmiResponse(std::string kind, std::string name, nlohmann::json object);
    const std::string& get_id() const override;

    // Builds the response for one received line (without its CR LF). Throws
    // OrvaneError or a JSON library exception on anything malformed.
    static std::shared_ptr<RmiResponse> from_str(std::string_view line);

    template <typename T>
    static std::shared_ptr<T> as(const std::shared_ptr<RmiResponse>& response) {
        auto cast = std::dynamic_pointer_cast<T>(response);
        if (!cast) throw OrvaneError("driver.fanuc", "Attempt to cast message failed.");
        return cast;
    }

    bool success = false;
    std::string id;
    std::int32_t error_id = 0;
};

}  // namespace orvane::drivers
