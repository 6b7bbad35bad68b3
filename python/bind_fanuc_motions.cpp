// Motions the controller plans itself: Blend, and FanucDriver's move_joint,
// move_linear, move_circular, call_program, wait_time and wait_input with
// their _async twins. Arguments are converted under the interpreter lock;
// the blocking calls wait without it.

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <orvane/drivers/fanuc/fanuc_driver.hpp>

#include "common.hpp"

namespace orvane::python {

using drivers::Blend;
using drivers::CartesianPose;
using drivers::ControllerMotionOptions;
using drivers::FanucDriver;
using drivers::MotionTarget;
using drivers::Result;

namespace {

using FanucPtr = std::shared_ptr<FanucDriver>;

// None: FINE; a Blend; an int: CNT; a float: a corner radius in metres.
std::optional<Blend> blend_of(const py::handle& value) {
    if (value.is_none()) return std::nullopt;
    if (py::isinstance<Blend>(value)) return value.cast<Blend>();
    PyObject* object = value.ptr();
    if (PyBool_Check(object)) throw py::type_error("A blend is None, a Blend, an int (CNT) or a float (corner radius [m]), not bool.");
    if (PyLong_Check(object)) {
        const long long cnt = value.cast<long long>();
        if (cnt < 1 || cnt > 100) throw py::value_error("A CNT blend is 1 to 100, not " + std::to_string(cnt) + ".");
        return Blend::cnt(static_cast<int>(cnt));
    }
    if (PyFloat_Check(object)) return Blend::corner(value.cast<double>());
    throw py::type_error("A blend is None, a Blend, an int (CNT) or a float (corner radius [m]), not " +
                         std::string(py::str(py::type::handle_of(value).attr("__name__"))) + ".");
}

ControllerMotionOptions options_of(const py::handle& blend, bool relative, bool no_blend,
                                   std::optional<int> acceleration_percent) {
    ControllerMotionOptions options;
    options.blend = blend_of(blend);
    options.relative = relative;
    options.no_blend = no_blend;
    options.acceleration_percent = acceleration_percent;
    return options;
}

constexpr const char* queue_doc =
    "\n\nPlanned and run by the controller itself (its speeds, accelerations and blends);\n"
    "set_speed and pause ramps of streamed motions do not apply, the speed override does.\n"
    "Calls join one queue in call order; at most 8 instructions wait for the controller,\n"
    "a further blocking call waits for a place. The Result is the controller's answer:\n"
    "Success once the motion has run, ErrorController for a motion the controller refused\n"
    "or faulted on, ErrorTrajectoryAborted for the others it ended (enable again then).\n"
    "A blended motion (CNT, corner) only runs once the next motion has arrived, so the\n"
    "blocking form returns once it is queued; the _async form completes with its answer.\n"
    "Values are checked first: a refusal returns Result.Error, the reason in last_error.";

std::string doc(const std::string& head) { return head + queue_doc; }

}  // namespace

void bind_fanuc_motions(py::module_& m, py::class_<FanucDriver, Driver, FanucPtr>& driver) {
    py::class_<Blend>(m, "Blend", "How a controller-planned motion ends: FINE, CNT 1-100, or a corner radius [m].")
        .def_static("fine", &Blend::fine, "Stop at the target")
        .def_static("cnt", &Blend::cnt, py::arg("value"), "Round the corner into the next motion, 1 to 100")
        .def_static("corner", &Blend::corner, py::arg("radius"), "Round the corner within this radius [m]")
        .def_property_readonly("kind", [](const Blend& b) {
            return b.kind == Blend::Kind::fine ? "fine" : b.kind == Blend::Kind::cnt ? "cnt" : "corner";
        })
        .def_readonly("value", &Blend::value, "CNT value, or the corner radius [m]")
        .def("__eq__", [](const Blend& self, const Blend& other) { return self == other; }, py::arg("other"))
        .def("__repr__", [](const Blend& b) {
            if (b.kind == Blend::Kind::fine) return std::string("Blend.fine()");
            if (b.kind == Blend::Kind::cnt) return "Blend.cnt(" + std::to_string(static_cast<int>(b.value)) + ")";
            return "Blend.corner(" + std::string(py::repr(py::float_(b.value))) + ")";
        });

    const auto joint_doc = doc("Joint-interpolated move to joint values [rad] or a CartesianPose, at speed_percent\n"
                               "(1-100) of the joints' maximum speed.");
    const auto linear_doc = doc("Straight-line move of the TCP to a CartesianPose or joint values, at speed [m/s].");
    const auto circular_doc = doc("Arc of the TCP through `via` to `target` (same user frame and tool), at speed [m/s].");

    driver
        .def(
            "move_joint",
            [](FanucDriver& self, const MotionTarget& target, double speed_percent, const py::handle& blend,
               bool relative, bool no_blend, std::optional<int> acceleration_percent) {
                const auto options = options_of(blend, relative, no_blend, acceleration_percent);
                py::gil_scoped_release release;
                return self.move_joint(target, speed_percent, options);
            },
            py::arg("target"), py::arg("speed_percent") = 100.0, py::arg("blend") = py::none(),
            py::arg("relative") = false, py::arg("no_blend") = false,
            py::arg("acceleration_percent") = py::none(), joint_doc.c_str())
        .def(
            "move_joint_async",
            [](const FanucPtr& self, const MotionTarget& target, double speed_percent, const py::handle& blend,
               bool relative, bool no_blend, std::optional<int> acceleration_percent) {
                const auto options = options_of(blend, relative, no_blend, acceleration_percent);
                py::gil_scoped_release release;
                return FutureResult(self->move_joint_async(target, speed_percent, options), self);
            },
            py::arg("target"), py::arg("speed_percent") = 100.0, py::arg("blend") = py::none(),
            py::arg("relative") = false, py::arg("no_blend") = false,
            py::arg("acceleration_percent") = py::none(), joint_doc.c_str())
        .def(
            "move_linear",
            [](FanucDriver& self, const MotionTarget& target, double speed, const py::handle& blend, bool relative,
               bool no_blend, std::optional<int> acceleration_percent) {
                const auto options = options_of(blend, relative, no_blend, acceleration_percent);
                py::gil_scoped_release release;
                return self.move_linear(target, speed, options);
            },
            py::arg("target"), py::arg("speed") = 0.25, py::arg("blend") = py::none(), py::arg("relative") = false,
            py::arg("no_blend") = false, py::arg("acceleration_percent") = py::none(),
            linear_doc.c_str())
        .def(
            "move_linear_async",
            [](const FanucPtr& self, const MotionTarget& target, double speed, const py::handle& blend, bool relative,
               bool no_blend, std::optional<int> acceleration_percent) {
                const auto options = options_of(blend, relative, no_blend, acceleration_percent);
                py::gil_scoped_release release;
                return FutureResult(self->move_linear_async(target, speed, options), self);
            },
            py::arg("target"), py::arg("speed") = 0.25, py::arg("blend") = py::none(), py::arg("relative") = false,
            py::arg("no_blend") = false, py::arg("acceleration_percent") = py::none(),
            linear_doc.c_str())
        .def(
            "move_circular",
            [](FanucDriver& self, const CartesianPose& via, const CartesianPose& target, double speed,
               const py::handle& blend, bool no_blend, std::optional<int> acceleration_percent) {
                const auto options = options_of(blend, false, no_blend, acceleration_percent);
                py::gil_scoped_release release;
                return self.move_circular(via, target, speed, options);
            },
            py::arg("via"), py::arg("target"), py::arg("speed") = 0.25, py::arg("blend") = py::none(),
            py::arg("no_blend") = false, py::arg("acceleration_percent") = py::none(),
            circular_doc.c_str())
        .def(
            "move_circular_async",
            [](const FanucPtr& self, const CartesianPose& via, const CartesianPose& target, double speed,
               const py::handle& blend, bool no_blend, std::optional<int> acceleration_percent) {
                const auto options = options_of(blend, false, no_blend, acceleration_percent);
                py::gil_scoped_release release;
                return FutureResult(self->move_circular_async(via, target, speed, options), self);
            },
            py::arg("via"), py::arg("target"), py::arg("speed") = 0.25, py::arg("blend") = py::none(),
            py::arg("no_blend") = false, py::arg("acceleration_percent") = py::none(),
            circular_doc.c_str())
        .def("call_program", &FanucDriver::call_program, py::arg("name"),
             "Run program `name` of the controller in the motion queue (FRC_Call).", without_gil())
        .def(
            "call_program_async",
            [](const FanucPtr& self, const std::string& name) {
                py::gil_scoped_release release;
                return FutureResult(self->call_program_async(name), self);
            },
            py::arg("name"), "Run program `name` of the controller in the motion queue (FRC_Call).")
        .def("wait_time", &FanucDriver::wait_time, py::arg("seconds"),
             "The motion queue stands still for `seconds` (FRC_WaitTime).", without_gil())
        .def(
            "wait_time_async",
            [](const FanucPtr& self, double seconds) {
                py::gil_scoped_release release;
                return FutureResult(self->wait_time_async(seconds), self);
            },
            py::arg("seconds"), "The motion queue stands still for `seconds` (FRC_WaitTime).")
        .def("wait_input", &FanucDriver::wait_input, py::arg("alias"), py::arg("value"),
             "The motion queue waits until the digital input `alias` reads `value` (FRC_WaitDIN).", without_gil())
        .def(
            "wait_input_async",
            [](const FanucPtr& self, const std::string& alias, int value) {
                py::gil_scoped_release release;
                return FutureResult(self->wait_input_async(alias, value), self);
            },
            py::arg("alias"), py::arg("value"),
            "The motion queue waits until the digital input `alias` reads `value` (FRC_WaitDIN).");
}

}  // namespace orvane::python
