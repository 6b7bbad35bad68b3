// Names and small helpers every room of the simulator uses.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace orvane::sim::detail {

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;
using ojson = nlohmann::ordered_json;
using Joints = std::array<double, 9>;  // degrees, controller convention (J3 relative to J2)

inline constexpr double deg_per_rad = 57.29577951308232;

inline const std::string kCommand = "Command";
inline const std::string kInstruction = "Instruction";
inline const std::string kCommunication = "Communication";

inline Clock::duration seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

inline ojson packet(const std::string& kind, const std::string& name) {
  ojson p = ojson::object();
  p[kind] = name;
  return p;
}

inline Joints to_planner(const Joints& c) {
  Joints p = c;
  p[2] = c[2] + c[1];
  return p;
}

inline Joints to_controller(const Joints& p) {
  Joints c = p;
  c[2] = p[2] - p[1];
  return c;
}

// An integer member; a float with an integral value counts. Empty when the
// member is missing, of another type or out of the 64-bit range.
inline std::optional<int64_t> integer_member(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end()) return std::nullopt;
  if (it->is_number_unsigned()) {
    auto v = it->get<uint64_t>();
    if (v > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<int64_t>(v);
  }
  if (it->is_number_integer()) return it->get<int64_t>();
  if (it->is_number_float()) {
    double d = it->get<double>();
    if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9e15) return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

// A finite number member (integers count).
inline std::optional<double> number_member(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number()) return std::nullopt;
  double d = it->get<double>();
  if (!std::isfinite(d)) return std::nullopt;
  return d;
}

inline std::optional<std::string> string_member(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace orvane::sim::detail
