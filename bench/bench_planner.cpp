// Planning time of a 6-joint point-to-point motion (target: median <= 1 ms).
#include <orvane/motion/planner.hpp>
#include <orvane/motion/robots.hpp>

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
BENCHMARK(BM_PlanPointToPoint)->Arg(24000)->Arg(1000)->Repetitions(9)->ReportAggregatesOnly(true)
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

}  // namespace
