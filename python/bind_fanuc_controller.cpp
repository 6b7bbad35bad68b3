// FanucDriver's reach into the rest of the controller: flags, robot I/O,
// the Cartesian position, TCP speed, frames, tools, position registers and
// alarms. Each call waits for one controller answer under the interpreter
// lock rule of common.hpp, so event actions and other Python threads keep
// running.

#include <string>

#include <orvane/drivers/fanuc/fanuc_controller_types.hpp>
#include <orvane/drivers/fanuc/fanuc_driver.hpp>

#include "arguments.hpp"
#include "common.hpp"

namespace orvane::python {

namespace {

using drivers::CartesianPose;
using drivers::FanucDriver;
using drivers::FrameToolNumbers;
using drivers::PositionRegister;
using release = without_gil;
using AliasName = Text<"the I/O alias name">;
using FrameNumber = Whole<"the user frame number">;
using ToolNumber = Whole<"the tool number">;
using RegisterNumber = Whole<"the position register number">;

std::string repr_of(const CartesianPose& p) {
    return "CartesianPose(pose=" + std::string(py::repr(py::cast(p.pose))) +
           ", user_frame=" + std::to_string(p.user_frame) + ", user_tool=" + std::to_string(p.user_tool) +
           ", configuration=" + std::string(py::repr(py::str(p.configuration))) + ")";
}

}  // namespace

void bind_fanuc_controller(py::module_& m, py::class_<FanucDriver, Driver, std::shared_ptr<FanucDriver>>& driver) {
    py::class_<CartesianPose>(m, "CartesianPose", "A TCP pose in a user frame with a tool (metres, radians).")
        .def(py::init([](const orvane::Frame& pose, int user_frame, int user_tool, const std::string& configuration) {
                 return CartesianPose{pose, user_frame, user_tool, configuration};
             }),
             py::arg("pose"), py::arg("user_frame") = 0, py::arg("user_tool") = 0,
             py::arg("configuration") = "N U T")
        .def_readwrite("pose", &CartesianPose::pose, "The pose as an orvane.Frame")
        .def_readwrite("user_frame", &CartesianPose::user_frame, "User frame number")
        .def_readwrite("user_tool", &CartesianPose::user_tool, "Tool number")
        .def_readwrite("configuration", &CartesianPose::configuration,
                       "Arm configuration as on the pendant, e.g. \"N U T, 0, 0, 0\"")
        .def("__repr__", &repr_of);
    py::class_<FrameToolNumbers>(m, "FrameToolNumbers", "The active user frame and tool.")
        .def_readonly("user_frame", &FrameToolNumbers::user_frame)
        .def_readonly("user_tool", &FrameToolNumbers::user_tool)
        .def("__repr__", [](const FrameToolNumbers& n) {
            return "FrameToolNumbers(user_frame=" + std::to_string(n.user_frame) +
                   ", user_tool=" + std::to_string(n.user_tool) + ")";
        });
    py::class_<PositionRegister>(m, "PositionRegister", "A position register: a Cartesian pose or joint position.")
        .def_readonly("cartesian", &PositionRegister::cartesian, "The Cartesian pose, or None")
        .def_readonly("joint_position", &PositionRegister::joint_position,
                      "Joint position in radians (J3 independent of J2), or None")
        .def("__repr__", [](const PositionRegister& r) {
            if (r.cartesian) return "PositionRegister(cartesian=" + repr_of(*r.cartesian) + ")";
            if (r.joint_position) {
                return "PositionRegister(joint_position=" + std::string(py::repr(py::cast(*r.joint_position))) + ")";
            }
            return std::string("PositionRegister()");
        });

    driver
        .def_property_readonly("current_cartesian_position", py::cpp_function(&FanucDriver::get_current_cartesian_position, release()),
                               "The TCP pose in the active user frame and tool, or None")
        .def_property_readonly("tcp_speed", py::cpp_function(&FanucDriver::get_tcp_speed, release()), "TCP speed [m/s], or None")
        .def_property_readonly("active_frame_and_tool", py::cpp_function(&FanucDriver::get_active_frame_and_tool, release()),
                               "The active user frame and tool, or None")
        .def(
            "set_active_frame_and_tool",
            [](FanucDriver& self, Whole<"the user frame"> user_frame, Whole<"the tool"> user_tool) {
                return self.set_active_frame_and_tool(as_int(user_frame), as_int(user_tool));
            },
            py::arg("user_frame"), py::arg("user_tool"), release(),
            "Select user frame (0-9) and tool (0-10); refused while moving.")
        .def(
            "get_user_frame", [](FanucDriver& self, FrameNumber number) { return self.get_user_frame(as_int(number)); },
            py::arg("number"), release(), "Read user frame 1-9 as an orvane.Frame, or None.")
        .def(
            "set_user_frame",
            [](FanucDriver& self, FrameNumber number, const orvane::Frame& frame) {
                return self.set_user_frame(as_int(number), frame);
            },
            py::arg("number"), py::arg("frame"), release(),
            "Write user frame 1-9; refused while moving. Returns whether successful.")
        .def(
            "get_user_tool", [](FanucDriver& self, ToolNumber number) { return self.get_user_tool(as_int(number)); },
            py::arg("number"), release(), "Read tool 1-10 as an orvane.Frame, or None.")
        .def(
            "set_user_tool",
            [](FanucDriver& self, ToolNumber number, const orvane::Frame& frame) {
                return self.set_user_tool(as_int(number), frame);
            },
            py::arg("number"), py::arg("frame"), release(),
            "Write tool 1-10; refused while moving. Returns whether successful.")
        .def(
            "get_position_register",
            [](FanucDriver& self, RegisterNumber number) { return self.get_position_register(as_int(number)); },
            py::arg("number"), release(), "Read position register PR[number], or None.")
        .def(
            "set_position_register",
            [](FanucDriver& self, RegisterNumber number, const CartesianPose& pose) {
                return self.set_position_register(as_int(number), pose);
            },
            py::arg("number"), py::arg("pose"), release(),
            "Write a Cartesian pose to PR[number]. Returns whether successful.")
        .def(
            "set_position_register",
            [](FanucDriver& self, RegisterNumber number, const std::vector<double>& joint_position) {
                return self.set_position_register(as_int(number), joint_position);
            },
            py::arg("number"), py::arg("joint_position"), release(),
            "Write a joint position (radians) to PR[number]. Returns whether successful.")
        .def(
            "read_errors",
            [](FanucDriver& self, Whole<"the number of alarms"> count) { return self.read_errors(as_int(count)); },
            py::arg("count") = 1, release(), "The newest 1-5 alarm texts, newest first (empty without alarms), or None.")
        .def(
            "get_flag", [](FanucDriver& self, AliasName name) { return self.get_flag(name.value); }, py::arg("name"),
            release(), "Read a flag.")
        .def(
            "set_flag",
            [](FanucDriver& self, AliasName name, Whole<"the flag value"> value) {
                return self.set_flag(name.value, as_int(value));
            },
            py::arg("name"), py::arg("value"), release(), "Write a flag. Returns whether successful.")
        .def(
            "get_robot_input", [](FanucDriver& self, AliasName name) { return self.get_robot_input(name.value); },
            py::arg("name"), release(), "Read a robot input.")
        .def(
            "set_robot_output",
            [](FanucDriver& self, AliasName name, Whole<"the output value"> value) {
                return self.set_robot_output(name.value, as_int(value));
            },
            py::arg("name"), py::arg("value"), release(), "Write a robot output. Returns whether successful.");
}

}  // namespace orvane::python
