// Planning time of a 6-joint point-to-point motion (target: median <= 1 ms).
//
// BM_JerkLimitedAgainstAccelerationOnly plans the same motions, interleaved,
// for the arm model as it is (jerk-limited) and for the same arm with a jerk
// limit a million times its acceleration limit, where the acceleration
// switches at once as it did before the models had jerk limits. Counters:
// jerk_us and acceleration_us (mean planning time of each), time_ratio (jerk /
// acceleration only, the cost of limiting the jerk) and duration_ratio (mean
// planned duration, jerk / acceleration only).
#include <orvane/motion/planner.hpp>
#include <orvane/motion/robots.hpp>

#include <chrono>
#include <memory>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

std::vector<orvane::Waypoint> random_positions(const orvane::RobotArm& arm, std::size_t count) {
    std::mt19937 random(42);
    const auto limits = arm.get_joint_limits();
    std::vector<orvane::Waypoint> points;
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<double> q(limits.size());
        for (std::size_t j = 0; j < q.size(); ++j) {
            q[j] = std::uniform_real_distribution<double>(limits[j].lower, limits[j].upper)(random);
        }
        points.emplace_back(std::move(q));
    }
    return points;
}

// The same arm, its acceleration switching (all but) at once.
std::shared_ptr<orvane::RobotArm> without_jerk_limit(const orvane::RobotArm& arm) {
    auto joints = arm.joints();
    for (auto& joint : joints) joint.limits.max_jerk = 1e6 * joint.limits.max_acceleration;
    return std::make_shared<orvane::RobotArm>(arm.name, std::move(joints), arm.tool(), arm.base());
}

// Argument: the sampling interval in microseconds (24 ms is the RMI rate).
void BM_PlanPointToPoint(benchmark::State& state) {
    const auto arm = orvane::robots::fanuc_lrmate200id();
    const orvane::Planner planner(arm, static_cast<double>(state.range(0)) * 1e-6);
    const auto points = random_positions(*arm, 64);
    std::size_t i = 0, samples = 0;
    for (auto _ : state) {
        const auto& start = points[i % points.size()];
        const auto& goal = points[(i + 1) % points.size()];
        auto result = planner.plan(orvane::LowLevelMotion(arm, start, goal));
        if (!result) {
            state.SkipWithError(result.error().message.c_str());
            break;
        }
        samples += result->size();
        benchmark::DoNotOptimize(result);
        ++i;
    }
    if (i > 0) state.counters["samples"] = static_cast<double>(samples) / static_cast<double>(i);
}
BENCHMARK(BM_PlanPointToPoint)->Arg(24000)->Arg(8000)->Arg(1000)->Repetitions(9)->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

// Arguments: the sampling interval in microseconds; 0 for the LR Mate, 1 for the CRX.
void BM_JerkLimitedAgainstAccelerationOnly(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    const auto arm = state.range(1) == 0 ? orvane::robots::fanuc_lrmate200id() : orvane::robots::fanuc_crx10ial();
    const auto baseline = without_jerk_limit(*arm);
    const double delta_time = static_cast<double>(state.range(0)) * 1e-6;
    const orvane::Planner limited(arm, delta_time), unlimited(baseline, delta_time);
    const auto points = random_positions(*arm, 64);
    double limited_time = 0.0, unlimited_time = 0.0, limited_duration = 0.0, unlimited_duration = 0.0;
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& start = points[i % points.size()];
        const auto& goal = points[(i + 1) % points.size()];
        const auto t0 = Clock::now();
        auto with_jerk = limited.plan(orvane::LowLevelMotion(arm, start, goal));
        const auto t1 = Clock::now();
        auto acceleration_only = unlimited.plan(orvane::LowLevelMotion(baseline, start, goal));
        const auto t2 = Clock::now();
        if (!with_jerk || !acceleration_only) {
            state.SkipWithError("a motion could not be planned");
            break;
        }
        benchmark::DoNotOptimize(with_jerk);
        benchmark::DoNotOptimize(acceleration_only);
        limited_time += std::chrono::duration<double, std::micro>(t1 - t0).count();
        unlimited_time += std::chrono::duration<double, std::micro>(t2 - t1).count();
        limited_duration += with_jerk->duration();
        unlimited_duration += acceleration_only->duration();
        ++i;
    }
    if (i == 0) return;
    const double n = static_cast<double>(i);
    state.counters["jerk_us"] = limited_time / n;
    state.counters["acceleration_us"] = unlimited_time / n;
    state.counters["time_ratio"] = limited_time / unlimited_time;
    state.counters["duration_ratio"] = limited_duration / unlimited_duration;
}
BENCHMARK(BM_JerkLimitedAgainstAccelerationOnly)
    ->Args({24000, 0})
    ->Args({8000, 0})
    ->Args({24000, 1})
    ->Args({8000, 1})
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

// A stop from full speed, as the driver plans it.
void BM_PlanStop(benchmark::State& state) {
    const auto arm = orvane::robots::fanuc_lrmate200id();
    const orvane::Planner planner(arm, 0.024);
    orvane::Waypoint start(6);
    for (std::size_t j = 0; j < 6; ++j) start.velocity[j] = arm->get_joint_limits()[j].max_velocity;
    orvane::LowLevelMotion stop(arm, start, orvane::Waypoint(6));
    stop.control_interface = orvane::LowLevelMotion::ControlInterface::Velocity;
    for (auto _ : state) {
        auto result = planner.plan(stop);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_PlanStop)->Repetitions(9)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);

// The same motions within a controller's limit table (20 steps, falling from
// 90 % of the model at low tool speed to 40 % at the top speed), which takes a
// few plans each to find the step a motion peaks in.
void BM_PlanWithinALimitTable(benchmark::State& state) {
    const auto arm = orvane::robots::fanuc_lrmate200id();
    orvane::Planner planner(arm, 0.008);
    std::vector<orvane::SteppedJointLimits> joints;
    for (const auto& l : arm->get_joint_limits()) {
        orvane::SteppedJointLimits joint;
        for (int i = 0; i < 20; ++i) {
            const double share = 0.9 - 0.5 * i / 19.0;
            joint.velocity.push_back(share * l.max_velocity);
            joint.acceleration.push_back(share * l.max_acceleration);
            joint.jerk.push_back(share * l.max_jerk);
        }
        joints.push_back(std::move(joint));
    }
    planner.set_limit_table(arm, orvane::JointLimitTable::evenly_spaced(2.0, joints, joints));
    const auto points = random_positions(*arm, 64);
    std::size_t i = 0;
    for (auto _ : state) {
        auto result = planner.plan(orvane::LowLevelMotion(arm, points[i % 64], points[(i + 1) % 64]));
        benchmark::DoNotOptimize(result);
        ++i;
    }
}
BENCHMARK(BM_PlanWithinALimitTable)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);

}  // namespace
