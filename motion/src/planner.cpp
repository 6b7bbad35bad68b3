#include <orvane/motion/planner.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "profile.hpp"

namespace orvane {

namespace {

using Unexpected = std::unexpected<PlanningError>;

// Boundary states may sit this far beyond a limit (measurement noise); they
// are then treated as on the limit.
constexpr double input_tolerance = 1e-6;
// The planned samples are checked against the limits with this slack.
constexpr double output_tolerance = 1e-9;
// Finite differences of the samples, as a controller computes them from
// consecutive commands, keep the limits too; they may carry this much rounding
// in position (where the phases of a joint's profile meet).
constexpr double position_noise = 1e-11;
// A motion longer than this many samples is refused rather than allocated.
constexpr double max_samples = 5e7;

Unexpected fail(const std::string& message) { return Unexpected(PlanningError(message)); }

std::string number(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

std::string joint_label(const Robot& robot, std::size_t index) {
    return "joint " + std::to_string(index + 1) + " of robot '" + robot.name + "'";
}

std::size_t samples_for(double duration, double delta_time) {
    return static_cast<std::size_t>(std::ceil(duration / delta_time - 1e-9));
}

// Finds the part called `name` inside `robot` and the index of its first joint.
bool locate(const std::shared_ptr<Robot>& robot, const std::string& name, std::shared_ptr<Robot>& found,
            std::size_t& offset) {
    if (robot->name == name) {
        found = robot;
        return true;
    }
    std::size_t index = offset;
    for (const auto& part : robot->sub_robots()) {
        if (part == robot) continue;
        std::size_t inner = index;
        if (locate(part, name, found, inner)) {
            offset = inner;
            return true;
        }
        index += part->get_degrees_of_freedom();
    }
    return false;
}

// Checks a waypoint's vector sizes (velocity and acceleration may be empty: zero).
std::expected<Waypoint, PlanningError> completed(Waypoint point, const Robot& robot, const std::string& what) {
    const std::size_t dof = robot.get_degrees_of_freedom();
    if (point.position.size() != dof) {
        return fail("The " + what + " has " + std::to_string(point.position.size()) +
                    " joint positions, but robot '" + robot.name + "' has " + std::to_string(dof) + " joints.");
    }
    if (point.velocity.empty()) point.velocity.assign(dof, 0.0);
    if (point.acceleration.empty()) point.acceleration.assign(dof, 0.0);
    if (point.velocity.size() != dof || point.acceleration.size() != dof) {
        return fail("The " + what + " needs " + std::to_string(dof) +
                    " values in each of its velocity and acceleration for robot '" + robot.name + "'.");
    }
    for (std::size_t i = 0; i < dof; ++i) {
        if (!std::isfinite(point.position[i]) || !std::isfinite(point.velocity[i]) ||
            !std::isfinite(point.acceleration[i])) {
            return fail("The " + what + " has a value that is not finite at " + joint_label(robot, i) + ".");
        }
    }
    return point;
}

std::expected<Waypoint, PlanningError> resolve_point(const points::Point& point, const std::shared_ptr<Robot>& robot,
                                                     const Waypoint* base, const std::string& what) {
    if (const auto* joints = std::get_if<std::vector<double>>(&point)) {
        return completed(Waypoint(*joints), *robot, what);
    }
    if (const auto* waypoint = std::get_if<Waypoint>(&point)) {
        return completed(*waypoint, *robot, what);
    }
    const auto& cartesian = std::get<CartesianWaypoint>(point);
    const auto arm = std::dynamic_pointer_cast<RobotArm>(robot);
    if (!arm) {
        return fail("A Cartesian " + what + " needs a robot arm, but '" + robot->name + "' is not one.");
    }
    if (!base) {
        return fail("A Cartesian " + what + " cannot be solved without a joint position to start from.");
    }
    auto solution = arm->inverse_kinematics(cartesian.frame, base->position);
    if (!solution) {
        const auto e = cartesian.frame.to_euler();
        return fail("The Cartesian " + what + " (" + number(e[0]) + ", " + number(e[1]) + ", " + number(e[2]) +
                    ") is unreachable for robot '" + robot->name +
                    "': inverse kinematics found no solution within the joint limits from the start position.");
    }
    return Waypoint(std::move(*solution));
}

// Turns a start or goal into a Waypoint for `robot`. `base` (the start, for a
// goal) seeds inverse kinematics and fills joints that a RobotMap leaves out.
std::expected<Waypoint, PlanningError> resolve(const Goal& goal, const std::shared_ptr<Robot>& robot,
                                               const Waypoint* base, const std::string& what) {
    if (const auto* map = std::get_if<points::RobotMap>(&goal)) {
        const std::size_t dof = robot->get_degrees_of_freedom();
        Waypoint result(dof);
        std::vector<bool> covered(dof, false);
        if (base) result.position = base->position;
        for (const auto& [name, point] : *map) {
            std::shared_ptr<Robot> part;
            std::size_t offset = 0;
            if (!locate(robot, name, part, offset)) {
                return fail("The " + what + " names robot '" + name + "', which is not part of '" + robot->name +
                            "'.");
            }
            const std::size_t n = part->get_degrees_of_freedom();
            Waypoint part_base;
            if (base) {
                part_base = Waypoint(std::vector<double>(base->position.begin() + offset,
                                                         base->position.begin() + offset + n));
            }
            auto resolved = resolve_point(point, part, base ? &part_base : nullptr, what + " of '" + name + "'");
            if (!resolved) return Unexpected(resolved.error());
            for (std::size_t i = 0; i < n; ++i) {
                result.position[offset + i] = resolved->position[i];
                result.velocity[offset + i] = resolved->velocity[i];
                result.acceleration[offset + i] = resolved->acceleration[i];
                covered[offset + i] = true;
            }
        }
        if (!base) {
            for (std::size_t i = 0; i < dof; ++i) {
                if (!covered[i]) return fail("The " + what + " gives no position for " + joint_label(*robot, i) + ".");
            }
        }
        return result;
    }
    return std::visit(
        [&](const auto& point) -> std::expected<Waypoint, PlanningError> {
            using T = std::decay_t<decltype(point)>;
            if constexpr (std::is_same_v<T, points::RobotMap>) {
                return fail("The " + what + " nests a robot map in a robot map.");  // handled above
            } else {
                return resolve_point(points::Point(point), robot, base, what);
            }
        },
        goal);
}

// Clamps values within the input tolerance of a bound onto it; fails beyond.
// The velocity a boundary state reaches when its acceleration is ramped to
// zero within the jerk limit must be within the velocity limit too: a motion
// cannot start or end in such a state without breaking one of the limits.
std::expected<void, PlanningError> check_bounded(Waypoint& point, const Robot& robot,
                                                 const std::vector<JointLimits>& limits, const std::string& what,
                                                 bool check_position, bool is_start = true) {
    for (std::size_t i = 0; i < limits.size(); ++i) {
        const JointLimits& l = limits[i];
        double& p = point.position[i];
        double& v = point.velocity[i];
        double& a = point.acceleration[i];
        if (check_position) {
            if (p < l.lower - input_tolerance || p > l.upper + input_tolerance) {
                return std::unexpected(PlanningError("The " + what + " position " + number(p) + " of " +
                                                     joint_label(robot, i) + " is outside its limits [" +
                                                     number(l.lower) + ", " + number(l.upper) + "]."));
            }
            p = std::clamp(p, l.lower, l.upper);
        }
        if (std::abs(v) > l.max_velocity * (1.0 + input_tolerance)) {
            return std::unexpected(PlanningError("The " + what + " velocity " + number(v) + " of " +
                                                 joint_label(robot, i) + " exceeds its limit " +
                                                 number(l.max_velocity) + "."));
        }
        v = std::clamp(v, -l.max_velocity, l.max_velocity);
        if (std::abs(a) > l.max_acceleration * (1.0 + input_tolerance)) {
            return std::unexpected(PlanningError("The " + what + " acceleration " + number(a) + " of " +
                                                 joint_label(robot, i) + " exceeds its limit " +
                                                 number(l.max_acceleration) + "."));
        }
        a = std::clamp(a, -l.max_acceleration, l.max_acceleration);
        // Going forwards from the start, backwards from the goal.
        const double ramp = (is_start ? 1.0 : -1.0) * a * std::abs(a) / (2.0 * l.max_jerk);
        const double excess = std::abs(v + ramp) - l.max_velocity;
        if (excess > l.max_velocity * input_tolerance) {
            return std::unexpected(PlanningError(
                "The " + what + " velocity " + number(v) + " and acceleration " + number(a) + " of " +
                joint_label(robot, i) + " cannot be " + (is_start ? "left" : "reached") +
                " within its velocity limit " + number(l.max_velocity) + " and jerk limit " +
                number(l.max_jerk) + "."));
        }
        if (excess > 0.0) v -= std::copysign(excess, v + ramp);
    }
    return {};
}

// The first and last samples are the boundary states as given: where the
// acceleration jumps at either end, they report the outside value.
PlanningResult sample_profiles(const std::vector<detail::JointProfile>& profiles, std::size_t intervals,
                               double delta_time, const Waypoint& start, const Waypoint& end) {
    const std::size_t dof = profiles.size();
    const std::size_t n = intervals + 1;
    std::vector<double> times(n);
    std::vector<std::vector<double>> positions(n, std::vector<double>(dof));
    std::vector<std::vector<double>> velocities(n, std::vector<double>(dof));
    std::vector<std::vector<double>> accelerations(n, std::vector<double>(dof));
    for (std::size_t k = 0; k < n; ++k) {
        const double t = static_cast<double>(k) * delta_time;
        times[k] = t;
        for (std::size_t j = 0; j < dof; ++j) {
            profiles[j].sample(t, positions[k][j], velocities[k][j], accelerations[k][j]);
        }
    }
    positions.front() = start.position;
    velocities.front() = start.velocity;
    accelerations.front() = start.acceleration;
    if (intervals > 0) {
        positions.back() = end.position;
        velocities.back() = end.velocity;
        accelerations.back() = end.acceleration;
    }
    return Trajectory(std::move(times), std::move(positions), std::move(velocities), std::move(accelerations));
}

// The limits hold at every sample and between consecutive samples (the
// profiles are built to keep them; this guards against numerical surprises).
// A stop keeps only the jerk limit: it may start beyond the others.
std::expected<void, PlanningError> verify(const Trajectory& trajectory, const Robot& robot,
                                          const std::vector<JointLimits>& limits, bool is_stop) {
    const auto& positions = trajectory.positions();
    const double dt = trajectory.size() > 1 ? trajectory.times()[1] : 1.0;
    // The k-th difference of positions off by the noise is off by 2^k noise / dt^k.
    const std::array<double, 4> noise{position_noise, position_noise * 2.0 / dt,
                                      position_noise * 4.0 / (dt * dt), position_noise * 8.0 / (dt * dt * dt)};
    auto kept = [&](double value, double limit, int order) {
        return std::abs(value) <= limit * (1.0 + output_tolerance) + noise[static_cast<std::size_t>(order)];
    };
    auto broken = [&](std::size_t j, std::size_t k, const std::string& what) {
        return std::unexpected(PlanningError("Internal planning error: the " + what + " limit of " +
                                             joint_label(robot, j) + " is not kept at t = " +
                                             number(trajectory.times()[k]) + " s."));
    };
    for (std::size_t k = 0; k < trajectory.size(); ++k) {
        for (std::size_t j = 0; j < limits.size(); ++j) {
            const JointLimits& l = limits[j];
            const double p = positions[k][j];
            if (!is_stop && (p < l.lower - output_tolerance || p > l.upper + output_tolerance)) {
                return std::unexpected(PlanningError(
                    "The motion would leave the position range [" + number(l.lower) + ", " + number(l.upper) +
                    "] of " + joint_label(robot, j) + " (reaching " + number(p) + "); start or goal velocity "
                    "points too far past the limit."));
            }
            if (!is_stop && (!kept(trajectory.velocities()[k][j], l.max_velocity, 0) ||
                             !kept(trajectory.accelerations()[k][j], l.max_acceleration, 0))) {
                return broken(j, k, "velocity or acceleration");
            }
            if (!is_stop && k >= 1 && !kept((p - positions[k - 1][j]) / dt, l.max_velocity, 1)) {
                return broken(j, k, "velocity");
            }
            if (!is_stop && k >= 2 &&
                !kept((p - 2.0 * positions[k - 1][j] + positions[k - 2][j]) / (dt * dt), l.max_acceleration, 2)) {
                return broken(j, k, "acceleration");
            }
            if (k >= 3 && !kept((p - 3.0 * positions[k - 1][j] + 3.0 * positions[k - 2][j] - positions[k - 3][j]) /
                                    (dt * dt * dt),
                                l.max_jerk, 3)) {
                return broken(j, k, "jerk");
            }
        }
    }
    return {};
}

}  // namespace

Planner::Planner(std::shared_ptr<Environment> environment, double delta_time)
    : environment(std::move(environment)), delta_time(delta_time) {}

Planner::Planner(std::shared_ptr<Robot> robot, double delta_time)
    : environment(std::make_shared<Environment>()), delta_time(delta_time) {
    environment->add_robot(std::move(robot));
}

void Planner::add_motion(const Motion& motion) {
    if (motion.name.empty()) throw std::invalid_argument("Planner::add_motion: a named motion needs a name");
    std::lock_guard lock(motions_mutex_);
    motions_.insert_or_assign(motion.name, motion);
}

std::optional<Motion> Planner::get_motion(const std::string& name) const {
    std::lock_guard lock(motions_mutex_);
    const auto it = motions_.find(name);
    if (it == motions_.end()) return std::nullopt;
    return it->second;
}

std::shared_ptr<Robot> Planner::only_robot(const std::shared_ptr<Robot>& robot, const char* what) const {
    if (robot) return robot;
    const std::size_t count = environment ? environment->get_robots().size() : 0;
    if (count != 1) {
        throw std::invalid_argument(std::string("Planner::") + what + ": no robot given, and the environment has " +
                                    std::to_string(count) + " robots instead of one");
    }
    return environment->get_robots().front();
}

void Planner::set_limit_table(const std::shared_ptr<Robot>& robot, std::optional<JointLimitTable> table) {
    auto target = only_robot(robot, "set_limit_table");
    if (table && table->degrees_of_freedom() != target->get_degrees_of_freedom()) {
        throw std::invalid_argument("Planner::set_limit_table: the table has " +
                                    std::to_string(table->degrees_of_freedom()) + " joints, but robot '" +
                                    target->name + "' has " + std::to_string(target->get_degrees_of_freedom()));
    }
    std::lock_guard lock(tables_mutex_);
    if (table) {
        tables_.insert_or_assign(std::move(target), std::make_shared<const JointLimitTable>(std::move(*table)));
    } else {
        tables_.erase(target);
    }
}

std::optional<JointLimitTable> Planner::get_limit_table(const std::shared_ptr<Robot>& robot) const {
    const auto target = only_robot(robot, "get_limit_table");
    std::lock_guard lock(tables_mutex_);
    const auto it = tables_.find(target);
    if (it == tables_.end()) return std::nullopt;
    return *it->second;
}

std::shared_ptr<const JointLimitTable> Planner::limit_table_of(const std::shared_ptr<Robot>& robot) const {
    std::lock_guard lock(tables_mutex_);
    const auto it = tables_.find(robot);
    return it == tables_.end() ? nullptr : it->second;
}

namespace {

std::expected<std::shared_ptr<Robot>, PlanningError> robot_for(const std::shared_ptr<Robot>& robot,
                                                              const std::shared_ptr<Environment>& environment,
                                                              double delta_time) {
    if (!(delta_time > 0.0) || !std::isfinite(delta_time)) {
        return std::unexpected(PlanningError("The planner's delta_time must be positive and finite, not " +
                                             number(delta_time) + "."));
    }
    if (robot) return robot;
    const std::size_t count = environment ? environment->get_robots().size() : 0;
    if (count != 1) {
        return std::unexpected(PlanningError("The motion names no robot, and the planner's environment has " +
                                             std::to_string(count) + " robots instead of one."));
    }
    return environment->get_robots().front();
}

// The robot's limits, with the default jerk limit where a robot gives none.
std::vector<JointLimits> model_limits(const Robot& robot) {
    auto limits = robot.get_joint_limits();
    for (auto& l : limits) {
        if (!(l.max_jerk > 0.0)) l.max_jerk = default_jerk_per_acceleration * l.max_acceleration;
    }
    return limits;
}

PlanningResult plan_position(const Robot& robot, Waypoint start, Waypoint goal, double delta_time,
                             const std::vector<JointLimits>& limits) {
    if (auto ok = check_bounded(start, robot, limits, "start", true); !ok) return Unexpected(ok.error());
    if (auto ok = check_bounded(goal, robot, limits, "goal", true, false); !ok) return Unexpected(ok.error());

    std::vector<detail::JointProfile> profiles;
    profiles.reserve(limits.size());
    double duration = 0.0;
    for (std::size_t j = 0; j < limits.size(); ++j) {
        profiles.emplace_back(detail::JointProblem{start.position[j], start.velocity[j], start.acceleration[j],
                                                   goal.position[j], goal.velocity[j], goal.acceleration[j],
                                                   limits[j].max_velocity, limits[j].max_acceleration,
                                                   limits[j].max_jerk},
                              detail::JointProfile::Control::position);
        duration = std::max(duration, profiles.back().minimum_duration());
    }
    if (!std::isfinite(duration) || duration / delta_time > max_samples) {
        return fail("No motion of robot '" + robot.name + "' from the start to the goal could be found in time.");
    }

    // All joints take the same, sampled duration: the smallest multiple of
    // delta_time that every joint can take. Each round fixes the joints'
    // profiles for the candidate until one cannot take it.
    std::size_t intervals = samples_for(duration, delta_time);
    for (int round = 0;; ++round) {
        const double candidate = static_cast<double>(intervals) * delta_time;
        bool all = true;
        for (auto& profile : profiles) {
            if (profile.set_duration(candidate)) continue;
            all = false;
            const double next = profile.next_feasible(candidate);
            if (!std::isfinite(next) || next / delta_time > max_samples || round > 1000) {
                return fail("The joints of robot '" + robot.name +
                            "' cannot be brought to the goal at the same time.");
            }
            intervals = std::max(intervals + 1, samples_for(next, delta_time));
            break;
        }
        if (all) break;
    }

    auto trajectory = sample_profiles(profiles, intervals, delta_time, start, goal);
    if (!trajectory) return trajectory;
    if (auto ok = verify(*trajectory, robot, limits, false); !ok) return Unexpected(ok.error());
    return trajectory;
}

PlanningResult plan_velocity(const Robot& robot, const Waypoint& start, Waypoint goal, double delta_time,
                             const std::vector<JointLimits>& limits) {
    // A stop must not be refused: start values beyond the limits are taken as
    // they are, the goal velocity must be within them.
    if (auto ok = check_bounded(goal, robot, limits, "goal", false, false); !ok) return Unexpected(ok.error());

    std::vector<detail::JointProfile> profiles;
    profiles.reserve(limits.size());
    double duration = 0.0;
    for (std::size_t j = 0; j < limits.size(); ++j) {
        profiles.emplace_back(detail::JointProblem{start.position[j], start.velocity[j], start.acceleration[j],
                                                   start.position[j], goal.velocity[j], 0.0,
                                                   limits[j].max_velocity, limits[j].max_acceleration,
                                                   limits[j].max_jerk},
                              detail::JointProfile::Control::velocity);
        duration = std::max(duration, profiles.back().velocity_mode_duration());
    }
    const std::size_t intervals = samples_for(duration, delta_time);
    const double total = static_cast<double>(intervals) * delta_time;
    Waypoint end(limits.size());
    for (std::size_t j = 0; j < limits.size(); ++j) {
        profiles[j].set_velocity_mode(total);
        end.position[j] = profiles[j].end_position();
        end.velocity[j] = goal.velocity[j];
    }
    auto trajectory = sample_profiles(profiles, intervals, delta_time, start, end);
    if (!trajectory) return trajectory;
    if (auto ok = verify(*trajectory, robot, limits, true); !ok) return Unexpected(ok.error());
    return trajectory;
}

// The highest tool speed between consecutive samples; unknown (NaN) for a robot
// that is not an arm, for which every step of a limit table then holds.
double peak_tool_speed(const Robot& robot, const Trajectory& trajectory) {
    const auto* arm = dynamic_cast<const RobotArm*>(&robot);
    if (!arm) return std::numeric_limits<double>::quiet_NaN();
    double peak = 0.0;
    Frame previous = arm->calculate_tcp(trajectory.positions().front());
    for (std::size_t k = 1; k < trajectory.size(); ++k) {
        Frame next = arm->calculate_tcp(trajectory.positions()[k]);
        peak = std::max(peak, next.translational_distance(previous) / (trajectory.times()[k] - trajectory.times()[k - 1]));
        previous = std::move(next);
    }
    return peak;
}

// Plans within the robot's limits and, if there is one, within a limit table:
// within the steps up to the one the plan's peak tool speed falls in. Planning
// within the steps up to s is "enough" when the plan then peaks in a step no
// higher than s; lower limits give slower plans, so the lowest such s gives
// the quickest plan. Rising from s = 0 to the step each plan reaches finds an
// s that is enough; bisecting below it looks for a lower one. Only plans that
// are enough are ever returned.
template <class Plan>
PlanningResult plan_within(const Robot& robot, const JointLimitTable* table, Plan&& plan) {
    const auto limits = model_limits(robot);
    if (!table) return plan(limits);
    auto plan_up_to = [&](std::size_t step, std::size_t& reached) {
        auto lowered = limits;
        const auto entries = table->limits_up_to(step);
        for (std::size_t j = 0; j < lowered.size(); ++j) {
            lowered[j].max_velocity = std::min(lowered[j].max_velocity, entries[j].velocity);
            lowered[j].max_acceleration = std::min(lowered[j].max_acceleration, entries[j].acceleration);
            lowered[j].max_jerk = std::min(lowered[j].max_jerk, entries[j].jerk);
        }
        auto result = plan(lowered);
        if (result) reached = table->step_for(peak_tool_speed(robot, *result));
        return result;
    };
    std::size_t too_low = 0, reached = 0;
    auto enough = plan_up_to(0, reached);
    if (!enough || reached == 0) return enough;
    std::size_t step = reached;
    for (;;) {
        auto result = plan_up_to(step, reached);
        if (!result) return result;
        if (reached <= step) {
            enough = std::move(result);
            break;
        }
        too_low = step;
        step = reached;
    }
    while (step - too_low > 1) {
        const std::size_t middle = too_low + (step - too_low) / 2;
        auto result = plan_up_to(middle, reached);
        if (result && reached <= middle) {
            enough = std::move(result);
            step = middle;
        } else {
            too_low = middle;
        }
    }
    return enough;
}

}  // namespace

PlanningResult Planner::plan(const Motion& motion, const std::optional<Goal>& start,
                             const std::optional<Goal>& goal) const {
    auto robot = robot_for(motion.robot, environment, delta_time);
    if (!robot) return Unexpected(robot.error());
    const std::string label = motion.name.empty() ? "The motion" : "The motion '" + motion.name + "'";
    const std::optional<Goal>& start_point = start ? start : motion.start;
    const std::optional<Goal>& goal_point = goal ? goal : motion.goal;
    if (!start_point) return fail(label + " has no start.");
    if (!goal_point) return fail(label + " has no goal.");

    auto start_waypoint = resolve(*start_point, *robot, nullptr, "start");
    if (!start_waypoint) return Unexpected(start_waypoint.error());
    auto goal_waypoint = resolve(*goal_point, *robot, &*start_waypoint, "goal");
    if (!goal_waypoint) return Unexpected(goal_waypoint.error());
    const auto table = limit_table_of(*robot);
    return plan_within(**robot, table.get(), [&](const std::vector<JointLimits>& limits) {
        return plan_position(**robot, *start_waypoint, *goal_waypoint, delta_time, limits);
    });
}

PlanningResult Planner::plan(const std::string& name, const std::optional<Goal>& start,
                             const std::optional<Goal>& goal) const {
    auto motion = get_motion(name);
    if (!motion) return fail("Unknown motion '" + name + "'.");
    return plan(*motion, start, goal);
}

PlanningResult Planner::plan(const LowLevelMotion& motion) const {
    auto robot = robot_for(motion.robot, environment, delta_time);
    if (!robot) return Unexpected(robot.error());
    auto start = completed(motion.start, **robot, "start");
    if (!start) return Unexpected(start.error());
    const auto table = limit_table_of(*robot);
    switch (motion.control_interface) {
        case LowLevelMotion::ControlInterface::Position: {
            auto goal = completed(motion.goal, **robot, "goal");
            if (!goal) return Unexpected(goal.error());
            return plan_within(**robot, table.get(), [&](const std::vector<JointLimits>& limits) {
                return plan_position(**robot, *start, *goal, delta_time, limits);
            });
        }
        case LowLevelMotion::ControlInterface::Velocity: {
            // Only the goal's velocity counts; an empty goal means "come to rest".
            Waypoint goal = motion.goal;
            goal.position = start->position;
            goal.acceleration.clear();
            auto completed_goal = completed(std::move(goal), **robot, "goal");
            if (!completed_goal) return Unexpected(completed_goal.error());
            return plan_within(**robot, table.get(), [&](const std::vector<JointLimits>& limits) {
                return plan_velocity(**robot, *start, *completed_goal, delta_time, limits);
            });
        }
    }
    return fail("Unknown control interface " + std::to_string(static_cast<std::int32_t>(motion.control_interface)) +
                ".");
}

}  // namespace orvane
