#include <orvane/motion/frame.hpp>
#include <orvane/motion/version.hpp>

#include <cmath>
#include <numbers>
#include <random>

#include <gtest/gtest.h>

namespace {

using orvane::Frame;

constexpr double pi = std::numbers::pi;

void expect_same_rotation(const Frame& a, const Frame& b, double tolerance = 1e-12) {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            EXPECT_NEAR(a.rotation()[i][j], b.rotation()[i][j], tolerance) << "entry " << i << "," << j;
        }
    }
}

void expect_same_frame(const Frame& a, const Frame& b, double tolerance = 1e-12) {
    expect_same_rotation(a, b, tolerance);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(a.translation()[i], b.translation()[i], tolerance);
}

TEST(MotionFrame, EulerAnglesAreExtrinsicXyzLikeUrdfRpy) {
    // R = Rz(c) * Ry(b) * Rx(a), each an elementary rotation about a fixed axis.
    const double a = 0.3, b = -0.7, c = 2.1;
    const Frame expected = Frame::from_axis_angle({0, 0, 1}, c) * Frame::from_axis_angle({0, 1, 0}, b) *
                           Frame::from_axis_angle({1, 0, 0}, a);
    expect_same_rotation(Frame::from_euler(0, 0, 0, a, b, c), expected);

    // A quarter turn about Z takes X onto Y.
    const auto p = Frame::from_euler(0, 0, 0, 0, 0, pi / 2) * Frame::Vector3{1, 0, 0};
    EXPECT_NEAR(p[0], 0.0, 1e-15);
    EXPECT_NEAR(p[1], 1.0, 1e-15);
    EXPECT_NEAR(p[2], 0.0, 1e-15);
}

TEST(MotionFrame, ToEulerInvertsFromEuler) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> angle(-pi + 1e-6, pi);
    std::uniform_real_distribution<double> pitch(-pi / 2 + 1e-6, pi / 2 - 1e-6);
    std::uniform_real_distribution<double> length(-2.0, 2.0);
    for (int i = 0; i < 500; ++i) {
        const double x = length(random), y = length(random), z = length(random);
        const double a = angle(random), b = pitch(random), c = angle(random);
        const auto e = Frame::from_euler(x, y, z, a, b, c).to_euler();
        EXPECT_NEAR(e[0], x, 1e-15);
        EXPECT_NEAR(e[1], y, 1e-15);
        EXPECT_NEAR(e[2], z, 1e-15);
        EXPECT_NEAR(e[3], a, 1e-9);
        EXPECT_NEAR(e[4], b, 1e-9);
        EXPECT_NEAR(e[5], c, 1e-9);
    }
}

TEST(MotionFrame, ToEulerAtGimbalLockStillDescribesTheRotation) {
    for (double b : {pi / 2, -pi / 2}) {
        const Frame frame = Frame::from_euler(0.1, 0.2, 0.3, 0.4, b, -1.1);
        const auto e = frame.to_euler();
        EXPECT_NEAR(e[4], b, 1e-9);
        EXPECT_EQ(e[5], 0.0);
        expect_same_frame(Frame::from_euler(e[0], e[1], e[2], e[3], e[4], e[5]), frame, 1e-9);
    }
    // The faceplate pose of a FANUC arm at zero joints: W, P, R = 180, -90, 0 degrees.
    const auto e = Frame::from_euler(0, 0, 0, pi, -pi / 2, 0).to_euler();
    EXPECT_NEAR(std::abs(e[3]), pi, 1e-9);
    EXPECT_NEAR(e[4], -pi / 2, 1e-9);
    EXPECT_NEAR(e[5], 0.0, 1e-9);
}

TEST(MotionFrame, CompositionInverseAndDistances) {
    const Frame a = Frame::from_euler(0.5, -0.2, 1.0, 0.3, 0.1, -0.4);
    const Frame b = Frame::from_euler(-1.0, 0.4, 0.25, -1.2, 0.6, 2.0);
    const Frame::Vector3 p{0.3, -0.7, 1.9};

    expect_same_frame(a * a.inverse(), Frame::Identity());
    expect_same_frame(a.inverse() * a, Frame::Identity());
    // (a * b) maps b's coordinates through b, then a.
    const auto left = (a * b) * p;
    const auto right = a * (b * p);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(left[i], right[i], 1e-12);
    expect_same_frame((a * b).inverse(), b.inverse() * a.inverse());

    EXPECT_DOUBLE_EQ(Frame::from_translation(1, 2, 3).translational_distance(Frame::from_translation(4, 6, 3)), 5.0);
    EXPECT_DOUBLE_EQ(a.translational_distance(a), 0.0);
    EXPECT_NEAR(Frame::Identity().angular_distance(Frame::from_axis_angle({1, 1, 0}, 0.75)), 0.75, 1e-12);
    EXPECT_NEAR(Frame::Identity().angular_distance(Frame::from_axis_angle({0, 0, 1}, pi)), pi, 1e-12);
    EXPECT_NEAR(a.angular_distance(a), 0.0, 1e-12);
    // Translation does not enter the angular distance, nor rotation the translational one.
    EXPECT_NEAR(Frame::from_translation(5, 0, 0).angular_distance(Frame::Identity()), 0.0, 1e-15);
    EXPECT_NEAR(Frame::from_axis_angle({0, 1, 0}, 1.0).translational_distance(Frame::Identity()), 0.0, 1e-15);
}

TEST(MotionVersionNumber, TextAndOrder) {
    EXPECT_EQ(orvane::version_number, (orvane::VersionNumber{1, 1, 0}));
    EXPECT_EQ(orvane::version_number.to_string(), "1.1.0");
    EXPECT_EQ((orvane::VersionNumber{12, 0, 34}).to_string(), "12.0.34");
    EXPECT_LT((orvane::VersionNumber{1, 0, 9}), (orvane::VersionNumber{1, 1, 0}));
    EXPECT_LT((orvane::VersionNumber{1, 1, 0}), (orvane::VersionNumber{1, 1, 1}));
    EXPECT_GT((orvane::VersionNumber{2, 0, 0}), (orvane::VersionNumber{1, 9, 9}));
}

}  // namespace
