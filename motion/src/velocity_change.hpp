#pragma once

// The quickest change of one joint's velocity from (v0, a0) to (target, 0)
// with the jerk bounded by J and the acceleration by A: the acceleration ramps
// at full jerk to a peak, may hold it, and ramps back to zero. A start
// acceleration beyond A is first ramped down to A at full jerk, never cut.
//
// The velocity passes only through v0, the velocity reached by ramping a0
// straight to zero (`coast_velocity`), and the target, so it keeps a limit that
// those three keep.

#include <array>

namespace orvane::detail {

class VelocityChange {
public:
    VelocityChange() = default;
    VelocityChange(double v0, double a0, double target, double max_acceleration, double max_jerk);

    // How long the change takes, without working out the rest of it.
    static double time_needed(double v0, double a0, double target, double max_acceleration, double max_jerk);

    double duration() const { return duration_; }
    // Distance covered during the change.
    double distance() const { return distance_; }

    // Position relative to the start, velocity and acceleration at `t`
    // (clamped to [0, duration]).
    void sample(double t, double& offset, double& velocity, double& acceleration) const;

private:
    struct Segment {
        double jerk{0.0};
        double duration{0.0};
    };
    // The peak acceleration and how long it is held, in the direction in
    // which the velocity goes (`direction`, +1 or -1).
    struct Shape {
        double direction, start, peak, hold;
    };
    static Shape shape(double v0, double a0, double target, double max_acceleration, double max_jerk);
    std::array<Segment, 3> segments_{};
    double v0_{0.0}, a0_{0.0};
    double duration_{0.0}, distance_{0.0};
};

// The velocity a joint at (v0, a0) reaches when its acceleration ramps straight
// to zero at full jerk.
inline double coast_velocity(double v0, double a0, double max_jerk) {
    return v0 + a0 * (a0 < 0.0 ? -a0 : a0) / (2.0 * max_jerk);
}

}  // namespace orvane::detail
