// Controllers that do not answer, on port 16001 of a random loopback
// address: a listener whose accept backlog is full (a connect hangs in
// SYN-SENT, as towards a host that is switched off) and a server that accepts
// and never says a word (a port that is not the controller's RMI).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace orvane_test {

// A listening socket on port 16001 of a random loopback address.
struct Listener {
    int fd = -1;
    std::string address;
    sockaddr_in where{};

    Listener(int backlog, int type_flags) {
        std::mt19937 random(std::random_device{}());
        for (int attempt = 0; attempt < 50 && fd < 0; ++attempt) {
            address = "127." + std::to_string(random() % 200 + 20) + "." + std::to_string(random() % 250 + 1) + "." +
                      std::to_string(random() % 250 + 1);
            where = {};
            where.sin_family = AF_INET;
            where.sin_port = htons(16001);
            ::inet_pton(AF_INET, address.c_str(), &where.sin_addr);
            const int candidate = ::socket(AF_INET, SOCK_STREAM | type_flags, 0);
            if (::bind(candidate, reinterpret_cast<sockaddr*>(&where), sizeof(where)) == 0 &&
                ::listen(candidate, backlog) == 0) {
                fd = candidate;
            } else {
                ::close(candidate);
            }
        }
    }
    ~Listener() {
        if (fd >= 0) ::close(fd);
    }
};

// A listener that never accepts, with its backlog already full: a
// connection attempt to it hangs in SYN-SENT.
struct BlackHole : Listener {
    std::vector<int> fillers;

    BlackHole() : Listener(0, 0) {
        for (int i = 0; fd >= 0 && i < 3; ++i) {
            const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(filler, reinterpret_cast<sockaddr*>(&where), sizeof(where));
            fillers.push_back(filler);
        }
    }
    ~BlackHole() {
        for (int filler : fillers) ::close(filler);
    }
};

// A server that accepts the control connection and never answers.
struct SilentServer : Listener {
    std::thread acceptor;
    std::vector<int> accepted;
    std::atomic<bool> running{true};

    SilentServer() : Listener(8, SOCK_NONBLOCK) {
        acceptor = std::thread([this] {
            while (running) {
                const int connection = ::accept(fd, nullptr, nullptr);
                if (connection >= 0) accepted.push_back(connection);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    ~SilentServer() {
        running = false;
        acceptor.join();
        for (int connection : accepted) ::close(connection);
    }
};


}  // namespace orvane_test
