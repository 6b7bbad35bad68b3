#include "profile.hpp"

#include <algorithm>
#include <cmath>

namespace orvane::detail {

namespace {

// Tolerance on distances when judging feasibility (metres or radians).
constexpr double distance_tolerance = 1e-10;

double sign(double x) { return x > 0.0 ? 1.0 : (x < 0.0 ? -1.0 : 0.0); }

}  // namespace

JointProfile::JointProfile(const JointProblem& problem) : problem_(problem) {
    const double vmax = problem.max_velocity;
    const double jerk = problem.max_acceleration / full_ramp_time;

    // Start ramp: acceleration a0 -> 0 linearly; velocity moves by a0 * tau0 / 2.
    const double a0 = problem.a0, v0 = problem.v0;
    if (a0 != 0.0) {
        tau0_ = std::abs(a0) / jerk;
        if (std::abs(v0 + a0 * tau0_ / 2.0) > vmax) {
            tau0_ = std::max(0.0, 2.0 * (std::copysign(vmax, a0) - v0) / a0);
        }
    }
    w0_ = v0 + a0 * tau0_ / 2.0;
    q0_ = problem.p0 + v0 * tau0_ + a0 * tau0_ * tau0_ / 3.0;

    // Goal ramp: acceleration 0 -> a1 linearly, worked backwards from the goal.
    const double a1 = problem.a1, v1 = problem.v1;
    if (a1 != 0.0) {
        tau1_ = std::abs(a1) / jerk;
        if (std::abs(v1 - a1 * tau1_ / 2.0) > vmax) {
            tau1_ = std::max(0.0, 2.0 * (v1 + std::copysign(vmax, a1)) / a1);
        }
    }
    w1_ = v1 - a1 * tau1_ / 2.0;
    q1_ = problem.p1 - w1_ * tau1_ - a1 * tau1_ * tau1_ / 6.0;
}

double JointProfile::middle_distance(double vp, double middle) const {
    const double amax = problem_.max_acceleration;
    const double t1 = std::abs(vp - w0_) / amax;
    const double t3 = std::abs(w1_ - vp) / amax;
    const double tc = std::max(0.0, middle - t1 - t3);
    return (w0_ + vp) / 2.0 * t1 + vp * tc + (vp + w1_) / 2.0 * t3;
}

bool JointProfile::is_feasible(double duration) const {
    const double amax = problem_.max_acceleration, vmax = problem_.max_velocity;
    const double middle = duration - tau0_ - tau1_;
    if (middle < -1e-12) return false;
    const double m = std::max(0.0, middle);
    if (amax * m < std::abs(w1_ - w0_) - 1e-12) return false;
    const double vlo = std::max(-vmax, (w0_ + w1_ - amax * m) / 2.0);
    const double vhi = std::min(vmax, (w0_ + w1_ + amax * m) / 2.0);
    const double distance = q1_ - q0_;
    return middle_distance(vlo, m) <= distance + distance_tolerance &&
           distance - distance_tolerance <= middle_distance(vhi, m);
}

double JointProfile::next_feasible(double duration) const {
    const double lower_bound = tau0_ + tau1_ + std::abs(w1_ - w0_) / problem_.max_acceleration;
    double lo = std::max(duration, lower_bound);
    if (is_feasible(lo)) return lo;
    // Grow the step until a feasible duration is found, then bisect back to
    // the boundary; a short feasible window before a gap may be stepped over,
    // which only costs time.
    double step = std::max(1e-3, 0.05 * lo);
    double hi = lo + step;
    while (!is_feasible(hi)) {
        lo = hi;
        step *= 2.0;
        if (step > 1e7) return infinity;
        hi = lo + step;
    }
    for (int i = 0; i < 200 && hi - lo > 1e-13 * std::max(1.0, hi); ++i) {
        const double mid = 0.5 * (lo + hi);
        (is_feasible(mid) ? hi : lo) = mid;
    }
    return hi;
}

void JointProfile::set_duration(double duration) {
    const double amax = problem_.max_acceleration, vmax = problem_.max_velocity;
    duration_ = duration;
    const double m = std::max(0.0, duration - tau0_ - tau1_);
    double lo = std::max(-vmax, (w0_ + w1_ - amax * m) / 2.0);
    double hi = std::min(vmax, (w0_ + w1_ + amax * m) / 2.0);
    if (lo > hi) lo = hi = std::clamp(0.5 * (w0_ + w1_), -vmax, vmax);
    const double distance = q1_ - q0_;
    // The distance grows monotonically with vp: bisect.
    for (int i = 0; i < 200 && hi - lo > 1e-15 * std::max(1.0, std::abs(hi)); ++i) {
        const double mid = 0.5 * (lo + hi);
        (middle_distance(mid, m) < distance ? lo : hi) = mid;
    }
    vp_ = 0.5 * (lo + hi);
    t1_ = std::abs(vp_ - w0_) / amax;
    t3_ = std::abs(w1_ - vp_) / amax;
    tc_ = std::max(0.0, m - t1_ - t3_);
    // Rounding can leave t1 + t3 a hair above the middle; take it off the coast.
    if (t1_ + t3_ > m && t1_ + t3_ > 0.0) {
        const double scale = m / (t1_ + t3_);
        t1_ *= scale;
        t3_ *= scale;
    }
    acc1_ = sign(vp_ - w0_) * amax;
    acc3_ = sign(w1_ - vp_) * amax;
}

double JointProfile::velocity_mode_duration() const {
    return tau0_ + std::abs(problem_.v1 - w0_) / problem_.max_acceleration;
}

void JointProfile::set_velocity_mode(double duration) {
    const double amax = problem_.max_acceleration;
    duration_ = duration;
    tau1_ = 0.0;
    vp_ = problem_.v1;
    t1_ = std::abs(vp_ - w0_) / amax;
    t3_ = 0.0;
    tc_ = std::max(0.0, duration - tau0_ - t1_);
    acc1_ = sign(vp_ - w0_) * amax;
    acc3_ = 0.0;
    // The end lies wherever the deceleration leads.
    w1_ = vp_;
    q1_ = q0_ + (w0_ + vp_) / 2.0 * t1_ + vp_ * tc_;
    problem_.a1 = 0.0;
}

void JointProfile::sample(double t, double& position, double& velocity, double& acceleration) const {
    const JointProblem& p = problem_;
    if (t < tau0_) {
        // a(t) = a0 (1 - t / tau0)
        acceleration = p.a0 * (1.0 - t / tau0_);
        velocity = p.v0 + p.a0 * t - p.a0 * t * t / (2.0 * tau0_);
        position = p.p0 + p.v0 * t + p.a0 * t * t / 2.0 - p.a0 * t * t * t / (6.0 * tau0_);
        return;
    }
    const double u = t - tau0_;
    const double middle = t1_ + tc_ + t3_;
    if (u < middle) {
        if (u < t1_) {
            acceleration = acc1_;
            velocity = w0_ + acc1_ * u;
            position = q0_ + w0_ * u + acc1_ * u * u / 2.0;
            return;
        }
        const double after_ramp = q0_ + (w0_ + vp_) / 2.0 * t1_;
        if (u < t1_ + tc_) {
            acceleration = 0.0;
            velocity = vp_;
            position = after_ramp + vp_ * (u - t1_);
            return;
        }
        const double s = u - t1_ - tc_;
        acceleration = acc3_;
        velocity = vp_ + acc3_ * s;
        position = after_ramp + vp_ * tc_ + vp_ * s + acc3_ * s * s / 2.0;
        return;
    }
    // Goal ramp: a(s) = a1 s / tau1, from the state before it.
    const double s = std::clamp(t - (duration_ - tau1_), 0.0, tau1_);
    if (tau1_ > 0.0) {
        acceleration = p.a1 * s / tau1_;
        velocity = w1_ + p.a1 * s * s / (2.0 * tau1_);
        position = q1_ + w1_ * s + p.a1 * s * s * s / (6.0 * tau1_);
    } else {
        acceleration = p.a1;
        velocity = w1_;
        position = q1_;
    }
}

}  // namespace orvane::detail
