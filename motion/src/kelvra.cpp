#include <orvane/motion/kelvra.hpp>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <exception>
#include <iostream>
#include <istream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

namespace orvane {

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

constexpr const char* default_host = "127.0.0.1";
constexpr std::uint16_t default_port = 7331;

// The client's own log line; errors on its thread must not escape it.
void log_line(const std::string& message) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::cerr << "[orvane.kelvra] " << message << '\n';
}

}  // namespace

// One TCP connection with the thread that runs it.
struct Kelvra::Connection : std::enable_shared_from_this<Kelvra::Connection> {
    Connection(const HandlerList& handlers, bool verbose, std::string endpoint)
        : handlers(handlers), verbose(verbose), endpoint(std::move(endpoint)) {}

    ~Connection() {
        if (thread.joinable()) {
            // The thread itself may drop the last reference.
            if (thread.get_id() == std::this_thread::get_id()) {
                thread.detach();
            } else {
                thread.join();
            }
        }
    }

    void start() {
        open = true;
        read_next();
        thread = std::thread([self = shared_from_this()] {
            self->io.run();
            self->open = false;
        });
    }

    // Handlers posted from outside capture a plain pointer: the connection
    // lives while its thread runs (the thread holds it), and handlers that
    // never run must not keep it alive.
    void close() {
        // Lines already queued (e.g. a last "unregister-robot") go out first.
        asio::post(io, [this] {
            closing = true;
            if (outbox.empty()) shut();
        });
        if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
    }

    void send(std::string line) {
        asio::post(io, [this, line = std::move(line)]() mutable {
            if (!open) return;
            outbox.push_back(std::move(line));
            if (outbox.size() == 1) write_next();
        });
    }

    void shut() {
        open = false;
        boost::system::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
    }

    void lost(const boost::system::error_code& error) {
        if (open && error != asio::error::operation_aborted) {
            log_line("connection to " + endpoint + " lost: " +
                     (error == asio::error::eof ? std::string("closed by the peer") : error.message()));
        }
        shut();
    }

    void write_next() {
        if (verbose) log_line("sent: " + outbox.front().substr(0, outbox.front().size() - 1));
        asio::async_write(socket, asio::buffer(outbox.front()),
                          [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                              if (error) {
                                  self->lost(error);
                                  return;
                              }
                              self->outbox.pop_front();
                              if (!self->outbox.empty()) {
                                  self->write_next();
                              } else if (self->closing) {
                                  self->shut();
                              }
                          });
    }

    void read_next() {
        asio::async_read_until(socket, input, '\n',
                               [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                                   if (error) {
                                       self->lost(error);
                                       return;
                                   }
                                   std::istream stream(&self->input);
                                   std::string line;
                                   std::getline(stream, line);
                                   self->dispatch(line);
                                   if (self->open) self->read_next();
                               });
    }

    void dispatch(std::string line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) return;
        if (verbose) log_line("received: " + line);
        nlohmann::json message;
        try {
            message = nlohmann::json::parse(line);
        } catch (const std::exception& e) {
            log_line("ignoring a line that is not JSON: " + std::string(e.what()));
            return;
        }
        for (const auto& handler : handlers.snapshot()) {
            try {
                if (handler) handler(message);
            } catch (const std::exception& e) {
                log_line("a message handler raised an exception: " + std::string(e.what()));
            } catch (...) {
                log_line("a message handler raised an unknown exception");
            }
        }
    }

    const HandlerList& handlers;
    const bool verbose;
    const std::string endpoint;
    asio::io_context io;
    tcp::socket socket{io};
    asio::streambuf input;
    std::deque<std::string> outbox;  // outbox and closing: the connection's thread only
    bool closing{false};
    std::atomic<bool> open{false};
    std::thread thread;
};

Kelvra::Action::Action(std::string name, nlohmann::json data) : name(std::move(name)) {
    commands.push_back(Command{std::move(data), std::nullopt});
}

nlohmann::json Kelvra::Action::to_json() const {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& command : commands) {
        nlohmann::json entry = nlohmann::json::object();
        if (command.data) entry["data"] = *command.data;
        if (command.robot) entry["robot"] = *command.robot;
        list.push_back(std::move(entry));
    }
    return {{"action", name}, {"commands", std::move(list)}};
}

Kelvra::Action Kelvra::Events::set_joint_position(const std::vector<double>& position,
                                                  std::shared_ptr<Robot> robot) {
    Action action;
    action.name = "set-joint-position";
    if (!robot) {
        action.commands.push_back(Command{nlohmann::json(position), std::nullopt});
        return action;
    }
    std::size_t index = 0;
    for (auto arm = robot->get_first_sub_robot(); arm; arm = robot->get_next_sub_robot(arm)) {
        const std::size_t dof = arm->get_degrees_of_freedom();
        if (index + dof > position.size()) {
            throw std::invalid_argument("Kelvra set-joint-position: " + std::to_string(position.size()) +
                                        " joint values are too few for robot '" + robot->name + "'");
        }
        nlohmann::json values = nlohmann::json::array();
        for (std::size_t i = 0; i < dof; ++i) values.push_back(position[index + i]);
        action.commands.push_back(Command{std::move(values), arm->name});
        index += dof;
    }
    return action;
}

void Kelvra::HandlerList::push_back(MessageHandler handler) {
    std::lock_guard lock(mutex_);
    handlers_.push_back(std::move(handler));
}

void Kelvra::HandlerList::clear() {
    std::lock_guard lock(mutex_);
    handlers_.clear();
}

std::size_t Kelvra::HandlerList::size() const {
    std::lock_guard lock(mutex_);
    return handlers_.size();
}

std::vector<Kelvra::MessageHandler> Kelvra::HandlerList::snapshot() const {
    std::lock_guard lock(mutex_);
    return handlers_;
}

Kelvra::Kelvra(bool connect, bool verbose, double timeout)
    : host(default_host), port(default_port), verbose(verbose) {
    if (const char* endpoint = std::getenv("ORVANE_KELVRA_ENDPOINT"); endpoint && *endpoint) {
        const std::string text(endpoint);
        const auto colon = text.rfind(':');
        bool parsed = false;
        if (colon != std::string::npos && colon > 0) {
            try {
                std::size_t used = 0;
                const unsigned long value = std::stoul(text.substr(colon + 1), &used);
                if (used == text.size() - colon - 1 && value > 0 && value <= 65535) {
                    host = text.substr(0, colon);
                    port = static_cast<std::uint16_t>(value);
                    parsed = true;
                }
            } catch (const std::exception&) {
            }
        }
        if (!parsed) log_line("ignoring ORVANE_KELVRA_ENDPOINT='" + text + "': expected host:port");
    }
    if (connect) reconnect(timeout);
}

Kelvra::~Kelvra() { disconnect(); }

void Kelvra::disconnect() {
    std::shared_ptr<Connection> old;
    {
        std::lock_guard lock(connection_mutex_);
        old.swap(connection_);
    }
    if (old) old->close();
}

bool Kelvra::is_connected() const {
    std::lock_guard lock(connection_mutex_);
    return connection_ && connection_->open;
}

void Kelvra::reconnect(double timeout) {
    disconnect();
    const std::string endpoint = host + ":" + std::to_string(port);
    auto connection = std::make_shared<Connection>(message_handlers, verbose, endpoint);

    boost::system::error_code error;
    tcp::resolver resolver(connection->io);
    const auto endpoints = resolver.resolve(host, std::to_string(port), error);
    if (error) throw KelvraError("Cannot resolve the Kelvra endpoint " + endpoint + ": " + error.message());

    bool done = false;
    boost::system::error_code connect_error;
    asio::async_connect(connection->socket, endpoints,
                        [&](const boost::system::error_code& e, const tcp::endpoint&) {
                            connect_error = e;
                            done = true;
                        });
    const auto allowed = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(timeout > 0.0 && std::isfinite(timeout) ? timeout : 0.0));
    connection->io.run_for(allowed);
    if (!done) {
        connection->shut();
        connection->io.restart();
        connection->io.run();  // completes the aborted connect
        throw KelvraError("Kelvra did not answer at " + endpoint + " within " + std::to_string(timeout) + " s.");
    }
    if (connect_error) {
        throw KelvraError("Cannot connect to Kelvra at " + endpoint + ": " + connect_error.message());
    }
    connection->io.restart();
    boost::system::error_code ignored;
    connection->socket.set_option(tcp::no_delay(true), ignored);
    connection->start();
    std::lock_guard lock(connection_mutex_);
    connection_ = std::move(connection);
}

bool Kelvra::run_action(const Action& action) const {
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard lock(connection_mutex_);
        connection = connection_;
    }
    if (!connection || !connection->open) return false;
    connection->send(action.to_json().dump() + "\n");
    return true;
}

}  // namespace orvane
