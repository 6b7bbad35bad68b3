// A controller of the tests' own on a loopback address, scripted to misbehave.
//
// It speaks just enough RMI to be connected to: it answers "FRC_Connect" on
// port 16001 (with a text the test may replace) and then serves one data
// connection at a time. Every request line the driver sends is recorded and
// passed to a responder the test chooses; `send` writes arbitrary bytes to
// the driver. It knows nothing of the simulator, so a hostile case never
// depends on what the simulator happens to tolerate.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace hostile {

class HostileController {
public:
    // Returns the bytes to write in answer to one request line (without its
    // terminator); an empty string answers nothing.
    using Responder = std::function<std::string(const std::string& request)>;

    HostileController();
    ~HostileController();
    HostileController(const HostileController&) = delete;
    HostileController& operator=(const HostileController&) = delete;

    const std::string& address() const { return host; }
    uint16_t data_port() const { return bound_data_port; }

    // The answer written on the control connection (terminator included);
    // empty restores the well-formed one naming the data port.
    void set_handshake_answer(std::string bytes);
    void set_responder(Responder responder);
    // A well-behaved controller: every command is answered at once with
    // ErrorID 0 and the members the driver reads, every instruction with its
    // SequenceID.
    static std::string well_behaved_answer(const std::string& request);

    // Writes bytes to the present data connection; false if there is none.
    bool send(const std::string& bytes);
    // Writes `bytes` in pieces of `piece` bytes, `gap` apart, until done, the
    // connection goes or `stop_sending` is called.
    void trickle(const std::string& bytes, std::size_t piece, std::chrono::milliseconds gap);
    void stop_sending();
    // Closes the present data connection abruptly.
    void drop();

    std::vector<std::string> received() const;
    std::size_t received_count(const std::string& fragment) const;
    std::size_t data_connections() const;
    bool wait_for_request(const std::string& fragment, std::chrono::milliseconds limit,
                          std::size_t occurrence = 1) const;

private:
    void serve_control();
    void serve_data();
    void read_data(int connection);

    std::string host;
    uint16_t bound_data_port = 0;
    int control_listener = -1;
    int data_listener = -1;
    std::atomic<bool> running{true};
    std::atomic<bool> sending_stopped{false};

    // Guards everything below; never held while writing to a socket.
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::string handshake_answer;
    Responder responder;
    int data_connection = -1;
    std::size_t connections = 0;
    std::vector<std::string> lines;

    // Serialises writes to the data connection (taken before `mutex`).
    std::mutex write_mutex;

    std::thread control_thread;
    std::thread data_thread;
};

}  // namespace hostile
