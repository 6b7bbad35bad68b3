// What the FANUC driver refuses before anything reaches the controller, and
// how every operation answers once the controller is gone.
#include "fanuc/fanuc_fixture.hpp"

#include <gmock/gmock.h>

#include <limits>
#include <stdexcept>

namespace fanuc_test {
namespace {

using InputCheckTest = FanucTest;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// `trajectory` with sample `index` of joint `joint` set to `value`.
orvane::Trajectory with_value(const orvane::Trajectory& trajectory, std::size_t index, std::size_t joint,
                              double value) {
    auto positions = trajectory.positions();
    positions[index][joint] = value;
    return orvane::Trajectory(trajectory.times(), positions, trajectory.velocities(), trajectory.accelerations());
}

TEST_F(InputCheckTest, TrajectoriesBeyondTheJointLimitsAreRefusedBeforeAnythingIsSent) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    sim->clear_records();

    // 2.5 rad in 48 ms: 52 rad/s on joint 2.
    const auto jump = orvane::Trajectory({0.0, 0.024, 0.048}, {start, offset_by(start, 1, 1.25), offset_by(start, 1, 2.5)},
                                         {std::vector<double>(6), std::vector<double>(6), std::vector<double>(6)},
                                         {std::vector<double>(6), std::vector<double>(6), std::vector<double>(6)});
    EXPECT_EQ(driver->run(jump), Result::Error);
    // The program can show why: joint, sample and limit.
    EXPECT_THAT(driver->get_last_error(), ::testing::HasSubstr("Joint 2 at sample 1"));
    EXPECT_THAT(driver->get_last_error(), ::testing::HasSubstr("beyond its limit"));
    // A finite but absurd value.
    const auto absurd = with_value(cosine_trajectory(start, offset_by(start, 0, 0.3), 1.0), 20, 3, 1e308);
    EXPECT_EQ(driver->run(absurd), Result::Error);
    EXPECT_TRUE(sent_motions(*sim).empty());

    // Blending into it plans from the robot's position, and is refused too.
    EXPECT_EQ(driver->blend_into(absurd, 0.1), Result::ErrorTrajectoryDidNotUpdate);
    for (const double bad : {nan, -1.0}) EXPECT_EQ(driver->blend_into(absurd, bad), Result::Error) << bad;
    EXPECT_TRUE(sent_motions(*sim).empty());

    // Handed over to a run in flight, it is refused and the run goes on.
    const auto goal = offset_by(start, 0, 0.3);
    auto run = driver->run_async(cosine_trajectory(start, goal, 1.0));
    ASSERT_TRUE(wait_for_instruction(3));
    auto refused = driver->run_async(absurd);
    ASSERT_TRUE(is_ready(refused));
    EXPECT_EQ(refused.get(), Result::Error);
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::Success);
    EXPECT_TRUE(within(driver->get_current_joint_position(), goal, 1e-4));
    for (const auto& sent : sent_motions(*sim)) EXPECT_NEAR(sent.joints_deg[3], start[3] * degrees_per_radian, 1e-3);
}

TEST_F(InputCheckTest, AMotionAtSpeedZeroIsRefusedSayingSo) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    const auto goal = offset_by(start, 0, 0.2);
    sim->clear_records();
    driver->set_speed(0.0);
    EXPECT_EQ(driver->run(cosine_trajectory(start, goal, 0.5)), Result::ErrorSpeedIsZero);
    EXPECT_EQ(driver->move_to(goal, false), Result::ErrorSpeedIsZero);
    EXPECT_EQ(driver->resume(), Result::ErrorSpeedIsZero);
    EXPECT_TRUE(sent_motions(*sim).empty());
    EXPECT_EQ(count_sent(*sim, "FRC_Abort"), 0u);

    driver->set_speed(1.0);
    EXPECT_EQ(driver->move_to(goal, false), Result::Success);
    EXPECT_TRUE(within(driver->get_current_joint_position(), goal, 1e-4));
}

TEST_F(InputCheckTest, APauseOvertakenByASpeedChangeReturnsFalseAndTheMotionGoesOn) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    const auto goal = offset_by(start, 0, 0.6);
    driver->set_pausing_duration(1000.0);  // cannot reach standstill by itself
    auto run = driver->run_async(cosine_trajectory(start, goal, 1.5));
    ASSERT_TRUE(wait_for_instruction(5));
    auto pause = driver->pause_async();
    driver->set_speed(1.0, 0.1);
    ASSERT_TRUE(is_ready(pause));
    EXPECT_FALSE(pause.get());
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::Success);
    EXPECT_TRUE(within(driver->get_current_joint_position(), goal, 1e-4));
}

TEST_F(InputCheckTest, AliasesOutsideThePortRangeAreRefusedWhenMade) {
    driver->create_io_alias("first", 1);
    driver->create_io_alias("last", 32767);
    for (const std::size_t bad : {std::size_t{0}, std::size_t{32768}, std::size_t{1} << 40, std::size_t{1} << 63}) {
        EXPECT_THROW(driver->create_io_alias("far", bad), std::invalid_argument) << bad;
        EXPECT_THROW(driver->create_io_alias("far", 3, bad), std::invalid_argument) << bad;
    }
    sim->clear_records();
    EXPECT_FALSE(driver->set_digital_output("far", 1));
    EXPECT_TRUE(data_packets(*sim).empty());
    EXPECT_TRUE(driver->set_digital_output("last", 1));
    EXPECT_EQ(sim->digital_output(32767), true);
}

TEST_F(InputCheckTest, EveryOperationOnADisconnectedDriverAnswersAlike) {
    driver->create_io_alias("door", 2);
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    const auto trajectory = cosine_trajectory(start, offset_by(start, 0, 0.1), 0.5);
    ASSERT_TRUE(driver->disconnect());
    sim->clear_records();

    // Motion operations, the asynchronous ones included.
    EXPECT_EQ(driver->run(trajectory), Result::ErrorControllerConnection);
    EXPECT_EQ(driver->run_async(trajectory).get(), Result::ErrorControllerConnection);
    EXPECT_EQ(driver->move_to(offset_by(start, 0, 0.1), false), Result::ErrorControllerConnection);
    EXPECT_EQ(driver->move_to_async(offset_by(start, 0, 0.1), false).get(), Result::ErrorControllerConnection);
    EXPECT_EQ(driver->move_along("no such motion", std::nullopt, false), Result::ErrorControllerConnection);
    EXPECT_EQ(driver->blend_into(trajectory, 0.2), Result::ErrorControllerConnection);
    EXPECT_EQ(driver->resume(), Result::ErrorControllerConnection);
    EXPECT_EQ(driver->stop(true), Result::ErrorControllerConnection);
    EXPECT_EQ(driver->enable(), Result::ErrorControllerConnection);
    EXPECT_EQ(driver->disable(), Result::ErrorControllerConnection);
    EXPECT_FALSE(driver->pause());

    // Getters have no value, setters do not succeed.
    EXPECT_TRUE(driver->get_current_joint_position().empty());
    EXPECT_TRUE(driver->get_current_state().position.empty());
    EXPECT_EQ(driver->get_controller_status(), ControllerStatus::Disconnected);
    EXPECT_FALSE(driver->get_digital_input("door").has_value());
    EXPECT_FALSE(driver->set_digital_output("door", 1));
    EXPECT_FALSE(driver->set_speed_override(50));
    EXPECT_FALSE(driver->set_payload(1.0));

    EXPECT_TRUE(data_packets(*sim).empty());
    ASSERT_TRUE(driver->reconnect());
    ASSERT_EQ(driver->enable(), Result::Success);
    EXPECT_EQ(driver->run(trajectory), Result::Success);
}

}  // namespace
}  // namespace fanuc_test
