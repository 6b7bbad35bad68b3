// A UDP socket on a loopback address of its own, standing in for a
// controller's Stream Motion port in tests: it receives datagrams with their
// sender and sends datagrams to whom it chooses.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane_test {

class UdpPeer {
public:
    struct Datagram {
        std::vector<std::uint8_t> bytes;
        sockaddr_in from{};
    };

    // Binds `port` on a random address in 127.0.0.0/8 (another one when taken).
    explicit UdpPeer(std::uint16_t port = 60015) {
        std::random_device seed;
        std::mt19937 random(seed());
        std::uniform_int_distribution<int> byte(0, 255), host(1, 254);
        for (int attempt = 0; attempt < 100; ++attempt) {
            address_ = "127." + std::to_string(byte(random)) + "." + std::to_string(byte(random)) + "." +
                       std::to_string(host(random));
            fd_ = bind_to(address_, port);
            if (fd_ >= 0) break;
        }
        if (fd_ < 0) throw std::runtime_error("no free loopback address for a UDP peer");
        sockaddr_in own{};
        socklen_t size = sizeof own;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&own), &size);
        port_ = ntohs(own.sin_port);
    }

    ~UdpPeer() { ::close(fd_); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    const std::string& address() const { return address_; }
    std::uint16_t port() const { return port_; }
    int fd() const { return fd_; }

    // The next datagram, or none within `limit`.
    std::optional<Datagram> receive(std::chrono::milliseconds limit) {
        pollfd watched{fd_, POLLIN, 0};
        if (::poll(&watched, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
        Datagram datagram;
        datagram.bytes.resize(2048);
        socklen_t size = sizeof datagram.from;
        const auto received = ::recvfrom(fd_, datagram.bytes.data(), datagram.bytes.size(), 0,
                                         reinterpret_cast<sockaddr*>(&datagram.from), &size);
        if (received < 0) return std::nullopt;
        datagram.bytes.resize(static_cast<std::size_t>(received));
        return datagram;
    }

    void send_to(const sockaddr_in& to, std::span<const std::uint8_t> bytes) {
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

    // Binds a UDP socket, or returns -1.
    static int bind_to(const std::string& address, std::uint16_t port) {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &where.sin_addr);
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

private:
    std::string address_;
    std::uint16_t port_{0};
    int fd_{-1};
};

}  // namespace orvane_test
