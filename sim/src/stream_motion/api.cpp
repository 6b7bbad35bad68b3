// The public face of Stream Motion: each call takes the one lock.
#include "orvane/sim/controller_simulator.hpp"

#include "../core.hpp"

namespace orvane::sim {

uint16_t ControllerSimulator::stream_motion_port() const {
  std::lock_guard lk(impl_->m);
  return impl_->stream.bound_port;
}

void ControllerSimulator::inject_stream_fault(StreamFault fault, std::optional<uint32_t> at_sequence) {
  std::lock_guard lk(impl_->m);
  auto& s = impl_->stream;
  if (fault == StreamFault::ForeignStart || fault == StreamFault::SecondStart) {
    s.start_faults.emplace_back(at_sequence, fault);
  } else if (at_sequence) {
    s.command_faults[*at_sequence] = fault;
  } else {
    s.next_command_fault = fault;
  }
}

StreamMotionStatus ControllerSimulator::stream_motion_status() const {
  std::lock_guard lk(impl_->m);
  return impl_->stream_status();
}

std::vector<StreamCommandRecord> ControllerSimulator::stream_commands() const {
  std::lock_guard lk(impl_->m);
  return impl_->stream.records;
}

bool ControllerSimulator::wait_for_stream(const std::function<bool(const StreamMotionStatus&)>& pred,
                                          std::chrono::milliseconds timeout) const {
  std::unique_lock lk(impl_->m);
  return impl_->cv.wait_for(lk, timeout, [&] { return pred(impl_->stream_status()); });
}

std::vector<std::string> ControllerSimulator::alarms() const {
  std::lock_guard lk(impl_->m);
  return {impl_->state.alarms.begin(), impl_->state.alarms.end()};
}

}  // namespace orvane::sim
