#include "records.hpp"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace orvane::sim::detail {

namespace {

std::string csv_quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += "\"\"";
    else out += c;
  }
  out += '"';
  return out;
}

}  // namespace

void write_path_csv(const std::vector<PathSample>& samples, const std::string& file) {
  std::ofstream out(file);
  if (!out) throw std::system_error(errno, std::generic_category(), "cannot write " + file);
  out << "t";
  for (int k = 1; k <= 9; ++k) out << ",controller_j" << k << "_deg";
  for (int k = 1; k <= 9; ++k) out << ",planner_j" << k << "_deg";
  for (int k = 1; k <= 9; ++k) out << ",commanded_j" << k << "_deg";
  out << "\n";
  char buf[64];
  auto write_all = [&](const std::array<double, 9>& values) {
    for (double v : values) {
      std::snprintf(buf, sizeof buf, ",%.6f", v);
      out << buf;
    }
  };
  for (const auto& s : samples) {
    std::snprintf(buf, sizeof buf, "%.6f", s.t);
    out << buf;
    write_all(s.controller_deg);
    write_all(s.planner_deg);
    write_all(s.commanded_deg);
    out << "\n";
  }
}

void write_received_csv(const std::vector<ReceivedLine>& lines, Clock::time_point origin, const std::string& file) {
  std::ofstream out(file);
  if (!out) throw std::system_error(errno, std::generic_category(), "cannot write " + file);
  out << "t,channel,line\n";
  char buf[64];
  for (const auto& l : lines) {
    std::snprintf(buf, sizeof buf, "%.6f", std::chrono::duration<double>(l.at - origin).count());
    out << buf << ',' << l.channel << ',' << csv_quote(l.line) << "\n";
  }
}

}  // namespace orvane::sim::detail
