// FutureResult and FutureBool: the shared futures of the asynchronous
// operations, with blocking waits that let other Python threads (and event
// actions on the driver's thread) run, and the await protocol.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <algorithm>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include <orvane/log/log.hpp>

#include "common.hpp"

namespace orvane::python {

namespace {

// A wait's time limit from Python: None waits for ever.
std::optional<std::chrono::steady_clock::time_point> deadline_after(const std::optional<double>& timeout) {
    if (!timeout) return std::nullopt;
    if (!(*timeout >= 0.0)) throw py::value_error("The timeout must be a number of seconds, 0 or more.");
    const auto limit = std::chrono::duration<double>(std::min(*timeout, 1e9));
    return std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit);
}

// Blocks until the operation has finished, or raises TimeoutError at the
// deadline (the operation goes on).
template <class T>
void wait_for_operation(const Future<T>& self, const std::optional<double>& timeout) {
    if (!self.future.valid()) throw py::value_error("The future has no operation.");
    const auto deadline = deadline_after(timeout);
    if (in_event_action() && !self.driver.expired() && !is_ready(self.future, std::chrono::milliseconds(0))) {
        // The action runs on a streaming thread, which would stop streaming
        // while it waits (for ever, when the motion is its own).
        throw std::runtime_error(
            "An event action cannot wait for a motion: start it with an _async operation and return.");
    }
    bool timed_out = false;
    auto raised = wait_interruptibly([&](auto interval) {
        if (deadline) {
            const auto left = *deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) {
                timed_out = !is_ready(self.future, std::chrono::milliseconds(0));
                return true;
            }
            if (left < interval) {
                return is_ready(self.future, std::chrono::duration_cast<std::chrono::milliseconds>(left) +
                                                 std::chrono::milliseconds(1));
            }
        }
        return is_ready(self.future, interval);
    });
    if (raised) stop_and_raise(self.driver.lock(), std::move(*raised));
    if (timed_out) {
        PyErr_SetString(PyExc_TimeoutError, "The operation did not finish in time; it goes on.");
        throw py::error_already_set();
    }
}

// Stops the robot when the await of its unfinished motion is abandoned
// (the task cancelled, a time-out of asyncio.wait_for, Ctrl-C in
// asyncio.run, the coroutine closed): nobody waits for that motion any more.
// The stop begins here and the event loop gets control back at once; the
// controller's answer to the abort (seconds, on a real one) is waited for
// elsewhere, so that the program's other tasks keep running.
template <class T>
void stop_abandoned_motion(const Future<T>& self) {
    if (!self.future.valid() || is_ready(self.future, std::chrono::milliseconds(0))) return;
    const auto driver = self.driver.lock();
    if (!driver) return;
    py::gil_scoped_release release;
    stop_in_background(*driver);
}

// Raises what the coroutine's throw() was given, as generator.throw does:
// an exception instance, or a type with an optional value and traceback.
[[noreturn]] void raise_thrown(const py::object& type, const py::object& value, const py::object& traceback) {
    if (PyExceptionInstance_Check(type.ptr())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(type.ptr())), type.ptr());
    } else if (value.is_none()) {
        PyErr_SetNone(type.ptr());
    } else {
        PyErr_SetObject(type.ptr(), value.ptr());
    }
    if (!traceback.is_none()) {
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetTraceback(raised, traceback.ptr());
        PyErr_SetRaisedException(raised);
    }
    throw py::error_already_set();
}

template <class T>
void bind_future(py::module_& m, const char* name, const char* doc) {
    using Self = Future<T>;
    py::class_<Self>(m, name, doc)
        .def(
            "get",
            [](const Self& self, std::optional<double> timeout) {
                wait_for_operation(self, timeout);
                // Ready: get() returns (or raises the operation's error) at once.
                return self.future.get();
            },
            py::arg("timeout") = py::none(),
            "Wait until the operation has finished and return its result; raises the operation's error.\n"
            "With a timeout [s], raises TimeoutError when it has not finished by then (it goes on).\n"
            "Other Python threads run meanwhile; Ctrl-C stops the robot and raises KeyboardInterrupt.")
        .def(
            "wait", [](const Self& self, std::optional<double> timeout) { wait_for_operation(self, timeout); },
            py::arg("timeout") = py::none(),
            "Wait until the operation has finished. With a timeout [s], raises TimeoutError when it has\n"
            "not finished by then (it goes on). Other Python threads run meanwhile; Ctrl-C stops the\n"
            "robot and raises KeyboardInterrupt.")
        .def(
            "done",
            [](const Self& self) {
                if (!self.future.valid()) throw py::value_error("The future has no operation.");
                return is_ready(self.future, std::chrono::milliseconds(0));
            },
            "Whether the operation has finished (without waiting).")
        .def(
            "__await__", [](const Self& self) { return Self(self); },
            "A new future of the same operation that serves as the awaitable's iterator.")
        .def(
            "__next__",
            [](const Self& self) -> py::object {
                if (!self.future.valid()) throw py::value_error("The future has no operation.");
                if (!is_ready(self.future, std::chrono::milliseconds(0))) {
                    // In an asyncio task: sleep on a future the operation's end
                    // completes. Driven by hand: None, poll again.
                    return asyncio_waiter([future = self.future] { future.wait(); });
                }
                py::object value = py::cast(self.future.get());
                // StopIteration(value) ends the await with the value.
                const py::object stop = py::reinterpret_borrow<py::object>(PyExc_StopIteration)(value);
                PyErr_SetObject(PyExc_StopIteration, stop.ptr());
                throw py::error_already_set();
            },
            "Poll without blocking: None while the operation runs (inside an asyncio task, a future to\n"
            "sleep on), then StopIteration(result).")
        .def(
            "throw",
            [](const Self& self, const py::object& type, const py::object& value, const py::object& traceback) {
                stop_abandoned_motion(self);
                raise_thrown(type, value, traceback);
            },
            py::arg("type"), py::arg("value") = py::none(), py::arg("traceback") = py::none(),
            "The awaiting coroutine was interrupted (cancelled, timed out): stops the robot when this is\n"
            "an unfinished motion, then raises the exception in the coroutine.")
        .def(
            "close", [](const Self& self) { stop_abandoned_motion(self); },
            "The awaiting coroutine was closed: stops the robot when this is an unfinished motion.")
        .def("__repr__", [name](const Self& self) {
            const std::string kind = name;
            if (!self.future.valid()) return kind + "(no operation)";
            if (!is_ready(self.future, std::chrono::milliseconds(0))) return kind + "(running)";
            try {
                return kind + "(done: " + std::string(py::repr(py::cast(self.future.get()))) + ")";
            } catch (const std::exception& error) {
                return kind + "(failed: " + error.what() + ")";
            }
        });
}

// One thread waits for every dropped, unfinished operation in turn, so that
// its shared state goes there. Leaked on purpose: it must outlive every
// static object, since the process may end while it waits.
class Reaper {
public:
    static Reaper& instance() {
        static Reaper* reaper = new Reaper();
        return *reaper;
    }

    void add(std::function<void()> wait) {
        {
            std::lock_guard lock(mutex_);
            waits_.push_back(std::move(wait));
        }
        wakeup_.notify_one();
    }

private:
    Reaper() { std::thread([this] { work(); }).detach(); }

    void work() {
        for (;;) {
            std::function<void()> wait;
            {
                std::unique_lock lock(mutex_);
                wakeup_.wait(lock, [this] { return !waits_.empty(); });
                wait = std::move(waits_.front());
                waits_.pop_front();
            }
            wait();  // waits, then drops the state with the function object
        }
    }

    std::mutex mutex_;
    std::condition_variable wakeup_;
    std::deque<std::function<void()>> waits_;
};

template <class T>
void release_later(std::shared_future<T> future) {
    try {
        Reaper::instance().add([future = std::move(future)] { future.wait(); });
    } catch (const std::exception&) {
        // No thread or memory to be had: the state goes here, as it would have.
    }
}

}  // namespace

void release_in_background(std::shared_future<drivers::Result> future) { release_later(std::move(future)); }
void release_in_background(std::shared_future<bool> future) { release_later(std::move(future)); }

void stop_after_interruption(Driver& driver) noexcept {
    try {
        const drivers::Result result = driver.stop(true);
        if (result.code != drivers::Result::Success.code) {
            log::log_error("driver", "Stopping the robot after an interruption failed: " + result.message);
        }
    } catch (const std::exception& error) {
        log::log_error("driver", std::string("Stopping the robot after an interruption failed: ") + error.what());
    }
}

void stop_in_background(Driver& driver) noexcept {
    try {
        auto stopping = driver.stop_async(true);
        Reaper::instance().add([stopping = std::move(stopping)] {
            try {
                const drivers::Result result = stopping.get();
                if (result.code != drivers::Result::Success.code) {
                    log::log_error("driver", "Stopping the robot after an abandoned motion failed: " + result.message);
                }
            } catch (const std::exception& error) {
                log::log_error("driver",
                               std::string("Stopping the robot after an abandoned motion failed: ") + error.what());
            }
        });
    } catch (const std::exception& error) {
        log::log_error("driver", std::string("Stopping the robot after an abandoned motion failed: ") + error.what());
    }
}

void stop_and_raise(const std::shared_ptr<Driver>& driver, py::error_already_set&& raised) {
    if (driver) {
        py::gil_scoped_release release;
        stop_after_interruption(*driver);
    }
    throw std::move(raised);
}

void bind_futures(py::module_& m) {
    bind_future<drivers::Result>(m, "FutureResult", "The Result of an asynchronous operation, when it is done.");
    bind_future<bool>(m, "FutureBool", "The outcome of an asynchronous pause, when it is done.");
}

}  // namespace orvane::python
