// A run of Stream Motion datagrams, each prefixed by its length (u16,
// big-endian), through everything the driver reads from a controller: the
// packet decoders, the lockstep (statuses decoded, commands owed and
// encoded) and the I/O layout of a configuration. Any bytes end in a refusal
// or a packet, never a crash; what decodes encodes back to what decodes the same.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <variant>

#include "orvane/drivers/fanuc/stream_motion_io.hpp"
#include "orvane/drivers/fanuc/stream_motion_lockstep.hpp"
#include "orvane/drivers/fanuc/stream_motion_packets.hpp"

namespace sm = orvane::drivers::stream_motion;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// Decoding what was encoded from a decoded packet gives the same bytes again.
template <typename Packet>
void check_round_trip(const Packet& packet) {
    std::array<std::uint8_t, sm::max_packet_size> first{}, second{};
    const auto size = sm::encode(packet, first);
    require(size > 0);
    Packet again;
    require(!sm::decode(std::span<const std::uint8_t>(first.data(), size), again));
    require(sm::encode(again, second) == size);
    require(first == second);
}

void exercise(std::span<const std::uint8_t> datagram, sm::Lockstep& lockstep) {
    sm::ControllerPacket packet;
    if (!sm::decode_controller_packet(datagram, packet)) {
        std::visit([](const auto& decoded) { check_round_trip(decoded); }, packet);
    }
    sm::GpioConfigPacket config;
    if (!sm::decode(datagram, config)) {
        check_round_trip(config);
        sm::IoLayout layout;
        if (!sm::IoLayout::build(config.entries, layout)) {
            require(layout.command_bytes() <= sm::io_array_size && layout.status_bytes() <= sm::io_array_size);
            std::array<std::uint8_t, sm::io_array_size> io{};
            for (const auto& block : layout.blocks()) {
                const auto last = block.entry.start + block.entry.length - 1;
                (void)layout.digital_state(io, block.entry.port, last);
                (void)layout.analog_state(io, block.entry.port, last);
                (void)layout.register_state(io, last);
                (void)layout.set_digital_command(io, block.entry.port, last, true);
                (void)layout.set_analog_command(io, block.entry.port, last, 0xFFFF);
                (void)layout.set_register_command(io, last, 1.0f);
            }
        }
    }

    sm::StreamStatus status;
    if (lockstep.receive(datagram, status) != sm::Lockstep::Reception::fresh) return;
    require(lockstep.due() >= 1 && lockstep.due() <= sm::Lockstep::max_fill + 1);
    const std::array<double, sm::max_axes> target{0.1, -0.2, 0.3, -0.4, 0.5, -0.6, 0.7, -0.8, 0.9};
    bool first = true;
    while (lockstep.due() > 0) {
        const auto command = first ? lockstep.answer(target, {.motion = status.ready, .last = false})
                                   : lockstep.answer_holding({.motion = false, .last = lockstep.due() == 1});
        require(command.size() == sm::CommandPacket::size || command.size() == sm::CommandV1Packet::size);
        first = false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sm::AxisUnits units{.count = 7};
    units.linear[6] = true;
    sm::Lockstep lockstep(units);
    lockstep.restart(data != nullptr && size > 0 && (data[0] & 1) ? 4 : 3);
    std::size_t at = 0;
    while (at + 2 <= size) {
        const std::size_t length = static_cast<std::size_t>(data[at]) << 8 | data[at + 1];
        at += 2;
        const std::size_t take = length < size - at ? length : size - at;
        exercise(std::span<const std::uint8_t>(data + at, take), lockstep);
        at += take;
    }
    return 0;
}
