#pragma once

#include <cstdint>
#include <future>
#include <memory>
#include <optional>

#include <orvane/motion/robot.hpp>
#include <orvane/motion/trajectory.hpp>

namespace orvane::drivers {

/// Multiplies every joint velocity by `scale` and every joint acceleration by
/// `scale` squared, so that a trajectory played `scale` times as fast stays a
/// consistent motion. Positions are untouched; empty vectors stay empty.
void scale_state(orvane::State& state, double scale);

/// Plays a time-sampled trajectory back at a variable speed, one sample per
/// control interval.
///
/// The speed factor is `scale_user` (the user's speed, optionally ramped
/// linearly) times `scale` (an internal factor that recovers smoothly after a
/// slow-down and, when a Cartesian limit is engaged, keeps the tool-centre
/// point below it).
///
/// Not thread-safe: the owner serialises every call on one instance (the
/// control loop's `next` and the speed operations from user threads). A
/// future from get_scale_movement_future() must be waited on outside that
/// serialisation, since `next` is what fulfils it.
///
/// The fields are public so that the owner can read the playback position
/// (`time`) and the ramp state; write them only through the operations.
class TimeScaler {
public:
    /// A linear ramp of the user speed on the `elapsed_time` axis.
    struct MoveScaleLinearly {
        double start_time{0.0};
        double end_time{0.0};
        double start_scale{0.0};
        double target_scale{0.0};

        /// Writes the ramp's value at `t` into `scale`; returns false (and
        /// writes `target_scale`) once `t` has reached `end_time`.
        bool operator()(double t, double& scale) const;
    };

    /// An engaged Cartesian speed limit.
    struct TcpConstraint {
        /// Arm model whose calculate_tcp takes the trajectory's joint vector
        /// (it throws std::invalid_argument for another number of joints).
        std::shared_ptr<const orvane::RobotArm> arm;
        /// Limit in the arm model's distance unit (metres) per second.
        double max_tcp_velocity{0.0};
        bool is_limiting{false};
    };

    /// Bounds on how fast the speed factor (user speed times internal scale)
    /// may change, for a controller that checks the acceleration and jerk of
    /// every command: the factor then follows its target with at most
    /// `max_rate` per second and `max_rate_change` per second², so a speed
    /// change takes as long as these bounds need, however it was asked for.
    struct FactorLimits {
        double max_rate{0.0};         ///< 1/s
        double max_rate_change{0.0};  ///< 1/s²
    };
    /// Result codes of next().
    static constexpr int moving = 0;
    static constexpr int standing_still = 1;
    static constexpr int finished = 2;
    static constexpr int nothing_to_do = 3;

    explicit TimeScaler(double delta_time);

    /// The state for this control interval (written into `state`, whose
    /// vectors are reused), then advances the playback. Returns 0 while
    /// moving, 1 when the effective speed is zero, 2 once the trajectory was
    /// completely delivered (`state` holds its last sample), 3 without a
    /// trajectory, for an empty one, or for a negative speed factor (then
    /// nothing at all is touched).
    int next(orvane::State& state);

    /// Starts playback of `trajectory` (not owned; must outlive its use), or
    /// stops it for null. A user-speed ramp in progress carries on with its
    /// remaining duration from the present speed.
    void set_trajectory(const orvane::Trajectory* trajectory);

    /// Goes on playing `replacement`, which continues the present trajectory
    /// on a time axis shifted back by `shift` seconds (its sample at time t
    /// is the present one's at t + shift, up to where they part): playback
    /// carries on from the same point, control time and speed ramps included.
    void continue_on(const orvane::Trajectory* replacement, double shift);

    /// Clamps to [min_scale, max_scale]; NaN and infinities are ignored.
    /// Does not stop a ramp in progress.
    void set_scale_user(double scale);
    double get_scale_user() const { return scale_user; }

    /// Ramps the user speed linearly to `target` within `duration` seconds of
    /// control time. A target equal to the present speed (within 2^-48) or a
    /// negative or non-finite duration only ends the ramp in progress. Otherwise the ramp's
    /// promise is replaced; a ramp still in progress is overtaken, and its
    /// waiters get false.
    void move_scale_user_linearly_to(double target, double duration);

    /// Ends a ramp in progress where it stands: it did not reach its target,
    /// so its waiters get false.
    void stop_scale_user_movement();

    /// Waiters on the ramp promise learn that it will not complete (false):
    /// the motion ended or was resumed first. A promise already fulfilled
    /// stays as it was; a fresh one takes its place.
    void release_ramp_waiters();

    /// The future of the present ramp promise: true when the ramp reached its
    /// target, false when the trajectory ended first. Each promise hands out
    /// one future (std::future_error future_already_retrieved otherwise).
    std::future<bool> get_scale_movement_future() { return scale_movement_finished.get_future(); }

    /// Engages the Cartesian speed limit (not limiting yet).
    void set_tcp_constraint(std::shared_ptr<const orvane::RobotArm> arm, double max_tcp_velocity);
    void clear_tcp_constraint() { tcp_constraint.reset(); }

    /// Bounds the speed factor's rate of change from the next sample on;
    /// empty lets it follow its target at once (the default). Limits that
    /// are not positive and finite are ignored.
    void set_factor_limits(std::optional<FactorLimits> limits);
    const std::optional<FactorLimits>& get_factor_limits() const { return factor_limits; }
    /// The factor as bounded by the limits, and its rate (what the samples use).
    double get_factor() const { return factor; }
    double get_factor_rate() const { return factor_rate; }
    /// Takes the factor to its target at once, at rest: for a motion that
    /// starts from standstill at its first sample.
    void settle_factor();
    /// Brings the playback to a standstill within the factor limits,
    /// whatever the user speed (`halt(false)` lets it follow that again).
    void halt(bool on = true) { halting = on; }
    /// Between two samples, positions follow the quintic through both
    /// samples' positions, velocities and accelerations (not a straight
    /// line), so that a trajectory sampled more coarsely than it is played
    /// keeps a bounded jerk. Samples without accelerations stay linear.
    bool smooth_interpolation{false};
    /// After a trajectory's start, each interval first advances the playback
    /// at that interval's factor, then samples: a speed change moves the very
    /// next sample's position (otherwise only the one after, the present
    /// sample's position having been fixed by the previous interval's
    /// factor). At a steady speed the samples are the same either way.
    bool advance_before_sampling{false};
    bool is_halting() const { return halting; }
    const std::optional<TcpConstraint>& get_tcp_constraint() const { return tcp_constraint; }

    const orvane::Trajectory* trajectory{nullptr};
    /// Sample at or just before `time`; the number of samples once the end
    /// was delivered.
    std::uint64_t index{0};
    /// Playback position on the trajectory's time axis (s).
    double time{0.0};
    /// Control time since the trajectory was set (s).
    double elapsed_time{0.0};
    MoveScaleLinearly scale_movement{};
    bool is_moving_scale_user{false};
    double scale_user{1.0};
    double scale{1.0};
    std::promise<bool> scale_movement_finished;
    double min_scale{0.0};
    double max_scale{1.0};
    /// Control interval (s).
    double delta_time;
    std::optional<TcpConstraint> tcp_constraint;

private:
    /// The factor the samples use this interval, following `target`.
    double bounded_factor(double target);
    /// A ramp whose time is over ends once the bounded factor got there too.
    void finish_bounded_ramp();
    /// Moves the playback on by one interval at `effective`, and the index with it.
    void advance(double effective);

    std::optional<FactorLimits> factor_limits;
    double factor{1.0};
    double factor_rate{0.0};
    bool halting{false};
    bool start_drawn{false};  // the present trajectory's first sample was drawn

    void step_scale_movement();
    void update_scale(double product);
};

}  // namespace orvane::drivers
