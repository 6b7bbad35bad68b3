// Streaming quality of FanucDriver against the bundled controller simulator.
//
// The simulators run in a child process (this program re-executed with
// --sim-server N), so that the CPU time of this process is the driver's own.
// From the simulator's records of received lines and executed path we report:
//  - ratio: executed motion time / planned duration (execution rebuilt from
//    the arrival times, as the controller schedules it: an instruction starts
//    when the previous one ended, once it and, when it blends, its successor
//    have arrived);
//  - deviation: largest joint distance between the executed path and the
//    planned trajectory at the same time (degrees);
//  - stalls: interpolation periods (8 ms) in which the controller had nothing
//    to execute while the run was not finished;
//  - stop latency: stop() called to "FRC_Abort" received;
//  - pause latency: pause_async() called to the first slower instruction received;
//  - CPU time of this process per instruction sent;
//  - for scale, the CPU time of the least any client can do per instruction:
//    one blocking loopback round trip of an instruction-sized line, answered
//    after one control interval, with no processing at all.
// Targets (24 ms interval): ratio <= 1.002, no stalls over 50 runs also with
// both cores busy, stop latency <= 2 ms median, CPU <= 30 us per instruction;
// 64 drivers at once: no stalls, every ratio <= 1.005; beside them the lead,
// how long before the controller needed it each instruction arrived (with 4
// in flight at most about two intervals: a host that stalls the drivers for
// longer than the least lead stalls the robot).
//
// Joint feedback during motion (readings at 25 Hz, the controller's servo
// lagging 0.05 s), each figure beside feedback off in the same benchmark:
//  - ratio, stalls and CPU per instruction with feedback off and on, each
//    path run both ways so that both see the same motions and load (idle and
//    both cores busy); target: ratio on/off of the same path <= 1.002 and no
//    stalls with feedback on;
//  - detection latency: a joint blocked during a sweep, from the moment its
//    deviation (as the driver measures it: from the nearest commanded value
//    within its window) crosses the threshold to "FRC_Abort" received. That
//    moment follows from the value the joint froze at, the commanded path
//    rebuilt from the arrival times, the window and the threshold. Target:
//    within two feedback periods;
//  - false alarms over full-speed planned motions (target 0 of 100).
//
// ORVANE_BENCH_RUNS sets the number of runs per figure (default 50; the
// false-alarm figure runs twice as many motions, the latency figure 20).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iostream>
#include <limits>
#include <memory>
#include <numbers>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <orvane/motion.hpp>
#include <orvane/motion/robots.hpp>

#include "orvane/drivers/fanuc/fanuc_driver.hpp"
#include "orvane/log/log.hpp"
#include "orvane/sim/controller_simulator.hpp"
#include "orvane/sim/testing.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using orvane::drivers::FanucDriver;
using orvane::drivers::Result;

constexpr double control_interval = 0.024;
constexpr double interpolation_period = 0.008;
constexpr double degrees_per_radian = 180.0 / std::numbers::pi;
constexpr int scale_drivers = 64;

int runs_per_figure() {
    const char* value = std::getenv("ORVANE_BENCH_RUNS");
    const int runs = value ? std::atoi(value) : 50;
    return runs > 0 ? runs : 50;
}

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// --- the simulator process ------------------------------------------------------------

int serve_simulators(int count) {
    std::vector<std::unique_ptr<orvane::sim::ControllerSimulator>> sims;
    for (int i = 0; i < count; ++i) {
        sims.push_back(orvane::sim::testing::start_on_free_loopback());
        std::cout << "SIM " << sims.back()->config().address << '\n';
    }
    std::cout << "READY" << std::endl;
    std::string command;
    int index = 0;
    while (std::cin >> command) {
        if (command == "quit") break;
        std::cin >> index;
        auto& sim = *sims.at(static_cast<std::size_t>(index));
        if (command == "clear") {
            sim.clear_records();
        } else if (command == "lag") {
            double seconds = 0.0;
            std::cin >> seconds;
            sim.set_servo_lag(seconds);
        } else if (command == "block") {
            // Both processes share the steady clock, so a time point crosses as nanoseconds.
            int joint = 1;
            std::int64_t at_ns = 0;
            std::cin >> joint >> at_ns;
            sim.block_joint(joint, Clock::time_point(std::chrono::nanoseconds(at_ns)));
        } else if (command == "undeviate") {
            sim.clear_joint_deviations();
        } else if (command == "idle") {
            sim.wait_until_motion_idle(std::chrono::seconds(30));
        } else if (command == "report") {
            std::size_t readings = 0;
            for (const auto& line : sim.received_lines()) {
                if (line.channel != "data") continue;
                if (line.line.find("FRC_ReadJointAngles") != std::string::npos) ++readings;
                if (line.line.find("\"Instruction\"") == std::string::npos &&
                    line.line.find("FRC_Abort") == std::string::npos) {
                    continue;
                }
                std::cout << "L "
                          << std::chrono::duration_cast<std::chrono::nanoseconds>(line.at.time_since_epoch()).count()
                          << ' ' << line.line << '\n';
            }
            char buffer[64];
            for (const auto& sample : sim.executed_path()) {
                std::snprintf(buffer, sizeof buffer, "P %.9f", sample.t);
                std::cout << buffer;
                for (int j = 0; j < 6; ++j) {
                    std::snprintf(buffer, sizeof buffer, " %.9f", sample.planner_deg[static_cast<std::size_t>(j)]);
                    std::cout << buffer;
                }
                std::cout << '\n';
            }
            std::cout << "S " << sim.slow_downs().size() << '\n';
            std::cout << "R " << readings << '\n';
        }
        std::cout << "END" << std::endl;
    }
    for (auto& sim : sims) sim->stop();
    return 0;
}

struct Instruction {
    std::int64_t arrived_ns{0};
    int sequence_id{0};
    int term_value{0};
    std::vector<double> planner_deg;
};

struct Report {
    std::vector<Instruction> instructions;
    std::vector<std::int64_t> aborts_ns;
    std::vector<std::pair<double, std::vector<double>>> path;
    std::size_t slow_downs{0};
    std::size_t joint_readings{0};
};

class SimulatorProcess {
public:
    explicit SimulatorProcess(int count) {
        int to_child[2], from_child[2];
        if (pipe(to_child) != 0 || pipe(from_child) != 0) throw std::runtime_error("pipe");
        pid = fork();
        if (pid == 0) {
            dup2(to_child[0], 0);
            dup2(from_child[1], 1);
            close(to_child[1]);
            close(from_child[0]);
            const std::string n = std::to_string(count);
            execl("/proc/self/exe", "bench_fanuc_streaming", "--sim-server", n.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(to_child[0]);
        close(from_child[1]);
        in = fdopen(to_child[1], "w");
        out = fdopen(from_child[0], "r");
        for (std::string line = read_line(); line != "READY"; line = read_line()) {
            if (line.rfind("SIM ", 0) == 0) addresses.push_back(line.substr(4));
            if (line.empty()) throw std::runtime_error("the simulator process ended");
        }
    }
    ~SimulatorProcess() {
        std::fputs("quit\n", in);
        std::fclose(in);
        std::fclose(out);
        int status = 0;
        waitpid(pid, &status, 0);
    }

    void command(const std::string& name, int index, const std::string& arguments = "") {
        std::fprintf(in, "%s %d %s\n", name.c_str(), index, arguments.c_str());
        std::fflush(in);
    }
    void clear(int index) {
        command("clear", index);
        expect_end();
    }
    void idle(int index) {
        command("idle", index);
        expect_end();
    }
    void set_servo_lag(int index, double seconds) {
        command("lag", index, std::to_string(seconds));
        expect_end();
    }
    void block_joint(int index, int joint, std::int64_t at_ns) {
        command("block", index, std::to_string(joint) + " " + std::to_string(at_ns));
        expect_end();
    }
    void clear_joint_deviations(int index) {
        command("undeviate", index);
        expect_end();
    }
    Report report(int index) {
        command("report", index);
        Report report;
        for (std::string line = read_line(); line != "END"; line = read_line()) {
            if (line.empty()) throw std::runtime_error("the simulator process ended");
            if (line[0] == 'L') {
                const auto space = line.find(' ', 2);
                const std::int64_t at = std::stoll(line.substr(2, space - 2));
                const auto packet = nlohmann::json::parse(line.substr(space + 1));
                if (packet.contains("Command")) {
                    report.aborts_ns.push_back(at);
                } else if (packet.value("Instruction", "") == "FRC_JointMotionJRep") {
                    Instruction instruction;
                    instruction.arrived_ns = at;
                    instruction.sequence_id = packet["SequenceID"].get<int>();
                    instruction.term_value = packet["TermValue"].get<int>();
                    for (int k = 1; k <= 6; ++k) {
                        instruction.planner_deg.push_back(packet["JointAngle"]["J" + std::to_string(k)].get<double>());
                    }
                    instruction.planner_deg[2] += instruction.planner_deg[1];
                    report.instructions.push_back(std::move(instruction));
                }
            } else if (line[0] == 'P') {
                std::istringstream fields(line.substr(2));
                double t = 0.0;
                fields >> t;
                std::vector<double> q(6);
                for (auto& value : q) fields >> value;
                report.path.emplace_back(t, std::move(q));
            } else if (line[0] == 'S') {
                report.slow_downs = std::stoul(line.substr(2));
            } else if (line[0] == 'R') {
                report.joint_readings = std::stoul(line.substr(2));
            }
        }
        return report;
    }

    std::vector<std::string> addresses;

private:
    std::string read_line() {
        std::string line;
        for (int c = std::fgetc(out); c != EOF && c != '\n'; c = std::fgetc(out)) line.push_back(static_cast<char>(c));
        return line;
    }
    void expect_end() {
        while (read_line() != "END") {
        }
    }

    pid_t pid{-1};
    FILE* in{nullptr};
    FILE* out{nullptr};
};

SimulatorProcess& simulators() {
    static SimulatorProcess process(scale_drivers);
    return process;
}

// --- figures from one run's records -----------------------------------------------------

struct RunFigures {
    double ratio{0.0};
    double deviation_deg{0.0};
    long stalls{0};
    std::vector<std::pair<std::size_t, double>> gaps_ms;  // instruction index, wait before it
    std::size_t instructions{0};
};

double sample_at(const orvane::Trajectory& trajectory, double t, std::size_t joint) {
    const auto& times = trajectory.times();
    const auto& positions = trajectory.positions();
    if (t <= 0.0) return positions.front()[joint];
    if (t >= times.back()) return positions.back()[joint];
    const auto upper = static_cast<std::size_t>(std::upper_bound(times.begin(), times.end(), t) - times.begin());
    const std::size_t lower = upper - 1;
    const double share = (t - times[lower]) / (times[upper] - times[lower]);
    return positions[lower][joint] + (positions[upper][joint] - positions[lower][joint]) * share;
}

// The controller's schedule, rebuilt from the arrival times: when each
// instruction starts and ends, seconds on the steady clock.
struct Schedule {
    std::vector<double> start, end;
};

Schedule rebuild_schedule(const std::vector<Instruction>& sent) {
    Schedule schedule{std::vector<double>(sent.size()), std::vector<double>(sent.size())};
    double previous_end = -1e9;
    for (std::size_t k = 0; k < sent.size(); ++k) {
        double ready = static_cast<double>(sent[k].arrived_ns) * 1e-9;
        if (sent[k].term_value > 0 && k + 1 < sent.size()) {
            ready = std::max(ready, static_cast<double>(sent[k + 1].arrived_ns) * 1e-9);
        }
        schedule.start[k] = std::max(previous_end, ready);
        schedule.end[k] = schedule.start[k] + control_interval;
        previous_end = schedule.end[k];
    }
    return schedule;
}

// The commanded value of `joint` (degrees, planner convention) at steady-clock
// time `t`, the robot resting at `rest_deg` before the first instruction.
double commanded_at(const Schedule& schedule, const std::vector<Instruction>& sent, double rest_deg,
                    std::size_t joint, double t) {
    const auto started = std::upper_bound(schedule.start.begin(), schedule.start.end(), t) - schedule.start.begin();
    if (started == 0) return rest_deg;
    const auto k = static_cast<std::size_t>(started - 1);
    const double from = k == 0 ? rest_deg : sent[k - 1].planner_deg[joint];
    const double to = sent[k].planner_deg[joint];
    const double share = std::clamp((t - schedule.start[k]) / (schedule.end[k] - schedule.start[k]), 0.0, 1.0);
    return from + (to - from) * share;
}

RunFigures analyse(const Report& report, const orvane::Trajectory& planned) {
    RunFigures figures;
    const auto& sent = report.instructions;
    figures.instructions = sent.size();
    if (sent.empty()) return figures;
    const auto schedule = rebuild_schedule(sent);
    double arrived_at_goal = 0.0;
    for (std::size_t k = 0; k < sent.size(); ++k) {
        if (k > 0 && schedule.start[k] - schedule.end[k - 1] > 1e-4) {
            figures.gaps_ms.emplace_back(k, (schedule.start[k] - schedule.end[k - 1]) * 1e3);
            figures.stalls += static_cast<long>(
                std::ceil((schedule.start[k] - schedule.end[k - 1]) / interpolation_period - 1e-6));
        }
        const bool moves = k == 0 || sent[k].planner_deg != sent[k - 1].planner_deg;
        if (moves) arrived_at_goal = schedule.end[k];
    }
    figures.ratio = (arrived_at_goal - schedule.start[0]) / planned.duration();

    for (const auto& [t, q] : report.path) {
        for (std::size_t j = 0; j < q.size(); ++j) {
            figures.deviation_deg =
                std::max(figures.deviation_deg, std::abs(q[j] - sample_at(planned, t, j) * degrees_per_radian));
        }
    }
    return figures;
}

// How long before the controller needed it each instruction arrived (ms):
// an instruction is needed when the one before it starts if that one blends
// into it, else when it starts itself. The first two of a run set the start
// and have no lead of their own.
std::vector<double> arrival_leads_ms(const std::vector<Instruction>& sent) {
    std::vector<double> leads;
    if (sent.size() < 3) return leads;
    const auto schedule = rebuild_schedule(sent);
    for (std::size_t k = 2; k < sent.size(); ++k) {
        const double needed = sent[k - 1].term_value > 0 ? schedule.start[k - 1] : schedule.start[k];
        leads.push_back((needed - static_cast<double>(sent[k].arrived_ns) * 1e-9) * 1e3);
    }
    return leads;
}

// --- motions ------------------------------------------------------------------------------

std::vector<double> random_goal(std::mt19937& random, const orvane::RobotArm& arm) {
    const auto limits = arm.get_joint_limits();
    std::vector<double> goal(limits.size());
    for (std::size_t j = 0; j < goal.size(); ++j) {
        const double middle = (limits[j].lower + limits[j].upper) / 2.0;
        const double half = (limits[j].upper - limits[j].lower) / 4.0;
        goal[j] = std::uniform_real_distribution<double>(middle - half, middle + half)(random);
    }
    return goal;
}

orvane::Trajectory plan(const orvane::Planner& planner, const std::shared_ptr<orvane::RobotArm>& arm,
                        const std::vector<double>& from, const std::vector<double>& to) {
    auto planned = planner.plan(orvane::LowLevelMotion(arm, orvane::Waypoint(from), orvane::Waypoint(to)));
    if (!planned) throw std::runtime_error(planned.error().message);
    return std::move(*planned);
}

// Joint 1 sweeps `span` radians along half a cosine in `duration` seconds.
orvane::Trajectory sweep(const std::vector<double>& from, double span, double duration) {
    const auto steps = static_cast<std::size_t>(std::llround(duration / control_interval));
    std::vector<double> times;
    std::vector<std::vector<double>> positions, velocities, accelerations;
    for (std::size_t k = 0; k <= steps; ++k) {
        const double t = static_cast<double>(k) * control_interval;
        const double total = static_cast<double>(steps) * control_interval;
        const double phase = std::numbers::pi * t / total;
        auto p = from;
        auto v = std::vector<double>(from.size(), 0.0);
        auto a = v;
        p[0] += span * (1.0 - std::cos(phase)) / 2.0;
        v[0] = span * std::numbers::pi / (2.0 * total) * std::sin(phase);
        a[0] = span * std::numbers::pi * std::numbers::pi / (2.0 * total * total) * std::cos(phase);
        times.push_back(t);
        positions.push_back(p);
        velocities.push_back(v);
        accelerations.push_back(a);
    }
    return orvane::Trajectory(times, positions, velocities, accelerations);
}

struct Setup {
    std::shared_ptr<orvane::RobotArm> arm = orvane::robots::fanuc_lrmate200id();
    std::shared_ptr<orvane::Planner> planner = std::make_shared<orvane::Planner>(arm, control_interval);
    std::unique_ptr<FanucDriver> driver;

    explicit Setup(int index) {
        driver = std::make_unique<FanucDriver>(planner, arm, simulators().addresses.at(static_cast<std::size_t>(index)),
                                               false, true);
        if (driver->enable() != Result::Success) throw std::runtime_error("enable failed");
    }
};

// Keeps both cores busy from other processes while alive.
class CpuHogs {
public:
    CpuHogs() {
        for (int i = 0; i < 2; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                const auto give_up = Clock::now() + std::chrono::minutes(10);  // bounded, whatever happens
                volatile double x = 1.0;
                while (Clock::now() < give_up) {
                    for (int k = 0; k < 100000; ++k) x = x * 1.0000001 + 1e-9;
                }
                _exit(0);
            }
            pids.push_back(pid);
        }
    }
    ~CpuHogs() {
        for (const pid_t pid : pids) {
            kill(pid, SIGKILL);
            int status = 0;
            waitpid(pid, &status, 0);
        }
    }

private:
    std::vector<pid_t> pids;
};

void stream_runs(benchmark::State& state, bool loaded) {
    Setup setup(0);
    auto& sims = simulators();
    std::mt19937 random(7);
    std::unique_ptr<CpuHogs> hogs;
    if (loaded) hogs = std::make_unique<CpuHogs>();
    double worst_ratio = 0.0, ratio_sum = 0.0, worst_deviation = 0.0, cpu = 0.0;
    long stalls = 0;
    std::size_t instructions = 0;
    int runs = 0;
    for (auto _ : state) {
        for (int run = 0; run < runs_per_figure(); ++run) {
            const auto from = setup.driver->get_current_joint_position();
            const auto trajectory = plan(*setup.planner, setup.arm, from, random_goal(random, *setup.arm));
            sims.clear(0);
            const double before = cpu_seconds();
            const auto result = setup.driver->run(trajectory);
            cpu += cpu_seconds() - before;
            if (result != Result::Success) {
                state.SkipWithError("a run failed");
                return;
            }
            const auto figures = analyse(sims.report(0), trajectory);
            worst_ratio = std::max(worst_ratio, figures.ratio);
            ratio_sum += figures.ratio;
            worst_deviation = std::max(worst_deviation, figures.deviation_deg);
            stalls += figures.stalls;
            instructions += figures.instructions;
            ++runs;
        }
    }
    state.counters["runs"] = runs;
    state.counters["ratio_max"] = worst_ratio;
    state.counters["ratio_mean"] = ratio_sum / std::max(1, runs);
    state.counters["deviation_max_deg"] = worst_deviation;
    state.counters["stalls"] = static_cast<double>(stalls);
    state.counters["cpu_us_per_instruction"] = cpu / static_cast<double>(std::max<std::size_t>(1, instructions)) * 1e6;
}

void BM_StreamPlannedMotions(benchmark::State& state) { stream_runs(state, false); }
void BM_StreamPlannedMotionsBothCoresBusy(benchmark::State& state) { stream_runs(state, true); }

double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void BM_StopLatency(benchmark::State& state) {
    Setup setup(0);
    auto& sims = simulators();
    std::vector<double> latencies;
    std::mt19937 random(11);
    for (auto _ : state) {
        for (int run = 0; run < std::max(10, runs_per_figure() / 2); ++run) {
            const auto from = setup.driver->get_current_joint_position();
            sims.clear(0);
            auto motion = setup.driver->run_async(sweep(from, from[0] > 0 ? -1.0 : 1.0, 2.0));
            std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 300));
            const auto called = now_ns();
            setup.driver->stop(false);
            motion.wait();
            const auto report = sims.report(0);
            for (const auto at : report.aborts_ns) {
                if (at >= called) {
                    latencies.push_back(static_cast<double>(at - called) * 1e-6);
                    break;
                }
            }
        }
    }
    state.counters["stops"] = static_cast<double>(latencies.size());
    state.counters["latency_median_ms"] = median(latencies);
    state.counters["latency_max_ms"] = latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end());
}

void BM_PauseLatency(benchmark::State& state) {
    Setup setup(0);
    auto& sims = simulators();
    std::vector<double> latencies;
    for (auto _ : state) {
        for (int run = 0; run < std::max(10, runs_per_figure() / 2); ++run) {
            const auto from = setup.driver->get_current_joint_position();
            sims.clear(0);
            // Paused near the sweep's peak speed, where the speed barely changes by itself.
            auto motion = setup.driver->run_async(sweep(from, from[0] > 0 ? -1.5 : 1.5, 3.0));
            std::this_thread::sleep_for(std::chrono::milliseconds(1400));
            const auto called = now_ns();
            auto paused = setup.driver->pause_async();
            paused.wait();
            motion.wait();
            setup.driver->reset_speed();
            const auto report = sims.report(0);
            const auto& sent = report.instructions;
            for (std::size_t k = 2; k < sent.size(); ++k) {
                const double step = std::abs(sent[k].planner_deg[0] - sent[k - 1].planner_deg[0]);
                const double before = std::abs(sent[k - 1].planner_deg[0] - sent[k - 2].planner_deg[0]);
                if (sent[k].arrived_ns >= called && step < 0.99 * before) {
                    latencies.push_back(static_cast<double>(sent[k].arrived_ns - called) * 1e-6);
                    break;
                }
            }
            // The paused motion is ended by the next run.
        }
    }
    state.counters["pauses"] = static_cast<double>(latencies.size());
    state.counters["latency_median_ms"] = median(latencies);
    state.counters["latency_max_ms"] = latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end());
}

void BM_Scale64Drivers(benchmark::State& state) {
    auto& sims = simulators();
    std::vector<std::unique_ptr<Setup>> setups;
    for (int i = 0; i < scale_drivers; ++i) setups.push_back(std::make_unique<Setup>(i));
    std::mt19937 random(5);
    double worst_ratio = 0.0, cpu = 0.0;
    long stalls = 0;
    std::size_t instructions = 0;
    int runs = 0, failures = 0;
    std::vector<double> leads;
    const int rounds = std::max(3, runs_per_figure() / 10);
    for (auto _ : state) {
        for (int round = 0; round < rounds; ++round) {
            std::vector<orvane::Trajectory> trajectories;
            for (int i = 0; i < scale_drivers; ++i) {
                sims.clear(i);
                auto& setup = *setups[static_cast<std::size_t>(i)];
                trajectories.push_back(plan(*setup.planner, setup.arm, setup.driver->get_current_joint_position(),
                                            random_goal(random, *setup.arm)));
            }
            const double before = cpu_seconds();
            std::vector<std::shared_future<Result>> motions;
            for (int i = 0; i < scale_drivers; ++i) {
                motions.push_back(setups[static_cast<std::size_t>(i)]->driver->run_async(
                    trajectories[static_cast<std::size_t>(i)]));
            }
            for (auto& motion : motions) failures += motion.get() == Result::Success ? 0 : 1;
            cpu += cpu_seconds() - before;
            for (int i = 0; i < scale_drivers; ++i) {
                const auto report = sims.report(i);
                const auto figures = analyse(report, trajectories[static_cast<std::size_t>(i)]);
                const auto run_leads = arrival_leads_ms(report.instructions);
                leads.insert(leads.end(), run_leads.begin(), run_leads.end());
                if (figures.stalls > 0) {
                    // Where a stall sits tells a slow start from a hiccup of the host.
                    std::fprintf(stderr, "[64 drivers] round %d, driver %d: %ld stalls in %zu instructions:", round, i,
                                 figures.stalls, figures.instructions);
                    for (const auto& [k, gap] : figures.gaps_ms) std::fprintf(stderr, " #%zu +%.1f ms", k, gap);
                    std::fprintf(stderr, "\n");
                }
                worst_ratio = std::max(worst_ratio, figures.ratio);
                stalls += figures.stalls;
                instructions += figures.instructions;
                ++runs;
            }
        }
    }
    state.counters["runs"] = runs;
    state.counters["failures"] = failures;
    state.counters["ratio_max"] = worst_ratio;
    state.counters["stalls"] = static_cast<double>(stalls);
    state.counters["cpu_us_per_instruction"] = cpu / static_cast<double>(std::max<std::size_t>(1, instructions)) * 1e6;
    // The margin against stalls: a lead that reaches 0 is a stall.
    std::sort(leads.begin(), leads.end());
    state.counters["lead_min_ms"] = leads.empty() ? 0.0 : leads.front();
    state.counters["lead_p1_ms"] = leads.empty() ? 0.0 : leads[leads.size() / 100];
    state.counters["lead_median_ms"] = median(leads);
}

// The floor under the per-instruction figure: a client that only sends a
// line and blocks until the answer comes one control interval later. After
// each wait the caches hold other work, so this costs far more than the same
// exchange done back to back.
void BM_BareRoundTripFloor(benchmark::State& state) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7f000001);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        state.SkipWithError("no loopback listener");
        return;
    }
    const int delay_us = static_cast<int>(control_interval * 1e6);
    const pid_t child = fork();
    if (child == 0) {
        const int connection = ::accept(listener, nullptr, nullptr);
        const int one = 1;
        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char buffer[1024];
        for (;;) {
            const ssize_t count = ::recv(connection, buffer, sizeof buffer, 0);
            if (count <= 0) _exit(0);
            ::usleep(static_cast<useconds_t>(delay_us));
            if (::send(connection, buffer, static_cast<std::size_t>(count), 0) != count) _exit(0);
        }
    }
    ::close(listener);
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        state.SkipWithError("no loopback connection");
    } else {
        const std::string line = std::string(250, 'x') + "\r\n";
        char buffer[1024];
        const int round_trips = std::max(100, runs_per_figure() * 4);
        double cpu = 0.0;
        for (auto _ : state) {
            const double before = cpu_seconds();
            for (int k = 0; k < round_trips; ++k) {
                if (::send(client, line.data(), line.size(), 0) != static_cast<ssize_t>(line.size())) break;
                std::size_t received = 0;
                while (received < line.size()) {
                    const ssize_t count = ::recv(client, buffer, sizeof buffer, 0);
                    if (count <= 0) break;
                    received += static_cast<std::size_t>(count);
                }
            }
            cpu += cpu_seconds() - before;
        }
        state.counters["cpu_us_per_round_trip"] = cpu / round_trips * 1e6;
    }
    ::close(client);
    int status = 0;
    waitpid(child, &status, 0);
}

// --- joint feedback during motion ------------------------------------------------------

constexpr double feedback_rate = 25.0;
constexpr double feedback_servo_lag = 0.05;

// The simulator's servos trail the command as a real controller's do, while alive.
class LaggingServo {
public:
    explicit LaggingServo(int index_) : index(index_) { simulators().set_servo_lag(index, feedback_servo_lag); }
    ~LaggingServo() { simulators().set_servo_lag(index, 0.0); }
    LaggingServo(const LaggingServo&) = delete;
    LaggingServo& operator=(const LaggingServo&) = delete;

private:
    int index;
};

struct StreamTally {
    double worst_ratio{0.0}, ratio_sum{0.0}, cpu{0.0}, planned_seconds{0.0};
    long stalls{0};
    std::size_t instructions{0}, joint_readings{0};
    int runs{0}, failures{0};
};

// Each random path there and back is run once with feedback off and once with
// it on, the order alternating, so that both halves see the same motions and
// the same load; the per-path ratio on/off compares like with like (a ratio on
// its own moves by one control interval over a short motion's duration when
// the last targets round to the same value or not).
void feedback_off_beside_on(benchmark::State& state, bool loaded) {
    Setup setup(0);
    auto& sims = simulators();
    LaggingServo lagging(0);
    std::mt19937 random(13);
    std::unique_ptr<CpuHogs> hogs;
    if (loaded) hogs = std::make_unique<CpuHogs>();
    StreamTally tally[2];  // [0] feedback off, [1] on
    double worst_same_path = 0.0;
    const int paths = std::max(1, runs_per_figure() / 2);
    for (auto _ : state) {
        for (int pair = 0; pair < paths; ++pair) {
            std::this_thread::sleep_for(std::chrono::duration<double>(2.0 * feedback_servo_lag));
            const auto home = setup.driver->get_current_joint_position();
            const auto away = random_goal(random, *setup.arm);
            const auto there = plan(*setup.planner, setup.arm, home, away);
            const auto back = plan(*setup.planner, setup.arm, away, home);
            double ratios[2][2] = {{0.0, 0.0}, {0.0, 0.0}};  // [leg][on]
            for (int run = 0; run < 4; ++run) {
                const int leg = run % 2;
                const int on = (pair + run / 2) % 2;
                setup.driver->feedback_rate = on ? feedback_rate : 0.0;
                const auto& trajectory = leg == 0 ? there : back;
                // The measured position trails by the servo lag: settled, it is
                // where the planned paths start.
                std::this_thread::sleep_for(std::chrono::duration<double>(2.0 * feedback_servo_lag));
                sims.clear(0);
                const double before = cpu_seconds();
                const auto result = setup.driver->run(trajectory);
                auto& t = tally[on];
                t.cpu += cpu_seconds() - before;
                if (result != Result::Success) {
                    ++t.failures;
                    continue;
                }
                const auto report = sims.report(0);
                const auto figures = analyse(report, trajectory);
                ratios[leg][on] = figures.ratio;
                t.worst_ratio = std::max(t.worst_ratio, figures.ratio);
                t.ratio_sum += figures.ratio;
                t.stalls += figures.stalls;
                t.instructions += figures.instructions;
                t.joint_readings += report.joint_readings;
                t.planned_seconds += trajectory.duration();
                ++t.runs;
            }
            for (const auto& leg : ratios) {
                if (leg[0] > 0.0 && leg[1] > 0.0) worst_same_path = std::max(worst_same_path, leg[1] / leg[0]);
            }
        }
    }
    setup.driver->feedback_rate = feedback_rate;
    const auto cpu_per_instruction = [](const StreamTally& t) {
        return t.cpu / static_cast<double>(std::max<std::size_t>(1, t.instructions)) * 1e6;
    };
    const char* names[2] = {"off", "on"};
    for (int on = 0; on < 2; ++on) {
        const auto& t = tally[on];
        const std::string suffix = std::string("_") + names[on];
        state.counters["runs" + suffix] = t.runs;
        state.counters["failures" + suffix] = t.failures;
        state.counters["ratio_max" + suffix] = t.worst_ratio;
        state.counters["ratio_mean" + suffix] = t.ratio_sum / std::max(1, t.runs);
        state.counters["stalls" + suffix] = static_cast<double>(t.stalls);
        state.counters["cpu_us_per_instruction" + suffix] = cpu_per_instruction(t);
        state.counters["readings_per_s" + suffix] =
            static_cast<double>(t.joint_readings) / std::max(1e-9, t.planned_seconds);
    }
    state.counters["same_path_ratio_on_over_off_max"] = worst_same_path;
    state.counters["cpu_on_over_off"] = cpu_per_instruction(tally[1]) / std::max(1e-9, cpu_per_instruction(tally[0]));
}

void BM_FeedbackOffBesideOn(benchmark::State& state) { feedback_off_beside_on(state, false); }
void BM_FeedbackOffBesideOnBothCoresBusy(benchmark::State& state) { feedback_off_beside_on(state, true); }

// The first moment from `from_s` on at which the driver's deviation of a joint
// measured at `measured_deg` exceeds `threshold_deg`: the distance to the
// nearest commanded value within [t - window, t]. Empty if it never does
// while instructions run.
std::optional<double> threshold_crossing(const Schedule& schedule, const std::vector<Instruction>& sent,
                                         double rest_deg, std::size_t joint, double measured_deg, double from_s,
                                         double window, double threshold_deg) {
    constexpr double step = 0.00025;
    const auto samples = static_cast<int>(std::ceil(window / step));
    const double until = schedule.end.back() + window;
    for (double t = from_s; t <= until; t += step) {
        double nearest = std::numeric_limits<double>::infinity();
        for (int k = 0; k <= samples && nearest > threshold_deg; ++k) {
            const double value = commanded_at(schedule, sent, rest_deg, joint, t - window * k / samples);
            nearest = std::min(nearest, std::abs(value - measured_deg));
        }
        if (nearest > threshold_deg) return t;
    }
    return std::nullopt;
}

// J1 is blocked during a sweep at a random moment; the driver must stop the
// robot with ErrorPathDeviation. Latency is taken to "FRC_Abort" as the
// controller received it.
void BM_DeviationDetectionLatency(benchmark::State& state) {
    Setup setup(0);
    auto& sims = simulators();
    LaggingServo lagging(0);
    setup.driver->feedback_rate = feedback_rate;
    std::mt19937 random(19);
    std::vector<double> from_crossing, from_block, block_to_crossing;
    // Runs the monitor did not end with ErrorPathDeviation and an abort; runs
    // whose crossing moment could not be found.
    int injections = 0, not_stopped = 0, no_crossing = 0;
    for (auto _ : state) {
        for (int run = 0; run < 20; ++run) {
            const auto from = setup.driver->get_current_joint_position();
            const auto trajectory = sweep(from, from[0] > 0 ? -1.0 : 1.0, 2.0);
            sims.clear(0);
            const std::int64_t block_ns = now_ns() + static_cast<std::int64_t>(600 + random() % 400) * 1000000;
            sims.block_joint(0, 1, block_ns);
            const auto result = setup.driver->run(trajectory);
            // The motion's result can come before the monitor's stop has sent
            // "FRC_Abort", and does come before that stop has enabled the robot
            // again (the abort takes abort_duration): both are waited for.
            const auto enabled_by = Clock::now() + std::chrono::seconds(15);
            while (!setup.driver->is_enabled() && Clock::now() < enabled_by) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            const auto report = sims.report(0);
            sims.clear_joint_deviations(0);
            ++injections;
            const auto abort = std::find_if(report.aborts_ns.begin(), report.aborts_ns.end(),
                                            [&](std::int64_t at) { return at >= block_ns; });
            if (result != Result::ErrorPathDeviation || abort == report.aborts_ns.end() ||
                report.instructions.empty() || report.path.empty()) {
                ++not_stopped;
                continue;
            }
            const double frozen_deg = report.path.back().second[0];  // the blocked joint's measured value
            const double threshold_deg = setup.driver->path_deviation_error_threshold.load() * degrees_per_radian;
            const double block_s = static_cast<double>(block_ns) * 1e-9;
            const auto crossing =
                threshold_crossing(rebuild_schedule(report.instructions), report.instructions,
                                   from[0] * degrees_per_radian, 0, frozen_deg, block_s,
                                   setup.driver->path_deviation_window.load(), threshold_deg);
            if (!crossing) {
                ++no_crossing;
                continue;
            }
            const double abort_s = static_cast<double>(*abort) * 1e-9;
            from_crossing.push_back((abort_s - *crossing) * 1e3);
            from_block.push_back((abort_s - block_s) * 1e3);
            block_to_crossing.push_back((*crossing - block_s) * 1e3);
        }
    }
    const double period_ms = 1e3 / feedback_rate;
    const double worst = from_crossing.empty() ? 0.0 : *std::max_element(from_crossing.begin(), from_crossing.end());
    state.counters["injections"] = injections;
    state.counters["not_stopped"] = not_stopped;
    state.counters["no_crossing"] = no_crossing;
    state.counters["feedback_period_ms"] = period_ms;
    state.counters["latency_median_ms"] = median(from_crossing);
    state.counters["latency_max_ms"] = worst;
    state.counters["latency_min_ms"] =
        from_crossing.empty() ? 0.0 : *std::min_element(from_crossing.begin(), from_crossing.end());
    state.counters["latency_max_periods"] = worst / period_ms;
    state.counters["block_to_crossing_median_ms"] = median(block_to_crossing);
    state.counters["block_to_abort_median_ms"] = median(from_block);
}

// Planned motions at full speed, feedback on, the servo lagging: any
// ErrorPathDeviation is a false alarm.
void BM_FeedbackFalseAlarmsFullSpeed(benchmark::State& state) {
    Setup setup(0);
    LaggingServo lagging(0);
    setup.driver->feedback_rate = feedback_rate;
    std::mt19937 random(23);
    int motions = 0, false_alarms = 0, other_failures = 0;
    double largest = 0.0;
    std::size_t readings = 0;
    for (auto _ : state) {
        for (int run = 0; run < 2 * runs_per_figure(); ++run) {
            const auto from = setup.driver->get_current_joint_position();
            const auto trajectory = plan(*setup.planner, setup.arm, from, random_goal(random, *setup.arm));
            const auto result = setup.driver->run(trajectory);
            ++motions;
            if (result == Result::ErrorPathDeviation) {
                ++false_alarms;
            } else if (result != Result::Success) {
                ++other_failures;
            }
            const auto record = setup.driver->get_last_motion_feedback();
            largest = std::max(largest, record.max_deviation);
            readings += record.times.size();
        }
    }
    state.counters["motions"] = motions;
    state.counters["false_alarms"] = false_alarms;
    state.counters["other_failures"] = other_failures;
    state.counters["readings"] = static_cast<double>(readings);
    state.counters["max_deviation_over_threshold"] =
        largest / setup.driver->path_deviation_error_threshold.load();
}

BENCHMARK(BM_StreamPlannedMotions)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_StreamPlannedMotionsBothCoresBusy)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_StopLatency)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_PauseLatency)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_Scale64Drivers)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_BareRoundTripFloor)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_FeedbackOffBesideOn)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_FeedbackOffBesideOnBothCoresBusy)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_DeviationDetectionLatency)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_FeedbackFalseAlarmsFullSpeed)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--sim-server") == 0) return serve_simulators(std::atoi(argv[2]));
    // Each driver re-reads the level from the environment.
    setenv("ORVANE_LOG_LEVEL", "error", 0);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
