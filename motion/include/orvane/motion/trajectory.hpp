#pragma once

#include <cstddef>
#include <vector>

namespace orvane {

// The state of all joints at one instant; one value per joint (radians or
// metres, and their first and second time derivatives).
struct State {
    double time{0.0};
    std::vector<double> position;
    std::vector<double> velocity;
    std::vector<double> acceleration;

    State() = default;
    // Zero-filled vectors of `degrees_of_freedom` values.
    explicit State(std::size_t degrees_of_freedom);
    State(double time, std::vector<double> position, std::vector<double> velocity,
          std::vector<double> acceleration);
};

// A time-sampled joint trajectory. Invariants, checked on construction:
// sample times start at 0 and strictly increase, the duration is the last
// sample's time (0 when empty), and every sample has one value per degree of
// freedom in each of positions, velocities and accelerations.
class Trajectory {
public:
    // An empty trajectory (no samples) for `degrees_of_freedom` joints.
    explicit Trajectory(std::size_t degrees_of_freedom = 0);
    // From sample arrays, e.g. computed by another planner. Throws
    // std::invalid_argument when the invariants above do not hold.
    Trajectory(std::vector<double> times, std::vector<std::vector<double>> positions,
               std::vector<std::vector<double>> velocities,
               std::vector<std::vector<double>> accelerations);

    std::size_t degrees_of_freedom() const { return degrees_of_freedom_; }
    double duration() const { return times_.empty() ? 0.0 : times_.back(); }
    std::size_t size() const { return times_.size(); }
    bool empty() const { return times_.empty(); }

    const std::vector<double>& times() const { return times_; }
    const std::vector<std::vector<double>>& positions() const { return positions_; }
    const std::vector<std::vector<double>>& velocities() const { return velocities_; }
    const std::vector<std::vector<double>>& accelerations() const { return accelerations_; }

    // Sample `index` as a State; throws std::out_of_range past the end.
    State at(std::size_t index) const;
    // First and last sample; throw std::out_of_range when empty.
    State front() const;
    State back() const;

    // Up to `count` samples from `start` on, as a trajectory of its own whose
    // time starts again at 0. A `start` equal to size() gives an empty
    // trajectory; a larger one throws std::out_of_range.
    Trajectory slice(std::size_t start, std::size_t count) const;

    // Continues this trajectory with `other`: other's time axis starts where
    // this one ends, so other's first sample falls on this one's last instant
    // and replaces it (the junction state is taken from `other`). Appending to
    // an empty trajectory copies `other`; appending an empty one changes
    // nothing. Throws std::invalid_argument on different degrees of freedom.
    void append(const Trajectory& other);

private:
    std::size_t degrees_of_freedom_;
    std::vector<double> times_;
    std::vector<std::vector<double>> positions_;
    std::vector<std::vector<double>> velocities_;
    std::vector<std::vector<double>> accelerations_;
};

}  // namespace orvane
