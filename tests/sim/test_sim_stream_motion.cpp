// Stream Motion through a client of the tests' own: capability, threshold
// tables, the status flow of a session, and a smooth motion followed one
// command per period, on both protocol versions and both periods.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "orvane/motion/robots.hpp"
#include "sim/stream_motion_rig.hpp"

using namespace smtest;

namespace {

using Params = std::tuple<int, int>;  // version, period ms

class EveryVersionAndPeriod : public ::testing::TestWithParam<Params> {};

std::string name_of(const ::testing::TestParamInfo<Params>& info) {
  return "v" + std::to_string(std::get<0>(info.param)) + "_" + std::to_string(std::get<1>(info.param)) + "ms";
}

TEST_P(EveryVersionAndPeriod, TheCapabilityNamesThePeriodAndVersionAndKeepsTheSettingsAClientSets) {
  auto [version, period] = GetParam();
  Rig rig(stream_config(version, period));
  Capability c = rig.capability(3);  // a client asks with version 3, whatever the controller serves
  EXPECT_EQ(c.type, kGetCapability);
  EXPECT_EQ(c.id, 1u);
  EXPECT_EQ(c.sampling_rate, static_cast<uint32_t>(period));
  EXPECT_EQ(c.available_version, static_cast<uint32_t>(version));
  EXPECT_EQ(c.start_move, 0u);
  EXPECT_EQ(c.use_tcp, 0u);
  // RMI shows the same controller's period.
  auto com = rig.rmi().command({{"Command", "FRC_ReadVariable"}, {"VariableName", "$STMO.$COM_INT"}});
  EXPECT_EQ(com.value("VariableValue", -1), period) << com.dump();

  rig.udp().send(capability_packet(kSetCapability, 3, 4, 1));
  auto set = parse_capability(rig.udp().answer().value_or(Bytes{}));
  ASSERT_TRUE(set);
  EXPECT_EQ(set->type, kSetCapability);
  EXPECT_EQ(set->start_move, 4u);
  EXPECT_EQ(set->use_tcp, 1u);
  EXPECT_EQ(set->sampling_rate, static_cast<uint32_t>(period)) << "read-only";

  rig.udp().send(capability_packet(kSetCapability, 3, 10, 2));  // out of range: nothing changes
  auto refused = parse_capability(rig.udp().answer().value_or(Bytes{}));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->start_move, 4u);
  EXPECT_EQ(refused->use_tcp, 1u);
  EXPECT_EQ(rig.capability().start_move, 4u);
}

TEST_P(EveryVersionAndPeriod, StatusFlowsEveryPeriodNumberedFromOneInTheSessionsLayoutUntilStop) {
  auto [version, period] = GetParam();
  Rig rig(stream_config(version, period));
  rig.bring_up();
  std::vector<Status> seen;
  for (int i = 0; i < 30; ++i) {
    auto s = rig.udp().status();
    ASSERT_TRUE(s) << "status " << i;
    seen.push_back(*s);
  }
  EXPECT_EQ(seen.front().sequence, 1u);
  for (std::size_t i = 1; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].sequence, seen[i - 1].sequence + 1);
    EXPECT_GE(seen[i].time_stamp, seen[i - 1].time_stamp + static_cast<uint32_t>(period) - 2);
  }
  for (const auto& s : seen) {
    EXPECT_EQ(s.version, static_cast<uint32_t>(version));
    EXPECT_EQ(s.type, version == 4 ? kStatus4 : kStatus3);
    EXPECT_EQ(s.size, version == 4 ? 416u : 388u);
    EXPECT_EQ(s.time_stamp % 2, 0u);
    EXPECT_FLOAT_EQ(s.safety_scale, 1.0f);
    EXPECT_TRUE(s.system_ready());
    EXPECT_FALSE(s.in_error());
    if (version == 4) EXPECT_EQ(s.fs_type, 0xFFFFFFFFu) << "no force sensor";
  }
  // Bit 0 rises once STREAM_MOTN runs (it was called before Start).
  EXPECT_TRUE(rig.udp().status() && rig.sim().wait_for_stream([](const auto& st) { return st.status & 1; }, kWait));

  rig.udp().send(stop_packet(rig.version()));
  ASSERT_TRUE(rig.sim().wait_for_stream([](const auto& st) { return !st.live; }, kWait));
  while (rig.udp().receive(50ms)) {
  }
  EXPECT_TRUE(rig.udp().silent_for(200ms)) << "status after Stop";
}

INSTANTIATE_TEST_SUITE_P(StreamMotion, EveryVersionAndPeriod,
                         ::testing::Values(Params{3, 8}, Params{3, 4}, Params{4, 8}, Params{4, 4}), name_of);

TEST(StreamMotionStatus, ReportsTheArmWhereRmiDoesWithJ3IndependentAndTheFaceplateUnlessTheTcpIsAsked) {
  auto cfg = stream_config();
  cfg.initial_position_deg = {10, 20, -15, 5, -30, 40, 0, 0, 0};  // RMI convention: J3 relative to J2
  Rig rig(cfg);
  rig.bring_up(false);
  auto s = rig.udp().status();
  ASSERT_TRUE(s);
  auto rmi = rig.rmi().joints_now();
  EXPECT_NEAR(s->joints[0], rmi[0], 1e-3);
  EXPECT_NEAR(s->joints[1], rmi[1], 1e-3);
  EXPECT_NEAR(s->joints[2], rmi[2] + rmi[1], 1e-3) << "Stream Motion J3 = RMI J3 + J2";
  EXPECT_NEAR(s->joints[5], rmi[5], 1e-3);

  // Faceplate by default: the TCP of a 100 mm tool lies 100 mm away from it.
  rig.rmi().command({{"Command", "FRC_WriteUToolData"},
                     {"ToolNumber", 1},
                     {"Frame", {{"X", 0}, {"Y", 0}, {"Z", 100}, {"W", 0}, {"P", 0}, {"R", 0}}}});
  auto tcp = rig.rmi().tcp_now();
  auto faceplate = rig.udp().status().value();
  double gap = std::hypot(faceplate.position[0] - tcp.x, faceplate.position[1] - tcp.y, faceplate.position[2] - tcp.z);
  EXPECT_NEAR(gap, 100.0, 0.01);

  rig.udp().send(stop_packet(rig.version()));
  ASSERT_TRUE(rig.sim().wait_for_stream([](const auto& st) { return !st.live; }, kWait));
  rig.udp().send(capability_packet(kSetCapability, 3, 0, 1));
  ASSERT_TRUE(rig.udp().answer());
  rig.udp().send(start_packet(rig.version()));
  auto with_tcp = rig.udp().status().value();
  EXPECT_NEAR(with_tcp.position[0], tcp.x, 0.01);
  EXPECT_NEAR(with_tcp.position[1], tcp.y, 0.01);
  EXPECT_NEAR(with_tcp.position[2], tcp.z, 0.01);
}

TEST(StreamMotionStatus, BitZeroNeverRisesWhenStreamMotnIsCalledAfterTheStart) {
  Rig rig;
  rig.bring_up(false);
  rig.call_program();
  auto s = rig.udp().status();
  ASSERT_TRUE(s);
  // Long past the ready delay, bit 0 stays clear for the whole session.
  for (int i = 0; i < 40; ++i) {
    auto later = rig.udp().status();
    ASSERT_TRUE(later);
    EXPECT_FALSE(later->ready()) << "status " << later->sequence;
  }
  // A new session started while the program runs arms it.
  rig.udp().send(stop_packet(rig.version()));
  ASSERT_TRUE(rig.sim().wait_for_stream([](const auto& st) { return !st.live; }, kWait));
  // The Stop while STREAM_MOTN runs is a motion fault: reset, call again, then Start.
  rig.rmi().command({{"Command", "FRC_Reset"}});
  rig.call_program();
  rig.udp().send(start_packet(rig.version()));
  EXPECT_TRUE(rig.sim().wait_for_stream([](const auto& st) { return st.live && (st.status & 1); }, kWait));
}

// ---- threshold tables ------------------------------------------------------------------

class ThresholdTables : public ::testing::TestWithParam<std::string> {};

TEST_P(ThresholdTables, EveryEntryHoldsTheModelsLimitFallingWithSpeedAndBelowWithFullPayload) {
  auto cfg = stream_config(3, 4);
  cfg.arm_model = GetParam();
  cfg.joint_limits = GetParam() == "crx10ial" ? orvane::sim::crx10ial_limits() : orvane::sim::lrmate200id_limits();
  // The simulator keeps its own copy of the limits: it must be the model a planner keeps.
  auto model = (GetParam() == "crx10ial" ? orvane::robots::fanuc_crx10ial() : orvane::robots::fanuc_lrmate200id())->get_joint_limits();
  ASSERT_EQ(model.size(), cfg.joint_limits.size());
  for (std::size_t k = 0; k < model.size(); ++k) {
    SCOPED_TRACE("J" + std::to_string(k + 1));
    const auto& mine = cfg.joint_limits[k];
    for (auto [a, b] : {std::pair{mine.lower, model[k].lower}, std::pair{mine.upper, model[k].upper},
                        std::pair{mine.max_velocity, model[k].max_velocity},
                        std::pair{mine.max_acceleration, model[k].max_acceleration},
                        std::pair{mine.max_jerk, model[k].max_jerk}})
      EXPECT_NEAR(a, b, 1e-6 * std::fabs(b));
  }
  Rig rig(cfg);
  const double deg = 180.0 / M_PI;
  for (uint32_t axis = 1; axis <= 9; ++axis) {
    for (uint32_t kind = 0; kind < 3; ++kind) {
      Thresholds t = rig.thresholds(axis, kind);
      EXPECT_EQ(t.axis, axis);
      EXPECT_EQ(t.kind, kind);
      EXPECT_EQ(t.max_cartesian_speed, 2000u);
      EXPECT_EQ(t.interval, 4u);
      if (axis > cfg.joint_limits.size()) {
        for (int i = 0; i < 20; ++i) EXPECT_EQ(t.no_payload[i] + t.full_payload[i], 0.0f) << "no axis " << axis;
        continue;
      }
      const auto& l = cfg.joint_limits[axis - 1];
      double limit = (kind == 0 ? l.max_velocity : kind == 1 ? l.max_acceleration : 5.0 * l.max_acceleration) * deg;
      for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE("axis " + std::to_string(axis) + " kind " + std::to_string(kind) + " step " + std::to_string(i));
        EXPECT_GE(static_cast<double>(t.full_payload[i]), limit);
        EXPECT_LT(t.full_payload[i], t.no_payload[i]);
        if (i > 0) {
          EXPECT_LT(t.full_payload[i], t.full_payload[i - 1]);
          EXPECT_LT(t.no_payload[i], t.no_payload[i - 1]);
        }
      }
      EXPECT_NEAR(t.full_payload[19], limit, limit * 1e-6) << "the limit itself at the top step with full payload";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(StreamMotion, ThresholdTables, ::testing::Values("lrmate200id", "crx10ial"));

// ---- a smooth motion -------------------------------------------------------------------

class SmoothMotion : public ::testing::TestWithParam<Params> {};

TEST_P(SmoothMotion, EveryCommandIsTheArmsPositionOnePeriodLaterAndTheLastEndsTheProgram) {
  auto [version, period] = GetParam();
  const Joints delta{20, 10, 15, -5, 8, 30, 0, 0, 0};
  // A host that stalls the client for a period says nothing about following:
  // such an attempt (the simulator counts the missed period) is run again.
  for (int attempt = 0; attempt < 10; ++attempt) {
    Rig rig(stream_config(version, period));
    rig.bring_up();
    auto sent = std::make_shared<std::vector<Command>>();
    Streamer streamer(rig.udp(), smooth_move(rig.version(), period / 1000.0, delta, 0.8, sent));
    bool was_ready = false;
    auto ended = streamer.wait_for([&](const Status& s) {
      was_ready = was_ready || s.ready();
      return was_ready && !s.ready() && !s.in_motion();
    });
    streamer.stop();
    if (rig.sim().stream_motion_status().missed_periods > 0) continue;
    ASSERT_TRUE(ended) << "the motion did not end";

    // Every motion command was taken.
    auto records = rig.sim().stream_commands();
    std::size_t accepted = 0;
    for (const auto& r : records)
      if (r.motion && r.verdict == orvane::sim::CommandVerdict::Accepted) ++accepted;
    EXPECT_EQ(accepted, sent->size());

    // Status n + 1 reports command n.
    auto statuses = streamer.statuses();
    std::size_t checked = 0;
    for (const auto& c : *sent) {
      for (const auto& s : statuses) {
        if (s.sequence != c.sequence + 1) continue;
        for (std::size_t k = 0; k < 6; ++k) EXPECT_NEAR(s.joints[k], c.position[k], 1e-3) << "status " << s.sequence;
        ++checked;
      }
    }
    EXPECT_EQ(checked, sent->size());

    // Moving while the commands change; at the end bits 0 and 3 fall and
    // the program's FRC_Call is answered.
    EXPECT_TRUE(std::any_of(statuses.begin(), statuses.end(), [](const Status& s) { return s.in_motion(); }));
    EXPECT_FALSE(statuses.back().in_motion());
    EXPECT_FALSE(statuses.back().ready());
    EXPECT_EQ(rig.rmi().await(rig.call_seq()).value("ErrorID", -1), 0);

    // RMI reads the streamed position (its J3 relative to J2).
    auto end = sent->back().position;
    auto rmi = rig.rmi().joints_now();
    EXPECT_NEAR(rmi[0], end[0], 1e-3);
    EXPECT_NEAR(rmi[1], end[1], 1e-3);
    EXPECT_NEAR(rmi[2], end[2] - end[1], 1e-3);
    EXPECT_NEAR(rmi[5], end[5], 1e-3);

    // The executed path holds each command once, in order, one period apart.
    auto path = rig.sim().executed_path();
    std::size_t next = 0;
    for (const auto& p : path) {
      if (next < sent->size() && std::abs(p.planner_deg[0] - (*sent)[next].position[0]) < 1e-9 &&
          std::abs(p.planner_deg[5] - (*sent)[next].position[5]) < 1e-9)
        ++next;
    }
    EXPECT_EQ(next, sent->size()) << "commands found in the executed path in order";
    for (std::size_t i = 1; i < path.size(); ++i) EXPECT_GE(path[i].t - path[i - 1].t, period / 1000.0 - 1e-9);

    // The record holds the session's packets beside the RMI lines.
    std::size_t starts = 0, commands = 0;
    for (const auto& line : rig.sim().received_lines()) {
      if (line.channel != "stream") continue;
      auto j = simtest::json::parse(line.line);
      if (j["Packet"] == "Start") ++starts;
      if (j["Packet"] == "Command" && j["MotionCtrl"] == 1) {
        EXPECT_EQ(j["SequenceNo"], (*sent)[commands].sequence);
        EXPECT_EQ(j["Position"][0].get<double>(), (*sent)[commands].position[0]);
        ++commands;
      }
    }
    EXPECT_EQ(starts, 1u);
    EXPECT_EQ(commands, sent->size());
    return;
  }
  FAIL() << "every attempt missed a period on this host";
}

TEST(StreamMotionServoLag, DelaysTheReportedPositionAsItDoesOverRmi) {
  until_judged([]() -> bool {
    auto cfg = stream_config();
    cfg.servo_lag = 0.04;  // five periods
    Rig rig(cfg);
    rig.bring_up();
    auto sent = std::make_shared<std::vector<Command>>();
    Joints delta{};
    delta[0] = 10;
    Streamer streamer(rig.udp(), smooth_move(rig.version(), 0.008, delta, 0.5, sent));
    bool was_ready = false;
    auto ended = streamer.wait_for([&](const Status& s) {
      was_ready = was_ready || s.ready();
      return was_ready && !s.ready();
    });
    bool settled = ended && streamer.wait_for([&](const Status& s) { return s.sequence > ended->sequence + 8; });
    streamer.stop();
    EXPECT_TRUE(settled);
    if (!settled) return true;
    if (rig.sim().stream_motion_status().missed_periods > 0) return false;  // the program faulted: no answer
    EXPECT_EQ(rig.rmi().await(rig.call_seq()).value("ErrorID", -1), 0);
    // A host that holds up the simulator itself stretches a period; the lag
    // is time, so such an attempt cannot be judged by status numbers.
    auto path = rig.sim().executed_path();
    for (std::size_t i = 1; i < path.size(); ++i)
      if (path[i].t - path[i - 1].t > 0.008 + 1e-6) return false;
    std::size_t checked = 0;
    auto statuses = streamer.statuses();
    for (const auto& c : *sent)
      for (const auto& s : statuses)
        if (s.sequence == c.sequence + 1 + 5) {
          EXPECT_NEAR(s.joints[0], c.position[0], 1e-4) << "status " << s.sequence;
          ++checked;
        }
    EXPECT_EQ(checked, sent->size());
    return true;
  });
}

INSTANTIATE_TEST_SUITE_P(StreamMotion, SmoothMotion,
                         ::testing::Values(Params{3, 8}, Params{3, 4}, Params{4, 8}, Params{4, 4}), name_of);

TEST(StreamMotionCommands, IoOnlyCommandsMoveNothing) {
  Rig rig;
  rig.bring_up();
  auto s = rig.udp().status();
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->command_received()) << "no command yet";
  auto before = rig.rmi().joints_now();
  int sent = 0, acknowledged = 0;
  while (sent < 40) {
    auto st = rig.udp().status();
    ASSERT_TRUE(st);
    acknowledged += st->command_received() ? 1 : 0;
    Command c = holding(*st, rig.version(), false);
    c.position[0] += 5.0 + sent;  // far away: only do_motn_ctrl would move there
    rig.udp().send(command_packet(c));
    ++sent;
  }
  ASSERT_TRUE(rig.sim().wait_for_stream([](const auto& st) { return st.status & 1; }, kWait));
  auto after = rig.rmi().joints_now();
  EXPECT_EQ(after, before);
  EXPECT_GT(acknowledged, 0) << "status bit 1 after a period with a command";
  for (const auto& r : rig.sim().stream_commands())
    EXPECT_EQ(r.verdict, orvane::sim::CommandVerdict::Accepted) << r.sequence << " " << r.detail;
}

}  // namespace
