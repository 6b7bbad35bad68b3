#pragma once

#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <orvane/motion/environment.hpp>
#include <orvane/motion/error.hpp>
#include <orvane/motion/motion.hpp>
#include <orvane/motion/robot.hpp>
#include <orvane/motion/trajectory.hpp>
#include <orvane/motion/waypoint.hpp>

namespace orvane {

using PlanningResult = std::expected<Trajectory, PlanningError>;

// Plans joint-space trajectories sampled every `delta_time` seconds.
//
// Motions (Position control) respect every joint's position range, maximum
// velocity and maximum acceleration at every sample, start and end exactly in
// the given states (boundary accelerations included), and bring all joints to
// the goal at the same time. Velocities are continuous; accelerations are
// piecewise constant apart from short linear ramps from and to the boundary
// accelerations. Samples lie at k * delta_time; the last one is the goal.
//
// plan() is const and may run on several threads at once.
class Planner {
public:
    // The environment may be empty; motions must then name their robot.
    Planner(std::shared_ptr<Environment> environment, double delta_time);
    // A planner for one robot, in an environment of its own.
    Planner(std::shared_ptr<Robot> robot, double delta_time);

    std::shared_ptr<Environment> environment;
    double delta_time;

    // Registers `motion` under its name, replacing one of the same name.
    // Throws std::invalid_argument for an empty name.
    void add_motion(const Motion& motion);
    std::optional<Motion> get_motion(const std::string& name) const;

    // `start` and `goal`, when given, replace the motion's own.
    PlanningResult plan(const Motion& motion, const std::optional<Goal>& start = std::nullopt,
                        const std::optional<Goal>& goal = std::nullopt) const;
    // The motion registered under `name`.
    PlanningResult plan(const std::string& name, const std::optional<Goal>& start = std::nullopt,
                        const std::optional<Goal>& goal = std::nullopt) const;
    PlanningResult plan(const LowLevelMotion& motion) const;

private:
    mutable std::mutex motions_mutex_;
    std::map<std::string, Motion> motions_;
};

}  // namespace orvane
