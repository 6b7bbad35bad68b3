// The simulator's Stream Motion packet handling fed arbitrary datagrams from
// two hosts, with periods passing in between: decoding every packet type,
// sessions, requests, commands (numbering, checks, the buffer), GPIO and
// the period's work, on a fresh controller per input whose STREAM_MOTN
// runs. Nothing may crash, hang or throw out of it; the command buffer
// never holds more than the controller's stack.
//
// Input: records of [op][length, 2 bytes][datagram]: op bit 0 picks the
// sender, op bit 1 lets a period pass before the datagram is handled.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <span>

#include "../sim/src/core.hpp"

namespace {

using orvane::sim::detail::Clock;
using orvane::sim::detail::Instr;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orvane::sim::SimulatorConfig config;
  config.stream_motion_ready_delay = 0.0;
  config.stream_motion_version = 4;
  orvane::sim::detail::Core core(config);
  std::lock_guard lock(core.m);
  // STREAM_MOTN called and running, as after FRC_Initialize and FRC_Call.
  core.state.rmi_running = true;
  Instr program;
  program.kind = Instr::Kind::Stream;
  program.name = "FRC_Call";
  program.seq = 1;
  program.arrived = Clock::now() - std::chrono::seconds(1);
  core.motion.queue.push_back(program);
  core.advance(Clock::now());

  const boost::asio::ip::udp::endpoint hosts[] = {
      {boost::asio::ip::make_address("127.0.0.1"), 40000}, {boost::asio::ip::make_address("127.0.0.2"), 40001}};
  std::size_t at = 0;
  while (at + 3 <= size) {
    uint8_t op = data[at];
    std::size_t length = (std::size_t{data[at + 1]} << 8) | data[at + 2];
    at += 3;
    length = std::min(length, size - at);
    if (op & 2) {
      core.stream.next_tick = Clock::now();
      core.stream_tick();
    }
    core.stream_datagram(std::span<const uint8_t>(data + at, length), hosts[op & 1]);
    if (core.stream.buffer.size() > orvane::sim::detail::stream_packet_stack) std::abort();
    at += length;
  }
  return 0;
}
