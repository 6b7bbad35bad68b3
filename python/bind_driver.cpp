// The abstract class Driver: every user-facing operation of the driver core.
//
// Every binding follows the interpreter lock rule of common.hpp. A
// synchronous motion runs on a helper thread while the caller waits for it in
// slices, so that Ctrl-C stops the robot and raises at once.

#include <cstddef>
#include <exception>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>
#include <orvane/log/log.hpp>
#include <orvane/motion/kelvra.hpp>

#include "arguments.hpp"
#include "common.hpp"

namespace orvane::python {

namespace {

using drivers::Result;
using DriverPtr = std::shared_ptr<Driver>;
using AliasName = Text<"the I/O alias name">;
using Speed = Real<"the speed">;
using Duration = Real<"the duration">;

// Runs `call` (a blocking motion of `driver`) and returns its Result. On
// KeyboardInterrupt (or any exception a signal handler raises) the robot is
// stopped and the exception is raised once the call has ended: the call
// refers to arguments that this frame owns.
//
// Inside an event action the call stays on the driver's streaming thread,
// where the driver recognises it and refuses to wait for itself.
template <class Call>
Result run_motion(Driver& driver, Call&& call) {
    if (in_event_action()) {
        py::gil_scoped_release release;
        return call();
    }
    std::future<Result> pending = std::async(std::launch::async, std::forward<Call>(call));
    auto raised = wait_interruptibly([&](auto interval) { return is_ready(pending, interval); });
    if (raised) {
        {
            py::gil_scoped_release release;
            stop_after_interruption(driver);
            pending.wait();
        }
        throw std::move(*raised);
    }
    return pending.get();
}

template <class T>
Future<T> motion_future(const DriverPtr& driver, std::shared_future<T> future) {
    return Future<T>(std::move(future), driver);
}

// Python cannot call kelvra_reconnect, so assigning a client is how a driver
// constructed with sync_with_kelvra=True starts mirroring (the robot is
// registered with the new client and its commanded position streamed to it).
// The synchronisation thread reads `kelvra`: it is stopped before the client
// is replaced (the old client unregisters the robot).
void set_kelvra(Driver& driver, std::shared_ptr<orvane::Kelvra> kelvra) {
    if (kelvra == driver.kelvra) return;
    if (driver.kelvra_sync_thread.joinable()) driver.kelvra_disconnect();
    driver.kelvra = std::move(kelvra);
    if (!driver.sync_with_kelvra || !driver.kelvra) return;
    try {
        driver.kelvra->run_action(
            orvane::Kelvra::Action("register-robot", nlohmann::json{{"name", driver.robot->name}}));
    } catch (const std::exception& error) {
        // The synchronisation task reports a client that cannot send, once.
        log::log_warn("driver", std::string("Could not register the robot with Kelvra: ") + error.what());
    }
    driver.kelvra_sync_running.store(true);
    driver.kelvra_sync_thread = std::thread(&Driver::kelvra_sync_task, &driver);
}

constexpr const char* blend_doc =
    "Blend into a trajectory.\n\nBlend into the new trajectory from the current state, so that the\n"
    "robot will be on the given trajectory exactly after the duration time\n[s].";
constexpr const char* blend_async_doc =
    "Blend into a trajectory asynchronously.\n\nBlend into the new trajectory from the current state, so that "
    "the\nrobot will be on the given trajectory exactly after the duration time\n[s].";
constexpr const char* pause_doc =
    "Pause along the currently executed trajectory. Driver will be in\npaused state afterwards, except the "
    "motion did finish while pausing.";

}  // namespace

void bind_driver(py::module_& m) {
    using release = without_gil;

    py::class_<Driver, DriverPtr> driver(m, "Driver", "A robot driver (abstract: construct a FanucDriver).");

    // --- attributes ---------------------------------------------------------------
    driver.def_readonly("host", &Driver::host, "The host address of the robot controller")
        .def_readonly("port", &Driver::port, "The port of the robot controller")
        .def_readonly("degrees_of_freedom", &Driver::degrees_of_freedom, "Degrees of freedom of the robot")
        .def_readonly("delta_time", &Driver::delta_time, "Control interval of the robot's driver")
        .def_property(
            "connect_timeout", [](const Driver& self) { return self.connect_timeout; },
            [](Driver& self, Real<"the connect timeout"> value) {
                if (!(value.value > 0.0) || value.value > 86400.0) {
                    throw py::value_error("The connect timeout must be a number of seconds above 0 and at most 86400.");
                }
                self.connect_timeout = value.value;
            },
            "Seconds a connection to the controller may take (reconnect; set at construction)")
        .def_property(
            "path_deviation_error_threshold",
            [](const Driver& self) { return self.path_deviation_error_threshold.load(); },
            [](Driver& self, double value) { self.path_deviation_error_threshold = value; })
        .def_property(
            "monitor_path_deviation", [](const Driver& self) { return self.monitor_path_deviation.load(); },
            [](Driver& self, bool value) { self.monitor_path_deviation = value; },
            "Monitor the path deviation between planned and executed trajectory")
        // Assignment refuses unusable durations with ValueError.
        .def_property(
            "pausing_duration", [](const Driver& self) { return self.pausing_duration; },
            [](Driver& self, Real<"the pausing duration"> seconds) { self.set_pausing_duration(seconds.value); })
        .def_readonly("log_motions", &Driver::log_motions, "Whether to log motions")
        .def_property(
            "kelvra", [](const Driver& self) { return self.kelvra; }, setter(&set_kelvra),
            "The underlying connection to Orvane Kelvra")
        .def_property("speed", getter(&Driver::get_speed),
                      setter([](Driver& self, Speed speed) { self.set_speed(speed.value); }),
                      "Set the driver's speed scaling. A speed of zero corresponds to the\npaused state.")
        .def_property_readonly("total_motion_time", &Driver::get_total_motion_time,
                               "Get the total motion time of all executed motions since driver\nconstruction")
        .def_property_readonly("current_joint_position", getter(&Driver::get_current_joint_position),
                               "Get and read current joint position")
        .def_property_readonly("current_state", getter(&Driver::get_current_state),
                               "Get and read current robot state")
        .def_property_readonly("is_connected", &Driver::is_connected)
        .def_property_readonly("controller_status", getter(&Driver::get_controller_status))
        .def_property_readonly("is_running", &Driver::is_running, "Whether the robot is moving right now")
        .def_property_readonly("is_paused", getter(&Driver::is_paused), "Is the robot currently in a paused state?")
        .def_property_readonly("last_error", &Driver::get_last_error,
                               "Why this driver's last operation was refused or failed; empty after a success");

    // --- connection and enabling --------------------------------------------------
    driver
        .def("reconnect", &Driver::reconnect,
             "Connect to the robot, in particular after an external disconnection.\n"
             "Returns reconnection success.",
             release())
        // Without the lock: a motion in progress is stopped first, and its
        // streaming thread may need the lock for an event action to end.
        .def("disconnect", &Driver::disconnect, "Disconnect from the robot. Returns disconnection success.",
             release())
        .def("enable", &Driver::enable, "Enable robot's servos (if available).", release())
        .def(
            "enable_async", [](Driver& self) { return FutureResult(self.enable_async().share(), {}); }, release())
        .def("disable", &Driver::disable, "Disable robot's servos (if available).", release())
        .def(
            "disable_async", [](Driver& self) { return FutureResult(self.disable_async().share(), {}); },
            release());

    // --- motion ----------------------------------------------------------------------
    driver
        .def(
            "run",
            [](Driver& self, const orvane::Trajectory& trajectory) {
                return run_motion(self, [&] { return self.run(trajectory); });
            },
            py::arg("trajectory"), "Run a trajectory.")
        .def(
            "run_async",
            [](const DriverPtr& self, const orvane::Trajectory& trajectory) {
                return motion_future(self, self->run_async(trajectory));
            },
            py::arg("trajectory"), "Run a trajectory asynchronously.", release())
        .def(
            "move_to",
            [](Driver& self, const orvane::Goal& goal, bool ignore_collisions) {
                return run_motion(self, [&] { return self.move_to(goal, ignore_collisions); });
            },
            py::arg("goal"), py::arg("ignore_collisions") = false, "Move to an exact waypoint.")
        .def(
            "move_to_async",
            [](const DriverPtr& self, const orvane::Goal& point, bool ignore_collisions) {
                return motion_future(self, self->move_to_async(point, ignore_collisions));
            },
            py::arg("point"), py::arg("ignore_collisions") = false, "Move to an exact waypoint asynchronously.",
            release())
        .def(
            "move_along",
            [](Driver& self, const std::string& name, const std::optional<orvane::Goal>& goal,
               bool ignore_collisions) {
                return run_motion(self, [&] { return self.move_along(name, goal, ignore_collisions); });
            },
            py::arg("name"), py::arg("goal") = py::none(), py::arg("ignore_collisions") = false,
            "Move along a pre-defined motion.")
        .def(
            "move_along_async",
            [](const DriverPtr& self, const std::string& name, const std::optional<orvane::Goal>& goal,
               bool ignore_collisions) {
                return motion_future(self, self->move_along_async(name, goal, ignore_collisions));
            },
            py::arg("name"), py::arg("goal") = py::none(), py::arg("ignore_collisions") = false,
            "Move along a pre-defined motion asynchronously.", release())
        .def(
            "blend_into",
            [](Driver& self, const orvane::Trajectory& trajectory, double duration) {
                return run_motion(self, [&] { return self.blend_into(trajectory, duration); });
            },
            py::arg("trajectory"), py::arg("duration"), blend_doc)
        .def(
            "blend_into_async",
            [](const DriverPtr& self, const orvane::Trajectory& trajectory, double duration) {
                return motion_future(self, self->blend_into_async(trajectory, duration));
            },
            py::arg("trajectory"), py::arg("duration"), blend_async_doc, release())
        .def("stop", &Driver::stop, py::arg("fast_stop") = true, "Stop a motion as fast as possible", release())
        .def(
            "stop_async",
            [](Driver& self, bool fast_stop) { return FutureResult(self.stop_async(fast_stop), {}); },
            py::arg("fast_stop") = true, "Stop a motion as fast as possible asynchronously.", release())
        .def("pause", &Driver::pause, pause_doc, release())
        .def(
            "pause_async",
            [](const DriverPtr& self) { return motion_future(self, self->pause_async().share()); }, pause_doc,
            release())
        .def(
            "resume",
            [](Driver& self) { return run_motion(self, [&] { return self.resume(); }); },
            "Resume a paused trajectory.")
        .def(
            "resume_async", [](const DriverPtr& self) { return motion_future(self, self->resume_async()); },
            "Resume a paused trajectory asynchronously.", release());

    // --- speed, constraints and events --------------------------------------------
    driver
        .def(
            "set_speed",
            [](Driver& self, Speed speed, Duration duration) { self.set_speed(speed.value, duration.value); },
            py::arg("speed"), py::arg("duration"),
            "Set the driver's speed scaling gracefully, change it linearly within\n"
            "the duration. If the robot is not running, set the speed immediately.",
            release())
        .def("reset_speed", &Driver::reset_speed, "Set the driver's speed to the last set value.", release())
        .def(
            "set_tcp_velocity_constraint",
            [](Driver& self, std::optional<Real<"the TCP velocity constraint">> limit) {
                self.set_tcp_velocity_constraint(limit ? std::optional<double>(limit->value) : std::nullopt);
            },
            py::arg("max_tcp_velocity"), "Set a maximum TCP velocity constraint [m/s].", release())
        .def("add_event", &Driver::add_event, py::arg("trigger"), py::arg("action"), release());

    // --- I/O ---------------------------------------------------------------------------
    constexpr const char* alias_doc = "Give I/O address an alias name";
    driver
        .def(
            "create_io_alias",
            [](Driver& self, AliasName name, Whole<"the I/O address"> address) {
                self.create_io_alias(name.value, as_unsigned(address));
            },
            py::arg("name"), py::arg("address"), alias_doc, release())
        .def(
            "create_io_alias",
            [](Driver& self, AliasName name, Whole<"the input address"> address_in,
               Whole<"the output address"> address_out) {
                self.create_io_alias(name.value, as_unsigned(address_in), as_unsigned(address_out));
            },
            py::arg("name"), py::arg("address_in"), py::arg("address_out"), alias_doc, release())
        .def(
            "get_digital_input", [](Driver& self, AliasName name) { return self.get_digital_input(name.value); },
            py::arg("name"), "Read a digital input.", release())
        .def(
            "set_digital_output",
            [](Driver& self, AliasName name, Whole<"the output value"> value) {
                return self.set_digital_output(name.value, as_int(value));
            },
            py::arg("name"), py::arg("value"), "Write to a digital output. Returns whether successful.", release())
        .def(
            "get_analog_input", [](Driver& self, AliasName name) { return self.get_analog_input(name.value); },
            py::arg("name"), "Read a analog input.", release())
        .def(
            "set_analog_output",
            [](Driver& self, AliasName name, Real<"the output value"> value) {
                return self.set_analog_output(name.value, value.value);
            },
            py::arg("name"), py::arg("value"), "Write to a analog output. Returns whether successful.", release())
        .def(
            "get_group_input", [](Driver& self, AliasName name) { return self.get_group_input(name.value); },
            py::arg("name"), "Read a group input.", release())
        .def(
            "set_group_output",
            [](Driver& self, AliasName name, Whole<"the output value"> value) {
                return self.set_group_output(name.value, as_int(value));
            },
            py::arg("name"), py::arg("value"), "Write to a group output. Returns whether successful.", release())
        .def(
            "get_int_register", [](Driver& self, AliasName name) { return self.get_int_register(name.value); },
            py::arg("name"), release())
        .def(
            "set_int_register",
            [](Driver& self, AliasName name, Whole<"the register value"> value) {
                return self.set_int_register(name.value, as_int(value));
            },
            py::arg("name"), py::arg("value"), release())
        .def(
            "get_double_register", [](Driver& self, AliasName name) { return self.get_double_register(name.value); },
            py::arg("name"), release())
        .def(
            "set_double_register",
            [](Driver& self, AliasName name, Real<"the register value"> value) {
                return self.set_double_register(name.value, value.value);
            },
            py::arg("name"), py::arg("value"), release());
}

}  // namespace orvane::python
