// FanucDriver: feeding a run to the controller as RMI joint motion
// instructions. The streaming thread takes each run up, runs the
// control-step hooks, decides how the run ends and watches for overdue
// answers; whichever thread holds the sampling lock when a place in the
// controller's queue frees up (usually the socket's reader) sends the next
// instruction.
//
// Only this file knows that a run is fed as RMI instructions: the motion's
// life (motion_state.hpp), the requests and the ends of runs do not. Another
// way of feeding a run - a loop answering each status packet of the
// controller, or a queue of motions the controller plans itself - takes runs
// up from the same state, feeds them while the phase is `streaming`, moves it
// to `draining` once nothing is left to send, and ends them through
// finish_run.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <string>
#include <utility>

#include <pthread.h>

#include "orvane/drivers/fanuc/fanuc_driver.hpp"
#include "orvane/drivers/fanuc/rmi_joints.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/log/log.hpp"
#include "orvane/log/orvane_error.hpp"
#include "stream_motion_link.hpp"

namespace orvane::drivers {

namespace {

const std::string tag = "driver";

// The streaming thread looks at the link at least this often while it waits;
// the socket also wakes it when it finds the link down. Each timed wake-up
// costs CPU, so this is not short.
constexpr auto watch_interval = std::chrono::seconds(1);

}  // namespace

void FanucDriver::run_thread_main() {
    pthread_setname_np(pthread_self(), "orvane-stream");
    std::unique_lock lock(sampling_mutex);
    for (;;) {
        motion_changed.wait(lock, [this] { return run_thread_exit || (motion.run() && !motion.run()->taken_up); });
        const auto run = motion.run();
        if (!run || run->taken_up) return;
        run->taken_up = true;
        lock.unlock();
        RunEnd end = RunEnd::failed;
        std::exception_ptr error;
        try {
            end = stream(*run);
        } catch (...) {
            error = std::current_exception();
        }
        finish_run(run, end, error);
        lock.lock();
    }
}

std::size_t FanucDriver::pending_count() {
    std::lock_guard lock(pending_mutex);
    return pending_responses.size();
}

RunEnd FanucDriver::stream(Run& run) {
    if (sm_link) return stream_sm(run);
    for (;;) {
        std::optional<Clock::time_point> send_due;
        run_step_hooks();
        collect_answers();
        {
            // The end is decided under the lock that hands trajectories over,
            // so a trajectory handed over now is never reported done.
            std::lock_guard lock(sampling_mutex);
            const auto ended_by = [&run]() -> std::optional<RunEnd> {
                if (const auto error = run.error()) std::rethrow_exception(error);
                return run.failure();
            };
            if (const auto end = ended_by()) return *end;
            if (!link_usable()) return RunEnd::link_lost;
            fill_locked(run);
            send_due = paced_send_due;
            if (const auto end = ended_by()) return *end;
            if (step_hooks_waiting()) continue;
            if (motion.phase() == MotionPhase::draining && pending_count() == 0) {
                motion.apply(MotionEvent::run_ended);
                if (run.scaler_status == TimeScaler::finished) return RunEnd::finished;
                if (run.scaler_status == TimeScaler::standing_still) return RunEnd::paused;
                return RunEnd::no_trajectory;
            }
        }
        if (!wait_for_activity(send_due)) {
            run.fail(RunEnd::failed);
            return RunEnd::failed;
        }
    }
}

int FanucDriver::draw_sample(Run& run) {
    int status = time_scaler.next(current_state);
    if (run.skip_next_sample) {
        run.skip_next_sample = false;
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

void FanucDriver::send_sample(Run& run, int status) {
    std::vector<double> joints = current_state.position;
    to_rmi_joints(joints);
    MotionInstruction instruction(next_sequence_id, std::move(joints), delta_time, status != TimeScaler::moving);
    PendingInstruction entry;
    entry.sequence_id = next_sequence_id;
    entry.duration = delta_time;
    // The instruction cannot reach the controller before it is written: the
    // monitor's commanded path starts it no later than the controller can.
    const auto writing_at = Clock::now();
    entry.response = socket.send_request(instruction, std::nullopt).share();
    entry.sent_at = Clock::now();
    last_instruction_sent_at = entry.sent_at;  // pacing counts from the end of the write
    // As the controller takes it: the wire duration, in milliseconds.
    feedback.instruction_sent(entry.sequence_id, current_state.position,
                              instruction.as_json().value("Speed", 0) / 1000.0, writing_at);
    // Only an instruction that reached the socket uses up its number.
    ++next_sequence_id;
    {
        std::lock_guard lock(pending_mutex);
        pending_responses.push_back(std::move(entry));
    }
    last_sent_state.position = current_state.position;
    last_sent_state.velocity = current_state.velocity;
    last_sent_state.acceleration = current_state.acceleration;
    ++run.sent;
}

bool FanucDriver::fill_locked(Run& run) {
    const std::size_t in_flight_limit = std::max<std::uint64_t>(1, max_pending_instructions);
    bool hooks = false;
    paced_send_due.reset();
    // The failure is read after the queue: a failure is marked before its
    // instruction leaves the queue, so a freed place never hides it.
    while (motion.phase() == MotionPhase::streaming && run.scaler_status == TimeScaler::moving &&
           pending_count() < in_flight_limit && !run.has_failed()) {
        if (!link_usable()) {
            run.fail(RunEnd::link_lost);
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
            refuse_as_error("Sequence IDs are used up; enable the driver again.");
            run.fail(RunEnd::failed);
            return true;
        }
        const int status = draw_sample(run);
        run.scaler_status = status;
        if (status == TimeScaler::nothing_to_do) break;
        // Paused before the first move: the robot rests where it is.
        if (status == TimeScaler::standing_still && run.sent == 0) break;
        try {
            send_sample(run, status);
        } catch (const std::exception&) {
            // The link went down between the check and the send: that is how
            // the run ends, not as an unexpected error.
            if (link_usable()) throw;
            run.fail(RunEnd::link_lost);
            return true;
        }
        hooks = report_sample() || hooks;
    }
    if (motion.phase() == MotionPhase::streaming && run.scaler_status != TimeScaler::moving) {
        motion.apply(MotionEvent::last_sample_sent);
        hooks = true;
    }
    return hooks;
}

void FanucDriver::wait_for_send_slot() {
    std::this_thread::sleep_until(last_instruction_sent_at + instruction_spacing);
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
    std::shared_ptr<Run> failed;
    RunEnd why = RunEnd::failed;
    std::string complaint;
    {
        std::lock_guard lock(pending_mutex);
        const auto& run = pending_run;
        while (!pending_responses.empty() && run) {
            auto& oldest = pending_responses.front();
            if (oldest.response.wait_for(std::chrono::seconds(0)) != std::future_status::ready) break;
            const bool stopped = run->failure() == RunEnd::stopped;
            RmiSocket::ResponsePtr response;
            try {
                response = oldest.response.get();
            } catch (const std::exception& error) {
                // A stop fails the requests on purpose; anything else is worth a line.
                if (!stopped) complaint = reason_of(error);
            }
            if (!response || !response->success) {
                // The socket fails every pending instruction with the reason
                // of the first: one line per event, not one per instruction.
                why = stopped ? RunEnd::stopped : RunEnd::failed;
                const bool first = run->fail(why);
                if (!first) complaint.clear();
                if (response && first && !stopped) {
                    complaint = "The controller refused motion instruction " + std::to_string(oldest.sequence_id) +
                                " with error id " + std::to_string(response->error_id) + ".";
                }
                failed = run;
                pending_responses.pop_front();
                break;
            }
            const auto answered = oldest.sequence_id;
            pending_responses.pop_front();
            last_progress = Clock::now();
            feedback.instruction_answered(answered, last_progress);
        }
    }
    if (!complaint.empty()) refuse_as_error(complaint);
    if (failed) wake_stream();
}

void FanucDriver::on_socket_activity() {
    // Over Stream Motion no motion instruction waits for an answer here: the
    // program call's answer, when its program ends, is no motion's business.
    if (sm_link) return;
    bool wanted = false;
    std::shared_ptr<Run> run;
    try {
        collect_answers();
        {
            std::lock_guard lock(pending_mutex);
            run = pending_run;
        }
        wanted = run && run->has_failed();
        // Never wait for the sampling lock here: its holder may be waiting
        // for an answer that only this thread can read (an event condition
        // reading an input, say). The streaming thread refills instead.
        std::unique_lock lock(sampling_mutex, std::try_to_lock);
        if (!lock.owns_lock()) {
            wanted = true;
        } else if (run && motion.run() == run && motion.phase() == MotionPhase::streaming) {
            if (!link_usable()) {
                wanted = true;
            } else {
                wanted = fill_locked(*run) || wanted;
            }
        } else if (motion.phase() == MotionPhase::draining && pending_count() == 0) {
            wanted = true;
        }
    } catch (...) {
        if (run) run->fail_with(std::current_exception());
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
    if (sm_link) sm_link->wake();
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

FanucDriver::Clock::time_point FanucDriver::answer_deadline(const PendingInstruction& oldest) const {
    // The oldest instruction runs once the one before it was answered (or
    // once it arrived); the override stretches its execution.
    const auto started = std::max(oldest.sent_at, last_progress);
    const double execution = oldest.duration * 100.0 / std::max(1, known_override.load());
    const double margin = std::isfinite(instruction_timeout_margin) ? std::max(0.0, instruction_timeout_margin) : 1.0;
    return started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(execution + margin));
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
    refuse_as_error("No answer to motion instruction " + std::to_string(*oldest_id) + " in time; ending the motion.");
    return false;
}

}  // namespace orvane::drivers
