#pragma once

#include <utility>

#include <orvane/motion/trajectory.hpp>

/// The robot's measured or commanded joint state (time, position, velocity,
/// acceleration) under the driver's name; it is exactly the motion library's
/// State, so either converts to the other without loss.
class RobotState : public orvane::State {
public:
    using orvane::State::State;
    RobotState() = default;
    explicit RobotState(const orvane::State& state) : orvane::State(state) {}
    explicit RobotState(orvane::State&& state) : orvane::State(std::move(state)) {}
};
