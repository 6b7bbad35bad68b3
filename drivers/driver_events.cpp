// Events: registration and the evaluation once per control step.
#include <exception>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "orvane/drivers/driver.hpp"
#include "orvane/log/log.hpp"

namespace orvane::drivers {

namespace {

const std::string tag = "driver";

void report_event_failure(const char* what, const std::exception_ptr& error) {
    std::string message = std::string("An event's ") + what + " failed and the event was removed: ";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        message += e.what();
    } catch (...) {
        message += "unknown exception";
    }
    log::log_error(tag, message);
}

}  // namespace

void Driver::add_event(const Trigger& trigger, const Action& action) {
    if (events_walker.load() == std::this_thread::get_id()) {
        // From an action: the walk holds the lock and the list; append when it ends.
        deferred_events.emplace_back(trigger, action);
        events_waiting = true;
        return;
    }
    std::lock_guard lock(events_mutex);
    events.emplace_back(trigger, action);
    events_waiting = true;
}

std::size_t Driver::get_event_count() const {
    std::lock_guard lock(events_mutex);
    return events.size();
}

void Driver::check_for_events(double time, const std::vector<double>& position) {
    std::unique_lock lock(events_mutex);
    if (events.empty()) return;

    events_walker.store(std::this_thread::get_id());
    struct WalkEnd {
        Driver& driver;
        ~WalkEnd() { driver.events_walker.store(std::thread::id{}); }
    } walk_end{*this};

    // Removed pairs are destroyed after the lock is released (see
    // on_motion_did_finish).
    std::vector<std::pair<Trigger, Action>> finished;
    std::size_t cursor = 0;
    while (cursor < events.size()) {
        bool holds = false;
        try {
            // Conditions read the trajectory, which the sampling lock guards;
            // actions run without it, so that they may change the speed.
            std::lock_guard sampling(sampling_mutex);
            holds = events[cursor].first.condition(robot, time, position, trajectory);
        } catch (...) {
            report_event_failure("condition", std::current_exception());
            holds = false;
            finished.push_back(std::move(events[cursor]));
            events.erase(events.begin() + static_cast<std::ptrdiff_t>(cursor));
            continue;
        }
        if (!holds) {
            ++cursor;
            continue;
        }
        // Out of the list before it runs: an event fires at most once, even
        // when its action fails.
        finished.push_back(std::move(events[cursor]));
        events.erase(events.begin() + static_cast<std::ptrdiff_t>(cursor));
        try {
            finished.back().second.callback(time);
        } catch (...) {
            report_event_failure("action", std::current_exception());
        }
    }

    if (discard_events_after_walk) {
        discard_events_after_walk = false;
        std::move(events.begin(), events.end(), std::back_inserter(finished));
        events.clear();
    }
    std::move(deferred_events.begin(), deferred_events.end(), std::back_inserter(events));
    deferred_events.clear();
    events_waiting = !events.empty();
    lock.unlock();
}

}  // namespace orvane::drivers
