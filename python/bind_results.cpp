// Result, ControllerStatus and RobotState.
//
// Every driver call returns a new copy of a Result or ControllerStatus, so
// identity says nothing: both compare and hash by their code, and show their
// name, code and message.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <orvane/drivers/robot_state.hpp>

#include "common.hpp"

namespace orvane::python {

namespace {

using drivers::ControllerStatus;
using drivers::Result;

template <class Code>
using Constants = std::vector<std::pair<const char*, const Code*>>;

// In the order they are registered as class attributes.
const Constants<Result>& result_constants() {
    static const Constants<Result> constants{
        {"Success", &Result::Success},
        {"Error", &Result::Error},
        {"ErrorStartPositionDeviation", &Result::ErrorStartPositionDeviation},
        {"ErrorTrajectoryDidNotUpdate", &Result::ErrorTrajectoryDidNotUpdate},
        {"ErrorReachGoalTimeout", &Result::ErrorReachGoalTimeout},
        {"ErrorCommandAlreadyInProgress", &Result::ErrorCommandAlreadyInProgress},
        {"ErrorTrajectoryAborted", &Result::ErrorTrajectoryAborted},
        {"ErrorController", &Result::ErrorController},
        {"ErrorControllerEStopActive", &Result::ErrorControllerEStopActive},
        {"ErrorControllerSafetyViolation", &Result::ErrorControllerSafetyViolation},
        {"ErrorControllerAlarmActive", &Result::ErrorControllerAlarmActive},
        {"ErrorControllerNotInAutoMode", &Result::ErrorControllerNotInAutoMode},
        {"ErrorControllerNotInRemoteMode", &Result::ErrorControllerNotInRemoteMode},
        {"ErrorControllerInHoldState", &Result::ErrorControllerInHoldState},
        {"ErrorControllerEnableMotors", &Result::ErrorControllerEnableMotors},
        {"ErrorControllerProgramStopped", &Result::ErrorControllerProgramStopped},
        {"ErrorControllerSendingStop", &Result::ErrorControllerSendingStop},
        {"ErrorControllerConnection", &Result::ErrorControllerConnection},
        {"ErrorPathDeviation", &Result::ErrorPathDeviation},
        {"ErrorSpeedIsZero", &Result::ErrorSpeedIsZero},
    };
    return constants;
}

const Constants<ControllerStatus>& status_constants() {
    static const Constants<ControllerStatus> constants{
        {"ReadyToMove", &ControllerStatus::ReadyToMove},
        {"EnableRequired", &ControllerStatus::EnableRequired},
        {"ManualInterventionRequired", &ControllerStatus::ManualInterventionRequired},
        {"Disconnected", &ControllerStatus::Disconnected},
        {"Error", &ControllerStatus::Error},
    };
    return constants;
}

// "Result.Success (1): Finished successfully."; a code that no constant has
// (it cannot be made from Python, but a newer library might return one)
// shows without a name.
template <class Code>
std::string describe(const char* class_name, const Constants<Code>& constants, const Code& value) {
    std::string text = class_name;
    for (const auto& [name, constant] : constants) {
        if (constant->code == value.code) {
            text += std::string(".") + name;
            break;
        }
    }
    return text + " (" + std::to_string(value.code) + "): " + value.message;
}

template <class Code>
void bind_code(py::class_<Code>& cls, const char* class_name, const Constants<Code>& constants) {
    cls.def_property_readonly(
           "code", [](const Code& value) { return value.code; },
           "The numeric code: positive for success or readiness, negative otherwise.")
        .def_property_readonly(
            "message", [](const Code& value) { return value.message; }, "The fixed text of the code.")
        // Typed operands: comparing with anything else returns NotImplemented,
        // so a Result never equals a ControllerStatus of the same code.
        .def(
            "__eq__", [](const Code& a, const Code& b) { return a.code == b.code; }, py::is_operator(), py::arg("other"))
        .def(
            "__ne__", [](const Code& a, const Code& b) { return a.code != b.code; }, py::is_operator(), py::arg("other"))
        .def("__hash__", [](const Code& value) { return std::hash<std::int32_t>{}(value.code); })
        .def("__repr__", [class_name, &constants](const Code& value) {
            return describe(class_name, constants, value);
        });
    // The class attributes refer to the library's own constants, which live
    // until the process ends.
    for (const auto& [name, constant] : constants) {
        cls.def_property_readonly_static(
            name, [constant](const py::object&) { return constant; }, py::return_value_policy::reference);
    }
}

}  // namespace

void bind_result(py::module_& m) {
    py::class_<Result> result(m, "Result", "The outcome of a robot operation (read-only constants).");
    bind_code(result, "Result", result_constants());
}

void bind_controller_status(py::module_& m) {
    py::class_<ControllerStatus> status(m, "ControllerStatus",
                                        "The readiness of the robot controller (read-only constants).");
    bind_code(status, "ControllerStatus", status_constants());
}

void bind_robot_state(py::module_& m) {
    // Lists in both directions: reading gives a copy, assigning replaces.
    py::class_<RobotState>(m, "RobotState", "Joint position, velocity and acceleration of the robot.")
        .def_readwrite("position", &RobotState::position)
        .def_readwrite("velocity", &RobotState::velocity)
        .def_readwrite("acceleration", &RobotState::acceleration)
        .def("__repr__", [](const RobotState& state) {
            auto list = [](const std::vector<double>& values) { return std::string(py::repr(py::cast(values))); };
            return "RobotState(position=" + list(state.position) + ", velocity=" + list(state.velocity) +
                   ", acceleration=" + list(state.acceleration) + ")";
        });
}

}  // namespace orvane::python
