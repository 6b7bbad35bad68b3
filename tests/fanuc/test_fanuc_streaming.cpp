// Streaming trajectories: to their end, validation, motion commands,
// replacement in flight, events and the motion state seen by users.
#include "fanuc/fanuc_fixture.hpp"

#include <atomic>
#include <future>
#include <string>
#include <thread>

namespace fanuc_test {
namespace {

using StreamingTest = FanucTest;

// The largest joint acceleration between consecutive instruction targets,
// as a share of that joint's limit: above 1 the stream jerked (a standing
// instruction in the middle, or a plan that ignored the present velocity).
double acceleration_share(const std::vector<SentInstruction>& motions, const orvane::RobotArm& arm) {
    const auto limits = arm.get_joint_limits();
    const double dt = 0.024;
    double share = 0.0;
    for (std::size_t i = 2; i < motions.size(); ++i) {
        const auto a = planner_radians(motions[i - 2]);
        const auto b = planner_radians(motions[i - 1]);
        const auto c = planner_radians(motions[i]);
        for (std::size_t j = 0; j < a.size(); ++j) {
            share = std::max(share, std::abs(c[j] - 2.0 * b[j] + a[j]) / (dt * dt) / limits[j].max_acceleration);
        }
    }
    return share;
}

// Gaps between instructions closer than pacing allows, as the controller saw
// them: "between instructions i and j: x us". The times are the simulator
// reader's, so a busy host may squeeze one gap; a burst squeezes two in a row
// (three instructions within two intervals).
std::vector<std::string> squeezed_gaps(const std::vector<std::chrono::steady_clock::time_point>& arrivals) {
    std::vector<std::string> squeezed;
    for (std::size_t i = 2; i < arrivals.size(); ++i) {
        const auto span = arrivals[i] - arrivals[i - 2];
        if (span < 8ms) {
            squeezed.push_back("between instructions " + std::to_string(i - 2) + " and " + std::to_string(i) + ": " +
                               std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(span).count()) +
                               " us");
        }
    }
    return squeezed;
}

TEST_F(StreamingTest, InstructionsReachTheControllerAtLeastFiveMillisecondsApart) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto origin = driver->get_current_joint_position();
    // A burst is the driver's and comes back every time; a reader held up by
    // a busy host is chance. So a squeezed gap counts only if every attempt
    // shows one.
    std::vector<std::string> attempts;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) ASSERT_EQ(driver->move_to(origin, false), Result::Success);
        const auto start = driver->get_current_joint_position();
        sim->clear_records();
        // Each of these fills the queue of unanswered instructions anew: a
        // fresh run, a hand-over to a motion planned in flight, a resume.
        ASSERT_EQ(driver->run(cosine_trajectory(start, offset_by(start, 0, 0.3), 0.6)), Result::Success);
        const auto here = driver->get_current_joint_position();
        auto replaced = driver->run_async(cosine_trajectory(here, offset_by(here, 1, 0.3), 2.0));
        ASSERT_TRUE(wait_for_instruction(static_cast<int>(sent_motions(*sim).size()) + 5));
        ASSERT_EQ(driver->move_to(start, false), Result::Success);
        EXPECT_EQ(replaced.get(), Result::ErrorTrajectoryAborted);
        auto paused = driver->run_async(cosine_trajectory(start, offset_by(start, 0, -0.5), 2.0));
        ASSERT_TRUE(wait_for_instruction(static_cast<int>(sent_motions(*sim).size()) + 10));
        ASSERT_TRUE(driver->pause());
        EXPECT_EQ(paused.get(), Result::ErrorTrajectoryAborted);
        EXPECT_EQ(driver->resume(), Result::Success);

        std::vector<std::chrono::steady_clock::time_point> arrivals;
        for (const auto& line : sim->received_lines()) {
            if (line.channel == "data" && line.line.find("\"Instruction\"") != std::string::npos) {
                arrivals.push_back(line.at);
            }
        }
        ASSERT_GT(arrivals.size(), 60u);
        const auto squeezed = squeezed_gaps(arrivals);
        if (squeezed.empty()) return;
        attempts.push_back("attempt " + std::to_string(attempt + 1) + ": " + std::to_string(squeezed.size()) +
                           " squeezed, first " + squeezed.front());
    }
    std::string report;
    for (const auto& line : attempts) report += line + "\n";
    ADD_FAILURE() << "instructions closer than pacing allows in every attempt:\n" << report;
}

TEST_F(StreamingTest, ATrajectoryIsStreamedToItsEnd) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    const std::vector<double> goal{0.4, 0.2, -0.1, 0.3, -0.2, 0.5};
    const auto trajectory = cosine_trajectory(start, goal, 1.2);
    ASSERT_EQ(driver->run(trajectory), Result::Success);

    // Success comes only once every instruction was answered.
    EXPECT_EQ(sim->status().queued_instructions, 0u);
    EXPECT_FALSE(driver->is_moving());
    EXPECT_FALSE(driver->is_running());

    const auto motions = sent_motions(*sim);
    expect_consecutive_ids(motions, 1);
    // Every instruction blends into the next but the last, which stops.
    for (std::size_t i = 0; i + 1 < motions.size(); ++i) EXPECT_EQ(motions[i].term_value, 100) << i;
    EXPECT_EQ(motions.back().term_value, 0);
    EXPECT_TRUE(within(planner_radians(motions.back()), goal, 1e-5));
    // One instruction per sample after the start; no sample twice.
    EXPECT_GE(motions.size(), trajectory.size() - 1);
    EXPECT_LE(motions.size(), trajectory.size() + 1);

    EXPECT_TRUE(sim->slow_downs().empty());
    EXPECT_TRUE(within(driver->get_current_joint_position(), goal, 1e-4));
    // Each sent sample was reported as the desired state.
    const auto desired = driver->get_desired_state();
    ASSERT_TRUE(desired.has_value());
    EXPECT_TRUE(within(desired->position, goal, 1e-9));
    EXPECT_NEAR(driver->get_total_motion_time(), trajectory.duration(), 0.05);
}

TEST_F(StreamingTest, SequenceIdsKeepCountingAcrossRuns) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    const auto there = offset_by(start, 0, 0.2);
    ASSERT_EQ(driver->run(cosine_trajectory(start, there, 0.4)), Result::Success);
    const auto first_run = sent_motions(*sim).size();
    ASSERT_EQ(driver->run(cosine_trajectory(there, start, 0.4)), Result::Success);
    const auto motions = sent_motions(*sim);
    EXPECT_GT(motions.size(), first_run);
    expect_consecutive_ids(motions, 1);
}

TEST_F(StreamingTest, InvalidRunsSendNothing) {
    const auto start = driver->get_current_joint_position();
    const auto fine = cosine_trajectory(start, offset_by(start, 0, 0.1), 0.3);
    EXPECT_EQ(driver->run(fine), Result::ErrorControllerEnableMotors);

    ASSERT_EQ(driver->enable(), Result::Success);
    EXPECT_EQ(driver->run(orvane::Trajectory(6)), Result::Error);
    EXPECT_EQ(driver->run(cosine_trajectory({0, 0, 0, 0, 0}, {0.1, 0, 0, 0, 0}, 0.3)), Result::Error);
    auto broken_positions = fine.positions();
    broken_positions[3][2] = std::nan("");
    const orvane::Trajectory broken(fine.times(), broken_positions, fine.velocities(), fine.accelerations());
    EXPECT_EQ(driver->run(broken), Result::Error);
    // Starts 0.05 rad away from where the robot stands.
    EXPECT_EQ(driver->run(cosine_trajectory(offset_by(start, 1, 0.05), start, 0.3)),
              Result::ErrorStartPositionDeviation);
    EXPECT_EQ(driver->resume(), Result::Error);  // nothing to resume
    EXPECT_TRUE(sent_motions(*sim).empty());
    EXPECT_FALSE(driver->is_moving());

    // None of them broke anything.
    EXPECT_EQ(driver->run(fine), Result::Success);
}

TEST_F(StreamingTest, MotionCommandsPlanFromTheMeasuredPosition) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const std::vector<double> goal{-0.3, 0.1, 0.2, 0.0, 0.4, -0.6};
    ASSERT_EQ(driver->move_to(goal, false), Result::Success);
    EXPECT_TRUE(within(driver->get_current_joint_position(), goal, 1e-4));

    const std::vector<double> waypoint{0.2, 0.0, 0.1, 0.2, 0.0, 0.0};
    planner->add_motion(orvane::Motion("over", arm, std::nullopt, orvane::Goal(waypoint)));
    ASSERT_EQ(driver->move_along("over", std::nullopt, false), Result::Success);
    EXPECT_TRUE(within(driver->get_current_joint_position(), waypoint, 1e-4));
    EXPECT_EQ(driver->move_along("no such motion", std::nullopt, false), Result::ErrorTrajectoryDidNotUpdate);

    // Blending from rest into a trajectory that starts elsewhere.
    const auto target = cosine_trajectory(goal, offset_by(goal, 3, 0.3), 0.6);
    ASSERT_EQ(driver->blend_into(target, 0.3), Result::Success);
    EXPECT_TRUE(within(driver->get_current_joint_position(), offset_by(goal, 3, 0.3), 1e-4));

    auto moved = driver->move_to_async(std::vector<double>(6, 0.0), false);
    ASSERT_TRUE(is_ready(moved));
    EXPECT_EQ(moved.get(), Result::Success);
    expect_consecutive_ids(sent_motions(*sim), 1);
    EXPECT_TRUE(sim->slow_downs().empty());
}

TEST_F(StreamingTest, AMotionRequestedWhileStreamingTakesOverSmoothly) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    auto first = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 1.0), 3.0));
    ASSERT_TRUE(wait_for_instruction(20));
    EXPECT_TRUE(driver->is_moving());
    EXPECT_TRUE(driver->is_running());

    const std::vector<double> goal{-0.2, 0.1, 0.0, 0.3, 0.0, 0.2};
    // A synchronous move from this thread: the stream goes on under it.
    EXPECT_EQ(driver->move_to(goal, false), Result::Success);
    ASSERT_TRUE(is_ready(first));
    EXPECT_EQ(first.get(), Result::ErrorTrajectoryAborted);

    const auto motions = sent_motions(*sim);
    expect_consecutive_ids(motions, 1);
    // One motion: the only stopping instruction is the last one.
    for (std::size_t i = 0; i + 1 < motions.size(); ++i) EXPECT_EQ(motions[i].term_value, 100) << i;
    // The plan continued the commanded motion: no velocity step.
    EXPECT_TRUE(sim->slow_downs().empty());
    EXPECT_LT(acceleration_share(motions, *arm), 1.05);
    EXPECT_TRUE(within(driver->get_current_joint_position(), goal, 1e-4));
}

TEST_F(StreamingTest, AReplacementMustStartWhereTheStreamIs) {
    driver->instruction_timeout_margin = 60.0;  // answers are held back below
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    auto first = driver->run_async(cosine_trajectory(start, offset_by(start, 1, 0.6), 2.0));
    ASSERT_TRUE(wait_for_instruction(5));
    // With answers held back the stream cannot advance: the last sent
    // sample stays put while we plan from it.
    sim->withhold_answers(true);
    std::optional<orvane::State> last;
    ASSERT_TRUE(eventually([&] {
        const auto before = driver->get_desired_state();
        std::this_thread::sleep_for(50ms);
        last = driver->get_desired_state();
        return before && last && before->position == last->position;
    }));
    const auto here = last->position;
    const auto goal = offset_by(here, 0, -0.2);

    EXPECT_THROW(driver->run_async(cosine_trajectory(offset_by(here, 2, 0.02), goal, 1.0)), orvane::OrvaneError);
    auto second = driver->run_async(cosine_trajectory(offset_by(here, 2, 0.005), goal, 1.0));
    ASSERT_TRUE(is_ready(first));
    EXPECT_EQ(first.get(), Result::ErrorTrajectoryAborted);

    sim->withhold_answers(false);
    ASSERT_TRUE(is_ready(second));
    EXPECT_EQ(second.get(), Result::Success);
    EXPECT_TRUE(within(driver->get_current_joint_position(), goal, 1e-4));
    expect_consecutive_ids(sent_motions(*sim), 1);
}

TEST_F(StreamingTest, ASynchronousRunReplacedFromAnotherThreadReturnsAborted) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    auto first = std::async(std::launch::async, [&] {
        return driver->run(cosine_trajectory(start, offset_by(start, 5, 1.5), 3.0));
    });
    ASSERT_TRUE(wait_for_instruction(10));
    auto second = std::async(std::launch::async, [&] { return driver->move_to(start, false); });
    ASSERT_TRUE(is_ready(first));
    EXPECT_EQ(first.get(), Result::ErrorTrajectoryAborted);
    ASSERT_TRUE(is_ready(second));
    EXPECT_EQ(second.get(), Result::Success);
    EXPECT_TRUE(within(driver->get_current_joint_position(), start, 1e-4));
    EXPECT_TRUE(sim->slow_downs().empty());
    EXPECT_LT(acceleration_share(sent_motions(*sim), *arm), 1.05);
}

TEST_F(StreamingTest, EventsFireDuringAStreamAndExpireWithTheMotion) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    std::atomic<int> fired{0};
    std::atomic<double> fired_at{-1.0};
    driver->add_event(orvane::drivers::Trigger::Time() >= 0.3, [&](double time) {
        fired_at = time;
        ++fired;
    });
    driver->add_event(orvane::drivers::Trigger::Time() >= 100.0, [&](double) { ++fired; });
    ASSERT_EQ(driver->run(cosine_trajectory(start, offset_by(start, 0, 0.2), 0.6)), Result::Success);
    EXPECT_EQ(fired.load(), 1);
    EXPECT_GE(fired_at.load(), 0.3);
    EXPECT_LT(fired_at.load(), 0.4);
    EXPECT_EQ(driver->get_event_count(), 0u);
}

TEST_F(StreamingTest, AConditionThatReadsAnInputDoesNotHoldTheStream) {
    // A condition runs under the sampling lock and here waits for an answer
    // read by the thread that also sends the next instructions: the stream
    // must neither stall nor deadlock on it.
    ASSERT_EQ(driver->enable(), Result::Success);
    driver->create_io_alias("part_present", 5, 6);
    const auto start = driver->get_current_joint_position();
    std::atomic<int> reads{0};
    std::atomic<int> fired{0};
    std::atomic<double> fired_at{-1.0};
    const orvane::drivers::Trigger input_is_on([&](const std::shared_ptr<orvane::Robot>&, double, const std::vector<double>&,
                                                   const orvane::Trajectory&) {
        ++reads;
        return driver->get_digital_input("part_present") == 1;
    });
    driver->add_event(input_is_on, [&](double time) {
        fired_at = time;
        ++fired;
    });
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 0.4), 1.2));
    ASSERT_TRUE(eventually([&] { return reads.load() >= 10; }));
    sim->set_digital_input(5, true);
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::Success);
    EXPECT_EQ(fired.load(), 1);
    EXPECT_GT(fired_at.load(), 0.0);
    EXPECT_TRUE(sim->slow_downs().empty());
    expect_consecutive_ids(sent_motions(*sim), 1);
}

TEST_F(StreamingTest, AnActionMayStartTheNextMotionButNotWaitForIt) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    const auto goal = offset_by(start, 0, 0.3);
    std::promise<std::shared_future<Result>> handed;
    auto handed_future = handed.get_future();
    std::atomic<bool> refused{false};
    driver->add_event(orvane::drivers::Trigger::Time() >= 0.2, [&](double) {
        // Synchronous: it would wait for the thread it runs on.
        refused = driver->move_to(goal, false) == Result::ErrorCommandAlreadyInProgress;
        handed.set_value(driver->move_to_async(goal, false));
    });
    EXPECT_EQ(driver->run(cosine_trajectory(start, offset_by(start, 1, 0.3), 1.0)), Result::ErrorTrajectoryAborted);
    ASSERT_TRUE(is_ready(handed_future));
    EXPECT_TRUE(refused.load());
    auto next = handed_future.get();
    ASSERT_TRUE(is_ready(next));
    EXPECT_EQ(next.get(), Result::Success);
    EXPECT_TRUE(within(driver->get_current_joint_position(), goal, 1e-4));
}

TEST_F(StreamingTest, CommandsMayRunWhileAStreamIsInFlight) {
    ASSERT_EQ(driver->enable(), Result::Success);
    driver->create_io_alias("sensor", 3, 4);
    sim->set_digital_input(3, true);
    const auto start = driver->get_current_joint_position();
    auto run = driver->run_async(cosine_trajectory(start, offset_by(start, 3, 0.5), 1.5));
    int reads = 0;
    while (run.wait_for(0ms) != std::future_status::ready && reads < 200) {
        EXPECT_EQ(driver->get_digital_input("sensor"), 1);
        EXPECT_EQ(driver->get_controller_status(), ControllerStatus::ReadyToMove);
        EXPECT_EQ(driver->get_current_joint_position().size(), 6u);
        ++reads;
    }
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::Success);
    EXPECT_GT(reads, 0);
    EXPECT_TRUE(sim->slow_downs().empty());
}

TEST_F(StreamingTest, DestroyingADriverWhileItStreamsWaitsAndThenAborts) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    const auto goal = offset_by(start, 2, 0.3);
    auto run = driver->run_async(cosine_trajectory(start, goal, 0.8));
    // Takes over at once or a little later; either way the stream goes on.
    auto pending = driver->move_to_async(offset_by(start, 0, 0.4), false);
    ASSERT_TRUE(wait_for_instruction(3));
    driver.reset();
    EXPECT_TRUE(is_ready(run, 0ms));
    EXPECT_TRUE(is_ready(pending, 0ms));
    EXPECT_GE(count_sent(*sim, "FRC_Abort"), 2u);  // enable's and the destructor's
    EXPECT_TRUE(sim->wait_until_motion_idle(wait_limit));
}

}  // namespace
}  // namespace fanuc_test
