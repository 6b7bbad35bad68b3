#include "velocity_change.hpp"

#include <algorithm>
#include <cmath>

namespace orvane::detail {

VelocityChange::Shape VelocityChange::shape(double v0, double a0, double target, double max_acceleration,
                                            double max_jerk) {
    const double limit = max_acceleration, jerk = max_jerk;
    // Work in the direction in which the velocity must go, so that the
    // acceleration rises to a positive peak; the sign comes back at the end.
    const double direction = target >= coast_velocity(v0, a0, jerk) ? 1.0 : -1.0;
    const double a = direction * a0;
    const double rise = direction * (target - v0);
    // Ramp up to `peak`, straight back down: rise = (2 peak^2 - a^2) / (2 J).
    const double peak = std::sqrt(std::max(0.0, (2.0 * jerk * rise + a * a) / 2.0));
    if (peak <= limit) return {direction, a, peak, 0.0};
    const double ramp_up = (a + limit) / 2.0 * std::abs(limit - a) / jerk;
    const double ramp_down = limit * limit / (2.0 * jerk);
    return {direction, a, limit, std::max(0.0, (rise - ramp_up - ramp_down) / limit)};
}

double VelocityChange::time_needed(double v0, double a0, double target, double max_acceleration,
                                   double max_jerk) {
    const Shape s = shape(v0, a0, target, max_acceleration, max_jerk);
    return (std::abs(s.peak - s.start) + s.peak) / max_jerk + s.hold;
}

VelocityChange::VelocityChange(double v0, double a0, double target, double max_acceleration, double max_jerk)
    : v0_(v0), a0_(a0) {
    const Shape s = shape(v0, a0, target, max_acceleration, max_jerk);
    const double jerk = max_jerk;
    segments_[0] = {s.direction * (s.peak >= s.start ? jerk : -jerk), std::abs(s.peak - s.start) / jerk};
    segments_[1] = {0.0, s.hold};
    segments_[2] = {-s.direction * jerk, s.peak / jerk};

    double p = 0.0, v = v0, a = a0;
    for (const Segment& segment : segments_) {
        const double dt = segment.duration, j = segment.jerk;
        p += v * dt + a * dt * dt / 2.0 + j * dt * dt * dt / 6.0;
        v += a * dt + j * dt * dt / 2.0;
        a += j * dt;
        duration_ += dt;
    }
    distance_ = p;
}

void VelocityChange::sample(double t, double& offset, double& velocity, double& acceleration) const {
    double p = 0.0, v = v0_, a = a0_;
    double left = std::max(0.0, t);
    for (const Segment& segment : segments_) {
        const double dt = std::min(left, segment.duration);
        const double j = segment.jerk;
        p += v * dt + a * dt * dt / 2.0 + j * dt * dt * dt / 6.0;
        v += a * dt + j * dt * dt / 2.0;
        a += j * dt;
        left -= dt;
        if (left <= 0.0) break;
    }
    offset = p;
    velocity = v;
    acceleration = a;
}

}  // namespace orvane::detail
