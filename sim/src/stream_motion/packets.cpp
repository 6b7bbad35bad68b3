#include "packets.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace orvane::sim::detail::stream_motion {

namespace {

uint32_t u32(Bytes b, std::size_t at) {
  return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | uint32_t{b[at + 3]};
}

uint16_t u16(Bytes b, std::size_t at) { return static_cast<uint16_t>((b[at] << 8) | b[at + 1]); }

double f64(Bytes b, std::size_t at) {
  uint64_t v = 0;
  for (std::size_t i = 0; i < 8; ++i) v = (v << 8) | b[at + i];
  return std::bit_cast<double>(v);
}

void put_u32(std::span<uint8_t> out, std::size_t at, uint32_t v) {
  out[at] = static_cast<uint8_t>(v >> 24);
  out[at + 1] = static_cast<uint8_t>(v >> 16);
  out[at + 2] = static_cast<uint8_t>(v >> 8);
  out[at + 3] = static_cast<uint8_t>(v);
}

void put_f32(std::span<uint8_t> out, std::size_t at, float v) { put_u32(out, at, std::bit_cast<uint32_t>(v)); }

template <std::size_t N>
void put_f32s(std::span<uint8_t> out, std::size_t at, const std::array<float, N>& values) {
  for (std::size_t i = 0; i < N; ++i) put_f32(out, at + 4 * i, values[i]);
}

}  // namespace

std::optional<std::size_t> request_size(uint32_t type) {
  switch (type) {
    case type_start:
    case type_stop: return start_stop_size;
    case type_threshold: return threshold_request_size;
    case type_get_capability:
    case type_set_capability: return capability_size;
    case type_command: return command_size;
    case type_gpio: return gpio_config_size;
    case type_force_sensor: return force_sensor_size;
    default: return std::nullopt;
  }
}

std::optional<Header> read_header(Bytes b) {
  if (b.size() < 8) return std::nullopt;
  return Header{u32(b, 0), u32(b, 4)};
}

Capability read_capability(Bytes b) {
  return {u32(b, 0), u32(b, 4), u32(b, 8), u32(b, 12), u32(b, 16), u32(b, 20), u32(b, 24)};
}

ThresholdRequest read_threshold_request(Bytes b) { return {u32(b, 4), u32(b, 8), u32(b, 12)}; }

GpioConfig read_gpio_config(Bytes b) {
  GpioConfig c;
  for (std::size_t i = 0; i < gpio_entries; ++i) {
    std::size_t at = 8 + 16 * i;
    c[i] = {u32(b, at), u32(b, at + 4), u32(b, at + 8), u32(b, at + 12)};
  }
  return c;
}

Command read_command(Bytes b) {
  Command c;
  c.version = u32(b, 4);
  c.sequence = u32(b, 8);
  c.last = b[12];
  c.motion = b[13];
  c.data_style = u16(b, 14);
  for (std::size_t k = 0; k < 9; ++k) c.position[k] = f64(b, 16 + 8 * k);
  std::copy_n(b.begin() + 88, io_bytes, c.io.begin());
  return c;
}

ForceSensorConfig read_force_sensor(Bytes b) { return {u32(b, 4), u32(b, 8), u32(b, 12)}; }

std::size_t write_capability(const Capability& c, std::span<uint8_t> out) {
  put_u32(out, 0, c.type);
  put_u32(out, 4, c.version);
  put_u32(out, 8, c.id);
  put_u32(out, 12, c.sampling_rate);
  put_u32(out, 16, c.start_move);
  put_u32(out, 20, c.available_version);
  put_u32(out, 24, c.use_tcp);
  return capability_size;
}

std::size_t write_threshold_answer(const ThresholdAnswer& t, std::span<uint8_t> out) {
  put_u32(out, 0, type_threshold);
  put_u32(out, 4, t.version);
  put_u32(out, 8, t.axis);
  put_u32(out, 12, t.kind);
  put_u32(out, 16, t.max_cartesian_speed);
  put_u32(out, 20, t.interval);
  put_f32s(out, 24, t.no_payload);
  put_f32s(out, 104, t.full_payload);
  return threshold_answer_size;
}

std::size_t write_gpio_result(const GpioResult& r, std::span<uint8_t> out) {
  put_u32(out, 0, type_gpio);
  put_u32(out, 4, r.result);
  put_u32(out, 8, r.ptf);
  return gpio_result_size;
}

std::size_t write_status(const Status& s, std::span<uint8_t> out) {
  bool v4 = s.version >= 4;
  put_u32(out, 0, v4 ? type_status_v4 : type_status_v3);
  put_u32(out, 4, s.version);
  put_u32(out, 8, s.sequence);
  out[12] = s.status;
  out[13] = s.robot_status;
  out[14] = s.contact_stop;
  out[15] = 0;
  put_u32(out, 16, s.time_stamp);
  put_f32s(out, 20, s.position);
  put_f32s(out, 56, s.joints);
  put_f32s(out, 92, s.current);
  put_f32(out, 128, s.safety_scale);
  std::size_t io_at = 132;
  if (v4) {
    put_f32s(out, 132, s.force);
    put_u32(out, 156, s.fs_type);
    io_at = 160;
  }
  std::copy(s.io.begin(), s.io.end(), out.begin() + static_cast<std::ptrdiff_t>(io_at));
  return v4 ? status_v4_size : status_v3_size;
}

}  // namespace orvane::sim::detail::stream_motion
