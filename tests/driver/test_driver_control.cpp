// Motions through the in-test control loop: pause, speed ramps, the motion
// log, motion time and the synchronous wrappers.
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <orvane/log/orvane_error.hpp>

#include "driver/loop_driver.hpp"

namespace {

using orvane::drivers::Action;
using orvane::drivers::Result;
using orvane::drivers::TimeScaler;
using orvane::drivers::Trigger;
using orvane::drivers::testing::line_trajectory;
using orvane::drivers::testing::LogCapture;
using orvane::drivers::testing::LoopDriver;
using orvane::drivers::testing::sampled_trajectory;
using namespace std::chrono_literals;

constexpr auto deadline = 60s;  // generous: the machine is slow and shared

class DriverMotion : public ::testing::Test {
protected:
    std::shared_ptr<orvane::RobotArm> arm = orvane::robots::fanuc_lrmate200id();
    LoopDriver driver{std::make_shared<orvane::Planner>(arm, 0.01), arm};
    const std::vector<double> zero = std::vector<double>(6, 0.0);

    // A future filled by an action (running on the control loop) with the
    // pause future it obtained there.
    struct PauseFromAction {
        std::mutex mutex;
        std::optional<std::future<bool>> pause;
    };
};

TEST_F(DriverMotion, PauseRampReachesStandstillAndResumeFinishes) {
    const auto trajectory = line_trajectory(zero, {0.5, 0, 0, 0, 0, 0}, 3.0);
    auto holder = std::make_shared<PauseFromAction>();
    std::promise<void> started;
    // Started from inside the motion, at a known playback time, so that the
    // ramp's timing does not depend on how fast this thread runs.
    driver.add_event(Trigger::Time() > 0.5, Action([&, holder](double) {
                         std::lock_guard lock(holder->mutex);
                         holder->pause = driver.pause_async();
                         started.set_value();
                     }));
    auto run = driver.run_async(trajectory);
    ASSERT_EQ(started.get_future().wait_for(deadline), std::future_status::ready);
    std::future<bool> pause;
    {
        std::lock_guard lock(holder->mutex);
        pause = std::move(*holder->pause);
    }
    ASSERT_EQ(pause.wait_for(deadline), std::future_status::ready);
    EXPECT_TRUE(pause.get());
    EXPECT_TRUE(driver.is_paused());
    EXPECT_TRUE(driver.is_running());

    // Pausing again while paused succeeds at once.
    EXPECT_TRUE(driver.pause());

    // The ramp took pausing_duration (0.7 s) of control time: 70 steps, and
    // the playback, slowing linearly, covered half of that.
    ASSERT_TRUE(driver.wait_for_step([](const LoopDriver::Step& step) { return step.scale_user == 0.0; }));
    const auto steps = driver.steps();
    std::size_t first_slow = 0;
    while (first_slow < steps.size() && steps[first_slow].scale_user >= 1.0) ++first_slow;
    std::size_t first_stopped = first_slow;
    while (first_stopped < steps.size() && steps[first_stopped].scale_user > 0.0) ++first_stopped;
    ASSERT_LT(first_stopped, steps.size());
    EXPECT_NEAR(static_cast<double>(first_stopped - first_slow), 70.0, 2.0);
    EXPECT_NEAR(steps[first_stopped].time - steps[first_slow - 1].time, 0.35, 0.03);
    for (std::size_t i = first_slow + 1; i < first_stopped; ++i) EXPECT_LT(steps[i].scale_user, steps[i - 1].scale_user);
    EXPECT_EQ(steps.back().status, TimeScaler::standing_still);

    EXPECT_EQ(driver.resume(), Result::Success);
    ASSERT_EQ(run.wait_for(deadline), std::future_status::ready);
    EXPECT_EQ(run.get(), Result::Success);
    EXPECT_FALSE(driver.is_running());
    EXPECT_FALSE(driver.is_paused());
    EXPECT_DOUBLE_EQ(driver.get_speed(), 1.0);
    EXPECT_EQ(driver.get_current_state().position, trajectory.positions().back());
}

TEST_F(DriverMotion, PauseFutureIsFalseWhenTheMotionEndsFirst) {
    const auto trajectory = line_trajectory(zero, {0.5, 0, 0, 0, 0, 0}, 1.0);
    auto holder = std::make_shared<PauseFromAction>();
    std::promise<void> started;
    // 0.1 s before the end; ramping to 0 over 0.7 s would need 0.35 s more.
    driver.add_event(Trigger::TimeToGoal() < 0.1, Action([&, holder](double) {
                         std::lock_guard lock(holder->mutex);
                         holder->pause = driver.pause_async();
                         started.set_value();
                     }));
    driver.set_speed(0.8);
    auto run = driver.run_async(trajectory);
    ASSERT_EQ(started.get_future().wait_for(deadline), std::future_status::ready);
    std::future<bool> pause;
    {
        std::lock_guard lock(holder->mutex);
        pause = std::move(*holder->pause);
    }
    ASSERT_EQ(pause.wait_for(deadline), std::future_status::ready);
    EXPECT_FALSE(pause.get());
    EXPECT_EQ(run.get(), Result::Success);
    // The pause did not outlast its motion: the speed set before is back.
    EXPECT_DOUBLE_EQ(driver.get_speed(), 0.8);
    EXPECT_FALSE(driver.is_pausing.load());
}

TEST_F(DriverMotion, PauseFutureIsFalseWhenTheMotionIsStopped) {
    const auto trajectory = line_trajectory(zero, {0.5, 0, 0, 0, 0, 0}, 3.0);
    driver.pausing_duration = 1000.0;  // a ramp that cannot end before the stop
    std::promise<void> reached;
    driver.add_event(Trigger::Time() > 0.2, Action([&](double) { reached.set_value(); }));
    auto run = driver.run_async(trajectory);
    ASSERT_EQ(reached.get_future().wait_for(deadline), std::future_status::ready);
    auto pause = driver.pause_async();
    // Pausing already in this motion: refused at once.
    EXPECT_FALSE(driver.pause());
    EXPECT_EQ(driver.stop(false), Result::Success);
    EXPECT_EQ(run.get(), Result::ErrorTrajectoryAborted);
    ASSERT_EQ(pause.wait_for(deadline), std::future_status::ready);
    EXPECT_FALSE(pause.get());
    EXPECT_DOUBLE_EQ(driver.get_speed(), 1.0);
}

TEST_F(DriverMotion, SpeedChangesThatCannotRampTakeEffectAtOnce) {
    struct Seen {
        double after_negative_duration{-1.0};
        double after_nan_duration{-1.0};
        bool pause_ready{false};
        bool paused{false};
        double after_pause{-1.0};
    };
    auto seen = std::make_shared<Seen>();
    std::promise<void> done;
    driver.add_event(Trigger::Time() > 0.2, Action([&, seen](double) {
                         driver.set_speed(0.5, -1.0);
                         seen->after_negative_duration = driver.get_speed();
                         driver.set_speed(0.25, std::nan(""));
                         seen->after_nan_duration = driver.get_speed();
                         // Within rounding of standstill: no ramp could start.
                         driver.set_speed(1e-15);
                         auto pause = driver.pause_async();
                         seen->pause_ready = pause.wait_for(0s) == std::future_status::ready;
                         seen->paused = seen->pause_ready && pause.get();
                         seen->after_pause = driver.get_speed();
                         done.set_value();
                     }));
    auto run = driver.run_async(line_trajectory(zero, {0.5, 0, 0, 0, 0, 0}, 3.0));
    ASSERT_EQ(done.get_future().wait_for(deadline), std::future_status::ready);
    EXPECT_EQ(driver.stop(false), Result::Success);
    EXPECT_EQ(run.get(), Result::ErrorTrajectoryAborted);
    EXPECT_DOUBLE_EQ(seen->after_negative_duration, 0.5);
    EXPECT_DOUBLE_EQ(seen->after_nan_duration, 0.25);
    EXPECT_TRUE(seen->pause_ready);
    EXPECT_TRUE(seen->paused);
    EXPECT_EQ(seen->after_pause, 0.0);
}

TEST_F(DriverMotion, SetSpeedRampsWhileRunning) {
    const auto trajectory = line_trajectory(zero, {0.5, 0, 0, 0, 0, 0}, 2.0);
    driver.add_event(Trigger::Time() > 0.3, Action([&](double) { driver.set_speed(0.5, 0.3); }));
    auto run = driver.run_async(trajectory);
    ASSERT_EQ(run.wait_for(deadline), std::future_status::ready);
    EXPECT_EQ(run.get(), Result::Success);

    const auto steps = driver.steps();
    std::size_t first_slow = 0;
    while (first_slow < steps.size() && steps[first_slow].scale_user >= 1.0) ++first_slow;
    ASSERT_LT(first_slow, steps.size());
    EXPECT_GT(steps[first_slow].time, 0.3);
    std::size_t reached = first_slow;
    while (reached < steps.size() && steps[reached].scale_user > 0.5) ++reached;
    ASSERT_LT(reached, steps.size());
    // 0.3 s of control time at 0.01 s a step, falling linearly.
    EXPECT_NEAR(static_cast<double>(reached - first_slow), 30.0, 2.0);
    for (std::size_t i = first_slow + 1; i < reached; ++i) {
        EXPECT_NEAR(steps[i - 1].scale_user - steps[i].scale_user, 0.5 / 30.0, 1e-9);
    }
    for (std::size_t i = reached; i < steps.size(); ++i) EXPECT_DOUBLE_EQ(steps[i].scale_user, 0.5);
    // At the end the last speed set stays.
    EXPECT_DOUBLE_EQ(driver.get_speed(), 0.5);
}

TEST_F(DriverMotion, MotionTimeAddsUpThePlayedTime) {
    const auto first = line_trajectory(zero, {0.2, 0, 0, 0, 0, 0}, 0.5);
    const auto second = line_trajectory({0.2, 0, 0, 0, 0, 0}, {0.2, 0.1, 0, 0, 0, 0}, 0.3);
    EXPECT_EQ(driver.run(first), Result::Success);
    EXPECT_NEAR(driver.get_total_motion_time(), 0.5, 1e-9);
    // Played at half speed, the motion time is still the trajectory's.
    driver.set_speed(0.5);
    EXPECT_EQ(driver.run(second), Result::Success);
    EXPECT_NEAR(driver.get_total_motion_time(), 0.8, 1e-9);

    // A stopped motion counts with the part it played.
    std::promise<void> reached;
    driver.add_event(Trigger::Time() > 0.2, Action([&](double) { reached.set_value(); }));
    driver.set_speed(1.0);
    auto third = driver.run_async(line_trajectory({0.2, 0.1, 0, 0, 0, 0}, zero, 5.0));
    ASSERT_EQ(reached.get_future().wait_for(deadline), std::future_status::ready);
    driver.stop(true);
    EXPECT_EQ(third.get(), Result::ErrorTrajectoryAborted);
    const double total = driver.get_total_motion_time();
    EXPECT_GT(total, 1.0);
    EXPECT_LT(total, 0.8 + 5.0);
}

TEST_F(DriverMotion, MotionLogLines) {
    // Three samples, two of them with values that show the 6-digit format.
    const auto trajectory = sampled_trajectory({{0.1, 1.23456789, 0, 0, 0, 0},
                                                {0.1, 1.23456789, 0, 0, 0, 0.5},
                                                {0.1, 1.23456789, 0, 0, 0, 1e-7}},
                                               0.05);  // within joint 6's velocity limit
    driver.rest_position = trajectory.positions().front();
    driver.log_motions = true;
    LogCapture log;
    EXPECT_EQ(driver.run(trajectory), Result::Success);
    driver.log_motions = false;
    const std::string text = log.text();

    const std::regex line(
        R"(\[orvane\.driver\.log_motion\] step=(-?[0-9]+) \| desired_(position|velocity)=\[([^\]]*)\])");
    std::istringstream lines(text);
    std::string entry;
    std::vector<std::string> all;
    while (std::getline(lines, entry)) all.push_back(entry);
    std::vector<std::string> steps, kinds, values;
    for (const auto& one : all) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(one, match, line)) << "unexpected line: " << one;
        steps.push_back(match[1]);
        kinds.push_back(match[2]);
        values.push_back(match[3]);
    }
    const auto driven = driver.steps();
    ASSERT_EQ(all.size(), 2 * driven.size());
    for (std::size_t i = 0; i < driven.size(); ++i) {
        EXPECT_EQ(kinds[2 * i], "position");
        EXPECT_EQ(kinds[2 * i + 1], "velocity");
        EXPECT_EQ(steps[2 * i], steps[2 * i + 1]);  // one stamp per control step
        if (i > 0) EXPECT_GE(std::stoll(steps[2 * i]), std::stoll(steps[2 * i - 2]));
        EXPECT_EQ(values[2 * i], orvane::drivers::join(driven[i].position, 6));
    }
    // The first and the last step command the first and last samples.
    ASSERT_GE(driven.size(), 3u);
    EXPECT_EQ(values.front(), "0.1, 1.23457, 0, 0, 0, 0");
    EXPECT_EQ(values[values.size() - 2], "0.1, 1.23457, 0, 0, 0, 1e-07");
    // The microsecond stamp is the present time.
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    EXPECT_LE(std::stoll(steps.back()), now);
    EXPECT_GT(std::stoll(steps.back()), now - std::int64_t{600} * 1000000);

    // With the log off the same motion prints nothing.
    LogCapture silent;
    driver.rest_position = trajectory.positions().back();
    EXPECT_EQ(driver.run(sampled_trajectory({trajectory.positions().back(), trajectory.positions().front()}, 0.05)),
              Result::Success);
    EXPECT_EQ(silent.text(), "");
}

TEST_F(DriverMotion, DesiredStateFollowsTheCommands) {
    driver.on_desired_state({1.0, 2.0}, {0.1, 0.2});
    auto state = driver.get_desired_state();
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->position, (std::vector<double>{1.0, 2.0}));
    EXPECT_EQ(state->velocity, (std::vector<double>{0.1, 0.2}));
    EXPECT_TRUE(state->acceleration.empty());

    const auto trajectory = line_trajectory(zero, {0.3, 0, 0, 0, 0, 0}, 0.2);
    EXPECT_EQ(driver.run(trajectory), Result::Success);
    state = driver.get_desired_state();
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->position, trajectory.positions().back());
}

TEST_F(DriverMotion, SynchronousWrappersReturnTheMotionsResult) {
    const std::vector<double> goal{0.2, 0.1, -0.1, 0.0, 0.0, 0.0};
    EXPECT_EQ(driver.move_to(orvane::Goal{goal}, false), Result::Success);
    auto position = driver.get_current_state().position;
    for (std::size_t j = 0; j < 6; ++j) EXPECT_NEAR(position[j], goal[j], 1e-9);

    driver.planner->add_motion(orvane::Motion("home", arm, std::nullopt, orvane::Goal{zero}));
    EXPECT_EQ(driver.move_along("home", std::nullopt, false), Result::Success);
    position = driver.get_current_state().position;
    for (std::size_t j = 0; j < 6; ++j) EXPECT_NEAR(position[j], 0.0, 1e-9);

    EXPECT_EQ(driver.move_along("nowhere", std::nullopt, false), Result::ErrorTrajectoryDidNotUpdate);
    EXPECT_EQ(driver.run(line_trajectory({1.0, 0, 0, 0, 0, 0}, zero, 0.2)), Result::ErrorTrajectoryDidNotUpdate);

    const auto target = line_trajectory({0.1, 0, 0, 0, 0, 0}, {0.4, 0, 0, 0, 0, 0}, 0.5);
    EXPECT_EQ(driver.blend_into(target, 0.2), Result::Success);
    EXPECT_EQ(driver.get_current_state().position, target.positions().back());

    // A failure stored in the future is rethrown by the wrapper.
    struct Failing : LoopDriver {
        using LoopDriver::LoopDriver;
        std::shared_future<Result> resume_async() override {
            std::promise<Result> promise;
            promise.set_exception(std::make_exception_ptr(orvane::OrvaneError("driver", "lost")));
            return promise.get_future().share();
        }
    };
    Failing failing(driver.planner, arm);
    EXPECT_THROW(failing.resume(), orvane::OrvaneError);
}

}  // namespace

TEST_F(DriverMotion, HugeRampDurationsStillMoveTheSpeed) {
    // 1e308 s would change the speed by nothing each step; it is taken as a
    // minute, so the speed visibly moves (0.5 over 6000 steps of 0.01 s).
    const auto trajectory = line_trajectory(zero, {0.5, 0, 0, 0, 0, 0}, 1.0);
    driver.add_event(Trigger::Time() > 0.3, Action([&](double) { driver.set_speed(0.5, 1e308); }));
    auto run = driver.run_async(trajectory);
    ASSERT_EQ(run.wait_for(deadline), std::future_status::ready);
    const auto steps = driver.steps();
    std::size_t first_slow = 0;
    while (first_slow < steps.size() && steps[first_slow].scale_user >= 1.0) ++first_slow;
    ASSERT_LT(first_slow + 1, steps.size());
    EXPECT_NEAR(steps[first_slow].scale_user - steps[first_slow + 1].scale_user, 0.5 / 6000.0, 1e-9);
}
