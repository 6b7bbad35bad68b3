// What the driver core refuses from its user: trajectories beyond the joint
// limits, unusable speeds and durations, I/O addresses no port has, and how a
// pause ends when another speed change overtakes it.
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/loop_driver.hpp"

namespace {

using orvane::drivers::BlendIntoCommand;
using orvane::drivers::Result;
using orvane::drivers::Trigger;
using orvane::drivers::testing::line_trajectory;
using orvane::drivers::testing::LogCapture;
using orvane::drivers::testing::LoopDriver;
using orvane::drivers::testing::sampled_trajectory;
using namespace std::chrono_literals;

constexpr auto deadline = 60s;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// A driver whose controller has ports 1 to 32767 only.
class PortedDriver : public LoopDriver {
public:
    using LoopDriver::LoopDriver;
    void limit_ports() { io_address_range = {1, 32767}; }
};

class DriverInputChecks : public ::testing::Test {
protected:
    std::shared_ptr<orvane::RobotArm> arm = orvane::robots::fanuc_lrmate200id();
    std::shared_ptr<orvane::Planner> planner = std::make_shared<orvane::Planner>(arm, 0.01);
    PortedDriver driver{planner, arm};
    const std::vector<double> zero = std::vector<double>(6, 0.0);
};

TEST_F(DriverInputChecks, ATrajectoryBeyondTheJointLimitsIsRefusedNamingJointSampleAndLimit) {
    // 2.5 rad in 48 ms on joint 2: 52 rad/s against a limit of 6.6 rad/s,
    // with velocities that claim the robot stands still.
    const orvane::Trajectory jump({0.0, 0.024, 0.048}, {zero, {0, 1.25, 0, 0, 0, 0}, {0, 2.5, 0, 0, 0, 0}},
                                  {zero, zero, zero}, {zero, zero, zero});
    const auto too_fast = driver.find_limit_violation(jump);
    ASSERT_TRUE(too_fast.has_value());
    EXPECT_NE(too_fast->find("Joint 2 at sample 1 is reached from sample 0 at 52.0833 rad/s"), std::string::npos)
        << *too_fast;
    EXPECT_NE(too_fast->find("6.63225 rad/s"), std::string::npos) << *too_fast;

    // A finite but absurd position.
    const auto absurd = driver.find_limit_violation(
        orvane::Trajectory({0.0, 0.01}, {zero, {0, 0, 0, 1e308, 0, 0}}, {zero, zero}, {zero, zero}));
    ASSERT_TRUE(absurd.has_value());
    EXPECT_NE(absurd->find("Joint 4 at sample 1 is at 1e+308 rad"), std::string::npos) << *absurd;

    // Declared velocities count too, and so does the range of a slow move.
    const orvane::Trajectory claims({0.0, 1.0}, {zero, zero}, {zero, {0, 0, 0, 0, 0, -20.0}}, {zero, zero});
    EXPECT_NE(driver.find_limit_violation(claims).value_or("").find("Joint 6 at sample 1 has the velocity -20"),
              std::string::npos);
    EXPECT_TRUE(driver.find_limit_violation(line_trajectory(zero, {0, 0, 4.0, 0, 0, 0}, 2.0)).has_value());
    EXPECT_TRUE(driver.find_limit_violation(line_trajectory(zero, {0, 0, 3.5, 0, 0, 0}, 2.0)) == std::nullopt);

    // The planner's own motions lie within, along the limits.
    auto planned = planner->plan(orvane::Motion("", arm, orvane::Goal(zero), orvane::Goal(std::vector<double>{
                                                                                 3.0, 2.4, 3.5, 3.2, 2.1, 6.2}),
                                                 false),
                                 std::nullopt, std::nullopt);
    ASSERT_TRUE(planned.has_value());
    EXPECT_EQ(driver.find_limit_violation(*planned), std::nullopt) << *driver.find_limit_violation(*planned);

    // Run, nothing of it is commanded, and the log says why.
    LogCapture log;
    EXPECT_EQ(driver.run(jump), Result::ErrorTrajectoryDidNotUpdate);
    EXPECT_TRUE(driver.steps().empty());
    EXPECT_NE(log.text().find("Refused the trajectory: Joint 2 at sample 1"), std::string::npos) << log.text();
}

TEST_F(DriverInputChecks, SpeedsOutsideZeroToOneAreClampedAndRemembered) {
    driver.set_speed(-1.0);
    EXPECT_DOUBLE_EQ(driver.get_speed(), 0.0);
    EXPECT_DOUBLE_EQ(driver.speed, 0.0);
    driver.set_speed(0.5);
    driver.set_speed(-0.5, 1.0);
    driver.reset_speed();
    EXPECT_DOUBLE_EQ(driver.get_speed(), 0.0);
    driver.set_speed(7.0);
    driver.reset_speed();
    EXPECT_DOUBLE_EQ(driver.get_speed(), 1.0);
}

TEST_F(DriverInputChecks, UnusablePausingAndBlendDurationsAreRefused) {
    for (const double bad : {nan, inf, -inf, -1.0}) {
        EXPECT_THROW(driver.set_pausing_duration(bad), std::invalid_argument) << bad;
    }
    EXPECT_DOUBLE_EQ(driver.pausing_duration, 0.7);
    driver.set_pausing_duration(0.0);
    EXPECT_DOUBLE_EQ(driver.pausing_duration, 0.0);

    const auto target = line_trajectory({0.1, 0, 0, 0, 0, 0}, {0.4, 0, 0, 0, 0, 0}, 0.5);
    RobotState start;
    start.position = zero;
    start.velocity = zero;
    start.acceleration = zero;
    orvane::Trajectory planned;
    for (const double bad : {nan, -1.0, -inf}) {
        EXPECT_FALSE(driver.calculate_trajectory(BlendIntoCommand{target, bad}, planned, start)) << bad;
        EXPECT_EQ(driver.blend_into(target, bad), Result::ErrorTrajectoryDidNotUpdate) << bad;
    }
    EXPECT_TRUE(driver.steps().empty());
    // Beyond the end (infinity included) is the last sample.
    EXPECT_TRUE(driver.calculate_trajectory(BlendIntoCommand{target, inf}, planned, start));
}

TEST_F(DriverInputChecks, AnAliasOutsideTheControllersPortsIsRefusedWhenMade) {
    driver.create_io_alias("anything", std::size_t{1} << 40);  // the base knows no ports
    driver.limit_ports();
    driver.create_io_alias("lamp", 1, 32767);
    for (const std::size_t bad : {std::size_t{0}, std::size_t{32768}, std::size_t{1} << 40, std::size_t{1} << 63}) {
        EXPECT_THROW(driver.create_io_alias("valve", bad), std::invalid_argument) << bad;
        EXPECT_THROW(driver.create_io_alias("lamp", 5, bad), std::invalid_argument) << bad;
    }
    EXPECT_FALSE(driver.get_io_alias("valve").has_value());
    EXPECT_EQ(driver.get_io_alias("lamp")->address_out, 32767u);  // the old definition stands
}

TEST_F(DriverInputChecks, APauseOvertakenByASpeedChangeReportsFalse) {
    driver.set_pausing_duration(1000.0);  // a ramp that cannot end by itself
    std::promise<void> reached;
    driver.add_event(Trigger::Time() > 0.1, [&](double) { reached.set_value(); });
    auto run = driver.run_async(line_trajectory(zero, {0.5, 0, 0, 0, 0, 0}, 30.0));
    ASSERT_EQ(reached.get_future().wait_for(deadline), std::future_status::ready);

    // Overtaken by a ramp, then by a change at once: false both times, and
    // the later speed wins.
    auto first = driver.pause_async();
    driver.set_speed(0.6, 0.5);
    ASSERT_EQ(first.wait_for(deadline), std::future_status::ready);
    EXPECT_FALSE(first.get());
    auto second = driver.pause_async();
    driver.set_speed(0.3);
    ASSERT_EQ(second.wait_for(deadline), std::future_status::ready);
    EXPECT_FALSE(second.get());
    EXPECT_DOUBLE_EQ(driver.get_speed(), 0.3);

    // A pause left alone still gets there.
    driver.set_pausing_duration(0.1);
    EXPECT_TRUE(driver.pause());
    EXPECT_TRUE(driver.is_paused());
    EXPECT_EQ(driver.stop(false), Result::Success);
    EXPECT_EQ(run.get(), Result::ErrorTrajectoryAborted);
}

TEST_F(DriverInputChecks, WithoutTheControllerPauseReachesNothing) {
    driver.is_connected_flag = false;
    EXPECT_FALSE(driver.pause());
    EXPECT_FALSE(driver.is_paused());
}

}  // namespace
