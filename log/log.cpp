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
constinit std::atomic<Colour> colour_mode{Colour::automatic};
constinit std::atomic<bool> level_chosen_by_code{false};
// Replaced whole, so the worker holds a sink it is calling even while
// another thread sets a new one.
std::atomic<std::shared_ptr<const Sink>> sink;

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

std::optional<Level> parse_level(std::string_view name) {
    if (equals_ignoring_case(name, "debug")) return Level::Debug;
    if (equals_ignoring_case(name, "info")) return Level::Info;
    if (equals_ignoring_case(name, "warn")) return Level::Warn;
    if (equals_ignoring_case(name, "error")) return Level::Error;
    if (equals_ignoring_case(name, "off")) return Level::Off;
    return std::nullopt;
}

Level get_default_level() {
    const char* value = std::getenv("ORVANE_LOG_LEVEL");
    if (value == nullptr) return Level::Warn;
    return parse_level(value).value_or(Level::Warn);
}

void set_level(Level threshold) {
    level_chosen_by_code.store(true);
    level.store(threshold);
}

void reload_default_level() {
    if (!level_chosen_by_code.load()) level.store(get_default_level());
}

void set_colour(Colour mode) { colour_mode.store(mode); }

void set_sink(Sink new_sink) {
    sink.store(new_sink ? std::make_shared<const Sink>(std::move(new_sink)) : nullptr);
}

namespace {

bool no_color_requested() {
    const char* value = std::getenv("NO_COLOR");
    return value != nullptr && value[0] != '\0';
}

bool wants_colour(bool to_standard_output) {
    switch (colour_mode.load()) {
        case Colour::always: return true;
        case Colour::never: return false;
        case Colour::automatic: break;
    }
    if (no_color_requested()) return false;
    return !to_standard_output || ::isatty(STDOUT_FILENO) == 1;
}

}  // namespace

void LogPrinter::operator()(const Log& entry) const {
    if (const auto receiver = sink.load()) {
        (*receiver)(entry.level, entry.text);
        return;
    }
    std::ostream* const stream = output.load();
    const std::string* colour = nullptr;
    switch (entry.level) {
        case Level::Debug: colour = &debug_color; break;
        case Level::Warn: colour = &warn_color; break;
        case Level::Error: colour = &error_color; break;
        case Level::Info:
        case Level::Off: break;
    }
    if (!wants_colour(stream == nullptr)) colour = nullptr;
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

    if (stream != nullptr) {
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
