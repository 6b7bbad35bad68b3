#include "orvane/sim/wire_format.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace orvane::sim {

std::string format_controller_float(double value) {
  if (!std::isfinite(value)) return "0.000";  // JSON has no NaN/inf; never produced by the model
  char buf[64];
  if (value == 0.0) return "0.000";
  if (std::fabs(value) < 0.0005)
    std::snprintf(buf, sizeof buf, "%.3e", value);
  else
    std::snprintf(buf, sizeof buf, "%.3f", value);
  return buf;
}

namespace {

void write_value(const nlohmann::ordered_json& v, std::string& out) {
  switch (v.type()) {
    case nlohmann::ordered_json::value_t::number_float:
      out += format_controller_float(v.get<double>());
      break;
    case nlohmann::ordered_json::value_t::object: {
      out += '{';
      bool first = true;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += ", ";
        first = false;
        out += nlohmann::ordered_json(it.key()).dump();
        out += " : ";
        write_value(it.value(), out);
      }
      out += '}';
      break;
    }
    case nlohmann::ordered_json::value_t::array: {
      out += '[';
      for (std::size_t i = 0; i < v.size(); ++i) {
        if (i) out += ", ";
        write_value(v[i], out);
      }
      out += ']';
      break;
    }
    default:
      out += v.dump();
  }
}

}  // namespace

std::string format_controller_style(const nlohmann::ordered_json& packet, std::mt19937& rng) {
  if (!packet.is_object() || packet.size() < 2) {
    std::string out;
    write_value(packet, out);
    return out;
  }
  std::vector<nlohmann::ordered_json::const_iterator> members;
  for (auto it = packet.begin(); it != packet.end(); ++it) members.push_back(it);
  std::shuffle(members.begin() + 1, members.end(), rng);
  std::string out = "{";
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i) out += ", ";
    out += nlohmann::ordered_json(members[i].key()).dump();
    out += " : ";
    write_value(members[i].value(), out);
  }
  out += '}';
  return out;
}

std::string format_compact(const nlohmann::ordered_json& packet) {
  return packet.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void LineBuffer::append(const char* data, std::size_t size, std::vector<std::string>& lines) {
  if (overflowed_) return;
  for (std::size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (c == '\0' && pending_.empty()) continue;  // NUL padding between packets
    if (c == '\n' && !pending_.empty() && pending_.back() == '\r') {
      pending_.pop_back();
      lines.push_back(std::move(pending_));
      pending_.clear();
      continue;
    }
    pending_ += c;  // a bare LF stays: it is whitespace inside a pretty-printed packet
    if (pending_.size() > max_pending_) {
      overflowed_ = true;
      pending_.clear();
      pending_.shrink_to_fit();
      return;
    }
  }
}

}  // namespace orvane::sim
