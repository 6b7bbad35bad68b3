// FanucDriver: construction and destruction, the link, enabling and
// disabling RMI motion, the controller status and joint reads.
#include "orvane/drivers/fanuc/fanuc_driver.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <string>
#include <utility>

#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/log/log.hpp"
#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers {

namespace {

const std::string tag = "driver";

// Time-out of every command but reset and abort (s).
constexpr double command_timeout = 1.0;
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

// Joint readings beyond ten turns are protocol violations (rad).
constexpr double max_plausible_joint_angle = 20.0 * 3.141592653589793;
constexpr double radians_per_degree = 3.141592653589793 / 180.0;

double sane_timeout(double seconds) {
    if (std::isnan(seconds) || seconds <= 0.0) return command_timeout;
    return std::min(seconds, 86400.0);
}

}  // namespace

FanucDriver::FanucDriver(std::shared_ptr<orvane::Planner> planner_, std::shared_ptr<orvane::Robot> robot_,
                         const std::string& host_, bool sync_with_kelvra_, bool connect)
    : Driver(planner_, robot_, host_, -1, find_delta_time(planner_, robot_), sync_with_kelvra_), socket(host_) {
    if (degrees_of_freedom < min_rmi_joints || degrees_of_freedom > max_rmi_joints) {
        throw OrvaneError(tag, "A FANUC robot driven over RMI has 3 to 9 joints, this one has " +
                                   std::to_string(degrees_of_freedom) + ".");
    }
    if (!(delta_time > 0.0) || !std::isfinite(delta_time)) {
        throw OrvaneError(tag, "The control interval must be a positive number of seconds.");
    }
    io_address_range = io_ports;
    if (connect && !reconnect()) {
        // One line a user can act on: which host, which step, why.
        auto reason = socket.last_connect_failure();
        if (reason.empty()) reason = "no connection within 5 s (timed out)";
        throw OrvaneError(tag, "Could not connect to FANUC RMI server at " + host + ": " + reason);
    }
    // Started last: a constructor that throws has no thread to join, and the
    // socket calls back into no half-built driver.
    run_thread = std::thread([this] { run_thread_main(); });
    run_thread_id = run_thread.get_id();
    socket.set_listener([this] { on_socket_activity(); });
}

FanucDriver::FanucDriver(std::shared_ptr<orvane::Planner> planner_, const std::string& host_, bool sync_with_kelvra_,
                         bool connect)
    : FanucDriver(std::move(planner_), nullptr, host_, sync_with_kelvra_, connect) {}

FanucDriver::~FanucDriver() {
    // The mirroring thread reads joint positions through this class.
    stop_kelvra_mirroring();
    try {
        if (drive_state.load() == 2) {
            log::log_warn(tag, "Driver destroyed while path was executing. Will wait for completion.");
            double remaining = 0.0;
            {
                std::lock_guard lock(sampling_mutex);
                if (time_scaler.trajectory != nullptr) {
                    remaining = std::max(0.0, time_scaler.trajectory->duration() - time_scaler.time) /
                                std::max(time_scaler.get_scale_user(), 0.1);
                }
            }
            wait_until_loop_idle(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(remaining + destruction_margin)));
        }
        {
            std::lock_guard lock(sampling_mutex);
            closing = true;  // no motion starts from here on
        }
        disable();  // aborts whatever still moves
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
        closing = true;
        run_thread_exit = true;
        stop_requested = true;
    }
    wake_stream();
    loop_state_changed.notify_all();
    if (run_thread.joinable()) run_thread.join();
    // The members the listener uses go before the socket does.
    socket.set_listener(nullptr);
}

bool FanucDriver::reconnect() { return socket.reconnect(); }

bool FanucDriver::disconnect() {
    // A motion cut off by its own link would end as a lost link, with error
    // lines for what the user asked for: the robot is stopped first.
    if (socket.is_connected() && (drive_state.load() == 2 || is_running_flag.load())) {
        try {
            stop_motion(false, on_run_thread());
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

bool FanucDriver::is_moving() const { return drive_state.load() == 2; }

bool FanucDriver::check_link() {
    const auto serial = socket.link_serial();
    if (!serial || *serial != enabled_link.load()) {
        // A run in flight notices by itself and ends; an idle driver must be
        // enabled again, since a new link has no RMI motion initialised.
        std::int32_t enabled = 1;
        drive_state.compare_exchange_strong(enabled, 0);
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
    std::shared_ptr<ControllerStatusResponse> status;
    {
        std::lock_guard lock(request_mutex);
        ControllerStatusRequest request;
        status = RmiResponse::as<ControllerStatusResponse>(exchange(request, command_timeout));
    }
    note_override(status);
    if (!status->success) return ControllerStatus::Error;
    if (status->tp_mode || status->single_step_mode) return ControllerStatus::ManualInterventionRequired;
    if (status->servo_ready && status->rmi_motion_status) return ControllerStatus::ReadyToMove;
    return ControllerStatus::EnableRequired;
}

Result FanucDriver::enable() {
    if (!check_link()) {
        return Result::ErrorControllerConnection;
    }
    if (!on_run_thread()) {
        // A stop in progress re-enables by itself; enabling in between would
        // race its abort.
        std::unique_lock lock(sampling_mutex);
        loop_state_changed.wait_for(lock, std::chrono::duration<double>(abort_timeout + reset_timeout + 5.0),
                                    [this] { return !stopping; });
    }
    if (drive_state.load() != 0) return Result::Success;
    std::lock_guard lock(request_mutex);
    check_link();
    if (drive_state.load() != 0) return Result::Success;  // another thread enabled meanwhile
    return initialise_rmi();
}

Result FanucDriver::initialise_rmi(bool aborted_already) {
    const auto link = socket.link_serial();
    if (!link) {
        drive_state = 0;
        return Result::ErrorControllerConnection;
    }

    ResetRequest reset;
    const auto reset_answer = exchange(reset, reset_timeout);
    if (!reset_answer || !reset_answer->success) {
        drive_state = 0;
        return Result::ErrorControllerAlarmActive;
    }
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
        if (socket.link_serial() != link) {
            // The link was made anew during the sequence: RMI is not ours.
            drive_state = 0;
            return Result::ErrorControllerConnection;
        }
        if (!status->success || !is_usable_first_sequence_id(status->next_sequence_id)) {
            // Counting on from it would wrap to negative IDs within a run.
            log::log_error(tag, status->success ? "The controller reports next sequence ID " +
                                                      std::to_string(status->next_sequence_id) +
                                                      ", which leaves no room for a motion; not enabled."
                                                : "The controller's status could not be read; not enabled.");
            drive_state = 0;
            return Result::Error;
        }
        next_sequence_id = status->next_sequence_id;  // nothing is sent while drive_state is 0
        enabled_link = *link;
        drive_state = 1;
        return Result::Success;
    }
    drive_state = 0;
    if (!status->servo_ready) return Result::ErrorControllerEnableMotors;
    if (status->tp_mode || status->single_step_mode) return Result::ErrorControllerNotInAutoMode;
    return Result::Error;
}

std::future<Result> FanucDriver::enable_async() {
    return launch([this] { return enable(); });
}

Result FanucDriver::disable() {
    return stop_motion(false, on_run_thread());
}

std::future<Result> FanucDriver::disable_async() {
    return launch([this] { return disable(); });
}

std::vector<double> FanucDriver::get_current_joint_position() {
    // Like every getter on a disconnected driver: no value.
    if (!check_link()) return {};
    RmiSocket::ResponsePtr answer;
    {
        std::lock_guard lock(request_mutex);
        JointAngleRequest request;
        answer = exchange(request, command_timeout);
    }
    const auto angles = std::dynamic_pointer_cast<JointAngleResponse>(answer);
    if (!angles) throw OrvaneError("driver.fanuc", "Attempt to cast message failed.");
    if (!angles->success) {
        // Its angles are placeholders: never hand them out as a position.
        throw OrvaneError("driver.fanuc",
                          "Reading the joint angles failed with error id " + std::to_string(angles->error_id) + ".");
    }
    std::vector<double> position(angles->joint_angles.begin(),
                                 angles->joint_angles.begin() + static_cast<std::ptrdiff_t>(degrees_of_freedom));
    for (std::size_t j = 0; j < position.size(); ++j) {
        // No arm turns a joint this far: the reading is broken, not a position.
        if (!std::isfinite(position[j]) || std::abs(position[j]) > max_plausible_joint_angle) {
            throw OrvaneError("driver.fanuc", "The controller reported J" + std::to_string(j + 1) + " at " +
                                                  std::to_string(position[j] / radians_per_degree) +
                                                  " degrees, which no joint can reach.");
        }
    }
    position[2] += position[1];  // RMI's J3 is measured from J2
    return position;
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
