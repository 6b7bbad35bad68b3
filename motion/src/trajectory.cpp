#include <orvane/motion/trajectory.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

namespace orvane {

State::State(std::size_t degrees_of_freedom)
    : position(degrees_of_freedom, 0.0),
      velocity(degrees_of_freedom, 0.0),
      acceleration(degrees_of_freedom, 0.0) {}

State::State(double time, std::vector<double> position, std::vector<double> velocity,
             std::vector<double> acceleration)
    : time(time),
      position(std::move(position)),
      velocity(std::move(velocity)),
      acceleration(std::move(acceleration)) {}

Trajectory::Trajectory(std::size_t degrees_of_freedom) : degrees_of_freedom_(degrees_of_freedom) {}

Trajectory::Trajectory(std::vector<double> times, std::vector<std::vector<double>> positions,
                       std::vector<std::vector<double>> velocities,
                       std::vector<std::vector<double>> accelerations)
    : degrees_of_freedom_(positions.empty() ? 0 : positions.front().size()),
      times_(std::move(times)),
      positions_(std::move(positions)),
      velocities_(std::move(velocities)),
      accelerations_(std::move(accelerations)) {
    const std::size_t n = times_.size();
    if (positions_.size() != n || velocities_.size() != n || accelerations_.size() != n) {
        throw std::invalid_argument(
            "Trajectory: times, positions, velocities and accelerations need one entry per sample (" +
            std::to_string(n) + " times, " + std::to_string(positions_.size()) + " positions, " +
            std::to_string(velocities_.size()) + " velocities, " +
            std::to_string(accelerations_.size()) + " accelerations).");
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(times_[i])) {
            throw std::invalid_argument("Trajectory: sample time " + std::to_string(i) + " is not finite.");
        }
        if (i == 0 && times_[0] != 0.0) {
            throw std::invalid_argument("Trajectory: the first sample time must be 0.");
        }
        if (i > 0 && !(times_[i] > times_[i - 1])) {
            throw std::invalid_argument("Trajectory: sample times must strictly increase (sample " +
                                        std::to_string(i) + ").");
        }
        if (positions_[i].size() != degrees_of_freedom_ || velocities_[i].size() != degrees_of_freedom_ ||
            accelerations_[i].size() != degrees_of_freedom_) {
            throw std::invalid_argument("Trajectory: sample " + std::to_string(i) + " does not have " +
                                        std::to_string(degrees_of_freedom_) +
                                        " values in each of position, velocity and acceleration.");
        }
    }
}

State Trajectory::at(std::size_t index) const {
    if (index >= times_.size()) {
        throw std::out_of_range("Trajectory::at: sample " + std::to_string(index) + " of " +
                                std::to_string(times_.size()));
    }
    return State(times_[index], positions_[index], velocities_[index], accelerations_[index]);
}

State Trajectory::front() const {
    if (empty()) throw std::out_of_range("Trajectory::front: the trajectory is empty");
    return at(0);
}

State Trajectory::back() const {
    if (empty()) throw std::out_of_range("Trajectory::back: the trajectory is empty");
    return at(times_.size() - 1);
}

Trajectory Trajectory::slice(std::size_t start, std::size_t count) const {
    if (start > times_.size()) {
        throw std::out_of_range("Trajectory::slice: start " + std::to_string(start) + " beyond " +
                                std::to_string(times_.size()) + " samples");
    }
    const std::size_t end = start + std::min(count, times_.size() - start);
    Trajectory result(degrees_of_freedom_);
    const double t0 = start < times_.size() ? times_[start] : 0.0;
    result.times_.reserve(end - start);
    for (std::size_t i = start; i < end; ++i) {
        result.times_.push_back(times_[i] - t0);
    }
    result.positions_.assign(positions_.begin() + start, positions_.begin() + end);
    result.velocities_.assign(velocities_.begin() + start, velocities_.begin() + end);
    result.accelerations_.assign(accelerations_.begin() + start, accelerations_.begin() + end);
    return result;
}

void Trajectory::append(const Trajectory& other) {
    if (other.empty()) return;
    if (empty()) {
        *this = other;
        return;
    }
    if (other.degrees_of_freedom_ != degrees_of_freedom_) {
        throw std::invalid_argument("Trajectory::append: " + std::to_string(other.degrees_of_freedom_) +
                                    " degrees of freedom do not continue " +
                                    std::to_string(degrees_of_freedom_));
    }
    const double offset = duration();
    times_.pop_back();
    positions_.pop_back();
    velocities_.pop_back();
    accelerations_.pop_back();
    times_.reserve(times_.size() + other.size());
    for (double t : other.times_) times_.push_back(offset + t);
    positions_.insert(positions_.end(), other.positions_.begin(), other.positions_.end());
    velocities_.insert(velocities_.end(), other.velocities_.begin(), other.velocities_.end());
    accelerations_.insert(accelerations_.end(), other.accelerations_.begin(), other.accelerations_.end());
}

}  // namespace orvane
