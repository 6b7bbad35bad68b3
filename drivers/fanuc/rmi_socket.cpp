// RmiSocket: the link's life (the monitor that connects and watches it, the
// reader that turns received lines into answers) and the requests waiting
// for their answers.
#include "orvane/drivers/fanuc/rmi_socket.hpp"

#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <sys/socket.h>

#include "orvane/drivers/fanuc/rmi_requests.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/log/log.hpp"
#include "orvane/log/orvane_error.hpp"
#include "rmi_connection.hpp"

namespace orvane::drivers {

using namespace std::chrono_literals;

namespace {

constexpr const char* tag = "driver";

}  // namespace

namespace {

double checked_connect_timeout(double seconds) {
    // A day bounds the deadline arithmetic; nobody waits that long for a link.
    if (!(seconds > 0.0) || seconds > 86400.0) {
        throw std::invalid_argument("The connect timeout must be a number of seconds above 0 and at most 86400.");
    }
    return seconds;
}

}  // namespace

RmiSocket::RmiSocket(const std::string& host_, std::uint16_t control_port_, double connect_timeout_, bool connect_now)
    : control_port(control_port_),
      disconnect_requested(!connect_now),
      host(host_),
      connect_timeout_seconds(checked_connect_timeout(connect_timeout_)) {
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
    clear_all_promises(rmi_socket_closed_message);
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

bool RmiSocket::reconnect(std::optional<double> timeout) {
    if (timeout) connect_timeout_seconds = checked_connect_timeout(*timeout);
    const double seconds = connect_timeout_seconds;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::unique_lock lock(failure_mutex);
    if (connected) return true;
    // An attempt already under way is the one to wait for: its outcome is as
    // fresh as the next one's. The waiter is counted before a disconnect is
    // lifted, so that the attempts it starts report to it.
    const auto seen = attempts_ended;
    ++reconnect_waiters;
    lock.unlock();
    disconnect_requested = false;
    wake_all(false);
    lock.lock();
    const bool answered = attempt_ended.wait_until(
        lock, deadline, [&] { return connected || (attempts_ended != seen && last_failure_final); });
    --reconnect_waiters;
    if (connected) return true;
    if (answered) return false;  // last_failure says why
    if (attempt_step != nullptr) {
        // Cut off by the deadline: said as the attempt itself will say it,
        // and its own failure, of the same kind, is not logged again.
        const auto cut_off = attempt_timed_out(attempt_step, seconds);
        last_failure = failure_sentence(cut_off.text);
        last_failure_final = false;
        last_logged_failure_kind = cut_off.kind;
    } else if (last_failure.empty()) {
        last_failure = failure_sentence(attempt_timed_out(nullptr, seconds).text);
    }
    return false;
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

void RmiSocket::note_failure(const RmiAttemptFailure& failure) {
    const auto sentence = failure_sentence(failure.text);
    bool to_error_log = false;
    {
        std::lock_guard lock(failure_mutex);
        last_failure = sentence;
        last_failure_final = failure.final;
        ++attempts_ended;
        // A waiting reconnect() hands the sentence to its caller (the
        // constructor's exception): the log would only say it twice.
        to_error_log = failure.kind != last_logged_failure_kind && reconnect_waiters == 0;
        last_logged_failure_kind = failure.kind;
    }
    attempt_ended.notify_all();
    if (to_error_log) {
        log::log_error(tag, sentence);
    } else {
        log::log_debug(tag, sentence);
    }
}

void RmiSocket::note_success() {
    {
        std::lock_guard lock(failure_mutex);
        last_failure.clear();
        last_failure_final = false;
        last_logged_failure_kind.clear();
        ++attempts_ended;
    }
    attempt_ended.notify_all();
}

void RmiSocket::note_step(const char* step) {
    std::lock_guard lock(failure_mutex);
    attempt_step = step;
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
        if (response->get_name() == "FRC_SystemFault") {
            std::lock_guard lock(promises_mutex);
            instruction_failure = InstructionFailure{response->as_json().value("SequenceID", 0), 0, true};
        }
        process_new_comm_message(*response);
    } else if (type == "Instruction" && !response->success) {
        {
            std::lock_guard lock(promises_mutex);
            const auto sequence = response->as_json().value("SequenceID", 0);
            instruction_failure = InstructionFailure{sequence, response->error_id, false};
        }
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