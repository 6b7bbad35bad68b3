#include <algorithm>
#include <cerrno>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <sys/socket.h>
#include <sys/types.h>

#include "core.hpp"
#include "handlers/handlers.hpp"

namespace orvane::sim::detail {

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

std::optional<std::string> first_member(const std::string& line) {
  auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  std::size_t i = 0;
  while (i < line.size() && is_space(line[i])) ++i;
  if (i >= line.size() || line[i] != '{') return std::nullopt;
  ++i;
  while (i < line.size() && is_space(line[i])) ++i;
  if (i >= line.size() || line[i] != '"') return std::nullopt;
  std::size_t end = i + 1;
  for (bool escaped = false; end < line.size(); ++end) {
    if (escaped) escaped = false;
    else if (line[end] == '\\') escaped = true;
    else if (line[end] == '"') break;
  }
  if (end >= line.size()) return std::nullopt;
  json key = json::parse(line.substr(i, end - i + 1), nullptr, false);  // decodes escapes
  if (!key.is_string()) return std::nullopt;
  return key.get<std::string>();
}

std::string Core::format(const ojson& p) {
  return out.compact ? format_compact(p) : format_controller_style(p, out.rng);
}

void Core::record(const std::string& channel, const std::string& line) {
  if (net.observer) net.observer(channel, true, line);
  records.add_line(channel, line);
  cv.notify_all();
}

// ---- writing -----------------------------------------------------------
void Core::enqueue(const std::shared_ptr<DataSession>& s, OutItem item) {
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

// One line to the data client; out.queue may be cut in two writes.
void Core::send_line(const std::string& text, bool is_answer, bool close_after) {
  if (!net.session) return;
  if (net.observer) net.observer("data", false, text);
  std::string bytes = text + "\r\n";
  std::optional<std::pair<std::size_t, double>> split;
  if (is_answer) {
    if (out.split_next) {
      split = out.split_next;
      out.split_next.reset();
    } else if (out.split_every) {
      split = out.split_every;
    }
  }
  if (split && split->first > 0 && split->first < bytes.size()) {
    enqueue(net.session, {bytes.substr(0, split->first), 0.0, false});
    enqueue(net.session, {bytes.substr(split->first), split->second, close_after});
  } else {
    enqueue(net.session, {std::move(bytes), 0.0, close_after});
  }
}

void Core::do_write(const std::shared_ptr<DataSession>& s) {
  if (s->writing || s->closed || s->outq.empty()) return;
  OutItem& item = s->outq.front();
  s->writing = true;
  if (item.pause_before > 0.0) {
    s->pause_timer.expires_after(std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(item.pause_before)));
    s->pause_timer.async_wait([this, s](const boost::system::error_code& ec) {
      std::lock_guard lk(m);
      if (net.stopping || s->closed) return;
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
                      if (net.stopping || s->closed) return;
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
void Core::emit(const ojson& p, bool command_answer, bool close_after) {
  if (!net.session) return;
  auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(out.delay));
  if (!out.queue.empty()) due = std::max(due, out.queue.back().due);
  out.queue.push_back({due, format(p), command_answer, close_after});
  if (out.queue.size() > max_held_answers) {  // a flood while out.queue are held back
    close_session(net.session, true);
    return;
  }
  release_answers();
}

void Core::release_answers() {  // net.io thread only (it arms a timer)
  auto now = Clock::now();
  while (!out.queue.empty() && !out.withheld && out.queue.front().due <= now) {
    Answer a = std::move(out.queue.front());
    out.queue.pop_front();
    send_line(a.line, true, a.close_after);
  }
  if (!out.queue.empty() && !out.withheld && net.delay_timer) {
    net.delay_timer->expires_at(out.queue.front().due);
    net.delay_timer->async_wait([this](const boost::system::error_code& ec) {
      if (ec) return;
      std::lock_guard lk(m);
      if (net.stopping) return;
      release_answers();
    });
  }
  cv.notify_all();
}

// A packet the controller pushes on its own: no delay, not out.withheld.
void Core::push(const ojson& p, bool close_after) { send_line(format(p), false, close_after); }

bool Core::command_pending() const {
  if (state.abort_in_progress) return true;
  return std::any_of(out.queue.begin(), out.queue.end(), [](const Answer& a) { return a.command; });
}

// ---- connections ---------------------------------------------------------
bool Core::peer_alive(const std::shared_ptr<DataSession>& s) {
  if (!s || s->closed || !s->socket.is_open()) return false;
  char b;
  ssize_t r = ::recv(s->socket.native_handle(), &b, 1, MSG_PEEK | MSG_DONTWAIT);
  if (r == 0) return false;
  if (r < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  return true;
}

void Core::close_session(const std::shared_ptr<DataSession>& s, bool abrupt) {
  if (!s || s->closed) return;
  s->closed = true;
  boost::system::error_code ec;
  if (abrupt) s->socket.set_option(asio::socket_base::linger(true, 0), ec);
  else s->socket.shutdown(tcp::socket::shutdown_both, ec);
  s->socket.close(ec);
  s->idle_timer.cancel();
  s->pause_timer.cancel();
  if (net.session == s) {
    net.session.reset();
    client_gone();
  }
  cv.notify_all();
}

// The data client is gone: its queued motion and out.queue go with it; the
// RMI_MOVE program stays selected (a later FRC_Initialize needs an abort).
void Core::client_gone() {
  halt(Clock::now());
  out.queue.clear();
}

void Core::close_control(const std::shared_ptr<ControlConn>& c, bool abrupt) {
  if (c->closed) return;
  c->closed = true;
  boost::system::error_code ec;
  if (abrupt) c->socket.set_option(asio::socket_base::linger(true, 0), ec);
  else c->socket.shutdown(tcp::socket::shutdown_both, ec);
  c->socket.close(ec);
  c->timer.cancel();
  net.controls.erase(c);
}

void Core::accept_control() {
  net.control_acc->async_accept([this](const boost::system::error_code& ec, tcp::socket sock) {
    std::lock_guard lk(m);
    if (net.stopping) return;
    if (ec) {
      if (ec != asio::error::operation_aborted) retry_accept([this] { accept_control(); });
      return;
    }
    auto c = std::make_shared<ControlConn>(std::move(sock), *net.io);
    net.controls.insert(c);
    c->timer.expires_after(control_answer_deadline);
    c->timer.async_wait([this, c](const boost::system::error_code& e) {
      if (e) return;
      std::lock_guard lk2(m);
      if (!net.stopping && !c->answered) close_control(c, false);
    });
    read_control(c);
    accept_control();
  });
}

void Core::read_control(const std::shared_ptr<ControlConn>& c) {
  c->socket.async_read_some(asio::buffer(c->rbuf), [this, c](const boost::system::error_code& ec, std::size_t n) {
    std::lock_guard lk(m);
    if (net.stopping || c->closed) return;
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

void Core::handle_control_line(const std::shared_ptr<ControlConn>& c, const std::string& line) {
  record("control", line);
  c->answered = true;
  c->out = format(handlers::connect(*this, line));
  if (net.observer) net.observer("control", false, c->out);
  c->out += "\r\n";
  auto write = [this, c] {
    asio::async_write(c->socket, asio::buffer(c->out), [this, c](const boost::system::error_code& ec, std::size_t) {
      std::lock_guard lk(m);
      if (net.stopping || c->closed) return;
      if (ec || cfg.close_control_after_connect) close_control(c, false);  // as a real controller does
      else read_control(c);  // kept open until the client closes it; later lines are recorded only
    });
  };
  if (out.delay > 0.0) {
    c->timer.expires_after(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(out.delay)));
    c->timer.async_wait([this, c, write](const boost::system::error_code& ec) {
      if (ec) return;
      std::lock_guard lk(m);
      if (!net.stopping && !c->closed) write();
    });
  } else {
    c->timer.cancel();
    write();
  }
}

void Core::accept_data() {
  net.data_acc->async_accept([this](const boost::system::error_code& ec, tcp::socket sock) {
    std::lock_guard lk(m);
    if (net.stopping) return;
    if (ec) {
      if (ec != asio::error::operation_aborted) retry_accept([this] { accept_data(); });
      return;
    }
    if (net.session && peer_alive(net.session)) {
      boost::system::error_code ignored;  // one remote device at a time
      sock.shutdown(tcp::socket::shutdown_both, ignored);
      sock.close(ignored);
    } else {
      if (net.session) close_session(net.session, false);
      auto s = std::make_shared<DataSession>(*net.io);
      s->socket = std::move(sock);
      boost::system::error_code ignored;
      s->socket.set_option(tcp::no_delay(true), ignored);
      s->last_packet = Clock::now();
      net.session = s;
      out.queue.clear();
      ++records.data_connections;
      arm_idle(s);
      read_data(s);
      cv.notify_all();
    }
    accept_data();
  });
}

void Core::arm_idle(const std::shared_ptr<DataSession>& s) {
  if (cfg.idle_timeout <= 0.0) return;
  auto limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(cfg.idle_timeout));
  s->idle_timer.expires_at(s->last_packet + limit);
  s->idle_timer.async_wait([this, s, limit](const boost::system::error_code& ec) {
    if (ec) return;
    std::lock_guard lk(m);
    if (net.stopping || s->closed || s->terminating) return;
    if (Clock::now() - s->last_packet >= limit) terminate(s);
    else arm_idle(s);
  });
}

// "FRC_Terminate", then the connection is dropped (also if the peer never
// reads it).
void Core::terminate(const std::shared_ptr<DataSession>& s) {
  if (!s || s->closed || s->terminating) return;
  s->terminating = true;
  s->stop_reading = true;
  if (s == net.session) push(packet(kCommunication, "FRC_Terminate"), true);
  s->idle_timer.expires_after(terminate_grace);
  s->idle_timer.async_wait([this, s](const boost::system::error_code& ec) {
    if (ec) return;
    std::lock_guard lk(m);
    if (!net.stopping) close_session(s, true);
  });
}

void Core::read_data(const std::shared_ptr<DataSession>& s) {
  s->socket.async_read_some(asio::buffer(s->rbuf), [this, s](const boost::system::error_code& ec, std::size_t n) {
    std::lock_guard lk(m);
    if (net.stopping || s->closed) return;
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
      } catch (const std::exception&) {  // never let one packet bring the controller down
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

std::unique_ptr<tcp::acceptor> Core::open_acceptor(const asio::ip::address& addr, uint16_t port) {
  auto acc = std::make_unique<tcp::acceptor>(*net.io);
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

void Core::start() {
  std::unique_lock lk(m);
  if (net.running) return;
  net.io = std::make_unique<asio::io_context>(1);
  try {
    boost::system::error_code ec;
    auto addr = asio::ip::make_address(cfg.address, ec);
    if (ec)
      throw std::system_error(std::error_code(ec.value(), std::system_category()),
                              "invalid address '" + cfg.address + "'");
    net.control_acc = open_acceptor(addr, cfg.control_port);
    net.data_acc = open_acceptor(addr, cfg.data_port);
    stream_open(addr);
  } catch (...) {
    stream_close();
    net.control_acc.reset();
    net.data_acc.reset();
    net.io.reset();
    throw;
  }
  net.bound_control_port = net.control_acc->local_endpoint().port();
  net.bound_data_port = net.data_acc->local_endpoint().port();
  net.tick_timer = std::make_unique<asio::steady_timer>(*net.io);
  net.delay_timer = std::make_unique<asio::steady_timer>(*net.io);
  net.abort_timer = std::make_unique<asio::steady_timer>(*net.io);
  net.stopping = false;
  net.running = true;
  accept_control();
  accept_data();
  net.next_tick = Clock::now();
  schedule_tick();
  net.thread = std::thread([this] {
    {
      std::lock_guard lk2(m);
      net.io_thread_id = std::this_thread::get_id();
    }
    for (;;) {
      try {
        net.io->run();
        return;
      } catch (const std::exception& e) {
        std::cerr << "fanuc-rmi-sim: " << e.what() << std::endl;
      }
    }
  });
}

void Core::stop() {
  {
    std::lock_guard lk(m);
    if (!net.running) return;
    net.stopping = true;
  }
  net.io->stop();
  if (net.thread.joinable()) net.thread.join();
  std::lock_guard lk(m);
  boost::system::error_code ec;
  if (net.session) {
    net.session->closed = true;
    net.session->socket.set_option(asio::socket_base::linger(true, 0), ec);
    net.session->socket.close(ec);
    net.session.reset();
    client_gone();
  }
  for (auto& c : net.controls) c->socket.close(ec);
  net.controls.clear();
  if (net.control_acc) net.control_acc->close(ec);
  if (net.data_acc) net.data_acc->close(ec);
  net.control_acc.reset();
  net.data_acc.reset();
  net.tick_timer.reset();
  net.delay_timer.reset();
  net.abort_timer.reset();
  stream_close();
  net.io.reset();  // pending handlers (and the connections they hold) go with it
  net.io_thread_id = {};
  net.running = false;
  state.abort_in_progress = false;
  cv.notify_all();
}

}  // namespace orvane::sim::detail
