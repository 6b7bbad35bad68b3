#include "hostile/hostile_controller.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace hostile {

using namespace std::chrono_literals;

namespace {

int listen_on(const std::string& address, uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0 || ::listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t port_of(int fd) {
    sockaddr_in where{};
    socklen_t length = sizeof(where);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length);
    return ntohs(where.sin_port);
}

// Accepts with a bounded wait, so that the serving threads see `running`.
int accept_within(int listener, std::chrono::milliseconds limit) {
    pollfd waiting{listener, POLLIN, 0};
    if (::poll(&waiting, 1, static_cast<int>(limit.count())) <= 0) return -1;
    return ::accept(listener, nullptr, nullptr);
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::send(fd, data, size, MSG_NOSIGNAL);
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

HostileController::HostileController() {
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 100 && control_listener < 0; ++attempt) {
        host = "127." + std::to_string(random() % 200 + 20) + "." + std::to_string(random() % 250 + 1) + "." +
               std::to_string(random() % 250 + 1);
        control_listener = listen_on(host, 16001);
    }
    if (control_listener < 0) throw std::runtime_error("no free loopback address for the hostile controller");
    data_listener = listen_on(host, 0);
    bound_data_port = port_of(data_listener);
    responder = well_behaved_answer;
    control_thread = std::thread([this] { serve_control(); });
    data_thread = std::thread([this] { serve_data(); });
}

HostileController::~HostileController() {
    running = false;
    stop_sending();
    drop();
    control_thread.join();
    data_thread.join();
    ::close(control_listener);
    ::close(data_listener);
}

void HostileController::set_handshake_answer(std::string bytes) {
    std::lock_guard lock(mutex);
    handshake_answer = std::move(bytes);
}

void HostileController::set_responder(Responder new_responder) {
    std::lock_guard lock(mutex);
    responder = std::move(new_responder);
}

std::string HostileController::well_behaved_answer(const std::string& request) {
    const auto packet = nlohmann::json::parse(request, nullptr, false);
    if (!packet.is_object()) return "";
    nlohmann::json answer;
    if (packet.contains("Instruction")) {
        answer = {{"Instruction", packet["Instruction"]}, {"ErrorID", 0}, {"SequenceID", packet.value("SequenceID", 0)}};
    } else if (packet.contains("Command")) {
        const std::string name = packet["Command"].get<std::string>();
        answer = {{"Command", name}, {"ErrorID", 0}};
        if (name == "FRC_GetStatus") {
            answer.update({{"ServoReady", 1}, {"TPMode", 0}, {"RMIMotionStatus", 1}, {"ProgramStatus", 1},
                           {"SingleStepMode", 0}, {"NumberUTool", 1}, {"NumberUFrame", 0},
                           {"NextSequenceID", 1}, {"Override", 100}});
        } else if (name == "FRC_ReadJointAngles") {
            nlohmann::json angles;
            for (int k = 1; k <= 9; ++k) angles["J" + std::to_string(k)] = 0.0;
            answer.update({{"TimeTag", 1}, {"JointAngle", angles}, {"Group", 1}});
        } else if (name == "FRC_ReadDIN") {
            answer.update({{"PortNumber", packet.value("PortNumber", 0)}, {"PortValue", 0}});
        }
    } else if (packet.contains("Communication")) {
        answer = {{"Communication", packet["Communication"]}, {"ErrorID", 0}};
    } else {
        return "";
    }
    return answer.dump() + "\r\n";
}

void HostileController::serve_control() {
    while (running) {
        const int connection = accept_within(control_listener, 50ms);
        if (connection < 0) continue;
        // Read the request line, bounded in time, then answer and close as a
        // controller does.
        std::string request;
        char buffer[512];
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (request.find("\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd waiting{connection, POLLIN, 0};
            if (::poll(&waiting, 1, 50) <= 0) continue;
            const ssize_t count = ::recv(connection, buffer, sizeof(buffer), 0);
            if (count <= 0) break;
            request.append(buffer, static_cast<std::size_t>(count));
        }
        std::string answer;
        {
            std::lock_guard lock(mutex);
            lines.push_back(request.substr(0, request.find("\r\n")));
            answer = handshake_answer;
        }
        changed.notify_all();
        if (answer.empty()) {
            answer = nlohmann::json{{"Communication", "FRC_Connect"}, {"ErrorID", 0},
                                    {"PortNumber", bound_data_port}, {"MajorVersion", 9}, {"MinorVersion", 0}}
                         .dump() +
                     "\r\n";
        }
        write_all(connection, answer.data(), answer.size());
        ::shutdown(connection, SHUT_RDWR);
        ::close(connection);
    }
}

void HostileController::serve_data() {
    while (running) {
        const int connection = accept_within(data_listener, 50ms);
        if (connection < 0) continue;
        const int yes = 1;
        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
        {
            std::lock_guard lock(mutex);
            data_connection = connection;
            ++connections;
        }
        changed.notify_all();
        read_data(connection);
        {
            // Taken so that no writer is still using the descriptor.
            std::lock_guard writing(write_mutex);
            std::lock_guard lock(mutex);
            data_connection = -1;
            ::close(connection);
        }
        changed.notify_all();
    }
}

void HostileController::read_data(int connection) {
    std::string held;
    char buffer[65536];
    while (running) {
        pollfd waiting{connection, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0) continue;
        const ssize_t count = ::recv(connection, buffer, sizeof(buffer), 0);
        if (count <= 0) return;
        held.append(buffer, static_cast<std::size_t>(count));
        for (auto end = held.find("\r\n"); end != std::string::npos; end = held.find("\r\n")) {
            const std::string line = held.substr(0, end);
            held.erase(0, end + 2);
            Responder respond;
            {
                std::lock_guard lock(mutex);
                lines.push_back(line);
                respond = responder;
            }
            changed.notify_all();
            const std::string answer = respond ? respond(line) : std::string();
            if (!answer.empty()) {
                std::lock_guard writing(write_mutex);
                write_all(connection, answer.data(), answer.size());
            }
        }
    }
}

bool HostileController::send(const std::string& bytes) {
    std::lock_guard writing(write_mutex);
    int connection;
    {
        std::lock_guard lock(mutex);
        connection = data_connection;
    }
    return connection >= 0 && write_all(connection, bytes.data(), bytes.size());
}

void HostileController::trickle(const std::string& bytes, std::size_t piece, std::chrono::milliseconds gap) {
    sending_stopped = false;
    for (std::size_t at = 0; at < bytes.size() && !sending_stopped && running; at += piece) {
        if (!send(bytes.substr(at, piece))) return;
        std::this_thread::sleep_for(gap);
    }
}

void HostileController::stop_sending() { sending_stopped = true; }

void HostileController::drop() {
    std::lock_guard lock(mutex);
    if (data_connection >= 0) {
        // An abortive close (RST), as a controller losing power looks from the client.
        linger abort_at_once{1, 0};
        ::setsockopt(data_connection, SOL_SOCKET, SO_LINGER, &abort_at_once, sizeof(abort_at_once));
        ::shutdown(data_connection, SHUT_RDWR);
    }
}

std::vector<std::string> HostileController::received() const {
    std::lock_guard lock(mutex);
    return lines;
}

std::size_t HostileController::received_count(const std::string& fragment) const {
    std::lock_guard lock(mutex);
    std::size_t count = 0;
    for (const auto& line : lines) count += line.find(fragment) != std::string::npos;
    return count;
}

std::size_t HostileController::data_connections() const {
    std::lock_guard lock(mutex);
    return connections;
}

bool HostileController::wait_for_request(const std::string& fragment, std::chrono::milliseconds limit,
                                         std::size_t occurrence) const {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] {
        std::size_t count = 0;
        for (const auto& line : lines) count += line.find(fragment) != std::string::npos;
        return count >= occurrence;
    });
}

}  // namespace hostile
