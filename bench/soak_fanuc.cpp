// Soak: streams planned motions against the simulator for a long time with a
// fault injected every so often in rotation, re-enabling after each, and
// watches the driver process for leaks and hangs.
//
//   soak_fanuc [--minutes M] [--fault-every S] [--sample-every S]
//
// The simulator runs in a child process so that the resources sampled (RSS,
// threads, open descriptors) are the driver's alone. Every driver call is
// bounded (10 s, a run: its duration plus 10 s); a call past its bound is a
// hang, reported and fatal (the process cannot take the call back).
// Exit status: 0 when there were no hangs and no unexpected results.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <orvane/motion.hpp>
#include <orvane/motion/robots.hpp>

#include "orvane/drivers/fanuc/fanuc_driver.hpp"
#include "orvane/sim/controller_simulator.hpp"
#include "orvane/sim/testing.hpp"
#include "piped_child.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using orvane::drivers::FanucDriver;
using orvane::drivers::Result;
using namespace std::chrono_literals;

constexpr double control_interval = 0.024;
constexpr auto call_bound = 10s;

// --- the simulator process ----------------------------------------------------------------

// Commands on stdin, one per line, each answered "ok" (or "error ...").
int serve_simulator() {
    orvane::sim::SimulatorConfig config;
    config.abort_duration = 0.3;  // slow enough to matter, fast enough for many faults an hour
    auto sim = orvane::sim::testing::start_on_free_loopback(config);
    // The last lines both ways, for the report of an unexpected result.
    std::mutex history_mutex;
    std::deque<std::string> history;
    sim->set_line_observer([&](const std::string& channel, bool incoming, const std::string& text) {
        const auto at = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%.3f", at);
        std::lock_guard lock(history_mutex);
        history.push_back(std::string(stamp) + (incoming ? " <- " : " -> ") + channel + " " + text);
        if (history.size() > 60) history.pop_front();
    });
    std::cout << "SIM " << sim->config().address << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command, argument;
        in >> command >> argument;
        if (command == "quit") break;
        if (command == "drop") sim->drop_connections();
        else if (command == "fault") sim->push_system_fault();
        else if (command == "terminate") sim->push_terminate();
        else if (command == "refuse") sim->refuse_sequence_id(sim->status().next_sequence_id + 2, std::stoi(argument));
        else if (command == "withhold") sim->withhold_answers(argument == "on");
        else if (command == "estop") sim->set_estop(argument == "on");
        else if (command == "clear") sim->clear_records();  // the records would grow for an hour otherwise
        else if (command == "history") {
            std::lock_guard lock(history_mutex);
            for (const auto& entry : history) std::cout << "  " << entry << '\n';
        }
        else {
            std::cout << "error unknown command" << std::endl;
            continue;
        }
        std::cout << "ok" << std::endl;
    }
    sim->stop();
    return 0;
}

class SimulatorProcess {
public:
    SimulatorProcess() : child({"soak_fanuc", "--sim-server"}) {
        const auto first = child.read_line();
        if (first.rfind("SIM ", 0) != 0) throw std::runtime_error("the simulator process did not start");
        address = first.substr(4);
    }
    void command(const std::string& text) {
        child.write_line(text);
        auto answer = child.read_line();
        for (; answer.rfind("  ", 0) == 0; answer = child.read_line()) std::printf("%s\n", answer.c_str());  // history
        if (answer != "ok") throw std::runtime_error("simulator: " + text + ": " + answer);
    }

    std::string address;

private:
    fanuc_bench::PipedChild child;
};

// --- what the process holds ---------------------------------------------------------------

struct Sample {
    double minutes;
    long rss_kib;
    long threads;
    long descriptors;
};

long status_field(const std::string& name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(name + ":", 0) == 0) return std::atol(line.c_str() + name.size() + 1);
    }
    return -1;
}

Sample sample(Clock::time_point start) {
    long descriptors = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++descriptors;
    return {std::chrono::duration<double>(Clock::now() - start).count() / 60.0, status_field("VmRSS"),
            status_field("Threads"), descriptors - 1};  // less the iterator's own
}

// --- bounded calls --------------------------------------------------------------------------

struct Hang : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The call runs on a thread of its own; past the bound the soak ends (the
// thread is left behind, which is why a hang is fatal).
template <typename Call>
auto bounded(const std::string& what, Call call, std::chrono::milliseconds bound = call_bound) {
    auto outcome = std::async(std::launch::async, std::move(call));
    if (outcome.wait_for(bound) != std::future_status::ready) {
        std::cerr << "[soak] HANG: " << what << " did not return within " << bound.count() << " ms" << std::endl;
        std::fflush(stderr);
        std::_Exit(3);  // the hung thread cannot be joined; report and leave
    }
    return outcome.get();
}

// --- faults ---------------------------------------------------------------------------------

enum class Fault { DroppedLink, SystemFault, Terminate, RefusedInstruction, WithheldAnswers, EStop };
constexpr Fault rotation[] = {Fault::DroppedLink,        Fault::SystemFault,     Fault::Terminate,
                              Fault::RefusedInstruction, Fault::WithheldAnswers, Fault::EStop};

const char* name(Fault fault) {
    switch (fault) {
        case Fault::DroppedLink: return "dropped link";
        case Fault::SystemFault: return "FRC_SystemFault";
        case Fault::Terminate: return "FRC_Terminate";
        case Fault::RefusedInstruction: return "refused instruction";
        case Fault::WithheldAnswers: return "withheld answers";
        case Fault::EStop: return "E-stop on and off";
    }
    return "?";
}

// A run a fault interrupted must not report success: the robot did not get
// where it was sent. Withheld answers that come back in time may still let
// the run finish, so either outcome is fine there.
bool expected(Fault fault, const Result& result) {
    if (fault == Fault::WithheldAnswers) return true;
    return result != Result::Success;
}

struct Tally {
    long runs = 0, clean_runs = 0, faults = 0, unexpected = 0, failed_recoveries = 0;
    std::map<std::string, std::map<std::string, long>> outcomes;  // fault -> result -> count
};

std::vector<double> random_goal(std::mt19937& random, const orvane::RobotArm& arm) {
    const auto limits = arm.get_joint_limits();
    std::vector<double> goal(limits.size());
    for (std::size_t j = 0; j < goal.size(); ++j) {
        const double middle = (limits[j].lower + limits[j].upper) / 2.0;
        const double quarter = (limits[j].upper - limits[j].lower) / 4.0;
        goal[j] = std::uniform_real_distribution<double>(middle - quarter, middle + quarter)(random);
    }
    return goal;
}

// Enables until it works: after a drop or a terminate the driver reconnects
// on its own, after an E-stop it needs the release first.
bool recover(FanucDriver& driver) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (bounded("enable", [&] { return driver.enable(); }) == Result::Success) return true;
        std::this_thread::sleep_for(500ms);
    }
    return false;
}

struct Options {
    double minutes = 60.0;
    double fault_every = 30.0;
    double sample_every = 30.0;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const double value = std::atof(argv[i + 1]);
        if (value <= 0.0) throw std::invalid_argument(flag + " expects a positive number");
        if (flag == "--minutes") options.minutes = value;
        else if (flag == "--fault-every") options.fault_every = value;
        else if (flag == "--sample-every") options.sample_every = value;
        else throw std::invalid_argument("unknown option " + flag);
    }
    if (argc % 2 == 0) throw std::invalid_argument("options come in pairs: --minutes M --fault-every S --sample-every S");
    return options;
}

int soak(const Options& options) {
    SimulatorProcess sim;
    auto arm = orvane::robots::fanuc_lrmate200id();
    auto planner = std::make_shared<orvane::Planner>(arm, control_interval);
    auto driver = bounded("construction", [&] { return std::make_unique<FanucDriver>(planner, arm, sim.address, false, true); });
    if (!recover(*driver)) throw std::runtime_error("the first enable failed");

    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.minutes * 60.0));
    auto next_fault = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.fault_every));
    auto next_sample = start;
    std::vector<Sample> samples;
    std::size_t fault_index = 0;
    std::mt19937 random(2026);
    Tally tally;

    std::printf("%8s %10s %8s %12s %6s %7s %11s\n", "minutes", "rss_kib", "threads", "descriptors", "runs", "faults",
                "unexpected");
    while (Clock::now() < end) {
        if (Clock::now() >= next_sample) {
            samples.push_back(sample(start));
            const auto& s = samples.back();
            std::printf("%8.2f %10ld %8ld %12ld %6ld %7ld %11ld\n", s.minutes, s.rss_kib, s.threads, s.descriptors,
                        tally.runs, tally.faults, tally.unexpected + tally.failed_recoveries);
            std::fflush(stdout);
            sim.command("clear");
            next_sample += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.sample_every));
        }
        const auto from = bounded("get_current_joint_position", [&] { return driver->get_current_joint_position(); });
        auto planned = planner->plan(orvane::LowLevelMotion(arm, orvane::Waypoint(from), orvane::Waypoint(random_goal(random, *arm))));
        if (!planned) throw std::runtime_error("planning failed: " + planned.error().message);
        const auto bound = std::chrono::milliseconds(static_cast<long>(planned->duration() * 1000.0)) + call_bound;
        // A fault lands in the middle of a run: a short motion could end
        // before it (a refusal armed for a later instruction would then hit
        // the next, fault-free run), so it waits for a longer one.
        const bool inject = Clock::now() >= next_fault && planned->duration() >= 0.6;

        auto motion = bounded("run_async", [&] { return driver->run_async(*planned); });
        std::optional<Fault> fault;
        if (inject) {
            fault = rotation[fault_index++ % std::size(rotation)];
            std::this_thread::sleep_for(std::chrono::milliseconds(
                std::min<long>(200 + random() % 300, static_cast<long>(planned->duration() * 400.0))));
            switch (*fault) {
                case Fault::DroppedLink: sim.command("drop"); break;
                case Fault::SystemFault: sim.command("fault"); break;
                case Fault::Terminate: sim.command("terminate"); break;
                case Fault::RefusedInstruction: sim.command("refuse 2556949"); break;
                case Fault::WithheldAnswers:
                    sim.command("withhold on");
                    std::this_thread::sleep_for(1500ms);
                    sim.command("withhold off");
                    break;
                case Fault::EStop: sim.command("estop on"); break;
            }
        }
        if (motion.wait_for(bound) != std::future_status::ready) {
            std::cerr << "[soak] HANG: a run did not end within " << bound.count() << " ms" << std::endl;
            std::_Exit(3);
        }
        const Result result = motion.get();
        ++tally.runs;
        const std::string kind = fault ? name(*fault) : "none";
        ++tally.outcomes[kind][result.message];
        const bool as_expected = fault ? expected(*fault, result) : result == Result::Success;
        if (!as_expected) {
            std::printf("[soak] unexpected: fault %s, result \"%s\", last error \"%s\"\n", kind.c_str(),
                        result.message.c_str(), driver->get_last_error().c_str());
            std::fflush(stdout);
            sim.command("history");
        }
        if (fault) {
            ++tally.faults;
            if (!as_expected) ++tally.unexpected;
            if (*fault == Fault::EStop) sim.command("estop off");
            if (!recover(*driver)) ++tally.failed_recoveries;
            next_fault += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.fault_every));
        } else {
            ++tally.clean_runs;
            if (result != Result::Success) {
                ++tally.unexpected;
                recover(*driver);
            }
        }
    }
    samples.push_back(sample(start));
    bounded("destruction", [&] { driver.reset(); return 0; });

    const auto& first = samples.front();
    const auto& last = samples.back();
    std::printf("\nruns %ld (without a fault %ld), faults %ld, unexpected results %ld, failed recoveries %ld, hangs 0\n",
                tally.runs, tally.clean_runs, tally.faults, tally.unexpected, tally.failed_recoveries);
    std::printf("growth first -> last sample: RSS %+ld KiB (%ld -> %ld), threads %+ld, descriptors %+ld\n",
                last.rss_kib - first.rss_kib, first.rss_kib, last.rss_kib, last.threads - first.threads,
                last.descriptors - first.descriptors);
    std::printf("outcomes by fault:\n");
    for (const auto& [fault, results] : tally.outcomes) {
        for (const auto& [message, count] : results) std::printf("  %-20s %5ld  %s\n", fault.c_str(), count, message.c_str());
    }
    return tally.unexpected + tally.failed_recoveries == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--sim-server") == 0) return serve_simulator();
    setenv("ORVANE_LOG_LEVEL", "error", 0);
    try {
        return soak(parse(argc, argv));
    } catch (const std::exception& error) {
        std::cerr << "soak_fanuc: " << error.what() << std::endl;
        return 2;
    }
}
