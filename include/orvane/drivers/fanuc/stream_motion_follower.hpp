#pragma once

// Which position the Stream Motion loop commands in each period, from the
// numbered samples the driver hands it. No threads,
// no allocation, so the loop's thread can own one.
//
// A sample normally arrives before the period it is for. When it does not
// while a motion runs, the follower bridges the period along the motion's
// last acceleration (a held position would stop the arm with a jerk no
// controller takes). The sample for that period still comes, later: it is
// never commanded (that would play the same moment of the plan twice), but
// it tells how far the bridge was off the plan. That gap is then eased away
// over the next periods along a quintic, so the jerk it adds stays a fraction
// of the plan's own instead of the three times it that jumping back would add.

#include <array>
#include <cstddef>
#include <cstdint>

#include "orvane/drivers/fanuc/stream_motion_figures.hpp"

namespace orvane::drivers::stream_motion {

/// One sample of the driver's plan (driver units), numbered one per period.
struct PlanSample {
    Joints position{};
    /// The driver has more for this motion: a period without the next one is late.
    bool more_follows{true};
    std::uint64_t index{0};
};

class PlanFollower {
public:
    /// Periods in a row a motion is bridged while its samples are late. The
    /// gap to the plan grows with the cube of this count; beyond two periods
    /// easing it away would take the jerk past what a plan leaves over.
    static constexpr std::uint32_t max_bridged_periods = 2;
    /// Periods over which a gap is eased away, after one bridged period and
    /// after two. The quintic adds at most some 0.47 and 0.54 times the
    /// plan's jerk at the bridge: within the share of the limits that plans leave.
    static constexpr std::uint32_t easing_after_one = 16;
    static constexpr std::uint32_t easing_after_two = 32;

    enum class Outcome : std::uint8_t {
        planned,   ///< a sample of the plan (eased, if a gap is left)
        bridged,   ///< the period's sample was late: bridged
        too_late,  ///< late for longer than a bridge may last: held from then on, until restart()
        resting,   ///< no motion: held (or a gap eased away at the plan's end)
    };

    explicit PlanFollower(std::size_t axes) : axes_(axes) {}

    /// At rest at `at`; the next sample wanted is number 0.
    void restart(const Joints& at) noexcept;
    /// The command for the next period. `take(PlanSample&)` hands over the
    /// driver's next sample, false when there is none.
    template <typename Take>
    Outcome step(Take&& take) noexcept;
    /// Holds where the arm was last commanded; a motion in progress is given up.
    void hold() noexcept;

    const Joints& command() const noexcept { return commanded_[2]; }
    /// The number of the sample the next period wants.
    std::uint64_t wanted() const noexcept { return wanted_; }
    /// The commands are the plan's own: no gap left to ease away.
    bool on_plan() const noexcept { return easing_length_ == 0 && !gap_pending_; }
    /// Samples that came after their period had been bridged.
    std::uint64_t late_samples() const noexcept { return late_samples_; }

private:
    /// A sample for a period already bridged: the gap it shows.
    void learn(const PlanSample& sample) noexcept;
    void start_easing() noexcept;
    /// The eased gap for the next period (zero once eased away).
    Joints next_offset() noexcept;
    void shift_in(const Joints& command, bool bridged) noexcept;

    std::size_t axes_;
    // The last three periods, oldest first: command sent, its gap to the plan
    // (command minus plan), and whether it was a bridge.
    std::array<Joints, 3> commanded_{};
    std::array<Joints, 3> gap_{};
    std::array<bool, 3> bridged_{};
    Joints plan_{};  // the plan's latest sample
    std::uint64_t wanted_{0};
    bool following_{false};
    bool gap_pending_{false};  // a gap learned, its easing not started yet
    bool given_up_{false};
    std::uint32_t bridged_in_row_{0};
    std::array<Joints, 3> easing_from_{};
    std::uint32_t easing_step_{0};
    std::uint32_t easing_length_{0};
    std::uint64_t late_samples_{0};
};

template <typename Take>
PlanFollower::Outcome PlanFollower::step(Take&& take) noexcept {
    if (given_up_) {
        hold();
        return Outcome::too_late;
    }
    PlanSample sample;
    bool fresh = false;
    while (take(sample)) {
        if (sample.index >= wanted_) {
            fresh = true;
            break;
        }
        learn(sample);
    }
    Outcome outcome = Outcome::resting;
    Joints next = commanded_[2];
    if (fresh) {
        if (gap_pending_) start_easing();
        plan_ = sample.position;
        following_ = sample.more_follows;
        wanted_ = sample.index + 1;
        bridged_in_row_ = 0;
        const auto offset = next_offset();
        for (std::size_t axis = 0; axis < axes_; ++axis) next[axis] = plan_[axis] + offset[axis];
        outcome = Outcome::planned;
    } else if (following_ && bridged_in_row_ >= max_bridged_periods) {
        // The controller stops the arm; samples still to come must not move it on.
        given_up_ = true;
        hold();
        return Outcome::too_late;
    } else if (following_) {
        ++bridged_in_row_;
        ++wanted_;
        for (std::size_t axis = 0; axis < axes_; ++axis) {
            next[axis] = 3.0 * commanded_[2][axis] - 3.0 * commanded_[1][axis] + commanded_[0][axis];
        }
        shift_in(next, true);
        return Outcome::bridged;
    } else if (gap_pending_ || easing_length_ > 0) {
        // The plan ended while a gap was left: eased away onto its last sample.
        if (gap_pending_) start_easing();
        const auto offset = next_offset();
        for (std::size_t axis = 0; axis < axes_; ++axis) next[axis] = plan_[axis] + offset[axis];
    }
    shift_in(next, false);
    return outcome;
}

}  // namespace orvane::drivers::stream_motion
