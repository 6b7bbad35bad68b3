// Speed- and payload-dependent joint limits, as a controller reports them, and
// plans made within them.
#include <orvane/motion/limit_table.hpp>
#include <orvane/motion/planner.hpp>
#include <orvane/motion/robots.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "motion/finite_differences.hpp"

namespace {

using orvane::JointLimits;
using orvane::JointLimitTable;
using orvane::LowLevelMotion;
using orvane::Planner;
using orvane::SteppedJointLimits;
using orvane::Trajectory;
using orvane::Waypoint;
using orvane::testing::commanded_at_rest;
using orvane::testing::DerivativeLimits;
using orvane::testing::first_broken_limit;

constexpr std::size_t steps = 20;
// A controller's tables reach up to this tool speed (m/s).
constexpr double max_tool_speed = 2.0;

// Per joint, the model's limits times factor(step).
std::vector<SteppedJointLimits> scaled(const std::vector<JointLimits>& limits,
                                       const std::function<double(std::size_t)>& factor) {
    std::vector<SteppedJointLimits> joints;
    for (const auto& l : limits) {
        SteppedJointLimits joint;
        for (std::size_t i = 0; i < steps; ++i) {
            joint.velocity.push_back(l.max_velocity * factor(i));
            joint.acceleration.push_back(l.max_acceleration * factor(i));
            joint.jerk.push_back(l.max_jerk * factor(i));
        }
        joints.push_back(std::move(joint));
    }
    return joints;
}

// The highest tool speed between consecutive samples, as the controller sees it.
double peak_tool_speed(const orvane::RobotArm& arm, const Trajectory& t) {
    double peak = 0.0;
    for (std::size_t k = 1; k < t.size(); ++k) {
        const double distance = arm.calculate_tcp(t.positions()[k]).translational_distance(
            arm.calculate_tcp(t.positions()[k - 1]));
        peak = std::max(peak, distance / (t.times()[k] - t.times()[k - 1]));
    }
    return peak;
}

// The limits a controller holding `table` applies to a motion peaking at
// `speed`: every step the motion passes through on its way up, each with the
// payload's share between the two columns (the lower one if unknown).
std::vector<DerivativeLimits> applying(const JointLimitTable& table, double speed) {
    std::vector<DerivativeLimits> result(table.degrees_of_freedom(),
                                         DerivativeLimits{INFINITY, INFINITY, INFINITY});
    auto value = [&](double empty, double full) {
        return table.payload() ? empty + *table.payload() * (full - empty) : std::min(empty, full);
    };
    for (std::size_t i = 0; i < table.steps(); ++i) {
        for (std::size_t j = 0; j < table.degrees_of_freedom(); ++j) {
            const auto& empty = table.unloaded()[j];
            const auto& full = table.loaded()[j];
            result[j].velocity = std::min(result[j].velocity, value(empty.velocity[i], full.velocity[i]));
            result[j].acceleration =
                std::min(result[j].acceleration, value(empty.acceleration[i], full.acceleration[i]));
            result[j].jerk = std::min(result[j].jerk, value(empty.jerk[i], full.jerk[i]));
        }
        if (table.speeds()[i] >= speed) break;
    }
    return result;
}

std::vector<double> random_positions(std::mt19937& random, const std::vector<JointLimits>& limits) {
    std::vector<double> q(limits.size());
    for (std::size_t j = 0; j < q.size(); ++j) {
        const double middle = 0.5 * (limits[j].lower + limits[j].upper);
        const double half = 0.45 * (limits[j].upper - limits[j].lower);
        q[j] = std::uniform_real_distribution<double>(middle - half, middle + half)(random);
    }
    return q;
}

TEST(JointLimitTable, RefusesTablesThatDoNotFitTogether) {
    const auto limits = orvane::robots::fanuc_crx10ial()->get_joint_limits();
    const auto good = scaled(limits, [](std::size_t) { return 1.0; });
    EXPECT_NO_THROW(JointLimitTable::evenly_spaced(max_tool_speed, good, good));

    auto short_list = good;
    short_list[2].jerk.pop_back();
    EXPECT_THROW(JointLimitTable::evenly_spaced(max_tool_speed, good, short_list), std::invalid_argument);
    auto fewer_joints = good;
    fewer_joints.pop_back();
    EXPECT_THROW(JointLimitTable::evenly_spaced(max_tool_speed, good, fewer_joints), std::invalid_argument);
    auto zero = good;
    zero[0].acceleration[4] = 0.0;
    EXPECT_THROW(JointLimitTable::evenly_spaced(max_tool_speed, zero, good), std::invalid_argument);
    auto not_a_number = good;
    not_a_number[5].velocity[0] = NAN;
    EXPECT_THROW(JointLimitTable::evenly_spaced(max_tool_speed, good, not_a_number), std::invalid_argument);
    EXPECT_THROW(JointLimitTable::evenly_spaced(0.0, good, good), std::invalid_argument);
    EXPECT_THROW(JointLimitTable::evenly_spaced(max_tool_speed, {}, {}), std::invalid_argument);

    std::vector<double> speeds(steps, 1.0);
    EXPECT_THROW(JointLimitTable(speeds, good, good), std::invalid_argument);  // not increasing

    EXPECT_THROW(JointLimitTable::evenly_spaced(max_tool_speed, good, good, 1.5), std::invalid_argument);
    const auto table = JointLimitTable::evenly_spaced(max_tool_speed, good, good);
    EXPECT_THROW((void)table.with_payload(-0.1), std::invalid_argument);
    EXPECT_EQ(table.with_payload(0.25).payload(), 0.25);
    EXPECT_FALSE(table.payload());
}

TEST(JointLimitTable, AMotionPeakingInAStepKeepsTheLowestLimitsOfTheStepsUpToIt) {
    // Two joints, four steps up to 1 m/s; the limits rise and fall with speed.
    const std::vector<double> speeds{0.25, 0.5, 0.75, 1.0};
    const std::vector<SteppedJointLimits> empty{{{4, 3, 5, 2}, {40, 30, 50, 20}, {400, 300, 500, 200}},
                                                {{1, 1, 1, 1}, {10, 10, 10, 10}, {100, 100, 100, 100}}};
    const std::vector<SteppedJointLimits> full{{{2, 3, 1, 2}, {20, 30, 10, 20}, {200, 300, 100, 200}},
                                               {{3, 3, 3, 3}, {30, 30, 30, 30}, {300, 300, 300, 300}}};
    const JointLimitTable table(speeds, empty, full);

    // A step holds up to its speed; above the last speed the last step holds.
    EXPECT_EQ(table.step_for(0.0), 0u);
    EXPECT_EQ(table.step_for(0.25), 0u);
    EXPECT_EQ(table.step_for(0.2500001), 1u);
    EXPECT_EQ(table.step_for(0.9), 3u);
    EXPECT_EQ(table.step_for(7.0), 3u);
    EXPECT_EQ(table.step_for(NAN), 3u);  // unknown speed: every step may hold

    // Unknown payload: the lower column, the lowest step on the way.
    auto limits = table.limits_up_to(1);
    EXPECT_EQ(limits[0].velocity, 2.0);
    EXPECT_EQ(limits[0].acceleration, 20.0);
    EXPECT_EQ(limits[1].jerk, 100.0);
    limits = table.limits_up_to(3);
    EXPECT_EQ(limits[0].velocity, 1.0);
    EXPECT_EQ(limits[0].jerk, 100.0);

    // A known payload takes its share between the columns, step by step.
    limits = table.with_payload(0.0).limits_up_to(3);
    EXPECT_EQ(limits[0].velocity, 2.0);
    EXPECT_EQ(limits[1].acceleration, 10.0);
    limits = table.with_payload(0.5).limits_up_to(0);
    EXPECT_EQ(limits[0].velocity, 3.0);
    EXPECT_EQ(limits[1].jerk, 200.0);
    limits = table.with_payload(1.0).limits_up_to(2);
    EXPECT_EQ(limits[0].velocity, 1.0);
    EXPECT_EQ(limits[1].velocity, 3.0);

    // A controller's 20 entries: entry i at (i + 1) * 5 % of the top speed.
    const auto twenty = JointLimitTable::evenly_spaced(
        2.0, {SteppedJointLimits{std::vector<double>(20, 1.0), std::vector<double>(20, 1.0),
                                 std::vector<double>(20, 1.0)}},
        {SteppedJointLimits{std::vector<double>(20, 1.0), std::vector<double>(20, 1.0),
                            std::vector<double>(20, 1.0)}});
    ASSERT_EQ(twenty.steps(), 20u);
    EXPECT_DOUBLE_EQ(twenty.speeds().front(), 0.1);
    EXPECT_DOUBLE_EQ(twenty.speeds()[9], 1.0);
    EXPECT_DOUBLE_EQ(twenty.speeds().back(), 2.0);
}

class PlanningWithinATable : public ::testing::TestWithParam<double> {};

TEST_P(PlanningWithinATable, LowerTablesGiveSlowerPlansThatKeepThem) {
    const double dt = GetParam();
    std::mt19937 random(7);
    for (const auto& make : {orvane::robots::fanuc_lrmate200id, orvane::robots::fanuc_crx10ial}) {
        const auto arm = make();
        SCOPED_TRACE(arm->name);
        const auto limits = arm->get_joint_limits();
        // Below the model everywhere, falling with the tool's speed; the full
        // payload lowers it further.
        const auto table = JointLimitTable::evenly_spaced(
            max_tool_speed, scaled(limits, [](std::size_t i) { return 0.9 - 0.5 * static_cast<double>(i) / 19.0; }),
            scaled(limits, [](std::size_t i) { return 0.7 - 0.4 * static_cast<double>(i) / 19.0; }), 0.5);
        Planner free(arm, dt), bound(arm, dt);
        bound.set_limit_table(arm, table);
        int kept_only_with_table = 0;
        for (int trial = 0; trial < 40; ++trial) {
            SCOPED_TRACE("trial " + std::to_string(trial));
            const LowLevelMotion motion(arm, Waypoint(random_positions(random, limits)),
                                        Waypoint(random_positions(random, limits)));
            const auto fast = free.plan(motion);
            const auto slow = bound.plan(motion);
            ASSERT_TRUE(fast && slow);
            EXPECT_EQ(slow->back().position, motion.goal.position);
            EXPECT_GT(slow->duration(), fast->duration());
            const auto applies = applying(table, peak_tool_speed(*arm, *slow));
            const auto broken = first_broken_limit(commanded_at_rest(*slow), dt, applies);
            ASSERT_FALSE(broken) << *broken;
            if (first_broken_limit(commanded_at_rest(*fast), dt, applying(table, peak_tool_speed(*arm, *fast)))) {
                ++kept_only_with_table;
            }
        }
        // Without the table the plans break it: the table is what keeps them within.
        EXPECT_GE(kept_only_with_table, 35);
    }
}

TEST_P(PlanningWithinATable, ATableAtOrAboveTheModelChangesNothing) {
    // What the simulator reports: every entry at least the model's limit,
    // equal at the top speed with the full payload.
    const double dt = GetParam();
    std::mt19937 random(11);
    const auto arm = orvane::robots::fanuc_lrmate200id();
    const auto limits = arm->get_joint_limits();
    const auto table = JointLimitTable::evenly_spaced(
        max_tool_speed, scaled(limits, [](std::size_t i) { return 1.5 - 0.02 * static_cast<double>(i); }),
        scaled(limits, [](std::size_t i) { return 1.0 + 0.01 * static_cast<double>(19 - i); }));
    Planner free(arm, dt), bound(arm, dt);
    bound.set_limit_table(nullptr, table);
    for (int trial = 0; trial < 30; ++trial) {
        const LowLevelMotion motion(arm, Waypoint(random_positions(random, limits)),
                                    Waypoint(random_positions(random, limits)));
        const auto a = free.plan(motion);
        const auto b = bound.plan(motion);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(a->positions(), b->positions()) << "trial " << trial;
    }
}

TEST_P(PlanningWithinATable, OnlyTheStepsAMotionPassesThroughSlowIt) {
    const double dt = GetParam();
    const auto arm = orvane::robots::fanuc_crx10ial();
    const auto limits = arm->get_joint_limits();
    // Generous up to half the top speed, a third of the model above it.
    const auto gentle_then_strict = scaled(limits, [](std::size_t i) { return i < 10 ? 1.2 : 0.33; });
    const auto table = JointLimitTable::evenly_spaced(max_tool_speed, gentle_then_strict, gentle_then_strict);
    Planner free(arm, dt), bound(arm, dt);
    bound.set_limit_table(arm, table);

    // A short wrist motion stays slow for the tool: no change.
    const std::vector<double> start{0.0, 0.3, -0.5, 0.0, 0.5, 0.0};
    auto near = start;
    near[5] += 0.3;
    const auto short_free = free.plan(LowLevelMotion(arm, Waypoint(start), Waypoint(near)));
    const auto short_bound = bound.plan(LowLevelMotion(arm, Waypoint(start), Waypoint(near)));
    ASSERT_TRUE(short_free && short_bound);
    ASSERT_LE(peak_tool_speed(*arm, *short_free), table.speeds()[9]);
    EXPECT_EQ(short_free->positions(), short_bound->positions());

    // A long sweep of the whole arm is fast for the tool: slowed, and kept
    // within the strict steps it still reaches.
    auto far = start;
    far[0] += 2.5;
    far[1] -= 0.6;
    const auto long_free = free.plan(LowLevelMotion(arm, Waypoint(start), Waypoint(far)));
    const auto long_bound = bound.plan(LowLevelMotion(arm, Waypoint(start), Waypoint(far)));
    ASSERT_TRUE(long_free && long_bound);
    ASSERT_GT(peak_tool_speed(*arm, *long_free), table.speeds()[9]);
    EXPECT_GT(long_bound->duration(), long_free->duration());
    const double peak = peak_tool_speed(*arm, *long_bound);
    const auto broken = first_broken_limit(commanded_at_rest(*long_bound), dt, applying(table, peak));
    ASSERT_FALSE(broken) << *broken;
}

TEST_P(PlanningWithinATable, StopsKeepTheTablesJerkLimit) {
    const double dt = GetParam();
    const auto arm = orvane::robots::fanuc_lrmate200id();
    const auto limits = arm->get_joint_limits();
    const auto half = scaled(limits, [](std::size_t) { return 0.5; });
    const auto table = JointLimitTable::evenly_spaced(max_tool_speed, half, half);
    Planner bound(arm, dt);
    bound.set_limit_table(arm, table);
    const auto motion = bound.plan(LowLevelMotion(arm, Waypoint(std::vector<double>(6, 0.0)),
                                                  Waypoint(std::vector<double>{1.5, 0.5, 0.5, 1.0, 1.0, 2.0})));
    ASSERT_TRUE(motion);
    const auto now = motion->at(motion->size() / 2);
    LowLevelMotion stop(arm, Waypoint(now.position, now.velocity, now.acceleration), Waypoint(6));
    stop.control_interface = LowLevelMotion::ControlInterface::Velocity;
    const auto stopping = bound.plan(stop);
    ASSERT_TRUE(stopping);
    auto positions = motion->positions();
    positions.resize(motion->size() / 2);
    positions.insert(positions.begin(), 3, positions.front());
    positions.insert(positions.end(), stopping->positions().begin(), stopping->positions().end());
    positions.insert(positions.end(), 3, positions.back());
    const auto broken = first_broken_limit(positions, dt, applying(table, INFINITY));
    ASSERT_FALSE(broken) << *broken;
}

INSTANTIATE_TEST_SUITE_P(Intervals, PlanningWithinATable, ::testing::Values(0.008, 0.024),
                         [](const auto& info) { return std::to_string(static_cast<int>(info.param * 1e3)) + "ms"; });

TEST(PlanningWithinATable, ThePayloadChoosesBetweenTheColumns) {
    const auto arm = orvane::robots::fanuc_crx10ial();
    const auto limits = arm->get_joint_limits();
    const auto table = JointLimitTable::evenly_spaced(max_tool_speed, scaled(limits, [](std::size_t) { return 0.9; }),
                                                      scaled(limits, [](std::size_t) { return 0.45; }));
    const LowLevelMotion motion(arm, Waypoint(std::vector<double>(6, 0.0)),
                                Waypoint(std::vector<double>{1.0, 0.4, -0.3, 0.8, 0.6, 1.2}));
    Planner planner(arm, 0.008);
    auto duration = [&](std::optional<double> payload) {
        planner.set_limit_table(arm, table.with_payload(payload));
        const auto planned = planner.plan(motion);
        EXPECT_TRUE(planned);
        return planned ? planned->duration() : 0.0;
    };
    const double empty = duration(0.0), half = duration(0.5), full = duration(1.0), unknown = duration(std::nullopt);
    EXPECT_LT(empty, half);
    EXPECT_LT(half, full);
    EXPECT_EQ(unknown, full);  // the lower column when the payload is not known
}

TEST(PlanningWithinATable, TablesBelongToTheirRobot) {
    const auto arm = orvane::robots::fanuc_lrmate200id();
    const auto other = orvane::robots::fanuc_crx10ial();
    auto environment = std::make_shared<orvane::Environment>(std::vector<std::shared_ptr<orvane::Robot>>{arm, other});
    Planner planner(environment, 0.024);
    const auto table = JointLimitTable::evenly_spaced(
        max_tool_speed, scaled(arm->get_joint_limits(), [](std::size_t) { return 0.5; }),
        scaled(arm->get_joint_limits(), [](std::size_t) { return 0.5; }));

    // Which robot is meant must be said when there are two.
    EXPECT_THROW(planner.set_limit_table(nullptr, table), std::invalid_argument);
    EXPECT_THROW((void)planner.get_limit_table(), std::invalid_argument);
    auto rail = std::make_shared<orvane::LinearAxis>("rail", std::array<double, 3>{1, 0, 0},
                                                     JointLimits{0.0, 2.0, 1.0, 2.0});
    EXPECT_THROW(planner.set_limit_table(rail, table), std::invalid_argument);  // 6 joints for 1

    const LowLevelMotion arm_motion(arm, Waypoint(6), Waypoint(std::vector<double>(6, 0.8)));
    const LowLevelMotion other_motion(other, Waypoint(6), Waypoint(std::vector<double>(6, 0.8)));
    const double arm_before = planner.plan(arm_motion)->duration();
    const double other_before = planner.plan(other_motion)->duration();
    planner.set_limit_table(arm, table);
    EXPECT_TRUE(planner.get_limit_table(arm));
    EXPECT_FALSE(planner.get_limit_table(other));
    EXPECT_GT(planner.plan(arm_motion)->duration(), arm_before);
    EXPECT_EQ(planner.plan(other_motion)->duration(), other_before);
    planner.set_limit_table(arm, std::nullopt);
    EXPECT_FALSE(planner.get_limit_table(arm));
    EXPECT_EQ(planner.plan(arm_motion)->duration(), arm_before);

    // A robot that is not an arm has no tool speed: every step holds.
    std::vector<SteppedJointLimits> one{{{1.0, 1.0, 0.25}, {2.0, 2.0, 0.5}, {10.0, 10.0, 2.5}}};
    Planner for_rail(rail, 0.024);
    for_rail.set_limit_table(nullptr, JointLimitTable({0.1, 0.2, 0.3}, one, one));
    const auto slid = for_rail.plan(LowLevelMotion(rail, Waypoint(std::vector<double>{0.0}),
                                                   Waypoint(std::vector<double>{0.05})));
    ASSERT_TRUE(slid);
    const auto broken = first_broken_limit(commanded_at_rest(*slid), 0.024, {{0.25, 0.5, 2.5}});
    EXPECT_FALSE(broken) << *broken;
}

TEST(PlanningWithinATable, TablesMayChangeWhilePlansAreMade) {
    const auto arm = orvane::robots::fanuc_lrmate200id();
    const auto limits = arm->get_joint_limits();
    const auto table = JointLimitTable::evenly_spaced(max_tool_speed, scaled(limits, [](std::size_t) { return 0.5; }),
                                                      scaled(limits, [](std::size_t) { return 0.5; }));
    Planner planner(arm, 0.024);
    const LowLevelMotion motion(arm, Waypoint(6), Waypoint(std::vector<double>(6, 0.5)));
    const double free = planner.plan(motion)->duration();
    planner.set_limit_table(arm, table);
    const double bound = planner.plan(motion)->duration();
    ASSERT_GT(bound, free);

    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (int i = 0; i < 200; ++i) planner.set_limit_table(arm, i % 2 ? std::optional(table) : std::nullopt);
        done = true;
    });
    int plans = 0;
    while (!done || plans < 20) {
        const auto planned = planner.plan(motion);
        ASSERT_TRUE(planned);
        // One table or none, never a mixture.
        EXPECT_TRUE(planned->duration() == free || planned->duration() == bound) << planned->duration();
        ++plans;
    }
    changer.join();
}

}  // namespace
