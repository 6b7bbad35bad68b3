// Driver construction, configuration helpers and the operations that need no motion.
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <orvane/log/orvane_error.hpp>

#include "driver/loop_driver.hpp"

namespace {

using orvane::drivers::Driver;
using orvane::drivers::Result;
using orvane::drivers::testing::LogCapture;
using orvane::drivers::testing::LoopDriver;

std::shared_ptr<orvane::LinearAxis> rail(const std::string& name) {
    return std::make_shared<orvane::LinearAxis>(name, std::array<double, 3>{1.0, 0.0, 0.0},
                                                orvane::JointLimits{-2.0, 2.0, 1.0, 2.0});
}

std::string construction_error(const std::shared_ptr<orvane::Planner>& planner,
                               const std::shared_ptr<orvane::Robot>& robot) {
    try {
        LoopDriver driver(planner, robot);
    } catch (const orvane::OrvaneError& error) {
        EXPECT_EQ(error.type, "driver");
        return error.message;
    }
    return "<no error>";
}

TEST(DriverConstruction, RobotSelectionErrors) {
    auto arm = orvane::robots::fanuc_lrmate200id();
    EXPECT_EQ(construction_error(nullptr, arm), "A planner and environment are required to instantiate the driver.");

    auto without_environment = std::make_shared<orvane::Planner>(arm, 0.01);
    without_environment->environment.reset();
    EXPECT_EQ(construction_error(without_environment, arm),
              "A planner and environment are required to instantiate the driver.");

    auto environment = std::make_shared<orvane::Environment>(
        std::vector<std::shared_ptr<orvane::Robot>>{arm, orvane::robots::fanuc_crx10ial()});
    auto two_robots = std::make_shared<orvane::Planner>(environment, 0.01);
    EXPECT_EQ(construction_error(two_robots, nullptr),
              "Please specify the exact robot to drive, as they are '2' in the environment.");
    auto empty = std::make_shared<orvane::Planner>(std::make_shared<orvane::Environment>(), 0.01);
    EXPECT_EQ(construction_error(empty, nullptr),
              "Please specify the exact robot to drive, as they are '0' in the environment.");

    // Naming one of them resolves the ambiguity.
    LoopDriver named(two_robots, arm);
    EXPECT_EQ(named.robot, arm);
    EXPECT_EQ(named.robot_argument, arm);

    // The only robot is taken when none is named, and the argument stays empty.
    LoopDriver only(std::make_shared<orvane::Planner>(arm, 0.01), nullptr);
    EXPECT_EQ(only.robot, arm);
    EXPECT_EQ(only.robot_argument, nullptr);
    EXPECT_EQ(only.degrees_of_freedom, 6u);
    EXPECT_EQ(only.offset, 0u);
}

TEST(DriverConstruction, DefaultsAndArguments) {
    auto arm = orvane::robots::fanuc_lrmate200id();
    LoopDriver driver(std::make_shared<orvane::Planner>(arm, 0.01), arm, 0.024);
    EXPECT_EQ(driver.host, "127.0.0.1");
    EXPECT_EQ(driver.port, 0);
    EXPECT_DOUBLE_EQ(driver.delta_time, 0.024);
    EXPECT_DOUBLE_EQ(driver.time_scaler.delta_time, 0.024);
    EXPECT_DOUBLE_EQ(driver.connect_timeout, 2.0);
    EXPECT_DOUBLE_EQ(driver.pausing_duration, 0.7);
    EXPECT_TRUE(driver.monitor_path_deviation);
    EXPECT_DOUBLE_EQ(driver.path_deviation_error_threshold, 0.1);
    EXPECT_EQ(driver.kelvra_sync_rate, 30u);
    EXPECT_FALSE(driver.sync_with_kelvra);
    EXPECT_EQ(driver.kelvra, nullptr);
    EXPECT_FALSE(driver.is_running());
    EXPECT_TRUE(driver.is_connected());  // the in-test controller; the base reads is_connected_flag
    EXPECT_DOUBLE_EQ(driver.get_speed(), 1.0);
    EXPECT_DOUBLE_EQ(driver.get_total_motion_time(), 0.0);
    EXPECT_FALSE(driver.get_desired_state().has_value());
    // The base reads the commanded state, of which there is none yet.
    EXPECT_TRUE(driver.Driver::get_current_joint_position().empty());
}

TEST(DriverConstruction, LogMotionsFromEnvironment) {
    auto arm = orvane::robots::fanuc_lrmate200id();
    auto planner = std::make_shared<orvane::Planner>(arm, 0.01);
    const auto log_motions_with = [&](const char* value) {
        if (value == nullptr) {
            ::unsetenv("ORVANE_LOG_MOTIONS");
        } else {
            ::setenv("ORVANE_LOG_MOTIONS", value, 1);
        }
        LoopDriver driver(planner, arm);
        return driver.log_motions;
    };
    EXPECT_TRUE(log_motions_with("ON"));
    EXPECT_TRUE(log_motions_with("True"));
    EXPECT_TRUE(log_motions_with("on"));
    EXPECT_TRUE(log_motions_with("tRUE"));
    EXPECT_FALSE(log_motions_with("1"));
    EXPECT_FALSE(log_motions_with("yes"));
    EXPECT_FALSE(log_motions_with("true "));
    EXPECT_FALSE(log_motions_with("onn"));
    EXPECT_FALSE(log_motions_with(""));
    EXPECT_FALSE(log_motions_with(nullptr));
}

TEST(DriverConstruction, MotionLibraryVersionCheck) {
    using orvane::VersionNumber;
    using orvane::drivers::check_motion_library_version;
    using orvane::drivers::is_motion_library_supported;
    EXPECT_FALSE(is_motion_library_supported(VersionNumber{1, 0, 9}));
    EXPECT_FALSE(is_motion_library_supported(VersionNumber{1, 0, 99}));
    EXPECT_FALSE(is_motion_library_supported(VersionNumber{0, 9, 0}));
    EXPECT_FALSE(is_motion_library_supported(VersionNumber{0, 0, 0}));
    EXPECT_TRUE(is_motion_library_supported(VersionNumber{1, 1, 0}));
    EXPECT_TRUE(is_motion_library_supported(VersionNumber{1, 2, 0}));
    EXPECT_TRUE(is_motion_library_supported(VersionNumber{2, 0, 0}));
    // The library the tests run against is accepted (construction works).
    EXPECT_TRUE(is_motion_library_supported(orvane::version_number));

    EXPECT_NO_THROW(check_motion_library_version(VersionNumber{2, 0, 0}));
    try {
        check_motion_library_version(VersionNumber{1, 0, 9});
        FAIL() << "1.0.9 was accepted";
    } catch (const orvane::OrvaneError& error) {
        EXPECT_EQ(error.type, "driver");
        EXPECT_EQ(error.message, "The driver requires a minimum version '1.1.0' of the motion library.");
    }
}

TEST(DriverConstruction, OffsetWithinCompositeRobots) {
    auto axis = rail("rail");
    auto arm = orvane::robots::fanuc_lrmate200id();
    auto composite = std::make_shared<orvane::CompositeRobot>("cell", std::vector<std::shared_ptr<orvane::Robot>>{axis, arm});
    auto other = orvane::robots::fanuc_crx10ial();
    auto environment = std::make_shared<orvane::Environment>(std::vector<std::shared_ptr<orvane::Robot>>{other, composite});
    auto planner = std::make_shared<orvane::Planner>(environment, 0.01);

    using orvane::drivers::calculate_offset;
    EXPECT_EQ(calculate_offset(planner, arm), 1u);
    EXPECT_EQ(calculate_offset(planner, axis), 0u);
    EXPECT_EQ(calculate_offset(planner, composite), 0u);
    EXPECT_EQ(calculate_offset(planner, other), 0u);
    EXPECT_EQ(calculate_offset(planner, orvane::robots::fanuc_lrmate200id()), 0u);  // not in the environment

    LoopDriver driver(planner, arm);
    EXPECT_EQ(driver.offset, 1u);
    EXPECT_EQ(driver.degrees_of_freedom, 6u);
}

TEST(DriverConstruction, FindDeltaTime) {
    using orvane::drivers::find_delta_time;
    auto arm = orvane::robots::fanuc_lrmate200id();
    auto planner = std::make_shared<orvane::Planner>(arm, 0.005);
    ASSERT_TRUE(arm->control_rate.has_value());
    EXPECT_DOUBLE_EQ(find_delta_time(planner, arm), 1.0 / *arm->control_rate);
    EXPECT_DOUBLE_EQ(find_delta_time(planner, nullptr), 0.005);
    auto axis = rail("rail");
    EXPECT_DOUBLE_EQ(find_delta_time(planner, axis), 0.005);  // states no rate
    axis->control_rate = 250.0;
    EXPECT_DOUBLE_EQ(find_delta_time(planner, axis), 0.004);
}

TEST(DriverConstruction, ArePositionsWithin) {
    EXPECT_TRUE(Driver::are_positions_within({0.0, 0.0}, {0.0, 0.1}, 0.1));
    EXPECT_FALSE(Driver::are_positions_within({0.0, 0.0}, {0.0, 0.1}, 0.05));
    EXPECT_TRUE(Driver::are_positions_within({0.0, -0.1}, {0.0, 0.0}, 0.1));
    EXPECT_FALSE(Driver::are_positions_within({0.0}, {0.0, 0.0}, 1.0));
    EXPECT_FALSE(Driver::are_positions_within({0.0, 0.0}, {0.0}, 1.0));
    EXPECT_TRUE(Driver::are_positions_within({}, {}, 0.0));
    EXPECT_FALSE(Driver::are_positions_within({std::nan("")}, {0.0}, 1.0));
}

TEST(DriverConstruction, SliceStateOffset) {
    // Two rails, the arm, a third rail: the arm's joints are 2..7 of 9.
    auto arm = orvane::robots::fanuc_lrmate200id();
    auto composite = std::make_shared<orvane::CompositeRobot>(
        "cell", std::vector<std::shared_ptr<orvane::Robot>>{rail("x"), rail("y"), arm, rail("z")});
    LoopDriver driver(std::make_shared<orvane::Planner>(composite, 0.01), arm);
    ASSERT_EQ(driver.offset, 2u);

    const auto numbered = [](double base) {
        std::vector<double> values;
        for (int i = 0; i < 9; ++i) values.push_back(base + i);
        return values;
    };
    orvane::State state(0.0, numbered(0.0), numbered(10.0), numbered(20.0));
    driver.slice_state_offset(state);
    EXPECT_EQ(state.position, (std::vector<double>{2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(state.velocity, (std::vector<double>{12, 13, 14, 15, 16, 17}));
    EXPECT_EQ(state.acceleration, (std::vector<double>{22, 23, 24, 25, 26, 27}));

    // Already the robot's size: untouched.
    driver.slice_state_offset(state);
    EXPECT_EQ(state.position, (std::vector<double>{2, 3, 4, 5, 6, 7}));

    // Too short to hold the robot's joints at its offset: untouched.
    orvane::State short_state(0.0, {1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 4, 5, 6, 7});
    driver.slice_state_offset(short_state);
    EXPECT_EQ(short_state.position.size(), 7u);
}

TEST(DriverSpeed, IdleSpeedAndPause) {
    auto arm = orvane::robots::fanuc_lrmate200id();
    LoopDriver driver(std::make_shared<orvane::Planner>(arm, 0.01), arm);

    driver.set_speed(2.0);
    EXPECT_DOUBLE_EQ(driver.get_speed(), 1.0);
    driver.reset_speed();
    EXPECT_DOUBLE_EQ(driver.get_speed(), 1.0);

    driver.set_speed(0.5);
    EXPECT_FALSE(driver.is_paused());
    EXPECT_TRUE(driver.pause());  // no motion: paused at once
    EXPECT_DOUBLE_EQ(driver.get_speed(), 0.0);
    EXPECT_TRUE(driver.is_paused());
    EXPECT_TRUE(driver.pause());  // already paused
    driver.reset_speed();
    EXPECT_DOUBLE_EQ(driver.get_speed(), 0.5);

    // Non-finite speeds change nothing, the remembered speed included.
    driver.set_speed(std::numeric_limits<double>::quiet_NaN());
    driver.set_speed(std::numeric_limits<double>::infinity(), 1.0);
    driver.set_speed(-std::numeric_limits<double>::infinity());
    EXPECT_DOUBLE_EQ(driver.get_speed(), 0.5);
    driver.set_speed(0.0);
    driver.reset_speed();
    driver.set_speed(0.5);
    driver.set_speed(std::numeric_limits<double>::quiet_NaN());
    driver.reset_speed();
    EXPECT_DOUBLE_EQ(driver.get_speed(), 0.5);

    // Without a motion a ramp takes effect at once.
    driver.set_speed(0.2, 1.0);
    EXPECT_DOUBLE_EQ(driver.get_speed(), 0.2);
    EXPECT_FALSE(driver.time_scaler.is_moving_scale_user);

    // Any speed below 2^-52 counts as paused.
    driver.set_speed(0x1p-53);
    EXPECT_TRUE(driver.is_paused());
    driver.set_speed(0x1p-51);
    EXPECT_FALSE(driver.is_paused());
}

TEST(DriverSpeed, TcpVelocityConstraint) {
    auto arm = orvane::robots::fanuc_lrmate200id();
    LoopDriver driver(std::make_shared<orvane::Planner>(arm, 0.01), arm);
    driver.set_tcp_velocity_constraint(0.25);
    const auto& engaged = driver.time_scaler.get_tcp_constraint();
    ASSERT_TRUE(engaged.has_value());
    EXPECT_EQ(engaged->arm, arm);
    EXPECT_DOUBLE_EQ(engaged->max_tcp_velocity, 0.25);
    driver.set_tcp_velocity_constraint(std::nullopt);
    EXPECT_FALSE(driver.time_scaler.get_tcp_constraint().has_value());

    LogCapture log;
    auto axis = rail("rail");
    LoopDriver on_rail(std::make_shared<orvane::Planner>(axis, 0.01), axis);
    on_rail.set_tcp_velocity_constraint(0.25);
    EXPECT_FALSE(on_rail.time_scaler.get_tcp_constraint().has_value());

    // An arm that is part of a composite robot plays the composite's joint
    // vectors, which its model cannot evaluate.
    auto part = orvane::robots::fanuc_lrmate200id();
    auto composite = std::make_shared<orvane::CompositeRobot>("cell", std::vector<std::shared_ptr<orvane::Robot>>{axis, part});
    LoopDriver on_composite(std::make_shared<orvane::Planner>(composite, 0.01), part);
    on_composite.set_tcp_velocity_constraint(0.25);
    EXPECT_FALSE(on_composite.time_scaler.get_tcp_constraint().has_value());

    const std::string text = log.text();
    EXPECT_NE(text.find("[orvane.driver] A TCP velocity constraint needs a robot arm; robot 'rail'"), std::string::npos)
        << text;
    EXPECT_NE(text.find("is part of another robot"), std::string::npos) << text;
}

TEST(DriverWrappers, EnableAndDisableRunTheVirtualOperations) {
    struct Counting : LoopDriver {
        using LoopDriver::LoopDriver;
        Result enable() override {
            ++enables;
            enabled_on = std::this_thread::get_id();
            return Result::ErrorControllerEnableMotors;
        }
        Result disable() override {
            ++disables;
            return Result::Success;
        }
        int enables{0};
        int disables{0};
        std::thread::id enabled_on;
    };
    auto arm = orvane::robots::fanuc_lrmate200id();
    Counting driver(std::make_shared<orvane::Planner>(arm, 0.01), arm);
    auto enabled = driver.enable_async();
    EXPECT_EQ(enabled.get(), Result::ErrorControllerEnableMotors);
    EXPECT_EQ(driver.enables, 1);
    EXPECT_NE(driver.enabled_on, std::this_thread::get_id());  // launched, never deferred
    EXPECT_EQ(driver.disable_async().get(), Result::Success);
    EXPECT_EQ(driver.disables, 1);

    // The base versions report success without a controller.
    LoopDriver plain(std::make_shared<orvane::Planner>(arm, 0.01), arm);
    EXPECT_EQ(plain.enable_async().get(), Result::Success);
    EXPECT_EQ(plain.disable_async().get(), Result::Success);
    EXPECT_FALSE(plain.reconnect());
    EXPECT_FALSE(plain.disconnect());
}

}  // namespace
