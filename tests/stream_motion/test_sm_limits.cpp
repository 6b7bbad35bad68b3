// The controller's threshold tables and the check of a trajectory against
// them at the controller's period, before anything is streamed.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <vector>

#include <orvane/motion/motion.hpp>
#include <orvane/motion/planner.hpp>
#include <orvane/motion/robots.hpp>
#include <orvane/motion/waypoint.hpp>
#include <orvane/motion/trajectory.hpp>

#include "orvane/drivers/fanuc/stream_motion_limits.hpp"
#include "orvane/log/orvane_error.hpp"

namespace sm = orvane::drivers::stream_motion;

namespace {

constexpr double period = 0.008;
constexpr double deg = std::numbers::pi / 180.0;

// Tables of `axes` axes whose entries come from `entry(axis, kind, step, full_payload)`.
sm::ThresholdTables make_tables(std::size_t axes,
                                const std::function<float(std::size_t, sm::LimitKind, std::size_t, bool)>& entry,
                                std::uint32_t max_speed = 2000) {
    sm::ThresholdTables tables(axes);
    for (std::size_t axis = 0; axis < axes; ++axis) {
        for (const auto kind : sm::limit_kinds) {
            sm::ThresholdAnswer answer{.version = 3,
                                       .axis = static_cast<std::uint32_t>(axis + 1),
                                       .kind = kind,
                                       .max_cartesian_speed = max_speed,
                                       .interval = 8};
            for (std::size_t step = 0; step < 20; ++step) {
                answer.no_payload[step] = entry(axis, kind, step, false);
                answer.full_payload[step] = entry(axis, kind, step, true);
            }
            EXPECT_EQ(tables.store(answer), std::nullopt);
        }
    }
    return tables;
}

// The ROBOGUIDE CRX figures for every axis, at every step and payload.
sm::ThresholdTables crx_like_tables(std::size_t axes = 6) {
    return make_tables(axes, [](std::size_t, sm::LimitKind kind, std::size_t, bool) {
        switch (kind) {
            case sm::LimitKind::velocity: return 120.0f;
            case sm::LimitKind::acceleration: return 265.0f;
            case sm::LimitKind::jerk: return 1240.0f;
        }
        return 0.0f;
    });
}

// A trajectory of `joints` joints sampled every `interval` over `duration`,
// joint j at position(j, t) (radians); velocities and accelerations by the
// same function's differences (the check reads positions only).
orvane::Trajectory sampled(std::size_t joints, double duration, double interval,
                           const std::function<double(std::size_t, double)>& position) {
    std::vector<double> times;
    std::vector<std::vector<double>> positions, velocities, accelerations;
    const auto steps = static_cast<std::size_t>(std::llround(duration / interval));
    for (std::size_t k = 0; k <= steps; ++k) {
        const double t = static_cast<double>(k) * interval;
        times.push_back(t);
        std::vector<double> p(joints), v(joints), a(joints);
        for (std::size_t j = 0; j < joints; ++j) {
            const double h = 1e-5;
            p[j] = position(j, t);
            v[j] = (position(j, t + h) - position(j, t - h)) / (2 * h);
            a[j] = (position(j, t + h) - 2 * p[j] + position(j, t - h)) / (h * h);
        }
        positions.push_back(p);
        velocities.push_back(v);
        accelerations.push_back(a);
    }
    return orvane::Trajectory(times, positions, velocities, accelerations);
}

// A rest-to-rest move by `distance` within `duration` whose acceleration
// rises and falls smoothly (quintic).
double quintic(double distance, double duration, double t) {
    const double s = std::clamp(t / duration, 0.0, 1.0);
    return distance * (10 * std::pow(s, 3) - 15 * std::pow(s, 4) + 6 * std::pow(s, 5));
}

sm::StreamPlan plan_for(std::size_t axes) {
    sm::StreamPlan plan;
    plan.period = period;
    plan.units.count = axes;
    return plan;
}

}  // namespace

// --- the tables -------------------------------------------------------------------------

TEST(StreamMotionLimitTables, SpeedStepsFollowTheMakersRuleWithItsMargin) {
    const auto tables = crx_like_tables();
    // 19 · (1.2 v − 100) / 1900 at the top of 2000 mm/s.
    const auto at = [&](double speed) { return tables.speed_steps(speed); };
    EXPECT_EQ(at(0).lower, 0U);
    EXPECT_EQ(at(0).upper, 0U);
    EXPECT_NEAR(at(100).position, 0.2, 1e-12);
    EXPECT_EQ(at(100).lower, 0U);
    EXPECT_EQ(at(100).upper, 1U);
    EXPECT_NEAR(at(500).position, 5.0, 1e-12);
    EXPECT_NEAR(at(1000).position, 11.0, 1e-12);
    EXPECT_EQ(at(1000).lower, 11U);
    EXPECT_EQ(at(1001).upper, 12U);
    EXPECT_EQ(at(2000).lower, 19U);  // beyond the table: its last step
    EXPECT_EQ(at(NAN).upper, 19U);   // unknown: the top step

    // A controller reporting a lower top speed moves a speed up the table;
    // one reporting a higher top does not move it down.
    const auto slow = make_tables(6, [](auto...) { return 100.0f; }, 1000);
    EXPECT_DOUBLE_EQ(slow.max_cartesian_speed(), 1000.0);
    EXPECT_NEAR(slow.speed_steps(500).position, 19.0 * (600.0 - 50.0) / 950.0, 1e-12);
    const auto fast = make_tables(6, [](auto...) { return 100.0f; }, 3000);
    EXPECT_DOUBLE_EQ(fast.max_cartesian_speed(), 2000.0);
}

TEST(StreamMotionLimitTables, ALimitIsTheStricterNeighbourInterpolatedForThePayload) {
    // Falling with the step: 1000, 970, ...; with full payload 200 less.
    const auto tables = make_tables(2, [](std::size_t axis, sm::LimitKind, std::size_t step, bool full) {
        return static_cast<float>(1000.0 - 30.0 * static_cast<double>(step) - (full ? 200.0 : 0.0) + 10.0 * axis);
    });
    const auto steps = tables.speed_steps(100);  // between step 0 and 1
    EXPECT_DOUBLE_EQ(tables.limit(0, sm::LimitKind::jerk, steps, 0.0), 970.0);
    EXPECT_DOUBLE_EQ(tables.limit(1, sm::LimitKind::jerk, steps, 0.0), 980.0);
    EXPECT_DOUBLE_EQ(tables.limit(0, sm::LimitKind::jerk, steps, 0.5), 870.0);
    EXPECT_DOUBLE_EQ(tables.limit(0, sm::LimitKind::jerk, steps, 1.0), 770.0);
    EXPECT_DOUBLE_EQ(tables.strictest_limit(0, sm::LimitKind::velocity, 0.0), 1000.0 - 30.0 * 19);

    // Rising with the step, the stricter neighbour is the lower one.
    const auto rising = make_tables(1, [](std::size_t, sm::LimitKind, std::size_t step, bool) {
        return static_cast<float>(100 + step);
    });
    EXPECT_DOUBLE_EQ(rising.limit(0, sm::LimitKind::velocity, rising.speed_steps(100), 0.0), 100.0);

    EXPECT_DOUBLE_EQ(sm::ThresholdTables::payload_fraction(3.5), 0.5);
    EXPECT_DOUBLE_EQ(sm::ThresholdTables::payload_fraction(10.0), 1.0);
    EXPECT_DOUBLE_EQ(sm::ThresholdTables::payload_fraction(-1.0), 0.0);
    EXPECT_DOUBLE_EQ(sm::ThresholdTables::payload_fraction(5.0, 10.0), 0.5);
    EXPECT_DOUBLE_EQ(sm::ThresholdTables::payload_fraction(NAN), 1.0);
}

TEST(StreamMotionLimitTables, TablesThatCannotBeTrustedAreRefused) {
    sm::ThresholdTables tables(6);
    EXPECT_FALSE(tables.complete());
    sm::ThresholdAnswer answer{.axis = 7, .kind = sm::LimitKind::velocity};
    ASSERT_TRUE(tables.store(answer).has_value());
    EXPECT_NE(tables.store(answer)->find("not streamed"), std::string::npos);
    answer.axis = 2;
    answer.no_payload[4] = NAN;
    EXPECT_NE(tables.store(answer)->find("non-numeric"), std::string::npos);
    answer.no_payload[4] = 1.0f;
    answer.full_payload[19] = -1.0f;
    EXPECT_TRUE(tables.store(answer).has_value());
    answer.full_payload[19] = 1.0f;
    EXPECT_EQ(tables.store(answer), std::nullopt);
    EXPECT_FALSE(tables.complete());
    EXPECT_TRUE(crx_like_tables().complete());
}

// --- trajectories against the tables -------------------------------------------------------

TEST(StreamMotionLimitCheck, ASmoothMoveSampledAtThePeriodPasses) {
    // 30 degrees in 2 s on every joint: peaks of 28 deg/s, 43 deg/s² and 225 deg/s³.
    const auto trajectory =
        sampled(6, 2.0, period, [](std::size_t j, double t) { return (10.0 + j) * deg + quintic(30 * deg, 2.0, t); });
    const auto check = sm::check_limits(trajectory, crx_like_tables(), plan_for(6));
    EXPECT_FALSE(check.violation.has_value()) << check.violation->describe();
    EXPECT_GT(check.worst_ratio[0], 0.2);
    EXPECT_LT(check.worst_ratio[0], 0.3);
    EXPECT_LT(check.worst_ratio[2], 0.25);
    EXPECT_GE(check.commands, trajectory.size() + 3);
}

TEST(StreamMotionLimitCheck, AnAccelerationSwitchedOnAtOnceIsFoundAtItsJointAndCommand) {
    // Joint 5 starts accelerating at 100 deg/s² at t = 50 periods, while the
    // others make a smooth move: a jerk of 100 / (2 · 8 ms) = 6250 deg/s³ at
    // the first command after the switch.
    const double start = 50 * period;
    const auto trajectory = sampled(6, 1.2, period, [&](std::size_t j, double t) {
        if (j != 4) return quintic(20 * deg, 1.2, t);
        return t > start + 1e-9 ? 0.5 * 100 * deg * (t - start) * (t - start) : 0.0;
    });
    const auto check = sm::check_limits(trajectory, crx_like_tables(), plan_for(6));
    ASSERT_TRUE(check.violation.has_value());
    const auto& violation = *check.violation;
    EXPECT_EQ(violation.axis, 4U);
    EXPECT_EQ(violation.command, 51U);
    EXPECT_NEAR(violation.time, 51 * period, 1e-12);
    EXPECT_EQ(violation.kind, sm::LimitKind::jerk);
    EXPECT_NEAR(violation.value, 6250.0, 1e-3);
    EXPECT_DOUBLE_EQ(violation.limit, 1240.0);
    const auto text = violation.describe();
    EXPECT_NE(text.find("Joint 5 at command 51"), std::string::npos) << text;
    EXPECT_NE(text.find("jerk"), std::string::npos) << text;
    EXPECT_NE(text.find("1240 deg/s^3"), std::string::npos) << text;
}

TEST(StreamMotionLimitCheck, TheFirstCommandIsMeasuredAgainstTheStartAtRest) {
    // Constant acceleration from t = 0: the jump from rest is at command 1.
    const auto trajectory =
        sampled(6, 0.5, period, [](std::size_t j, double t) { return j == 2 ? 0.5 * 100 * deg * t * t : 0.0; });
    const auto check = sm::check_limits(trajectory, crx_like_tables(), plan_for(6));
    ASSERT_TRUE(check.violation.has_value());
    EXPECT_EQ(check.violation->axis, 2U);
    EXPECT_EQ(check.violation->command, 1U);
    EXPECT_EQ(check.violation->kind, sm::LimitKind::jerk);
    EXPECT_NEAR(check.violation->value, 6250.0, 1e-6);
}

TEST(StreamMotionLimitCheck, TheCommandsBeforeTheTrajectoryCount) {
    // 150 deg/s on joint 1, above its 120 deg/s.
    const auto trajectory = sampled(6, 0.2, period, [](std::size_t j, double t) { return j == 0 ? 150 * deg * t : 0.0; });
    auto plan = plan_for(6);
    // From rest, the velocity jump comes at command 1.
    auto from_rest = sm::check_limits(trajectory, crx_like_tables(), plan);
    ASSERT_TRUE(from_rest.violation.has_value());
    EXPECT_EQ(from_rest.violation->command, 1U);
    EXPECT_EQ(from_rest.violation->kind, sm::LimitKind::velocity);

    // Already moving at that speed, the very first command breaks it (and
    // only the velocity limit: nothing changes at the junction).
    std::array<std::array<double, 9>, 3> history{};
    for (int i = 0; i < 3; ++i) history[i][0] = -150 * deg * period * (3 - i);
    plan.history = history;
    const auto moving = sm::check_limits(trajectory, crx_like_tables(), plan);
    ASSERT_TRUE(moving.violation.has_value());
    EXPECT_EQ(moving.violation->command, 0U);
    EXPECT_EQ(moving.violation->kind, sm::LimitKind::velocity);
    EXPECT_NEAR(moving.violation->value, 150.0, 1e-6);
    // A hundredth of a degree per second over the limit is over it.
    const auto just_below = make_tables(6, [](std::size_t, sm::LimitKind kind, std::size_t, bool) {
        return kind == sm::LimitKind::velocity ? 149.99f : 1e9f;
    });
    const auto barely = sm::check_limits(trajectory, just_below, plan);
    ASSERT_TRUE(barely.violation.has_value());
    EXPECT_EQ(barely.violation->command, 0U);

    // Moving at 100 deg/s into a trajectory that goes on at 100 deg/s and
    // then ends moving: fine until the end, which is held and so broken.
    const auto slower = sampled(6, 0.2, period, [](std::size_t j, double t) { return j == 0 ? 100 * deg * t : 0.0; });
    for (int i = 0; i < 3; ++i) history[i][0] = -100 * deg * period * (3 - i);
    plan.history = history;
    const auto ending = sm::check_limits(slower, crx_like_tables(), plan);
    ASSERT_TRUE(ending.violation.has_value());
    EXPECT_EQ(ending.violation->kind, sm::LimitKind::acceleration);
    EXPECT_GE(ending.violation->time, slower.duration() - period);
}

TEST(StreamMotionLimitCheck, TheTrajectoryIsSampledAtTheControllersPeriodNotAtItsOwn) {
    const auto move = [](std::size_t, double t) { return quintic(30 * deg, 2.0, t); };
    // Between samples the time scaler follows the quintic through their
    // positions, velocities and accelerations: the same move planned every
    // 8 ms or every 40 ms gives the controller the same commands, and a 4 ms
    // controller sees the same jerk (within the finite differences' error).
    const auto fine = sm::check_limits(sampled(6, 2.0, period, move), crx_like_tables(), plan_for(6));
    const auto coarse = sm::check_limits(sampled(6, 2.0, 0.040, move), crx_like_tables(), plan_for(6));
    EXPECT_FALSE(fine.violation);
    EXPECT_FALSE(coarse.violation);
    ASSERT_GT(fine.worst_ratio[2], 0.0);
    EXPECT_NEAR(coarse.worst_ratio[2], fine.worst_ratio[2], 0.02 * fine.worst_ratio[2]);
    auto fast = plan_for(6);
    fast.period = 0.004;
    const auto at_four = sm::check_limits(sampled(6, 2.0, period, move), crx_like_tables(), fast);
    EXPECT_NEAR(at_four.worst_ratio[2], fine.worst_ratio[2], 0.1 * fine.worst_ratio[2]);
    // Sampled at its own period the 40 ms plan would give five times fewer commands.
    EXPECT_EQ(coarse.commands, fine.commands);
}

TEST(StreamMotionLimitCheck, TheStepComesFromThePeakTcpSpeedAndTheStricterNeighbourApplies) {
    const auto arm = orvane::robots::fanuc_lrmate200id();
    const std::vector<double> home{0.0, 0.0, 0.0, 0.0, -90 * deg, 0.0};
    const auto trajectory = sampled(6, 1.5, period, [&](std::size_t j, double t) {
        return home[j] + (j == 0 ? quintic(40 * deg, 1.5, t) : 0.0);
    });

    // The peak TCP speed, from the arm model over the trajectory's own samples
    // (they fall on the period, so they are the commands).
    double peak = 0.0;
    for (std::size_t k = 1; k < trajectory.size(); ++k) {
        const auto a = arm->calculate_tcp(trajectory.positions()[k - 1]);
        const auto b = arm->calculate_tcp(trajectory.positions()[k]);
        peak = std::max(peak, a.translational_distance(b) * 1000.0 / period);
    }
    const double position = std::clamp(19.0 * (1.2 * peak - 100.0) / 1900.0, 0.0, 19.0);
    const auto upper = static_cast<std::size_t>(std::ceil(position));
    ASSERT_GT(position, 0.0);
    ASSERT_NE(std::floor(position), position);

    // Jerk entries lax up to the speed's lower step, strict from its upper one.
    const auto tables = make_tables(6, [&](std::size_t, sm::LimitKind kind, std::size_t step, bool full) {
        if (kind != sm::LimitKind::jerk) return 1e6f;
        return step < upper ? 1e6f : (full ? 2.0f : 4.0f);
    });
    auto plan = plan_for(6);
    plan.arm = arm;
    const auto check = sm::check_limits(trajectory, tables, plan);
    EXPECT_NEAR(check.tcp_speed, peak, peak * 1e-9);
    EXPECT_EQ(check.steps.upper, upper);
    ASSERT_TRUE(check.violation.has_value());
    EXPECT_EQ(check.violation->kind, sm::LimitKind::jerk);
    EXPECT_DOUBLE_EQ(check.violation->limit, 4.0);
    EXPECT_NE(check.violation->describe().find("speed step " + std::to_string(upper + 1) + " of 20"),
              std::string::npos);

    plan.payload = 3.5;  // half of the full payload
    EXPECT_DOUBLE_EQ(sm::check_limits(trajectory, tables, plan).violation->limit, 3.0);

    // Without an arm model the speed is unknown: the strictest entry applies.
    const auto one_strict_step = make_tables(6, [](std::size_t, sm::LimitKind kind, std::size_t step, bool) {
        return kind == sm::LimitKind::jerk && step == 3 ? 5.0f : 1e6f;
    });
    const auto unknown = sm::check_limits(trajectory, one_strict_step, plan_for(6));
    ASSERT_TRUE(unknown.violation.has_value());
    EXPECT_DOUBLE_EQ(unknown.violation->limit, 5.0);
    EXPECT_NE(unknown.violation->describe().find("strictest"), std::string::npos);
}

TEST(StreamMotionLimitCheck, LinearAxesAreMeasuredInMillimetresAndOffsetsSelectTheStreamedJoints) {
    // Joint 0 is a rail in metres that the controller does not drive; the
    // streamed axes are joints 1..7, the last a linear axis (E1).
    const auto trajectory = sampled(8, 1.0, period, [](std::size_t j, double t) {
        if (j == 0) return 0.5 * 1000.0 * t * t;  // would break anything if streamed
        if (j == 7) return quintic(0.2, 1.0, t);  // 200 mm in 1 s: peak 375 mm/s
        return quintic(10 * deg, 1.0, t);
    });
    auto plan = plan_for(7);
    plan.first_joint = 1;
    plan.units.linear[6] = true;
    const auto tables = make_tables(7, [](std::size_t axis, sm::LimitKind kind, std::size_t, bool) {
        if (kind == sm::LimitKind::velocity) return axis == 6 ? 300.0f : 120.0f;
        return 1e6f;
    });
    const auto check = sm::check_limits(trajectory, tables, plan);
    ASSERT_TRUE(check.violation.has_value());
    EXPECT_EQ(check.violation->axis, 6U);
    EXPECT_TRUE(check.violation->linear);
    EXPECT_NEAR(check.violation->value, 300.0, 20.0);
    EXPECT_NE(check.violation->describe().find("mm/s"), std::string::npos);
}

TEST(StreamMotionLimitCheck, ANonFinitePositionIsAViolationAndMisfitsThrow) {
    const auto broken = sampled(6, 0.4, period, [](std::size_t j, double t) {
        return j == 1 && t > 0.2 ? std::nan("") : 0.0;
    });
    const auto check = sm::check_limits(broken, crx_like_tables(), plan_for(6));
    ASSERT_TRUE(check.violation.has_value());
    EXPECT_EQ(check.violation->axis, 1U);
    EXPECT_NE(check.violation->describe().find("not a number"), std::string::npos);

    const auto fine = sampled(6, 0.1, period, [](std::size_t, double) { return 0.0; });
    auto plan = plan_for(6);
    plan.first_joint = 1;
    EXPECT_THROW(sm::check_limits(fine, crx_like_tables(), plan), orvane::OrvaneError);
    EXPECT_THROW(sm::check_limits(fine, crx_like_tables(5), plan_for(6)), orvane::OrvaneError);
    EXPECT_THROW(sm::check_limits(fine, sm::ThresholdTables(6), plan_for(6)), orvane::OrvaneError);
}

TEST(StreamMotionLimitCheck, PlansMadeWithinTheTablesGivenToThePlannerPassTheCheck) {
    const auto arm = orvane::robots::fanuc_lrmate200id();
    const auto model = arm->get_joint_limits();
    // The controller's tables below the arm model's own limits, falling with
    // the speed step; lower again with the full payload.
    const auto tables = make_tables(6, [&](std::size_t axis, sm::LimitKind kind, std::size_t step, bool full) {
        const auto& joint = model[axis];
        const double of_model = kind == sm::LimitKind::velocity       ? joint.max_velocity
                                : kind == sm::LimitKind::acceleration ? joint.max_acceleration
                                                                      : joint.max_jerk;
        const double share = (0.9 - 0.025 * static_cast<double>(step)) * (full ? 0.8 : 1.0);
        return static_cast<float>(of_model / deg * share);
    });
    const auto units = sm::AxisUnits{.count = 6};
    const auto converted = sm::planner_limits(tables, units, 0.0);
    ASSERT_EQ(converted.steps(), 20U);
    EXPECT_NEAR(converted.unloaded()[1].acceleration[0], model[1].max_acceleration * 0.9, 1e-6);
    EXPECT_NEAR(converted.loaded()[5].jerk[19], model[5].max_jerk * 0.425 * 0.8, 1e-3);
    // A speed at a step's top stays on it in both readings; just above, both move on.
    const double edge = converted.speeds()[6] * 1000.0;
    EXPECT_EQ(tables.speed_steps(edge).upper, 6U);
    EXPECT_EQ(tables.speed_steps(edge + 1.0).upper, 7U);
    EXPECT_EQ(converted.step_for(converted.speeds()[6] + 0.001), 7U);

    orvane::Planner free(arm, period), bound(arm, period);
    bound.set_limit_table(arm, converted);
    auto plan = plan_for(6);
    plan.arm = arm;
    const std::vector<std::pair<std::vector<double>, std::vector<double>>> moves{
        {{0.0, 0.0, 0.0, 0.0, -1.2, 0.0}, {1.5, 0.6, -0.4, 1.0, -0.3, 2.0}},
        {{-1.0, 0.3, 0.2, -1.5, -0.8, 1.0}, {1.2, -0.2, -0.6, 1.2, -1.6, -2.5}},
        {{0.2, 0.1, -0.1, 0.0, -0.5, 0.0}, {0.25, 0.15, -0.05, 0.1, -0.4, 0.3}},
    };
    int broken_without = 0;
    for (const auto& [start, goal] : moves) {
        const orvane::LowLevelMotion motion(arm, orvane::Waypoint(start), orvane::Waypoint(goal));
        const auto within = bound.plan(motion);
        const auto unbound = free.plan(motion);
        ASSERT_TRUE(within.has_value() && unbound.has_value());
        const auto check = sm::check_limits(*within, tables, plan);
        EXPECT_FALSE(check.violation.has_value()) << check.violation->describe();
        if (sm::check_limits(*unbound, tables, plan).violation) ++broken_without;
    }
    // Without the tables the long moves break them: the conversion is what keeps them.
    EXPECT_GE(broken_without, 2);
}
