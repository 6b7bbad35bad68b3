// FanucDriver: the only driver Python code constructs. It always connects at
// construction, and raises OrvaneError when the controller cannot be reached.

#include <memory>
#include <string>
#include <utility>

#include <orvane/drivers/fanuc/fanuc_driver.hpp>

#include "common.hpp"

namespace orvane::python {

namespace {

using drivers::FanucDriver;

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

template <class... Arguments>
std::shared_ptr<FanucDriver> make_driver(Arguments&&... arguments) {
    std::shared_ptr<FanucDriver> driver(new FanucDriver(std::forward<Arguments>(arguments)...), DeleteWithoutLock{});
    register_live_driver(driver);
    return driver;
}

}  // namespace

void bind_fanuc_driver(py::module_& m) {
    py::class_<FanucDriver, Driver, std::shared_ptr<FanucDriver>>(m, "FanucDriver",
                                                                  "A driver for FANUC robot controllers over RMI.")
        .def(py::init([](std::shared_ptr<orvane::Planner> planner, const std::string& host, bool sync_with_kelvra) {
                 return make_driver(std::move(planner), host, sync_with_kelvra, true);
             }),
             py::arg("planner"), py::arg("host"), py::arg("sync_with_kelvra") = false,
             "Starts an Fanuc Robot Driver using RMI.")
        .def(py::init([](std::shared_ptr<orvane::Planner> planner, std::shared_ptr<orvane::Robot> robot,
                         const std::string& host, bool sync_with_kelvra) {
                 return make_driver(std::move(planner), std::move(robot), host, sync_with_kelvra, true);
             }),
             py::arg("planner"), py::arg("robot"), py::arg("host"), py::arg("sync_with_kelvra") = false,
             "Starts an Fanuc Robot Driver using RMI. Controls the given robot only.")
        .def("set_speed_override", &FanucDriver::set_speed_override, py::arg("value"))
        .def("set_payload", &FanucDriver::set_payload, py::arg("weight"))
        .def("close", &FanucDriver::close,
             "Stop the robot if it moves, disable RMI motion and disconnect. Calling it again does nothing.",
             py::call_guard<py::gil_scoped_release>())
        .def("__enter__", [](const std::shared_ptr<FanucDriver>& self) { return self; })
        .def(
            "__exit__",
            [](FanucDriver& self, const py::object&, const py::object&, const py::object&) {
                py::gil_scoped_release release;
                self.close();
                return false;  // an exception that left the block goes on
            },
            py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"),
            "Leaving the with block by any path closes the driver (the robot stops).");
}

}  // namespace orvane::python
