// FanucDriver: motion requests. Starting a run, handing a new motion over to
// the run in flight (planned without any lock, from a junction ahead on the
// trajectory playing), resuming a paused motion, and the operations that
// ask for them.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <utility>

#include "orvane/drivers/durations.hpp"
#include "orvane/drivers/fanuc/fanuc_driver.hpp"
#include "orvane/log/log.hpp"
#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers {

namespace {

const std::string tag = "driver";
const std::string replan_error =
    "Attempted to replan a trajectory from a point the driver cannot adjust from. Was the start point in the path "
    "and not already executed?";

// Resume starts the speed here, not at 0: at exactly 0 the time scaler
// reports standing still and the run would end at once.
constexpr double resume_start_speed = 1e-9;
// Speeds below this count as paused (as Driver::is_paused does).
constexpr double paused_speed = 0x1p-52;

std::shared_future<Result> ready(const Result& result) {
    std::promise<Result> promise;
    promise.set_value(result);
    return promise.get_future().share();
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

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

// --- checks ----------------------------------------------------------------------

bool FanucDriver::is_valid_trajectory(const orvane::Trajectory& candidate) const {
    if (candidate.empty()) {
        refuse("Refused to run an empty trajectory.");
        return false;
    }
    orvane::State first = candidate.front();
    slice_state_offset(first);
    if (first.position.size() != degrees_of_freedom) {
        refuse("Refused to run a trajectory of " + std::to_string(candidate.degrees_of_freedom()) +
               " joints on a robot of " + std::to_string(degrees_of_freedom) + ".");
        return false;
    }
    for (const auto& sample : candidate.positions()) {
        for (const double value : sample) {
            if (!std::isfinite(value)) {
                refuse("Refused to run a trajectory with a joint value that is not finite.");
                return false;
            }
        }
    }
    if (const auto violation = find_limit_violation(candidate)) {
        refuse_as_error("Refused to run the trajectory: " + *violation);
        return false;
    }
    return true;
}

bool FanucDriver::is_speed_zero_for(RunSource source) const {
    // At speed 0 a motion would stand still from its first sample and end
    // at once as if stopped: refuse it and say why. A resume ramps up to the
    // speed last set, so for it that speed is what counts.
    const bool zero =
        source == RunSource::resume ? speed < paused_speed : time_scaler.get_scale_user() < paused_speed;
    if (zero) refuse("The speed is 0: set a speed above 0 to move (a pause is ended by resume).");
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
    time_scaler.release_ramp_waiters();
    const double duration = pausing_duration;
    if (is_valid_ramp_duration(duration)) {
        time_scaler.move_scale_user_linearly_to(speed, duration);
    } else {
        // A ramp of unusable length would crawl at the start speed for ever.
        time_scaler.stop_scale_user_movement();
        time_scaler.set_scale_user(speed);
    }
}

bool FanucDriver::busy() const {
    switch (motion.phase()) {
        case MotionPhase::enabling:
        case MotionPhase::ending:
        case MotionPhase::stopping: return true;
        case MotionPhase::streaming:
        case MotionPhase::draining: return motion.run() && motion.run()->has_failed();
        default: return motion.run() != nullptr;  // a stopped run still winds down
    }
}

std::shared_future<Result> FanucDriver::refused(const Result& result, const std::string& why) {
    refuse(why);
    return ready(result);
}

// --- requests --------------------------------------------------------------------

std::shared_future<Result> FanucDriver::request_motion(const MotionRequest& request) {
    const auto before = motion.published_phase();
    // Without the controller every motion answers alike, enabled before or not.
    if (!check_link()) return refused(Result::ErrorControllerConnection, "The controller is not connected.");
    if (before == MotionPhase::disabled) {
        return refused(Result::ErrorControllerEnableMotors, "The driver is not enabled: call enable() first.");
    }
    // Lost and made anew: RMI is no longer initialised.
    if (motion.published_phase() == MotionPhase::disabled) {
        return refused(Result::ErrorControllerConnection,
                       "The link to the controller was lost and made anew: call enable() again.");
    }

    // Copied and checked here, not under the lock the stream needs. Declared
    // before the lock, so that a trajectory swapped out goes after it.
    std::optional<orvane::Trajectory> given;
    orvane::Trajectory spare;
    if (request.source == RunSource::trajectory) {
        if (!is_valid_trajectory(*request.trajectory)) return ready(Result::Error);
        if (request.trajectory != &trajectory) given.emplace(*request.trajectory);
    }

    std::optional<std::vector<double>> measured;
    std::uint64_t measured_at = 0;
    double lead = planning_estimate.load();
    const bool from_run_thread = on_run_thread();
    std::unique_lock lock(sampling_mutex);
    if (request.source == RunSource::trajectory && !given) given.emplace(trajectory);
    for (;;) {
        // A stop in progress, a run winding down or an enable decide what
        // comes next; a request waits for them rather than racing them.
        // Controller-planned motions queued: the stream waits for them to drain.
        if (busy() || controller_queue_open()) {
            if (from_run_thread) return ready(Result::ErrorCommandAlreadyInProgress);
            motion_changed.wait(lock, [this] { return !busy() && !controller_queue_open(); });
        }
        const auto phase = motion.phase();
        if (phase == MotionPhase::closed) return ready(Result::ErrorTrajectoryAborted);
        if (phase == MotionPhase::disabled) {
            return refused(Result::ErrorControllerEnableMotors, "The driver is not enabled: call enable() first.");
        }
        if (is_speed_zero_for(request.source)) return ready(Result::ErrorSpeedIsZero);

        if (phase == MotionPhase::streaming || phase == MotionPhase::draining) {
            auto& run = *motion.run();
            switch (request.source) {
                case RunSource::resume:
                    // Cancels a pause still ramping down or already at standstill;
                    // a run that only waits for its last answers goes on.
                    if (is_pausing || time_scaler.get_scale_user() < paused_speed ||
                        run.scaler_status == TimeScaler::standing_still) {
                        time_scaler.set_scale_user(std::max(time_scaler.get_scale_user(), resume_start_speed));
                        ramp_up_after_pause();
                        if (run.scaler_status == TimeScaler::standing_still) {
                            run.scaler_status = TimeScaler::moving;
                            run.skip_next_sample = true;
                            if (phase == MotionPhase::draining) motion.apply(MotionEvent::sending_again);
                        }
                        wake_stream();
                    }
                    return ready(Result::Success);
                case RunSource::continuation: return run.future;
                case RunSource::trajectory: {
                    orvane::State first = given->front();
                    slice_state_offset(first);
                    if (!are_positions_within(first.position, last_sent_state.position, start_tolerance)) {
                        throw OrvaneError(tag, replan_error);
                    }
                    if (sm_link) {
                        if (const auto broken = stream_limit_violation(*given, true)) {
                            return refused(Result::Error, "Refused to run the trajectory: " + *broken);
                        }
                    }
                    std::swap(trajectory, *given);
                    time_scaler.set_trajectory(&trajectory);
                    ++trajectory_serial;
                    // The new trajectory's first sample is the point already sent.
                    run.skip_next_sample = true;
                    run.scaler_status = TimeScaler::moving;
                    return take_over(lock);
                }
                case RunSource::command: {
                    // Planned without the lock, from a point far enough ahead
                    // that the stream has not passed it when the plan is done.
                    auto junction = choose_junction(lead);
                    const auto run_serial = run.serial;
                    lock.unlock();
                    const auto started = Clock::now();
                    orvane::Trajectory planned;
                    const bool planned_ok = calculate_trajectory(*request.command, planned, junction.start);
                    const double took = seconds_since(started);
                    planning_estimate = took;
                    if (planned_ok) junction.prefix.append(planned);
                    planned = orvane::Trajectory();  // freed here, not under the lock
                    lock.lock();
                    if (!planned_ok) return ready(Result::ErrorTrajectoryDidNotUpdate);
                    const auto now = motion.phase();
                    if (!busy() && (now == MotionPhase::streaming || now == MotionPhase::draining) &&
                        motion.run()->serial == run_serial && is_ahead(junction)) {
                        auto& taking = *motion.run();
                        std::swap(trajectory, junction.prefix);
                        spare = std::move(junction.prefix);
                        time_scaler.continue_on(&trajectory, junction.from_time);
                        ++trajectory_serial;
                        // A run that had sent its last sample sent the junction already.
                        if (now == MotionPhase::draining) taking.skip_next_sample = true;
                        taking.scaler_status = TimeScaler::moving;
                        return take_over(lock);
                    }
                    // The stream passed the junction (or the run ended): again,
                    // with a lead the plan is known to need.
                    lead = 2.0 * took + delta_time;
                    continue;
                }
            }
        }

        // Nothing streams: ready, or a motion is paused.
        const bool continues = request.source == RunSource::resume || request.source == RunSource::continuation;
        if (continues) {
            if (phase != MotionPhase::paused || time_scaler.trajectory == nullptr || time_scaler.trajectory->empty()) {
                return refused(Result::Error, "There is no paused motion to continue.");
            }
        } else if (phase == MotionPhase::paused) {
            // A new motion ends the paused one (its events, its pause).
            end_paused_motion(lock, false);
            continue;
        }

        if (!measured || measured_at != motion.changes()) {
            // Where the robot rests decides whether it can start; read it
            // without the lock (a command exchange) and look again.
            measured_at = motion.changes();
            lock.unlock();
            // Over Stream Motion a motion starts from the last command: the
            // controller computes the next command's motion from it.
            measured = sm_link ? last_streamed_position() : get_current_joint_position();
            lock.lock();
            if (measured->empty()) return ready(Result::ErrorControllerConnection);  // lost meanwhile
            continue;
        }

        switch (request.source) {
            case RunSource::trajectory: {
                orvane::State first = given->front();
                slice_state_offset(first);
                if (!are_positions_within(first.position, *measured, start_tolerance)) {
                    return refused(Result::ErrorStartPositionDeviation,
                                   "The trajectory does not start where the robot is.");
                }
                if (sm_link) {
                    if (const auto broken = stream_limit_violation(*given, false)) {
                        return refused(Result::Error, "Refused to run the trajectory: " + *broken);
                    }
                }
                std::swap(trajectory, *given);
                break;
            }
            case RunSource::command: {
                RobotState start;
                start.position = *measured;
                const auto planned_at = motion.changes();
                lock.unlock();
                orvane::Trajectory planned;
                const auto started = Clock::now();
                const bool planned_ok = calculate_trajectory(*request.command, planned, start);
                planning_estimate = seconds_since(started);
                lock.lock();
                if (!planned_ok) return ready(Result::ErrorTrajectoryDidNotUpdate);
                // Something moved meanwhile: measure and plan again.
                if (motion.changes() != planned_at || busy()) continue;
                if (sm_link) {
                    if (const auto broken = stream_limit_violation(planned, false)) {
                        return refused(Result::ErrorTrajectoryDidNotUpdate,
                                       "The planned motion breaks the controller's Stream Motion limits: " + *broken);
                    }
                }
                std::swap(trajectory, planned);
                spare = std::move(planned);
                break;
            }
            case RunSource::resume:
            case RunSource::continuation: {
                if (!are_positions_within(next_sample_position(), *measured, start_tolerance)) {
                    return refused(Result::ErrorStartPositionDeviation,
                                   "The robot is no longer where its paused motion stands.");
                }
                if (request.source == RunSource::resume) {
                    time_scaler.set_scale_user(resume_start_speed);
                    ramp_up_after_pause();
                }
                break;
            }
        }
        if (request.source == RunSource::trajectory || request.source == RunSource::command) {
            time_scaler.set_trajectory(&trajectory);
            ++trajectory_serial;
        }
        return start_run(request.source, *measured);
    }
}

std::shared_future<Result> FanucDriver::start_run(RunSource source, const std::vector<double>& measured) {
    const bool new_motion = motion.phase() == MotionPhase::ready;
    auto run = std::make_shared<Run>(motion.next_run_serial());
    run->source = source;
    run->scaler_status = TimeScaler::moving;
    // The first sample is where the robot rests: sending it would only hold
    // the robot there for one interval.
    run->skip_next_sample = true;
    run->promise = std::make_shared<std::promise<Result>>();
    run->future = run->promise->get_future().share();
    last_sent_state = orvane::State(degrees_of_freedom);
    last_sent_state.position = measured;
    if (sm_link) {
        // From rest at the last command; a new motion starts at its full speed
        // factor (its trajectory starts at rest), a resumed one ramps up.
        stream_motion::Joints at{};
        std::copy(measured.begin(), measured.end(), at.begin());
        sm_history = {at, at, at};
        time_scaler.halt(false);
        if (source == RunSource::trajectory || source == RunSource::command) time_scaler.settle_factor();
    }
    {
        std::lock_guard stream(stream_mutex);
        stream_attention = false;
        step_samples.clear();
    }
    {
        std::lock_guard pending(pending_mutex);
        pending_responses.clear();
        pending_run = run;
        last_progress = Clock::now();
    }
    feedback.loop_started(run->serial, new_motion, measured);
    motion.set_run(run);
    motion.apply(new_motion ? MotionEvent::run_started : MotionEvent::resumed);
    is_running_flag = true;
    motion_changed.notify_all();
    return run->future;
}

std::shared_future<Result> FanucDriver::take_over(std::unique_lock<std::mutex>& lock) {
    auto& run = *motion.run();
    motion.apply(MotionEvent::handed_over);
    auto promise = std::make_shared<std::promise<Result>>();
    auto future = promise->get_future().share();
    auto replaced = std::exchange(run.promise, std::move(promise));
    run.future = future;
    wake_stream();
    lock.unlock();
    if (replaced) replaced->set_value(Result::ErrorTrajectoryAborted);
    return future;
}

FanucDriver::Junction FanucDriver::choose_junction(double lead) const {
    const auto& playing = *time_scaler.trajectory;
    const auto& times = playing.times();
    const std::size_t last = times.size() - 1;
    // The fastest the playback may go meanwhile: the user speed or the
    // target of its ramp (the internal factor never exceeds 1).
    double factor = time_scaler.get_scale_user();
    if (time_scaler.is_moving_scale_user) factor = std::max(factor, time_scaler.scale_movement.target_scale);
    const double ahead = std::max(lead, delta_time) * std::max(factor, 0.0);

    Junction junction;
    junction.from = std::min<std::uint64_t>(time_scaler.index, last);
    junction.from_time = times[junction.from];
    const auto at_or_after = std::lower_bound(times.begin() + static_cast<std::ptrdiff_t>(junction.from),
                                              times.end(), time_scaler.time + ahead);
    junction.index = std::min<std::uint64_t>(static_cast<std::uint64_t>(at_or_after - times.begin()), last);
    junction.time = times[junction.index];
    junction.trajectory_serial = trajectory_serial;

    std::vector<double> prefix_times;
    std::vector<std::vector<double>> positions, velocities, accelerations;
    for (auto k = junction.from; k <= junction.index; ++k) {
        orvane::State sample = playing.at(k);
        slice_state_offset(sample);
        prefix_times.push_back(times[k] - junction.from_time);
        positions.push_back(std::move(sample.position));
        velocities.push_back(std::move(sample.velocity));
        accelerations.push_back(std::move(sample.acceleration));
    }
    junction.start = RobotState(orvane::State(0.0, positions.back(), velocities.back(), accelerations.back()));
    junction.prefix = orvane::Trajectory(std::move(prefix_times), std::move(positions), std::move(velocities),
                                         std::move(accelerations));
    return junction;
}

bool FanucDriver::is_ahead(const Junction& junction) const {
    // time_scaler.time is where the next sample is drawn: the junction has
    // not been played while it lies at or after it.
    return trajectory_serial == junction.trajectory_serial && time_scaler.time <= junction.time;
}

// --- operations ------------------------------------------------------------------------
// Each public operation clears last_error as it starts, in the caller's
// thread; what an _async one runs later on a thread of its own does not clear
// it again (a later operation's refusal would be lost).

Result FanucDriver::run(const orvane::Trajectory& trajectory_) {
    if (on_run_thread()) {
        begin_operation();
        refuse_as_error("A synchronous run from an event action would wait for itself; use run_async.");
        return Result::ErrorCommandAlreadyInProgress;
    }
    return run_async(trajectory_).get();
}

std::shared_future<Result> FanucDriver::run_async(const orvane::Trajectory& trajectory_) {
    begin_operation();
    MotionRequest request;
    request.source = RunSource::trajectory;
    request.trajectory = &trajectory_;
    return request_motion(request);
}

Result FanucDriver::run_command() {
    begin_operation();
    if (on_run_thread()) return Result::ErrorCommandAlreadyInProgress;
    MotionRequest request;
    request.source = RunSource::continuation;
    return request_motion(request).get();
}

Result FanucDriver::run_command(const Command& command_) {
    begin_operation();
    return command_motion(command_);
}

Result FanucDriver::command_motion(const Command& command_) {
    if (on_run_thread()) {
        refuse_as_error("A synchronous motion from an event action would wait for itself; use the _async one.");
        return Result::ErrorCommandAlreadyInProgress;
    }
    MotionRequest request;
    request.source = RunSource::command;
    request.command = &command_;
    return request_motion(request).get();
}

Result FanucDriver::move_to(const orvane::Goal& goal, bool ignore_collisions) {
    return run_command(Command(PointCommand{goal, ignore_collisions}));
}

std::shared_future<Result> FanucDriver::move_to_async(const orvane::Goal& goal, bool ignore_collisions) {
    begin_operation();
    return launch([this, goal, ignore_collisions] { return command_motion(Command(PointCommand{goal, ignore_collisions})); })
        .share();
}

Result FanucDriver::move_along(const std::string& name, const std::optional<orvane::Goal>& goal,
                               bool ignore_collisions) {
    return run_command(Command(MotionCommand{name, goal, ignore_collisions}));
}

std::shared_future<Result> FanucDriver::move_along_async(const std::string& name,
                                                        const std::optional<orvane::Goal>& goal,
                                                        bool ignore_collisions) {
    begin_operation();
    return launch([this, name, goal, ignore_collisions] {
               return command_motion(Command(MotionCommand{name, goal, ignore_collisions}));
           })
        .share();
}

Result FanucDriver::blend_into(const orvane::Trajectory& target, double duration) {
    begin_operation();
    return blend_motion(target, duration);
}

Result FanucDriver::blend_motion(const orvane::Trajectory& target, double duration) {
    if (!is_valid_blend_duration(duration)) {
        refuse_as_error("Refused to blend: the blend duration " + std::to_string(duration) +
                        " is not a number of seconds from 0 on.");
        return Result::Error;
    }
    return command_motion(Command(BlendIntoCommand{target, duration}));
}

std::shared_future<Result> FanucDriver::blend_into_async(const orvane::Trajectory& target, double duration) {
    begin_operation();
    return launch([this, target, duration] { return blend_motion(target, duration); }).share();
}

Result FanucDriver::resume() {
    begin_operation();
    if (motion.published_phase() == MotionPhase::holding) return continue_controller_queue();
    return resume_motion();
}

Result FanucDriver::resume_motion() {
    MotionRequest request;
    request.source = RunSource::resume;
    auto result = request_motion(request);
    if (on_run_thread() && result.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        return Result::ErrorCommandAlreadyInProgress;
    }
    return result.get();
}

std::shared_future<Result> FanucDriver::resume_async() {
    begin_operation();
    return launch([this] {
               if (motion.published_phase() == MotionPhase::holding) return continue_controller_queue();
               return resume_motion();
           })
        .share();
}

}  // namespace orvane::drivers
