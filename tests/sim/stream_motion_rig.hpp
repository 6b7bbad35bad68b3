// A simulator on a loopback address of its own with an RMI session and a
// Stream Motion client, brought up the way a FANUC client does it: RMI
// initialised, "FRC_Call" STREAM_MOTN (not awaited), then over UDP a
// defensive Stop, the capability (adopting its version) and Start.
#pragma once

#include <memory>
#include <string>

#include "sim/rmi_client.hpp"
#include "sim/stream_motion_client.hpp"

namespace smtest {

inline orvane::sim::SimulatorConfig stream_config(int version = 3, int period_ms = 8) {
  orvane::sim::SimulatorConfig cfg;
  cfg.stream_motion_version = version;
  cfg.stream_motion_period_ms = period_ms;
  cfg.stream_motion_ready_delay = 0.05;
  return cfg;
}

class Rig {
public:
  explicit Rig(orvane::sim::SimulatorConfig cfg = stream_config()) {
    rmi_ = simtest::RmiClient::start(cfg);
    udp_ = std::make_unique<UdpClient>(sim().config().address, sim().stream_motion_port());
  }

  orvane::sim::ControllerSimulator& sim() { return rmi_->sim(); }
  simtest::RmiClient& rmi() { return *rmi_; }
  UdpClient& udp() { return *udp_; }
  uint32_t version() const { return version_; }

  // FRC_Call STREAM_MOTN; its answer comes when the program ends. Returns
  // once the controller has taken it, as a client's later UDP packets
  // would find it on a controller (they come after many round trips).
  int call_program() {
    std::size_t from = sim().received_line_count();
    int seq = rmi_->send({{"Instruction", "FRC_Call"}, {"ProgramName", "STREAM_MOTN"}});
    EXPECT_TRUE(sim().wait_for_line([](const std::string& l) { return l.find("STREAM_MOTN") != std::string::npos; },
                                    kWait, from));
    return seq;
  }

  Capability capability(uint32_t version = 3) {
    udp_->send(capability_packet(kGetCapability, version));
    auto a = udp_->answer();
    EXPECT_TRUE(a.has_value());
    auto c = a ? parse_capability(*a) : std::nullopt;
    EXPECT_TRUE(c.has_value());
    return c.value_or(Capability{});
  }

  Thresholds thresholds(uint32_t axis, uint32_t kind) {
    udp_->send(threshold_packet(version_, axis, kind));
    auto a = udp_->answer();
    auto t = a ? parse_thresholds(*a) : std::nullopt;
    EXPECT_TRUE(t.has_value()) << "axis " << axis << " kind " << kind;
    return t.value_or(Thresholds{});
  }

  // Stop, capability (its version adopted), FRC_Call unless told not to, Start.
  // A start buffer (start_move) above 1 lets the client be that many
  // periods late less one: tests that are not about lateness take it, so
  // that a busy host cannot fail them.
  void bring_up(bool call = true, uint32_t start_move = 0) {
    udp_->send(stop_packet(3));
    version_ = capability().available_version;
    if (start_move > 0) {
      udp_->send(capability_packet(kSetCapability, 3, start_move, 0));
      auto set = parse_capability(udp_->answer().value_or(Bytes{}));
      EXPECT_TRUE(set && set->start_move == start_move);
    }
    if (call) call_seq_ = call_program();
    udp_->send(start_packet(version_));
  }
  void bring_up_with_slack() { bring_up(true, kSlack); }
  static constexpr uint32_t kSlack = 9;
  int call_seq() const { return call_seq_; }

  // The alarm history over RMI, newest first.
  std::string read_error() {
    return rmi_->command({{"Command", "FRC_ReadError"}}).value("ErrorData", std::string());
  }

private:
  std::unique_ptr<simtest::RmiClient> rmi_;
  std::unique_ptr<UdpClient> udp_;
  uint32_t version_ = 3;
  int call_seq_ = 0;
};

// Runs `attempt` (a fresh session each time) until it reports that it
// could judge: a host that stalls the tests' client for a period makes
// the controller miss a command, which says nothing about what an attempt
// checks when it needs prompt answers. Fails when no attempt could judge.
inline void until_judged(const std::function<bool()>& attempt, int attempts = 10) {
  for (int i = 0; i < attempts; ++i)
    if (attempt() || ::testing::Test::HasFatalFailure()) return;
  ADD_FAILURE() << "every attempt missed a period on this host";
}

// A command that answers `s` and holds the position it reports (I/O only
// unless `motion`).
inline Command holding(const Status& s, uint32_t version, bool motion = false) {
  Command c;
  c.version = version;
  c.sequence = s.sequence;
  c.motion = motion;
  c.position = s.joint_array();
  return c;
}

// Streams a smooth move of `delta` degrees (Stream Motion convention) from
// where the arm is when bit 0 rises, taking `seconds`, ending with the last
// command; before bit 0 it answers with I/O-only commands. Returns every
// motion command it sent, in order, through `sent`.
inline Streamer::Next smooth_move(uint32_t version, double period_s, const Joints& delta, double seconds,
                                  std::shared_ptr<std::vector<Command>> sent) {
  struct State {
    bool moving = false;
    Joints from{}, to{};
    int i = 0, n = 0;
  };
  auto st = std::make_shared<State>();
  return [=](const Status& s) -> std::optional<Command> {
    if (!st->moving) {
      if (!s.ready()) return holding(s, version);
      st->moving = true;
      st->from = s.joint_array();
      for (std::size_t k = 0; k < 9; ++k) st->to[k] = st->from[k] + delta[k];
      st->n = static_cast<int>(std::lround(seconds / period_s));
    }
    if (st->i > st->n) return std::nullopt;
    Command c;
    c.version = version;
    c.sequence = s.sequence;
    c.position = smooth(st->from, st->to, static_cast<double>(st->i) / st->n);
    c.last = st->i == st->n;
    ++st->i;
    sent->push_back(c);
    return c;
  };
}

}  // namespace smtest
