#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "orvane/drivers/fanuc/stream_motion_packets.hpp"

namespace orvane::drivers::stream_motion {

/// One value per streamed axis, in the driver's units (radians, metres).
using Joints = std::array<double, max_axes>;

/// Counts and figures of a driver's Stream Motion loop, for reports and benchmarks.
struct LoopFigures {
    std::uint64_t statuses{0};
    /// Periods the loop had no sample from the driver while a motion ran
    /// (it bridged them along the motion's last acceleration).
    std::uint64_t late_commands{0};
    /// Samples that came after their period had been bridged: never
    /// commanded, they tell the gap that the loop then eases away.
    std::uint64_t late_samples{0};
    /// Status numbers never received.
    std::uint64_t skipped_statuses{0};
    /// Status-to-command latency: counts per bucket of `latency_bucket_us` microseconds.
    static constexpr std::size_t latency_buckets = 400;
    static constexpr std::uint32_t latency_bucket_us = 25;
    std::array<std::uint64_t, latency_buckets> latency{};
    std::uint64_t latency_max_us{0};

    /// The latency (µs, upper edge of its bucket) below which `share` (0..1) of the periods lie.
    double latency_percentile_us(double share) const noexcept;
};

}  // namespace orvane::drivers::stream_motion
