// FanucDriver's reach into the rest of the controller: flags, robot I/O,
// the Cartesian position, TCP speed, frames, tools, position registers and
// alarms. Each call waits for one controller answer with the interpreter lock
// released, so event actions and other Python threads keep running.

#include <string>

#include <orvane/drivers/fanuc/fanuc_controller_types.hpp>
#include <orvane/drivers/fanuc/fanuc_driver.hpp>

#include "common.hpp"

namespace orvane::python {

namespace {

using drivers::CartesianPose;
using drivers::FanucDriver;
using drivers::FrameToolNumbers;
using drivers::PositionRegister;
using release = py::call_guard<py::gil_scoped_release>;

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
        .def("set_active_frame_and_tool", &FanucDriver::set_active_frame_and_tool, py::arg("user_frame"),
             py::arg("user_tool"), release(), "Select user frame (0-9) and tool (0-10); refused while moving.")
        .def("get_user_frame", &FanucDriver::get_user_frame, py::arg("number"), release(),
             "Read user frame 1-9 as an orvane.Frame, or None.")
        .def("set_user_frame", &FanucDriver::set_user_frame, py::arg("number"), py::arg("frame"), release(),
             "Write user frame 1-9; refused while moving. Returns whether successful.")
        .def("get_user_tool", &FanucDriver::get_user_tool, py::arg("number"), release(),
             "Read tool 1-10 as an orvane.Frame, or None.")
        .def("set_user_tool", &FanucDriver::set_user_tool, py::arg("number"), py::arg("frame"), release(),
             "Write tool 1-10; refused while moving. Returns whether successful.")
        .def("get_position_register", &FanucDriver::get_position_register, py::arg("number"), release(),
             "Read position register PR[number], or None.")
        .def("set_position_register",
             py::overload_cast<int, const CartesianPose&>(&FanucDriver::set_position_register), py::arg("number"),
             py::arg("pose"), release(), "Write a Cartesian pose to PR[number]. Returns whether successful.")
        .def("set_position_register",
             py::overload_cast<int, const std::vector<double>&>(&FanucDriver::set_position_register),
             py::arg("number"), py::arg("joint_position"), release(),
             "Write a joint position (radians) to PR[number]. Returns whether successful.")
        .def("read_errors", &FanucDriver::read_errors, py::arg("count") = 1, release(),
             "The newest 1-5 alarm texts, newest first (empty without alarms), or None.")
        .def("get_flag", &FanucDriver::get_flag, py::arg("name"), release(), "Read a flag.")
        .def("set_flag", &FanucDriver::set_flag, py::arg("name"), py::arg("value"), release(),
             "Write a flag. Returns whether successful.")
        .def("get_robot_input", &FanucDriver::get_robot_input, py::arg("name"), release(), "Read a robot input.")
        .def("set_robot_output", &FanucDriver::set_robot_output, py::arg("name"), py::arg("value"), release(),
             "Write a robot output. Returns whether successful.");
}

}  // namespace orvane::python
