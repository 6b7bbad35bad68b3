// Trigger, Trigger.Value and Action: the building blocks of driver events.
//
// An Action may wrap a Python callable. The driver copies actions and runs
// them on its control-loop thread without the interpreter lock, so the
// callable is held through a reference-counted C++ pointer: copies never touch
// Python reference counts, and the lock is taken only to call the callable
// and to release it.

#include <memory>
#include <string>
#include <utility>

#include <orvane/drivers/event.hpp>
#include <orvane/log/orvane_error.hpp>

#include "common.hpp"

namespace orvane::python {

namespace {

using drivers::Action;
using drivers::Trigger;

bool interpreter_is_gone() {
    // A thread that takes the lock while the interpreter finalises is ended
    // on the spot (in the middle of the driver's control loop); never try.
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsInitialized() || Py_IsFinalizing();
#else
    return !Py_IsInitialized() || _Py_IsFinalizing();
#endif
}

struct ReleaseWithLock {
    void operator()(py::object* function) const {
        if (interpreter_is_gone()) {
            // Leaked on purpose: there is no interpreter left to release it in.
            function->release();
            delete function;
            return;
        }
        py::gil_scoped_acquire acquire;
        delete function;
    }
};

thread_local bool running_action = false;

class PythonCallback {
public:
    explicit PythonCallback(py::function function)
        : function_(new py::object(std::move(function)), ReleaseWithLock{}) {}

    void operator()(double time) const {
        if (interpreter_is_gone()) throw OrvaneError("driver", "Python is shutting down: the event action was not run");
        std::string failure;
        {
            py::gil_scoped_acquire acquire;
            running_action = true;
            struct Done {
                ~Done() { running_action = false; }
            } done;
            try {
                (*function_)(time);
                return;
            } catch (py::error_already_set& error) {
                failure = error.what();
            }
        }
        // The driver's event check reports it and drops the event.
        throw OrvaneError("driver", "The Python event action raised " + failure);
    }

    /// The wrapped callable (use with the interpreter lock held).
    const py::object& function() const { return *function_; }

private:
    std::shared_ptr<py::object> function_;
};

// Triggers and values are opaque functions: each Python object carries the
// expression it was built from, for its repr.
py::object described(py::object object, const std::string& text) {
    object.attr("_expression") = text;
    return object;
}

std::string expression_of(const py::handle& object) {
    return py::hasattr(object, "_expression") ? object.attr("_expression").cast<std::string>() : "...";
}

template <class Compare>
auto comparison(const char* symbol, Compare compare) {
    return [symbol, compare](const py::object& self, double threshold) {
        return described(py::cast(compare(self.cast<const Trigger::Value&>(), threshold)),
                         expression_of(self) + " " + symbol + " " + std::string(py::repr(py::float_(threshold))));
    };
}

template <class Combine>
auto combination(const char* symbol, Combine combine) {
    return [symbol, combine](const py::object& self, const py::object& other) -> py::object {
        // Anything but a Trigger: Python's TypeError for the operator.
        if (!py::isinstance<Trigger>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return described(py::cast(combine(self.cast<const Trigger&>(), other.cast<const Trigger&>())),
                         "(" + expression_of(self) + ") " + symbol + " (" + expression_of(other) + ")");
    };
}

}  // namespace

bool in_event_action() noexcept { return running_action; }

void bind_events(py::module_& m) {
    py::class_<Trigger> trigger(m, "Trigger",
                                "The condition of an event. Build one by comparing a value, e.g.\n"
                                "`Trigger.Time() > 2.0`, and combine conditions with `&` and `|`\n"
                                "(short-circuit; Python's `and`/`or` do not combine triggers).",
                                py::dynamic_attr());
    py::class_<Trigger::Value>(trigger, "Value",
                               "A number read at every control step; compare it with a float to get a Trigger.",
                               py::dynamic_attr())
        .def("__gt__", comparison(">", [](const Trigger::Value& v, double t) { return v > t; }), py::is_operator(),
             py::arg("threshold"))
        .def("__ge__", comparison(">=", [](const Trigger::Value& v, double t) { return v >= t; }), py::is_operator(),
             py::arg("threshold"))
        .def("__lt__", comparison("<", [](const Trigger::Value& v, double t) { return v < t; }), py::is_operator(),
             py::arg("threshold"))
        .def("__le__", comparison("<=", [](const Trigger::Value& v, double t) { return v <= t; }), py::is_operator(),
             py::arg("threshold"))
        .def("__repr__", [](const py::object& self) { return "Trigger.Value(" + expression_of(self) + ")"; });

    trigger
        .def_static(
            "Time", [] { return described(py::cast(Trigger::Time()), "Time()"); },
            "The playback time on the running trajectory [s].")
        .def_static(
            "TimeToGoal", [] { return described(py::cast(Trigger::TimeToGoal()), "TimeToGoal()"); },
            "The time left until the trajectory's end [s].")
        .def_static(
            "JointPosition",
            [](std::size_t dof) {
                return described(py::cast(Trigger::JointPosition(dof)), "JointPosition(" + std::to_string(dof) + ")");
            },
            py::arg("dof"), "The commanded position of joint `dof` (0-based) [rad].")
        .def_static(
            "TCPPosition",
            [](std::size_t axis) {
                return described(py::cast(Trigger::TCPPosition(axis)), "TCPPosition(" + std::to_string(axis) + ")");
            },
            py::arg("axis"), "Component `axis` of the tool-centre point's pose: x, y, z [m], a, b, c [rad].")
        .def("__and__", combination("&", [](const Trigger& a, const Trigger& b) { return a && b; }),
             py::is_operator(), py::arg("other"))
        .def("__or__", combination("|", [](const Trigger& a, const Trigger& b) { return a || b; }),
             py::is_operator(), py::arg("other"))
        .def("__repr__", [](const py::object& self) { return "Trigger(" + expression_of(self) + ")"; });

    py::class_<Action>(m, "Action",
                       "The function of an event, called once with the playback time when its trigger\n"
                       "holds. It runs on the driver's control thread: keep it short, and do not wait\n"
                       "there for a motion of the same driver. Any callable is accepted where an Action is.")
        .def(py::init([](py::function method) { return Action(PythonCallback(std::move(method))); }),
             py::arg("method"))
        .def("__repr__", [](const Action& action) {
            const auto* callback = action.callback.target<PythonCallback>();
            const std::string target = callback ? std::string(py::repr(callback->function())) : "<C++ function>";
            return "Action(" + target + ")";
        });
    py::implicitly_convertible<py::function, Action>();
}

}  // namespace orvane::python
