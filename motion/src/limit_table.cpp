#include <orvane/motion/limit_table.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

namespace orvane {

namespace {

void check_payload(const std::optional<double>& payload) {
    if (payload && !(*payload >= 0.0 && *payload <= 1.0)) {
        throw std::invalid_argument("JointLimitTable: the payload is a share of the rated payload, from 0 to 1, not " +
                                    std::to_string(*payload));
    }
}

void check_joints(const std::vector<SteppedJointLimits>& joints, std::size_t steps, const std::string& which) {
    for (std::size_t j = 0; j < joints.size(); ++j) {
        const std::string what = "JointLimitTable: joint " + std::to_string(j + 1) + " " + which;
        for (const auto* values : {&joints[j].velocity, &joints[j].acceleration, &joints[j].jerk}) {
            if (values->size() != steps) {
                throw std::invalid_argument(what + " has " + std::to_string(values->size()) +
                                            " values in a list, not one per speed step (" + std::to_string(steps) +
                                            ")");
            }
            for (double value : *values) {
                if (!(value > 0.0) || !std::isfinite(value)) {
                    throw std::invalid_argument(what + " has a limit that is not positive and finite");
                }
            }
        }
    }
}

}  // namespace

JointLimitTable::JointLimitTable(std::vector<double> speeds, std::vector<SteppedJointLimits> unloaded,
                                 std::vector<SteppedJointLimits> loaded, std::optional<double> payload)
    : speeds_(std::move(speeds)), unloaded_(std::move(unloaded)), loaded_(std::move(loaded)), payload_(payload) {
    if (speeds_.empty() || unloaded_.empty()) {
        throw std::invalid_argument("JointLimitTable: needs at least one speed step and one joint");
    }
    if (loaded_.size() != unloaded_.size()) {
        throw std::invalid_argument("JointLimitTable: " + std::to_string(unloaded_.size()) +
                                    " joints without payload but " + std::to_string(loaded_.size()) +
                                    " with the full payload");
    }
    for (std::size_t i = 0; i < speeds_.size(); ++i) {
        if (!(speeds_[i] > 0.0) || !std::isfinite(speeds_[i]) || (i > 0 && !(speeds_[i] > speeds_[i - 1]))) {
            throw std::invalid_argument("JointLimitTable: the speeds of the steps must be positive, finite and "
                                        "increasing");
        }
    }
    check_joints(unloaded_, speeds_.size(), "without payload");
    check_joints(loaded_, speeds_.size(), "with the full payload");
    check_payload(payload_);
}

JointLimitTable JointLimitTable::evenly_spaced(double max_speed, std::vector<SteppedJointLimits> unloaded,
                                               std::vector<SteppedJointLimits> loaded,
                                               std::optional<double> payload) {
    const std::size_t steps = unloaded.empty() ? 0 : unloaded.front().velocity.size();
    std::vector<double> speeds(steps);
    for (std::size_t i = 0; i < steps; ++i) {
        speeds[i] = max_speed * static_cast<double>(i + 1) / static_cast<double>(steps);
    }
    return JointLimitTable(std::move(speeds), std::move(unloaded), std::move(loaded), payload);
}

JointLimitTable JointLimitTable::with_payload(std::optional<double> payload) const {
    check_payload(payload);
    JointLimitTable copy = *this;
    copy.payload_ = payload;
    return copy;
}

std::size_t JointLimitTable::step_for(double speed) const {
    if (std::isnan(speed)) return speeds_.size() - 1;  // unknown: every step may hold
    const auto first_at_or_above = std::lower_bound(speeds_.begin(), speeds_.end(), speed);
    if (first_at_or_above == speeds_.end()) return speeds_.size() - 1;
    return static_cast<std::size_t>(first_at_or_above - speeds_.begin());
}

std::vector<JointLimitTable::Limits> JointLimitTable::limits_up_to(std::size_t step) const {
    const std::size_t last = std::min(step, speeds_.size() - 1);
    auto value = [&](const std::vector<double>& empty, const std::vector<double>& full, std::size_t i) {
        if (!payload_) return std::min(empty[i], full[i]);
        return empty[i] + *payload_ * (full[i] - empty[i]);
    };
    std::vector<Limits> limits(unloaded_.size());
    for (std::size_t j = 0; j < unloaded_.size(); ++j) {
        const SteppedJointLimits& empty = unloaded_[j];
        const SteppedJointLimits& full = loaded_[j];
        Limits& l = limits[j];
        l = {value(empty.velocity, full.velocity, 0), value(empty.acceleration, full.acceleration, 0),
             value(empty.jerk, full.jerk, 0)};
        for (std::size_t i = 1; i <= last; ++i) {
            l.velocity = std::min(l.velocity, value(empty.velocity, full.velocity, i));
            l.acceleration = std::min(l.acceleration, value(empty.acceleration, full.acceleration, i));
            l.jerk = std::min(l.jerk, value(empty.jerk, full.jerk, i));
        }
    }
    return limits;
}

}  // namespace orvane
