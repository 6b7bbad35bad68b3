#include "orvane/drivers/fanuc/rmi_socket.hpp"

#include <cerrno>
#include <cstring>
#include <sstream>
#include <utility>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>

#include "orvane/drivers/fanuc/rmi_requests.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/log/log.hpp"
#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

constexpr const char* tag = "driver";
constexpr const char* closed_message = "RMI Socket was closed before a response was received.";
constexpr auto poll_slice = 100ms;

bool is_blank(const std::string& line) {
    return line.find_first_not_of(" \t\r\n") == std::string::npos;
}

boost::system::error_code errno_code(int value) {
    return {value, boost::system::system_category()};
}

}  // namespace

std::string reason_of(const std::exception& error) {
    if (const auto* own = dynamic_cast<const OrvaneError*>(&error)) return own->message;
    return error.what();
}

bool is_socket_connected(int fd) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return false;
    }
    if (error != 0) {
        return !(error == ENOTCONN || error == EPIPE || error == ECONNABORTED || error == ECONNRESET);
    }
    char byte = 0;
    const ssize_t received = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (received == 0) {
        return false;
    }
    if (received > 0) {
        return true;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

bool is_socket_connected(tcp::socket& socket) {
    return socket.is_open() && is_socket_connected(socket.native_handle());
}

void RmiSocket::Connection::shutdown() noexcept {
    // A plain shutdown(2) wakes a reader blocked in recv on this descriptor;
    // the descriptor itself stays valid until the last holder lets go.
    if (socket.is_open()) {
        ::shutdown(socket.native_handle(), SHUT_RDWR);
    }
}

RmiSocket::RmiSocket(const std::string& host_) : host(host_) {
    monitor_thread = std::thread([this] { monitor_loop(); });
    reader_thread = std::thread([this] { reader_loop(); });
}

RmiSocket::~RmiSocket() {
    {
        std::lock_guard lock(wake_mutex);
        shutting_down = true;
    }
    try {
        disconnect();
    } catch (...) {
        // A destructor must not throw; the threads are stopped below anyway.
    }
    state_changed.notify_all();
    if (monitor_thread.joinable()) {
        monitor_thread.join();
    }
    if (reader_thread.joinable()) {
        reader_thread.join();
    }
    clear_all_promises(closed_message);
}

bool RmiSocket::is_connected() const {
    return connected;
}

bool RmiSocket::wait_until_connect(double seconds) const {
    const auto start = Clock::now();
    while (!is_connected()) {
        const auto whole_seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
        if (!(static_cast<double>(whole_seconds) < seconds)) {
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    return is_connected();
}

bool RmiSocket::reconnect() {
    disconnect_requested = false;
    // An attempt already under way is the one to wait for.
    wake_all(false);
    return wait_until_connect(5);
}

void RmiSocket::disconnect() {
    disconnect_requested = true;
    wake_all(true);
    close_sockets();
}

void RmiSocket::wake_all(bool cancel_attempt) {
    {
        std::lock_guard lock(wake_mutex);
        ++wake_generation;
        if (cancel_attempt) ++cancel_generation;
    }
    state_changed.notify_all();
}

std::string RmiSocket::last_connect_failure() const {
    std::lock_guard lock(failure_mutex);
    return last_failure;
}

void RmiSocket::note_failure(const std::string& kind, const std::string& reason) {
    bool first_of_kind = false;
    {
        std::lock_guard lock(failure_mutex);
        last_failure = reason;
        first_of_kind = kind != last_logged_failure_kind;
        last_logged_failure_kind = kind;
    }
    if (first_of_kind) {
        log::log_error(tag, reason);
    } else {
        log::log_debug(tag, reason);
    }
}

void RmiSocket::note_success() {
    std::lock_guard lock(failure_mutex);
    last_failure.clear();
    last_logged_failure_kind.clear();
}

void RmiSocket::set_listener(std::function<void()> new_listener) {
    std::lock_guard lock(listener_mutex);
    listener = std::move(new_listener);
}

void RmiSocket::notify_listener() noexcept {
    std::lock_guard lock(listener_mutex);
    if (!listener) return;
    try {
        listener();
    } catch (const std::exception& error) {
        log::log_error(tag, std::string("A socket listener failed: ") + reason_of(error));
    } catch (...) {
        log::log_error(tag, "A socket listener failed.");
    }
}

bool RmiSocket::interrupted(uint64_t generation) const {
    std::lock_guard lock(wake_mutex);
    return shutting_down || cancel_generation != generation;
}

RmiSocket::ConnectionPtr RmiSocket::open_connection(const std::string& service, uint64_t generation,
                                                    boost::system::error_code& error) {
    auto connection = std::make_shared<Connection>();
    tcp::resolver resolver(connection->io);
    auto endpoints = resolver.resolve(host, service, error);
    if (error) {
        return nullptr;
    }
    if (endpoints.empty()) {
        error = asio::error::host_not_found;
        return nullptr;
    }
    const tcp::endpoint endpoint = *endpoints.begin();
    connection->socket.open(endpoint.protocol(), error);
    if (error) {
        return nullptr;
    }

    // A connect bounded in time and interruptible: an unreachable controller
    // must not hold the monitor (and so the destructor) for the kernel's
    // two minutes.
    const int fd = connection->socket.native_handle();
    const int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    if (::connect(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0) {
        if (errno != EINPROGRESS) {
            error = errno_code(errno);
            return nullptr;
        }
        const auto deadline = Clock::now() + connect_timeout;
        while (true) {
            if (interrupted(generation)) {
                error = asio::error::operation_aborted;
                return nullptr;
            }
            if (Clock::now() >= deadline) {
                error = asio::error::timed_out;
                return nullptr;
            }
            pollfd waiting{fd, POLLOUT, 0};
            const int ready = ::poll(&waiting, 1, static_cast<int>(poll_slice.count()));
            if (ready > 0) {
                break;
            }
            if (ready < 0 && errno != EINTR) {
                error = errno_code(errno);
                return nullptr;
            }
        }
        int pending = 0;
        socklen_t length = sizeof(pending);
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length);
        if (pending != 0) {
            error = errno_code(pending);
            return nullptr;
        }
    }
    ::fcntl(fd, F_SETFL, flags);
    return connection;
}

void RmiSocket::set_keep_alive(Connection& connection) {
    const int fd = connection.socket.native_handle();
    const int values[] = {keep_alive, keep_idle, keep_interval, keep_count};
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &values[0], sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &values[1], sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &values[2], sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &values[3], sizeof(int));
    // Every line is a whole request: send it at once rather than wait to
    // coalesce it with the next (a stop must not wait behind an ACK).
    const int no_delay = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof(int));
}

void RmiSocket::write_line(Connection& connection, const std::string& text) {
    // One lock around the whole line: a blocking write may take several
    // system calls, and two lines must never interleave on the wire.
    std::lock_guard lock(connection.write_mutex);
    boost::system::error_code error;
    asio::write(connection.socket, asio::buffer(text), error);
    if (error) {
        throw boost::system::system_error(error, "write");
    }
}

std::string RmiSocket::read_handshake_answer(Connection& connection, uint64_t generation) {
    // The answer may arrive in pieces; wait for its terminator, bounded in
    // time so that a silent server cannot hold the monitor.
    const int fd = connection.socket.native_handle();
    const auto deadline = Clock::now() + connect_timeout;
    std::string received;
    char buffer[4096];
    while (true) {
        const auto end = received.find("\r\n");
        if (end != std::string::npos) {
            return received.substr(0, end);
        }
        if (received.size() > receive_buffer_size) {
            throw OrvaneError("driver.fanuc", "RMI connection answer exceeds " +
                                                  std::to_string(receive_buffer_size) + " bytes");
        }
        if (interrupted(generation)) {
            throw boost::system::system_error(asio::error::operation_aborted, "receive");
        }
        if (Clock::now() >= deadline) {
            throw boost::system::system_error(asio::error::timed_out, "receive");
        }
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(poll_slice.count()));
        if (ready < 0 && errno != EINTR) {
            throw boost::system::system_error(errno_code(errno), "receive");
        }
        if (ready <= 0) {
            continue;
        }
        const ssize_t count = ::recv(fd, buffer, sizeof(buffer), 0);
        if (count > 0) {
            received.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0) {
            if (!received.empty() && !is_blank(received)) {
                return received;  // closed right after an unterminated answer
            }
            throw boost::system::system_error(asio::error::eof, "receive");
        } else if (errno != EINTR && errno != EAGAIN) {
            throw boost::system::system_error(errno_code(errno), "receive");
        }
    }
}

bool RmiSocket::connect() {
    std::unique_lock lifecycle(lifecycle_mutex);
    uint64_t generation;
    {
        std::lock_guard lock(wake_mutex);
        generation = cancel_generation;
    }
    log::log_debug(tag, "Attempting to connect to RMI socket at '" + host + "'.");
    close_locked();

    // Each step names itself, so that a failure says where it happened and a
    // monitor retrying the same failure logs it once.
    const char* step = "control socket";
    try {
        boost::system::error_code error;
        const auto control = open_connection(control_port, generation, error);
        if (!control) {
            // An attempt cut short by disconnect() or destruction is no failure.
            if (error != boost::asio::error::operation_aborted) {
                note_failure(step, "Could not start RMI comms with fanuc controller control socket: " +
                                       error.message());
            }
            return false;
        }
        set_keep_alive(*control);
        step = "handshake";
        ConnectionRequest request;
        write_line(*control, request.as_string());
        const auto answer_line = read_handshake_answer(*control, generation);
        // The controller closes the control connection after its answer; so do we.
        control->shutdown();

        step = "handshake answer";
        const auto answer = RmiResponse::as<ConnectionResponse>(RmiResponse::from_str(answer_line));
        if (!answer->success) {
            note_failure("handshake refused", "The controller refused FRC_Connect with error id " +
                                                  std::to_string(answer->error_id) + ".");
            return false;
        }
        if (answer->port_number < 1 || answer->port_number > 65535) {
            // Taken modulo 65536 it would name some other service's port.
            note_failure("handshake port", "The controller's answer to FRC_Connect names data port " +
                                               std::to_string(answer->port_number) + ", which is no TCP port.");
            return false;
        }

        step = "data socket";
        const auto data = open_connection(std::to_string(answer->port_number), generation, error);
        if (!data) {
            if (error != boost::asio::error::operation_aborted) {
                note_failure(step, "Could not start RMI comms with fanuc controller data socket: " + error.message());
            }
            return false;
        }
        set_keep_alive(*data);
        // Nothing reads this connection yet: discard whatever it already holds.
        std::vector<char> discard(receive_buffer_size);
        while (true) {
            const auto available = data->socket.available(error);
            if (error) {
                throw boost::system::system_error(error, "available");
            }
            if (available == 0) {
                break;
            }
            data->socket.receive(asio::buffer(discard), 0, error);
            if (error) {
                throw boost::system::system_error(error, "receive");
            }
        }

        log::log_debug(tag, "Successfully connected to RMI server at '" + host + "'.");
        note_success();
        major_version = answer->major_version;
        {
            std::lock_guard lock(connection_mutex);
            data_connection = data;
            ++connection_serial;
            connected = true;
        }
    } catch (const boost::system::system_error& failure) {
        if (failure.code() != asio::error::operation_aborted) {
            note_failure(step, std::string("The RMI connection failed at the ") + step + ": " + failure.what());
        }
        throw;
    } catch (const std::exception& failure) {
        note_failure(step, std::string("The RMI connection failed at the ") + step + ": " + reason_of(failure));
        throw;
    }
    {
        std::lock_guard lock(wake_mutex);  // no lost wake-up of the reader
    }
    state_changed.notify_all();
    return true;
}

void RmiSocket::close_sockets() {
    {
        std::lock_guard lifecycle(lifecycle_mutex);
        close_locked();
    }
    notify_listener();
}

void RmiSocket::close_locked() {
    if (connected) {
        try {
            DisconnectionRequest request;
            auto answer = send_message(request, 1.0);
            answer.wait_for(1s);
        } catch (const std::exception&) {
            // The link is being torn down either way.
        }
    }
    // Bytes the controller still sends after its answer are consumed and
    // dropped by the reader until the shutdown below wakes it.
    ConnectionPtr data;
    {
        std::lock_guard lock(connection_mutex);
        data = std::move(data_connection);
        data_connection.reset();
        connected = false;
    }
    if (data) {
        data->shutdown();
    }
    clear_all_promises(closed_message);
    log::log_debug(tag, "RMI Sockets are successfully closed and cleared.");
}

std::future<RmiSocket::ResponsePtr> RmiSocket::send_request(RmiMessage& request, std::optional<double> timeout) {
    ConnectionPtr link;
    {
        std::lock_guard lock(connection_mutex);
        if (connected) {
            link = data_connection;
        }
    }
    if (!link) {
        throw OrvaneError("driver.fanuc", "Cannot send message to RMI as socket is not currently connected");
    }
    std::future<ResponsePtr> future;
    {
        std::lock_guard lock(promises_mutex);
        ResponsePromise entry{Clock::now(), timeout, {}};
        future = entry.promise.get_future();
        // A replaced entry's promise is abandoned: its waiter gets a broken promise.
        promises[request.get_id()] = std::move(entry);
    }
    if (timeout) {
        {
            std::lock_guard lock(wake_mutex);
            ++timeouts_registered;
        }
        state_changed.notify_all();
    }
    write_line(*link, request.as_string());
    return future;
}

std::size_t RmiSocket::pending_count() const {
    std::lock_guard lock(promises_mutex);
    return promises.size();
}

void RmiSocket::handle_line(const std::string& line) {
    const auto response = RmiResponse::from_str(line);
    const auto& type = response->get_type();
    if (type == "Communication") {
        process_new_comm_message(*response);
    } else if (type == "Instruction" && !response->success) {
        clear_instructions(response->get_id() + " was not accepted. Error code: " +
                           std::to_string(response->error_id));
    }
    std::optional<std::promise<ResponsePtr>> waiting;
    {
        std::lock_guard lock(promises_mutex);
        auto entry = promises.find(response->get_id());
        if (entry == promises.end() && type == "Command" && response->get_name() == "Unknown") {
            // A packet the controller does not know is answered without its
            // name; commands are answered in turn, so it is the oldest one.
            for (auto candidate = promises.begin(); candidate != promises.end(); ++candidate) {
                if (RmiInstruction::is_req_from_instruction(candidate->first)) continue;
                if (entry == promises.end() || candidate->second.sent_at < entry->second.sent_at) entry = candidate;
            }
        }
        if (entry != promises.end()) {
            waiting.emplace(std::move(entry->second.promise));
            promises.erase(entry);
        }
    }
    // Completed outside the lock: the woken caller usually sends its next
    // request at once and would otherwise block on this very mutex.
    if (waiting) {
        waiting->set_value(response);
    }
}

void RmiSocket::process_new_message(const std::string& chunk) {
    line_assembler.feed(chunk, [this](const std::string& line) { handle_line(line); });
}

void RmiSocket::process_new_comm_message(const RmiResponse& response) {
    const auto& name = response.get_name();
    if (name == "FRC_Disconnect" || name == "FRC_Terminate") {
        clear_all_promises("FANUC controller disconnected (" + name + ")");
        log::log_debug(tag, "FANUC controller disconnected with " + name + ".");
        connected = false;
        state_changed.notify_all();
    } else if (name == "FRC_SystemFault") {
        clear_instructions("Robot faulted during motion execution.");
    }
}

void RmiSocket::clear_all_promises(const std::string& message) {
    std::lock_guard lock(promises_mutex);
    for (auto& [key, entry] : promises) {
        entry.promise.set_exception(std::make_exception_ptr(OrvaneError("driver.fanuc", message)));
    }
    promises.clear();
}

void RmiSocket::clear_instructions(const std::string& message) {
    std::lock_guard lock(promises_mutex);
    for (auto entry = promises.begin(); entry != promises.end();) {
        if (RmiInstruction::is_req_from_instruction(entry->first)) {
            entry->second.promise.set_exception(std::make_exception_ptr(OrvaneError("driver.fanuc", message)));
            entry = promises.erase(entry);
        } else {
            ++entry;
        }
    }
}

void RmiSocket::mark_lost(uint64_t serial, const std::string& reason) {
    {
        std::lock_guard lock(connection_mutex);
        if (serial != connection_serial || !connected) {
            return;  // an old link, or already known to be down
        }
        connected = false;
    }
    log::log_error(tag, reason);
    state_changed.notify_all();
}

bool RmiSocket::sleep_until_next_pass(uint64_t generation, uint64_t timeouts_seen,
                                      std::optional<Clock::time_point> deadline) const {
    const float seconds = retry_interval;
    auto wake_at = Clock::now() + (seconds > 0.0f ? std::chrono::duration_cast<Clock::duration>(
                                                        std::chrono::duration<double>(seconds))
                                                  : Clock::duration::zero());
    if (deadline) wake_at = std::min(wake_at, *deadline);
    std::unique_lock lock(wake_mutex);
    state_changed.wait_until(lock, wake_at, [&] {
        return shutting_down || wake_generation != generation || timeouts_registered != timeouts_seen;
    });
    return !shutting_down;
}

namespace {

// A request's deadline; none for a time-out that is no positive number.
std::optional<RmiSocket::Clock::time_point> deadline_of(const RmiSocket::ResponsePromise& entry) {
    if (!entry.timeout || !(*entry.timeout > 0.0)) return std::nullopt;
    // Bounded so that the conversion cannot overflow; a year is "never".
    const double seconds = std::min(*entry.timeout, 365.0 * 86400.0);
    return entry.sent_at + std::chrono::duration_cast<RmiSocket::Clock::duration>(std::chrono::duration<double>(seconds));
}

std::string seconds_text(double seconds) {
    std::ostringstream text;
    text << seconds;
    return text.str();
}

}  // namespace

std::optional<RmiSocket::Clock::time_point> RmiSocket::scan_timeouts() {
    std::vector<std::pair<std::string, ResponsePromise>> expired;
    std::optional<Clock::time_point> next;
    {
        std::lock_guard lock(promises_mutex);
        const auto now = Clock::now();
        for (auto entry = promises.begin(); entry != promises.end();) {
            const auto deadline = deadline_of(entry->second);
            if (deadline && *deadline <= now) {
                expired.emplace_back(entry->first, std::move(entry->second));
                entry = promises.erase(entry);
                continue;
            }
            if (deadline && (!next || *deadline < *next)) next = deadline;
            ++entry;
        }
    }
    if (expired.empty()) return next;
    for (auto& [key, entry] : expired) {
        log::log_error(tag, "Timed out waiting for socket response to " + key + ".");
        entry.promise.set_exception(std::make_exception_ptr(OrvaneError(
            "driver.fanuc", "No answer to " + key + " within " + seconds_text(*entry.timeout) + " s.")));
    }
    // A controller that does not answer within the time-out is out of step
    // with us: the link is made anew, which fails the rest.
    connected = false;
    return std::nullopt;
}

void RmiSocket::monitor_loop() {
    while (true) {
        uint64_t generation;
        uint64_t timeouts_seen;
        {
            std::unique_lock lock(wake_mutex);
            if (shutting_down) {
                return;
            }
            if (disconnect_requested) {
                // Idle until reconnect() or destruction.
                const auto seen = wake_generation;
                state_changed.wait_for(lock, 50ms, [&] { return shutting_down || wake_generation != seen; });
                continue;
            }
            generation = wake_generation;
            timeouts_seen = timeouts_registered;
        }
        std::optional<Clock::time_point> deadline;
        if (connected) {
            // The controller closes the control connection after the
            // handshake, so the data connection is the one to watch.
            ConnectionPtr link;
            {
                std::lock_guard lock(connection_mutex);
                link = data_connection;
            }
            if (link && !is_socket_connected(link->socket)) {
                connected = false;
            }
            deadline = scan_timeouts();
            if (!connected) notify_listener();
        }
        if (!connected && !disconnect_requested) {
            try {
                connect();
            } catch (const std::exception& error) {
                log::log_debug(tag, std::string("RMI connection attempt failed: ") + reason_of(error));
                connected = false;
            }
        }
        if (!sleep_until_next_pass(generation, timeouts_seen, deadline)) {
            return;
        }
    }
}

void RmiSocket::reader_loop() {
    std::vector<char> buffer(receive_buffer_size);
    uint64_t reading_serial = 0;
    while (!shutting_down) {
        ConnectionPtr link;
        uint64_t serial = 0;
        {
            std::unique_lock lock(connection_mutex);
            if (connected) {
                link = data_connection;
                serial = connection_serial;
            }
        }
        if (!link) {
            std::unique_lock lock(wake_mutex);
            state_changed.wait_for(lock, 50ms, [&] { return shutting_down.load() || connected.load(); });
            continue;
        }
        if (serial != reading_serial) {
            line_assembler.clear();  // a new connection starts with a clean line
            reading_serial = serial;
        }
        const ssize_t count = ::recv(link->socket.native_handle(), buffer.data(), buffer.size(), 0);
        if (count > 0) {
            try {
                process_new_message(std::string(buffer.data(), static_cast<std::size_t>(count)));
            } catch (const std::exception& error) {
                mark_lost(serial, reason_of(error));
            }
        } else if (count == 0) {
            mark_lost(serial, "RMI data connection closed by the controller (end of stream)");
        } else if (errno != EINTR) {
            mark_lost(serial, std::string("RMI data connection receive failed: ") + std::strerror(errno));
        }
        notify_listener();
    }
}

}  // namespace orvane::drivers
