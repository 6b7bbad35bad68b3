#pragma once

// Shared by the binding sources of the `orvane_driver_fanuc` module.
//
// Every source includes pybind11/stl.h, so that std::vector, std::optional
// and std::variant convert the same way everywhere (lists, None, unions).

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <orvane/drivers/driver.hpp>
#include <orvane/drivers/result.hpp>

namespace orvane::python {

namespace py = pybind11;
using drivers::Driver;

// THE INTERPRETER LOCK RULE, for every binding of a driver:
//
//   A binding that may wait - for the controller's answer, for the driver's
//   streaming thread (a lock it holds, the end of a run, an event action that
//   needs this very lock to run), or for another thread's operation - runs
//   without the interpreter lock: `without_gil` on a def, `getter`/`setter`
//   (below) on a property. Only bindings that read or write a plain field or
//   an atomic of the driver keep the lock.
//
// Arguments are converted before the lock is let go and results after it is
// taken back, so a binding under the rule never touches Python objects
// while it waits. Blocking motions and future waits go further (they wait in
// slices, so that Ctrl-C is seen): run_motion and wait_interruptibly.
using without_gil = py::call_guard<py::gil_scoped_release>;

/// A property accessor that runs under the rule above.
template <class Function>
py::cpp_function getter(Function&& function) {
    return py::cpp_function(std::forward<Function>(function), without_gil());
}
template <class Function>
py::cpp_function setter(Function&& function) {
    return py::cpp_function(std::forward<Function>(function), without_gil());
}

// Registration, in the order the module's initialiser calls them.
void bind_result(py::module_& m);
void bind_futures(py::module_& m);
void bind_controller_status(py::module_& m);
void bind_robot_state(py::module_& m);
void bind_events(py::module_& m);
void bind_driver(py::module_& m);
void bind_fanuc_driver(py::module_& m);
void bind_logging(py::module_& m);

/// Whether the interpreter is shutting down: a thread of our own must not
/// take the interpreter lock then.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Why this module cannot run in the interpreter `implementation` (as in
// sys.implementation.name) of version major.minor; empty when it can.
std::optional<std::string> interpreter_error(const std::string& implementation, int major, int minor);

// How often a blocking wait looks for Ctrl-C (and any other signal whose
// Python handler raises).
inline constexpr std::chrono::milliseconds signal_poll_interval{50};

/// Waits, without the interpreter lock, until `ready(interval)` returns true.
/// Between two polls it takes the lock and runs the signal handlers: when one
/// raises (KeyboardInterrupt), the Python error is taken out of the
/// interpreter and returned, and the wait ends early. Called with the lock
/// held; returns with it held.
template <class Ready>
std::optional<py::error_already_set> wait_interruptibly(Ready&& ready) {
    std::optional<py::error_already_set> raised;
    py::gil_scoped_release release;
    while (!ready(signal_poll_interval)) {
        py::gil_scoped_acquire acquire;
        if (PyErr_CheckSignals() != 0) {
            raised.emplace();  // fetches (and clears) the pending error
            break;
        }
    }
    return raised;
}

template <class Future>
bool is_ready(const Future& future, std::chrono::milliseconds interval) {
    return future.wait_for(interval) == std::future_status::ready;
}

/// Whether this thread is running a Python event action (on a driver's
/// streaming thread).
bool in_event_action() noexcept;

/// Brings the driver's robot to rest after the user interrupted a wait on a
/// motion; a failure is logged, since the interruption is what the user must
/// see. Called WITHOUT the interpreter lock.
void stop_after_interruption(Driver& driver) noexcept;

/// Inside a running asyncio loop: an asyncio future of that loop that is
/// completed (from a thread of its own, through call_soon_threadsafe) once
/// `wait_until_done` returns; a task awaiting it sleeps until then. None
/// outside a running loop. Called with the interpreter lock held.
py::object asyncio_waiter(std::function<void()> wait_until_done);

/// Drivers constructed from Python, so that the exit hook can stop them.
void register_live_driver(const std::shared_ptr<Driver>& driver);
/// Stops every live driver that is moving (the module's exit hook: an
/// unhandled exception or the end of the script must not leave the robot
/// moving, nor wait for the motion to end). Called with the lock held.
void stop_live_drivers();

/// Begins stopping the robot and returns at once: the stop is under way
/// (nothing more is sent, a motion requested next waits for it); its outcome
/// is waited for on another thread and logged when it is a failure. Called
/// WITHOUT the interpreter lock.
void stop_in_background(Driver& driver) noexcept;

/// Stops the robot (when there is a driver) and re-raises the interruption.
/// Called with the lock held.
[[noreturn]] void stop_and_raise(const std::shared_ptr<Driver>& driver, py::error_already_set&& raised);

/// A shared future as Python sees it: the operation's shared state, and the
/// driver to stop when the user interrupts a wait for a motion (empty for
/// operations that move nothing).
template <class T>
struct Future {
    std::shared_future<T> future;
    std::weak_ptr<Driver> driver;

    Future() = default;
    Future(std::shared_future<T> future, std::weak_ptr<Driver> driver)
        : future(std::move(future)), driver(std::move(driver)) {}
    Future(const Future&) = default;
    Future& operator=(const Future&) = default;
    Future(Future&&) noexcept = default;
    Future& operator=(Future&&) noexcept = default;
    ~Future();
};

using FutureResult = Future<drivers::Result>;
using FutureBool = Future<bool>;

/// Keeps a shared state that is not ready yet alive on a thread of its own:
/// the last reference to a state made by std::async joins the operation's
/// thread when it goes, which would block whoever drops it.
void release_in_background(std::shared_future<drivers::Result> future);
void release_in_background(std::shared_future<bool> future);

template <class T>
Future<T>::~Future() {
    if (future.valid() && future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        release_in_background(std::move(future));
    }
}

}  // namespace orvane::python
