#include <orvane/motion/planner.hpp>
#include <orvane/motion/robots.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

using orvane::CartesianWaypoint;
using orvane::JointLimits;
using orvane::LowLevelMotion;
using orvane::Motion;
using orvane::Planner;
using orvane::Trajectory;
using orvane::Waypoint;

constexpr double pi = std::numbers::pi;
// Slack for rounding in the limit checks (relative).
constexpr double slack = 1e-9;

// Properties every planned trajectory must have: samples every delta_time,
// limits kept at each sample and by the finite differences of consecutive
// samples (what a controller checks), continuous positions and velocities.
void expect_well_formed(const Trajectory& t, const std::vector<JointLimits>& limits, double delta_time,
                        bool check_positions = true) {
    ASSERT_FALSE(t.empty());
    ASSERT_EQ(t.degrees_of_freedom(), limits.size());
    for (std::size_t k = 0; k < t.size(); ++k) {
        ASSERT_NEAR(t.times()[k], static_cast<double>(k) * delta_time, 1e-9) << "sample " << k;
    }
    EXPECT_EQ(t.duration(), t.times().back());
    const double dt = delta_time;
    for (std::size_t j = 0; j < limits.size(); ++j) {
        const JointLimits& l = limits[j];
        for (std::size_t k = 0; k < t.size(); ++k) {
            const auto& q = t.positions();
            const double p = q[k][j], v = t.velocities()[k][j], a = t.accelerations()[k][j];
            if (check_positions) {
                ASSERT_GE(p, l.lower - 1e-9) << "joint " << j << " sample " << k;
                ASSERT_LE(p, l.upper + 1e-9) << "joint " << j << " sample " << k;
            }
            ASSERT_LE(std::abs(v), l.max_velocity * (1 + slack)) << "joint " << j << " sample " << k;
            ASSERT_LE(std::abs(a), l.max_acceleration * (1 + slack)) << "joint " << j << " sample " << k;
            if (k == 0) continue;
            const double p0 = q[k - 1][j], v0 = t.velocities()[k - 1][j];
            // Velocity is A-Lipschitz; position follows the velocity (trapezoid
            // rule exact up to A dt^2 / 4 for an acceleration-limited motion).
            ASSERT_LE(std::abs(v - v0), l.max_acceleration * dt * (1 + slack) + 1e-12)
                << "velocity jump, joint " << j << " sample " << k;
            ASSERT_LE(std::abs(p - p0 - (v + v0) / 2.0 * dt), l.max_acceleration * dt * dt / 4.0 + 1e-9)
                << "position does not follow velocity, joint " << j << " sample " << k;
            if (k < 3) continue;
            const double second = (p - 2 * p0 + q[k - 2][j]) / (dt * dt);
            const double third = (p - 3 * p0 + 3 * q[k - 2][j] - q[k - 3][j]) / (dt * dt * dt);
            ASSERT_LE(std::abs(second), l.max_acceleration * (1 + slack) + 4e-11 / (dt * dt))
                << "second difference, joint " << j << " sample " << k;
            ASSERT_LE(std::abs(third), l.max_jerk * (1 + slack) + 8e-11 / (dt * dt * dt))
                << "third difference, joint " << j << " sample " << k;
        }
    }
}

void expect_state(const Trajectory& t, std::size_t k, const Waypoint& w, double tolerance = 0.0) {
    for (std::size_t j = 0; j < w.position.size(); ++j) {
        EXPECT_NEAR(t.positions()[k][j], w.position[j], tolerance) << "joint " << j << " sample " << k;
        EXPECT_NEAR(t.velocities()[k][j], w.velocity[j], tolerance) << "joint " << j << " sample " << k;
        EXPECT_NEAR(t.accelerations()[k][j], w.acceleration[j], tolerance) << "joint " << j << " sample " << k;
    }
}

// Time-optimal rest-to-rest duration of one joint under velocity,
// acceleration and jerk limits: the classic S-curve, peaking at vp.
double rest_to_rest_time(double distance, const JointLimits& l) {
    const double d = std::abs(distance);
    const double v = l.max_velocity, a = l.max_acceleration, j = l.max_jerk;
    // Time to speed up from rest to vp (and distance covered meanwhile, vp t / 2).
    auto ramp = [&](double vp) { return vp * j >= a * a ? vp / a + a / j : 2.0 * std::sqrt(vp / j); };
    if (d >= v * ramp(v)) return d / v + ramp(v);
    // No coast: d = vp ramp(vp).
    const double vp_at_full = (-(a * a / j) + std::sqrt(a * a / j * a * a / j + 4.0 * a * d)) / 2.0;
    if (vp_at_full * j >= a * a) return 2.0 * ramp(vp_at_full);
    const double vp = std::cbrt(d * d * j / 4.0);  // d = 2 vp sqrt(vp / j)
    return 2.0 * ramp(vp);
}

struct Random {
    explicit Random(unsigned seed) : engine(seed) {}
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(engine); }
    std::mt19937 engine;
};

Waypoint random_waypoint(Random& random, const std::vector<JointLimits>& limits, double speed_share,
                         double position_share = 0.8) {
    Waypoint w(limits.size());
    for (std::size_t j = 0; j < limits.size(); ++j) {
        const double middle = 0.5 * (limits[j].lower + limits[j].upper);
        const double half = 0.5 * (limits[j].upper - limits[j].lower) * position_share;
        w.position[j] = random.uniform(middle - half, middle + half);
        w.velocity[j] = speed_share * random.uniform(-1, 1) * limits[j].max_velocity;
        w.acceleration[j] = speed_share * random.uniform(-1, 1) * limits[j].max_acceleration;
    }
    return w;
}

class MotionPlannerTest : public ::testing::Test {
protected:
    std::shared_ptr<orvane::RobotArm> arm = orvane::robots::fanuc_lrmate200id();
    std::vector<JointLimits> limits = arm->get_joint_limits();
};

TEST_F(MotionPlannerTest, RestToRestMotionsAreSynchronisedAndTimeOptimal) {
    Random random(11);
    for (double delta_time : {0.024, 0.004}) {
        Planner planner(arm, delta_time);
        for (int trial = 0; trial < 100; ++trial) {
            const Waypoint start = random_waypoint(random, limits, 0.0, 1.0);
            const Waypoint goal = random_waypoint(random, limits, 0.0, 1.0);
            SCOPED_TRACE("delta_time " + std::to_string(delta_time) + ", trial " + std::to_string(trial));
            const auto result = planner.plan(LowLevelMotion(arm, start, goal));
            ASSERT_TRUE(result) << result.error().message;
            const Trajectory& t = *result;
            expect_well_formed(t, limits, delta_time);
            expect_state(t, 0, start);
            expect_state(t, t.size() - 1, goal);

            // The slowest joint needs its time-optimal duration, rounded up to a sample.
            double needed = 0.0;
            for (std::size_t j = 0; j < 6; ++j) {
                needed = std::max(needed, rest_to_rest_time(goal.position[j] - start.position[j], limits[j]));
            }
            EXPECT_GE(t.duration(), needed - 1e-9);
            EXPECT_LE(t.duration(), needed + delta_time + 1e-9);

            // All joints arrive together: none is already at rest on its goal a
            // sample before the end.
            const std::size_t before_end = t.size() - 2;
            for (std::size_t j = 0; j < 6; ++j) {
                if (std::abs(goal.position[j] - start.position[j]) < 1e-3) continue;
                const bool arrived = std::abs(t.positions()[before_end][j] - goal.position[j]) < 1e-9 &&
                                     std::abs(t.velocities()[before_end][j]) < 1e-9;
                EXPECT_FALSE(arrived) << "joint " << j << " arrived early";
            }
        }
    }
}

TEST_F(MotionPlannerTest, MovingBoundaryStatesAreMetExactly) {
    // Blends start from a moving robot and end on a moving trajectory. Faster
    // boundary states than these often cannot brake within the joint ranges
    // under the jerk limit at all.
    Random random(5);
    const double delta_time = 0.024;
    Planner planner(arm, delta_time);
    int planned = 0;
    const int trials = 300;
    for (int trial = 0; trial < trials; ++trial) {
        const Waypoint start = random_waypoint(random, limits, 0.4, 0.6);
        const Waypoint goal = random_waypoint(random, limits, 0.4, 0.6);
        SCOPED_TRACE("trial " + std::to_string(trial));
        const auto result = planner.plan(LowLevelMotion(arm, start, goal));
        if (!result) {
            // Only a boundary velocity that carries a joint past its range may fail.
            EXPECT_NE(result.error().message.find("position range"), std::string::npos) << result.error().message;
            continue;
        }
        ++planned;
        const Trajectory& t = *result;
        expect_well_formed(t, limits, delta_time);
        expect_state(t, 0, start);
        expect_state(t, t.size() - 1, goal);
        // The sample before the end is one interval away from the goal state.
        const std::size_t k = t.size() - 2;
        for (std::size_t j = 0; j < 6; ++j) {
            EXPECT_LE(std::abs(t.velocities()[k][j] - goal.velocity[j]),
                      limits[j].max_acceleration * delta_time * (1 + slack));
        }
    }
    EXPECT_GE(planned, trials * 9 / 10);
}

// Bounds on the quickest stop of one joint from (v, a): no stop is quicker
// than braking at full deceleration all the way, or than the acceleration can
// go to zero; and this one is possible: ramp the acceleration to zero, then
// change the velocity that leaves to zero along an S-curve.
std::pair<double, double> stop_time_bounds(double v, double a, const JointLimits& l) {
    const double limit = l.max_acceleration, jerk = l.max_jerk;
    const double lower = std::max(std::abs(v) / limit, std::abs(a) / jerk);
    const double left = std::abs(v + a * std::abs(a) / (2.0 * jerk));
    const double s_curve = left * jerk >= limit * limit ? left / limit + limit / jerk : 2.0 * std::sqrt(left / jerk);
    return {lower, std::abs(a) / jerk + s_curve};
}

TEST_F(MotionPlannerTest, StopComesToRestAsFastAsTheLimitsAllow) {
    Random random(3);
    const double delta_time = 0.024;
    Planner planner(arm, delta_time);
    for (int trial = 0; trial < 200; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        // Any state a motion within the limits passes through: one from which
        // the acceleration can turn to zero before the velocity limit.
        Waypoint start = random_waypoint(random, limits, 1.0);
        for (std::size_t j = 0; j < 6; ++j) {
            const JointLimits& l = limits[j];
            const double room = l.max_velocity - start.velocity[j] * (start.acceleration[j] > 0 ? 1.0 : -1.0);
            start.acceleration[j] = std::copysign(std::min(std::abs(start.acceleration[j]),
                                                           std::sqrt(2.0 * l.max_jerk * room)),
                                                  start.acceleration[j]);
        }
        LowLevelMotion stop(arm, start, Waypoint(6));
        stop.control_interface = static_cast<LowLevelMotion::ControlInterface>(1);
        const auto result = planner.plan(stop);
        ASSERT_TRUE(result) << result.error().message;
        const Trajectory& t = *result;
        // A stop goes wherever it must, even past a position limit.
        expect_well_formed(t, limits, delta_time, false);
        expect_state(t, 0, start);
        const auto end = t.back();
        double quickest = 0.0, possible = 0.0;
        for (std::size_t j = 0; j < 6; ++j) {
            EXPECT_EQ(end.velocity[j], 0.0);
            EXPECT_EQ(end.acceleration[j], 0.0);
            const auto [lower, upper] = stop_time_bounds(start.velocity[j], start.acceleration[j], limits[j]);
            quickest = std::max(quickest, lower);
            possible = std::max(possible, upper);
        }
        EXPECT_GE(t.duration(), quickest - 1e-9);
        EXPECT_LE(t.duration(), possible + delta_time + 1e-9);
        // Once a joint has stopped it stays stopped.
        for (std::size_t j = 0; j < 6; ++j) {
            bool stopped = false;
            for (std::size_t k = 1; k < t.size(); ++k) {
                if (stopped) {
                    EXPECT_EQ(t.velocities()[k][j], 0.0) << "joint " << j << " moves again at sample " << k;
                }
                stopped = stopped || t.velocities()[k][j] == 0.0;
            }
        }
    }

    // At rest already: a single sample where the robot is.
    const Waypoint rest(std::vector<double>{0.1, 0.2, 0.3, 0.4, 0.5, 0.6});
    LowLevelMotion stop(arm, rest, Waypoint(6));
    stop.control_interface = LowLevelMotion::ControlInterface::Velocity;
    const auto result = planner.plan(stop);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->size(), 1u);
    expect_state(*result, 0, rest);
}

TEST_F(MotionPlannerTest, StopFromBeyondTheLimitsStillBrakes) {
    // Still accelerating beyond the velocity limit: the acceleration can only
    // turn round at the jerk limit, so the velocity rises by up to A^2 / 2J
    // first, then falls without rising again.
    Planner planner(arm, 0.024);
    Waypoint start(6);
    start.position = {0, 0, 0, 0, 0, 0};
    start.velocity = {limits[0].max_velocity * 1.2, 0, 0, 0, 0, 0};
    start.acceleration = {limits[0].max_acceleration, 0, 0, 0, 0, 0};
    LowLevelMotion stop(arm, start, Waypoint(6));
    stop.control_interface = LowLevelMotion::ControlInterface::Velocity;
    const auto result = planner.plan(stop);
    ASSERT_TRUE(result) << result.error().message;
    const auto& v = result->velocities();
    const double a = limits[0].max_acceleration;
    std::size_t peak = 0;
    for (std::size_t k = 0; k < v.size(); ++k) {
        EXPECT_LE(v[k][0], start.velocity[0] + a * a / (2.0 * limits[0].max_jerk) + 1e-9) << "sample " << k;
        if (v[k][0] > v[peak][0]) peak = k;
    }
    EXPECT_LE(static_cast<double>(peak) * 0.024, a / limits[0].max_jerk + 0.024);
    for (std::size_t k = peak + 1; k < v.size(); ++k) EXPECT_LE(v[k][0], v[k - 1][0]) << "sample " << k;
    EXPECT_EQ(result->back().velocity[0], 0.0);
}

TEST_F(MotionPlannerTest, ConstantVelocityGoalIsReached) {
    // The velocity interface with a non-zero goal velocity: reach it and keep it.
    Planner planner(arm, 0.01);
    LowLevelMotion motion(arm, Waypoint(std::vector<double>(6, 0.0)), Waypoint(6));
    motion.goal.velocity = {1.0, -0.5, 0, 0, 0, 0};
    motion.control_interface = LowLevelMotion::ControlInterface::Velocity;
    const auto result = planner.plan(motion);
    ASSERT_TRUE(result) << result.error().message;
    expect_well_formed(*result, limits, 0.01, false);
    EXPECT_NEAR(result->back().velocity[0], 1.0, 1e-12);
    EXPECT_NEAR(result->back().velocity[1], -0.5, 1e-12);
    // Joint 1 needs longest; it never reaches full acceleration on the way
    // (1 rad/s < A^2 / J), so the acceleration ramps up and down at full jerk.
    ASSERT_LT(1.0, limits[0].max_acceleration * limits[0].max_acceleration / limits[0].max_jerk);
    EXPECT_NEAR(result->duration(), 2.0 * std::sqrt(1.0 / limits[0].max_jerk), 0.01 + 1e-9);
}

TEST_F(MotionPlannerTest, PointGoalsOfEveryKind) {
    Planner planner(arm, 0.024);
    const std::vector<double> start{0.1, 0.2, 0.3, 0.0, -0.5, 0.0};
    const std::vector<double> target{-0.4, 0.5, 0.1, 0.7, -1.0, 1.5};

    // A joint vector: reached at rest.
    auto result = planner.plan(Motion("", arm, Waypoint(start), target));
    ASSERT_TRUE(result) << result.error().message;
    expect_state(*result, result->size() - 1, Waypoint(target));

    // A Cartesian pose near the start: solved by inverse kinematics from the start.
    const auto pose = arm->calculate_tcp(target);
    result = planner.plan(Motion("", arm, start, CartesianWaypoint(pose)));
    ASSERT_TRUE(result) << result.error().message;
    expect_well_formed(*result, limits, 0.024);
    const auto reached = arm->calculate_tcp(result->back().position);
    EXPECT_LE(reached.translational_distance(pose), 1e-9);
    EXPECT_LE(reached.angular_distance(pose), 1e-9);

    // An unreachable pose.
    result = planner.plan(Motion("", arm, start, CartesianWaypoint(orvane::Frame::from_translation(5, 0, 0))));
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().message.find("unreachable"), std::string::npos) << result.error().message;

    // Start and goal given at planning time replace the motion's own.
    const Motion defaults("", arm, std::vector<double>(6, 0.0), std::vector<double>(6, 0.0));
    result = planner.plan(defaults, Waypoint(start), orvane::Goal(target));
    ASSERT_TRUE(result);
    expect_state(*result, 0, Waypoint(start));
    expect_state(*result, result->size() - 1, Waypoint(target));
}

TEST_F(MotionPlannerTest, NamedMotions) {
    Planner planner(arm, 0.024);
    const std::vector<double> home{0, 0, 0, 0, 0, 0};
    const std::vector<double> pick{0.5, 0.3, -0.2, 0.0, 0.4, 1.0};
    planner.add_motion(Motion("to-pick", nullptr, std::nullopt, pick));
    ASSERT_TRUE(planner.get_motion("to-pick"));

    auto result = planner.plan("to-pick", Waypoint(home));
    ASSERT_TRUE(result) << result.error().message;
    expect_state(*result, result->size() - 1, Waypoint(pick));

    // Another goal for the same motion.
    result = planner.plan("to-pick", Waypoint(home), orvane::Goal(std::vector<double>{0.1, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->back().position[0], 0.1);

    result = planner.plan("to-place", Waypoint(home));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, "Unknown motion 'to-place'.");

    result = planner.plan("to-pick");
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().message.find("no start"), std::string::npos);

    // Registering under the same name replaces the motion.
    planner.add_motion(Motion("to-pick", nullptr, std::nullopt, home));
    result = planner.plan("to-pick", Waypoint(pick));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->back().position, home);
    EXPECT_THROW(planner.add_motion(Motion()), std::invalid_argument);
}

TEST_F(MotionPlannerTest, FailuresAreReportedWithAClearMessage) {
    Planner planner(arm, 0.024);
    const Waypoint start(std::vector<double>(6, 0.0));
    auto message = [&](const orvane::PlanningResult& result) {
        EXPECT_FALSE(result);
        return result ? std::string() : result.error().message;
    };

    Waypoint beyond = start;
    beyond.position[2] = limits[2].upper + 0.1;
    EXPECT_NE(message(planner.plan(LowLevelMotion(arm, start, beyond))).find("joint 3 of robot 'lrmate200id' is outside its limits"),
              std::string::npos);

    EXPECT_NE(message(planner.plan(LowLevelMotion(arm, start, Waypoint(5)))).find("has 5 joint positions"),
              std::string::npos);
    EXPECT_NE(message(planner.plan(Motion("", arm, start, std::vector<double>{1, 2, 3}))).find("but robot 'lrmate200id' has 6 joints"),
              std::string::npos);

    Waypoint too_fast = start;
    too_fast.velocity[0] = 2 * limits[0].max_velocity;
    EXPECT_NE(message(planner.plan(LowLevelMotion(arm, too_fast, start))).find("exceeds its limit"), std::string::npos);

    // A start speeding towards the end of its range cannot be kept inside it.
    Waypoint rushing = start;
    rushing.position[1] = limits[1].upper - 0.01;
    rushing.velocity[1] = limits[1].max_velocity;
    EXPECT_NE(message(planner.plan(LowLevelMotion(arm, rushing, start))).find("position range"), std::string::npos);

    Planner no_time(arm, 0.0);
    EXPECT_NE(message(no_time.plan(LowLevelMotion(arm, start, start))).find("delta_time"), std::string::npos);

    auto environment = std::make_shared<orvane::Environment>();
    environment->add_robot(arm);
    environment->add_robot(orvane::robots::fanuc_crx10ial());
    Planner two(environment, 0.024);
    EXPECT_NE(message(two.plan(LowLevelMotion(nullptr, start, start))).find("2 robots"), std::string::npos);
    EXPECT_TRUE(two.plan(LowLevelMotion(arm, start, start)));

    Planner none(std::shared_ptr<orvane::Environment>(), 0.024);
    EXPECT_NE(message(none.plan(LowLevelMotion(nullptr, start, start))).find("0 robots"), std::string::npos);
}

TEST(MotionPlanner, CompositeRobotWithRobotMapGoal) {
    auto arm = orvane::robots::fanuc_crx10ial();
    auto rail = std::make_shared<orvane::LinearAxis>("rail", std::array<double, 3>{1, 0, 0},
                                                     JointLimits{0.0, 4.0, 1.0, 2.0});
    auto cell = std::make_shared<orvane::CompositeRobot>("cell", std::vector<std::shared_ptr<orvane::Robot>>{rail, arm});
    Planner planner(cell, 0.024);
    const std::vector<double> start{0.5, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6};

    orvane::points::RobotMap goal{{"rail", std::vector<double>{3.0}}};
    auto result = planner.plan(Motion("", cell, start, goal));
    ASSERT_TRUE(result) << result.error().message;
    expect_well_formed(*result, cell->get_joint_limits(), 0.024);
    std::vector<double> expected = start;
    expected[0] = 3.0;
    EXPECT_EQ(result->back().position, expected);
    // The rail needs 2.5 m / 1 m/s plus 0.5 s for speeding up and braking and
    // 0.2 s for ramping its acceleration (its default jerk limit is 10 m/s^3);
    // the arm waits for it.
    EXPECT_NEAR(result->duration(), 2.5 / 1.0 + 1.0 / 2.0 + 2.0 / 10.0, 0.024 + 1e-9);

    // A Cartesian goal for the arm part, solved in the arm's own frame.
    const std::vector<double> arm_target{0.0, 0.3, 0.1, 0.2, 0.5, 0.4};
    goal = {{"crx10ial", CartesianWaypoint(arm->calculate_tcp(arm_target))}, {"rail", std::vector<double>{1.0}}};
    result = planner.plan(Motion("", cell, start, goal));
    ASSERT_TRUE(result) << result.error().message;
    const auto end = result->back().position;
    EXPECT_EQ(end[0], 1.0);
    const auto reached = arm->calculate_tcp(std::vector<double>(end.begin() + 1, end.end()));
    EXPECT_LE(reached.translational_distance(arm->calculate_tcp(arm_target)), 1e-9);

    goal = {{"gantry", std::vector<double>{1.0}}};
    result = planner.plan(Motion("", cell, start, goal));
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().message.find("'gantry', which is not part of 'cell'"), std::string::npos);

    // Planning for the arm alone plans its own six joints.
    result = planner.plan(LowLevelMotion(arm, Waypoint(6), Waypoint(std::vector<double>{0.2, 0, 0, 0, 0, 0})));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->degrees_of_freedom(), 6u);
}

}  // namespace
