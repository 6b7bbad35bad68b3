#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "orvane/drivers/fanuc/stream_motion_packets.hpp"

namespace orvane::drivers::stream_motion {

/// Where each configured I/O block sits in the command's and the status's
/// 256-byte I/O arrays, and access to the values packed there.
///
/// Each array holds its own blocks (commands: I/O and register commands;
/// status: I/O and register states) in configuration order, each block padded
/// to 4 bytes. Digital points take one bit each, least significant bit first;
/// analog values are u16 and registers f32, both little-endian.
///
/// Reads and writes never allocate: a driver's loop may use them every period.
class IoLayout {
public:
    struct Block {
        GpioEntry entry;
        std::size_t offset{0};  ///< in its array
        std::size_t bytes{0};   ///< padded to 4
    };

    /// An empty configuration: nothing is exchanged.
    IoLayout() = default;

    /// Checks a configuration (at most 32 blocks; each block's port fits its
    /// use, starts at 1 or later and has points; blocks of one port and
    /// direction do not overlap; each array's blocks fit in 256 bytes) and
    /// lays it out into `layout`. Otherwise returns which block is at fault
    /// and why, and leaves `layout` as it was.
    static std::optional<std::string> build(std::span<const GpioEntry> entries, IoLayout& layout);

    /// The configuration packet that announces this layout.
    GpioConfigPacket config_packet(std::uint32_t version) const;

    bool empty() const noexcept { return count == 0; }
    std::span<const Block> blocks() const noexcept { return {all.data(), count}; }
    /// Bytes used of the command's and of the status's array.
    std::size_t command_bytes() const noexcept { return command_used; }
    std::size_t status_bytes() const noexcept { return status_used; }

    using IoArray = std::array<std::uint8_t, io_array_size>;

    /// Values the controller reports in a status's I/O array; empty when
    /// the point is not configured as a state of that kind.
    std::optional<bool> digital_state(const IoArray& io_status, GpioEntry::Port port, std::uint32_t index) const noexcept;
    std::optional<std::uint16_t> analog_state(const IoArray& io_status, GpioEntry::Port port,
                                              std::uint32_t index) const noexcept;
    std::optional<float> register_state(const IoArray& io_status, std::uint32_t index) const noexcept;

    /// Values written into a command's I/O array; false when the point is
    /// not configured as a command of that kind (nothing is written then).
    bool set_digital_command(IoArray& io_command, GpioEntry::Port port, std::uint32_t index, bool value) const noexcept;
    bool set_analog_command(IoArray& io_command, GpioEntry::Port port, std::uint32_t index,
                            std::uint16_t value) const noexcept;
    bool set_register_command(IoArray& io_command, std::uint32_t index, float value) const noexcept;

    /// What a command's I/O array holds for a point (as the controller will read it).
    std::optional<bool> digital_command(const IoArray& io_command, GpioEntry::Port port,
                                        std::uint32_t index) const noexcept;

private:
    enum class Width { bit, u16, f32 };
    struct Slot {
        std::size_t byte{0};
        unsigned bit{0};
    };
    /// The slot of point `index` in a block of `use` for `port`.
    std::optional<Slot> find(GpioEntry::Use use, GpioEntry::Port port, std::uint32_t index, Width width) const noexcept;

    std::array<Block, gpio_entries> all{};
    std::size_t count{0};
    std::size_t command_used{0};
    std::size_t status_used{0};
};

}  // namespace orvane::drivers::stream_motion
