#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <orvane/motion/frame.hpp>

namespace orvane {

// Motion limits of one joint (radians or metres, per second, second squared,
// second cubed). A robot built with a max_jerk of 0 gets
// default_jerk_per_acceleration * max_acceleration.
struct JointLimits {
    double lower{0.0};
    double upper{0.0};
    double max_velocity{0.0};
    double max_acceleration{0.0};
    double max_jerk{0.0};
};

// Full acceleration is reached in a fifth of a second: the rule the robot
// models' assumed jerk limits follow. Controllers that check jerk refuse the
// instant acceleration changes a plan without a jerk limit would make.
inline constexpr double default_jerk_per_acceleration = 5.0;

// One joint of a serial chain. Its transform from the parent link is
// origin * motion(q), where motion(q) rotates about `axis` by q (revolute) or
// translates along `axis` by q (prismatic).
struct Joint {
    enum class Type { Revolute, Prismatic };

    std::string name;
    Type type{Type::Revolute};
    Frame origin;
    std::array<double, 3> axis{0.0, 0.0, 1.0};
    JointLimits limits;

    // Transform from the parent link to this joint's child link at position q.
    Frame transform(double q) const;
};

// A robot: a named set of joints. Robots are shared: create them with
// std::make_shared (sub-robot enumeration needs shared ownership).
class Robot : public std::enable_shared_from_this<Robot> {
public:
    explicit Robot(std::string name);
    virtual ~Robot();

    std::string name;
    // The rate (Hz) at which the robot's controller takes commands, if it has one.
    std::optional<double> control_rate;

    virtual std::size_t get_degrees_of_freedom() const = 0;
    // One entry per joint, in joint order.
    virtual std::vector<JointLimits> get_joint_limits() const = 0;

    // The parts whose joints make up this robot's joint vector, in order. A
    // robot that is not a composite is its own only part.
    virtual std::vector<std::shared_ptr<Robot>> sub_robots() const;

    // Walks sub_robots(): the first part, then the one after `current`; empty
    // at the end (and for a `current` that is not a part).
    std::shared_ptr<Robot> get_first_sub_robot() const;
    std::shared_ptr<Robot> get_next_sub_robot(const std::shared_ptr<Robot>& current) const;

protected:
    Robot(const Robot&) = default;
    Robot& operator=(const Robot&) = default;
};

// A serial chain of joints with a tool-centre point (TCP).
class RobotArm : public Robot {
public:
    // base: pose of the first joint's parent link in the arm's reference frame;
    // tool: pose of the TCP in the last joint's child link.
    // Throws std::invalid_argument for an empty chain, a zero axis or
    // inconsistent limits (lower > upper, non-positive velocity or acceleration,
    // negative jerk).
    RobotArm(std::string name, std::vector<Joint> joints, const Frame& tool = Frame::Identity(),
             const Frame& base = Frame::Identity());

    std::size_t get_degrees_of_freedom() const override { return joints_.size(); }
    std::vector<JointLimits> get_joint_limits() const override;
    const std::vector<Joint>& joints() const { return joints_; }
    const Frame& tool() const { return tool_; }
    const Frame& base() const { return base_; }

    // Forward kinematics: the TCP pose for joint positions (one per joint;
    // std::invalid_argument otherwise).
    Frame calculate_tcp(const std::vector<double>& positions) const;

    // Numerical inverse kinematics (damped least squares) from `seed`:
    // joint positions within the limits whose TCP is `target` (to 1e-9 m and
    // 1e-9 rad), or empty when the solver does not get there from this seed.
    std::optional<std::vector<double>> inverse_kinematics(const Frame& target,
                                                          const std::vector<double>& seed) const;

private:
    std::vector<Joint> joints_;
    Frame tool_;
    Frame base_;
};

// A single prismatic axis, e.g. a rail that carries an arm.
class LinearAxis : public Robot {
public:
    // Throws std::invalid_argument for a zero axis or inconsistent limits.
    LinearAxis(std::string name, const std::array<double, 3>& axis, const JointLimits& limits);

    std::size_t get_degrees_of_freedom() const override { return 1; }
    std::vector<JointLimits> get_joint_limits() const override { return {joint_.limits}; }
    const Joint& joint() const { return joint_; }

    // Pose of the carriage at `position` (metres along the axis).
    Frame calculate_frame(double position) const { return joint_.transform(position); }

private:
    Joint joint_;
};

// Several robots driven as one, e.g. an arm on a rail: the joint vector is
// the concatenation of the parts' joint vectors in order.
class CompositeRobot : public Robot {
public:
    // Throws std::invalid_argument for an empty list or an empty pointer.
    CompositeRobot(std::string name, std::vector<std::shared_ptr<Robot>> parts);

    std::size_t get_degrees_of_freedom() const override;
    std::vector<JointLimits> get_joint_limits() const override;
    std::vector<std::shared_ptr<Robot>> sub_robots() const override { return parts_; }

private:
    std::vector<std::shared_ptr<Robot>> parts_;
};

}  // namespace orvane
