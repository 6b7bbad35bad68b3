// Stream Motion's UDP endpoint: one socket on the simulator's address, read
// whenever a datagram is waiting (and at every tick, so that a command that
// arrived in time counts for its period however late the tick runs), written
// without blocking, and the period's timer.
#include <stdexcept>
#include <system_error>

#include "../core.hpp"

namespace orvane::sim::detail {

namespace {

constexpr int max_datagrams_per_drain = 256;  // then other work gets its turn

}  // namespace

void Core::stream_open(const asio::ip::address& addr) {
  if (cfg.stream_motion_port == 0) return;
  auto socket = std::make_unique<udp::socket>(*net.io);
  udp::endpoint ep(addr, cfg.stream_motion_port);
  boost::system::error_code ec;
  // No SO_REUSEADDR: two simulators on one address and port must not share datagrams.
  socket->open(ep.protocol(), ec);
  if (!ec) socket->bind(ep, ec);
  if (!ec) socket->non_blocking(true, ec);
  if (ec)
    throw std::system_error(std::error_code(ec.value(), std::system_category()),
                            "cannot bind UDP " + cfg.address + ":" + std::to_string(cfg.stream_motion_port));
  stream.bound_port = socket->local_endpoint().port();
  stream.socket = std::move(socket);
  stream.timer = std::make_unique<asio::steady_timer>(*net.io);
  stream_wait_read();
}

void Core::stream_close() {
  boost::system::error_code ec;
  if (stream.socket) stream.socket->close(ec);
  stream.socket.reset();
  stream.timer.reset();
  stream.live = false;
  stream.stop_motion();
}

void Core::stream_wait_read() {
  stream.socket->async_wait(udp::socket::wait_read, [this](const boost::system::error_code& ec) {
    if (ec) return;
    std::lock_guard lk(m);
    if (net.stopping || !stream.socket) return;
    stream_drain();
    stream_wait_read();
  });
}

void Core::stream_drain() {
  if (!stream.socket) return;
  for (int i = 0; i < max_datagrams_per_drain; ++i) {
    udp::endpoint from;
    boost::system::error_code ec;
    std::size_t n = stream.socket->receive_from(asio::buffer(stream.rbuf), from, 0, ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) return;
    if (ec) continue;  // an error queued on the socket (e.g. an ICMP report): the next datagram
    try {
      stream_datagram({stream.rbuf.data(), n}, from);
    } catch (const std::exception&) {  // never let one packet bring the controller down
      stream_alarm(stream_alarm_bad_packet);
    }
    if (!stream.socket) return;
  }
}

void Core::stream_send(std::span<const uint8_t> bytes, const udp::endpoint& to) {
  if (!stream.socket) return;
  boost::system::error_code ec;  // a full send buffer drops the packet, as a network would
  stream.socket->send_to(asio::buffer(bytes.data(), bytes.size()), to, 0, ec);
}

void Core::stream_schedule_tick() {
  if (!stream.timer) return;
  stream.timer->expires_at(stream.next_tick);
  stream.timer->async_wait([this](const boost::system::error_code& ec) {
    if (ec) return;
    std::lock_guard lk(m);
    if (net.stopping) return;
    stream_tick();
  });
}

}  // namespace orvane::sim::detail
