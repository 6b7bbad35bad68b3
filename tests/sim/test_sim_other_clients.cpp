// Packets shaped as other public RMI clients send them.
#include <cmath>

#include "sim/sim_client.hpp"

using namespace simtest;
using orvane::sim::SimulatorConfig;
namespace err = orvane::sim::error_id;

namespace {

class SimOtherClients : public ::testing::Test {
protected:
  void start(SimulatorConfig cfg = {}) {
    sim = start_sim(cfg);
    ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
    ASSERT_EQ(s.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"], 0);
  }
  json answer_of(int seq) {
    auto j = s.data.read_until([seq](const json& a) { return answers_instruction(a, seq); });
    if (!j) {
      ADD_FAILURE() << "no answer for instruction " << seq;
      return json::object();
    }
    return *j;
  }
  std::unique_ptr<orvane::sim::ControllerSimulator> sim;
  Session s;
};

// A joint move as FANUC's own client writes it: all nine joints, a speed
// type, FINE with a TermValue it leaves unset.
std::string joint_move(int seq, double j1, const std::string& speed_type, double speed, const std::string& term,
                       int term_value, int joint_count = 9) {
  json j;
  j["Instruction"] = "FRC_JointMotionJRep";
  j["SequenceID"] = seq;
  for (int k = 1; k <= joint_count; ++k) j["JointAngle"]["J" + std::to_string(k)] = k == 1 ? j1 : 0.0;
  j["SpeedType"] = speed_type;
  j["Speed"] = speed;
  j["TermType"] = term;
  j["TermValue"] = term_value;
  return j.dump();
}

// Time from leaving J1 = 0 to reaching J1 = 45 in the executed path.
double seconds_to_45(const orvane::sim::ControllerSimulator& sim) {
  auto path = sim.executed_path();
  double start = -1, end = -1;
  for (const auto& p : path) {
    if (start < 0 && p.controller_deg[0] != 0.0) start = p.t;
    if (end < 0 && p.controller_deg[0] == 45.0) end = p.t;
  }
  return end - start;
}

}  // namespace

TEST_F(SimOtherClients, JointMovesInPercentAndTimeAreServed) {
  ASSERT_NO_FATAL_FAILURE(start());
  // J1 of the LR Mate runs at most 450 deg/s and accelerates at 900 deg/s^2:
  // 45 degrees at 10 % take 1 s at 45 deg/s, plus 0.05 s to ramp up and down.
  s.data.send_line(joint_move(1, 45.0, "Percent", 10, "FINE", 255));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(answer_of(1)["ErrorID"], 0);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GT(took, 0.9);
  EXPECT_NEAR(seconds_to_45(*sim), 1.05, 0.05);

  // "Time" counts tenths of a second; six joints are enough.
  s.data.send_line(joint_move(2, 0.0, "Time", 5, "CNT", 0, 6));
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(answer_of(2)["ErrorID"], 0);
  EXPECT_GT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.45);
  EXPECT_DOUBLE_EQ(sim->joint_position_deg()[0], 0.0);

  // The override stretches a Percent move too: 0.5 s at 90 deg/s and 0.1 s of
  // ramps, twice as long at 50 %.
  sim->set_override(50);
  sim->clear_records();
  s.data.send_line(joint_move(3, 45.0, "Percent", 20, "FINE", 0));
  EXPECT_EQ(answer_of(3)["ErrorID"], 0);
  EXPECT_NEAR(seconds_to_45(*sim), 1.2, 0.05);
}

TEST_F(SimOtherClients, CartesianSpeedsOnJointMovesAndBadValuesAreRefused) {
  ASSERT_NO_FATAL_FAILURE(start());
  struct Case {
    std::string line;
    int error;
  };
  for (const Case& c : {Case{joint_move(1, 5, "mmSec", 100, "FINE", 0), err::invalid_speed_type},
                        Case{joint_move(1, 5, "InchMin", 100, "FINE", 0), err::invalid_speed_type},
                        Case{joint_move(1, 5, "Percent", 0, "FINE", 0), err::invalid_speed},
                        Case{joint_move(1, 5, "Percent", 101, "FINE", 0), err::invalid_speed},
                        Case{joint_move(1, 5, "Time", -1, "FINE", 0), err::invalid_speed},
                        Case{joint_move(1, 5, "mSec", 100, "CNT", 101), err::invalid_term_value},
                        Case{joint_move(1, 5, "mSec", 100, "FINE", 0, 5), err::invalid_value}}) {
    s.data.send_line(c.line);
    EXPECT_EQ(answer_of(1)["ErrorID"], c.error) << c.line;
  }
  // A joint the LR Mate does not have must be 0.
  json extra = json::parse(joint_move(1, 5, "mSec", 100, "FINE", 0));
  extra["JointAngle"]["J7"] = 3.0;
  s.data.send_line(extra.dump());
  EXPECT_EQ(answer_of(1)["ErrorID"], err::invalid_value);
  EXPECT_EQ(sim->status().next_sequence_id, 1) << "refusals use up no sequence ID";
  EXPECT_FALSE(sim->status().hold);
}

TEST_F(SimOtherClients, ProgramStatusIsZeroOneOrTwo) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto program_status = [&] { return s.data.command(R"({"Command":"FRC_GetStatus"})")["ProgramStatus"].get<int>(); };
  EXPECT_EQ(program_status(), 0) << "running";
  sim->push_system_fault();
  EXPECT_EQ(program_status(), 1) << "paused";
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Reset"})")["ErrorID"], 0);
  EXPECT_EQ(program_status(), 0);
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Abort"})")["ErrorID"], 0);
  EXPECT_EQ(program_status(), 2) << "aborted";
}

TEST_F(SimOtherClients, NulAfterEachPacketAndPrettyPrintedPackets) {
  ASSERT_NO_FATAL_FAILURE(start());
  s.data.send(std::string("{\"Command\":\"FRC_GetStatus\"}\r\n\0", 30));
  auto a = s.data.read_json();
  ASSERT_TRUE(a);
  EXPECT_EQ((*a)["Command"], "FRC_GetStatus");
  EXPECT_EQ((*a)["ErrorID"], 0);
  s.data.send(std::string("{\"Command\":\"FRC_ReadJointAngles\"}\r\n\0", 36));
  a = s.data.read_json();
  ASSERT_TRUE(a);
  EXPECT_EQ((*a)["Command"], "FRC_ReadJointAngles") << "the NUL was not read as the start of a packet";
  EXPECT_EQ((*a)["ErrorID"], 0);

  json pretty = json::parse(joint_move(1, 2.0, "mSec", 100, "FINE", 0));
  s.data.send(pretty.dump(4) + "\r\n");  // LF-separated lines, ended by CR LF
  EXPECT_EQ(answer_of(1)["ErrorID"], 0);
  EXPECT_DOUBLE_EQ(sim->joint_position_deg()[0], 2.0);
}

TEST(SimDefaults, AbortTakesARealisticTimeUnlessConfigured) {
  SimulatorConfig cfg;
  EXPECT_GE(cfg.abort_duration, 1.0);
  auto sim = orvane::sim::testing::start_on_free_loopback(cfg);  // the default, not the tests' fast one
  Session s;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"], 0);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_Abort"})")["ErrorID"], 0);
  EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.4);
}

TEST(SimFirmware, OlderControllersDoNotKnowTheNewerPackets) {
  SimulatorConfig cfg;
  cfg.firmware = orvane::sim::Firmware::Older;
  auto sim = start_sim(cfg);
  json stmo = connect_control(*sim, "FRC_Connect_STMO");
  EXPECT_EQ(stmo["Command"], "Unknown");
  EXPECT_EQ(stmo["ErrorID"], err::invalid_rmi_command);
  EXPECT_EQ(connect_control(*sim, "FRC_Connect")["ErrorID"], 0);
}
