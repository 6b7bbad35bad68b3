// Blended motions: a CNT or CR motion rounds its corner into the next one
// without stopping, FINE and CNT 0 stop at the point. Measured on the
// executed path through an independent arm model, never on timing.
#include "sim/executed_path.hpp"
#include "sim/rmi_client.hpp"
#include "sim/work_pose_test.hpp"

using namespace simtest;

namespace {

constexpr double kSpeed = 200.0;                 // mm/s of both legs
const Point kLeg1{0, 80, 0}, kLeg2{-60, 0, -50};  // at a right angle

Point plus(const Point& a, const Point& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }

// What the executed path did round a corner.
struct CornerRun {
  std::vector<orvane::sim::PathSample> path;
  Point start, corner, end;     // in the arm model's frame
  double closest = 1e9;         // mm from the corner point
  double slowest_near = 1e9;    // mm/s, between samples within kNear of the corner
  double fastest = 0;           // mm/s, anywhere
  double farthest_off_lines = 0;  // mm, of the samples off both legs by more than kOnLine: from the corner
  static constexpr double kNear = 20.0;
  static constexpr double kOnLine = 0.1;
  static constexpr double kMaxStep = 0.03;  // s between samples that give a speed (the clock steps 8 ms)
};

CornerRun measure(std::vector<orvane::sim::PathSample> path, const Point& start) {
  CornerRun run;
  run.path = std::move(path);
  run.start = start;
  run.corner = plus(start, kLeg1);
  run.end = plus(run.corner, kLeg2);
  for (std::size_t i = 0; i < run.path.size(); ++i) {
    Point p = model_tcp_mm(run.path[i]);
    run.closest = std::min(run.closest, distance(p, run.corner));
    if (distance_to_segment(p, run.start, run.corner) > CornerRun::kOnLine &&
        distance_to_segment(p, run.corner, run.end) > CornerRun::kOnLine)
      run.farthest_off_lines = std::max(run.farthest_off_lines, distance(p, run.corner));
    if (i == 0) continue;
    Point q = model_tcp_mm(run.path[i - 1]);
    double dt = run.path[i].t - run.path[i - 1].t;
    if (dt <= 0 || dt > CornerRun::kMaxStep) continue;  // a stalled clock skipped steps: the chord says little
    double speed = distance(p, q) / dt;
    run.fastest = std::max(run.fastest, speed);
    if (distance(p, run.corner) < CornerRun::kNear && distance(q, run.corner) < CornerRun::kNear)
      run.slowest_near = std::min(run.slowest_near, speed);
  }
  return run;
}

class SimMotionBlending : public WorkPoseTest {
protected:
  Xyzwpr at(const Point& offset) const {
    Xyzwpr p = start;
    p.x += offset[0];
    p.y += offset[1];
    p.z += offset[2];
    return p;
  }

  json leg(const Point& offset, const std::string& term = "FINE", int value = 0) const {
    return cartesian_motion("FRC_LinearMotion", at(offset), config, "mmSec", kSpeed, term, value);
  }

  // From the work pose round the corner (the first leg as given, the second
  // FINE with the first's ACC) and back to the work pose, the executed path
  // measured.
  CornerRun corner(json first) {
    c->sim().clear_records();
    json second = leg(plus(kLeg1, kLeg2));
    if (first.contains("ACC")) second["ACC"] = first["ACC"];
    int a = c->send(std::move(first));
    int b = c->send(second);
    EXPECT_EQ(c->await(a)["ErrorID"], 0);
    EXPECT_EQ(c->await(b)["ErrorID"], 0);
    EXPECT_LT(distance_mm(c->tcp_now(), at(plus(kLeg1, kLeg2))), 0.1) << "the second leg reaches its target";
    CornerRun run = measure(c->sim().executed_path(), model_tcp_mm(kWorkPose));
    EXPECT_EQ(c->move_joints(kWorkPose)["ErrorID"], 0);
    return run;
  }

};

}  // namespace

TEST_F(SimMotionBlending, ACnt100CornerKeepsItsSpeedAndCutsTheCornerWithinTheArmsAcceleration) {
  CornerRun run = corner(leg(kLeg1, "CNT", 100));
  ASSERT_GT(run.path.size(), 20u);
  EXPECT_GT(run.closest, 1.0) << "the path passes by the corner, not through it";
  EXPECT_LT(run.closest, 30.0) << "but near it";
  EXPECT_GT(run.slowest_near, 0.4 * kSpeed) << "no stop at the corner";
  EXPECT_LT(run.fastest, 1.02 * kSpeed) << "the two motions' speeds never add up beyond the programmed one";

  const auto limits = orvane::sim::lrmate200id_limits();
  for (const auto& acc : joint_accelerations(run.path))
    for (int k = 0; k < 6; ++k)
      EXPECT_LE(std::abs(acc[k]), limits[k].max_acceleration * 180.0 / std::numbers::pi * 1.01 + 1e-6) << "J" << k + 1;
}

TEST_F(SimMotionBlending, TheHigherTheCntTheWiderTheCornerAndTheLessSpeedItLoses) {
  CornerRun cnt100 = corner(leg(kLeg1, "CNT", 100));
  CornerRun cnt50 = corner(leg(kLeg1, "CNT", 50));
  EXPECT_GT(cnt50.closest, 0.2);
  EXPECT_GT(cnt100.closest, 1.5 * cnt50.closest);
  EXPECT_GT(cnt100.slowest_near, 1.2 * cnt50.slowest_near);
  EXPECT_GT(cnt50.slowest_near, 0.1 * kSpeed);

  // FINE, CNT 0 and a CNT motion followed by a wait rather than a motion
  // stop at the point.
  CornerRun fine = corner(leg(kLeg1));
  CornerRun cnt0 = corner(leg(kLeg1, "CNT", 0));
  c->sim().clear_records();
  int a = c->send(leg(kLeg1, "CNT", 100));
  int w = c->send({{"Instruction", "FRC_WaitTime"}, {"Time", 0.05}});
  int b = c->send(leg(plus(kLeg1, kLeg2)));
  for (int seq : {a, w, b}) EXPECT_EQ(c->await(seq)["ErrorID"], 0);
  CornerRun waited = measure(c->sim().executed_path(), model_tcp_mm(kWorkPose));
  for (const CornerRun* run : {&fine, &cnt0, &waited}) {
    EXPECT_LT(run->closest, 0.05);
    EXPECT_LT(run->slowest_near, 0.1 * kSpeed) << "samples straddle the stop";
    EXPECT_LT(run->farthest_off_lines, 1e-6) << "on the two legs all the way";
  }
}

TEST_F(SimMotionBlending, ACornerRegionKeepsTheRoundingWithinItsRadius) {
  // Gentle ramps: CNT 100 would round wider than either radius.
  auto gentle = [&](const std::string& term, int value) {
    json first = leg(kLeg1, term, value);
    first["ACC"] = 25;
    return first;
  };
  CornerRun cnt100 = corner(gentle("CNT", 100));
  double previous = 0;
  for (int radius : {5, 10}) {
    CornerRun run = corner(gentle("CR", radius));
    EXPECT_GT(run.closest, 0.1 * radius) << "CR " << radius << " rounds the corner";
    EXPECT_GT(run.farthest_off_lines, previous) << "CR " << radius << " rounds wider than the smaller radius";
    EXPECT_LT(run.farthest_off_lines, radius + 0.3) << "CR " << radius << " leaves the legs only within it";
    EXPECT_GT(cnt100.farthest_off_lines, run.farthest_off_lines + 1.0) << "CR " << radius;
    previous = run.farthest_off_lines;
  }
  // A radius wider than the motions' ramps rounds as much as CNT 100, no more.
  CornerRun wide = corner(gentle("CR", 100));
  EXPECT_NEAR(wide.closest, cnt100.closest, 0.5);
}

TEST_F(SimMotionBlending, NoBlendRunsWithoutTheNextMotionAndBlendsIntoOneAlreadyThere) {
  // Alone: it runs without waiting and ends at rest on its point.
  c->sim().clear_records();
  json alone = leg(kLeg1, "CNT", 100);
  alone["NoBlend"] = "ON";
  EXPECT_EQ(c->run(alone)["ErrorID"], 0);
  EXPECT_LT(distance_mm(c->tcp_now(), at(kLeg1)), 0.1);
  EXPECT_EQ(c->command({{"Command", "FRC_ReadTCPSpeed"}}).value("Speed", -1.0), 0.0) << "at rest";
  EXPECT_EQ(c->move_joints(kWorkPose)["ErrorID"], 0);

  // With the next motion queued when it starts (a wait holds both back), it blends.
  int hold = c->send({{"Instruction", "FRC_WaitDIN"}, {"PortNumber", 5}, {"PortValue", "ON"}});
  int a = c->send(alone);
  int b = c->send(leg(plus(kLeg1, kLeg2)));
  ASSERT_EQ(c->command({{"Command", "FRC_GetStatus"}})["ErrorID"], 0);  // answered after the three are taken
  ASSERT_EQ(c->sim().status().queued_instructions, 3u);
  c->sim().clear_records();
  c->sim().set_digital_input(5, true);
  for (int seq : {hold, a, b}) EXPECT_EQ(c->await(seq)["ErrorID"], 0);
  CornerRun run = measure(c->sim().executed_path(), model_tcp_mm(kWorkPose));
  EXPECT_GT(run.closest, 1.0);
  EXPECT_GT(run.slowest_near, 0.5 * kSpeed);
}

TEST_F(SimMotionBlending, APauseInTheMiddleOfACornerHoldsTheArmAndContinueRoundsItOn) {
  // Gentle ramps make the blend long enough to pause in.
  json first = leg(kLeg1, "CNT", 100), second = leg(plus(kLeg1, kLeg2));
  first["ACC"] = 5;
  second["ACC"] = 5;
  c->sim().clear_records();
  int a = c->send(first);
  int b = c->send(second);
  // The first is answered when the arm leaves its line toward the second.
  EXPECT_EQ(c->await(a)["ErrorID"], 0);
  const Point corner = plus(model_tcp_mm(kWorkPose), kLeg1);
  const Point end = plus(corner, kLeg2);
  auto deadline = std::chrono::steady_clock::now() + kWait;
  while (distance_to_segment(model_tcp_mm(c->sim().commanded_position_deg()), model_tcp_mm(kWorkPose), corner) < 0.5 &&
         std::chrono::steady_clock::now() < deadline) {
  }
  ASSERT_EQ(c->command({{"Command", "FRC_Pause"}})["ErrorID"], 0);
  Point held = model_tcp_mm(c->sim().commanded_position_deg());
  EXPECT_GT(distance_to_segment(held, model_tcp_mm(kWorkPose), corner), 0.05) << "paused inside the blend";
  EXPECT_GT(distance_to_segment(held, corner, end), 0.05) << "paused inside the blend";
  EXPECT_FALSE(c->answered_within(b, std::chrono::milliseconds(200)));
  EXPECT_LT(distance(model_tcp_mm(c->sim().commanded_position_deg()), held), 1e-9) << "held still";

  ASSERT_EQ(c->command({{"Command", "FRC_Continue"}})["ErrorID"], 0);
  EXPECT_EQ(c->await(b)["ErrorID"], 0);
  EXPECT_LT(distance_mm(c->tcp_now(), at(plus(kLeg1, kLeg2))), 0.1);
  // Continuous through the hold: no step longer than the programmed speed allows.
  const auto path = c->sim().executed_path();
  for (std::size_t i = 1; i < path.size(); ++i) {
    double dt = path[i].t - path[i - 1].t;
    EXPECT_LE(distance(model_tcp_mm(path[i]), model_tcp_mm(path[i - 1])), kSpeed * dt * 1.02 + 1e-6)
        << "at t = " << path[i].t;
  }
}
