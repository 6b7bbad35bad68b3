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

// The quintic through (p, v, a) at both ends of a segment of length h, at
// share s of it: position, velocity and acceleration.
void interpolate_quintic(orvane::State& state, std::size_t dof, const orvane::Trajectory& trajectory, std::size_t i,
                         double h, double s) {
    const auto& p = trajectory.positions();
    const auto& v = trajectory.velocities();
    const auto& a = trajectory.accelerations();
    const double s2 = s * s, s3 = s2 * s, s4 = s3 * s, s5 = s4 * s;
    const double h0 = 1 - 10 * s3 + 15 * s4 - 6 * s5, d0 = -30 * s2 + 60 * s3 - 30 * s4, e0 = -60 * s + 180 * s2 - 120 * s3;
    const double h1 = s - 6 * s3 + 8 * s4 - 3 * s5, d1 = 1 - 18 * s2 + 32 * s3 - 15 * s4, e1 = -36 * s + 96 * s2 - 60 * s3;
    const double h2 = 0.5 * s2 - 1.5 * s3 + 1.5 * s4 - 0.5 * s5, d2 = s - 4.5 * s2 + 6 * s3 - 2.5 * s4,
                 e2 = 1 - 9 * s + 18 * s2 - 10 * s3;
    const double h3 = 0.5 * s3 - s4 + 0.5 * s5, d3 = 1.5 * s2 - 4 * s3 + 2.5 * s4, e3 = 3 * s - 12 * s2 + 10 * s3;
    const double h4 = -4 * s3 + 7 * s4 - 3 * s5, d4 = -12 * s2 + 28 * s3 - 15 * s4, e4 = -24 * s + 84 * s2 - 60 * s3;
    const double h5 = 10 * s3 - 15 * s4 + 6 * s5, d5 = 30 * s2 - 60 * s3 + 30 * s4, e5 = 60 * s - 180 * s2 + 120 * s3;
    state.position.resize(dof);
    state.velocity.resize(dof);
    state.acceleration.resize(dof);
    for (std::size_t j = 0; j < dof; ++j) {
        const double p0 = p[i][j], p1 = p[i + 1][j];
        const double v0 = v[i][j] * h, v1 = v[i + 1][j] * h;
        const double a0 = a[i][j] * h * h, a1 = a[i + 1][j] * h * h;
        state.position[j] = h0 * p0 + h1 * v0 + h2 * a0 + h3 * a1 + h4 * v1 + h5 * p1;
        state.velocity[j] = (d0 * p0 + d1 * v0 + d2 * a0 + d3 * a1 + d4 * v1 + d5 * p1) / h;
        state.acceleration[j] = (e0 * p0 + e1 * v0 + e2 * a0 + e3 * a1 + e4 * v1 + e5 * p1) / (h * h);
    }
}

bool has_derivatives(const orvane::Trajectory& trajectory, std::size_t i, std::size_t dof) {
    return trajectory.velocities()[i].size() == dof && trajectory.velocities()[i + 1].size() == dof &&
           trajectory.accelerations()[i].size() == dof && trajectory.accelerations()[i + 1].size() == dof;
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
    start_drawn = false;
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

void TimeScaler::set_factor_limits(std::optional<FactorLimits> limits) {
    const auto usable = [](double value) { return std::isfinite(value) && value > 0.0; };
    if (limits && (!usable(limits->max_rate) || !usable(limits->max_rate_change))) return;
    factor_limits = limits;
}

void TimeScaler::settle_factor() {
    factor = halting ? 0.0 : scale_user * scale;
    factor_rate = 0.0;
}

double TimeScaler::bounded_factor(double target) {
    if (!factor_limits) {
        factor = target;
        factor_rate = 0.0;
        return factor;
    }
    const double dt = delta_time;
    const double step = factor_limits->max_rate_change * dt;  // the largest change of rate per interval
    const double error = target - factor;
    // The fastest rate from which slowing by `step` each interval still ends
    // on the target rather than beyond it.
    const double braking = step * (-0.5 + std::sqrt(0.25 + 2.0 * std::abs(error) / (step * dt)));
    const double wanted = std::copysign(std::min(factor_limits->max_rate, braking), error);
    factor_rate += std::clamp(wanted - factor_rate, -step, step);
    double next = factor + factor_rate * dt;
    const bool crossed = (error >= 0.0 && next >= target) || (error <= 0.0 && next <= target);
    if (crossed && std::abs(factor_rate) <= 2.0 * step) {
        // Arrived: the last change of rate is within one interval's bound.
        next = target;
        factor_rate = 0.0;
    }
    if (next <= 0.0) {
        next = 0.0;
        factor_rate = 0.0;
    }
    factor = next;
    return factor;
}

void TimeScaler::finish_bounded_ramp() {
    if (!is_moving_scale_user || !factor_limits || elapsed_time < scale_movement.end_time) return;
    const double reached = halting ? 0.0 : scale_user * scale;
    if (std::abs(factor - reached) > scale_user_tolerance) return;
    is_moving_scale_user = false;
    scale_movement_finished.set_value(true);
}

void TimeScaler::step_scale_movement() {
    double value = 0.0;
    // Advancing first, this interval is played at the ramp's value at its end,
    // so a ramp asked now already changes the next sample.
    const double at = advance_before_sampling ? elapsed_time + delta_time : elapsed_time;
    if (scale_movement(at, value)) {
        set_scale_user(value);
        return;
    }
    if (factor_limits) {
        // The ramp is over when the bounded factor got there, not before:
        // a pause's waiters learn of the standstill, not of the request.
        set_scale_user(scale_movement.target_scale);
        const double reached = halting ? 0.0 : scale_user * scale;
        if (std::abs(factor - reached) > scale_user_tolerance) return;
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

    // The last sample, at the factor of this interval.
    const auto deliver_last = [&](double last_factor) {
        state.position = positions.back();
        state.velocity = velocities.back();
        state.acceleration = accelerations.back();
        scale_state(state, last_factor);
        index = count;
        time = trajectory->duration();
        finish_bounded_ramp();
        return last_factor <= 0.0 ? standing_still : moving;
    };
    if (index == count - 1) {
        const double last_factor = bounded_factor(halting ? 0.0 : product);
        state.time = elapsed_time;
        return deliver_last(last_factor);
    }

    update_scale(product);
    const double effective = bounded_factor(halting ? 0.0 : scale_user * scale);

    state.time = elapsed_time;
    // Advancing first, the start is still the first sample: the samples stay
    // those of sampling first at a steady speed, a speed change just shows
    // one sample sooner.
    const bool advance_first = advance_before_sampling && start_drawn;
    start_drawn = true;
    if (advance_first) {
        advance(effective);
        if (index == count - 1) return deliver_last(effective);
    }
    const std::size_t i = index;
    if (std::abs(effective - 1.0) < unit_scale_tolerance && std::abs(time - times[i]) < sample_time_tolerance) {
        state.position = positions[i];
        state.velocity = velocities[i];
        state.acceleration = accelerations[i];
    } else if (const std::size_t dof = trajectory->degrees_of_freedom();
               smooth_interpolation && has_derivatives(*trajectory, i, dof) && times[i + 1] > times[i]) {
        const double h = times[i + 1] - times[i];
        interpolate_quintic(state, dof, *trajectory, i, h, std::clamp((time - times[i]) / h, 0.0, 1.0));
        scale_state(state, effective);
    } else {
        const double a = time - times[i];
        const double b = times[i + 1] - time;
        interpolate(state.position, dof, positions[i], positions[i + 1], a, b);
        interpolate(state.velocity, dof, velocities[i], velocities[i + 1], a, b);
        interpolate(state.acceleration, dof, accelerations[i], accelerations[i + 1], a, b);
        scale_state(state, effective);
    }

    if (!advance_before_sampling) {
        advance(effective);
    } else if (!advance_first) {
        elapsed_time += delta_time;  // the start is played where it is
    }

    finish_bounded_ramp();
    return effective <= 0.0 ? standing_still : moving;
}

void TimeScaler::advance(double effective) {
    time += delta_time * effective - time_step_bias;
    elapsed_time += delta_time;

    const auto& times = trajectory->times();
    const std::size_t count = times.size();
    if (time >= trajectory->duration()) {
        index = count - 1;
    } else {
        // Playback only moves forward (or back by the bias), so the sample
        // sought lies at or after the one before the present index.
        const auto first = times.begin() + static_cast<std::ptrdiff_t>(index > 0 ? index - 1 : 0);
        const auto at_or_after = std::lower_bound(first, times.end(), time);
        const auto found = static_cast<std::size_t>(at_or_after - times.begin());
        index = found > 0 ? found - 1 : 0;
    }
}

}  // namespace orvane::drivers
