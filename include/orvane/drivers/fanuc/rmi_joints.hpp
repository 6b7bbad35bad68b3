#pragma once

#include <cstddef>
#include <vector>

namespace orvane::drivers {

class JointAngleResponse;

// RMI measures J3 from J2; planners (and this driver's users) take J3 as
// independent of J2. These are the only places that convert between the two.

/// Planner convention to RMI's, in place (J3 -= J2). Fewer than three values
/// are left as they are.
void to_rmi_joints(std::vector<double>& joints);
/// RMI convention to the planner's, in place (J3 += J2).
void from_rmi_joints(std::vector<double>& joints);

/// The first `count` angles of a reading (radians, RMI convention) in the
/// planner's convention. Throws OrvaneError ("driver.fanuc") naming the joint
/// when one is not finite or lies beyond ten turns, which no arm reaches: a
/// broken reading is never handed out as a position. Also throws when the
/// reading holds fewer than `count` values.
std::vector<double> planner_joints(const std::vector<double>& rmi_angles, std::size_t count);

/// The same for the answer to "FRC_ReadJointAngles"; throws OrvaneError when
/// the controller refused it (its angles are placeholders then).
std::vector<double> planner_joints(const JointAngleResponse& answer, std::size_t count);

}  // namespace orvane::drivers
