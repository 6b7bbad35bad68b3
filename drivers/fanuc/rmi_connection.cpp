// RmiSocket: one connection attempt (the control port's handshake, then the
// data port), writing lines, and closing the link.
#include <cerrno>
#include <cstring>
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

}  // namespace

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

RmiSocket::ConnectionPtr RmiSocket::open_connection(const std::string& service, uint64_t generation,
                                                    boost::system::error_code& error) {
    auto connection = std::make_shared<Connection>();
    tcp::resolver resolver(connection->io);
    auto endpoints = resolver.resolve(host, service, error);
    if (error) {
        return nullptr;
    }
    if (endpoints.empty()) {
        error = asio::error::host_not_found;
        return nullptr;
    }
    const tcp::endpoint endpoint = *endpoints.begin();
    connection->socket.open(endpoint.protocol(), error);
    if (error) {
        return nullptr;
    }

    // A connect bounded in time and interruptible: an unreachable controller
    // must not hold the monitor (and so the destructor) for the kernel's
    // two minutes.
    const int fd = connection->socket.native_handle();
    const int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    if (::connect(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0) {
        if (errno != EINPROGRESS) {
            error = errno_code(errno);
            return nullptr;
        }
        const auto deadline = Clock::now() + connect_timeout;
        while (true) {
            if (interrupted(generation)) {
                error = asio::error::operation_aborted;
                return nullptr;
            }
            if (Clock::now() >= deadline) {
                error = asio::error::timed_out;
                return nullptr;
            }
            pollfd waiting{fd, POLLOUT, 0};
            const int ready = ::poll(&waiting, 1, static_cast<int>(poll_slice.count()));
            if (ready > 0) {
                break;
            }
            if (ready < 0 && errno != EINTR) {
                error = errno_code(errno);
                return nullptr;
            }
        }
        int pending = 0;
        socklen_t length = sizeof(pending);
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length);
        if (pending != 0) {
            error = errno_code(pending);
            return nullptr;
        }
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

std::string RmiSocket::read_handshake_answer(Connection& connection, uint64_t generation) {
    // The answer may arrive in pieces; wait for its terminator, bounded in
    // time so that a silent server cannot hold the monitor.
    const int fd = connection.socket.native_handle();
    const auto deadline = Clock::now() + connect_timeout;
    std::string received;
    char buffer[4096];
    while (true) {
        const auto end = received.find("\r\n");
        if (end != std::string::npos) {
            return received.substr(0, end);
        }
        if (received.size() > receive_buffer_size) {
            throw OrvaneError("driver.fanuc", "RMI connection answer exceeds " +
                                                  std::to_string(receive_buffer_size) + " bytes");
        }
        if (interrupted(generation)) {
            throw boost::system::system_error(asio::error::operation_aborted, "receive");
        }
        if (Clock::now() >= deadline) {
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

bool RmiSocket::connect() {
    std::unique_lock lifecycle(lifecycle_mutex);
    uint64_t generation;
    {
        std::lock_guard lock(wake_mutex);
        generation = cancel_generation;
    }
    log::log_debug(tag, "Attempting to connect to RMI socket at '" + host + "'.");
    close_locked();

    // Each step names itself, so that a failure says where it happened and a
    // monitor retrying the same failure logs it once.
    const char* step = "control socket";
    try {
        boost::system::error_code error;
        const auto control = open_connection(control_port, generation, error);
        if (!control) {
            // An attempt cut short by disconnect() or destruction is no failure.
            if (error != boost::asio::error::operation_aborted) {
                note_failure(step, "Could not start RMI comms with fanuc controller control socket: " +
                                       error.message());
            }
            return false;
        }
        set_keep_alive(*control);
        step = "handshake";
        ConnectionRequest request;
        write_line(*control, request.as_string());
        const auto answer_line = read_handshake_answer(*control, generation);
        // The controller closes the control connection after its answer; so do we.
        control->shutdown();

        step = "handshake answer";
        const auto answer = RmiResponse::as<ConnectionResponse>(RmiResponse::from_str(answer_line));
        if (!answer->success) {
            note_failure("handshake refused", "The controller refused FRC_Connect with error id " +
                                                  std::to_string(answer->error_id) + ".");
            return false;
        }
        if (answer->port_number < 1 || answer->port_number > 65535) {
            // Taken modulo 65536 it would name some other service's port.
            note_failure("handshake port", "The controller's answer to FRC_Connect names data port " +
                                               std::to_string(answer->port_number) + ", which is no TCP port.");
            return false;
        }

        step = "data socket";
        const auto data = open_connection(std::to_string(answer->port_number), generation, error);
        if (!data) {
            if (error != boost::asio::error::operation_aborted) {
                note_failure(step, "Could not start RMI comms with fanuc controller data socket: " + error.message());
            }
            return false;
        }
        set_keep_alive(*data);
        // Nothing reads this connection yet: discard whatever it already holds.
        std::vector<char> discard(receive_buffer_size);
        while (true) {
            const auto available = data->socket.available(error);
            if (error) {
                throw boost::system::system_error(error, "available");
            }
            if (available == 0) {
                break;
            }
            data->socket.receive(asio::buffer(discard), 0, error);
            if (error) {
                throw boost::system::system_error(error, "receive");
            }
        }

        log::log_debug(tag, "Successfully connected to RMI server at '" + host + "'.");
        note_success();
        major_version = answer->major_version;
        {
            std::lock_guard lock(connection_mutex);
            data_connection = data;
            ++connection_serial;
            connected = true;
        }
    } catch (const boost::system::system_error& failure) {
        if (failure.code() != asio::error::operation_aborted) {
            note_failure(step, std::string("The RMI connection failed at the ") + step + ": " + failure.what());
        }
        throw;
    } catch (const std::exception& failure) {
        note_failure(step, std::string("The RMI connection failed at the ") + step + ": " + reason_of(failure));
        throw;
    }
    {
        std::lock_guard lock(wake_mutex);  // no lost wake-up of the reader
    }
    state_changed.notify_all();
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
