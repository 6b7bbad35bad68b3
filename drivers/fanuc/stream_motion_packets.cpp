#include "orvane/drivers/fanuc/stream_motion_packets.hpp"

#include <bit>
#include <cstring>

namespace orvane::drivers::stream_motion {

namespace {

// --- big-endian scalars at fixed offsets -------------------------------------------
// Offsets are written out per field, as the layouts are documented, so that a
// reader can check each line against the packet's table.

void put_u8(std::span<std::uint8_t> out, std::size_t at, std::uint8_t value) { out[at] = value; }

void put_u16(std::span<std::uint8_t> out, std::size_t at, std::uint16_t value) {
    out[at] = static_cast<std::uint8_t>(value >> 8);
    out[at + 1] = static_cast<std::uint8_t>(value);
}

void put_u32(std::span<std::uint8_t> out, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

void put_u64(std::span<std::uint8_t> out, std::size_t at, std::uint64_t value) {
    for (std::size_t i = 0; i < 8; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (56 - 8 * i));
}

void put_f32(std::span<std::uint8_t> out, std::size_t at, float value) {
    put_u32(out, at, std::bit_cast<std::uint32_t>(value));
}

void put_f64(std::span<std::uint8_t> out, std::size_t at, double value) {
    put_u64(out, at, std::bit_cast<std::uint64_t>(value));
}

template <typename T, std::size_t N>
void put_f32s(std::span<std::uint8_t> out, std::size_t at, const std::array<T, N>& values) {
    for (std::size_t i = 0; i < N; ++i) put_f32(out, at + 4 * i, values[i]);
}

void put_bytes(std::span<std::uint8_t> out, std::size_t at, std::span<const std::uint8_t> bytes) {
    std::memcpy(out.data() + at, bytes.data(), bytes.size());
}

std::uint8_t get_u8(std::span<const std::uint8_t> in, std::size_t at) { return in[at]; }

std::uint16_t get_u16(std::span<const std::uint8_t> in, std::size_t at) {
    return static_cast<std::uint16_t>((in[at] << 8) | in[at + 1]);
}

std::uint32_t get_u32(std::span<const std::uint8_t> in, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | in[at + i];
    return value;
}

std::uint64_t get_u64(std::span<const std::uint8_t> in, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) value = (value << 8) | in[at + i];
    return value;
}

float get_f32(std::span<const std::uint8_t> in, std::size_t at) { return std::bit_cast<float>(get_u32(in, at)); }

double get_f64(std::span<const std::uint8_t> in, std::size_t at) { return std::bit_cast<double>(get_u64(in, at)); }

template <std::size_t N>
void get_f32s(std::span<const std::uint8_t> in, std::size_t at, std::array<float, N>& values) {
    for (std::size_t i = 0; i < N; ++i) values[i] = get_f32(in, at + 4 * i);
}

template <std::size_t N>
void get_bytes(std::span<const std::uint8_t> in, std::size_t at, std::array<std::uint8_t, N>& bytes) {
    std::memcpy(bytes.data(), in.data() + at, N);
}

// --- header checks ---------------------------------------------------------------

struct VersionRange {
    std::uint32_t lowest;
    std::uint32_t highest;
};
constexpr VersionRange v3_layout{3, newest_version};
constexpr VersionRange v4_only{4, newest_version};
constexpr VersionRange v1_layout{1, 3};
constexpr VersionRange any_known{1, newest_version};

// Size, then type, then version: the first mismatch is the reason given.
std::optional<DecodeError> check_header(std::span<const std::uint8_t> in, std::size_t size, std::uint32_t type,
                                        VersionRange versions) {
    if (in.size() != size) return DecodeError::wrong_size;
    if (get_u32(in, 0) != type) return DecodeError::wrong_type;
    const auto version = get_u32(in, 4);
    if (version < versions.lowest || version > versions.highest) return DecodeError::wrong_version;
    return std::nullopt;
}

bool is_limit_kind(std::uint32_t value) { return value <= static_cast<std::uint32_t>(LimitKind::jerk); }
bool is_axis(std::uint32_t value) { return value >= 1 && value <= max_axes; }

std::uint32_t start_type(std::uint32_t version) { return version == 1 ? packet_type::start_v1 : packet_type::start; }

}  // namespace

std::string_view describe(DecodeError error) noexcept {
    switch (error) {
        case DecodeError::wrong_size: return "a datagram of the wrong size";
        case DecodeError::wrong_type: return "a datagram of another packet type";
        case DecodeError::wrong_version: return "a datagram of an unexpected protocol version";
        case DecodeError::bad_field: return "a datagram with an impossible field value";
    }
    return "an unreadable datagram";
}

std::string_view describe(LimitKind kind) noexcept {
    switch (kind) {
        case LimitKind::velocity: return "velocity";
        case LimitKind::acceleration: return "acceleration";
        case LimitKind::jerk: return "jerk";
    }
    return "unknown limit";
}

// --- encoding ------------------------------------------------------------------------

std::size_t encode(const StartPacket& packet, std::span<std::uint8_t> out) noexcept {
    if (out.size() < StartPacket::size) return 0;
    put_u32(out, 0, start_type(packet.version));
    put_u32(out, 4, packet.version);
    return StartPacket::size;
}

std::size_t encode(const StopPacket& packet, std::span<std::uint8_t> out) noexcept {
    if (out.size() < StopPacket::size) return 0;
    put_u32(out, 0, packet_type::stop);
    put_u32(out, 4, packet.version);
    return StopPacket::size;
}

std::size_t encode(const ThresholdRequest& packet, std::span<std::uint8_t> out) noexcept {
    if (out.size() < ThresholdRequest::size) return 0;
    put_u32(out, 0, packet_type::threshold);
    put_u32(out, 4, packet.version);
    put_u32(out, 8, packet.axis);
    put_u32(out, 12, static_cast<std::uint32_t>(packet.kind));
    return ThresholdRequest::size;
}

std::size_t encode(const CapabilityPacket& packet, std::span<std::uint8_t> out) noexcept {
    if (out.size() < CapabilityPacket::size) return 0;
    put_u32(out, 0, packet.set ? packet_type::set_capability : packet_type::get_capability);
    put_u32(out, 4, packet.version);
    put_u32(out, 8, packet.id);
    put_u32(out, 12, packet.sampling_rate);
    put_u32(out, 16, packet.start_move);
    put_u32(out, 20, packet.available_version);
    put_u32(out, 24, packet.rob_status_use_tcp);
    return CapabilityPacket::size;
}

std::size_t encode(const GpioConfigPacket& packet, std::span<std::uint8_t> out) noexcept {
    if (out.size() < GpioConfigPacket::size) return 0;
    put_u32(out, 0, packet_type::gpio);
    put_u32(out, 4, packet.version);
    for (std::size_t i = 0; i < gpio_entries; ++i) {
        const auto& entry = packet.entries[i];
        const std::size_t at = 8 + 16 * i;
        put_u32(out, at, static_cast<std::uint32_t>(entry.use));
        put_u32(out, at + 4, static_cast<std::uint32_t>(entry.port));
        put_u32(out, at + 8, entry.start);
        put_u32(out, at + 12, entry.length);
    }
    return GpioConfigPacket::size;
}

std::size_t encode(const ForceSensorConfigPacket& packet, std::span<std::uint8_t> out) noexcept {
    if (out.size() < ForceSensorConfigPacket::size) return 0;
    put_u32(out, 0, packet_type::force_sensor_config);
    put_u32(out, 4, packet.version);
    put_u32(out, 8, packet.do_reset);
    put_u32(out, 12, packet.fs_type);
    return ForceSensorConfigPacket::size;
}

std::size_t encode(const CommandPacket& packet, std::span<std::uint8_t> out) noexcept {
    if (out.size() < CommandPacket::size) return 0;
    put_u32(out, 0, packet_type::command);
    put_u32(out, 4, packet.version);
    put_u32(out, 8, packet.sequence_no);
    put_u8(out, 12, packet.is_last_command ? 1 : 0);
    put_u8(out, 13, packet.do_motion_control ? 1 : 0);
    put_u16(out, 14, packet.data_style);
    for (std::size_t i = 0; i < max_axes; ++i) put_f64(out, 16 + 8 * i, packet.position[i]);
    put_bytes(out, 88, packet.io_command);
    return CommandPacket::size;
}

std::size_t encode(const CommandV1Packet& packet, std::span<std::uint8_t> out) noexcept {
    if (out.size() < CommandV1Packet::size) return 0;
    put_u32(out, 0, packet_type::command_v1);
    put_u32(out, 4, packet.version);
    put_u32(out, 8, packet.sequence_no);
    put_u8(out, 12, packet.is_last_command ? 1 : 0);
    put_u8(out, 13, packet.read_io_type);
    put_u16(out, 14, packet.read_io_index);
    put_u16(out, 16, packet.read_io_mask);
    put_u8(out, 18, packet.data_style);
    put_u8(out, 19, packet.write_io_type);
    put_u16(out, 20, packet.write_io_index);
    put_u16(out, 22, packet.write_io_mask);
    put_u16(out, 24, packet.write_io_value);
    put_u16(out, 26, 0);
    put_f32s(out, 28, packet.position);
    return CommandV1Packet::size;
}

std::size_t encode(const StatusPacket& packet, std::span<std::uint8_t> out) noexcept {
    const std::size_t size = packet.with_force ? StatusPacket::size_with_force : StatusPacket::size;
    if (out.size() < size) return 0;
    put_u32(out, 0, packet.with_force ? packet_type::status_with_force : packet_type::status);
    put_u32(out, 4, packet.version);
    put_u32(out, 8, packet.sequence_no);
    put_u8(out, 12, packet.status);
    put_u8(out, 13, packet.robot_status);
    put_u8(out, 14, packet.contact_stop_status);
    put_u8(out, 15, 0);
    put_u32(out, 16, packet.time_stamp);
    put_f32s(out, 20, packet.position);
    put_f32s(out, 56, packet.joint_angle);
    put_f32s(out, 92, packet.current);
    put_f32(out, 128, packet.safety_scale);
    if (packet.with_force) {
        put_f32s(out, 132, packet.force);
        put_u32(out, 156, packet.fs_type);
        put_bytes(out, 160, packet.io_status);
    } else {
        put_bytes(out, 132, packet.io_status);
    }
    return size;
}

std::size_t encode(const StatusV1Packet& packet, std::span<std::uint8_t> out) noexcept {
    if (out.size() < StatusV1Packet::size) return 0;
    put_u32(out, 0, packet_type::status_v1);
    put_u32(out, 4, packet.version);
    put_u32(out, 8, packet.sequence_no);
    put_u8(out, 12, packet.status);
    put_u8(out, 13, packet.read_io_type);
    put_u16(out, 14, packet.read_io_index);
    put_u16(out, 16, packet.read_io_mask);
    put_u16(out, 18, packet.read_io_value);
    put_u32(out, 20, packet.time_stamp);
    put_f32s(out, 24, packet.position);
    put_f32s(out, 60, packet.joint_angle);
    put_f32s(out, 96, packet.current);
    return StatusV1Packet::size;
}

std::size_t encode(const ThresholdAnswer& packet, std::span<std::uint8_t> out) noexcept {
    if (out.size() < ThresholdAnswer::size) return 0;
    put_u32(out, 0, packet_type::threshold);
    put_u32(out, 4, packet.version);
    put_u32(out, 8, packet.axis);
    put_u32(out, 12, static_cast<std::uint32_t>(packet.kind));
    put_u32(out, 16, packet.max_cartesian_speed);
    put_u32(out, 20, packet.interval);
    put_f32s(out, 24, packet.no_payload);
    put_f32s(out, 104, packet.full_payload);
    return ThresholdAnswer::size;
}

std::size_t encode(const GpioResultPacket& packet, std::span<std::uint8_t> out) noexcept {
    if (out.size() < GpioResultPacket::size) return 0;
    put_u32(out, 0, packet_type::gpio);
    put_u32(out, 4, packet.result);
    put_u32(out, 8, packet.ptf);
    return GpioResultPacket::size;
}

// --- decoding ------------------------------------------------------------------------
// Every check comes before the first write, so a refused datagram leaves the
// caller's packet as it was.

std::optional<DecodeError> decode(std::span<const std::uint8_t> in, StartPacket& packet) noexcept {
    // The two layouts differ only in the type, which tells the version range.
    const bool v1 = in.size() == StartPacket::size && get_u32(in, 0) == packet_type::start_v1;
    if (auto error = v1 ? check_header(in, StartPacket::size, packet_type::start_v1, v1_layout)
                        : check_header(in, StartPacket::size, packet_type::start, v3_layout)) {
        return error;
    }
    packet = StartPacket{.version = get_u32(in, 4)};
    return std::nullopt;
}

std::optional<DecodeError> decode(std::span<const std::uint8_t> in, StopPacket& packet) noexcept {
    if (auto error = check_header(in, StopPacket::size, packet_type::stop, any_known)) return error;
    packet = StopPacket{.version = get_u32(in, 4)};
    return std::nullopt;
}

std::optional<DecodeError> decode(std::span<const std::uint8_t> in, ThresholdRequest& packet) noexcept {
    if (auto error = check_header(in, ThresholdRequest::size, packet_type::threshold, any_known)) return error;
    if (!is_axis(get_u32(in, 8)) || !is_limit_kind(get_u32(in, 12))) return DecodeError::bad_field;
    packet = ThresholdRequest{
        .version = get_u32(in, 4), .axis = get_u32(in, 8), .kind = static_cast<LimitKind>(get_u32(in, 12))};
    return std::nullopt;
}

std::optional<DecodeError> decode(std::span<const std::uint8_t> in, CapabilityPacket& packet) noexcept {
    if (in.size() != CapabilityPacket::size) return DecodeError::wrong_size;
    const auto type = get_u32(in, 0);
    if (type != packet_type::get_capability && type != packet_type::set_capability) return DecodeError::wrong_type;
    if (get_u32(in, 4) == 0) return DecodeError::wrong_version;
    packet = CapabilityPacket{.set = type == packet_type::set_capability,
                              .version = get_u32(in, 4),
                              .id = get_u32(in, 8),
                              .sampling_rate = get_u32(in, 12),
                              .start_move = get_u32(in, 16),
                              .available_version = get_u32(in, 20),
                              .rob_status_use_tcp = get_u32(in, 24)};
    return std::nullopt;
}

std::optional<DecodeError> decode(std::span<const std::uint8_t> in, GpioConfigPacket& packet) noexcept {
    if (auto error = check_header(in, GpioConfigPacket::size, packet_type::gpio, v3_layout)) return error;
    packet.version = get_u32(in, 4);
    for (std::size_t i = 0; i < gpio_entries; ++i) {
        const std::size_t at = 8 + 16 * i;
        // Kept as sent, known or not: judging them is the controller's part.
        packet.entries[i] = GpioEntry{.use = static_cast<GpioEntry::Use>(get_u32(in, at)),
                                      .port = static_cast<GpioEntry::Port>(get_u32(in, at + 4)),
                                      .start = get_u32(in, at + 8),
                                      .length = get_u32(in, at + 12)};
    }
    return std::nullopt;
}

std::optional<DecodeError> decode(std::span<const std::uint8_t> in, ForceSensorConfigPacket& packet) noexcept {
    if (auto error = check_header(in, ForceSensorConfigPacket::size, packet_type::force_sensor_config, v4_only)) {
        return error;
    }
    packet = ForceSensorConfigPacket{.version = get_u32(in, 4), .do_reset = get_u32(in, 8), .fs_type = get_u32(in, 12)};
    return std::nullopt;
}

std::optional<DecodeError> decode(std::span<const std::uint8_t> in, CommandPacket& packet) noexcept {
    if (auto error = check_header(in, CommandPacket::size, packet_type::command, v3_layout)) return error;
    packet.version = get_u32(in, 4);
    packet.sequence_no = get_u32(in, 8);
    packet.is_last_command = get_u8(in, 12) != 0;
    packet.do_motion_control = get_u8(in, 13) != 0;
    packet.data_style = get_u16(in, 14);
    for (std::size_t i = 0; i < max_axes; ++i) packet.position[i] = get_f64(in, 16 + 8 * i);
    get_bytes(in, 88, packet.io_command);
    return std::nullopt;
}

std::optional<DecodeError> decode(std::span<const std::uint8_t> in, CommandV1Packet& packet) noexcept {
    if (auto error = check_header(in, CommandV1Packet::size, packet_type::command_v1, v1_layout)) return error;
    packet.version = get_u32(in, 4);
    packet.sequence_no = get_u32(in, 8);
    packet.is_last_command = get_u8(in, 12) != 0;
    packet.read_io_type = get_u8(in, 13);
    packet.read_io_index = get_u16(in, 14);
    packet.read_io_mask = get_u16(in, 16);
    packet.data_style = get_u8(in, 18);
    packet.write_io_type = get_u8(in, 19);
    packet.write_io_index = get_u16(in, 20);
    packet.write_io_mask = get_u16(in, 22);
    packet.write_io_value = get_u16(in, 24);
    get_f32s(in, 28, packet.position);
    return std::nullopt;
}

std::optional<DecodeError> decode(std::span<const std::uint8_t> in, StatusPacket& packet) noexcept {
    const bool with_force = in.size() == StatusPacket::size_with_force;
    if (auto error = with_force ? check_header(in, StatusPacket::size_with_force, packet_type::status_with_force, v4_only)
                                : check_header(in, StatusPacket::size, packet_type::status, v3_layout)) {
        return error;
    }
    packet.with_force = with_force;
    packet.version = get_u32(in, 4);
    packet.sequence_no = get_u32(in, 8);
    packet.status = get_u8(in, 12);
    packet.robot_status = get_u8(in, 13);
    packet.contact_stop_status = get_u8(in, 14);
    packet.time_stamp = get_u32(in, 16);
    get_f32s(in, 20, packet.position);
    get_f32s(in, 56, packet.joint_angle);
    get_f32s(in, 92, packet.current);
    packet.safety_scale = get_f32(in, 128);
    if (with_force) {
        get_f32s(in, 132, packet.force);
        packet.fs_type = get_u32(in, 156);
        get_bytes(in, 160, packet.io_status);
    } else {
        packet.force = {};
        packet.fs_type = 0;
        get_bytes(in, 132, packet.io_status);
    }
    return std::nullopt;
}

std::optional<DecodeError> decode(std::span<const std::uint8_t> in, StatusV1Packet& packet) noexcept {
    if (auto error = check_header(in, StatusV1Packet::size, packet_type::status_v1, v1_layout)) return error;
    packet.version = get_u32(in, 4);
    packet.sequence_no = get_u32(in, 8);
    packet.status = get_u8(in, 12);
    packet.read_io_type = get_u8(in, 13);
    packet.read_io_index = get_u16(in, 14);
    packet.read_io_mask = get_u16(in, 16);
    packet.read_io_value = get_u16(in, 18);
    packet.time_stamp = get_u32(in, 20);
    get_f32s(in, 24, packet.position);
    get_f32s(in, 60, packet.joint_angle);
    get_f32s(in, 96, packet.current);
    return std::nullopt;
}

std::optional<DecodeError> decode(std::span<const std::uint8_t> in, ThresholdAnswer& packet) noexcept {
    if (auto error = check_header(in, ThresholdAnswer::size, packet_type::threshold, any_known)) return error;
    if (!is_axis(get_u32(in, 8)) || !is_limit_kind(get_u32(in, 12))) return DecodeError::bad_field;
    packet.version = get_u32(in, 4);
    packet.axis = get_u32(in, 8);
    packet.kind = static_cast<LimitKind>(get_u32(in, 12));
    packet.max_cartesian_speed = get_u32(in, 16);
    packet.interval = get_u32(in, 20);
    get_f32s(in, 24, packet.no_payload);
    get_f32s(in, 104, packet.full_payload);
    return std::nullopt;
}

std::optional<DecodeError> decode(std::span<const std::uint8_t> in, GpioResultPacket& packet) noexcept {
    if (in.size() != GpioResultPacket::size) return DecodeError::wrong_size;
    if (get_u32(in, 0) != packet_type::gpio) return DecodeError::wrong_type;
    packet = GpioResultPacket{.result = get_u32(in, 4), .ptf = get_u32(in, 8)};
    return std::nullopt;
}

std::optional<DecodeError> decode_controller_packet(std::span<const std::uint8_t> in, ControllerPacket& packet) noexcept {
    const auto as = [&]<typename Packet>(Packet decoded) -> std::optional<DecodeError> {
        if (auto error = decode(in, decoded)) return error;
        packet = decoded;
        return std::nullopt;
    };
    switch (in.size()) {
        case StatusPacket::size:
        case StatusPacket::size_with_force: return as(StatusPacket{});
        case StatusV1Packet::size: return as(StatusV1Packet{});
        case ThresholdAnswer::size: return as(ThresholdAnswer{});
        case CapabilityPacket::size: return as(CapabilityPacket{});
        case GpioResultPacket::size: return as(GpioResultPacket{});
        default: return DecodeError::wrong_size;
    }
}

}  // namespace orvane::drivers::stream_motion
