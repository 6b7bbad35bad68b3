// Motion faults, injected or found: the robot stops where it is, RMI_MOVE
// pauses, queued instructions are discarded without answers,
// "FRC_SystemFault" names the instruction and the alarm goes to the history.
// A motion error of the instruction itself (a limit, a position out of
// reach) cannot be resumed: RMI_MOVE waits for FRC_Abort.
#include "core.hpp"

namespace orvane::sim::detail {

void Core::motion_fault(std::optional<int> seq, std::string alarm, bool resumable) {
  int id = seq ? *seq : (!motion.queue.empty() ? motion.queue.front().seq : std::max(0, state.next_seq - 1));
  halt(Clock::now());
  state.fault_alarm = true;
  state.raise_alarm(std::move(alarm));
  if (state.rmi_running) {
    state.paused = true;
    state.program_status = program_status_paused;
    if (!resumable) state.needs_abort = true;
  }
  ojson p = packet(kCommunication, "FRC_SystemFault");
  p["SequenceID"] = id;
  // Behind the answers already on their way: the controller answered the instruction it
  // finished before the next one faulted, and a client must see them in that order. The
  // answers' timer, armed while they wait, sends it with the last of them (this may run off
  // the io thread, which alone arms that timer).
  if (!out.queue.empty() && !out.withheld) {
    out.queue.push_back({out.queue.back().due, format(p), false, false});
  } else {
    push(p);
  }
  cv.notify_all();
}

}  // namespace orvane::sim::detail
