#include "orvane/drivers/fanuc/stream_motion_limits.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <vector>

#include <orvane/motion/frame.hpp>

#include "orvane/drivers/time_scaler.hpp"
#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers::stream_motion {

namespace {

constexpr std::size_t last_step = threshold_entries - 1;
// The end of a trajectory is held this long so that stopping there is
// checked too: jerk needs three differences to settle.
constexpr std::size_t commands_at_rest = 3;
// A value this close to its limit keeps it: the limits are single precision,
// and a plan made exactly at a limit differs from it by rounding only.
constexpr double relative_tolerance = 1e-6;

std::string unit_of(LimitKind kind, bool linear) {
    const std::string base = linear ? "mm/s" : "deg/s";
    switch (kind) {
        case LimitKind::velocity: return base;
        case LimitKind::acceleration: return base + "^2";
        case LimitKind::jerk: return base + "^3";
    }
    return base;
}

using Command = std::array<double, max_axes>;

}  // namespace

ThresholdTables::ThresholdTables(std::size_t axis_count) : axes(std::min(axis_count, max_axes)) {}

std::optional<std::string> ThresholdTables::store(const ThresholdAnswer& answer) {
    const std::string name = "The controller's " + std::string(describe(answer.kind)) + " thresholds of joint " +
                             std::to_string(answer.axis);
    if (answer.axis < 1 || answer.axis > axes) {
        return name + " are for a joint that is not streamed (" + std::to_string(axes) + " are).";
    }
    const auto valid = [](float value) { return std::isfinite(value) && value >= 0.0f; };
    if (!std::ranges::all_of(answer.no_payload, valid) || !std::ranges::all_of(answer.full_payload, valid)) {
        return name + " hold a negative or non-numeric entry.";
    }
    const std::size_t axis = answer.axis - 1;
    tables[axis][index(answer.kind)] = ThresholdTable{.no_payload = answer.no_payload,
                                                      .full_payload = answer.full_payload,
                                                      .max_cartesian_speed = answer.max_cartesian_speed,
                                                      .interval = answer.interval};
    present[axis][index(answer.kind)] = true;
    return std::nullopt;
}

bool ThresholdTables::complete() const noexcept {
    if (axes == 0) return false;
    for (std::size_t axis = 0; axis < axes; ++axis) {
        if (!std::ranges::all_of(present[axis], [](bool here) { return here; })) return false;
    }
    return true;
}

double ThresholdTables::max_cartesian_speed() const noexcept {
    double top = assumed_max_cartesian_speed;
    for (std::size_t axis = 0; axis < axes; ++axis) {
        for (std::size_t kind = 0; kind < 3; ++kind) {
            const auto reported = tables[axis][kind].max_cartesian_speed;
            if (present[axis][kind] && reported > 0) top = std::min(top, static_cast<double>(reported));
        }
    }
    return top;
}

SpeedSteps ThresholdTables::speed_steps(double tcp_speed) const noexcept {
    const double top = max_cartesian_speed();
    double position = 19.0 * (1.2 * tcp_speed - top / 20.0) / (top - top / 20.0);
    // An unknown speed gets the top step, the strictest if limits fall with speed.
    if (std::isnan(position)) position = static_cast<double>(last_step);
    position = std::clamp(position, 0.0, static_cast<double>(last_step));
    return SpeedSteps{.lower = static_cast<std::size_t>(std::floor(position)),
                      .upper = static_cast<std::size_t>(std::ceil(position)),
                      .position = position};
}

double ThresholdTables::payload_fraction(double payload, double full_payload) noexcept {
    if (!(full_payload > 0.0) || !std::isfinite(full_payload) || std::isnan(payload)) return 1.0;
    return std::clamp(payload / full_payload, 0.0, 1.0);
}

double ThresholdTables::limit(std::size_t axis, LimitKind kind, const SpeedSteps& steps, double fraction) const {
    const auto& entries = table(axis, kind);
    const auto at = [&](std::size_t step) {
        const double none = entries.no_payload.at(step);
        return none + fraction * (entries.full_payload.at(step) - none);
    };
    return std::min(at(steps.lower), at(steps.upper));
}

double ThresholdTables::strictest_limit(std::size_t axis, LimitKind kind, double fraction) const {
    double strictest = INFINITY;
    for (std::size_t step = 0; step <= last_step; ++step) {
        strictest = std::min(strictest, limit(axis, kind, SpeedSteps{step, step, static_cast<double>(step)}, fraction));
    }
    return strictest;
}

orvane::JointLimitTable planner_limits(const ThresholdTables& tables, const AxisUnits& units,
                                       std::optional<double> payload_fraction) {
    if (!tables.complete() || tables.axis_count() < units.count) {
        throw OrvaneError("driver.fanuc", "Stream Motion limits: the threshold tables do not cover every axis streamed.");
    }
    // speed_steps puts a speed v on entry i + 1 once 24 v / v_max - 1 exceeds i.
    const double top = tables.max_cartesian_speed();
    std::vector<double> speeds;
    for (std::size_t step = 0; step < threshold_entries; ++step) {
        speeds.push_back(static_cast<double>(step + 1) * top / 24.0 / 1000.0);
    }
    std::vector<orvane::SteppedJointLimits> unloaded(units.count), loaded(units.count);
    for (std::size_t axis = 0; axis < units.count; ++axis) {
        for (const auto kind : limit_kinds) {
            const auto& table = tables.table(axis, kind);
            if (std::ranges::any_of(table.no_payload, [](float value) { return value <= 0.0f; }) ||
                std::ranges::any_of(table.full_payload, [](float value) { return value <= 0.0f; })) {
                throw OrvaneError("driver.fanuc", "Stream Motion limits: the controller allows joint " +
                                                      std::to_string(axis + 1) + " no " +
                                                      std::string(describe(kind)) + " at some speed step.");
            }
            auto& none = kind == LimitKind::velocity       ? unloaded[axis].velocity
                         : kind == LimitKind::acceleration ? unloaded[axis].acceleration
                                                           : unloaded[axis].jerk;
            auto& full = kind == LimitKind::velocity       ? loaded[axis].velocity
                         : kind == LimitKind::acceleration ? loaded[axis].acceleration
                                                           : loaded[axis].jerk;
            for (std::size_t step = 0; step < threshold_entries; ++step) {
                none.push_back(units.from_wire(axis, table.no_payload[step]));
                full.push_back(units.from_wire(axis, table.full_payload[step]));
            }
        }
    }
    return orvane::JointLimitTable(std::move(speeds), std::move(unloaded), std::move(loaded), payload_fraction);
}

std::string LimitViolation::describe() const {
    std::ostringstream text;
    text.precision(6);
    text << "Joint " << axis + 1 << " at command " << command << " (" << time << " s): " << stream_motion::describe(kind)
         << " ";
    if (std::isfinite(value)) {
        text << value << " " << unit_of(kind, linear) << " exceeds the controller's limit of " << limit << " "
             << unit_of(kind, linear);
    } else {
        text << "is not a number (the trajectory holds a non-finite position)";
    }
    if (from_tcp_speed) {
        text << " (speed step " << steps.upper + 1 << " of " << threshold_entries << " for a peak TCP speed of "
             << tcp_speed << " mm/s, payload " << payload << " kg).";
    } else {
        text << " (the strictest speed step: no arm model gives the TCP speed; payload " << payload << " kg).";
    }
    return text.str();
}

LimitCheck check_limits(const orvane::Trajectory& trajectory, const ThresholdTables& tables, const StreamPlan& plan) {
    const auto& units = plan.units;
    const std::size_t width = trajectory.degrees_of_freedom();
    if (units.count < 1 || units.count > max_axes || plan.first_joint + units.count > width) {
        throw OrvaneError("driver.fanuc", "Stream Motion limits: " + std::to_string(units.count) +
                                              " axes from joint " + std::to_string(plan.first_joint + 1) +
                                              " do not fit a trajectory of " + std::to_string(width) + " joints.");
    }
    if (tables.axis_count() < units.count || !tables.complete()) {
        throw OrvaneError("driver.fanuc", "Stream Motion limits: the threshold tables do not cover every axis streamed.");
    }
    const std::size_t arm_joints = plan.arm ? plan.arm->get_degrees_of_freedom() : 0;
    if (plan.arm && plan.arm_first_joint + arm_joints > width) {
        throw OrvaneError("driver.fanuc", "Stream Motion limits: the arm's joints do not fit the trajectory's.");
    }
    if (!(plan.period > 0.0)) throw OrvaneError("driver.fanuc", "Stream Motion limits: the period must be positive.");

    // The commands, exactly as the time scaler will produce them.
    std::vector<Command> commands;
    double tcp_speed = 0.0;
    {
        TimeScaler scaler(plan.period);
        scaler.set_trajectory(&trajectory);
        // As the driver samples over Stream Motion.
        scaler.smooth_interpolation = true;
        scaler.advance_before_sampling = true;
        orvane::State state;
        std::vector<double> arm_position(arm_joints);
        std::optional<orvane::Frame> previous_tcp;
        while (true) {
            const int code = scaler.next(state);
            if (code != TimeScaler::moving && code != TimeScaler::standing_still) break;
            Command command{};
            for (std::size_t a = 0; a < units.count; ++a) {
                command[a] = units.to_wire(a, state.position[plan.first_joint + a]);
            }
            commands.push_back(command);
            if (plan.arm) {
                std::copy_n(state.position.begin() + static_cast<std::ptrdiff_t>(plan.arm_first_joint), arm_joints,
                            arm_position.begin());
                const auto tcp = plan.arm->calculate_tcp(arm_position);
                if (previous_tcp) {
                    const double speed = tcp.translational_distance(*previous_tcp) * 1000.0 / plan.period;
                    // NaN marks the speed unknown; it then stays so.
                    tcp_speed = std::isnan(speed) || std::isnan(tcp_speed) ? NAN : std::max(tcp_speed, speed);
                }
                previous_tcp = tcp;
            }
        }
    }
    LimitCheck check;
    if (commands.empty()) return check;
    for (std::size_t i = 0; i < commands_at_rest; ++i) commands.push_back(commands.back());

    const double fraction = ThresholdTables::payload_fraction(plan.payload, plan.full_payload);
    check.tcp_speed = plan.arm ? tcp_speed : 0.0;
    check.steps = tables.speed_steps(plan.arm ? tcp_speed : NAN);
    std::array<std::array<double, 3>, max_axes> limits{};
    for (std::size_t a = 0; a < units.count; ++a) {
        for (const auto kind : limit_kinds) {
            limits[a][static_cast<std::size_t>(kind)] = plan.arm ? tables.limit(a, kind, check.steps, fraction)
                                                                 : tables.strictest_limit(a, kind, fraction);
        }
    }

    // Three commands before the first: given, or the start at rest.
    std::array<Command, 3> before{commands.front(), commands.front(), commands.front()};
    if (plan.history) {
        for (std::size_t i = 0; i < 3; ++i) {
            for (std::size_t a = 0; a < units.count; ++a) before[i][a] = units.to_wire(a, (*plan.history)[i][a]);
        }
    }
    const auto at = [&](std::ptrdiff_t k) -> const Command& {
        return k < 0 ? before[static_cast<std::size_t>(k + 3)] : commands[static_cast<std::size_t>(k)];
    };

    const double dt = plan.period;
    check.commands = commands.size();
    for (std::size_t k = 0; k < commands.size(); ++k) {
        const auto n = static_cast<std::ptrdiff_t>(k);
        for (std::size_t a = 0; a < units.count; ++a) {
            const double p0 = at(n)[a], p1 = at(n - 1)[a], p2 = at(n - 2)[a], p3 = at(n - 3)[a];
            const double velocity = (p0 - p1) / dt;
            const double acceleration = (p0 - 2.0 * p1 + p2) / (dt * dt);
            const double jerk = (p0 - 3.0 * p1 + 3.0 * p2 - p3) / (dt * dt * dt);
            const std::array<double, 3> values{std::abs(velocity), std::abs(acceleration), std::abs(jerk)};
            for (std::size_t kind = 0; kind < 3; ++kind) {
                const double limit = limits[a][kind];
                const double value = values[kind];
                const bool broken = !std::isfinite(value) || value > limit * (1.0 + relative_tolerance);
                const double ratio = limit > 0.0 ? value / limit : (value > 0.0 ? INFINITY : 0.0);
                if (!std::isnan(ratio)) check.worst_ratio[kind] = std::max(check.worst_ratio[kind], ratio);
                if (broken && !check.violation) {
                    check.violation = LimitViolation{.axis = a,
                                                     .command = k,
                                                     .time = static_cast<double>(k) * dt,
                                                     .kind = limit_kinds[kind],
                                                     .value = value,
                                                     .limit = limit,
                                                     .linear = units.linear[a],
                                                     .steps = check.steps,
                                                     .from_tcp_speed = plan.arm != nullptr,
                                                     .tcp_speed = check.tcp_speed,
                                                     .payload = plan.payload};
                }
            }
        }
    }
    return check;
}

}  // namespace orvane::drivers::stream_motion
