#include "orvane/sim/controller_simulator.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include <sys/socket.h>
#include <sys/types.h>

#include <boost/asio.hpp>
#include <nlohmann/json.hpp>

#include "orvane/sim/wire_format.hpp"

namespace orvane::sim {

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using json = nlohmann::json;
using ojson = nlohmann::ordered_json;
using Joints = std::array<double, 9>;

constexpr std::size_t max_line_bytes = 1 << 20;          // unfinished line before the peer is dropped
constexpr std::size_t max_outbound_bytes = 4 << 20;      // unsent output before the peer is dropped
constexpr std::size_t max_recorded_lines = 1'000'000;
constexpr std::size_t max_recorded_line_length = 100'000;
constexpr std::size_t max_recorded_bytes = 64 << 20;    // beyond it, recorded lines are cut short
constexpr std::size_t max_recorded_short_line = 256;
constexpr std::size_t max_path_samples = 500'000;         // over an hour of motion at 8 ms
constexpr std::size_t max_held_answers = 65'536;           // answers kept back before the peer is dropped
constexpr std::size_t max_slow_downs = 1'000'000;
constexpr std::size_t max_unanswered_instructions = 8;
constexpr int max_json_depth = 64;
constexpr double deg_per_rad = 57.29577951308232;
constexpr double limit_tolerance_rad = 1e-6;  // angles arrive narrowed to single precision
// Single-precision angles make the velocity of a short step noisy by up to
// about 1e-4 relative; a stream planned at the limit must not count as slowed.
constexpr double velocity_tolerance = 1e-3;
constexpr auto control_answer_deadline = std::chrono::seconds(10);
constexpr auto terminate_grace = std::chrono::seconds(2);

const std::string kCommand = "Command";
const std::string kInstruction = "Instruction";
const std::string kCommunication = "Communication";

ojson packet(const std::string& kind, const std::string& name) {
  ojson p = ojson::object();
  p[kind] = name;
  return p;
}

// Nesting depth is checked before parsing so that a hostile line cannot make
// the parser or the destructor of the parsed value run out of stack.
bool nesting_ok(const std::string& s) {
  int depth = 0;
  bool in_string = false, escaped = false;
  for (char c : s) {
    if (in_string) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_json_depth) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

bool is_blank(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

// A controller's I/O ports are numbered from 1; none lies beyond 32767.
bool is_io_port(int64_t port) { return port >= 1 && port <= 32767; }

std::optional<int64_t> integer_member(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end()) return std::nullopt;
  if (it->is_number_unsigned()) {
    auto v = it->get<uint64_t>();
    if (v > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<int64_t>(v);
  }
  if (it->is_number_integer()) return it->get<int64_t>();
  if (it->is_number_float()) {
    double d = it->get<double>();
    if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9e15) return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

Joints to_planner(const Joints& c) {
  Joints p = c;
  p[2] = c[2] + c[1];
  return p;
}

// The value as the controller reports it (three decimals, four significant
// digits for tiny values), so that both answer formats carry the same number.
double reported(double v) {
  std::string s = format_controller_float(v);
  return std::strtod(s.c_str(), nullptr);
}

std::string csv_quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += "\"\"";
    else out += c;
  }
  out += '"';
  return out;
}

}  // namespace

struct ControllerSimulator::Impl {
  struct OutItem {
    std::string bytes;
    double pause_before = 0.0;
    bool close_after = false;
  };

  struct DataSession {
    explicit DataSession(asio::io_context& io) : socket(io), idle_timer(io), pause_timer(io) {}
    tcp::socket socket;
    asio::steady_timer idle_timer, pause_timer;
    LineBuffer lines{max_line_bytes};
    std::array<char, 65536> rbuf{};
    std::deque<OutItem> outq;
    std::size_t out_bytes = 0;
    bool writing = false;
    bool closed = false;
    bool stop_reading = false;
    bool terminating = false;
    Clock::time_point last_packet;
  };

  struct ControlConn {
    explicit ControlConn(tcp::socket s, asio::io_context& io) : socket(std::move(s)), timer(io) {}
    tcp::socket socket;
    asio::steady_timer timer;
    LineBuffer lines{max_line_bytes};
    std::array<char, 4096> rbuf{};
    std::string out;
    bool answered = false;
    bool closed = false;
  };

  struct Answer {
    Clock::time_point due;
    std::string line;
    bool command = false;
    bool close_after = false;
  };

  struct Instr {
    int seq = 0;
    bool payload = false;
    int schedule = 0;
    Joints target{};
    double speed_ms = 0.0;         // motion time asked for ("mSec", "Time")
    double speed_percent = 0.0;    // > 0: "Percent" of the joints' maximum speed instead
    bool blend = false;
    Clock::time_point arrived;
  };

  struct Deviation {
    JointDeviation spec;
    bool active = false;
    Clock::time_point since;
    double frozen = 0.0;  // a blocked joint's measured value
  };

  explicit Impl(SimulatorConfig c) : cfg(std::move(c)), rng(cfg.random_seed) {
    compact = cfg.compact_answers;
    init_resets_seq = cfg.initialize_resets_sequence_id;
    pos = cfg.initial_position_deg;
    servo_lag = std::max(0.0, cfg.servo_lag);
    start_time = Clock::now();
    t_cursor = start_time;
  }

  // ---- configuration and io ------------------------------------------------
  SimulatorConfig cfg;
  mutable std::mutex m;
  mutable std::condition_variable cv;
  std::unique_ptr<asio::io_context> io;
  std::thread thread;
  std::thread::id io_thread_id;
  std::unique_ptr<tcp::acceptor> control_acc, data_acc;
  std::unique_ptr<asio::steady_timer> tick_timer, delay_timer, abort_timer, retry_timer;
  std::shared_ptr<DataSession> session;
  std::set<std::shared_ptr<ControlConn>> controls;
  uint16_t bound_data_port = 0, bound_control_port = 0;
  bool running = false;
  bool stopping = false;
  Clock::time_point start_time;
  Clock::time_point next_tick;
  std::mt19937 rng;
  std::function<void(const std::string&, bool, const std::string&)> observer;

  // ---- answer path ---------------------------------------------------------
  std::deque<Answer> answers;
  bool withheld = false;
  double answer_delay = 0.0;
  bool compact = false;
  std::optional<std::pair<std::size_t, double>> split_next;
  std::optional<std::pair<std::size_t, double>> split_every;

  // ---- controller state ----------------------------------------------------
  bool servo_power = true, tp = false, single_step = false, estop = false, estop_alarm = false;
  bool fault_alarm = false, hold = false, paused = false, rmi_running = false, abort_in_progress = false;
  bool init_resets_seq = true;
  int program_status = program_status_none;
  int next_seq = 1;
  int override_percent = 100;
  int payload_schedule = 0;
  int group_mask = 1;
  std::map<uint64_t, bool> din, dout;
  std::map<int, int> refusals;
  std::set<int> fault_seqs;

  // ---- motion --------------------------------------------------------------
  std::deque<Instr> queue;  // accepted and unanswered; the front one executes
  bool executing = false;
  Joints pos{};             // controller convention, degrees
  Joints seg_from{};
  Clock::time_point seg_start, t_cursor;
  double seg_dur = 0.0;
  bool was_active = false;
  std::optional<Clock::time_point> first_motion;
  std::optional<Clock::time_point> run_start;  // the executor left rest here; reset at rest

  // ---- measured position ----------------------------------------------------
  double servo_lag = 0.0;
  std::deque<std::pair<Clock::time_point, Joints>> commanded_history;  // one per tick, servo_lag long
  std::vector<Deviation> deviations;

  // ---- records -------------------------------------------------------------
  std::vector<ReceivedLine> received;
  std::size_t recorded_bytes = 0;
  std::vector<PathSample> path;
  std::vector<SlowDown> slows;
  size_t data_connections = 0;

  // ===========================================================================
  bool on_io_thread() const { return std::this_thread::get_id() == io_thread_id; }

  // Runs `fn` on the io thread with the mutex held. Called with the mutex
  // held; from the io thread it runs at once.
  template <class Fn>
  void on_io(Fn fn) {
    if (!io || !running) return;
    if (on_io_thread()) {
      fn();
      return;
    }
    asio::post(*io, [this, fn = std::move(fn)]() mutable {
      std::lock_guard lk(m);
      if (stopping) return;
      fn();
    });
  }

  std::string format(const ojson& p) {
    return compact ? format_compact(p) : format_controller_style(p, rng);
  }

  void record(const std::string& channel, const std::string& line) {
    if (observer) observer(channel, true, line);
    if (received.size() >= max_recorded_lines) return;
    std::size_t keep = recorded_bytes > max_recorded_bytes ? max_recorded_short_line : max_recorded_line_length;
    received.push_back({Clock::now(), channel, line.size() > keep ? line.substr(0, keep) : line});
    recorded_bytes += received.back().line.size();
    cv.notify_all();
  }

  // ---- writing -----------------------------------------------------------
  void enqueue(const std::shared_ptr<DataSession>& s, OutItem item) {
    if (!s || s->closed) return;
    s->out_bytes += item.bytes.size();
    s->outq.push_back(std::move(item));
    if (s->out_bytes > max_outbound_bytes) {  // the peer does not read: give up on it
      auto sp = s;
      on_io([this, sp] { close_session(sp, true); });
      return;
    }
    auto sp = s;
    on_io([this, sp] { do_write(sp); });
  }

  // One line to the data client; answers may be cut in two writes.
  void send_line(const std::string& text, bool is_answer, bool close_after) {
    if (!session) return;
    if (observer) observer("data", false, text);
    std::string bytes = text + "\r\n";
    std::optional<std::pair<std::size_t, double>> split;
    if (is_answer) {
      if (split_next) {
        split = split_next;
        split_next.reset();
      } else if (split_every) {
        split = split_every;
      }
    }
    if (split && split->first > 0 && split->first < bytes.size()) {
      enqueue(session, {bytes.substr(0, split->first), 0.0, false});
      enqueue(session, {bytes.substr(split->first), split->second, close_after});
    } else {
      enqueue(session, {std::move(bytes), 0.0, close_after});
    }
  }

  void do_write(const std::shared_ptr<DataSession>& s) {
    if (s->writing || s->closed || s->outq.empty()) return;
    OutItem& item = s->outq.front();
    s->writing = true;
    if (item.pause_before > 0.0) {
      s->pause_timer.expires_after(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(item.pause_before)));
      s->pause_timer.async_wait([this, s](const boost::system::error_code& ec) {
        std::lock_guard lk(m);
        if (stopping || s->closed) return;
        s->writing = false;
        if (ec) return;
        s->outq.front().pause_before = 0.0;
        do_write(s);
      });
      return;
    }
    asio::async_write(s->socket, asio::buffer(item.bytes),
                      [this, s](const boost::system::error_code& ec, std::size_t) {
                        std::lock_guard lk(m);
                        if (stopping || s->closed) return;
                        s->writing = false;
                        if (ec) {
                          close_session(s, false);
                          return;
                        }
                        bool close_after = s->outq.front().close_after;
                        s->out_bytes -= s->outq.front().bytes.size();
                        s->outq.pop_front();
                        if (close_after) {
                          close_session(s, false);
                          return;
                        }
                        do_write(s);
                      });
  }

  // An answer goes through the delay and the withholding, in order.
  void emit(const ojson& p, bool command_answer, bool close_after = false) {
    if (!session) return;
    auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(answer_delay));
    if (!answers.empty()) due = std::max(due, answers.back().due);
    answers.push_back({due, format(p), command_answer, close_after});
    if (answers.size() > max_held_answers) {  // a flood while answers are held back
      close_session(session, true);
      return;
    }
    release_answers();
  }

  void release_answers() {  // io thread only (it arms a timer)
    auto now = Clock::now();
    while (!answers.empty() && !withheld && answers.front().due <= now) {
      Answer a = std::move(answers.front());
      answers.pop_front();
      send_line(a.line, true, a.close_after);
    }
    if (!answers.empty() && !withheld && delay_timer) {
      delay_timer->expires_at(answers.front().due);
      delay_timer->async_wait([this](const boost::system::error_code& ec) {
        if (ec) return;
        std::lock_guard lk(m);
        if (stopping) return;
        release_answers();
      });
    }
    cv.notify_all();
  }

  // A packet the controller pushes on its own: no delay, not withheld.
  void push(const ojson& p, bool close_after = false) { send_line(format(p), false, close_after); }

  bool command_pending() const {
    if (abort_in_progress) return true;
    return std::any_of(answers.begin(), answers.end(), [](const Answer& a) { return a.command; });
  }

  // ---- connections ---------------------------------------------------------
  static bool peer_alive(const std::shared_ptr<DataSession>& s) {
    if (!s || s->closed || !s->socket.is_open()) return false;
    char b;
    ssize_t r = ::recv(s->socket.native_handle(), &b, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r == 0) return false;
    if (r < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    return true;
  }

  void close_session(const std::shared_ptr<DataSession>& s, bool abrupt) {
    if (!s || s->closed) return;
    s->closed = true;
    boost::system::error_code ec;
    if (abrupt) s->socket.set_option(asio::socket_base::linger(true, 0), ec);
    else s->socket.shutdown(tcp::socket::shutdown_both, ec);
    s->socket.close(ec);
    s->idle_timer.cancel();
    s->pause_timer.cancel();
    if (session == s) {
      session.reset();
      client_gone();
    }
    cv.notify_all();
  }

  // The data client is gone: its queued motion and answers go with it; the
  // RMI_MOVE program stays selected (a later FRC_Initialize needs an abort).
  void client_gone() {
    halt(Clock::now());
    answers.clear();
  }

  void close_control(const std::shared_ptr<ControlConn>& c, bool abrupt) {
    if (c->closed) return;
    c->closed = true;
    boost::system::error_code ec;
    if (abrupt) c->socket.set_option(asio::socket_base::linger(true, 0), ec);
    else c->socket.shutdown(tcp::socket::shutdown_both, ec);
    c->socket.close(ec);
    c->timer.cancel();
    controls.erase(c);
  }

  void accept_control() {
    control_acc->async_accept([this](const boost::system::error_code& ec, tcp::socket sock) {
      std::lock_guard lk(m);
      if (stopping) return;
      if (ec) {
        if (ec != asio::error::operation_aborted) retry_accept([this] { accept_control(); });
        return;
      }
      auto c = std::make_shared<ControlConn>(std::move(sock), *io);
      controls.insert(c);
      c->timer.expires_after(control_answer_deadline);
      c->timer.async_wait([this, c](const boost::system::error_code& e) {
        if (e) return;
        std::lock_guard lk2(m);
        if (!stopping && !c->answered) close_control(c, false);
      });
      read_control(c);
      accept_control();
    });
  }

  template <class Fn>
  void retry_accept(Fn fn) {  // e.g. out of descriptors: try again shortly, without spinning
    auto t = std::make_shared<asio::steady_timer>(*io, std::chrono::milliseconds(50));
    t->async_wait([this, t, fn](const boost::system::error_code& ec) {
      if (ec) return;
      std::lock_guard lk(m);
      if (!stopping) fn();
    });
  }

  void read_control(const std::shared_ptr<ControlConn>& c) {
    c->socket.async_read_some(asio::buffer(c->rbuf), [this, c](const boost::system::error_code& ec, std::size_t n) {
      std::lock_guard lk(m);
      if (stopping || c->closed) return;
      if (ec) {
        close_control(c, false);
        return;
      }
      std::vector<std::string> lines;
      c->lines.append(c->rbuf.data(), n, lines);
      bool was_answered = c->answered;
      for (auto& line : lines) {
        if (is_blank(line)) continue;
        if (c->answered) record("control", line);
        else handle_control_line(c, line);
      }
      if (c->lines.overflowed()) {
        close_control(c, true);
        return;
      }
      if (!c->answered || was_answered) read_control(c);
    });
  }

  void handle_control_line(const std::shared_ptr<ControlConn>& c, const std::string& line) {
    record("control", line);
    c->answered = true;
    ojson answer;
    json j = nesting_ok(line) ? json::parse(line, nullptr, false) : json(json::value_t::discarded);
    std::string name;
    if (j.is_object() && j.contains(kCommunication) && j[kCommunication].is_string())
      name = j[kCommunication].get<std::string>();
    if (name == "FRC_Connect" || (name == "FRC_Connect_STMO" && cfg.firmware == Firmware::Newer)) {
      bool busy = false;
      if (session) {
        if (peer_alive(session)) busy = true;
        else close_session(session, false);  // a client that just dropped its link may take over at once
      }
      answer = packet(kCommunication, name);
      answer["ErrorID"] = busy ? error_id::already_connected : 0;
      answer["PortNumber"] = busy ? 0 : static_cast<int>(bound_data_port);
      answer["MajorVersion"] = cfg.major_version;
      answer["MinorVersion"] = cfg.minor_version;
    } else {
      answer = packet(kCommand, "Unknown");
      answer["ErrorID"] = error_id::invalid_rmi_command;
    }
    c->out = format(answer);
    if (observer) observer("control", false, c->out);
    c->out += "\r\n";
    auto write = [this, c] {
      asio::async_write(c->socket, asio::buffer(c->out), [this, c](const boost::system::error_code& ec, std::size_t) {
        std::lock_guard lk(m);
        if (stopping || c->closed) return;
        if (ec || cfg.close_control_after_connect) close_control(c, false);  // as a real controller does
        else read_control(c);  // kept open until the client closes it; later lines are recorded only
      });
    };
    if (answer_delay > 0.0) {
      c->timer.expires_after(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(answer_delay)));
      c->timer.async_wait([this, c, write](const boost::system::error_code& ec) {
        if (ec) return;
        std::lock_guard lk(m);
        if (!stopping && !c->closed) write();
      });
    } else {
      c->timer.cancel();
      write();
    }
  }

  void accept_data() {
    data_acc->async_accept([this](const boost::system::error_code& ec, tcp::socket sock) {
      std::lock_guard lk(m);
      if (stopping) return;
      if (ec) {
        if (ec != asio::error::operation_aborted) retry_accept([this] { accept_data(); });
        return;
      }
      if (session && peer_alive(session)) {
        boost::system::error_code ignored;  // one remote device at a time
        sock.shutdown(tcp::socket::shutdown_both, ignored);
        sock.close(ignored);
      } else {
        if (session) close_session(session, false);
        auto s = std::make_shared<DataSession>(*io);
        s->socket = std::move(sock);
        boost::system::error_code ignored;
        s->socket.set_option(tcp::no_delay(true), ignored);
        s->last_packet = Clock::now();
        session = s;
        answers.clear();
        ++data_connections;
        arm_idle(s);
        read_data(s);
        cv.notify_all();
      }
      accept_data();
    });
  }

  void arm_idle(const std::shared_ptr<DataSession>& s) {
    if (cfg.idle_timeout <= 0.0) return;
    auto limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(cfg.idle_timeout));
    s->idle_timer.expires_at(s->last_packet + limit);
    s->idle_timer.async_wait([this, s, limit](const boost::system::error_code& ec) {
      if (ec) return;
      std::lock_guard lk(m);
      if (stopping || s->closed || s->terminating) return;
      if (Clock::now() - s->last_packet >= limit) terminate(s);
      else arm_idle(s);
    });
  }

  // "FRC_Terminate", then the connection is dropped (also if the peer never
  // reads it).
  void terminate(const std::shared_ptr<DataSession>& s) {
    if (!s || s->closed || s->terminating) return;
    s->terminating = true;
    s->stop_reading = true;
    if (s == session) push(packet(kCommunication, "FRC_Terminate"), true);
    s->idle_timer.expires_after(terminate_grace);
    s->idle_timer.async_wait([this, s](const boost::system::error_code& ec) {
      if (ec) return;
      std::lock_guard lk(m);
      if (!stopping) close_session(s, true);
    });
  }

  void read_data(const std::shared_ptr<DataSession>& s) {
    s->socket.async_read_some(asio::buffer(s->rbuf), [this, s](const boost::system::error_code& ec, std::size_t n) {
      std::lock_guard lk(m);
      if (stopping || s->closed) return;
      if (ec) {
        close_session(s, false);
        return;
      }
      std::vector<std::string> lines;
      s->lines.append(s->rbuf.data(), n, lines);
      for (auto& line : lines) {
        if (s->closed || s->stop_reading) break;
        s->last_packet = Clock::now();
        record("data", line);
        if (is_blank(line)) continue;
        try {
          handle_data_line(line);
        } catch (const std::exception& e) {  // never let one packet bring the controller down
          ojson a = packet(kCommand, "Unknown");
          a["ErrorID"] = error_id::invalid_value;
          emit(a, false);
        }
      }
      if (s->lines.overflowed()) {
        close_session(s, true);
        return;
      }
      if (!s->closed && !s->stop_reading) read_data(s);
    });
  }

  // ---- packets -------------------------------------------------------------
  void unknown(const std::string& kind, int err, std::optional<int> seq = {}) {
    ojson a = packet(kind, "Unknown");
    a["ErrorID"] = err;
    if (seq) a["SequenceID"] = *seq;
    emit(a, false);
  }

  void handle_data_line(const std::string& line) {
    if (!nesting_ok(line)) return unknown(kCommand, error_id::invalid_text_string);
    json j = json::parse(line, nullptr, false);
    if (j.is_discarded()) return unknown(kCommand, error_id::invalid_text_string);
    if (!j.is_object()) return unknown(kCommand, error_id::invalid_rmi_command);
    for (const std::string* kind : {&kInstruction, &kCommand, &kCommunication}) {
      auto it = j.find(*kind);
      if (it == j.end()) continue;
      if (!it->is_string()) break;
      const std::string name = it->get<std::string>();
      if (*kind == kInstruction) return handle_instruction(name, j);
      if (*kind == kCommand) return handle_command(name, j);
      return handle_communication(name);
    }
    unknown(kCommand, error_id::invalid_rmi_command);
  }

  void handle_communication(const std::string& name) {
    if (name == "FRC_Disconnect") {
      ojson a = packet(kCommunication, name);
      a["ErrorID"] = 0;
      if (session) session->stop_reading = true;
      emit(a, false, true);  // answered, then the controller closes the connection
      return;
    }
    unknown(kCommand, error_id::invalid_rmi_command);
  }

  bool servo_ready() const { return servo_power && !estop && !estop_alarm; }

  // Every answer carries all its members, meaningless ones included.
  ojson command_answer(const std::string& name, int err, const json& req) {
    ojson a = packet(kCommand, name);
    a["ErrorID"] = err;
    if (name == "FRC_Initialize") {
      auto gm = integer_member(req, "GroupMask");
      a["GroupMask"] = gm ? *gm : 1;
    } else if (name == "FRC_GetStatus") {
      a["ServoReady"] = servo_ready() ? 1 : 0;
      a["TPMode"] = tp ? 1 : 0;
      a["RMIMotionStatus"] = (rmi_running && !paused && !hold && !abort_in_progress) ? 1 : 0;
      a["ProgramStatus"] = program_status;
      a["SingleStepMode"] = single_step ? 1 : 0;
      a["NumberUTool"] = 1;
      a["NumberUFrame"] = 0;
      a["NextSequenceID"] = next_seq;
      a["Override"] = override_percent;
    } else if (name == "FRC_ReadJointAngles") {
      auto now = Clock::now();
      a["TimeTag"] = static_cast<int64_t>(
          (std::chrono::duration_cast<std::chrono::milliseconds>(now - start_time).count() / 2) % 2147483648LL);
      update_deviations(now);
      Joints p = measured_at(now);
      ojson ja = ojson::object();
      for (int k = 0; k < 9; ++k) ja["J" + std::to_string(k + 1)] = reported(p[k]);
      a["JointAngle"] = ja;
      a["Group"] = 1;
    } else if (name == "FRC_ReadDIN") {
      auto port = integer_member(req, "PortNumber");
      uint64_t pn = (port && *port >= 0) ? static_cast<uint64_t>(*port) : 0;
      a["PortNumber"] = pn;
      auto it = din.find(pn);
      a["PortValue"] = (err == 0 && it != din.end() && it->second) ? 1 : 0;
    }
    return a;
  }

  void handle_command(const std::string& name, const json& j) {
    static const std::set<std::string> known = {"FRC_Initialize", "FRC_Reset", "FRC_Abort",
                                                "FRC_GetStatus", "FRC_ReadJointAngles", "FRC_ReadDIN",
                                                "FRC_WriteDOUT", "FRC_SetOverRide"};
    if (!known.count(name)) return unknown(kCommand, error_id::invalid_rmi_command);
    if (command_pending()) return emit(command_answer(name, error_id::wait_for_command_done, j), false);
    int err = 0;
    if (name == "FRC_Initialize") {
      err = initialize(j);
    } else if (name == "FRC_Reset") {
      err = reset();
    } else if (name == "FRC_Abort") {
      if (!rmi_running) {
        err = error_id::command_fail;
      } else if (cfg.abort_duration > 0.0) {
        abort_in_progress = true;
        halt(Clock::now());
        abort_timer->expires_after(
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(cfg.abort_duration)));
        abort_timer->async_wait([this, j](const boost::system::error_code& ec) {
          if (ec) return;
          std::lock_guard lk(m);
          if (stopping) return;
          finish_abort();
          emit(command_answer("FRC_Abort", 0, j), true);
        });
        return;
      } else {
        halt(Clock::now());
        finish_abort();
      }
    } else if (name == "FRC_ReadDIN") {
      auto port = integer_member(j, "PortNumber");
      if (!port || !is_io_port(*port)) err = error_id::invalid_value;
    } else if (name == "FRC_WriteDOUT") {
      auto port = integer_member(j, "PortNumber");
      auto it = j.find("PortValue");
      if (!port || !is_io_port(*port)) err = error_id::invalid_value;
      else if (it == j.end() || !it->is_string()) err = error_id::invalid_value;
      else if (*it == "ON") dout[static_cast<uint64_t>(*port)] = true;
      else if (*it == "OFF") dout[static_cast<uint64_t>(*port)] = false;
      else err = error_id::invalid_text_string;
    } else if (name == "FRC_SetOverRide") {
      auto v = integer_member(j, "Value");
      if (!v || *v < 1 || *v > 100) err = error_id::invalid_value;
      else override_percent = static_cast<int>(*v);
    }
    emit(command_answer(name, err, j), true);
  }

  int initialize(const json& j) {
    if (j.contains("GroupMask")) {
      auto gm = integer_member(j, "GroupMask");
      if (!gm || *gm != 1) return error_id::invalid_value;  // one motion group
    }
    if (tp) return error_id::teach_pendant_enabled;
    if (!servo_ready()) return error_id::servo_off;
    if (single_step) return error_id::single_step_mode;
    if (rmi_running || abort_in_progress) return error_id::program_already_exists;
    if (fault_alarm) return error_id::invalid_controller_state;
    rmi_running = true;
    paused = false;
    hold = false;
    program_status = program_status_running;
    if (init_resets_seq) next_seq = 1;
    t_cursor = Clock::now();
    return 0;
  }

  int reset() {
    if (estop) return error_id::invalid_controller_state;  // the E-stop alarm stays while it is pressed
    estop_alarm = false;
    fault_alarm = false;
    hold = false;
    if (paused) {
      paused = false;
      if (rmi_running) program_status = program_status_running;
    }
    t_cursor = Clock::now();
    return 0;
  }

  void finish_abort() {
    abort_in_progress = false;
    rmi_running = false;
    paused = false;
    hold = false;
    program_status = program_status_aborted;
  }

  void handle_instruction(const std::string& name, const json& j) {
    auto seq64 = integer_member(j, "SequenceID");
    bool seq_ok = seq64 && *seq64 >= INT32_MIN && *seq64 <= INT32_MAX;
    int seq = seq_ok ? static_cast<int>(*seq64) : 0;
    if (name != "FRC_JointMotionJRep" && name != "FRC_SetPayLoad")
      return unknown(kInstruction, error_id::invalid_rmi_command, seq);
    auto refuse = [&](int err) {
      ojson a = packet(kInstruction, name);
      a["ErrorID"] = err;
      a["SequenceID"] = seq;
      emit(a, false);
    };
    if (!seq_ok) return refuse(error_id::invalid_value);
    if (auto it = refusals.find(seq); it != refusals.end()) {
      int err = it->second;
      refusals.erase(it);
      return refuse(err);
    }
    if (!rmi_running || abort_in_progress) return refuse(error_id::rmi_not_running);
    if (tp) return refuse(error_id::teach_pendant_enabled);
    if (!servo_ready()) return refuse(error_id::servo_off);
    if (single_step) return refuse(error_id::single_step_mode);
    if (paused || hold) return refuse(error_id::rmi_in_hold);
    if (queue.size() >= max_unanswered_instructions) return refuse(error_id::wait_for_instruction_done);

    Instr in;
    in.seq = seq;
    in.arrived = Clock::now();
    if (name == "FRC_SetPayLoad") {
      auto sn = integer_member(j, "ScheduleNumber");
      if (!sn || *sn < 1 || *sn > 10) return refuse(error_id::invalid_value);
      in.payload = true;
      in.schedule = static_cast<int>(*sn);
    } else {
      auto ja = j.find("JointAngle");
      if (ja == j.end() || !ja->is_object()) return refuse(error_id::invalid_value);
      for (int k = 0; k < 9; ++k) {
        auto v = ja->find("J" + std::to_string(k + 1));
        if (v == ja->end()) {
          if (k < 6) return refuse(error_id::invalid_value);
          continue;  // clients that know six axes send J1 ... J6 only: J7 ... J9 are 0
        }
        if (!v->is_number()) return refuse(error_id::invalid_value);
        double d = v->get<double>();
        if (!std::isfinite(d) || std::fabs(d) > 1e6) return refuse(error_id::invalid_value);
        // A joint the robot does not have must be 0.
        if (!cfg.joint_limits.empty() && k >= static_cast<int>(cfg.joint_limits.size()) && std::fabs(d) > 1e-6)
          return refuse(error_id::invalid_value);
        in.target[k] = d;
      }
      auto st = j.find("SpeedType");
      if (st == j.end() || !st->is_string()) return refuse(error_id::invalid_speed_type);
      const std::string speed_type = st->get<std::string>();
      // Joint motions take a time ("mSec", "Time" in 0.1 s) or a share of the
      // joints' maximum speed ("Percent"); Cartesian speeds are refused.
      if (speed_type != "mSec" && speed_type != "Time" && speed_type != "Percent" && speed_type != "%")
        return refuse(error_id::invalid_speed_type);
      auto sp = j.find("Speed");
      if (sp == j.end() || !sp->is_number()) return refuse(error_id::invalid_speed);
      double speed = sp->get<double>();
      if (!std::isfinite(speed) || speed <= 0.0) return refuse(error_id::invalid_speed);
      if (speed_type == "mSec") {
        if (speed > 3.6e6) return refuse(error_id::invalid_speed);
        in.speed_ms = speed;
      } else if (speed_type == "Time") {
        if (speed > 3.6e4) return refuse(error_id::invalid_speed);
        in.speed_ms = speed * 100.0;
      } else {
        if (speed < 1.0 || speed > 100.0) return refuse(error_id::invalid_speed);
        in.speed_percent = speed;
      }
      auto tt = j.find("TermType");
      if (tt == j.end() || !tt->is_string()) return refuse(error_id::invalid_term_type);
      const std::string term = tt->get<std::string>();
      if (term == "CNT" || term == "CR") {
        auto tv = integer_member(j, "TermValue");
        if (!tv || *tv < 0 || *tv > 100) return refuse(error_id::invalid_term_value);
        in.blend = *tv > 0;
      } else if (term != "FINE") {  // FINE stops at the target whatever TermValue says
        return refuse(error_id::invalid_term_type);
      }
    }
    if (seq != next_seq) {
      hold = true;  // a gap or a repeat: queued instructions still run, new ones are refused until FRC_Reset
      return refuse(error_id::invalid_sequence_id);
    }
    ++next_seq;
    if (!in.payload && !within_limits(in.target)) {
      motion_fault(seq);  // the instruction stays unanswered, as do the ones queued before it
      return;
    }
    queue.push_back(in);
    cv.notify_all();
  }

  bool within_limits(const Joints& target_ctrl) const {
    Joints p = to_planner(target_ctrl);
    for (std::size_t k = 0; k < cfg.joint_limits.size() && k < 9; ++k) {
      double rad = p[k] / deg_per_rad;
      if (rad < cfg.joint_limits[k].lower - limit_tolerance_rad || rad > cfg.joint_limits[k].upper + limit_tolerance_rad)
        return false;
    }
    return true;
  }

  // A motion error: the robot stops where it is, RMI_MOVE pauses, queued
  // instructions are discarded without answers and "FRC_SystemFault" names
  // the instruction.
  void motion_fault(std::optional<int> seq) {
    int id = seq ? *seq : (!queue.empty() ? queue.front().seq : std::max(0, next_seq - 1));
    halt(Clock::now());
    fault_alarm = true;
    if (rmi_running) {
      paused = true;
      program_status = program_status_paused;
    }
    ojson p = packet(kCommunication, "FRC_SystemFault");
    p["SequenceID"] = id;
    push(p);
    cv.notify_all();
  }

  // ---- motion --------------------------------------------------------------
  Joints position_at(Clock::time_point t) const {
    if (!executing || queue.empty()) return pos;
    double f = seg_dur <= 0.0 ? 1.0 : std::chrono::duration<double>(t - seg_start).count() / seg_dur;
    f = std::clamp(f, 0.0, 1.0);
    Joints out;
    const Joints& target = queue.front().target;
    for (int k = 0; k < 9; ++k) out[k] = seg_from[k] + (target[k] - seg_from[k]) * f;
    return out;
  }

  // ---- measured position ---------------------------------------------------
  void remember_commanded(Clock::time_point t, const Joints& c) {
    if (servo_lag <= 0.0) {
      commanded_history.clear();
      return;
    }
    commanded_history.emplace_back(t, c);
    auto keep = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(servo_lag + 0.1));
    while (commanded_history.size() > 2 && commanded_history.front().first < t - keep) commanded_history.pop_front();
  }

  // The commanded position servo_lag before t (t no earlier than the last tick).
  Joints lagged_commanded(Clock::time_point t) const {
    Joints now = position_at(t);
    if (servo_lag <= 0.0 || commanded_history.empty()) return now;
    auto at = t - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(servo_lag));
    if (at <= commanded_history.front().first) return commanded_history.front().second;
    auto lerp = [&](Clock::time_point t0, const Joints& a, Clock::time_point t1, const Joints& b) {
      double span = std::chrono::duration<double>(t1 - t0).count();
      double f = span <= 0.0 ? 1.0 : std::chrono::duration<double>(at - t0).count() / span;
      f = std::clamp(f, 0.0, 1.0);
      Joints out;
      for (int k = 0; k < 9; ++k) out[k] = a[k] + (b[k] - a[k]) * f;
      return out;
    };
    for (std::size_t i = 1; i < commanded_history.size(); ++i)
      if (at <= commanded_history[i].first)
        return lerp(commanded_history[i - 1].first, commanded_history[i - 1].second, commanded_history[i].first,
                    commanded_history[i].second);
    return lerp(commanded_history.back().first, commanded_history.back().second, t, now);
  }

  Joints measured_at(Clock::time_point t) const {
    Joints out = lagged_commanded(t);
    for (const Deviation& d : deviations) {
      if (!d.active || d.since > t) continue;
      int k = d.spec.joint - 1;
      if (d.spec.block) out[k] = d.frozen;
      else out[k] += d.spec.offset_deg;
    }
    return out;
  }

  // Deviations whose moment has come take effect; a blocked joint keeps the
  // value it is measured at then.
  void update_deviations(Clock::time_point t) {
    for (Deviation& d : deviations) {
      if (d.active) continue;
      std::optional<Clock::time_point> at = d.spec.from;
      if (d.spec.after_motion_start) {
        if (!run_start) continue;
        at = *run_start + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(*d.spec.after_motion_start));
      }
      if (!at || *at > t) continue;
      d.frozen = measured_at(t)[d.spec.joint - 1];
      d.active = true;
      d.since = t;
    }
  }

  void halt(Clock::time_point t) {
    pos = position_at(t);
    executing = false;
    queue.clear();
    t_cursor = std::max(t_cursor, t);
    cv.notify_all();
  }

  void answer_instruction(const Instr& in) {
    ojson a = packet(kInstruction, in.payload ? "FRC_SetPayLoad" : "FRC_JointMotionJRep");
    a["ErrorID"] = 0;
    a["SequenceID"] = in.seq;
    emit(a, false);
  }

  // Time the slowest joint needs at `percent` of its maximum speed.
  double percent_time_ms(const Joints& a, const Joints& b, double percent) const {
    double t = 0.0;
    for (std::size_t k = 0; k < cfg.joint_limits.size() && k < 9; ++k) {
      double vmax = cfg.joint_limits[k].max_velocity * percent / 100.0;
      if (vmax > 0.0) t = std::max(t, std::fabs(b[k] - a[k]) / deg_per_rad / vmax);
    }
    return t * 1000.0;
  }

  double motion_time(const Instr& in, const Joints& from) {
    Joints a = to_planner(from), b = to_planner(in.target);
    double asked_ms = in.speed_percent > 0.0 ? percent_time_ms(a, b, in.speed_percent) : in.speed_ms;
    double base_ms = std::max(asked_ms, static_cast<double>(cfg.minimum_motion_ms));
    double t = base_ms / 1000.0 * 100.0 / std::max(1, override_percent);
    double needed = t;
    int worst = -1;
    double worst_ratio = 1.0;
    for (std::size_t k = 0; k < cfg.joint_limits.size() && k < 9; ++k) {
      double dist = std::fabs(b[k] - a[k]) / deg_per_rad;
      double vmax = cfg.joint_limits[k].max_velocity;
      if (vmax <= 0.0) continue;
      double ratio = (dist / t) / vmax;
      if (ratio > worst_ratio * (1.0 + velocity_tolerance)) {
        worst_ratio = ratio;
        worst = static_cast<int>(k);
        needed = dist / vmax;
      }
    }
    if (worst >= 0) {
      double dist = std::fabs(b[worst] - a[worst]) / deg_per_rad;
      if (slows.size() < max_slow_downs)
        slows.push_back({in.seq, worst, dist / t, cfg.joint_limits[worst].max_velocity});
    }
    return needed;
  }

  // Executes the queue up to time t (the robot runs on its own clock, not on
  // the packets' arrival).
  void advance(Clock::time_point t) {
    if (paused) return;
    for (;;) {
      if (!executing) {
        if (queue.empty()) return;
        Instr& head = queue.front();
        if (head.payload) {
          payload_schedule = head.schedule;
          t_cursor = std::max(t_cursor, head.arrived);
          Instr done = head;
          queue.pop_front();
          answer_instruction(done);
          continue;
        }
        // A blended motion is planned together with the next one: it waits for it.
        if (head.blend && queue.size() < 2) return;
        Clock::time_point start = std::max(t_cursor, head.arrived);
        if (head.blend) start = std::max(start, queue[1].arrived);
        if (start > t) return;
        if (fault_seqs.erase(head.seq)) {
          motion_fault(head.seq);
          return;
        }
        seg_from = pos;
        seg_start = start;
        seg_dur = motion_time(head, pos);
        executing = true;
        if (!first_motion) first_motion = start;
        if (!run_start) run_start = start;
      }
      auto end = seg_start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seg_dur));
      if (t < end) return;
      pos = queue.front().target;
      executing = false;
      t_cursor = end;
      Instr done = queue.front();
      queue.pop_front();
      answer_instruction(done);
      cv.notify_all();
    }
  }

  void schedule_tick() {
    tick_timer->expires_at(next_tick);
    tick_timer->async_wait([this](const boost::system::error_code& ec) {
      if (ec) return;
      std::lock_guard lk(m);
      if (stopping) return;
      on_tick();
    });
  }

  void on_tick() {
    auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(cfg.interpolation_period));
    auto now = Clock::now();
    Clock::time_point t = next_tick;
    if (now - t > 10 * period) t = now;  // far behind (a stalled machine): skip the missed ticks
    advance(t);
    bool active = executing || !queue.empty();
    Joints c = position_at(t);
    remember_commanded(t, c);
    update_deviations(t);
    if (first_motion && (active || was_active) && path.size() < max_path_samples) {
      Joints measured = measured_at(t);
      path.push_back({std::chrono::duration<double>(t - *first_motion).count(), measured, to_planner(measured), c});
    }
    if (!active) run_start.reset();
    was_active = active;
    release_answers();
    next_tick = t + period;
    schedule_tick();
  }

  // ---- lifetime --------------------------------------------------------------
  std::unique_ptr<tcp::acceptor> open_acceptor(const asio::ip::address& addr, uint16_t port) {
    auto acc = std::make_unique<tcp::acceptor>(*io);
    tcp::endpoint ep(addr, port);
    boost::system::error_code ec;
    acc->open(ep.protocol(), ec);
    if (!ec) acc->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acc->bind(ep, ec);
    if (!ec) acc->listen(asio::socket_base::max_listen_connections, ec);
    if (ec)
      throw std::system_error(std::error_code(ec.value(), std::system_category()),
                              "cannot listen on " + cfg.address + ":" + std::to_string(port));
    return acc;
  }

  void start() {
    std::unique_lock lk(m);
    if (running) return;
    io = std::make_unique<asio::io_context>(1);
    try {
      boost::system::error_code ec;
      auto addr = asio::ip::make_address(cfg.address, ec);
      if (ec)
        throw std::system_error(std::error_code(ec.value(), std::system_category()),
                                "invalid address '" + cfg.address + "'");
      control_acc = open_acceptor(addr, cfg.control_port);
      data_acc = open_acceptor(addr, cfg.data_port);
    } catch (...) {
      control_acc.reset();
      data_acc.reset();
      io.reset();
      throw;
    }
    bound_control_port = control_acc->local_endpoint().port();
    bound_data_port = data_acc->local_endpoint().port();
    tick_timer = std::make_unique<asio::steady_timer>(*io);
    delay_timer = std::make_unique<asio::steady_timer>(*io);
    abort_timer = std::make_unique<asio::steady_timer>(*io);
    stopping = false;
    running = true;
    accept_control();
    accept_data();
    next_tick = Clock::now();
    schedule_tick();
    thread = std::thread([this] {
      {
        std::lock_guard lk2(m);
        io_thread_id = std::this_thread::get_id();
      }
      for (;;) {
        try {
          io->run();
          return;
        } catch (const std::exception& e) {
          std::cerr << "fanuc-rmi-sim: " << e.what() << std::endl;
        }
      }
    });
  }

  void stop() {
    {
      std::lock_guard lk(m);
      if (!running) return;
      stopping = true;
    }
    io->stop();
    if (thread.joinable()) thread.join();
    std::lock_guard lk(m);
    boost::system::error_code ec;
    if (session) {
      session->closed = true;
      session->socket.set_option(asio::socket_base::linger(true, 0), ec);
      session->socket.close(ec);
      session.reset();
      client_gone();
    }
    for (auto& c : controls) c->socket.close(ec);
    controls.clear();
    if (control_acc) control_acc->close(ec);
    if (data_acc) data_acc->close(ec);
    control_acc.reset();
    data_acc.reset();
    tick_timer.reset();
    delay_timer.reset();
    abort_timer.reset();
    io.reset();  // pending handlers (and the connections they hold) go with it
    io_thread_id = {};
    running = false;
    abort_in_progress = false;
    cv.notify_all();
  }
};

// =============================================================================

ControllerSimulator::ControllerSimulator(SimulatorConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

ControllerSimulator::~ControllerSimulator() {
  try {
    impl_->stop();
  } catch (...) {
  }
}

void ControllerSimulator::start() { impl_->start(); }
void ControllerSimulator::stop() { impl_->stop(); }
const SimulatorConfig& ControllerSimulator::config() const { return impl_->cfg; }

uint16_t ControllerSimulator::data_port() const {
  std::lock_guard lk(impl_->m);
  return impl_->bound_data_port;
}

uint16_t ControllerSimulator::control_port() const {
  std::lock_guard lk(impl_->m);
  return impl_->bound_control_port;
}

void ControllerSimulator::set_digital_input(uint64_t port, bool value) {
  std::lock_guard lk(impl_->m);
  impl_->din[port] = value;
}

std::optional<bool> ControllerSimulator::digital_output(uint64_t port) const {
  std::lock_guard lk(impl_->m);
  auto it = impl_->dout.find(port);
  if (it == impl_->dout.end()) return std::nullopt;
  return it->second;
}

void ControllerSimulator::set_teach_pendant(bool enabled) {
  std::lock_guard lk(impl_->m);
  bool was = impl_->tp;
  impl_->tp = enabled;
  if (enabled && !was && impl_->rmi_running) impl_->motion_fault({});
}

void ControllerSimulator::set_servo_ready(bool ready) {
  std::lock_guard lk(impl_->m);
  bool was = impl_->servo_power;
  impl_->servo_power = ready;
  if (!ready && was && impl_->rmi_running) impl_->motion_fault({});
}

void ControllerSimulator::set_estop(bool pressed) {
  std::lock_guard lk(impl_->m);
  bool was = impl_->estop;
  impl_->estop = pressed;
  if (pressed && !was) {
    impl_->estop_alarm = true;
    if (impl_->rmi_running) impl_->motion_fault({});
    else impl_->halt(Clock::now());
  }
}

void ControllerSimulator::set_single_step(bool on) {
  std::lock_guard lk(impl_->m);
  impl_->single_step = on;
}

void ControllerSimulator::set_initialize_resets_sequence_id(bool on) {
  std::lock_guard lk(impl_->m);
  impl_->init_resets_seq = on;
}

void ControllerSimulator::set_next_sequence_id(int id) {
  std::lock_guard lk(impl_->m);
  impl_->next_seq = id;
}

void ControllerSimulator::set_override(int percent) {
  std::lock_guard lk(impl_->m);
  impl_->override_percent = std::clamp(percent, 1, 100);
}

StatusSnapshot ControllerSimulator::status() const {
  std::lock_guard lk(impl_->m);
  const Impl& s = *impl_;
  return {s.servo_ready(), s.tp, s.single_step, s.estop, s.estop_alarm || s.fault_alarm, s.hold,
          s.rmi_running, s.session != nullptr, s.program_status, s.next_seq, s.override_percent,
          s.payload_schedule, s.queue.size()};
}

std::array<double, 9> ControllerSimulator::joint_position_deg() const {
  std::lock_guard lk(impl_->m);
  auto now = Clock::now();
  impl_->update_deviations(now);
  return impl_->measured_at(now);
}

std::array<double, 9> ControllerSimulator::commanded_position_deg() const {
  std::lock_guard lk(impl_->m);
  return impl_->position_at(Clock::now());
}

void ControllerSimulator::set_servo_lag(double seconds) {
  std::lock_guard lk(impl_->m);
  impl_->servo_lag = std::clamp(std::isfinite(seconds) ? seconds : 0.0, 0.0, 10.0);
}

void ControllerSimulator::add_joint_deviation(const JointDeviation& deviation) {
  if (deviation.joint < 1 || deviation.joint > 9 || !std::isfinite(deviation.offset_deg) ||
      (deviation.after_motion_start && !(*deviation.after_motion_start >= 0.0)))
    throw std::invalid_argument("joint deviation: joint 1 ... 9, a finite offset, a time of at least 0");
  std::lock_guard lk(impl_->m);
  Impl::Deviation d;
  d.spec = deviation;
  if (!d.spec.from && !d.spec.after_motion_start) d.spec.from = Clock::now();
  impl_->deviations.push_back(d);
  impl_->update_deviations(Clock::now());
}

void ControllerSimulator::block_joint(int joint, std::chrono::steady_clock::time_point from) {
  JointDeviation d;
  d.joint = joint;
  d.block = true;
  d.from = from;
  add_joint_deviation(d);
}

void ControllerSimulator::offset_joint(int joint, double degrees, std::chrono::steady_clock::time_point from) {
  JointDeviation d;
  d.joint = joint;
  d.offset_deg = degrees;
  d.from = from;
  add_joint_deviation(d);
}

void ControllerSimulator::clear_joint_deviations() {
  std::lock_guard lk(impl_->m);
  impl_->deviations.clear();
}

void ControllerSimulator::refuse_sequence_id(int sequence_id, int error_id) {
  std::lock_guard lk(impl_->m);
  impl_->refusals[sequence_id] = error_id;
}

void ControllerSimulator::fault_at_sequence_id(int sequence_id) {
  std::lock_guard lk(impl_->m);
  impl_->fault_seqs.insert(sequence_id);
}

void ControllerSimulator::push_system_fault(std::optional<int> sequence_id) {
  std::lock_guard lk(impl_->m);
  impl_->motion_fault(sequence_id);
}

void ControllerSimulator::push_terminate() {
  std::lock_guard lk(impl_->m);
  Impl& s = *impl_;
  s.on_io([&s] {
    if (s.session) s.terminate(s.session);
    auto controls = s.controls;
    for (auto& c : controls) s.close_control(c, false);
  });
}

void ControllerSimulator::drop_connections() {
  std::lock_guard lk(impl_->m);
  Impl& s = *impl_;
  s.on_io([&s] {
    if (s.session) s.close_session(s.session, true);
    auto controls = s.controls;
    for (auto& c : controls) s.close_control(c, true);
  });
}

void ControllerSimulator::set_answer_delay(double seconds) {
  std::lock_guard lk(impl_->m);
  impl_->answer_delay = std::max(0.0, seconds);
}

void ControllerSimulator::withhold_answers(bool on) {
  std::lock_guard lk(impl_->m);
  Impl& s = *impl_;
  s.withheld = on;
  if (!on) s.on_io([&s] { s.release_answers(); });
}

void ControllerSimulator::send_raw(const std::string& bytes) {
  std::lock_guard lk(impl_->m);
  if (impl_->observer) impl_->observer("data", false, bytes);
  impl_->enqueue(impl_->session, {bytes, 0.0, false});
}

void ControllerSimulator::split_next_answer(std::size_t at_byte, double pause_seconds) {
  std::lock_guard lk(impl_->m);
  impl_->split_next = std::make_pair(at_byte, pause_seconds);
}

void ControllerSimulator::split_every_answer(std::size_t at_byte, double pause_seconds) {
  std::lock_guard lk(impl_->m);
  if (at_byte == 0) impl_->split_every.reset();
  else impl_->split_every = std::make_pair(at_byte, pause_seconds);
}

void ControllerSimulator::set_compact_answers(bool on) {
  std::lock_guard lk(impl_->m);
  impl_->compact = on;
}

std::vector<ReceivedLine> ControllerSimulator::received_lines() const {
  std::lock_guard lk(impl_->m);
  return impl_->received;
}

std::vector<PathSample> ControllerSimulator::executed_path() const {
  std::lock_guard lk(impl_->m);
  return impl_->path;
}

std::vector<SlowDown> ControllerSimulator::slow_downs() const {
  std::lock_guard lk(impl_->m);
  return impl_->slows;
}

void ControllerSimulator::clear_records() {
  std::lock_guard lk(impl_->m);
  impl_->received.clear();
  impl_->path.clear();
  impl_->slows.clear();
  impl_->first_motion.reset();
  impl_->was_active = false;
}

void ControllerSimulator::write_path_csv(const std::string& file) const {
  auto samples = executed_path();
  std::ofstream out(file);
  if (!out) throw std::system_error(errno, std::generic_category(), "cannot write " + file);
  out << "t";
  for (int k = 1; k <= 9; ++k) out << ",controller_j" << k << "_deg";
  for (int k = 1; k <= 9; ++k) out << ",planner_j" << k << "_deg";
  out << "\n";
  char buf[64];
  for (const auto& s : samples) {
    std::snprintf(buf, sizeof buf, "%.6f", s.t);
    out << buf;
    for (double v : s.controller_deg) {
      std::snprintf(buf, sizeof buf, ",%.6f", v);
      out << buf;
    }
    for (double v : s.planner_deg) {
      std::snprintf(buf, sizeof buf, ",%.6f", v);
      out << buf;
    }
    out << "\n";
  }
}

void ControllerSimulator::write_received_csv(const std::string& file) const {
  std::vector<ReceivedLine> lines;
  Clock::time_point origin;
  {
    std::lock_guard lk(impl_->m);
    lines = impl_->received;
    origin = impl_->start_time;
  }
  std::ofstream out(file);
  if (!out) throw std::system_error(errno, std::generic_category(), "cannot write " + file);
  out << "t,channel,line\n";
  char buf[64];
  for (const auto& l : lines) {
    std::snprintf(buf, sizeof buf, "%.6f", std::chrono::duration<double>(l.at - origin).count());
    out << buf << ',' << l.channel << ',' << csv_quote(l.line) << "\n";
  }
}

void ControllerSimulator::set_line_observer(
    std::function<void(const std::string& channel, bool incoming, const std::string& line)> fn) {
  std::lock_guard lk(impl_->m);
  impl_->observer = std::move(fn);
}

bool ControllerSimulator::wait_for_client(std::chrono::milliseconds timeout) const {
  std::unique_lock lk(impl_->m);
  return impl_->cv.wait_for(lk, timeout, [this] { return impl_->session != nullptr; });
}

bool ControllerSimulator::wait_for_disconnect(std::chrono::milliseconds timeout) const {
  std::unique_lock lk(impl_->m);
  return impl_->cv.wait_for(lk, timeout, [this] { return impl_->session == nullptr; });
}

bool ControllerSimulator::wait_for_line(const std::function<bool(const std::string&)>& pred,
                                        std::chrono::milliseconds timeout, std::size_t from) const {
  std::unique_lock lk(impl_->m);
  std::size_t seen = from;
  return impl_->cv.wait_for(lk, timeout, [&] {
    const auto& lines = impl_->received;
    seen = std::min(seen, lines.size());
    for (; seen < lines.size(); ++seen)
      if (pred(lines[seen].line)) return true;
    return false;
  });
}

bool ControllerSimulator::wait_until_motion_idle(std::chrono::milliseconds timeout) const {
  std::unique_lock lk(impl_->m);
  return impl_->cv.wait_for(lk, timeout, [this] { return impl_->queue.empty() && !impl_->executing; });
}

size_t ControllerSimulator::received_line_count() const {
  std::lock_guard lk(impl_->m);
  return impl_->received.size();
}

size_t ControllerSimulator::connection_count() const {
  std::lock_guard lk(impl_->m);
  return impl_->data_connections;
}

}  // namespace orvane::sim
