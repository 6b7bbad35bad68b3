#include "orvane/drivers/time_scaler.hpp"

#include "orvane/drivers/durations.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <future>
#include <utility>
#include <vector>

#include <orvane/motion/frame.hpp>

namespace orvane::drivers {

namespace {

// Speed changes closer than this to the present speed are no change at all.
constexpr double scale_user_tolerance = 0x1p-48;
// Within these of speed 1 and of a sample time, a sample is passed through
// untouched instead of interpolated and scaled.
constexpr double unit_scale_tolerance = 0x1p-42;
constexpr double sample_time_tolerance = 0x1p-36;
// Taken off every advance so that rounding never carries the playback time
// past a sample it should land on.
constexpr double time_step_bias = 0x1p-51;
// A full recovery of the internal scale from standstill takes this long (s).
constexpr double recovery_duration = 0.7;
// Time constant (s) within which the Cartesian limit may pull the scale.
constexpr double limit_band_duration = 0.02;
// The internal scale never reaches zero, so the playback never stalls for good.
constexpr double min_internal_scale = 1e-12;

void scale_vector(std::vector<double>& values, double factor) {
    for (double& value : values) {
        value *= factor;
    }
}

// `out` = (lower * b + upper * a) / (a + b), joint by joint.
void interpolate(std::vector<double>& out, std::size_t dof, const std::vector<double>& lower,
                 const std::vector<double>& upper, double a, double b) {
    out.resize(dof);
    const double sum = a + b;
    for (std::size_t j = 0; j < dof; ++j) {
        out[j] = (lower[j] * b + upper[j] * a) / sum;
    }
}

}  // namespace

void scale_state(orvane::State& state, double scale) {
    scale_vector(state.velocity, scale);
    scale_vector(state.acceleration, scale * scale);
}

bool TimeScaler::MoveScaleLinearly::operator()(double t, double& scale) const {
    if (t >= end_time) {
        scale = target_scale;
        return false;
    }
    scale = start_scale + (target_scale - start_scale) * (t - start_time) / (end_time - start_time);
    return true;
}

TimeScaler::TimeScaler(double control_interval) : delta_time(control_interval) {}

void TimeScaler::set_trajectory(const orvane::Trajectory* new_trajectory) {
    if (is_moving_scale_user) {
        // Re-base the ramp on the new control time, which restarts at 0: it
        // continues from the present speed with the duration it had left.
        auto& ramp = scale_movement;
        const double reached_at = (scale_user - ramp.start_scale) / (ramp.target_scale - ramp.start_scale) *
                                      (ramp.end_time - ramp.start_time) +
                                  ramp.start_time;
        ramp = MoveScaleLinearly{0.0, ramp.end_time - reached_at, scale_user, ramp.target_scale};
    }
    trajectory = new_trajectory;
    index = 0;
    time = 0.0;
    elapsed_time = 0.0;
}

void TimeScaler::continue_on(const orvane::Trajectory* replacement, double shift) {
    trajectory = replacement;
    time = std::max(0.0, time - shift);
    if (trajectory == nullptr || trajectory->empty()) {
        index = 0;
        return;
    }
    const auto& times = trajectory->times();
    // As next() keeps it: the sample before the playback time, or the last.
    if (time >= trajectory->duration()) {
        index = times.size() - 1;
        return;
    }
    const auto at_or_after = std::lower_bound(times.begin(), times.end(), time);
    const auto found = static_cast<std::uint64_t>(at_or_after - times.begin());
    index = found > 0 ? found - 1 : 0;
}

void TimeScaler::set_scale_user(double new_scale) {
    if (!std::isfinite(new_scale)) {
        return;
    }
    scale_user = new_scale < min_scale ? min_scale : new_scale > max_scale ? max_scale : new_scale;
}

void TimeScaler::stop_scale_user_movement() {
    if (!is_moving_scale_user) return;
    is_moving_scale_user = false;
    // A waiter (a pause) learns that the ramp will not get there, rather than
    // waiting for a promise nobody fulfils or seeing it broken. The promise
    // may have been fulfilled by another owner's hand already.
    try {
        scale_movement_finished.set_value(false);
    } catch (const std::future_error&) {
    }
}

void TimeScaler::release_ramp_waiters() {
    auto old = std::exchange(scale_movement_finished, std::promise<bool>());
    try {
        old.set_value(false);
    } catch (const std::future_error&) {
    }
}

void TimeScaler::move_scale_user_linearly_to(double target, double duration) {
    if (std::abs(scale_user - target) < scale_user_tolerance || !is_valid_ramp_duration(duration)) {
        stop_scale_user_movement();
        return;
    }
    stop_scale_user_movement();
    scale_movement_finished = std::promise<bool>();
    scale_movement = MoveScaleLinearly{elapsed_time, elapsed_time + duration, scale_user, target};
    is_moving_scale_user = true;
}

void TimeScaler::set_tcp_constraint(std::shared_ptr<const orvane::RobotArm> arm, double max_tcp_velocity) {
    tcp_constraint = TcpConstraint{std::move(arm), max_tcp_velocity, false};
}

void TimeScaler::step_scale_movement() {
    double value = 0.0;
    if (scale_movement(elapsed_time, value)) {
        set_scale_user(value);
        return;
    }
    // The final speed is in place before the waiters wake up, so that one of
    // them reading the speed right away sees the ramp's target.
    is_moving_scale_user = false;
    set_scale_user(scale_movement.target_scale);
    scale_movement_finished.set_value(true);
}

void TimeScaler::update_scale(double product) {
    if (!tcp_constraint) {
        if (scale < 1.0) {
            scale += delta_time / recovery_duration;
        }
    } else {
        auto& limit = *tcp_constraint;
        const auto& positions = trajectory->positions();
        const auto& times = trajectory->times();
        const double distance =
            limit.arm->calculate_tcp(positions[index]).translational_distance(limit.arm->calculate_tcp(positions[index + 1]));
        const double tcp_velocity = product * distance / (times[index + 1] - times[index]);
        const double ratio = limit.max_tcp_velocity / tcp_velocity;

        // `is_limiting` is only ever cleared here: engaging the limit starts it
        // false, so over-speed is corrected within the band below, and the
        // gentle decrease applies only while an owner holds the flag raised.
        limit.is_limiting = limit.is_limiting && ratio < 1.0;
        if (ratio < 1.0 && limit.is_limiting) {
            scale -= delta_time / recovery_duration;
        } else if (ratio < 1.0) {
            const double band = delta_time / limit_band_duration;
            scale = std::max(scale - band, std::min(ratio * scale, scale + band));
        } else if (ratio > 1.0 && scale < 1.0) {
            scale = std::min(ratio * scale, scale + delta_time / recovery_duration);
        }
    }
    if (scale < min_internal_scale) {
        scale = min_internal_scale;
    } else if (scale > 1.0) {
        scale = 1.0;
    }
}

int TimeScaler::next(orvane::State& state) {
    if (trajectory == nullptr || trajectory->empty()) {
        return nothing_to_do;
    }
    if (is_moving_scale_user) {
        step_scale_movement();
    }

    const double product = scale_user * scale;
    if (product < 0.0) {
        return nothing_to_do;
    }

    const auto& times = trajectory->times();
    const auto& positions = trajectory->positions();
    const auto& velocities = trajectory->velocities();
    const auto& accelerations = trajectory->accelerations();
    const std::size_t count = times.size();

    if (index >= count) {
        state.position = positions.back();
        state.velocity = velocities.back();
        state.acceleration = accelerations.back();
        scale_state(state, product);
        if (is_moving_scale_user) {
            // The motion ended before the ramp: tell the waiters, and keep the
            // ramp going for the next trajectory under a fresh promise.
            auto ended = std::exchange(scale_movement_finished, std::promise<bool>());
            ended.set_value(false);
        }
        return finished;
    }

    if (index == count - 1) {
        state.time = elapsed_time;
        state.position = positions.back();
        state.velocity = velocities.back();
        state.acceleration = accelerations.back();
        scale_state(state, product);
        index = count;
        time = trajectory->duration();
        return product <= 0.0 ? standing_still : moving;
    }

    update_scale(product);
    const double factor = scale_user * scale;

    const std::size_t i = index;
    state.time = elapsed_time;
    if (std::abs(factor - 1.0) < unit_scale_tolerance && std::abs(time - times[i]) < sample_time_tolerance) {
        state.position = positions[i];
        state.velocity = velocities[i];
        state.acceleration = accelerations[i];
    } else {
        const std::size_t dof = trajectory->degrees_of_freedom();
        const double a = time - times[i];
        const double b = times[i + 1] - time;
        interpolate(state.position, dof, positions[i], positions[i + 1], a, b);
        interpolate(state.velocity, dof, velocities[i], velocities[i + 1], a, b);
        interpolate(state.acceleration, dof, accelerations[i], accelerations[i + 1], a, b);
        scale_state(state, factor);
    }

    time += delta_time * factor - time_step_bias;
    elapsed_time += delta_time;

    if (time >= trajectory->duration()) {
        index = count - 1;
    } else {
        // Playback only moves forward (or back by the bias), so the sample
        // sought lies at or after the one before the present index.
        const auto first = times.begin() + static_cast<std::ptrdiff_t>(i > 0 ? i - 1 : 0);
        const auto at_or_after = std::lower_bound(first, times.end(), time);
        const auto found = static_cast<std::size_t>(at_or_after - times.begin());
        index = found > 0 ? found - 1 : 0;
    }

    return factor <= 0.0 ? standing_still : moving;
}

}  // namespace orvane::drivers
