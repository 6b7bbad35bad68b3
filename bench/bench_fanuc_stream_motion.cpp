// FanucDriver over Stream Motion beside RMI, both against the bundled
// controller simulator (in a child process, so that this process's CPU time
// is the driver's own). Each benchmark runs idle and with both cores busy.
//
//  - PlannedMotions: the same planned trajectories (planned within the
//    controller's threshold tables, as Stream Motion needs), each run over
//    Stream Motion and over RMI, the simulator's servo lagging 0.05 s:
//    executed over planned duration, and the largest joint distance of the
//    measured path from the plan at the same time (the plan's time found by
//    laying the commanded path on it). Goal: ratio <= 1.02 over Stream Motion.
//  - Session: a driver moving back and forth over Stream Motion for a while
//    (--minutes N or ORVANE_BENCH_MINUTES, default 1/6: ten seconds): the
//    host's status-to-command latency, in the loop (status read to command
//    sent) and on the wire (status sent to command received, as the
//    controller sees it); missed periods (the controller's count and the
//    driver's late cycles); limit alarms; CPU per period of the loop's thread.
//    Beside it, in the same benchmark and under the same load, a bare UDP
//    echo of the same rate and packet sizes: its round trip and its CPU per
//    period are the baselines of the ratios. Goals: no missed period idle,
//    99.9th percentile under 2 ms idle, no limit alarm.
//  - Response: speed(0.5), pause and stop asked in a motion's cruise: time to
//    the first changed command the controller received, and to the moment
//    its commanded position reached the new speed or standstill; RMI beside.
//
// Every benchmark counts the limit alarms the simulator raised (goal 0).
// ORVANE_BENCH_RUNS scales the number of motions (default 50: 10 trajectory
// pairs, 5 responses of each kind).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <future>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "fanuc_bench_support.hpp"
#include "orvane/drivers/fanuc/fanuc_driver.hpp"

namespace {

using namespace fanuc_bench;
using orvane::drivers::FanucDriver;
using orvane::drivers::Result;
using orvane::sim::CommandVerdict;

constexpr double servo_lag = 0.05;
constexpr std::size_t status_size = 388;   // status of protocol version 3
constexpr std::size_t command_size = 344;  // command of protocol version 3
constexpr double half_speed = 0.5;

double session_minutes = 1.0 / 6.0;  // --minutes or ORVANE_BENCH_MINUTES

SimulatorProcess& simulators() {
    static SimulatorProcess process(2);  // 0: Stream Motion, 1: RMI
    return process;
}

double ms_between(std::int64_t from_ns, std::int64_t to_ns) { return static_cast<double>(to_ns - from_ns) * 1e-6; }

struct Percentiles {
    double median{0.0}, p99{0.0}, p999{0.0}, max{0.0};
    std::size_t count{0};
};

Percentiles percentiles(std::vector<double> values) {
    Percentiles result;
    result.count = values.size();
    if (values.empty()) return result;
    std::sort(values.begin(), values.end());
    const auto at = [&](double share) {
        const auto index = static_cast<std::size_t>(std::ceil(share * static_cast<double>(values.size()))) - 1;
        return values[std::min(index, values.size() - 1)];
    };
    result.median = at(0.5);
    result.p99 = at(0.99);
    result.p999 = at(0.999);
    result.max = values.back();
    return result;
}

void report_percentiles(benchmark::State& state, const std::string& name, const Percentiles& p) {
    state.counters[name + "_median"] = p.median;
    state.counters[name + "_p99"] = p.p99;
    state.counters[name + "_p999"] = p.p999;
    state.counters[name + "_max"] = p.max;
}

void report_load(benchmark::State& state) {
    double load[3] = {0.0, 0.0, 0.0};
    if (getloadavg(load, 3) == 3) state.counters["load_1min_at_end"] = load[0];
}

// How much a count of the driver's session grew (it starts again with each
// session: read it before enabling again).
std::uint64_t grown(std::uint64_t before, std::uint64_t after) { return after >= before ? after - before : after; }

// Enables `driver` again after a failed motion; says why not, with the
// controller's newest alarms.
bool enable_again(FanucDriver& driver, int index) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (driver.enable() == Result::Success) return true;
        std::fprintf(stderr, "[%s] enable: %s\n", driver.motion_interface().c_str(), driver.get_last_error().c_str());
        const auto alarms = simulators().alarms(index);
        for (std::size_t k = 0; k < std::min<std::size_t>(3, alarms.size()); ++k) {
            std::fprintf(stderr, "    the controller's alarm: %s\n", alarms[k].c_str());
        }
    }
    return false;
}

// A benchmark that cannot go on (the controller does not come back) is
// reported as such, and the others still run.
void guarded(benchmark::State& state, const std::function<void()>& body) {
    try {
        body();
    } catch (const std::exception& failure) {
        state.SkipWithError(failure.what());
    }
}

// --- the drivers -------------------------------------------------------------------------

// A driver over Stream Motion on simulator 0 and, if asked, one over RMI on
// simulator 1, both at the same joint position, sharing a planner that
// plans within the tables the Stream Motion driver read.
struct Drivers {
    std::shared_ptr<orvane::RobotArm> arm = orvane::robots::fanuc_lrmate200id();
    std::shared_ptr<orvane::Planner> planner = std::make_shared<orvane::Planner>(arm, control_interval);
    std::unique_ptr<FanucDriver> sm;
    std::unique_ptr<FanucDriver> rmi;

    explicit Drivers(bool with_rmi) {
        auto& sims = simulators();
        sims.set_servo_lag(0, 0.0);
        sims.set_servo_lag(1, 0.0);
        FanucDriver::ConnectOptions options;
        options.stream_motion = true;
        options.stream_motion_port = sims.stream_ports.at(0);
        sm = std::make_unique<FanucDriver>(planner, arm, sims.addresses.at(0), false, true, options);
        if (sm->enable() != Result::Success) throw std::runtime_error("enable over Stream Motion: " + sm->get_last_error());
        planner->set_limit_table(arm, *sm->stream_motion_limits());
        if (!with_rmi) return;
        rmi = std::make_unique<FanucDriver>(planner, arm, sims.addresses.at(1), false, true);
        if (rmi->enable() != Result::Success) throw std::runtime_error("enable over RMI: " + rmi->get_last_error());
        const auto home = sm->get_current_joint_position();
        if (rmi->run(plan(*planner, arm, rmi->get_current_joint_position(), home)) != Result::Success) {
            throw std::runtime_error("RMI to the Stream Motion driver's position: " + rmi->get_last_error());
        }
    }
};

// --- figures from the simulator's records ------------------------------------------------

// Motion commands the controller took, in order.
std::vector<StreamCommand> taken(const StreamReport& report) {
    std::vector<StreamCommand> commands;
    for (const auto& command : report.commands) {
        if (command.verdict == CommandVerdict::Accepted && command.motion) commands.push_back(command);
    }
    return commands;
}

int limit_alarms(const StreamReport& report) {
    int count = 0;
    for (const auto& command : report.commands) count += command.limit_alarm ? 1 : 0;
    return count;
}

bool moved(const std::array<double, 6>& a, const std::array<double, 6>& b) {
    for (std::size_t j = 0; j < a.size(); ++j) {
        if (std::abs(a[j] - b[j]) > 1e-9) return true;
    }
    return false;
}

// The controller follows one command per period: from the first command that
// moved the arm to the last, inclusive, over the planned duration.
double stream_ratio(const StreamReport& report, const orvane::Trajectory& planned) {
    const auto commands = taken(report);
    std::optional<std::size_t> first, last;
    for (std::size_t k = 1; k < commands.size(); ++k) {
        if (!moved(commands[k].planner_deg, commands[k - 1].planner_deg)) continue;
        if (!first) first = k;
        last = k;
    }
    if (!first) return 0.0;
    return static_cast<double>(*last - *first + 1) * interpolation_period / planned.duration();
}

struct PathFit {
    double deviation_deg{0.0};      // measured path from the plan
    double command_error_deg{0.0};  // commanded path from the plan, at the best offset
};

// The plan at `t` between its samples: cubic in position and velocity, as a
// smooth playback between samples is (a straight line between samples
// 24 ms apart is some 0.05 degrees off the curve at full acceleration).
double planned_at(const orvane::Trajectory& planned, double t, std::size_t joint) {
    const auto& times = planned.times();
    const auto& positions = planned.positions();
    const auto& velocities = planned.velocities();
    if (t <= 0.0) return positions.front()[joint];
    if (t >= times.back()) return positions.back()[joint];
    const auto upper = static_cast<std::size_t>(std::upper_bound(times.begin(), times.end(), t) - times.begin());
    const std::size_t lower = upper - 1;
    const double h = times[upper] - times[lower];
    const double u = (t - times[lower]) / h;
    const double u2 = u * u, u3 = u2 * u;
    return (2 * u3 - 3 * u2 + 1) * positions[lower][joint] + (u3 - 2 * u2 + u) * h * velocities[lower][joint] +
           (-2 * u3 + 3 * u2) * positions[upper][joint] + (u3 - u2) * h * velocities[upper][joint];
}

// Lays the commanded path on the plan (the offset between the record's clock
// and the plan's, found to 0.1 ms), then measures the measured path against
// the plan at the same time: servo lag and any time the motion lost show.
// `period`: the record is one sample per period of a controller that follows
// one command each, and its time is the sample's number of periods (a tick
// the simulator itself ran late says nothing of the driver).
PathFit fit_path(std::vector<PathSample> path, const orvane::Trajectory& planned, std::optional<double> period = {}) {
    PathFit fit;
    if (path.empty()) return fit;
    if (period) {
        for (std::size_t k = 0; k < path.size(); ++k) path[k].t = static_cast<double>(k) * *period;
    }
    std::optional<double> departs;
    for (const auto& sample : path) {
        if (moved(sample.commanded_deg, path.front().commanded_deg)) {
            departs = sample.t;
            break;
        }
    }
    if (!departs) return fit;
    const auto error_at = [&](double offset, bool measured) {
        double worst = 0.0;
        for (const auto& sample : path) {
            const auto& q = measured ? sample.measured_deg : sample.commanded_deg;
            for (std::size_t j = 0; j < q.size(); ++j) {
                worst = std::max(worst, std::abs(q[j] - planned_at(planned, sample.t - offset, j) * degrees_per_radian));
            }
        }
        return worst;
    };
    double best_offset = *departs;
    fit.command_error_deg = std::numeric_limits<double>::infinity();
    for (double offset = *departs - 4.0 * control_interval; offset <= *departs + control_interval; offset += 1e-4) {
        const double error = error_at(offset, false);
        if (error < fit.command_error_deg) {
            fit.command_error_deg = error;
            best_offset = offset;
        }
    }
    fit.deviation_deg = error_at(best_offset, true);
    return fit;
}

// --- planned motions, over both interfaces -------------------------------------------

struct InterfaceTally {
    double worst_ratio{0.0}, ratio_sum{0.0}, worst_deviation{0.0}, worst_command_error{0.0};
    int runs{0}, failures{0};

    void add(double ratio, const PathFit& fit) {
        worst_ratio = std::max(worst_ratio, ratio);
        ratio_sum += ratio;
        worst_deviation = std::max(worst_deviation, fit.deviation_deg);
        worst_command_error = std::max(worst_command_error, fit.command_error_deg);
        ++runs;
    }
    void report(benchmark::State& state, const std::string& suffix) const {
        state.counters["runs" + suffix] = runs;
        state.counters["failures" + suffix] = failures;
        state.counters["ratio_max" + suffix] = worst_ratio;
        state.counters["ratio_mean" + suffix] = ratio_sum / std::max(1, runs);
        state.counters["deviation_max_deg" + suffix] = worst_deviation;
        state.counters["command_from_plan_max_deg" + suffix] = worst_command_error;
    }
};

// Each random path there and back runs over Stream Motion and over RMI, so
// that both see the same motions under the same load.
void planned_motions(benchmark::State& state, bool loaded) {
    Drivers drivers(true);
    auto& sims = simulators();
    std::mt19937 random(7);
    std::unique_ptr<CpuHogs> hogs;
    if (loaded) hogs = std::make_unique<CpuHogs>();
    InterfaceTally sm, rmi;
    int alarms = 0;
    std::uint64_t missed_before = sims.stream_report(0).missed_periods, missed = 0, late = 0;
    double worst_ratio_over_rmi = 0.0, worst_deviation_over_rmi = 0.0;
    sims.set_servo_lag(0, servo_lag);
    sims.set_servo_lag(1, servo_lag);
    for (auto _ : state) {
        const auto home = drivers.sm->get_current_joint_position();
        for (int pair = 0; pair < std::max(1, runs_per_figure() / 5); ++pair) {
            const auto away = random_goal(random, *drivers.arm);
            const orvane::Trajectory legs[2] = {plan(*drivers.planner, drivers.arm, home, away),
                                                plan(*drivers.planner, drivers.arm, away, home)};
            for (const auto& trajectory : legs) {
                // Settled: the lagging servo is where the plan starts.
                std::this_thread::sleep_for(std::chrono::duration<double>(2.0 * servo_lag));
                sims.clear(0);
                const auto late_before = drivers.sm->late_cycles();
                const bool sm_ok = drivers.sm->run(trajectory) == Result::Success;
                late += grown(late_before, drivers.sm->late_cycles());
                const auto sm_report = sims.stream_report(0);
                alarms += limit_alarms(sm_report);
                for (const auto& fault : sm_report.faults) std::fprintf(stderr, "[Stream Motion] the controller: %s\n", fault.c_str());
                double sm_ratio = 0.0;
                PathFit sm_fit;
                if (sm_ok) {
                    sm_ratio = stream_ratio(sm_report, trajectory);
                    sm_fit = fit_path(sm_report.path, trajectory, interpolation_period);
                    sm.add(sm_ratio, sm_fit);
                } else {
                    ++sm.failures;
                    std::fprintf(stderr, "[Stream Motion] %s\n", drivers.sm->get_last_error().c_str());
                    for (const auto& alarm : sims.alarms(0)) std::fprintf(stderr, "    the controller's alarm: %s\n", alarm.c_str());
                    // On to where the plan ends, so that the next leg starts where planned.
                    if (!enable_again(*drivers.sm, 0)) throw std::runtime_error("Stream Motion does not come back");
                    drivers.sm->run(plan(*drivers.planner, drivers.arm, drivers.sm->get_current_joint_position(),
                                         trajectory.positions().back()));
                }
                sims.clear(1);
                const bool rmi_ok = drivers.rmi->run(trajectory) == Result::Success;
                if (!rmi_ok) {
                    ++rmi.failures;
                    std::fprintf(stderr, "[RMI] %s\n", drivers.rmi->get_last_error().c_str());
                    continue;
                }
                const auto rmi_report = sims.report(1);
                const double rmi_ratio = analyse(rmi_report, trajectory).ratio;
                // The same path record, with the commanded joints beside the measured ones.
                const auto rmi_fit = fit_path(sims.stream_report(1).path, trajectory);
                rmi.add(rmi_ratio, rmi_fit);
                if (sm_ok) {
                    worst_ratio_over_rmi = std::max(worst_ratio_over_rmi, sm_ratio / rmi_ratio);
                    worst_deviation_over_rmi =
                        std::max(worst_deviation_over_rmi, sm_fit.deviation_deg / std::max(1e-9, rmi_fit.deviation_deg));
                }
            }
        }
        missed = sims.stream_report(0).missed_periods - missed_before;
    }
    sims.set_servo_lag(0, 0.0);
    sims.set_servo_lag(1, 0.0);
    sm.report(state, "_sm");
    rmi.report(state, "_rmi");
    state.counters["same_path_ratio_sm_over_rmi_max"] = worst_ratio_over_rmi;
    state.counters["same_path_deviation_sm_over_rmi_max"] = worst_deviation_over_rmi;
    state.counters["limit_alarms"] = alarms;
    state.counters["missed_periods"] = static_cast<double>(missed);
    state.counters["late_cycles"] = static_cast<double>(late);
    report_load(state);
}

void BM_PlannedMotions(benchmark::State& state) { guarded(state, [&] { planned_motions(state, false); }); }
void BM_PlannedMotionsBothCoresBusy(benchmark::State& state) { guarded(state, [&] { planned_motions(state, true); }); }

// --- a session: latency, missed periods, CPU, against a bare echo -------------------

// The thread of this process named `name`; 0 if there is none.
pid_t thread_named(const std::string& name) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string found;
        std::getline(comm, found);
        if (found == name) return static_cast<pid_t>(std::stol(entry.path().filename().string()));
    }
    return 0;
}

// CPU time a thread of this process has run (ns), from the scheduler's own count.
std::int64_t thread_cpu_ns(pid_t thread) {
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/schedstat");
    std::int64_t ran = -1;
    stat >> ran;
    return ran;
}

std::int64_t own_thread_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

struct EchoFigures {
    Percentiles round_trip_ms;
    std::uint64_t periods{0};
    std::uint64_t late{0};  // answers that missed their period
    double cpu_us_per_period{0.0};
};

// The controller's side of the bare echo (a process of its own, as the
// simulator is): a status-sized datagram every period on an absolute clock,
// each answer timed. Prints the count, the late answers and the percentiles.
int echo_sender(const std::string& address, int port, double seconds, double period) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return 1;
    const auto periods = static_cast<std::uint64_t>(seconds / period);
    const auto period_ns = static_cast<std::int64_t>(period * 1e9);
    std::vector<double> round_trips;
    round_trips.reserve(periods);
    std::uint64_t late = 0;
    char packet[status_size] = {};
    char answer[1024];
    const std::int64_t start = now_ns() + period_ns;
    for (std::uint64_t k = 0; k < periods; ++k) {
        const std::int64_t due = start + static_cast<std::int64_t>(k) * period_ns;
        const timespec wake{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
        while (::recv(fd, answer, sizeof answer, MSG_DONTWAIT) > 0) {  // answers after their period
        }
        const std::int64_t sent = now_ns();
        if (::send(fd, packet, sizeof packet, 0) != static_cast<ssize_t>(sizeof packet)) continue;
        pollfd readable{fd, POLLIN, 0};
        const auto wait_ns = std::max<std::int64_t>(0, due + period_ns - now_ns());
        const timespec wait{static_cast<time_t>(wait_ns / 1000000000), static_cast<long>(wait_ns % 1000000000)};
        if (::ppoll(&readable, 1, &wait, nullptr) == 1 && ::recv(fd, answer, sizeof answer, 0) > 0) {
            round_trips.push_back(ms_between(sent, now_ns()));
        } else {
            ++late;
        }
    }
    const char end = 0;
    ::send(fd, &end, 1, 0);
    const auto p = percentiles(std::move(round_trips));
    std::printf("%llu %llu %.6f %.6f %.6f %.6f\n", static_cast<unsigned long long>(periods),
                static_cast<unsigned long long>(late), p.median, p.p99, p.p999, p.max);
    return 0;
}

// A bare status -> command echo at the controller's rate: the sender above in
// a child process, and here a thread that answers each status with a
// command-sized datagram and does nothing else.
EchoFigures bare_echo(double seconds, double period) {
    EchoFigures figures;
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7f000001);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("no loopback UDP socket for the echo");
    }
    const timeval patience{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    std::atomic<std::int64_t> cpu_ns{0};
    std::atomic<std::uint64_t> answered{0};
    std::thread echo([&] {
        char packet[1024];
        char reply[command_size] = {};
        const std::int64_t cpu_before = own_thread_cpu_ns();
        for (;;) {
            sockaddr_in from{};
            socklen_t from_length = sizeof from;
            const ssize_t count =
                ::recvfrom(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
            if (count <= 1) break;  // the sender's end, or it went silent
            ::sendto(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), from_length);
            answered.fetch_add(1, std::memory_order_relaxed);
        }
        cpu_ns = own_thread_cpu_ns() - cpu_before;
    });
    int from_child[2];
    if (pipe(from_child) != 0) throw std::runtime_error("pipe");
    const pid_t child = fork();
    if (child == 0) {
        dup2(from_child[1], 1);
        close(from_child[0]);
        const auto port = std::to_string(ntohs(address.sin_port));
        const auto duration = std::to_string(seconds);
        const auto period_text = std::to_string(period);
        execl("/proc/self/exe", "fanuc-bench-echo", "--echo-sender", "127.0.0.1", port.c_str(), duration.c_str(),
              period_text.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(from_child[1]);
    FILE* out = fdopen(from_child[0], "r");
    unsigned long long periods = 0, late = 0;
    auto& p = figures.round_trip_ms;
    const int fields = std::fscanf(out, "%llu %llu %lf %lf %lf %lf", &periods, &late, &p.median, &p.p99, &p.p999, &p.max);
    std::fclose(out);
    int status = 0;
    waitpid(child, &status, 0);
    echo.join();
    ::close(fd);
    if (fields != 6) throw std::runtime_error("the echo's sender gave no figures");
    figures.periods = periods;
    figures.late = late;
    p.count = periods - late;
    figures.cpu_us_per_period =
        static_cast<double>(cpu_ns.load()) * 1e-3 / static_cast<double>(std::max<std::uint64_t>(1, answered.load()));
    return figures;
}

// Adds one session's loop figures to a run's (each enable starts them again).
void add_figures(orvane::drivers::stream_motion::LoopFigures& total,
                 const std::optional<orvane::drivers::stream_motion::LoopFigures>& session) {
    if (!session) return;
    total.statuses += session->statuses;
    total.late_commands += session->late_commands;
    total.late_samples += session->late_samples;
    total.skipped_statuses += session->skipped_statuses;
    for (std::size_t k = 0; k < total.latency.size(); ++k) total.latency[k] += session->latency[k];
    total.latency_max_us = std::max(total.latency_max_us, session->latency_max_us);
}

double minutes_of_session() {
    if (const char* value = std::getenv("ORVANE_BENCH_MINUTES")) {
        const double minutes = std::atof(value);
        if (minutes > 0.0) return minutes;
    }
    return session_minutes;
}

// Moves back and forth over Stream Motion for the session's length; the
// statuses between motions count as well (the loop answers them holding).
void session(benchmark::State& state, bool loaded) {
    const double seconds = minutes_of_session() * 60.0;
    Drivers drivers(false);
    auto& sims = simulators();
    const double period = drivers.sm->stream_motion_period().value_or(interpolation_period);
    std::unique_ptr<CpuHogs> hogs;
    if (loaded) hogs = std::make_unique<CpuHogs>(std::chrono::seconds(static_cast<long>(seconds * 1.5) + 300));

    // Planned before, so that planning is no part of the driver's CPU time.
    std::mt19937 random(17);
    const auto home = drivers.sm->get_current_joint_position();
    std::vector<orvane::Trajectory> cycle;
    for (int pair = 0; pair < 4; ++pair) {
        const auto away = random_goal(random, *drivers.arm);
        cycle.push_back(plan(*drivers.planner, drivers.arm, home, away));
        cycle.push_back(plan(*drivers.planner, drivers.arm, away, home));
    }

    for (auto _ : state) {
        const auto echo = bare_echo(std::clamp(seconds / 4.0, 10.0, 30.0), period);

        sims.clear(0);
        const std::uint64_t missed_before = sims.stream_report(0).missed_periods;
        std::uint64_t late = 0;
        drivers.sm->reset_stream_motion_figures();
        const pid_t loop = thread_named("orvane-sm-loop");
        const std::int64_t loop_cpu_before = loop ? thread_cpu_ns(loop) : -1;
        const double process_cpu_before = cpu_seconds();
        std::vector<double> wire_ms;
        int alarms = 0, failures = 0, motions = 0, enable_failures = 0;
        std::vector<std::string> faults;
        orvane::drivers::stream_motion::LoopFigures figures;
        const auto started = Clock::now();
        const auto collect = [&] {
            const auto report = sims.stream_report(0);
            sims.clear(0);
            for (const auto& command : report.commands) {
                if (command.answer_ns >= 0) wire_ms.push_back(static_cast<double>(command.answer_ns) * 1e-6);
            }
            alarms += limit_alarms(report);
            faults.insert(faults.end(), report.faults.begin(), report.faults.end());
            return report.missed_periods;
        };
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        // After a failed motion: enabled again and home before the cycle goes on from its start.
        bool astray = false;
        const auto failed = [&] {
            ++failures;
            std::fprintf(stderr, "[session] %s\n", drivers.sm->get_last_error().c_str());
            add_figures(figures, drivers.sm->stream_motion_figures());  // if the session still lives
            drivers.sm->reset_stream_motion_figures();
            astray = true;
        };
        std::size_t k = 0;
        while (Clock::now() < end) {
            if (astray) {
                // A controller that does not come back at once may a little later; the session's time runs on.
                if (!drivers.sm->is_enabled() && !enable_again(*drivers.sm, 0)) {
                    ++enable_failures;
                    std::this_thread::sleep_for(std::chrono::seconds(1));
                    continue;
                }
                const auto back = plan(*drivers.planner, drivers.arm, drivers.sm->get_current_joint_position(), home);
                if (drivers.sm->run(back) != Result::Success) {
                    failed();
                    continue;
                }
                astray = false;
                k = 0;
            }
            ++motions;
            const auto late_before = drivers.sm->late_cycles();
            const bool ran = drivers.sm->run(cycle[k]) == Result::Success;
            late += grown(late_before, drivers.sm->late_cycles());
            if (!ran) {
                failed();
            } else {
                // Taken while the session lives: a failed motion ends it, and its figures with it.
                add_figures(figures, drivers.sm->stream_motion_figures());
                drivers.sm->reset_stream_motion_figures();
            }
            k = (k + 1) % cycle.size();
            collect();
        }
        const std::uint64_t missed = collect() - missed_before;
        const double process_cpu = cpu_seconds() - process_cpu_before;
        const std::int64_t loop_cpu = loop && loop == thread_named("orvane-sm-loop") ? thread_cpu_ns(loop) - loop_cpu_before : -1;
        if (drivers.sm->is_enabled()) add_figures(figures, drivers.sm->stream_motion_figures());
        const double periods = static_cast<double>(std::max<std::uint64_t>(1, figures.statuses));

        state.counters["minutes"] = std::chrono::duration<double>(Clock::now() - started).count() / 60.0;
        state.counters["periods"] = static_cast<double>(figures.statuses);
        state.counters["motions"] = motions;
        state.counters["failures"] = failures;
        state.counters["enable_failures"] = enable_failures;
        state.counters["limit_alarms"] = alarms;
        state.counters["missed_periods"] = static_cast<double>(missed);
        state.counters["late_cycles"] = static_cast<double>(late);
        state.counters["skipped_statuses"] = static_cast<double>(figures.skipped_statuses);
        state.counters["late_samples"] = static_cast<double>(figures.late_samples);
        state.counters["loop_latency_us_median"] = figures.latency_percentile_us(0.5);
        state.counters["loop_latency_us_p99"] = figures.latency_percentile_us(0.99);
        state.counters["loop_latency_us_p999"] = figures.latency_percentile_us(0.999);
        state.counters["loop_latency_us_max"] = static_cast<double>(figures.latency_max_us);
        const auto wire = percentiles(wire_ms);
        report_percentiles(state, "wire_ms", wire);
        report_percentiles(state, "echo_ms", echo.round_trip_ms);
        state.counters["echo_late"] = static_cast<double>(echo.late);
        state.counters["wire_p999_over_echo"] = wire.p999 / std::max(1e-9, echo.round_trip_ms.p999);
        state.counters["wire_median_over_echo"] = wire.median / std::max(1e-9, echo.round_trip_ms.median);
        state.counters["echo_cpu_us_per_period"] = echo.cpu_us_per_period;
        state.counters["process_cpu_us_per_period"] = process_cpu / periods * 1e6;
        state.counters["process_cpu_over_echo"] = process_cpu / periods * 1e6 / std::max(1e-9, echo.cpu_us_per_period);
        if (loop_cpu >= 0) {
            state.counters["loop_cpu_us_per_period"] = static_cast<double>(loop_cpu) * 1e-3 / periods;
            state.counters["loop_cpu_over_echo"] =
                static_cast<double>(loop_cpu) * 1e-3 / periods / std::max(1e-9, echo.cpu_us_per_period);
        }
        for (const auto& fault : faults) std::fprintf(stderr, "[session] the controller: %s\n", fault.c_str());
    }
    report_load(state);
}

void BM_Session(benchmark::State& state) { guarded(state, [&] { session(state, false); }); }
void BM_SessionBothCoresBusy(benchmark::State& state) { guarded(state, [&] { session(state, true); }); }

// --- speed, pause and stop in flight ---------------------------------------------------

enum class Ask { speed, pause, stop };

struct Response {
    std::optional<double> first_changed_ms;  // asked -> the first changed command received
    std::optional<double> reached_ms;        // asked -> the controller at the new speed, or at standstill
    bool early{false};                       // a command differed before it was asked (the figures are void)
};

// One joint-1 move's commands as the controller received them: the value,
// when it arrived, and when the controller's commanded position reached it.
struct Series {
    std::vector<double> deg;
    std::vector<std::int64_t> arrived_ns, reached_ns;
};

// Over Stream Motion: from the first motion command that moved the arm. A
// command is followed at the tick that ends its period, the moment the next
// status leaves: the next command's arrival less its answer time.
Series stream_series(const StreamReport& report) {
    Series series;
    const auto commands = taken(report);
    std::size_t first = 1;
    while (first < commands.size() && !moved(commands[first].planner_deg, commands[first - 1].planner_deg)) ++first;
    std::map<std::uint32_t, std::int64_t> status_sent;
    for (const auto& command : report.commands) {
        if (command.answer_ns >= 0) status_sent[command.sequence] = command.arrived_ns - command.answer_ns;
    }
    for (std::size_t k = first; k < commands.size(); ++k) {
        series.deg.push_back(commands[k].planner_deg[0]);
        series.arrived_ns.push_back(commands[k].arrived_ns);
        const auto next = status_sent.find(commands[k].sequence + 1);
        series.reached_ns.push_back(next != status_sent.end()
                                        ? next->second
                                        : commands[k].arrived_ns + static_cast<std::int64_t>(interpolation_period * 1e9));
    }
    return series;
}

// Over RMI: every instruction, reached at the end of its turn in the
// controller's schedule rebuilt from the arrival times; an abort halts the
// simulated arm at once, and what arrived after it never ran.
Series rmi_series(const Report& report, std::optional<std::int64_t> abort_ns) {
    Series series;
    const auto schedule = rebuild_schedule(report.instructions);
    for (std::size_t k = 0; k < report.instructions.size(); ++k) {
        const auto& instruction = report.instructions[k];
        const auto end = static_cast<std::int64_t>(schedule.end[k] * 1e9);
        if (abort_ns && (instruction.arrived_ns >= *abort_ns || end > *abort_ns)) {
            // Cut short where it was when the abort came.
            if (instruction.arrived_ns < *abort_ns && !series.deg.empty()) {
                const double start = static_cast<double>(end) * 1e-9 - control_interval;
                const double share = std::clamp((static_cast<double>(*abort_ns) * 1e-9 - start) / control_interval, 0.0, 1.0);
                series.deg.push_back(series.deg.back() + (instruction.planner_deg[0] - series.deg.back()) * share);
                series.arrived_ns.push_back(instruction.arrived_ns);
                series.reached_ns.push_back(*abort_ns);
            }
            break;
        }
        series.deg.push_back(instruction.planner_deg[0]);
        series.arrived_ns.push_back(instruction.arrived_ns);
        series.reached_ns.push_back(end);
    }
    return series;
}

// Where `value` lies on the reference's monotonic path, in samples.
double progress_on(const std::vector<double>& reference, double value) {
    if (reference.size() < 2) return 0.0;
    const double sign = reference.back() >= reference.front() ? 1.0 : -1.0;
    const auto below = std::partition_point(reference.begin(), reference.end(),
                                            [&](double r) { return sign * r < sign * value; });
    if (below == reference.begin()) return 0.0;
    if (below == reference.end()) return static_cast<double>(reference.size() - 1);
    const auto upper = static_cast<std::size_t>(below - reference.begin());
    const double span = reference[upper] - reference[upper - 1];
    return static_cast<double>(upper - 1) + (span != 0.0 ? (value - reference[upper - 1]) / span : 0.0);
}

// Compares a motion that was asked something at `asked_ns` with the same
// motion left alone (`reference`), sample by sample: the first sample that
// differs, and the first at the new speed (its progress along the reference
// per sample within 1 % of the factor) or the last that moved.
Response response_of(const Series& reference, const Series& trial, std::int64_t asked_ns, Ask ask,
                     std::optional<std::int64_t> abort_ns = {}) {
    Response response;
    std::optional<std::size_t> changed;
    for (std::size_t k = 0; k < trial.deg.size(); ++k) {
        if (abort_ns && trial.reached_ns[k] >= *abort_ns) break;  // cut short by the abort, not changed
        if (k >= reference.deg.size() || std::abs(trial.deg[k] - reference.deg[k]) > 1e-7) {
            changed = k;
            break;
        }
    }
    std::optional<std::int64_t> changed_ns;
    if (changed) changed_ns = trial.arrived_ns[*changed];
    if (abort_ns) changed_ns = std::min(changed_ns.value_or(*abort_ns), *abort_ns);
    if (!changed_ns) return response;
    response.early = *changed_ns < asked_ns;
    response.first_changed_ms = ms_between(asked_ns, *changed_ns);
    if (ask == Ask::speed) {
        if (!changed) return response;
        double before = progress_on(reference.deg, trial.deg[*changed - 1]);
        for (std::size_t k = *changed; k < trial.deg.size(); ++k) {
            const double now = progress_on(reference.deg, trial.deg[k]);
            if (now >= static_cast<double>(reference.deg.size() - 2)) break;  // the plan's end
            if (std::abs(now - before - half_speed) <= 0.01 * half_speed) {
                response.reached_ms = ms_between(asked_ns, trial.reached_ns[k]);
                break;
            }
            before = now;
        }
        return response;
    }
    for (std::size_t k = trial.deg.size(); k > 1; --k) {
        if (std::abs(trial.deg[k - 1] - trial.deg[k - 2]) > 1e-9) {
            response.reached_ms = ms_between(asked_ns, trial.reached_ns[k - 1]);
            break;
        }
    }
    return response;
}

std::optional<std::int64_t> first_abort_after(const Report& report, std::int64_t asked_ns) {
    for (const auto at : report.aborts_ns) {
        if (at >= asked_ns) return at;
    }
    return std::nullopt;
}

struct ResponseTally {
    std::vector<double> first_changed, reached;
    int missing{0};  // trials whose records showed no change, or one before it was asked
    void add(const Response& response) {
        if (!response.first_changed_ms || !response.reached_ms || response.early) {
            std::fprintf(stderr, "[responses] a trial without figures: %s\n",
                         !response.first_changed_ms ? "no command changed"
                         : response.early           ? "a command changed before it was asked"
                                                    : "the new speed or standstill was never reached");
            ++missing;
            return;
        }
        first_changed.push_back(*response.first_changed_ms);
        reached.push_back(*response.reached_ms);
    }
    void report(benchmark::State& state, const std::string& name) const {
        state.counters[name + "_changed_ms_median"] = median(first_changed);
        state.counters[name + "_changed_ms_max"] =
            first_changed.empty() ? 0.0 : *std::max_element(first_changed.begin(), first_changed.end());
        state.counters[name + "_reached_ms_median"] = median(reached);
        state.counters[name + "_reached_ms_max"] = reached.empty() ? 0.0 : *std::max_element(reached.begin(), reached.end());
        state.counters[name + "_missing"] = missing;
    }
};

// Runs `move` on `driver` (asking, if `ask`, somewhere in its middle half),
// takes the controller's records once the arm stands, and brings the driver
// back to the move's start.
template <typename Records>
Records run_and_ask(FanucDriver& driver, const Drivers& drivers, const orvane::Trajectory& move, std::optional<Ask> ask,
                    std::mt19937& random, std::int64_t& asked_ns, std::uint64_t& late, const std::function<void()>& clear,
                    const std::function<Records()>& records) {
    const auto home = move.positions().front();
    clear();
    const auto late_before = driver.late_cycles();
    const auto started = Clock::now();
    auto motion = driver.run_async(move);
    // A slower speed early, so that the factor gets there before the plan ends.
    const double at = (ask == Ask::speed ? std::uniform_real_distribution<double>(0.1, 0.3)(random)
                                         : std::uniform_real_distribution<double>(0.25, 0.75)(random)) *
                      move.duration();
    if (ask) std::this_thread::sleep_until(started + std::chrono::duration<double>(at));
    asked_ns = now_ns();
    if (ask == Ask::speed) driver.set_speed(half_speed);
    if (ask == Ask::pause) driver.pause_async().wait();
    if (ask == Ask::stop) driver.stop(false);
    if (motion.get() != Result::Success && !ask) {
        std::fprintf(stderr, "[%s] %s\n", driver.motion_interface().c_str(), driver.get_last_error().c_str());
    }
    // The commands that hold the arm still after it, too.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto result = records();
    if (ask == Ask::pause) driver.stop(false);  // the paused motion is not resumed
    late += grown(late_before, driver.late_cycles());
    // Full speed again (reset_speed would restore the half speed asked);
    // the way back gives a bounded factor time to get there.
    driver.set_speed(1.0);
    if (!driver.is_enabled()) enable_again(driver, driver.motion_interface() == "rmi" ? 1 : 0);
    driver.run(plan(*drivers.planner, drivers.arm, driver.get_current_joint_position(), home));
    return result;
}

// Joint 1 across nearly its whole range (long enough for a bounded speed
// factor to settle at half speed), both drivers brought to its start.
orvane::Trajectory joint1_sweep(const Drivers& drivers) {
    const auto limits = drivers.arm->get_joint_limits();
    auto from = drivers.sm->get_current_joint_position();
    auto to = from;
    from[0] = limits[0].lower + 0.3;
    to[0] = limits[0].upper - 0.3;
    for (auto* driver : {drivers.sm.get(), drivers.rmi.get()}) {
        if (driver->run(plan(*drivers.planner, drivers.arm, driver->get_current_joint_position(), from)) !=
            Result::Success) {
            throw std::runtime_error("to the sweep's start: " + driver->get_last_error());
        }
    }
    return plan(*drivers.planner, drivers.arm, from, to);
}

void responses(benchmark::State& state, bool loaded) {
    Drivers drivers(true);
    auto& sims = simulators();
    std::mt19937 random(29);
    std::unique_ptr<CpuHogs> hogs;
    if (loaded) hogs = std::make_unique<CpuHogs>();
    const char* names[3] = {"speed", "pause", "stop"};
    ResponseTally sm[3], rmi[3];
    int alarms = 0;
    const std::uint64_t missed_before = sims.stream_report(0).missed_periods;
    std::uint64_t late = 0, rmi_late = 0;
    const auto move = joint1_sweep(drivers);
    const auto sm_run = [&](std::optional<Ask> ask, std::int64_t& asked) {
        const auto report = run_and_ask<StreamReport>(*drivers.sm, drivers, move, ask, random, asked, late,
                                                      [&] { sims.clear(0); }, [&] { return sims.stream_report(0); });
        alarms += limit_alarms(report);
        for (const auto& fault : report.faults) std::fprintf(stderr, "[Stream Motion] the controller: %s\n", fault.c_str());
        return report;
    };
    const auto rmi_run = [&](std::optional<Ask> ask, std::int64_t& asked) {
        return run_and_ask<Report>(*drivers.rmi, drivers, move, ask, random, asked, rmi_late, [&] { sims.clear(1); },
                                   [&] { return sims.report(1); });
    };
    for (auto _ : state) {
        // The same move left alone, once per interface (again if a stalled
        // host cut it short).
        std::int64_t unused = 0;
        Series sm_reference, rmi_reference;
        for (int attempt = 0; attempt < 3 && sm_reference.deg.size() < move.duration() / interpolation_period; ++attempt) {
            sm_reference = stream_series(sm_run(std::nullopt, unused));
        }
        for (int attempt = 0; attempt < 3 && rmi_reference.deg.size() < move.duration() / control_interval; ++attempt) {
            rmi_reference = rmi_series(rmi_run(std::nullopt, unused), std::nullopt);
        }
        for (int trial = 0; trial < std::max(1, runs_per_figure() / 10); ++trial) {
            for (const Ask ask : {Ask::speed, Ask::pause, Ask::stop}) {
                const auto index = static_cast<std::size_t>(ask);
                std::int64_t asked = 0;
                const auto streamed = sm_run(ask, asked);
                sm[index].add(response_of(sm_reference, stream_series(streamed), asked, ask));
                const auto instructed = rmi_run(ask, asked);
                const auto abort = ask == Ask::stop ? first_abort_after(instructed, asked) : std::nullopt;
                rmi[index].add(response_of(rmi_reference, rmi_series(instructed, abort), asked, ask, abort));
            }
        }
    }
    for (std::size_t k = 0; k < 3; ++k) {
        sm[k].report(state, std::string(names[k]) + "_sm");
        rmi[k].report(state, std::string(names[k]) + "_rmi");
    }
    state.counters["limit_alarms"] = alarms;
    state.counters["missed_periods"] = static_cast<double>(sims.stream_report(0).missed_periods - missed_before);
    state.counters["late_cycles"] = static_cast<double>(late);
    report_load(state);
}

void BM_Responses(benchmark::State& state) { guarded(state, [&] { responses(state, false); }); }
void BM_ResponsesBothCoresBusy(benchmark::State& state) { guarded(state, [&] { responses(state, true); }); }

BENCHMARK(BM_PlannedMotions)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_PlannedMotionsBothCoresBusy)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_Session)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_SessionBothCoresBusy)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_Responses)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_ResponsesBothCoresBusy)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--sim-server") == 0) return fanuc_bench::serve_simulators(std::atoi(argv[2]));
    if (argc == 6 && std::strcmp(argv[1], "--echo-sender") == 0) {
        return echo_sender(argv[2], std::atoi(argv[3]), std::atof(argv[4]), std::atof(argv[5]));
    }
    // --minutes N: how long the session benchmarks run (Google Benchmark's own flags pass on).
    std::vector<char*> arguments;
    for (int k = 0; k < argc; ++k) {
        if (std::strcmp(argv[k], "--minutes") == 0 && k + 1 < argc) {
            session_minutes = std::atof(argv[++k]);
            if (!(session_minutes > 0.0)) {
                std::fprintf(stderr, "--minutes takes a positive number\n");
                return 2;
            }
            setenv("ORVANE_BENCH_MINUTES", argv[k], 1);
            continue;
        }
        arguments.push_back(argv[k]);
    }
    int count = static_cast<int>(arguments.size());
    setenv("ORVANE_LOG_LEVEL", "error", 0);
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
