// A stand-in for a controller's RMI control port (16001) on a loopback
// address: it counts the connections it accepts, reads one line from each and
// answers it with a line of the test's choosing (or a cut one), then closes.
// Tests put it in front of a simulator whose own control port is elsewhere,
// so the data connection still goes to the simulator.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvane_test {

class FakeControlPort {
public:
    // `answer` gives the bytes sent back, terminator included.
    FakeControlPort(const std::string& address, std::uint16_t port, std::function<std::string()> answer)
        : answer_(std::move(answer)), address_(address) {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &where.sin_addr);
        const int candidate = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(candidate, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(candidate, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 && ::listen(candidate, 16) == 0) {
            fd_ = candidate;
            where_ = where;
            acceptor_ = std::thread([this] { accept_loop(); });
        } else {
            ::close(candidate);
        }
    }

    ~FakeControlPort() {
        running_ = false;
        if (acceptor_.joinable()) acceptor_.join();
        for (auto& handler : handlers_) handler.join();
        if (fd_ >= 0) ::close(fd_);
    }

    bool listening() const { return fd_ >= 0; }
    const std::string& address() const { return address_; }

    // Connections accepted so far, counting every one the kernel completed
    // before this call: a connection of our own is queued behind them, waited
    // for and not counted.
    std::size_t accepted_settled(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        std::size_t first_candidate = 0;
        {
            std::lock_guard lock(mutex_);
            first_candidate = peers_.size();
        }
        const int marker = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(marker, reinterpret_cast<sockaddr*>(&where_), sizeof where_) != 0) {
            ::close(marker);
            return accepted();
        }
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(marker, reinterpret_cast<sockaddr*>(&local), &length);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard lock(mutex_);
                for (std::size_t i = first_candidate; i < peers_.size(); ++i) {
                    if (peers_[i].port == local.sin_port && !peers_[i].marker) {
                        peers_[i].marker = true;
                        ::close(marker);
                        std::size_t count = 0;
                        for (std::size_t k = 0; k < i; ++k) count += peers_[k].marker ? 0 : 1;
                        return count;
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ::close(marker);
        return accepted();
    }

    std::size_t accepted() const {
        std::lock_guard lock(mutex_);
        std::size_t count = 0;
        for (const auto& peer : peers_) count += peer.marker ? 0 : 1;
        return count;
    }

    std::vector<std::string> received() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    void accept_loop() {
        while (running_) {
            pollfd waiting{fd_, POLLIN, 0};
            if (::poll(&waiting, 1, 20) <= 0) continue;
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            const int connection = ::accept(fd_, reinterpret_cast<sockaddr*>(&peer), &length);
            if (connection < 0) continue;
            {
                std::lock_guard lock(mutex_);
                peers_.push_back({peer.sin_port, false});
            }
            handlers_.emplace_back([this, connection] { serve(connection); });
        }
    }

    void serve(int connection) {
        std::string line;
        char buffer[512];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (running_ && line.find("\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd waiting{connection, POLLIN, 0};
            if (::poll(&waiting, 1, 20) <= 0) continue;
            const ssize_t count = ::recv(connection, buffer, sizeof buffer, 0);
            if (count <= 0) break;
            line.append(buffer, static_cast<std::size_t>(count));
        }
        if (line.find("\r\n") != std::string::npos) {
            {
                std::lock_guard lock(mutex_);
                lines_.push_back(line.substr(0, line.find("\r\n")));
            }
            const std::string reply = answer_();
            if (!reply.empty()) ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
        ::shutdown(connection, SHUT_RDWR);
        ::close(connection);
    }

    std::function<std::string()> answer_;
    std::string address_;
    int fd_ = -1;
    sockaddr_in where_{};
    std::atomic<bool> running_{true};
    std::thread acceptor_;
    std::vector<std::thread> handlers_;  // touched by the acceptor thread, joined after it

    // Guards the counts and the received lines.
    mutable std::mutex mutex_;
    struct Peer {
        std::uint16_t port;  // network byte order
        bool marker;
    };
    std::vector<Peer> peers_;  // in the order accepted
    std::vector<std::string> lines_;
};

}  // namespace orvane_test
