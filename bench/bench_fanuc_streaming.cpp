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

#include "fanuc_bench_support.hpp"
#include "orvane/drivers/fanuc/fanuc_driver.hpp"
#include "orvane/log/log.hpp"
#include "orvane/sim/controller_simulator.hpp"
#include "orvane/sim/testing.hpp"

namespace {

using namespace fanuc_bench;
using orvane::drivers::FanucDriver;
using orvane::drivers::Result;

constexpr int scale_drivers = 64;

SimulatorProcess& simulators() {
    static SimulatorProcess process(scale_drivers);
    return process;
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
    if (argc == 3 && std::strcmp(argv[1], "--sim-server") == 0) return fanuc_bench::serve_simulators(std::atoi(argv[2]));
    // Each driver re-reads the level from the environment.
    setenv("ORVANE_LOG_LEVEL", "error", 0);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
