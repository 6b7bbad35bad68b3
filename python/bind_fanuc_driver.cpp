// FanucDriver: the only driver Python code constructs. It always connects at
// construction (without the interpreter lock), and raises OrvaneError when
// the controller cannot be reached.

#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <vector>
#include <string>
#include <utility>

#include <orvane/drivers/fanuc/fanuc_driver.hpp>

#include "arguments.hpp"
#include "common.hpp"

namespace orvane::python {

using drivers::FanucDriver;
void bind_fanuc_controller(py::module_& m, py::class_<FanucDriver, Driver, std::shared_ptr<FanucDriver>>& driver);
void bind_fanuc_poses(py::module_& m, py::class_<FanucDriver, Driver, std::shared_ptr<FanucDriver>>& driver);
void bind_fanuc_motions(py::module_& m, py::class_<FanucDriver, Driver, std::shared_ptr<FanucDriver>>& driver);

namespace {

// The destructor waits for a streaming motion to end, and that motion may be
// about to call a Python event action: it must not hold the interpreter lock.
struct DeleteWithoutLock {
    void operator()(FanucDriver* driver) const {
        if (PyGILState_Check() != 0) {
            py::gil_scoped_release release;
            delete driver;
        } else {
            delete driver;
        }
    }
};

// Connecting may take the whole connect time-out: the program's other
// threads run meanwhile.
template <class... Arguments>
std::shared_ptr<FanucDriver> make_driver(Arguments&&... arguments) {
    FanucDriver* constructed = nullptr;
    {
        py::gil_scoped_release release;
        constructed = new FanucDriver(std::forward<Arguments>(arguments)...);
    }
    std::shared_ptr<FanucDriver> driver(constructed, DeleteWithoutLock{});
    register_live_driver(driver);
    return driver;
}

// A payload schedule as Python gives it: an int, or a float that is whole.
double schedule_number(const py::handle& value) {
    PyObject* object = value.ptr();
    if (PyBool_Check(object) || !(PyIndex_Check(object) || PyFloat_Check(object))) {
        throw py::type_error("A payload schedule is a whole number, not " +
                             std::string(py::str(py::type::handle_of(value).attr("__name__"))) + ".");
    }
    double number = 0.0;
    if (PyFloat_Check(object)) {
        number = PyFloat_AsDouble(object);
    } else {
        const auto whole = py::reinterpret_steal<py::object>(PyNumber_Index(object));
        if (!whole) throw py::error_already_set();
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(whole.ptr(), &overflow);
        number = overflow > 0 ? HUGE_VAL : overflow < 0 ? -HUGE_VAL : static_cast<double>(n);
    }
    if (const auto fault = FanucDriver::payload_schedule_fault(number)) throw py::value_error(*fault);
    return number;
}

bool set_payload(FanucDriver& self, const py::handle& schedule) {
    const double number = schedule_number(schedule);
    // An instruction: answered once the motion queued before it has run.
    py::gil_scoped_release release;
    return self.set_payload(number);
}

std::array<double, 3> three_values(const std::vector<double>& values, const char* name, const char* what) {
    if (values.size() != 3) {
        throw py::value_error(std::string(name) + " takes 3 values (" + what + "), not " +
                              std::to_string(values.size()) + ".");
    }
    return {values[0], values[1], values[2]};
}

constexpr const char* set_payload_doc =
    "Select payload schedule `schedule` (PAYLOAD[1] to PAYLOAD[10]) on the controller; an\n"
    "instruction, so it takes effect after the motion already sent. A value that is not a\n"
    "whole number from 1 to 10 raises ValueError and nothing is sent. False when the driver\n"
    "is not enabled or the controller refuses it.";

FanucDriver::ConnectOptions connect_options(const Whole<"the port">& port,
                                           const Real<"the connect timeout">& connect_timeout, bool stream_motion,
                                           const Whole<"the Stream Motion port">& stream_motion_port) {
    // Out of range is refused by the driver (ValueError), in its words.
    FanucDriver::ConnectOptions options;
    options.port = as_int(port);
    options.connect_timeout = connect_timeout.value;
    options.stream_motion = stream_motion;
    options.stream_motion_port = as_int(stream_motion_port);
    return options;
}

Whole<"the Stream Motion port"> default_stream_motion_port() {
    return {FanucDriver::ConnectOptions{}.stream_motion_port};
}
Whole<"the port"> default_port() { return {FanucDriver::ConnectOptions{}.port}; }
Real<"the connect timeout"> default_connect_timeout() { return {FanucDriver::ConnectOptions{}.connect_timeout}; }

}  // namespace

void bind_fanuc_driver(py::module_& m) {
    // Lists of floats (and of float lists) that numpy.asarray takes as they are.
    py::class_<drivers::MotionFeedback>(m, "MotionFeedback", "The joint readings of one motion, oldest first.")
        .def_readonly("times", &drivers::MotionFeedback::times,
                      "Seconds from the motion's start to the middle of each reading's round trip")
        .def_readonly("time_tags", &drivers::MotionFeedback::time_tags, "The controller's TimeTag of each reading")
        .def_readonly("measured", &drivers::MotionFeedback::measured, "Measured joint positions")
        .def_readonly("commanded", &drivers::MotionFeedback::commanded,
                      "Per joint, the commanded value nearest to the measured one within the reading's window")
        .def_readonly("currents", &drivers::MotionFeedback::currents,
                      "Over Stream Motion: the motor currents of each status (empty over RMI)")
        .def_readonly("deviations", &drivers::MotionFeedback::deviations,
                      "Per reading, the largest joint deviation from the commanded path")
        .def_readonly("max_deviation", &drivers::MotionFeedback::max_deviation,
                      "The largest deviation of the motion")
        .def("__len__", [](const drivers::MotionFeedback& self) { return self.times.size(); })
        .def("__repr__", [](const drivers::MotionFeedback& self) {
            return "MotionFeedback(readings=" + std::to_string(self.times.size()) +
                   ", max_deviation=" + std::string(py::repr(py::float_(self.max_deviation))) + ")";
        });


    py::class_<FanucDriver, Driver, std::shared_ptr<FanucDriver>> driver(m, "FanucDriver",
                                                                         "A driver for FANUC robot controllers over RMI.");
    driver
        .def(py::init([](std::shared_ptr<orvane::Planner> planner, const std::string& host, bool sync_with_kelvra,
                         Whole<"the port"> port, Real<"the connect timeout"> connect_timeout, bool stream_motion,
                         Whole<"the Stream Motion port"> stream_motion_port) {
                 return make_driver(std::move(planner), host, sync_with_kelvra, true,
                                    connect_options(port, connect_timeout, stream_motion, stream_motion_port));
             }),
             py::arg("planner"), py::arg("host"), py::arg("sync_with_kelvra") = false, py::kw_only(),
             py::arg("port") = default_port(), py::arg("connect_timeout") = default_connect_timeout(),
             py::arg("stream_motion") = false, py::arg("stream_motion_port") = default_stream_motion_port(),
             "Starts an Fanuc Robot Driver using RMI (stream_motion=True: moves the arm over Stream Motion).")
        .def(py::init([](std::shared_ptr<orvane::Planner> planner, std::shared_ptr<orvane::Robot> robot,
                         const std::string& host, bool sync_with_kelvra, Whole<"the port"> port,
                         Real<"the connect timeout"> connect_timeout, bool stream_motion,
                         Whole<"the Stream Motion port"> stream_motion_port) {
                 return make_driver(std::move(planner), std::move(robot), host, sync_with_kelvra, true,
                                    connect_options(port, connect_timeout, stream_motion, stream_motion_port));
             }),
             py::arg("planner"), py::arg("robot"), py::arg("host"), py::arg("sync_with_kelvra") = false, py::kw_only(),
             py::arg("port") = default_port(), py::arg("connect_timeout") = default_connect_timeout(),
             py::arg("stream_motion") = false, py::arg("stream_motion_port") = default_stream_motion_port(),
             "Starts an Fanuc Robot Driver using RMI (stream_motion=True: moves the arm over Stream Motion). Controls "
             "the given robot only.")
        .def_property_readonly("motion_interface", &FanucDriver::motion_interface,
                               "'stream_motion' or 'rmi': how the arm is moved")
        .def_property_readonly("stream_motion_limits", getter(&FanucDriver::stream_motion_limits),
                               "The controller's limits read at enable, for Planner.set_limit_table (None over RMI)")
        .def_property_readonly("stream_motion_period", &FanucDriver::stream_motion_period,
                               "The controller's Stream Motion period in seconds (None over RMI or before enable)")
        .def_property_readonly("late_cycles", &FanucDriver::late_cycles,
                               "Stream Motion periods this session in which a command was late or a status missed")
        .def(
            "set_speed_override",
            [](FanucDriver& self, Whole<"the speed override"> value) { return self.set_speed_override(as_int(value)); },
            py::arg("value"), without_gil())
        .def(
            "set_payload", [](FanucDriver& self, const py::handle& schedule) { return set_payload(self, schedule); },
            py::arg("schedule"), set_payload_doc)
        // The keyword this method once had: it always named a schedule.
        .def(
            "set_payload",
            [](FanucDriver& self, const py::handle& weight) {
                if (PyErr_WarnEx(PyExc_DeprecationWarning,
                                 "set_payload(weight=n) selects payload schedule n, not a mass: write "
                                 "set_payload(schedule=n), and set_payload_value() to set a schedule's mass",
                                 1) != 0) {
                    throw py::error_already_set();
                }
                return set_payload(self, weight);
            },
            py::kw_only(), py::arg("weight"), set_payload_doc)
        .def(
            "set_payload_value",
            [](FanucDriver& self, const py::handle& schedule, double mass, const std::vector<double>& centre_of_gravity,
               const std::optional<std::vector<double>>& inertia) {
                drivers::PayloadValue payload;
                payload.mass = mass;
                payload.centre_of_gravity = three_values(centre_of_gravity, "centre_of_gravity", "x, y, z [m]");
                if (inertia) payload.inertia = three_values(*inertia, "inertia", "about x, y, z [kg m^2]");
                const auto number = static_cast<int>(schedule_number(schedule));
                if (const auto fault = FanucDriver::payload_value_fault(number, payload)) {
                    throw py::value_error(*fault);
                }
                py::gil_scoped_release release;
                return self.set_payload_value(number, payload);
            },
            py::arg("schedule"), py::arg("mass"), py::arg("centre_of_gravity"), py::arg("inertia") = py::none(),
            "Set a payload schedule's mass [kg], centre of gravity in the faceplate frame [m] and\n"
            "optionally its inertia about the centre of gravity [kg m^2]. Needs newer controller\n"
            "firmware (older: False, with one warning). Values that cannot be a payload raise\n"
            "ValueError and nothing is sent.")
        .def("close", &FanucDriver::close,
             "Stop the robot if it moves, disable RMI motion and disconnect. Calling it again does nothing.",
             without_gil())
        .def("__enter__", [](const std::shared_ptr<FanucDriver>& self) { return self; })
        .def(
            "__exit__",
            [](FanucDriver& self, const py::object&, const py::object&, const py::object&) {
                py::gil_scoped_release release;
                self.close();
                return false;  // an exception that left the block goes on
            },
            py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"),
            "Leaving the with block by any path closes the driver (the robot stops).")
        .def_property(
            "feedback_rate", [](const FanucDriver& self) { return self.feedback_rate.load(); },
            [](FanucDriver& self, Real<"the feedback rate"> value) { self.feedback_rate = value.value; },
            "Joint readings per second while a motion runs; 0 turns feedback and monitoring off")
        .def_property(
            "path_deviation_window", [](const FanucDriver& self) { return self.path_deviation_window.load(); },
            [](FanucDriver& self, Real<"the path deviation window"> value) { self.path_deviation_window = value.value; },
            "How far back from a reading its commanded value may lie [s]: servo lag plus timing uncertainty")
        .def_property_readonly("last_motion_feedback", getter(&FanucDriver::get_last_motion_feedback),
                               "The joint readings of the last motion, kept until the next one starts");
    driver.def("__repr__", [](const FanucDriver& self) {
        return "FanucDriver(host=" + std::string(py::repr(py::str(self.host))) + ", robot=" +
               std::string(py::repr(py::str(self.robot ? self.robot->name : std::string()))) +
               ", connected=" + (self.is_connected() ? "True" : "False") + ")";
    });
    bind_fanuc_controller(m, driver);
    bind_fanuc_poses(m, driver);
    bind_fanuc_motions(m, driver);
}

}  // namespace orvane::python
