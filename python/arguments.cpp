// Telling what a refused argument was, and reading Python numbers the way
// the driver's operations take them.

#include "arguments.hpp"

#include <string>

namespace orvane::python {

std::string shown(py::handle value) {
    std::string text;
    try {
        text = py::repr(value).cast<std::string>();
    } catch (const py::error_already_set&) {
        text = "a value";
    }
    constexpr std::size_t longest = 60;
    if (text.size() > longest) text = text.substr(0, longest - 3) + "...";
    return text + " (" + std::string(Py_TYPE(value.ptr())->tp_name) + ")";
}

namespace detail {

std::optional<std::int64_t> whole_number(py::handle value, const std::string& what) {
    // bool is an int in Python (True == 1); a float is not, even 2.0: a
    // port number given as a measurement is more likely a mistake.
    if (PyFloat_Check(value.ptr()) || !PyIndex_Check(value.ptr())) return std::nullopt;
    const auto integer = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!integer) throw py::error_already_set();
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (overflow != 0) {
        throw py::value_error(what + " " + py::str(integer).cast<std::string>() +
                              " lies beyond what the controller can take.");
    }
    if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
    return number;
}

std::optional<double> real_number(py::handle value) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())) return std::nullopt;
    if (!PyFloat_Check(value.ptr()) && !PyIndex_Check(value.ptr()) &&
        (Py_TYPE(value.ptr())->tp_as_number == nullptr || Py_TYPE(value.ptr())->tp_as_number->nb_float == nullptr)) {
        return std::nullopt;
    }
    const double number = PyFloat_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return number;
}

}  // namespace detail

}  // namespace orvane::python
