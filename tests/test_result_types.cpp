// The predefined outcome and status values and the robot state value type.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "orvane/drivers/result.hpp"
#include "orvane/drivers/robot_state.hpp"

using orvane::drivers::ControllerStatus;
using orvane::drivers::Result;

namespace {

struct Expected {
    const orvane::utils::ReturnCode* value;
    const char* name;
    std::int32_t code;
    const char* message;
};

// The codes and texts are an external contract (the Python module and user
// programs match on them), so they are spelled out here once more.
const std::vector<Expected>& expected_results() {
    static const std::vector<Expected> table{
        {&Result::Success, "Success", 1, "Finished successfully."},
        {&Result::Error, "Error", -1, "General error."},
        {&Result::ErrorStartPositionDeviation, "ErrorStartPositionDeviation", -100,
         "The start position of the trajectory deviates from the current robot's position."},
        {&Result::ErrorTrajectoryDidNotUpdate, "ErrorTrajectoryDidNotUpdate", -101,
         "Failed to calculate the trajectory update."},
        {&Result::ErrorReachGoalTimeout, "ErrorReachGoalTimeout", -102, "Waiting to reach goal position has timed out."},
        {&Result::ErrorCommandAlreadyInProgress, "ErrorCommandAlreadyInProgress", -103,
         "Another command is already in progress."},
        {&Result::ErrorTrajectoryAborted, "ErrorTrajectoryAborted", -104, "Trajectory was aborted by a stop command."},
        {&Result::ErrorController, "ErrorController", -200, "General error on the controller"},
        {&Result::ErrorControllerEStopActive, "ErrorControllerEStopActive", -201, "E-Stop is active on the controller."},
        {&Result::ErrorControllerSafetyViolation, "ErrorControllerSafetyViolation", -202,
         "Safety violation occured on the controller."},
        {&Result::ErrorControllerAlarmActive, "ErrorControllerAlarmActive", -203, "An alarm is active on the controller."},
        {&Result::ErrorControllerNotInAutoMode, "ErrorControllerNotInAutoMode", -204, "Controller is not in automatic mode."},
        {&Result::ErrorControllerNotInRemoteMode, "ErrorControllerNotInRemoteMode", -205,
         "Controller not in a remote mode for external control."},
        {&Result::ErrorControllerInHoldState, "ErrorControllerInHoldState", -206, "Controller is in a hold state."},
        {&Result::ErrorControllerEnableMotors, "ErrorControllerEnableMotors", -207, "The robot's motors are not enabled."},
        {&Result::ErrorControllerProgramStopped, "ErrorControllerProgramStopped", -208,
         "Controller program stopped unexpectedly."},
        {&Result::ErrorControllerSendingStop, "ErrorControllerSendingStop", -209,
         "Failed to send the stop command to the controller."},
        {&Result::ErrorControllerConnection, "ErrorControllerConnection", -210, "No connection to controller."},
        {&Result::ErrorPathDeviation, "ErrorPathDeviation", -105, "The robot deviated from the commanded path."},
        {&Result::ErrorSpeedIsZero, "ErrorSpeedIsZero", -106, "The speed is 0: the motion was not started."},
    };
    return table;
}

const std::vector<Expected>& expected_statuses() {
    static const std::vector<Expected> table{
        {&ControllerStatus::ReadyToMove, "ReadyToMove", 1, "Ready to move"},
        {&ControllerStatus::EnableRequired, "EnableRequired", -1, "Enable required"},
        {&ControllerStatus::ManualInterventionRequired, "ManualInterventionRequired", -2, "Manual intervention required"},
        {&ControllerStatus::Disconnected, "Disconnected", -3, "Disconnected"},
        {&ControllerStatus::Error, "Error", -4, "Error"},
    };
    return table;
}

void expect_table_matches(const std::vector<Expected>& table) {
    std::set<std::int32_t> codes;
    for (const auto& entry : table) {
        SCOPED_TRACE(entry.name);
        EXPECT_EQ(entry.value->code, entry.code);
        EXPECT_EQ(entry.value->message, entry.message);
        EXPECT_TRUE(codes.insert(entry.value->code).second) << "code shared with another constant";
    }
}

// A namespace-scope copy made during static initialisation of this test
// program: the constants must already be built by then.
const Result copied_at_static_init = Result::ErrorControllerConnection;
const ControllerStatus status_copied_at_static_init = ControllerStatus::Disconnected;

}  // namespace

TEST(ResultTypes, ResultConstantsHaveTheirCodesAndMessages) {
    expect_table_matches(expected_results());
    // Only the controller's general error lacks the final full stop.
    for (const auto& entry : expected_results()) {
        const std::string& message = entry.value->message;
        ASSERT_FALSE(message.empty());
        EXPECT_NE(message.back(), '\n') << entry.name;
        EXPECT_EQ(message.back() == '.', entry.value != &Result::ErrorController) << entry.name;
    }
}

TEST(ResultTypes, ControllerStatusConstantsHaveTheirCodesAndMessages) {
    expect_table_matches(expected_statuses());
    // The same code in another type is another outcome.
    EXPECT_EQ(Result::Error.code, ControllerStatus::EnableRequired.code);
    EXPECT_NE(Result::Error.message, ControllerStatus::EnableRequired.message);
}

TEST(ResultTypes, CopiesEqualTheirConstant) {
    Result result = Result::ErrorTrajectoryAborted;
    EXPECT_EQ(result, Result::ErrorTrajectoryAborted);
    EXPECT_NE(result, Result::Error);
    result = Result::Success;
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.message, "Finished successfully.");
    // A copy is independent of the constant it came from.
    result.message += "!";
    EXPECT_EQ(Result::Success.message, "Finished successfully.");

    ControllerStatus status = ControllerStatus::ReadyToMove;
    const ControllerStatus copy(status);
    status = ControllerStatus::Error;
    EXPECT_EQ(copy, ControllerStatus::ReadyToMove);
    EXPECT_EQ(status.code, -4);

    EXPECT_EQ(copied_at_static_init.code, -210);
    EXPECT_EQ(copied_at_static_init.message, "No connection to controller.");
    EXPECT_EQ(status_copied_at_static_init, ControllerStatus::Disconnected);
}

TEST(ResultTypes, RobotStateCopiesAndConvertsLikeAState) {
    RobotState state(0.25, {0.1, 0.2}, {1.0, 2.0}, {-3.0, 4.0});
    RobotState copy = state;
    state.position[0] = 9.0;
    EXPECT_EQ(copy.position, (std::vector<double>{0.1, 0.2}));
    EXPECT_EQ(copy.velocity, (std::vector<double>{1.0, 2.0}));
    EXPECT_EQ(copy.acceleration, (std::vector<double>{-3.0, 4.0}));
    EXPECT_EQ(copy.time, 0.25);

    copy = state;
    EXPECT_EQ(copy.position[0], 9.0);

    // Usable wherever the motion library takes a State, and back.
    orvane::State& as_state = copy;
    as_state.velocity.push_back(5.0);
    EXPECT_EQ(copy.velocity.size(), 3u);
    const RobotState from_state(orvane::State(1.5, {7.0}, {}, {}));
    EXPECT_EQ(from_state.time, 1.5);
    EXPECT_EQ(from_state.position, std::vector<double>{7.0});
    EXPECT_TRUE(from_state.velocity.empty());
}
