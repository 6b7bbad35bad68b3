// The drivers Python code constructed, and the exit hook that stops them.
//
// A driver destroyed while it streams waits for the motion to end, and at
// the end of a script (or after an unhandled exception) nothing will ever
// ask it to stop: the hook, run by `atexit` before the interpreter drops its
// objects, stops every driver that is still moving.

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "common.hpp"

namespace orvane::python {

namespace {

// Guards `drivers`; taken alone (never while a driver operation runs).
std::mutex drivers_mutex;
std::vector<std::weak_ptr<Driver>> drivers;

}  // namespace

void register_live_driver(const std::shared_ptr<Driver>& driver) {
    std::lock_guard lock(drivers_mutex);
    std::erase_if(drivers, [](const std::weak_ptr<Driver>& known) { return known.expired(); });
    drivers.push_back(driver);
}

void stop_live_drivers() {
    std::vector<std::shared_ptr<Driver>> moving;
    {
        std::lock_guard lock(drivers_mutex);
        for (const auto& known : drivers) {
            if (auto driver = known.lock(); driver && driver->is_running()) moving.push_back(std::move(driver));
        }
    }
    if (moving.empty()) return;
    {
        py::gil_scoped_release release;
        for (const auto& driver : moving) stop_after_interruption(*driver);
    }
    // The last reference may go here: the destructor releases the lock itself.
    moving.clear();
}

}  // namespace orvane::python
