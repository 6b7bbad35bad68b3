#include "orvane/drivers/fanuc/stream_motion_lockstep.hpp"

#include <algorithm>
#include <cmath>
#include <variant>

namespace orvane::drivers::stream_motion {

namespace {

constexpr std::uint8_t bit(unsigned n) { return static_cast<std::uint8_t>(1U << n); }

// Status numbers wrap at 2^32: a number is newer when it lies less than half
// the circle ahead.
constexpr std::uint32_t half_circle = 0x8000'0000U;

template <typename Status>
void copy_common(const Status& packet, const AxisUnits& units, StreamStatus& status) {
    status.sequence_no = packet.sequence_no;
    status.version = packet.version;
    status.ready = (packet.status & bit(0)) != 0;
    status.command_received = (packet.status & bit(1)) != 0;
    status.system_ready = (packet.status & bit(2)) != 0;
    status.in_motion = (packet.status & bit(3)) != 0;
    status.time_stamp = packet.time_stamp;
    status.wire_joints = packet.joint_angle;
    for (std::size_t axis = 0; axis < max_axes; ++axis) {
        status.joints[axis] = units.from_wire(axis, packet.joint_angle[axis]);
        status.currents[axis] = packet.current[axis];
    }
    for (std::size_t i = 0; i < 3; ++i) {
        status.pose[i] = packet.position[i] / 1000.0;
        status.pose[i + 3] = packet.position[i + 3] / AxisUnits::degrees_per_radian;
    }
}

}  // namespace

StatusFault fault_of(const StreamStatus& status) noexcept {
    if (status.e_stopped) return StatusFault::e_stopped;
    if (status.tp_enabled) return StatusFault::tp_enabled;
    if (status.in_error) return StatusFault::in_error;
    if (!status.ready) return StatusFault::not_ready;
    return StatusFault::none;
}

std::string_view describe(StatusFault fault) noexcept {
    switch (fault) {
        case StatusFault::none: return "ready for commands";
        case StatusFault::e_stopped: return "the controller reports an E-stop";
        case StatusFault::tp_enabled: return "the controller's teach pendant is enabled";
        case StatusFault::in_error: return "the controller reports an alarm";
        case StatusFault::not_ready: return "the controller no longer takes commands (its Stream Motion program ended)";
    }
    return "unknown";
}

const Result& result_of(StatusFault fault) noexcept {
    switch (fault) {
        case StatusFault::none: return Result::Success;
        case StatusFault::e_stopped: return Result::ErrorControllerEStopActive;
        case StatusFault::tp_enabled: return Result::ErrorControllerNotInAutoMode;
        case StatusFault::in_error: return Result::ErrorControllerAlarmActive;
        case StatusFault::not_ready: return Result::ErrorControllerProgramStopped;
    }
    return Result::ErrorController;
}

Lockstep::Lockstep(AxisUnits units) noexcept : axis_units(units) {}

void Lockstep::restart(std::uint32_t version) noexcept {
    session_version = version;
    count = LockstepCounters{};
    have_status = false;
    have_answered = false;
    owed = 0;
    answer_v1 = version == 1;
    answer_version = version;
}

Lockstep::Reception Lockstep::receive(std::span<const std::uint8_t> datagram, StreamStatus& status) noexcept {
    if (auto error = decode_controller_packet(datagram, packet)) {
        last_decode_error = *error;
        ++count.malformed;
        return Reception::malformed;
    }
    const auto* v3 = std::get_if<StatusPacket>(&packet);
    const auto* v1 = std::get_if<StatusV1Packet>(&packet);
    if (v3 == nullptr && v1 == nullptr) return Reception::not_status;
    const std::uint32_t number = v3 ? v3->sequence_no : v1->sequence_no;

    if (have_status) {
        const std::uint32_t ahead = number - newest_status;
        if (ahead == 0) {
            ++count.repeated;
            return Reception::repeated;
        }
        if (ahead >= half_circle) {
            ++count.stale;
            return Reception::stale;
        }
        count.skipped += ahead - 1;
    }
    have_status = true;
    newest_status = number;
    ++count.statuses;

    // Owed: every number after the last answered one, unless the gap is too
    // long to make up for.
    const std::uint32_t unanswered = have_answered ? number - last_answered - 1 : 0;
    if (unanswered > 0 && unanswered <= max_fill) {
        owed = unanswered + 1;
        next_number = last_answered + 1;
    } else {
        owed = 1;
        next_number = number;
    }

    status = StreamStatus{};
    if (v3) {
        copy_common(*v3, axis_units, status);
        status.in_error = (v3->robot_status & bit(0)) != 0;
        status.tp_enabled = (v3->robot_status & bit(1)) != 0;
        status.e_stopped = (v3->robot_status & bit(2)) != 0;
        status.contact_stop_status = v3->contact_stop_status;
        status.safety_scale = v3->safety_scale;
        status.has_force = v3->with_force;
        std::copy(v3->force.begin(), v3->force.end(), status.force.begin());
        status.fs_type = v3->fs_type;
        status.io_status = v3->io_status;
        answer_v1 = false;
        answer_version = session_version;
    } else {
        copy_common(*v1, axis_units, status);
        status.v1_layout = true;
        answer_v1 = true;
        answer_version = v1->version;
    }
    status_joints = status.wire_joints;
    return Reception::fresh;
}

std::span<const std::uint8_t> Lockstep::answer(std::span<const double> position, CommandFlags flags) noexcept {
    if (position.size() < axis_units.count) return {};
    std::array<double, max_axes> wire{};
    for (std::size_t axis = 0; axis < max_axes; ++axis) {
        if (axis >= axis_units.count) {
            wire[axis] = status_joints[axis];  // held as reported
            continue;
        }
        wire[axis] = axis_units.to_wire(axis, position[axis]);
        // A NaN or an infinity would reach the servos as whatever the
        // controller makes of it; a version-1 command's float must hold it too.
        if (!std::isfinite(wire[axis]) || (answer_v1 && !std::isfinite(static_cast<float>(wire[axis])))) return {};
    }
    return encode_owed(wire, flags);
}

std::span<const std::uint8_t> Lockstep::answer_holding(CommandFlags flags) noexcept {
    std::array<double, max_axes> wire{};
    std::copy(status_joints.begin(), status_joints.end(), wire.begin());
    return encode_owed(wire, flags);
}

std::span<const std::uint8_t> Lockstep::encode_owed(const std::array<double, max_axes>& wire,
                                                    CommandFlags flags) noexcept {
    if (owed == 0) return {};
    std::size_t size = 0;
    if (answer_v1) {
        CommandV1Packet packet{.version = answer_version, .sequence_no = next_number, .is_last_command = flags.last};
        for (std::size_t axis = 0; axis < max_axes; ++axis) packet.position[axis] = static_cast<float>(wire[axis]);
        size = encode(packet, buffer);
    } else {
        CommandPacket packet{.version = answer_version,
                             .sequence_no = next_number,
                             .is_last_command = flags.last,
                             .do_motion_control = flags.motion,
                             .position = wire,
                             .io_command = io};
        size = encode(packet, buffer);
    }
    if (next_number != newest_status) ++count.filled;
    ++count.commands;
    have_answered = true;
    last_answered = next_number;
    ++next_number;
    --owed;
    return std::span<const std::uint8_t>(buffer.data(), size);
}

}  // namespace orvane::drivers::stream_motion
