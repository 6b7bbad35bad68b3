#pragma once

// Shared by the binding sources of the `orvane` module. Every source includes
// pybind11/stl.h, so that std::vector, std::optional, std::variant and std::map
// convert the same way everywhere (lists, None, unions, dicts).

#include <optional>
#include <string>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace orvane::python {

namespace py = pybind11;

// Registration, in dependency order: each binds the classes of one topic.
void bind_version(py::module_& m);
void bind_geometry(py::module_& m);
void bind_trajectory(py::module_& m);
void bind_robots(py::module_& m);
void bind_limit_table(py::module_& m);
void bind_planning(py::module_& m);
void bind_kelvra(py::module_& m);

// Why this module cannot run in the interpreter `implementation` (as in
// sys.implementation.name) of version major.minor; empty when it can.
std::optional<std::string> interpreter_error(const std::string& implementation, int major, int minor);

}  // namespace orvane::python
