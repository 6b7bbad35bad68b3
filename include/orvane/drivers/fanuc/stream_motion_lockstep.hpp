#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "orvane/drivers/fanuc/stream_motion_axes.hpp"
#include "orvane/drivers/fanuc/stream_motion_packets.hpp"
#include "orvane/drivers/result.hpp"

namespace orvane::drivers::stream_motion {

/// One status of the controller, decoded for the driver.
struct StreamStatus {
    std::uint32_t sequence_no{0};
    std::uint32_t version{0};
    bool v1_layout{false};

    // Status bits.
    bool ready{false};             ///< bit 0: commands are taken (the controller's program waits for them)
    bool command_received{false};  ///< bit 1
    bool system_ready{false};      ///< bit 2
    bool in_motion{false};         ///< bit 3

    // Robot status bits (not reported in version 1).
    bool in_error{false};
    bool tp_enabled{false};
    bool e_stopped{false};
    std::uint8_t contact_stop_status{0};  ///< 0 none, 1 safe, 2 stop, 3 disabled, 4 escape

    std::uint32_t time_stamp{0};             ///< ms on the controller's clock
    std::array<double, max_axes> joints{};   ///< radians (metres for linear axes)
    std::array<double, max_axes> currents{};  ///< motor currents as reported
    /// X, Y, Z (m) and W, P, R (rad) of the faceplate, unless the controller
    /// was told to report the TCP.
    std::array<double, 6> pose{};
    double safety_scale{1.0};
    bool has_force{false};
    std::array<double, 6> force{};  ///< Fx Fy Fz (N), Mx My Mz (Nm)
    std::uint32_t fs_type{0};
    /// The joints exactly as reported (degrees, mm), for a command that must
    /// hold the arm exactly where it is.
    std::array<float, max_axes> wire_joints{};
    std::array<std::uint8_t, io_array_size> io_status{};
};

/// What in a status forbids streaming motion, most severe first.
enum class StatusFault : std::uint8_t { none, e_stopped, tp_enabled, in_error, not_ready };
StatusFault fault_of(const StreamStatus& status) noexcept;
std::string_view describe(StatusFault fault) noexcept;
/// The outcome a motion ended by `fault` reports.
const Result& result_of(StatusFault fault) noexcept;

/// Counts kept since the last restart.
struct LockstepCounters {
    std::uint64_t statuses{0};   ///< fresh statuses taken
    std::uint64_t skipped{0};    ///< status numbers never received
    std::uint64_t repeated{0};   ///< a status number received again
    std::uint64_t stale{0};      ///< a status older than the newest
    std::uint64_t malformed{0};  ///< datagrams refused by the decoder
    std::uint64_t commands{0};   ///< commands encoded
    std::uint64_t filled{0};     ///< of those, commands for numbers that were never answered
};

struct CommandFlags {
    /// Motion is commanded (do_motn_ctrl); false streams I/O only.
    bool motion{true};
    /// Ends the stream (is_last_command).
    bool last{false};
};

/// The one-command-per-status rule of a session, without allocating or
/// locking, for a loop that answers every period.
///
/// Each command carries the number of the status it answers. Command numbers
/// stay contiguous: when status numbers were skipped (lost on the way, or
/// left unanswered), the numbers in between are owed too and answered first,
/// up to `max_fill` of them; a longer gap is only counted. A status number
/// seen before, or older than the newest, is not answered again.
///
/// Commands use the version-3 layout at the session's version, or the
/// version-1 layout at the status's own version when the controller sends
/// version-1 statuses.
class Lockstep {
public:
    static constexpr std::uint32_t max_fill = 3;

    enum class Reception : std::uint8_t {
        fresh,       ///< a new status: commands are owed for it
        repeated,    ///< its number was answered already
        stale,       ///< older than the newest status
        malformed,   ///< refused by the decoder (decode_error() says why)
        not_status,  ///< another controller packet (a late answer)
    };

    explicit Lockstep(AxisUnits units) noexcept;

    /// A new Start: numbering begins afresh at the next status; counters are reset.
    void restart(std::uint32_t version) noexcept;

    /// Takes one datagram; a fresh status is decoded into `status` (left
    /// untouched otherwise).
    Reception receive(std::span<const std::uint8_t> datagram, StreamStatus& status) noexcept;
    DecodeError decode_error() const noexcept { return last_decode_error; }

    /// Commands owed for the newest status, fillers first.
    std::uint32_t due() const noexcept { return owed; }
    /// The number the next owed command carries.
    std::uint32_t next_sequence_no() const noexcept { return next_number; }

    /// Encodes the next owed command at `position` (driver units, one value
    /// per streamed axis; axes beyond them hold what the status reports).
    /// Returns the bytes to send, empty when nothing is owed or `position`
    /// has too few values or a streamed one that is not finite (in the layout's precision).
    std::span<const std::uint8_t> answer(std::span<const double> position, CommandFlags flags) noexcept;
    /// Encodes the next owed command at the joints the newest status reports,
    /// exactly as reported.
    std::span<const std::uint8_t> answer_holding(CommandFlags flags) noexcept;

    /// The I/O array every version-3 command carries (see IoLayout).
    std::array<std::uint8_t, io_array_size>& io_command() noexcept { return io; }

    const LockstepCounters& counters() const noexcept { return count; }
    const AxisUnits& units() const noexcept { return axis_units; }
    std::uint32_t version() const noexcept { return session_version; }

private:
    std::span<const std::uint8_t> encode_owed(const std::array<double, max_axes>& wire_position,
                                              CommandFlags flags) noexcept;

    AxisUnits axis_units;
    std::uint32_t session_version{3};
    LockstepCounters count;
    DecodeError last_decode_error{DecodeError::wrong_size};

    bool have_status{false};
    bool have_answered{false};
    std::uint32_t newest_status{0};
    std::uint32_t last_answered{0};
    std::uint32_t next_number{0};
    std::uint32_t owed{0};
    // Of the newest status: the layout and version to answer in, and the joints.
    bool answer_v1{false};
    std::uint32_t answer_version{3};
    std::array<float, max_axes> status_joints{};

    std::array<std::uint8_t, io_array_size> io{};
    std::array<std::uint8_t, CommandPacket::size> buffer{};
    // The datagram last decoded (kept here, not on the loop's stack).
    ControllerPacket packet;
};

}  // namespace orvane::drivers::stream_motion
