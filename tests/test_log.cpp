// Logging: level from the environment, line bytes, ordering, the worker
// queue, and what happens to queued lines when the process exits.

#include <gtest/gtest.h>

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <streambuf>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orvane/log/log.hpp"
#include "orvane/log/orvane_error.hpp"
#include "orvane/utils/task_queue.hpp"

extern char** environ;

namespace lg = orvane::log;
using namespace std::chrono_literals;

namespace {

// ------------------------------------------------------------ child scenarios
// The test executable starts itself again with ORVANE_TEST_LOG_CHILD set to
// observe a real process exit; the scenario runs during static
// initialisation and leaves through exit(), as returning from main would.

constexpr int drain_lines = 150;

// Standard output that takes a millisecond per write, so that lines are
// certainly still queued when the process starts to exit.
class SlowStandardOutput : public std::streambuf {
protected:
    std::streamsize xsputn(const char* data, std::streamsize count) override {
        std::this_thread::sleep_for(1ms);
        for (std::streamsize done = 0; done < count;) {
            const ssize_t n = write(STDOUT_FILENO, data + done, static_cast<std::size_t>(count - done));
            if (n <= 0) return done;
            done += n;
        }
        return count;
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        const char ch = traits_type::to_char_type(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }
};

int run_child(const std::string& scenario) {
    if (scenario == "drain") {
        // Never destroyed: the exit drain still prints through it.
        lg::set_output(new std::ostream(new SlowStandardOutput));
        for (int i = 0; i < drain_lines; ++i) lg::log_info("test", "line " + std::to_string(i));
        return 0;
    }
    if (scenario == "late") {
        lg::log_info("test", "before shutdown");
        if (!lg::shutdown(30s)) return 3;
        lg::log_error("test", "after shutdown");
        // Keeps logging while the process tears down its static objects.
        std::thread([] {
            for (long i = 0;; ++i) lg::log_info("test", "late " + std::to_string(i));
        }).detach();
        for (int i = 0; i < 200; ++i) lg::log_info("test", "main " + std::to_string(i));
        return 0;
    }
    if (scenario == "stuck") {
        // Far more than a pipe holds: the printer blocks until the reader
        // (which waits for the exit first) drains the pipe.
        const std::string filler(200, 'x');
        for (int i = 0; i < 20000; ++i) lg::log_info("test", filler);
        return 0;
    }
    return 2;
}

[[maybe_unused]] const bool child_mode = [] {
    if (const char* scenario = std::getenv("ORVANE_TEST_LOG_CHILD")) std::exit(run_child(scenario));
    return false;
}();

struct ChildResult {
    bool exited = false;  // false: killed after the deadline
    int status = -1;
    std::string output;
};

// Starts this executable in `scenario` with its standard output on a pipe.
// With `read_while_running` false, nothing is read until the child exits.
ChildResult run_self(const std::string& scenario, bool read_while_running) {
    ChildResult result;
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");

    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "ORVANE_LOG_LEVEL=", 17) == 0 || std::strncmp(*e, "ORVANE_TEST_LOG_CHILD=", 22) == 0)
            continue;
        env_strings.emplace_back(*e);
    }
    env_strings.emplace_back("ORVANE_LOG_LEVEL=info");
    env_strings.emplace_back("ORVANE_TEST_LOG_CHILD=" + scenario);
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);

    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) throw std::runtime_error("readlink failed");
    self[length] = '\0';
    char* argv[] = {self, nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, self, &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        throw std::runtime_error("posix_spawn failed");
    }

    // Generous: the machine is shared and may run under sanitizers.
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    auto read_all = [&] {
        char buffer[65536];
        const auto read_deadline = std::chrono::steady_clock::now() + 90s;
        while (std::chrono::steady_clock::now() < read_deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = read(fds[0], buffer, sizeof(buffer));
            if (n > 0)
                result.output.append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                return;  // end of output
        }
    };
    auto wait_for_exit = [&] {
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                result.exited = true;
                result.status = status;
                return;
            }
            std::this_thread::sleep_for(10ms);
        }
    };

    if (read_while_running) {
        read_all();
        wait_for_exit();
    } else {
        wait_for_exit();
    }
    if (!result.exited) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    } else if (!read_while_running) {
        read_all();
    }
    close(fds[0]);
    return result;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// ---------------------------------------------------------------- fixtures

// Captures the printed lines and restores the level and output afterwards.
class LogOutput : public ::testing::Test {
protected:
    void SetUp() override {
        saved_level = lg::level.load();
        lg::set_output(&captured);
    }
    void TearDown() override {
        lg::flush(30s);
        lg::set_output(nullptr);
        lg::level.store(saved_level);
    }
    std::string printed() {
        EXPECT_TRUE(lg::flush(30s));
        return captured.str();
    }

    std::ostringstream captured;
    lg::Level saved_level = lg::Level::Warn;
};

// Sets or unsets ORVANE_LOG_LEVEL for one scope.
class ScopedLevelVariable {
public:
    explicit ScopedLevelVariable(const char* value) {
        if (const char* old = std::getenv("ORVANE_LOG_LEVEL")) saved = old;
        if (value != nullptr)
            setenv("ORVANE_LOG_LEVEL", value, 1);
        else
            unsetenv("ORVANE_LOG_LEVEL");
    }
    ~ScopedLevelVariable() {
        if (saved)
            setenv("ORVANE_LOG_LEVEL", saved->c_str(), 1);
        else
            unsetenv("ORVANE_LOG_LEVEL");
    }

private:
    std::optional<std::string> saved;
};

lg::Level level_for(const char* value) {
    ScopedLevelVariable variable(value);
    return lg::get_default_level();
}

}  // namespace

// ------------------------------------------------------------------ errors

TEST(OrvaneError, CarriesTypeMessageAndFramedText) {
    const orvane::OrvaneError error("driver.fanuc", "Attempt to cast message failed.");
    EXPECT_EQ(error.type, "driver.fanuc");
    EXPECT_EQ(error.message, "Attempt to cast message failed.");
    EXPECT_STREQ(error.what(), "[orvane.exception.driver.fanuc] Attempt to cast message failed.");
    const std::runtime_error& base = error;
    EXPECT_STREQ(base.what(), error.what());
}

// ------------------------------------------------------------------ levels

TEST(LogLevel, EnvironmentVariableIgnoresCaseButNotLength) {
    EXPECT_EQ(level_for(nullptr), lg::Level::Warn);
    EXPECT_EQ(level_for("debug"), lg::Level::Debug);
    EXPECT_EQ(level_for("DEBUG"), lg::Level::Debug);
    EXPECT_EQ(level_for("DeBuG"), lg::Level::Debug);
    EXPECT_EQ(level_for("info"), lg::Level::Info);
    EXPECT_EQ(level_for("INFO"), lg::Level::Info);
    EXPECT_EQ(level_for("Warn"), lg::Level::Warn);
    EXPECT_EQ(level_for("error"), lg::Level::Error);
    EXPECT_EQ(level_for("eRRoR"), lg::Level::Error);
    // Anything else means the default.
    EXPECT_EQ(level_for(""), lg::Level::Warn);
    EXPECT_EQ(level_for("errors"), lg::Level::Warn);
    EXPECT_EQ(level_for("err"), lg::Level::Warn);
    EXPECT_EQ(level_for("nonsense"), lg::Level::Warn);
    EXPECT_EQ(level_for(" debug"), lg::Level::Warn);
    EXPECT_EQ(level_for("debug\n"), lg::Level::Warn);
    EXPECT_EQ(level_for("0"), lg::Level::Warn);
    EXPECT_EQ(level_for("Off"), lg::Level::Off);
}

TEST_F(LogOutput, OffPrintsNothingAndALevelSetByCodeOutlivesTheEnvironment) {
    lg::set_level(lg::Level::Off);
    lg::log_error("driver", "e");
    {
        ScopedLevelVariable variable("debug");
        lg::reload_default_level();  // what every new driver does
    }
    lg::log_error("driver", "still nothing");
    EXPECT_EQ(printed(), "");
    EXPECT_EQ(lg::parse_level("WARN"), lg::Level::Warn);
    EXPECT_EQ(lg::parse_level("loud"), std::nullopt);
}

TEST_F(LogOutput, NoColorAndTheColourModeDecideTheEscapes) {
    lg::level = lg::Level::Warn;
    // The worker decides when it prints: each line is printed before the next change.
    setenv("NO_COLOR", "1", 1);
    lg::log_warn("driver", "plain");
    ASSERT_TRUE(lg::flush(30s));
    lg::set_colour(lg::Colour::always);
    lg::log_warn("driver", "forced");
    ASSERT_TRUE(lg::flush(30s));
    lg::set_colour(lg::Colour::automatic);
    unsetenv("NO_COLOR");
    lg::set_colour(lg::Colour::never);
    lg::log_error("driver", "never");
    ASSERT_TRUE(lg::flush(30s));
    lg::set_colour(lg::Colour::automatic);
    EXPECT_EQ(printed(), "[orvane.driver] plain\n\033[1;33m[orvane.driver] forced\033[0m\n[orvane.driver] never\n");
}

TEST_F(LogOutput, ASinkReceivesTheLinesInsteadOfTheStream) {
    lg::level = lg::Level::Info;
    std::vector<std::pair<lg::Level, std::string>> received;
    std::mutex received_mutex;  // guards `received` (the worker writes it)
    lg::set_sink([&](lg::Level line_level, const std::string& text) {
        std::lock_guard lock(received_mutex);
        received.emplace_back(line_level, text);
    });
    lg::log_info("driver", "to the sink");
    lg::log_error("driver", "also");
    EXPECT_TRUE(lg::flush(30s));
    lg::set_sink(nullptr);
    lg::log_info("driver", "to the stream");
    EXPECT_EQ(printed(), "[orvane.driver] to the stream\n");
    std::lock_guard lock(received_mutex);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], std::pair(lg::Level::Info, std::string("[orvane.driver] to the sink")));
    EXPECT_EQ(received[1], std::pair(lg::Level::Error, std::string("[orvane.driver] also")));
}

TEST_F(LogOutput, DefaultThresholdPrintsOnlyWarningsAndErrors) {
    lg::level = level_for(nullptr);
    lg::log_debug("driver", "d");
    lg::log_info("driver", "i");
    lg::log_warn("driver", "w");
    lg::log_error("driver", "e");
    EXPECT_EQ(printed(), "\033[1;33m[orvane.driver] w\033[0m\n\033[1;31m[orvane.driver] e\033[0m\n");
}

TEST_F(LogOutput, DebugThresholdPrintsEveryLevelWithItsColour) {
    lg::level = level_for("DEBUG");
    lg::log_<lg::Level::Debug>("driver", "d");
    lg::log_<lg::Level::Info>("driver", "i");
    lg::log_<lg::Level::Warn>("driver", "w");
    lg::log_<lg::Level::Error>("driver", "e");
    EXPECT_EQ(printed(),
              "\033[37m[orvane.driver] d\033[0m\n"
              "[orvane.driver] i\n"
              "\033[1;33m[orvane.driver] w\033[0m\n"
              "\033[1;31m[orvane.driver] e\033[0m\n");
}

TEST_F(LogOutput, ErrorThresholdDropsWarnings) {
    lg::level = lg::Level::Error;
    lg::log_warn("driver", "w");
    lg::log_error("motion", "x");
    EXPECT_EQ(printed(), "\033[1;31m[orvane.motion] x\033[0m\n");
}

TEST_F(LogOutput, ErrorLineBytesAndInfoLineWithoutEscapes) {
    lg::level = lg::Level::Info;
    lg::log_error("driver", "x");
    const std::string error_line = printed();
    const std::string expected{'\x1b', '[', '1', ';', '3', '1', 'm', '[', 'o', 'r', 'v', 'a', 'n', 'e', '.', 'd',
                               'r',    'i', 'v', 'e', 'r', ']', ' ', 'x', '\x1b', '[', '0', 'm', '\n'};
    EXPECT_EQ(error_line, expected);

    captured.str("");
    lg::log_info("driver", "Successfully connected to RMI server at '127.0.0.1'.");
    const std::string info_line = printed();
    EXPECT_EQ(info_line, "[orvane.driver] Successfully connected to RMI server at '127.0.0.1'.\n");
    EXPECT_EQ(info_line.find('\x1b'), std::string::npos);
}

TEST_F(LogOutput, LinesFromOneThreadKeepTheirOrder) {
    lg::level = lg::Level::Info;
    constexpr int count = 2000;
    for (int i = 0; i < count; ++i) lg::log_info("driver", std::to_string(i));
    const auto lines = lines_of(printed());
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) ASSERT_EQ(lines[i], "[orvane.driver] " + std::to_string(i));
}

TEST_F(LogOutput, ConcurrentCallersGetWholeLinesInTheirOwnOrder) {
    lg::level = lg::Level::Debug;
    constexpr int threads = 4;
    constexpr int per_thread = 500;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            for (int i = 0; i < per_thread; ++i) {
                // Mixed levels: coloured and plain lines must not interleave.
                if (i % 2 == 0)
                    lg::log_warn("t" + std::to_string(t), std::to_string(i));
                else
                    lg::log_info("t" + std::to_string(t), std::to_string(i));
            }
        });
    }
    for (auto& w : workers) w.join();

    std::vector<int> next(threads, 0);
    std::size_t total = 0;
    for (std::string line : lines_of(printed())) {
        ++total;
        const std::string warn = "\033[1;33m";
        const std::string reset = "\033[0m";
        if (line.starts_with(warn)) {
            ASSERT_TRUE(line.ends_with(reset)) << line;
            line = line.substr(warn.size(), line.size() - warn.size() - reset.size());
        }
        ASSERT_TRUE(line.starts_with("[orvane.t")) << line;
        const int t = line[9] - '0';
        ASSERT_GE(t, 0);
        ASSERT_LT(t, threads);
        ASSERT_EQ(line, "[orvane.t" + std::to_string(t) + "] " + std::to_string(next[t])) << line;
        ++next[t];
    }
    EXPECT_EQ(total, static_cast<std::size_t>(threads * per_thread));
}

TEST_F(LogOutput, LevelChangesTakeEffectAtOnce) {
    lg::level = lg::Level::Error;
    lg::log_info("driver", "hidden");
    {
        ScopedLevelVariable variable("info");
        lg::level = lg::get_default_level();  // as a newly built driver does
    }
    lg::log_info("driver", "shown");
    EXPECT_EQ(printed(), "[orvane.driver] shown\n");
}

// -------------------------------------------------------------- task queue

namespace {

struct Recorder {
    std::mutex mutex;
    std::vector<int> seen;
    void operator()(int value) {
        if (value < 0) throw std::runtime_error("refused");
        std::lock_guard lock(mutex);
        seen.push_back(value);
    }
    std::vector<int> snapshot() {
        std::lock_guard lock(mutex);
        return seen;
    }
};

// Holds every call until opened. The state is shared so that a worker left
// behind inside a call never touches the handler object itself.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int entered = 0;
    std::vector<int> seen;
};

struct GatedHandler {
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    void operator()(int value) const {
        const std::shared_ptr<Gate> g = gate;
        std::unique_lock lock(g->mutex);
        ++g->entered;
        g->changed.notify_all();
        g->changed.wait(lock, [&] { return g->open; });
        g->seen.push_back(value);
        g->changed.notify_all();
    }
    void open() const {
        std::lock_guard lock(gate->mutex);
        gate->open = true;
        gate->changed.notify_all();
    }
    bool wait_for(const std::function<bool(const Gate&)>& condition) const {
        std::unique_lock lock(gate->mutex);
        return gate->changed.wait_for(lock, 60s, [&] { return condition(*gate); });
    }
};

using IntQueue = orvane::utils::TaskQueue<int, Recorder>;
using GatedQueue = orvane::utils::TaskQueue<int, GatedHandler>;

}  // namespace

TEST(TaskQueue, HandlesTasksInOrderOnOneWorker) {
    Recorder recorder;
    IntQueue queue(recorder);
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(queue.push(i));
    ASSERT_TRUE(queue.wait_until_idle(60s));
    const auto seen = recorder.snapshot();
    ASSERT_EQ(seen.size(), 1000u);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[i], i);
}

TEST(TaskQueue, DestructionHandlesWhatIsStillQueued) {
    GatedHandler handler;
    {
        GatedQueue queue(handler, 60s);
        for (int i = 0; i < 500; ++i) queue.push(i);
        // The worker is held in the first task, so all others are queued
        // when destruction begins.
        ASSERT_TRUE(handler.wait_for([](const Gate& g) { return g.entered == 1; }));
        handler.open();
    }
    std::lock_guard lock(handler.gate->mutex);
    ASSERT_EQ(handler.gate->seen.size(), 500u);
    for (int i = 0; i < 500; ++i) ASSERT_EQ(handler.gate->seen[i], i);
}

TEST(TaskQueue, StuckHandlerCannotHangTheStop) {
    GatedHandler handler;
    auto queue = std::make_unique<GatedQueue>(handler, 50ms);
    for (int i = 0; i < 3; ++i) queue->push(i);
    ASSERT_TRUE(handler.wait_for([](const Gate& g) { return g.entered == 1; }));

    EXPECT_FALSE(queue->stop(50ms));  // gives up on the held task
    EXPECT_FALSE(queue->is_running());
    EXPECT_FALSE(queue->push(3));
    queue.reset();

    // Released later, the abandoned worker finishes its task and goes.
    handler.open();
    ASSERT_TRUE(handler.wait_for([](const Gate& g) { return g.seen.size() == 1; }));
    std::lock_guard lock(handler.gate->mutex);
    EXPECT_EQ(handler.gate->seen, std::vector<int>{0});
}

TEST(TaskQueue, StopRefusesLaterTasksAndIsIdempotent) {
    Recorder recorder;
    IntQueue queue(recorder);
    queue.push(1);
    EXPECT_TRUE(queue.stop(60s));
    EXPECT_FALSE(queue.push(2));
    const int kept = 3;
    EXPECT_FALSE(queue.push(kept));
    EXPECT_TRUE(queue.stop(60s));
    EXPECT_EQ(recorder.snapshot(), std::vector<int>{1});
}

TEST(TaskQueue, AFailingHandlerDoesNotStopTheWorker) {
    Recorder recorder;
    IntQueue queue(recorder);
    for (int value : {1, -1, 2, -2, 3}) queue.push(value);
    ASSERT_TRUE(queue.wait_until_idle(60s));
    EXPECT_EQ(recorder.snapshot(), (std::vector<int>{1, 2, 3}));
}

TEST(TaskQueue, WaitUntilIdleReportsATimeOut) {
    GatedHandler handler;
    GatedQueue queue(handler, 60s);
    queue.push(1);
    EXPECT_FALSE(queue.wait_until_idle(20ms));
    handler.open();
    EXPECT_TRUE(queue.wait_until_idle(60s));
}

// -------------------------------------------------------------- at exit

TEST(LogAtExit, QueuedLinesArePrintedBeforeTheProcessEnds) {
    const ChildResult child = run_self("drain", true);
    ASSERT_TRUE(child.exited);
    ASSERT_TRUE(WIFEXITED(child.status)) << child.status;
    EXPECT_EQ(WEXITSTATUS(child.status), 0);
    const auto lines = lines_of(child.output);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(drain_lines));
    for (int i = 0; i < drain_lines; ++i) ASSERT_EQ(lines[i], "[orvane.test] line " + std::to_string(i));
}

TEST(LogAtExit, LinesAfterShutdownArePrintedDirectlyAndLateThreadsAreSafe) {
    const ChildResult child = run_self("late", true);
    ASSERT_TRUE(child.exited);
    ASSERT_TRUE(WIFEXITED(child.status)) << "child died: " << child.status;
    EXPECT_EQ(WEXITSTATUS(child.status), 0);
    const auto lines = lines_of(child.output);
    ASSERT_GE(lines.size(), 202u);
    EXPECT_EQ(lines[0], "[orvane.test] before shutdown");
    // Standard output is a pipe here: no colour.
    EXPECT_EQ(lines[1], "[orvane.test] after shutdown");
    int main_lines = 0;
    for (const auto& line : lines) {
        if (line.starts_with("[orvane.test] main ")) ++main_lines;
        // The late thread's lines stay whole (the last may be cut by the exit).
        if (&line != &lines.back()) ASSERT_TRUE(line.starts_with("[orvane.test] ") || line.starts_with("\033")) << line;
    }
    EXPECT_EQ(main_lines, 200);
}

TEST(LogAfterFork, AForkedChildPrintsItsOwnLines) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot start threads after a multi-threaded fork";
#endif
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The parent's worker thread does not exist here.
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        lg::set_output(nullptr);
        lg::level = lg::Level::Info;
        lg::log_info("test", "from the child");
        _exit(lg::flush(10s) ? 0 : 1);
    }
    close(fds[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof(buffer))) != 0;) {
        if (n > 0)
            output.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    }
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(output, "[orvane.test] from the child\n");
}

TEST(LogAtExit, AConsoleThatStopsReadingCannotHangTheExit) {
    const ChildResult child = run_self("stuck", false);
    ASSERT_TRUE(child.exited) << "the child did not exit";
    ASSERT_TRUE(WIFEXITED(child.status)) << child.status;
    EXPECT_EQ(WEXITSTATUS(child.status), 0);
    // Some lines got through before the pipe filled; not all 20000 did.
    const auto lines = lines_of(child.output);
    EXPECT_GT(lines.size(), 0u);
    EXPECT_LT(lines.size(), 20000u);
}
