// Logging controls for Python programs: the threshold, and the lines routed
// to Python's `logging` (logger "orvane") instead of standard output.

#include <Python.h>
#include <unistd.h>

#include <string>

#include <orvane/log/log.hpp>

#include "common.hpp"

namespace orvane::python {

namespace {

int python_level(log::Level level) {
    switch (level) {
        case log::Level::Debug: return 10;
        case log::Level::Info: return 20;
        case log::Level::Warn: return 30;
        case log::Level::Error:
        case log::Level::Off: break;
    }
    return 40;
}

const char* level_name(log::Level level) {
    switch (level) {
        case log::Level::Debug: return "Debug";
        case log::Level::Info: return "Info";
        case log::Level::Warn: return "Warn";
        case log::Level::Error: return "Error";
        case log::Level::Off: break;
    }
    return "Off";
}

// Runs on the logging worker: takes the interpreter lock for each line.
void to_python_logger(log::Level level, const std::string& text) {
    if (interpreter_finalizing()) {
        // Python's logging is gone: the line goes where it would have gone.
        const std::string line = text + "\n";
        [[maybe_unused]] const auto written = ::write(STDOUT_FILENO, line.data(), line.size());
        return;
    }
    const PyGILState_STATE state = PyGILState_Ensure();
    try {
        static const auto* logger = new py::object(py::module_::import("logging").attr("getLogger")("orvane"));
        logger->attr("log")(python_level(level), text);
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable("orvane_driver_fanuc: passing a log line to Python's logging");
    } catch (...) {
    }
    PyGILState_Release(state);
}

void set_log_level(const std::string& name) {
    const auto level = log::parse_level(name);
    if (!level) throw py::value_error("Unknown log level '" + name + "': use Debug, Info, Warn, Error or Off.");
    log::set_level(*level);
}

}  // namespace

void bind_logging(py::module_& m) {
    m.def("set_log_level", &set_log_level, py::arg("level"),
          "Set the driver's log threshold: 'Debug', 'Info', 'Warn', 'Error' or 'Off' (any letter case).\n"
          "It holds from now on; ORVANE_LOG_LEVEL is not read again.");
    m.def(
        "get_log_level", [] { return std::string(level_name(log::level.load())); },
        "The driver's log threshold: 'Debug', 'Info', 'Warn', 'Error' or 'Off'.");
    m.def(
        "log_to_python",
        [](bool enabled) {
            log::set_sink(enabled ? log::Sink(&to_python_logger) : log::Sink());
        },
        py::arg("enabled") = true,
        "Send the driver's log lines to Python's logging (logger 'orvane', levels DEBUG, INFO,\n"
        "WARNING, ERROR) instead of standard output; False sends them to standard output again.\n"
        "The driver's own threshold (set_log_level) filters first.");
}

}  // namespace orvane::python
