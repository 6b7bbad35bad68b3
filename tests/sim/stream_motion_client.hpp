// A minimal Stream Motion client of the tests' own, written from the packet
// layouts a FANUC controller uses (big-endian scalars, little-endian values
// inside the I/O arrays), with nothing of the simulator's own code: a
// connected UDP socket, packet builders and parsers, and a lockstep loop
// that answers every status with one command.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <condition_variable>
#include <cstring>
#include <algorithm>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace smtest {

using Bytes = std::vector<uint8_t>;
using Joints = std::array<double, 9>;
using namespace std::chrono_literals;

inline constexpr auto kWait = std::chrono::milliseconds(10000);

enum : uint32_t {
  kStop = 2, kThreshold = 3, kGetCapability = 7, kSetCapability = 8, kStart = 200, kCommand = 201,
  kStatus3 = 202, kGpio = 203, kStatus4 = 204, kForceSensor = 205,
};

// ---- writing ----------------------------------------------------------------------
inline void be32(Bytes& b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}
inline void be16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
inline void be64f(Bytes& b, double d) {
  uint64_t v = std::bit_cast<uint64_t>(d);
  for (int s = 56; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

inline Bytes header(uint32_t type, uint32_t version) {
  Bytes b;
  be32(b, type);
  be32(b, version);
  return b;
}
inline Bytes start_packet(uint32_t version) { return header(kStart, version); }
inline Bytes stop_packet(uint32_t version) { return header(kStop, version); }
inline Bytes capability_packet(uint32_t type, uint32_t version, uint32_t start_move = 0, uint32_t use_tcp = 0) {
  Bytes b = header(type, version);
  for (uint32_t v : {1u, 0u, start_move, 0u, use_tcp}) be32(b, v);
  return b;
}
inline Bytes threshold_packet(uint32_t version, uint32_t axis, uint32_t kind) {
  Bytes b = header(kThreshold, version);
  be32(b, axis);
  be32(b, kind);
  return b;
}
struct GpioEntry {
  uint32_t command_type, gpio_type, start, length;
};
inline Bytes gpio_packet(uint32_t version, const std::vector<GpioEntry>& entries) {
  Bytes b = header(kGpio, version);
  for (std::size_t i = 0; i < 32; ++i) {
    GpioEntry e = i < entries.size() ? entries[i] : GpioEntry{0, 0, 0, 0};
    for (uint32_t v : {e.command_type, e.gpio_type, e.start, e.length}) be32(b, v);
  }
  return b;
}

struct Command {
  uint32_t version = 3;
  uint32_t sequence = 0;
  bool last = false;
  bool motion = true;
  uint16_t data_style = 0xFFFF;
  Joints position{};
  std::array<uint8_t, 256> io{};
};
inline Bytes command_packet(const Command& c) {
  Bytes b = header(kCommand, c.version);
  be32(b, c.sequence);
  b.push_back(c.last ? 1 : 0);
  b.push_back(c.motion ? 1 : 0);
  be16(b, c.data_style);
  for (double q : c.position) be64f(b, q);
  b.insert(b.end(), c.io.begin(), c.io.end());
  return b;
}

// ---- reading ----------------------------------------------------------------------
inline uint32_t rd32(const Bytes& b, std::size_t at) {
  return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}
inline float rdf(const Bytes& b, std::size_t at) { return std::bit_cast<float>(rd32(b, at)); }

struct Status {
  uint32_t type = 0, version = 0, sequence = 0;
  uint8_t status = 0, robot_status = 0, contact_stop = 0;
  uint32_t time_stamp = 0;
  std::array<float, 9> position{}, joints{}, current{};
  float safety_scale = 0;
  std::array<float, 6> force{};
  uint32_t fs_type = 0;
  std::array<uint8_t, 256> io{};
  std::size_t size = 0;

  bool ready() const { return status & 1; }
  bool command_received() const { return status & 2; }
  bool system_ready() const { return status & 4; }
  bool in_motion() const { return status & 8; }
  bool in_error() const { return robot_status & 1; }
  bool tp_enabled() const { return robot_status & 2; }
  bool e_stopped() const { return robot_status & 4; }
  Joints joint_array() const {
    Joints q{};
    for (std::size_t k = 0; k < 9; ++k) q[k] = joints[k];
    return q;
  }
};

inline std::optional<Status> parse_status(const Bytes& b) {
  if (b.size() < 8) return std::nullopt;
  Status s;
  s.type = rd32(b, 0);
  s.version = rd32(b, 4);
  bool v4 = s.type == kStatus4;
  if (!(s.type == kStatus3 && b.size() == 388) && !(v4 && b.size() == 416)) return std::nullopt;
  s.size = b.size();
  s.sequence = rd32(b, 8);
  s.status = b[12];
  s.robot_status = b[13];
  s.contact_stop = b[14];
  s.time_stamp = rd32(b, 16);
  for (std::size_t k = 0; k < 9; ++k) {
    s.position[k] = rdf(b, 20 + 4 * k);
    s.joints[k] = rdf(b, 56 + 4 * k);
    s.current[k] = rdf(b, 92 + 4 * k);
  }
  s.safety_scale = rdf(b, 128);
  std::size_t io_at = 132;
  if (v4) {
    for (std::size_t k = 0; k < 6; ++k) s.force[k] = rdf(b, 132 + 4 * k);
    s.fs_type = rd32(b, 156);
    io_at = 160;
  }
  std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(io_at), 256, s.io.begin());
  return s;
}

struct Capability {
  uint32_t type, version, id, sampling_rate, start_move, available_version, use_tcp;
};
inline std::optional<Capability> parse_capability(const Bytes& b) {
  if (b.size() != 28) return std::nullopt;
  return Capability{rd32(b, 0), rd32(b, 4), rd32(b, 8), rd32(b, 12), rd32(b, 16), rd32(b, 20), rd32(b, 24)};
}

struct Thresholds {
  uint32_t version, axis, kind, max_cartesian_speed, interval;
  std::array<float, 20> no_payload, full_payload;
};
inline std::optional<Thresholds> parse_thresholds(const Bytes& b) {
  if (b.size() != 184 || rd32(b, 0) != kThreshold) return std::nullopt;
  Thresholds t{rd32(b, 4), rd32(b, 8), rd32(b, 12), rd32(b, 16), rd32(b, 20), {}, {}};
  for (std::size_t i = 0; i < 20; ++i) {
    t.no_payload[i] = rdf(b, 24 + 4 * i);
    t.full_payload[i] = rdf(b, 104 + 4 * i);
  }
  return t;
}

// ---- the socket ---------------------------------------------------------------------
class UdpClient {
public:
  // A connected socket to the controller, from an ephemeral port of `local`.
  UdpClient(const std::string& controller, uint16_t port, const std::string& local = "127.0.0.1") {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in me{};
    me.sin_family = AF_INET;
    ::inet_pton(AF_INET, local.c_str(), &me.sin_addr);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&me), sizeof me), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, controller.c_str(), &to.sin_addr);
    EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  }
  ~UdpClient() { ::close(fd_); }
  UdpClient(const UdpClient&) = delete;
  UdpClient& operator=(const UdpClient&) = delete;

  void send(const Bytes& b) { ::send(fd_, b.data(), b.size(), 0); }

  // The next datagram, or empty on time-out.
  std::optional<Bytes> receive(std::chrono::milliseconds timeout = kWait) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    Bytes b(65536);
    ssize_t n = ::recv(fd_, b.data(), b.size(), 0);
    if (n < 0) return std::nullopt;
    b.resize(static_cast<std::size_t>(n));
    return b;
  }

  // The next datagram that satisfies `pred`; those before it are dropped.
  std::optional<Bytes> receive_until(const std::function<bool(const Bytes&)>& pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() < 0) return std::nullopt;
      auto b = receive(left);
      if (!b || pred(*b)) return b;
    }
  }

  // The next datagram that is not a status (statuses in between are dropped).
  std::optional<Bytes> answer(std::chrono::milliseconds timeout = kWait) {
    return receive_until([](const Bytes& b) { return !parse_status(b); }, timeout);
  }

  std::optional<Status> status(std::chrono::milliseconds timeout = kWait) {
    auto b = receive_until([](const Bytes& d) { return parse_status(d).has_value(); }, timeout);
    return b ? parse_status(*b) : std::nullopt;
  }

  // Whether nothing arrives for `quiet` (for "no status is sent").
  bool silent_for(std::chrono::milliseconds quiet) { return !receive(quiet).has_value(); }

private:
  int fd_ = -1;
};

// ---- the lockstep loop -----------------------------------------------------------------
// Answers every status with one command numbered like the status, built by
// `next`; records every status. Runs on its own thread until stopped or
// until `next` returns empty (then it keeps reading statuses only). A
// `NextMany` may answer a status with no command or several.
class Streamer {
public:
  using Next = std::function<std::optional<Command>(const Status&)>;
  using NextMany = std::function<std::optional<std::vector<Command>>(const Status&)>;

  Streamer(UdpClient& link, Next next)
      : Streamer(link, NextMany([next = std::move(next)](const Status& s) -> std::optional<std::vector<Command>> {
          auto c = next(s);
          if (!c) return std::nullopt;
          return std::vector<Command>{*c};
        })) {}
  Streamer(UdpClient& link, NextMany next) : link_(link), next_(std::move(next)) {
    thread_ = std::thread([this] { run(); });
  }
  ~Streamer() { stop(); }

  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Stops answering (the loop still reads statuses).
  void go_silent() { silent_ = true; }

  std::vector<Status> statuses() const {
    std::lock_guard lk(m_);
    return statuses_;
  }
  // Waits until a status satisfies `pred` (also one seen before); returns it.
  std::optional<Status> wait_for(const std::function<bool(const Status&)>& pred,
                                 std::chrono::milliseconds timeout = kWait) const {
    std::unique_lock lk(m_);
    std::size_t seen = 0;
    std::optional<Status> found;
    cv_.wait_for(lk, timeout, [&] {
      for (; seen < statuses_.size(); ++seen)
        if (pred(statuses_[seen])) {
          found = statuses_[seen];
          return true;
        }
      return false;
    });
    return found;
  }
  std::size_t count() const {
    std::lock_guard lk(m_);
    return statuses_.size();
  }

private:
  void run() {
    while (!stop_) {
      auto s = link_.status(50ms);
      if (!s) continue;
      {
        std::lock_guard lk(m_);
        statuses_.push_back(*s);
      }
      cv_.notify_all();
      if (silent_ || done_) continue;
      auto commands = next_(*s);
      if (!commands) {
        done_ = true;
        continue;
      }
      for (const auto& c : *commands) link_.send(command_packet(c));
    }
  }

  UdpClient& link_;
  NextMany next_;
  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  std::vector<Status> statuses_;
  std::atomic<bool> stop_{false}, silent_{false};
  bool done_ = false;
  std::thread thread_;
};

// A smooth move from rest to rest: q(τ) = from + (to - from) s(τ), with
// s = 35τ⁴ - 84τ⁵ + 70τ⁶ - 20τ⁷, whose velocity, acceleration and jerk
// vanish at both ends.
inline Joints smooth(const Joints& from, const Joints& to, double tau) {
  tau = std::clamp(tau, 0.0, 1.0);
  double t4 = tau * tau * tau * tau;
  double s = t4 * (35 - 84 * tau + 70 * tau * tau - 20 * tau * tau * tau);
  Joints q;
  for (std::size_t k = 0; k < 9; ++k) q[k] = from[k] + (to[k] - from[k]) * s;
  return q;
}

}  // namespace smtest
