// Faults during a run: refused instructions, controller faults, a lost link
// and missing answers. Each ends the run with its result in bounded time and
// leaves a driver that works again after enable.
#include <algorithm>
#include <memory>
#include <mutex>

#include <gmock/gmock.h>

#include "fanuc/fanuc_fixture.hpp"
#include "support/log_capture.hpp"

namespace fanuc_test {
namespace {

using FaultTest = FanucTest;

// After a failed run: the driver needs enable, then runs again.
void expect_usable_after_enable(FanucDriver& driver) {
    const auto here = driver.get_current_joint_position();
    const auto back = cosine_trajectory(here, offset_by(here, 0, -0.1), 0.4);
    EXPECT_EQ(driver.run(back), Result::ErrorControllerEnableMotors);
    ASSERT_EQ(driver.enable(), Result::Success);
    EXPECT_EQ(driver.run(back), Result::Success);
    EXPECT_FALSE(driver.is_moving());
}

TEST_F(FaultTest, ARefusedInstructionEndsTheRunAndAbortsTheRest) {
    ASSERT_EQ(driver->enable(), Result::Success);
    orvane_test::LogCapture log;
    sim->refuse_sequence_id(6, orvane::sim::error_id::invalid_speed);
    const auto start = driver->get_current_joint_position();
    EXPECT_EQ(driver->run(cosine_trajectory(start, offset_by(start, 0, 0.5), 1.5)), Result::ErrorController);
    EXPECT_FALSE(driver->is_moving());
    EXPECT_FALSE(driver->is_running());
    EXPECT_TRUE(sim->wait_until_motion_idle(wait_limit));
    EXPECT_GE(count_sent(*sim, "FRC_Abort"), 2u);
    // One line for the one refusal, although it failed every pending instruction.
    EXPECT_EQ(log.count(orvane::log::Level::Error, std::to_string(orvane::sim::error_id::invalid_speed)), 1u);
    EXPECT_EQ(log.empty_messages(), 0u);
    expect_usable_after_enable(*driver);
}

TEST_F(FaultTest, AMotionFaultEndsTheRun) {
    ASSERT_EQ(driver->enable(), Result::Success);
    sim->fault_at_sequence_id(8);
    const auto start = driver->get_current_joint_position();
    EXPECT_EQ(driver->run(cosine_trajectory(start, offset_by(start, 1, 0.5), 1.5)), Result::ErrorController);
    expect_usable_after_enable(*driver);

    // Pushed by the controller in the middle of a stream (an "abort all").
    orvane_test::LogCapture log;
    const auto here = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(here, offset_by(here, 1, 0.5), 1.5));
    ASSERT_TRUE(eventually([&] { return sim->status().queued_instructions > 1; }));
    sim->push_system_fault();
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::ErrorController);
    EXPECT_EQ(log.count(orvane::log::Level::Error, "Robot faulted during motion execution."), 1u);
    EXPECT_EQ(log.empty_messages(), 0u);
    expect_usable_after_enable(*driver);
}

// The controller's own J1 range ends before the planner's (a limit set on
// the pendant): the driver's checks pass, and the controller accepts the
// instruction beyond it and faults when it would start.
class ControllerLimitTest : public FanucTest {
protected:
    static constexpr double controller_j1_upper = 0.3;  // rad

    orvane::sim::SimulatorConfig simulator_config() const override {
        auto config = FanucTest::simulator_config();
        config.joint_limits[0].upper = controller_j1_upper;
        return config;
    }
};

TEST_F(ControllerLimitTest, ALimitTheControllerFindsEndsTheRunWithTheArmBeforeIt) {
    // The faults the controller pushes (the observer may outlive a failed assertion).
    struct Pushed {
        std::mutex mutex;
        std::vector<std::string> lines;
    };
    auto faults = std::make_shared<Pushed>();
    sim->set_line_observer([faults](const std::string&, bool incoming, const std::string& line) {
        if (incoming || line.find("FRC_SystemFault") == std::string::npos) return;
        std::lock_guard lock(faults->mutex);
        faults->lines.push_back(line);
    });
    ASSERT_EQ(driver->enable(), Result::Success);
    orvane_test::LogCapture log;
    const auto start = driver->get_current_joint_position();
    ASSERT_LT(start[0], controller_j1_upper);
    EXPECT_EQ(driver->run(cosine_trajectory(start, offset_by(start, 0, 0.5), 1.5)), Result::ErrorController);
    EXPECT_FALSE(driver->is_moving());
    EXPECT_EQ(log.count(orvane::log::Level::Error, "Robot faulted during motion execution."), 1u);
    EXPECT_EQ(log.empty_messages(), 0u);

    // The fault names the first instruction beyond the limit; the arm stands before it.
    const auto motions = sent_motions(*sim);
    const auto beyond = std::find_if(motions.begin(), motions.end(), [](const SentInstruction& m) {
        return planner_radians(m)[0] > controller_j1_upper + 1e-6;
    });
    ASSERT_NE(beyond, motions.end());
    {
        std::lock_guard lock(faults->mutex);
        ASSERT_EQ(faults->lines.size(), 1u);
        EXPECT_EQ(nlohmann::json::parse(faults->lines.front())["SequenceID"], beyond->sequence_id)
            << faults->lines.front();
    }
    const double j1 = sim->joint_position_deg()[0] / degrees_per_radian;
    EXPECT_LE(j1, controller_j1_upper);
    EXPECT_GT(j1, controller_j1_upper - 0.1) << "the instructions before it ran";
    EXPECT_TRUE(within(driver->get_current_joint_position(), offset_by(start, 0, j1 - start[0]), 1e-4));
    const auto alarms = driver->read_errors(1);
    ASSERT_TRUE(alarms.has_value() && !alarms->empty());
    EXPECT_THAT(alarms->front(), ::testing::HasSubstr("MOTN-017"));

    // Enabling recovers (reset, abort, initialise); a motion within the range runs.
    expect_usable_after_enable(*driver);
}

TEST_F(FaultTest, TerminationByTheControllerEndsTheRun) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 0.8), 2.0));
    ASSERT_TRUE(wait_for_instruction(10));
    const auto connections = sim->connection_count();
    sim->push_terminate();
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::ErrorControllerConnection);
    EXPECT_FALSE(driver->is_moving());
    ASSERT_TRUE(wait_for_new_link(connections));
    expect_usable_after_enable(*driver);
}

TEST_F(FaultTest, ADroppedLinkEndsTheRun) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 0.8), 2.0));
    ASSERT_TRUE(wait_for_instruction(10));
    const auto connections = sim->connection_count();
    sim->drop_connections();
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::ErrorControllerConnection);
    EXPECT_FALSE(driver->is_moving());
    ASSERT_TRUE(wait_for_new_link(connections));
    expect_usable_after_enable(*driver);
}

TEST_F(FaultTest, AnAnswerThatNeverComesEndsTheRun) {
    driver->instruction_timeout_margin = 0.3;
    ASSERT_EQ(driver->enable(), Result::Success);
    orvane_test::LogCapture log;
    const auto start = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 0.8), 2.0));
    ASSERT_TRUE(wait_for_instruction(5));
    const auto connections = sim->connection_count();
    sim->withhold_answers(true);
    ASSERT_TRUE(is_ready(run));
    // Nothing answers, commands included: a dead controller or a dead link.
    const auto result = run.get();
    EXPECT_TRUE(result == Result::ErrorController || result == Result::ErrorControllerConnection)
        << result.code;
    EXPECT_FALSE(driver->is_moving());
    sim->withhold_answers(false);
    if (result == Result::ErrorControllerConnection) ASSERT_TRUE(wait_for_new_link(connections));
    ASSERT_TRUE(eventually([&] { return driver->is_connected(); }));
    // Every line says what happened, none is a bare prefix.
    EXPECT_EQ(log.empty_messages(), 0u);
    EXPECT_GE(log.count(orvane::log::Level::Error, "No answer"), 1u);
    expect_usable_after_enable(*driver);
}

TEST_F(FaultTest, AJointValueNoInstructionCanCarryIsRefusedBeforeSending) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    auto good = cosine_trajectory(start, offset_by(start, 0, 0.3), 1.0);
    // A joint value no instruction can carry, half-way through.
    auto positions = good.positions();
    positions[positions.size() / 2][3] = 1e300;
    const orvane::Trajectory unsendable(good.times(), positions, good.velocities(), good.accelerations());
    sim->clear_records();
    auto run = driver->run_async(unsendable);
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::Error);
    EXPECT_FALSE(driver->is_moving());
    EXPECT_TRUE(sent_motions(*sim).empty());
    EXPECT_EQ(driver->run(good), Result::Success);
}

TEST_F(FaultTest, AnOverrideTurnedDownMidRunIsNotAFault) {
    driver->instruction_timeout_margin = 0.2;
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 5, 0.3), 0.5));
    ASSERT_TRUE(wait_for_instruction(3));
    sim->set_override(10);  // an operator at the pendant: each instruction now takes 240 ms
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::Success);
    EXPECT_TRUE(within(driver->get_current_joint_position(), offset_by(start, 5, 0.3), 1e-4));
}

TEST_F(FaultTest, APayloadSetDuringAStreamTakesItsTurnInTheSequence) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 0.4), 1.2));
    ASSERT_TRUE(wait_for_instruction(8));
    EXPECT_TRUE(driver->set_payload(3));
    EXPECT_EQ(sim->status().payload_schedule, 3);
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::Success);

    const auto instructions = sent_instructions(*sim);
    expect_consecutive_ids(instructions, 1);
    const auto payloads = std::count_if(instructions.begin(), instructions.end(),
                                        [](const auto& i) { return i.name == "FRC_SetPayLoad"; });
    EXPECT_EQ(payloads, 1);
    EXPECT_TRUE(sim->slow_downs().empty());
}

}  // namespace
}  // namespace fanuc_test
