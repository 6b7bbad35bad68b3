// Commands about the RMI program's state, the arm's position and speed and
// the alarms: FRC_Initialize, FRC_Abort, FRC_Reset, FRC_Pause,
// FRC_Continue, FRC_GetStatus, FRC_GetExtStatus, FRC_ReadError,
// FRC_ReadJointAngles, FRC_ReadTCPSpeed, FRC_SetOverRide.
//
// - FRC_Abort stops the robot and discards queued instructions (unanswered)
//   at once and answers after abort_duration; meanwhile commands get 2556955
//   and instructions 2556937. With nothing running it answers 2556942.
// - FRC_Reset while the E-stop is pressed answers 2556943; after the release
//   it clears the E-stop alarm (servos ready again), a fault and HOLD; after
//   a motion error (limit, reach) RMI_MOVE stays paused until FRC_Abort.
//   FRC_Initialize with a fault alarm still set answers 2556943.
// - FRC_Initialize takes a "GroupMask" of the configured groups (bit 0, the
//   arm); any other mask is refused with 2556968.
// - FRC_Pause holds the executing instruction where it is (queued ones wait,
//   new ones are still taken); FRC_Continue resumes it. ProgramStatus is 1
//   while held.
#include "handlers.hpp"

namespace orvane::sim::detail::handlers {

namespace {

int64_t time_tag(const Core& core, Clock::time_point t) {
  return (std::chrono::duration_cast<std::chrono::milliseconds>(t - core.net.start_time).count() / 2) % 2147483648LL;
}

// A mask of configured groups, at least one of them.
bool valid_group_mask(int64_t mask) { return mask > 0 && mask < (int64_t{1} << motion_groups); }

int initialize(Core& core, const json& j, ojson& a, bool act) {
  auto gm = integer_member(j, "GroupMask");
  a["GroupMask"] = gm ? *gm : 1;
  if (!act) return 0;
  auto& s = core.state;
  if (j.contains("GroupMask") && (!gm || !valid_group_mask(*gm))) return error_id::invalid_group_mask;
  if (s.tp) return error_id::teach_pendant_enabled;
  if (!s.servo_ready()) return error_id::servo_off;
  if (s.single_step) return error_id::single_step_mode;
  if (s.rmi_running || s.abort_in_progress) return error_id::program_already_exists;
  if (s.fault_alarm) return error_id::invalid_controller_state;
  s.rmi_running = true;
  s.paused = false;
  s.hold = false;
  s.needs_abort = false;
  s.program_status = program_status_running;
  if (s.init_resets_seq) s.next_seq = 1;
  core.motion.t_cursor = Clock::now();
  return 0;
}

void finish_abort(Core& core) {
  auto& s = core.state;
  s.abort_in_progress = false;
  s.rmi_running = false;
  s.paused = false;
  s.hold = false;
  s.needs_abort = false;
  s.program_status = program_status_aborted;
}

int abort(Core& core, const json&, ojson&, bool act) {
  if (!act) return 0;
  if (!core.state.rmi_running) return error_id::command_fail;
  core.halt(Clock::now());
  if (core.cfg.abort_duration <= 0.0) {
    finish_abort(core);
    return 0;
  }
  core.state.abort_in_progress = true;
  core.net.abort_timer->expires_after(seconds(core.cfg.abort_duration));
  core.net.abort_timer->async_wait([&core](const boost::system::error_code& ec) {
    if (ec) return;
    std::lock_guard lk(core.m);
    if (core.net.stopping) return;
    finish_abort(core);
    ojson a = packet(kCommand, "FRC_Abort");
    a["ErrorID"] = 0;
    core.emit(a, true);
  });
  return answer_later;
}

int reset(Core& core, const json&, ojson&, bool act) {
  if (!act) return 0;
  auto& s = core.state;
  if (s.estop) return error_id::invalid_controller_state;  // the E-stop alarm stays while it is pressed
  s.estop_alarm = false;
  s.fault_alarm = false;
  s.hold = false;
  if (s.paused && !s.needs_abort) {  // an instruction RMI_MOVE cannot run stays where it paused it
    s.paused = false;
    if (s.rmi_running) s.program_status = program_status_running;
  }
  core.motion.t_cursor = std::max(core.motion.t_cursor, Clock::now());
  return 0;
}

int pause(Core& core, const json&, ojson&, bool act) {
  if (!act) return 0;
  if (!core.state.rmi_running) return error_id::rmi_not_running;
  core.hold_motion(Clock::now());
  return 0;
}

int resume(Core& core, const json&, ojson&, bool act) {
  if (!act) return 0;
  if (!core.state.rmi_running) return error_id::rmi_not_running;
  core.continue_motion(Clock::now());
  return 0;
}

int get_status(Core& core, const json&, ojson& a, bool) {
  const auto& s = core.state;
  bool held = core.motion.pause_at.has_value();
  a["ServoReady"] = s.servo_ready() ? 1 : 0;
  a["TPMode"] = s.tp ? 1 : 0;
  a["RMIMotionStatus"] = (s.rmi_running && !s.paused && !s.hold && !s.abort_in_progress && !held) ? 1 : 0;
  a["ProgramStatus"] = (held && s.rmi_running) ? program_status_paused : s.program_status;
  a["SingleStepMode"] = s.single_step ? 1 : 0;
  a["NumberUTool"] = s.number_utool;  // how many there are, not the active ones
  a["NumberUFrame"] = s.number_uframe;
  a["NextSequenceID"] = s.next_seq;
  a["Override"] = s.override_percent;
  return 0;
}

int get_ext_status(Core& core, const json&, ojson& a, bool) {
  const auto& s = core.state;
  a["InMotion"] = core.motion.moving() ? 1 : 0;
  a["DrivesPowered"] = s.servo_ready() ? 1 : 0;
  a["GenOverride"] = s.override_percent;
  return 0;
}

int read_error(Core& core, const json& j, ojson& a, bool act) {
  auto count = j.contains("Count") ? integer_member(j, "Count") : std::optional<int64_t>(1);
  bool ok = count && *count >= 1 && *count <= 5;
  int n = ok ? static_cast<int>(*count) : 1;
  a["Count"] = n;
  const auto& alarms = core.state.alarms;
  for (int i = 0; i < n; ++i) {
    std::string key = i == 0 ? "ErrorData" : "ErrorData" + std::to_string(i + 1);
    a[key] = i < static_cast<int>(alarms.size()) ? alarms[i] : std::string("No Error");
  }
  return (act && !ok) ? error_id::invalid_value : 0;
}

int read_joint_angles(Core& core, const json&, ojson& a, bool) {
  auto now = Clock::now();
  a["TimeTag"] = time_tag(core, now);
  a["JointAngle"] = joints_json(core.measured_now());
  a["Group"] = 1;
  return 0;
}

int read_tcp_speed(Core& core, const json&, ojson& a, bool) {
  a["TimeTag"] = time_tag(core, Clock::now());
  a["Speed"] = core.motion.moving() || core.motion.servo_lag > 0.0 ? core.motion.tcp_speed_mm_s : 0.0;
  return 0;
}

int set_override(Core& core, const json& j, ojson&, bool act) {
  if (!act) return 0;
  auto v = integer_member(j, "Value");
  if (!v || *v < 1 || *v > 100) return error_id::invalid_value;
  core.state.override_percent = static_cast<int>(*v);
  return 0;
}

}  // namespace

void add_status_commands(CommandTable& t) {
  t["FRC_Initialize"] = {initialize, false};
  t["FRC_Abort"] = {abort, false};
  t["FRC_Reset"] = {reset, false};
  t["FRC_Pause"] = {pause, false};
  t["FRC_Continue"] = {resume, false};
  t["FRC_GetStatus"] = {get_status, false};
  t["FRC_GetExtStatus"] = {get_ext_status, true};
  t["FRC_ReadError"] = {read_error, false};
  t["FRC_ReadJointAngles"] = {read_joint_angles, false, true};
  t["FRC_ReadTCPSpeed"] = {read_tcp_speed, false};
  t["FRC_SetOverRide"] = {set_override, false};
}

}  // namespace orvane::sim::detail::handlers
