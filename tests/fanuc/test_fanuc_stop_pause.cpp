// Stopping, pausing, resuming and changing speed while a trajectory streams.
#include "fanuc/fanuc_fixture.hpp"

#include <algorithm>
#include <atomic>
#include <limits>

namespace fanuc_test {
namespace {

using StopPauseTest = FanucTest;

// Index of the first data line with this command after instruction `after`.
std::ptrdiff_t position_of(const std::vector<nlohmann::json>& packets, const std::string& command,
                           std::ptrdiff_t after = -1) {
    for (std::ptrdiff_t i = after + 1; i < static_cast<std::ptrdiff_t>(packets.size()); ++i) {
        if (packets[static_cast<std::size_t>(i)].value("Command", "") == command) return i;
    }
    return -1;
}

TEST_F(StopPauseTest, StopEndsTheRunAbortsAndLeavesTheDriverReady) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    sim->clear_records();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 1.0), 3.0));
    ASSERT_TRUE(wait_for_instruction(10));
    EXPECT_EQ(driver->stop(false), Result::Success);
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::ErrorTrajectoryAborted);
    EXPECT_FALSE(driver->is_moving());
    EXPECT_FALSE(driver->is_running());
    EXPECT_TRUE(sim->wait_until_motion_idle(wait_limit));

    // Nothing was sent after the abort; then RMI was initialised anew.
    const auto packets = data_packets(*sim);
    const auto abort = position_of(packets, "FRC_Abort");
    ASSERT_GE(abort, 0);
    for (std::size_t i = static_cast<std::size_t>(abort); i < packets.size(); ++i) {
        EXPECT_FALSE(packets[i].contains("Instruction")) << packets[i].dump();
    }
    EXPECT_GT(position_of(packets, "FRC_Initialize", abort), abort);

    const auto here = driver->get_current_joint_position();
    sim->clear_records();
    EXPECT_EQ(driver->run(cosine_trajectory(here, start, 0.8)), Result::Success);
    expect_consecutive_ids(sent_motions(*sim), 1);  // a fresh initialisation counts from 1
}

class SlowAbortTest : public FanucTest {
protected:
    orvane::sim::SimulatorConfig simulator_config() const override {
        auto config = FanucTest::simulator_config();
        config.abort_duration = 1.5;  // real controllers have taken over 5 s
        return config;
    }
};

TEST_F(SlowAbortTest, AStopWaitsForOneAbortOnly) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 1.0), 3.0));
    ASSERT_TRUE(wait_for_instruction(10));
    sim->clear_records();
    const auto called = std::chrono::steady_clock::now();
    EXPECT_EQ(driver->stop(false), Result::Success);
    const auto took = std::chrono::steady_clock::now() - called;
    EXPECT_EQ(run.get(), Result::ErrorTrajectoryAborted);
    // RMI is initialised again without a second abort of what was just aborted.
    EXPECT_EQ(count_sent(*sim, "FRC_Abort"), 1u);
    EXPECT_EQ(count_sent(*sim, "FRC_Initialize"), 1u);
    EXPECT_LT(took, 2800ms);  // one abort and the initialisation; two aborts take 3 s
    const auto here = driver->get_current_joint_position();
    EXPECT_EQ(driver->run(cosine_trajectory(here, start, 0.8)), Result::Success);
}

TEST_F(StopPauseTest, AStopRightAfterTheStartIsNeverLost) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    for (int attempt = 0; attempt < 4; ++attempt) {
        const auto here = driver->get_current_joint_position();
        auto run = driver->run_async(cosine_trajectory(here, offset_by(start, 0, 1.0), 3.0));
        const auto stopped = attempt % 2 == 0 ? driver->stop(true) : driver->stop_async(true).get();
        EXPECT_EQ(stopped, Result::Success) << attempt;
        ASSERT_TRUE(is_ready(run)) << attempt;
        EXPECT_EQ(run.get(), Result::ErrorTrajectoryAborted) << attempt;
        EXPECT_TRUE(sim->wait_until_motion_idle(wait_limit));
        EXPECT_FALSE(driver->is_moving());
        // It stopped within a few instructions of the start.
        EXPECT_TRUE(within(driver->get_current_joint_position(), here, 0.1)) << attempt;
    }
}

TEST_F(StopPauseTest, PauseRampsDownAndResumeContinuesTheSameMotion) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    const auto goal = offset_by(start, 0, 1.0);
    std::atomic<int> late_event{0};
    driver->add_event(orvane::drivers::Trigger::Time() >= 3.5, [&](double) { ++late_event; });
    auto run = driver->run_async(cosine_trajectory(start, goal, 4.0));
    ASSERT_TRUE(wait_for_instruction(40));
    ASSERT_TRUE(driver->pause());
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::ErrorTrajectoryAborted);
    EXPECT_TRUE(sim->wait_until_motion_idle(wait_limit));
    EXPECT_TRUE(driver->is_paused());
    EXPECT_FALSE(driver->is_running());
    EXPECT_TRUE(driver->pause());  // already paused
    // The paused motion has not ended: its events still wait.
    EXPECT_EQ(driver->get_event_count(), 1u);
    EXPECT_EQ(late_event.load(), 0);

    // The executed speed fell steadily to standstill over the ramp.
    const auto path = sim->executed_path();
    ASSERT_GT(path.size(), 10u);
    std::vector<double> speeds;
    for (std::size_t i = 1; i < path.size(); ++i) {
        speeds.push_back((path[i].planner_deg[0] - path[i - 1].planner_deg[0]) / (path[i].t - path[i - 1].t));
    }
    std::size_t stopped = speeds.size();
    while (stopped > 0 && std::abs(speeds[stopped - 1]) < 1e-9) --stopped;
    ASSERT_GT(stopped, 60u);
    const std::size_t ramp = 60;  // samples of 8 ms: the last 0.48 s of the 0.7 s ramp
    for (std::size_t i = stopped - ramp + 1; i < stopped; ++i) {
        EXPECT_LE(speeds[i], speeds[i - 1] + 1e-6) << "at path sample " << i;
    }
    EXPECT_LT(speeds[stopped - 1], 0.1 * speeds[stopped - ramp]);

    const auto held = driver->get_current_joint_position();
    EXPECT_FALSE(within(held, goal, 0.1));
    EXPECT_EQ(driver->resume(), Result::Success);
    EXPECT_TRUE(within(driver->get_current_joint_position(), goal, 1e-4));
    EXPECT_FALSE(driver->is_paused());
    EXPECT_EQ(late_event.load(), 1);

    const auto motions = sent_motions(*sim);
    expect_consecutive_ids(motions, 1);
    const auto stops = std::count_if(motions.begin(), motions.end(), [](const auto& m) { return m.term_value == 0; });
    EXPECT_EQ(stops, 2);  // at the pause and at the end
    EXPECT_TRUE(sim->slow_downs().empty());
}

TEST_F(StopPauseTest, AResumeRightAfterThePauseIsNeverLost) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    auto goal = start;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto here = driver->get_current_joint_position();
        goal = offset_by(here, 1, attempt % 2 == 0 ? 0.4 : -0.4);
        auto run = driver->run_async(cosine_trajectory(here, goal, 1.5));
        ASSERT_TRUE(sim->wait_for_line([](const std::string& line) { return line.find("TermValue") != line.npos; },
                                       wait_limit));
        driver->pausing_duration = attempt == 2 ? 0.0 : 0.3;
        ASSERT_TRUE(driver->pause());
        // Possibly while the run still waits for its last answers.
        auto resumed = driver->resume_async();
        ASSERT_TRUE(is_ready(resumed));
        EXPECT_EQ(resumed.get(), Result::Success) << attempt;
        ASSERT_TRUE(is_ready(run));
        ASSERT_TRUE(eventually([&] { return !driver->is_moving(); }));
        EXPECT_TRUE(sim->wait_until_motion_idle(wait_limit));
        EXPECT_TRUE(within(driver->get_current_joint_position(), goal, 1e-4)) << attempt;
    }
}

TEST_F(StopPauseTest, ResumeRefusesARobotThatWasMovedMeanwhile) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 1.0), 3.0));
    ASSERT_TRUE(wait_for_instruction(30));
    ASSERT_TRUE(driver->pause());
    ASSERT_TRUE(is_ready(run));
    ASSERT_TRUE(sim->wait_until_motion_idle(wait_limit));

    // Another client moves the arm while this driver is away.
    driver->disconnect();
    {
        auto other = make_driver();
        ASSERT_EQ(other->enable(), Result::Success);
        ASSERT_EQ(other->move_to(offset_by(other->get_current_joint_position(), 2, 0.1), false), Result::Success);
    }
    ASSERT_TRUE(driver->reconnect());
    ASSERT_EQ(driver->enable(), Result::Success);
    sim->clear_records();
    // The paused motion ended with the link it was paused on.
    EXPECT_EQ(driver->resume(), Result::Error);
    EXPECT_TRUE(sent_motions(*sim).empty());

    // A stop ends the paused motion for good.
    EXPECT_EQ(driver->stop(false), Result::Success);
    EXPECT_FALSE(driver->is_paused());
    EXPECT_EQ(driver->resume(), Result::Error);
    EXPECT_TRUE(sent_motions(*sim).empty());
}

TEST_F(StopPauseTest, AResumeWithAnUnusableRampLengthDoesNotCrawl) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    const auto goal = offset_by(start, 4, 0.5);
    auto run = driver->run_async(cosine_trajectory(start, goal, 1.5));
    ASSERT_TRUE(wait_for_instruction(15));
    ASSERT_TRUE(driver->pause());
    ASSERT_TRUE(is_ready(run));
    ASSERT_TRUE(eventually([&] { return !driver->is_moving(); }));
    for (const double duration : {std::numeric_limits<double>::infinity(), std::nan("")}) {
        driver->pausing_duration = duration;
        auto resumed = driver->resume_async();
        ASSERT_TRUE(eventually([&] { return driver->get_speed() == 1.0; }, 2000ms)) << duration;
        ASSERT_TRUE(driver->pause());
        ASSERT_TRUE(is_ready(resumed));
        EXPECT_EQ(resumed.get(), Result::ErrorTrajectoryAborted);
    }
    driver->pausing_duration = -1.0;
    EXPECT_EQ(driver->resume(), Result::Success);
    EXPECT_TRUE(within(driver->get_current_joint_position(), goal, 1e-4));
}

TEST_F(StopPauseTest, ASpeedRampSlowsTheStreamAndEndsWithTheMotion) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    const auto trajectory = cosine_trajectory(start, offset_by(start, 3, 0.6), 1.5);
    auto run = driver->run_async(trajectory);
    ASSERT_TRUE(wait_for_instruction(3));
    EXPECT_TRUE(driver->is_running());
    driver->set_speed(0.4, 0.2);
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::Success);
    // Played at under half speed for most of it: many more instructions
    // than samples.
    EXPECT_GT(sent_motions(*sim).size(), trajectory.size() * 3 / 2);
    EXPECT_DOUBLE_EQ(driver->get_speed(), 0.4);
    EXPECT_FALSE(driver->is_running());
    EXPECT_TRUE(sim->slow_downs().empty());
}

}  // namespace
}  // namespace fanuc_test
