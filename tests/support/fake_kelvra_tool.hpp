// A stand-in for the Kelvra visual tool: accepts connections on 127.0.0.1 (a
// free port), records the lines it receives and sends lines to the latest
// client. Shared by the motion library's and the driver's tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvane::testing {

class FakeKelvraTool {
public:
    explicit FakeKelvraTool(std::chrono::seconds deadline = std::chrono::seconds(30)) : deadline_(deadline) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (listener_ < 0) throw std::runtime_error("socket");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 4) != 0) {
            throw std::runtime_error("bind/listen");
        }
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { accept_loop(); });
    }

    ~FakeKelvraTool() {
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        hang_up();
        acceptor_.join();
        for (auto& reader : readers_) reader.join();
        for (int client : clients_) ::close(client);
    }

    FakeKelvraTool(const FakeKelvraTool&) = delete;
    FakeKelvraTool& operator=(const FakeKelvraTool&) = delete;

    void send(const std::string& line) {
        std::lock_guard lock(mutex_);
        if (clients_.empty()) throw std::runtime_error("no client");
        const std::string data = line + "\n";
        ::send(clients_.back(), data.data(), data.size(), MSG_NOSIGNAL);
    }
    void send_json(const nlohmann::json& message) { send(message.dump()); }

    // Closes the connections from the tool's side.
    void hang_up() {
        std::lock_guard lock(mutex_);
        for (int client : clients_) ::shutdown(client, SHUT_RDWR);
    }

    bool wait_for_lines(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline_, [&] { return lines_.size() >= count; });
    }

    // Waits until `count` received lines, read as JSON (a line that is not
    // JSON reads as a discarded value), satisfy `match`.
    template <class Match>
    bool wait_for(std::size_t count, Match match) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline_, [&] {
            std::size_t n = 0;
            for (const auto& line : lines_) n += match(nlohmann::json::parse(line, nullptr, false)) ? 1 : 0;
            return n >= count;
        });
    }

    bool wait_for_connections(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline_, [&] { return clients_.size() >= count; });
    }

    bool wait_for_closed(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline_, [&] { return closed_ >= count; });
    }

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    std::vector<nlohmann::json> messages() const {
        std::vector<nlohmann::json> parsed;
        for (const auto& line : lines()) parsed.push_back(nlohmann::json::parse(line, nullptr, false));
        return parsed;
    }

    std::string endpoint() const { return "127.0.0.1:" + std::to_string(port); }

    std::uint16_t port{0};

private:
    void accept_loop() {
        for (;;) {
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) return;
            std::lock_guard lock(mutex_);
            clients_.push_back(client);
            readers_.emplace_back([this, client] { read_loop(client); });
            changed_.notify_all();
        }
    }

    void read_loop(int client) {
        std::string buffer;
        char chunk[4096];
        for (;;) {
            const auto n = ::recv(client, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            buffer.append(chunk, static_cast<std::size_t>(n));
            for (auto end = buffer.find('\n'); end != std::string::npos; end = buffer.find('\n')) {
                std::lock_guard lock(mutex_);
                lines_.push_back(buffer.substr(0, end));
                buffer.erase(0, end + 1);
                changed_.notify_all();
            }
        }
        std::lock_guard lock(mutex_);
        ++closed_;
        changed_.notify_all();
    }

    std::chrono::seconds deadline_;
    int listener_{-1};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> clients_;
    std::vector<std::thread> readers_;
    std::vector<std::string> lines_;
    std::size_t closed_{0};
};

}  // namespace orvane::testing
