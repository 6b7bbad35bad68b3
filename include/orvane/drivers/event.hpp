#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <orvane/log/orvane_error.hpp>
#include <orvane/motion/frame.hpp>
#include <orvane/motion/robot.hpp>
#include <orvane/motion/trajectory.hpp>

namespace orvane::drivers {

/// The condition of an event: a predicate over one control step.
///
/// Every condition and value reader takes the same four step arguments: the
/// driver's robot (may be null), the playback time on the running
/// trajectory's time axis (seconds), the joint position commanded in this
/// step, and the trajectory being played.
///
/// Triggers are values: every comparison and combination captures copies of
/// its operands, so a trigger may be reused, combined again or registered
/// several times after it was built.
///
/// Faults found while evaluating (a trigger or value without a callable, a
/// joint or pose index out of range, a Cartesian value without an arm) throw
/// OrvaneError("driver", ...); the driver's event check reports them.
class Trigger {
public:
    using Condition = std::function<bool(const std::shared_ptr<orvane::Robot>& robot, double time,
                                         const std::vector<double>& position,
                                         const orvane::Trajectory& trajectory)>;

    /// A number read at each control step; compared with a threshold it
    /// becomes a Trigger.
    class Value {
    public:
        using Reader = std::function<double(const std::shared_ptr<orvane::Robot>& robot, double time,
                                            const std::vector<double>& position,
                                            const orvane::Trajectory& trajectory)>;

        /// An empty reader is replaced by one that throws when it is read,
        /// so that reading it is an OrvaneError rather than a bad call.
        explicit Value(Reader function);

        /// Ordered comparisons: false when the value is NaN. There is no
        /// equality on purpose (sampled floating-point values rarely hit one).
        Trigger operator>(double threshold) const;
        Trigger operator>=(double threshold) const;
        Trigger operator<(double threshold) const;
        Trigger operator<=(double threshold) const;

        Reader reader;
    };

    /// A trigger without a condition of its own: evaluating it throws
    /// OrvaneError("driver", ...) instead of calling an empty function.
    Trigger();
    /// An empty condition is treated as in the default constructor.
    explicit Trigger(Condition function);

    /// The playback time.
    static Value Time();
    /// The trajectory's duration minus the playback time; the duration is
    /// read at every evaluation, so it follows the trajectory of that step.
    static Value TimeToGoal();
    /// Element `axis` of the commanded position. The index is checked when
    /// the value is read, not when it is built.
    static Value JointPosition(std::size_t axis);
    /// Component `axis` of the tool-centre point's pose for the commanded
    /// position: x, y, z (metres) and the Euler angles a, b, c (radians) in
    /// the motion library's convention (Frame::to_euler), so 0 <= axis <= 5.
    /// The driver's robot must be an arm whose joints are the position's.
    static Value TCPPosition(std::size_t axis);

    /// Short-circuit conjunction: `other` is evaluated only when this holds.
    Trigger operator&&(const Trigger& other) const;
    /// Short-circuit disjunction: `other` is evaluated only when this fails.
    Trigger operator||(const Trigger& other) const;

    Condition condition;
};

/// The function of an event: called once, on the control-loop thread, with
/// the playback time of the step at which its trigger held.
class Action {
public:
    using Callback = std::function<void(double time)>;

    /// From any callable taking the time (implicit, so that a lambda may be
    /// passed where an Action is expected). An empty callable (a null
    /// function pointer, an empty std::function) gives an action whose call
    /// throws OrvaneError("driver", ...) instead of calling nothing.
    template <class F>
        requires(!std::same_as<std::remove_cvref_t<F>, Action> && std::is_invocable_v<F&, double>)
    Action(F&& function);  // NOLINT(google-explicit-constructor)

    Callback callback;
};

// ---------------------------------------------------------------------------

namespace detail {

[[noreturn]] inline void throw_event_error(const std::string& message) {
    throw orvane::OrvaneError("driver", message);
}

// Stand-ins for missing callables: the driver calls `condition`, `reader`
// and `callback` directly, so they must never be empty.
inline Trigger::Condition missing_condition() {
    return [](const std::shared_ptr<orvane::Robot>&, double, const std::vector<double>&,
              const orvane::Trajectory&) -> bool {
        throw_event_error("Trigger has no condition: build triggers with comparisons of "
                          "Trigger::Time(), TimeToGoal(), JointPosition() or TCPPosition()");
    };
}

inline Trigger::Value::Reader missing_reader() {
    return [](const std::shared_ptr<orvane::Robot>&, double, const std::vector<double>&,
              const orvane::Trajectory&) -> double {
        throw_event_error("Trigger::Value has no reader");
    };
}

inline std::string joints(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " joint" : " joints");
}

inline Action::Callback missing_callback() {
    return [](double) { throw_event_error("Action has no callback"); };
}

// Guards a reader or condition that may have been emptied through the
// public member after it was built.
template <class Function>
const Function& checked(const Function& function, const char* what) {
    if (!function) throw_event_error(std::string(what) + " has no callable");
    return function;
}

template <class Compare>
Trigger compare(const Trigger::Value::Reader& reader, double threshold) {
    return Trigger([reader, threshold](const std::shared_ptr<orvane::Robot>& robot, double time,
                                       const std::vector<double>& position,
                                       const orvane::Trajectory& trajectory) {
        // Built-in ordered comparisons are false for NaN on either side.
        return Compare{}(checked(reader, "Trigger::Value")(robot, time, position, trajectory),
                         threshold);
    });
}

}  // namespace detail

inline Trigger::Value::Value(Reader function)
    : reader(function ? std::move(function) : detail::missing_reader()) {}

inline Trigger Trigger::Value::operator>(double threshold) const {
    return detail::compare<std::greater<double>>(reader, threshold);
}
inline Trigger Trigger::Value::operator>=(double threshold) const {
    return detail::compare<std::greater_equal<double>>(reader, threshold);
}
inline Trigger Trigger::Value::operator<(double threshold) const {
    return detail::compare<std::less<double>>(reader, threshold);
}
inline Trigger Trigger::Value::operator<=(double threshold) const {
    return detail::compare<std::less_equal<double>>(reader, threshold);
}

inline Trigger::Trigger() : condition(detail::missing_condition()) {}

inline Trigger::Trigger(Condition function)
    : condition(function ? std::move(function) : detail::missing_condition()) {}

inline Trigger::Value Trigger::Time() {
    return Value([](const std::shared_ptr<orvane::Robot>&, double time, const std::vector<double>&,
                    const orvane::Trajectory&) { return time; });
}

inline Trigger::Value Trigger::TimeToGoal() {
    return Value([](const std::shared_ptr<orvane::Robot>&, double time, const std::vector<double>&,
                    const orvane::Trajectory& trajectory) { return trajectory.duration() - time; });
}

inline Trigger::Value Trigger::JointPosition(std::size_t axis) {
    return Value([axis](const std::shared_ptr<orvane::Robot>&, double, const std::vector<double>& position,
                        const orvane::Trajectory&) {
        if (axis >= position.size()) {
            detail::throw_event_error("Trigger::JointPosition(" + std::to_string(axis) +
                                      ") is out of range: the commanded position has " +
                                      detail::joints(position.size()));
        }
        return position[axis];
    });
}

inline Trigger::Value Trigger::TCPPosition(std::size_t axis) {
    return Value([axis](const std::shared_ptr<orvane::Robot>& robot, double, const std::vector<double>& position,
                        const orvane::Trajectory&) {
        constexpr std::size_t pose_size = std::tuple_size_v<decltype(std::declval<orvane::Frame>().to_euler())>;
        const std::string name = "Trigger::TCPPosition(" + std::to_string(axis) + ")";
        // Checked first so that a bad index fails the same way on every robot.
        if (axis >= pose_size) {
            detail::throw_event_error(name + " is out of range: a pose has " + std::to_string(pose_size) +
                                      " components (x, y, z, a, b, c)");
        }
        // Held for the computation, so that the robot outlives it even if
        // the driver's pointer is replaced meanwhile.
        const std::shared_ptr<orvane::Robot> held = robot;
        if (!held) detail::throw_event_error(name + " needs a robot, but the driver has none");
        const auto arm = std::dynamic_pointer_cast<const orvane::RobotArm>(held);
        if (!arm) {
            // Reading a made-up 0.0 would fire or block the event for no
            // reason, so a robot without a tool-centre point is an error.
            detail::throw_event_error(name + " needs a robot arm, but robot '" + held->name +
                                      "' is not one");
        }
        if (position.size() != arm->get_degrees_of_freedom()) {
            detail::throw_event_error(name + ": the commanded position has " + detail::joints(position.size()) +
                                      ", but arm '" + arm->name + "' has " +
                                      std::to_string(arm->get_degrees_of_freedom()));
        }
        return arm->calculate_tcp(position).to_euler()[axis];
    });
}

inline Trigger Trigger::operator&&(const Trigger& other) const {
    return Trigger([left = condition, right = other.condition](
                       const std::shared_ptr<orvane::Robot>& robot, double time,
                       const std::vector<double>& position, const orvane::Trajectory& trajectory) {
        return detail::checked(left, "Trigger")(robot, time, position, trajectory) &&
               detail::checked(right, "Trigger")(robot, time, position, trajectory);
    });
}

inline Trigger Trigger::operator||(const Trigger& other) const {
    return Trigger([left = condition, right = other.condition](
                       const std::shared_ptr<orvane::Robot>& robot, double time,
                       const std::vector<double>& position, const orvane::Trajectory& trajectory) {
        return detail::checked(left, "Trigger")(robot, time, position, trajectory) ||
               detail::checked(right, "Trigger")(robot, time, position, trajectory);
    });
}

template <class F>
    requires(!std::same_as<std::remove_cvref_t<F>, Action> && std::is_invocable_v<F&, double>)
Action::Action(F&& function) : callback(std::forward<F>(function)) {
    if (!callback) callback = detail::missing_callback();
}

}  // namespace orvane::drivers
