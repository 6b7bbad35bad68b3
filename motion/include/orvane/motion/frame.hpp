#pragma once

#include <array>

namespace orvane {

// A rigid transform: a rotation matrix and a translation (metres).
//
// Euler angles: (a, b, c) are extrinsic rotations about the fixed X, Y and Z
// axes in that order, i.e. R = Rz(c) * Ry(b) * Rx(a). This is the URDF
// "rpy" convention and equals a FANUC pose's W, P, R (in radians).
class Frame {
public:
    using Vector3 = std::array<double, 3>;
    using Matrix3 = std::array<std::array<double, 3>, 3>;  // row-major

    // The identity transform.
    Frame();
    Frame(const Matrix3& rotation, const Vector3& translation);

    static Frame Identity();
    static Frame from_translation(double x, double y, double z);
    static Frame from_euler(double x, double y, double z, double a, double b, double c);
    // A rotation by `angle` (radians) about `axis`, which need not be normalised.
    static Frame from_axis_angle(const Vector3& axis, double angle);

    // x, y, z, a, b, c in the convention above; b lies in [-pi/2, pi/2] and
    // a, c in (-pi, pi]. At b = +-pi/2 (gimbal lock) c is reported as 0.
    std::array<double, 6> to_euler() const;

    const Matrix3& rotation() const { return rotation_; }
    const Vector3& translation() const { return translation_; }

    // Euclidean distance between the two origins.
    double translational_distance(const Frame& other) const;
    // Angle (radians, in [0, pi]) of the rotation that takes this frame's
    // orientation to the other's.
    double angular_distance(const Frame& other) const;

    // Composition: (this * other) maps other's coordinates into this frame's parent.
    Frame operator*(const Frame& other) const;
    // Maps a point given in this frame into its parent.
    Vector3 operator*(const Vector3& point) const;
    Frame inverse() const;

private:
    Matrix3 rotation_;
    Vector3 translation_;
};

}  // namespace orvane
