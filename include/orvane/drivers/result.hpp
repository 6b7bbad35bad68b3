#pragma once

#include <cstdint>
#include <string>

#include "orvane/utils/return_code.hpp"

namespace orvane::drivers {

/// The outcome of an operation that commands the robot.
///
/// Only the predefined constants below exist: the value constructor is
/// private, so every Result is a copy of one of them and the code alone
/// identifies the outcome. Codes: 1 success, -1 unspecified failure,
/// -100..-106 the driver's own trajectory handling, -200..-210 the controller.
class Result : public utils::ReturnCode {
public:
    static const Result Success;
    static const Result Error;
    static const Result ErrorStartPositionDeviation;
    static const Result ErrorTrajectoryDidNotUpdate;
    static const Result ErrorReachGoalTimeout;
    static const Result ErrorCommandAlreadyInProgress;
    static const Result ErrorTrajectoryAborted;
    static const Result ErrorController;
    static const Result ErrorControllerEStopActive;
    static const Result ErrorControllerSafetyViolation;
    static const Result ErrorControllerAlarmActive;
    static const Result ErrorControllerNotInAutoMode;
    static const Result ErrorControllerNotInRemoteMode;
    static const Result ErrorControllerInHoldState;
    static const Result ErrorControllerEnableMotors;
    static const Result ErrorControllerProgramStopped;
    static const Result ErrorControllerSendingStop;
    static const Result ErrorControllerConnection;
    static const Result ErrorPathDeviation;
    static const Result ErrorSpeedIsZero;

private:
    Result(std::int32_t code, std::string message);
};

/// The readiness of the robot controller; predefined constants only, as for
/// Result.
class ControllerStatus : public utils::ReturnCode {
public:
    static const ControllerStatus ReadyToMove;
    static const ControllerStatus EnableRequired;
    static const ControllerStatus ManualInterventionRequired;
    static const ControllerStatus Disconnected;
    static const ControllerStatus Error;

private:
    ControllerStatus(std::int32_t code, std::string message);
};

// The constants are C++17 inline variables defined here rather than in a
// source file: every translation unit that includes this header sees their
// definitions before its own code, and inline variables defined before a
// variable in every unit are initialised before it. So a user's namespace-
// scope object may copy one of them during static initialisation, in any
// library or executable, without the static-initialisation-order problem
// that out-of-line definitions would have. They are built once (guarded) at
// load time, before main or dlopen returns, and destroyed at exit.
// A std::string cannot be constant-initialised here (the texts need the heap),
// hence the dynamic initialisation.
inline const Result Result::Success{1, "Finished successfully."};
inline const Result Result::Error{-1, "General error."};
inline const Result Result::ErrorStartPositionDeviation{
    -100, "The start position of the trajectory deviates from the current robot's position."};
inline const Result Result::ErrorTrajectoryDidNotUpdate{-101, "Failed to calculate the trajectory update."};
inline const Result Result::ErrorReachGoalTimeout{-102, "Waiting to reach goal position has timed out."};
inline const Result Result::ErrorCommandAlreadyInProgress{-103, "Another command is already in progress."};
inline const Result Result::ErrorTrajectoryAborted{-104, "Trajectory was aborted by a stop command."};
inline const Result Result::ErrorController{-200, "General error on the controller"};
inline const Result Result::ErrorControllerEStopActive{-201, "E-Stop is active on the controller."};
inline const Result Result::ErrorControllerSafetyViolation{-202, "Safety violation occured on the controller."};
inline const Result Result::ErrorControllerAlarmActive{-203, "An alarm is active on the controller."};
inline const Result Result::ErrorControllerNotInAutoMode{-204, "Controller is not in automatic mode."};
inline const Result Result::ErrorControllerNotInRemoteMode{-205, "Controller not in a remote mode for external control."};
inline const Result Result::ErrorControllerInHoldState{-206, "Controller is in a hold state."};
inline const Result Result::ErrorControllerEnableMotors{-207, "The robot's motors are not enabled."};
inline const Result Result::ErrorControllerProgramStopped{-208, "Controller program stopped unexpectedly."};
inline const Result Result::ErrorControllerSendingStop{-209, "Failed to send the stop command to the controller."};
inline const Result Result::ErrorControllerConnection{-210, "No connection to controller."};
// The path-deviation monitor stopped the robot (code next to the driver's own).
inline const Result Result::ErrorPathDeviation{-105, "The robot deviated from the commanded path."};
inline const Result Result::ErrorSpeedIsZero{-106, "The speed is 0: the motion was not started."};

inline const ControllerStatus ControllerStatus::ReadyToMove{1, "Ready to move"};
inline const ControllerStatus ControllerStatus::EnableRequired{-1, "Enable required"};
inline const ControllerStatus ControllerStatus::ManualInterventionRequired{-2, "Manual intervention required"};
inline const ControllerStatus ControllerStatus::Disconnected{-3, "Disconnected"};
inline const ControllerStatus ControllerStatus::Error{-4, "Error"};

}  // namespace orvane::drivers
