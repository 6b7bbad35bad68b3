#include "arm_model.hpp"

#include <cmath>
#include <vector>

#include <orvane/motion/robots.hpp>

namespace orvane::sim::detail {

namespace {

constexpr double rad(double deg) { return deg / deg_per_rad; }

std::vector<double> planner_radians(const Joints& controller_deg, std::size_t n) {
  Joints p = to_planner(controller_deg);
  std::vector<double> q(n);
  for (std::size_t k = 0; k < n; ++k) q[k] = rad(p[k]);
  return q;
}

Joints controller_degrees(const std::vector<double>& q, const Joints& keep) {
  Joints p = to_planner(keep);
  for (std::size_t k = 0; k < q.size() && k < 9; ++k) p[k] = q[k] * deg_per_rad;
  return to_controller(p);
}

bool same_posture(const Configuration& a, const Configuration& b) {
  return a.front == b.front && a.up == b.up && a.flip == b.flip;
}

}  // namespace

orvane::Frame to_frame(const Pose& p) {
  return orvane::Frame::from_euler(p.x / 1000.0, p.y / 1000.0, p.z / 1000.0, rad(p.w), rad(p.p), rad(p.r));
}

Pose to_pose(const orvane::Frame& f) {
  auto e = f.to_euler();
  return {e[0] * 1000.0, e[1] * 1000.0, e[2] * 1000.0, e[3] * deg_per_rad, e[4] * deg_per_rad, e[5] * deg_per_rad};
}

std::unique_ptr<ArmModel> ArmModel::make(const std::string& name) {
  auto model = std::unique_ptr<ArmModel>(new ArmModel());
  if (name == "lrmate200id") {
    model->arm_ = orvane::robots::fanuc_lrmate200id();
    model->world_in_base_ = orvane::Frame::from_translation(0, 0, 0.330);
  } else if (name == "crx10ial") {
    model->arm_ = orvane::robots::fanuc_crx10ial();
    model->world_in_base_ = orvane::Frame::from_translation(0, 0, 0.245);
  } else {
    return nullptr;
  }
  return model;
}

orvane::Frame ArmModel::faceplate(const Joints& joints) const {
  return world_in_base_.inverse() * arm_->calculate_tcp(planner_radians(joints, arm_->get_degrees_of_freedom()));
}

Configuration ArmModel::posture(const Joints& joints) const {
  Joints p = to_planner(joints);
  const std::size_t n = arm_->get_degrees_of_freedom();
  std::vector<double> q = planner_radians(joints, n);
  // Positions of the shoulder (J2), elbow (J3) and wrist centre (J5) in base_link.
  orvane::Frame f = arm_->base();
  std::array<orvane::Frame::Vector3, 6> origin{};
  for (std::size_t i = 0; i < n && i < 6; ++i) {
    f = f * arm_->joints()[i].transform(q[i]);
    origin[i] = f.translation();
  }
  Configuration c;
  auto j1 = rad(p[0]);
  const auto& wrist = origin[4];
  c.front = (wrist[0] * std::cos(j1) + wrist[1] * std::sin(j1)) >= 0.0 ? 1 : 0;
  // Elbow above the shoulder-wrist line, seen in the arm's plane.
  auto radial = [&](const orvane::Frame::Vector3& v) { return v[0] * std::cos(j1) + v[1] * std::sin(j1); };
  const auto& shoulder = origin[1];
  const auto& elbow = origin[2];
  double sx = radial(wrist) - radial(shoulder), sz = wrist[2] - shoulder[2];
  double ex = radial(elbow) - radial(shoulder), ez = elbow[2] - shoulder[2];
  double side = sx * ez - sz * ex;
  c.up = (c.front ? side : -side) >= 0.0 ? 1 : 0;
  c.flip = p[4] < 0.0 ? 1 : 0;
  auto turn = [](double deg) { return static_cast<int>(std::floor((deg + 180.0) / 360.0)); };
  c.turn4 = turn(p[3]);
  c.turn5 = turn(p[4]);
  c.turn6 = turn(p[5]);
  return c;
}

std::optional<Joints> ArmModel::solve(const orvane::Frame& target, const Joints& seed,
                                      const Configuration* configuration) const {
  const std::size_t n = arm_->get_degrees_of_freedom();
  const orvane::Frame in_base = world_in_base_ * target;
  auto accept = [&](const std::vector<double>& q) -> std::optional<Joints> {
    Joints j = controller_degrees(q, seed);
    if (configuration && !same_posture(posture(j), *configuration)) return std::nullopt;
    return j;
  };
  if (auto q = arm_->inverse_kinematics(in_base, planner_radians(seed, n))) {
    if (auto j = accept(*q)) return j;
  }
  // Other seeds reach other postures (and targets the first seed missed).
  static const double seeds[][6] = {{0, 0, 0, 0, -45, 0},   {0, 30, 30, 0, 45, 0},  {0, 0, 0, 0, 45, 0},
                                    {0, -30, 60, 0, -60, 0}, {180, 0, 0, 0, 45, 0}, {0, 60, -30, 90, 45, -90},
                                    {90, 20, 20, 0, 45, 0},  {-90, 20, 20, 0, -45, 0}};
  for (const auto& s : seeds) {
    Joints sj = seed;
    for (int k = 0; k < 6; ++k) sj[k] = s[k];
    sj = to_controller(sj);
    if (auto q = arm_->inverse_kinematics(in_base, planner_radians(sj, n))) {
      if (auto j = accept(*q)) return j;
    }
  }
  return std::nullopt;
}

}  // namespace orvane::sim::detail
