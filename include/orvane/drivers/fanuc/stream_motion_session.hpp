#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "orvane/drivers/fanuc/stream_motion_io.hpp"
#include "orvane/drivers/fanuc/stream_motion_limits.hpp"
#include "orvane/drivers/fanuc/stream_motion_lockstep.hpp"
#include "orvane/drivers/fanuc/stream_motion_packets.hpp"
#include "orvane/drivers/fanuc/stream_motion_udp.hpp"
#include "orvane/drivers/result.hpp"

namespace orvane::drivers::stream_motion {

/// How a session is brought up and ended.
struct SessionSettings {
    /// I/O blocks exchanged with every command and status; none when empty.
    std::vector<GpioEntry> gpio;
    /// Force-sensor configuration, sent after Start when the controller speaks version 4.
    std::uint32_t force_sensor_type{0};
    bool reset_force_sensor{false};

    /// How long one request waits for its answer before it is sent again,
    /// and how often it is sent at most. UDP may drop either datagram.
    std::chrono::milliseconds answer_timeout{100};
    unsigned attempts{5};
    /// How long after Start the controller may take to raise bit 0.
    std::chrono::milliseconds ready_timeout{2000};
    /// How long bit 0, once risen, is watched before the session counts as
    /// ready (0: not at all). A program called while an earlier instance of
    /// it was still live loses bit 0 once, about a second in; the wait sees
    /// that drop through (and bit 0 back) before any motion is commanded.
    std::chrono::milliseconds ready_settle{0};
    /// How long after the last command the controller may take to end its motion (bit 3).
    std::chrono::milliseconds motion_end_timeout{1000};
    /// After Stop: statuses arriving within `stop_settle` were already on the
    /// way; one arriving in the `stop_quiet` after that means the Stop was lost.
    std::chrono::milliseconds stop_settle{40};
    std::chrono::milliseconds stop_quiet{60};
};

/// What a session was brought up with.
struct SessionInfo {
    /// The version the controller offered, and the one spoken (the offered
    /// one, or the newest this driver knows when the controller offers more).
    std::uint32_t offered_version{0};
    std::uint32_t version{0};
    /// The controller's interpolation period.
    std::chrono::milliseconds period{0};
    std::uint32_t start_move{0};
    ThresholdTables limits;
    IoLayout io;
    /// The controller's answer to the I/O configuration, when one was sent.
    std::optional<GpioResultPacket> gpio_result;
    /// The status that showed bit 0 (already answered).
    StreamStatus ready_status;
    /// Requests sent again because an answer did not come in time.
    unsigned resent{0};
};

/// Why a step of a session failed.
struct SessionFailure {
    enum class Step : std::uint8_t { stop, capability, thresholds, gpio, start, ready, end };
    Step step{Step::stop};
    Result result{Result::Error};
    std::string reason;
};
std::string_view describe(SessionFailure::Step step) noexcept;

/// Brings a Stream Motion session up and ends it, over an endpoint and a
/// lockstep the caller owns (the caller's loop goes on with both).
///
/// The RMI part (the controller's program started with FRC_Call before the
/// bring-up) is the driver's. Every step has a deadline; requests whose
/// answer does not come are sent again; a failure after Start sends Stop, so
/// the controller is never left streaming.
class Session {
public:
    Session(UdpEndpoint& endpoint, Lockstep& lockstep, SessionSettings settings);

    /// A defensive Stop, Get capability (adopting the controller's version
    /// and period), the threshold tables of every axis streamed, the I/O
    /// configuration if any, Start (and the force-sensor configuration in
    /// version 4), then statuses answered without motion until bit 0 rises.
    std::expected<SessionInfo, SessionFailure> bring_up();

    /// Answers the next status with the last command at `last_position`
    /// (driver units; empty: where the status reports the arm), waits for the
    /// motion to end (bit 3), then stops. The first failure is reported, but
    /// every step is tried.
    std::expected<void, SessionFailure> end(std::span<const double> last_position);

    /// Sends Stop until the controller's statuses cease.
    std::expected<void, SessionFailure> stop();

    const SessionSettings& settings() const noexcept { return config; }

private:
    using Clock = UdpEndpoint::Clock;

    /// What waiting for the controller came to.
    enum class Heard : std::uint8_t { datagram, timed_out, refused, lost };
    /// One whole datagram into `inbox` (oversized ones are passed over);
    /// `lost` leaves the closed or failed transfer in `problem`.
    Heard hear(Clock::time_point deadline, std::size_t& size, UdpEndpoint::Transfer& problem);
    /// Datagrams until a fresh status, decoded into `status` (its commands owed in the lockstep).
    Heard hear_status(Clock::time_point deadline, StreamStatus& status, UdpEndpoint::Transfer& problem);

    /// Sends `request` until a datagram for which `accept` returns true
    /// arrives; the failure names `what` and the `step`.
    template <typename Accept>
    std::expected<ControllerPacket, SessionFailure> exchange(std::span<const std::uint8_t> request, Accept accept,
                                                             SessionFailure::Step step, const std::string& what);

    std::expected<void, SessionFailure> send(std::span<const std::uint8_t> datagram, SessionFailure::Step step,
                                             const std::string& what);
    std::expected<CapabilityPacket, SessionFailure> ask_capability(SessionInfo& info);
    std::expected<void, SessionFailure> read_thresholds(SessionInfo& info);
    std::expected<void, SessionFailure> configure_io(SessionInfo& info);
    std::expected<void, SessionFailure> start_and_wait_ready(SessionInfo& info);
    /// Sends Start, and the force-sensor configuration in version 4.
    std::expected<void, SessionFailure> send_start();
    /// A failure after Start: stops the controller's stream first.
    SessionFailure stopped_with(SessionFailure failure);
    SessionFailure link_failure(SessionFailure::Step step, const std::string& what,
                                const UdpEndpoint::Transfer& transfer) const;

    UdpEndpoint& link;
    Lockstep& steps;
    SessionSettings config;
    std::uint32_t version{3};
    unsigned resent{0};
    std::array<std::uint8_t, max_packet_size + 1> inbox{};
    std::array<std::uint8_t, max_packet_size> outbox{};
};

}  // namespace orvane::drivers::stream_motion
