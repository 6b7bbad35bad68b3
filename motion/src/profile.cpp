#include "profile.hpp"

#include <algorithm>
#include <cmath>

namespace orvane::detail {

namespace {

// Tolerance on distances when judging feasibility (metres or radians, relative
// to the distance where that is larger than 1).
constexpr double distance_tolerance = 1e-13;
constexpr int max_iterations = 200;

bool close(double a, double b) { return std::abs(a - b) <= 1e-15 * std::max(1.0, std::abs(a)); }

// The boundary between `inside`, where `fits` holds, and `outside`, where it
// does not; the value returned is on the inside.
template <class Fits>
double boundary(double inside, double outside, Fits fits) {
    for (int i = 0; i < max_iterations && !close(inside, outside); ++i) {
        const double middle = 0.5 * (inside + outside);
        if (middle == inside || middle == outside) break;
        (fits(middle) ? inside : outside) = middle;
    }
    return inside;
}

// The root of a continuous `f` between `inside` (f <= 0) and `outside`
// (f > 0), approached from the inside: f is <= 0 where the value returned
// lies. Regula falsi with the Illinois modification (the weight of an end kept
// twice is halved) converges nearly as fast as the secant method; a bisection
// step is taken whenever the bracket has not halved in two steps.
template <class F>
double root(double inside, double outside, F f) {
    double weight_in = f(inside), weight_out = f(outside);
    if (weight_in == 0.0) return inside;
    if (weight_out <= 0.0) return outside;
    enum class Kept { none, in, out } kept = Kept::none;
    // The bracket's width before the last step and before the one before it.
    double width_before = infinity, width_before_that = infinity;
    for (int i = 0; i < max_iterations && !close(inside, outside); ++i) {
        const double width = std::abs(outside - inside);
        double next = (inside * weight_out - outside * weight_in) / (weight_out - weight_in);
        if (width > 0.5 * width_before_that ||
            !(next > std::min(inside, outside) && next < std::max(inside, outside))) {
            next = 0.5 * (inside + outside);
        }
        width_before_that = width_before;
        width_before = width;
        if (next == inside || next == outside) break;
        const double value = f(next);
        if (value <= 0.0) {
            inside = next;
            weight_in = value;
            if (value == 0.0) break;
            if (kept == Kept::out) weight_out *= 0.5;
            kept = Kept::out;
        } else {
            outside = next;
            weight_out = value;
            if (kept == Kept::in) weight_in *= 0.5;
            kept = Kept::in;
        }
    }
    return inside;
}

}  // namespace

JointProfile::JointProfile(const JointProblem& problem, Control control)
    : problem_(problem), velocity_mode_(control == Control::velocity) {
    if (velocity_mode_) return;  // the peak is the goal velocity: nothing to search
    const double v_max = problem.max_velocity, jerk = problem.max_jerk;
    const double start = coast_velocity(problem.v0, problem.a0, jerk);
    const double goal = problem.v1 - problem.a1 * std::abs(problem.a1) / (2.0 * jerk);
    low_ = std::clamp(std::min(start, goal), -v_max, v_max);
    high_ = std::clamp(std::max(start, goal), -v_max, v_max);
    widest_ = low_;
    widest_time_ = phases_duration(low_);
    if (high_ > low_) {
        // g is concave between its minima: a golden-section search finds its top.
        constexpr double ratio = 0.6180339887498949;
        double a = low_, b = high_;
        double c = b - ratio * (b - a), d = a + ratio * (b - a);
        double gc = phases_duration(c), gd = phases_duration(d);
        for (int i = 0; i < 100 && b - a > 1e-13 * std::max(1.0, std::abs(a)); ++i) {
            if (gc > gd) {
                b = d;
                d = c;
                gd = gc;
                c = b - ratio * (b - a);
                gc = phases_duration(c);
            } else {
                a = c;
                c = d;
                gc = gd;
                d = a + ratio * (b - a);
                gd = phases_duration(d);
            }
        }
        widest_ = 0.5 * (a + b);
        widest_time_ = phases_duration(widest_);
    }
}

VelocityChange JointProfile::to_peak(double peak) const {
    return {problem_.v0, problem_.a0, peak, problem_.max_acceleration, problem_.max_jerk};
}

VelocityChange JointProfile::from_peak_reversed(double peak) const {
    return {-problem_.v1, problem_.a1, -peak, problem_.max_acceleration, problem_.max_jerk};
}

double JointProfile::phases_duration(double peak) const {
    const JointProblem& p = problem_;
    return VelocityChange::time_needed(p.v0, p.a0, peak, p.max_acceleration, p.max_jerk) +
           VelocityChange::time_needed(-p.v1, p.a1, -peak, p.max_acceleration, p.max_jerk);
}

double JointProfile::distance(double peak, double duration) const {
    const VelocityChange first = to_peak(peak), last = from_peak_reversed(peak);
    // Going backwards covers the last phase's distance with the opposite sign.
    return first.distance() - last.distance() + peak * (duration - first.duration() - last.duration());
}

int JointProfile::peak_ranges(double duration, std::array<PeakRange, 2>& ranges) const {
    const double v_max = problem_.max_velocity;
    auto excess = [&](double peak) { return phases_duration(peak) - duration; };
    const bool down = excess(low_) <= 0.0, up = excess(high_) <= 0.0;
    if (!down && !up) return 0;
    // g only rises beyond its minima, and between them it stays below the
    // duration (one range) or rises above it in the middle (two).
    auto lowest = [&] { return excess(-v_max) <= 0.0 ? -v_max : root(low_, -v_max, excess); };
    auto highest = [&] { return excess(v_max) <= 0.0 ? v_max : root(high_, v_max, excess); };
    if (widest_time_ <= duration) {
        ranges[0] = {lowest(), highest()};
        return 1;
    }
    int count = 0;
    if (down) ranges[count++] = {lowest(), root(low_, widest_, excess)};
    if (up) ranges[count++] = {root(high_, widest_, excess), highest()};
    return count;
}

bool JointProfile::is_feasible(double duration) const {
    if (!(duration >= 0.0)) return false;
    const double target = problem_.p1 - problem_.p0;
    const double tolerance = distance_tolerance * std::max(1.0, std::abs(target));
    std::array<PeakRange, 2> ranges{};
    const int count = peak_ranges(duration, ranges);
    for (int i = 0; i < count; ++i) {
        if (distance(ranges[i].low, duration) <= target + tolerance &&
            target - tolerance <= distance(ranges[i].high, duration)) {
            return true;
        }
    }
    return false;
}

double JointProfile::minimum_duration() const {
    const double target = problem_.p1 - problem_.p0;
    const double v_max = problem_.max_velocity;
    auto without_coast = [&](double peak) { return distance(peak, phases_duration(peak)); };
    // Beyond what the extreme peaks cover without coasting, the quickest motion
    // peaks as high (or low) as it must, coasting at the velocity limit if
    // needed. The synchronisation of the joints checks that duration again.
    for (const double sign : {1.0, -1.0}) {
        const double near = sign > 0.0 ? high_ : low_;
        if (sign * target < sign * without_coast(near)) continue;
        const double far = sign * v_max;
        const double reach = without_coast(far);
        if (sign * target >= sign * reach) return phases_duration(far) + (target - reach) / far;
        return phases_duration(root(far, near, [&](double p) { return sign * (target - without_coast(p)); }));
    }
    return next_feasible(std::min(phases_duration(low_), phases_duration(high_)));
}

double JointProfile::next_feasible(double duration) const {
    double low = std::max(duration, std::min(phases_duration(low_), phases_duration(high_)));
    if (is_feasible(low)) return low;
    // Grow the step until a feasible duration is found, then bisect back to
    // the boundary; a short feasible window before a gap may be stepped over,
    // which only costs time.
    double step = std::max(1e-4, 0.01 * low);
    double high = low + step;
    while (!is_feasible(high)) {
        low = high;
        step *= 2.0;
        if (step > 1e7) return infinity;
        high = low + step;
    }
    return boundary(high, low, [&](double d) { return is_feasible(d); });
}

bool JointProfile::set_duration(double duration) {
    const double target = problem_.p1 - problem_.p0;
    const double tolerance = distance_tolerance * std::max(1.0, std::abs(target));
    std::array<PeakRange, 2> ranges{};
    const int count = peak_ranges(duration, ranges);
    for (int i = 0; i < count; ++i) {
        const PeakRange range = ranges[i];
        if (distance(range.low, duration) > target + tolerance ||
            target - tolerance > distance(range.high, duration)) {
            continue;
        }
        // The distance rises with the peak.
        auto short_by = [&](double peak) { return distance(peak, duration) - target; };
        velocity_mode_ = false;
        duration_ = duration;
        peak_ = short_by(range.low) >= 0.0 ? range.low : root(range.low, range.high, short_by);
        first_ = to_peak(peak_);
        last_ = from_peak_reversed(peak_);
        coast_ = std::max(0.0, duration - first_.duration() - last_.duration());
        return true;
    }
    return false;
}

double JointProfile::velocity_mode_duration() const {
    return VelocityChange(problem_.v0, problem_.a0, problem_.v1, problem_.max_acceleration, problem_.max_jerk)
        .duration();
}

void JointProfile::set_velocity_mode(double duration) {
    velocity_mode_ = true;
    duration_ = duration;
    peak_ = problem_.v1;
    first_ = VelocityChange(problem_.v0, problem_.a0, peak_, problem_.max_acceleration, problem_.max_jerk);
    coast_ = std::max(0.0, duration - first_.duration());
}

double JointProfile::end_position() const {
    if (velocity_mode_) return problem_.p0 + first_.distance() + peak_ * coast_;
    return problem_.p1;
}

void JointProfile::sample(double t, double& position, double& velocity, double& acceleration) const {
    double offset = 0.0;
    if (t < first_.duration()) {
        first_.sample(t, offset, velocity, acceleration);
        position = problem_.p0 + offset;
        return;
    }
    if (velocity_mode_ || t < first_.duration() + coast_) {
        position = problem_.p0 + first_.distance() + peak_ * (t - first_.duration());
        velocity = peak_;
        acceleration = 0.0;
        return;
    }
    // The last phase, read backwards from the goal.
    last_.sample(std::clamp(duration_ - t, 0.0, last_.duration()), offset, velocity, acceleration);
    position = problem_.p1 + offset;
    velocity = -velocity;
}

}  // namespace orvane::detail
