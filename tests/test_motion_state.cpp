// The motion's life: its transition table as a whole (every phase reachable,
// no dead end, no second way into a phase by the same event), the checks of
// apply(), and a run's record of why it ends.
#include <array>
#include <future>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "orvane/drivers/motion_state.hpp"
#include "orvane/log/orvane_error.hpp"

namespace {

using orvane::drivers::MotionEvent;
using orvane::drivers::MotionPhase;
using orvane::drivers::MotionState;
using RunRecord = orvane::drivers::Run;
using orvane::drivers::RunEnd;
using orvane::drivers::transition_target;

constexpr std::array phases{MotionPhase::disabled, MotionPhase::enabling, MotionPhase::ready,
                            MotionPhase::streaming, MotionPhase::draining, MotionPhase::ending,
                            MotionPhase::paused,   MotionPhase::stopping, MotionPhase::closed};

constexpr std::array events{
    MotionEvent::enable_started,   MotionEvent::enabled,        MotionEvent::enable_failed,
    MotionEvent::run_started,      MotionEvent::resumed,        MotionEvent::handed_over,
    MotionEvent::last_sample_sent, MotionEvent::sending_again,  MotionEvent::run_ended,
    MotionEvent::run_cut_off,      MotionEvent::run_failed,     MotionEvent::motion_closed,
    MotionEvent::motion_kept,      MotionEvent::motion_cut_off, MotionEvent::paused_motion_ended,
    MotionEvent::link_lost,        MotionEvent::stop_started,   MotionEvent::stop_left_ready,
    MotionEvent::stop_left_disabled, MotionEvent::closed};

std::map<MotionPhase, std::set<MotionPhase>> successors() {
    std::map<MotionPhase, std::set<MotionPhase>> next;
    for (const auto from : phases) {
        for (const auto event : events) {
            if (const auto to = transition_target(event, from)) next[from].insert(*to);
        }
    }
    return next;
}

std::set<MotionPhase> reachable_from(MotionPhase start) {
    const auto next = successors();
    std::set<MotionPhase> seen{start};
    std::vector<MotionPhase> open{start};
    while (!open.empty()) {
        const auto phase = open.back();
        open.pop_back();
        const auto found = next.find(phase);
        if (found == next.end()) continue;
        for (const auto to : found->second) {
            if (seen.insert(to).second) open.push_back(to);
        }
    }
    return seen;
}

TEST(MotionStateTable, EveryPhaseIsReachableFromDisabledAndEveryPhaseCanReachClosed) {
    EXPECT_EQ(reachable_from(MotionPhase::disabled).size(), phases.size());
    for (const auto phase : phases) {
        EXPECT_TRUE(reachable_from(phase).contains(MotionPhase::closed)) << to_string(phase) << " is a dead end";
    }
    // Closed is the end: nothing leads out of it.
    EXPECT_EQ(reachable_from(MotionPhase::closed), std::set<MotionPhase>{MotionPhase::closed});
}

TEST(MotionStateTable, EveryEventHasARowAndEveryPhaseWithMotionCanBeStopped) {
    for (const auto event : events) {
        bool has_row = false;
        for (const auto phase : phases) has_row = has_row || transition_target(event, phase).has_value();
        EXPECT_TRUE(has_row) << to_string(event) << " leads nowhere";
    }
    // A user can stop whatever moves or holds a motion; the short owned
    // phases are waited for instead.
    for (const auto phase : {MotionPhase::ready, MotionPhase::streaming, MotionPhase::draining, MotionPhase::paused}) {
        EXPECT_EQ(transition_target(MotionEvent::stop_started, phase), MotionPhase::stopping) << to_string(phase);
    }
    for (const auto phase : {MotionPhase::enabling, MotionPhase::ending, MotionPhase::stopping, MotionPhase::closed}) {
        EXPECT_FALSE(transition_target(MotionEvent::stop_started, phase).has_value()) << to_string(phase);
    }
}

TEST(MotionStateTable, NothingMovesWithoutEnablingAndNoMotionOutlivesTheLink) {
    // No event starts a run from a phase that is not enabled.
    for (const auto phase : {MotionPhase::disabled, MotionPhase::enabling, MotionPhase::stopping, MotionPhase::closed}) {
        for (const auto event : {MotionEvent::run_started, MotionEvent::resumed, MotionEvent::handed_over}) {
            EXPECT_FALSE(transition_target(event, phase).has_value()) << to_string(event) << " from " << to_string(phase);
        }
    }
    // Losing the link never keeps a motion: every way it acts ends in disabled.
    EXPECT_EQ(transition_target(MotionEvent::link_lost, MotionPhase::ready), MotionPhase::disabled);
    EXPECT_EQ(transition_target(MotionEvent::run_cut_off, MotionPhase::streaming), MotionPhase::ending);
    EXPECT_EQ(transition_target(MotionEvent::motion_cut_off, MotionPhase::ending), MotionPhase::disabled);
    EXPECT_FALSE(transition_target(MotionEvent::link_lost, MotionPhase::paused).has_value())
        << "a paused motion must end (paused_motion_ended) before the driver is disabled";
    // A failed run aborts; it does not end up ready (enabled) by itself.
    EXPECT_EQ(transition_target(MotionEvent::run_failed, MotionPhase::draining), MotionPhase::stopping);
}

TEST(MotionState, ApplyFollowsTheTableAndRefusesAnythingElse) {
    MotionState state;
    EXPECT_EQ(state.phase(), MotionPhase::disabled);
    const auto before = state.changes();
    state.apply(MotionEvent::enable_started);
    state.apply(MotionEvent::enabled);
    EXPECT_EQ(state.phase(), MotionPhase::ready);
    EXPECT_EQ(state.published_phase(), MotionPhase::ready);
    EXPECT_EQ(state.changes(), before + 2);

    try {
        state.apply(MotionEvent::sending_again);  // no run, nothing to send again
        FAIL() << "a transition outside the table was applied";
    } catch (const orvane::OrvaneError& error) {
        EXPECT_NE(error.message.find("sending_again"), std::string::npos) << error.message;
        EXPECT_NE(error.message.find("ready"), std::string::npos) << error.message;
    }
    // Refused, so nothing changed.
    EXPECT_EQ(state.phase(), MotionPhase::ready);
    EXPECT_EQ(state.changes(), before + 2);

    auto run = std::make_shared<RunRecord>(state.next_run_serial());
    state.set_run(run);
    state.apply(MotionEvent::run_started);
    EXPECT_EQ(state.published_run(), run->serial);
    state.apply(MotionEvent::last_sample_sent);
    state.apply(MotionEvent::run_ended);
    state.apply(MotionEvent::motion_kept);
    EXPECT_EQ(state.phase(), MotionPhase::paused);
    state.clear_run();
    EXPECT_EQ(state.published_run(), 0u);
    EXPECT_NE(state.next_run_serial(), run->serial);
}

TEST(RunRecord, TheFirstReasonToEndStaysAndAnErrorEndsItAsFailed) {
    RunRecord stopped(1);
    EXPECT_FALSE(stopped.has_failed());
    EXPECT_TRUE(stopped.fail(RunEnd::stopped));
    EXPECT_FALSE(stopped.fail(RunEnd::failed));
    EXPECT_EQ(stopped.failure(), RunEnd::stopped);
    EXPECT_EQ(stopped.error(), nullptr);

    RunRecord broken(2);
    broken.fail_with(std::make_exception_ptr(orvane::OrvaneError("driver", "first")));
    broken.fail_with(std::make_exception_ptr(orvane::OrvaneError("driver", "second")));
    EXPECT_EQ(broken.failure(), RunEnd::failed);
    try {
        std::rethrow_exception(broken.error());
    } catch (const orvane::OrvaneError& error) {
        EXPECT_EQ(error.message, "first");
    }

    // Threads racing to end a run: exactly one of them records its reason.
    RunRecord raced(3);
    std::vector<std::future<bool>> racers;
    for (int i = 0; i < 8; ++i) {
        racers.push_back(std::async(std::launch::async, [&raced, i] {
            return raced.fail(i % 2 == 0 ? RunEnd::stopped : RunEnd::link_lost);
        }));
    }
    int recorded = 0;
    for (auto& racer : racers) recorded += racer.get() ? 1 : 0;
    EXPECT_EQ(recorded, 1);
}

}  // namespace
