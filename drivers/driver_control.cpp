// The control-step hooks, the motion log, speed and pause, and the
// synchronous wrappers of the asynchronous motion operations.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "orvane/drivers/driver.hpp"
#include "orvane/drivers/durations.hpp"
#include "orvane/log/log.hpp"

namespace orvane::drivers {

namespace {

const std::string tag = "driver";

// Below this user speed the driver counts as paused (2^-52).
constexpr double paused_speed = 0x1p-52;

// Longest speed or pause ramp. A longer one is taken as this long: a ramp of
// hours (or 1e308 s) would advance by nothing each control step, so a pause
// would never take effect and the reported speed would never be reached.
// A minute is far beyond any deliberate ramp and keeps every step resolvable.
constexpr double max_ramp_duration = 60.0;

// The speed to use for `requested`: NaN and infinities are refused (they
// would be stored and ramped towards later, on reset and resume), and the
// rest is kept within [0, 1], the speed stored included, so that reset_speed
// and the end of a motion restore what the robot actually ran at.
std::optional<double> accepted_speed(double requested) {
    if (!std::isfinite(requested)) {
        log::log_warn(tag, "Refused the speed " + std::to_string(requested) + ": a speed is a factor from 0 to 1.");
        return std::nullopt;
    }
    if (requested < 0.0 || requested > 1.0) {
        const double clamped = std::clamp(requested, 0.0, 1.0);
        log::log_warn(tag, "The speed " + std::to_string(requested) + " lies outside 0 to 1; using " +
                               std::to_string(clamped) + ".");
        return clamped;
    }
    return requested;
}

template <class T>
std::future<T> ready_future(T value) {
    std::promise<T> promise;
    promise.set_value(std::move(value));
    return promise.get_future();
}

// One motion-log line. It goes through the logging queue (so it never
// interleaves with other lines) but bypasses the level threshold: motion
// logging is switched on by ORVANE_LOG_MOTIONS alone.
void print_motion_line(std::string text) {
    log::Log entry{log::Level::Info, std::move(text)};
    if (log::async_printer().push(std::move(entry))) return;
    // The queue has stopped (the process exits): print here instead.
    try {
        log::log_printer()(entry);
    } catch (...) {
    }
}

void log_motion(const std::vector<double>& position, const std::vector<double>& velocity) {
    using std::chrono::duration_cast;
    using std::chrono::microseconds;
    using std::chrono::system_clock;
    const std::int64_t step = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    const std::string prefix = "[orvane.driver.log_motion] step=" + std::to_string(step) + " | ";
    print_motion_line(prefix + "desired_position=[" + join(position, 6) + "]");
    print_motion_line(prefix + "desired_velocity=[" + join(velocity, 6) + "]");
}

}  // namespace

// --- control-step hooks ---------------------------------------------------------

void Driver::store_desired_state(const std::vector<double>& position, const std::vector<double>& velocity) {
    std::lock_guard lock(desired_state_mutex);
    if (desired_state) {
        // assign() reuses the vectors' storage step after step.
        desired_state->position.assign(position.begin(), position.end());
        desired_state->velocity.assign(velocity.begin(), velocity.end());
    } else {
        orvane::State state;
        state.position = position;
        state.velocity = velocity;
        desired_state = std::move(state);
    }
}

void Driver::on_desired_state(const std::vector<double>& position, const std::vector<double>& velocity) {
    double time = 0.0;
    {
        std::lock_guard lock(sampling_mutex);
        time = time_scaler.time;
    }
    on_desired_state(position, velocity, time);
}

void Driver::on_desired_state(const std::vector<double>& position, const std::vector<double>& velocity,
                              double time) {
    store_desired_state(position, velocity);
    if (log_motions) log_motion(position, velocity);
    check_for_events(time, position);
}

void Driver::on_motion_did_finish() {
    double played = 0.0;
    {
        std::lock_guard lock(sampling_mutex);
        // Under the sampling lock, so that pause_async sees either the
        // running motion (and its ramp is settled below) or an idle driver
        // (and the speed it sets is not undone here).
        is_running_flag.store(false);
        is_pausing.store(false);
        if (time_scaler.is_moving_scale_user) {
            // The motion ended before the ramp did: a pause waiting on it was
            // not reached. Its promise is still open, since a ramp that
            // reached its target is no longer moving.
            std::exchange(time_scaler.scale_movement_finished, std::promise<bool>()).set_value(false);
        }
        set_speed_locked(speed);
        played = time_scaler.time;
    }
    total_motion_time.fetch_add(played);

    // Events are registered per motion: the ones that did not fire go now.
    if (events_walker.load() == std::this_thread::get_id()) {
        // Called from an action: the walk holds the list; it discards them.
        discard_events_after_walk = true;
        return;
    }
    std::vector<std::pair<Trigger, Action>> discarded;
    {
        std::lock_guard lock(events_mutex);
        discarded.swap(events);
        events_waiting = false;
    }
    // Destroyed outside the lock: an action that wraps a foreign callable
    // (Python) may need another lock to be released.
}

// --- speed and pause --------------------------------------------------------------

void Driver::set_speed_locked(double new_speed) {
    speed = new_speed;
    time_scaler.stop_scale_user_movement();
    time_scaler.set_scale_user(new_speed);
}

void Driver::settle_overtaken_pause() {
    // A speed change while a pause ramps down overtakes it: the pause did not
    // reach standstill (its waiters got false), and a later pause may start.
    if (time_scaler.is_moving_scale_user) is_pausing.store(false);
}

void Driver::set_speed(double new_speed) {
    const auto accepted = accepted_speed(new_speed);
    if (!accepted) return;
    std::lock_guard lock(sampling_mutex);
    settle_overtaken_pause();
    set_speed_locked(*accepted);
}

void Driver::set_speed(double new_speed, double duration) {
    const auto accepted = accepted_speed(new_speed);
    if (!accepted) return;
    std::lock_guard lock(sampling_mutex);
    settle_overtaken_pause();
    // A ramp needs a motion to advance it and a positive, finite duration;
    // anything else is a change at once.
    if (!is_running_flag.load() || !(duration > 0.0) || !is_valid_ramp_duration(duration)) {
        set_speed_locked(*accepted);
        return;
    }
    speed = *accepted;
    time_scaler.move_scale_user_linearly_to(*accepted, std::min(duration, max_ramp_duration));
}

void Driver::reset_speed() {
    std::lock_guard lock(sampling_mutex);
    set_speed_locked(speed);
}

double Driver::get_speed() const {
    std::lock_guard lock(sampling_mutex);
    return time_scaler.get_scale_user();
}

bool Driver::is_paused() const { return get_speed() < paused_speed; }

std::future<bool> Driver::pause_async() {
    // Without the controller nothing is known to stand still.
    if (!is_connected()) return ready_future(false);
    std::lock_guard lock(sampling_mutex);
    if (time_scaler.get_scale_user() < paused_speed) return ready_future(true);
    if (is_pausing.load()) return ready_future(false);
    if (!is_running_flag.load()) {
        // No motion to ramp down: paused at once; `speed` keeps the value
        // that reset_speed and the end of the next motion restore.
        time_scaler.set_scale_user(0.0);
        return ready_future(true);
    }
    is_pausing.store(true);
    // A duration assigned past set_pausing_duration stands still at once.
    const double duration = is_valid_ramp_duration(pausing_duration) ? pausing_duration : 0.0;
    time_scaler.move_scale_user_linearly_to(0.0, std::min(duration, max_ramp_duration));
    if (!time_scaler.is_moving_scale_user) {
        // Already within rounding of standstill, so no ramp was started and
        // none would fulfil a future: stand still now.
        time_scaler.set_scale_user(0.0);
        return ready_future(true);
    }
    // Fulfilled by the control loop's next() when the ramp reaches 0, or
    // with false when the motion ends first.
    return time_scaler.get_scale_movement_future();
}

bool Driver::pause() { return pause_async().get(); }

void Driver::set_pausing_duration(double seconds) {
    if (!is_valid_ramp_duration(seconds)) {
        throw std::invalid_argument("The pausing duration must be a finite number of seconds, 0 or more; " +
                                    std::to_string(seconds) + " was refused.");
    }
    pausing_duration = seconds;
}

void Driver::set_tcp_velocity_constraint(std::optional<double> max_tcp_velocity) {
    if (!max_tcp_velocity) {
        std::lock_guard lock(sampling_mutex);
        time_scaler.clear_tcp_constraint();
        return;
    }
    auto arm = std::dynamic_pointer_cast<const orvane::RobotArm>(robot);
    if (!arm) {
        log::log_warn(tag, "A TCP velocity constraint needs a robot arm; robot '" + robot->name +
                               "' is not one, so the constraint is not applied.");
        return;
    }
    if (planner && planner->environment) {
        // The limit evaluates the arm model on the played trajectory's joint
        // vectors, which for a part of a composite robot are the composite's.
        bool top_level = false;
        for (const auto& candidate : planner->environment->get_robots()) top_level |= candidate == robot;
        if (!top_level) {
            log::log_warn(tag, "A TCP velocity constraint needs a stand-alone robot arm; robot '" + robot->name +
                                   "' is part of another robot, so the constraint is not applied.");
            return;
        }
    }
    std::lock_guard lock(sampling_mutex);
    time_scaler.set_tcp_constraint(std::move(arm), *max_tcp_velocity);
}

// --- synchronous wrappers ------------------------------------------------------------

std::future<Result> Driver::enable_async() {
    return std::async(std::launch::async, [this] { return enable(); });
}

std::future<Result> Driver::disable_async() {
    return std::async(std::launch::async, [this] { return disable(); });
}

Result Driver::run(const orvane::Trajectory& trajectory_to_run) { return run_async(trajectory_to_run).get(); }

Result Driver::move_to(const orvane::Goal& goal, bool ignore_collisions) {
    return move_to_async(goal, ignore_collisions).get();
}

Result Driver::move_along(const std::string& name, const std::optional<orvane::Goal>& goal, bool ignore_collisions) {
    return move_along_async(name, goal, ignore_collisions).get();
}

Result Driver::blend_into(const orvane::Trajectory& trajectory_to_join, double duration) {
    return blend_into_async(trajectory_to_join, duration).get();
}

Result Driver::stop(bool fast_stop) { return stop_async(fast_stop).get(); }

Result Driver::resume() { return resume_async().get(); }

}  // namespace orvane::drivers
