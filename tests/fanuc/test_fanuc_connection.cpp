// Connecting, enabling and disabling, the controller status and joint reads.
#include "fanuc/fanuc_fixture.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <future>
#include <limits>
#include <stdexcept>

#include <gmock/gmock.h>

#include "support/fake_control_port.hpp"
#include "support/log_capture.hpp"
#include "support/silent_servers.hpp"

namespace fanuc_test {
namespace {

std::shared_ptr<orvane::RobotArm> arm_with_joints(std::size_t count) {
    std::vector<orvane::Joint> joints(count);
    for (std::size_t j = 0; j < count; ++j) {
        joints[j].name = "j" + std::to_string(j + 1);
        joints[j].limits = orvane::JointLimits{-3.0, 3.0, 2.0, 4.0};
    }
    return std::make_shared<orvane::RobotArm>("arm", std::move(joints));
}

using ConnectionTest = FanucTest;

TEST_F(ConnectionTest, ConstructionRefusesUnreachableControllersAndArmsRmiCannotDrive) {
    // Nothing listens on this loopback address (simulators take random ones).
    const std::string nobody = "127.254.253.252";
    auto lonely = std::make_shared<orvane::Planner>(orvane::robots::fanuc_lrmate200id(), 0.024);
    if (sim->config().address != nobody) {
        orvane_test::LogCapture log;
        // A refusal is final: it ends the construction long before a minute's time-out.
        auto constructed = std::async(std::launch::async, [&]() -> std::string {
            try {
                FanucDriver unreachable(lonely, nobody, false, true, {.connect_timeout = 60.0});
                return "constructed without a controller";
            } catch (const orvane::OrvaneError& error) {
                return error.type + ": " + error.message;
            }
        });
        ASSERT_TRUE(is_ready(constructed));
        EXPECT_EQ(constructed.get(), "driver: Could not connect to FANUC RMI server at " + nobody +
                                         " port 16001: the connection was refused (nothing listens on that port); "
                                         "check the address, the port and that RMI runs on the controller.");
        // Said once, by the exception.
        EXPECT_EQ(log.count(orvane::log::Level::Error, "Could not connect"), 0u);
    }

    for (const std::size_t joints : {2u, 10u}) {
        auto odd = arm_with_joints(joints);
        auto odd_planner = std::make_shared<orvane::Planner>(odd, 0.024);
        EXPECT_THROW(FanucDriver(odd_planner, sim->config().address, false, false), orvane::OrvaneError)
            << joints << " joints";
    }
    auto three = arm_with_joints(3);
    EXPECT_NO_THROW(FanucDriver(std::make_shared<orvane::Planner>(three, 0.024), sim->config().address, false, false));
}

TEST_F(ConnectionTest, ConnectOptionsNoControllerCanBeReachedWithAreRefusedBeforeConnecting) {
    const auto refusal = [&](const std::string& host, FanucDriver::ConnectOptions options) -> std::string {
        try {
            FanucDriver refused(planner, arm, host, false, false, options);
            return "accepted";
        } catch (const std::invalid_argument& error) {
            return error.what();
        }
    };
    const auto& address = sim->config().address;
    EXPECT_EQ(refusal(address, {.port = 0}), "The RMI port must lie in 1 to 65535; 0 was given.");
    EXPECT_EQ(refusal(address, {.port = 65536}), "The RMI port must lie in 1 to 65535; 65536 was given.");
    for (const double timeout : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(refusal(address, {.connect_timeout = timeout}),
                  "The connect timeout must be a number of seconds above 0 and at most 86400.")
            << timeout;
    }
    EXPECT_EQ(refusal(address + ":16009", {}), "The address '" + address +
                                                   ":16009' includes a port: give the host alone and the port as its "
                                                   "own option (port=16009).");
    EXPECT_THAT(refusal("[::1]:16001", {}), ::testing::StartsWith("The address '[::1]:16001' includes a port"));
    EXPECT_EQ(refusal("", {}), "The controller's address is empty.");
    // An IPv6 address is colons throughout, not a port.
    EXPECT_EQ(refusal("::1", {}), "accepted");

    FanucDriver chosen(planner, arm, address, false, false, {.port = 16001, .connect_timeout = 7.5});
    EXPECT_EQ(chosen.port, 16001);
    EXPECT_DOUBLE_EQ(chosen.connect_timeout, 7.5);
    EXPECT_DOUBLE_EQ(driver->connect_timeout, 5.0);  // the default
}

TEST_F(ConnectionTest, AFailedReconnectSaysWhyInLastError) {
    ASSERT_TRUE(driver->disconnect());
    sim->stop();  // the control port refuses from now on
    EXPECT_FALSE(driver->reconnect());
    EXPECT_EQ(driver->get_last_error(), "Could not connect to FANUC RMI server at " + sim->config().address +
                                            " port 16001: the connection was refused (nothing listens on that port); "
                                            "check the address, the port and that RMI runs on the controller.");
    driver->connect_timeout = 0.0;
    EXPECT_FALSE(driver->reconnect());
    EXPECT_EQ(driver->get_last_error(), "The connect timeout must be a number of seconds above 0 and at most 86400.");
}

TEST_F(ConnectionTest, EnableRunsTheInitialisationOnceAndTakesTheControllersSequenceId) {
    sim->set_initialize_resets_sequence_id(false);
    sim->set_next_sequence_id(57);
    EXPECT_EQ(driver->get_controller_status(), ControllerStatus::EnableRequired);

    sim->clear_records();
    ASSERT_EQ(driver->enable(), Result::Success);
    EXPECT_EQ(sent_commands(*sim),
              (std::vector<std::string>{"FRC_Reset", "FRC_Abort", "FRC_Initialize", "FRC_GetStatus"}));
    EXPECT_EQ(driver->get_controller_status(), ControllerStatus::ReadyToMove);

    // Enabled already: nothing is sent.
    sim->clear_records();
    EXPECT_EQ(driver->enable(), Result::Success);
    EXPECT_TRUE(sent_commands(*sim).empty());

    const auto start = driver->get_current_joint_position();
    ASSERT_EQ(driver->run(cosine_trajectory(start, offset_by(start, 0, 0.05), 0.3)), Result::Success);
    expect_consecutive_ids(sent_motions(*sim), 57);
}

TEST_F(ConnectionTest, EnableMapsTheControllersRefusals) {
    sim->set_servo_ready(false);
    EXPECT_EQ(driver->enable(), Result::ErrorControllerEnableMotors);
    sim->set_servo_ready(true);

    sim->set_teach_pendant(true);
    EXPECT_EQ(driver->get_controller_status(), ControllerStatus::ManualInterventionRequired);
    EXPECT_EQ(driver->enable(), Result::ErrorControllerNotInAutoMode);
    sim->set_teach_pendant(false);

    sim->set_single_step(true);
    EXPECT_EQ(driver->enable(), Result::ErrorControllerNotInAutoMode);
    sim->set_single_step(false);

    // A refused reset ends the sequence there.
    sim->set_estop(true);
    sim->clear_records();
    EXPECT_EQ(driver->enable(), Result::ErrorControllerAlarmActive);
    EXPECT_EQ(sent_commands(*sim), std::vector<std::string>{"FRC_Reset"});
    sim->set_estop(false);

    // None of the refusals left the driver enabled; now it can be.
    const auto start = driver->get_current_joint_position();
    EXPECT_EQ(driver->run(cosine_trajectory(start, start, 0.1)), Result::ErrorControllerEnableMotors);
    EXPECT_EQ(driver->enable(), Result::Success);
}

TEST_F(ConnectionTest, DisableAbortsAndRequiresEnableAgain) {
    ASSERT_EQ(driver->enable(), Result::Success);
    sim->clear_records();
    EXPECT_EQ(driver->disable(), Result::Success);
    EXPECT_EQ(sent_commands(*sim), std::vector<std::string>{"FRC_Abort"});
    const auto start = driver->get_current_joint_position();
    EXPECT_EQ(driver->run(cosine_trajectory(start, start, 0.1)), Result::ErrorControllerEnableMotors);
    EXPECT_EQ(driver->enable(), Result::Success);
}

class InitialPositionTest : public FanucTest {
protected:
    orvane::sim::SimulatorConfig simulator_config() const override {
        auto config = FanucTest::simulator_config();
        // Controller convention: J3 is measured from J2.
        config.initial_position_deg = {0.0, 0.5 * degrees_per_radian, 0.25 * degrees_per_radian, 0.0, -0.1 * degrees_per_radian,
                                       0.0, 0.0, 0.0, 0.0};
        return config;
    }
};

TEST_F(InitialPositionTest, JointReadsAddJ2ToJ3) {
    const auto position = driver->get_current_joint_position();
    ASSERT_EQ(position.size(), 6u);
    EXPECT_TRUE(within(position, {0.0, 0.5, 0.75, 0.0, -0.1, 0.0}, 1e-4));
    EXPECT_TRUE(within(driver->get_current_state().position, position, 1e-9));
}

TEST_F(InitialPositionTest, InstructionsSubtractJ2FromJ3) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    const auto goal = offset_by(offset_by(start, 1, 0.1), 2, -0.05);
    ASSERT_EQ(driver->run(cosine_trajectory(start, goal, 0.5)), Result::Success);
    const auto last = sent_motions(*sim).back();
    EXPECT_NEAR(last.joints_deg[1], goal[1] * degrees_per_radian, 1e-3);
    EXPECT_NEAR(last.joints_deg[2], (goal[2] - goal[1]) * degrees_per_radian, 1e-3);
    EXPECT_TRUE(within(driver->get_current_joint_position(), goal, 1e-4));
    EXPECT_TRUE(sim->slow_downs().empty());
}

TEST_F(ConnectionTest, DisconnectedDriverRefusesAndRecovers) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    EXPECT_TRUE(driver->disconnect());
    EXPECT_FALSE(driver->is_connected());
    EXPECT_EQ(driver->get_controller_status(), ControllerStatus::Disconnected);
    EXPECT_TRUE(driver->get_current_joint_position().empty());
    EXPECT_EQ(driver->run(cosine_trajectory(start, start, 0.1)), Result::ErrorControllerConnection);
    EXPECT_EQ(driver->enable(), Result::ErrorControllerConnection);
    EXPECT_EQ(driver->stop(false), Result::ErrorControllerConnection);

    ASSERT_TRUE(driver->reconnect());
    sim->clear_records();
    ASSERT_EQ(driver->enable(), Result::Success);
    EXPECT_EQ(count_sent(*sim, "FRC_Initialize"), 1u);
    EXPECT_EQ(driver->run(cosine_trajectory(start, offset_by(start, 5, 0.05), 0.2)), Result::Success);
}

TEST_F(ConnectionTest, ALinkLostWhileIdleIsInitialisedAgainOnEnable) {
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto connections = sim->connection_count();
    sim->drop_connections();
    ASSERT_TRUE(wait_for_new_link(connections));

    // The new link has no RMI motion: enable must initialise it again
    // rather than report the old link's state.
    sim->clear_records();
    ASSERT_EQ(driver->enable(), Result::Success);
    EXPECT_EQ(count_sent(*sim, "FRC_Initialize"), 1u);
    const auto start = driver->get_current_joint_position();
    EXPECT_EQ(driver->run(cosine_trajectory(start, offset_by(start, 0, -0.05), 0.2)), Result::Success);
}

TEST_F(ConnectionTest, AsyncEnableAndDisableDeliverTheirResults) {
    auto enabled = driver->enable_async();
    ASSERT_TRUE(is_ready(enabled));
    EXPECT_EQ(enabled.get(), Result::Success);
    auto disabled = driver->disable_async();
    ASSERT_TRUE(is_ready(disabled));
    EXPECT_EQ(disabled.get(), Result::Success);
    EXPECT_EQ(count_sent(*sim, "FRC_Abort"), 2u);  // one in enable, one in disable
}

TEST_F(ConnectionTest, AnImplausibleNextSequenceIdIsRefusedOnEnable) {
    sim->set_initialize_resets_sequence_id(false);
    const auto start = driver->get_current_joint_position();
    const auto motion = cosine_trajectory(start, offset_by(start, 0, 0.05), 0.2);
    for (const int next : {0, -7, std::numeric_limits<int>::max(), std::numeric_limits<int>::max() - 1000}) {
        sim->set_next_sequence_id(next);
        sim->clear_records();
        EXPECT_EQ(driver->enable(), Result::Error) << next;
        EXPECT_EQ(driver->run(motion), Result::ErrorControllerEnableMotors) << next;
        EXPECT_TRUE(sent_instructions(*sim).empty()) << next;
    }
    sim->set_next_sequence_id(1000);
    ASSERT_EQ(driver->enable(), Result::Success);
    ASSERT_EQ(driver->run(motion), Result::Success);
    expect_consecutive_ids(sent_motions(*sim), 1000);
}

TEST_F(ConnectionTest, AJointReadingNoArmCanHaveIsAnErrorNotAPosition) {
    for (const std::string j1 : {"1.7e308", "-4000.0"}) {
        const std::string answer = R"({"Command" : "FRC_ReadJointAngles", "ErrorID" : 0, "TimeTag" : 12, )"
                                   R"("JointAngle" : {"J1" : )" + j1 + R"(, "J2" : 0.0, "J3" : 0.0, "J4" : 0.0, )"
                                   R"("J5" : 0.0, "J6" : 0.0, "J7" : 0.0, "J8" : 0.0, "J9" : 0.0}, "Group" : 1})";
        const auto message = answered_with("FRC_ReadJointAngles", answer, [&]() -> std::string {
            try {
                driver->get_current_joint_position();
                return "";
            } catch (const orvane::OrvaneError& error) {
                return error.type + ": " + error.message;
            }
        });
        EXPECT_THAT(message, ::testing::StartsWith("driver.fanuc: The controller reported J1 at ")) << j1;
    }
    EXPECT_EQ(driver->get_current_joint_position().size(), 6u);
}

// A simulator whose own control port is elsewhere, behind a control port of
// the test's own on 16001 of its address that answers the handshake.
class HandshakeTest : public ::testing::Test {
protected:
    void SetUp() override {
        orvane::sim::SimulatorConfig config;
        config.control_port = 0;
        config.abort_duration = 0.0;
        sim = orvane::sim::testing::start_on_free_loopback(config);
        control = std::make_unique<orvane_test::FakeControlPort>(sim->config().address, 16001, [this] {
            std::lock_guard lock(answer_mutex);
            return answer;
        });
        ASSERT_TRUE(control->listening());
        set_answer(R"({"Communication" : "FRC_Connect", "ErrorID" : 0, "PortNumber" : )" +
                   std::to_string(sim->data_port()) + R"(, "MajorVersion" : 9, "MinorVersion" : 0})");
    }

    void set_answer(const std::string& line) {
        std::lock_guard lock(answer_mutex);
        answer = line + "\r\n";
    }

    std::unique_ptr<orvane::sim::ControllerSimulator> sim;
    std::unique_ptr<orvane_test::FakeControlPort> control;
    std::shared_ptr<orvane::RobotArm> arm = orvane::robots::fanuc_lrmate200id();
    std::shared_ptr<orvane::Planner> planner = std::make_shared<orvane::Planner>(arm, 0.024);
    std::mutex answer_mutex;  // guards answer
    std::string answer;
};

TEST_F(HandshakeTest, EachConstructionMakesExactlyOneControlConnection) {
    for (int construction = 0; construction < 8; ++construction) {
        const auto before = control->accepted_settled();
        FanucDriver driver(planner, arm, sim->config().address, false, true);
        EXPECT_TRUE(driver.is_connected());
        EXPECT_EQ(control->accepted_settled() - before, 1u) << "construction " << construction;
    }
    EXPECT_EQ(sim->connection_count(), 8u);
}

TEST_F(HandshakeTest, AFailedHandshakeNamesItsReasonOnce) {
    set_answer(R"({"Communication" : "FRC_Connect", "ErrorID" : 7, "PortNumber" : 0, "MajorVersion" : 9, )"
               R"("MinorVersion" : 0})");
    orvane_test::LogCapture log;
    try {
        // A refused handshake may clear (another client leaving): it is tried again until the time-out.
        FanucDriver refused(planner, arm, sim->config().address, false, true, {.connect_timeout = 3.0});
        ADD_FAILURE() << "constructed although the controller refused the handshake";
    } catch (const orvane::OrvaneError& error) {
        EXPECT_EQ(error.message, "Could not connect to FANUC RMI server at " + sim->config().address +
                                     " port 16001: the controller refused FRC_Connect with error id 7; check that no "
                                     "other client is connected to it and that RMI is not in use.");
    }
    EXPECT_GE(control->accepted(), 2u);  // the monitor tried again meanwhile
    EXPECT_EQ(log.count(orvane::log::Level::Error, "refused FRC_Connect with error id 7"), 0u);  // the exception's alone
    EXPECT_EQ(sim->connection_count(), 0u);
}

TEST_F(HandshakeTest, AnotherControlPortIsAskedDirectly) {
    // The simulator's own control port is not 16001, where the stand-in listens.
    const int port = sim->control_port();
    ASSERT_NE(port, 16001);
    FanucDriver driver(planner, arm, sim->config().address, false, true, {.port = port});
    EXPECT_TRUE(driver.is_connected());
    EXPECT_EQ(driver.port, port);
    EXPECT_EQ(control->accepted_settled(), 0u);
    EXPECT_EQ(driver.enable(), Result::Success);
}

TEST(SilentControllerTest, ConstructionGivesUpAtTheConnectTimeOut) {
    orvane_test::LogCapture log;
    orvane_test::BlackHole hole;
    orvane_test::SilentServer server;
    ASSERT_GE(hole.fd, 0);
    ASSERT_GE(server.fd, 0);
    auto arm = orvane::robots::fanuc_lrmate200id();
    auto planner = std::make_shared<orvane::Planner>(arm, 0.024);
    const std::pair<std::string, std::string> cases[] = {
        {hole.address, "no answer within 1.5 s; check that the controller is switched on and reachable from this "
                       "computer."},
        {server.address, "the server accepted the connection but did not answer FRC_Connect within 1.5 s; check that "
                         "the port is the controller's RMI port and that RMI runs on the controller."},
    };
    for (const auto& [address, reason] : cases) {
        const auto start = std::chrono::steady_clock::now();
        try {
            FanucDriver silent(planner, arm, address, false, true, {.connect_timeout = 1.5});
            ADD_FAILURE() << "constructed against " << address;
        } catch (const orvane::OrvaneError& error) {
            EXPECT_EQ(error.message, "Could not connect to FANUC RMI server at " + address + " port 16001: " + reason);
        }
        EXPECT_GE(std::chrono::steady_clock::now() - start, 1500ms) << reason;
    }
    EXPECT_EQ(log.count(orvane::log::Level::Error, "Could not connect"), 0u);
}

}  // namespace
}  // namespace fanuc_test
