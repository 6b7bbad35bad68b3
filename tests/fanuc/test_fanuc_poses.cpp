// Poses in the controller's terms used as goals: the controller's world frame
// beside the planner's base frame for both arm models, and a reported pose
// (any user frame and tool) reached again, checked through the simulator's own
// forward kinematics.
#include "fanuc/fanuc_fixture.hpp"
#include "support/log_capture.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "orvane/drivers/fanuc/fanuc_world_frame.hpp"

namespace fanuc_test {
namespace {

using orvane::drivers::CartesianPose;

constexpr double degree = std::numbers::pi / 180.0;

double rotation_between(const orvane::Frame& a, const orvane::Frame& b) {
    const auto r = (a.inverse() * b).rotation();
    return std::acos(std::clamp((r[0][0] + r[1][1] + r[2][2] - 1.0) / 2.0, -1.0, 1.0));
}

double distance_between(const orvane::Frame& a, const orvane::Frame& b) { return a.translational_distance(b); }

TEST(WorldFrame, LiesOnTheJ1AxisAtTheHeightOfJ2ForBothArms) {
    struct Case {
        std::shared_ptr<orvane::RobotArm> arm;
        double height;
    };
    for (const auto& [arm, height] : {Case{orvane::robots::fanuc_lrmate200id(), 0.330},
                                      Case{orvane::robots::fanuc_crx10ial(), 0.245}}) {
        const auto world = orvane::drivers::world_frame_in_base(*arm);
        EXPECT_LT(distance_between(world, orvane::Frame::from_translation(0, 0, height)), 1e-12) << arm->name;
        EXPECT_LT(rotation_between(world, orvane::Frame::Identity()), 1e-12) << arm->name;

        // The two conversions undo each other, whatever the pose.
        const auto pose = orvane::Frame::from_euler(0.4, -0.2, 0.3, 0.5, -0.4, 2.0);
        const auto there_and_back =
            orvane::drivers::base_to_world(*arm, orvane::drivers::world_to_base(*arm, pose));
        EXPECT_LT(distance_between(there_and_back, pose), 1e-12) << arm->name;
        EXPECT_LT(rotation_between(there_and_back, pose), 1e-12) << arm->name;
        EXPECT_NEAR(orvane::drivers::world_to_base(*arm, pose).translation()[2], 0.3 + height, 1e-12);
    }
}

TEST(WorldFrame, FollowsAnArmPlacedOnAPedestal) {
    // The arm's base raised and turned: the world frame goes with it.
    const auto preset = orvane::robots::fanuc_lrmate200id();
    const auto base = orvane::Frame::from_euler(1.0, 2.0, 0.5, 0.0, 0.0, std::numbers::pi / 2);
    const orvane::RobotArm placed("placed", preset->joints(), preset->tool(), base);
    const auto world = orvane::drivers::world_frame_in_base(placed);
    EXPECT_LT(distance_between(world, base * orvane::Frame::from_translation(0, 0, 0.330)), 1e-12);
    EXPECT_LT(rotation_between(world, base), 1e-12);
}

TEST(WorldFrame, IsRefusedForAnArmWithoutTwoRevoluteJoints) {
    orvane::Joint slide;
    slide.name = "slide";
    slide.type = orvane::Joint::Type::Prismatic;
    slide.limits = {0.0, 1.0, 1.0, 1.0};
    const orvane::RobotArm rail("rail", {slide});
    EXPECT_THROW(orvane::drivers::world_frame_in_base(rail), std::invalid_argument);
}

// The same checks for both arm models: the simulator computes poses with its
// own model of each arm.
class PoseGoalTest : public FanucTest, public ::testing::WithParamInterface<std::string> {
protected:
    orvane::sim::SimulatorConfig simulator_config() const override {
        auto config = FanucTest::simulator_config();
        config.arm_model = GetParam();
        config.joint_limits =
            GetParam() == "crx10ial" ? orvane::sim::crx10ial_limits() : orvane::sim::lrmate200id_limits();
        return config;
    }

    void SetUp() override {
        FanucTest::SetUp();
        if (GetParam() == "crx10ial") {
            driver.reset();
            arm = orvane::robots::fanuc_crx10ial();
            planner = std::make_shared<orvane::Planner>(arm, 0.024);
            driver = make_driver();
        }
    }

    CartesianPose pose_now() {
        const auto pose = driver->get_current_cartesian_position();
        if (!pose) ADD_FAILURE() << "the controller did not report its pose";
        return pose.value_or(CartesianPose{});
    }

    static void expect_same_pose(const CartesianPose& reached, const CartesianPose& goal) {
        EXPECT_EQ(reached.user_frame, goal.user_frame);
        EXPECT_EQ(reached.user_tool, goal.user_tool);
        // The controller reports 0.001 mm and 0.001 degrees.
        EXPECT_LT(distance_between(reached.pose, goal.pose), 0.05e-3);
        EXPECT_LT(rotation_between(reached.pose, goal.pose), 0.01 * degree);
    }
};

TEST_P(PoseGoalTest, TheReportedWorldPoseIsThePlannersTcpInTheWorldFrame) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const std::vector<double> goal{0.4, 0.3, -0.2, 0.5, -0.7, 0.9};
    ASSERT_EQ(driver->move_to(goal, false), Result::Success);
    ASSERT_TRUE(driver->set_active_frame_and_tool(0, 0));
    const auto reported = pose_now();
    const auto tcp = arm->calculate_tcp(driver->get_current_joint_position());
    EXPECT_LT(distance_between(reported.pose, orvane::drivers::base_to_world(*arm, tcp)), 0.05e-3);
    EXPECT_LT(rotation_between(reported.pose, orvane::drivers::base_to_world(*arm, tcp)), 0.01 * degree);
    // And back: the reported pose is where the planner has the TCP.
    const auto waypoint = driver->to_planner_waypoint(reported);
    ASSERT_TRUE(waypoint.has_value());
    EXPECT_LT(distance_between(waypoint->frame, tcp), 0.05e-3);
}

TEST_P(PoseGoalTest, APoseReadInAUserFrameWithAToolIsReachedAgain) {
    ASSERT_TRUE(driver->set_user_frame(2, orvane::Frame::from_euler(0.2, -0.1, 0.05, 0.0, 0.1, 40.0 * degree)));
    ASSERT_TRUE(driver->set_user_tool(3, orvane::Frame::from_euler(0.0, 0.02, 0.12, 0.0, 0.3, 0.0)));
    ASSERT_EQ(driver->enable(), Result::Success);
    ASSERT_TRUE(driver->set_active_frame_and_tool(2, 3));
    const std::vector<double> here{0.3, 0.2, -0.1, 0.4, -0.6, 0.5};
    ASSERT_EQ(driver->move_to(here, false), Result::Success);
    const CartesianPose goal = pose_now();
    ASSERT_EQ(goal.user_frame, 2);
    ASSERT_EQ(goal.user_tool, 3);

    ASSERT_EQ(driver->move_to(std::vector<double>{0.0, 0.0, 0.1, 0.0, -0.4, 0.0}, false), Result::Success);
    EXPECT_GT(distance_between(pose_now().pose, goal.pose), 0.05);
    ASSERT_EQ(driver->move_to(goal, false), Result::Success) << driver->get_last_error();
    expect_same_pose(pose_now(), goal);

    // From a position register, asynchronously.
    ASSERT_TRUE(driver->set_position_register(9, goal));
    ASSERT_EQ(driver->move_to(std::vector<double>{-0.2, 0.1, 0.0, 0.0, -0.5, 0.3}, false), Result::Success);
    const auto stored = driver->get_position_register(9);
    ASSERT_TRUE(stored.has_value() && stored->cartesian.has_value());
    auto motion = driver->move_to_async(*stored->cartesian, false);
    ASSERT_TRUE(is_ready(motion));
    ASSERT_EQ(motion.get(), Result::Success) << driver->get_last_error();
    expect_same_pose(pose_now(), goal);
}

TEST_P(PoseGoalTest, APoseWhoseFrameCannotBeReadMovesNothing) {
    ASSERT_EQ(driver->enable(), Result::Success);
    CartesianPose goal = pose_now();
    goal.user_frame = 12;
    sim->clear_records();
    orvane_test::LogCapture log;
    EXPECT_EQ(driver->move_to(goal, false), Result::Error);
    EXPECT_NE(driver->get_last_error().find("user frame 12"), std::string::npos) << driver->get_last_error();
    EXPECT_EQ(log.count(orvane::log::Level::Warn, "frame 12"), 1u);  // said once, where it was found
    goal.user_frame = 0;
    goal.user_tool = -1;
    auto motion = driver->move_to_async(goal, false);
    ASSERT_TRUE(is_ready(motion));
    EXPECT_EQ(motion.get(), Result::Error);
    EXPECT_NE(driver->get_last_error().find("tool -1"), std::string::npos) << driver->get_last_error();
    EXPECT_TRUE(sent_motions(*sim).empty());
}

INSTANTIATE_TEST_SUITE_P(BothArms, PoseGoalTest, ::testing::Values("lrmate200id", "crx10ial"));

}  // namespace
}  // namespace fanuc_test
