// The Kelvra client, its actions and message handlers, and KelvraError.
//
// Message handlers are Python callables run on the client's own thread: each
// call takes the interpreter lock. Operations that wait for that thread (a
// reconnection, disconnect, the client's destruction) release the lock first,
// or a handler waiting for it would never finish.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <orvane/motion/error.hpp>
#include <orvane/motion/kelvra.hpp>

#include "common.hpp"

namespace orvane::python {

namespace {

using json = nlohmann::json;

bool interpreter_usable() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsInitialized() && !Py_IsFinalizing();
#else
    return Py_IsInitialized() && !_Py_IsFinalizing();
#endif
}

py::object to_python(const json& value) {
    switch (value.type()) {
        case json::value_t::null:
        case json::value_t::discarded:
            return py::none();
        case json::value_t::boolean:
            return py::bool_(value.get<bool>());
        case json::value_t::number_integer:
            return py::int_(value.get<std::int64_t>());
        case json::value_t::number_unsigned:
            return py::int_(value.get<std::uint64_t>());
        case json::value_t::number_float:
            return py::float_(value.get<double>());
        case json::value_t::string:
            return py::str(value.get_ref<const std::string&>());
        case json::value_t::binary: {
            const auto& bytes = value.get_binary();
            return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        }
        case json::value_t::array: {
            py::list list;
            for (const auto& item : value) list.append(to_python(item));
            return list;
        }
        case json::value_t::object: {
            py::dict dict;
            for (const auto& [key, item] : value.items()) dict[py::str(key)] = to_python(item);
            return dict;
        }
    }
    return py::none();
}

// Accepts what json.dumps accepts, plus numpy scalars and arrays.
json to_json(const py::handle& value, int depth = 0) {
    if (depth > 256) throw py::value_error("Kelvra data nests too deeply (or contains itself)");
    if (value.is_none()) return nullptr;
    if (PyBool_Check(value.ptr())) return value.cast<bool>();
    if (PyLong_Check(value.ptr())) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow == 0) return static_cast<std::int64_t>(number);
        if (overflow > 0) {
            const unsigned long long positive = PyLong_AsUnsignedLongLong(value.ptr());
            if (!PyErr_Occurred()) return static_cast<std::uint64_t>(positive);
            PyErr_Clear();
        }
        throw py::value_error("Kelvra data holds an integer out of the 64-bit range");
    }
    if (PyFloat_Check(value.ptr())) return value.cast<double>();
    if (PyUnicode_Check(value.ptr())) return value.cast<std::string>();
    if (PyDict_Check(value.ptr())) {
        json object = json::object();
        for (const auto& [key, item] : value.cast<py::dict>()) {
            if (!PyUnicode_Check(key.ptr())) throw py::type_error("Kelvra data: dictionary keys must be strings");
            object[key.cast<std::string>()] = to_json(item, depth + 1);
        }
        return object;
    }
    // numpy scalars and zero-dimensional arrays: their Python value.
    if (py::hasattr(value, "ndim") && py::hasattr(value, "item") && value.attr("ndim").cast<py::ssize_t>() == 0) {
        return to_json(value.attr("item")(), depth + 1);
    }
    if (PySequence_Check(value.ptr()) && !PyBytes_Check(value.ptr()) && !PyByteArray_Check(value.ptr())) {
        json array = json::array();
        for (const auto& item : value) array.push_back(to_json(item, depth + 1));
        return array;
    }
    throw py::type_error("Kelvra data cannot hold a " +
                         std::string(py::str(py::type::of(value).attr("__name__"))) + " value");
}

// Holds a Python object for C++ code on any thread: the last copy drops its
// reference with the interpreter lock (or leaks it while Python shuts down).
std::shared_ptr<py::object> hold(py::object object) {
    return std::shared_ptr<py::object>(new py::object(std::move(object)), [](py::object* held) {
        if (interpreter_usable()) {
            py::gil_scoped_acquire gil;
            delete held;
        } else {
            held->release();
            delete held;
        }
    });
}

Kelvra::MessageHandler python_handler(py::function function) {
    return [held = hold(std::move(function))](const json& message) {
        if (!interpreter_usable()) return;
        py::gil_scoped_acquire gil;
        try {
            (*held)(to_python(message));
        } catch (py::error_already_set& error) {
            // The client logs it; the Python error must not outlive the lock.
            throw std::runtime_error("Python message handler raised " + std::string(error.what()));
        }
    };
}

// Waits for the client's thread without the interpreter lock when this thread has it.
template <class Function>
auto without_gil(Function&& function) {
    if (interpreter_usable() && PyGILState_Check()) {
        py::gil_scoped_release release;
        return function();
    }
    return function();
}

std::shared_ptr<Kelvra> make_kelvra(bool connect, bool verbose, double timeout) {
    auto* client = without_gil([&] { return new Kelvra(connect, verbose, timeout); });
    return std::shared_ptr<Kelvra>(client, [](Kelvra* k) { without_gil([k] { delete k; }); });
}

}  // namespace

void bind_kelvra(py::module_& m) {
    py::register_exception<KelvraError>(m, "KelvraError", PyExc_RuntimeError);

    py::class_<Kelvra, std::shared_ptr<Kelvra>> kelvra(
        m, "Kelvra",
        "Client of the Kelvra visual programming tool: JSON lines over TCP to host:port\n"
        "(127.0.0.1:7331 unless ORVANE_KELVRA_ENDPOINT holds 'host:port'). Message handlers\n"
        "are called on the client's own thread with each received message (a dict).");

    py::class_<Kelvra::Command>(kelvra, "Command", "One command of an action: data and the arm it belongs to.")
        .def(py::init([](const py::object& data, std::optional<std::string> robot) {
                 Kelvra::Command command;
                 if (!data.is_none()) command.data = to_json(data);
                 command.robot = std::move(robot);
                 return command;
             }),
             py::arg("data") = py::none(), py::arg("robot") = py::none())
        .def_property(
            "data", [](const Kelvra::Command& c) { return c.data ? to_python(*c.data) : py::none(); },
            [](Kelvra::Command& c, const py::object& data) {
                c.data = data.is_none() ? std::nullopt : std::optional<json>(to_json(data));
            },
            "JSON-compatible data, or None to leave it out.")
        .def_readwrite("robot", &Kelvra::Command::robot, "The arm's name, or None to leave it out.");

    py::class_<Kelvra::Action>(kelvra, "Action", "A named action with its commands.")
        .def(py::init<>())
        .def(py::init([](std::string name, const py::object& data) {
                 return Kelvra::Action(std::move(name), to_json(data));
             }),
             py::arg("name"), py::arg("data"), "One command carrying `data` and no arm name.")
        .def_readwrite("name", &Kelvra::Action::name)
        .def_readwrite("commands", &Kelvra::Action::commands, "The commands (a copy; assign to change).")
        .def(
            "to_json", [](const Kelvra::Action& a) { return to_python(a.to_json()); },
            "The wire form {'action': name, 'commands': [...]}.");

    py::class_<Kelvra::Events>(kelvra, "Events", "Actions that mirror robots in the tool.")
        .def_static("set_joint_position", &Kelvra::Events::set_joint_position, py::arg("position"),
                    py::arg("robot"),
                    "'set-joint-position': one command per sub-robot of `robot` (all of `position`\n"
                    "in one command when `robot` is None).");

    py::class_<Kelvra::HandlerList>(kelvra, "HandlerList", "The handlers called for every received message.")
        .def(
            "push_back", [](Kelvra::HandlerList& list, py::function handler) {
                list.push_back(python_handler(std::move(handler)));
            },
            py::arg("handler"))
        .def(
            "append", [](Kelvra::HandlerList& list, py::function handler) {
                list.push_back(python_handler(std::move(handler)));
            },
            py::arg("handler"), "The same as push_back.")
        .def("clear", &Kelvra::HandlerList::clear)
        .def("__len__", &Kelvra::HandlerList::size);

    kelvra
        .def(py::init(&make_kelvra), py::arg("connect") = true, py::arg("verbose") = false, py::arg("timeout") = 5.0,
             "connect: connect at once (raises KelvraError on failure); verbose: log every line;\n"
             "timeout: seconds allowed for that first connection.")
        .def_readwrite("host", &Kelvra::host)
        .def_readwrite("port", &Kelvra::port)
        .def_readwrite("verbose", &Kelvra::verbose)
        .def_property_readonly(
            "message_handlers", [](Kelvra& k) -> Kelvra::HandlerList& { return k.message_handlers; },
            py::return_value_policy::reference_internal)
        .def(
            "reconnect", [](Kelvra& k, double timeout) { without_gil([&] { k.reconnect(timeout); }); },
            py::arg("timeout"), "Connects anew to host:port; raises KelvraError when that fails in time.")
        .def(
            "disconnect", [](Kelvra& k) { without_gil([&] { k.disconnect(); }); },
            "Closes the connection; handlers are no longer called.")
        .def_property_readonly("is_connected", &Kelvra::is_connected)
        .def("run_action", &Kelvra::run_action, py::arg("action"),
             "Queues `action` for sending; False (nothing sent) without a connection.");
}

}  // namespace orvane::python
