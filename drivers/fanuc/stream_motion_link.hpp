#pragma once

// The driver's Stream Motion link: one session and the loop that answers the
// controller's every status with one command. Internal to the driver.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <semaphore>
#include <string>
#include <thread>

#include "orvane/drivers/fanuc/stream_motion_figures.hpp"
#include "orvane/drivers/fanuc/stream_motion_lockstep.hpp"
#include "orvane/drivers/fanuc/stream_motion_session.hpp"
#include "orvane/drivers/fanuc/stream_motion_udp.hpp"
#include "orvane/drivers/fanuc/stream_motion_follower.hpp"

namespace orvane::drivers::stream_motion {

/// A fixed-size queue between exactly one producer thread and one consumer
/// thread, without locks or allocation.
template <typename T, std::size_t Capacity>
class SpscRing {
public:
    bool push(const T& item) noexcept {
        const auto tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) >= Capacity) return false;
        slots_[tail % Capacity] = item;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }
    bool pop(T& item) noexcept {
        const auto head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return false;
        item = slots_[head % Capacity];
        head_.store(head + 1, std::memory_order_release);
        return true;
    }
    std::size_t size() const noexcept {
        return static_cast<std::size_t>(tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire));
    }

private:
    std::array<T, Capacity> slots_{};
    std::atomic<std::uint64_t> head_{0};
    std::atomic<std::uint64_t> tail_{0};
};

/// Joint values written by one thread and read whole by any other (a
/// sequence lock over atomics: the reader retries while a write is under way).
class JointsSnapshot {
public:
    void store(const Joints& joints) noexcept;
    Joints load() const noexcept;

private:
    std::atomic<std::uint64_t> sequence_{0};
    std::array<std::atomic<double>, max_axes> values_{};
};

/// One status as the driver's feedback keeps it, with the command that answered it.
struct LoopStatus {
    std::chrono::steady_clock::time_point received_at{};
    std::uint32_t sequence_no{0};
    std::uint32_t time_stamp{0};
    Joints joints{};
    Joints currents{};
    Joints commanded{};
};

/// What the loop found that ends a motion. host_late: the driver's samples
/// stopped coming for longer than the loop may bridge a motion alone.
enum class LoopFault : std::uint8_t { none, status, link_lost, host_late };

/// One Stream Motion session of a driver, and its loop thread.
///
/// open() brings the session up (the caller has started the controller's
/// program over RMI) and starts the loop, which from then on answers every
/// status: with the driver's next sample while a motion runs, otherwise
/// holding the last command (PlanFollower decides which). The loop allocates
/// nothing and takes no lock; the driver's sampling thread hands it numbered
/// samples through a ring and learns of each period through a semaphore.
/// close() ends the loop, and the session.
class StreamMotionLink {
public:
    static constexpr std::size_t ring_capacity = 8;
    static constexpr std::uint32_t max_coasting_periods = PlanFollower::max_bridged_periods;

    explicit StreamMotionLink(AxisUnits units);
    ~StreamMotionLink();
    StreamMotionLink(const StreamMotionLink&) = delete;
    StreamMotionLink& operator=(const StreamMotionLink&) = delete;

    /// Brings a session up on `host`:`port` and starts the loop at the arm's
    /// present position. `link_timeout`: no status for this long is a lost link.
    std::expected<SessionInfo, SessionFailure> open(const std::string& host, std::uint16_t port,
                                                    const SessionSettings& settings,
                                                    std::chrono::milliseconds link_timeout);
    /// Ends the loop; `finish` ends the session with the last command and
    /// Stop (the controller's program ends), otherwise only Stop is sent.
    /// The first failure, if any. Idempotent.
    std::optional<SessionFailure> close(bool finish);
    bool is_open() const noexcept { return running.load(std::memory_order_acquire); }
    const SessionInfo& info() const noexcept { return session_info; }
    double period() const noexcept;

    // --- the driver's sampling thread --------------------------------------------
    /// Samples are numbered from 0 after open(), one per period, none skipped.
    bool push(const PlanSample& sample) noexcept { return commands.push(sample); }
    std::size_t queued() const noexcept { return commands.size(); }
    /// The number of the sample the next period wants: the driver's lead is
    /// how far its next number is ahead of it (a bridged period moves it on).
    std::uint64_t wanted_sample() const noexcept { return wanted.load(std::memory_order_acquire); }
    /// Nothing queued and the commands on the plan (no bridge's gap left to ease away).
    bool settled() const noexcept { return commands.size() == 0 && on_plan.load(std::memory_order_acquire); }
    /// Waits until the loop has answered a status or wake() was called.
    void wait_for_tick(std::chrono::milliseconds limit) noexcept;
    bool pop_status(LoopStatus& status) noexcept { return statuses.pop(status); }
    /// Drops statuses nobody read (before a motion's feedback starts).
    void drop_statuses() noexcept;

    // --- any thread -------------------------------------------------------------------------
    void wake() noexcept { tick.release(); }
    LoopFault fault() const noexcept { return loop_fault.load(std::memory_order_acquire); }
    /// The status fault behind LoopFault::status.
    StatusFault status_fault() const noexcept { return found_status_fault.load(std::memory_order_acquire); }
    /// The command the controller got last, and where the arm last was (driver units).
    Joints last_commanded() const noexcept { return commanded_snapshot.load(); }
    Joints last_measured() const noexcept { return measured_snapshot.load(); }
    /// A copy of the counts (the histogram is read without stopping the loop).
    LoopFigures figures() const noexcept;
    /// Forgets the counts and the latency record.
    void reset_figures() noexcept { reset_requested.store(true, std::memory_order_release); }

private:
    void loop_main() noexcept;
    /// The command answering the next owed status number.
    void next_command(bool motion_allowed) noexcept;
    void record_latency(std::chrono::steady_clock::duration latency) noexcept;
    const Joints& last_command() const noexcept { return follower.command(); }

    AxisUnits axis_units;
    std::unique_ptr<UdpEndpoint> endpoint;
    std::unique_ptr<Lockstep> lockstep;
    std::unique_ptr<Session> session;
    SessionInfo session_info;
    std::chrono::milliseconds link_limit{500};
    std::thread loop_thread;
    std::atomic<bool> running{false};
    std::atomic<bool> exit_requested{false};

    SpscRing<PlanSample, ring_capacity> commands;
    SpscRing<LoopStatus, 512> statuses;
    std::counting_semaphore<> tick{0};
    std::atomic<std::uint64_t> wanted{0};
    std::atomic<bool> on_plan{true};
    std::atomic<LoopFault> loop_fault{LoopFault::none};
    std::atomic<StatusFault> found_status_fault{StatusFault::none};
    JointsSnapshot commanded_snapshot;
    JointsSnapshot measured_snapshot;

    // The loop thread's own (read by figures() through atomics only).
    PlanFollower follower;
    std::array<std::uint8_t, max_packet_size + 1> inbox{};
    StreamStatus status;
    LoopStatus record;
    std::atomic<std::uint64_t> status_count{0};
    std::atomic<std::uint64_t> late_count{0};
    std::uint64_t late_samples_base{0};
    std::atomic<std::uint64_t> late_samples{0};
    std::uint64_t skipped_base{0};
    std::atomic<std::uint64_t> skipped_count{0};
    std::atomic<std::uint64_t> latency_max{0};
    std::array<std::atomic<std::uint64_t>, LoopFigures::latency_buckets> latency{};
    std::atomic<bool> reset_requested{false};
};

}  // namespace orvane::drivers::stream_motion
