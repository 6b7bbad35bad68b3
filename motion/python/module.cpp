// The Python module `orvane`: the motion library's planner, robots, trajectories
// and Kelvra client for CPython 3.12.

#include <optional>
#include <string>

#include <pybind11/operators.h>

#include <orvane/motion/version.hpp>

#include "common.hpp"

namespace orvane::python {

std::optional<std::string> interpreter_error(const std::string& implementation, int major, int minor) {
    if (implementation == "cpython" && major == 3 && minor == 12) return std::nullopt;
    return "The module 'orvane' is built for CPython 3.12 and cannot be loaded into " + implementation + " " +
           std::to_string(major) + "." + std::to_string(minor) + "; use a CPython 3.12 interpreter.";
}

void bind_version(py::module_& m) {
    py::class_<VersionNumber>(m, "VersionNumber", "Version of the motion library (major.minor.patch).")
        .def(py::init<>())
        .def(py::init([](int major, int minor, int patch) { return VersionNumber{major, minor, patch}; }),
             py::arg("major"), py::arg("minor"), py::arg("patch"))
        .def_readwrite("major", &VersionNumber::major)
        .def_readwrite("minor", &VersionNumber::minor)
        .def_readwrite("patch", &VersionNumber::patch)
        .def("to_string", &VersionNumber::to_string, "The three numbers joined by '.', e.g. '1.1.0'.")
        .def("__str__", &VersionNumber::to_string)
        .def("__repr__",
             [](const VersionNumber& v) {
                 return "VersionNumber(" + std::to_string(v.major) + ", " + std::to_string(v.minor) + ", " +
                        std::to_string(v.patch) + ")";
             })
        .def("__hash__", [](const VersionNumber& v) { return py::hash(py::make_tuple(v.major, v.minor, v.patch)); })
        .def(py::self == py::self)
        .def(py::self != py::self)
        .def(py::self < py::self)
        .def(py::self <= py::self)
        .def(py::self > py::self)
        .def(py::self >= py::self);

    // The version of the library actually loaded, not the one compiled against.
    m.attr("version_number") = version_number;
    m.attr("__version__") = version_number.to_string();
}

}  // namespace orvane::python

PYBIND11_MODULE(orvane, m) {
    namespace op = orvane::python;
    namespace py = pybind11;

    // pybind11 already refuses another CPython minor version; this also names
    // other implementations and says what to do instead.
    const auto sys = py::module_::import("sys");
    const auto version = sys.attr("version_info");
    const auto error = op::interpreter_error(sys.attr("implementation").attr("name").cast<std::string>(),
                                             version[py::int_(0)].cast<int>(), version[py::int_(1)].cast<int>());
    if (error) throw py::import_error(*error);

    m.doc() = "Orvane motion library: robots, planning, trajectories and the Kelvra client.";
    m.def("_interpreter_error", &op::interpreter_error, py::arg("implementation"), py::arg("major"),
          py::arg("minor"),
          "Why the module cannot run in this interpreter (None when it can); checked at import.");

    op::bind_version(m);
    op::bind_geometry(m);
    op::bind_trajectory(m);
    op::bind_robots(m);
    op::bind_limit_table(m);
    op::bind_planning(m);
    op::bind_kelvra(m);
}
