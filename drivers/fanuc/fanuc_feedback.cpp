// FanucDriver: joint feedback while a motion streams, the commanded path on
// the host's clock, the path-deviation monitor and the record of the motion.
#include "orvane/drivers/fanuc/fanuc_feedback.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <string>

#include <pthread.h>

#include "orvane/drivers/fanuc/fanuc_driver.hpp"
#include "orvane/drivers/fanuc/rmi_joints.hpp"
#include "orvane/drivers/fanuc/rmi_requests.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/log/log.hpp"

namespace orvane::drivers {

namespace {

using Clock = FanucFeedback::Clock;
using Seconds = std::chrono::duration<double>;

const std::string tag = "driver";
// While the rate is 0 the thread looks this often whether it was raised.
constexpr auto rate_poll = std::chrono::milliseconds(100);
// How much of the commanded path is kept before the oldest reading window.
constexpr double path_history = 1.0;
// Without readings (rate 0) the kept path is cut back at this length.
constexpr std::size_t path_history_limit = 4096;
constexpr double default_window = 0.1;
constexpr double default_threshold = 0.1;

Clock::duration to_clock(double seconds) { return std::chrono::duration_cast<Clock::duration>(Seconds(seconds)); }

// Linear from `from` at `start` to `to` at `end`, at time `t` within.
void include_between(const std::vector<double>& from, const std::vector<double>& to, Clock::time_point start,
                     Clock::time_point end, Clock::time_point t, std::vector<double>& low,
                     std::vector<double>& high) {
    const double span = Seconds(end - start).count();
    const double share = span > 0.0 ? std::clamp(Seconds(t - start).count() / span, 0.0, 1.0) : 1.0;
    for (std::size_t j = 0; j < low.size() && j < from.size() && j < to.size(); ++j) {
        const double value = from[j] + (to[j] - from[j]) * share;
        low[j] = std::min(low[j], value);
        high[j] = std::max(high[j], value);
    }
}

void include_point(const std::vector<double>& value, std::vector<double>& low, std::vector<double>& high) {
    for (std::size_t j = 0; j < low.size() && j < value.size(); ++j) {
        low[j] = std::min(low[j], value[j]);
        high[j] = std::max(high[j], value[j]);
    }
}

std::string format(double value, const char* pattern = "%.4f") {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

}  // namespace

FanucFeedback::FanucFeedback(FanucDriver& driver_) : driver(driver_) {}

FanucFeedback::~FanucFeedback() { shutdown(); }

void FanucFeedback::shutdown() {
    {
        std::lock_guard lock(state_mutex);
        closing = true;
        watched_run = 0;
    }
    state_changed.notify_all();
    if (reader.joinable() && reader.get_id() != std::this_thread::get_id()) reader.join();
}

// --- hooks -------------------------------------------------------------------------

void FanucFeedback::loop_started(std::uint64_t run, bool new_motion, const std::vector<double>& rest_position,
                                 bool commanded_path) {
    const auto now = Clock::now();
    bool unread = false;
    {
        std::lock_guard lock(state_mutex);
        if (closing) return;
        watched_run = run;
        path_known = commanded_path;
        instructions.clear();
        streamed.clear();
        base_position = rest_position;
        base_free_at.reset();
        if (new_motion) {
            motion_start = now;
            record_times.clear();
            record_tags.clear();
            record_measured.clear();
            record_commanded.clear();
            record_deviations.clear();
            record_currents.clear();
            record_max = 0.0;
            warned_unread = false;
        }
        if (!reader.joinable()) reader = std::thread([this] { thread_main(); });
        if (!driver.sm_link && commanded_path && !(effective_rate() > 0.0) && driver.monitor_path_deviation.load() &&
            !warned_unread) {
            warned_unread = unread = true;
        }
    }
    state_changed.notify_all();
    if (unread) {
        log::log_warn(tag, "The path deviation is not monitored: feedback_rate is 0, so the robot's position is "
                           "not read during the motion.");
    }
}

void FanucFeedback::instruction_sent(std::int32_t sequence_id, const std::vector<double>& target, double duration,
                                     Clock::time_point sent_at) {
    std::lock_guard lock(state_mutex);
    if (watched_run == 0) return;
    instructions.push_back({sequence_id, target, sent_at, duration, std::nullopt});
    if (instructions.size() > path_history_limit) forget_old_instructions_locked(sent_at - to_clock(path_history));
}

void FanucFeedback::instruction_answered(std::int32_t sequence_id, Clock::time_point at) {
    std::lock_guard lock(state_mutex);
    // Answers come in sending order: the first unanswered one is it.
    for (auto& instruction : instructions) {
        if (instruction.answered_at) continue;
        if (instruction.sequence_id == sequence_id) instruction.answered_at = at;
        return;
    }
}

void FanucFeedback::status_received(Clock::time_point received_at, std::uint32_t time_stamp,
                                    const std::vector<double>& measured, const std::vector<double>& commanded,
                                    const std::vector<double>& currents) {
    std::uint64_t run = 0;
    std::string line;
    {
        std::lock_guard lock(state_mutex);
        if (watched_run == 0) return;
        double window = driver.path_deviation_window.load();
        if (!(window >= 0.0)) window = default_window;
        streamed.emplace_back(received_at, commanded);
        while (streamed.size() > 1 && streamed.front().first < received_at - to_clock(window)) streamed.pop_front();

        Reading reading;
        reading.sent_at = reading.received_at = received_at;
        reading.time_tag = time_stamp;
        reading.position = measured;
        Evaluation evaluation;
        evaluation.commanded.resize(measured.size());
        for (std::size_t j = 0; j < measured.size(); ++j) {
            double low = INFINITY, high = -INFINITY;
            for (const auto& [at, values] : streamed) {
                low = std::min(low, values[j]);
                high = std::max(high, values[j]);
            }
            evaluation.commanded[j] = std::clamp(measured[j], low, high);
            const double deviation = std::abs(measured[j] - evaluation.commanded[j]);
            if (deviation > evaluation.deviation) {
                evaluation.deviation = deviation;
                evaluation.worst_joint = j;
            }
        }
        const double since_start = Seconds(received_at - motion_start).count();
        record_locked(reading, evaluation, since_start);
        record_currents.push_back(currents);
        while (record_currents.size() > record_times.size()) record_currents.pop_front();

        double threshold = driver.path_deviation_error_threshold.load();
        if (!(threshold >= 0.0)) threshold = default_threshold;
        if (driver.monitor_path_deviation.load() && evaluation.deviation > threshold) {
            const std::size_t j = evaluation.worst_joint;
            run = watched_run;
            line = "The robot deviated from the commanded path: J" + std::to_string(j + 1) + " measured " +
                   format(measured[j]) + ", commanded " + format(evaluation.commanded[j]) + " (deviation " +
                   format(evaluation.deviation) + ", threshold " + format(threshold) + ") " +
                   format(since_start, "%.3f") + " s into the motion; stopping the robot.";
        }
    }
    if (run != 0) trip(run, line);
}

void FanucFeedback::loop_ended() {
    {
        std::lock_guard lock(state_mutex);
        watched_run = 0;
        instructions.clear();
    }
    state_changed.notify_all();
}

MotionFeedback FanucFeedback::record() const {
    std::lock_guard lock(state_mutex);
    MotionFeedback out;
    out.times.assign(record_times.begin(), record_times.end());
    out.time_tags.assign(record_tags.begin(), record_tags.end());
    out.measured.assign(record_measured.begin(), record_measured.end());
    out.commanded.assign(record_commanded.begin(), record_commanded.end());
    out.deviations.assign(record_deviations.begin(), record_deviations.end());
    out.currents.assign(record_currents.begin(), record_currents.end());
    out.max_deviation = record_max;
    return out;
}

// --- the reading thread ---------------------------------------------------------------

double FanucFeedback::effective_rate() const {
    // Over Stream Motion every status is a reading: nothing is read over RMI.
    if (driver.sm_link) return 0.0;
    const double rate = driver.feedback_rate.load();
    if (!(rate > 0.0)) return 0.0;  // NaN and negative rates read as off
    return std::min(rate, max_rate);
}

void FanucFeedback::thread_main() {
    pthread_setname_np(pthread_self(), "orvane-feedback");
    std::unique_lock lock(state_mutex);
    std::optional<Clock::time_point> next_due;
    std::uint64_t paced_run = 0;
    for (;;) {
        state_changed.wait(lock, [this] { return closing || watched_run != 0; });
        if (closing) return;
        const double rate = effective_rate();
        if (rate <= 0.0) {
            state_changed.wait_for(lock, rate_poll, [this] { return closing || watched_run == 0; });
            continue;
        }
        const auto period = to_clock(1.0 / rate);
        const auto now = Clock::now();
        // A new run reads at once; one that fell behind does not catch up in a burst.
        if (!next_due || paced_run != watched_run || *next_due + period < now) next_due = now;
        paced_run = watched_run;
        if (now < *next_due) {
            // Not longer than the poll, so that a raised rate applies soon.
            state_changed.wait_until(lock, std::min(*next_due, now + rate_poll),
                                     [this] { return closing || watched_run == 0; });
            continue;
        }
        const auto run = watched_run;
        lock.unlock();
        const auto reading = read_joints();
        lock.lock();
        next_due = (reading ? reading->sent_at : Clock::now()) + period;
        if (!reading || run != watched_run) continue;

        double window = driver.path_deviation_window.load();
        if (!(window >= 0.0)) window = default_window;
        Evaluation evaluation;
        if (path_known) {
            evaluation = evaluate_locked(*reading, window);
        } else {
            // The controller plans the path: nothing to compare with.
            evaluation.commanded.assign(reading->position.size(), std::numeric_limits<double>::quiet_NaN());
        }
        const auto middle = reading->sent_at + (reading->received_at - reading->sent_at) / 2;
        const double since_start = Seconds(middle - motion_start).count();
        record_locked(*reading, evaluation, since_start);
        forget_old_instructions_locked(reading->sent_at - to_clock(window + path_history));

        double threshold = driver.path_deviation_error_threshold.load();
        if (!(threshold >= 0.0)) threshold = default_threshold;
        if (path_known && driver.monitor_path_deviation.load() && evaluation.deviation > threshold) {
            const std::size_t j = evaluation.worst_joint;
            const std::string line = "The robot deviated from the commanded path: J" + std::to_string(j + 1) +
                                     " measured " + format(reading->position[j]) + ", commanded " +
                                     format(evaluation.commanded[j]) + " (deviation " +
                                     format(evaluation.deviation) + ", threshold " + format(threshold) + ") " +
                                     format(since_start, "%.3f") + " s into the motion; stopping the robot.";
            lock.unlock();
            trip(run, line);
            lock.lock();
        }
    }
}

std::optional<FanucFeedback::Reading> FanucFeedback::read_joints() {
    if (driver.motion.published_phase() == MotionPhase::stopping) return std::nullopt;
    try {
        // One command at a time on RMI; the lock's queue gives user commands
        // and readings their turns in order.
        std::lock_guard lock(driver.request_mutex);
        if (driver.motion.published_phase() == MotionPhase::stopping || !driver.link_usable()) return std::nullopt;
        JointAngleRequest request;
        Reading reading;
        reading.sent_at = Clock::now();
        const auto answer = RmiResponse::as<JointAngleResponse>(driver.exchange(request, FanucDriver::command_timeout));
        reading.received_at = Clock::now();
        reading.position = planner_joints(*answer, driver.degrees_of_freedom);
        reading.time_tag = answer->time_tag / 2;  // the response keeps it doubled
        return reading;
    } catch (const std::exception& error) {
        // A lost link ends the motion by itself; a refused or broken reading
        // is just missing.
        log::log_debug(tag, std::string("A joint reading during the motion failed: ") + reason_of(error));
        return std::nullopt;
    }
}

FanucFeedback::Evaluation FanucFeedback::evaluate_locked(const Reading& reading, double window) const {
    const std::size_t joints = reading.position.size();
    std::vector<double> low(joints, std::numeric_limits<double>::infinity());
    std::vector<double> high(joints, -std::numeric_limits<double>::infinity());

    // The controller measured somewhere within the round trip (an answer
    // held back by the controller or a busy host may come long after the
    // reading was taken), and its servos trail the command by up to the window.
    const auto from = reading.sent_at - to_clock(window);
    const auto to = reading.received_at;
    const double stretch = 100.0 / std::max(1, driver.known_override.load());

    // When the controller took up the next instruction is known only within
    // bounds: no later than the answer to the one before reached this host
    // (which may be well after the controller sent it, on a loaded host), and
    // no earlier than that one's nominal end. The commanded path is taken
    // from both, so that neither a late answer nor a slowed motion reads as a
    // deviation.
    for (const bool answer_ends_instruction : {true, false}) {
        std::vector<double> previous = base_position;
        std::optional<Clock::time_point> free_at = base_free_at;
        for (std::size_t k = 0; k < instructions.size(); ++k) {
            const auto& instruction = instructions[k];
            const auto start = free_at ? std::max(instruction.sent_at, *free_at) : instruction.sent_at;
            if (k == 0 && from <= start) include_point(previous, low, high);  // resting before it
            auto end = start + to_clock(instruction.duration * stretch);
            // Answered means done, however fast the override let it run.
            if (instruction.answered_at && *instruction.answered_at < end) end = std::max(start, *instruction.answered_at);
            if (end >= from && start <= to) {
                include_between(previous, instruction.target, start, end, std::max(from, start), low, high);
                include_between(previous, instruction.target, start, end, std::min(to, end), low, high);
            }
            free_at = answer_ends_instruction && instruction.answered_at ? *instruction.answered_at : end;
            const bool last = k + 1 == instructions.size();
            const auto hold_end = last ? Clock::time_point::max() : std::max(instructions[k + 1].sent_at, *free_at);
            if (hold_end >= from && end <= to) include_point(instruction.target, low, high);
            previous = instruction.target;
        }
        if (instructions.empty()) include_point(previous, low, high);
    }

    Evaluation evaluation;
    evaluation.commanded.resize(joints);
    for (std::size_t j = 0; j < joints; ++j) {
        const double measured = reading.position[j];
        const double nearest = low[j] <= high[j] ? std::clamp(measured, low[j], high[j]) : measured;
        evaluation.commanded[j] = nearest;
        const double deviation = std::abs(measured - nearest);
        if (deviation > evaluation.deviation) {
            evaluation.deviation = deviation;
            evaluation.worst_joint = j;
        }
    }
    return evaluation;
}

void FanucFeedback::record_locked(const Reading& reading, const Evaluation& evaluation, double time) {
    record_times.push_back(time);
    record_tags.push_back(reading.time_tag);
    record_measured.push_back(reading.position);
    record_commanded.push_back(evaluation.commanded);
    record_deviations.push_back(evaluation.deviation);
    record_max = std::max(record_max, evaluation.deviation);
    while (!record_times.empty() && time - record_times.front() > record_span) {
        record_times.pop_front();
        record_tags.pop_front();
        record_measured.pop_front();
        record_commanded.pop_front();
        record_deviations.pop_front();
    }
}

void FanucFeedback::forget_old_instructions_locked(Clock::time_point horizon) {
    while (!instructions.empty() && instructions.front().answered_at && *instructions.front().answered_at < horizon) {
        base_position = std::move(instructions.front().target);
        base_free_at = instructions.front().answered_at;
        instructions.pop_front();
    }
}

bool FanucFeedback::trip(std::uint64_t run, const std::string& line) {
    {
        std::lock_guard lock(driver.sampling_mutex);
        const auto phase = driver.motion.phase();
        const auto& flying = driver.motion.run();
        if ((phase != MotionPhase::streaming && phase != MotionPhase::draining) || !flying ||
            flying->serial != run || flying->has_failed()) {
            return false;  // the motion ends anyway
        }
        flying->stopped_for_deviation = true;
    }
    log::log_error(tag, line);
    try {
        // From the streaming thread (Stream Motion's statuses) the stop must not wait for that thread.
        driver.stop_motion(StopKind::stop, driver.on_run_thread());
    } catch (const std::exception& error) {
        log::log_error(tag, std::string("Stopping the deviating robot failed: ") + error.what());
    }
    return true;
}

}  // namespace orvane::drivers
