#include "orvane/drivers/fanuc/stream_motion_udp.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers::stream_motion {

namespace {

constexpr int flags_nonblocking = MSG_DONTWAIT | MSG_NOSIGNAL;

timespec until(UdpEndpoint::Clock::time_point deadline) {
    const auto left = deadline - UdpEndpoint::Clock::now();
    if (left <= UdpEndpoint::Clock::duration::zero()) return timespec{0, 0};
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

std::string join_host_port(const std::string& host, std::uint16_t port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace

UdpEndpoint::UdpEndpoint(const std::string& host, std::uint16_t port) : peer_name(join_host_port(host, port)) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* found = nullptr;
    const int resolved = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (resolved != 0) {
        throw OrvaneError("driver.fanuc", "Stream Motion: cannot resolve the controller's host '" + host +
                                              "': " + gai_strerror(resolved));
    }
    int last_error = 0;
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                address->ai_protocol);
        if (fd < 0) {
            last_error = errno;
            continue;
        }
        if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
            last_error = errno;
            ::close(fd);
            continue;
        }
        socket_fd = fd;
        break;
    }
    ::freeaddrinfo(found);
    if (socket_fd < 0) {
        throw OrvaneError("driver.fanuc", "Stream Motion: no UDP socket to " + peer_name + ": " +
                                              std::system_category().message(last_error));
    }
    sockaddr_storage own{};
    socklen_t own_size = sizeof own;
    if (::getsockname(socket_fd, reinterpret_cast<sockaddr*>(&own), &own_size) == 0) {
        local = ntohs(own.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&own)->sin6_port
                                                : reinterpret_cast<sockaddr_in*>(&own)->sin_port);
    }
    wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd < 0) {
        const int error = errno;
        ::close(socket_fd);
        throw OrvaneError("driver.fanuc",
                          "Stream Motion: no wake-up descriptor: " + std::system_category().message(error));
    }
}

UdpEndpoint::~UdpEndpoint() {
    ::close(socket_fd);
    ::close(wake_fd);
}

void UdpEndpoint::close() noexcept {
    if (closed.exchange(true, std::memory_order_acq_rel)) return;
    const std::uint64_t one = 1;
    // Level-triggered: the count stays readable, so every later wait sees it too.
    [[maybe_unused]] const auto written = ::write(wake_fd, &one, sizeof one);
}

UdpEndpoint::Transfer UdpEndpoint::fail(int error_number) noexcept {
    if (error_number == ECONNREFUSED) return Transfer{Outcome::refused, 0, error_number};
    return Transfer{Outcome::failed, 0, error_number};
}

UdpEndpoint::Transfer UdpEndpoint::wait(short fd_events, Clock::time_point deadline) noexcept {
    pollfd watched[2] = {{socket_fd, fd_events, 0}, {wake_fd, POLLIN, 0}};
    for (;;) {
        if (is_closed()) return Transfer{Outcome::closed, 0, 0};
        const timespec timeout = until(deadline);
        const int ready = ::ppoll(watched, 2, &timeout, nullptr);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return fail(errno);
        }
        if (watched[1].revents != 0 || is_closed()) return Transfer{Outcome::closed, 0, 0};
        // An error or hang-up condition is read out by the next send or receive.
        if (watched[0].revents != 0) return Transfer{Outcome::ok, 0, 0};
        if (Clock::now() >= deadline) return Transfer{Outcome::timed_out, 0, 0};
    }
}

UdpEndpoint::Transfer UdpEndpoint::send(std::span<const std::uint8_t> datagram, Clock::time_point deadline) noexcept {
    for (;;) {
        if (is_closed()) return Transfer{Outcome::closed, 0, 0};
        const auto sent = ::send(socket_fd, datagram.data(), datagram.size(), flags_nonblocking);
        if (sent >= 0) return Transfer{Outcome::ok, static_cast<std::size_t>(sent), 0};
        const int error = errno;
        if (error == EINTR) continue;
        if (error != EAGAIN && error != EWOULDBLOCK) return fail(error);
        if (const auto waited = wait(POLLOUT, deadline); !waited.ok()) return waited;
    }
}

UdpEndpoint::Transfer UdpEndpoint::receive(std::span<std::uint8_t> buffer, Clock::time_point deadline) noexcept {
    for (;;) {
        if (is_closed()) return Transfer{Outcome::closed, 0, 0};
        // MSG_TRUNC reports a datagram's true length, so an oversized one is
        // refused instead of read cut short.
        const auto received = ::recv(socket_fd, buffer.data(), buffer.size(), flags_nonblocking | MSG_TRUNC);
        if (received >= 0) {
            const auto size = static_cast<std::size_t>(received);
            if (size > buffer.size()) return Transfer{Outcome::too_large, size, 0};
            return Transfer{Outcome::ok, size, 0};
        }
        const int error = errno;
        if (error == EINTR) continue;
        if (error != EAGAIN && error != EWOULDBLOCK) return fail(error);
        if (const auto waited = wait(POLLIN, deadline); !waited.ok()) return waited;
    }
}

std::size_t UdpEndpoint::discard_pending() noexcept {
    std::size_t dropped = 0;
    std::uint8_t sink[1];
    for (int errors = 0; errors < 4;) {
        if (is_closed()) return dropped;
        const auto received = ::recv(socket_fd, sink, sizeof sink, flags_nonblocking | MSG_TRUNC);
        if (received >= 0) {
            ++dropped;
            continue;
        }
        if (errno == EINTR) continue;
        // EAGAIN: nothing left. A pending error (a refused earlier datagram)
        // is consumed by this call, which is what a fresh start wants.
        if (errno == EAGAIN || errno == EWOULDBLOCK) return dropped;
        ++errors;
    }
    return dropped;
}

std::string UdpEndpoint::describe(const Transfer& transfer) const {
    switch (transfer.outcome) {
        case Outcome::ok:
            return "Stream Motion datagram of " + std::to_string(transfer.size) + " bytes with " + peer_name;
        case Outcome::timed_out: return "no Stream Motion datagram from " + peer_name + " before the deadline";
        case Outcome::closed: return "the Stream Motion link to " + peer_name + " was closed";
        case Outcome::refused:
            return "nothing listens on Stream Motion at " + peer_name +
                   " (port unreachable: is the controller's Stream Motion option installed?)";
        case Outcome::too_large:
            return "a datagram of " + std::to_string(transfer.size) + " bytes from " + peer_name +
                   ", larger than any Stream Motion packet";
        case Outcome::failed:
            return "the Stream Motion link to " + peer_name + " failed: " +
                   std::system_category().message(transfer.error_number);
    }
    return "the Stream Motion link to " + peer_name + " failed";
}

}  // namespace orvane::drivers::stream_motion
