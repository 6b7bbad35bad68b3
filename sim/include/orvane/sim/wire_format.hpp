// Text of the lines the simulator sends, and splitting of received bytes
// into lines.
#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvane::sim {

// The way a real controller writes a packet: the first member (the kind)
// stays first, the others follow in an order drawn from `rng`; a space on
// both sides of each colon and after each comma; floats with three decimals,
// non-zero floats below 0.0005 in magnitude in exponent form ("1.948e-04");
// integers as integers; objects nested in the packet keep their order.
// No line terminator.
std::string format_controller_style(const nlohmann::ordered_json& packet, std::mt19937& rng);

// One float as the controller writes it ("12.346", "-0.500", "1.948e-04").
std::string format_controller_float(double value);

// Compact text (no spaces), members in insertion order. No line terminator.
std::string format_compact(const nlohmann::ordered_json& packet);

// Splits a byte stream into packets ended by CR LF. NUL bytes between
// packets are skipped; a bare LF stays in the packet (JSON whitespace, so a
// pretty-printed packet spanning lines is one packet).
// Holds at most `max_pending` bytes of an unfinished line; beyond that
// `overflowed()` turns true and the caller drops the peer.
class LineBuffer {
public:
  explicit LineBuffer(std::size_t max_pending = 1 << 20) : max_pending_(max_pending) {}
  // Appends bytes and moves every complete line to `lines`.
  void append(const char* data, std::size_t size, std::vector<std::string>& lines);
  bool overflowed() const { return overflowed_; }
  std::size_t pending() const { return pending_.size(); }

private:
  std::size_t max_pending_;
  std::string pending_;
  bool overflowed_ = false;
};

}  // namespace orvane::sim
