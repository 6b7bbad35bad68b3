// The measured joint position during motion: servo lag and deliberate
// deviations from the commanded path.
#include <cmath>

#include "sim/sim_client.hpp"

using namespace simtest;
using orvane::sim::SimulatorConfig;

namespace {

using Joints = std::array<double, 9>;

class SimFeedback : public ::testing::Test {
protected:
  void start(SimulatorConfig cfg = {}) {
    sim = start_sim(cfg);
    ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
    ASSERT_EQ(s.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"], 0);
  }
  json read_angles() { return s.data.command(R"({"Command":"FRC_ReadJointAngles"})"); }
  bool answered(int seq) {
    return s.data.read_until([seq](const json& a) { return answers_instruction(a, seq); }).has_value();
  }
  // Polls the measured position until `pred` holds.
  bool measured_until(const std::function<bool(const Joints&)>& pred) {
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < deadline) {
      if (pred(joints(read_angles()))) return true;
    }
    return false;
  }
  std::unique_ptr<orvane::sim::ControllerSimulator> sim;
  Session s;
};

}  // namespace

TEST_F(SimFeedback, ReadingsDuringMotionFollowTheArmAndTimeTagsGrow) {
  ASSERT_NO_FATAL_FAILURE(start());
  s.data.send_line(motion(1, {20, 0, 0, 0, 0, 0, 0, 0, 0}, 1500));
  ASSERT_TRUE(sim->wait_for_line([](const std::string& l) { return l.find("FRC_JointMotionJRep") != l.npos; }, kWait));
  std::vector<double> j1;
  std::vector<int64_t> tags;
  while (j1.empty() || j1.back() < 20.0) {
    json a = read_angles();
    ASSERT_EQ(a["ErrorID"], 0);
    j1.push_back(joints(a)[0]);
    tags.push_back(a["TimeTag"].get<int64_t>());
    ASSERT_LT(j1.size(), 100000u) << "the motion never ended";
  }
  int between = 0;
  for (std::size_t i = 1; i < j1.size(); ++i) {
    EXPECT_GE(j1[i], j1[i - 1]) << "the arm moves one way";
    EXPECT_GE(tags[i], tags[i - 1]);
    between += j1[i] > 0.5 && j1[i] < 19.5;
  }
  EXPECT_GT(between, 3) << "positions between start and target are reported while the arm moves";
  EXPECT_TRUE(answered(1));
}

TEST_F(SimFeedback, ServoLagDelaysTheMeasuredPosition) {
  SimulatorConfig cfg;
  cfg.servo_lag = 0.4;
  ASSERT_NO_FATAL_FAILURE(start(cfg));
  s.data.send_line(motion(1, {10, 0, 0, 0, 0, 0, 0, 0, 0}, 1000));
  ASSERT_TRUE(answered(1));
  // The command is done; the arm trails it by 0.4 s (4 degrees at 10 deg/s).
  double right_after = joints(read_angles())[0];
  EXPECT_LT(right_after, 9.0);
  EXPECT_DOUBLE_EQ(sim->commanded_position_deg()[0], 10.0);
  EXPECT_TRUE(measured_until([](const Joints& q) { return q[0] == 10.0; })) << "it arrives after the lag";
}

TEST_F(SimFeedback, BlockedJointStandsWhileInstructionsAreStillAnswered) {
  ASSERT_NO_FATAL_FAILURE(start());
  s.data.send_line(motion(1, {10, 10, 0, 0, 0, 0, 0, 0, 0}, 1200));
  ASSERT_TRUE(measured_until([](const Joints& q) { return q[1] > 2.0; }));
  sim->block_joint(2);
  double held = sim->joint_position_deg()[1];
  s.data.send_line(motion(2, {20, 20, 0, 0, 0, 0, 0, 0, 0}, 300));
  ASSERT_TRUE(answered(1));
  ASSERT_TRUE(answered(2));
  Joints q = joints(read_angles());
  EXPECT_DOUBLE_EQ(q[0], 20.0) << "the other joints move on";
  EXPECT_NEAR(q[1], held, 0.6) << "the blocked joint stopped (within one interpolation step)";
  EXPECT_LT(q[1], 10.0);
  auto path = sim->executed_path();
  ASSERT_FALSE(path.empty());
  EXPECT_DOUBLE_EQ(path.back().commanded_deg[1], 20.0);
  EXPECT_NEAR(path.back().controller_deg[1], q[1], 1e-3) << "the record holds the measured path";

  sim->clear_joint_deviations();
  EXPECT_DOUBLE_EQ(joints(read_angles())[1], 20.0);
}

TEST_F(SimFeedback, OffsetFromAMomentIntoTheMotion) {
  ASSERT_NO_FATAL_FAILURE(start());
  orvane::sim::JointDeviation d;
  d.joint = 3;
  d.offset_deg = 2.5;
  d.after_motion_start = 0.3;
  sim->add_joint_deviation(d);
  EXPECT_DOUBLE_EQ(joints(read_angles())[2], 0.0) << "nothing before the motion";
  s.data.send_line(motion(1, {0, 0, 10, 0, 0, 0, 0, 0, 0}, 900));
  ASSERT_TRUE(answered(1));
  EXPECT_DOUBLE_EQ(joints(read_angles())[2], 12.5);
  bool before = false, after = false;
  for (const auto& p : sim->executed_path()) {
    double diff = p.controller_deg[2] - p.commanded_deg[2];
    if (p.t < 0.25) before = before || std::fabs(diff) > 1e-9;
    if (p.t > 0.35) after = after || std::fabs(diff - 2.5) > 1e-9;
  }
  EXPECT_FALSE(before) << "no offset before 0.3 s";
  EXPECT_FALSE(after) << "the full offset after 0.3 s";
  EXPECT_THROW(sim->offset_joint(10, 1.0), std::invalid_argument);
}
