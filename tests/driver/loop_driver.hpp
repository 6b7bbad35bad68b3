#pragma once

// A controller driver that lives in the tests: its "controller" is an
// in-process control loop. Each motion raises is_running_flag, samples the
// time scaler once per step, reports every step through on_desired_state and
// ends with on_motion_did_finish, which is what a controller driver that
// reports its control steps does. Steps are paced by `step_period` of wall
// time; the time scaler's own clock (control time) advances by delta_time
// per step regardless, so results do not depend on the machine's speed.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <orvane/drivers/driver.hpp>
#include <orvane/log/log.hpp>
#include <orvane/motion.hpp>

namespace orvane::drivers::testing {

class LoopDriver : public Driver {
public:
    struct Step {
        double time;        // playback time after sampling
        double scale_user;  // user speed used for the step
        int status;         // TimeScaler::next's code
        std::vector<double> position;
    };

    LoopDriver(std::shared_ptr<orvane::Planner> planner, std::shared_ptr<orvane::Robot> robot,
               double delta_time = 0.01, bool sync_with_kelvra = false)
        : Driver(std::move(planner), std::move(robot), "127.0.0.1", 0, delta_time, sync_with_kelvra) {
        rest_position.assign(degrees_of_freedom, 0.0);
        is_connected_flag = true;  // the in-process controller is always there
    }

    ~LoopDriver() override {
        // The handler calls our get_current_joint_position: cut it first.
        stop_kelvra_mirroring();
        {
            std::lock_guard lock(loop_mutex);
            stop_requested = true;
        }
        if (loop.joinable()) loop.join();
    }

    ControllerStatus get_controller_status() override { return ControllerStatus::ReadyToMove; }

    // Where the robot stands: the last commanded position, at rest.
    RobotState get_current_state() override {
        RobotState state;
        {
            std::lock_guard lock(sampling_mutex);
            state.position = current_state.position.empty() ? rest_position : current_state.position;
        }
        state.velocity.assign(state.position.size(), 0.0);
        state.acceleration.assign(state.position.size(), 0.0);
        return state;
    }

    std::vector<double> get_current_joint_position() override {
        joint_position_reads.fetch_add(1);
        return get_current_state().position;
    }

    std::shared_future<Result> run_async(const orvane::Trajectory& t) override {
        return start(TrajectoryCommand{t});
    }
    std::shared_future<Result> move_to_async(const orvane::Goal& goal, bool ignore_collisions) override {
        return start(PointCommand{goal, ignore_collisions});
    }
    std::shared_future<Result> move_along_async(const std::string& name, const std::optional<orvane::Goal>& goal,
                                                bool ignore_collisions) override {
        return start(MotionCommand{name, goal, ignore_collisions});
    }
    std::shared_future<Result> blend_into_async(const orvane::Trajectory& t, double duration) override {
        return start(BlendIntoCommand{t, duration});
    }
    // Ends the motion in flight where it stands.
    std::shared_future<Result> stop_async(bool) override {
        {
            std::lock_guard lock(loop_mutex);
            stop_requested = true;
        }
        return ready(Result::Success);
    }
    // Ramps the user speed back from standstill, as a FANUC resume does.
    std::shared_future<Result> resume_async() override {
        std::lock_guard lock(sampling_mutex);
        time_scaler.set_scale_user(1e-9);
        time_scaler.move_scale_user_linearly_to(speed, pausing_duration);
        return ready(Result::Success);
    }

    // Every step of every motion so far.
    std::vector<Step> steps() const {
        std::lock_guard lock(loop_mutex);
        return steps_;
    }

    // Polls (bounded) until a step satisfies `match`.
    template <class Match>
    bool wait_for_step(Match match, std::chrono::seconds deadline = std::chrono::seconds(60)) {
        const auto until = std::chrono::steady_clock::now() + deadline;
        while (std::chrono::steady_clock::now() < until) {
            {
                std::lock_guard lock(loop_mutex);
                for (const auto& step : steps_) {
                    if (match(step)) return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    std::vector<double> rest_position;
    std::chrono::microseconds step_period{1000};
    std::atomic<int> joint_position_reads{0};

private:
    static std::shared_future<Result> ready(const Result& result) {
        std::promise<Result> promise;
        promise.set_value(result);
        return promise.get_future().share();
    }

    std::shared_future<Result> start(const Command& command) {
        if (is_running_flag.load()) return ready(Result::ErrorCommandAlreadyInProgress);
        if (loop.joinable()) loop.join();  // the previous motion has ended

        const RobotState state = get_current_state();
        {
            std::lock_guard lock(sampling_mutex);
            if (!calculate_trajectory(command, trajectory, state)) return ready(Result::ErrorTrajectoryDidNotUpdate);
            time_scaler.set_trajectory(&trajectory);
            is_running_flag.store(true);
        }
        auto promise = std::make_shared<std::promise<Result>>();
        auto future = promise->get_future().share();
        {
            std::lock_guard lock(loop_mutex);
            stop_requested = false;
        }
        loop = std::thread([this, promise] { promise->set_value(control_loop()); });
        return future;
    }

    Result control_loop() {
        Result result = Result::Success;
        for (;;) {
            {
                std::lock_guard lock(loop_mutex);
                if (stop_requested) {
                    result = Result::ErrorTrajectoryAborted;
                    break;
                }
            }
            int status = 0;
            Step step;
            std::vector<double> velocity;
            {
                std::lock_guard lock(sampling_mutex);
                step.scale_user = time_scaler.get_scale_user();
                status = time_scaler.next(current_state);
                slice_state_offset(current_state);
                step.time = time_scaler.time;
                step.position = current_state.position;
                velocity = current_state.velocity;
            }
            step.status = status;
            if (status == TimeScaler::nothing_to_do) {
                result = Result::Error;
                break;
            }
            on_desired_state(step.position, velocity);
            {
                std::lock_guard lock(loop_mutex);
                steps_.push_back(std::move(step));
            }
            if (status == TimeScaler::finished) break;
            std::this_thread::sleep_for(step_period);
        }
        on_motion_did_finish();
        return result;
    }

    mutable std::mutex loop_mutex;
    bool stop_requested{false};
    std::vector<Step> steps_;
    std::thread loop;
};

// A trajectory through the given positions, one sample every `dt` seconds,
// with velocities from finite differences (accelerations zero).
inline orvane::Trajectory sampled_trajectory(const std::vector<std::vector<double>>& positions, double dt) {
    std::vector<double> times;
    std::vector<std::vector<double>> velocities;
    std::vector<std::vector<double>> accelerations;
    const std::size_t dof = positions.empty() ? 0 : positions.front().size();
    for (std::size_t i = 0; i < positions.size(); ++i) {
        times.push_back(static_cast<double>(i) * dt);
        std::vector<double> velocity(dof, 0.0);
        if (i + 1 < positions.size()) {
            for (std::size_t j = 0; j < dof; ++j) velocity[j] = (positions[i + 1][j] - positions[i][j]) / dt;
        }
        velocities.push_back(velocity);
        accelerations.emplace_back(dof, 0.0);
    }
    return orvane::Trajectory(times, positions, velocities, accelerations);
}

// A straight joint-space line from `from` to `to` lasting `duration` seconds.
inline orvane::Trajectory line_trajectory(const std::vector<double>& from, const std::vector<double>& to,
                                          double duration, double dt = 0.01) {
    const auto count = static_cast<std::size_t>(duration / dt + 0.5);
    std::vector<std::vector<double>> positions;
    for (std::size_t i = 0; i <= count; ++i) {
        const double s = static_cast<double>(i) / static_cast<double>(count);
        std::vector<double> p(from.size());
        for (std::size_t j = 0; j < from.size(); ++j) p[j] = from[j] + s * (to[j] - from[j]);
        positions.push_back(p);
    }
    return sampled_trajectory(positions, dt);
}

// Sends the log lines to a string for the life of the object.
class LogCapture {
public:
    LogCapture() { orvane::log::set_output(&stream); }
    ~LogCapture() {
        orvane::log::flush();
        orvane::log::set_output(nullptr);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything logged so far (waits for the logging worker).
    std::string text() {
        orvane::log::flush(std::chrono::milliseconds(20000));
        return stream.str();
    }

private:
    std::ostringstream stream;
};

}  // namespace orvane::drivers::testing
