// The simulator behind ControllerSimulator: one object that owns the rooms
// (network, answer path, controller state, motion executor, faults, records)
// and the one lock over them. Its member functions are spread over the
// rooms' files: session.cpp (TCP, framing, answers), dispatcher.cpp (packet
// routing), handlers/*.cpp (one packet family each), motion_executor.cpp,
// faults.cpp.
//
// Threads: one io thread runs every socket, timer and the interpolation
// clock; public API calls come from any thread. Both take `m`.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "arm_model.hpp"
#include "common.hpp"
#include "controller_state.hpp"
#include "motion_executor.hpp"
#include "orvane/sim/controller_simulator.hpp"
#include "records.hpp"
#include "session.hpp"
#include "stream_motion/stream_state.hpp"

namespace orvane::sim::detail {

inline constexpr std::size_t max_unanswered_instructions = 8;

// One-shot faults armed through the API.
struct Faults {
  std::map<int, int> refusals;  // SequenceID -> ErrorID
  std::set<int> fault_seqs;     // motion fault when this instruction starts
};

struct Core {
  explicit Core(SimulatorConfig c);

  SimulatorConfig cfg;
  // The one lock: guards every member below. Taken by every io-thread
  // handler and every public call; nothing else is locked while it is held
  // (the line observer runs under it and must not call back).
  mutable std::mutex m;
  mutable std::condition_variable cv;  // records, sessions and the queue changed

  Network net;
  AnswerPath out;
  ControllerState state;
  MotionExecutor motion;
  Faults faults;
  Records records;
  StreamMotion stream;
  std::unique_ptr<ArmModel> arm;  // empty without a robot model (--robot none)
  std::map<std::string, double> programs;  // FRC_Call: name -> run time (s)
  std::optional<std::pair<Clock::time_point, orvane::Frame::Vector3>> last_tcp;  // for the TCP speed

  // ---- session.cpp ---------------------------------------------------------
  bool on_io_thread() const { return std::this_thread::get_id() == net.io_thread_id; }
  template <class Fn>
  void on_io(Fn fn);  // runs fn on the io thread with `m` held (at once from it)
  std::string format(const ojson& p);
  void record(const std::string& channel, const std::string& line);
  void enqueue(const std::shared_ptr<DataSession>& s, OutItem item);
  void send_line(const std::string& text, bool is_answer, bool close_after);
  void do_write(const std::shared_ptr<DataSession>& s);
  void emit(const ojson& p, bool command_answer, bool close_after = false);
  void release_answers();
  void push(const ojson& p, bool close_after = false);
  bool command_pending() const;
  static bool peer_alive(const std::shared_ptr<DataSession>& s);
  void close_session(const std::shared_ptr<DataSession>& s, bool abrupt);
  void client_gone();
  void close_control(const std::shared_ptr<ControlConn>& c, bool abrupt);
  void accept_control();
  template <class Fn>
  void retry_accept(Fn fn);
  void read_control(const std::shared_ptr<ControlConn>& c);
  void handle_control_line(const std::shared_ptr<ControlConn>& c, const std::string& line);
  void accept_data();
  void arm_idle(const std::shared_ptr<DataSession>& s);
  void terminate(const std::shared_ptr<DataSession>& s);
  void read_data(const std::shared_ptr<DataSession>& s);
  std::unique_ptr<tcp::acceptor> open_acceptor(const asio::ip::address& addr, uint16_t port);
  void start();
  void stop();

  // ---- dispatcher.cpp ------------------------------------------------------
  void handle_data_line(const std::string& line);
  void unknown(const std::string& kind, int err, std::optional<int> seq = {});

  // ---- motion_executor.cpp -------------------------------------------------
  void advance(Clock::time_point t);
  void schedule_tick();
  void on_tick();
  void halt(Clock::time_point t);
  void hold_motion(Clock::time_point t);      // FRC_Pause
  void continue_motion(Clock::time_point t);  // FRC_Continue
  MotionTiming motion_time(const Instr& in, const Joints& from);
  void answer_instruction(const Instr& in);
  Joints measured_now();

  void finish_stream_program(Clock::time_point t);  // STREAM_MOTN ends: its FRC_Call is answered

  // ---- faults.cpp ----------------------------------------------------------
  // resumable: FRC_Reset lets RMI_MOVE run on; else it needs FRC_Abort.
  void motion_fault(std::optional<int> seq, std::string alarm, bool resumable = true);  // alarm by value: it may live in the queue it clears

  // ---- stream_motion/endpoint.cpp -------------------------------------------
  void stream_open(const asio::ip::address& addr);  // binds the UDP port (from start())
  void stream_close();
  void stream_wait_read();
  void stream_drain();
  void stream_send(std::span<const uint8_t> bytes, const udp::endpoint& to);
  void stream_schedule_tick();

  // ---- stream_motion/session.cpp --------------------------------------------
  void stream_datagram(std::span<const uint8_t> bytes, const udp::endpoint& from, bool delayed = false);
  bool stream_program_running() const;  // STREAM_MOTN executes: the stream drives the arm
  bool stream_ready(Clock::time_point t) const;  // status bit 0, before the E-stop stages
  void stream_program_started(Clock::time_point t);
  void stream_alarm(const std::string& text);
  void stream_estop(bool pressed);
  stream_motion::CheckContext stream_check_context() const;
  stream_motion::CheckResult stream_injected_breach(StreamFault fault, const stream_motion::CheckContext& ctx) const;

  // ---- stream_motion/period.cpp ---------------------------------------------
  void stream_tick();
  void stream_follow(Clock::time_point t);  // one period of the streamed motion
  void stream_send_status(Clock::time_point t, const Joints& measured);
  StreamMotionStatus stream_status() const;
};

template <class Fn>
void Core::on_io(Fn fn) {
  if (!net.io || !net.running) return;
  if (on_io_thread()) {
    fn();
    return;
  }
  asio::post(*net.io, [this, fn = std::move(fn)]() mutable {
    std::lock_guard lk(m);
    if (net.stopping) return;
    fn();
  });
}

template <class Fn>
void Core::retry_accept(Fn fn) {  // e.g. out of descriptors: try again shortly, without spinning
  auto t = std::make_shared<asio::steady_timer>(*net.io, std::chrono::milliseconds(50));
  t->async_wait([this, t, fn](const boost::system::error_code& ec) {
    if (ec) return;
    std::lock_guard lk(m);
    if (!net.stopping) fn();
  });
}

}  // namespace orvane::sim::detail
