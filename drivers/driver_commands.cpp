// Turning a motion command and the present state into the trajectory to run.
#include <cstddef>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "orvane/drivers/driver.hpp"
#include "orvane/drivers/durations.hpp"

namespace orvane::drivers {

namespace {

// Largest joint deviation between the present position and a trajectory's
// first sample that still counts as starting where the robot is.
constexpr double trajectory_start_tolerance = 0.1;

// Far more samples than any trajectory holds: slice() stops at the end.
constexpr std::size_t to_the_end = 1000000000;

// Copies whichever point the goal holds; a valueless goal throws
// std::bad_variant_access from std::visit, before anything is planned.
orvane::Goal copy_goal(const orvane::Goal& goal) {
    return std::visit([](const auto& point) -> orvane::Goal { return point; }, goal);
}

}  // namespace

bool Driver::calculate_trajectory(const Command& command, orvane::Trajectory& trajectory_out,
                                  const RobotState& state) const {
    if (const auto* blend = std::get_if<BlendIntoCommand>(&command); blend && !is_valid_blend_duration(blend->duration)) {
        refuse("Refused to blend: the blend duration " + std::to_string(blend->duration) +
               " is not a number of seconds from 0 on.");
        return false;
    }
    orvane::Trajectory result;
    if (!plan_command(command, result, state)) return false;
    // Whatever made it (the planner, or the caller's samples after a blend),
    // nothing beyond the robot's limits is run.
    if (const auto violation = find_limit_violation(result)) {
        refuse_as_error("Refused the trajectory: " + *violation);
        return false;
    }
    trajectory_out = std::move(result);
    return true;
}

bool Driver::plan_command(const Command& command, orvane::Trajectory& trajectory_out, const RobotState& state) const {
    const orvane::Waypoint start(state.position, state.velocity, state.acceleration);

    return std::visit(
        [&](const auto& cmd) -> bool {
            using T = std::decay_t<decltype(cmd)>;

            if constexpr (std::is_same_v<T, TrajectoryCommand>) {
                if (cmd.trajectory.empty()) {
                    refuse("New trajectory does not start from current robot position.");
                    return false;
                }
                orvane::State first = cmd.trajectory.front();
                slice_state_offset(first);
                if (!are_positions_within(state.position, first.position, trajectory_start_tolerance)) {
                    refuse("New trajectory does not start from current robot position.");
                    return false;
                }
                trajectory_out = cmd.trajectory;
                return true;
            } else {
                if (!planner) return false;

                if constexpr (std::is_same_v<T, BlendIntoCommand>) {
                    const auto& target = cmd.trajectory;
                    if (target.empty()) return false;
                    // The first sample strictly after `duration`, else the last.
                    const auto& times = target.times();
                    std::size_t n = times.size() - 1;
                    for (std::size_t i = 0; i < times.size(); ++i) {
                        if (times[i] > cmd.duration) {
                            n = i;
                            break;
                        }
                    }
                    const orvane::State sample = target.at(n);
                    const orvane::Waypoint goal(sample.position, sample.velocity, sample.acceleration);
                    auto planned = planner->plan(orvane::LowLevelMotion(robot, start, goal));
                    if (!planned) return false;
                    orvane::Trajectory result = std::move(*planned);
                    result.append(target.slice(n, to_the_end));
                    trajectory_out = std::move(result);
                    return true;
                } else if constexpr (std::is_same_v<T, MotionCommand>) {
                    // The motion library offers no collision setting for a
                    // motion planned by name, so ignore_collisions stays here.
                    auto planned = planner->plan(cmd.name, orvane::Goal(start), cmd.goal);
                    if (!planned) {
                        refuse(planned.error().message);
                        return false;
                    }
                    trajectory_out = std::move(*planned);
                    return true;
                } else if constexpr (std::is_same_v<T, PointCommand>) {
                    const orvane::Motion motion("", robot, orvane::Goal(start), copy_goal(cmd.goal),
                                                cmd.ignore_collisions);
                    auto planned = planner->plan(motion, std::nullopt, std::nullopt);
                    if (!planned) {
                        refuse(planned.error().message);
                        return false;
                    }
                    trajectory_out = std::move(*planned);
                    return true;
                } else {
                    static_assert(std::is_same_v<T, StopCommand>);
                    orvane::LowLevelMotion motion(robot, start, orvane::Waypoint(degrees_of_freedom));
                    motion.control_interface = orvane::LowLevelMotion::ControlInterface::Velocity;
                    auto planned = planner->plan(motion);
                    if (!planned) return false;
                    trajectory_out = std::move(*planned);
                    return true;
                }
            }
        },
        command);
}

void Driver::slice_state_offset(orvane::State& state) const {
    const std::size_t n = state.position.size();
    if (n == degrees_of_freedom || n < offset + degrees_of_freedom) return;
    // In place: this runs once per control step on the state the time
    // scaler refills, so its vectors keep their capacity.
    auto cut = [&](std::vector<double>& values) {
        if (values.size() < offset + degrees_of_freedom) return;  // nothing to cut from
        values.erase(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(offset));
        values.resize(degrees_of_freedom);
    };
    cut(state.position);
    cut(state.velocity);
    cut(state.acceleration);
}

}  // namespace orvane::drivers
