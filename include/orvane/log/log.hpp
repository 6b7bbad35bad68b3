#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "orvane/utils/task_queue.hpp"

namespace orvane::log {

enum class Level : std::int32_t { Debug = 0, Info = 1, Warn = 2, Error = 3 };

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

// ORVANE_LOG_LEVEL ("debug", "info", "warn", "error", any letter case);
// Warn when unset or unrecognised.
Level get_default_level();

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
