#include <orvane/motion/frame.hpp>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace orvane {

namespace {

using Matrix3 = Frame::Matrix3;
using Vector3 = Frame::Vector3;

constexpr Matrix3 identity_matrix{{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};

Matrix3 multiply(const Matrix3& a, const Matrix3& b) {
    Matrix3 r{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            r[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
        }
    }
    return r;
}

Vector3 multiply(const Matrix3& a, const Vector3& v) {
    return {a[0][0] * v[0] + a[0][1] * v[1] + a[0][2] * v[2],
            a[1][0] * v[0] + a[1][1] * v[1] + a[1][2] * v[2],
            a[2][0] * v[0] + a[2][1] * v[1] + a[2][2] * v[2]};
}

}  // namespace

Frame::Frame() : rotation_(identity_matrix), translation_{0.0, 0.0, 0.0} {}

Frame::Frame(const Matrix3& rotation, const Vector3& translation)
    : rotation_(rotation), translation_(translation) {}

Frame Frame::Identity() { return Frame(); }

Frame Frame::from_translation(double x, double y, double z) {
    return Frame(identity_matrix, {x, y, z});
}

Frame Frame::from_euler(double x, double y, double z, double a, double b, double c) {
    const double ca = std::cos(a), sa = std::sin(a);
    const double cb = std::cos(b), sb = std::sin(b);
    const double cc = std::cos(c), sc = std::sin(c);
    // Rz(c) * Ry(b) * Rx(a)
    const Matrix3 r{{{cc * cb, cc * sb * sa - sc * ca, cc * sb * ca + sc * sa},
                     {sc * cb, sc * sb * sa + cc * ca, sc * sb * ca - cc * sa},
                     {-sb, cb * sa, cb * ca}}};
    return Frame(r, {x, y, z});
}

Frame Frame::from_axis_angle(const Vector3& axis, double angle) {
    const double n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    if (n == 0.0) {
        return Frame();
    }
    const double x = axis[0] / n, y = axis[1] / n, z = axis[2] / n;
    const double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
    const Matrix3 r{{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
                     {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
                     {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
    return Frame(r, {0.0, 0.0, 0.0});
}

std::array<double, 6> Frame::to_euler() const {
    const Matrix3& r = rotation_;
    const double cb = std::hypot(r[0][0], r[1][0]);
    double a = 0.0, b = 0.0, c = 0.0;
    if (cb > 1e-12) {
        a = std::atan2(r[2][1], r[2][2]);
        b = std::atan2(-r[2][0], cb);
        c = std::atan2(r[1][0], r[0][0]);
    } else {
        // Gimbal lock: only a -+ c is defined; report it all in a.
        b = r[2][0] < 0.0 ? std::numbers::pi / 2.0 : -std::numbers::pi / 2.0;
        a = std::atan2(-r[1][2], r[1][1]);
        c = 0.0;
    }
    // atan2 may give -pi for pi; keep the documented range (-pi, pi].
    if (a <= -std::numbers::pi) a += 2.0 * std::numbers::pi;
    if (c <= -std::numbers::pi) c += 2.0 * std::numbers::pi;
    return {translation_[0], translation_[1], translation_[2], a, b, c};
}

double Frame::translational_distance(const Frame& other) const {
    const double dx = translation_[0] - other.translation_[0];
    const double dy = translation_[1] - other.translation_[1];
    const double dz = translation_[2] - other.translation_[2];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

double Frame::angular_distance(const Frame& other) const {
    // R = R1^T R2; atan2 of its skew and symmetric parts stays accurate near 0 and pi.
    Matrix3 r{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            r[i][j] = rotation_[0][i] * other.rotation_[0][j] + rotation_[1][i] * other.rotation_[1][j] +
                      rotation_[2][i] * other.rotation_[2][j];
        }
    }
    const double s = 0.5 * std::sqrt((r[2][1] - r[1][2]) * (r[2][1] - r[1][2]) +
                                     (r[0][2] - r[2][0]) * (r[0][2] - r[2][0]) +
                                     (r[1][0] - r[0][1]) * (r[1][0] - r[0][1]));
    const double c = 0.5 * (r[0][0] + r[1][1] + r[2][2] - 1.0);
    return std::atan2(s, c);
}

Frame Frame::operator*(const Frame& other) const {
    Vector3 t = multiply(rotation_, other.translation_);
    for (int i = 0; i < 3; ++i) t[i] += translation_[i];
    return Frame(multiply(rotation_, other.rotation_), t);
}

Frame::Vector3 Frame::operator*(const Vector3& point) const {
    Vector3 p = multiply(rotation_, point);
    for (int i = 0; i < 3; ++i) p[i] += translation_[i];
    return p;
}

Frame Frame::inverse() const {
    Matrix3 rt{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) rt[i][j] = rotation_[j][i];
    }
    Vector3 t = multiply(rt, translation_);
    for (double& v : t) v = -v;
    return Frame(rt, t);
}

}  // namespace orvane
