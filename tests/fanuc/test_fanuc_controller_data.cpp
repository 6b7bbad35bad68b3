// The rest of the controller against the simulator: registers, analog and
// group I/O, flags, the Cartesian pose, frames and tools, position registers
// and alarms; what the controller holds is checked through the simulator.
#include "fanuc/fanuc_fixture.hpp"
#include "support/log_capture.hpp"

#include <cmath>
#include <numbers>

namespace fanuc_test {
namespace {

using orvane::drivers::CartesianPose;
using ControllerDataTest = FanucTest;

// The LR Mate 200iD's world frame lies on the J1 axis at the height of J2,
// 330 mm above the base the planner measures from.
constexpr double world_height = 0.330;

// The angle of the rotation between two frames, in radians.
double rotation_between(const orvane::Frame& a, const orvane::Frame& b) {
    const auto r = (a.inverse() * b).rotation();
    const double trace = r[0][0] + r[1][1] + r[2][2];
    return std::acos(std::clamp((trace - 1.0) / 2.0, -1.0, 1.0));
}

double distance_between(const orvane::Frame& a, const orvane::Frame& b) {
    const auto& p = a.translation();
    const auto& q = b.translation();
    return std::hypot(p[0] - q[0], p[1] - q[1], p[2] - q[2]);
}

constexpr double degree = std::numbers::pi / 180.0;

TEST_F(ControllerDataTest, RegistersFlagsAndPortsRoundTripThroughTheController) {
    driver->create_io_alias("count", 5);
    driver->create_io_alias("ratio", 6);
    driver->create_io_alias("flow", 3, 4);  // AI[3] in, AO[4] out
    driver->create_io_alias("lamp", 2);
    driver->create_io_alias("ready", 7);

    ASSERT_TRUE(driver->set_int_register("count", -123456));
    EXPECT_EQ(driver->get_int_register("count"), -123456);
    ASSERT_TRUE(driver->set_double_register("ratio", 0.125));
    EXPECT_EQ(driver->get_double_register("ratio"), 0.125);  // exact in single precision too

    ASSERT_TRUE(driver->set_analog_output("flow", 4.5));
    EXPECT_DOUBLE_EQ(sim->port("AO", 4), 4.5);
    sim->set_port("AI", 3, 2.25);
    EXPECT_EQ(driver->get_analog_input("flow"), 2.25);

    ASSERT_TRUE(driver->set_group_output("lamp", 513));
    EXPECT_EQ(sim->port("GO", 2), 513.0);
    sim->set_port("GI", 2, 65535);
    EXPECT_EQ(driver->get_group_input("lamp"), 65535);

    ASSERT_TRUE(driver->set_flag("ready", 1));
    EXPECT_EQ(sim->port("FLAG", 7), 1.0);
    EXPECT_EQ(driver->get_flag("ready"), 1);
    sim->set_port("FLAG", 7, 0);
    EXPECT_EQ(driver->get_flag("ready"), 0);
}

TEST_F(ControllerDataTest, BadValuesAreRefusedBeforeAnythingIsSent) {
    driver->create_io_alias("lamp", 2);
    driver->create_io_alias("ratio", 6);
    sim->clear_records();
    EXPECT_FALSE(driver->set_group_output("lamp", 65536));
    EXPECT_FALSE(driver->set_double_register("ratio", std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(driver->set_active_frame_and_tool(10, 1));
    EXPECT_FALSE(driver->set_position_register(1, std::vector<double>{0.0, 0.0}));
    EXPECT_FALSE(driver->read_errors(6).has_value());
    EXPECT_TRUE(sim->received_lines().empty());
}

TEST_F(ControllerDataTest, ThePoseAfterAJointMoveIsTheArmsForwardKinematicsInTheWorldFrame) {
    const std::vector<double> goal{0.4, 0.3, -0.2, 0.5, -0.7, 0.9};
    ASSERT_EQ(driver->enable(), Result::Success);
    ASSERT_EQ(driver->move_to(goal, false), Result::Success);
    const auto pose = driver->get_current_cartesian_position();
    ASSERT_TRUE(pose.has_value());
    // In the frame and tool that are active: the world frame and a tool with no offset.
    const auto active = driver->get_active_frame_and_tool();
    ASSERT_TRUE(active.has_value());
    EXPECT_EQ(pose->user_frame, active->user_frame);
    EXPECT_EQ(pose->user_tool, active->user_tool);
    ASSERT_EQ(active->user_frame, 0);
    const auto expected = orvane::Frame::from_translation(0, 0, -world_height) * arm->calculate_tcp(goal);
    EXPECT_LT(distance_between(pose->pose, expected), 0.1e-3);
    EXPECT_LT(rotation_between(pose->pose, expected), 0.01 * degree);

    // At rest, the TCP does not move.
    const auto speed = driver->get_tcp_speed();
    ASSERT_TRUE(speed.has_value());
    EXPECT_LT(*speed, 1e-3);
}

TEST_F(ControllerDataTest, AUserFrameAndToolMoveTheReportedPose) {
    const auto frame = orvane::Frame::from_euler(0.1, -0.05, 0.2, 0.0, 0.0, 30.0 * degree);
    const auto tool = orvane::Frame::from_translation(0.0, 0.0, 0.1);
    ASSERT_TRUE(driver->set_user_frame(1, frame));
    ASSERT_TRUE(driver->set_user_tool(2, tool));
    const auto frame_back = driver->get_user_frame(1);
    ASSERT_TRUE(frame_back.has_value());
    EXPECT_LT(distance_between(*frame_back, frame), 1e-6);
    EXPECT_LT(rotation_between(*frame_back, frame), 1e-5);

    const auto in_world = driver->get_current_cartesian_position();
    ASSERT_TRUE(in_world.has_value());
    ASSERT_TRUE(driver->set_active_frame_and_tool(1, 2));
    const auto active = driver->get_active_frame_and_tool();
    ASSERT_TRUE(active.has_value());
    EXPECT_EQ(active->user_frame, 1);
    EXPECT_EQ(active->user_tool, 2);
    const auto in_frame = driver->get_current_cartesian_position();
    ASSERT_TRUE(in_frame.has_value());
    EXPECT_EQ(in_frame->user_frame, 1);
    EXPECT_EQ(in_frame->user_tool, 2);
    const auto expected = frame.inverse() * in_world->pose * tool;
    EXPECT_LT(distance_between(in_frame->pose, expected), 0.1e-3);
    EXPECT_LT(rotation_between(in_frame->pose, expected), 0.01 * degree);
}

TEST_F(ControllerDataTest, PositionRegistersHoldJointAndCartesianPositions) {
    const std::vector<double> joints{0.1, 0.2, -0.3, 0.4, -0.5, 0.6};
    ASSERT_TRUE(driver->set_position_register(3, joints));
    const auto joint_register = driver->get_position_register(3);
    ASSERT_TRUE(joint_register.has_value() && joint_register->joint_position.has_value());
    ASSERT_EQ(joint_register->joint_position->size(), 6u);
    for (std::size_t j = 0; j < 6; ++j) {
        // J3 independent of J2 both ways: a convention slip would be 0.2 rad off.
        EXPECT_NEAR((*joint_register->joint_position)[j], joints[j], 1e-5) << "J" << j + 1;
    }

    CartesianPose pose;
    pose.pose = orvane::Frame::from_euler(0.45, -0.1, 0.2, std::numbers::pi, 0.0, 0.5);
    ASSERT_TRUE(driver->set_position_register(4, pose));
    const auto cartesian_register = driver->get_position_register(4);
    ASSERT_TRUE(cartesian_register.has_value() && cartesian_register->cartesian.has_value());
    EXPECT_LT(distance_between(cartesian_register->cartesian->pose, pose.pose), 1e-6);
    EXPECT_LT(rotation_between(cartesian_register->cartesian->pose, pose.pose), 1e-5);
}

TEST_F(ControllerDataTest, AlarmsAreReadNewestFirst) {
    const auto none = driver->read_errors(1);
    ASSERT_TRUE(none.has_value());
    sim->push_system_fault();
    ASSERT_TRUE(eventually([&] {
        const auto alarms = driver->read_errors(5);
        return alarms.has_value() && !alarms->empty() && alarms->front() != (none->empty() ? "" : none->front());
    }));
}

TEST_F(ControllerDataTest, ReadsDuringARunAnswerAndTheRunEndsOnTime) {
    driver->create_io_alias("count", 5);
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    sim->clear_records();
    auto motion = driver->run_async(cosine_trajectory(start, offset_by(start, 0, 0.4), 1.5));
    int reads = 0;
    while (motion.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        ASSERT_TRUE(driver->set_int_register("count", reads));
        ASSERT_EQ(driver->get_int_register("count"), reads);
        ASSERT_TRUE(driver->get_current_cartesian_position().has_value());
        ++reads;
    }
    EXPECT_EQ(motion.get(), Result::Success);
    EXPECT_GT(reads, 3);
    // No gap in the stream: every instruction came within a few intervals of the one before.
    std::vector<std::chrono::steady_clock::time_point> arrivals;
    for (const auto& line : sim->received_lines()) {
        if (line.line.find("FRC_JointMotionJRep") != std::string::npos) arrivals.push_back(line.at);
    }
    ASSERT_GT(arrivals.size(), 10u);
    for (std::size_t k = 1; k < arrivals.size(); ++k) {
        EXPECT_LT(arrivals[k] - arrivals[k - 1], std::chrono::milliseconds(250)) << "instruction " << k;
    }
}

TEST_F(OlderFirmwareTest, PacketsTheFirmwareDoesNotKnowGiveTheDefaultsWithOneWarning) {
    driver->create_io_alias("count", 5);
    orvane_test::LogCapture log;
    for (int round = 0; round < 3; ++round) {
        EXPECT_FALSE(driver->get_int_register("count").has_value());
        EXPECT_FALSE(driver->set_int_register("count", 1));
    }
    EXPECT_EQ(log.count(orvane::log::Level::Warn, "FRC_ReadRegister"), 1u);
    EXPECT_EQ(log.count(orvane::log::Level::Warn, "FRC_WriteRegister"), 1u);
    // The packets older firmware knows still work, and so does motion.
    EXPECT_TRUE(driver->get_current_cartesian_position().has_value());
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    EXPECT_EQ(driver->run(cosine_trajectory(start, offset_by(start, 0, 0.05), 0.3)), Result::Success);
}

}  // namespace
}  // namespace fanuc_test
