#include "gpio.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace orvane::sim::detail::stream_motion {

namespace {

constexpr uint32_t max_port = 32767;
constexpr uint32_t register_type = 100;

enum CommandType : uint32_t { none = 0, io_command = 1, io_state = 2, register_command = 3, register_state = 4 };

// gpio_type 0 ... 6; outputs (and flags) are the ones a PC may command.
struct IoKind {
  const char* port_type;
  bool analog;
  bool commandable;
};
constexpr IoKind io_kinds[] = {{"DO", false, true},  {"DI", false, false}, {"RO", false, true}, {"RI", false, false},
                               {"AO", true, true},   {"AI", true, false},  {"FLAG", false, true}};

std::size_t padded(std::size_t bytes) { return (bytes + 3) / 4 * 4; }

std::size_t block_bytes(const GpioBlock& b) {
  if (b.port_type.empty()) return 4 * std::size_t{b.length};
  if (b.analog) return padded(2 * std::size_t{b.length});
  return padded((std::size_t{b.length} + 7) / 8);
}

void put_u32_le(IoArray& io, std::size_t at, uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) io[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t u32_le(const IoArray& io, std::size_t at) {
  uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v |= uint32_t{io[at + i]} << (8 * i);
  return v;
}

}  // namespace

GpioSetup configure_gpio(const GpioConfig& config) {
  GpioSetup setup;
  std::size_t command_bytes = 0, state_bytes = 0;
  auto mismatch = [] { return GpioSetup{gpio_mismatch, 0, {}}; };
  for (const GpioEntry& e : config) {
    if (e.command_type == none) continue;
    if (e.command_type > register_state || e.length == 0 || e.start == 0) return mismatch();
    GpioBlock b;
    b.start = e.start;
    b.length = e.length;
    bool registers = e.command_type == register_command || e.command_type == register_state;
    uint64_t last = uint64_t{e.start} + e.length - 1;
    if (registers) {
      if (e.gpio_type != register_type || last > static_cast<uint64_t>(max_register)) return mismatch();
    } else {
      if (e.gpio_type >= std::size(io_kinds) || last > max_port) return mismatch();
      const IoKind& kind = io_kinds[e.gpio_type];
      if (e.command_type == io_command && !kind.commandable) return mismatch();
      b.port_type = kind.port_type;
      b.analog = kind.analog;
    }
    bool command = e.command_type == io_command || e.command_type == register_command;
    std::size_t& used = command ? command_bytes : state_bytes;
    b.offset = used;
    used += block_bytes(b);
    if (used > io_bytes) return mismatch();
    (command ? setup.map.commands : setup.map.states).push_back(std::move(b));
    ++setup.ptf;
  }
  return setup;
}

void apply_command_io(const GpioMap& map, const IoArray& io, ControllerState& state) {
  for (const GpioBlock& b : map.commands) {
    for (uint32_t i = 0; i < b.length; ++i) {
      int64_t port = int64_t{b.start} + i;
      if (b.port_type.empty()) {
        float v = std::bit_cast<float>(u32_le(io, b.offset + 4 * i));
        if (std::isfinite(v)) state.registers[static_cast<int>(port)] = {true, static_cast<double>(v)};
      } else if (b.analog) {
        std::size_t at = b.offset + 2 * i;
        state.ports[b.port_type][port] = static_cast<double>(io[at] | (io[at + 1] << 8));
      } else {
        bool on = (io[b.offset + i / 8] >> (i % 8)) & 1;
        state.ports[b.port_type][port] = on ? 1.0 : 0.0;
      }
    }
  }
}

void fill_state_io(const GpioMap& map, const ControllerState& state, IoArray& io) {
  io.fill(0);
  for (const GpioBlock& b : map.states) {
    for (uint32_t i = 0; i < b.length; ++i) {
      int port = static_cast<int>(b.start + i);
      if (b.port_type.empty()) {
        auto it = state.registers.find(port);
        float v = it == state.registers.end() ? 0.0f : static_cast<float>(it->second.value);
        put_u32_le(io, b.offset + 4 * i, std::bit_cast<uint32_t>(v));
      } else if (b.analog) {
        double v = std::clamp(std::round(state.port(b.port_type, port)), 0.0, 65535.0);
        auto u = static_cast<uint16_t>(v);
        io[b.offset + 2 * i] = static_cast<uint8_t>(u);
        io[b.offset + 2 * i + 1] = static_cast<uint8_t>(u >> 8);
      } else if (state.port(b.port_type, port) != 0.0) {
        io[b.offset + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
      }
    }
  }
}

}  // namespace orvane::sim::detail::stream_motion
