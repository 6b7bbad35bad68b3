#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <orvane/motion/error.hpp>
#include <orvane/motion/robot.hpp>

namespace orvane {

// Client of the Kelvra visual programming tool.
//
// Transport: one TCP connection, one JSON object per "\n"-terminated line in
// each direction. An action is sent as
//   {"action": <name>, "commands": [{"data": <json>, "robot": <arm name>}, ...]}
// where "data" and "robot" are left out when a command has none. Every line
// received is parsed and handed to each message handler as it is (the tool's
// requests carry their kind in "key", e.g. {"key": "get-joint-position",
// "robot": "arm"}); lines that are not JSON are logged and skipped.
//
// Endpoint: `host` and `port`, 127.0.0.1:7331 unless the environment variable
// ORVANE_KELVRA_ENDPOINT holds "host:port" when the client is constructed.
//
// Threads: the client runs its connection on a thread of its own; message
// handlers are called there, one message at a time. An exception from a handler
// is logged ("[orvane.kelvra] ..." on standard error) and does not stop the client.
class Kelvra {
public:
    // One command of an action: its data and the arm the data belongs to.
    struct Command {
        std::optional<nlohmann::json> data;
        std::optional<std::string> robot;
    };

    struct Action {
        std::string name;
        std::vector<Command> commands;

        Action() = default;
        // One command carrying `data` and no arm name.
        Action(std::string name, nlohmann::json data);

        // The wire form described above.
        nlohmann::json to_json() const;
    };

    // Actions that mirror robots in the tool.
    struct Events {
        // "set-joint-position": with an empty `robot`, one command with all of
        // `position`; otherwise one command per sub-robot of `robot`, in order,
        // holding that sub-robot's share of `position` and its name. Throws
        // std::invalid_argument when `position` is shorter than the robot's joints.
        static Action set_joint_position(const std::vector<double>& position,
                                         std::shared_ptr<Robot> robot);
    };

    using MessageHandler = std::function<void(const nlohmann::json&)>;

    // The handlers called for every message; safe to change while connected.
    class HandlerList {
    public:
        void push_back(MessageHandler handler);
        void clear();
        std::size_t size() const;
        std::vector<MessageHandler> snapshot() const;

    private:
        mutable std::mutex mutex_;
        std::vector<MessageHandler> handlers_;
    };

    // connect: connect at once (throws KelvraError as reconnect does);
    // verbose: log every line sent and received; timeout: seconds allowed for
    // that first connection.
    explicit Kelvra(bool connect = true, bool verbose = false, double timeout = 5.0);
    ~Kelvra();

    Kelvra(const Kelvra&) = delete;
    Kelvra& operator=(const Kelvra&) = delete;

    std::string host;
    std::uint16_t port;
    bool verbose;
    HandlerList message_handlers;

    // Drops the present connection (if any) and connects to host:port; throws
    // KelvraError when that does not succeed within `timeout` seconds.
    void reconnect(double timeout);
    // Closes the connection; handlers are no longer called.
    void disconnect();
    bool is_connected() const;

    // Queues `action` for sending and returns at once; may be called from
    // several threads. Returns false (and sends nothing) without a connection.
    bool run_action(const Action& action) const;

private:
    struct Connection;
    std::shared_ptr<Connection> connection_;
    mutable std::mutex connection_mutex_;
};

}  // namespace orvane
