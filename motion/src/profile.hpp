#pragma once

// One joint's motion between two states under velocity, acceleration and jerk
// limits, in three phases: the quickest change from the start state to a peak
// velocity vp at zero acceleration, a coast at vp, and the quickest change from
// (vp, 0) to the goal state (worked backwards from the goal).
//
// For a fixed duration, the distance rises with vp: a higher peak gives a
// velocity curve that is nowhere lower. The phases' joint duration g(vp) falls
// towards the velocities the boundary accelerations lead to when ramped to
// zero (`low_` and `high_` below) and is concave between them, so the peaks
// that fit into a duration form at most two ranges: one reaching down from
// `low_`, one reaching up from `high_`. A duration is feasible when the
// distance lies between the distances at the ends of one of those ranges;
// feasible durations may therefore have gaps when the boundary states are
// moving, which the synchronisation of the joints steps over.

#include <array>
#include <limits>

#include "velocity_change.hpp"

namespace orvane::detail {

struct JointProblem {
    double p0, v0, a0;  // start
    double p1, v1, a1;  // goal
    double max_velocity;
    double max_acceleration;
    double max_jerk;
};

inline constexpr double infinity = std::numeric_limits<double>::infinity();

class JointProfile {
public:
    enum class Control { position, velocity };

    // Position control: the boundary states must be within the limits, and
    // their velocities when their accelerations are ramped to zero too.
    // Velocity control: see set_velocity_mode.
    JointProfile(const JointProblem& problem, Control control);

    // Shortest duration this joint needs (infinity if none was found).
    double minimum_duration() const;
    // Whether the joint can take exactly `duration`.
    bool is_feasible(double duration) const;
    // The smallest feasible duration >= `duration` (approximately, from above),
    // infinity if none was found.
    double next_feasible(double duration) const;
    // Fixes a feasible duration for sampling; false if it was not feasible.
    bool set_duration(double duration);

    // Velocity control: reaches the goal velocity as soon as possible and keeps
    // it until `duration` (>= the returned minimum); the goal position and
    // acceleration are ignored, and the start may lie beyond the limits.
    double velocity_mode_duration() const;
    void set_velocity_mode(double duration);

    void sample(double t, double& position, double& velocity, double& acceleration) const;
    // Where a velocity-controlled motion ends.
    double end_position() const;

private:
    struct PeakRange {
        double low, high;
    };

    VelocityChange to_peak(double peak) const;
    // Worked backwards: from (-v1, a1) to (-peak, 0).
    VelocityChange from_peak_reversed(double peak) const;
    double phases_duration(double peak) const;
    // Distance covered in `duration` with this peak (coasting for the rest).
    double distance(double peak, double duration) const;
    // The peak velocities whose phases fit into `duration`; returns how many ranges.
    int peak_ranges(double duration, std::array<PeakRange, 2>& ranges) const;

    JointProblem problem_;
    double low_{0.0}, high_{0.0};            // where g(vp) has its minima
    double widest_{0.0}, widest_time_{0.0};  // the maximum of g between them

    // Fixed by set_duration / set_velocity_mode.
    bool velocity_mode_{false};
    double duration_{0.0}, peak_{0.0}, coast_{0.0};
    VelocityChange first_, last_;
};

}  // namespace orvane::detail
