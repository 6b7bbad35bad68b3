// Robot models, the environment and the FANUC presets. Robots and environments
// are held by std::shared_ptr, so that C++ code (the planner, the driver) can
// share them with Python. A robot returned from C++ is the Python object that
// already wraps it, if any (so `is` and `==` tell robots apart, as pointers do
// in C++), otherwise a new one of its most derived class (a preset is a RobotArm).

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/native_enum.h>

#include <orvane/motion/environment.hpp>
#include <orvane/motion/robot.hpp>
#include <orvane/motion/robots.hpp>

#include "common.hpp"

namespace orvane::python {

void bind_robots(py::module_& m) {
    py::class_<JointLimits>(m, "JointLimits",
                            "Motion limits of one joint (radians or metres, per second, second squared,\n"
                            "second cubed). A robot built with max_jerk 0 gets 5 * max_acceleration.")
        .def(py::init([](double lower, double upper, double max_velocity, double max_acceleration, double max_jerk) {
                 return JointLimits{lower, upper, max_velocity, max_acceleration, max_jerk};
             }),
             py::arg("lower") = 0.0, py::arg("upper") = 0.0, py::arg("max_velocity") = 0.0,
             py::arg("max_acceleration") = 0.0, py::arg("max_jerk") = 0.0)
        .def_readwrite("lower", &JointLimits::lower)
        .def_readwrite("upper", &JointLimits::upper)
        .def_readwrite("max_velocity", &JointLimits::max_velocity)
        .def_readwrite("max_acceleration", &JointLimits::max_acceleration)
        .def_readwrite("max_jerk", &JointLimits::max_jerk)
        .def("__repr__", [](const JointLimits& l) {
            return "JointLimits(lower=" + std::string(py::repr(py::float_(l.lower))) +
                   ", upper=" + std::string(py::repr(py::float_(l.upper))) +
                   ", max_velocity=" + std::string(py::repr(py::float_(l.max_velocity))) +
                   ", max_acceleration=" + std::string(py::repr(py::float_(l.max_acceleration))) +
                   ", max_jerk=" + std::string(py::repr(py::float_(l.max_jerk))) + ")";
        });

    py::class_<Joint> joint(m, "Joint",
                            "One joint of a serial chain: transform from the parent link = origin * motion(q).");
    py::native_enum<Joint::Type>(joint, "Type", "enum.Enum")
        .value("Revolute", Joint::Type::Revolute)
        .value("Prismatic", Joint::Type::Prismatic)
        .finalize();
    joint
        .def(py::init([](std::string name, Joint::Type type, const Frame& origin, const std::array<double, 3>& axis,
                         const JointLimits& limits) {
                 return Joint{std::move(name), type, origin, axis, limits};
             }),
             py::arg("name") = "", py::arg("type") = Joint::Type::Revolute, py::arg("origin") = Frame::Identity(),
             py::arg("axis") = std::array<double, 3>{0.0, 0.0, 1.0}, py::arg("limits") = JointLimits{})
        .def_readwrite("name", &Joint::name)
        .def_readwrite("type", &Joint::type)
        .def_readwrite("origin", &Joint::origin)
        .def_readwrite("axis", &Joint::axis)
        .def_readwrite("limits", &Joint::limits)
        .def("transform", &Joint::transform, py::arg("q"),
             "Transform from the parent link to the child link at position q.");

    py::class_<Robot, std::shared_ptr<Robot>> robot(m, "Robot", "A robot: a named set of joints (abstract).");
    robot.def_readwrite("name", &Robot::name)
        .def_readwrite("control_rate", &Robot::control_rate,
                       "Rate [Hz] at which the robot's controller takes commands, or None.")
        .def_property_readonly("degrees_of_freedom", &Robot::get_degrees_of_freedom)
        .def_property_readonly("joint_limits", &Robot::get_joint_limits, "One JointLimits per joint.")
        .def("sub_robots", &Robot::sub_robots,
             "The parts whose joints make up this robot's joint vector, in order; a robot that\n"
             "is not a composite is its own only part.")
        .def_property_readonly("first_sub_robot", &Robot::get_first_sub_robot)
        .def("get_next_sub_robot", &Robot::get_next_sub_robot, py::arg("current"),
             "The part after `current`; None at the end.")
        .def("__repr__", [](const py::object& self) {
            const auto& r = self.cast<const Robot&>();
            return std::string(py::str(py::type::of(self).attr("__name__"))) + "(name=" +
                   std::string(py::repr(py::str(r.name))) +
                   ", degrees_of_freedom=" + std::to_string(r.get_degrees_of_freedom()) + ")";
        });

    py::class_<RobotArm, Robot, std::shared_ptr<RobotArm>>(m, "RobotArm",
                                                           "A serial chain of joints with a tool-centre point.")
        .def(py::init<std::string, std::vector<Joint>, const Frame&, const Frame&>(), py::arg("name"),
             py::arg("joints"), py::arg("tool") = Frame::Identity(), py::arg("base") = Frame::Identity(),
             "Raises ValueError for an empty chain, a zero axis or inconsistent limits.")
        .def_property_readonly("joints", &RobotArm::joints)
        .def_property_readonly("tool", &RobotArm::tool, "Pose of the TCP in the last joint's child link.")
        .def_property_readonly("base", &RobotArm::base, "Pose of the first joint's parent link.")
        .def("calculate_tcp", &RobotArm::calculate_tcp, py::arg("positions"),
             "Forward kinematics: the TCP pose for one position per joint.")
        .def("inverse_kinematics", &RobotArm::inverse_kinematics, py::arg("target"), py::arg("seed"),
             py::call_guard<py::gil_scoped_release>(),
             "Joint positions within the limits whose TCP is `target`, searched from `seed`;\n"
             "None when the solver does not get there.");

    py::class_<LinearAxis, Robot, std::shared_ptr<LinearAxis>>(m, "LinearAxis",
                                                               "A single prismatic axis, e.g. a rail.")
        .def(py::init<std::string, const std::array<double, 3>&, const JointLimits&>(), py::arg("name"),
             py::arg("axis"), py::arg("limits"))
        .def_property_readonly("joint", &LinearAxis::joint)
        .def("calculate_frame", &LinearAxis::calculate_frame, py::arg("position"),
             "Pose of the carriage at `position` (metres along the axis).");

    py::class_<CompositeRobot, Robot, std::shared_ptr<CompositeRobot>>(
        m, "CompositeRobot", "Several robots driven as one; their joint vectors are concatenated in order.")
        .def(py::init<std::string, std::vector<std::shared_ptr<Robot>>>(), py::arg("name"), py::arg("parts"));

    py::class_<Environment, std::shared_ptr<Environment>> environment(
        m, "Environment", "The robots a planner plans for (the top-level ones).");
    environment.def(py::init<>())
        .def(py::init<std::vector<std::shared_ptr<Robot>>>(), py::arg("robots"))
        .def("add_robot", &Environment::add_robot, py::arg("robot"))
        .def_property_readonly("robots", &Environment::get_robots)
        .def("get_robot", &Environment::get_robot, py::arg("name"),
             "The top-level robot or part of one with this name; None if there is none.");

    auto robots = m.def_submodule("robots", "Models of real arms; each call builds a new arm.");
    robots.attr("fanuc_control_rate") = robots::fanuc_control_rate;
    robots.def("fanuc_lrmate200id", &robots::fanuc_lrmate200id, "FANUC LR Mate 200iD (6 joints).");
    robots.def("fanuc_crx10ial", &robots::fanuc_crx10ial, "FANUC CRX-10iA/L (6 joints).");
}

}  // namespace orvane::python
