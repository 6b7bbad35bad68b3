// RmiSocket: one connection attempt (the control port's handshake, then the
// data port), writing lines, and closing the link.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <utility>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>

#include "orvane/drivers/fanuc/rmi_requests.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/log/log.hpp"
#include "orvane/log/orvane_error.hpp"
#include "rmi_connection.hpp"

namespace orvane::drivers {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

constexpr const char* tag = "driver";
constexpr auto poll_slice = 100ms;

bool is_blank(const std::string& line) {
    return line.find_first_not_of(" \t\r\n") == std::string::npos;
}

boost::system::error_code errno_code(int value) {
    return {value, boost::system::system_category()};
}

// The steps of an attempt, as reconnect() names the one a deadline cut off.
constexpr const char* step_control = "control";
constexpr const char* step_handshake = "handshake";
constexpr const char* step_data = "data";

// Bytes on the control port that no RMI controller sends.
struct NotRmi : std::exception {
    explicit NotRmi(std::string bytes) : received(std::move(bytes)) {}
    const char* what() const noexcept override { return "not an RMI answer"; }
    std::string received;
};

std::string seconds_text(double seconds) {
    std::ostringstream text;
    text << seconds;
    return text.str();
}

// The start of what a server sent, quoted, with control bytes escaped.
std::string excerpt(const std::string& bytes) {
    constexpr std::size_t shown = 60;
    std::string out = "'";
    for (std::size_t i = 0; i < bytes.size() && i < shown; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char code[5];
            std::snprintf(code, sizeof(code), "\\x%02x", c);
            out += code;
        }
    }
    if (bytes.size() > shown) out += "...";
    return out + "'";
}

RmiAttemptFailure not_rmi_failure(const std::string& received, const std::string& detail = "") {
    return {"not RMI",
            "the server answered, but not as an RMI controller (" + excerpt(received) +
                (detail.empty() ? "" : ": " + detail) + "); check the address and the port",
            true};
}

RmiAttemptFailure handshake_failure(const boost::system::error_code& code, double seconds) {
    if (code == asio::error::timed_out) return attempt_timed_out(step_handshake, seconds);
    if (code == asio::error::operation_aborted) return {"cancelled", ""};
    if (code == asio::error::eof) {
        return {"handshake closed", "the server closed the connection without answering FRC_Connect; check that RMI "
                                    "runs on the controller"};
    }
    return {"handshake failed", "the connection failed during FRC_Connect (" + code.message() + ")"};
}

// A failed TCP connect to the control or the data port.
RmiAttemptFailure connect_failure(std::uint16_t port, const std::string& what, int error, double seconds) {
    if (error == ETIMEDOUT) return attempt_timed_out(what.c_str(), seconds);
    const auto text = errno_code(error).message();
    if (what == step_data) {
        // The controller named this port itself: it is busy, not absent.
        return {"data socket", "FRC_Connect named data port " + std::to_string(port) +
                                   ", which did not accept the connection (" + text +
                                   "); check that no other client is connected to the controller"};
    }
    switch (error) {
        case ECONNREFUSED:
            return {"refused", "the connection was refused (nothing listens on that port); check the address, the port "
                               "and that RMI runs on the controller", true};
        case EHOSTUNREACH:
        case ENETUNREACH:
            return {"unreachable", "the host cannot be reached (" + text + "); check the address and the network", true};
        default:
            return {"control socket", "the connection failed (" + text + "); check the address and the network"};
    }
}

}  // namespace

RmiAttemptFailure attempt_timed_out(const char* step, double seconds) {
    const std::string within = " within " + seconds_text(seconds) + " s";
    const std::string where = step == nullptr ? "" : step;
    if (where == step_handshake) {
        return {"handshake timeout", "the server accepted the connection but did not answer FRC_Connect" + within +
                                         "; check that the port is the controller's RMI port and that RMI runs on "
                                         "the controller"};
    }
    if (where == step_data) {
        return {"data timeout", "the data port named by FRC_Connect did not accept the connection" + within +
                                    "; check that no other client is connected to the controller"};
    }
    return {"control timeout",
            "no answer" + within + "; check that the controller is switched on and reachable from this computer"};
}

std::string reason_of(const std::exception& error) {
    if (const auto* own = dynamic_cast<const OrvaneError*>(&error)) return own->message;
    return error.what();
}

bool is_socket_connected(int fd) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return false;
    }
    if (error != 0) {
        return !(error == ENOTCONN || error == EPIPE || error == ECONNABORTED || error == ECONNRESET);
    }
    char byte = 0;
    const ssize_t received = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (received == 0) {
        return false;
    }
    if (received > 0) {
        return true;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

bool is_socket_connected(tcp::socket& socket) {
    return socket.is_open() && is_socket_connected(socket.native_handle());
}

void RmiSocket::Connection::shutdown() noexcept {
    // A plain shutdown(2) wakes a reader blocked in recv on this descriptor;
    // the descriptor itself stays valid until the last holder lets go.
    if (socket.is_open()) {
        ::shutdown(socket.native_handle(), SHUT_RDWR);
    }
}

RmiSocket::ConnectionPtr RmiSocket::open_connection(std::uint16_t port, const char* what, uint64_t generation,
                                                    Clock::time_point deadline, RmiAttemptFailure& failure) {
    auto connection = std::make_shared<Connection>();
    boost::system::error_code error;
    tcp::resolver resolver(connection->io);
    auto endpoints = resolver.resolve(host, std::to_string(port), error);
    if (!error && endpoints.empty()) error = asio::error::host_not_found;
    if (error) {
        // A name that does not resolve now will not resolve on a retry.
        failure = {"resolve", "the address could not be resolved (" + error.message() + "); check the address", true};
        return nullptr;
    }
    const tcp::endpoint endpoint = *endpoints.begin();
    connection->socket.open(endpoint.protocol(), error);
    if (error) {
        failure = {std::string(what) + " socket", std::string("no socket could be opened (") + error.message() + ")"};
        return nullptr;
    }

    // A connect bounded in time and interruptible: an unreachable controller
    // must not hold the monitor (and so the destructor) for the kernel's
    // two minutes.
    const int fd = connection->socket.native_handle();
    const int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int outcome = 0;
    if (::connect(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0) {
        outcome = errno;
    }
    while (outcome == EINPROGRESS || outcome == EINTR) {
        if (interrupted(generation)) {
            failure = {"cancelled", ""};
            return nullptr;
        }
        if (Clock::now() >= deadline) {
            outcome = ETIMEDOUT;
            break;
        }
        pollfd waiting{fd, POLLOUT, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(poll_slice.count()));
        if (ready > 0) {
            socklen_t length = sizeof(outcome);
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &outcome, &length);
        } else if (ready < 0 && errno != EINTR) {
            outcome = errno;
        }
    }
    if (outcome != 0) {
        failure = connect_failure(port, what, outcome, connect_timeout_seconds);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, flags);
    return connection;
}

void RmiSocket::set_keep_alive(Connection& connection) {
    const int fd = connection.socket.native_handle();
    const int values[] = {keep_alive, keep_idle, keep_interval, keep_count};
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &values[0], sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &values[1], sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &values[2], sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &values[3], sizeof(int));
    // Every line is a whole request: send it at once rather than wait to
    // coalesce it with the next (a stop must not wait behind an ACK).
    const int no_delay = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof(int));
}

void RmiSocket::write_line(Connection& connection, const std::string& text) {
    // One lock around the whole line: a blocking write may take several
    // system calls, and two lines must never interleave on the wire.
    std::lock_guard lock(connection.write_mutex);
    boost::system::error_code error;
    asio::write(connection.socket, asio::buffer(text), error);
    if (error) {
        throw boost::system::system_error(error, "write");
    }
}

std::string RmiSocket::read_handshake_answer(Connection& connection, uint64_t generation, Clock::time_point deadline) {
    // The answer may arrive in pieces; wait for its terminator, bounded in
    // time so that a silent server cannot hold the monitor.
    const int fd = connection.socket.native_handle();
    std::string received;
    char buffer[4096];
    while (true) {
        const auto end = received.find("\r\n");
        if (end != std::string::npos) {
            return received.substr(0, end);
        }
        if (received.size() > receive_buffer_size) {
            throw NotRmi(received);
        }
        if (interrupted(generation)) {
            throw boost::system::system_error(asio::error::operation_aborted, "receive");
        }
        if (Clock::now() >= deadline) {
            // Bytes without a line end within the time: no RMI controller
            // answers like that.
            if (!is_blank(received)) throw NotRmi(received);
            throw boost::system::system_error(asio::error::timed_out, "receive");
        }
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(poll_slice.count()));
        if (ready < 0 && errno != EINTR) {
            throw boost::system::system_error(errno_code(errno), "receive");
        }
        if (ready <= 0) {
            continue;
        }
        const ssize_t count = ::recv(fd, buffer, sizeof(buffer), 0);
        if (count > 0) {
            received.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0) {
            if (!received.empty() && !is_blank(received)) {
                return received;  // closed right after an unterminated answer
            }
            throw boost::system::system_error(asio::error::eof, "receive");
        } else if (errno != EINTR && errno != EAGAIN) {
            throw boost::system::system_error(errno_code(errno), "receive");
        }
    }
}

std::string RmiSocket::failure_sentence(const std::string& text) const {
    return "Could not connect to FANUC RMI server at " + host + " port " + std::to_string(control_port) + ": " + text +
           ".";
}

bool RmiSocket::connect() {
    std::unique_lock lifecycle(lifecycle_mutex);
    uint64_t generation;
    {
        std::lock_guard lock(wake_mutex);
        generation = cancel_generation;
    }
    log::log_debug(tag, "Attempting to connect to RMI socket at '" + host + "' port " + std::to_string(control_port) +
                            ".");
    close_locked();

    RmiAttemptFailure failure;
    bool made = false;
    try {
        made = attempt_connection(generation, failure);
    } catch (const std::exception& error) {
        // Nothing is expected to throw past the steps' own handling; should
        // something, the attempt fails with its text rather than the monitor.
        failure = {"unexpected", "the connection failed (" + reason_of(error) + ")"};
    }
    note_step(nullptr);
    if (!made) {
        // An attempt cut short by disconnect() or destruction is no failure.
        if (failure.kind != "cancelled") note_failure(failure);
        return false;
    }
    note_success();
    {
        std::lock_guard lock(wake_mutex);  // no lost wake-up of the reader
    }
    state_changed.notify_all();
    return true;
}

bool RmiSocket::attempt_connection(uint64_t generation, RmiAttemptFailure& failure) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(connect_timeout_seconds.load()));
    const double seconds = connect_timeout_seconds;

    note_step(step_control);
    const auto control = open_connection(control_port, step_control, generation, deadline, failure);
    if (!control) return false;
    set_keep_alive(*control);

    note_step(step_handshake);
    std::string answer_line;
    try {
        write_line(*control, ConnectionRequest().as_string());
        answer_line = read_handshake_answer(*control, generation, deadline);
    } catch (const NotRmi& not_rmi) {
        failure = not_rmi_failure(not_rmi.received);
        return false;
    } catch (const boost::system::system_error& error) {
        failure = handshake_failure(error.code(), seconds);
        return false;
    }
    // The controller closes the control connection after its answer; so do we.
    control->shutdown();

    std::shared_ptr<ConnectionResponse> answer;
    try {
        answer = RmiResponse::as<ConnectionResponse>(RmiResponse::from_str(answer_line));
    } catch (const std::exception& error) {
        // What is wrong with an answer to FRC_Connect helps; a parser's view
        // of some other protocol's bytes does not.
        const bool connect_answer = dynamic_cast<const OrvaneError*>(&error) != nullptr &&
                                    answer_line.find("\"FRC_Connect\"") != std::string::npos;
        failure = not_rmi_failure(answer_line, connect_answer ? reason_of(error) : "");
        return false;
    }
    if (!answer->success) {
        // Seen while another client still holds the controller: worth retrying.
        failure = {"handshake refused",
                   "the controller refused FRC_Connect with error id " + std::to_string(answer->error_id) +
                       "; check that no other client is connected to it and that RMI is not in use"};
        return false;
    }
    if (answer->port_number < 1 || answer->port_number > 65535) {
        // Taken modulo 65536 it would name some other service's port.
        failure = {"handshake port",
                   "the controller's answer to FRC_Connect names data port " + std::to_string(answer->port_number) +
                       ", which is no TCP port; check that the server is an RMI controller",
                   true};
        return false;
    }

    note_step(step_data);
    const auto data = open_connection(static_cast<std::uint16_t>(answer->port_number), step_data, generation, deadline,
                                      failure);
    if (!data) return false;
    set_keep_alive(*data);
    // Nothing reads this connection yet: discard whatever it already holds.
    std::vector<char> discard(receive_buffer_size);
    boost::system::error_code error;
    while (true) {
        const auto available = data->socket.available(error);
        if (error || available == 0) break;
        data->socket.receive(asio::buffer(discard), 0, error);
        if (error) break;
    }
    if (error) {
        failure = {"data socket lost", "the data connection failed at once (" + error.message() + ")"};
        return false;
    }

    log::log_debug(tag, "Successfully connected to RMI server at '" + host + "'.");
    major_version = answer->major_version;
    {
        std::lock_guard lock(connection_mutex);
        data_connection = data;
        ++connection_serial;
        connected = true;
    }
    return true;
}

void RmiSocket::close_sockets() {
    {
        std::lock_guard lifecycle(lifecycle_mutex);
        close_locked();
    }
    notify_listener();
}

void RmiSocket::close_locked() {
    if (connected) {
        try {
            DisconnectionRequest request;
            auto answer = send_message(request, 1.0);
            answer.wait_for(1s);
        } catch (const std::exception&) {
            // The link is being torn down either way.
        }
    }
    // Bytes the controller still sends after its answer are consumed and
    // dropped by the reader until the shutdown below wakes it.
    ConnectionPtr data;
    {
        std::lock_guard lock(connection_mutex);
        data = std::move(data_connection);
        data_connection.reset();
        connected = false;
    }
    if (data) {
        data->shutdown();
    }
    clear_all_promises(rmi_socket_closed_message);
    log::log_debug(tag, "RMI Sockets are successfully closed and cleared.");
}

}  // namespace orvane::drivers
