#pragma once

// One joint's motion between two states under velocity and acceleration
// limits: a short linear ramp from the start acceleration to zero, an
// acceleration-limited ramp-coast-ramp middle, and a linear ramp from zero to
// the goal acceleration.
//
// For a middle of fixed duration the profile family "ramp at full acceleration
// to vp, coast at vp, ramp at full acceleration to the end velocity" reaches
// every distance that any acceleration-limited motion of that duration can
// (its velocity curve is vp clamped into the band the limits allow, so it rises
// monotonically with vp). A duration is therefore feasible exactly when the
// distance lies between the family's extremes; feasible durations may have a
// gap when the boundary velocities are not zero, which the synchronisation
// steps over.

#include <limits>

namespace orvane::detail {

struct JointProblem {
    double p0, v0, a0;  // start
    double p1, v1, a1;  // goal
    double max_velocity;
    double max_acceleration;
};

class JointProfile {
public:
    // Linear ramps from and to non-zero boundary accelerations take this long
    // at full acceleration (shorter where the velocity limit demands).
    static constexpr double full_ramp_time = 0.05;

    explicit JointProfile(const JointProblem& problem);

    // Shortest duration this joint needs (infinity if none was found).
    double minimum_duration() const { return next_feasible(0.0); }
    // Whether the joint can take exactly `duration`.
    bool is_feasible(double duration) const;
    // The smallest feasible duration >= `duration` (approximately, from above),
    // infinity if none was found.
    double next_feasible(double duration) const;

    // Fixes the duration (must be feasible) for sampling.
    void set_duration(double duration);
    // Velocity control: reaches the goal velocity as soon as possible and keeps
    // it until `duration` (>= the returned minimum); the goal position is ignored.
    double velocity_mode_duration() const;
    void set_velocity_mode(double duration);

    void sample(double t, double& position, double& velocity, double& acceleration) const;
    double end_position() const { return q1_ + w1_ * tau1_ + problem_.a1 * tau1_ * tau1_ / 6.0; }

private:
    double middle_distance(double vp, double middle) const;

    JointProblem problem_;
    double tau0_{0.0}, q0_{0.0}, w0_{0.0};  // start ramp and the state after it
    double tau1_{0.0}, q1_{0.0}, w1_{0.0};  // goal ramp and the state before it
    // Middle, fixed by set_duration / set_velocity_mode.
    double duration_{0.0};
    double vp_{0.0}, t1_{0.0}, tc_{0.0}, t3_{0.0}, acc1_{0.0}, acc3_{0.0};
};

inline constexpr double infinity = std::numeric_limits<double>::infinity();

}  // namespace orvane::detail
