// The I/O arrays of commands and status: which ports and registers the GPIO
// configuration maps into them, and the copying between the arrays and the
// controller's ports. Blocks lie in configuration order, each padded to 4
// bytes: digital points one bit each (LSB first), analog values u16, registers
// f32, both little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../controller_state.hpp"
#include "packets.hpp"

namespace orvane::sim::detail::stream_motion {

inline constexpr uint32_t gpio_ok = 0;
inline constexpr uint32_t gpio_mismatch = 2;  // does not match the controller's I/O assignment

struct GpioBlock {
  std::string port_type;  // "DO", "DI", "RO", "RI", "AO", "AI", "FLAG"; empty for registers
  bool analog = false;
  uint32_t start = 1, length = 0;
  std::size_t offset = 0;  // in the I/O array
};

struct GpioMap {
  std::vector<GpioBlock> commands;  // written by the PC
  std::vector<GpioBlock> states;    // reported in the status
};

struct GpioSetup {
  uint32_t result = gpio_ok;
  uint32_t ptf = 0;
  GpioMap map;  // empty unless the result is gpio_ok
};

GpioSetup configure_gpio(const GpioConfig& config);
void apply_command_io(const GpioMap& map, const IoArray& io, ControllerState& state);
void fill_state_io(const GpioMap& map, const ControllerState& state, IoArray& io);

}  // namespace orvane::sim::detail::stream_motion
