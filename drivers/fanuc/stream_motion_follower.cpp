#include "orvane/drivers/fanuc/stream_motion_follower.hpp"

namespace orvane::drivers::stream_motion {

void PlanFollower::restart(const Joints& at) noexcept {
    commanded_ = {at, at, at};
    gap_ = {};
    bridged_ = {};
    plan_ = at;
    wanted_ = 0;
    following_ = false;
    gap_pending_ = false;
    given_up_ = false;
    bridged_in_row_ = 0;
    easing_length_ = 0;
    easing_step_ = 0;
    late_samples_ = 0;
}

void PlanFollower::hold() noexcept {
    following_ = false;
    gap_pending_ = false;
    easing_length_ = 0;
    bridged_in_row_ = 0;
    plan_ = commanded_[2];
    shift_in(commanded_[2], false);
}

void PlanFollower::learn(const PlanSample& sample) noexcept {
    ++late_samples_;
    plan_ = sample.position;
    following_ = sample.more_follows;
    const auto age = wanted_ - 1 - sample.index;  // 0: the period just commanded
    if (age >= commanded_.size()) return;         // older than any bridge can be
    const auto slot = commanded_.size() - 1 - static_cast<std::size_t>(age);
    for (std::size_t axis = 0; axis < axes_; ++axis) gap_[slot][axis] = commanded_[slot][axis] - sample.position[axis];
    gap_pending_ = true;
}

void PlanFollower::start_easing() noexcept {
    std::size_t bridges = 0;
    for (const bool bridged : bridged_) bridges += bridged ? 1 : 0;
    easing_from_ = gap_;
    easing_step_ = 0;
    easing_length_ = bridges >= 2 ? easing_after_two : easing_after_one;
    gap_pending_ = false;
}

Joints PlanFollower::next_offset() noexcept {
    Joints offset{};
    if (easing_length_ == 0) return offset;
    // The quintic through the last three periods' gaps (at -2, -1, 0) and
    // zero at L+1, L+2, L+3: the discrete path of least jerk from the gap
    // back onto the plan, which it rejoins with matching velocity and
    // acceleration. Lagrange weights of the three non-zero nodes.
    const double n = ++easing_step_;
    const double length = easing_length_;
    const std::array<double, 6> nodes{-2.0, -1.0, 0.0, length + 1.0, length + 2.0, length + 3.0};
    for (std::size_t i = 0; i < 3; ++i) {
        double weight = 1.0;
        for (std::size_t m = 0; m < nodes.size(); ++m) {
            if (m != i) weight *= (n - nodes[m]) / (nodes[i] - nodes[m]);
        }
        for (std::size_t axis = 0; axis < axes_; ++axis) offset[axis] += weight * easing_from_[i][axis];
    }
    // Step L + 1 is the first node at zero: the command is the plan's own again.
    if (easing_step_ > easing_length_) easing_length_ = 0;
    return offset;
}

void PlanFollower::shift_in(const Joints& command, bool bridged) noexcept {
    commanded_ = {commanded_[1], commanded_[2], command};
    Joints gap{};
    // A bridge's gap is known only once its sample comes (learn).
    if (!bridged) {
        for (std::size_t axis = 0; axis < axes_; ++axis) gap[axis] = command[axis] - plan_[axis];
    }
    gap_ = {gap_[1], gap_[2], gap};
    bridged_ = {bridged_[1], bridged_[2], bridged};
}

}  // namespace orvane::drivers::stream_motion
