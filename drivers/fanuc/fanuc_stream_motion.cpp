// FanucDriver: feeding a run to the controller over Stream Motion.
//
// The loop (stream_motion_link.cpp) answers each status of the controller
// with one command, on a thread of its own that allocates nothing and takes
// no lock. The streaming thread (run_thread) feeds it: each period it draws
// the time scaler's next sample at the controller's period, under the
// sampling lock, hands it over through a ring, and runs the control-step
// hooks. The run goes through the same motion state as over RMI.
//
// What keeps every command within the controller's limits:
// - a trajectory is checked against the tables, sampled as it will be,
//   before it starts (stream_limit_violation);
// - the speed factor changes at a bounded rate and a bounded rate of that
//   rate (TimeScaler::FactorLimits), from the share of the limits that plans
//   leave (stream_motion_planning_share);
// - motions start from the last command, never the measured position;
// - a stop slows the playback to standstill within those bounds, then ends the run.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <string>

#include <pthread.h>

#include "orvane/drivers/fanuc/fanuc_driver.hpp"
#include "orvane/drivers/fanuc/rmi_requests.hpp"
#include "orvane/log/log.hpp"
#include "orvane/log/orvane_error.hpp"
#include "stream_motion_link.hpp"

namespace orvane::drivers {

namespace {

namespace sm = stream_motion;

const std::string tag = "driver";
const std::string program_name = "STREAM_MOTN";

// The streaming thread looks at the run at least this often without a tick.
constexpr auto tick_limit = std::chrono::milliseconds(100);
// Samples handed to the loop ahead of the period that wants the next one.
// One: each status wakes the sampling thread to draw the sample for the
// following period, so a speed change, pause or stop asked in one period is
// drawn at the next status and commanded at the one after, within two
// periods. A sampling thread woken later than that (rare with the real-time
// scheduling it asks for) makes the loop bridge the period and ease the gap
// away, within the limits; a longer lead would delay every change by as much.
constexpr std::uint64_t lookahead = 1;
// How long after a status shows an alarm the driver looks for a graver
// fault behind it (an E-stop shows as an alarm first, as the stop itself
// some 400 ms later).
constexpr auto fault_settling = std::chrono::milliseconds(600);
// After RMI is lost, how long the statuses may take to name a fault behind it
// (the loop bridges the feed meanwhile, or ends the motion as late).
constexpr auto rmi_fault_grace = std::chrono::milliseconds(30);
// No status for this long is a lost link.
constexpr auto link_timeout = std::chrono::milliseconds(500);
// After a call of the program while an earlier instance may still live: how
// long bit 0 is watched once it rose (it drops once about a second after the call).
constexpr auto stale_program_settle = std::chrono::milliseconds(1500);
// Shares of the limits left by a plan that the speed factor's rate and its
// rate of change may use (of acceleration, and of jerk for the latter).
constexpr double rate_share = 0.3;
constexpr double rate_change_share = 0.1;
// A trajectory that uses nearly all of a limit still gets this much of the
// bounds, or its speed could never change (nor a stop end it).
constexpr double least_headroom = 0.1;

sm::SessionSettings session_settings() {
    sm::SessionSettings settings;
    // UDP may drop a datagram; a shared machine may be slow to answer.
    settings.answer_timeout = std::chrono::milliseconds(200);
    settings.ready_timeout = std::chrono::milliseconds(5000);
    settings.motion_end_timeout = std::chrono::milliseconds(2000);
    return settings;
}

}  // namespace

// --- enabling --------------------------------------------------------------------------

Result FanucDriver::start_stream_motion() {
    // The program must run before Start, or the controller never takes commands.
    // An earlier instance that did not end by its last command (an abort, a
    // fault, a lost link) may still live; its answer would have said it ended.
    bool stale = sm_program_may_live;
    if (program_call && program_call->valid() &&
        program_call->wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
        try {
            const auto answer = program_call->get();
            if (answer && answer->success) stale = false;
        } catch (const std::exception&) {
            // Cut off with its link: nothing said it ended.
        }
        program_call.reset();
    }
    ProgramCallInstruction call(next_sequence_id, program_name);
    program_call = socket.send_request(call, std::nullopt);
    ++next_sequence_id;
    sm_program_may_live = true;
    auto settings = session_settings();
    if (stale) settings.ready_settle = stale_program_settle;
    const auto info = sm_link->open(host, sm_port, settings, link_timeout);
    if (!info) {
        refuse_as_error("Stream Motion could not be brought up (" + std::string(sm::describe(info.error().step)) +
                        "): " + info.error().reason);
        return info.error().result;
    }
    if (!info->limits.complete()) {
        sm_link->close(false);
        refuse_as_error("The controller's Stream Motion limit tables are incomplete; not enabled.");
        return Result::ErrorController;
    }
    std::lock_guard lock(sampling_mutex);
    sm_tables = info->limits;
    // The time scaler samples at the controller's period, whatever the planner's interval.
    time_scaler.delta_time = sm_link->period();
    time_scaler.smooth_interpolation = true;
    // A speed change then moves the next sample drawn, not the one after it.
    time_scaler.advance_before_sampling = true;
    // Bounds of the speed factor from the tables: a plan within the planning
    // share leaves the rest for the factor's changes (its rate times the
    // velocity adds to the acceleration; its rate of change times the
    // velocity, and three times its rate times the acceleration, to the jerk).
    const auto& units = sm::axis_units_of(*robot);
    double rate = INFINITY, rate_change = INFINITY;
    for (std::size_t axis = 0; axis < units.count; ++axis) {
        for (std::size_t step = 0; step < sm::threshold_entries; ++step) {
            const sm::SpeedSteps at{step, step, static_cast<double>(step)};
            const double v = info->limits.limit(axis, sm::LimitKind::velocity, at, 1.0);
            const double a = info->limits.limit(axis, sm::LimitKind::acceleration, at, 1.0);
            const double j = info->limits.limit(axis, sm::LimitKind::jerk, at, 1.0);
            if (!(v > 0.0)) continue;
            const double coupling = 3.0 * stream_motion_planning_share * a * a / (v * j);
            rate = std::min({rate, rate_share * a / v, (1.0 - stream_motion_planning_share - rate_change_share) /
                                                           std::max(coupling, 1e-9) * a / v});
            rate_change = std::min(rate_change, rate_change_share * j / v);
        }
    }
    sm_factor_limits = TimeScaler::FactorLimits{.max_rate = rate, .max_rate_change = rate_change};
    time_scaler.set_factor_limits(sm_factor_limits);
    time_scaler.halt(false);
    time_scaler.settle_factor();
    sm_failure.reset();
    sm_failure_reason.reset();
    sm_next_sample = 0;  // the loop numbers from 0 after open()
    return Result::Success;
}

Result FanucDriver::end_stream_motion(bool finish) {
    if (!sm_link) return Result::Success;
    const auto failure = sm_link->close(finish);
    {
        std::lock_guard lock(sampling_mutex);
        sm_tables.reset();
    }
    if (failure) {
        log::log_warn(tag, "Ending Stream Motion: " + failure->reason);
        return failure->result;
    }
    // The last command ended the program.
    if (finish) sm_program_may_live = false;
    return Result::Success;
}

// --- what a user reads ---------------------------------------------------------------------

std::optional<orvane::JointLimitTable> FanucDriver::stream_motion_limits() const {
    const auto tables = stream_motion_tables();
    if (!tables) return std::nullopt;
    const auto full = sm::planner_limits(*tables, sm::axis_units_of(*robot), std::nullopt);
    // Acceleration and jerk cut to the planning share; velocity kept.
    auto cut = [](std::vector<orvane::SteppedJointLimits> limits) {
        for (auto& joint : limits) {
            for (auto& value : joint.acceleration) value *= stream_motion_planning_share;
            for (auto& value : joint.jerk) value *= stream_motion_planning_share;
        }
        return limits;
    };
    return orvane::JointLimitTable(full.speeds(), cut(full.unloaded()), cut(full.loaded()), full.payload());
}

std::optional<sm::ThresholdTables> FanucDriver::stream_motion_tables() const {
    std::lock_guard lock(sampling_mutex);
    return sm_tables;
}

std::optional<double> FanucDriver::stream_motion_period() const {
    if (!sm_link || !sm_link->is_open()) return std::nullopt;
    return sm_link->period();
}

std::uint64_t FanucDriver::late_cycles() const {
    if (!sm_link) return 0;
    const auto figures = sm_link->figures();
    return figures.late_commands + figures.skipped_statuses;
}

std::optional<sm::LoopFigures> FanucDriver::stream_motion_figures() const {
    if (!sm_link || !sm_link->is_open()) return std::nullopt;
    return sm_link->figures();
}

double FanucDriver::time_scaler_factor() const {
    std::lock_guard lock(sampling_mutex);
    return time_scaler.get_factor();
}

void FanucDriver::reset_stream_motion_figures() {
    if (sm_link) sm_link->reset_figures();
}

std::vector<double> FanucDriver::last_streamed_position() const {
    const auto commanded = sm_link->last_commanded();
    return std::vector<double>(commanded.begin(), commanded.begin() + static_cast<std::ptrdiff_t>(degrees_of_freedom));
}

// --- limits --------------------------------------------------------------------------------

std::optional<std::string> FanucDriver::stream_limit_violation(const orvane::Trajectory& candidate, bool in_flight) {
    if (!sm_tables) return std::string("Stream Motion is not up: enable the driver first.");
    sm::StreamPlan plan;
    plan.period = time_scaler.delta_time;
    plan.units = sm::axis_units_of(*robot);
    plan.first_joint = offset;
    plan.arm = std::dynamic_pointer_cast<const orvane::RobotArm>(robot);
    plan.arm_first_joint = offset;
    // The payload is not known here: the strictest reading of the tables.
    plan.payload = plan.full_payload;
    std::array<sm::Joints, 3> before{};
    if (in_flight) {
        before = sm_history;
    } else {
        const auto at = sm_link->last_commanded();
        before = {at, at, at};
    }
    plan.history = before;
    const auto check = sm::check_limits(candidate, *sm_tables, plan);
    if (check.violation) return check.violation->describe();
    bound_speed_changes(check.worst_ratio);
    return std::nullopt;
}

void FanucDriver::bound_speed_changes(const std::array<double, 3>& worst_ratio) {
    if (!sm_factor_limits) return;
    // A plan that uses more than the planning share leaves less for the
    // factor's changes: they slow down in proportion.
    const double left = 1.0 - stream_motion_planning_share;
    const double headroom =
        std::clamp(std::min(1.0 - worst_ratio[1], 1.0 - worst_ratio[2]) / left, least_headroom, 1.0);
    time_scaler.set_factor_limits(TimeScaler::FactorLimits{
        .max_rate = sm_factor_limits->max_rate * headroom,
        .max_rate_change = sm_factor_limits->max_rate_change * headroom,
    });
}

// --- the run -------------------------------------------------------------------------------

void FanucDriver::feed_loop(Run& run) {
    // Every sample is drawn and handed over in order, numbered: one the loop
    // had to bridge without still tells it how far off the bridge was.
    const bool halting = run.failure() == RunEnd::stopped;
    const bool feeding = motion.phase() == MotionPhase::streaming || halting;
    while (feeding && run.scaler_status == TimeScaler::moving && sm_next_sample < sm_link->wanted_sample() + lookahead) {
        const int status = draw_sample(run);
        run.scaler_status = status;
        if (status == TimeScaler::nothing_to_do) break;
        // Paused before the first move: the robot rests where it is.
        if (status == TimeScaler::standing_still && run.sent == 0) break;
        sm::PlanSample sample;
        std::copy_n(current_state.position.begin(), degrees_of_freedom, sample.position.begin());
        sample.more_follows = status == TimeScaler::moving;
        sample.index = sm_next_sample;
        // Cannot fail: the ring holds the lead and the late samples of two bridged periods, and more.
        if (!sm_link->push(sample)) break;
        ++sm_next_sample;
        sm_history = {sm_history[1], sm_history[2], sample.position};
        last_sent_state.position = current_state.position;
        last_sent_state.velocity = current_state.velocity;
        last_sent_state.acceleration = current_state.acceleration;
        ++run.sent;
        report_sample();
    }
    if (motion.phase() == MotionPhase::streaming && run.scaler_status != TimeScaler::moving) {
        motion.apply(MotionEvent::last_sample_sent);
    }
}

RunEnd FanucDriver::stream_sm(Run& run) {
    // Once for this thread: it draws a sample every period from now on.
    thread_local const bool realtime = sm::prefer_realtime(pthread_self(), sm::sampling_priority);
    if (!realtime) sm::note_without_realtime();
    bool halting = false;
    std::optional<Clock::time_point> fault_seen_at;
    std::optional<Clock::time_point> rmi_lost_at;
    for (;;) {
        run_step_hooks();
        take_statuses();
        bool settling = false;
        {
            std::lock_guard lock(sampling_mutex);
            if (const auto error = run.error()) std::rethrow_exception(error);
            const auto loop_fault = sm_link->fault();
            const auto now = Clock::now();
            if (!link_usable() && loop_fault == sm::LoopFault::none) {
                // The controller may drop RMI for a fault that the next status
                // names (the pendant): that is the reason, if it shows in time.
                if (!rmi_lost_at) rmi_lost_at = now;
                settling = now - *rmi_lost_at < rmi_fault_grace;
                if (!settling) {
                    run.fail(RunEnd::link_lost);
                    return RunEnd::link_lost;
                }
            }
            if (loop_fault == sm::LoopFault::link_lost || (rmi_lost_at && loop_fault == sm::LoopFault::host_late)) {
                run.fail(RunEnd::link_lost);
                return RunEnd::link_lost;
            }
            if (loop_fault == sm::LoopFault::host_late) {
                sm_failure = Result::Error;
                sm_failure_reason = "The motion ended: this host fell behind the controller's period for more than " +
                                    std::to_string(sm::StreamMotionLink::max_coasting_periods) +
                                    " periods in a row; no more motion was commanded and the controller stops the arm.";
                run.fail(RunEnd::failed);
                return RunEnd::failed;
            }
            if (loop_fault == sm::LoopFault::status) {
                // The loop stopped commanding motion at once. An alarm may be
                // the first sign of an E-stop or the pendant: the reason waits
                // a moment for the status to say which.
                const auto fault = sm_link->status_fault();
                if (!fault_seen_at) fault_seen_at = now;
                settling = (fault == sm::StatusFault::in_error || fault == sm::StatusFault::not_ready) &&
                           now - *fault_seen_at < fault_settling;
            }
            if (loop_fault == sm::LoopFault::status && !settling) {
                const auto fault = sm_link->status_fault();
                sm_failure = sm::result_of(fault);
                sm_failure_reason = "The motion ended: " + std::string(sm::describe(fault)) + ".";
                run.fail(RunEnd::failed);
                return RunEnd::failed;
            }
            const auto failure = run.failure();
            if (failure && failure != RunEnd::stopped) return *failure;
            // Nothing more is fed while a fault settles.
            if (!settling) {
                if (failure == RunEnd::stopped && !halting) {
                    // Slowed to standstill within the limits, then ended.
                    halting = true;
                    time_scaler.halt(true);
                    if (run.scaler_status == TimeScaler::standing_still) run.scaler_status = TimeScaler::finished;
                }
                feed_loop(run);
                // A run ends with its last sample commanded and no bridge's gap left.
                const bool drained = sm_link->settled();
                if (halting && run.scaler_status != TimeScaler::moving && drained) {
                    time_scaler.halt(false);
                    return RunEnd::stopped;
                }
                if (!halting && motion.phase() == MotionPhase::draining && drained && !step_hooks_waiting()) {
                    motion.apply(MotionEvent::run_ended);
                    if (run.scaler_status == TimeScaler::finished) return RunEnd::finished;
                    if (run.scaler_status == TimeScaler::standing_still) return RunEnd::paused;
                    return RunEnd::no_trajectory;
                }
            }
        }
        if (!step_hooks_waiting()) sm_link->wait_for_tick(tick_limit);
    }
}

void FanucDriver::take_statuses() {
    sm::LoopStatus status;
    std::vector<double> measured(degrees_of_freedom), commanded(degrees_of_freedom), currents(degrees_of_freedom);
    while (sm_link->pop_status(status)) {
        std::copy_n(status.joints.begin(), degrees_of_freedom, measured.begin());
        std::copy_n(status.commanded.begin(), degrees_of_freedom, commanded.begin());
        std::copy_n(status.currents.begin(), degrees_of_freedom, currents.begin());
        feedback.status_received(status.received_at, status.time_stamp, measured, commanded, currents);
    }
}

}  // namespace orvane::drivers
