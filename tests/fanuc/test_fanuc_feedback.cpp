// Watching the robot while it moves: joint readings during a run, the
// path-deviation monitor and the record of the last motion.
#include "fanuc/fanuc_fixture.hpp"

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

namespace fanuc_test {
namespace {

using FeedbackTest = FanucTest;
using Clock = std::chrono::steady_clock;

struct WireTimes {
    std::vector<Clock::time_point> reads;   // "FRC_ReadJointAngles" as the controller received them
    std::vector<Clock::time_point> motions; // motion instructions
    std::vector<Clock::time_point> aborts;
};

WireTimes wire_times(const orvane::sim::ControllerSimulator& sim) {
    WireTimes out;
    for (const auto& line : sim.received_lines()) {
        if (line.channel != "data") continue;
        const auto packet = nlohmann::json::parse(line.line, nullptr, false);
        if (!packet.is_object()) continue;
        if (packet.value("Command", "") == "FRC_ReadJointAngles") out.reads.push_back(line.at);
        if (packet.value("Command", "") == "FRC_Abort") out.aborts.push_back(line.at);
        if (packet.value("Instruction", "") == "FRC_JointMotionJRep") out.motions.push_back(line.at);
    }
    return out;
}

std::size_t count_between(const std::vector<Clock::time_point>& times, Clock::time_point from, Clock::time_point to) {
    return static_cast<std::size_t>(
        std::count_if(times.begin(), times.end(), [&](auto t) { return t >= from && t <= to; }));
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

TEST_F(FeedbackTest, ReadingsArriveAtTheSetRateDuringARunAndStopWithIt) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    const std::vector<double> goal{0.5, 0.3, -0.2, 0.4, -0.3, 0.6};
    driver->feedback_rate = 25.0;
    ASSERT_EQ(driver->run(cosine_trajectory(start, goal, 2.0)), Result::Success);
    const auto ended = Clock::now();

    const auto wire = wire_times(*sim);
    ASSERT_FALSE(wire.motions.empty());
    const double streamed = seconds(wire.motions.back() - wire.motions.front());
    const auto reads = count_between(wire.reads, wire.motions.front(), ended);
    // 25 per second; a loaded machine may lose a few, never add any.
    EXPECT_GE(static_cast<double>(reads), 0.6 * 25.0 * streamed);
    EXPECT_LE(static_cast<double>(reads), 25.0 * (streamed + 0.3) + 2.0);

    // Nothing is read once the run is over.
    std::this_thread::sleep_for(300ms);  // a window in which a stray reading would show
    EXPECT_EQ(count_between(wire_times(*sim).reads, ended, Clock::now()), 0u);

    // The record: one entry per reading, in order, measured where the
    // simulator had the arm, commanded close to it.
    const auto record = driver->get_last_motion_feedback();
    ASSERT_GE(record.times.size(), reads - std::min<std::size_t>(reads, 2));
    ASSERT_EQ(record.measured.size(), record.times.size());
    ASSERT_EQ(record.commanded.size(), record.times.size());
    ASSERT_EQ(record.deviations.size(), record.times.size());
    ASSERT_EQ(record.time_tags.size(), record.times.size());
    EXPECT_TRUE(std::is_sorted(record.times.begin(), record.times.end()));
    EXPECT_TRUE(std::is_sorted(record.time_tags.begin(), record.time_tags.end()));
    EXPECT_GT(record.times.back(), 1.0);
    EXPECT_LT(record.max_deviation, driver->path_deviation_error_threshold.load());
    EXPECT_DOUBLE_EQ(record.max_deviation, *std::max_element(record.deviations.begin(), record.deviations.end()));
    const auto path = sim->executed_path();
    ASSERT_FALSE(path.empty());
    for (std::size_t i = 0; i < record.measured.size(); ++i) {
        ASSERT_EQ(record.measured[i].size(), 6u);
        // Within the reach of the motion: between start and goal per joint.
        for (std::size_t j = 0; j < 6; ++j) {
            EXPECT_GE(record.measured[i][j], std::min(start[j], goal[j]) - 1e-3) << i << "," << j;
            EXPECT_LE(record.measured[i][j], std::max(start[j], goal[j]) + 1e-3) << i << "," << j;
        }
    }
    // The last reading shows the arm arriving, in the planner's convention.
    EXPECT_TRUE(within(record.measured.back(), goal, 0.05));

    // The next motion starts a new record.
    ASSERT_EQ(driver->run(cosine_trajectory(goal, start, 0.5)), Result::Success);
    EXPECT_LT(driver->get_last_motion_feedback().times.size(), record.times.size());
}

TEST_F(FeedbackTest, FeedbackZeroSendsNoReading) {
    ASSERT_EQ(driver->enable(), Result::Success);
    driver->feedback_rate = 0.0;  // the monitor stays on: a warning says it sees nothing
    const auto start = driver->get_current_joint_position();
    ASSERT_EQ(driver->run(cosine_trajectory(start, offset_by(start, 0, 0.3), 1.0)), Result::Success);
    const auto wire = wire_times(*sim);
    ASSERT_FALSE(wire.motions.empty());
    EXPECT_EQ(count_between(wire.reads, wire.motions.front(), Clock::now()), 0u);
    EXPECT_TRUE(driver->get_last_motion_feedback().times.empty());
}

// The operator turns the override down on the pendant behind the driver's
// back: the arm runs slower, still on the path. The answers tell the driver
// when each instruction really ran, so this is no deviation.
TEST_F(FeedbackTest, AnArmSlowedOnThePendantIsNoDeviation) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 0.6), 1.0));
    ASSERT_TRUE(wait_for_instruction(10));
    sim->set_override(25);
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::Success);
    const auto record = driver->get_last_motion_feedback();
    EXPECT_GT(record.times.back(), 2.0);  // it did run slower
    EXPECT_LT(record.max_deviation, driver->path_deviation_error_threshold.load());
}

// The arm leaves the path on purpose (the simulator's deviation injection).
TEST_F(FeedbackTest, ABlockedJointEndsTheRunWithPathDeviationAndAnAbort) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 1.2), 3.0));
    ASSERT_TRUE(wait_for_instruction(10));
    const auto blocked_at = Clock::now();
    sim->block_joint(1, blocked_at);
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::ErrorPathDeviation);

    // One abort at enable, one for the deviation.
    ASSERT_TRUE(eventually([&] { return wire_times(*sim).aborts.size() == 2u; }));
    const auto wire = wire_times(*sim);
    // Nothing more is streamed after the abort.
    EXPECT_EQ(count_between(wire.motions, wire.aborts.back(), Clock::now()), 0u);
    const auto record = driver->get_last_motion_feedback();
    ASSERT_FALSE(record.deviations.empty());
    EXPECT_GT(record.deviations.back(), driver->path_deviation_error_threshold.load());
    EXPECT_DOUBLE_EQ(record.max_deviation, record.deviations.back());
    // Stopped as stop() does: RMI initialised again, ready for the next motion.
    EXPECT_TRUE(eventually([&] { return driver->motion_phase() == orvane::drivers::MotionPhase::ready; }));
    sim->clear_joint_deviations();
    const auto here = driver->get_current_joint_position();
    EXPECT_EQ(driver->run(cosine_trajectory(here, start, 1.5)), Result::Success);
}

TEST_F(FeedbackTest, AnOffsetStopsTheRunOnlyBeyondTheThreshold) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    const auto there = offset_by(start, 3, 0.5);
    // 0.05 rad (below 0.1) once moving: the motion runs to its end, the record shows it.
    orvane::sim::JointDeviation small;
    small.joint = 4;
    small.offset_deg = 0.05 * degrees_per_radian;
    small.after_motion_start = 0.2;
    sim->add_joint_deviation(small);
    ASSERT_EQ(driver->run(cosine_trajectory(start, there, 1.0)), Result::Success);
    EXPECT_NEAR(driver->get_last_motion_feedback().max_deviation, 0.05, 0.01);
    EXPECT_EQ(count_sent(*sim, "FRC_Abort"), 1u);  // the one of enable

    sim->clear_joint_deviations();
    orvane::sim::JointDeviation large = small;
    large.offset_deg = 0.15 * degrees_per_radian;
    sim->add_joint_deviation(large);
    const auto aborts_before = count_sent(*sim, "FRC_Abort");
    auto run = driver->run_async(cosine_trajectory(there, start, 2.0));
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::ErrorPathDeviation);
    EXPECT_TRUE(eventually([&] { return count_sent(*sim, "FRC_Abort") > aborts_before; }));
}

TEST_F(FeedbackTest, TheMonitorOffRecordsTheDeviationButNeverStops) {
    ASSERT_EQ(driver->enable(), Result::Success);
    driver->monitor_path_deviation = false;
    const auto start = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 0.6), 1.0));
    ASSERT_TRUE(wait_for_instruction(8));
    sim->block_joint(1);
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::Success);
    EXPECT_EQ(count_sent(*sim, "FRC_Abort"), 1u);  // the one of enable only
    EXPECT_GT(driver->get_last_motion_feedback().max_deviation, 0.2);
}

TEST_F(FeedbackTest, SettingsChangedDuringTheMotionTakeEffectAtTheNextReading) {
    ASSERT_EQ(driver->enable(), Result::Success);
    driver->path_deviation_error_threshold = 100.0;  // nothing real exceeds it
    driver->feedback_rate = 5.0;
    const auto start = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 1.2), 3.0));
    ASSERT_TRUE(wait_for_instruction(10));
    sim->block_joint(1);
    // Far behind, and still no stop under the high threshold.
    ASSERT_TRUE(eventually([&] { return driver->get_last_motion_feedback().max_deviation > 0.2; }));
    EXPECT_EQ(run.wait_for(0s), std::future_status::timeout);
    const auto slow_readings = driver->get_last_motion_feedback().times.size();
    driver->feedback_rate = 25.0;
    driver->path_deviation_error_threshold = 0.1;
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::ErrorPathDeviation);
    EXPECT_GT(driver->get_last_motion_feedback().times.size(), slow_readings);
}

TEST_F(FeedbackTest, UserCommandsDuringARunStillAnswerAndReadingsGoOn) {
    driver->create_io_alias("part_present", 5, 6);
    sim->set_digital_input(5, true);
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 1, 0.4), 2.0));
    ASSERT_TRUE(wait_for_instruction(4));
    // A program polling an input as fast as it can.
    std::size_t answered = 0, unanswered = 0;
    while (run.wait_for(0s) != std::future_status::ready) {
        if (driver->get_digital_input("part_present") == 1) {
            ++answered;
        } else {
            ++unanswered;
        }
    }
    EXPECT_EQ(run.get(), Result::Success);
    EXPECT_EQ(unanswered, 0u);
    EXPECT_GT(answered, 20u);
    // The readings got their turns all the same.
    const auto record = driver->get_last_motion_feedback();
    EXPECT_GE(record.times.size(), 20u);
    EXPECT_LT(record.max_deviation, 0.1);
}

TEST_F(FeedbackTest, AStopDuringFeedbackEndsTheRunAsAborted) {
    ASSERT_EQ(driver->enable(), Result::Success);
    driver->feedback_rate = 100.0;  // a reading in flight most of the time
    const auto start = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 1.0), 3.0));
    ASSERT_TRUE(eventually([&] { return driver->get_last_motion_feedback().times.size() >= 10; }));
    EXPECT_EQ(driver->stop(true), Result::Success);
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::ErrorTrajectoryAborted);
    const auto stopped = Clock::now();
    std::this_thread::sleep_for(200ms);  // a window in which a stray reading would show
    EXPECT_EQ(count_between(wire_times(*sim).reads, stopped, Clock::now()), 0u);
}

TEST_F(FeedbackTest, ALinkLostDuringFeedbackEndsTheRunCleanly) {
    ASSERT_EQ(driver->enable(), Result::Success);
    driver->feedback_rate = 100.0;
    const auto start = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 1.0), 3.0));
    ASSERT_TRUE(eventually([&] { return driver->get_last_motion_feedback().times.size() >= 10; }));
    const auto connections = sim->connection_count();
    sim->drop_connections();
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::ErrorControllerConnection);
    // The driver comes back and moves again with feedback.
    ASSERT_TRUE(wait_for_new_link(connections));
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto here = driver->get_current_joint_position();
    EXPECT_EQ(driver->run(cosine_trajectory(here, start, 1.0)), Result::Success);
    EXPECT_FALSE(driver->get_last_motion_feedback().times.empty());
}

// Planned motions at full speed, with the arm's own limits: the monitor must
// not cry wolf.
class FullSpeedTest : public FanucTest, public ::testing::WithParamInterface<bool> {
protected:
    orvane::sim::SimulatorConfig simulator_config() const override {
        orvane::sim::SimulatorConfig config;
        config.servo_lag = 0.05;  // the servos trail the command, as on a real arm
        if (GetParam()) config.joint_limits = orvane::sim::crx10ial_limits();
        return config;
    }
    void SetUp() override {
        FanucTest::SetUp();
        if (GetParam()) {
            driver.reset();
            arm = orvane::robots::fanuc_crx10ial();
            planner = std::make_shared<orvane::Planner>(arm, 0.024);
            driver = make_driver();
        }
    }
};

TEST_P(FullSpeedTest, NoFalseAlarmOverPlannedMotions) {
    ASSERT_EQ(driver->enable(), Result::Success);
    sim->clear_records();
    const std::vector<std::vector<double>> goals{
        {0.8, 0.4, -0.3, 1.0, -0.8, 1.2}, {-0.6, -0.2, 0.3, -1.0, 0.6, -1.5}, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0}};
    for (int round = 0; round < 2; ++round) {
        for (const auto& goal : goals) {
            ASSERT_EQ(driver->move_to(goal, false), Result::Success) << "round " << round;
            const auto record = driver->get_last_motion_feedback();
            EXPECT_FALSE(record.times.empty());
            EXPECT_LT(record.max_deviation, driver->path_deviation_error_threshold.load());
        }
    }
    EXPECT_EQ(count_sent(*sim, "FRC_Abort"), 0u);
}

INSTANTIATE_TEST_SUITE_P(BothPresets, FullSpeedTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Crx10iaL" : "LrMate200iD"; });

}  // namespace
}  // namespace fanuc_test
