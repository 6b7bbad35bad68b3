// Stream Motion packets on the wire: every type and exact size of protocol
// versions 3 and 4. Scalars are big-endian; what is packed inside the
// 256-byte I/O arrays is little-endian (see gpio.hpp). Pure functions: no
// controller state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace orvane::sim::detail::stream_motion {

enum PacketType : uint32_t {
  type_stop = 2,
  type_threshold = 3,
  type_get_capability = 7,
  type_set_capability = 8,
  type_start = 200,
  type_command = 201,
  type_status_v3 = 202,
  type_gpio = 203,
  type_status_v4 = 204,
  type_force_sensor = 205,
};

inline constexpr std::size_t start_stop_size = 8;
inline constexpr std::size_t capability_size = 28;
inline constexpr std::size_t threshold_request_size = 16;
inline constexpr std::size_t threshold_answer_size = 184;
inline constexpr std::size_t gpio_config_size = 520;
inline constexpr std::size_t gpio_result_size = 12;
inline constexpr std::size_t command_size = 344;
inline constexpr std::size_t status_v3_size = 388;
inline constexpr std::size_t status_v4_size = 416;
inline constexpr std::size_t force_sensor_size = 16;
inline constexpr std::size_t max_status_size = status_v4_size;
inline constexpr std::size_t io_bytes = 256;
inline constexpr std::size_t gpio_entries = 32;
inline constexpr int lowest_version = 3;
inline constexpr int highest_version = 4;
inline constexpr uint16_t data_style_joints = 0xFFFF;
inline constexpr uint32_t fs_type_unavailable = 0xFFFFFFFF;

using IoArray = std::array<uint8_t, io_bytes>;
using Bytes = std::span<const uint8_t>;

// The size a packet the PC sends must have, by its type; empty for a type
// the controller does not take from a PC (its own answers included).
std::optional<std::size_t> request_size(uint32_t type);

struct Header {
  uint32_t type = 0;
  uint32_t version = 0;  // not present in every packet (GPIO result)
};
// Type and version of a packet of at least 8 bytes.
std::optional<Header> read_header(Bytes b);

struct Capability {
  uint32_t type = type_get_capability;
  uint32_t version = 3;
  uint32_t id = 1;
  uint32_t sampling_rate = 8;      // ms, read-only
  uint32_t start_move = 0;         // buffer size to start motion, 0 ... 9
  uint32_t available_version = 3;  // read-only
  uint32_t use_tcp = 0;            // status position of the TCP (1) or the faceplate (0)
};

struct ThresholdRequest {
  uint32_t version = 3;
  uint32_t axis = 1;  // 1 ... 9
  uint32_t kind = 0;  // 0 velocity, 1 acceleration, 2 jerk
};

struct ThresholdAnswer {
  uint32_t version = 3;
  uint32_t axis = 1;
  uint32_t kind = 0;
  uint32_t max_cartesian_speed = 2000;  // mm/s
  uint32_t interval = 8;                // the period, ms
  std::array<float, 20> no_payload{};
  std::array<float, 20> full_payload{};
};

struct GpioEntry {
  uint32_t command_type = 0;  // 0 none, 1 I/O command, 2 I/O state, 3 register command, 4 register state
  uint32_t gpio_type = 0;     // 0 DO, 1 DI, 2 RO, 3 RI, 4 AO, 5 AI, 6 F; 100 float register
  uint32_t start = 0;         // 1-based
  uint32_t length = 0;
};
using GpioConfig = std::array<GpioEntry, gpio_entries>;

struct GpioResult {
  uint32_t result = 0;  // 0 ok, 2 does not match the controller's I/O assignment
  uint32_t ptf = 0;
};

struct Command {
  uint32_t version = 3;
  uint32_t sequence = 0;
  uint8_t last = 0;        // is_last_command
  uint8_t motion = 0;      // do_motn_ctrl
  uint16_t data_style = 0;
  std::array<double, 9> position{};
  IoArray io{};
};

struct Status {
  uint32_t version = 3;  // 3: type 202, 388 bytes; 4: type 204, 416 bytes
  uint32_t sequence = 0;
  uint8_t status = 0;
  uint8_t robot_status = 0;
  uint8_t contact_stop = 0;
  uint32_t time_stamp = 0;  // ms
  std::array<float, 9> position{};  // X Y Z W P R E1 E2 E3
  std::array<float, 9> joints{};
  std::array<float, 9> current{};
  float safety_scale = 1.0f;
  std::array<float, 6> force{};  // version 4: force x y z (N), moment x y z (N m)
  uint32_t fs_type = fs_type_unavailable;
  IoArray io{};
};

struct ForceSensorConfig {
  uint32_t version = 4;
  uint32_t do_reset = 0;
  uint32_t fs_type = 0;
};

// Decoders take a packet of exactly its size (checked by the caller with
// request_size); encoders write one and return its size.
Capability read_capability(Bytes b);
ThresholdRequest read_threshold_request(Bytes b);
GpioConfig read_gpio_config(Bytes b);
Command read_command(Bytes b);
ForceSensorConfig read_force_sensor(Bytes b);

std::size_t write_capability(const Capability& c, std::span<uint8_t> out);
std::size_t write_threshold_answer(const ThresholdAnswer& t, std::span<uint8_t> out);
std::size_t write_gpio_result(const GpioResult& r, std::span<uint8_t> out);
std::size_t write_status(const Status& s, std::span<uint8_t> out);

}  // namespace orvane::sim::detail::stream_motion
