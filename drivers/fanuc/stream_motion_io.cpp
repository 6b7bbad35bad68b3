#include "orvane/drivers/fanuc/stream_motion_io.hpp"

#include <bit>

namespace orvane::drivers::stream_motion {

namespace {

using Use = GpioEntry::Use;
using Port = GpioEntry::Port;

bool is_digital(Port port) {
    return port == Port::digital_out || port == Port::digital_in || port == Port::robot_out ||
           port == Port::robot_in || port == Port::flag;
}
bool is_analog(Port port) { return port == Port::analog_out || port == Port::analog_in; }
bool is_command(Use use) { return use == Use::io_command || use == Use::register_command; }
bool is_register_use(Use use) { return use == Use::register_command || use == Use::register_state; }

std::size_t padded(std::size_t bytes) { return (bytes + 3) / 4 * 4; }

std::size_t block_bytes(const GpioEntry& entry) {
    if (is_digital(entry.port)) return padded((static_cast<std::size_t>(entry.length) + 7) / 8);
    if (is_analog(entry.port)) return padded(2 * static_cast<std::size_t>(entry.length));
    return 4 * static_cast<std::size_t>(entry.length);
}

std::string port_name(Port port) {
    switch (port) {
        case Port::digital_out: return "DO";
        case Port::digital_in: return "DI";
        case Port::robot_out: return "RO";
        case Port::robot_in: return "RI";
        case Port::analog_out: return "AO";
        case Port::analog_in: return "AI";
        case Port::flag: return "F";
        case Port::float_register: return "R";
    }
    return "port " + std::to_string(static_cast<std::uint32_t>(port));
}

std::string block_name(std::size_t position, const GpioEntry& entry) {
    return "I/O block " + std::to_string(position + 1) + " (" + port_name(entry.port) + "[" +
           std::to_string(entry.start) + "], " + std::to_string(entry.length) + " points)";
}

}  // namespace

std::optional<std::string> IoLayout::build(std::span<const GpioEntry> entries, IoLayout& result) {
    IoLayout layout;
    std::size_t position = 0;
    for (const auto& entry : entries) {
        if (entry.use == Use::none) {
            ++position;
            continue;
        }
        const auto name = block_name(position++, entry);
        if (layout.count == gpio_entries) {
            return "More than " + std::to_string(gpio_entries) + " I/O blocks are configured.";
        }
        const auto use_value = static_cast<std::uint32_t>(entry.use);
        if (use_value > static_cast<std::uint32_t>(Use::register_state)) {
            return name + " has the unknown use " + std::to_string(use_value) + ".";
        }
        const bool register_port = entry.port == Port::float_register;
        if (!register_port && !is_digital(entry.port) && !is_analog(entry.port)) {
            return name + " names an unknown port type.";
        }
        if (register_port != is_register_use(entry.use)) {
            return name + (register_port ? " is a register block used as I/O."
                                         : " is an I/O block used as a register block.");
        }
        if (entry.start < 1) return name + " starts at index 0; indices start at 1.";
        if (entry.length < 1) return name + " has no points.";
        if (entry.length > 8 * io_array_size) return name + " cannot fit in an I/O array.";
        if (static_cast<std::uint64_t>(entry.start) + entry.length - 1 > UINT32_MAX) {
            return name + " reaches past the last index.";
        }
        for (std::size_t i = 0; i < layout.count; ++i) {
            const auto& other = layout.all[i].entry;
            const bool same_direction = is_command(other.use) == is_command(entry.use);
            const bool overlap = std::uint64_t{other.start} < std::uint64_t{entry.start} + entry.length &&
                                 std::uint64_t{entry.start} < std::uint64_t{other.start} + other.length;
            if (same_direction && other.port == entry.port && overlap) {
                return name + " overlaps an earlier block of the same port and direction.";
            }
        }
        auto& used = is_command(entry.use) ? layout.command_used : layout.status_used;
        const std::size_t bytes = block_bytes(entry);
        if (used + bytes > io_array_size) {
            return name + " does not fit: the " + (is_command(entry.use) ? "command's" : "status's") +
                   " I/O array holds " + std::to_string(io_array_size) + " bytes.";
        }
        layout.all[layout.count++] = Block{.entry = entry, .offset = used, .bytes = bytes};
        used += bytes;
    }
    result = layout;
    return std::nullopt;
}

GpioConfigPacket IoLayout::config_packet(std::uint32_t version) const {
    GpioConfigPacket packet{.version = version};
    for (std::size_t i = 0; i < count; ++i) packet.entries[i] = all[i].entry;
    return packet;
}

std::optional<IoLayout::Slot> IoLayout::find(Use use, Port port, std::uint32_t index, Width width) const noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const auto& block = all[i];
        const auto& entry = block.entry;
        if (entry.use != use || entry.port != port || index < entry.start || index - entry.start >= entry.length) {
            continue;
        }
        const std::size_t point = index - entry.start;
        switch (width) {
            case Width::bit: return Slot{block.offset + point / 8, static_cast<unsigned>(point % 8)};
            case Width::u16: return Slot{block.offset + 2 * point, 0};
            case Width::f32: return Slot{block.offset + 4 * point, 0};
        }
    }
    return std::nullopt;
}

std::optional<bool> IoLayout::digital_state(const IoArray& io, Port port, std::uint32_t index) const noexcept {
    if (!is_digital(port)) return std::nullopt;
    const auto slot = find(Use::io_state, port, index, Width::bit);
    if (!slot) return std::nullopt;
    return ((io[slot->byte] >> slot->bit) & 1U) != 0;
}

std::optional<std::uint16_t> IoLayout::analog_state(const IoArray& io, Port port, std::uint32_t index) const noexcept {
    if (!is_analog(port)) return std::nullopt;
    const auto slot = find(Use::io_state, port, index, Width::u16);
    if (!slot) return std::nullopt;
    return static_cast<std::uint16_t>(io[slot->byte] | (io[slot->byte + 1] << 8));
}

std::optional<float> IoLayout::register_state(const IoArray& io, std::uint32_t index) const noexcept {
    const auto slot = find(Use::register_state, Port::float_register, index, Width::f32);
    if (!slot) return std::nullopt;
    std::uint32_t bits = 0;
    for (unsigned i = 0; i < 4; ++i) bits |= static_cast<std::uint32_t>(io[slot->byte + i]) << (8 * i);
    return std::bit_cast<float>(bits);
}

bool IoLayout::set_digital_command(IoArray& io, Port port, std::uint32_t index, bool value) const noexcept {
    if (!is_digital(port)) return false;
    const auto slot = find(Use::io_command, port, index, Width::bit);
    if (!slot) return false;
    const auto mask = static_cast<std::uint8_t>(1U << slot->bit);
    io[slot->byte] = value ? static_cast<std::uint8_t>(io[slot->byte] | mask)
                           : static_cast<std::uint8_t>(io[slot->byte] & ~mask);
    return true;
}

bool IoLayout::set_analog_command(IoArray& io, Port port, std::uint32_t index, std::uint16_t value) const noexcept {
    if (!is_analog(port)) return false;
    const auto slot = find(Use::io_command, port, index, Width::u16);
    if (!slot) return false;
    io[slot->byte] = static_cast<std::uint8_t>(value);
    io[slot->byte + 1] = static_cast<std::uint8_t>(value >> 8);
    return true;
}

bool IoLayout::set_register_command(IoArray& io, std::uint32_t index, float value) const noexcept {
    const auto slot = find(Use::register_command, Port::float_register, index, Width::f32);
    if (!slot) return false;
    const auto bits = std::bit_cast<std::uint32_t>(value);
    for (unsigned i = 0; i < 4; ++i) io[slot->byte + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    return true;
}

std::optional<bool> IoLayout::digital_command(const IoArray& io, Port port, std::uint32_t index) const noexcept {
    if (!is_digital(port)) return std::nullopt;
    const auto slot = find(Use::io_command, port, index, Width::bit);
    if (!slot) return std::nullopt;
    return ((io[slot->byte] >> slot->bit) & 1U) != 0;
}

}  // namespace orvane::drivers::stream_motion
