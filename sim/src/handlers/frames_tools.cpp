// User frames and tools, the active UFrame/UTool and the Cartesian position:
// FRC_SetUFrameUTool, FRC_GetUFrameUTool, FRC_ReadUFrameData,
// FRC_WriteUFrameData, FRC_ReadUToolData, FRC_WriteUToolData,
// FRC_ReadCartesianPosition; and the packet shapes they share with the
// register and motion packets.
//
// UFRAME[0] is the World frame and UTOOL[0] the faceplate: both can be
// chosen, neither written. Frames 1 ... NumberUFrame and tools 1 ...
// NumberUTool exist (9 and 10 unless configured). The Cartesian position is
// the measured joints' TCP through the arm model, in the active user frame
// with the active tool.
//
// Frame and tool data are not written while a motion instruction is
// accepted and unfinished (2556943): the manual refuses the frame write
// while the arm moves; the tool write is refused alike, and "while it
// moves" is read strictly, from acceptance on, since a queued motion was
// planned with the data it would change (the error ID is not documented).
#include "handlers.hpp"

namespace orvane::sim::detail::handlers {

// ---- shared shapes -----------------------------------------------------------------

bool read_pose(const json& j, Pose& out) {
  if (!j.is_object()) return false;
  double* fields[] = {&out.x, &out.y, &out.z, &out.w, &out.p, &out.r};
  const char* names[] = {"X", "Y", "Z", "W", "P", "R"};
  for (int i = 0; i < 6; ++i) {
    auto v = number_member(j, names[i]);
    if (!v || std::fabs(*v) > 1e7) return false;
    *fields[i] = *v;
  }
  return true;
}

bool read_configuration(const Core& core, const json& j, Configuration& out) {
  if (!j.is_object()) return false;
  int* fields[] = {&out.utool, &out.uframe, &out.front, &out.up, &out.left, &out.flip,
                   &out.turn4, &out.turn5, &out.turn6};
  const char* names[] = {"UToolNumber", "UFrameNumber", "Front", "Up", "Left", "Flip", "Turn4", "Turn5", "Turn6"};
  for (int i = 0; i < 9; ++i) {
    if (!j.contains(names[i])) continue;  // a missing flag keeps its default
    auto v = integer_member(j, names[i]);
    if (!v || std::llabs(*v) > 100) return false;
    *fields[i] = static_cast<int>(*v);
  }
  return out.utool >= 0 && out.utool <= core.state.number_utool && out.uframe >= 0 &&
         out.uframe <= core.state.number_uframe;
}

bool read_joint_angles(const Core& core, const json& j, Joints& out) {
  if (!j.is_object()) return false;
  for (int k = 0; k < 9; ++k) {
    auto it = j.find("J" + std::to_string(k + 1));
    if (it == j.end()) {
      if (k < 6) return false;
      out[k] = 0.0;  // clients that know six axes send J1 ... J6 only
      continue;
    }
    if (!it->is_number()) return false;
    double d = it->get<double>();
    if (!std::isfinite(d) || std::fabs(d) > 1e6) return false;
    // A joint the robot does not have must be 0.
    const auto& limits = core.cfg.joint_limits;
    if (!limits.empty() && k >= static_cast<int>(limits.size()) && std::fabs(d) > 1e-6) return false;
    out[k] = d;
  }
  return true;
}

ojson pose_json(const Pose& p) {
  ojson o = ojson::object();
  o["X"] = p.x;
  o["Y"] = p.y;
  o["Z"] = p.z;
  o["W"] = p.w;
  o["P"] = p.p;
  o["R"] = p.r;
  return o;
}

ojson position_json(const Pose& p, const std::array<double, 3>& ext) {
  ojson o = pose_json(p);
  for (int e = 0; e < 3; ++e) o["Ext" + std::to_string(e + 1)] = ext[e];
  return o;
}

ojson configuration_json(const Configuration& c) {
  ojson o = ojson::object();
  o["UToolNumber"] = c.utool;
  o["UFrameNumber"] = c.uframe;
  o["Front"] = c.front;
  o["Up"] = c.up;
  o["Left"] = c.left;
  o["Flip"] = c.flip;
  o["Turn4"] = c.turn4;
  o["Turn5"] = c.turn5;
  o["Turn6"] = c.turn6;
  return o;
}

ojson joints_json(const Joints& q) {
  ojson o = ojson::object();
  // Three decimals, as the controller reports them (both answer formats).
  for (int k = 0; k < 9; ++k) o["J" + std::to_string(k + 1)] = std::stod(format_controller_float(q[k]));
  return o;
}

Pose tcp_in(const Core& core, const Joints& joints, int uframe, int utool) {
  orvane::Frame tcp = core.arm->faceplate(joints) * to_frame(core.state.utools[utool]);
  return to_pose(to_frame(core.state.uframes[uframe]).inverse() * tcp);
}

orvane::Frame faceplate_for(const Core& core, const Pose& tcp, int uframe, int utool) {
  return to_frame(core.state.uframes[uframe]) * to_frame(tcp) * to_frame(core.state.utools[utool]).inverse();
}

namespace {

std::optional<int> number_in(const json& j, const char* key, int lower, int upper) {
  auto n = integer_member(j, key);
  if (!n || *n < lower || *n > upper) return std::nullopt;
  return static_cast<int>(*n);
}

int set_uframe_utool(Core& core, const json& j, ojson&, bool act) {
  if (!act) return 0;
  auto f = number_in(j, "UFrameNumber", 0, core.state.number_uframe);
  auto t = number_in(j, "UToolNumber", 0, core.state.number_utool);
  if (!f || !t) return error_id::invalid_value;
  core.state.active_uframe = *f;
  core.state.active_utool = *t;
  return 0;
}

int get_uframe_utool(Core& core, const json&, ojson& a, bool) {
  a["UFrameNumber"] = core.state.active_uframe;
  a["UToolNumber"] = core.state.active_utool;
  a["Group"] = 1;
  return 0;
}

int read_uframe(Core& core, const json& j, ojson& a, bool act) {
  auto n = number_in(j, "FrameNumber", 0, core.state.number_uframe);
  a["FrameNumber"] = n.value_or(0);
  a["Frame"] = pose_json(n ? core.state.uframes[*n] : Pose{});
  a["Group"] = 1;
  return (act && !n) ? error_id::invalid_value : 0;
}

int write_uframe(Core& core, const json& j, ojson& a, bool act) {
  auto n = number_in(j, "FrameNumber", 1, core.state.number_uframe);
  a["FrameNumber"] = n.value_or(0);
  if (!act) return 0;
  if (core.motion.motion_unfinished()) return error_id::invalid_controller_state;
  Pose p;
  auto f = j.find("Frame");
  if (!n || f == j.end() || !read_pose(*f, p)) return error_id::invalid_value;
  core.state.uframes[*n] = p;
  return 0;
}

int read_utool(Core& core, const json& j, ojson& a, bool act) {
  auto n = number_in(j, "ToolNumber", 0, core.state.number_utool);
  a["ToolNumber"] = n.value_or(0);
  a["Frame"] = pose_json(n ? core.state.utools[*n] : Pose{});
  Configuration c;
  c.utool = n.value_or(0);
  c.uframe = core.state.active_uframe;
  a["Configuration"] = configuration_json(c);
  a["Group"] = 1;
  return (act && !n) ? error_id::invalid_value : 0;
}

int write_utool(Core& core, const json& j, ojson& a, bool act) {
  auto n = number_in(j, "ToolNumber", 1, core.state.number_utool);
  a["ToolNumber"] = n.value_or(0);
  if (!act) return 0;
  if (core.motion.motion_unfinished()) return error_id::invalid_controller_state;
  Pose p;
  auto f = j.find("Frame");
  if (!n || f == j.end() || !read_pose(*f, p)) return error_id::invalid_value;
  core.state.utools[*n] = p;
  return 0;
}

int read_cartesian(Core& core, const json&, ojson& a, bool act) {
  auto now = Clock::now();
  a["TimeTag"] = (std::chrono::duration_cast<std::chrono::milliseconds>(now - core.net.start_time).count() / 2) %
                 2147483648LL;
  Configuration c;
  Pose p;
  if (core.arm) {
    Joints q = core.measured_now();
    c = core.arm->posture(q);
    p = tcp_in(core, q, core.state.active_uframe, core.state.active_utool);
  }
  c.uframe = core.state.active_uframe;
  c.utool = core.state.active_utool;
  a["Configuration"] = configuration_json(c);
  a["Position"] = position_json(p, {});
  a["Group"] = 1;
  return (act && !core.arm) ? error_id::command_fail : 0;  // no arm model: no Cartesian position
}

}  // namespace

void add_frame_tool_commands(CommandTable& t) {
  t["FRC_SetUFrameUTool"] = {set_uframe_utool, false, true};
  t["FRC_GetUFrameUTool"] = {get_uframe_utool, false, true};
  t["FRC_ReadUFrameData"] = {read_uframe, false, true};
  t["FRC_WriteUFrameData"] = {write_uframe, false, true};
  t["FRC_ReadUToolData"] = {read_utool, false, true};
  t["FRC_WriteUToolData"] = {write_utool, false, true};
  t["FRC_ReadCartesianPosition"] = {read_cartesian, false, true};
}

}  // namespace orvane::sim::detail::handlers
