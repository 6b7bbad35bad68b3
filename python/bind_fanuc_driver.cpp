// FanucDriver: the only driver Python code constructs. It always connects at
// construction, and raises OrvaneError when the controller cannot be reached.

#include <memory>
#include <string>
#include <utility>

#include <orvane/drivers/fanuc/fanuc_driver.hpp>

#include "common.hpp"

namespace orvane::python {

using drivers::FanucDriver;
void bind_fanuc_controller(py::module_& m, py::class_<FanucDriver, Driver, std::shared_ptr<FanucDriver>>& driver);

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

template <class... Arguments>
std::shared_ptr<FanucDriver> make_driver(Arguments&&... arguments) {
    return std::shared_ptr<FanucDriver>(new FanucDriver(std::forward<Arguments>(arguments)...), DeleteWithoutLock{});
}

}  // namespace

void bind_fanuc_driver(py::module_& m) {
    py::class_<FanucDriver, Driver, std::shared_ptr<FanucDriver>> driver(m, "FanucDriver",
                                                                         "A driver for FANUC robot controllers over RMI.");
    driver
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
        .def("set_payload", &FanucDriver::set_payload, py::arg("weight"));
    bind_fanuc_controller(m, driver);
}

}  // namespace orvane::python
