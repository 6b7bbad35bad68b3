// FutureResult and FutureBool: the shared futures of the asynchronous
// operations, with blocking waits that let other Python threads (and event
// actions on the driver's thread) run, and the await protocol.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include <orvane/log/log.hpp>

#include "common.hpp"

namespace orvane::python {

namespace {

template <class T>
void wait_for_operation(const Future<T>& self) {
    if (!self.future.valid()) throw py::value_error("The future has no operation.");
    if (in_event_action() && !self.driver.expired() && !is_ready(self.future, std::chrono::milliseconds(0))) {
        // The action runs on a streaming thread, which would stop streaming
        // while it waits (for ever, when the motion is its own).
        throw std::runtime_error(
            "An event action cannot wait for a motion: start it with an _async operation and return.");
    }
    auto raised = wait_interruptibly([&](auto interval) { return is_ready(self.future, interval); });
    if (raised) stop_and_raise(self.driver.lock(), std::move(*raised));
}

template <class T>
void bind_future(py::module_& m, const char* name, const char* doc) {
    using Self = Future<T>;
    py::class_<Self>(m, name, doc)
        .def(
            "get",
            [](const Self& self) {
                wait_for_operation(self);
                // Ready: get() returns (or raises the operation's error) at once.
                return self.future.get();
            },
            "Wait until the operation has finished and return its result; raises the operation's error.\n"
            "Other Python threads run meanwhile; Ctrl-C stops the robot and raises KeyboardInterrupt.")
        .def(
            "wait", [](const Self& self) { wait_for_operation(self); },
            "Wait until the operation has finished. Other Python threads run meanwhile; Ctrl-C stops\n"
            "the robot and raises KeyboardInterrupt.")
        .def(
            "__await__", [](const Self& self) { return Self(self); },
            "A new future of the same operation that serves as the awaitable's iterator.")
        .def(
            "__next__",
            [](const Self& self) -> py::object {
                if (!self.future.valid()) throw py::value_error("The future has no operation.");
                if (!is_ready(self.future, std::chrono::milliseconds(0))) return py::none();
                py::object value = py::cast(self.future.get());
                // StopIteration(value) ends the await with the value.
                const py::object stop = py::reinterpret_borrow<py::object>(PyExc_StopIteration)(value);
                PyErr_SetObject(PyExc_StopIteration, stop.ptr());
                throw py::error_already_set();
            },
            "Poll without blocking: None while the operation runs, then StopIteration(result).");
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
