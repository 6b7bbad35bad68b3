// Events evaluated by the control loop of a running motion.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "driver/loop_driver.hpp"

namespace {

using orvane::drivers::Action;
using orvane::drivers::Result;
using orvane::drivers::Trigger;
using orvane::drivers::testing::line_trajectory;
using orvane::drivers::testing::LogCapture;
using orvane::drivers::testing::LoopDriver;

// What the actions saw, written on the control-loop thread.
struct Journal {
    void add(std::string entry, double time) {
        std::lock_guard lock(mutex);
        entries.emplace_back(std::move(entry), time);
    }
    std::vector<std::pair<std::string, double>> read() const {
        std::lock_guard lock(mutex);
        return entries;
    }
    mutable std::mutex mutex;
    std::vector<std::pair<std::string, double>> entries;
};

// A trigger that records the times at which it was evaluated.
Trigger recording(std::shared_ptr<Journal> journal, std::string name, bool result) {
    return Trigger([journal, name, result](const std::shared_ptr<orvane::Robot>&, double time,
                                          const std::vector<double>&, const orvane::Trajectory&) {
        journal->add(name, time);
        return result;
    });
}

Action logging(std::shared_ptr<Journal> journal, std::string name) {
    return Action([journal, name](double time) { journal->add(name, time); });
}

class DriverEvents : public ::testing::Test {
protected:
    std::shared_ptr<orvane::RobotArm> arm = orvane::robots::fanuc_lrmate200id();
    LoopDriver driver{std::make_shared<orvane::Planner>(arm, 0.01), arm};
    std::shared_ptr<Journal> journal = std::make_shared<Journal>();
    const std::vector<double> zero = std::vector<double>(6, 0.0);
    // Joint 1 moves from 0 to 1 rad in 2 s.
    const orvane::Trajectory trajectory = line_trajectory(zero, {1.0, 0, 0, 0, 0, 0}, 2.0);

    std::vector<std::pair<std::string, double>> run_and_read() {
        EXPECT_EQ(driver.run(trajectory), Result::Success);
        return journal->read();
    }
};

TEST_F(DriverEvents, FireOnceInRegistrationOrder) {
    // The second trigger records whether the first action had already run
    // when it was evaluated in the same step.
    auto first_ran = std::make_shared<std::atomic<bool>>(false);
    auto second_saw_first = std::make_shared<std::atomic<bool>>(false);
    driver.add_event(Trigger::Time() > 1.0, Action([this, first_ran](double time) {
                         first_ran->store(true);
                         journal->add("first", time);
                     }));
    driver.add_event(Trigger::Time() > 1.0 && Trigger([first_ran, second_saw_first](
                                                          const std::shared_ptr<orvane::Robot>&, double,
                                                          const std::vector<double>&, const orvane::Trajectory&) {
                         second_saw_first->store(first_ran->load());
                         return true;
                     }),
                     logging(journal, "second"));
    driver.add_event(Trigger::TimeToGoal() < 0.2, logging(journal, "near goal"));
    driver.add_event(Trigger::JointPosition(0) >= 0.45, logging(journal, "nearly half way"));
    EXPECT_EQ(driver.get_event_count(), 4u);

    const auto entries = run_and_read();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].first, "nearly half way");
    EXPECT_EQ(entries[1].first, "first");
    EXPECT_EQ(entries[2].first, "second");
    EXPECT_EQ(entries[3].first, "near goal");
    // The action gets the step's time: the first step past the threshold.
    EXPECT_GT(entries[1].second, 1.0);
    EXPECT_LT(entries[1].second, 1.0 + 0.011);
    EXPECT_EQ(entries[2].second, entries[1].second);  // same step
    EXPECT_TRUE(second_saw_first->load());
    EXPECT_GT(entries[3].second, 1.8);
    EXPECT_LT(entries[3].second, 1.8 + 0.011);
    // The time handed over is the playback time after the step's sample.
    EXPECT_GT(entries[0].second, 0.9);
    EXPECT_LT(entries[0].second, 0.9 + 0.025);
    EXPECT_EQ(driver.get_event_count(), 0u);
}

TEST_F(DriverEvents, CombinationsShortCircuit) {
    // &&: the right side only in steps where the left holds.
    driver.add_event(Trigger::Time() > 1.0 && recording(journal, "and-right", false), logging(journal, "never"));
    // ||: the right side only in steps where the left fails; it fires at 1.5.
    driver.add_event(Trigger::Time() > 1.5 || recording(journal, "or-right", false), logging(journal, "or fired"));
    const auto entries = run_and_read();

    std::size_t and_right = 0, or_right = 0;
    double or_fired_at = -1.0;
    for (const auto& [name, time] : entries) {
        if (name == "and-right") {
            ++and_right;
            EXPECT_GT(time, 1.0);
        } else if (name == "or-right") {
            ++or_right;
            EXPECT_LE(time, 1.5);
        } else if (name == "or fired") {
            or_fired_at = time;
        } else {
            ADD_FAILURE() << "unexpected entry " << name;
        }
    }
    EXPECT_GT(and_right, 50u);  // evaluated in every step after 1.0 s
    EXPECT_GT(or_right, 100u);  // evaluated in every step up to 1.5 s
    EXPECT_GT(or_fired_at, 1.5);
    // The "never" event waited to the end and was then dropped unrun.
    EXPECT_EQ(driver.get_event_count(), 0u);
}

TEST_F(DriverEvents, WaitingEventsAreDroppedAtTheEndOfTheMotion) {
    auto ran = std::make_shared<std::atomic<int>>(0);
    driver.add_event(Trigger::Time() > 100.0, Action([ran](double) { ran->fetch_add(1); }));
    // Added while idle: waits for the next motion.
    EXPECT_EQ(driver.get_event_count(), 1u);
    EXPECT_EQ(driver.run(trajectory), Result::Success);
    EXPECT_EQ(driver.get_event_count(), 0u);
    EXPECT_EQ(ran->load(), 0);

    // Not carried into the next motion either.
    EXPECT_EQ(driver.run(line_trajectory({1.0, 0, 0, 0, 0, 0}, zero, 0.2)), Result::Success);
    EXPECT_EQ(ran->load(), 0);
}

TEST_F(DriverEvents, AnActionMayAddAnEvent) {
    driver.add_event(Trigger::Time() > 0.5, Action([this](double time) {
                         journal->add("outer", time);
                         // Would hold at once; it is added when this step's walk ends.
                         driver.add_event(Trigger::Time() > 0.0, logging(journal, "inner"));
                     }));
    driver.add_event(Trigger::Time() > 0.5, logging(journal, "sibling"));
    const auto entries = run_and_read();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].first, "outer");
    EXPECT_EQ(entries[1].first, "sibling");
    EXPECT_EQ(entries[1].second, entries[0].second);
    EXPECT_EQ(entries[2].first, "inner");
    EXPECT_GT(entries[2].second, entries[0].second);  // the next step
    EXPECT_LT(entries[2].second, entries[0].second + 0.011);
}

TEST_F(DriverEvents, FailingConditionsAndActionsAreDroppedAndLogged) {
    LogCapture log;
    driver.add_event(Trigger::Time() > 0.2, Action([](double) { throw std::runtime_error("action broke"); }));
    driver.add_event(Trigger::JointPosition(6) > 0.0, logging(journal, "out of range"));
    driver.add_event(Trigger::Time() > 0.5, logging(journal, "later"));
    driver.add_event(Trigger(), logging(journal, "no condition"));
    const auto entries = run_and_read();  // the motion runs to its end
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].first, "later");
    EXPECT_EQ(driver.get_event_count(), 0u);

    const std::string text = log.text();
    const auto count = [&](const std::string& needle) {
        std::size_t n = 0;
        for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
        return n;
    };
    // Each failure once (the event is gone after it), at level Error.
    EXPECT_EQ(count("[orvane.driver] An event's action failed and the event was removed: action broke"), 1u)
        << text;
    EXPECT_EQ(count("[orvane.driver] An event's condition failed and the event was removed: "), 2u) << text;
    EXPECT_NE(text.find("\033[1;31m[orvane.driver] An event's"), std::string::npos) << text;
}

TEST_F(DriverEvents, AddingFromOtherThreadsWhileRunning) {
    // Each event counts its firings; events hold at every step.
    auto firings = std::make_shared<std::vector<std::atomic<int>>>(100);
    auto motion = driver.run_async(line_trajectory(zero, {1.0, 0, 0, 0, 0, 0}, 1.0));
    std::vector<std::thread> adders;
    for (int t = 0; t < 2; ++t) {
        adders.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const int id = t * 50 + i;
                driver.add_event(Trigger::Time() >= 0.0,
                                 Action([firings, id](double) { (*firings)[static_cast<std::size_t>(id)].fetch_add(1); }));
            }
        });
    }
    for (auto& adder : adders) adder.join();
    EXPECT_EQ(motion.get(), Result::Success);
    // Fired at most once each, or dropped at the end of the motion.
    for (std::size_t id = 0; id < firings->size(); ++id) EXPECT_LE((*firings)[id].load(), 1) << "event " << id;
    EXPECT_EQ(driver.get_event_count(), 0u);
}

}  // namespace
