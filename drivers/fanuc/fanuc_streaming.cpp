// FanucDriver: streaming trajectories as RMI joint motion instructions, and
// the operations that start, replace, stop and resume a motion.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <string>
#include <utility>

#include <pthread.h>

#include "orvane/drivers/durations.hpp"
#include "orvane/drivers/fanuc/fanuc_driver.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/log/log.hpp"
#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers {

namespace {

using Clock = std::chrono::steady_clock;

const std::string tag = "driver";
const std::string replan_error =
    "Attempted to replan a trajectory from a point the driver cannot adjust from. Was the start point in the path "
    "and not already executed?";

// Resume starts the speed here, not at 0: at exactly 0 the time scaler
// reports standing still and the run would end at once.
constexpr double resume_start_speed = 1e-9;
// Speeds below this count as paused (as Driver::is_paused does).
constexpr double paused_speed = 0x1p-52;
// The streaming thread looks at the link at least this often while it waits;
// the socket also wakes it when it finds the link down. Each timed wake-up
// costs CPU, so this is not short.
constexpr auto watch_interval = std::chrono::seconds(1);
// How long a stop waits for the streaming thread to wind down.
constexpr auto loop_end_limit = std::chrono::seconds(5);

std::shared_future<Result> ready(const Result& result) {
    std::promise<Result> promise;
    promise.set_value(result);
    return promise.get_future().share();
}

// Waiters on a pause ramp learn that it will not complete: the motion ended
// or was resumed first. A promise already fulfilled stays as it was.
void release_pause_waiters(TimeScaler& scaler) {
    auto old = std::exchange(scaler.scale_movement_finished, std::promise<bool>());
    try {
        old.set_value(false);
    } catch (const std::future_error&) {
    }
}

std::vector<double> interpolate_at(const orvane::Trajectory& trajectory, std::size_t index, double time) {
    const auto& times = trajectory.times();
    const auto& positions = trajectory.positions();
    if (index + 1 >= times.size()) return positions.back();
    const double a = time - times[index];
    const double b = times[index + 1] - time;
    std::vector<double> out(positions[index].size());
    for (std::size_t j = 0; j < out.size(); ++j) {
        out[j] = (positions[index][j] * b + positions[index + 1][j] * a) / (a + b);
    }
    return out;
}

}  // namespace

// --- requests --------------------------------------------------------------------

bool FanucDriver::is_valid_trajectory(const orvane::Trajectory& candidate) const {
    if (candidate.empty()) {
        log::log_warn(tag, "Refused to run an empty trajectory.");
        set_last_error("Refused to run an empty trajectory.");
        return false;
    }
    orvane::State first = candidate.front();
    slice_state_offset(first);
    if (first.position.size() != degrees_of_freedom) {
        const std::string why = "Refused to run a trajectory of " + std::to_string(candidate.degrees_of_freedom()) +
                                " joints on a robot of " + std::to_string(degrees_of_freedom) + ".";
        log::log_warn(tag, why);
        set_last_error(why);
        return false;
    }
    for (const auto& sample : candidate.positions()) {
        for (const double value : sample) {
            if (!std::isfinite(value)) {
                log::log_warn(tag, "Refused to run a trajectory with a joint value that is not finite.");
                set_last_error("Refused to run a trajectory with a joint value that is not finite.");
                return false;
            }
        }
    }
    if (const auto violation = find_limit_violation(candidate)) {
        log::log_error(tag, "Refused to run the trajectory: " + *violation);
        set_last_error("Refused to run the trajectory: " + *violation);
        return false;
    }
    return true;
}

bool FanucDriver::is_speed_zero_for(Source source) const {
    // At speed 0 a motion would stand still from its first sample and end
    // at once as if stopped: refuse it and say why. A resume ramps up to the
    // speed last set, so for it that speed is what counts.
    const bool zero = source == Source::resume ? speed < paused_speed : time_scaler.get_scale_user() < paused_speed;
    if (zero) log::log_warn(tag, "The speed is 0: set a speed above 0 to move (a pause is ended by resume).");
    return zero;
}

std::vector<double> FanucDriver::next_sample_position() const {
    const auto* playing = time_scaler.trajectory;
    if (playing == nullptr || playing->empty()) return {};
    orvane::State next;
    next.position = interpolate_at(*playing, static_cast<std::size_t>(time_scaler.index), time_scaler.time);
    slice_state_offset(next);
    return next.position;
}

void FanucDriver::ramp_up_after_pause() {
    is_pausing = false;
    release_pause_waiters(time_scaler);
    const double duration = pausing_duration;
    if (is_valid_ramp_duration(duration)) {
        time_scaler.move_scale_user_linearly_to(speed, duration);
    } else {
        // A ramp of unusable length would crawl at the start speed for ever.
        time_scaler.stop_scale_user_movement();
        time_scaler.set_scale_user(speed);
    }
}

std::shared_future<Result> FanucDriver::request_motion(const MotionRequest& request) {
    const auto before = drive_state.load();
    const bool connected = check_link();
    // Without the controller every motion answers alike, enabled before or not.
    if (!connected) {
        set_last_error("The controller is not connected.");
        return ready(Result::ErrorControllerConnection);
    }
    if (before == 0) {
        set_last_error("The driver is not enabled: call enable() first.");
        return ready(Result::ErrorControllerEnableMotors);
    }
    // Lost and made anew: RMI is no longer initialised.
    if (drive_state.load() == 0) {
        set_last_error("The link to the controller was lost and made anew: call enable() again.");
        return ready(Result::ErrorControllerConnection);
    }

    std::optional<std::vector<double>> measured;
    std::uint64_t measured_for = 0;
    const bool from_run_thread = on_run_thread();
    std::unique_lock lock(sampling_mutex);
    for (;;) {
        const auto busy = [this] {
            // A stop in progress or a run winding down decides what comes
            // next; a request waits for it rather than racing it.
            return stopping || loop_phase == LoopPhase::finishing ||
                   (loop_phase == LoopPhase::streaming && stop_requested.load());
        };
        if (from_run_thread) {
            if (busy()) return ready(Result::ErrorCommandAlreadyInProgress);
        } else {
            loop_state_changed.wait(lock, [&] { return closing || !busy(); });
        }
        if (closing) return ready(Result::ErrorTrajectoryAborted);
        if (drive_state.load() == 0) return ready(Result::ErrorControllerEnableMotors);

        if (request.source == Source::trajectory && !is_valid_trajectory(*request.trajectory)) {
            return ready(Result::Error);
        }
        if (is_speed_zero_for(request.source)) return ready(Result::ErrorSpeedIsZero);

        if (loop_phase == LoopPhase::streaming) {
            return hand_over(request, lock);
        }

        // Nothing streams.
        const bool continues = request.source == Source::resume || request.source == Source::continuation;
        if (continues) {
            if (!motion_open || time_scaler.trajectory == nullptr || time_scaler.trajectory->empty()) {
                log::log_warn(tag, "There is no paused motion to continue.");
                set_last_error("There is no paused motion to continue.");
                return ready(Result::Error);
            }
        } else if (motion_open) {
            // A new motion ends the paused one (its events, its pause).
            end_paused_motion_locked(lock);
            continue;
        }

        if (!measured || measured_for != motion_generation) {
            // Where the robot rests decides whether it can start; read it
            // without the lock (a command exchange) and look again.
            measured_for = motion_generation;
            lock.unlock();
            measured = get_current_joint_position();
            lock.lock();
            if (measured->empty()) return ready(Result::ErrorControllerConnection);  // lost meanwhile
            continue;
        }

        switch (request.source) {
            case Source::trajectory: {
                orvane::State first = request.trajectory->front();
                slice_state_offset(first);
                if (!are_positions_within(first.position, *measured, start_tolerance)) {
                    log::log_warn(tag, "The trajectory does not start where the robot is.");
                    set_last_error("The trajectory does not start where the robot is.");
                    return ready(Result::ErrorStartPositionDeviation);
                }
                if (request.trajectory != &trajectory) trajectory = *request.trajectory;
                time_scaler.set_trajectory(&trajectory);
                break;
            }
            case Source::command: {
                RobotState start;
                start.position = *measured;
                if (!calculate_trajectory(*request.command, trajectory, start)) {
                    return ready(Result::ErrorTrajectoryDidNotUpdate);
                }
                time_scaler.set_trajectory(&trajectory);
                break;
            }
            case Source::resume:
            case Source::continuation: {
                if (!are_positions_within(next_sample_position(), *measured, start_tolerance)) {
                    log::log_warn(tag, "The robot is no longer where its paused motion stands.");
                    set_last_error("The robot is no longer where its paused motion stands.");
                    return ready(Result::ErrorStartPositionDeviation);
                }
                if (request.source == Source::resume) {
                    time_scaler.set_scale_user(resume_start_speed);
                    ramp_up_after_pause();
                }
                break;
            }
        }
        last_sent_state = orvane::State(degrees_of_freedom);
        last_sent_state.position = *measured;
        // The first sample is where the robot rests: sending it would only
        // hold the robot there for one interval.
        skip_next_sample = true;
        auto promise = std::make_shared<std::promise<Result>>();
        auto future = promise->get_future().share();
        run_promise = std::move(promise);
        run_future = future;
        start_loop_locked();
        return future;
    }
}

std::shared_future<Result> FanucDriver::hand_over(const MotionRequest& request, std::unique_lock<std::mutex>& lock) {
    switch (request.source) {
        case Source::resume:
            // Cancels a pause still ramping down or already at standstill;
            // a run that only waits for its last answers goes on.
            if (is_pausing || time_scaler.get_scale_user() < paused_speed ||
                scaler_status.load() == TimeScaler::standing_still) {
                time_scaler.set_scale_user(std::max(time_scaler.get_scale_user(), resume_start_speed));
                ramp_up_after_pause();
                if (scaler_status.load() == TimeScaler::standing_still) {
                    scaler_status = TimeScaler::moving;
                    skip_next_sample = true;
                }
                wake_stream();
            }
            return ready(Result::Success);
        case Source::continuation:
            return run_future;
        case Source::trajectory: {
            orvane::State first = request.trajectory->front();
            slice_state_offset(first);
            if (!are_positions_within(first.position, last_sent_state.position, start_tolerance)) {
                throw OrvaneError(tag, replan_error);
            }
            if (request.trajectory != &trajectory) trajectory = *request.trajectory;
            break;
        }
        case Source::command: {
            // Planned from the last sent sample, with its velocity, so that
            // the new motion continues the commanded one without a jerk.
            const RobotState start(last_sent_state);
            if (!calculate_trajectory(*request.command, trajectory, start)) {
                return ready(Result::ErrorTrajectoryDidNotUpdate);
            }
            break;
        }
    }
    time_scaler.set_trajectory(&trajectory);
    scaler_status = TimeScaler::moving;
    // The new trajectory's first sample is the point already sent.
    skip_next_sample = true;
    wake_stream();
    auto promise = std::make_shared<std::promise<Result>>();
    auto future = promise->get_future().share();
    auto replaced = std::exchange(run_promise, std::move(promise));
    run_future = future;
    lock.unlock();
    if (replaced) replaced->set_value(Result::ErrorTrajectoryAborted);
    return future;
}

void FanucDriver::start_loop_locked() {
    {
        std::lock_guard lock(stream_mutex);
        stream_attention = false;
        step_samples.clear();
        loop_failure.reset();
        loop_error = nullptr;
        loop_failed = false;
    }
    {
        std::lock_guard lock(pending_mutex);
        last_progress = Clock::now();
    }
    stop_requested = false;
    scaler_status = TimeScaler::moving;
    drive_state = 2;
    loop_phase = LoopPhase::streaming;
    loop_requested = true;
    feedback.loop_started(!motion_open, last_sent_state.position);
    motion_open = true;
    is_running_flag = true;
    ++motion_generation;
    loop_sent = 0;
    loop_state_changed.notify_all();
}

// --- the streaming thread ----------------------------------------------------------

void FanucDriver::run_thread_main() {
    pthread_setname_np(pthread_self(), "orvane-stream");
    std::unique_lock lock(sampling_mutex);
    for (;;) {
        loop_state_changed.wait(lock, [this] { return loop_requested || run_thread_exit; });
        if (!loop_requested) return;
        loop_requested = false;
        lock.unlock();
        LoopEnd end = LoopEnd::failed;
        std::exception_ptr error;
        try {
            end = stream();
        } catch (...) {
            error = std::current_exception();
        }
        finish_loop(end, error);
        lock.lock();
    }
}

std::size_t FanucDriver::pending_count() {
    std::lock_guard lock(pending_mutex);
    return pending_responses.size();
}

bool FanucDriver::link_usable() {
    const auto serial = socket.link_serial();
    return serial && *serial == enabled_link.load();
}

int FanucDriver::draw_sample() {
    int status = time_scaler.next(current_state);
    if (skip_next_sample) {
        skip_next_sample = false;
        if (status == TimeScaler::moving) status = time_scaler.next(current_state);
    }
    const auto* playing = time_scaler.trajectory;
    if (status == TimeScaler::moving && playing != nullptr && time_scaler.index >= playing->size()) {
        // The last sample was just delivered; the draw that reports the end
        // repeats it. One instruction, the final one, carries both.
        status = time_scaler.next(current_state);
    }
    slice_state_offset(current_state);
    return status;
}

void FanucDriver::send_sample(int status) {
    std::vector<double> joints = current_state.position;
    joints[2] -= joints[1];  // RMI's J3 is measured from J2
    auto instruction = std::make_shared<MotionInstruction>(next_sequence_id, std::move(joints), delta_time,
                                                           status != TimeScaler::moving);
    PendingInstruction entry;
    entry.sequence_id = next_sequence_id;
    entry.duration = delta_time;
    // The instruction cannot reach the controller before it is written: the
    // monitor's commanded path starts it no later than the controller can.
    const auto writing_at = Clock::now();
    entry.response = socket.send_request(*instruction, std::nullopt).share();
    entry.sent_at = Clock::now();
    last_instruction_sent_at = entry.sent_at;  // pacing counts from the end of the write
    // As the controller takes it: the wire duration, in milliseconds.
    feedback.instruction_sent(entry.sequence_id, current_state.position,
                              instruction->as_json().value("Speed", 0) / 1000.0, writing_at);
    // Only an instruction that reached the socket uses up its number.
    ++next_sequence_id;
    {
        std::lock_guard lock(pending_mutex);
        pending_responses.push_back(std::move(entry));
    }
    last_instruction = std::move(instruction);
    last_sent_state.position = current_state.position;
    last_sent_state.velocity = current_state.velocity;
    last_sent_state.acceleration = current_state.acceleration;
    ++loop_sent;
}

bool FanucDriver::fill_locked() {
    const std::size_t in_flight_limit = std::max<std::uint64_t>(1, max_pending_instructions);
    bool hooks = false;
    paced_send_due.reset();
    // loop_failed is read after the queue: a failure is marked before its
    // instruction leaves the queue, so a freed place never hides it.
    while (!stop_requested && scaler_status.load() == TimeScaler::moving && pending_count() < in_flight_limit &&
           !loop_failed.load()) {
        if (!link_usable()) {
            record_failure(LoopEnd::link_lost);
            return true;
        }
        const auto send_slot = last_instruction_sent_at + instruction_spacing;
        if (Clock::now() < send_slot) {
            // Left to the streaming thread, which sleeps until then; in a
            // steady stream answers come further apart and this never happens.
            paced_send_due = send_slot;
            return true;
        }
        if (next_sequence_id.load() == std::numeric_limits<std::int32_t>::max()) {
            // The controller's counter would wrap: enable again to restart it.
            log::log_error(tag, "Sequence IDs are used up; enable the driver again.");
            record_failure(LoopEnd::failed);
            return true;
        }
        const int status = draw_sample();
        scaler_status = status;
        if (status == TimeScaler::nothing_to_do) break;
        // Paused before the first move: the robot rests where it is.
        if (status == TimeScaler::standing_still && loop_sent == 0) break;
        try {
            send_sample(status);
        } catch (const std::exception&) {
            // The link went down between the check and the send: that is how
            // the run ends, not as an unexpected error.
            if (link_usable()) throw;
            record_failure(LoopEnd::link_lost);
            return true;
        }
        hooks = report_sample() || hooks;
    }
    return hooks;
}

bool FanucDriver::report_sample() {
    {
        std::lock_guard lock(stream_mutex);
        // Behind samples still queued, so the hooks see every sample in order.
        if (has_step_hooks() || !step_samples.empty()) {
            step_samples.push_back({last_sent_state.position, last_sent_state.velocity, time_scaler.time});
            return true;
        }
    }
    store_desired_state(last_sent_state.position, last_sent_state.velocity);
    return false;
}

void FanucDriver::collect_answers() {
    std::optional<LoopEnd> failure;
    std::string complaint;
    {
        std::lock_guard lock(pending_mutex);
        while (!pending_responses.empty()) {
            auto& oldest = pending_responses.front();
            if (oldest.response.wait_for(std::chrono::seconds(0)) != std::future_status::ready) break;
            RmiSocket::ResponsePtr response;
            try {
                response = oldest.response.get();
            } catch (const std::exception& error) {
                // A stop fails the requests on purpose; anything else is worth a line.
                if (!stop_requested) complaint = reason_of(error);
            }
            if (!response || !response->success) {
                // The socket fails every pending instruction with the reason
                // of the first: one line per event, not one per instruction.
                const bool first = !loop_failed.exchange(true);
                if (!first) complaint.clear();
                if (stop_requested) {
                    failure = LoopEnd::stopped;
                } else {
                    failure = LoopEnd::failed;
                    if (response && first) {
                        complaint = "The controller refused motion instruction " +
                                    std::to_string(oldest.sequence_id) + " with error id " +
                                    std::to_string(response->error_id) + ".";
                    }
                }
                pending_responses.pop_front();
                break;
            }
            const auto answered = oldest.sequence_id;
            pending_responses.pop_front();
            last_progress = Clock::now();
            feedback.instruction_answered(answered, last_progress);
        }
    }
    if (!complaint.empty()) {
        log::log_error(tag, complaint);
        set_last_error(complaint);
    }
    if (failure) record_failure(*failure);
}

void FanucDriver::on_socket_activity() {
    bool wanted = false;
    try {
        collect_answers();
        wanted = loop_failed.load();
        // Never wait for the sampling lock here: its holder may be waiting
        // for an answer that only this thread can read (an event condition
        // reading an input, say). The streaming thread refills instead.
        std::unique_lock lock(sampling_mutex, std::try_to_lock);
        if (!lock.owns_lock()) {
            wanted = true;
        } else if (loop_phase == LoopPhase::streaming) {
            if (!link_usable()) {
                wanted = true;
            } else {
                wanted = fill_locked() || wanted;
                if (scaler_status.load() != TimeScaler::moving && pending_count() == 0) wanted = true;
            }
        }
    } catch (...) {
        {
            std::lock_guard lock(stream_mutex);
            if (!loop_error) loop_error = std::current_exception();
            loop_failed = true;
        }
        wanted = true;
    }
    if (wanted) wake_stream();
}

void FanucDriver::wake_stream() {
    {
        std::lock_guard lock(stream_mutex);
        stream_attention = true;
    }
    stream_wakeup.notify_one();
}

void FanucDriver::record_failure(LoopEnd end) {
    std::lock_guard lock(stream_mutex);
    if (!loop_failure) loop_failure = end;
    loop_failed = true;
}

std::optional<FanucDriver::LoopEnd> FanucDriver::take_failure() {
    std::lock_guard lock(stream_mutex);
    if (loop_error) std::rethrow_exception(loop_error);
    return loop_failure;
}

void FanucDriver::run_step_hooks() {
    for (;;) {
        StepSample sample;
        {
            // Popped only once its hooks ran: meanwhile later samples queue
            // behind it instead of being stored ahead of it.
            std::lock_guard lock(stream_mutex);
            if (step_samples.empty()) return;
            sample = step_samples.front();
        }
        on_desired_state(sample.position, sample.velocity, sample.time);
        std::lock_guard lock(stream_mutex);
        step_samples.pop_front();
    }
}

bool FanucDriver::step_hooks_waiting() {
    std::lock_guard lock(stream_mutex);
    return !step_samples.empty();
}

FanucDriver::LoopEnd FanucDriver::stream() {
    for (;;) {
        std::optional<Clock::time_point> send_due;
        run_step_hooks();
        collect_answers();
        {
            // The end is decided under the lock that hands trajectories over,
            // so a trajectory handed over now is never reported done.
            std::lock_guard lock(sampling_mutex);
            if (stop_requested) return LoopEnd::stopped;
            if (const auto failure = take_failure()) return *failure;
            if (!link_usable()) return LoopEnd::link_lost;
            fill_locked();
            send_due = paced_send_due;
            if (const auto failure = take_failure()) return *failure;
            if (step_hooks_waiting()) continue;
            const int status = scaler_status.load();
            if (status != TimeScaler::moving && pending_count() == 0) {
                loop_phase = LoopPhase::finishing;
                if (status == TimeScaler::finished) return LoopEnd::finished;
                if (status == TimeScaler::standing_still) return LoopEnd::paused;
                return LoopEnd::no_trajectory;
            }
        }
        if (!wait_for_activity(send_due)) return LoopEnd::failed;
    }
}

Clock::time_point FanucDriver::answer_deadline(const PendingInstruction& oldest) const {
    // The oldest instruction runs once the one before it was answered (or
    // once it arrived); the override stretches its execution.
    const auto started = std::max(oldest.sent_at, last_progress);
    const double execution = oldest.duration * 100.0 / std::max(1, known_override.load());
    const double margin = std::isfinite(instruction_timeout_margin) ? std::max(0.0, instruction_timeout_margin) : 1.0;
    return started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(execution + margin));
}

void FanucDriver::wait_for_send_slot() {
    std::this_thread::sleep_until(last_instruction_sent_at + instruction_spacing);
}

bool FanucDriver::wait_for_activity(std::optional<Clock::time_point> send_due) {
    std::optional<std::int32_t> oldest_id;
    Clock::time_point due{};
    {
        std::lock_guard lock(pending_mutex);
        if (!pending_responses.empty()) {
            oldest_id = pending_responses.front().sequence_id;
            due = answer_deadline(pending_responses.front());
        }
    }
    auto wake_at = Clock::now() + watch_interval;
    if (oldest_id) wake_at = std::min(wake_at, due);
    if (send_due) wake_at = std::min(wake_at, *send_due);
    {
        std::unique_lock lock(stream_mutex);
        stream_wakeup.wait_until(lock, wake_at, [this] { return stream_attention; });
        stream_attention = false;
    }
    if (!oldest_id || Clock::now() < due) return true;
    {
        // Still the same instruction, unanswered, and due even counting the
        // answers that came meanwhile?
        std::lock_guard lock(pending_mutex);
        if (pending_responses.empty() || pending_responses.front().sequence_id != *oldest_id) return true;
        const auto& oldest = pending_responses.front();
        if (oldest.response.wait_for(std::chrono::seconds(0)) == std::future_status::ready) return true;
        if (Clock::now() < answer_deadline(oldest)) return true;
    }
    // Overdue. An operator may have turned the override down: look once.
    const int assumed = known_override.load();
    try {
        get_controller_status();
    } catch (const std::exception&) {
    }
    if (known_override.load() < assumed) return true;  // the deadline stretches with it
    const std::string why = "No answer to motion instruction " + std::to_string(*oldest_id) +
                            " in time; ending the motion.";
    log::log_error(tag, why);
    set_last_error(why);
    return false;
}

void FanucDriver::finish_loop(LoopEnd end, std::exception_ptr error) {
    feedback.loop_ended();
    if ((error || end == LoopEnd::failed) && !link_usable()) end = LoopEnd::link_lost;
    if (error || end == LoopEnd::failed) {
        if (stop_requested) {
            end = LoopEnd::stopped;
        } else if (end != LoopEnd::link_lost) {
            // The controller may still hold queued instructions: abort them,
            // and leave RMI initialised for the next enable.
            try {
                stop_motion(true, true);
            } catch (const std::exception& failure) {
                log::log_error(tag, std::string("Aborting the failed motion failed: ") + reason_of(failure));
            }
            // The socket fails the requests of a closing link a moment before
            // it reports the link down: the abort attempt has settled that.
            if (!link_usable()) end = LoopEnd::link_lost;
        }
    }

    Result result = Result::Error;
    switch (end) {
        case LoopEnd::finished:
            result = Result::Success;
            set_last_error({});
            break;
        case LoopEnd::paused:
        case LoopEnd::stopped: result = Result::ErrorTrajectoryAborted; break;
        case LoopEnd::failed: result = Result::ErrorController; break;
        case LoopEnd::link_lost:
            result = Result::ErrorControllerConnection;
            set_last_error("The link to the controller was lost during the motion.");
            break;
        case LoopEnd::no_trajectory: result = Result::Error; break;
    }
    const bool keeps_motion = end == LoopEnd::paused && !error;

    std::shared_ptr<std::promise<Result>> promise;
    {
        std::lock_guard lock(sampling_mutex);
        loop_phase = LoopPhase::finishing;
        // The monitor stopped it: the stop is how, the deviation is why.
        if (feedback.tripped() && !error && end != LoopEnd::link_lost) result = Result::ErrorPathDeviation;
        std::int32_t streaming = 2;
        if (error || end == LoopEnd::failed || end == LoopEnd::link_lost) {
            drive_state = 0;  // the next motion needs enable again
        } else if (end == LoopEnd::stopped) {
            drive_state.compare_exchange_strong(streaming, 0);  // the stop re-enables
        } else {
            drive_state.compare_exchange_strong(streaming, 1);
        }
        if (end != LoopEnd::finished && end != LoopEnd::paused) {
            std::lock_guard pending(pending_mutex);
            pending_responses.clear();
        }
        if (keeps_motion) {
            is_running_flag = false;  // paused: the motion waits for resume
        } else {
            motion_open = false;
        }
        promise = std::exchange(run_promise, nullptr);
        run_future = {};
    }
    if (!keeps_motion) finish_motion();
    {
        std::lock_guard lock(sampling_mutex);
        loop_phase = LoopPhase::idle;
    }
    loop_state_changed.notify_all();
    if (promise) {
        if (error) {
            promise->set_exception(error);
        } else {
            promise->set_value(result);
        }
    }
}

void FanucDriver::finish_motion() {
    {
        std::lock_guard lock(sampling_mutex);
        release_pause_waiters(time_scaler);
    }
    on_motion_did_finish();
}

void FanucDriver::wait_until_loop_idle(Clock::duration limit) {
    std::unique_lock lock(sampling_mutex);
    loop_state_changed.wait_for(lock, limit, [this] { return loop_phase == LoopPhase::idle; });
}

// --- stop ----------------------------------------------------------------------------

Result FanucDriver::stop_motion(bool reenable, bool from_loop) {
    std::shared_ptr<std::promise<Result>> mine;
    bool was_enabled = false;
    {
        std::unique_lock lock(sampling_mutex);
        for (;;) {
            // From here on the streaming loop sends nothing more.
            stop_requested = true;
            wake_stream();
            if (!stopping) break;
            // Another stop is under way: it ends this run too.
            if (from_loop) return Result::ErrorTrajectoryAborted;
            auto other = stop_in_flight;
            const bool same_kind = stop_reenables == reenable;
            lock.unlock();
            if (same_kind) return other.get();
            other.wait();
            lock.lock();
        }
        stopping = true;
        stop_reenables = reenable;
        mine = std::make_shared<std::promise<Result>>();
        stop_in_flight = mine->get_future().share();
        was_enabled = drive_state.load() != 0;
    }

    Result result = Result::Error;
    try {
        result = stop_sequence(reenable, from_loop, was_enabled);
    } catch (...) {
        {
            std::lock_guard lock(sampling_mutex);
            stopping = false;
        }
        loop_state_changed.notify_all();
        mine->set_exception(std::current_exception());
        throw;
    }
    {
        std::lock_guard lock(sampling_mutex);
        stopping = false;
    }
    loop_state_changed.notify_all();
    mine->set_value(result);
    return result;
}

void FanucDriver::end_paused_motion() {
    std::unique_lock lock(sampling_mutex);
    if (!motion_open || loop_phase != LoopPhase::idle) return;
    end_paused_motion_locked(lock);
}

void FanucDriver::end_paused_motion_locked(std::unique_lock<std::mutex>& lock) {
    motion_open = false;
    loop_phase = LoopPhase::finishing;
    lock.unlock();
    finish_motion();  // runs hooks: without the lock
    lock.lock();
    loop_phase = LoopPhase::idle;
    loop_state_changed.notify_all();
}

Result FanucDriver::stop_sequence(bool reenable, bool from_loop, bool was_enabled) {
    if (!socket.is_connected()) {
        socket.clear_instructions("Motion stopped: the controller is not connected.");
        if (!from_loop) {
            wait_until_loop_idle(loop_end_limit);
            end_paused_motion();
        }
        drive_state = 0;
        return Result::ErrorControllerConnection;
    }

    RmiSocket::ResponsePtr answer;
    {
        std::lock_guard lock(request_mutex);
        AbortRequest abort;
        const double timeout = std::isnan(abort_timeout) || abort_timeout <= 0.0 ? 10.0 : abort_timeout;
        auto pending = socket.send_request(abort, timeout);
        // The abort is on its way; now wake the streaming loop, which waits
        // for answers the controller will never send.
        socket.clear_instructions("Motion was stopped.");
        if (pending.wait_for(std::chrono::duration<double>(timeout + 5.0)) != std::future_status::ready) {
            throw OrvaneError("driver.fanuc", "No answer to FRC_Abort from the controller.");
        }
        answer = pending.get();
    }
    {
        std::lock_guard lock(pending_mutex);
        pending_responses.clear();
    }
    if (!from_loop) {
        wait_until_loop_idle(loop_end_limit);
        end_paused_motion();
    }
    if (!answer || !answer->success) {
        if (answer && was_enabled) {
            // Refused without RMI motion running, which is no news when disabled.
            log::log_warn(tag, "The controller refused FRC_Abort with error id " + std::to_string(answer->error_id) +
                                   ".");
        }
        if (!reenable) return Result::Error;  // disabling failed: the state stays
        drive_state = 0;
        return Result::Error;
    }
    drive_state = 0;
    if (reenable && was_enabled) {
        std::lock_guard lock(request_mutex);
        return initialise_rmi(true);
    }
    return Result::Success;
}

// --- operations ------------------------------------------------------------------------

Result FanucDriver::run(const orvane::Trajectory& trajectory_) {
    if (on_run_thread()) {
        log::log_error(tag, "A synchronous run from an event action would wait for itself; use run_async.");
        return Result::ErrorCommandAlreadyInProgress;
    }
    return run_async(trajectory_).get();
}

std::shared_future<Result> FanucDriver::run_async(const orvane::Trajectory& trajectory_) {
    MotionRequest request;
    request.source = Source::trajectory;
    request.trajectory = &trajectory_;
    return request_motion(request);
}

Result FanucDriver::run_command() {
    if (on_run_thread()) return Result::ErrorCommandAlreadyInProgress;
    MotionRequest request;
    request.source = Source::continuation;
    return request_motion(request).get();
}

Result FanucDriver::run_command(const Command& command) {
    if (on_run_thread()) {
        log::log_error(tag, "A synchronous motion from an event action would wait for itself; use the _async one.");
        return Result::ErrorCommandAlreadyInProgress;
    }
    MotionRequest request;
    request.source = Source::command;
    request.command = &command;
    return request_motion(request).get();
}

Result FanucDriver::move_to(const orvane::Goal& goal, bool ignore_collisions) {
    return run_command(Command(PointCommand{goal, ignore_collisions}));
}

std::shared_future<Result> FanucDriver::move_to_async(const orvane::Goal& goal, bool ignore_collisions) {
    return launch([this, goal, ignore_collisions] { return move_to(goal, ignore_collisions); }).share();
}

Result FanucDriver::move_along(const std::string& name, const std::optional<orvane::Goal>& goal,
                               bool ignore_collisions) {
    return run_command(Command(MotionCommand{name, goal, ignore_collisions}));
}

std::shared_future<Result> FanucDriver::move_along_async(const std::string& name,
                                                        const std::optional<orvane::Goal>& goal,
                                                        bool ignore_collisions) {
    return launch([this, name, goal, ignore_collisions] { return move_along(name, goal, ignore_collisions); })
        .share();
}

Result FanucDriver::blend_into(const orvane::Trajectory& target, double duration) {
    if (!is_valid_blend_duration(duration)) {
        log::log_error(tag, "Refused to blend: the blend duration " + std::to_string(duration) +
                                " is not a number of seconds from 0 on.");
        return Result::Error;
    }
    return run_command(Command(BlendIntoCommand{target, duration}));
}

std::shared_future<Result> FanucDriver::blend_into_async(const orvane::Trajectory& target, double duration) {
    return launch([this, target, duration] { return blend_into(target, duration); }).share();
}

Result FanucDriver::stop(bool /*fast_stop*/) { return stop_motion(true, on_run_thread()); }

std::shared_future<Result> FanucDriver::stop_async(bool fast_stop) {
    return launch([this, fast_stop] { return stop(fast_stop); }).share();
}

Result FanucDriver::resume() {
    MotionRequest request;
    request.source = Source::resume;
    auto result = request_motion(request);
    if (on_run_thread() &&
        result.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        return Result::ErrorCommandAlreadyInProgress;
    }
    return result.get();
}

std::shared_future<Result> FanucDriver::resume_async() {
    return launch([this] { return resume(); }).share();
}

}  // namespace orvane::drivers
