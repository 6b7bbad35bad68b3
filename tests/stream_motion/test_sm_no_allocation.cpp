// What a Stream Motion loop does every period allocates nothing: receiving
// and decoding a status, encoding and sending its command, reading and
// writing the I/O arrays. Counted by replacing the global allocation
// functions in this test program alone.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <vector>

#include "orvane/drivers/fanuc/stream_motion_io.hpp"
#include "orvane/drivers/fanuc/stream_motion_lockstep.hpp"
#include "orvane/drivers/fanuc/stream_motion_udp.hpp"
#include "stream_motion/udp_peer.hpp"
#include "stream_motion/wire_bytes.hpp"

namespace {

std::atomic<long> allocations{0};
thread_local bool counting = false;

void* allocate(std::size_t size) {
    if (counting) allocations.fetch_add(1);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

// Counts the allocations of this thread between construction and count().
class AllocationCounter {
public:
    AllocationCounter() {
        allocations = 0;
        counting = true;
    }
    ~AllocationCounter() { counting = false; }
    long count() {
        counting = false;
        return allocations.load();
    }
};

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace sm = orvane::drivers::stream_motion;
using Clock = std::chrono::steady_clock;

TEST(StreamMotionNoAllocation, TheCounterSeesAnAllocation) {
    AllocationCounter counter;
    auto* kept = new std::vector<int>(100);
    const long seen = counter.count();
    delete kept;
    EXPECT_GE(seen, 2);
}

TEST(StreamMotionNoAllocation, APeriodOfTheLoopAllocatesNothing) {
    orvane_test::UdpPeer controller;
    sm::UdpEndpoint endpoint(controller.address(), controller.port());
    endpoint.send(std::vector<std::uint8_t>{1}, Clock::now() + std::chrono::seconds(1));
    const auto hello = controller.receive(std::chrono::seconds(5));
    ASSERT_TRUE(hello.has_value());

    const float joints[9] = {1, 2, 3, 4, 5, 6, 0, 0, 0};
    std::vector<orvane_test::wire::Bytes> statuses;
    for (std::uint32_t n = 1; n <= 20; ++n) statuses.push_back(orvane_test::wire::status_packet(3, n, 1, 0, joints));
    sm::IoLayout layout;
    ASSERT_FALSE(sm::IoLayout::build(std::vector<sm::GpioEntry>{{sm::GpioEntry::Use::io_command,
                                                                 sm::GpioEntry::Port::digital_out, 1, 8},
                                                                {sm::GpioEntry::Use::io_state,
                                                                 sm::GpioEntry::Port::digital_in, 1, 8}},
                                     layout));

    sm::Lockstep lockstep(sm::AxisUnits{.count = 6});
    lockstep.restart(3);
    sm::StreamStatus status;
    std::array<std::uint8_t, sm::max_packet_size + 1> inbox{};
    const std::array<double, 6> target{0.1, 0.2, 0.3, 0.4, 0.5, 0.6};
    for (const auto& datagram : statuses) controller.send_to(hello->from, datagram.span());

    long commands = 0;
    long seen = 0;
    {
        AllocationCounter counter;
        for (int period = 0; period < 20; ++period) {
            const auto received = endpoint.receive(inbox, Clock::now() + std::chrono::seconds(5));
            if (!received.ok()) break;
            if (lockstep.receive(std::span(inbox).first(received.size), status) != sm::Lockstep::Reception::fresh) {
                continue;
            }
            using Port = sm::GpioEntry::Port;
            const auto input = layout.digital_state(status.io_status, Port::digital_in, 3);
            layout.set_digital_command(lockstep.io_command(), Port::digital_out, 2, !input.value_or(false));
            while (lockstep.due() > 0) {
                const auto command = lockstep.answer(target, {.motion = status.ready, .last = false});
                if (endpoint.send(command, Clock::now() + std::chrono::seconds(1)).ok()) ++commands;
            }
        }
        seen = counter.count();
    }
    EXPECT_EQ(commands, 20);
    EXPECT_EQ(seen, 0);
}
