#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "orvane/utils/task_queue.hpp"

namespace orvane::log {

// Off is a threshold only: no message has it, so nothing is printed.
enum class Level : std::int32_t { Debug = 0, Info = 1, Warn = 2, Error = 3, Off = 4 };

// One queued line: `text` is the whole line without colour codes or line end.
struct Log {
    Level level;
    std::string text;
};

// Prints one line with its level's colour and flushes. Only the logging
// worker calls it while the queue runs.
struct LogPrinter {
    std::string error_color{"\033[1;31m"};
    std::string warn_color{"\033[1;33m"};
    std::string debug_color{"\033[37m"};
    std::string reset{"\033[0m"};

    void operator()(const Log& entry) const;
};

// Threshold: a message of level L is printed when L >= level.
extern std::atomic<Level> level;

// ORVANE_LOG_LEVEL ("debug", "info", "warn", "error", "off", any letter
// case); Warn when unset or unrecognised.
Level get_default_level();

// The level named `name` ("debug" ... "off", any letter case), if any.
std::optional<Level> parse_level(std::string_view name);

// Sets the threshold from code; from then on it stays, whatever the
// environment says when drivers are constructed.
void set_level(Level threshold);

// Reads ORVANE_LOG_LEVEL again, unless set_level chose the threshold.
void reload_default_level();

// Whether lines carry their level's colour. automatic: on standard output
// only when it is a terminal, on a stream given to set_output always; in
// both cases never when NO_COLOR is set to a non-empty value.
enum class Colour : std::int32_t { automatic, always, never };
void set_colour(Colour mode);

// Receives every printed line instead of the output stream: its level and
// the line without colour codes. Called on the logging worker (or, after
// shutdown, on the logging thread); it must not log itself. Empty restores
// the output stream.
using Sink = std::function<void(Level, const std::string&)>;
void set_sink(Sink sink);

// The printer and the queue that the worker prints from. Both live for the
// whole process (they are never destroyed, so a thread that logs during or
// after exit finds them intact); at exit the queue is drained and stopped.
LogPrinter& log_printer();
utils::TaskQueue<Log, LogPrinter>& async_printer();

// Where lines go; nullptr (the default) means standard output. The stream
// must stay alive while lines may be printed to it.
void set_output(std::ostream* stream);

// Waits until every line logged so far has been printed; false on time-out.
bool flush(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

// Prints what is queued (for at most `drain_limit`) and stops the worker.
// Lines logged afterwards are printed at once by the calling thread. Runs by
// itself at exit; true when every queued line was printed.
bool shutdown(std::chrono::milliseconds drain_limit = std::chrono::milliseconds(2000));

namespace detail {
void submit(Level message_level, const std::string& tag, const std::string& message);
}

template <Level L>
void log_(const std::string& tag, const std::string& message) {
    // Before any string is built: a filtered message costs one comparison.
    if (L < level.load(std::memory_order_relaxed)) return;
    detail::submit(L, tag, message);
}

inline void log_debug(const std::string& tag, const std::string& message) { log_<Level::Debug>(tag, message); }
inline void log_info(const std::string& tag, const std::string& message) { log_<Level::Info>(tag, message); }
inline void log_warn(const std::string& tag, const std::string& message) { log_<Level::Warn>(tag, message); }
inline void log_error(const std::string& tag, const std::string& message) { log_<Level::Error>(tag, message); }

}  // namespace orvane::log
