// State, Trajectory, Waypoint, CartesianWaypoint and the per-robot point map.
//
// Array properties return new Python lists (copies): changing such a list
// does not change the object it came from; assign the whole attribute instead.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>

#include <orvane/motion/trajectory.hpp>
#include <orvane/motion/waypoint.hpp>

#include "common.hpp"

namespace orvane::python {

namespace {

using Vector = std::vector<double>;
using Matrix = std::vector<std::vector<double>>;
using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// numpy is optional: only an object of an already imported numpy can be an array.
bool is_numpy_array(const py::handle& value) {
    const auto modules = py::module_::import("sys").attr("modules");
    return modules.contains("numpy") && py::isinstance<py::array>(value);
}

std::string type_name(const py::handle& value) { return py::str(py::type::of(value).attr("__name__")); }

// Arrays are copied in one go; any other sequence goes through pybind11's casters.
Vector to_vector(const py::handle& value, const char* what) {
    if (is_numpy_array(value)) {
        const auto array = Array::ensure(value);
        if (!array || array.ndim() != 1) {
            throw py::value_error(std::string(what) + " must be a one-dimensional array");
        }
        return Vector(array.data(), array.data() + array.size());
    }
    try {
        return value.cast<Vector>();
    } catch (const py::cast_error&) {
        throw py::type_error(std::string(what) + " must be a sequence of numbers, not " + type_name(value));
    }
}

Matrix to_matrix(const py::handle& value, const char* what) {
    if (is_numpy_array(value)) {
        const auto array = Array::ensure(value);
        if (!array || (array.ndim() != 2 && !(array.ndim() == 1 && array.size() == 0))) {
            throw py::value_error(std::string(what) + " must be a two-dimensional array (samples x joints)");
        }
        Matrix rows;
        if (array.ndim() == 2) {
            const auto columns = static_cast<std::size_t>(array.shape(1));
            rows.reserve(static_cast<std::size_t>(array.shape(0)));
            for (py::ssize_t i = 0; i < array.shape(0); ++i) {
                const double* row = array.data(i, 0);
                rows.emplace_back(row, row + columns);
            }
        }
        return rows;
    }
    if (!py::isinstance<py::sequence>(value) || py::isinstance<py::str>(value)) {
        throw py::type_error(std::string(what) + " must be a sequence of samples, not " + type_name(value));
    }
    Matrix rows;
    for (const auto& row : value) rows.push_back(to_vector(row, what));
    return rows;
}

std::string repr_list(const Vector& values) { return py::repr(py::cast(values)); }

}  // namespace

void bind_trajectory(py::module_& m) {
    py::class_<State>(m, "State", "The state of all joints at one instant (one value per joint).")
        .def(py::init<>())
        .def(py::init<std::size_t>(), py::arg("degrees_of_freedom"), "Zero-filled vectors.")
        .def(py::init<double, Vector, Vector, Vector>(), py::arg("time"), py::arg("position"), py::arg("velocity"),
             py::arg("acceleration"))
        .def_readwrite("time", &State::time)
        .def_readwrite("position", &State::position)
        .def_readwrite("velocity", &State::velocity)
        .def_readwrite("acceleration", &State::acceleration)
        .def("__repr__", [](const State& s) {
            return "State(time=" + std::string(py::repr(py::float_(s.time))) + ", position=" + repr_list(s.position) +
                   ", velocity=" + repr_list(s.velocity) + ", acceleration=" + repr_list(s.acceleration) + ")";
        });

    py::class_<Trajectory>(m, "Trajectory",
                           "A time-sampled joint trajectory.\n\n"
                           "Sample times start at 0 and strictly increase; every sample has one value per joint\n"
                           "in each of positions, velocities and accelerations. The array properties return\n"
                           "new lists (times: list[float], the others: one list[float] per sample).")
        .def(py::init<std::size_t>(), py::arg("degrees_of_freedom") = 0, "An empty trajectory (no samples).")
        .def(py::init([](const py::handle& times, const py::handle& positions, const py::handle& velocities,
                         const py::handle& accelerations) {
                 return Trajectory(to_vector(times, "times"), to_matrix(positions, "positions"),
                                   to_matrix(velocities, "velocities"), to_matrix(accelerations, "accelerations"));
             }),
             py::arg("times"), py::arg("positions"), py::arg("velocities"), py::arg("accelerations"),
             "From sample arrays (lists or numpy arrays of shape (samples,) and (samples, joints)).\n"
             "Raises ValueError when they do not form a trajectory.")
        .def_property_readonly("degrees_of_freedom", &Trajectory::degrees_of_freedom)
        .def_property_readonly("duration", &Trajectory::duration, "The last sample's time [s]; 0 when empty.")
        .def_property_readonly("times", &Trajectory::times)
        .def_property_readonly("positions", &Trajectory::positions)
        .def_property_readonly("velocities", &Trajectory::velocities)
        .def_property_readonly("accelerations", &Trajectory::accelerations)
        .def("__len__", &Trajectory::size)
        .def(
            "__getitem__",
            [](const Trajectory& t, py::ssize_t index) {
                const auto size = static_cast<py::ssize_t>(t.size());
                if (index < 0) index += size;
                if (index < 0 || index >= size) throw py::index_error("trajectory sample index out of range");
                return t.at(static_cast<std::size_t>(index));
            },
            py::arg("index"), "Sample `index` as a State; negative indices count from the end.")
        .def("at", &Trajectory::at, py::arg("index"), "Sample `index` as a State (IndexError past the end).")
        .def("front", &Trajectory::front, "The first sample (IndexError when empty).")
        .def("back", &Trajectory::back, "The last sample (IndexError when empty).")
        .def("slice", &Trajectory::slice, py::arg("start"), py::arg("count"),
             "Up to `count` samples from `start` on, with time starting again at 0.")
        .def("append", &Trajectory::append, py::arg("other"),
             "Continues with `other`, whose first sample replaces this one's last.")
        .def("__repr__", [](const Trajectory& t) {
            return "Trajectory(degrees_of_freedom=" + std::to_string(t.degrees_of_freedom()) +
                   ", samples=" + std::to_string(t.size()) +
                   ", duration=" + std::string(py::repr(py::float_(t.duration()))) + ")";
        });

    py::class_<Element>(m, "Element", "Common base of the points a motion can start from or go to.");

    py::class_<Waypoint, Element>(m, "Waypoint", "A joint-space point with the velocity and acceleration there.")
        .def(py::init<>())
        .def(py::init<Vector>(), py::arg("position"), "At rest at `position`.")
        .def(py::init<std::size_t>(), py::arg("degrees_of_freedom"), "Zeros for every joint.")
        .def(py::init<Vector, Vector, Vector>(), py::arg("position"), py::arg("velocity"), py::arg("acceleration"))
        .def_readwrite("position", &Waypoint::position)
        .def_readwrite("velocity", &Waypoint::velocity)
        .def_readwrite("acceleration", &Waypoint::acceleration)
        .def("__repr__", [](const Waypoint& w) {
            return "Waypoint(position=" + repr_list(w.position) + ", velocity=" + repr_list(w.velocity) +
                   ", acceleration=" + repr_list(w.acceleration) + ")";
        });

    py::class_<CartesianWaypoint, Element>(m, "CartesianWaypoint",
                                           "A TCP pose in the arm's base frame, reached at rest; the planner\n"
                                           "finds its joint position by inverse kinematics from the start.")
        .def(py::init<>())
        .def(py::init<const Frame&>(), py::arg("frame"))
        .def_readwrite("frame", &CartesianWaypoint::frame)
        .def("__repr__",
             [](const CartesianWaypoint& w) { return "CartesianWaypoint(" + std::string(py::repr(py::cast(w.frame))) + ")"; });

    // A point map is a plain dict {robot name: point}; the name makes intent readable.
    m.attr("RobotMap") = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyDict_Type));
}

}  // namespace orvane::python
