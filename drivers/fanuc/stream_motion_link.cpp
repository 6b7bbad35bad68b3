// The Stream Motion loop: one command for every status of the controller.
//
// Each period: a status arrives; the commands owed for it are sent (the
// driver's next sample from the ring, a bridge while it is late, or the last
// command held: stream_motion_follower.hpp); the status and the command that
// answered it go to the driver's feedback ring; the sampling thread is told a
// period went by, so it draws the next sample.
#include "stream_motion_link.hpp"

#include <algorithm>
#include <span>

#include <pthread.h>

namespace orvane::drivers::stream_motion {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

double LoopFigures::latency_percentile_us(double share) const noexcept {
    std::uint64_t total = 0;
    for (const auto count : latency) total += count;
    if (total == 0) return 0.0;
    const double wanted = share * static_cast<double>(total);
    std::uint64_t seen = 0;
    for (std::size_t bucket = 0; bucket < latency_buckets; ++bucket) {
        seen += latency[bucket];
        if (static_cast<double>(seen) >= wanted) return static_cast<double>((bucket + 1) * latency_bucket_us);
    }
    return static_cast<double>(latency_max_us);
}

void JointsSnapshot::store(const Joints& joints) noexcept {
    const auto sequence = sequence_.load(std::memory_order_relaxed);
    sequence_.store(sequence + 1, std::memory_order_release);
    std::atomic_thread_fence(std::memory_order_release);
    for (std::size_t axis = 0; axis < max_axes; ++axis) values_[axis].store(joints[axis], std::memory_order_relaxed);
    sequence_.store(sequence + 2, std::memory_order_release);
}

Joints JointsSnapshot::load() const noexcept {
    Joints joints{};
    for (;;) {
        const auto before = sequence_.load(std::memory_order_acquire);
        if ((before & 1U) != 0) continue;
        for (std::size_t axis = 0; axis < max_axes; ++axis) joints[axis] = values_[axis].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (sequence_.load(std::memory_order_relaxed) == before) return joints;
    }
}

StreamMotionLink::StreamMotionLink(AxisUnits units) : axis_units(units), follower(units.count) {}

StreamMotionLink::~StreamMotionLink() { close(false); }

double StreamMotionLink::period() const noexcept {
    return std::chrono::duration<double>(session_info.period).count();
}

std::expected<SessionInfo, SessionFailure> StreamMotionLink::open(const std::string& host, std::uint16_t port,
                                                                 const SessionSettings& settings,
                                                                 std::chrono::milliseconds link_timeout) {
    close(false);
    try {
        endpoint = std::make_unique<UdpEndpoint>(host, port);
    } catch (const std::exception& error) {
        return std::unexpected(SessionFailure{.step = SessionFailure::Step::stop,
                                              .result = Result::ErrorControllerConnection,
                                              .reason = error.what()});
    }
    lockstep = std::make_unique<Lockstep>(axis_units);
    session = std::make_unique<Session>(*endpoint, *lockstep, settings);
    auto info = session->bring_up();
    if (!info) {
        endpoint->close();
        return info;
    }
    session_info = *info;
    link_limit = link_timeout;

    // The first command is where the controller has the arm.
    Joints at{};
    for (std::size_t axis = 0; axis < axis_units.count; ++axis) {
        at[axis] = axis_units.from_wire(axis, info->ready_status.wire_joints[axis]);
    }
    follower.restart(at);
    wanted = 0;
    on_plan = true;
    commanded_snapshot.store(at);
    measured_snapshot.store(info->ready_status.joints);
    PlanSample stale;
    while (commands.pop(stale)) {
    }
    drop_statuses();
    loop_fault = LoopFault::none;
    found_status_fault = StatusFault::none;
    exit_requested = false;
    reset_requested = true;
    running = true;
    loop_thread = std::thread([this] { loop_main(); });
    return info;
}

std::optional<SessionFailure> StreamMotionLink::close(bool finish) {
    exit_requested.store(true, std::memory_order_release);
    if (loop_thread.joinable()) loop_thread.join();
    running = false;
    std::optional<SessionFailure> failure;
    if (session && endpoint && !endpoint->is_closed()) {
        // The loop left right after answering a status: the session goes on
        // with the next one, at the position last commanded.
        const auto ended =
            finish ? session->end(std::span(last_command().data(), axis_units.count)) : session->stop();
        if (!ended) failure = ended.error();
        endpoint->close();
    }
    session.reset();
    lockstep.reset();
    endpoint.reset();
    return failure;
}

void StreamMotionLink::wait_for_tick(std::chrono::milliseconds limit) noexcept {
    // A burst of ticks (the sampler was busy) needs one draw, not several wake-ups.
    if (tick.try_acquire_for(limit)) {
        while (tick.try_acquire()) {
        }
    }
}

void StreamMotionLink::drop_statuses() noexcept {
    LoopStatus dropped;
    while (statuses.pop(dropped)) {
    }
}

LoopFigures StreamMotionLink::figures() const noexcept {
    LoopFigures figures;
    figures.statuses = status_count.load(std::memory_order_relaxed);
    figures.late_commands = late_count.load(std::memory_order_relaxed);
    for (std::size_t bucket = 0; bucket < LoopFigures::latency_buckets; ++bucket) {
        figures.latency[bucket] = latency[bucket].load(std::memory_order_relaxed);
    }
    figures.latency_max_us = latency_max.load(std::memory_order_relaxed);
    figures.skipped_statuses = skipped_count.load(std::memory_order_relaxed);
    figures.late_samples = late_samples.load(std::memory_order_relaxed);
    return figures;
}

void StreamMotionLink::record_latency(Clock::duration elapsed) noexcept {
    const auto micros = static_cast<std::uint64_t>(
        std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()));
    const auto bucket = std::min<std::uint64_t>(micros / LoopFigures::latency_bucket_us, LoopFigures::latency_buckets - 1);
    latency[bucket].fetch_add(1, std::memory_order_relaxed);
    if (micros > latency_max.load(std::memory_order_relaxed)) latency_max.store(micros, std::memory_order_relaxed);
}

void StreamMotionLink::next_command(bool motion_allowed) noexcept {
    if (!motion_allowed) {
        follower.hold();  // nothing more of that motion is sent
    } else {
        const bool was_on_plan = follower.on_plan();
        switch (follower.step([this](PlanSample& sample) { return commands.pop(sample); })) {
            case PlanFollower::Outcome::planned: tick.release(); break;
            case PlanFollower::Outcome::bridged:
                late_count.fetch_add(1, std::memory_order_relaxed);
                tick.release();
                break;
            case PlanFollower::Outcome::too_late:
                // Too late to rejoin the plan within the limits: no more motion is commanded.
                loop_fault.store(LoopFault::host_late, std::memory_order_release);
                late_count.fetch_add(1, std::memory_order_relaxed);
                tick.release();
                break;
            case PlanFollower::Outcome::resting:
                // The end of a motion's easing is what the driver waits for to end its run.
                if (!was_on_plan && follower.on_plan()) tick.release();
                break;
        }
    }
    wanted.store(follower.wanted(), std::memory_order_release);
    on_plan.store(follower.on_plan(), std::memory_order_release);
    late_samples.store(follower.late_samples() - late_samples_base, std::memory_order_relaxed);
}

void StreamMotionLink::loop_main() noexcept {
    pthread_setname_np(pthread_self(), "orvane-sm-loop");
    const auto period_length = session_info.period;
    auto last_heard = Clock::now();
    while (!exit_requested.load(std::memory_order_acquire)) {
        if (reset_requested.exchange(false, std::memory_order_acq_rel)) {
            for (auto& bucket : latency) bucket.store(0, std::memory_order_relaxed);
            latency_max.store(0, std::memory_order_relaxed);
            status_count.store(0, std::memory_order_relaxed);
            late_count.store(0, std::memory_order_relaxed);
            skipped_base = lockstep->counters().skipped;
            skipped_count.store(0, std::memory_order_relaxed);
            late_samples_base = follower.late_samples();
            late_samples.store(0, std::memory_order_relaxed);
        }
        // Woken at least once a period, to notice close().
        const auto received = endpoint->receive(inbox, Clock::now() + period_length);
        const auto now = Clock::now();
        if (!received.ok()) {
            const bool silent = received.outcome == UdpEndpoint::Outcome::timed_out ||
                                received.outcome == UdpEndpoint::Outcome::refused ||
                                received.outcome == UdpEndpoint::Outcome::too_large;
            if (silent && now - last_heard < link_limit) continue;
            loop_fault.store(LoopFault::link_lost, std::memory_order_release);
            tick.release();
            return;
        }
        if (lockstep->receive(std::span(inbox).first(received.size), status) != Lockstep::Reception::fresh) continue;
        last_heard = now;
        status_count.fetch_add(1, std::memory_order_relaxed);
        skipped_count.store(lockstep->counters().skipped - skipped_base, std::memory_order_relaxed);

        const auto fault = fault_of(status);
        // The first fault stops the motion; a graver one seen later (an
        // E-stop shows as an alarm first) replaces it as the reason.
        const auto known = found_status_fault.load(std::memory_order_relaxed);
        if (fault != StatusFault::none && (known == StatusFault::none || fault < known)) {
            found_status_fault.store(fault, std::memory_order_release);
            loop_fault.store(LoopFault::status, std::memory_order_release);
            tick.release();
        }
        const bool motion_allowed = loop_fault.load(std::memory_order_relaxed) == LoopFault::none;
        while (lockstep->due() > 0) {
            next_command(motion_allowed);
            const bool motion = motion_allowed && loop_fault.load(std::memory_order_relaxed) == LoopFault::none;
            const auto bytes = lockstep->answer(std::span(last_command().data(), axis_units.count),
                                                CommandFlags{.motion = motion, .last = false});
            const auto sent = endpoint->send(bytes, Clock::now() + period_length);
            if (!sent.ok() && sent.outcome != UdpEndpoint::Outcome::refused) {
                loop_fault.store(LoopFault::link_lost, std::memory_order_release);
                tick.release();
                return;
            }
        }
        record_latency(Clock::now() - now);
        commanded_snapshot.store(last_command());
        measured_snapshot.store(status.joints);
        record.received_at = now;
        record.sequence_no = status.sequence_no;
        record.time_stamp = status.time_stamp;
        record.joints = status.joints;
        record.currents = status.currents;
        record.commanded = last_command();
        statuses.push(record);  // dropped when nobody reads them
    }
}

}  // namespace orvane::drivers::stream_motion
