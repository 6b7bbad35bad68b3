// Every planned trajectory keeps the joints' velocity, acceleration and jerk
// limits as a controller checks them: by finite differences of consecutive
// commanded positions, at the sampling interval, with the arm at rest before
// and after. Both arm models, joint and Cartesian goals, moving waypoints,
// the blends and stops the driver plans, and any sampling interval.
#include <orvane/motion/planner.hpp>
#include <orvane/motion/robots.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "motion/finite_differences.hpp"

namespace {

using orvane::CartesianWaypoint;
using orvane::JointLimits;
using orvane::LowLevelMotion;
using orvane::Motion;
using orvane::Planner;
using orvane::Trajectory;
using orvane::Waypoint;
using orvane::testing::commanded_at_rest;
using orvane::testing::derivative_limits;
using orvane::testing::first_broken_limit;

struct Arm {
    std::string name;
    std::function<std::shared_ptr<orvane::RobotArm>()> make;
};

const std::vector<Arm>& arms() {
    static const std::vector<Arm> list{{"lrmate200id", orvane::robots::fanuc_lrmate200id},
                                       {"crx10ial", orvane::robots::fanuc_crx10ial}};
    return list;
}

class Random {
public:
    explicit Random(unsigned seed) : engine_(seed) {}
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(engine_); }
    std::size_t index(std::size_t count) { return std::uniform_int_distribution<std::size_t>(0, count - 1)(engine_); }

    // Joint positions within `share` of each joint's range around its middle.
    std::vector<double> positions(const std::vector<JointLimits>& limits, double share = 0.9) {
        std::vector<double> q(limits.size());
        for (std::size_t j = 0; j < q.size(); ++j) {
            const double middle = 0.5 * (limits[j].lower + limits[j].upper);
            const double half = 0.5 * share * (limits[j].upper - limits[j].lower);
            q[j] = uniform(middle - half, middle + half);
        }
        return q;
    }

private:
    std::mt19937 engine_;
};

void expect_at_rest(const orvane::State& state, const std::string& where) {
    for (std::size_t j = 0; j < state.velocity.size(); ++j) {
        EXPECT_EQ(state.velocity[j], 0.0) << where << ", joint " << j + 1;
        EXPECT_EQ(state.acceleration[j], 0.0) << where << ", joint " << j + 1;
    }
}

// The samples [0, count) of `trajectory` followed by all of `next`, as the
// controller is commanded when `next` takes over at sample count - 1.
std::vector<std::vector<double>> joined(const Trajectory& trajectory, std::size_t count, const Trajectory& next) {
    // The junction state is next's first sample.
    std::vector<std::vector<double>> positions(3, trajectory.positions().front());
    positions.insert(positions.end(), trajectory.positions().begin(),
                     trajectory.positions().begin() + static_cast<std::ptrdiff_t>(count - 1));
    positions.insert(positions.end(), next.positions().begin(), next.positions().end());
    return positions;
}

class JerkLimitedPlans : public ::testing::TestWithParam<double> {
protected:
    double delta_time() const { return GetParam(); }
};

TEST_P(JerkLimitedPlans, JointGoalsAreReachedFromRestToRestWithinEveryLimit) {
    Random random(17);
    for (const auto& preset : arms()) {
        SCOPED_TRACE(preset.name);
        const auto arm = preset.make();
        const auto limits = arm->get_joint_limits();
        const Planner planner(arm, delta_time());
        for (int trial = 0; trial < 120; ++trial) {
            SCOPED_TRACE("trial " + std::to_string(trial));
            const auto start = random.positions(limits);
            const auto goal = random.positions(limits);
            const auto planned = planner.plan(LowLevelMotion(arm, Waypoint(start), Waypoint(goal)));
            ASSERT_TRUE(planned) << planned.error().message;
            EXPECT_EQ(planned->front().position, start);
            EXPECT_EQ(planned->back().position, goal);
            expect_at_rest(planned->front(), "start");
            expect_at_rest(planned->back(), "end");
            const auto broken = first_broken_limit(commanded_at_rest(*planned), delta_time(), derivative_limits(limits));
            ASSERT_FALSE(broken) << *broken;
        }
    }
}

TEST_P(JerkLimitedPlans, CartesianGoalsAreReachedWithinEveryLimit) {
    Random random(23);
    for (const auto& preset : arms()) {
        SCOPED_TRACE(preset.name);
        const auto arm = preset.make();
        const auto limits = arm->get_joint_limits();
        const Planner planner(arm, delta_time());
        int reached_poses = 0;
        for (int trial = 0; trial < 40; ++trial) {
            SCOPED_TRACE("trial " + std::to_string(trial));
            const auto start = random.positions(limits, 0.6);
            // A pose the arm reaches near its start, so that the solver finds it from there.
            auto target = start;
            for (std::size_t j = 0; j < target.size(); ++j) {
                target[j] = std::clamp(target[j] + random.uniform(-0.3, 0.3), limits[j].lower, limits[j].upper);
            }
            const auto pose = arm->calculate_tcp(target);
            const auto planned = planner.plan(Motion("", arm, start, CartesianWaypoint(pose)));
            if (!planned) {
                // The numerical solver may miss a pose from a start; that is not this test's concern.
                EXPECT_NE(planned.error().message.find("unreachable"), std::string::npos) << planned.error().message;
                continue;
            }
            ++reached_poses;
            const auto reached = arm->calculate_tcp(planned->back().position);
            EXPECT_LE(reached.translational_distance(pose), 1e-9);
            EXPECT_LE(reached.angular_distance(pose), 1e-9);
            expect_at_rest(planned->back(), "end");
            const auto broken = first_broken_limit(commanded_at_rest(*planned), delta_time(), derivative_limits(limits));
            ASSERT_FALSE(broken) << *broken;
        }
        EXPECT_GE(reached_poses, 30);
    }
}

TEST_P(JerkLimitedPlans, MovingWaypointsAreMetAndPassedThroughWithinEveryLimit) {
    Random random(29);
    for (const auto& preset : arms()) {
        SCOPED_TRACE(preset.name);
        const auto arm = preset.make();
        const auto limits = arm->get_joint_limits();
        const Planner planner(arm, delta_time());
        int planned_both = 0;
        for (int trial = 0; trial < 60; ++trial) {
            SCOPED_TRACE("trial " + std::to_string(trial));
            Waypoint via(random.positions(limits, 0.5));
            for (std::size_t j = 0; j < limits.size(); ++j) {
                via.velocity[j] = random.uniform(-0.3, 0.3) * limits[j].max_velocity;
                via.acceleration[j] = random.uniform(-0.3, 0.3) * limits[j].max_acceleration;
            }
            const auto to = planner.plan(LowLevelMotion(arm, Waypoint(random.positions(limits, 0.5)), via));
            const auto from = planner.plan(LowLevelMotion(arm, via, Waypoint(random.positions(limits, 0.5))));
            if (!to || !from) {
                // Only a waypoint the joint cannot brake from within its range.
                const auto& error = !to ? to.error() : from.error();
                EXPECT_NE(error.message.find("position range"), std::string::npos) << error.message;
                continue;
            }
            ++planned_both;
            for (std::size_t j = 0; j < limits.size(); ++j) {
                EXPECT_NEAR(to->back().velocity[j], via.velocity[j], 1e-12);
                EXPECT_NEAR(to->back().acceleration[j], via.acceleration[j], 1e-12);
            }
            Trajectory path = *to;
            path.append(*from);
            const auto broken = first_broken_limit(commanded_at_rest(path), delta_time(), derivative_limits(limits));
            ASSERT_FALSE(broken) << *broken;
        }
        EXPECT_GE(planned_both, 50);
    }
}

TEST_P(JerkLimitedPlans, BlendsIntoAnotherTrajectoryKeepEveryLimit) {
    // As the driver blends: from the state commanded on the present trajectory
    // into a sample of the next one, then along the rest of it.
    Random random(31);
    for (const auto& preset : arms()) {
        SCOPED_TRACE(preset.name);
        const auto arm = preset.make();
        const auto limits = arm->get_joint_limits();
        const Planner planner(arm, delta_time());
        int blended = 0;
        for (int trial = 0; trial < 40; ++trial) {
            SCOPED_TRACE("trial " + std::to_string(trial));
            const auto present = planner.plan(
                LowLevelMotion(arm, Waypoint(random.positions(limits, 0.6)), Waypoint(random.positions(limits, 0.6))));
            const auto next = planner.plan(
                LowLevelMotion(arm, Waypoint(random.positions(limits, 0.6)), Waypoint(random.positions(limits, 0.6))));
            ASSERT_TRUE(present && next);
            const std::size_t at = 1 + random.index(present->size() - 1);
            const std::size_t into = random.index(next->size());
            const auto now = present->at(at);
            const auto target = next->at(into);
            const auto blend = planner.plan(LowLevelMotion(arm, Waypoint(now.position, now.velocity, now.acceleration),
                                                           Waypoint(target.position, target.velocity,
                                                                    target.acceleration)));
            if (!blend) {
                EXPECT_NE(blend.error().message.find("position range"), std::string::npos) << blend.error().message;
                continue;
            }
            ++blended;
            Trajectory rest = *blend;
            rest.append(next->slice(into, next->size()));
            auto positions = joined(*present, at + 1, rest);
            positions.insert(positions.end(), 3, positions.back());
            const auto broken = first_broken_limit(positions, delta_time(), derivative_limits(limits));
            ASSERT_FALSE(broken) << *broken;
        }
        EXPECT_GE(blended, 30);
    }
}

TEST_P(JerkLimitedPlans, StopsFromAnyMomentKeepEveryLimitAndComeToRest) {
    Random random(37);
    for (const auto& preset : arms()) {
        SCOPED_TRACE(preset.name);
        const auto arm = preset.make();
        const auto limits = arm->get_joint_limits();
        const Planner planner(arm, delta_time());
        for (int trial = 0; trial < 40; ++trial) {
            SCOPED_TRACE("trial " + std::to_string(trial));
            const auto motion = planner.plan(LowLevelMotion(arm, Waypoint(random.positions(limits)),
                                                            Waypoint(random.positions(limits))));
            ASSERT_TRUE(motion);
            const std::size_t at = random.index(motion->size());
            const auto now = motion->at(at);
            LowLevelMotion stop(arm, Waypoint(now.position, now.velocity, now.acceleration), Waypoint(6));
            stop.control_interface = LowLevelMotion::ControlInterface::Velocity;
            const auto stopping = planner.plan(stop);
            ASSERT_TRUE(stopping) << stopping.error().message;
            expect_at_rest(stopping->back(), "end of the stop");
            auto positions = joined(*motion, at + 1, *stopping);
            positions.insert(positions.end(), 3, positions.back());
            const auto broken = first_broken_limit(positions, delta_time(), derivative_limits(limits));
            ASSERT_FALSE(broken) << *broken;
        }
    }
}

// 8 ms: the controller's own period under streaming; 24 ms: one RMI
// instruction; the others: any interval at all.
INSTANTIATE_TEST_SUITE_P(Intervals, JerkLimitedPlans, ::testing::Values(0.008, 0.024, 0.001, 0.004, 0.0125, 0.05),
                         [](const auto& info) { return std::to_string(std::lround(info.param * 1e6)) + "us"; });

}  // namespace
