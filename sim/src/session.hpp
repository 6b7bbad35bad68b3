// The TCP side: the control connection (FRC_Connect) and the one data
// session, their framing and write queues, and the answer path (delay,
// withholding, split writes) in the real controller's text format.
// Guarded by Core::m; the code lives in session.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include <boost/asio.hpp>

#include "common.hpp"
#include "orvane/sim/wire_format.hpp"

namespace orvane::sim::detail {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

inline constexpr std::size_t max_line_bytes = 1 << 20;      // unfinished packet before the peer is dropped
inline constexpr std::size_t max_outbound_bytes = 4 << 20;  // unsent output before the peer is dropped
inline constexpr std::size_t max_held_answers = 65'536;      // answers kept back before the peer is dropped
inline constexpr int max_json_depth = 64;
inline constexpr auto control_answer_deadline = std::chrono::seconds(10);
inline constexpr auto terminate_grace = std::chrono::seconds(2);

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
  ControlConn(tcp::socket s, asio::io_context& io) : socket(std::move(s)), timer(io) {}
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

struct Network {
  std::unique_ptr<asio::io_context> io;
  std::thread thread;
  std::thread::id io_thread_id;
  std::unique_ptr<tcp::acceptor> control_acc, data_acc;
  std::unique_ptr<asio::steady_timer> tick_timer, delay_timer, abort_timer;
  std::shared_ptr<DataSession> session;
  std::set<std::shared_ptr<ControlConn>> controls;
  uint16_t bound_data_port = 0, bound_control_port = 0;
  bool running = false;
  bool stopping = false;
  Clock::time_point start_time;
  Clock::time_point next_tick;
  std::function<void(const std::string&, bool, const std::string&)> observer;
};

// The answer path and its fault injection.
struct AnswerPath {
  std::deque<Answer> queue;
  bool withheld = false;
  double delay = 0.0;
  bool compact = false;
  std::mt19937 rng;
  std::optional<std::pair<std::size_t, double>> split_next;
  std::optional<std::pair<std::size_t, double>> split_every;
};

// Nesting depth is checked before parsing so that a hostile line cannot make
// the parser or the destructor of the parsed value run out of stack.
bool nesting_ok(const std::string& s);
bool is_blank(const std::string& s);
// The key of a JSON object's first member as written in the line (a parsed
// object does not keep its order); empty when the line does not start an
// object with a member.
std::optional<std::string> first_member(const std::string& line);

}  // namespace orvane::sim::detail
