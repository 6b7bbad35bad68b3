// The motion's life across the events that end it: a paused motion never
// outlives its link, a failed run is aborted once and left for the next
// enable, and planning a motion in flight never holds the stream.
#include "fanuc/fanuc_fixture.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace fanuc_test {
namespace {

using MotionLifeTest = FanucTest;

std::size_t count_instructions(const orvane::sim::ControllerSimulator& sim) { return sent_instructions(sim).size(); }

// The commands the controller received after the first `skip` data lines,
// joint readings (the deviation monitor's) left out.
std::vector<std::string> commands_after(const orvane::sim::ControllerSimulator& sim, std::size_t skip) {
    std::vector<std::string> names;
    const auto lines = sim.received_lines();
    for (std::size_t i = skip; i < lines.size(); ++i) {
        if (lines[i].channel != "data") continue;
        const auto packet = nlohmann::json::parse(lines[i].line, nullptr, false);
        if (!packet.is_object() || !packet.contains("Command")) continue;
        const auto name = packet["Command"].get<std::string>();
        if (name != "FRC_ReadJointAngles") names.push_back(name);
    }
    return names;
}

TEST_F(MotionLifeTest, APausedMotionEndsWithItsLinkAndNeverContinuesOnTheNext) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    std::atomic<int> late_event{0};
    driver->add_event(orvane::drivers::Trigger::Time() >= 2.5, [&](double) { ++late_event; });
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 1.0), 3.0));
    ASSERT_TRUE(wait_for_instruction(20));
    ASSERT_TRUE(driver->pause());
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::ErrorTrajectoryAborted);
    ASSERT_TRUE(sim->wait_until_motion_idle(wait_limit));
    EXPECT_EQ(driver->get_event_count(), 1u);  // paused: its events still wait

    const auto connections = sim->connection_count();
    sim->drop_connections();
    ASSERT_TRUE(wait_for_new_link(connections));
    ASSERT_EQ(driver->enable(), Result::Success);
    sim->clear_records();

    // The arm may have been moved by hand meanwhile: nothing of the old
    // motion is sent, and the answer says why.
    EXPECT_EQ(driver->resume(), Result::Error);
    EXPECT_NE(driver->get_last_error().find("no paused motion"), std::string::npos) << driver->get_last_error();
    EXPECT_EQ(driver->run_command(), Result::Error);
    EXPECT_TRUE(sent_motions(*sim).empty());
    // The paused motion ended with the link: its events went with it, and
    // the pause no longer holds the speed at 0.
    EXPECT_EQ(driver->get_event_count(), 0u);
    EXPECT_FALSE(driver->is_paused());
    EXPECT_EQ(late_event.load(), 0);

    // A new motion starts from where the arm is.
    const auto here = driver->get_current_joint_position();
    EXPECT_EQ(driver->run(cosine_trajectory(here, start, 1.0)), Result::Success);
    EXPECT_TRUE(within(driver->get_current_joint_position(), start, 1e-4));
}

TEST_F(MotionLifeTest, APausedMotionEndsWhenTheLinkIsClosedAndOpenedAgain) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 1, 0.4), 2.0));
    ASSERT_TRUE(wait_for_instruction(15));
    ASSERT_TRUE(driver->pause());
    ASSERT_TRUE(is_ready(run));
    ASSERT_TRUE(sim->wait_until_motion_idle(wait_limit));

    driver->disconnect();
    ASSERT_TRUE(driver->reconnect());
    ASSERT_EQ(driver->enable(), Result::Success);
    sim->clear_records();
    EXPECT_EQ(driver->resume(), Result::Error);
    EXPECT_TRUE(sent_motions(*sim).empty());
}

TEST_F(MotionLifeTest, AFailedRunAbortsOnceAndLeavesTheInitialisationToTheNextEnable) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto before = sim->received_line_count();
    sim->refuse_sequence_id(6, orvane::sim::error_id::invalid_speed);
    const auto start = driver->get_current_joint_position();
    EXPECT_EQ(driver->run(cosine_trajectory(start, offset_by(start, 0, 0.5), 1.5)), Result::ErrorController);
    EXPECT_TRUE(sim->wait_until_motion_idle(wait_limit));

    // The queued instructions were aborted, and nothing more: RMI is not
    // initialised again by a driver that is disabled right after.
    EXPECT_EQ(commands_after(*sim, before), std::vector<std::string>{"FRC_Abort"});
    EXPECT_FALSE(driver->is_enabled());
    EXPECT_EQ(driver->run(cosine_trajectory(start, start, 0.1)), Result::ErrorControllerEnableMotors);

    const auto enabling = sim->received_line_count();
    ASSERT_EQ(driver->enable(), Result::Success);
    EXPECT_EQ(commands_after(*sim, enabling),
              (std::vector<std::string>{"FRC_Reset", "FRC_Abort", "FRC_Initialize", "FRC_GetStatus"}));
    const auto here = driver->get_current_joint_position();
    EXPECT_EQ(driver->run(cosine_trajectory(here, start, 0.6)), Result::Success);
}

TEST_F(MotionLifeTest, AStopFromAnEventActionEndsTheRunItRunsIn) {
    ASSERT_EQ(driver->enable(), Result::Success);
    for (const bool disables : {false, true}) {
        const auto start = driver->get_current_joint_position();
        std::promise<Result> stopped;
        auto stopped_future = stopped.get_future();
        driver->add_event(orvane::drivers::Trigger::Time() >= 0.3, [&](double) {
            // On the streaming thread, which cannot wait for its own run to end.
            stopped.set_value(disables ? driver->disable() : driver->stop(true));
        });
        const auto before = sim->received_line_count();
        EXPECT_EQ(driver->run(cosine_trajectory(start, offset_by(start, 0, 0.6), 2.0)), Result::ErrorTrajectoryAborted);
        ASSERT_TRUE(is_ready(stopped_future));
        EXPECT_EQ(stopped_future.get(), Result::Success) << disables;
        EXPECT_TRUE(sim->wait_until_motion_idle(wait_limit));
        EXPECT_FALSE(driver->is_moving());
        // Nothing was sent after the abort.
        const auto lines = sim->received_lines();
        bool aborted = false;
        for (std::size_t i = before; i < lines.size(); ++i) {
            if (lines[i].line.find("\"FRC_Abort\"") != std::string::npos) aborted = true;
            if (aborted) EXPECT_EQ(lines[i].line.find("\"Instruction\""), std::string::npos) << lines[i].line;
        }
        EXPECT_TRUE(aborted);
        EXPECT_EQ(driver->is_enabled(), !disables);
        if (disables) ASSERT_EQ(driver->enable(), Result::Success);
        const auto here = driver->get_current_joint_position();
        EXPECT_EQ(driver->run(cosine_trajectory(here, start, 0.6)), Result::Success) << disables;
    }
}

TEST_F(MotionLifeTest, AMotionRequestedRightAfterStopAsyncWaitsForTheStop) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    for (int attempt = 0; attempt < 3; ++attempt) {
        sim->clear_records();
        auto run = driver->run_async(cosine_trajectory(driver->get_current_joint_position(),
                                                      offset_by(start, 1, attempt % 2 == 0 ? 0.5 : -0.5), 2.0));
        ASSERT_TRUE(eventually([&] { return sent_motions(*sim).size() >= 5; }));
        auto stopping = driver->stop_async(true);
        // Requested once stop_async returned: never handed to the run the stop ends.
        auto next = driver->move_to_async(start, false);
        ASSERT_TRUE(is_ready(stopping));
        EXPECT_EQ(stopping.get(), Result::Success) << attempt;
        ASSERT_TRUE(is_ready(run));
        EXPECT_EQ(run.get(), Result::ErrorTrajectoryAborted) << attempt;
        ASSERT_TRUE(is_ready(next));
        EXPECT_EQ(next.get(), Result::Success) << attempt;
        EXPECT_TRUE(within(driver->get_current_joint_position(), start, 1e-4)) << attempt;
    }
}

// An arm whose planning can be held at a gate: the planner reads the joint
// limits as it starts, and the gate holds that read once when armed.
class HeldArm : public orvane::RobotArm {
public:
    explicit HeldArm(const orvane::RobotArm& model)
        : orvane::RobotArm(model.name, model.joints(), model.tool(), model.base()) {
        control_rate = model.control_rate;
    }

    std::vector<orvane::JointLimits> get_joint_limits() const override {
        std::unique_lock lock(mutex);
        if (armed) {
            armed = false;
            held = true;
            changed.notify_all();
            changed.wait_for(lock, wait_limit, [this] { return !held; });
        }
        return orvane::RobotArm::get_joint_limits();
    }

    void arm() {
        std::lock_guard lock(mutex);
        armed = true;
    }
    bool wait_until_held() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, wait_limit, [this] { return held; });
    }
    void release() {
        {
            std::lock_guard lock(mutex);
            held = false;
        }
        changed.notify_all();
    }

private:
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    mutable bool armed{false};
    mutable bool held{false};
};

TEST_F(MotionLifeTest, PlanningAMotionInFlightDoesNotHoldTheStream) {
    auto held = std::make_shared<HeldArm>(*arm);
    auto held_planner = std::make_shared<orvane::Planner>(held, 0.024);
    driver.reset();
    driver = std::make_unique<FanucDriver>(held_planner, held, sim->config().address, false, true);
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    auto first = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 1.0), 4.0));
    ASSERT_TRUE(wait_for_instruction(10));

    held->arm();
    const std::vector<double> goal{-0.2, 0.1, 0.0, 0.3, 0.0, 0.2};
    auto second = driver->move_to_async(goal, false);
    ASSERT_TRUE(held->wait_until_held());
    // While the plan is held, the stream goes on: more than the queue of
    // unanswered instructions reaches the controller.
    const auto at_hold = count_instructions(*sim);
    const bool streamed = eventually([&] { return count_instructions(*sim) >= at_hold + 8; }, 10s);
    held->release();
    EXPECT_TRUE(streamed) << "the stream stood still while a motion was planned";

    ASSERT_TRUE(is_ready(first));
    EXPECT_EQ(first.get(), Result::ErrorTrajectoryAborted);
    ASSERT_TRUE(is_ready(second));
    EXPECT_EQ(second.get(), Result::Success);
    EXPECT_TRUE(within(driver->get_current_joint_position(), goal, 1e-4));
    const auto motions = sent_motions(*sim);
    expect_consecutive_ids(motions, 1);
    // One motion: the only stopping instruction is the last one, and the
    // controller's queue never ran dry.
    for (std::size_t i = 0; i + 1 < motions.size(); ++i) EXPECT_EQ(motions[i].term_value, 100) << i;
    EXPECT_TRUE(sim->slow_downs().empty());
}

}  // namespace
}  // namespace fanuc_test
