// The arm's kinematics, through the motion library's presets: the faceplate
// pose in the FANUC World frame (on the J1 axis at J2 height) and back.
// Joints in the controller convention (J3 relative to J2), degrees; poses in
// mm and degrees.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <orvane/motion/frame.hpp>
#include <orvane/motion/robot.hpp>

#include "common.hpp"
#include "controller_state.hpp"

namespace orvane::sim::detail {

orvane::Frame to_frame(const Pose& p);
Pose to_pose(const orvane::Frame& f);

class ArmModel {
public:
  // "lrmate200id" or "crx10ial"; empty for another name.
  static std::unique_ptr<ArmModel> make(const std::string& name);

  orvane::Frame faceplate(const Joints& joints) const;
  // Joints whose faceplate is `target`, starting the search at `seed`; each
  // solution lies within the joint limits. When `configuration` is given,
  // only a solution with its posture flags counts.
  std::optional<Joints> solve(const orvane::Frame& target, const Joints& seed,
                              const Configuration* configuration = nullptr) const;
  // The posture of a joint position, FANUC's way: Flip when J5 < 0, Up when
  // the elbow is above the line from shoulder to wrist, Front when the wrist
  // lies in front of the J1 axis; the turn numbers of J4 ... J6.
  Configuration posture(const Joints& joints) const;

private:
  std::shared_ptr<orvane::RobotArm> arm_;
  orvane::Frame world_in_base_;  // the World frame in base_link
};

}  // namespace orvane::sim::detail
