#include <orvane/motion/trajectory.hpp>

#include <cstddef>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

namespace {

using orvane::Trajectory;

// Two joints; sample k at time times[k] holds position (k, -k), velocity
// (10k, -10k), acceleration (100k, -100k), so samples are recognisable.
Trajectory numbered(const std::vector<double>& times) {
    std::vector<std::vector<double>> p, v, a;
    for (std::size_t k = 0; k < times.size(); ++k) {
        const double x = static_cast<double>(k);
        p.push_back({x, -x});
        v.push_back({10 * x, -10 * x});
        a.push_back({100 * x, -100 * x});
    }
    return Trajectory(times, p, v, a);
}

void expect_same_sample(const Trajectory& a, std::size_t i, const Trajectory& b, std::size_t j) {
    EXPECT_EQ(a.positions()[i], b.positions()[j]);
    EXPECT_EQ(a.velocities()[i], b.velocities()[j]);
    EXPECT_EQ(a.accelerations()[i], b.accelerations()[j]);
}

void expect_valid_times(const Trajectory& t) {
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.times().front(), 0.0);
    for (std::size_t k = 1; k < t.size(); ++k) EXPECT_GT(t.times()[k], t.times()[k - 1]) << "sample " << k;
    EXPECT_EQ(t.duration(), t.times().back());
}

TEST(MotionTrajectory, ConstructionChecksTheSampleArrays) {
    const Trajectory t = numbered({0.0, 0.1, 0.25});
    EXPECT_EQ(t.degrees_of_freedom(), 2u);
    EXPECT_EQ(t.size(), 3u);
    EXPECT_DOUBLE_EQ(t.duration(), 0.25);
    const auto back = t.back();
    EXPECT_DOUBLE_EQ(back.time, 0.25);
    EXPECT_EQ(back.position, (std::vector<double>{2, -2}));
    EXPECT_EQ(t.front().velocity, (std::vector<double>{0, 0}));

    using V = std::vector<std::vector<double>>;
    EXPECT_THROW(Trajectory({0.1, 0.2}, V{{0}, {1}}, V{{0}, {0}}, V{{0}, {0}}), std::invalid_argument)
        << "first time not 0";
    EXPECT_THROW(Trajectory({0.0, 0.2, 0.2}, V{{0}, {1}, {2}}, V{{0}, {0}, {0}}, V{{0}, {0}, {0}}),
                 std::invalid_argument)
        << "times not strictly increasing";
    EXPECT_THROW(Trajectory({0.0, 0.2}, V{{0}, {1}}, V{{0}}, V{{0}, {0}}), std::invalid_argument)
        << "missing velocity sample";
    EXPECT_THROW(Trajectory({0.0, 0.2}, V{{0, 1}, {1}}, V{{0, 0}, {0}}, V{{0, 0}, {0}}), std::invalid_argument)
        << "joint count differs between samples";
    EXPECT_THROW(Trajectory({0.0, 0.2}, V{{0}, {1}}, V{{0}, {0, 1}}, V{{0}, {0}}), std::invalid_argument)
        << "velocity joint count differs from position";

    const Trajectory empty(6);
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty.degrees_of_freedom(), 6u);
    EXPECT_EQ(empty.duration(), 0.0);
    EXPECT_THROW(empty.front(), std::out_of_range);
    EXPECT_THROW(empty.back(), std::out_of_range);
    EXPECT_THROW(t.at(3), std::out_of_range);
}

TEST(MotionTrajectory, SliceKeepsSamplesAndRestartsTime) {
    const Trajectory t = numbered({0.0, 0.1, 0.3, 0.6, 1.0});

    const Trajectory middle = t.slice(1, 3);
    ASSERT_EQ(middle.size(), 3u);
    EXPECT_EQ(middle.degrees_of_freedom(), 2u);
    EXPECT_EQ(middle.times(), (std::vector<double>{0.0, 0.3 - 0.1, 0.6 - 0.1}));
    for (std::size_t k = 0; k < 3; ++k) expect_same_sample(middle, k, t, k + 1);

    // The "all the rest" count used for blending.
    const Trajectory rest = t.slice(2, 1000000000);
    ASSERT_EQ(rest.size(), 3u);
    EXPECT_DOUBLE_EQ(rest.duration(), 1.0 - 0.3);
    expect_same_sample(rest, 2, t, 4);
    expect_valid_times(rest);

    const Trajectory last = t.slice(4, 1000000000);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last.duration(), 0.0);
    expect_same_sample(last, 0, t, 4);

    EXPECT_TRUE(t.slice(5, 10).empty());
    EXPECT_TRUE(t.slice(1, 0).empty());
    EXPECT_THROW(t.slice(6, 1), std::out_of_range);

    const Trajectory whole = t.slice(0, 1000000000);
    EXPECT_EQ(whole.times(), t.times());
    EXPECT_EQ(whole.positions(), t.positions());
}

TEST(MotionTrajectory, AppendContinuesInTimeAndSharesTheJunction) {
    Trajectory a = numbered({0.0, 0.5, 1.0});
    const Trajectory b = numbered({0.0, 0.2, 0.5, 0.9});
    const Trajectory original = a;
    a.append(b);

    EXPECT_EQ(a.size(), original.size() + b.size() - 1);
    EXPECT_DOUBLE_EQ(a.duration(), original.duration() + b.duration());
    expect_valid_times(a);
    // Samples before the junction stay; from the junction on they are b's.
    for (std::size_t k = 0; k + 1 < original.size(); ++k) {
        expect_same_sample(a, k, original, k);
        EXPECT_EQ(a.times()[k], original.times()[k]);
    }
    for (std::size_t k = 0; k < b.size(); ++k) {
        expect_same_sample(a, original.size() - 1 + k, b, k);
        EXPECT_DOUBLE_EQ(a.times()[original.size() - 1 + k], original.duration() + b.times()[k]);
    }
}

TEST(MotionTrajectory, SliceThenAppendRebuildsTheTrajectory) {
    const Trajectory t = numbered({0.0, 0.024, 0.048, 0.072, 0.1, 0.13, 0.2});
    for (std::size_t cut = 0; cut < t.size(); ++cut) {
        Trajectory rebuilt = t.slice(0, cut + 1);
        rebuilt.append(t.slice(cut, 1000000000));
        ASSERT_EQ(rebuilt.size(), t.size()) << "cut at " << cut;
        EXPECT_EQ(rebuilt.positions(), t.positions());
        EXPECT_EQ(rebuilt.velocities(), t.velocities());
        EXPECT_EQ(rebuilt.accelerations(), t.accelerations());
        for (std::size_t k = 0; k < t.size(); ++k) EXPECT_NEAR(rebuilt.times()[k], t.times()[k], 1e-15);
    }
}

TEST(MotionTrajectory, AppendEdgeCases) {
    const Trajectory b = numbered({0.0, 0.2});

    Trajectory empty(2);
    empty.append(b);
    EXPECT_EQ(empty.times(), b.times());
    EXPECT_EQ(empty.positions(), b.positions());

    Trajectory a = numbered({0.0, 0.2});
    a.append(Trajectory(2));
    EXPECT_EQ(a.size(), 2u);

    Trajectory three_joints({0.0}, {{1, 2, 3}}, {{0, 0, 0}}, {{0, 0, 0}});
    EXPECT_THROW(three_joints.append(b), std::invalid_argument);
    EXPECT_EQ(three_joints.size(), 1u);

    // A single-sample trajectory is a point in time: appending replaces it.
    Trajectory point({0.0}, {{7, 7}}, {{0, 0}}, {{0, 0}});
    point.append(b);
    EXPECT_EQ(point.times(), b.times());
    EXPECT_EQ(point.positions(), b.positions());

    // Copies are independent.
    Trajectory copy = b;
    copy.append(b);
    EXPECT_EQ(b.size(), 2u);
    EXPECT_EQ(copy.size(), 3u);
}

}  // namespace
