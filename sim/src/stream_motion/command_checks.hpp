// The checks a Stream Motion command's position passes before the arm
// follows it: data style, finite values, joint ranges, a Cartesian jump,
// and velocity, acceleration and jerk by finite differences at the period
// from one command to the next, against the threshold tables for the step's
// Cartesian speed and the payload. The command before the first is the
// position the arm rests at, with no velocity or acceleration.
// Positions in degrees, Stream Motion convention (J3 independent of J2).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "../arm_model.hpp"
#include "../common.hpp"
#include "thresholds.hpp"

namespace orvane::sim::detail::stream_motion {

inline constexpr double max_jump_mm = 50.0;  // faceplate travel in one period that is refused outright

enum class Breach { None, DataStyle, NotFinite, JointRange, Jump, Velocity, Acceleration, Jerk };

struct CheckResult {
  Breach breach = Breach::None;
  int joint = 0;        // 1 ... 9 (0 for data style and jump)
  double value = 0.0;   // what the command reached (degrees per s^n, or mm for a jump)
  double limit = 0.0;
  explicit operator bool() const { return breach == Breach::None; }
};

// The alarm a breach posts, naming the command ("Sq.n") and the joint.
std::string alarm_text(const CheckResult& r, uint32_t sequence);

struct CheckContext {
  const std::vector<JointLimit>* joint_limits = nullptr;  // empty: no limits (no robot model)
  const ThresholdTables* tables = nullptr;
  const ArmModel* arm = nullptr;                          // for the Cartesian speed; may be null
  double period_s = 0.008;
  double max_cartesian_speed = 2000.0;
  double payload_fraction = 0.0;
};

class CommandChecker {
public:
  // The next command is the first of a motion: it starts from `rest`.
  void restart(const Joints& rest, const CheckContext& ctx);
  // Checks a command without taking it.
  CheckResult check(uint16_t data_style, const Joints& q, const CheckContext& ctx) const;
  // Takes a checked command as the previous one.
  void take(const Joints& q, const CheckContext& ctx);

  const Joints& previous() const { return q_; }
  const Joints& velocity() const { return v_; }  // of the last step, degrees/s

private:
  struct Step {
    Joints v{}, a{}, j{};
    std::optional<double> speed_mm_s;  // of the faceplate; empty without an arm model
    std::optional<double> jump_mm;
  };
  Step step_to(const Joints& q, const CheckContext& ctx) const;

  Joints q_{}, v_{}, a_{};
  std::optional<orvane::Frame::Vector3> faceplate_;
};

}  // namespace orvane::sim::detail::stream_motion
