// Instructions: motion (joint, linear, circular, spline; absolute and
// relative; Cartesian or joint representation), waits, frame and tool
// selection, payload and program calls. Each handler reads its packet into
// an Instr and resolves the motion's target and path at once. A packet that
// is malformed is refused; a target out of reach or out of the joint limits
// is accepted (it uses up its SequenceID) and carries the alarm it raises
// when it would start, as a controller's motion planner finds it then:
// "MOTN-017 Limit error", "MOTN-018 Position not reachable" or, for a
// Cartesian path through a wrist flip, "MOTN-023 In singularity".
//
// - Joint motions (FRC_JointMotion, FRC_JointRelative and their JRep forms)
//   take SpeedType "mSec" (ms), "Time" (0.1 s) or "Percent"/"%" (1 ... 100 of
//   the joints' maximum speed); Cartesian paths (linear, circular, spline)
//   take "mmSec"/"mm/sec", "InchMin", "mSec" or "Time". Another SpeedType is
//   refused with 2556958, a bad Speed with 2556959. A speed ("Percent" or a
//   TCP speed) leaves the timing to the controller's planner, which
//   accelerates with "ACC" (1 ... 150 % of the arm's acceleration, default
//   100); a time ("mSec", "Time") is kept exactly and "ACC" does not change it.
// - TermType "FINE" takes any TermValue; "CNT" 0 ... 100 and "CR" (corner
//   region, mm) 0 ... 100 blend when above 0. "NoBlend" "ON" (major version
//   5 on) lets a CNT joint or linear motion run without waiting for the next
//   one; it does not change CR, circular or spline motions (the manual names
//   joint and linear motions only, so the others keep the stricter rule),
//   and a value other than "ON" or "OFF" is refused with 2556950.
// - Cartesian targets need a Configuration (refused 2556949 without one);
//   they are in its user frame and tool (UFrameNumber, UToolNumber), else
//   the active ones as they
//   will be when the instruction runs (queued FRC_SetUFrame/SetUTool
//   count). Its posture flags (Front, Up, Flip) pick the joint motion's
//   solution; a Cartesian path follows the arm's current posture.
// - Relative forms add X Y Z to the start position and turn it by W P R,
//   in the user frame; JRep relative forms add the joint angles.
// - A spline point is reached along a straight line (the spline's blending
//   is not modelled).
#include "handlers.hpp"

#include <vector>

namespace orvane::sim::detail::handlers {

namespace {

constexpr double path_step_mm = 1.0;    // Cartesian paths are solved every millimetre ...
constexpr double path_step_deg = 1.0;   // ... and every degree of turn
constexpr std::size_t max_path_points = 4000;
constexpr double max_joint_step_deg = 5.0;  // between two path points: more is a flip through a singularity

enum class Interp { Joint, Linear, Circular, Spline };  // a spline point is reached as a linear one

struct Shape {
  Interp interp;
  bool relative;
  bool joint_rep;  // JointAngle rather than Configuration + Position
};

// The joint position when every queued instruction has run.
Joints planned_end(const Core& core) {
  for (auto it = core.motion.queue.rbegin(); it != core.motion.queue.rend(); ++it)
    if (it->kind == Instr::Kind::Motion) return it->target;
  return core.motion.pos;
}

int planned_frame(const Core& core, Instr::Kind kind, int active) {
  for (auto it = core.motion.queue.rbegin(); it != core.motion.queue.rend(); ++it)
    if (it->kind == kind) return it->number;
  return active;
}

// The first axis (1-based) outside its range, if any.
std::optional<int> axis_beyond_limits(const Core& core, const Joints& target) {
  Joints p = to_planner(target);
  for (std::size_t k = 0; k < core.cfg.joint_limits.size() && k < 9; ++k) {
    double r = p[k] / deg_per_rad;
    const auto& l = core.cfg.joint_limits[k];
    if (r < l.lower - 1e-6 || r > l.upper + 1e-6) return static_cast<int>(k) + 1;  // angles arrive narrowed to single precision
  }
  return std::nullopt;
}

std::string limit_alarm(int axis) { return "MOTN-017 Limit error (G:1, A:" + std::to_string(axis) + ")"; }
const std::string unreachable_alarm = "MOTN-018 Position not reachable";
const std::string singularity_alarm = "MOTN-023 In singularity";

int read_speed(const json& j, Instr& in, bool joint_motion) {
  constexpr double max_acc_percent = 150.0;
  if (j.contains("ACC")) {
    auto acc = number_member(j, "ACC");
    if (!acc || *acc < 1.0 || *acc > max_acc_percent) return error_id::invalid_value;
    in.acc_percent = *acc;
  }
  auto type = string_member(j, "SpeedType");
  if (!type) return error_id::invalid_speed_type;
  const std::string& t = *type;
  bool joint_type = t == "Percent" || t == "%";
  bool cartesian_type = t == "mmSec" || t == "mm/sec" || t == "InchMin";
  bool time_type = t == "mSec" || t == "Time";
  if (!(time_type || (joint_motion ? joint_type : cartesian_type))) return error_id::invalid_speed_type;
  auto speed = number_member(j, "Speed");
  if (!speed || *speed <= 0.0) return error_id::invalid_speed;
  double v = *speed;
  if (t == "mSec") {
    if (v > 3.6e6) return error_id::invalid_speed;
    in.speed_ms = v;
  } else if (t == "Time") {
    if (v > 3.6e4) return error_id::invalid_speed;
    in.speed_ms = v * 100.0;
  } else if (joint_type) {
    if (v < 1.0 || v > 100.0) return error_id::invalid_speed;
    in.speed_percent = v;
    in.planned = true;
  } else {
    in.speed_mm_s = t == "InchMin" ? v * 25.4 / 60.0 : v;
    if (in.speed_mm_s > 1e5) return error_id::invalid_speed;
    in.planned = true;
  }
  return 0;
}

int read_term(const Core& core, const json& j, Instr& in, Interp interp) {
  bool no_blend = false;
  if (j.contains("NoBlend") && core.cfg.major_version >= 5) {
    auto v = string_member(j, "NoBlend");
    if (!v || (*v != "ON" && *v != "OFF")) return error_id::invalid_text_string;
    no_blend = *v == "ON";
  }
  auto term = string_member(j, "TermType");
  if (!term) return error_id::invalid_term_type;
  if (*term == "FINE") return 0;  // stops at the target whatever TermValue says
  if (*term != "CNT" && *term != "CR") return error_id::invalid_term_type;
  auto v = integer_member(j, "TermValue");
  if (!v || *v < 0 || *v > 100) return error_id::invalid_term_value;
  bool runs_alone = no_blend && *term == "CNT" && (interp == Interp::Joint || interp == Interp::Linear);
  in.blend = *v > 0 && !runs_alone;
  return 0;
}

// ---- Cartesian geometry ---------------------------------------------------------

using Vec = orvane::Frame::Vector3;
using Mat = orvane::Frame::Matrix3;

Vec sub(const Vec& a, const Vec& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec add(const Vec& a, const Vec& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec scale(const Vec& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec cross(const Vec& a, const Vec& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double norm(const Vec& a) { return std::sqrt(dot(a, a)); }

// Axis and angle of the rotation a^T b (in a's frame).
std::pair<Vec, double> relative_rotation(const Mat& a, const Mat& b) {
  Mat r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i][j] = a[0][i] * b[0][j] + a[1][i] * b[1][j] + a[2][i] * b[2][j];
  double c = std::clamp((r[0][0] + r[1][1] + r[2][2] - 1.0) / 2.0, -1.0, 1.0);
  double angle = std::acos(c);
  Vec axis{r[2][1] - r[1][2], r[0][2] - r[2][0], r[1][0] - r[0][1]};
  double n = norm(axis);
  if (n > 1e-9) return {scale(axis, 1.0 / n), angle};
  if (angle < 1e-9) return {{0, 0, 1}, 0.0};
  // Half a turn: the axis is the column of R + I with the largest norm.
  Vec best{};
  for (int j = 0; j < 3; ++j) {
    Vec col{r[0][j], r[1][j], r[2][j]};
    col[j] += 1.0;
    if (norm(col) > norm(best)) best = col;
  }
  return {scale(best, 1.0 / norm(best)), angle};
}

// The TCP path as poses at fractions 0 ... 1 (faceplate in World).
struct CartesianPath {
  orvane::Frame start, end;
  std::optional<Vec> via;  // circular: the via point's position
  Vec center{}, u{}, v{};   // circular: centre and the plane's axes
  double radius = 0, sweep = 0;
  double length_mm = 0, turn_deg = 0;
  std::pair<Vec, double> turn;

  orvane::Frame at(double f) const {
    Vec p;
    if (via) {
      double a = sweep * f;
      p = add(center, add(scale(u, radius * std::cos(a)), scale(v, radius * std::sin(a))));
    } else {
      p = add(start.translation(), scale(sub(end.translation(), start.translation()), f));
    }
    orvane::Frame rot = orvane::Frame(start.rotation(), {0, 0, 0}) * orvane::Frame::from_axis_angle(turn.first, turn.second * f);
    return orvane::Frame(rot.rotation(), p);
  }
};

std::optional<CartesianPath> make_path(const orvane::Frame& start, const orvane::Frame& end,
                                       const std::optional<Vec>& via) {
  CartesianPath path;
  path.start = start;
  path.end = end;
  path.turn = relative_rotation(start.rotation(), end.rotation());
  path.turn_deg = path.turn.second * deg_per_rad;
  const Vec& p0 = start.translation();
  const Vec& p2 = end.translation();
  if (!via) {
    path.length_mm = norm(sub(p2, p0)) * 1000.0;
    return path;
  }
  // The circle through p0, p1, p2.
  const Vec& p1 = *via;
  Vec a = sub(p1, p0), b = sub(p2, p0);
  Vec n = cross(a, b);
  double nn = dot(n, n);
  if (nn < 1e-12) return std::nullopt;  // the three points lie on a line
  Vec c = add(p0, scale(add(scale(cross(n, a), dot(b, b)), scale(cross(b, n), dot(a, a))), 0.5 / nn));
  path.via = p1;
  path.center = c;
  path.radius = norm(sub(p0, c));
  path.u = scale(sub(p0, c), 1.0 / path.radius);
  path.v = cross(scale(n, 1.0 / std::sqrt(nn)), path.u);
  auto angle_of = [&](const Vec& p) {
    Vec d = sub(p, c);
    double ang = std::atan2(dot(d, path.v), dot(d, path.u));
    return ang < 0 ? ang + 2 * M_PI : ang;
  };
  path.sweep = angle_of(p2);  // the via point lies between, by the orientation of n
  path.length_mm = path.radius * path.sweep * 1000.0;
  return path;
}

// The joint positions along a path, or the alarm of the first point the arm
// cannot take.
struct SolvedPath {
  std::vector<Joints> points;
  std::optional<std::string> alarm;
};

// Solves the path point by point from the start joints.
SolvedPath solve_path(const Core& core, const CartesianPath& path, const Joints& start) {
  double pieces = std::max({path.length_mm / path_step_mm, path.turn_deg / path_step_deg, 1.0});
  std::size_t n = std::min(max_path_points, static_cast<std::size_t>(std::ceil(pieces)) + 1);
  SolvedPath out{{start}, std::nullopt};
  for (std::size_t i = 1; i < n; ++i) {
    auto q = core.arm->solve(path.at(static_cast<double>(i) / static_cast<double>(n - 1)), out.points.back());
    if (!q) return {{}, unreachable_alarm};
    if (auto axis = axis_beyond_limits(core, *q)) return {{}, limit_alarm(*axis)};
    for (int k = 0; k < 6; ++k)
      if (std::fabs((*q)[k] - out.points.back()[k]) > max_joint_step_deg) return {{}, singularity_alarm};
    out.points.push_back(*q);
  }
  return out;
}

// A Cartesian pose member ("Position" with "Configuration") in its frame and tool.
struct Target {
  Pose pose;
  Configuration configuration;
  int uframe = 0, utool = 0;
  bool has_configuration = false;
};

bool read_target(const Core& core, const json& j, const char* position_key, const char* configuration_key,
                 Target& out) {
  auto p = j.find(position_key);
  if (p == j.end() || !read_pose(*p, out.pose)) return false;
  out.uframe = planned_frame(core, Instr::Kind::SetUFrame, core.state.active_uframe);
  out.utool = planned_frame(core, Instr::Kind::SetUTool, core.state.active_utool);
  // Configuration is a required member of every Cartesian target.
  auto c = j.find(configuration_key);
  if (c == j.end()) return false;
  {
    out.configuration.uframe = out.uframe;
    out.configuration.utool = out.utool;
    if (!read_configuration(core, *c, out.configuration)) return false;
    out.uframe = out.configuration.uframe;
    out.utool = out.configuration.utool;
    out.has_configuration = true;
  }
  return true;
}

Pose offset_pose(const Pose& start, const Pose& offset) {
  orvane::Frame s = to_frame(start);
  orvane::Frame turn = to_frame({0, 0, 0, offset.w, offset.p, offset.r});
  Vec p = add(s.translation(), {offset.x / 1000.0, offset.y / 1000.0, offset.z / 1000.0});
  return to_pose(orvane::Frame((turn * orvane::Frame(s.rotation(), {0, 0, 0})).rotation(), p));
}

// A Cartesian path from `start` to `end` (through `via` on a circle) into
// `in`; false when the three points of a circle lie on a line.
bool follow_path(const Core& core, Instr& in, const Joints& start, const orvane::Frame& end,
                 const std::optional<Vec>& via, const std::optional<Joints>& joint_target) {
  auto path = make_path(core.arm->faceplate(start), end, via);
  if (!path) return false;
  in.cartesian = true;
  in.path_length_mm = path->length_mm;
  // The destination is checked first, as a planner does: out of reach is
  // that, not a flip on the way to the edge of the workspace.
  if (!joint_target && !core.arm->solve(end, start)) {
    in.alarm = unreachable_alarm;
    in.target = start;
    return true;
  }
  SolvedPath solved = solve_path(core, *path, start);
  if (solved.alarm) {
    in.alarm = solved.alarm;
    in.target = joint_target.value_or(start);
    return true;
  }
  if (joint_target) solved.points.back() = *joint_target;
  in.target = solved.points.back();
  in.path = std::move(solved.points);
  return true;
}

int motion(Core& core, const json& j, Instr& in, Shape shape) {
  in.kind = Instr::Kind::Motion;
  const Joints start = planned_end(core);
  if (!shape.joint_rep && !core.arm) return error_id::invalid_value;  // no arm model: no Cartesian targets
  bool joint_interp = shape.interp == Interp::Joint;
  if (int err = read_speed(j, in, joint_interp)) return err;
  if (int err = read_term(core, j, in, shape.interp)) return err;

  if (shape.joint_rep) {
    auto ja = j.find("JointAngle");
    Joints q{};
    if (ja == j.end() || !read_joint_angles(core, *ja, q)) return error_id::invalid_value;
    if (shape.relative)
      for (int k = 0; k < 9; ++k) q[k] += start[k];
    in.target = q;
    if (auto axis = axis_beyond_limits(core, q)) {
      in.alarm = limit_alarm(*axis);
      return 0;
    }
    if (joint_interp) return 0;
    if (!core.arm) return error_id::invalid_value;
    return follow_path(core, in, start, core.arm->faceplate(q), std::nullopt, q) ? 0 : error_id::invalid_value;
  }

  Target target;
  if (!read_target(core, j, "Position", "Configuration", target)) return error_id::invalid_value;
  Pose start_pose = tcp_in(core, start, target.uframe, target.utool);
  Pose end_pose = shape.relative ? offset_pose(start_pose, target.pose) : target.pose;
  orvane::Frame end = faceplate_for(core, end_pose, target.uframe, target.utool);
  if (joint_interp) {
    auto q = core.arm->solve(end, start, target.has_configuration ? &target.configuration : nullptr);
    in.target = q.value_or(start);
    if (!q) in.alarm = unreachable_alarm;
    else if (auto axis = axis_beyond_limits(core, *q)) in.alarm = limit_alarm(*axis);
    return 0;
  }
  std::optional<Vec> via;
  if (shape.interp == Interp::Circular) {
    Target via_target;
    if (!read_target(core, j, "ViaPosition", "ViaConfiguration", via_target)) return error_id::invalid_value;
    Pose via_pose = shape.relative ? offset_pose(start_pose, via_target.pose) : via_target.pose;
    via = faceplate_for(core, via_pose, target.uframe, target.utool).translation();
  }
  return follow_path(core, in, start, end, via, std::nullopt) ? 0 : error_id::invalid_value;
}

template <Interp I, bool Relative, bool JointRep>
int motion_handler(Core& core, const json& j, Instr& in) {
  return motion(core, j, in, {I, Relative, JointRep});
}

int set_payload(Core&, const json& j, Instr& in) {
  auto n = integer_member(j, "ScheduleNumber");
  if (!n || *n < 1 || *n > max_payload_schedule) return error_id::invalid_value;
  in.kind = Instr::Kind::Payload;
  in.number = static_cast<int>(*n);
  return 0;
}

int wait_time(Core&, const json& j, Instr& in) {
  auto t = number_member(j, "Time");
  if (!t || *t < 0.0 || *t > 86400.0) return error_id::invalid_value;
  in.kind = Instr::Kind::WaitTime;
  in.duration_s = *t;
  return 0;
}

int wait_din(Core&, const json& j, Instr& in) {
  auto port = integer_member(j, "PortNumber");
  auto value = string_member(j, "PortValue");
  if (!port || *port < 1 || *port > 32767 || !value) return error_id::invalid_value;  // ports 1 ... 32767
  if (*value != "ON" && *value != "OFF") return error_id::invalid_text_string;
  in.kind = Instr::Kind::WaitDin;
  in.number = static_cast<int>(*port);
  in.input_on = *value == "ON";
  return 0;
}

int set_uframe(Core& core, const json& j, Instr& in) {
  auto n = integer_member(j, "FrameNumber");
  if (!n || *n < 0 || *n > core.state.number_uframe) return error_id::invalid_value;
  in.kind = Instr::Kind::SetUFrame;
  in.number = static_cast<int>(*n);
  return 0;
}

int set_utool(Core& core, const json& j, Instr& in) {
  auto n = integer_member(j, "ToolNumber");
  if (!n || *n < 0 || *n > core.state.number_utool) return error_id::invalid_value;
  in.kind = Instr::Kind::SetUTool;
  in.number = static_cast<int>(*n);
  return 0;
}

int call(Core& core, const json& j, Instr& in) {
  auto name = string_member(j, "ProgramName");
  if (!name) return error_id::invalid_value;
  if (*name == "STREAM_MOTN") {  // comes with Stream Motion: runs until the stream ends it
    in.kind = Instr::Kind::Stream;
    return 0;
  }
  auto it = core.programs.find(*name);
  if (it == core.programs.end()) return error_id::invalid_value;  // no such program on the controller
  in.kind = Instr::Kind::Call;
  in.duration_s = it->second;
  return 0;
}

}  // namespace

void add_instructions(InstructionTable& t) {
  t["FRC_JointMotionJRep"] = motion_handler<Interp::Joint, false, true>;
  t["FRC_JointRelativeJRep"] = motion_handler<Interp::Joint, true, true>;
  t["FRC_LinearMotionJRep"] = motion_handler<Interp::Linear, false, true>;
  t["FRC_LinearRelativeJRep"] = motion_handler<Interp::Linear, true, true>;
  t["FRC_SplineMotionJRep"] = motion_handler<Interp::Spline, false, true>;
  t["FRC_JointMotion"] = motion_handler<Interp::Joint, false, false>;
  t["FRC_JointRelative"] = motion_handler<Interp::Joint, true, false>;
  t["FRC_LinearMotion"] = motion_handler<Interp::Linear, false, false>;
  t["FRC_LinearRelative"] = motion_handler<Interp::Linear, true, false>;
  t["FRC_SplineMotion"] = motion_handler<Interp::Spline, false, false>;
  t["FRC_CircularMotion"] = motion_handler<Interp::Circular, false, false>;
  t["FRC_CircularRelative"] = motion_handler<Interp::Circular, true, false>;
  t["FRC_SetPayLoad"] = set_payload;
  t["FRC_WaitTime"] = wait_time;
  t["FRC_WaitDIN"] = wait_din;
  t["FRC_SetUFrame"] = set_uframe;
  t["FRC_SetUTool"] = set_utool;
  t["FRC_Call"] = call;
}

}  // namespace orvane::sim::detail::handlers
