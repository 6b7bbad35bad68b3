// Motion and program instructions: Cartesian paths as the controller runs
// them (checked against the arm model's forward kinematics of the executed
// joints and against the positions read during the motion), speed and term
// types, pause and continue, waits and program calls.
#include <numbers>

#include "sim/executed_path.hpp"
#include "sim/rmi_client.hpp"
#include "sim/work_pose_test.hpp"

using namespace simtest;
namespace err = orvane::sim::error_id;

namespace {

constexpr double kRad = std::numbers::pi / 180.0;

Point point(const Xyzwpr& p) { return {p.x, p.y, p.z}; }

Xyzwpr shifted(Xyzwpr p, double dx, double dy, double dz) {
  p.x += dx;
  p.y += dy;
  p.z += dz;
  return p;
}

class SimMotionInstructions : public WorkPoseTest {};

}  // namespace

TEST_F(SimMotionInstructions, LinearMotionRunsStraightAtItsSpeedAndReachesItsTarget) {
  Xyzwpr target = shifted(start, -60, 40, -50);  // 87.7 mm
  int seq = c->send(cartesian_motion("FRC_LinearMotion", target, config, "mmSec", 100));
  std::vector<Xyzwpr> read;
  double top_speed = 0;
  auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!c->answered_within(seq, 0ms) && std::chrono::steady_clock::now() < deadline) {
    read.push_back(c->tcp_now());
    json speed = c->command({{"Command", "FRC_ReadTCPSpeed"}});
    EXPECT_EQ(speed.value("ErrorID", -1), 0);
    EXPECT_TRUE(speed.contains("TimeTag"));
    top_speed = std::max(top_speed, speed.value("Speed", 0.0));
  }
  EXPECT_EQ(c->await(seq)["ErrorID"], 0);
  ASSERT_GT(read.size(), 5u);
  for (const auto& p : read) {
    EXPECT_LT(distance_to_segment(point(p), point(start), point(target)), 0.1) << p.x << " " << p.y << " " << p.z;
    EXPECT_LT(angle_diff_deg(p.w, start.w) + angle_diff_deg(p.p, start.p) + angle_diff_deg(p.r, start.r), 0.01);
  }
  Xyzwpr end = c->tcp_now();
  EXPECT_LT(distance_mm(end, target), 0.1);
  EXPECT_NEAR(top_speed, 100, 10) << "FRC_ReadTCPSpeed during the motion, mm/s";
  EXPECT_NEAR(c->command({{"Command", "FRC_ReadTCPSpeed"}}).value("Speed", -1.0), 0.0, 1e-6) << "at rest";

  // Every interpolation step of the executed joints, through the arm model.
  auto path = c->sim().executed_path();
  ASSERT_GT(path.size(), 50u);
  Point a = model_tcp_mm(kWorkPose), b = model_tcp_mm(path.back());
  EXPECT_NEAR(std::hypot(b[0] - a[0], b[1] - a[1], b[2] - a[2]), distance_mm(start, target), 0.1);
  for (const auto& s : path) EXPECT_LT(distance_to_segment(model_tcp_mm(s), a, b), 0.1) << "at t = " << s.t;
  EXPECT_GT(path.back().t - path.front().t, 0.8) << "87.7 mm at 100 mm/s";
}

TEST_F(SimMotionInstructions, CircularMotionFollowsTheArcThroughItsViaPoint) {
  // A half circle of radius 40 mm in the horizontal plane, centred 40 mm along +Y.
  Point centre{start.x, start.y + 40, start.z};
  Xyzwpr via = shifted(start, 40, 40, 0), end = shifted(start, 0, 80, 0);
  json circ = cartesian_motion("FRC_CircularMotion", end, config, "mmSec", 150);
  circ["ViaConfiguration"] = config;
  circ["ViaPosition"] = position_json(via);
  EXPECT_EQ(c->run(circ)["ErrorID"], 0);
  EXPECT_LT(distance_mm(c->tcp_now(), end), 0.1);

  auto path = c->sim().executed_path();
  ASSERT_GT(path.size(), 20u);
  Point first = model_tcp_mm(kWorkPose);
  Point offset{first[0] - start.x, first[1] - start.y, first[2] - start.z};  // model base -> world
  double closest_to_via = 1e9;
  for (const auto& s : path) {
    Point p = model_tcp_mm(s);
    for (int k = 0; k < 3; ++k) p[k] -= offset[k];
    EXPECT_NEAR(std::hypot(p[0] - centre[0], p[1] - centre[1]), 40.0, 0.1) << "at t = " << s.t;
    EXPECT_NEAR(p[2], centre[2], 0.1) << "at t = " << s.t;
    closest_to_via = std::min(closest_to_via, std::hypot(p[0] - via.x, p[1] - via.y, p[2] - via.z));
  }
  EXPECT_LT(closest_to_via, 1.0) << "the arc passes through the via point";
}

TEST_F(SimMotionInstructions, RelativeJointAndSplineFormsReachTheirTargets) {
  json rel = cartesian_motion("FRC_LinearRelative", {0, 30, 0, 0, 0, 0}, config);
  EXPECT_EQ(c->run(rel)["ErrorID"], 0);
  EXPECT_LT(distance_mm(c->tcp_now(), shifted(start, 0, 30, 0)), 0.1) << "offset from where it stood";

  // Joint-interpolated Cartesian motion with the joint speed types.
  Xyzwpr t1 = shifted(start, 30, -20, 40);
  EXPECT_EQ(c->run(cartesian_motion("FRC_JointMotion", t1, config, "Percent", 20))["ErrorID"], 0);
  EXPECT_LT(distance_mm(c->tcp_now(), t1), 0.1);
  EXPECT_EQ(c->run(cartesian_motion("FRC_JointRelative", {0, 0, -40, 0, 0, 0}, config, "Time", 5))["ErrorID"], 0);
  EXPECT_LT(distance_mm(c->tcp_now(), shifted(t1, 0, 0, -40)), 0.1);

  Xyzwpr t2 = shifted(start, -20, 0, 10);
  EXPECT_EQ(c->run(cartesian_motion("FRC_SplineMotion", t2, config, "mmSec", 200))["ErrorID"], 0);
  EXPECT_LT(distance_mm(c->tcp_now(), t2), 0.1);

  // The JRep forms: joint targets, six joints as one public client sends them.
  std::array<double, 9> q{10, 5, -5, 0, -80, 20, 0, 0, 0};
  json lin{{"Instruction", "FRC_LinearMotionJRep"}, {"JointAngle", joint_angle_json(q, 6)}, {"SpeedType", "mmSec"},
           {"Speed", 200}, {"TermType", "FINE"}, {"TermValue", 0}};
  EXPECT_EQ(c->run(lin)["ErrorID"], 0);
  auto now = c->joints_now();
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(now[k], q[k], 0.01) << "J" << k + 1;
  json jrel{{"Instruction", "FRC_JointRelativeJRep"}, {"JointAngle", joint_angle_json({5, 0, 0, 0, 0, -10, 0, 0, 0})},
            {"SpeedType", "Percent"}, {"Speed", 30}, {"TermType", "FINE"}, {"TermValue", 255}};
  EXPECT_EQ(c->run(jrel)["ErrorID"], 0);
  EXPECT_NEAR(c->joints_now()[0], 15, 0.01);
  EXPECT_NEAR(c->joints_now()[5], 10, 0.01);
  json lrel{{"Instruction", "FRC_LinearRelativeJRep"}, {"JointAngle", joint_angle_json({-15, 0, 0, 0, 0, 0, 0, 0, 0})},
            {"SpeedType", "mmSec"}, {"Speed", 300}, {"TermType", "FINE"}, {"TermValue", 0}};
  EXPECT_EQ(c->run(lrel)["ErrorID"], 0);
  EXPECT_NEAR(c->joints_now()[0], 0, 0.01);
  json spl{{"Instruction", "FRC_SplineMotionJRep"}, {"JointAngle", joint_angle_json(kWorkPose)}, {"SpeedType", "mmSec"},
           {"Speed", 300}, {"TermType", "FINE"}, {"TermValue", 0}};
  EXPECT_EQ(c->run(spl)["ErrorID"], 0);
  now = c->joints_now();
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(now[k], kWorkPose[k], 0.01) << "J" << k + 1;
}

TEST_F(SimMotionInstructions, TargetsOutOfReachAreAcceptedAndFaultWhenTheyWouldStart) {
  Xyzwpr far = shifted(start, 3000, 0, 0);
  for (const char* name : {"FRC_LinearMotion", "FRC_JointMotion", "FRC_SplineMotion", "FRC_LinearRelative"}) {
    bool relative = std::string(name) == "FRC_LinearRelative";
    bool joint = std::string(name) == "FRC_JointMotion";
    int seq = c->send(cartesian_motion(name, relative ? Xyzwpr{0, 0, 3000, 0, 0, 0} : far, config,
                                       joint ? "Percent" : "mmSec", 50));
    auto fault = c->link().read_json();
    ASSERT_TRUE(fault) << name;
    EXPECT_EQ((*fault).value("Communication", ""), "FRC_SystemFault") << name << ": " << fault->dump();
    EXPECT_EQ((*fault).value("SequenceID", -1), seq) << name;
    json error = c->command({{"Command", "FRC_ReadError"}});
    EXPECT_EQ(error["ErrorData"], "MOTN-018 Position not reachable") << name << ": " << error.dump();
    // Recovery: abort, reset, initialize.
    ASSERT_EQ(c->command({{"Command", "FRC_Abort"}})["ErrorID"], 0);
    ASSERT_EQ(c->command({{"Command", "FRC_Reset"}})["ErrorID"], 0);
    c->initialize();
  }
  for (const auto& s : c->sim().executed_path())
    for (int k = 0; k < 6; ++k) ASSERT_NEAR(s.controller_deg[k], kWorkPose[k], 1e-9) << "the arm moved";
  EXPECT_LT(distance_mm(c->tcp_now(), start), 1e-3);
  // The controller goes on serving motions.
  EXPECT_EQ(c->run(cartesian_motion("FRC_LinearRelative", {0, 0, 10, 0, 0, 0}, config))["ErrorID"], 0);
  EXPECT_LT(distance_mm(c->tcp_now(), shifted(start, 0, 0, 10)), 0.1);
}

TEST(SimMotionLimits, ACartesianTargetOrPathBeyondAJointLimitFaultsNamingTheAxis) {
  // The controller's J1 range narrowed to +-30 degrees: a target turned 45
  // degrees about the base is solved at J1 = 45, beyond it; a straight line
  // to it leaves the range on its way.
  orvane::sim::SimulatorConfig cfg;
  cfg.joint_limits[0].lower = -30 * kRad;
  cfg.joint_limits[0].upper = 30 * kRad;
  auto c = RmiClient::start(cfg);
  ASSERT_EQ(c->move_joints(kWorkPose)["ErrorID"], 0);
  json here = c->cartesian_now();
  Xyzwpr p = xyzwpr(here["Position"]);
  Xyzwpr turned{p.x * std::cos(45 * kRad) - p.y * std::sin(45 * kRad), p.x * std::sin(45 * kRad) + p.y * std::cos(45 * kRad),
                p.z, p.w, p.p, p.r + 45};
  for (const char* name : {"FRC_JointMotion", "FRC_LinearMotion"}) {
    bool joint = std::string(name) == "FRC_JointMotion";
    int seq = c->send(cartesian_motion(name, turned, here["Configuration"], joint ? "Percent" : "mmSec", 50));
    auto fault = c->link().read_json();
    ASSERT_TRUE(fault) << name;
    EXPECT_EQ((*fault).value("SequenceID", -1), seq) << name << ": " << fault->dump();
    EXPECT_EQ(c->command({{"Command", "FRC_ReadError"}})["ErrorData"], "MOTN-017 Limit error (G:1, A:1)") << name;
    EXPECT_NEAR(c->joints_now()[0], 0.0, 1e-9) << name << ": the arm did not start";
    ASSERT_EQ(c->command({{"Command", "FRC_Reset"}})["ErrorID"], 0);
    ASSERT_EQ(c->command({{"Command", "FRC_Abort"}})["ErrorID"], 0);
    c->initialize();
  }
}

namespace {

// How long the arm moved in the executed path (s).
double moving_time(const std::vector<orvane::sim::PathSample>& path) {
  double first = -1, last = -1;
  for (std::size_t i = 1; i < path.size(); ++i) {
    bool moved = false;
    for (int k = 0; k < 6; ++k) moved = moved || path[i].commanded_deg[k] != path[i - 1].commanded_deg[k];
    if (!moved) continue;
    if (first < 0) first = path[i - 1].t;
    last = path[i].t;
  }
  return last - first;
}

}  // namespace

TEST_F(SimMotionInstructions, PlannedMotionsAccelerateWithinTheArmsLimits) {
  const auto limits = orvane::sim::lrmate200id_limits();
  auto expect_within_limits = [&](const std::string& what, double acc_share) {
    auto path = c->sim().executed_path();
    ASSERT_GT(path.size(), 5u) << what;
    double highest = 0;
    for (const auto& acc : joint_accelerations(path))
      for (int k = 0; k < 6; ++k) {
        double limit = limits[k].max_acceleration / kRad * acc_share;
        EXPECT_LE(std::abs(acc[k]), limit * 1.01 + 1e-6) << what << ": J" << k + 1;
        highest = std::max(highest, std::abs(acc[k]) / limit);
      }
    EXPECT_GT(highest, 0.5) << what << ": the arm uses its acceleration";
  };

  // 30 mm at 1000 mm/s: far too short to reach the speed (30 ms at constant speed).
  EXPECT_EQ(c->run(cartesian_motion("FRC_LinearMotion", shifted(start, 0, 30, 0), config, "mmSec", 1000))["ErrorID"], 0);
  EXPECT_LT(distance_mm(c->tcp_now(), shifted(start, 0, 30, 0)), 0.1);
  expect_within_limits("30 mm at 1000 mm/s", 1.0);
  EXPECT_GT(moving_time(c->sim().executed_path()), 0.1);

  // Half the acceleration: a move too short to cruise takes sqrt(2) as long
  // (within the 8 ms steps of the path at either end).
  c->sim().clear_records();
  EXPECT_EQ(c->run(cartesian_motion("FRC_LinearMotion", shifted(start, 0, 130, 0), config, "mmSec", 1000))["ErrorID"], 0);
  double full = moving_time(c->sim().executed_path());
  c->sim().clear_records();
  json half = cartesian_motion("FRC_LinearMotion", shifted(start, 0, 30, 0), config, "mmSec", 1000);
  half["ACC"] = 50;
  EXPECT_EQ(c->run(half)["ErrorID"], 0);
  expect_within_limits("ACC 50", 0.5);
  EXPECT_NEAR(moving_time(c->sim().executed_path()) / full, std::sqrt(2.0), 0.15);

  // A joint motion at a percentage of the joints' speed.
  c->sim().clear_records();
  std::array<double, 9> q = kWorkPose;
  q[0] = 60;
  q[1] = 20;
  json joint{{"Instruction", "FRC_JointMotionJRep"}, {"JointAngle", joint_angle_json(q)}, {"SpeedType", "Percent"},
             {"Speed", 100}, {"TermType", "FINE"}, {"TermValue", 0}};
  EXPECT_EQ(c->run(joint)["ErrorID"], 0);
  expect_within_limits("joint motion at 100 %", 1.0);

  for (int bad : {0, 151}) {
    json refused = half;
    refused["ACC"] = bad;
    EXPECT_EQ(c->run(refused)["ErrorID"], err::invalid_value) << "ACC " << bad;
  }
}

TEST_F(SimMotionInstructions, TimedMotionsKeepTheirTimingWhateverTheirAcceleration) {
  // 10 degrees of J1 in 48 ms as two CNT instructions, as a stream sends them:
  // constant speed, no ramp, though that would be beyond the arm's acceleration
  // at the start; ACC changes nothing.
  std::array<double, 9> mid = kWorkPose, end = kWorkPose;
  mid[0] = 5;
  end[0] = 10;
  json first{{"Instruction", "FRC_JointMotionJRep"}, {"JointAngle", joint_angle_json(mid)}, {"SpeedType", "mSec"},
             {"Speed", 24}, {"TermType", "CNT"}, {"TermValue", 100}, {"ACC", 20}};
  json second = first;
  second["JointAngle"] = joint_angle_json(end);
  second["TermType"] = "FINE";
  int a = c->send(first), b = c->send(second);
  EXPECT_EQ(c->await(a)["ErrorID"], 0);
  EXPECT_EQ(c->await(b)["ErrorID"], 0);
  auto path = c->sim().executed_path();
  ASSERT_GE(path.size(), 6u);
  for (const auto& p : path)
    EXPECT_NEAR(p.commanded_deg[0], std::clamp(p.t / 0.048, 0.0, 1.0) * 10.0, 1e-6) << "at t = " << p.t;
}

TEST_F(SimMotionInstructions, NoBlendLetsALinearCntMotionRunOnItsOwn) {
  json lin = cartesian_motion("FRC_LinearRelative", {0, 0, 10, 0, 0, 0}, config, "mmSec", 200, "CNT", 100);
  lin["NoBlend"] = "ON";
  EXPECT_EQ(c->run(lin)["ErrorID"], 0);
  EXPECT_LT(distance_mm(c->tcp_now(), shifted(start, 0, 0, 10)), 0.1);
  // A circular motion is not changed by it: it waits for the next motion.
  json circ = cartesian_motion("FRC_CircularRelative", {0, 40, 0, 0, 0, 0}, config, "mmSec", 200, "CNT", 100);
  circ["ViaConfiguration"] = config;
  circ["ViaPosition"] = position_json({20, 20, 0, 0, 0, 0});
  circ["NoBlend"] = "ON";
  const auto before = c->sim().received_line_count();
  int seq = c->send(circ);
  ASSERT_TRUE(c->sim().wait_for_line([](const std::string& l) { return l.find("FRC_CircularRelative") != std::string::npos; },
                                     kWait, before));
  EXPECT_FALSE(c->answered_within(seq, 300ms));
  EXPECT_LT(distance_mm(c->tcp_now(), shifted(start, 0, 0, 10)), 1e-3);
  int next = c->send(cartesian_motion("FRC_LinearRelative", {0, 0, -10, 0, 0, 0}, config));
  EXPECT_EQ(c->await(seq)["ErrorID"], 0);
  EXPECT_EQ(c->await(next)["ErrorID"], 0);
}

TEST_F(SimMotionInstructions, SpeedAndTermTypesOfCartesianMotions) {
  double dz = 0;
  for (auto [type, speed] : std::vector<std::pair<std::string, double>>{
           {"mmSec", 100}, {"mm/sec", 100}, {"InchMin", 300}, {"Time", 3}, {"mSec", 300}}) {
    dz += 5;
    json a = c->run(cartesian_motion("FRC_LinearMotion", shifted(start, 0, 0, dz), config, type, speed, "FINE", 255));
    EXPECT_EQ(a["ErrorID"], 0) << type;
  }
  EXPECT_LT(distance_mm(c->tcp_now(), shifted(start, 0, 0, dz)), 0.1);
  struct Case {
    json packet;
    int error;
  };
  auto with = [&](const std::string& key, json value) {
    json j = cartesian_motion("FRC_LinearMotion", start, config);
    if (value.is_null()) j.erase(key);
    else j[key] = value;
    return j;
  };
  for (const Case& k : {Case{with("SpeedType", "Furlong"), err::invalid_speed_type},
                        Case{with("Speed", 0), err::invalid_speed},
                        Case{with("TermType", "XYZ"), err::invalid_term_type},
                        Case{cartesian_motion("FRC_LinearMotion", start, config, "mmSec", 100, "CNT", 101),
                             err::invalid_term_value},
                        Case{with("Position", nullptr), err::invalid_value},
                        Case{with("Position", json{{"X", "a"}}), err::invalid_value},
                        Case{with("Configuration", nullptr), err::invalid_value}}) {
    EXPECT_EQ(c->run(k.packet)["ErrorID"], k.error) << k.packet.dump();
  }
  EXPECT_LT(distance_mm(c->tcp_now(), shifted(start, 0, 0, dz)), 0.1) << "refused motions do not move";
  EXPECT_FALSE(c->sim().status().hold);
}

TEST_F(SimMotionInstructions, PauseHoldsTheArmAndContinueResumesIt) {
  std::array<double, 9> target = kWorkPose;
  target[0] = 40;
  int seq = c->send({{"Instruction", "FRC_JointMotionJRep"}, {"JointAngle", joint_angle_json(target)},
                     {"SpeedType", "mSec"}, {"Speed", 4000}, {"TermType", "FINE"}, {"TermValue", 0}});
  auto deadline = std::chrono::steady_clock::now() + kWait;
  while (c->joints_now()[0] < 2 && std::chrono::steady_clock::now() < deadline) {
  }
  json p = c->command({{"Command", "FRC_Pause"}});
  EXPECT_EQ(p["Command"], "FRC_Pause");
  EXPECT_EQ(p["ErrorID"], 0) << p.dump();
  // The arm comes to rest, then stays there while paused.
  double held = c->joints_now()[0];
  for (double prev = -1; prev != held && std::chrono::steady_clock::now() < deadline;) {
    prev = held;
    held = c->joints_now()[0];
  }
  EXPECT_EQ(c->command({{"Command", "FRC_GetExtStatus"}}).value("InMotion", -1), 0);
  EXPECT_FALSE(c->answered_within(seq, 600ms)) << "a paused motion is not finished";
  EXPECT_EQ(c->joints_now()[0], held);
  EXPECT_LT(held, 30);

  json r = c->command({{"Command", "FRC_Continue"}});
  EXPECT_EQ(r["Command"], "FRC_Continue");
  EXPECT_EQ(r["ErrorID"], 0) << r.dump();
  EXPECT_EQ(c->await(seq)["ErrorID"], 0);
  EXPECT_NEAR(c->joints_now()[0], 40, 1e-3);
}

TEST_F(SimMotionInstructions, WaitsHoldBackTheInstructionsBehindThem) {
  auto t0 = std::chrono::steady_clock::now();
  json w = c->run({{"Instruction", "FRC_WaitTime"}, {"Time", 0.5}});
  EXPECT_EQ(w["ErrorID"], 0) << w.dump();
  EXPECT_EQ(w["Instruction"], "FRC_WaitTime");
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 450ms);

  int wait = c->send({{"Instruction", "FRC_WaitDIN"}, {"PortNumber", 7}, {"PortValue", "ON"}});
  int move = c->send(cartesian_motion("FRC_LinearRelative", {0, 0, 10, 0, 0, 0}, config));
  EXPECT_FALSE(c->answered_within(wait, 600ms)) << "DI[7] is still off";
  EXPECT_LT(distance_mm(c->tcp_now(), start), 1e-3) << "the motion behind the wait has not started";
  c->sim().set_digital_input(7, true);
  EXPECT_EQ(c->await(wait)["ErrorID"], 0);
  EXPECT_EQ(c->await(move)["ErrorID"], 0);
  EXPECT_LT(distance_mm(c->tcp_now(), shifted(start, 0, 0, 10)), 0.1);

  EXPECT_EQ(c->run({{"Instruction", "FRC_WaitTime"}, {"Time", -1}})["ErrorID"], err::invalid_value);
  EXPECT_NE(c->run({{"Instruction", "FRC_WaitDIN"}, {"PortNumber", 7}, {"PortValue", "MAYBE"}}).value("ErrorID", 0), 0);
}

TEST_F(SimMotionInstructions, CallRunsAProgramForItsTimeAndRefusesUnknownOnes) {
  c->sim().add_program("PICK_PART", 0.5);
  auto t0 = std::chrono::steady_clock::now();
  json ok = c->run({{"Instruction", "FRC_Call"}, {"ProgramName", "PICK_PART"}});
  EXPECT_EQ(ok["ErrorID"], 0) << ok.dump();
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 450ms) << "answered when the program has run";

  json a = c->run({{"Instruction", "FRC_Call"}, {"ProgramName", "NO_SUCH_PROGRAM"}});
  EXPECT_EQ(a["Instruction"], "FRC_Call");
  EXPECT_NE(a.value("ErrorID", 0), 0) << a.dump();
  EXPECT_EQ(c->run({{"Instruction", "FRC_Call"}})["ErrorID"], err::invalid_value);
  EXPECT_EQ(c->move_joints(kWorkPose)["ErrorID"], 0) << "the controller goes on";
}
