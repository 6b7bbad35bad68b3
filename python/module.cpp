// The Python module `orvane_driver_fanuc`: the FANUC robot driver for
// CPython 3.12.
//
// The motion types it takes and returns (Planner, Robot, Trajectory,
// Waypoint, ...) belong to the module `orvane`, imported first so that they
// are registered in pybind11's shared internals.

#include <optional>
#include <string>

#include <orvane/log/log.hpp>
#include <orvane/log/orvane_error.hpp>

#include "common.hpp"

#ifndef ORVANE_DRIVER_VERSION
#error "ORVANE_DRIVER_VERSION must be defined by the build"
#endif

namespace orvane::python {

std::optional<std::string> interpreter_error(const std::string& implementation, int major, int minor) {
    if (implementation == "cpython" && major == 3 && minor == 12) return std::nullopt;
    return "The module 'orvane_driver_fanuc' is built for CPython 3.12 and cannot be loaded into " +
           implementation + " " + std::to_string(major) + "." + std::to_string(minor) +
           "; use a CPython 3.12 interpreter.";
}

}  // namespace orvane::python

PYBIND11_MODULE(orvane_driver_fanuc, m) {
    namespace op = orvane::python;
    namespace py = pybind11;

    // pybind11 already refuses another CPython minor version; this also names
    // other implementations and says what to do instead.
    const auto sys = py::module_::import("sys");
    const auto version = sys.attr("version_info");
    const auto error = op::interpreter_error(sys.attr("implementation").attr("name").cast<std::string>(),
                                             version[py::int_(0)].cast<int>(), version[py::int_(1)].cast<int>());
    if (error) throw py::import_error(*error);

    py::module_::import("orvane");

    m.doc() = "Orvane Driver for Fanuc Robots.";
    m.attr("__version__") = ORVANE_DRIVER_VERSION;
    m.def("_interpreter_error", &op::interpreter_error, py::arg("implementation"), py::arg("major"),
          py::arg("minor"),
          "Why the module cannot run in this interpreter (None when it can); checked at import.");

    op::bind_result(m);
    op::bind_futures(m);
    op::bind_controller_status(m);
    op::bind_robot_state(m);
    op::bind_events(m);
    op::bind_driver(m);
    op::bind_fanuc_driver(m);
    op::bind_logging(m);

    // Runs before the interpreter drops its objects: no motion outlives the
    // script, whichever way it ended.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        op::stop_live_drivers();
        // Python's logging goes away with the interpreter.
        orvane::log::set_sink(nullptr);
    }));

    // The driver's own failures (construction, a lost link while sending, a
    // protocol violation); a RuntimeError, so generic handlers catch it too.
    py::register_exception<orvane::OrvaneError>(m, "OrvaneError", PyExc_RuntimeError);
}
