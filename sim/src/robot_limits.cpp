// Joint limits of the robot models, planner convention (J3 independent of
// J2), copied from data/robots/*.json so that no file is read at run time.
// Jerk is 5 × the acceleration limit per joint, as the motion library has it.
#include "orvane/sim/controller_simulator.hpp"

namespace orvane::sim {

namespace {

constexpr double jerk_per_acceleration = 5.0;  // 1/s

JointLimit axis(double lower, double upper, double velocity, double acceleration) {
  return {lower, upper, velocity, acceleration, jerk_per_acceleration * acceleration};
}

}  // namespace

std::vector<JointLimit> lrmate200id_limits() {
  return {
      axis(-3.141592653589793, 3.141592653589793, 7.853981633974483, 15.708),
      axis(-1.7453292519943295, 2.530727415391778, 6.632251157578453, 13.2645),
      axis(-1.2217304763960306, 3.5779249665883754, 9.075712110370514, 18.1514),
      axis(-3.3161255787892263, 3.3161255787892263, 9.599310885968812, 19.1986),
      axis(-2.181661564992912, 2.181661564992912, 9.512044423369096, 19.0241),
      axis(-6.283185307179586, 6.283185307179586, 17.453292519943297, 34.9066),
  };
}

std::vector<JointLimit> crx10ial_limits() {
  return {
      axis(-3.139847324337799, 3.139847324337799, 2.0943951023931953, 4.1888),
      axis(-3.139847324337799, 3.139847324337799, 2.0943951023931953, 4.1888),
      axis(-4.71238898038469, 4.71238898038469, 3.141592653589793, 6.2832),
      axis(-3.3161255787892263, 3.3161255787892263, 3.141592653589793, 6.2832),
      axis(-3.139847324337799, 3.139847324337799, 3.141592653589793, 6.2832),
      axis(-3.9269908169872414, 3.9269908169872414, 3.141592653589793, 6.2832),
  };
}

double rated_payload_kg(const std::string& arm_model) {
  if (arm_model == "lrmate200id") return 7.0;
  if (arm_model == "crx10ial") return 10.0;
  return 0.0;
}

}  // namespace orvane::sim
