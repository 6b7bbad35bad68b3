#include <orvane/motion/robot.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace orvane {

namespace {

std::array<double, 3> normalised(const std::array<double, 3>& v, const std::string& what) {
    const double n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (!(n > 0.0) || !std::isfinite(n)) throw std::invalid_argument(what + ": the axis must be a non-zero vector");
    return {v[0] / n, v[1] / n, v[2] / n};
}

// Checks a joint's limits and gives it the default jerk limit if it has none.
void complete_limits(JointLimits& l, const std::string& what) {
    if (!(l.lower <= l.upper) || !(l.max_velocity > 0.0) || !(l.max_acceleration > 0.0) ||
        !std::isfinite(l.max_velocity) || !std::isfinite(l.max_acceleration) || !(l.max_jerk >= 0.0) ||
        !std::isfinite(l.max_jerk)) {
        throw std::invalid_argument(what +
                                    ": limits need lower <= upper, positive, finite maximum velocity "
                                    "and acceleration, and a finite maximum jerk that is positive (or 0 for "
                                    "the default)");
    }
    if (l.max_jerk == 0.0) l.max_jerk = default_jerk_per_acceleration * l.max_acceleration;
}

// Rotation that takes `from` to `to`, as a world-frame rotation vector (axis * angle).
std::array<double, 3> rotation_error(const Frame::Matrix3& from, const Frame::Matrix3& to) {
    // E = to * from^T
    Frame::Matrix3 e{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            e[i][j] = to[i][0] * from[j][0] + to[i][1] * from[j][1] + to[i][2] * from[j][2];
        }
    }
    const std::array<double, 3> w{0.5 * (e[2][1] - e[1][2]), 0.5 * (e[0][2] - e[2][0]), 0.5 * (e[1][0] - e[0][1])};
    const double s = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    const double c = 0.5 * (e[0][0] + e[1][1] + e[2][2] - 1.0);
    const double angle = std::atan2(s, c);
    if (s > 1e-6 || c > 0.0) {
        const double k = s > 1e-15 ? angle / s : 1.0;
        return {w[0] * k, w[1] * k, w[2] * k};
    }
    // Near half a turn the skew part vanishes; the axis is a column of E + I.
    double best_norm = -1.0;
    std::array<double, 3> axis{};
    for (int j = 0; j < 3; ++j) {
        std::array<double, 3> col{e[0][j], e[1][j], e[2][j]};
        col[j] += 1.0;
        const double n = std::sqrt(col[0] * col[0] + col[1] * col[1] + col[2] * col[2]);
        if (n > best_norm) {
            best_norm = n;
            axis = col;
        }
    }
    for (double& a : axis) a /= best_norm;
    // Keep the sign consistent with the (small) skew part.
    if (axis[0] * w[0] + axis[1] * w[1] + axis[2] * w[2] < 0.0) {
        for (double& a : axis) a = -a;
    }
    return {axis[0] * angle, axis[1] * angle, axis[2] * angle};
}

// Solves the symmetric positive definite system a x = b in place (Cholesky).
bool solve_spd(std::vector<double>& a, std::vector<double>& b, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (std::size_t k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
        if (!(d > 0.0)) return false;
        d = std::sqrt(d);
        a[j * n + j] = d;
        for (std::size_t i = j + 1; i < n; ++i) {
            double v = a[i * n + j];
            for (std::size_t k = 0; k < j; ++k) v -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = v / d;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        double v = b[i];
        for (std::size_t k = 0; k < i; ++k) v -= a[i * n + k] * b[k];
        b[i] = v / a[i * n + i];
    }
    for (std::size_t i = n; i-- > 0;) {
        double v = b[i];
        for (std::size_t k = i + 1; k < n; ++k) v -= a[k * n + i] * b[k];
        b[i] = v / a[i * n + i];
    }
    return true;
}

}  // namespace

Frame Joint::transform(double q) const {
    if (type == Type::Prismatic) {
        return origin * Frame::from_translation(axis[0] * q, axis[1] * q, axis[2] * q);
    }
    return origin * Frame::from_axis_angle(axis, q);
}

Robot::Robot(std::string name) : name(std::move(name)) {}

Robot::~Robot() = default;

std::vector<std::shared_ptr<Robot>> Robot::sub_robots() const {
    auto self = std::const_pointer_cast<Robot>(weak_from_this().lock());
    if (!self) return {};
    return {std::move(self)};
}

std::shared_ptr<Robot> Robot::get_first_sub_robot() const {
    auto parts = sub_robots();
    return parts.empty() ? nullptr : parts.front();
}

std::shared_ptr<Robot> Robot::get_next_sub_robot(const std::shared_ptr<Robot>& current) const {
    auto parts = sub_robots();
    auto it = std::find(parts.begin(), parts.end(), current);
    if (it == parts.end() || ++it == parts.end()) return nullptr;
    return *it;
}

RobotArm::RobotArm(std::string name, std::vector<Joint> joints, const Frame& tool, const Frame& base)
    : Robot(std::move(name)), joints_(std::move(joints)), tool_(tool), base_(base) {
    if (joints_.empty()) throw std::invalid_argument("RobotArm '" + this->name + "': no joints");
    for (auto& joint : joints_) {
        const std::string what = "RobotArm '" + this->name + "', joint '" + joint.name + "'";
        joint.axis = normalised(joint.axis, what);
        complete_limits(joint.limits, what);
    }
}

std::vector<JointLimits> RobotArm::get_joint_limits() const {
    std::vector<JointLimits> limits;
    limits.reserve(joints_.size());
    for (const auto& joint : joints_) limits.push_back(joint.limits);
    return limits;
}

Frame RobotArm::calculate_tcp(const std::vector<double>& positions) const {
    if (positions.size() != joints_.size()) {
        throw std::invalid_argument("RobotArm '" + name + "': calculate_tcp needs " +
                                    std::to_string(joints_.size()) + " joint positions, got " +
                                    std::to_string(positions.size()));
    }
    Frame frame = base_;
    for (std::size_t i = 0; i < joints_.size(); ++i) frame = frame * joints_[i].transform(positions[i]);
    return frame * tool_;
}

std::optional<std::vector<double>> RobotArm::inverse_kinematics(const Frame& target,
                                                                const std::vector<double>& seed) const {
    const std::size_t n = joints_.size();
    if (seed.size() != n) {
        throw std::invalid_argument("RobotArm '" + name + "': inverse_kinematics needs a seed of " +
                                    std::to_string(n) + " joint positions, got " + std::to_string(seed.size()));
    }
    constexpr double tolerance = 1e-9;
    constexpr int max_iterations = 500;

    std::vector<double> q(n);
    for (std::size_t i = 0; i < n; ++i) q[i] = std::clamp(seed[i], joints_[i].limits.lower, joints_[i].limits.upper);

    // Error (position, rotation vector) and, optionally, the geometric Jacobian.
    auto evaluate = [&](const std::vector<double>& x, std::array<double, 6>& error, std::vector<double>* jacobian) {
        std::vector<Frame::Vector3> axes, origins;
        if (jacobian) {
            axes.resize(n);
            origins.resize(n);
        }
        Frame frame = base_;
        for (std::size_t i = 0; i < n; ++i) {
            frame = frame * joints_[i].origin;
            if (jacobian) {
                const auto& r = frame.rotation();
                const auto& a = joints_[i].axis;
                axes[i] = {r[0][0] * a[0] + r[0][1] * a[1] + r[0][2] * a[2],
                           r[1][0] * a[0] + r[1][1] * a[1] + r[1][2] * a[2],
                           r[2][0] * a[0] + r[2][1] * a[1] + r[2][2] * a[2]};
                origins[i] = frame.translation();
            }
            const auto& a = joints_[i].axis;
            frame = frame * (joints_[i].type == Joint::Type::Prismatic
                                 ? Frame::from_translation(a[0] * x[i], a[1] * x[i], a[2] * x[i])
                                 : Frame::from_axis_angle(a, x[i]));
        }
        frame = frame * tool_;
        const auto& p = frame.translation();
        const auto& pt = target.translation();
        const auto rot = rotation_error(frame.rotation(), target.rotation());
        error = {pt[0] - p[0], pt[1] - p[1], pt[2] - p[2], rot[0], rot[1], rot[2]};
        if (jacobian) {
            jacobian->assign(6 * n, 0.0);
            for (std::size_t i = 0; i < n; ++i) {
                const auto& z = axes[i];
                if (joints_[i].type == Joint::Type::Prismatic) {
                    for (int k = 0; k < 3; ++k) (*jacobian)[k * n + i] = z[k];
                } else {
                    const std::array<double, 3> d{p[0] - origins[i][0], p[1] - origins[i][1], p[2] - origins[i][2]};
                    (*jacobian)[0 * n + i] = z[1] * d[2] - z[2] * d[1];
                    (*jacobian)[1 * n + i] = z[2] * d[0] - z[0] * d[2];
                    (*jacobian)[2 * n + i] = z[0] * d[1] - z[1] * d[0];
                    for (int k = 0; k < 3; ++k) (*jacobian)[(3 + k) * n + i] = z[k];
                }
            }
        }
    };
    auto norm2 = [](const std::array<double, 6>& e) {
        double s = 0.0;
        for (double v : e) s += v * v;
        return s;
    };
    auto converged = [&](const std::array<double, 6>& e) {
        return std::hypot(e[0], e[1], e[2]) <= tolerance && std::hypot(e[3], e[4], e[5]) <= tolerance;
    };

    std::array<double, 6> error{};
    std::vector<double> jacobian;
    evaluate(q, error, &jacobian);
    double cost = norm2(error);
    double lambda = 1e-3;
    std::vector<double> normal(n * n), rhs(n), candidate(n);
    std::array<double, 6> candidate_error{};

    for (int iteration = 0; iteration < max_iterations && !converged(error); ++iteration) {
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                double s = 0.0;
                for (std::size_t k = 0; k < 6; ++k) s += jacobian[k * n + i] * jacobian[k * n + j];
                normal[i * n + j] = s;
            }
            double s = 0.0;
            for (std::size_t k = 0; k < 6; ++k) s += jacobian[k * n + i] * error[k];
            rhs[i] = s;
            normal[i * n + i] += lambda;
        }
        if (!solve_spd(normal, rhs, n)) {
            lambda *= 10.0;
            continue;
        }
        for (std::size_t i = 0; i < n; ++i) {
            candidate[i] = std::clamp(q[i] + rhs[i], joints_[i].limits.lower, joints_[i].limits.upper);
        }
        evaluate(candidate, candidate_error, nullptr);
        const double candidate_cost = norm2(candidate_error);
        if (candidate_cost < cost) {
            q = candidate;
            cost = candidate_cost;
            evaluate(q, error, &jacobian);
            lambda = std::max(lambda * 0.2, 1e-12);
        } else {
            lambda *= 8.0;
            if (lambda > 1e10) break;  // no step improves: stuck at a limit or a local minimum
        }
    }
    if (!converged(error)) return std::nullopt;
    return q;
}

LinearAxis::LinearAxis(std::string name, const std::array<double, 3>& axis, const JointLimits& limits)
    : Robot(std::move(name)) {
    const std::string what = "LinearAxis '" + this->name + "'";
    joint_.name = this->name;
    joint_.type = Joint::Type::Prismatic;
    joint_.axis = normalised(axis, what);
    joint_.limits = limits;
    complete_limits(joint_.limits, what);
}

CompositeRobot::CompositeRobot(std::string name, std::vector<std::shared_ptr<Robot>> parts)
    : Robot(std::move(name)), parts_(std::move(parts)) {
    if (parts_.empty()) throw std::invalid_argument("CompositeRobot '" + this->name + "': no parts");
    for (const auto& part : parts_) {
        if (!part) throw std::invalid_argument("CompositeRobot '" + this->name + "': empty part");
    }
}

std::size_t CompositeRobot::get_degrees_of_freedom() const {
    std::size_t dof = 0;
    for (const auto& part : parts_) dof += part->get_degrees_of_freedom();
    return dof;
}

std::vector<JointLimits> CompositeRobot::get_joint_limits() const {
    std::vector<JointLimits> limits;
    for (const auto& part : parts_) {
        auto more = part->get_joint_limits();
        limits.insert(limits.end(), more.begin(), more.end());
    }
    return limits;
}

}  // namespace orvane
