// What the simulator keeps for tests: every received line, the executed
// path and the slow-downs. Bounded, so that a long run cannot eat the memory.
// Guarded by Core::m.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common.hpp"
#include "orvane/sim/controller_simulator.hpp"

namespace orvane::sim::detail {

inline constexpr std::size_t max_recorded_lines = 1'000'000;
inline constexpr std::size_t max_recorded_line_length = 100'000;
inline constexpr std::size_t max_recorded_bytes = 64 << 20;  // beyond it, recorded lines are cut short
inline constexpr std::size_t max_recorded_short_line = 256;
inline constexpr std::size_t max_path_samples = 500'000;     // over an hour of motion at 8 ms
inline constexpr std::size_t max_slow_downs = 1'000'000;

struct Records {
  std::vector<ReceivedLine> received;
  std::size_t recorded_bytes = 0;
  std::vector<PathSample> path;
  std::vector<SlowDown> slows;
  std::size_t data_connections = 0;

  void add_line(const std::string& channel, const std::string& line) {
    if (received.size() >= max_recorded_lines) return;
    std::size_t keep = recorded_bytes > max_recorded_bytes ? max_recorded_short_line : max_recorded_line_length;
    received.push_back({Clock::now(), channel, line.size() > keep ? line.substr(0, keep) : line});
    recorded_bytes += received.back().line.size();
  }
  void add_sample(const PathSample& s) {
    if (path.size() < max_path_samples) path.push_back(s);
  }
  void add_slow_down(const SlowDown& s) {
    if (slows.size() < max_slow_downs) slows.push_back(s);
  }
};

void write_path_csv(const std::vector<PathSample>& samples, const std::string& file);
void write_received_csv(const std::vector<ReceivedLine>& lines, Clock::time_point origin, const std::string& file);

}  // namespace orvane::sim::detail
