// Frame: rigid transforms, composed with `*`.

#include <cstdio>
#include <string>

#include <orvane/motion/frame.hpp>

#include "common.hpp"

namespace orvane::python {

namespace {

std::string repr(const Frame& frame) {
    auto e = frame.to_euler();
    for (double& value : e) value += 0.0;  // shows -0 as 0
    char text[256];
    std::snprintf(text, sizeof text, "Frame(x=%.6g, y=%.6g, z=%.6g, a=%.6g, b=%.6g, c=%.6g)", e[0], e[1], e[2], e[3],
                  e[4], e[5]);
    return text;
}

}  // namespace

void bind_geometry(py::module_& m) {
    py::class_<Frame>(m, "Frame",
                      "A rigid transform: rotation and translation (metres).\n\n"
                      "Euler angles (a, b, c) are extrinsic rotations about the fixed X, Y and Z axes,\n"
                      "R = Rz(c) Ry(b) Rx(a): URDF rpy, or a FANUC pose's W, P, R in radians.")
        .def(py::init<>(), "The identity transform.")
        .def(py::init<const Frame::Matrix3&, const Frame::Vector3&>(), py::arg("rotation"), py::arg("translation"),
             "From a row-major 3x3 rotation matrix and a translation.")
        .def_static("Identity", &Frame::Identity)
        .def_static("from_translation", &Frame::from_translation, py::arg("x"), py::arg("y"), py::arg("z"))
        .def_static("from_euler", &Frame::from_euler, py::arg("x"), py::arg("y"), py::arg("z"), py::arg("a"),
                    py::arg("b"), py::arg("c"))
        .def_static("from_axis_angle", &Frame::from_axis_angle, py::arg("axis"), py::arg("angle"),
                    "A rotation by `angle` (radians) about `axis`, which need not be normalised.")
        .def("to_euler", &Frame::to_euler,
             "[x, y, z, a, b, c]; b in [-pi/2, pi/2], a and c in (-pi, pi]; c = 0 at gimbal lock.")
        .def_property_readonly("rotation", &Frame::rotation, "Row-major 3x3 rotation matrix (a copy).")
        .def_property_readonly("translation", &Frame::translation, "[x, y, z] in metres (a copy).")
        .def("translational_distance", &Frame::translational_distance, py::arg("other"),
             "Euclidean distance between the two origins.")
        .def("angular_distance", &Frame::angular_distance, py::arg("other"),
             "Angle (radians, in [0, pi]) of the rotation from this orientation to the other's.")
        .def("inverse", &Frame::inverse)
        .def(
            "__mul__", [](const Frame& self, const Frame& other) { return self * other; }, py::is_operator(),
            "Composition: maps the other frame's coordinates into this frame's parent.")
        .def(
            "__mul__", [](const Frame& self, const Frame::Vector3& point) { return self * point; },
            py::is_operator(), "Maps a point [x, y, z] given in this frame into its parent.")
        .def("__repr__", &repr);
}

}  // namespace orvane::python
