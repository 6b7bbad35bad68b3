// TimeScaler::next for a 6-joint trajectory, the per-interval work of the
// control loop. Heap allocations inside the timed loop are counted through
// replaced global allocation functions and reported per call.
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <orvane/motion/frame.hpp>
#include <orvane/motion/robot.hpp>
#include <orvane/motion/trajectory.hpp>

#include "orvane/drivers/time_scaler.hpp"

namespace {

std::atomic<std::size_t> allocations{0};

}  // namespace

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* pointer = std::malloc(size == 0 ? 1 : size)) {
        return pointer;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* pointer) noexcept { std::free(pointer); }
void operator delete[](void* pointer) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { std::free(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { std::free(pointer); }

namespace {

using orvane::drivers::TimeScaler;

constexpr double control_interval = 0.004;
constexpr std::size_t joints = 6;

// 40 s of smooth motion sampled at the control interval.
const orvane::Trajectory& six_joint_trajectory() {
    static const orvane::Trajectory trajectory = [] {
        const std::size_t count = 10000;
        std::vector<double> times(count);
        std::vector<std::vector<double>> positions(count, std::vector<double>(joints));
        auto velocities = positions;
        auto accelerations = positions;
        for (std::size_t k = 0; k < count; ++k) {
            const double t = control_interval * static_cast<double>(k);
            times[k] = t;
            for (std::size_t j = 0; j < joints; ++j) {
                const double w = 0.5 + 0.1 * static_cast<double>(j);
                positions[k][j] = std::sin(w * t);
                velocities[k][j] = w * std::cos(w * t);
                accelerations[k][j] = -w * w * std::sin(w * t);
            }
        }
        return orvane::Trajectory(times, positions, velocities, accelerations);
    }();
    return trajectory;
}

// A six-axis arm whose joints alternate between z and y rotations.
std::shared_ptr<const orvane::RobotArm> six_axis_arm() {
    std::vector<orvane::Joint> chain;
    const orvane::JointLimits limits{-6.0, 6.0, 3.0, 20.0};
    for (std::size_t j = 0; j < joints; ++j) {
        orvane::Joint joint;
        joint.name = "j" + std::to_string(j + 1);
        joint.origin = orvane::Frame::from_translation(0.0, 0.0, 0.2);
        joint.axis = j % 2 == 0 ? std::array<double, 3>{0.0, 0.0, 1.0} : std::array<double, 3>{0.0, 1.0, 0.0};
        joint.limits = limits;
        chain.push_back(joint);
    }
    return std::make_shared<orvane::RobotArm>("arm", chain);
}

// Runs next() in the timed loop; restarts the trajectory before its end so
// that every timed call is an ordinary interpolation step (the rare restart
// is timed too, but allocates nothing).
void run(benchmark::State& bench, TimeScaler& scaler, const orvane::Trajectory& trajectory) {
    orvane::State state(joints);
    scaler.set_trajectory(&trajectory);
    scaler.next(state);  // sizes the state vectors
    const std::size_t restart_at = trajectory.size() - 3;

    const std::size_t before = allocations.load(std::memory_order_relaxed);
    for (auto _ : bench) {
        benchmark::DoNotOptimize(scaler.next(state));
        benchmark::ClobberMemory();
        if (scaler.index >= restart_at) {
            scaler.set_trajectory(&trajectory);
        }
    }
    const std::size_t counted = allocations.load(std::memory_order_relaxed) - before;
    bench.counters["allocs_per_call"] =
        benchmark::Counter(static_cast<double>(counted), benchmark::Counter::kAvgIterations);
    benchmark::DoNotOptimize(state.position.data());
}

void BM_NextInterpolating(benchmark::State& bench) {
    TimeScaler scaler(control_interval);
    scaler.set_scale_user(0.5);
    run(bench, scaler, six_joint_trajectory());
}
BENCHMARK(BM_NextInterpolating);

void BM_NextDuringUserSpeedRamp(benchmark::State& bench) {
    TimeScaler scaler(control_interval);
    scaler.set_scale_user(0.2);
    // Long enough never to end within the measurement.
    scaler.move_scale_user_linearly_to(0.9, 1e7);
    run(bench, scaler, six_joint_trajectory());
    if (!scaler.is_moving_scale_user) {
        bench.SkipWithError("the ramp ended during the measurement");
    }
}
BENCHMARK(BM_NextDuringUserSpeedRamp);

// For information: with the Cartesian limit engaged every step runs the
// arm's forward kinematics twice (allocations there belong to the model).
void BM_NextWithCartesianLimit(benchmark::State& bench) {
    TimeScaler scaler(control_interval);
    scaler.set_tcp_constraint(six_axis_arm(), 0.05);
    run(bench, scaler, six_joint_trajectory());
}
BENCHMARK(BM_NextWithCartesianLimit);

}  // namespace
