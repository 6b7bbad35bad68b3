#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace orvane::drivers::stream_motion {

/// The controller's Stream Motion port.
inline constexpr std::uint16_t default_port = 60015;

/// One connected UDP socket to a controller's Stream Motion port.
///
/// Connected, so the kernel passes on only the controller's datagrams and the
/// controller answers to this socket's own (ephemeral) port. Sending and
/// receiving take a deadline, never allocate and take no lock, so a control
/// loop may use them every period. close() may be called from any thread: it
/// wakes a receive that is waiting and makes every later call return
/// `closed`; the descriptor itself is released only by the destructor, so
/// no thread ever touches a closed or reused one.
class UdpEndpoint {
public:
    using Clock = std::chrono::steady_clock;

    enum class Outcome : std::uint8_t {
        ok,
        timed_out,  ///< the deadline passed first
        closed,     ///< close() was called
        refused,    ///< the controller's host reported the port unreachable
        too_large,  ///< a received datagram did not fit the buffer (its bytes are dropped)
        failed,     ///< any other socket error (`error_number`)
    };

    struct Transfer {
        Outcome outcome{Outcome::failed};
        std::size_t size{0};  ///< bytes of the datagram (received or sent)
        int error_number{0};

        bool ok() const noexcept { return outcome == Outcome::ok; }
    };

    /// Resolves `host` (a name or an IPv4/IPv6 address) and connects.
    /// Throws OrvaneError when the host cannot be resolved or no socket can
    /// be made.
    explicit UdpEndpoint(const std::string& host, std::uint16_t port = default_port);
    ~UdpEndpoint();
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    /// Sends one datagram, waiting until `deadline` for room in the socket's
    /// buffer.
    Transfer send(std::span<const std::uint8_t> datagram, Clock::time_point deadline) noexcept;

    /// Receives one datagram into `buffer`, waiting until `deadline`.
    Transfer receive(std::span<std::uint8_t> buffer, Clock::time_point deadline) noexcept;

    /// Drops every datagram already received; returns how many.
    std::size_t discard_pending() noexcept;

    /// Ends the endpoint's use (any thread; idempotent).
    void close() noexcept;
    bool is_closed() const noexcept { return closed.load(std::memory_order_acquire); }

    /// "host:port" of the controller, as given.
    const std::string& peer() const noexcept { return peer_name; }
    /// The local port the controller answers to.
    std::uint16_t local_port() const noexcept { return local; }

    /// Words for a log line or an error: what went wrong with `transfer`.
    std::string describe(const Transfer& transfer) const;

private:
    Transfer fail(int error_number) noexcept;
    /// Waits until `fd_events` are ready on the socket (ok), the deadline or close().
    Transfer wait(short fd_events, Clock::time_point deadline) noexcept;

    int socket_fd{-1};
    /// Made readable by close() to wake a waiting receive.
    int wake_fd{-1};
    std::atomic<bool> closed{false};
    std::string peer_name;
    std::uint16_t local{0};
};

}  // namespace orvane::drivers::stream_motion
