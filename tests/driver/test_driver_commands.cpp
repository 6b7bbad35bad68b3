// Driver::calculate_trajectory for each kind of command.
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "driver/loop_driver.hpp"

namespace {

using orvane::drivers::BlendIntoCommand;
using orvane::drivers::MotionCommand;
using orvane::drivers::PointCommand;
using orvane::drivers::StopCommand;
using orvane::drivers::TrajectoryCommand;
using orvane::drivers::testing::line_trajectory;
using orvane::drivers::testing::LogCapture;
using orvane::drivers::testing::LoopDriver;

constexpr char start_deviation_line[] =
    "[orvane.driver] New trajectory does not start from current robot position.";

RobotState at_rest(const std::vector<double>& position) {
    RobotState state;
    state.position = position;
    state.velocity.assign(position.size(), 0.0);
    state.acceleration.assign(position.size(), 0.0);
    return state;
}

void expect_positions_near(const std::vector<double>& actual, const std::vector<double>& expected, double tolerance) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t j = 0; j < actual.size(); ++j) EXPECT_NEAR(actual[j], expected[j], tolerance) << "joint " << j;
}

class CalculateTrajectory : public ::testing::Test {
protected:
    std::shared_ptr<orvane::RobotArm> arm = orvane::robots::fanuc_lrmate200id();
    std::shared_ptr<orvane::Planner> planner = std::make_shared<orvane::Planner>(arm, 0.01);
    LoopDriver driver{planner, arm};
    const std::vector<double> zero = std::vector<double>(6, 0.0);
    // A marker that must survive every failed calculation.
    const orvane::Trajectory untouched = line_trajectory(std::vector<double>(6, 0.3), std::vector<double>(6, 0.4), 0.05);

    // The time and position of every sample, for comparing two trajectories.
    static void expect_same_samples(const orvane::Trajectory& a, const orvane::Trajectory& b) {
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t i = 0; i < a.size(); ++i) {
            EXPECT_NEAR(a.times()[i], b.times()[i], 1e-12);
            EXPECT_EQ(a.positions()[i], b.positions()[i]);
        }
    }
};

TEST_F(CalculateTrajectory, TrajectoryCommandStartTolerance) {
    auto accepted = line_trajectory({0.1, 0, 0, 0, 0, 0}, {0.5, 0, 0, 0, 0, 0}, 0.5);
    orvane::Trajectory result = untouched;
    ASSERT_TRUE(driver.calculate_trajectory(TrajectoryCommand{accepted}, result, at_rest(zero)));
    expect_same_samples(result, accepted);

    LogCapture log;
    auto rejected = line_trajectory({0, 0, 0, 0, -0.1000001, 0}, {0.5, 0, 0, 0, 0, 0}, 0.5);
    result = untouched;
    EXPECT_FALSE(driver.calculate_trajectory(TrajectoryCommand{rejected}, result, at_rest(zero)));
    expect_same_samples(result, untouched);

    // Fewer joints than the robot has never start where the robot is.
    auto narrower = line_trajectory(std::vector<double>(5, 0.0), std::vector<double>(5, 0.1), 0.5);
    EXPECT_FALSE(driver.calculate_trajectory(TrajectoryCommand{narrower}, result, at_rest(zero)));
    expect_same_samples(result, untouched);

    const std::string text = log.text();
    std::size_t lines = 0;
    for (auto at = text.find(start_deviation_line); at != std::string::npos;
         at = text.find(start_deviation_line, at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 2u) << text;
}

TEST_F(CalculateTrajectory, TrajectoryCommandForAPartOfACompositeRobot) {
    auto rail = std::make_shared<orvane::LinearAxis>("rail", std::array<double, 3>{1.0, 0.0, 0.0},
                                                     orvane::JointLimits{-2.0, 2.0, 1.0, 2.0});
    auto part = orvane::robots::fanuc_lrmate200id();
    auto cell = std::make_shared<orvane::CompositeRobot>("cell", std::vector<std::shared_ptr<orvane::Robot>>{rail, part});
    LoopDriver on_rail(std::make_shared<orvane::Planner>(cell, 0.01), part);

    // The rail stands far from 0; only the arm's six joints are compared.
    const std::vector<double> arm_start{0.05, 0, 0, 0, 0, 0};
    auto whole = line_trajectory({1.5, 0.05, 0, 0, 0, 0, 0}, {1.5, 0.5, 0, 0, 0, 0, 0}, 0.3);
    orvane::Trajectory result;
    ASSERT_TRUE(on_rail.calculate_trajectory(TrajectoryCommand{whole}, result, at_rest(arm_start)));
    EXPECT_EQ(result.degrees_of_freedom(), 7u);  // run as given, for the whole cell

    auto off = line_trajectory({0.0, 0.3, 0, 0, 0, 0, 0}, {0.0, 0.5, 0, 0, 0, 0, 0}, 0.3);
    LogCapture log;
    EXPECT_FALSE(on_rail.calculate_trajectory(TrajectoryCommand{off}, result, at_rest(arm_start)));
    EXPECT_NE(log.text().find(start_deviation_line), std::string::npos);
}

TEST_F(CalculateTrajectory, BlendTargetIsTheFirstSampleAfterTheDuration) {
    auto target = line_trajectory({0.2, 0.1, 0, 0, 0, 0}, {0.6, 0.3, 0, 0, 0, 0}, 0.5, 0.01);
    ASSERT_DOUBLE_EQ(target.times().front(), 0.0);
    const RobotState start = at_rest(zero);

    // The expected junction: planning from `start` to sample n, then the rest.
    const auto expected_for = [&](std::size_t n) {
        const orvane::State sample = target.at(n);
        auto planned = planner->plan(orvane::LowLevelMotion(
            arm, orvane::Waypoint(start.position, start.velocity, start.acceleration),
            orvane::Waypoint(sample.position, sample.velocity, sample.acceleration)));
        EXPECT_TRUE(planned.has_value());
        orvane::Trajectory joined = *planned;
        joined.append(target.slice(n, target.size()));
        return joined;
    };

    orvane::Trajectory result;
    // Duration 0 on a trajectory starting at 0: sample 1, the first strictly after.
    ASSERT_TRUE(driver.calculate_trajectory(BlendIntoCommand{target, 0.0}, result, start));
    expect_same_samples(result, expected_for(1));

    // Exactly on a sample time: the one after it.
    ASSERT_TRUE(driver.calculate_trajectory(BlendIntoCommand{target, target.times()[20]}, result, start));
    expect_same_samples(result, expected_for(21));

    // Beyond the end: the last sample, so the result ends there.
    ASSERT_TRUE(driver.calculate_trajectory(BlendIntoCommand{target, 99.0}, result, start));
    const auto to_last = expected_for(target.size() - 1);
    expect_same_samples(result, to_last);
    EXPECT_EQ(result.positions().back(), target.positions().back());

    // Nothing to blend into.
    result = untouched;
    EXPECT_FALSE(driver.calculate_trajectory(BlendIntoCommand{orvane::Trajectory(6), 0.0}, result, start));
    expect_same_samples(result, untouched);
}

TEST_F(CalculateTrajectory, BlendPlanningFailureLeavesTheTrajectory) {
    // A target outside joint 1's range cannot be reached.
    auto target = line_trajectory({4.0, 0, 0, 0, 0, 0}, {4.1, 0, 0, 0, 0, 0}, 0.2);
    orvane::Trajectory result = untouched;
    EXPECT_FALSE(driver.calculate_trajectory(BlendIntoCommand{target, 0.05}, result, at_rest(zero)));
    expect_same_samples(result, untouched);
}

TEST_F(CalculateTrajectory, PointCommand) {
    const std::vector<double> goal{0.3, -0.2, 0.1, 0.0, 0.4, -0.5};
    const std::vector<double> from{0.1, 0.0, 0.0, 0.0, 0.0, 0.0};
    orvane::Trajectory result;
    ASSERT_TRUE(driver.calculate_trajectory(PointCommand{orvane::Goal{goal}, false}, result, at_rest(from)));
    expect_positions_near(result.front().position, from, 1e-9);
    expect_positions_near(result.back().position, goal, 1e-9);
    EXPECT_GT(result.duration(), 0.0);

    // A Waypoint goal works as well.
    ASSERT_TRUE(driver.calculate_trajectory(PointCommand{orvane::Goal{orvane::Waypoint(goal)}, true}, result,
                                            at_rest(from)));
    expect_positions_near(result.back().position, goal, 1e-9);

    // Outside the joint range: the planner's message is logged.
    const orvane::Goal unreachable{std::vector<double>{5.0, 0, 0, 0, 0, 0}};
    auto planned = planner->plan(orvane::Motion("", arm, orvane::Goal{orvane::Waypoint(zero)}, unreachable));
    ASSERT_FALSE(planned.has_value());
    LogCapture log;
    result = untouched;
    EXPECT_FALSE(driver.calculate_trajectory(PointCommand{unreachable, false}, result, at_rest(zero)));
    expect_same_samples(result, untouched);
    EXPECT_NE(log.text().find("[orvane.driver] " + planned.error().message), std::string::npos) << log.text();
}

TEST_F(CalculateTrajectory, PointCommandWithAValuelessGoal) {
    PointCommand command{orvane::Goal{zero}, false};
    try {
        // A failed emplace leaves the variant without a value.
        command.goal.emplace<orvane::Waypoint>(std::numeric_limits<std::size_t>::max());
    } catch (const std::length_error&) {
    }
    ASSERT_TRUE(command.goal.valueless_by_exception());
    orvane::Trajectory result = untouched;
    EXPECT_THROW(driver.calculate_trajectory(command, result, at_rest(zero)), std::bad_variant_access);
    expect_same_samples(result, untouched);
}

TEST_F(CalculateTrajectory, MotionCommandByName) {
    const std::vector<double> home{0.0, 0.2, -0.2, 0.0, 0.3, 0.0};
    planner->add_motion(orvane::Motion("home", arm, std::nullopt, orvane::Goal{home}));
    const std::vector<double> from{0.1, 0.0, 0.0, 0.0, 0.0, 0.0};

    orvane::Trajectory result;
    ASSERT_TRUE(driver.calculate_trajectory(MotionCommand{"home", std::nullopt, false}, result, at_rest(from)));
    expect_positions_near(result.front().position, from, 1e-9);
    expect_positions_near(result.back().position, home, 1e-9);

    // Another goal replaces the motion's own.
    const std::vector<double> elsewhere{-0.3, 0.0, 0.0, 0.0, 0.0, 0.2};
    ASSERT_TRUE(driver.calculate_trajectory(MotionCommand{"home", orvane::Goal{elsewhere}, false}, result,
                                            at_rest(from)));
    expect_positions_near(result.back().position, elsewhere, 1e-9);

    auto unknown = planner->plan(std::string("nowhere"));
    ASSERT_FALSE(unknown.has_value());
    LogCapture log;
    result = untouched;
    EXPECT_FALSE(driver.calculate_trajectory(MotionCommand{"nowhere", std::nullopt, false}, result, at_rest(from)));
    expect_same_samples(result, untouched);
    EXPECT_NE(log.text().find("[orvane.driver] " + unknown.error().message), std::string::npos) << log.text();
}

TEST_F(CalculateTrajectory, StopCommandBringsTheRobotToRest) {
    RobotState moving = at_rest({0.0, 0.0, 0.0, 0.0, 0.0, 0.0});
    moving.velocity = {0.5, -0.3, 0.2, 0.0, 0.0, 0.1};
    orvane::Trajectory result;
    ASSERT_TRUE(driver.calculate_trajectory(StopCommand{}, result, moving));
    ASSERT_FALSE(result.empty());
    expect_positions_near(result.front().velocity, moving.velocity, 1e-9);
    expect_positions_near(result.back().velocity, zero, 1e-9);
    EXPECT_GT(result.duration(), 0.0);
}

TEST_F(CalculateTrajectory, WithoutAPlannerOnlyATrajectoryRuns) {
    driver.planner.reset();
    orvane::Trajectory result = untouched;
    EXPECT_FALSE(driver.calculate_trajectory(PointCommand{orvane::Goal{zero}, false}, result, at_rest(zero)));
    EXPECT_FALSE(driver.calculate_trajectory(MotionCommand{"home", std::nullopt, false}, result, at_rest(zero)));
    EXPECT_FALSE(driver.calculate_trajectory(StopCommand{}, result, at_rest(zero)));
    auto target = line_trajectory(zero, std::vector<double>(6, 0.1), 0.2);
    EXPECT_FALSE(driver.calculate_trajectory(BlendIntoCommand{target, 0.0}, result, at_rest(zero)));
    expect_same_samples(result, untouched);
    ASSERT_TRUE(driver.calculate_trajectory(TrajectoryCommand{target}, result, at_rest(zero)));
    expect_same_samples(result, target);
}

}  // namespace
