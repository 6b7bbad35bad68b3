#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <optional>

#include "orvane/drivers/result.hpp"

namespace orvane::drivers {

/// Where the motion of a driver is in its life. One value at a time; what
/// belongs to a phase (the run, the stop) is kept beside it in MotionState.
/// The transitions between them are listed in motion_state.cpp.
///
/// The phases do not depend on how the arm is commanded: a stream of
/// instructions answered one by one, a loop that answers every status packet
/// of the controller, or a queue of motions the controller plans itself all
/// start a run (`streaming`), stop feeding it (`draining`), and end it.
enum class MotionPhase : std::uint8_t {
    /// No motion can start: not enabled, or the link it was enabled on is gone.
    disabled,
    /// The enable sequence is running.
    enabling,
    /// Enabled; nothing moves and no motion is paused.
    ready,
    /// A run feeds the controller.
    streaming,
    /// A run has fed its last sample (or stands still at a pause) and waits
    /// for the controller to finish what it holds.
    draining,
    /// A run, or a paused motion, is being ended: its hooks run and its waiter
    /// is answered. Requests wait until it is over.
    ending,
    /// A motion stands paused and no run feeds it; resume continues it.
    paused,
    /// A stop, a disable or the abort after a failure is under way.
    stopping,
    /// The driver is going away; nothing starts again.
    closed,
    /// Motions the controller plans itself are queued on it (sent and not
    /// yet answered, or waiting for a place in its queue); nothing streams.
    queueing,
    /// Those motions are held by the controller (a pause); resume continues them.
    holding,
};

/// The name of a phase, for log lines and test output.
const char* to_string(MotionPhase phase);

/// What happens to the motion; each is one row (or a few, one per phase it
/// may leave) of the transition table.
enum class MotionEvent : std::uint8_t {
    enable_started,
    enabled,
    enable_failed,
    run_started,
    resumed,
    handed_over,
    last_sample_sent,
    sending_again,
    run_ended,
    run_cut_off,
    run_failed,
    motion_closed,
    motion_kept,
    motion_cut_off,
    paused_motion_ended,
    link_lost,
    stop_started,
    stop_left_ready,
    stop_left_disabled,
    closed,
    queue_started,
    queue_drained,
    queue_held,
    queue_continued,
    queue_failed,
    queue_cut_off,
};

const char* to_string(MotionEvent event);

/// The phase `event` leads to from `from`; empty when the table has no such row.
std::optional<MotionPhase> transition_target(MotionEvent event, MotionPhase from);

/// How a run ends, or why it must.
enum class RunEnd : std::uint8_t { finished, paused, stopped, failed, link_lost, no_trajectory };

/// What a motion request asks for.
enum class RunSource : std::uint8_t {
    /// A trajectory given by the caller.
    trajectory,
    /// A command the driver plans (move, blend, named motion).
    command,
    /// The paused motion, ramping the speed back up.
    resume,
    /// The motion the time scaler holds, at the present speed.
    continuation,
};

/// Why a stop runs; decides the phase it leaves the driver in.
enum class StopKind : std::uint8_t {
    /// stop(): ready again afterwards when the driver was enabled.
    stop,
    /// disable(): disabled afterwards.
    disable,
    /// A failed run: the controller's motion is aborted, nothing initialised again.
    failure,
    /// The destructor: closed afterwards.
    close,
};

/// One run: from the start (or a resume) of a motion until the controller has
/// finished it, it was stopped or it failed. A motion requested while a run
/// streams takes the run over (a new waiter; the samples go on).
///
/// The fields marked "state lock" are read and written under the lock that
/// guards the MotionState holding the run; the failure and the error may be
/// recorded by any thread (the socket's reader finds refusals).
class Run {
public:
    explicit Run(std::uint64_t serial) : serial(serial) {}
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    /// Counts the runs of one driver, from 1.
    const std::uint64_t serial;

    // --- state lock ---------------------------------------------------------------
    /// The waiter of the motion the run feeds now (replaced at a hand-over).
    std::shared_ptr<std::promise<Result>> promise;
    std::shared_future<Result> future;
    RunSource source{RunSource::trajectory};
    /// Samples fed to the controller by this run.
    std::size_t sent{0};
    /// The streaming thread has taken the run up.
    bool taken_up{false};
    /// The time scaler's last status (TimeScaler::moving, standing_still, ...).
    int scaler_status{0};
    /// The next moving sample is where the arm already is: draw it, send nothing.
    bool skip_next_sample{true};
    /// The path-deviation monitor stopped it: the stop is how, the deviation is why.
    bool stopped_for_deviation{false};

    // --- any thread -----------------------------------------------------------------
    /// Records why the run must end; the first reason stays. True when this
    /// call recorded it.
    bool fail(RunEnd why);
    /// Records a fault of the driver itself, rethrown to the waiter; the run fails.
    void fail_with(std::exception_ptr error);
    bool has_failed() const { return failure_.load() != no_failure; }
    std::optional<RunEnd> failure() const;
    std::exception_ptr error() const;

private:
    static constexpr std::uint8_t no_failure = 0xff;
    std::atomic<std::uint8_t> failure_{no_failure};
    // Innermost: taken with nothing inside it.
    mutable std::mutex error_mutex_;
    std::exception_ptr error_;
};

/// A stop under way, while the phase is `stopping`.
struct StopInFlight {
    StopKind kind{StopKind::stop};
    /// The stop's outcome; another stop of the same kind waits for it.
    std::shared_future<Result> done;
    /// The driver was enabled when the stop began (it may then enable again).
    bool was_enabled{false};
    /// A paused motion was open when the stop began: the stop ends it.
    bool ends_paused_motion{false};
};

/// The motion's life: the phase and the data that belongs to it. Every change
/// of phase goes through apply(), which checks it against the transition
/// table. The owner guards it with one lock (the state lock); other threads
/// read the published copies.
class MotionState {
public:
    /// Caller holds the state lock.
    MotionPhase phase() const { return phase_; }
    /// Any thread: the phase as last applied.
    MotionPhase published_phase() const { return published_phase_.load(); }
    /// Any thread: the serial of the run the streaming thread feeds (0 for none).
    std::uint64_t published_run() const { return published_run_.load(); }

    /// Moves to the phase the table gives for `event`; throws OrvaneError
    /// ("driver") naming both when the table has no such row (a fault of the
    /// driver, never of its user). Caller holds the state lock.
    void apply(MotionEvent event);

    /// Caller holds the state lock.
    void set_run(std::shared_ptr<Run> next);
    /// Caller holds the state lock.
    void clear_run();
    const std::shared_ptr<Run>& run() const { return run_; }

    /// Counts runs started, for a new Run's serial. Caller holds the state lock.
    std::uint64_t next_run_serial() { return ++runs_; }
    /// Counts every transition and change of run, so that what was seen
    /// before the lock was let go is known to be still true. Caller holds
    /// the state lock.
    std::uint64_t changes() const { return changes_; }

    /// While stopping: the stop under way. Caller holds the state lock.
    std::optional<StopInFlight> stop;

private:
    MotionPhase phase_{MotionPhase::disabled};
    std::atomic<MotionPhase> published_phase_{MotionPhase::disabled};
    std::atomic<std::uint64_t> published_run_{0};
    std::shared_ptr<Run> run_;
    std::uint64_t runs_{0};
    std::uint64_t changes_{0};
};

}  // namespace orvane::drivers
