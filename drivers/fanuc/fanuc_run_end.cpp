// FanucDriver: how a run ends (finished, paused, failed, cut off), how a
// paused motion ends, and stopping: stop(), disable(), the deviation
// monitor's stop and the destructor's.
#include <chrono>
#include <cmath>
#include <exception>
#include <string>
#include <utility>

#include "orvane/drivers/fanuc/fanuc_driver.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/log/log.hpp"
#include "orvane/log/orvane_error.hpp"
#include "stream_motion_link.hpp"

namespace orvane::drivers {

namespace {

const std::string tag = "driver";

// How long a stop waits for the streaming thread to wind down.
constexpr auto run_end_limit = std::chrono::seconds(5);
// Over Stream Motion a stop first slows the arm within the controller's
// limits, which may take seconds more.
constexpr auto stream_run_end_limit = std::chrono::seconds(30);

std::shared_future<Result> ready(const Result& result) {
    std::promise<Result> promise;
    promise.set_value(result);
    return promise.get_future().share();
}

Result result_of(RunEnd end) {
    switch (end) {
        case RunEnd::finished: return Result::Success;
        case RunEnd::paused:
        case RunEnd::stopped: return Result::ErrorTrajectoryAborted;
        case RunEnd::failed: return Result::ErrorController;
        case RunEnd::link_lost: return Result::ErrorControllerConnection;
        case RunEnd::no_trajectory: return Result::Error;
    }
    return Result::Error;
}

}  // namespace

// --- the end of a run ------------------------------------------------------------------

void FanucDriver::finish_run(const std::shared_ptr<Run>& run, RunEnd end, std::exception_ptr error) {
    feedback.loop_ended();
    // The socket fails the requests of a closing link a moment before it
    // reports the link down: a failure without a link is a lost link.
    if ((error || end == RunEnd::failed) && !link_usable()) end = RunEnd::link_lost;

    std::unique_lock lock(sampling_mutex);
    const auto phase = motion.phase();
    bool aborts = false;
    std::shared_ptr<std::promise<Result>> failure_stop;
    if (phase == MotionPhase::ending) {
        // stream() saw it through: finished, paused or out of samples.
    } else if (run->failure() == RunEnd::stopped || (phase != MotionPhase::streaming && phase != MotionPhase::draining)) {
        // A stop cut it; the stop owns the phase.
        if (end != RunEnd::link_lost) end = RunEnd::stopped;
    } else if (end == RunEnd::link_lost) {
        motion.apply(MotionEvent::run_cut_off);
    } else {
        // The controller may still hold queued instructions: they are
        // aborted, and RMI is left for the next enable to initialise.
        end = RunEnd::failed;
        aborts = true;
        failure_stop = std::make_shared<std::promise<Result>>();
        motion.apply(MotionEvent::run_failed);
        motion.stop = StopInFlight{StopKind::failure, failure_stop->get_future().share(), false, false};
    }

    Result result = result_of(end);
    if (sm_failure && end == RunEnd::failed) {
        // The controller's status said why: E-stop, pendant, alarm, program ended.
        result = *sm_failure;
        if (sm_failure_reason) refuse_as_error(*sm_failure_reason);
    }
    sm_failure.reset();
    sm_failure_reason.reset();
    if (end == RunEnd::finished) set_last_error({});
    if (end == RunEnd::link_lost) set_last_error("The link to the controller was lost during the motion.");
    // The monitor stopped it: the stop is how, the deviation is why.
    if (run->stopped_for_deviation && !error && end != RunEnd::link_lost) result = Result::ErrorPathDeviation;
    const bool keeps_motion = end == RunEnd::paused && !error;
    if (!keeps_motion && end != RunEnd::finished) {
        std::lock_guard pending(pending_mutex);
        pending_responses.clear();
    }
    if (keeps_motion) is_running_flag = false;  // paused: the motion waits for resume
    auto promise = std::exchange(run->promise, nullptr);
    run->future = {};
    lock.unlock();

    if (aborts) abort_failed_run();
    if (sm_link && end == RunEnd::link_lost) end_stream_motion(false);
    if (!keeps_motion) finish_motion();

    lock.lock();
    if (motion.phase() == MotionPhase::ending) {
        if (keeps_motion) {
            motion.apply(MotionEvent::motion_kept);
        } else {
            motion.apply(end == RunEnd::link_lost ? MotionEvent::motion_cut_off : MotionEvent::motion_closed);
        }
    } else if (aborts && motion.phase() == MotionPhase::stopping) {
        motion.stop.reset();
        motion.apply(MotionEvent::stop_left_disabled);
    }
    if (motion.run() == run) motion.clear_run();
    {
        std::lock_guard pending(pending_mutex);
        if (pending_run == run) pending_run.reset();
    }
    motion_changed.notify_all();
    lock.unlock();

    if (failure_stop) failure_stop->set_value(Result::Success);
    if (promise) {
        if (error) {
            promise->set_exception(error);
        } else {
            promise->set_value(result);
        }
    }
}

void FanucDriver::abort_failed_run() {
    // The stream ends first: the controller stops hearing from it at once.
    if (sm_link) end_stream_motion(false);
    try {
        abort_rmi_motion("The motion failed.");
    } catch (const std::exception& failure) {
        log::log_error(tag, std::string("Aborting the failed motion failed: ") + reason_of(failure));
    }
    std::lock_guard pending(pending_mutex);
    pending_responses.clear();
}

RmiSocket::ResponsePtr FanucDriver::abort_rmi_motion(const std::string& why) {
    std::lock_guard lock(request_mutex);
    AbortRequest abort;
    const double timeout = std::isnan(abort_timeout) || abort_timeout <= 0.0 ? 10.0 : abort_timeout;
    auto pending = socket.send_request(abort, timeout);
    // The abort is on its way; now wake the streaming loop, which waits for
    // answers the controller will never send.
    socket.clear_instructions(why);
    if (pending.wait_for(std::chrono::duration<double>(timeout + 5.0)) != std::future_status::ready) {
        throw OrvaneError("driver.fanuc", "No answer to FRC_Abort from the controller.");
    }
    return pending.get();
}

void FanucDriver::finish_motion() {
    {
        std::lock_guard lock(sampling_mutex);
        time_scaler.release_ramp_waiters();
    }
    on_motion_did_finish();
}

void FanucDriver::end_paused_motion(std::unique_lock<std::mutex>& lock, bool link_gone) {
    motion.apply(MotionEvent::paused_motion_ended);
    lock.unlock();
    finish_motion();  // runs hooks: without the lock
    lock.lock();
    motion.apply(link_gone ? MotionEvent::motion_cut_off : MotionEvent::motion_closed);
    motion_changed.notify_all();
}

void FanucDriver::wait_until_run_ended(Clock::duration limit) {
    std::unique_lock lock(sampling_mutex);
    motion_changed.wait_for(lock, limit, [this] { return motion.run() == nullptr; });
}

// --- stopping ----------------------------------------------------------------------------

FanucDriver::StopStart FanucDriver::try_begin_stop(StopKind kind) {
    StopStart start;
    switch (motion.phase()) {
        case MotionPhase::stopping:
            start.other = motion.stop->done;
            start.outcome = motion.stop->kind == kind ? StopStart::joined : StopStart::must_wait;
            return start;
        case MotionPhase::enabling:
        case MotionPhase::ending: start.outcome = StopStart::must_wait; return start;
        case MotionPhase::closed: start.outcome = StopStart::closed; return start;
        default: break;
    }
    start.outcome = StopStart::begun;
    start.promise = std::make_shared<std::promise<Result>>();
    start.stop.kind = kind;
    start.stop.done = start.promise->get_future().share();
    start.stop.was_enabled = motion.phase() != MotionPhase::disabled;
    start.stop.ends_paused_motion = motion.phase() == MotionPhase::paused;
    // From here on the run in flight sends nothing more, nor do queued calls.
    if (const auto& run = motion.run()) run->fail(RunEnd::stopped);
    if (controller_queue_open()) cancel_controller_queue();
    motion.stop = start.stop;
    motion.apply(MotionEvent::stop_started);
    motion_changed.notify_all();
    wake_stream();
    return start;
}

Result FanucDriver::stop_motion(StopKind kind, bool from_loop) {
    StopStart start;
    {
        std::unique_lock lock(sampling_mutex);
        for (;;) {
            start = try_begin_stop(kind);
            if (start.outcome == StopStart::begun) break;
            if (start.outcome == StopStart::closed) return Result::Success;  // nothing moves any more
            // Another stop is under way: it ends this run too.
            if (from_loop) return Result::ErrorTrajectoryAborted;
            if (start.outcome == StopStart::joined) {
                lock.unlock();
                return start.other.get();
            }
            if (start.other.valid()) {
                lock.unlock();
                start.other.wait();
                lock.lock();
            } else {
                motion_changed.wait(lock);
            }
        }
    }
    return complete_stop(start, from_loop);
}

Result FanucDriver::complete_stop(const StopStart& start, bool from_loop) {
    try {
        const Result result = stop_sequence(start.stop, from_loop);
        start.promise->set_value(result);
        return result;
    } catch (...) {
        // The stop did not get through: nothing is enabled.
        end_stop(start.stop.kind == StopKind::close ? MotionEvent::closed : MotionEvent::stop_left_disabled);
        start.promise->set_exception(std::current_exception());
        throw;
    }
}

void FanucDriver::end_stop(MotionEvent event) {
    std::lock_guard lock(sampling_mutex);
    if (motion.phase() != MotionPhase::stopping) return;
    motion.stop.reset();
    motion.apply(event);
    motion_changed.notify_all();
}

Result FanucDriver::stop_sequence(const StopInFlight& stop, bool from_loop) {
    const auto left = stop.kind == StopKind::close ? MotionEvent::closed : MotionEvent::stop_left_disabled;
    const auto wind_down = [&] {
        // The streaming thread answers the run's waiter; a stop from inside an
        // action runs on that very thread, which ends the run once it returns.
        if (!from_loop) wait_until_run_ended(run_end_limit);
        if (stop.ends_paused_motion) finish_motion();
    };
    if (!socket.is_connected()) {
        socket.clear_instructions("Motion stopped: the controller is not connected.");
        wind_down();
        end_stop(left);
        return Result::ErrorControllerConnection;
    }

    if (sm_link) return stop_stream_motion(stop, from_loop, left);

    const auto answer = abort_rmi_motion("Motion was stopped.");
    {
        std::lock_guard lock(pending_mutex);
        pending_responses.clear();
    }
    wind_down();
    if (!answer || !answer->success) {
        if (answer && stop.was_enabled) {
            // Refused without RMI motion running, which is no news when disabled.
            log::log_warn(tag, "The controller refused FRC_Abort with error id " + std::to_string(answer->error_id) +
                                   ".");
        }
        // A refused disable leaves the driver as it was.
        const bool stays = stop.kind == StopKind::disable && stop.was_enabled;
        end_stop(stays ? MotionEvent::stop_left_ready : left);
        return Result::Error;
    }
    if (stop.kind == StopKind::stop && stop.was_enabled) {
        Result result = Result::Error;
        {
            std::lock_guard lock(request_mutex);
            result = initialise_rmi(true);
        }
        end_stop(result == Result::Success ? MotionEvent::stop_left_ready : MotionEvent::stop_left_disabled);
        return result;
    }
    end_stop(left);
    return Result::Success;
}

Result FanucDriver::stop_stream_motion(const StopInFlight& stop, bool from_loop, MotionEvent left) {
    // The run slows to standstill (stream_sm) and ends; the stream holds the
    // arm there. A stop leaves the session up; disable and close end it with
    // the last command, which also ends the controller's program.
    if (!from_loop) wait_until_run_ended(stream_run_end_limit);
    if (stop.ends_paused_motion) finish_motion();
    const bool usable = sm_link->is_open() && sm_link->fault() == stream_motion::LoopFault::none && link_usable();
    if (stop.kind == StopKind::stop && stop.was_enabled && usable) {
        end_stop(MotionEvent::stop_left_ready);
        return Result::Success;
    }
    const Result ended = end_stream_motion(usable);
    if (!usable && socket.is_connected()) {
        try {
            abort_rmi_motion("Motion was stopped.");
        } catch (const std::exception& error) {
            log::log_warn(tag, std::string("Aborting the controller's program failed: ") + reason_of(error));
        }
    }
    end_stop(left);
    if (!socket.is_connected()) return Result::ErrorControllerConnection;
    return stop.kind == StopKind::stop ? Result::Success : ended;
}

Result FanucDriver::stop(bool /*fast_stop*/) {
    begin_operation();
    return stop_motion(StopKind::stop, on_run_thread());
}

std::shared_future<Result> FanucDriver::stop_async(bool /*fast_stop*/) {
    begin_operation();
    const bool from_loop = on_run_thread();
    StopStart start;
    {
        std::lock_guard lock(sampling_mutex);
        start = try_begin_stop(StopKind::stop);
    }
    switch (start.outcome) {
        case StopStart::begun:
            // Begun here, so that nothing more is sent and a motion requested
            // next waits for it; the abort and its answer take their time on a
            // thread of their own.
            return launch([this, start] { return complete_stop(start, false); }).share();
        case StopStart::joined: return start.other;
        case StopStart::closed: return ready(Result::Success);
        case StopStart::must_wait: break;
    }
    if (from_loop) return ready(Result::ErrorTrajectoryAborted);  // another stop ends this run too
    return launch([this] { return stop_motion(StopKind::stop, false); }).share();
}

}  // namespace orvane::drivers
