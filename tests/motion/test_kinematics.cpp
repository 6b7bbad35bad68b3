#include <orvane/motion/robot.hpp>
#include <orvane/motion/robots.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using orvane::Frame;
using orvane::RobotArm;

constexpr double pi = std::numbers::pi;

struct Preset {
    std::string file;
    std::function<std::shared_ptr<RobotArm>()> make;
};

const std::vector<Preset>& presets() {
    static const std::vector<Preset> list{{"lrmate200id.json", orvane::robots::fanuc_lrmate200id},
                                          {"crx10ial.json", orvane::robots::fanuc_crx10ial}};
    return list;
}

nlohmann::json description(const std::string& file) {
    const auto path = std::filesystem::path(ORVANE_ROBOT_DATA_DIR) / file;
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    return nlohmann::json::parse(in);
}

double wrapped(double angle) { return std::remainder(angle, 2.0 * pi); }

TEST(MotionKinematics, ForwardKinematicsMatchesTheReferencePoses) {
    for (const auto& preset : presets()) {
        SCOPED_TRACE(preset.file);
        const auto arm = preset.make();
        const auto checks = description(preset.file).at("fk_checks").at("poses");
        ASSERT_GE(checks.size(), 3u);
        for (const auto& pose : checks) {
            const auto q = pose.at("q_urdf_rad").get<std::vector<double>>();
            SCOPED_TRACE(pose.at("q_urdf_deg").dump());
            const Frame tcp = arm->calculate_tcp(q);
            const auto xyz = pose.at("tool0_xyz_in_base_link_m").get<std::vector<double>>();
            const auto rotation = pose.at("tool0_rotation_matrix_in_base_link").get<std::vector<std::vector<double>>>();
            // The reference values are printed to 6 decimals.
            for (int i = 0; i < 3; ++i) {
                EXPECT_NEAR(tcp.translation()[i], xyz[i], 1e-6) << "axis " << i;
                for (int j = 0; j < 3; ++j) EXPECT_NEAR(tcp.rotation()[i][j], rotation[i][j], 1.5e-6);
            }
            const auto rpy = pose.at("tool0_rpy_deg_in_base_link (= FANUC W,P,R)").get<std::vector<double>>();
            const auto euler = tcp.to_euler();
            for (int i = 0; i < 3; ++i) {
                EXPECT_NEAR(wrapped(euler[3 + i] - rpy[i] * pi / 180.0), 0.0, 1e-4 * pi / 180.0 + 1e-9)
                    << "angle " << i;
            }
        }
    }
}

TEST(MotionKinematics, PresetsDescribeTheArms) {
    for (const auto& preset : presets()) {
        SCOPED_TRACE(preset.file);
        const auto arm = preset.make();
        const auto data = description(preset.file);
        ASSERT_EQ(arm->get_degrees_of_freedom(), 6u);
        ASSERT_TRUE(arm->control_rate.has_value());
        EXPECT_DOUBLE_EQ(1.0 / *arm->control_rate, 0.024);
        const auto limits = arm->get_joint_limits();
        for (std::size_t i = 0; i < 6; ++i) {
            const auto& joint = data.at("joints").at(i);
            EXPECT_EQ(arm->joints()[i].name, joint.at("name").get<std::string>());
            EXPECT_EQ(limits[i].lower, joint.at("lower").get<double>());
            EXPECT_EQ(limits[i].upper, joint.at("upper").get<double>());
            EXPECT_EQ(limits[i].max_velocity, joint.at("max_velocity").get<double>());
            EXPECT_EQ(limits[i].max_acceleration, joint.at("max_acceleration").get<double>());
            EXPECT_EQ(limits[i].max_jerk, joint.at("max_jerk").get<double>());
            // Assumed like the acceleration, shared with the simulator's copy of the models.
            EXPECT_TRUE(joint.at("jerk_assumed").get<bool>());
            EXPECT_NEAR(limits[i].max_jerk, orvane::default_jerk_per_acceleration * limits[i].max_acceleration,
                        1e-9);
        }
        // Every call builds a distinct robot.
        EXPECT_NE(preset.make(), arm);
    }
}

TEST(MotionKinematics, InverseKinematicsRoundTrip) {
    std::mt19937 random(2024);
    std::normal_distribution<double> noise(0.0, 0.15);
    for (const auto& preset : presets()) {
        SCOPED_TRACE(preset.file);
        const auto arm = preset.make();
        const auto limits = arm->get_joint_limits();
        int solved = 0;
        const int trials = 200;
        for (int trial = 0; trial < trials; ++trial) {
            std::vector<double> q(6), seed(6);
            for (std::size_t i = 0; i < 6; ++i) {
                // Stay clear of the ends so that the seed's neighbourhood is inside the limits.
                const double margin = 0.1 * (limits[i].upper - limits[i].lower);
                q[i] = std::uniform_real_distribution<double>(limits[i].lower + margin, limits[i].upper - margin)(random);
                seed[i] = q[i] + noise(random);
            }
            const Frame target = arm->calculate_tcp(q);
            const auto solution = arm->inverse_kinematics(target, seed);
            if (!solution) continue;
            ++solved;
            ASSERT_EQ(solution->size(), 6u);
            for (std::size_t i = 0; i < 6; ++i) {
                EXPECT_GE((*solution)[i], limits[i].lower);
                EXPECT_LE((*solution)[i], limits[i].upper);
            }
            const Frame reached = arm->calculate_tcp(*solution);
            EXPECT_LE(reached.translational_distance(target), 1e-9);
            EXPECT_LE(reached.angular_distance(target), 1e-9);
        }
        // A seed this close converges but for rare cases near singularities.
        EXPECT_GE(solved, trials * 95 / 100);
    }
}

TEST(MotionKinematics, InverseKinematicsFromTheSolutionStaysThere) {
    const auto arm = orvane::robots::fanuc_lrmate200id();
    const std::vector<double> q{0.3, -0.2, 0.4, 1.0, -0.5, 2.0};
    const auto solution = arm->inverse_kinematics(arm->calculate_tcp(q), q);
    ASSERT_TRUE(solution);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR((*solution)[i], q[i], 1e-9);
}

TEST(MotionKinematics, InverseKinematicsReportsUnreachablePoses) {
    const auto arm = orvane::robots::fanuc_lrmate200id();
    const std::vector<double> seed(6, 0.1);
    // 3 m away: beyond the 0.72 m reach.
    EXPECT_FALSE(arm->inverse_kinematics(Frame::from_euler(3.0, 0.0, 0.5, pi, -pi / 2, 0), seed));
    EXPECT_THROW(arm->inverse_kinematics(Frame::Identity(), {0.0, 0.0}), std::invalid_argument);
    EXPECT_THROW(arm->calculate_tcp({0.0}), std::invalid_argument);
}

TEST(MotionRobots, SubRobotsEnumerateInJointOrder) {
    const auto arm = orvane::robots::fanuc_crx10ial();
    // A plain arm is its own only part.
    EXPECT_EQ(arm->get_first_sub_robot(), arm);
    EXPECT_EQ(arm->get_next_sub_robot(arm), nullptr);

    const auto rail = std::make_shared<orvane::LinearAxis>("rail", std::array<double, 3>{1, 0, 0},
                                                           orvane::JointLimits{-0.5, 3.0, 1.5, 3.0});
    const auto cell = std::make_shared<orvane::CompositeRobot>(
        "cell", std::vector<std::shared_ptr<orvane::Robot>>{rail, arm});
    EXPECT_EQ(cell->get_degrees_of_freedom(), 7u);
    EXPECT_EQ(cell->get_first_sub_robot(), rail);
    EXPECT_EQ(cell->get_next_sub_robot(rail), arm);
    EXPECT_EQ(cell->get_next_sub_robot(arm), nullptr);
    EXPECT_EQ(cell->get_next_sub_robot(cell), nullptr);

    const auto limits = cell->get_joint_limits();
    ASSERT_EQ(limits.size(), 7u);
    EXPECT_EQ(limits[0].upper, 3.0);
    EXPECT_EQ(limits[1].upper, arm->get_joint_limits()[0].upper);
    EXPECT_EQ(limits[6].max_velocity, arm->get_joint_limits()[5].max_velocity);

    const auto carriage = rail->calculate_frame(2.0).translation();
    EXPECT_EQ(carriage, (Frame::Vector3{2.0, 0.0, 0.0}));
}

TEST(MotionRobots, InvalidModelsAreRejected) {
    using orvane::Joint;
    using orvane::JointLimits;
    Joint good{"j", Joint::Type::Revolute, Frame::Identity(), {0, 0, 1}, {-1, 1, 1, 1}};
    EXPECT_NO_THROW(RobotArm("arm", {good}));
    EXPECT_THROW(RobotArm("arm", {}), std::invalid_argument);
    Joint zero_axis = good;
    zero_axis.axis = {0, 0, 0};
    EXPECT_THROW(RobotArm("arm", {zero_axis}), std::invalid_argument);
    Joint crossed = good;
    crossed.limits = {1, -1, 1, 1};
    EXPECT_THROW(RobotArm("arm", {crossed}), std::invalid_argument);
    Joint no_acceleration = good;
    no_acceleration.limits.max_acceleration = 0.0;
    EXPECT_THROW(RobotArm("arm", {no_acceleration}), std::invalid_argument);
    EXPECT_THROW(orvane::LinearAxis("rail", {1, 0, 0}, JointLimits{0, 1, -1, 1}), std::invalid_argument);
    Joint negative_jerk = good;
    negative_jerk.limits.max_jerk = -1.0;
    EXPECT_THROW(RobotArm("arm", {negative_jerk}), std::invalid_argument);
    Joint endless_jerk = good;
    endless_jerk.limits.max_jerk = std::numeric_limits<double>::infinity();
    EXPECT_THROW(RobotArm("arm", {endless_jerk}), std::invalid_argument);
}

TEST(MotionRobots, AJointWithoutAJerkLimitGetsTheDefaultOne) {
    using orvane::Joint;
    using orvane::JointLimits;
    const Joint unlimited{"j", Joint::Type::Revolute, Frame::Identity(), {0, 0, 1}, {-1, 1, 1, 2}};
    const RobotArm arm("arm", {unlimited});
    EXPECT_EQ(arm.get_joint_limits()[0].max_jerk, orvane::default_jerk_per_acceleration * 2.0);
    const orvane::LinearAxis rail("rail", {1, 0, 0}, JointLimits{0, 1, 1, 3});
    EXPECT_EQ(rail.get_joint_limits()[0].max_jerk, orvane::default_jerk_per_acceleration * 3.0);
    // A jerk limit that is given is kept.
    const orvane::LinearAxis given("rail", {1, 0, 0}, JointLimits{0, 1, 1, 3, 7});
    EXPECT_EQ(given.get_joint_limits()[0].max_jerk, 7.0);
    EXPECT_THROW(orvane::CompositeRobot("cell", {}), std::invalid_argument);
    EXPECT_THROW(orvane::CompositeRobot("cell", {nullptr}), std::invalid_argument);
}

}  // namespace
