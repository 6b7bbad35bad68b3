// Stream Motion's rules through a client of the tests' own: the numbering
// of commands (lockstep with the status), the start buffer, the speed step
// that picks a threshold, and the I/O arrays of the GPIO configuration.
#include <gtest/gtest.h>

#include <cmath>

#include "sim/stream_motion_rig.hpp"

using namespace smtest;
using orvane::sim::CommandVerdict;

namespace {

// Waits until the controller has handled `count` more commands than `before`.
std::vector<orvane::sim::StreamCommandRecord> handled(Rig& rig, uint64_t before, uint64_t count) {
  EXPECT_TRUE(rig.sim().wait_for_stream([&](const auto& s) { return s.commands_received >= before + count; }, kWait));
  auto all = rig.sim().stream_commands();
  return {all.end() - static_cast<std::ptrdiff_t>(std::min<uint64_t>(count, all.size())), all.end()};
}

// A status sent after everything handled so far.
Status fresh(Rig& rig) {
  uint32_t after = rig.sim().stream_motion_status().last_status;
  auto s = rig.udp().status();
  while (s && s->sequence <= after) s = rig.udp().status();
  EXPECT_TRUE(s);
  return s.value_or(Status{});
}

// The newest status the client has, draining what is queued.
Status newest(Rig& rig) {
  auto s = rig.udp().status();
  EXPECT_TRUE(s);
  while (auto more = rig.udp().status(0ms)) s = more;
  return s.value_or(Status{});
}

// ---- numbering ------------------------------------------------------------------------

TEST(StreamMotionNumbering, FirstAnswersARecentStatusThenEachFollowsItsPredecessorAndNoneRunsAhead) {
  Rig rig;
  rig.bring_up(false);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(rig.udp().status());
  Status s = newest(rig);
  uint64_t before = rig.sim().stream_motion_status().commands_received;
  auto send = [&](uint32_t seq) {
    Command c = holding(s, rig.version());
    c.sequence = seq;
    rig.udp().send(command_packet(c));
  };
  uint32_t n = s.sequence;
  send(n - 15);       // too old to anchor on
  send(n - 1);        // anchors
  send(n - 1);        // a repeat
  send(n + 1);        // a skip
  send(n);            // its successor
  send(n + 100000);   // answers no status sent yet
  auto r = handled(rig, before, 6);
  EXPECT_EQ(r[0].verdict, CommandVerdict::Refused) << r[0].detail;
  EXPECT_EQ(r[1].verdict, CommandVerdict::Accepted) << r[1].detail;
  EXPECT_EQ(r[2].verdict, CommandVerdict::Refused) << r[2].detail;
  EXPECT_EQ(r[3].verdict, CommandVerdict::Refused) << r[3].detail;
  EXPECT_EQ(r[4].verdict, CommandVerdict::Accepted) << r[4].detail;
  EXPECT_EQ(r[5].verdict, CommandVerdict::Refused) << r[5].detail;
  EXPECT_NE(r[5].detail.find("ahead"), std::string::npos) << r[5].detail;
  // A command from a host that is not the session's peer is not taken.
  UdpClient other(rig.sim().config().address, rig.sim().stream_motion_port(), "127.0.0.3");
  Command c = holding(s, rig.version());
  c.sequence = n + 1;
  other.send(command_packet(c));
  EXPECT_EQ(handled(rig, before + 6, 1)[0].verdict, CommandVerdict::Refused);
}

TEST(StreamMotionNumbering, MoreCommandsThanStatusesAreRefusedAsAhead) {
  Rig rig;
  rig.bring_up(false);
  Status s = newest(rig);
  uint64_t before = rig.sim().stream_motion_status().commands_received;
  for (uint32_t k = 0; k < 6; ++k) {
    Command c = holding(s, rig.version());
    c.sequence = s.sequence + k;
    rig.udp().send(command_packet(c));
  }
  auto r = handled(rig, before, 6);
  EXPECT_EQ(r[0].verdict, CommandVerdict::Accepted);
  // Six commands leave within microseconds, far inside one period: those
  // beyond the last status sent are refused.
  std::size_t ahead = 0;
  for (const auto& x : r)
    if (x.verdict == CommandVerdict::Refused && x.detail.find("ahead") != std::string::npos) ++ahead;
  EXPECT_GE(ahead, 3u);
}

TEST(StreamMotionNumbering, ARepeatedCommandMidMotionLeavesAPeriodEmptyAndEndsTheMotion) {
  Rig rig;
  rig.bring_up_with_slack();
  auto sent = std::make_shared<std::vector<Command>>();
  Joints delta{};
  delta[0] = 20;
  auto move = smooth_move(rig.version(), 0.008, delta, 2.0, sent);
  int answered = 0;
  std::optional<Command> previous;
  Streamer streamer(rig.udp(), [&](const Status& s) -> std::optional<Command> {
    auto c = move(s);
    // From the 30th motion command on, every command repeats its predecessor's number.
    if (c && c->motion && s.ready() && ++answered > 30 && previous) c->sequence = previous->sequence;
    if (c) previous = c;
    return c;
  });
  ASSERT_TRUE(streamer.wait_for([](const Status& s) { return s.in_error() && !s.ready(); }));
  streamer.stop();
  auto records = rig.sim().stream_commands();
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const auto& r) {
    return r.verdict == CommandVerdict::Refused && r.detail.find("sequence") != std::string::npos;
  }));
  EXPECT_NE(rig.read_error().find("MOTN-603"), std::string::npos);
}

// ---- the start buffer -------------------------------------------------------------------

TEST(StreamMotionStartBuffer, TheArmStartsOnceItIsFullThenFollowsThatManyPeriodsBehindAndRidesOutALateClient) {
  until_judged([]() -> bool {
    Rig rig;
    rig.bring_up(true, 4);
    auto sent = std::make_shared<std::vector<Command>>();
    Joints delta{};
    delta[0] = 10;
    auto move = smooth_move(rig.version(), 0.008, delta, 0.6, sent);
    // Prompt, except that once it keeps two answers back and sends them with the third.
    std::vector<Command> held;
    int motion_commands = 0;
    Streamer streamer(rig.udp(), Streamer::NextMany([&](const Status& s) -> std::optional<std::vector<Command>> {
      auto c = move(s);
      if (!c) return std::nullopt;
      if (!c->motion || !s.ready()) return std::vector<Command>{*c};
      held.push_back(*c);
      ++motion_commands;
      if (motion_commands == 20 || motion_commands == 21) return std::vector<Command>{};
      std::vector<Command> out;
      out.swap(held);
      return out;
    }));
    bool was_ready = false;
    auto ended = streamer.wait_for([&](const Status& s) {
      was_ready = was_ready || s.ready();
      return was_ready && !s.ready() && !s.in_motion();
    });
    streamer.stop();
    if (rig.sim().stream_motion_status().missed_periods > 0) return false;
    EXPECT_TRUE(ended);
    auto statuses = streamer.statuses();
    // While prompt (before the held answers), status n + 4 reports command n.
    std::size_t checked = 0;
    for (std::size_t i = 0; i < 15 && i < sent->size(); ++i) {
      const Command& c = (*sent)[i];
      for (const auto& s : statuses)
        if (s.sequence == c.sequence + 4) {
          EXPECT_NEAR(s.joints[0], c.position[0], 1e-4) << "command " << c.sequence;
          ++checked;
        }
    }
    EXPECT_EQ(checked, std::min<std::size_t>(15, sent->size()));
    EXPECT_NEAR(rig.sim().joint_position_deg()[0], sent->back().position[0], 1e-9);
    return true;
  });
}

// ---- the speed step ----------------------------------------------------------------------

// The same jerk on J1 at the same joint speed passes where the faceplate
// moves slowly (near the J1 axis) and breaks the limit where it moves fast
// (arm stretched out): the step comes from the Cartesian speed.
TEST(StreamMotionSpeedStep, TheSameJointMotionMeetsLowerLimitsWhereTheFaceplateMovesFaster) {
  struct Pose {
    Joints rmi;  // J3 relative to J2
    bool fast;
  };
  for (const Pose& pose : {Pose{{-120, 0, 0, 0, 0, 0, 0, 0, 0}, true}, Pose{{-120, -75, 45, 0, -90, 0, 0, 0, 0}, false}}) {
    auto cfg = stream_config();
    cfg.initial_position_deg = pose.rmi;
    Rig rig(cfg);
    rig.bring_up_with_slack();
    auto s = rig.udp().status();
    ASSERT_TRUE(s);
    double reach = std::hypot(s->position[0], s->position[1]);
    auto jerk_table = rig.thresholds(1, 2);
    // J1 at 300 deg/s: the faceplate at `reach` mm moves reach * 5.24 mm/s.
    double v = 300.0, t = 0.008;
    double speed = reach * v * M_PI / 180.0;
    int step = static_cast<int>(std::clamp(std::floor(19 * (1.2 * speed - 100) / 1900), 0.0, 19.0));
    if (pose.fast) ASSERT_EQ(step, 19) << "reach " << reach;
    else ASSERT_LE(step, 5) << "reach " << reach;
    double pulse = 0.5 * (jerk_table.no_payload[19] + jerk_table.no_payload[5]);
    std::string detail;
    // Up to speed within every limit (a smooth velocity ramp over 1 s), a
    // short stretch at constant speed, then a position offset whose third
    // difference reaches `pulse`.
    std::vector<Joints> plan;
    Joints q = s->joint_array();
    plan.push_back(q);
    double ramp = 1.0;
    for (int k = 1; k * t <= ramp + 0.1; ++k) {
      double tau = std::min(1.0, k * t / ramp);
      double shape = tau * tau * tau * (10 - 15 * tau + 6 * tau * tau);
      q[0] += v * shape * t;
      plan.push_back(q);
    }
    double offset = pulse * t * t * t / 2;  // third differences of a step: +d, -2d, +d (over t³)
    for (int k = 0; k < 4; ++k) {
      q[0] += v * t + (k == 0 ? offset : 0.0);
      plan.push_back(q);
    }
    double ramp_end = plan[plan.size() - 5][0];
    auto st = rig.udp().status();
    while (st && !st->ready()) {
      rig.udp().send(command_packet(holding(*st, rig.version())));
      st = rig.udp().status();
    }
    for (const auto& p : plan) {
      ASSERT_TRUE(st);
      Command c;
      c.version = rig.version();
      c.sequence = st->sequence;
      c.position = p;
      c.last = &p == &plan.back();
      rig.udp().send(command_packet(c));
      if (st->in_error() || c.last) break;
      st = rig.udp().status();
    }
    auto records = rig.sim().stream_commands();
    auto faulted = std::find_if(records.begin(), records.end(),
                                [](const auto& r) { return r.verdict == CommandVerdict::Faulted; });
    if (pose.fast) {
      ASSERT_NE(faulted, records.end());
      EXPECT_NE(faulted->detail.find("MOTN-722"), std::string::npos) << faulted->detail;
      EXPECT_GT(faulted->position_deg[0], ramp_end) << "at the pulse, not on the way up";
    } else {
      EXPECT_TRUE(faulted == records.end()) << faulted->detail;
      EXPECT_EQ(rig.rmi().await(rig.call_seq()).value("ErrorID", -1), 0);
      EXPECT_NEAR(rig.sim().joint_position_deg()[0], q[0], 1e-9) << "the whole plan was followed";
    }
  }
}

// ---- GPIO ------------------------------------------------------------------------------------

enum : uint32_t { kNone = 0, kIoCommand = 1, kIoState = 2, kRegCommand = 3, kRegState = 4 };
enum : uint32_t { kDO = 0, kDI = 1, kRO = 2, kRI = 3, kAO = 4, kAI = 5, kF = 6, kReg = 100 };

struct GpioAnswer {
  uint32_t type, result, ptf;
};
GpioAnswer configure(Rig& rig, const std::vector<GpioEntry>& entries) {
  rig.udp().send(gpio_packet(3, entries));
  auto a = rig.udp().answer().value_or(Bytes{});
  EXPECT_EQ(a.size(), 12u);
  if (a.size() != 12) return {0, 99, 0};
  return {rd32(a, 0), rd32(a, 4), rd32(a, 8)};
}

TEST(StreamMotionGpio, AConfigurationThatDoesNotMatchTheControllerAnswersTwo) {
  Rig rig;
  GpioAnswer ok = configure(rig, {{kIoCommand, kDO, 1, 8}, {kIoState, kDI, 1, 16}, {kRegState, kReg, 1, 4}});
  EXPECT_EQ(ok.type, kGpio);
  EXPECT_EQ(ok.result, 0u);
  EXPECT_EQ(ok.ptf, 3u);
  const std::vector<std::pair<std::string, std::vector<GpioEntry>>> refused = {
      {"commanding an input", {{kIoCommand, kDI, 1, 8}}},
      {"register 201", {{kRegCommand, kReg, 200, 2}}},
      {"an I/O type on registers", {{kRegState, kDO, 1, 1}}},
      {"a register type on I/O", {{kIoState, kReg, 1, 1}}},
      {"port 32768", {{kIoState, kDI, 32760, 9}}},
      {"no points", {{kIoState, kDI, 1, 0}}},
      {"port 0", {{kIoState, kDI, 0, 4}}},
      {"more than 256 bytes", {{kIoState, kAI, 1, 100}, {kIoState, kAI, 101, 30}}},
      {"an unknown command type", {{7, kDO, 1, 1}}},
  };
  for (const auto& [name, entries] : refused) EXPECT_EQ(configure(rig, entries).result, 2u) << name;
  rig.bring_up(false);
  EXPECT_EQ(configure(rig, {{kIoCommand, kDO, 1, 8}}).result, 2u) << "while a session is live";
}

TEST(StreamMotionGpio, CommandAndStatusArraysCarryTheControllersPortsAndRegistersInConfigurationOrder) {
  Rig rig;
  ASSERT_EQ(configure(rig, {{kIoCommand, kDO, 3, 10},      // bytes 0-1 (padded to 4)
                            {kRegCommand, kReg, 10, 2},    // bytes 4-11
                            {kIoCommand, kAO, 1, 3},       // bytes 12-17 (padded to 20)
                            {kIoCommand, kF, 5, 3},        // byte 20
                            {kIoState, kDI, 1, 12},        // bytes 0-1
                            {kIoState, kAI, 2, 1},         // bytes 4-5
                            {kRegState, kReg, 20, 1},      // bytes 8-11
                            {kIoState, kDO, 3, 10}})       // bytes 12-13
                .result,
            0u);
  rig.sim().set_port("DI", 1, 1);
  rig.sim().set_port("DI", 10, 1);
  rig.sim().set_port("AI", 2, 4321);
  rig.rmi().command({{"Command", "FRC_WriteRegister"}, {"RegisterNumber", 20}, {"RegisterValue", 2.5}, {"DataType", "Real"}});
  rig.bring_up(false);
  Status s = newest(rig);

  Command c = holding(s, rig.version());
  c.io[0] = 0b0000'0101;  // DO 3 and DO 5
  c.io[1] = 0b0000'0010;  // DO 12
  float r10 = -1.25f, r11 = 1e6f;
  for (int b = 0; b < 4; ++b) {
    c.io[4 + b] = static_cast<uint8_t>(std::bit_cast<uint32_t>(r10) >> (8 * b));
    c.io[8 + b] = static_cast<uint8_t>(std::bit_cast<uint32_t>(r11) >> (8 * b));
  }
  c.io[12] = 0x34;  // AO 1 = 0x1234
  c.io[13] = 0x12;
  c.io[16] = 0xFF;  // AO 3 = 65535
  c.io[17] = 0xFF;
  c.io[20] = 0b010;  // FLAG 6
  uint64_t before = rig.sim().stream_motion_status().commands_received;
  rig.udp().send(command_packet(c));
  ASSERT_EQ(handled(rig, before, 1)[0].verdict, CommandVerdict::Accepted);

  for (int port = 3; port <= 12; ++port)
    EXPECT_EQ(rig.sim().port("DO", port), (port == 3 || port == 5 || port == 12) ? 1.0 : 0.0) << "DO " << port;
  EXPECT_EQ(rig.sim().port("AO", 1), 0x1234);
  EXPECT_EQ(rig.sim().port("AO", 2), 0);
  EXPECT_EQ(rig.sim().port("AO", 3), 65535);
  EXPECT_EQ(rig.sim().port("FLAG", 5), 0);
  EXPECT_EQ(rig.sim().port("FLAG", 6), 1);
  auto r = rig.rmi().command({{"Command", "FRC_ReadRegister"}, {"RegisterNumber", 10}});
  EXPECT_EQ(r.value("RegisterValue", 0.0), -1.25);
  EXPECT_EQ(rig.rmi().command({{"Command", "FRC_ReadRegister"}, {"RegisterNumber", 11}}).value("RegisterValue", 0.0), 1e6);

  Status after = fresh(rig);
  EXPECT_EQ(after.io[0], 0b0000'0001);  // DI 1
  EXPECT_EQ(after.io[1], 0b0000'0010);  // DI 10
  EXPECT_EQ(after.io[4] | (after.io[5] << 8), 4321);
  uint32_t bits = after.io[8] | (after.io[9] << 8) | (after.io[10] << 16) | (uint32_t{after.io[11]} << 24);
  EXPECT_EQ(std::bit_cast<float>(bits), 2.5f);
  EXPECT_EQ(after.io[12], 0b0000'0101) << "the outputs just written";
  EXPECT_EQ(after.io[13], 0b0000'0010);
  for (std::size_t i = 14; i < 256; ++i) EXPECT_EQ(after.io[i], 0) << "byte " << i;
}

}  // namespace
