// Playback of sampled trajectories at a variable speed.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <future>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <orvane/motion/robot.hpp>
#include <orvane/motion/trajectory.hpp>

#include "orvane/drivers/robot_state.hpp"
#include "orvane/drivers/time_scaler.hpp"

using orvane::State;
using orvane::Trajectory;
using orvane::drivers::scale_state;
using orvane::drivers::TimeScaler;

namespace {

using namespace std::chrono_literals;

constexpr double dt = 0.004;
constexpr double bias = 0x1p-51;  // taken off every advance of the playback time

using Rows = std::vector<std::vector<double>>;

// A 2-joint trajectory whose joint values are given per sample.
Trajectory two_joint(std::vector<double> times, Rows positions, Rows velocities, Rows accelerations) {
    return Trajectory(std::move(times), std::move(positions), std::move(velocities), std::move(accelerations));
}

// Five samples, irregularly spaced, with values that make an interpolation
// at a = 0 differ from the sample in the last bits.
Trajectory small_trajectory() {
    return two_joint({0.0, 0.1, 0.25, 0.35, 0.5},
                     {{0.7, 0.1}, {0.9, -0.3}, {1.3, 0.7}, {1.1, 1.7}, {1.0, 1.9}},
                     {{0.1, 0.7}, {2.0, -4.0}, {0.7, 0.1}, {-2.0, 10.0}, {0.0, 0.0}},
                     {{0.7, -0.1}, {5.0, 1.0}, {-0.7, 3.3}, {-10.0, 1.5}, {0.0, 0.0}});
}

bool ready(std::future<bool>& future) { return future.wait_for(0s) == std::future_status::ready; }

// Linear interpolation of one per-sample vector at time t, found by a plain
// scan (independent of the scaler's binary search).
std::vector<double> interpolate_at(const Trajectory& trajectory, const Rows& rows, double t) {
    const auto& times = trajectory.times();
    std::size_t k = 0;
    while (k + 2 < times.size() && times[k + 1] < t) {
        ++k;
    }
    const double w = (t - times[k]) / (times[k + 1] - times[k]);
    std::vector<double> out(rows[k].size());
    for (std::size_t j = 0; j < out.size(); ++j) {
        out[j] = rows[k][j] + (rows[k + 1][j] - rows[k][j]) * w;
    }
    return out;
}

// The index the scaler must hold for playback time t: the last sample before
// t (0 at the start), or the last sample once t reached the duration.
std::size_t expected_index(const Trajectory& trajectory, double t) {
    const auto& times = trajectory.times();
    if (t >= trajectory.duration()) {
        return times.size() - 1;
    }
    std::size_t k = 0;
    while (k + 1 < times.size() && times[k + 1] < t) {
        ++k;
    }
    return k;
}

void expect_near_vector(const std::vector<double>& actual, const std::vector<double>& expected, double tolerance) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t j = 0; j < actual.size(); ++j) {
        EXPECT_NEAR(actual[j], expected[j], tolerance) << "joint " << j;
    }
}

std::vector<double> scaled(std::vector<double> values, double factor) {
    for (double& value : values) {
        value *= factor;
    }
    return values;
}

// Checks one interpolated step against an independent interpolation at the
// playback time the step started from, scaled by `factor`.
void expect_interpolated(const Trajectory& trajectory, const State& state, double t, double factor) {
    expect_near_vector(state.position, interpolate_at(trajectory, trajectory.positions(), t), 1e-12);
    expect_near_vector(state.velocity, scaled(interpolate_at(trajectory, trajectory.velocities(), t), factor), 1e-11);
    expect_near_vector(state.acceleration,
                       scaled(interpolate_at(trajectory, trajectory.accelerations(), t), factor * factor), 1e-10);
}

// A trajectory of `count` samples at irregular spacing (1 ms to 19 ms, so
// that one control step covers several samples at full speed and a sample
// spans several steps at low speed), with piecewise-linear values.
Trajectory irregular_trajectory(std::size_t count) {
    std::vector<double> times{0.0};
    Rows positions{{0.0, 1.0}};
    Rows velocities{{0.5, -0.5}};
    Rows accelerations{{0.0, 0.25}};
    unsigned seed = 12345;
    for (std::size_t k = 1; k < count; ++k) {
        seed = seed * 1103515245u + 12345u;
        const double spacing = 0.001 * static_cast<double>(1 + (seed >> 16) % 19);
        times.push_back(times.back() + spacing);
        const double t = times.back();
        positions.push_back({std::sin(3.0 * t), 1.0 + 0.2 * t * t});
        velocities.push_back({3.0 * std::cos(3.0 * t), 0.4 * t});
        accelerations.push_back({-9.0 * std::sin(3.0 * t), 0.4});
    }
    return Trajectory(times, positions, velocities, accelerations);
}

}  // namespace

TEST(ScaleState, ScalesVelocityLinearlyAndAccelerationQuadratically) {
    State state(0.5, {1.0, -2.0}, {2.0, -4.0}, {8.0, 1.0});
    scale_state(state, 0.5);
    EXPECT_EQ(state.position, (std::vector<double>{1.0, -2.0}));
    EXPECT_EQ(state.velocity, (std::vector<double>{1.0, -2.0}));
    EXPECT_EQ(state.acceleration, (std::vector<double>{2.0, 0.25}));
    EXPECT_EQ(state.time, 0.5);

    State empty(0.0, {1.0}, {}, {});
    scale_state(empty, 3.0);
    EXPECT_TRUE(empty.velocity.empty());
    EXPECT_TRUE(empty.acceleration.empty());
    EXPECT_EQ(empty.position, std::vector<double>{1.0});
}

TEST(TimeScaler, UserSpeedIsClampedAndIgnoresNonFiniteValues) {
    TimeScaler scaler(dt);
    EXPECT_EQ(scaler.get_scale_user(), 1.0);
    scaler.set_scale_user(0.25);
    EXPECT_EQ(scaler.get_scale_user(), 0.25);
    scaler.set_scale_user(2.0);
    EXPECT_EQ(scaler.get_scale_user(), 1.0);
    scaler.set_scale_user(-1.0);
    EXPECT_EQ(scaler.get_scale_user(), 0.0);
    scaler.set_scale_user(0.6);
    scaler.set_scale_user(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(scaler.get_scale_user(), 0.6);
    scaler.set_scale_user(std::numeric_limits<double>::infinity());
    EXPECT_EQ(scaler.get_scale_user(), 0.6);
    scaler.set_scale_user(-std::numeric_limits<double>::infinity());
    EXPECT_EQ(scaler.get_scale_user(), 0.6);

    // Setting the speed leaves a ramp running (its owner stops it first).
    scaler.move_scale_user_linearly_to(0.0, 1.0);
    scaler.set_scale_user(0.3);
    EXPECT_TRUE(scaler.is_moving_scale_user);
}

TEST(TimeScaler, NothingToDoLeavesStateAndFieldsUntouched) {
    TimeScaler scaler(dt);
    RobotState state(7.0, {1.0, 2.0}, {3.0}, {4.0, 5.0, 6.0});
    const RobotState before = state;
    auto same_state = [&] {
        EXPECT_EQ(state.time, before.time);
        EXPECT_EQ(state.position, before.position);
        EXPECT_EQ(state.velocity, before.velocity);
        EXPECT_EQ(state.acceleration, before.acceleration);
    };

    EXPECT_EQ(scaler.next(state), 3);  // no trajectory
    same_state();

    // An empty trajectory: not even a ramp in progress is stepped.
    const Trajectory empty(2);
    scaler.set_trajectory(&empty);
    scaler.move_scale_user_linearly_to(0.5, 0.0);
    auto ramp_done = scaler.get_scale_movement_future();
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(scaler.next(state), 3);
    }
    same_state();
    EXPECT_EQ(scaler.index, 0u);
    EXPECT_EQ(scaler.time, 0.0);
    EXPECT_EQ(scaler.elapsed_time, 0.0);
    EXPECT_EQ(scaler.get_scale_user(), 1.0);
    EXPECT_TRUE(scaler.is_moving_scale_user);
    EXPECT_FALSE(ready(ramp_done));

    // A negative speed factor (only reachable by writing the field).
    const Trajectory trajectory = small_trajectory();
    scaler.stop_scale_user_movement();
    scaler.set_trajectory(&trajectory);
    scaler.scale = -0.5;
    EXPECT_EQ(scaler.next(state), 3);
    same_state();
    EXPECT_EQ(scaler.elapsed_time, 0.0);

    // Null stops playback.
    scaler.scale = 1.0;
    EXPECT_EQ(scaler.next(state), 0);
    scaler.set_trajectory(nullptr);
    const RobotState after_play = state;
    EXPECT_EQ(scaler.next(state), 3);
    EXPECT_EQ(state.position, after_play.position);
}

TEST(TimeScaler, SingleSampleIsDeliveredOnceThenReportedFinished) {
    const Trajectory single({0.0}, {{0.5, -0.5}}, {{1.0, 2.0}}, {{4.0, -4.0}});
    TimeScaler scaler(dt);
    scaler.set_trajectory(&single);
    State state;
    state.time = -1.0;
    EXPECT_EQ(scaler.next(state), 0);
    EXPECT_EQ(state.time, 0.0);
    EXPECT_EQ(state.position, (std::vector<double>{0.5, -0.5}));
    EXPECT_EQ(state.velocity, (std::vector<double>{1.0, 2.0}));
    EXPECT_EQ(scaler.index, 1u);

    // Finished: the last sample again, scaled by the present speed; the time
    // field is left as it was.
    scaler.set_scale_user(0.5);
    state.time = -1.0;
    EXPECT_EQ(scaler.next(state), 2);
    EXPECT_EQ(state.time, -1.0);
    EXPECT_EQ(state.position, (std::vector<double>{0.5, -0.5}));
    EXPECT_EQ(state.velocity, (std::vector<double>{0.5, 1.0}));
    EXPECT_EQ(state.acceleration, (std::vector<double>{1.0, -1.0}));
    EXPECT_EQ(scaler.next(state), 2);

    // Delivered at standstill, the last sample reports code 1.
    scaler.set_scale_user(0.0);
    scaler.set_trajectory(&single);
    EXPECT_EQ(scaler.next(state), 1);
    EXPECT_EQ(state.velocity, (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(scaler.next(state), 2);
}

TEST(TimeScaler, PassesSamplesThroughBitForBitAtFullSpeed) {
    const Trajectory trajectory = small_trajectory();
    TimeScaler scaler(dt);
    scaler.set_trajectory(&trajectory);
    State state;

    // The start: time 0 is the first sample's time.
    ASSERT_EQ(scaler.next(state), 0);
    EXPECT_EQ(state.position, trajectory.positions()[0]);
    EXPECT_EQ(state.velocity, trajectory.velocities()[0]);
    EXPECT_EQ(state.acceleration, trajectory.accelerations()[0]);

    auto place = [&](std::size_t index, double time) {
        scaler.index = index;
        scaler.time = time;
    };
    // On sample 2, and within 2^-36 s after it: its vectors unchanged.
    for (const double offset : {0.0, 1e-12}) {
        place(2, trajectory.times()[2] + offset);
        ASSERT_EQ(scaler.next(state), 0);
        EXPECT_EQ(state.position, trajectory.positions()[2]) << offset;
        EXPECT_EQ(state.velocity, trajectory.velocities()[2]) << offset;
        EXPECT_EQ(state.acceleration, trajectory.accelerations()[2]) << offset;
    }
    // A speed within 2^-42 of 1 counts as full speed: no scaling either.
    scaler.set_scale_user(1.0 - 1e-14);
    place(2, trajectory.times()[2]);
    ASSERT_EQ(scaler.next(state), 0);
    EXPECT_EQ(state.velocity, trajectory.velocities()[2]);
    EXPECT_EQ(state.acceleration, trajectory.accelerations()[2]);

    // Just outside the tolerances the state is interpolated and scaled.
    scaler.set_scale_user(1.0);
    place(2, trajectory.times()[2] + 1e-9);
    ASSERT_EQ(scaler.next(state), 0);
    EXPECT_NE(state.position, trajectory.positions()[2]);
    expect_interpolated(trajectory, state, trajectory.times()[2] + 1e-9, 1.0);

    scaler.set_scale_user(1.0 - 1e-11);
    place(2, trajectory.times()[2]);
    ASSERT_EQ(scaler.next(state), 0);
    EXPECT_NE(state.velocity, trajectory.velocities()[2]);
    expect_near_vector(state.velocity, scaled(trajectory.velocities()[2], 1.0 - 1e-11), 1e-15);
}

TEST(TimeScaler, InterpolatesBetweenSamplesAtHalfSpeed) {
    const Trajectory trajectory = small_trajectory();
    TimeScaler scaler(dt);
    scaler.set_trajectory(&trajectory);
    scaler.set_scale_user(0.5);
    State state;
    int steps = 0;
    for (;;) {
        const double t = scaler.time;
        const double elapsed = scaler.elapsed_time;
        const int code = scaler.next(state);
        if (scaler.index == trajectory.size()) {
            // The last sample: delivered as it is, scaled.
            EXPECT_EQ(code, 0);
            EXPECT_EQ(state.position, trajectory.positions().back());
            EXPECT_EQ(scaler.time, trajectory.duration());
            break;
        }
        ASSERT_EQ(code, 0);
        ++steps;
        EXPECT_EQ(state.time, elapsed);
        expect_interpolated(trajectory, state, t, 0.5);
        EXPECT_EQ(scaler.time, t + (dt * 0.5 - bias));
        EXPECT_EQ(scaler.elapsed_time, elapsed + dt);
        ASSERT_LT(steps, 1000);
    }
    // 0.5 s of trajectory at half speed is 1 s of control time (250 steps);
    // the bias taken off each advance leaves the time a hair short of the end
    // after them, so one more interpolated step comes first.
    EXPECT_EQ(steps, 251);
    EXPECT_EQ(scaler.next(state), 2);
}

TEST(TimeScaler, ZeroUserSpeedHoldsThePositionWithoutMotion) {
    const Trajectory trajectory = small_trajectory();
    TimeScaler scaler(dt);
    scaler.set_trajectory(&trajectory);
    scaler.set_scale_user(0.0);
    State state;
    // At the very start the playback time drifts below the first sample's
    // time but the index stays at 0.
    for (int k = 0; k < 50; ++k) {
        const double t = scaler.time;
        ASSERT_EQ(scaler.next(state), 1);
        EXPECT_EQ(scaler.time, t - bias);
        EXPECT_EQ(scaler.index, 0u);
        expect_near_vector(state.position, trajectory.positions()[0], 1e-12);
        EXPECT_EQ(state.velocity, (std::vector<double>{0.0, 0.0}));
        EXPECT_EQ(state.acceleration, (std::vector<double>{0.0, 0.0}));
    }

    // Mid-trajectory: stays on the trajectory at the reached time.
    scaler.set_scale_user(1.0);
    for (int k = 0; k < 40; ++k) {
        ASSERT_EQ(scaler.next(state), 0);
    }
    scaler.set_scale_user(0.0);
    const double held = scaler.time;
    const std::size_t index = scaler.index;
    for (int k = 0; k < 50; ++k) {
        ASSERT_EQ(scaler.next(state), 1);
        EXPECT_LE(scaler.time, held);
        EXPECT_EQ(scaler.index, index);
        expect_near_vector(state.position, interpolate_at(trajectory, trajectory.positions(), held), 1e-12);
        EXPECT_EQ(state.velocity, (std::vector<double>{0.0, 0.0}));
    }
    EXPECT_DOUBLE_EQ(scaler.time, held - 50 * bias);

    // Drifting back onto a sample's time and below it: the index is the
    // sample before that time, found by searching from the one before the
    // present index.
    scaler.index = 2;
    scaler.time = trajectory.times()[2] + bias;
    ASSERT_EQ(scaler.next(state), 1);
    EXPECT_EQ(scaler.time, trajectory.times()[2]);
    EXPECT_EQ(scaler.index, 1u);
    ASSERT_EQ(scaler.next(state), 1);
    EXPECT_LT(scaler.time, trajectory.times()[2]);
    EXPECT_EQ(scaler.index, 1u);
    expect_near_vector(state.position, trajectory.positions()[2], 1e-12);
}

TEST(TimeScaler, ReindexesAcrossManySamplesAtChangingSpeeds) {
    const Trajectory trajectory = irregular_trajectory(400);
    TimeScaler scaler(dt);
    scaler.set_trajectory(&trajectory);
    State state;
    bool delivered_last = false;
    for (int step = 0; step < 20000; ++step) {
        // Slow (several steps per sample), full (several samples per step),
        // crawling, then a ramp back up.
        if (step == 0) scaler.set_scale_user(0.3);
        if (step == 150) scaler.set_scale_user(1.0);
        if (step == 300) scaler.set_scale_user(0.05);
        if (step == 400) scaler.move_scale_user_linearly_to(0.9, 0.5);
        if (step == 700) scaler.set_scale_user(0.7);

        const double t = scaler.time;
        const std::size_t index_before = scaler.index;
        const int code = scaler.next(state);
        if (code == 2) {
            ASSERT_TRUE(delivered_last);
            EXPECT_GT(step, 700);
            return;
        }
        ASSERT_EQ(code, 0) << "step " << step;
        if (index_before == trajectory.size() - 1) {
            EXPECT_EQ(state.position, trajectory.positions().back());
            delivered_last = true;
            continue;
        }
        // A ramp changes the speed inside next(), so read the factor afterwards.
        expect_interpolated(trajectory, state, t, scaler.get_scale_user() * scaler.scale);
        ASSERT_EQ(scaler.index, expected_index(trajectory, scaler.time)) << "step " << step << " time " << scaler.time;
    }
    FAIL() << "the trajectory never finished";
}

TEST(TimeScaler, InternalScaleRecoversFromStandstillIn700Milliseconds) {
    const Trajectory trajectory = two_joint({0.0, 2.0}, {{0.0, 0.0}, {2.0, -2.0}}, {{1.0, -1.0}, {1.0, -1.0}},
                                           {{0.0, 0.0}, {0.0, 0.0}});
    TimeScaler scaler(dt);
    scaler.set_trajectory(&trajectory);
    scaler.scale = 1e-12;
    State state;
    const int steps = static_cast<int>(std::lround(0.7 / dt));  // 175
    double previous = scaler.scale;
    for (int k = 1; k < steps; ++k) {
        ASSERT_EQ(scaler.next(state), 0);
        EXPECT_NEAR(scaler.scale, previous + dt / 0.7, 1e-12);
        // The recovered scale applies to the state of the same step.
        EXPECT_NEAR(state.velocity[0], scaler.scale, 1e-12);
        previous = scaler.scale;
    }
    EXPECT_LT(scaler.scale, 1.0 - 0.5 * dt / 0.7);
    ASSERT_EQ(scaler.next(state), 0);
    EXPECT_GT(scaler.scale, 1.0 - 1e-9);
    ASSERT_EQ(scaler.next(state), 0);
    EXPECT_EQ(scaler.scale, 1.0);
    ASSERT_EQ(scaler.next(state), 0);
    EXPECT_EQ(scaler.scale, 1.0);

    // A step past 1 is clamped to exactly 1.
    scaler.scale = 0.999;
    ASSERT_EQ(scaler.next(state), 0);
    EXPECT_EQ(scaler.scale, 1.0);
}

TEST(TimeScalerRamp, MovesLinearlyAndFulfilsTrueAtTheTarget) {
    const Trajectory trajectory = irregular_trajectory(400);
    TimeScaler scaler(dt);
    scaler.set_trajectory(&trajectory);
    State state;
    for (int k = 0; k < 10; ++k) {
        ASSERT_EQ(scaler.next(state), 0);
    }
    const double start = scaler.elapsed_time;
    scaler.move_scale_user_linearly_to(0.2, 0.4);
    auto done = scaler.get_scale_movement_future();
    for (int k = 0; k < 1000 && scaler.is_moving_scale_user; ++k) {
        const double at = scaler.elapsed_time;
        ASSERT_EQ(scaler.next(state), 0);
        if (scaler.is_moving_scale_user) {
            EXPECT_NEAR(scaler.get_scale_user(), 1.0 - 0.8 * (at - start) / 0.4, 1e-12);
            EXPECT_FALSE(ready(done));
        } else {
            EXPECT_GE(at, start + 0.4 - 1e-12);
        }
    }
    ASSERT_FALSE(scaler.is_moving_scale_user);
    EXPECT_EQ(scaler.get_scale_user(), 0.2);
    ASSERT_TRUE(ready(done));
    EXPECT_TRUE(done.get());
    // Ends on the first step at or after 0.4 s (rounding of the control time
    // may put that one step later).
    EXPECT_NEAR(scaler.elapsed_time - start, 0.4 + 1.5 * dt, 0.51 * dt);
}

TEST(TimeScalerRamp, ZeroDurationCompletesOnTheNextStep) {
    const Trajectory trajectory = small_trajectory();
    TimeScaler scaler(dt);
    scaler.set_trajectory(&trajectory);
    scaler.set_scale_user(0.5);
    scaler.move_scale_user_linearly_to(0.3, 0.0);
    auto done = scaler.get_scale_movement_future();
    EXPECT_EQ(scaler.get_scale_user(), 0.5);
    State state;
    ASSERT_EQ(scaler.next(state), 0);
    EXPECT_EQ(scaler.get_scale_user(), 0.3);
    expect_near_vector(state.velocity, scaled(trajectory.velocities()[0], 0.3), 1e-15);
    ASSERT_TRUE(ready(done));
    EXPECT_TRUE(done.get());

    // The target is clamped like any speed.
    scaler.move_scale_user_linearly_to(1.7, 0.0);
    auto clamped = scaler.get_scale_movement_future();
    ASSERT_EQ(scaler.next(state), 0);
    EXPECT_EQ(scaler.get_scale_user(), 1.0);
    ASSERT_TRUE(ready(clamped));
    EXPECT_TRUE(clamped.get());
}

TEST(TimeScalerRamp, ContinuesAcrossTheEndOfATrajectory) {
    // 1 s at constant joint velocity, ramped down from 1 to 0 over 0.5 s
    // starting 0.84 s in: at the ramp's average speed of 0.8 the remaining
    // 0.16 s of trajectory take 0.2 s of control time.
    const Trajectory first = two_joint({0.0, 0.5, 1.0}, {{0.0, 0.0}, {0.5, 1.0}, {1.0, 2.0}},
                                       {{1.0, 2.0}, {1.0, 2.0}, {1.0, 2.0}}, {{0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}});
    const Trajectory second = irregular_trajectory(400);
    TimeScaler scaler(dt);
    scaler.set_trajectory(&first);
    State state;
    while (scaler.time < 0.84) {
        ASSERT_EQ(scaler.next(state), 0);
    }
    const double ramp_start = scaler.elapsed_time;
    scaler.move_scale_user_linearly_to(0.0, 0.5);
    auto ended = scaler.get_scale_movement_future();

    int code = 0;
    while ((code = scaler.next(state)) != 2) {
        ASSERT_EQ(code, 0);
        ASSERT_FALSE(ready(ended));
        ASSERT_LT(scaler.elapsed_time, 2.0);
    }
    // The motion ended before the ramp: false, and the ramp goes on.
    ASSERT_TRUE(ready(ended));
    EXPECT_FALSE(ended.get());
    EXPECT_TRUE(scaler.is_moving_scale_user);
    const double ran = scaler.elapsed_time - ramp_start;
    EXPECT_NEAR(ran, 0.2, 0.01);
    const double reached = scaler.get_scale_user();
    EXPECT_NEAR(reached, 1.0 - ran / 0.5, 1e-9);

    // Staying finished repeats the report under each fresh promise.
    auto again = scaler.get_scale_movement_future();
    EXPECT_EQ(scaler.next(state), 2);
    ASSERT_TRUE(ready(again));
    EXPECT_FALSE(again.get());

    // The next trajectory continues the ramp from the speed reached, at the
    // same slope, for the remaining duration.
    scaler.set_trajectory(&second);
    auto finished = scaler.get_scale_movement_future();
    int steps = 0;
    while (scaler.is_moving_scale_user) {
        const double at = scaler.elapsed_time;
        code = scaler.next(state);
        ++steps;
        ASSERT_LT(steps, 1000);
        if (scaler.is_moving_scale_user) {
            EXPECT_EQ(code, 0);
            EXPECT_NEAR(scaler.get_scale_user(), reached - at / 0.5, 1e-9);
            EXPECT_FALSE(ready(finished));
        }
    }
    EXPECT_EQ(code, 1);  // the ramp's last step reaches speed 0
    EXPECT_EQ(scaler.get_scale_user(), 0.0);
    ASSERT_TRUE(ready(finished));
    EXPECT_TRUE(finished.get());
    EXPECT_NEAR(ran + (steps - 1) * dt, 0.5, 1.5 * dt);
}

TEST(TimeScalerRamp, NoOpStartsAndStopsLeaveThePromiseUntouched) {
    const Trajectory trajectory = irregular_trajectory(400);
    TimeScaler scaler(dt);
    scaler.set_trajectory(&trajectory);
    State state;
    auto initial = scaler.get_scale_movement_future();

    // The same speed (within 2^-48) and a negative duration start nothing.
    scaler.move_scale_user_linearly_to(1.0 - 1e-15, 0.5);
    EXPECT_FALSE(scaler.is_moving_scale_user);
    scaler.move_scale_user_linearly_to(0.5, -0.1);
    EXPECT_FALSE(scaler.is_moving_scale_user);
    for (int k = 0; k < 5; ++k) {
        ASSERT_EQ(scaler.next(state), 0);
    }
    EXPECT_EQ(scaler.get_scale_user(), 1.0);
    EXPECT_FALSE(ready(initial));
    // Still the same promise: its one future was handed out already.
    try {
        (void)scaler.get_scale_movement_future();
        ADD_FAILURE() << "a second future of the same promise";
    } catch (const std::future_error& error) {
        EXPECT_EQ(error.code(), std::future_errc::future_already_retrieved);
    }

    // A no-op start ends a running ramp where it stands, unfulfilled.
    scaler.move_scale_user_linearly_to(0.0, 0.4);
    auto ramp = scaler.get_scale_movement_future();
    for (int k = 0; k < 25; ++k) {
        ASSERT_EQ(scaler.next(state), 0);
    }
    const double stood = scaler.get_scale_user();
    EXPECT_LT(stood, 0.8);
    scaler.move_scale_user_linearly_to(stood, 1.0);
    EXPECT_FALSE(scaler.is_moving_scale_user);
    for (int k = 0; k < 200; ++k) {
        ASSERT_EQ(scaler.next(state), 0);
    }
    EXPECT_EQ(scaler.get_scale_user(), stood);
    // The ended ramp did not reach its target: its waiters get false.
    ASSERT_TRUE(ready(ramp));
    EXPECT_FALSE(ramp.get());

    // So does stop_scale_user_movement.
    scaler.move_scale_user_linearly_to(1.0, 0.2);
    auto stopped = scaler.get_scale_movement_future();
    ASSERT_EQ(scaler.next(state), 0);
    ASSERT_EQ(scaler.next(state), 0);
    scaler.stop_scale_user_movement();
    const double kept = scaler.get_scale_user();
    EXPECT_GT(kept, stood);
    for (int k = 0; k < 100; ++k) {
        ASSERT_EQ(scaler.next(state), 0);
    }
    EXPECT_EQ(scaler.get_scale_user(), kept);
    ASSERT_TRUE(ready(stopped));
    EXPECT_FALSE(stopped.get());
}

TEST(TimeScalerRamp, AReplacedRampTellsItsWaitersItWasOvertaken) {
    const Trajectory trajectory = irregular_trajectory(400);
    TimeScaler scaler(dt);
    scaler.set_trajectory(&trajectory);
    scaler.move_scale_user_linearly_to(0.0, 0.7);
    auto pause = scaler.get_scale_movement_future();
    State state;
    for (int k = 0; k < 10; ++k) {
        ASSERT_EQ(scaler.next(state), 0);
    }
    scaler.move_scale_user_linearly_to(0.8, 0.1);
    auto replacement = scaler.get_scale_movement_future();
    ASSERT_TRUE(ready(pause));
    EXPECT_FALSE(pause.get());  // never a broken promise
    while (scaler.is_moving_scale_user) {
        ASSERT_EQ(scaler.next(state), 0);
    }
    ASSERT_TRUE(ready(replacement));
    EXPECT_TRUE(replacement.get());
    EXPECT_EQ(scaler.get_scale_user(), 0.8);
}

namespace {

// Two prismatic joints along x and y: the tool-centre point is at (q0, q1, 0),
// so its speed is the joint-space speed.
std::shared_ptr<const orvane::RobotArm> xy_table() {
    orvane::JointLimits limits{-10.0, 10.0, 5.0, 50.0};
    orvane::Joint x{"x", orvane::Joint::Type::Prismatic, orvane::Frame::Identity(), {1.0, 0.0, 0.0}, limits};
    orvane::Joint y{"y", orvane::Joint::Type::Prismatic, orvane::Frame::Identity(), {0.0, 1.0, 0.0}, limits};
    return std::make_shared<orvane::RobotArm>("xy", std::vector<orvane::Joint>{x, y});
}

// 1 s along x at 1 m/s, then 2 s at 0.1 m/s, sampled every 10 ms.
Trajectory fast_then_slow() {
    std::vector<double> times;
    Rows positions, velocities, accelerations;
    double x = 0.0;
    for (int k = 0; k <= 300; ++k) {
        const double v = k <= 100 ? 1.0 : 0.1;
        if (k > 0) {
            x += 0.01 * (k <= 100 ? 1.0 : 0.1);
        }
        times.push_back(0.01 * k);
        positions.push_back({x, 0.2});
        velocities.push_back({v, 0.0});
        accelerations.push_back({0.0, 0.0});
    }
    return Trajectory(times, positions, velocities, accelerations);
}

}  // namespace

TEST(TimeScalerCartesianLimit, KeepsTheToolBelowTheLimitAndRecovers) {
    const Trajectory trajectory = fast_then_slow();
    TimeScaler scaler(dt);
    scaler.set_trajectory(&trajectory);
    scaler.set_tcp_constraint(xy_table(), 0.5);
    ASSERT_TRUE(scaler.get_tcp_constraint().has_value());
    EXPECT_FALSE(scaler.get_tcp_constraint()->is_limiting);

    State state;
    // 1 m/s against 0.5 m/s: the scale may fall by at most dt / 0.02 per step.
    ASSERT_EQ(scaler.next(state), 0);
    EXPECT_NEAR(scaler.scale, 1.0 - dt / 0.02, 1e-12);
    ASSERT_EQ(scaler.next(state), 0);
    EXPECT_NEAR(scaler.scale, 1.0 - 2 * dt / 0.02, 1e-12);
    double previous_x = state.position[0];
    int step = 2;
    // The fast part: after a few steps the tool moves at the limit, not faster
    // and not much slower.
    for (; scaler.time < 0.9; ++step) {
        ASSERT_EQ(scaler.next(state), 0);
        ASSERT_LT(step, 1000);
        const double tcp_speed = (state.position[0] - previous_x) / dt;
        previous_x = state.position[0];
        if (step >= 10) {
            EXPECT_LE(tcp_speed, 0.5 * (1.0 + 1e-9)) << "step " << step;
            EXPECT_GT(tcp_speed, 0.45) << "step " << step;
            EXPECT_LE(state.velocity[0], 0.5 * (1.0 + 1e-9));
        }
    }
    EXPECT_NEAR(scaler.scale, 0.5, 1e-6);

    // The slow part is below the limit: the scale recovers at the rate of a
    // recovery from standstill (0.7 s for the full range), to exactly 1.
    while (scaler.time < 1.01) {
        ASSERT_EQ(scaler.next(state), 0);
    }
    const double before = scaler.scale;
    ASSERT_EQ(scaler.next(state), 0);
    EXPECT_NEAR(scaler.scale, before + dt / 0.7, 1e-12);
    for (int k = 0; k < static_cast<int>(0.5 * 0.7 / dt) + 2; ++k) {
        ASSERT_EQ(scaler.next(state), 0);
    }
    EXPECT_EQ(scaler.scale, 1.0);
    EXPECT_NEAR(state.velocity[0], 0.1, 1e-12);
}

TEST(TimeScalerCartesianLimit, LiftingTheLimitRecoversFullSpeed) {
    const Trajectory trajectory = fast_then_slow();
    TimeScaler scaler(dt);
    scaler.set_trajectory(&trajectory);
    scaler.set_tcp_constraint(xy_table(), 0.25);
    State state;
    for (int k = 0; k < 50; ++k) {
        ASSERT_EQ(scaler.next(state), 0);
    }
    EXPECT_NEAR(scaler.scale, 0.25, 1e-6);

    scaler.clear_tcp_constraint();
    EXPECT_FALSE(scaler.get_tcp_constraint().has_value());
    int steps = 0;
    while (scaler.scale < 1.0) {
        const double before = scaler.scale;
        ASSERT_EQ(scaler.next(state), 0);
        EXPECT_GT(scaler.scale, before);
        ++steps;
        ASSERT_LT(steps, 1000);
    }
    // 0.75 of the full range at 0.7 s per range.
    EXPECT_NEAR(steps * dt, 0.75 * 0.7, dt);
    EXPECT_DOUBLE_EQ(state.velocity[0], 1.0);
}

TEST(TimeScalerCartesianLimit, InternalScaleNeverFallsBelowItsFloor) {
    const Trajectory trajectory = fast_then_slow();
    TimeScaler scaler(dt);
    scaler.set_trajectory(&trajectory);
    scaler.set_tcp_constraint(xy_table(), 1e-30);
    State state;
    for (int k = 0; k < 20; ++k) {
        ASSERT_EQ(scaler.next(state), 0);
        EXPECT_GE(scaler.scale, 1e-12);
    }
    EXPECT_EQ(scaler.scale, 1e-12);
    // Still moving forward, however slowly.
    const double t = scaler.time;
    ASSERT_EQ(scaler.next(state), 0);
    EXPECT_GT(scaler.time, t);
}

// A trajectory continued in flight: samples from sample 1 on, re-timed from
// 0, with a different tail appended after sample 3.
TEST(TimeScalerSplice, PlaybackContinuesOnTheReplacementFromTheSamePoint) {
    const Trajectory original = small_trajectory();
    for (const double speed : {1.0, 0.37}) {
        TimeScaler reference(dt);
        TimeScaler spliced(dt);
        reference.set_trajectory(&original);
        spliced.set_trajectory(&original);
        reference.set_scale_user(speed);
        spliced.set_scale_user(speed);
        State expected;
        State played;
        // Into the stretch between samples 1 and 2.
        while (reference.time < 0.12) {
            ASSERT_EQ(reference.next(expected), TimeScaler::moving);
            ASSERT_EQ(spliced.next(played), TimeScaler::moving);
        }
        const double shift = original.times()[1];
        Trajectory replacement = original.slice(1, 3);
        replacement.append(two_joint({0.0, 0.2}, {{1.1, 1.7}, {0.0, 0.0}}, {{-2.0, 10.0}, {0.0, 0.0}},
                                     {{-10.0, 1.5}, {0.0, 0.0}}));
        spliced.continue_on(&replacement, shift);
        // Up to the junction (sample 3 of the original) both play alike.
        while (reference.time < original.times()[3]) {
            const int status = reference.next(expected);
            ASSERT_EQ(spliced.next(played), status) << speed;
            for (std::size_t j = 0; j < 2; ++j) {
                EXPECT_NEAR(played.position[j], expected.position[j], 1e-12) << speed << " at " << reference.time;
                EXPECT_NEAR(played.velocity[j], expected.velocity[j], 1e-12) << speed;
            }
            EXPECT_NEAR(spliced.time + shift, reference.time, 1e-12);
        }
        // Then the replacement's tail, to its end.
        int status = TimeScaler::moving;
        for (int k = 0; k < 1000 && status != TimeScaler::finished; ++k) status = spliced.next(played);
        EXPECT_EQ(status, TimeScaler::finished);
        EXPECT_EQ(played.position, (std::vector<double>{0.0, 0.0}));
    }
}

TEST(TimeScalerSplice, ContinuingBeyondTheReplacementsEndDeliversItsLastSample) {
    const Trajectory original = small_trajectory();
    TimeScaler scaler(dt);
    scaler.set_trajectory(&original);
    State state;
    while (scaler.time < 0.3) ASSERT_EQ(scaler.next(state), TimeScaler::moving);
    const Trajectory shorter = original.slice(0, 2);  // ends at 0.1, behind the playback
    scaler.continue_on(&shorter, 0.0);
    EXPECT_EQ(scaler.index, 1u);
    ASSERT_EQ(scaler.next(state), TimeScaler::moving);
    EXPECT_EQ(state.position, shorter.positions().back());
    EXPECT_EQ(scaler.next(state), TimeScaler::finished);
}

// --- a speed factor of bounded rate, and smooth interpolation (Stream Motion) ---------------------

namespace {

// One joint moving at constant velocity for `duration` seconds, sampled every `dt`.
Trajectory steady_ramp(double duration, double dt) {
    std::vector<double> times;
    Rows positions, velocities, accelerations;
    for (double t = 0.0; t <= duration + 1e-9; t += dt) {
        times.push_back(t);
        positions.push_back({t});
        velocities.push_back({1.0});
        accelerations.push_back({0.0});
    }
    return Trajectory(times, positions, velocities, accelerations);
}

}  // namespace

TEST(BoundedSpeedFactor, AnAbruptPauseAndResumeKeepTheRateAndItsChangeWithinBoundsAndReachTheirTargets) {
    const double dt = 0.008;
    const TimeScaler::FactorLimits limits{.max_rate = 0.8, .max_rate_change = 3.0};
    const auto trajectory = steady_ramp(20.0, 0.024);
    TimeScaler scaler(dt);
    scaler.set_factor_limits(limits);
    scaler.set_trajectory(&trajectory);
    scaler.settle_factor();
    State state;
    std::vector<double> factors;
    int code = TimeScaler::moving;
    const auto step = [&] {
        code = scaler.next(state);
        factors.push_back(scaler.get_factor());
    };
    for (int k = 0; k < 10; ++k) step();
    EXPECT_DOUBLE_EQ(factors.back(), 1.0);  // a motion from rest starts at its full factor

    scaler.set_scale_user(0.0);  // asked at once
    for (int k = 0; k < 2000 && code == TimeScaler::moving; ++k) step();
    EXPECT_EQ(code, TimeScaler::standing_still);
    EXPECT_EQ(scaler.get_factor(), 0.0);
    // A second at least: 1 / max_rate, plus the ramps of the rate.
    EXPECT_GT(static_cast<double>(factors.size() - 10) * dt, 1.0 / limits.max_rate);

    scaler.set_scale_user(0.6);
    for (int k = 0; k < 2000 && std::abs(scaler.get_factor() - 0.6) > 1e-12; ++k) step();
    EXPECT_DOUBLE_EQ(scaler.get_factor(), 0.6);

    for (std::size_t k = 2; k < factors.size(); ++k) {
        const double rate = (factors[k] - factors[k - 1]) / dt;
        const double before = (factors[k - 1] - factors[k - 2]) / dt;
        EXPECT_LE(std::abs(rate), limits.max_rate + 1e-9) << "sample " << k;
        // The landing on a target may take two intervals' worth of change.
        EXPECT_LE(std::abs(rate - before), 2.0 * limits.max_rate_change * dt + 1e-9) << "sample " << k;
    }
}

TEST(BoundedSpeedFactor, WithoutLimitsASpeedChangeTakesEffectAtOnceAndHaltingStopsThePlayback) {
    const auto trajectory = steady_ramp(2.0, 0.024);
    TimeScaler scaler(0.008);
    scaler.set_trajectory(&trajectory);
    State state;
    scaler.next(state);
    scaler.set_scale_user(0.25);
    scaler.next(state);
    EXPECT_DOUBLE_EQ(scaler.get_factor(), 0.25);
    EXPECT_DOUBLE_EQ(state.velocity[0], 0.25);

    // Limits that are no bounds are ignored.
    scaler.set_factor_limits(TimeScaler::FactorLimits{.max_rate = 0.0, .max_rate_change = NAN});
    EXPECT_FALSE(scaler.get_factor_limits().has_value());

    scaler.halt();
    const double before = scaler.time;
    EXPECT_EQ(scaler.next(state), TimeScaler::standing_still);
    EXPECT_LE(scaler.time, before);  // the playback did not advance
    scaler.halt(false);
    EXPECT_EQ(scaler.next(state), TimeScaler::moving);
}

TEST(SmoothInterpolation, BetweenCoarseSamplesTheQuinticThroughPositionVelocityAndAccelerationIsFollowed) {
    // p(t) = t^5 - t^3 + 2t: a quintic is reproduced exactly from its samples'
    // positions, velocities and accelerations, a straight line is not.
    const auto p = [](double t) { return t * t * t * t * t - t * t * t + 2.0 * t; };
    const auto v = [](double t) { return 5.0 * t * t * t * t - 3.0 * t * t + 2.0; };
    const auto a = [](double t) { return 20.0 * t * t * t - 6.0 * t; };
    std::vector<double> times;
    Rows positions, velocities, accelerations;
    for (int k = 0; k <= 50; ++k) {
        const double t = 0.024 * k;
        times.push_back(t);
        positions.push_back({p(t)});
        velocities.push_back({v(t)});
        accelerations.push_back({a(t)});
    }
    const Trajectory trajectory(times, positions, velocities, accelerations);
    for (const bool smooth : {true, false}) {
        TimeScaler scaler(0.008);
        scaler.smooth_interpolation = smooth;
        scaler.set_trajectory(&trajectory);
        State state;
        double worst = 0.0, worst_velocity = 0.0;
        for (int k = 0; k < 140; ++k) {
            const double t = scaler.time;
            ASSERT_EQ(scaler.next(state), TimeScaler::moving);
            worst = std::max(worst, std::abs(state.position[0] - p(t)));
            worst_velocity = std::max(worst_velocity, std::abs(state.velocity[0] - v(t)));
        }
        if (smooth) {
            EXPECT_LT(worst, 1e-9);
            EXPECT_LT(worst_velocity, 1e-7);
        } else {
            EXPECT_GT(worst, 1e-6);  // the straight line between samples misses the curve
        }
    }
}

TEST(AdvanceBeforeSampling, AtASteadySpeedPlaysTheSameSamplesFromTheStartToTheEnd) {
    // The planner's interval and a coarser one; full and half speed.
    for (const double interval : {0.008, 0.024}) {
        const auto trajectory = steady_ramp(0.48, interval);
        for (const double speed : {1.0, 0.5}) {
            const auto play = [&](bool advance_first) {
                TimeScaler scaler(0.008);
                scaler.advance_before_sampling = advance_first;
                scaler.set_scale_user(speed);
                scaler.set_trajectory(&trajectory);
                State state;
                std::vector<double> positions;
                while (scaler.next(state) == TimeScaler::moving) positions.push_back(state.position[0]);
                EXPECT_EQ(state.position[0], trajectory.positions().back()[0]);
                return positions;
            };
            const auto sampled_first = play(false);
            const auto advanced_first = play(true);
            ASSERT_EQ(advanced_first.size(), sampled_first.size()) << interval << " s, speed " << speed;
            EXPECT_EQ(advanced_first.front(), 0.0);  // the start, where the arm already is
            for (std::size_t k = 0; k < advanced_first.size(); ++k) {
                EXPECT_NEAR(advanced_first[k], sampled_first[k], 1e-12) << "sample " << k;
            }
        }
    }
}

TEST(AdvanceBeforeSampling, ASpeedChangeOrARampMovesTheVeryNextSample) {
    const auto trajectory = steady_ramp(5.0, 0.024);
    const TimeScaler::FactorLimits limits{.max_rate = 0.8, .max_rate_change = 3.0};
    enum class Ask { speed, ramp, halt };
    for (const bool advance_first : {true, false}) {
        for (const auto ask : {Ask::speed, Ask::ramp, Ask::halt}) {
            SCOPED_TRACE(std::string(advance_first ? "advancing first, " : "sampling first, ") +
                         (ask == Ask::speed ? "speed" : ask == Ask::ramp ? "ramp" : "halt"));
            // Two playbacks in step; the second is asked a change after ten samples.
            std::array<TimeScaler, 2> scalers{TimeScaler(0.008), TimeScaler(0.008)};
            std::array<State, 2> states;
            for (auto& scaler : scalers) {
                scaler.advance_before_sampling = advance_first;
                scaler.set_factor_limits(limits);
                scaler.set_trajectory(&trajectory);
                scaler.settle_factor();
            }
            const auto step = [&] {
                for (std::size_t s = 0; s < 2; ++s) ASSERT_EQ(scalers[s].next(states[s]), TimeScaler::moving);
            };
            for (int k = 0; k < 10; ++k) step();
            if (ask == Ask::speed) scalers[1].set_scale_user(0.5);
            if (ask == Ask::ramp) scalers[1].move_scale_user_linearly_to(0.0, 0.5);
            if (ask == Ask::halt) scalers[1].halt();
            step();
            const bool next_moved = states[0].position[0] != states[1].position[0];
            EXPECT_EQ(next_moved, advance_first);
            // Sampling first, a ramp's first value is the present speed: it shows a sample later still.
            step();
            step();
            EXPECT_GT(states[0].position[0], states[1].position[0]);
        }
    }
}
