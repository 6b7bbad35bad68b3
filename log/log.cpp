#include "orvane/log/log.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ios>
#include <iostream>
#include <mutex>
#include <string_view>

namespace orvane::log {

// Constant-initialised so that a log call from another library's static
// initialisation never sees an unset threshold; the environment is read below.
constinit std::atomic<Level> level{Level::Warn};

namespace {

constinit std::atomic<std::ostream*> output{nullptr};

// Everything the worker and late callers touch. Never freed: static
// destruction order across libraries is unknown, and a thread may log while
// the process exits.
struct LogState {
    std::ios_base::Init streams;  // standard output is usable whoever logs first
    LogPrinter printer;
    utils::TaskQueue<Log, LogPrinter> queue{printer};
    std::mutex direct_mutex;  // one line at a time once the queue has stopped
};

// The state in use. Replaced only in a child after fork(): the parent's
// worker does not exist there, so the child gets a state (and worker) of its own.
constinit std::atomic<LogState*> current{nullptr};
// What a forked child left behind; kept reachable, never used again.
constinit std::atomic<LogState*> abandoned{nullptr};

LogState& state() {
    LogState* existing = current.load(std::memory_order_acquire);
    if (existing != nullptr) return *existing;
    auto* fresh = new LogState;
    if (current.compare_exchange_strong(existing, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;  // another thread was first
    return *existing;
}

void forget_state_in_child() { abandoned.store(current.exchange(nullptr)); }

// Starts the worker at load and drains it at exit (or unload).
struct Lifetime {
    Lifetime() {
        level.store(get_default_level());
        pthread_atfork(nullptr, nullptr, &forget_state_in_child);
        state();
    }
    ~Lifetime() { shutdown(); }
};
const Lifetime lifetime;

bool equals_ignoring_case(std::string_view value, std::string_view lower) {
    if (value.size() != lower.size()) return false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(value[i])) != lower[i]) return false;
    }
    return true;
}

// Straight to the file descriptor: a line never waits in the stdio buffer,
// which the C library flushes at exit without regard to a console that has
// stopped reading (that flush would hang the exit). What the program itself
// buffered goes first, so lines keep their order with its own output.
void write_standard_output(const std::string& line) {
    std::cout.flush();
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, left);
        if (written > 0) {
            data += written;
            left -= static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            return;  // output errors are ignored
        }
    }
}

}  // namespace

Level get_default_level() {
    const char* value = std::getenv("ORVANE_LOG_LEVEL");
    if (value == nullptr) return Level::Warn;
    if (equals_ignoring_case(value, "debug")) return Level::Debug;
    if (equals_ignoring_case(value, "info")) return Level::Info;
    if (equals_ignoring_case(value, "warn")) return Level::Warn;
    if (equals_ignoring_case(value, "error")) return Level::Error;
    return Level::Warn;
}

void LogPrinter::operator()(const Log& entry) const {
    const std::string* colour = nullptr;
    switch (entry.level) {
        case Level::Debug: colour = &debug_color; break;
        case Level::Warn: colour = &warn_color; break;
        case Level::Error: colour = &error_color; break;
        case Level::Info: break;
    }
    std::string line;
    line.reserve(entry.text.size() + 16);
    if (colour != nullptr) {
        line += *colour;
        line += entry.text;
        line += reset;
    } else {
        line += entry.text;
    }
    line += '\n';

    if (std::ostream* stream = output.load()) {
        stream->write(line.data(), static_cast<std::streamsize>(line.size()));
        stream->flush();
    } else {
        write_standard_output(line);
    }
}

LogPrinter& log_printer() { return state().printer; }

utils::TaskQueue<Log, LogPrinter>& async_printer() { return state().queue; }

void set_output(std::ostream* stream) { output.store(stream); }

bool flush(std::chrono::milliseconds timeout) { return state().queue.wait_until_idle(timeout); }

bool shutdown(std::chrono::milliseconds drain_limit) { return state().queue.stop(drain_limit); }

namespace detail {

void submit(Level message_level, const std::string& tag, const std::string& message) {
    static constexpr std::string_view prefix = "[orvane.";
    Log entry{message_level, {}};
    entry.text.reserve(prefix.size() + tag.size() + 2 + message.size());
    entry.text += prefix;
    entry.text += tag;
    entry.text += "] ";
    entry.text += message;

    LogState& s = state();
    if (s.queue.push(std::move(entry))) return;
    // The queue has stopped (exit is under way): print here rather than lose it.
    try {
        std::lock_guard lock(s.direct_mutex);
        s.printer(entry);
    } catch (...) {
    }
}

}  // namespace detail

}  // namespace orvane::log
