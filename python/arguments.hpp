#pragma once

// Arguments of the driver's operations that name what they are, so that a
// wrong one is refused in the library's words: TypeError for a value of the
// wrong kind ("The I/O address must be a whole number, not 'x' (str)."),
// ValueError for one no port, register or setting can have. A parameter
// typed Whole<"the I/O address"> shows as `int` in signatures and takes any
// Python integer (numpy's too); the operation itself refuses what the
// controller would (false or None, with last_error), as before.

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "common.hpp"

namespace orvane::python {

/// A parameter's description as a template argument ("the I/O address").
template <std::size_t N>
struct Named {
    char text[N]{};
    constexpr Named(const char (&name)[N]) { std::copy_n(name, N, text); }
    std::string sentence_start() const {
        std::string out(text);
        if (!out.empty()) out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
        return out;
    }
};

template <Named what>
struct Whole {
    std::int64_t value{0};
};
template <Named what>
struct Real {
    double value{0.0};
};
template <Named what>
struct Text {
    std::string value;
};

/// "'x' (str)", "1.5 (float)": how a refused argument is shown.
std::string shown(py::handle value);

/// `argument` as an int; ValueError naming it when no int holds it.
template <Named what>
int as_int(const Whole<what>& argument) {
    if (argument.value < std::numeric_limits<int>::min() || argument.value > std::numeric_limits<int>::max()) {
        throw py::value_error(what.sentence_start() + " " + std::to_string(argument.value) +
                              " lies beyond what the controller can take.");
    }
    return static_cast<int>(argument.value);
}

/// `argument` as a non-negative count or address; ValueError below 0.
template <Named what>
std::size_t as_unsigned(const Whole<what>& argument) {
    if (argument.value < 0) {
        throw py::value_error(what.sentence_start() + " cannot be negative; " + std::to_string(argument.value) +
                              " was given.");
    }
    return static_cast<std::size_t>(argument.value);
}

namespace detail {
/// A Python integer (a bool or anything with __index__, numpy's included) as
/// an int64; empty when `value` is not one. ValueError beyond 64 bits.
std::optional<std::int64_t> whole_number(py::handle value, const std::string& what);
/// A Python real number (an int, a float or anything with __float__ that is
/// not text); empty when `value` is not one.
std::optional<double> real_number(py::handle value);
}  // namespace detail

}  // namespace orvane::python

namespace pybind11::detail {

template <orvane::python::Named what>
struct type_caster<orvane::python::Whole<what>> {
    PYBIND11_TYPE_CASTER(orvane::python::Whole<what>, io_name("int", "int"));
    bool load(handle source, bool) {
        const auto number = orvane::python::detail::whole_number(source, what.sentence_start());
        if (!number) {
            throw type_error(what.sentence_start() + " must be a whole number, not " +
                             orvane::python::shown(source) + ".");
        }
        value.value = *number;
        return true;
    }
    static handle cast(const orvane::python::Whole<what>& source, return_value_policy, handle) {
        return PyLong_FromLongLong(source.value);
    }
};

template <orvane::python::Named what>
struct type_caster<orvane::python::Real<what>> {
    PYBIND11_TYPE_CASTER(orvane::python::Real<what>, io_name("float", "float"));
    bool load(handle source, bool) {
        const auto number = orvane::python::detail::real_number(source);
        if (!number) {
            throw type_error(what.sentence_start() + " must be a number, not " + orvane::python::shown(source) +
                             ".");
        }
        value.value = *number;
        return true;
    }
    static handle cast(const orvane::python::Real<what>& source, return_value_policy, handle) {
        return PyFloat_FromDouble(source.value);
    }
};

template <orvane::python::Named what>
struct type_caster<orvane::python::Text<what>> {
    PYBIND11_TYPE_CASTER(orvane::python::Text<what>, io_name("str", "str"));
    bool load(handle source, bool) {
        if (!PyUnicode_Check(source.ptr())) {
            throw type_error(what.sentence_start() + " must be a text (str), not " + orvane::python::shown(source) +
                             ".");
        }
        value.value = source.cast<std::string>();
        return true;
    }
    static handle cast(const orvane::python::Text<what>& source, return_value_policy, handle) {
        return PyUnicode_FromStringAndSize(source.value.data(), static_cast<Py_ssize_t>(source.value.size()));
    }
};

}  // namespace pybind11::detail
