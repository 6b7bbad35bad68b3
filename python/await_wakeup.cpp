// Awaiting a driver future in asyncio without polling: the coroutine is
// suspended on an asyncio future of the running loop, and a thread of our own
// completes it (through call_soon_threadsafe) when the operation has ended.
// The awaiting process spends no CPU until then.

#include <Python.h>

#include <exception>
#include <functional>
#include <thread>
#include <utility>

#include "common.hpp"

namespace orvane::python {

namespace {

// The loop's callback: completes the waiter unless it was cancelled meanwhile.
void wake_waiter(py::object waiter) {
    if (!waiter.attr("done")().cast<bool>()) waiter.attr("set_result")(py::none());
}

// Two strong references that the waking thread owns; created and released
// with the interpreter lock held.
struct WakeTarget {
    PyObject* loop;
    PyObject* waiter;
};

void wake_from_thread(WakeTarget target) noexcept {
    // A process that is shutting down has no loop left to wake; the thread
    // must not touch the interpreter then (the references are left behind).
    if (interpreter_finalizing()) return;
    const PyGILState_STATE state = PyGILState_Ensure();
    try {
        py::handle loop(target.loop);
        static const auto* callback = new py::object(py::cpp_function(&wake_waiter));
        loop.attr("call_soon_threadsafe")(*callback, py::handle(target.waiter));
    } catch (py::error_already_set&) {
        // The loop was closed meanwhile: nobody waits any more.
    } catch (const std::exception&) {
    }
    Py_DECREF(target.waiter);
    Py_DECREF(target.loop);
    PyGILState_Release(state);
}

}  // namespace

py::object asyncio_waiter(std::function<void()> wait_until_done) {
    static const auto* get_running_loop =
        new py::object(py::module_::import("asyncio").attr("_get_running_loop"));
    py::object loop = (*get_running_loop)();
    if (loop.is_none()) return py::none();  // driven by hand: keep polling

    py::object waiter = loop.attr("create_future")();
    WakeTarget target{loop.inc_ref().ptr(), waiter.inc_ref().ptr()};
    try {
        std::thread([target, wait = std::move(wait_until_done)] {
            try {
                wait();
            } catch (...) {
                // A broken state is ready as well: the await reads its error.
            }
            wake_from_thread(target);
        }).detach();
    } catch (const std::exception&) {
        Py_DECREF(target.waiter);
        Py_DECREF(target.loop);
        return py::none();  // no thread to be had: the coroutine polls instead
    }
    // How an asyncio task recognises a future it should sleep on.
    waiter.attr("_asyncio_future_blocking") = true;
    return waiter;
}

}  // namespace orvane::python
