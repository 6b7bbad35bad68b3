#pragma once

// The socket's connection, behind RmiSocket: Boost.Asio stays out of the
// public headers, so a user's build never parses it.

#include <mutex>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "orvane/drivers/fanuc/rmi_socket.hpp"

namespace orvane::drivers {

/// Health probe of a connected socket: false when the peer closed it or it
/// carries a fatal pending error.
bool is_socket_connected(boost::asio::ip::tcp::socket& socket);
bool is_socket_connected(int native_handle);

/// What the waiters of requests learn when the link closes under them.
inline constexpr const char* rmi_socket_closed_message = "RMI Socket was closed before a response was received.";

/// Why a connection attempt failed: `kind` names the step and the outcome
/// (a retrying monitor logs each kind once), `text` what happened and what
/// to check, `final` that a retry cannot help.
struct RmiAttemptFailure {
    std::string kind;
    std::string text;
    bool final{false};
};

/// The failure of an attempt whose time ran out at `step` ("control",
/// "handshake", "data"; null when none was under way).
RmiAttemptFailure attempt_timed_out(const char* step, double seconds);

// One TCP connection. Its descriptor is closed only when the last holder
// lets go, so a thread blocked on it is woken by a shutdown and never
// touches a closed or reused descriptor.
struct RmiSocket::Connection {
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket{io};
    std::mutex write_mutex;
    void shutdown() noexcept;
};

}  // namespace orvane::drivers
