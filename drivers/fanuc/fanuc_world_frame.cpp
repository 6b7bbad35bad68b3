#include "orvane/drivers/fanuc/fanuc_world_frame.hpp"

#include <cmath>
#include <stdexcept>

namespace orvane::drivers {

namespace {

using Vector3 = orvane::Frame::Vector3;

double dot(const Vector3& a, const Vector3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

Vector3 difference(const Vector3& a, const Vector3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

}  // namespace

orvane::Frame world_frame_in_base(const orvane::RobotArm& arm) {
    const auto& joints = arm.joints();
    if (joints.size() < 2 || joints[0].type != orvane::Joint::Type::Revolute ||
        joints[1].type != orvane::Joint::Type::Revolute) {
        throw std::invalid_argument("RobotArm '" + arm.name +
                                    "': the controller's world frame needs revolute joints J1 and J2.");
    }
    // J1's frame at the zero position: its axis is the world's Z axis.
    const orvane::Frame j1 = arm.base() * joints[0].origin;
    const Vector3 j1_axis_local = joints[0].axis;
    const double length = std::sqrt(dot(j1_axis_local, j1_axis_local));
    const auto& r = j1.rotation();
    Vector3 axis{};
    for (int row = 0; row < 3; ++row) {
        axis[row] = (r[row][0] * j1_axis_local[0] + r[row][1] * j1_axis_local[1] + r[row][2] * j1_axis_local[2]) /
                    length;
    }
    // A point of J2's axis, projected onto J1's axis: the world's origin.
    const Vector3 j2_point = (arm.base() * joints[0].transform(0.0) * joints[1].origin).translation();
    const Vector3& j1_point = j1.translation();
    const double height = dot(difference(j2_point, j1_point), axis);
    const Vector3 origin{j1_point[0] + axis[0] * height, j1_point[1] + axis[1] * height,
                         j1_point[2] + axis[2] * height};
    return orvane::Frame(arm.base().rotation(), origin);
}

orvane::Frame world_to_base(const orvane::RobotArm& arm, const orvane::Frame& pose_in_world) {
    return world_frame_in_base(arm) * pose_in_world;
}

orvane::Frame base_to_world(const orvane::RobotArm& arm, const orvane::Frame& pose_in_base) {
    return world_frame_in_base(arm).inverse() * pose_in_base;
}

}  // namespace orvane::drivers
