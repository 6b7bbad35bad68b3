// JointLimitTable: speed- and payload-dependent joint limits a controller
// enforces, which a planner can be given.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <orvane/motion/limit_table.hpp>

#include "common.hpp"

namespace orvane::python {

namespace {

std::string repr_list(const std::vector<double>& values) { return std::string(py::repr(py::cast(values))); }

}  // namespace

void bind_limit_table(py::module_& m) {
    py::class_<SteppedJointLimits>(m, "SteppedJointLimits",
                                   "One joint's limits at each speed step of a JointLimitTable: one value per\n"
                                   "step (radians or metres, per second, second squared, second cubed).")
        .def(py::init([](std::vector<double> velocity, std::vector<double> acceleration, std::vector<double> jerk) {
                 return SteppedJointLimits{std::move(velocity), std::move(acceleration), std::move(jerk)};
             }),
             py::arg("velocity"), py::arg("acceleration"), py::arg("jerk"))
        .def_readwrite("velocity", &SteppedJointLimits::velocity)
        .def_readwrite("acceleration", &SteppedJointLimits::acceleration)
        .def_readwrite("jerk", &SteppedJointLimits::jerk)
        .def("__repr__", [](const SteppedJointLimits& l) {
            return "SteppedJointLimits(velocity=" + repr_list(l.velocity) + ", acceleration=" +
                   repr_list(l.acceleration) + ", jerk=" + repr_list(l.jerk) + ")";
        });

    py::class_<JointLimitTable> table(
        m, "JointLimitTable",
        "Joint limits as they depend on the tool's speed and the payload, as a controller may\n"
        "enforce them. Step i holds while the tool's Cartesian speed is at most speeds[i] (the\n"
        "last step above the last speed). Each step has a value for an empty hand and one for\n"
        "the full rated payload; a payload in between (a share from 0 to 1) takes the value in\n"
        "proportion, an unknown payload (None) the lower of the two. Read-only: with_payload()\n"
        "gives a copy for another payload.");
    py::class_<JointLimitTable::Limits>(table, "Limits", "One joint's limits at a speed step.")
        .def_readonly("velocity", &JointLimitTable::Limits::velocity)
        .def_readonly("acceleration", &JointLimitTable::Limits::acceleration)
        .def_readonly("jerk", &JointLimitTable::Limits::jerk)
        .def("__repr__", [](const JointLimitTable::Limits& l) {
            return "JointLimitTable.Limits(velocity=" + std::string(py::repr(py::float_(l.velocity))) +
                   ", acceleration=" + std::string(py::repr(py::float_(l.acceleration))) +
                   ", jerk=" + std::string(py::repr(py::float_(l.jerk))) + ")";
        });
    table
        .def(py::init<std::vector<double>, std::vector<SteppedJointLimits>, std::vector<SteppedJointLimits>,
                      std::optional<double>>(),
             py::arg("speeds"), py::arg("unloaded"), py::arg("loaded"), py::arg("payload") = py::none(),
             "speeds: increasing tool speeds (m/s); unloaded, loaded: one SteppedJointLimits per\n"
             "joint with one value per speed. Raises ValueError for mismatched or non-positive values.")
        .def_static("evenly_spaced", &JointLimitTable::evenly_spaced, py::arg("max_speed"), py::arg("unloaded"),
                    py::arg("loaded"), py::arg("payload") = py::none(),
                    "Steps at equal shares of max_speed: step i holds up to (i + 1) / n of it.")
        .def_property_readonly("degrees_of_freedom", &JointLimitTable::degrees_of_freedom)
        .def_property_readonly("steps", &JointLimitTable::steps)
        .def_property_readonly("speeds", &JointLimitTable::speeds)
        .def_property_readonly("unloaded", &JointLimitTable::unloaded)
        .def_property_readonly("loaded", &JointLimitTable::loaded)
        .def_property_readonly("payload", &JointLimitTable::payload,
                               "Share of the rated payload carried (0 to 1), or None if unknown.")
        .def("with_payload", &JointLimitTable::with_payload, py::arg("payload"),
             "The same table for another payload (0 to 1, or None).")
        .def("step_for", &JointLimitTable::step_for, py::arg("speed"), "The step that holds at a tool speed (m/s).")
        .def("limits_up_to", &JointLimitTable::limits_up_to, py::arg("step"),
             "Per joint, the limits that hold at every step up to `step`.")
        .def("__repr__", [](const JointLimitTable& t) {
            return "JointLimitTable(degrees_of_freedom=" + std::to_string(t.degrees_of_freedom()) +
                   ", steps=" + std::to_string(t.steps()) +
                   ", payload=" + (t.payload() ? std::string(py::repr(py::float_(*t.payload()))) : "None") + ")";
        });
}

}  // namespace orvane::python
