// Motion, LowLevelMotion, Planner and the PlanningError exception.
//
// The C++ planner reports failure as a value; Python callers get the
// trajectory or an exception, as they expect.

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <pybind11/eval.h>
#include <pybind11/native_enum.h>

#include <orvane/motion/motion.hpp>
#include <orvane/motion/planner.hpp>

#include "common.hpp"

namespace orvane::python {

namespace {

// Defined in Python so that user code can raise and catch it like any other
// exception and `.message` is always there.
constexpr const char* planning_error_source = R"(
class PlanningError(RuntimeError):
    """A planning request could not be fulfilled; `message` says why."""

    def __init__(self, message: str = ""):
        super().__init__(message)
        self.message = message
)";

py::object& planning_error_type() {
    // Leaked on purpose: the type must outlive every module teardown order.
    static auto* type = new py::object();
    return *type;
}

// Plans without the interpreter lock (planning can take a while and other
// Python threads may go on); converts the outcome with the lock held again.
template <class Plan>
Trajectory plan_or_raise(Plan&& plan) {
    PlanningResult result = [&] {
        py::gil_scoped_release release;
        return plan();
    }();
    if (result) return std::move(*result);
    const py::object error = planning_error_type()(result.error().message);
    PyErr_SetObject(planning_error_type().ptr(), error.ptr());
    throw py::error_already_set();
}

}  // namespace

void bind_planning(py::module_& m) {
    py::dict scope;
    scope["__name__"] = m.attr("__name__");
    scope["__builtins__"] = py::module_::import("builtins");
    py::exec(planning_error_source, scope);
    planning_error_type() = scope["PlanningError"];
    m.attr("PlanningError") = planning_error_type();

    py::class_<Motion>(m, "Motion",
                       "A point-to-point planning request. Without a robot, the planner's only robot moves;\n"
                       "start and goal may be given when planning instead. A goal is a joint list, Waypoint,\n"
                       "CartesianWaypoint or RobotMap.")
        .def(py::init<std::string, std::shared_ptr<Robot>, std::optional<Goal>, std::optional<Goal>, bool>(),
             py::arg("name") = "", py::arg("robot") = py::none(), py::arg("start") = py::none(),
             py::arg("goal") = py::none(), py::arg("ignore_collisions") = false)
        .def_readwrite("name", &Motion::name)
        .def_readwrite("robot", &Motion::robot)
        .def_readwrite("start", &Motion::start)
        .def_readwrite("goal", &Motion::goal)
        .def_readwrite("ignore_collisions", &Motion::ignore_collisions, "Accepted; there is no collision model.")
        .def("__repr__", [](const Motion& motion) {
            return "Motion(name=" + std::string(py::repr(py::str(motion.name))) +
                   ", robot=" + (motion.robot ? std::string(py::repr(py::str(motion.robot->name))) : "None") + ")";
        });

    py::class_<LowLevelMotion> low_level(m, "LowLevelMotion",
                                         "A joint-space request between two Waypoints with a control interface.");
    py::native_enum<LowLevelMotion::ControlInterface>(low_level, "ControlInterface", "enum.IntEnum",
                                                      "What the goal means.")
        .value("Position", LowLevelMotion::ControlInterface::Position,
               "Reach the goal's position, velocity and acceleration; all joints arrive together.")
        .value("Velocity", LowLevelMotion::ControlInterface::Velocity,
               "Reach the goal's velocity as fast as the limits allow (a stop for zero).")
        .finalize();
    low_level.def(py::init<>())
        .def(py::init<std::shared_ptr<Robot>>(), py::arg("robot"))
        .def(py::init<std::shared_ptr<Robot>, Waypoint, Waypoint>(), py::arg("robot"), py::arg("start"),
             py::arg("goal"))
        .def(py::init<std::string, std::shared_ptr<Robot>, Waypoint, Waypoint>(), py::arg("name"), py::arg("robot"),
             py::arg("start"), py::arg("goal"))
        .def_readwrite("name", &LowLevelMotion::name)
        .def_readwrite("robot", &LowLevelMotion::robot)
        .def_readwrite("start", &LowLevelMotion::start)
        .def_readwrite("goal", &LowLevelMotion::goal)
        .def_readwrite("control_interface", &LowLevelMotion::control_interface)
        .def_readwrite("ignore_collisions", &LowLevelMotion::ignore_collisions,
                       "Accepted; there is no collision model.");

    py::class_<Planner, std::shared_ptr<Planner>>(
        m, "Planner",
        "Plans joint-space trajectories sampled every `delta_time` seconds within every joint's\n"
        "position, velocity, acceleration and jerk limits, and within a robot's limit table if it\n"
        "has one. plan() raises PlanningError on failure. Planning releases the interpreter lock;\n"
        "do not change environment or delta_time meanwhile (limit tables may change).")
        .def(py::init<std::shared_ptr<Environment>, double>(), py::arg("environment"), py::arg("delta_time"))
        .def(py::init<std::shared_ptr<Robot>, double>(), py::arg("robot"), py::arg("delta_time"),
             "A planner for one robot, in an environment of its own.")
        .def_readwrite("environment", &Planner::environment)
        .def_readwrite("delta_time", &Planner::delta_time)
        .def("add_motion", &Planner::add_motion, py::arg("motion"),
             "Registers `motion` under its name, replacing one of the same name.")
        .def("get_motion", &Planner::get_motion, py::arg("name"), "The motion registered as `name`, or None.")
        .def(
            "plan",
            [](const Planner& planner, const Motion& motion, const std::optional<Goal>& start,
               const std::optional<Goal>& goal) {
                return plan_or_raise([&] { return planner.plan(motion, start, goal); });
            },
            py::arg("motion"), py::arg("start") = py::none(), py::arg("goal") = py::none(),
            "Plans `motion`; `start` and `goal`, when given, replace the motion's own.")
        .def(
            "plan",
            [](const Planner& planner, const std::string& name, const std::optional<Goal>& start,
               const std::optional<Goal>& goal) {
                return plan_or_raise([&] { return planner.plan(name, start, goal); });
            },
            py::arg("name"), py::arg("start") = py::none(), py::arg("goal") = py::none(),
            "Plans the motion registered under `name`.")
        .def(
            "plan",
            [](const Planner& planner, const LowLevelMotion& motion) {
                return plan_or_raise([&] { return planner.plan(motion); });
            },
            py::arg("motion"), "Plans a low-level motion.")
        .def(
            "set_limit_table",
            [](Planner& planner, std::optional<JointLimitTable> table, std::shared_ptr<Robot> robot) {
                planner.set_limit_table(robot, std::move(table));
            },
            py::arg("table"), py::arg("robot") = py::none(),
            "Speed-dependent limits the controller of `robot` enforces (e.g. the tables a driver read);\n"
            "plans for that robot keep them besides its own limits, within the steps up to the one\n"
            "their peak tool speed falls in. Without a robot: the environment's only robot. None\n"
            "removes the table. Raises ValueError for a table of another number of joints.")
        .def(
            "get_limit_table",
            [](const Planner& planner, std::shared_ptr<Robot> robot) { return planner.get_limit_table(robot); },
            py::arg("robot") = py::none(), "The limit table set for `robot` (default: the only robot), or None.");
}

}  // namespace orvane::python
