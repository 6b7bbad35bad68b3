#pragma once

#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <orvane/motion/environment.hpp>
#include <orvane/motion/error.hpp>
#include <orvane/motion/limit_table.hpp>
#include <orvane/motion/motion.hpp>
#include <orvane/motion/robot.hpp>
#include <orvane/motion/trajectory.hpp>
#include <orvane/motion/waypoint.hpp>

namespace orvane {

using PlanningResult = std::expected<Trajectory, PlanningError>;

// Plans joint-space trajectories sampled every `delta_time` seconds.
//
// Motions (Position control) respect every joint's position range, maximum
// velocity, acceleration and jerk, start and end exactly in the given states
// (boundary accelerations included), and bring all joints to the goal at the
// same time. Velocities and accelerations are continuous, the jerk piecewise
// constant, so the limits hold at every instant: at every sample, and for the
// finite differences of consecutive samples at any sampling interval. Samples
// lie at k * delta_time; the last one is the goal. A boundary state must be
// one the joint can leave or reach within its limits: ramping its acceleration
// to zero within the jerk limit must not carry it past its velocity limit.
//
// plan() is const and may run on several threads at once, also while a limit
// table is set.
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

    // Speed-dependent limits that the controller of `robot` enforces, e.g. the
    // tables a driver read from it: plans for that robot keep them besides the
    // robot's own, within the steps up to the one their peak tool speed falls
    // in (every step for a robot that is not an arm). An empty `robot` means
    // the environment's only robot; an empty table removes the robot's table.
    // Throws std::invalid_argument for a table with another number of joints
    // than the robot, or when no robot is given and there is not exactly one.
    void set_limit_table(const std::shared_ptr<Robot>& robot, std::optional<JointLimitTable> table);
    std::optional<JointLimitTable> get_limit_table(const std::shared_ptr<Robot>& robot = nullptr) const;

private:
    std::shared_ptr<Robot> only_robot(const std::shared_ptr<Robot>& robot, const char* what) const;
    std::shared_ptr<const JointLimitTable> limit_table_of(const std::shared_ptr<Robot>& robot) const;

    // Guards motions_ only; never held together with tables_mutex_.
    mutable std::mutex motions_mutex_;
    std::map<std::string, Motion> motions_;
    // Guards tables_ only; plans copy the table's pointer and let go at once.
    mutable std::mutex tables_mutex_;
    std::map<std::shared_ptr<Robot>, std::shared_ptr<const JointLimitTable>> tables_;
};

}  // namespace orvane
