// FanucDriver: construction and destruction, the link, enabling and
// disabling RMI motion, the controller status and joint reads.
#include "orvane/drivers/fanuc/fanuc_driver.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "orvane/drivers/fanuc/rmi_joints.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/log/log.hpp"
#include "orvane/log/orvane_error.hpp"
#include "stream_motion_link.hpp"

namespace orvane::drivers {

namespace {

const std::string tag = "driver";

// How much longer than a request's own time-out we wait for its answer: the
// socket drops the link on a time-out and fails the request when it closes,
// so this only guards against a request the socket has lost track of.
constexpr double answer_grace = 5.0;
// How long the destructor waits beyond the remaining playback time.
constexpr double destruction_margin = 10.0;

// RMI sends J1 to J9; the J3 correction needs J2 and J3.
constexpr std::size_t min_rmi_joints = 3;
constexpr std::size_t max_rmi_joints = 9;

// A first sequence ID must leave room for a long session of instructions
// (2^24 of them: over four days at 24 ms, eighteen hours at 4 ms).
constexpr std::int32_t sequence_id_headroom = 1 << 24;

bool is_usable_first_sequence_id(std::int32_t id) {
    return id > 0 && id <= std::numeric_limits<std::int32_t>::max() - sequence_id_headroom;
}

double sane_timeout(double seconds) {
    if (std::isnan(seconds) || seconds <= 0.0) return FanucDriver::command_timeout;
    return std::min(seconds, 86400.0);
}

// The options as the socket takes them; std::invalid_argument for values no
// controller can be reached with.
const FanucDriver::ConnectOptions& checked(const std::string& host, const FanucDriver::ConnectOptions& options) {
    if (options.port < 1 || options.port > 65535) {
        throw std::invalid_argument("The RMI port must lie in 1 to 65535; " + std::to_string(options.port) +
                                    " was given.");
    }
    if (!(options.connect_timeout > 0.0) || options.connect_timeout > 86400.0) {
        throw std::invalid_argument("The connect timeout must be a number of seconds above 0 and at most 86400.");
    }
    // "host:port" would otherwise be looked up as a name and fail as "host
    // not found"; a bare IPv6 address has several colons and is left alone.
    const auto colon = host.rfind(':');
    const bool bracketed = host.starts_with('[');
    if (colon != std::string::npos && (bracketed || host.find(':') == colon)) {
        const auto port = host.substr(colon + 1);
        if (!port.empty() && port.find_first_not_of("0123456789") == std::string::npos) {
            throw std::invalid_argument("The address '" + host + "' includes a port: give the host alone and the port "
                                        "as its own option (port=" + port + ").");
        }
    }
    if (host.empty()) throw std::invalid_argument("The controller's address is empty.");
    if (options.stream_motion && (options.stream_motion_port < 1 || options.stream_motion_port > 65535)) {
        throw std::invalid_argument("The Stream Motion port must lie in 1 to 65535; " +
                                    std::to_string(options.stream_motion_port) + " was given.");
    }
    return options;
}

}  // namespace

FanucDriver::FanucDriver(std::shared_ptr<orvane::Planner> planner_, std::shared_ptr<orvane::Robot> robot_,
                         const std::string& host_, bool sync_with_kelvra_, bool connect, const ConnectOptions& options)
    : Driver(planner_, robot_, host_, checked(host_, options).port, find_delta_time(planner_, robot_),
             sync_with_kelvra_),
      // Connecting waits for the constructor's reconnect() below, so that
      // every failure reaches its exception rather than the log.
      socket(host_, static_cast<std::uint16_t>(options.port), options.connect_timeout, !connect) {
    connect_timeout = options.connect_timeout;
    if (degrees_of_freedom < min_rmi_joints || degrees_of_freedom > max_rmi_joints) {
        throw OrvaneError(tag, "A FANUC robot driven over RMI has 3 to 9 joints, this one has " +
                                   std::to_string(degrees_of_freedom) + ".");
    }
    if (!(delta_time > 0.0) || !std::isfinite(delta_time)) {
        throw OrvaneError(tag, "The control interval must be a positive number of seconds.");
    }
    io_address_range = io_ports;
    if (options.stream_motion) {
        sm_link = std::make_unique<stream_motion::StreamMotionLink>(stream_motion::axis_units_of(*robot));
        sm_port = static_cast<std::uint16_t>(options.stream_motion_port);
    }
    if (connect && !socket.reconnect()) {
        // One sentence a user can act on (where, what happened, what to
        // check), said once: the socket kept it out of the error log.
        throw OrvaneError(tag, socket.last_connect_failure());
    }
    // Started last: a constructor that throws has no thread to join, and the
    // socket calls back into no half-built driver.
    run_thread = std::thread([this] { run_thread_main(); });
    run_thread_id = run_thread.get_id();
    socket.set_listener([this] { on_socket_activity(); });
}

FanucDriver::FanucDriver(std::shared_ptr<orvane::Planner> planner_, const std::string& host_, bool sync_with_kelvra_,
                         bool connect, const ConnectOptions& options)
    : FanucDriver(std::move(planner_), nullptr, host_, sync_with_kelvra_, connect, options) {}

FanucDriver::~FanucDriver() {
    // The mirroring thread reads joint positions through this class.
    stop_kelvra_mirroring();
    try {
        const auto phase = motion.published_phase();
        if (phase == MotionPhase::streaming || phase == MotionPhase::draining) {
            log::log_warn(tag, "Driver destroyed while path was executing. Will wait for completion.");
            double remaining = 0.0;
            {
                std::lock_guard lock(sampling_mutex);
                if (time_scaler.trajectory != nullptr) {
                    remaining = std::max(0.0, time_scaler.trajectory->duration() - time_scaler.time) /
                                std::max(time_scaler.get_scale_user(), 0.1);
                }
            }
            wait_until_run_ended(std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(remaining + destruction_margin)));
        }
        // Aborts whatever still moves; from then on nothing starts.
        stop_motion(StopKind::close, on_run_thread());
    } catch (const std::exception& error) {
        log::log_error(tag, std::string("Stopping the robot while destroying the driver failed: ") + reason_of(error));
    } catch (...) {
        log::log_error(tag, "Stopping the robot while destroying the driver failed.");
    }

    // Every thread the driver started is joined before its members go.
    for (;;) {
        AsyncTask task;
        {
            std::lock_guard lock(async_mutex);
            if (async_tasks.empty()) break;
            task = std::move(async_tasks.front());
            async_tasks.pop_front();
        }
        if (task.thread.joinable()) task.thread.join();
    }
    feedback.shutdown();
    {
        std::lock_guard lock(sampling_mutex);
        run_thread_exit = true;
        // A stop that failed half-way may have left a run: it ends now.
        if (const auto& run = motion.run()) run->fail(RunEnd::stopped);
    }
    wake_stream();
    motion_changed.notify_all();
    if (run_thread.joinable()) run_thread.join();
    // A session a failed stop left open: the controller is not left streaming.
    if (sm_link) sm_link->close(false);
    // The members the listener uses go before the socket does.
    socket.set_listener(nullptr);
}

bool FanucDriver::reconnect() {
    begin_operation();
    const double timeout = connect_timeout;
    if (!(timeout > 0.0) || timeout > 86400.0) {
        refuse("The connect timeout must be a number of seconds above 0 and at most 86400.");
        return false;
    }
    if (socket.reconnect(timeout)) return true;
    set_last_error(socket.last_connect_failure());
    return false;
}

bool FanucDriver::disconnect() {
    begin_operation();
    // A motion cut off by its own link would end as a lost link, with error
    // lines for what the user asked for: the robot is stopped first.
    if (socket.is_connected() && motion.published_run() != 0) {
        try {
            stop_motion(StopKind::disable, on_run_thread());
        } catch (const std::exception& error) {
            log::log_warn(tag, std::string("Stopping the motion before disconnecting failed: ") + error.what());
        }
    }
    socket.disconnect();
    check_link();
    return true;
}

void FanucDriver::close() {
    if (socket.is_connected()) {
        try {
            disable();  // aborts whatever still moves
        } catch (const std::exception& error) {
            log::log_warn(tag, std::string("Disabling the robot while closing failed: ") + error.what());
        }
    }
    disconnect();
}

bool FanucDriver::is_connected() const { return socket.is_connected(); }

bool FanucDriver::is_moving() const {
    return motion.published_run() != 0 || motion.published_phase() == MotionPhase::queueing;
}

bool FanucDriver::is_enabled() const {
    switch (motion.published_phase()) {
        case MotionPhase::ready:
        case MotionPhase::streaming:
        case MotionPhase::draining:
        case MotionPhase::paused:
        case MotionPhase::queueing:
        case MotionPhase::holding: return true;
        default: return false;
    }
}

bool FanucDriver::link_usable() {
    const auto serial = socket.link_serial();
    return serial && *serial == enabled_link.load();
}

bool FanucDriver::check_link() {
    const auto serial = socket.link_serial();
    // A stream that was lost or faulted while nothing ran must be brought up again too.
    const bool stream_usable = !sm_link || sm_link->fault() == stream_motion::LoopFault::none;
    if (serial && *serial == enabled_link.load() && stream_usable) return true;
    if (serial && *serial == enabled_link.load() && motion.published_run() != 0) return true;  // the run ends itself
    // A run in flight notices by itself and ends. An idle driver must be
    // enabled again, since a new link has no RMI motion initialised, and a
    // paused motion ends: the arm may have been moved by hand meanwhile.
    // Only then is the state lock taken, so that a trigger condition (which
    // runs under it, during a run) may read an input.
    const auto phase = motion.published_phase();
    if (phase == MotionPhase::ready || phase == MotionPhase::paused) {
        std::unique_lock lock(sampling_mutex);
        if (!link_usable() || !stream_usable) {
            if (motion.phase() == MotionPhase::ready) {
                motion.apply(MotionEvent::link_lost);
                motion_changed.notify_all();
            } else if (motion.phase() == MotionPhase::paused) {
                end_paused_motion(lock, true);
            }
        }
    }
    return serial.has_value();
}

RmiSocket::ResponsePtr FanucDriver::exchange(RmiMessage& request, double timeout) {
    const double bounded = sane_timeout(timeout);
    auto answer = socket.send_request(request, bounded);
    if (answer.wait_for(std::chrono::duration<double>(bounded + answer_grace)) != std::future_status::ready) {
        throw OrvaneError("driver.fanuc", "No answer to " + request.get_name() + " from the controller.");
    }
    return answer.get();
}

RmiSocket::ResponsePtr FanucDriver::command(RmiMessage& request, double timeout) {
    std::lock_guard lock(request_mutex);
    return exchange(request, timeout);
}

void FanucDriver::note_override(const std::shared_ptr<ControllerStatusResponse>& status) {
    if (!status || !status->success) return;
    const auto& body = status->as_json();
    const auto value = body.find("Override");
    if (value != body.end() && value->is_number_integer()) {
        const auto percent = value->get<std::int64_t>();
        if (percent >= 1 && percent <= 100) known_override = static_cast<int>(percent);
    }
}

ControllerStatus FanucDriver::get_controller_status() {
    if (!socket.is_connected()) return ControllerStatus::Disconnected;
    ControllerStatusRequest request;
    const auto status = RmiResponse::as<ControllerStatusResponse>(command(request));
    note_override(status);
    if (!status->success) return ControllerStatus::Error;
    if (status->tp_mode || status->single_step_mode) return ControllerStatus::ManualInterventionRequired;
    if (status->servo_ready && status->rmi_motion_status) return ControllerStatus::ReadyToMove;
    return ControllerStatus::EnableRequired;
}

Result FanucDriver::enable() {
    begin_operation();
    if (!check_link()) {
        set_last_error("The controller is not connected.");
        return Result::ErrorControllerConnection;
    }
    {
        std::unique_lock lock(sampling_mutex);
        if (!on_run_thread()) {
            // A stop in progress enables again by itself; enabling in between
            // would race its abort.
            motion_changed.wait_for(lock, std::chrono::duration<double>(abort_timeout + reset_timeout + 5.0),
                                    [this] { return !busy() || controller_queue_open(); });
        }
        switch (motion.phase()) {
            case MotionPhase::disabled: break;
            case MotionPhase::ready:
            case MotionPhase::streaming:
            case MotionPhase::draining:
            case MotionPhase::paused:
            case MotionPhase::queueing:
            case MotionPhase::holding: return Result::Success;  // enabled already
            default: return Result::ErrorCommandAlreadyInProgress;
        }
        if (busy()) return Result::ErrorCommandAlreadyInProgress;
        motion.apply(MotionEvent::enable_started);
    }
    Result result = Result::Error;
    try {
        std::lock_guard lock(request_mutex);
        // A session still live from before (the RMI link was lost while
        // nothing moved, or the stream faulted at rest) is stopped before the
        // program is called again: a Stop reaching the controller after that
        // call ends the new program with an alarm, and bit 0 never rises. Its
        // alarm, raised now, is cleared by the reset that follows.
        if (sm_link) end_stream_motion(false);
        result = initialise_rmi();
        if (result == Result::Success && sm_link) result = start_stream_motion();
    } catch (...) {
        std::lock_guard lock(sampling_mutex);
        motion.apply(MotionEvent::enable_failed);
        motion_changed.notify_all();
        throw;
    }
    std::lock_guard lock(sampling_mutex);
    motion.apply(result == Result::Success ? MotionEvent::enabled : MotionEvent::enable_failed);
    if (result == Result::Success) disabled_by.clear();
    motion_changed.notify_all();
    return result;
}

Result FanucDriver::initialise_rmi(bool aborted_already) {
    const auto link = socket.link_serial();
    if (!link) return Result::ErrorControllerConnection;

    ResetRequest reset;
    const auto reset_answer = exchange(reset, reset_timeout);
    if (!reset_answer || !reset_answer->success) return Result::ErrorControllerAlarmActive;
    // An RMI_MOVE program left selected (by an earlier client that went away)
    // makes the initialisation fail; the abort ends it. Its answer is refused
    // when nothing runs, which is fine. After a stop's own abort a second
    // one would only make the caller wait as long again.
    if (!aborted_already) {
        AbortRequest abort;
        exchange(abort, abort_timeout);
    }

    InitializeRequest initialize;
    const auto initialized = exchange(initialize, command_timeout);

    ControllerStatusRequest status_request;
    const auto status = RmiResponse::as<ControllerStatusResponse>(exchange(status_request, command_timeout));
    note_override(status);

    if (initialized && initialized->success) {
        // The link was made anew during the sequence: RMI is not ours.
        if (socket.link_serial() != link) return Result::ErrorControllerConnection;
        if (!status->success || !is_usable_first_sequence_id(status->next_sequence_id)) {
            // Counting on from it would wrap to negative IDs within a run.
            refuse_as_error(status->success ? "The controller reports next sequence ID " +
                                                  std::to_string(status->next_sequence_id) +
                                                  ", which leaves no room for a motion; not enabled."
                                            : "The controller's status could not be read; not enabled.");
            return Result::Error;
        }
        next_sequence_id = status->next_sequence_id;  // nothing is sent while enabling
        enabled_link = *link;
        return Result::Success;
    }
    if (!status->servo_ready) return Result::ErrorControllerEnableMotors;
    if (status->tp_mode || status->single_step_mode) return Result::ErrorControllerNotInAutoMode;
    return Result::Error;
}

std::future<Result> FanucDriver::enable_async() {
    return launch([this] { return enable(); });
}

Result FanucDriver::disable() {
    begin_operation();
    return stop_motion(StopKind::disable, on_run_thread());
}

std::future<Result> FanucDriver::disable_async() {
    return launch([this] { return disable(); });
}

std::vector<double> FanucDriver::get_current_joint_position() {
    // Like every getter on a disconnected driver: no value.
    if (!check_link()) return {};
    JointAngleRequest request;
    const auto angles = std::dynamic_pointer_cast<JointAngleResponse>(command(request));
    if (!angles) throw OrvaneError("driver.fanuc", "Attempt to cast message failed.");
    return planner_joints(*angles, degrees_of_freedom);
}

RobotState FanucDriver::get_current_state() {
    RobotState state;
    state.position = get_current_joint_position();
    return state;
}

bool FanucDriver::on_run_thread() const { return std::this_thread::get_id() == run_thread_id; }

std::future<Result> FanucDriver::launch(std::function<Result()> operation) {
    auto promise = std::make_shared<std::promise<Result>>();
    auto future = promise->get_future();
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard lock(async_mutex);
    // Threads that finished are joined here, so the list stays short.
    for (auto task = async_tasks.begin(); task != async_tasks.end();) {
        if (task->done->load()) {
            task->thread.join();
            task = async_tasks.erase(task);
        } else {
            ++task;
        }
    }
    AsyncTask task;
    task.done = done;
    task.thread = std::thread([promise, done, operation = std::move(operation)] {
        try {
            promise->set_value(operation());
        } catch (...) {
            promise->set_exception(std::current_exception());
        }
        done->store(true);
    });
    async_tasks.push_back(std::move(task));
    return future;
}

}  // namespace orvane::drivers
