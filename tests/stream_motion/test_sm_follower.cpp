// The loop's choice of command per period when the driver's samples come
// late: bridged, the late sample never commanded, the gap eased away within
// a bounded jerk, back exactly on the plan.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <string>
#include <vector>

#include "orvane/drivers/fanuc/stream_motion_follower.hpp"

namespace {

using orvane::drivers::stream_motion::Joints;
using orvane::drivers::stream_motion::PlanFollower;
using orvane::drivers::stream_motion::PlanSample;
using Outcome = PlanFollower::Outcome;

// A plan that moves axis 0 with a third difference of one unit per period,
// switching sign (+1, -1, -1, +1 over quarters: it starts and ends at rest),
// the worst a bridge along the last acceleration meets; axis 1 at constant
// velocity, which a bridge continues exactly.
std::vector<Joints> jerk_plan(std::size_t quarter) {
    std::vector<Joints> plan(4 * quarter + 1);
    double a = 0.0, v = 0.0;
    for (std::size_t k = 1; k < plan.size(); ++k) {
        const bool rising = k <= quarter || k > 3 * quarter;
        a += rising ? 1.0 : -1.0;
        v += a;
        plan[k][0] = plan[k - 1][0] + v;
        plan[k][1] = plan[k - 1][1] - 0.5;
    }
    return plan;
}

struct Run {
    std::vector<Joints> commands;
    std::vector<Outcome> outcomes;
};

// Plays `plan` (sample i is plan[i + 1]), then rests for `resting` periods.
// The driver keeps one sample ahead, except that it stalls for `stall`
// periods from period `stall_at`; afterwards it hands over every sample it
// owes, the late ones first.
Run play(const std::vector<Joints>& plan, std::size_t resting, std::size_t stall_at, std::size_t stall) {
    PlanFollower follower(2);
    follower.restart(plan[0]);
    std::deque<PlanSample> ring;
    const std::size_t samples = plan.size() - 1;
    std::size_t next = 0;
    Run run;
    for (std::size_t period = 0; period < samples + resting; ++period) {
        const bool stalled = period >= stall_at && period < stall_at + stall;
        while (!stalled && next < samples && next < follower.wanted() + 1) {
            ring.push_back(PlanSample{plan[next + 1], next + 1 < samples, next});
            ++next;
        }
        run.outcomes.push_back(follower.step([&](PlanSample& sample) {
            if (ring.empty()) return false;
            sample = ring.front();
            ring.pop_front();
            return true;
        }));
        run.commands.push_back(follower.command());
    }
    return run;
}

double largest_third_difference(const std::vector<Joints>& q, std::size_t axis) {
    double largest = 0.0;
    for (std::size_t k = 3; k < q.size(); ++k) {
        largest = std::max(largest, std::abs(q[k][axis] - 3.0 * q[k - 1][axis] + 3.0 * q[k - 2][axis] - q[k - 3][axis]));
    }
    return largest;
}

TEST(PlanFollower, OnTimeSamplesAreCommandedAsPlanned) {
    const auto plan = jerk_plan(10);
    const auto run = play(plan, 5, 1000, 0);
    for (std::size_t k = 0; k + 1 < plan.size(); ++k) {
        ASSERT_EQ(run.outcomes[k], Outcome::planned) << k;
        EXPECT_EQ(run.commands[k], plan[k + 1]) << k;
    }
    EXPECT_EQ(run.outcomes.back(), Outcome::resting);
    EXPECT_EQ(run.commands.back(), plan.back());
}

TEST(PlanFollower, ALateSampleIsBridgedNeverCommandedAndItsGapEasedWithinABoundedJerk) {
    // One and two periods late, at a switch of the plan's jerk and within a
    // stretch of constant jerk: the jerk added stays a fraction of the plan's
    // (one unit here), where jumping back onto the plan would add three.
    const auto plan = jerk_plan(40);
    for (const std::size_t stall_at : {15U, 40U, 79U}) {
        for (const std::size_t stall : {1U, 2U}) {
            const auto run = play(plan, 40, stall_at, stall);
            const std::string where = "stall of " + std::to_string(stall) + " at " + std::to_string(stall_at);
            EXPECT_EQ(std::count(run.outcomes.begin(), run.outcomes.end(), Outcome::bridged), static_cast<long>(stall))
                << where;
            EXPECT_LT(largest_third_difference(run.commands, 0), 1.6) << where;
            // A late sample's moment is not played again: axis 1's steps stay the plan's.
            for (std::size_t k = 1; k < run.commands.size() - 40; ++k) {
                EXPECT_NEAR(run.commands[k][1] - run.commands[k - 1][1], -0.5, 1e-9) << where << ", period " << k;
            }
            // Back on the plan, exactly, within the easing.
            const auto back = stall_at + stall + PlanFollower::easing_after_two;
            for (std::size_t k = back; k + 1 < plan.size(); ++k) {
                ASSERT_EQ(run.commands[k], plan[k + 1]) << where << ", period " << k;
            }
            EXPECT_EQ(run.commands.back(), plan.back()) << where;
        }
    }
}

TEST(PlanFollower, TheLastSampleOfAMotionComingLateIsEasedOntoTheEnd) {
    const auto plan = jerk_plan(10);
    const auto run = play(plan, 40, plan.size() - 2, 1);
    EXPECT_EQ(std::count(run.outcomes.begin(), run.outcomes.end(), Outcome::bridged), 1);
    EXPECT_EQ(run.commands.back(), plan.back());
    EXPECT_LT(largest_third_difference(run.commands, 0), 1.6);
}

TEST(PlanFollower, SamplesLateForLongerThanABridgeGiveTheMotionUpAndHold) {
    const auto plan = jerk_plan(20);
    const auto run = play(plan, 10, 30, PlanFollower::max_bridged_periods + 1);
    const auto too_late = std::find(run.outcomes.begin(), run.outcomes.end(), Outcome::too_late);
    ASSERT_NE(too_late, run.outcomes.end());
    const auto at = static_cast<std::size_t>(too_late - run.outcomes.begin());
    EXPECT_EQ(at, 30U + PlanFollower::max_bridged_periods);
    // Held from then on: the samples that follow move it no more.
    for (std::size_t k = at; k < run.commands.size(); ++k) EXPECT_EQ(run.commands[k], run.commands[at]) << k;
}

}  // namespace
