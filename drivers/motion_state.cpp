// The motion's life as one state. Every transition, in one table:
//
//   event                from                   to         triggered by (thread)                    lock
//   -------------------  ---------------------  ---------  ---------------------------------------  --------
//   enable_started       disabled               enabling   enable() (a user's)                      sampling
//   enabled              enabling               ready      enable(), its sequence answered          sampling
//   enable_failed        enabling               disabled   enable(), its sequence refused           sampling
//   run_started          ready                  streaming  a motion request (a user's, an action)   sampling
//   resumed              paused                 streaming  resume(), run_command() (a user's)       sampling
//   handed_over          streaming, draining    streaming  a motion request while a run feeds       sampling
//   last_sample_sent     streaming              draining   whoever sent it: the streaming thread    sampling
//                                                          or the socket's reader
//   sending_again        draining               streaming  resume() of a run at a standstill        sampling
//   run_ended            draining               ending     the streaming thread: all answered       sampling
//   run_cut_off          streaming, draining    ending     the streaming thread: the link is gone   sampling
//   run_failed           streaming, draining    stopping   the streaming thread: a refusal, fault,  sampling
//                                                          overdue answer or driver error; it
//                                                          aborts and does not initialise again
//   motion_closed        ending                 ready      whoever ended it                         sampling
//   motion_kept          ending                 paused     the streaming thread: a paused run       sampling
//   motion_cut_off       ending                 disabled   whoever ended it (the link is gone)      sampling
//   paused_motion_ended  paused                 ending     a new motion request, or whoever finds   sampling
//                                                          the link gone (check_link)
//   link_lost            ready                  disabled   whoever finds the link gone              sampling
//   stop_started         disabled, ready,       stopping   stop(), stop_async(), disable(), the     sampling
//                        paused, streaming,                deviation monitor's thread, the
//                        draining, queueing,               destructor
//                        holding
//   stop_left_ready      stopping               ready      the stopping thread (RMI initialised)    sampling
//   stop_left_disabled   stopping               disabled   the stopping thread                      sampling
//   closed               stopping               closed     the destructor                           sampling
//   queue_started        ready                  queueing   a controller-planned motion (a user's)   sampling
//   queue_drained        queueing               ready      whoever collects the last answer         sampling
//   queue_held           queueing               holding    pause(), "FRC_Pause" answered            sampling
//   queue_continued      holding                queueing   resume(), "FRC_Continue" answered        sampling
//   queue_failed         queueing, holding      stopping   whoever collects a refusal or a fault;   sampling
//                                                          it aborts and does not initialise again
//   queue_cut_off        queueing, holding      disabled   whoever finds the link gone              sampling
//
// "sampling" is the driver's sampling_mutex, which also guards the time
// scaler, so that a motion handed over and the end of a run are decided in
// one place. No transition is made under request_mutex: the exchanges that
// lead to one (the enable sequence, an abort) are done before it, without the
// state lock. Threads outside the lock read the phase published by apply().
// A run lives from run_started (or resumed) until the streaming thread clears
// it at the end of `ending` or of a failure's `stopping`; a stop that cuts a
// run marks it stopped and leaves answering its waiter to the streaming
// thread. Controller-planned motions never share the controller with a run:
// `queueing` and `holding` start only from `ready` and lead back to it, so a
// streamed motion waits for the queue to drain and a queued one for the run
// to end. `enabling`, `ending` and `stopping` are short and owned by one
// thread each: requests wait for them to pass.
#include "orvane/drivers/motion_state.hpp"

#include <array>
#include <initializer_list>
#include <string>

#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers {

namespace {

using P = MotionPhase;
using E = MotionEvent;

struct Row {
    MotionEvent event;
    std::initializer_list<MotionPhase> from;
    MotionPhase to;
};

// The table above, as the code reads it.
const std::array<Row, 26> table{{
    {E::enable_started, {P::disabled}, P::enabling},
    {E::enabled, {P::enabling}, P::ready},
    {E::enable_failed, {P::enabling}, P::disabled},
    {E::run_started, {P::ready}, P::streaming},
    {E::resumed, {P::paused}, P::streaming},
    {E::handed_over, {P::streaming, P::draining}, P::streaming},
    {E::last_sample_sent, {P::streaming}, P::draining},
    {E::sending_again, {P::draining}, P::streaming},
    {E::run_ended, {P::draining}, P::ending},
    {E::run_cut_off, {P::streaming, P::draining}, P::ending},
    {E::run_failed, {P::streaming, P::draining}, P::stopping},
    {E::motion_closed, {P::ending}, P::ready},
    {E::motion_kept, {P::ending}, P::paused},
    {E::motion_cut_off, {P::ending}, P::disabled},
    {E::paused_motion_ended, {P::paused}, P::ending},
    {E::link_lost, {P::ready}, P::disabled},
    {E::stop_started, {P::disabled, P::ready, P::paused, P::streaming, P::draining, P::queueing, P::holding},
     P::stopping},
    {E::stop_left_ready, {P::stopping}, P::ready},
    {E::stop_left_disabled, {P::stopping}, P::disabled},
    {E::closed, {P::stopping}, P::closed},
    {E::queue_started, {P::ready}, P::queueing},
    {E::queue_drained, {P::queueing}, P::ready},
    {E::queue_held, {P::queueing}, P::holding},
    {E::queue_continued, {P::holding}, P::queueing},
    {E::queue_failed, {P::queueing, P::holding}, P::stopping},
    {E::queue_cut_off, {P::queueing, P::holding}, P::disabled},
}};

constexpr std::uint8_t as_byte(RunEnd end) { return static_cast<std::uint8_t>(end); }

}  // namespace

const char* to_string(MotionPhase phase) {
    switch (phase) {
        case P::disabled: return "disabled";
        case P::enabling: return "enabling";
        case P::ready: return "ready";
        case P::streaming: return "streaming";
        case P::draining: return "draining";
        case P::ending: return "ending";
        case P::paused: return "paused";
        case P::stopping: return "stopping";
        case P::closed: return "closed";
        case P::queueing: return "queueing";
        case P::holding: return "holding";
    }
    return "unknown";
}

const char* to_string(MotionEvent event) {
    switch (event) {
        case E::enable_started: return "enable_started";
        case E::enabled: return "enabled";
        case E::enable_failed: return "enable_failed";
        case E::run_started: return "run_started";
        case E::resumed: return "resumed";
        case E::handed_over: return "handed_over";
        case E::last_sample_sent: return "last_sample_sent";
        case E::sending_again: return "sending_again";
        case E::run_ended: return "run_ended";
        case E::run_cut_off: return "run_cut_off";
        case E::run_failed: return "run_failed";
        case E::motion_closed: return "motion_closed";
        case E::motion_kept: return "motion_kept";
        case E::motion_cut_off: return "motion_cut_off";
        case E::paused_motion_ended: return "paused_motion_ended";
        case E::link_lost: return "link_lost";
        case E::stop_started: return "stop_started";
        case E::stop_left_ready: return "stop_left_ready";
        case E::stop_left_disabled: return "stop_left_disabled";
        case E::closed: return "closed";
        case E::queue_started: return "queue_started";
        case E::queue_drained: return "queue_drained";
        case E::queue_held: return "queue_held";
        case E::queue_continued: return "queue_continued";
        case E::queue_failed: return "queue_failed";
        case E::queue_cut_off: return "queue_cut_off";
    }
    return "unknown";
}

std::optional<MotionPhase> transition_target(MotionEvent event, MotionPhase from) {
    for (const auto& row : table) {
        if (row.event != event) continue;
        for (const auto phase : row.from) {
            if (phase == from) return row.to;
        }
    }
    return std::nullopt;
}

void MotionState::apply(MotionEvent event) {
    const auto to = transition_target(event, phase_);
    if (!to) {
        throw OrvaneError("driver", std::string("The motion state has no transition '") + to_string(event) +
                                        "' from '" + to_string(phase_) + "'.");
    }
    phase_ = *to;
    ++changes_;
    published_phase_.store(*to);
}

void MotionState::set_run(std::shared_ptr<Run> next) {
    run_ = std::move(next);
    ++changes_;
    published_run_.store(run_ ? run_->serial : 0);
}

void MotionState::clear_run() { set_run(nullptr); }

bool Run::fail(RunEnd why) {
    auto expected = no_failure;
    return failure_.compare_exchange_strong(expected, as_byte(why));
}

void Run::fail_with(std::exception_ptr error) {
    {
        std::lock_guard lock(error_mutex_);
        if (!error_) error_ = std::move(error);
    }
    fail(RunEnd::failed);
}

std::optional<RunEnd> Run::failure() const {
    const auto value = failure_.load();
    if (value == no_failure) return std::nullopt;
    return static_cast<RunEnd>(value);
}

std::exception_ptr Run::error() const {
    std::lock_guard lock(error_mutex_);
    return error_;
}

}  // namespace orvane::drivers
