#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <orvane/motion/limit_table.hpp>
#include <orvane/motion/robot.hpp>
#include <orvane/motion/trajectory.hpp>

#include "orvane/drivers/fanuc/stream_motion_axes.hpp"
#include "orvane/drivers/fanuc/stream_motion_packets.hpp"

namespace orvane::drivers::stream_motion {

/// One threshold table as the controller sent it: entry i holds at a
/// Cartesian speed of (i + 1) · 5 % of `max_cartesian_speed`, once without
/// payload and once with the full payload. Degrees (mm for a linear axis)
/// per second, per second², per second³.
struct ThresholdTable {
    std::array<float, threshold_entries> no_payload{};
    std::array<float, threshold_entries> full_payload{};
    std::uint32_t max_cartesian_speed{0};  ///< mm/s
    std::uint32_t interval{0};
};

/// The two table entries around a Cartesian speed.
struct SpeedSteps {
    std::size_t lower{0};
    std::size_t upper{0};
    double position{0.0};  ///< fractional, in [0, 19]
};

/// The controller's velocity, acceleration and jerk thresholds of every axis
/// streamed, as read at the start of a session. Read-only once complete.
class ThresholdTables {
public:
    /// The Cartesian speed the maker's own client assumes as the top of the
    /// tables, whatever the controller reports.
    static constexpr double assumed_max_cartesian_speed = 2000.0;  // mm/s
    /// The payload the maker's own client counts as full.
    static constexpr double assumed_full_payload = 7.0;  // kg

    ThresholdTables() = default;
    explicit ThresholdTables(std::size_t axis_count);

    /// Keeps one answer. Refused (with the reason) for an axis beyond those
    /// streamed, or a table with a negative, infinite or NaN entry.
    std::optional<std::string> store(const ThresholdAnswer& answer);
    /// Whether every axis has all three tables.
    bool complete() const noexcept;

    std::size_t axis_count() const noexcept { return axes; }
    /// Axis 0-based (J1 is 0).
    const ThresholdTable& table(std::size_t axis, LimitKind kind) const { return tables.at(axis)[index(kind)]; }

    /// The top of the speed scale used to find the steps: the smaller of the
    /// controller's figure and the assumed one, so that a speed never lands
    /// on a laxer step than either reading gives.
    double max_cartesian_speed() const noexcept;

    /// The entries for a peak Cartesian speed (mm/s), by the maker's rule
    /// 19 · (1.2 · v − v_max / 20) / (v_max − v_max / 20), clamped to [0, 19]:
    /// its 1.2 margin puts a speed on a higher step than its own.
    SpeedSteps speed_steps(double tcp_speed) const noexcept;

    /// The limit of one axis at a speed step and payload: the smaller of the
    /// two entries around the speed (the maker's client takes the lower one,
    /// but limits fall as speed rises, so the upper one may be stricter),
    /// each interpolated linearly from no payload to full payload.
    double limit(std::size_t axis, LimitKind kind, const SpeedSteps& steps, double payload_fraction) const;
    /// The strictest entry of a table at a payload, for when the speed is unknown.
    double strictest_limit(std::size_t axis, LimitKind kind, double payload_fraction) const;

    /// The fraction of full payload a payload (kg) counts as, in [0, 1].
    static double payload_fraction(double payload, double full_payload = assumed_full_payload) noexcept;

private:
    static std::size_t index(LimitKind kind) { return static_cast<std::size_t>(kind); }

    std::size_t axes{0};
    std::array<std::array<ThresholdTable, 3>, max_axes> tables{};
    std::array<std::array<bool, 3>, max_axes> present{};
};

/// The tables in a planner's terms, so that its plans keep them: radians (metres
/// for a linear axis), and step i holding up to the tool speed (m/s) at which
/// the controller's rule moves a motion on to entry i + 1. `payload_fraction`
/// is the share of the full payload carried, if known. Throws OrvaneError for
/// tables that are not complete or hold an entry of 0, which no plan can keep.
orvane::JointLimitTable planner_limits(const ThresholdTables& tables, const AxisUnits& units,
                                       std::optional<double> payload_fraction);

/// A command that would break a threshold, found before it is sent.
struct LimitViolation {
    std::size_t axis{0};     ///< 0-based
    std::size_t command{0};  ///< 0-based index of the command in the stream
    double time{0.0};        ///< control time of that command (s)
    LimitKind kind{LimitKind::velocity};
    double value{0.0};  ///< wire units: deg (mm) per s, s², s³
    double limit{0.0};
    bool linear{false};
    SpeedSteps steps;
    /// Whether the steps come from the arm model's TCP speed (else the strictest entry applied).
    bool from_tcp_speed{false};
    double tcp_speed{0.0};  ///< mm/s, the peak the steps were chosen for
    double payload{0.0};    ///< kg

    /// One sentence for a driver's last error.
    std::string describe() const;
};

/// How a trajectory will be streamed.
struct StreamPlan {
    /// The controller's period (s); the time scaler samples at it.
    double period{0.008};
    /// The streamed axes and their units.
    AxisUnits units;
    /// Index of the first streamed axis in the trajectory's joint vectors.
    std::size_t first_joint{0};
    /// The arm model for the TCP speed and the index of its first joint in
    /// the trajectory's vectors. Without one, every table's strictest entry
    /// applies.
    std::shared_ptr<const orvane::RobotArm> arm;
    std::size_t arm_first_joint{0};
    double payload{0.0};  ///< kg
    double full_payload{ThresholdTables::assumed_full_payload};
    /// The three commands sent before the trajectory's first (oldest first,
    /// driver units, `units.count` values used). Empty: the arm rests at
    /// the trajectory's start.
    std::optional<std::array<std::array<double, max_axes>, 3>> history;
};

/// What checking a trajectory found.
struct LimitCheck {
    /// The first command that breaks a threshold, if any.
    std::optional<LimitViolation> violation;
    /// The largest share of its limit any command uses, per kind (velocity,
    /// acceleration, jerk); above 1 is a violation.
    std::array<double, 3> worst_ratio{};
    /// Peak TCP speed of the commands (mm/s) and the steps chosen for it.
    double tcp_speed{0.0};
    SpeedSteps steps;
    /// Commands the trajectory takes, including three at rest after its end.
    std::size_t commands{0};
};

/// Samples `trajectory` as the driver's time scaler will at `plan.period`
/// (speed 1), holds its end for three more commands, takes velocity,
/// acceleration and jerk of every streamed axis by finite differences of the
/// commanded positions (the first against the commands before it, or the
/// start at rest) and compares them with the tables at the peak TCP speed's
/// steps (a value within a millionth of its limit keeps it, the tables being
/// single precision). Pure: nothing is sent.
LimitCheck check_limits(const orvane::Trajectory& trajectory, const ThresholdTables& tables, const StreamPlan& plan);

}  // namespace orvane::drivers::stream_motion
