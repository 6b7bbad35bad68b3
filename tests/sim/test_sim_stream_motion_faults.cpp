// Stream Motion faults through a client of the tests' own: a silent, late
// or lost command, limits broken (injected and real), E-stop, pendant,
// servos, a foreign peer, a second Start, a Stop mid-program, malformed
// packets, FRC_Abort; and the recovery that RMI and Stream Motion share.
#include <gtest/gtest.h>

#include <cmath>

#include "sim/stream_motion_rig.hpp"

using namespace smtest;
using orvane::sim::CommandVerdict;
using orvane::sim::StreamFault;
using orvane::sim::StreamPhase;

namespace {

// A slow move of J1 by `degrees` over `seconds`, started when bit 0 rises.
struct Moving {
  Rig& rig;
  std::shared_ptr<std::vector<Command>> sent = std::make_shared<std::vector<Command>>();
  std::unique_ptr<Streamer> streamer;

  Moving(Rig& r, double degrees, double seconds) : rig(r) {
    Joints delta{};
    delta[0] = degrees;
    double period = r.sim().config().stream_motion_period_ms / 1000.0;
    streamer = std::make_unique<Streamer>(r.udp(), smooth_move(r.version(), period, delta, seconds, sent));
  }
  std::optional<Status> until(const std::function<bool(const Status&)>& pred) { return streamer->wait_for(pred); }
  // Once the arm has moved for `periods`.
  std::optional<Status> moving(int periods = 10) {
    int n = 0;
    return until([&](const Status& s) { return s.in_motion() && ++n >= periods; });
  }
};

bool has_alarm(Rig& rig, const std::string& code) {
  for (const auto& a : rig.sim().alarms())
    if (a.rfind(code, 0) == 0) return true;
  return false;
}

// The FRC_SystemFault the controller pushes over RMI when the streamed motion faults.
bool system_fault_pushed(Rig& rig, int sequence_id) {
  auto j = rig.rmi().link().read_until(
      [](const simtest::json& a) { return a.value("Communication", std::string()) == "FRC_SystemFault"; });
  return j && j->value("SequenceID", -1) == sequence_id;
}

// FRC_Reset and a new FRC_Call bring bit 0 back within the same session.
void recover(Rig& rig) {
  EXPECT_EQ(rig.rmi().command({{"Command", "FRC_Reset"}}).value("ErrorID", -1), 0);
  rig.call_program();
  EXPECT_TRUE(rig.sim().wait_for_stream([](const auto& s) { return s.live && (s.status & 1); }, kWait));
}

TEST(StreamMotionLateCommands, ASilentSenderLeavesTheArmCoastingThenStoppedWithBitZeroDownAndMotn603) {
  Rig rig;
  rig.bring_up_with_slack();
  Moving m(rig, 60, 3.0);
  ASSERT_TRUE(m.moving(100));
  m.streamer->go_silent();
  auto stopped = m.until([&](const Status& s) { return s.in_error() && !s.ready(); });
  ASSERT_TRUE(stopped);
  m.streamer->stop();

  EXPECT_TRUE(system_fault_pushed(rig, rig.call_seq()));
  EXPECT_GE(rig.sim().stream_motion_status().missed_periods, 1u);
  EXPECT_NE(rig.read_error().find("MOTN-603"), std::string::npos);

  // It coasted on past the last command it took, then stood.
  double last = 0, before = 0;
  for (const auto& r : rig.sim().stream_commands())
    if (r.verdict == CommandVerdict::Accepted && r.motion) {
      before = last;
      last = r.position_deg[0];
    }
  double period = rig.sim().config().stream_motion_period_ms / 1000.0;
  double velocity = (last - before) / period;
  ASSERT_GT(velocity, 1.0);
  double end = rig.rmi().joints_now()[0];
  EXPECT_GT(end, last + 0.5 * velocity * period) << "coasted";
  EXPECT_LE(end, last + velocity * (0.1 + 2 * period) + 1e-3) << "then stopped";
  EXPECT_EQ(rig.rmi().joints_now()[0], end);
}

class InjectedLateOrLost : public ::testing::TestWithParam<StreamFault> {};

TEST_P(InjectedLateOrLost, MidMotionEndsTheMotionWithMotn603) {
  // No start buffer: a command late by more than its period is missing. A
  // host that stalls the client first ends the motion before the injected
  // fault: such an attempt is run again.
  for (int attempt = 0; attempt < 10; ++attempt) {
    Rig rig;
    rig.bring_up();
    Moving m(rig, 40, 2.0);
    auto moving = m.moving();
    ASSERT_TRUE(moving);
    uint32_t victim = moving->sequence + 20;
    rig.sim().inject_stream_fault(GetParam(), victim);
    ASSERT_TRUE(m.until([](const Status& s) { return s.in_error() && !s.ready(); }));
    m.streamer->stop();
    auto records = rig.sim().stream_commands();
    auto hit = std::find_if(records.begin(), records.end(), [&](const auto& r) { return r.sequence == victim; });
    if (hit == records.end() || rig.sim().stream_motion_status().missed_periods > 1) continue;
    EXPECT_TRUE(has_alarm(rig, "MOTN-603"));
    if (GetParam() == StreamFault::LoseCommand) EXPECT_EQ(hit->verdict, CommandVerdict::Lost);
    else EXPECT_EQ(hit->verdict, CommandVerdict::Ignored) << "arrived while the arm coasted: " << hit->detail;
    EXPECT_EQ(rig.sim().stream_motion_status().missed_periods, 1u);
    return;
  }
  FAIL() << "every attempt was ended by the host before the injected fault";
}

INSTANTIATE_TEST_SUITE_P(StreamMotion, InjectedLateOrLost,
                         ::testing::Values(StreamFault::LoseCommand, StreamFault::LateCommand));

// ---- limits --------------------------------------------------------------------------

struct InjectedLimit {
  StreamFault fault;
  std::string alarm;
};
void PrintTo(const InjectedLimit& l, std::ostream* os) { *os << l.alarm; }

class InjectedLimits : public ::testing::TestWithParam<InjectedLimit> {};

TEST_P(InjectedLimits, StopTheArmWithTheirAlarmUntilResetAndANewCallWithoutANewStart) {
  Rig rig;
  rig.bring_up_with_slack();
  Moving m(rig, 30, 2.0);
  ASSERT_TRUE(m.moving());
  rig.sim().inject_stream_fault(GetParam().fault);
  auto faulted = m.until([](const Status& s) { return s.in_error(); });
  ASSERT_TRUE(faulted);
  ASSERT_TRUE(m.until([](const Status& s) { return s.in_error() && !s.ready() && !s.in_motion(); }));
  m.streamer->stop();

  EXPECT_TRUE(system_fault_pushed(rig, rig.call_seq()));
  std::string error = rig.read_error();
  EXPECT_EQ(error.rfind(GetParam().alarm, 0), 0u) << error;
  EXPECT_NE(error.find("J1"), std::string::npos) << error;
  auto records = rig.sim().stream_commands();
  auto bad = std::find_if(records.begin(), records.end(), [](const auto& r) { return r.verdict == CommandVerdict::Faulted; });
  ASSERT_NE(bad, records.end());
  EXPECT_NE(error.find("Sq." + std::to_string(bad->sequence)), std::string::npos) << error;
  // Stopped where it was commanded: the arm stands.
  auto here = rig.rmi().joints_now();
  EXPECT_EQ(rig.rmi().joints_now(), here);

  recover(rig);
  EXPECT_TRUE(rig.sim().stream_motion_status().live) << "the same session";
  // ... and a new motion runs to its end.
  auto sent = std::make_shared<std::vector<Command>>();
  Joints delta{};
  delta[0] = -5;
  Streamer again(rig.udp(), smooth_move(rig.version(), 0.008, delta, 0.5, sent));
  bool was_ready = false;
  ASSERT_TRUE(again.wait_for([&](const Status& s) {
    was_ready = was_ready || s.ready();
    return was_ready && !s.ready();
  }));
  again.stop();
  EXPECT_NEAR(rig.rmi().joints_now()[0], here[0] - 5, 2e-3);
}

INSTANTIATE_TEST_SUITE_P(StreamMotion, InjectedLimits,
                         ::testing::Values(InjectedLimit{StreamFault::VelocityLimit, "MOTN-609"},
                                           InjectedLimit{StreamFault::AccelerationLimit, "MOTN-721"},
                                           InjectedLimit{StreamFault::JerkLimit, "MOTN-722"},
                                           InjectedLimit{StreamFault::JointLimit, "SRVO-115"}));

// Sends motion commands from `positions`, one per status, from bit 0 on;
// returns the first verdict other than Accepted among them (else Accepted),
// with its detail in `detail`.
CommandVerdict stream_positions(Rig& rig, const std::function<std::vector<Joints>(const Joints& start)>& plan,
                                uint16_t data_style = 0xFFFF, std::string* detail = nullptr) {
  uint64_t before = rig.sim().stream_motion_status().commands_received;
  std::size_t io_only = 0;
  auto s = rig.udp().status();
  while (s && !s->ready()) {
    rig.udp().send(command_packet(holding(*s, rig.version())));
    ++io_only;
    s = rig.udp().status();
  }
  if (!s) return CommandVerdict::Refused;
  auto positions = plan(s->joint_array());
  std::size_t sent = 0;
  for (const auto& q : positions) {
    Command c;
    c.version = rig.version();
    c.sequence = s->sequence;
    c.position = q;
    c.data_style = data_style;
    rig.udp().send(command_packet(c));
    ++sent;
    if (sent == positions.size()) break;
    s = rig.udp().status();
    if (!s) return CommandVerdict::Refused;
  }
  EXPECT_TRUE(rig.sim().wait_for_stream(
      [&](const auto& st) { return st.commands_received >= before + io_only + sent; }, kWait));
  auto records = rig.sim().stream_commands();
  for (auto it = records.end() - static_cast<std::ptrdiff_t>(sent); it != records.end(); ++it) {
    if (it->verdict == CommandVerdict::Accepted) continue;
    if (detail) *detail = it->detail;
    return it->verdict;
  }
  return CommandVerdict::Accepted;
}

struct RealBreach {
  std::string name;
  std::string alarm;
  // Positions from the arm at rest `q0`, given the no-payload entries of J6
  // at speed step 0 (velocity, acceleration, jerk) and the period.
  std::function<std::vector<Joints>(const Joints& q0, double v, double a, double j, double t)> plan;
  uint16_t data_style = 0xFFFF;
};
void PrintTo(const RealBreach& b, std::ostream* os) { *os << b.name; }

class RealBreaches : public ::testing::TestWithParam<RealBreach> {};

// J6 turns about its own axis: the faceplate stays put, so speed step 0 holds.
std::vector<Joints> j6_profile(const Joints& q0, double t, double seconds, const std::function<double(double)>& accel) {
  std::vector<Joints> out{q0};
  double v = 0;
  Joints q = q0;
  for (int k = 1; k * t <= seconds; ++k) {
    v += accel(k * t) * t;
    q[5] += v * t;
    out.push_back(q);
  }
  return out;
}

TEST_P(RealBreaches, AreRefusedWithTheirAlarmAndStopTheArm) {
  auto cfg = stream_config();
  cfg.initial_position_deg = {0, 0, 0, 0, -90, -340, 0, 0, 0};  // room for J6 to run
  Rig rig(cfg);
  rig.bring_up_with_slack();
  double v = rig.thresholds(6, 0).no_payload[0], a = rig.thresholds(6, 1).no_payload[0],
         j = rig.thresholds(6, 2).no_payload[0];
  double t = 0.008;
  std::string detail;
  auto verdict = stream_positions(rig, [&](const Joints& q0) { return GetParam().plan(q0, v, a, j, t); },
                                  GetParam().data_style, &detail);
  EXPECT_EQ(verdict, CommandVerdict::Faulted) << detail;
  std::string error = rig.read_error();
  EXPECT_EQ(error.rfind(GetParam().alarm, 0), 0u) << error;
  EXPECT_TRUE(rig.sim().wait_for_stream([](const auto& s) { return (s.robot_status & 1) && !(s.status & 1); }, kWait));
}

INSTANTIATE_TEST_SUITE_P(
    StreamMotion, RealBreaches,
    ::testing::Values(
        RealBreach{"JerkFromRest", "MOTN-722",
                   [](const Joints& q0, double, double, double j, double t) {
                     Joints q = q0;
                     q[5] += 1.2 * j * t * t * t;  // one step from rest: jerk = step / t³
                     return std::vector<Joints>{q0, q};
                   }},
        RealBreach{"AccelerationRampedWithinJerk", "MOTN-721",
                   [](const Joints& q0, double, double a, double j, double t) {
                     double ramp = 0.9 * j;
                     return j6_profile(q0, t, 1.2 * a / ramp, [&](double s) { return ramp * s; });
                   }},
        RealBreach{"VelocityRampedWithinAcceleration", "MOTN-609",
                   [](const Joints& q0, double v, double a, double j, double t) {
                     double ramp = 0.9 * j, top = 0.9 * a;
                     return j6_profile(q0, t, top / ramp + 1.1 * v / top,
                                       [&](double s) { return std::min(ramp * s, top); });
                   }},
        RealBreach{"JointRange", "SRVO-115",
                   [](const Joints& q0, double, double, double, double) {
                     Joints q = q0;
                     q[5] = -361;  // J6 turns ±360°
                     return std::vector<Joints>{q0, q};
                   }},
        RealBreach{"AJumpOfTheFaceplate", "MOTN-720",
                   [](const Joints& q0, double, double, double, double) {
                     Joints q = q0;
                     q[0] += 10;  // about 80 mm at this reach in one period
                     return std::vector<Joints>{q0, q};
                   }},
        RealBreach{"NotANumber", "MOTN-625",
                   [](const Joints& q0, double, double, double, double) {
                     Joints q = q0;
                     q[2] = std::nan("");
                     return std::vector<Joints>{q0, q};
                   }},
        RealBreach{"CartesianDataStyle", "MOTN-625",
                   [](const Joints& q0, double, double, double, double) { return std::vector<Joints>{q0}; },
                   0}),
    [](const auto& info) { return info.param.name; });

TEST(StreamMotionLimits, FullPayloadLowersTheLimitsACommandMeets) {
  // The same jerk from rest: between the full- and the no-payload entry.
  for (double mass : {0.0, 7.0}) {
    auto cfg = stream_config();
    cfg.initial_position_deg = {0, 0, 0, 0, -90, 0, 0, 0, 0};
    Rig rig(cfg);
    rig.rmi().command({{"Command", "FRC_WriteVariable"},
                       {"VariableName", "$PARAM_GROUP[1].$PAYLOAD"},
                       {"VariableType", "Float"},
                       {"VariableValue", mass}});
    rig.bring_up_with_slack();
    auto table = rig.thresholds(6, 2);
    double jerk = 0.5 * (table.no_payload[0] + table.full_payload[0]);
    auto verdict = stream_positions(rig, [&](const Joints& q0) {
      Joints q = q0;
      q[5] += jerk * 0.008 * 0.008 * 0.008;
      return std::vector<Joints>{q0, q};
    });
    EXPECT_EQ(verdict, mass == 0.0 ? CommandVerdict::Accepted : CommandVerdict::Faulted) << "payload " << mass;
  }
}

// ---- E-stop, pendant, servos -------------------------------------------------------------

TEST(StreamMotionEStop, ShowsInErrorThenBitZeroOffThenEStoppedWhileStatusFlowsWithoutGaps) {
  Rig rig;
  rig.bring_up_with_slack();
  Moving m(rig, 30, 3.0);
  ASSERT_TRUE(m.moving());
  std::size_t before = m.streamer->count();
  rig.sim().set_estop(true);
  ASSERT_TRUE(m.until([](const Status& s) { return s.e_stopped(); }));
  m.streamer->stop();
  auto statuses = m.streamer->statuses();
  const Status& last_before = statuses[before - 1];
  std::optional<uint32_t> error_at, ready_off_at, estop_at;
  for (std::size_t i = before; i < statuses.size(); ++i) {
    const Status& s = statuses[i];
    EXPECT_EQ(s.sequence, statuses[i - 1].sequence + 1) << "no gaps";
    EXPECT_FLOAT_EQ(s.safety_scale, 1.0f);
    if (s.in_error() && !error_at) error_at = s.time_stamp;
    if (!s.ready() && !ready_off_at) ready_off_at = s.time_stamp;
    if (s.e_stopped() && !estop_at) estop_at = s.time_stamp;
  }
  ASSERT_TRUE(error_at && ready_off_at && estop_at);
  EXPECT_LE(*error_at, *ready_off_at);
  EXPECT_LE(*ready_off_at, *estop_at);
  // Each stage no earlier than seen on an arm (the status time stamps are the controller's).
  EXPECT_GE(*error_at, last_before.time_stamp + 110 - 2);
  EXPECT_GE(*ready_off_at, last_before.time_stamp + 300 - 2);
  EXPECT_GE(*estop_at, last_before.time_stamp + 500 - 2);
  // The arm stopped at once: it stands.
  auto here = rig.sim().joint_position_deg();
  EXPECT_EQ(rig.udp().status().value().joint_array(), rig.udp().status().value().joint_array());
  EXPECT_EQ(rig.sim().joint_position_deg(), here);

  // Released, reset over RMI, called again: bit 0 returns.
  rig.sim().set_estop(false);
  recover(rig);
}

// The pendant, the servos and a controller fault RMI reports: each is one
// controller's, so the stream sees it too.
TEST(StreamMotionPendantServosAndFaults, EachStopsTheMotionAndDropsBitZeroWithItsStatusBit) {
  for (int which = 0; which < 3; ++which) {
    Rig rig;
    rig.bring_up_with_slack();
    Moving m(rig, 30, 3.0);
    ASSERT_TRUE(m.moving());
    if (which == 0) rig.sim().set_teach_pendant(true);
    else if (which == 1) rig.sim().set_servo_ready(false);
    else rig.sim().push_system_fault();
    auto s = m.until([](const Status& st) { return !st.ready() && st.in_error(); });
    ASSERT_TRUE(s) << which;
    if (which == 0) EXPECT_TRUE(s->tp_enabled());
    if (which == 1) EXPECT_FALSE(s->system_ready());
    if (which == 2) {
      EXPECT_TRUE(s->system_ready());
      EXPECT_TRUE(system_fault_pushed(rig, rig.call_seq())) << "over RMI, naming STREAM_MOTN's call";
    }
    ASSERT_TRUE(m.until([](const Status& st) { return !st.in_motion() && !st.ready(); }));
    m.streamer->stop();
    auto here = rig.rmi().joints_now();
    EXPECT_EQ(rig.rmi().joints_now(), here) << "it stands";
    if (which == 2) recover(rig);
  }
}

// ---- peers and sessions ----------------------------------------------------------------------

TEST(StreamMotionPeers, AForeignStartRaisesHost380AndGetsNoStatusAForeignStopEndsTheSession) {
  Rig rig;
  rig.bring_up();
  ASSERT_TRUE(rig.udp().status());
  UdpClient foreign(rig.sim().config().address, rig.sim().stream_motion_port(), "127.0.0.2");
  foreign.send(start_packet(3));
  ASSERT_TRUE(rig.sim().wait_for_stream([](const auto& s) { return s.robot_status & 1; }, kWait));
  EXPECT_TRUE(has_alarm(rig, "HOST-380 System error 0x30,0x0"));
  EXPECT_TRUE(foreign.silent_for(100ms)) << "no status to a foreign peer";
  EXPECT_TRUE(rig.udp().status()) << "the peer's status flows on";

  // Requests are answered to whoever asks.
  foreign.send(capability_packet(kGetCapability, 3));
  EXPECT_TRUE(foreign.answer(kWait));

  foreign.send(stop_packet(3));
  EXPECT_TRUE(rig.sim().wait_for_stream([](const auto& s) { return !s.live; }, kWait));
}

TEST(StreamMotionPeers, AStartWithoutAStopRaisesMotn607AndTheSessionLivesOn) {
  Rig rig;
  rig.bring_up();
  auto first = rig.udp().status();
  ASSERT_TRUE(first);
  rig.udp().send(start_packet(rig.version()));
  ASSERT_TRUE(rig.sim().wait_for_stream([](const auto& s) { return s.robot_status & 1; }, kWait));
  EXPECT_TRUE(has_alarm(rig, "MOTN-607"));
  auto later = rig.udp().status();
  ASSERT_TRUE(later);
  EXPECT_GT(later->sequence, first->sequence) << "numbering goes on";
}

TEST(StreamMotionPeers, InjectedStartsRaiseTheSameAlarms) {
  for (auto [fault, alarm] : {std::pair{StreamFault::ForeignStart, std::string("HOST-380 System error 0x30,0x0")},
                              std::pair{StreamFault::SecondStart, std::string("MOTN-607")}}) {
    Rig rig;
    rig.bring_up();
    auto s = rig.udp().status();
    ASSERT_TRUE(s);
    rig.sim().inject_stream_fault(fault, s->sequence + 5);
    auto hit = rig.udp().status();
    while (hit && !hit->in_error()) hit = rig.udp().status();
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->sequence, s->sequence + 5);
    EXPECT_TRUE(has_alarm(rig, alarm));
  }
}

TEST(StreamMotionSessions, AStopMidProgramIsAMotionFaultAfterTheProgramOnlyANote) {
  {
    Rig rig;
    rig.bring_up();
    ASSERT_TRUE(rig.sim().wait_for_stream([](const auto& s) { return s.status & 1; }, kWait));
    rig.udp().send(stop_packet(rig.version()));
    EXPECT_TRUE(system_fault_pushed(rig, rig.call_seq()));
    EXPECT_TRUE(rig.sim().status().alarm);
    EXPECT_NE(rig.read_error().find("MOTN-603"), std::string::npos);
  }
  {
    Rig rig;
    rig.bring_up_with_slack();
    auto sent = std::make_shared<std::vector<Command>>();
    Joints delta{};
    delta[0] = 3;
    Streamer s(rig.udp(), smooth_move(rig.version(), 0.008, delta, 0.3, sent));
    EXPECT_EQ(rig.rmi().await(rig.call_seq()).value("ErrorID", -1), 0) << "the program ended";
    s.stop();
    rig.udp().send(stop_packet(rig.version()));
    ASSERT_TRUE(rig.sim().wait_for_stream([](const auto& st) { return !st.live; }, kWait));
    EXPECT_FALSE(rig.sim().status().alarm) << "no fault";
    EXPECT_NE(rig.read_error().find("MOTN-603"), std::string::npos) << "noted in the history";
    // A new session runs without a reset.
    rig.bring_up();
    EXPECT_TRUE(rig.sim().wait_for_stream([](const auto& st) { return st.status & 1; }, kWait));
  }
}

TEST(StreamMotionSessions, FrcAbortDropsBitZeroWhileStatusFlowsAndACallRearmsIt) {
  Rig rig;
  rig.bring_up();
  ASSERT_TRUE(rig.sim().wait_for_stream([](const auto& s) { return s.status & 1; }, kWait));
  EXPECT_EQ(rig.rmi().command({{"Command", "FRC_Abort"}}).value("ErrorID", -1), 0);
  auto s = rig.udp().status();
  while (s && s->ready()) s = rig.udp().status();
  ASSERT_TRUE(s);
  auto next = rig.udp().status();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->sequence, s->sequence + 1);
  EXPECT_FALSE(next->in_error());
  rig.rmi().initialize();
  rig.call_program();
  EXPECT_TRUE(rig.sim().wait_for_stream([](const auto& st) { return st.status & 1; }, kWait));
}

// ---- malformed packets ------------------------------------------------------------------------

TEST(StreamMotionMalformedPackets, AreRefusedWithHost380AndTheControllerServesOn) {
  const std::vector<std::pair<std::string, Bytes>> cases = {
      {"unknown type", header(99, 3)},
      {"version 1 start", header(0, 1)},
      {"short", Bytes{0, 0}},
      {"empty", Bytes{}},
      {"wrong size", [] { auto b = threshold_packet(3, 1, 0); b.push_back(0); return b; }()},
      {"wrong version", capability_packet(kGetCapability, 5)},
      {"force sensor on version 3", [] { auto b = header(kForceSensor, 4); be32(b, 0); be32(b, 1); return b; }()},
      {"axis 10", threshold_packet(3, 10, 0)},
  };
  for (const auto& [name, bytes] : cases) {
    Rig rig;
    rig.udp().send(bytes);
    // Datagrams from one socket are handled in order: once this is answered the other was handled.
    EXPECT_EQ(rig.capability().sampling_rate, 8u) << name << ": still served";
    EXPECT_TRUE(rig.sim().status().alarm) << name;
    EXPECT_EQ(rig.read_error(), "HOST-380 System error 0x19,0x0") << name;
  }
}

TEST(StreamMotionMalformedPackets, ACommandOfAnotherVersionThanItsSessionFaultsTheMotion) {
  Rig rig(stream_config(4, 8));
  rig.bring_up();
  ASSERT_EQ(rig.version(), 4u);
  auto s = rig.udp().status();
  ASSERT_TRUE(s);
  Command c = holding(*s, 3);
  rig.udp().send(command_packet(c));
  EXPECT_TRUE(rig.sim().wait_for_stream([](const auto& st) { return st.robot_status & 1; }, kWait));
  EXPECT_TRUE(has_alarm(rig, "HOST-380 System error 0x19,0x0"));
}

}  // namespace
