#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace orvane {

// One joint's limits at each speed step of a JointLimitTable: one value per
// step (radians or metres, per second, second squared, second cubed).
struct SteppedJointLimits {
    std::vector<double> velocity;
    std::vector<double> acceleration;
    std::vector<double> jerk;
};

// The velocity, acceleration and jerk a joint may have as they depend on the
// speed of the tool and on the payload carried, as a controller may enforce
// them (typically lower at higher tool speeds and with a heavier load).
//
// Step i holds while the tool's Cartesian speed is at most speeds()[i]; above
// the last speed the last step holds. Each step has a value for an empty hand
// and one for the full rated payload; a payload in between takes the value in
// proportion, an unknown payload the lower of the two.
class JointLimitTable {
public:
    // `speeds`: increasing, positive tool speeds (m/s). `unloaded`, `loaded`:
    // one entry per joint, each with one value per speed in every list. The
    // payload is the share of the rated payload carried (0 to 1), if known.
    // Throws std::invalid_argument for empty or mismatched lists, speeds that do
    // not increase, and values that are not positive and finite.
    JointLimitTable(std::vector<double> speeds, std::vector<SteppedJointLimits> unloaded,
                    std::vector<SteppedJointLimits> loaded, std::optional<double> payload = std::nullopt);

    // Steps at equal shares of `max_speed`: step i holds up to (i + 1) / n of it,
    // n the number of values per list.
    static JointLimitTable evenly_spaced(double max_speed, std::vector<SteppedJointLimits> unloaded,
                                         std::vector<SteppedJointLimits> loaded,
                                         std::optional<double> payload = std::nullopt);

    std::size_t degrees_of_freedom() const { return unloaded_.size(); }
    std::size_t steps() const { return speeds_.size(); }
    const std::vector<double>& speeds() const { return speeds_; }
    const std::vector<SteppedJointLimits>& unloaded() const { return unloaded_; }
    const std::vector<SteppedJointLimits>& loaded() const { return loaded_; }
    std::optional<double> payload() const { return payload_; }

    // The same table for another payload (share of the rated one, 0 to 1, or
    // unknown). Throws std::invalid_argument outside [0, 1].
    JointLimitTable with_payload(std::optional<double> payload) const;

    // The step that holds at a tool speed (m/s).
    std::size_t step_for(double speed) const;

    // The limits of one joint that hold at every step up to `step`: a motion
    // that peaks in that step passes through all the lower ones.
    struct Limits {
        double velocity, acceleration, jerk;
    };
    std::vector<Limits> limits_up_to(std::size_t step) const;

private:
    std::vector<double> speeds_;
    std::vector<SteppedJointLimits> unloaded_;
    std::vector<SteppedJointLimits> loaded_;
    std::optional<double> payload_;
};

}  // namespace orvane
