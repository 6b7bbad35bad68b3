// A tiny raw RMI client for the simulator tests: blocking Boost.Asio socket,
// reads with deadlines (poll), no knowledge of the driver library.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <utility>  // before Boost.Asio 1.74, which uses std::exchange without it
#include <string>
#include <vector>

#include <poll.h>

#include <boost/asio.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "orvane/sim/controller_simulator.hpp"
#include "orvane/sim/testing.hpp"

namespace simtest {

using namespace std::chrono_literals;
// Members keep the order they were written in: a packet names its kind first,
// as every client writes it and the controller requires.
using json = nlohmann::ordered_json;

// Generous: the suite runs on a slow shared machine, also under sanitizers.
inline constexpr auto kWait = std::chrono::milliseconds(10000);

class RawClient {
public:
  RawClient() : socket_(io_) {}

  bool connect(const std::string& address, uint16_t port) {
    boost::system::error_code ec;
    socket_.connect({boost::asio::ip::make_address(address), port}, ec);
    return !ec;
  }

  void send(const std::string& bytes) { boost::asio::write(socket_, boost::asio::buffer(bytes)); }
  void send_line(const std::string& line) { send(line + "\r\n"); }

  // Next line without its CR LF; empty on time-out or end of stream.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout = kWait) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto pos = buffer_.find("\r\n");
      if (pos != std::string::npos) {
        std::string line = buffer_.substr(0, pos);
        buffer_.erase(0, pos + 2);
        return line;
      }
      if (!fill(deadline)) return std::nullopt;
    }
  }

  std::optional<json> read_json(std::chrono::milliseconds timeout = kWait) {
    auto line = read_line(timeout);
    if (!line) return std::nullopt;
    return json::parse(*line);
  }

  // Reads lines until one satisfies `pred`; the lines passed over are kept in `skipped`.
  std::optional<json> read_until(const std::function<bool(const json&)>& pred,
                                 std::chrono::milliseconds timeout = kWait, std::vector<json>* skipped = nullptr) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto j = read_json(left);
      if (!j) return std::nullopt;
      if (pred(*j)) return j;
      if (skipped) skipped->push_back(*j);
    }
  }

  // Sends a command and returns its answer (the next line naming it).
  json command(const std::string& line) {
    json request = json::parse(line);
    std::string name = request.value("Command", request.value("Communication", std::string()));
    send_line(line);
    auto answer = read_until([&](const json& j) {
      return j.value("Command", std::string()) == name || j.value("Communication", std::string()) == name ||
             j.value("Command", std::string()) == "Unknown";
    });
    if (!answer) {
      ADD_FAILURE() << "no answer to " << line;
      return json::object();
    }
    return *answer;
  }

  // One receive of whatever is there (waits for the first byte).
  std::optional<std::string> read_chunk(std::chrono::milliseconds timeout = kWait) {
    if (!buffer_.empty()) {
      std::string out;
      out.swap(buffer_);
      return out;
    }
    if (!fill(std::chrono::steady_clock::now() + timeout)) return std::nullopt;
    std::string out;
    out.swap(buffer_);
    return out;
  }

  // True once the peer has closed (end of stream or reset) within the time-out;
  // data still arriving is discarded.
  bool wait_closed(std::chrono::milliseconds timeout = kWait) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!eof_) {
      if (!fill(deadline) && !eof_) return false;
      buffer_.clear();
    }
    return true;
  }

  bool closed() const { return eof_; }
  void close() {
    boost::system::error_code ec;
    socket_.close(ec);
  }

private:
  bool fill(std::chrono::steady_clock::time_point deadline) {
    if (eof_) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return false;
    pollfd p{socket_.native_handle(), POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r <= 0) return false;
    char buf[65536];
    boost::system::error_code ec;
    std::size_t n = socket_.read_some(boost::asio::buffer(buf), ec);
    if (ec) {
      eof_ = true;
      return false;
    }
    buffer_.append(buf, n);
    return true;
  }

  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
  std::string buffer_;
  bool eof_ = false;
};

// A simulator on a loopback address of its own whose aborts answer at once,
// unless the test asks for another abort time (the default is a realistic 1.5 s).
inline std::unique_ptr<orvane::sim::ControllerSimulator> start_sim(orvane::sim::SimulatorConfig cfg = {}) {
  if (cfg.abort_duration == orvane::sim::SimulatorConfig{}.abort_duration) cfg.abort_duration = 0.0;
  return orvane::sim::testing::start_on_free_loopback(cfg);
}

// The connection answer, and the data connection opened with its port.
struct Session {
  json connect_answer;
  RawClient data;
};

inline json connect_control(const orvane::sim::ControllerSimulator& sim, const std::string& name = "FRC_Connect",
                            bool* closed_by_server = nullptr) {
  RawClient control;
  EXPECT_TRUE(control.connect(sim.config().address, sim.control_port()));
  control.send_line(R"({"Communication":")" + name + R"("})");
  auto answer = control.read_json();
  if (closed_by_server) *closed_by_server = control.wait_closed();
  return answer ? *answer : json::object();
}

// FRC_Connect, then the data connection; waits until the simulator has it.
inline void open_session(orvane::sim::ControllerSimulator& sim, Session& s) {
  s.connect_answer = connect_control(sim);
  ASSERT_EQ(s.connect_answer.value("ErrorID", -1), 0) << s.connect_answer.dump();
  ASSERT_TRUE(s.data.connect(sim.config().address, static_cast<uint16_t>(s.connect_answer["PortNumber"].get<int>())));
  ASSERT_TRUE(sim.wait_for_client(kWait));
}

inline std::string motion(int seq, const std::array<double, 9>& joints, int speed_ms, const std::string& term = "FINE",
                          int term_value = 0) {
  json j;
  j["Instruction"] = "FRC_JointMotionJRep";
  j["SequenceID"] = seq;
  for (int k = 0; k < 9; ++k) j["JointAngle"]["J" + std::to_string(k + 1)] = joints[k];
  j["SpeedType"] = "mSec";
  j["Speed"] = speed_ms;
  j["TermType"] = term;
  j["TermValue"] = term_value;
  return j.dump();
}

inline bool answers_instruction(const json& j, int seq) {
  return j.contains("Instruction") && j.value("SequenceID", -1) == seq;
}

inline std::array<double, 9> joints(const json& answer) {
  std::array<double, 9> out{};
  for (int k = 0; k < 9; ++k) out[k] = answer["JointAngle"]["J" + std::to_string(k + 1)].get<double>();
  return out;
}

}  // namespace simtest
