#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <orvane/motion.hpp>

#include "orvane/drivers/commands.hpp"
#include "orvane/drivers/event.hpp"
#include "orvane/drivers/result.hpp"
#include "orvane/drivers/robot_state.hpp"
#include "orvane/drivers/time_scaler.hpp"

namespace orvane::drivers {

/// How long a pause ramps the speed down to standstill, unless set otherwise (s).
inline constexpr double default_pausing_duration = 0.7;

/// The oldest motion library this driver works with.
inline constexpr orvane::VersionNumber minimum_motion_library_version{1, 1, 0};

/// Whether a motion library of `version` offers what the driver needs: at
/// least 1.1 (the patch number is not compared).
bool is_motion_library_supported(const orvane::VersionNumber& version);

/// Throws OrvaneError("driver", ...) naming the minimum version when
/// `version` is not supported.
void check_motion_library_version(const orvane::VersionNumber& version);

/// The robot a driver commands: `robot` when given, else the environment's
/// only robot. Throws OrvaneError("driver", ...) without a planner or
/// environment, or when the choice is ambiguous.
std::shared_ptr<orvane::Robot> get_robot(const std::shared_ptr<orvane::Planner>& planner,
                                         const std::shared_ptr<orvane::Robot>& robot);

/// Index of `robot`'s first joint within the joint vector of the top-level
/// robot that contains it (0 for a top-level robot or one not found).
std::size_t calculate_offset(const std::shared_ptr<orvane::Planner>& planner,
                             const std::shared_ptr<orvane::Robot>& robot);

/// The control interval: 1 / the robot's control rate when it states one,
/// otherwise the planner's `delta_time`.
double find_delta_time(const std::shared_ptr<orvane::Planner>& planner, const std::shared_ptr<orvane::Robot>& robot);

/// The values in default floating-point notation with `precision`
/// significant digits, separated by ", ".
std::string join(const std::vector<double>& values, int precision);

/// The brand-independent base of every robot driver.
///
/// Locking, for derived drivers:
/// - `sampling_mutex` serialises everything that touches `time_scaler` or
///   `trajectory`. A derived driver takes it around `time_scaler.next`,
///   `set_trajectory`, copying into or planning into `trajectory`. These
///   Driver operations take it themselves, so they must be called WITHOUT
///   holding it: set_speed (both), reset_speed, get_speed, is_paused,
///   pause_async, pause, set_tcp_velocity_constraint, the base
///   get_current_joint_position (it copies `current_state`), on_desired_state (also
///   while a trigger condition is evaluated, but not while an action runs)
///   and on_motion_did_finish. calculate_trajectory, slice_state_offset and
///   are_positions_within do not take it. Never wait on a future while
///   holding it: the pause ramp's future is fulfilled from inside `next`.
///   Raise is_running_flag under it, together with set_trajectory, so that
///   pause_async sees either the motion or an idle driver.
/// - Trigger conditions run under `sampling_mutex` (they read `trajectory`)
///   and must not call the operations above; actions run without it and may
///   change the speed or start a pause with pause_async (never pause(), which
///   would wait for the control loop that runs the action).
/// - `events` is guarded by its own mutex (add_event, the walk in
///   check_for_events, on_motion_did_finish); `io_aliases` by a reader-writer
///   lock (use get_io_alias to resolve a name); `desired_state` by a mutex
///   (use get_desired_state to read it from another thread).
class Driver {
public:
    /// Input and output address of one I/O alias.
    struct IOReference {
        std::uint64_t address_in{0};
        std::uint64_t address_out{0};
    };

    Driver(std::shared_ptr<orvane::Planner> planner, std::shared_ptr<orvane::Robot> robot, const std::string& host,
           int port, double delta_time, bool sync_with_kelvra);
    virtual ~Driver();

    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;
    Driver(Driver&&) = delete;
    Driver& operator=(Driver&&) = delete;

    // --- virtual operations, in slot order ----------------------------------
    virtual bool reconnect();
    virtual bool disconnect();
    virtual bool is_connected() const;
    virtual ControllerStatus get_controller_status() = 0;
    virtual Result enable();
    virtual std::future<Result> enable_async();
    virtual Result disable();
    virtual std::future<Result> disable_async();
    virtual std::vector<double> get_current_joint_position();
    virtual RobotState get_current_state() = 0;
    virtual Result run(const orvane::Trajectory& trajectory);
    virtual std::shared_future<Result> run_async(const orvane::Trajectory& trajectory) = 0;
    virtual Result move_to(const orvane::Goal& goal, bool ignore_collisions);
    virtual std::shared_future<Result> move_to_async(const orvane::Goal& goal, bool ignore_collisions) = 0;
    virtual Result move_along(const std::string& name, const std::optional<orvane::Goal>& goal,
                              bool ignore_collisions);
    virtual std::shared_future<Result> move_along_async(const std::string& name,
                                                       const std::optional<orvane::Goal>& goal,
                                                       bool ignore_collisions) = 0;
    virtual Result blend_into(const orvane::Trajectory& trajectory, double duration);
    virtual std::shared_future<Result> blend_into_async(const orvane::Trajectory& trajectory, double duration) = 0;
    virtual Result stop(bool fast_stop);
    virtual std::shared_future<Result> stop_async(bool fast_stop) = 0;
    virtual Result resume();
    virtual std::shared_future<Result> resume_async() = 0;
    virtual std::optional<int> get_digital_input(const std::string& name);
    virtual bool set_digital_output(const std::string& name, int value);
    virtual std::optional<double> get_analog_input(const std::string& name);
    virtual bool set_analog_output(const std::string& name, double value);
    virtual std::optional<int> get_group_input(const std::string& name);
    virtual bool set_group_output(const std::string& name, int value);
    virtual std::optional<int> get_int_register(const std::string& name);
    virtual bool set_int_register(const std::string& name, int value);
    virtual std::optional<double> get_double_register(const std::string& name);
    virtual bool set_double_register(const std::string& name, double value);

    // --- queries ---------------------------------------------------------------
    double get_total_motion_time() const;
    bool is_running() const;
    /// Whether every |a[i] - b[i]| <= tolerance; false for different lengths.
    static bool are_positions_within(const std::vector<double>& a, const std::vector<double>& b, double tolerance);
    /// A copy of the last commanded state, taken under its lock.
    std::optional<orvane::State> get_desired_state() const;
    /// Why this driver's last operation was refused or failed; empty after a
    /// success.
    std::string get_last_error() const;

    // --- trajectory calculation ---------------------------------------------------
    /// The trajectory to execute for `command` from `state`; false (and
    /// `trajectory` untouched) when it cannot be planned.
    bool calculate_trajectory(const Command& command, orvane::Trajectory& trajectory, const RobotState& state) const;
    /// Where `trajectory` first leaves this robot's joint ranges or velocity
    /// limits (its declared velocities, and the steps between its samples),
    /// as a sentence naming the joint, the sample and the limit; empty when
    /// it stays within them.
    std::optional<std::string> find_limit_violation(const orvane::Trajectory& trajectory) const;
    /// Cuts a state that covers a whole composite robot down to this robot's joints.
    void slice_state_offset(orvane::State& state) const;

    // --- control-step hooks, for drivers that report their control steps ------
    void on_desired_state(const std::vector<double>& position, const std::vector<double>& velocity);
    /// The same, for a sample drawn at scaler time `time` (a driver that runs
    /// the hooks a little after drawing passes the time of the draw).
    void on_desired_state(const std::vector<double>& position, const std::vector<double>& velocity, double time);
    /// Records the commanded state only: all on_desired_state does when
    /// has_step_hooks() is false.
    void store_desired_state(const std::vector<double>& position, const std::vector<double>& velocity);
    /// Whether a control step has more to do than record the commanded state
    /// (events waiting, motion log on). Lock-free, for a thread that must not
    /// block on the events' lock.
    bool has_step_hooks() const { return log_motions || events_waiting.load(); }
    void on_motion_did_finish();

    // --- speed and pause -----------------------------------------------------------
    /// Speeds outside [0, 1] are clamped (and the clamped value is what
    /// reset_speed restores); NaN and infinities are refused.
    void set_speed(double speed);
    void set_speed(double speed, double duration);
    void reset_speed();
    double get_speed() const;
    bool is_paused() const;
    /// Ramps the speed to 0 over `pausing_duration`; the future is true once
    /// at standstill, false when the motion ended or another speed change
    /// overtook the pause first.
    /// A driver whose controller also runs motions it plans itself holds
    /// those its own way.
    virtual std::future<bool> pause_async();
    bool pause();
    /// Sets `pausing_duration`; throws std::invalid_argument for a duration
    /// that is not finite or is negative.
    void set_pausing_duration(double seconds);
    /// Engages the time scaler's Cartesian speed limit (metres per second)
    /// with this robot's arm model; empty disengages it.
    void set_tcp_velocity_constraint(std::optional<double> max_tcp_velocity);

    // --- events ------------------------------------------------------------------------
    /// Appends copies of both; from inside an action the addition takes
    /// effect when the present walk over the events ends.
    void add_event(const Trigger& trigger, const Action& action);
    /// Runs the action of every waiting event whose trigger holds, once, in
    /// registration order; a failing condition or action drops its event.
    void check_for_events(double time, const std::vector<double>& position);
    /// Number of events waiting.
    std::size_t get_event_count() const;

    // --- I/O aliases ------------------------------------------------------------------
    /// The addresses a controller's I/O ports can have; the base accepts any.
    struct IOAddressRange {
        std::uint64_t lowest{0};
        std::uint64_t highest{UINT64_MAX};
    };
    /// Throws std::invalid_argument (and defines nothing) when an address lies
    /// outside io_address_range: no write to such an alias can reach a port.
    void create_io_alias(const std::string& name, std::size_t address_in, std::size_t address_out);
    void create_io_alias(const std::string& name, std::size_t address);
    /// The addresses of alias `name` (exact match), if defined.
    std::optional<IOReference> get_io_alias(const std::string& name) const;

    // --- Kelvra mirroring -----------------------------------------------------------
    bool kelvra_reconnect();
    bool kelvra_disconnect();
    void kelvra_sync_task();

    // --- members -----------------------------------------------------------------------
    std::atomic<double> total_motion_time{0.0};
    std::uint64_t offset{0};
    std::shared_ptr<orvane::Robot> robot_argument;
    bool is_connected_flag{false};
    std::atomic<bool> is_running_flag{false};
    std::atomic<bool> is_pausing{false};
    /// Guarded by sampling_mutex.
    orvane::Trajectory trajectory;
    /// Guarded by sampling_mutex (the time scaler writes it).
    orvane::State current_state;
    /// Guarded by desired_state_mutex.
    std::optional<orvane::State> desired_state;
    /// Guarded by sampling_mutex.
    TimeScaler time_scaler;
    /// Guarded by sampling_mutex.
    double speed{1.0};
    /// Guarded by io_aliases_mutex.
    std::unordered_map<std::string, IOReference> io_aliases;

protected:
    /// Guarded by events_mutex.
    std::vector<std::pair<Trigger, Action>> events;
    /// Whether `events` (or the additions deferred during a walk) may hold
    /// something; written under events_mutex, read without it.
    std::atomic<bool> events_waiting{false};

public:
    bool sync_with_kelvra;
    std::uint64_t kelvra_sync_rate{30};
    std::atomic<bool> kelvra_sync_running{true};
    std::thread kelvra_sync_thread;
    std::shared_ptr<orvane::Planner> planner;
    std::shared_ptr<orvane::Robot> robot;
    std::string host;
    int port;
    std::size_t degrees_of_freedom;
    double delta_time;
    double connect_timeout{2.0};
    /// Assign it through set_pausing_duration, which refuses unusable values.
    double pausing_duration{default_pausing_duration};
    /// Written by kelvra_reconnect / kelvra_disconnect only while the
    /// synchronisation thread is stopped; assign it only then.
    std::shared_ptr<orvane::Kelvra> kelvra;
    /// Atomic: a controller driver reads them while a motion runs, and a
    /// change takes effect at its next look.
    std::atomic<bool> monitor_path_deviation{true};
    std::atomic<double> path_deviation_error_threshold{0.1};
    bool log_motions{false};

protected:
    /// Records why an operation was refused or failed (next to its log line);
    /// an empty text clears it. Const: const checks (planning) refuse too.
    void set_last_error(std::string message) const;
    /// Refuses an operation: one warning line and last_error, the same text.
    void refuse(const std::string& why) const;
    /// The same for a refusal that points at a fault (logged as an error).
    void refuse_as_error(const std::string& why) const;
    /// An operation starts: last_error is cleared, so that it speaks of this one.
    void begin_operation() const { set_last_error({}); }

    /// Stops the synchronisation thread and detaches the message handler
    /// from the client, waiting for a handler call in progress. ~Driver calls
    /// it; a derived driver whose get_current_joint_position uses its own
    /// members calls it first thing in its destructor. Idempotent.
    void stop_kelvra_mirroring() noexcept;

    /// Set by a controller driver's constructor, before any alias is made.
    IOAddressRange io_address_range;

    mutable std::mutex sampling_mutex;
    mutable std::mutex events_mutex;
    mutable std::shared_mutex io_aliases_mutex;
    mutable std::mutex desired_state_mutex;

private:
    struct KelvraLink;

    /// calculate_trajectory without the checks of its result.
    bool plan_command(const Command& command, orvane::Trajectory& trajectory, const RobotState& state) const;
    void set_speed_locked(double speed);
    void settle_overtaken_pause();
    void stop_kelvra_sync_thread();
    void detach_kelvra_handler();
    void handle_kelvra_message(const nlohmann::json& message);

    // Set while a thread walks the events; add_event from that thread (an
    // action) is deferred to the end of the walk.
    std::atomic<std::thread::id> events_walker{};
    std::vector<std::pair<Trigger, Action>> deferred_events;
    bool discard_events_after_walk{false};

    // Guards last_error; taken alone, never while calling anything.
    mutable std::mutex last_error_mutex;
    mutable std::string last_error;

    std::mutex kelvra_sync_mutex;
    std::condition_variable kelvra_sync_wakeup;
    std::shared_ptr<KelvraLink> kelvra_link;
};

}  // namespace orvane::drivers
