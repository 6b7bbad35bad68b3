// The Stream Motion UDP endpoint against a UDP peer of the test's own on
// loopback: datagrams both ways, deadlines, a close from another thread, and
// what the kernel reports about the controller's port.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "orvane/drivers/fanuc/stream_motion_udp.hpp"
#include "orvane/log/orvane_error.hpp"
#include "stream_motion/udp_peer.hpp"

namespace sm = orvane::drivers::stream_motion;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// Whether thread `tid` of this process sleeps in the kernel (a blocked wait).
bool is_sleeping(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close_paren = text.rfind(')');
    return close_paren != std::string::npos && close_paren + 2 < text.size() && text[close_paren + 2] == 'S';
}

template <typename Condition>
bool wait_until(Condition condition, std::chrono::milliseconds limit = 10s) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// A controller's port and an endpoint to it that has sent one datagram, so
// that the controller knows where to answer.
class StreamMotionUdpLink : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(endpoint.send(std::vector<std::uint8_t>{1}, Clock::now() + 1s).ok());
        const auto hello = controller.receive(5s);
        ASSERT_TRUE(hello.has_value());
        endpoint_address = hello->from;
    }
    void answer(std::size_t size, std::uint8_t fill) {
        controller.send_to(endpoint_address, std::vector<std::uint8_t>(size, fill));
    }

    orvane_test::UdpPeer controller;
    sm::UdpEndpoint endpoint{controller.address(), controller.port()};
    sockaddr_in endpoint_address{};
    std::array<std::uint8_t, 600> buffer{};
};

}  // namespace

TEST(StreamMotionUdp, DatagramsGoBothWaysWithTheControllersAddress) {
    orvane_test::UdpPeer controller;
    sm::UdpEndpoint endpoint(controller.address(), controller.port());
    EXPECT_EQ(endpoint.peer(), controller.address() + ":" + std::to_string(controller.port()));
    EXPECT_NE(endpoint.local_port(), 0);

    const std::vector<std::uint8_t> request{0, 0, 0, 2, 0, 0, 0, 3};
    ASSERT_TRUE(endpoint.send(request, Clock::now() + 1s).ok());
    const auto arrived = controller.receive(5s);
    ASSERT_TRUE(arrived.has_value());
    EXPECT_EQ(arrived->bytes, request);
    EXPECT_EQ(ntohs(arrived->from.sin_port), endpoint.local_port());

    // The controller answers to the sender's address and port.
    std::vector<std::uint8_t> answer(388, 0x5C);
    controller.send_to(arrived->from, answer);
    std::array<std::uint8_t, 600> buffer{};
    const auto received = endpoint.receive(buffer, Clock::now() + 5s);
    ASSERT_TRUE(received.ok()) << endpoint.describe(received);
    EXPECT_EQ(received.size, 388U);
    EXPECT_TRUE(std::equal(answer.begin(), answer.end(), buffer.begin()));
}

TEST_F(StreamMotionUdpLink, AReceiveEndsAtItsDeadline) {
    const auto deadline = Clock::now() + 50ms;
    const auto received = endpoint.receive(buffer, deadline);
    EXPECT_EQ(received.outcome, sm::UdpEndpoint::Outcome::timed_out);
    EXPECT_GE(Clock::now(), deadline);
    // A deadline already past still takes what is waiting.
    answer(12, 1);
    ASSERT_TRUE(wait_until([&] { return endpoint.receive(buffer, Clock::now() - 1s).ok(); }));
}

TEST_F(StreamMotionUdpLink, ACloseFromAnotherThreadWakesAWaitingReceive) {
    std::atomic<pid_t> receiver{0};
    std::atomic<bool> returned{false};
    sm::UdpEndpoint::Transfer result;
    std::thread waiting([&] {
        receiver = static_cast<pid_t>(::syscall(SYS_gettid));
        std::array<std::uint8_t, 600> own_buffer{};
        result = endpoint.receive(own_buffer, Clock::now() + 1h);
        returned = true;
    });
    // Closed once the receive is blocked in the kernel.
    EXPECT_TRUE(wait_until([&] { return receiver.load() != 0 && is_sleeping(receiver.load()); }));
    endpoint.close();
    const bool woke = wait_until([&] { return returned.load(); }, 30s);
    // Never leave the thread blocked for an hour behind a failed check.
    if (!woke) answer(12, 0);
    waiting.join();
    ASSERT_TRUE(woke);
    EXPECT_EQ(result.outcome, sm::UdpEndpoint::Outcome::closed);

    // Everything after a close says so, sends included.
    EXPECT_EQ(endpoint.receive(buffer, Clock::now() + 1s).outcome, sm::UdpEndpoint::Outcome::closed);
    EXPECT_EQ(endpoint.send(buffer, Clock::now() + 1s).outcome, sm::UdpEndpoint::Outcome::closed);
    EXPECT_TRUE(endpoint.is_closed());
    EXPECT_NE(endpoint.describe({sm::UdpEndpoint::Outcome::closed, 0, 0}).find("closed"), std::string::npos);
}

TEST_F(StreamMotionUdpLink, ADatagramLargerThanTheBufferIsReportedNotCutShort) {
    answer(700, 7);
    answer(28, 8);
    std::array<std::uint8_t, 521> packet_buffer{};
    const auto oversized = endpoint.receive(packet_buffer, Clock::now() + 5s);
    EXPECT_EQ(oversized.outcome, sm::UdpEndpoint::Outcome::too_large);
    EXPECT_EQ(oversized.size, 700U);
    // The next one is whole.
    const auto next = endpoint.receive(packet_buffer, Clock::now() + 5s);
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(next.size, 28U);
    EXPECT_EQ(packet_buffer[0], 8);
}

TEST_F(StreamMotionUdpLink, OnlyTheControllersDatagramsAreReceived) {
    // A stranger aims at the endpoint's own address and port: dropped by the kernel.
    orvane_test::UdpPeer stranger;
    stranger.send_to(endpoint_address, std::vector<std::uint8_t>(388, 0xEE));
    answer(12, 0x11);
    const auto received = endpoint.receive(buffer, Clock::now() + 5s);
    ASSERT_TRUE(received.ok());
    EXPECT_EQ(received.size, 12U);
    EXPECT_EQ(endpoint.receive(buffer, Clock::now() + 50ms).outcome, sm::UdpEndpoint::Outcome::timed_out);
}

TEST(StreamMotionUdp, APortNobodyListensOnIsReportedAsRefused) {
    std::string address;
    {
        orvane_test::UdpPeer gone;  // an address of our own, then nobody on it
        address = gone.address();
    }
    sm::UdpEndpoint endpoint(address, sm::default_port);
    ASSERT_TRUE(endpoint.send(std::vector<std::uint8_t>{0, 0, 0, 2}, Clock::now() + 1s).ok());
    std::array<std::uint8_t, 600> buffer{};
    const auto received = endpoint.receive(buffer, Clock::now() + 5s);
    EXPECT_EQ(received.outcome, sm::UdpEndpoint::Outcome::refused);
    EXPECT_NE(endpoint.describe(received).find("nothing listens"), std::string::npos);
}

TEST_F(StreamMotionUdpLink, DatagramsAlreadyWaitingCanBeDropped) {
    for (int i = 0; i < 6; ++i) answer(388, 1);
    std::size_t dropped = 0;
    ASSERT_TRUE(wait_until([&] {
        dropped += endpoint.discard_pending();
        return dropped >= 6;
    }));
    EXPECT_EQ(dropped, 6U);
    EXPECT_EQ(endpoint.receive(buffer, Clock::now() + 20ms).outcome, sm::UdpEndpoint::Outcome::timed_out);
}

TEST(StreamMotionUdp, AHostThatCannotBeResolvedIsAnError) {
    try {
        sm::UdpEndpoint endpoint("no-such-controller.invalid", sm::default_port);
        FAIL() << "resolved an invalid name";
    } catch (const orvane::OrvaneError& error) {
        EXPECT_EQ(error.type, "driver.fanuc");
        EXPECT_NE(error.message.find("no-such-controller.invalid"), std::string::npos);
    }
}
