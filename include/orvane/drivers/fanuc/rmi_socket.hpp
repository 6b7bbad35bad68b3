#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <boost/system/system_error.hpp>

#include "orvane/drivers/fanuc/rmi_line_assembler.hpp"
#include "orvane/drivers/fanuc/rmi_message.hpp"

namespace orvane::drivers {

// Why a connection attempt failed (defined with the connection attempt).
struct RmiAttemptFailure;

/// The text of an exception for a log line: an OrvaneError's bare message
/// (its what() is framed for a traceback and starts with a line break).
std::string reason_of(const std::exception& error);

/// The link to one FANUC controller running RMI.
///
/// A control connection to `control_port` carries only the "FRC_Connect"
/// handshake; the data connection to the port it returns carries every later
/// request and response. From construction on, a monitor thread connects,
/// watches the link and reconnects; a reader thread turns received lines into
/// responses and completes the promise of the request each one answers.
class RmiSocket {
public:
    using ResponsePtr = std::shared_ptr<RmiResponse>;
    using Clock = std::chrono::steady_clock;

    struct ResponsePromise {
        Clock::time_point sent_at;
        std::optional<double> timeout;
        std::promise<ResponsePtr> promise;
    };

    /// The controller's RMI control port, where "FRC_Connect" is sent.
    static constexpr std::uint16_t default_control_port = 16001;
    /// Seconds a connection attempt may take unless told otherwise.
    static constexpr double default_connect_timeout = 5.0;
    /// Receive buffer size, and the longest line accepted; a longer line,
    /// complete or not, is a protocol violation.
    static constexpr std::size_t receive_buffer_size = 100000;

    /// Starts connecting at once, or with `connect_now` false at the first
    /// reconnect() (whose caller then hears of every failure). Each attempt
    /// (TCP connect, handshake, data connection) takes at most
    /// `connect_timeout` seconds.
    explicit RmiSocket(const std::string& host, std::uint16_t control_port = default_control_port,
                       double connect_timeout = default_connect_timeout, bool connect_now = true);
    ~RmiSocket();
    RmiSocket(const RmiSocket&) = delete;
    RmiSocket& operator=(const RmiSocket&) = delete;

    /// One full connection attempt; true on success, false when it fails,
    /// its reason then in last_connect_failure(). While no caller of
    /// reconnect() waits (and will report it), a failure is logged at error
    /// level when it differs in kind from the last one logged (at debug
    /// level otherwise), so a retrying monitor repeats nothing. Only
    /// disconnect() and destruction cut an attempt short.
    bool connect();
    /// Why the link could not be made, as one sentence naming the address,
    /// the port, what happened and what to check; empty once it was made.
    std::string last_connect_failure() const;
    bool is_connected() const;
    bool wait_until_connect(double seconds) const;
    /// Lifts a disconnect and waits for the link: true once it is up, false
    /// at once when the controller cannot be reached on any later try (the
    /// connection refused, the address unresolvable, a server that is not
    /// RMI), else false after `timeout` seconds (the socket's connect
    /// time-out when empty, which a given value replaces). Retries go on in
    /// the background either way.
    bool reconnect(std::optional<double> timeout = std::nullopt);
    /// Seconds a connection attempt may take.
    double connect_timeout() const { return connect_timeout_seconds; }
    void disconnect();
    void close_sockets();

    /// Sends one request and returns the future of its response.
    template <typename T>
    std::future<ResponsePtr> send_message(T&& request, std::optional<double> timeout = std::nullopt) {
        return send_request(static_cast<RmiMessage&>(request), timeout);
    }
    std::future<ResponsePtr> send_request(RmiMessage& request, std::optional<double> timeout);

    /// Handles the bytes of one receive call (reader thread). Text after the
    /// last terminator is kept and completed by the next call.
    void process_new_message(const std::string& chunk);
    void process_new_comm_message(const RmiResponse& response);
    void clear_instructions(const std::string& message);
    void clear_all_promises(const std::string& message);

    /// Installs the function called on the reader thread after every batch
    /// of received lines (their requests already completed), and whenever the
    /// link is found down. It is called with no lock of the socket held and
    /// must not wait for an answer, since no line is read while it runs.
    /// Replacing or clearing it waits for a call in progress.
    void set_listener(std::function<void()> listener);

    /// Number of requests waiting for their response.
    std::size_t pending_count() const;

    /// An instruction the controller refused (its error ID) or faulted on
    /// ("FRC_SystemFault", error ID 0). Every unanswered instruction fails
    /// with it; this tells which one was the cause.
    struct InstructionFailure {
        std::int32_t sequence_id{0};
        std::int32_t error_id{0};
        bool fault{false};
    };
    /// The latest such failure on any link (empty before the first).
    std::optional<InstructionFailure> last_instruction_failure() const {
        std::lock_guard lock(promises_mutex);
        return instruction_failure;
    }
    /// Serial number of the present data connection, empty while disconnected; a new value means the link was lost and made anew.
    std::optional<uint64_t> link_serial() { std::lock_guard lock(connection_mutex); return connected ? std::optional<uint64_t>(connection_serial) : std::nullopt; }

    const std::uint16_t control_port;
    std::atomic<float> retry_interval{2.0f};
    int32_t keep_alive{1};
    int32_t keep_idle{2};
    int32_t keep_interval{1};
    int32_t keep_count{3};
    std::atomic<int32_t> major_version{1};

private:
    // One TCP connection (defined where the socket is built, so that a
    // user's build does not parse the networking library).
    struct Connection;
    using ConnectionPtr = std::shared_ptr<Connection>;

    /// Resolves `host` and connects to `port`, by `deadline`; empty and the
    /// reason in `failure` when it cannot. `what` names the port's role.
    ConnectionPtr open_connection(std::uint16_t port, const char* what, uint64_t generation, Clock::time_point deadline,
                                  RmiAttemptFailure& failure);
    void write_line(Connection& connection, const std::string& text);
    std::string read_handshake_answer(Connection& connection, uint64_t generation, Clock::time_point deadline);
    bool attempt_connection(uint64_t generation, RmiAttemptFailure& failure);
    /// "Could not connect to FANUC RMI server at <host> port <port>: <text>."
    std::string failure_sentence(const std::string& text) const;
    void set_keep_alive(Connection& connection);
    void close_locked();
    void handle_line(const std::string& line);
    void mark_lost(uint64_t serial, const std::string& reason);
    /// Wakes the monitor's and the reader's waits; with `cancel_attempt` also
    /// ends a connection attempt in progress.
    void wake_all(bool cancel_attempt);
    /// Notes a failed attempt and wakes reconnect().
    void note_failure(const RmiAttemptFailure& failure);
    void note_success();
    /// The step of the attempt under way (null between attempts).
    void note_step(const char* step);
    void notify_listener() noexcept;
    bool interrupted(uint64_t generation) const;
    /// Sleeps until the next monitor pass: `retry_interval`, cut short by a
    /// wake-up, a newly registered time-out or `deadline`.
    bool sleep_until_next_pass(uint64_t generation, uint64_t timeouts_seen,
                               std::optional<Clock::time_point> deadline) const;

    void monitor_loop();
    void reader_loop();
    /// Fails every request whose time-out has passed (and then drops the
    /// link); returns the earliest deadline still ahead.
    std::optional<Clock::time_point> scan_timeouts();

    std::atomic<bool> connected{false};
    std::atomic<bool> shutting_down{false};
    std::atomic<bool> disconnect_requested{false};

    std::string host;

    // Serialises connecting and closing.
    std::mutex lifecycle_mutex;
    // Guards the current data connection and its serial number.
    std::mutex connection_mutex;
    ConnectionPtr data_connection;
    uint64_t connection_serial{0};

    // Guards the three counters below (taken alone, never with another lock
    // of the socket). `wake_generation` changes on every disconnect and
    // reconnect, so that the monitor's and the reader's waits end;
    // `cancel_generation` only on disconnect, so that an attempt in progress
    // ends (a reconnect lets it finish: a second handshake while the first is
    // under way is refused by the controller, or worse, accepted).
    // `timeouts_registered` counts requests sent with a time-out, so that the
    // monitor wakes in time for the new deadline.
    mutable std::mutex wake_mutex;
    mutable std::condition_variable state_changed;
    uint64_t wake_generation{0};
    uint64_t cancel_generation{0};
    uint64_t timeouts_registered{0};

    std::atomic<double> connect_timeout_seconds;

    // Guards the notes of connection attempts (taken alone). `attempts_ended`
    // counts finished attempts, so that reconnect() waits for one that ended
    // after it began; `attempt_step` names the step of the attempt under way;
    // while `reconnect_waiters` is not 0 a caller reports the failure, and
    // the log keeps it at debug level.
    mutable std::mutex failure_mutex;
    std::condition_variable attempt_ended;
    std::string last_failure;
    bool last_failure_final{false};
    std::string last_logged_failure_kind;
    uint64_t attempts_ended{0};
    const char* attempt_step{nullptr};
    int reconnect_waiters{0};

    // Owned by the reader thread: holds the unfinished tail of the last receive.
    RmiLineAssembler line_assembler{receive_buffer_size};

    std::mutex listener_mutex;
    std::function<void()> listener;

    std::map<std::string, ResponsePromise> promises;
    mutable std::mutex promises_mutex;
    /// Guarded by promises_mutex.
    std::optional<InstructionFailure> instruction_failure;

    std::thread monitor_thread;
    std::thread reader_thread;
};

}  // namespace orvane::drivers
