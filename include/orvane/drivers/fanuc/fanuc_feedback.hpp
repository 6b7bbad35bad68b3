#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace orvane::drivers {

class FanucDriver;

/// What the controller reported during the last motion: one entry per joint
/// reading, oldest first. Joint values in radians (metres for a prismatic
/// joint), J3 independent of J2, as the planner has them.
struct MotionFeedback {
    /// Seconds from the motion's start to the middle of each reading's round trip.
    std::vector<double> times;
    /// The controller's "TimeTag" of each reading, as it sent it (over
    /// Stream Motion: the status's time stamp, in ms).
    std::vector<std::int64_t> time_tags;
    /// Over Stream Motion: the motor currents each status reported; empty over RMI.
    std::vector<std::vector<double>> currents;
    std::vector<std::vector<double>> measured;
    /// Per joint, the commanded value nearest to the measured one within the
    /// reading's time window: what its deviation was measured against.
    std::vector<std::vector<double>> commanded;
    /// Per reading, the largest deviation over the joints.
    std::vector<double> deviations;
    /// The largest deviation of the whole motion (also of readings that
    /// were dropped to keep the record bounded).
    double max_deviation{0.0};
};

/// Watches the robot while a motion streams: reads the measured joint
/// position ("FRC_ReadJointAngles") at `FanucDriver::feedback_rate` on a
/// thread of its own, compares each reading with the commanded path as the
/// controller executes it, and stops the motion when the deviation exceeds
/// the driver's threshold while `monitor_path_deviation` is on.
///
/// The commanded path on the host's steady clock: an instruction starts when
/// it has arrived and the one before it has ended (its answer came), and runs
/// for its duration scaled by the speed override, linearly in joint space
/// from the previous target to its own; between instructions the robot holds.
///
/// The streaming code calls the hooks below; they take only `state_mutex`,
/// briefly, and never wait for the controller.
///
/// Locks: `state_mutex` is innermost (taken inside the driver's
/// sampling_mutex and pending_mutex, nothing taken inside it). The reading
/// thread takes the driver's request_mutex for one exchange and, to stop the
/// robot, its sampling_mutex, never while holding `state_mutex`.
class FanucFeedback {
public:
    using Clock = std::chrono::steady_clock;

    /// Readings per second beyond this are read at this rate: the controller
    /// interpolates every 4 to 8 ms, so faster readings tell nothing new and
    /// only cost the command channel.
    static constexpr double max_rate = 250.0;
    /// The record keeps the readings of this many seconds, the newest.
    static constexpr double record_span = 600.0;

    explicit FanucFeedback(FanucDriver& driver);
    ~FanucFeedback();
    FanucFeedback(const FanucFeedback&) = delete;
    FanucFeedback& operator=(const FanucFeedback&) = delete;

    // --- hooks of the streaming code ------------------------------------------------
    /// Run `run` starts with the robot resting at `rest_position`; a new
    /// motion (not a resumed one) starts a new record. Caller holds
    /// sampling_mutex. Without a commanded path (motions the controller
    /// plans itself) the readings are recorded with commanded values of NaN
    /// and no deviation, and nothing is monitored.
    void loop_started(std::uint64_t run, bool new_motion, const std::vector<double>& rest_position,
                      bool commanded_path = true);
    /// An instruction to `target` (planner convention) of `duration` seconds
    /// at 100 % override left for the controller at `sent_at`.
    void instruction_sent(std::int32_t sequence_id, const std::vector<double>& target, double duration,
                          Clock::time_point sent_at);
    /// The answer to an instruction arrived: it has ended.
    void instruction_answered(std::int32_t sequence_id, Clock::time_point at);
    /// Over Stream Motion: one status, received at `received_at`, with the
    /// command that answered it; recorded and compared with the commands of
    /// the deviation window before it (the servos trail the command).
    void status_received(Clock::time_point received_at, std::uint32_t time_stamp, const std::vector<double>& measured,
                         const std::vector<double>& commanded, const std::vector<double>& currents);
    /// The run ended: readings stop.
    void loop_ended();

    MotionFeedback record() const;
    /// Ends the reading thread (idempotent); the destructor does it too.
    void shutdown();

private:
    struct Instruction {
        std::int32_t sequence_id{0};
        std::vector<double> target;
        Clock::time_point sent_at{};
        double duration{0.0};
        std::optional<Clock::time_point> answered_at;
    };
    struct Reading {
        Clock::time_point sent_at{};
        Clock::time_point received_at{};
        std::int64_t time_tag{0};
        std::vector<double> position;
    };
    struct Evaluation {
        std::vector<double> commanded;
        double deviation{0.0};
        std::size_t worst_joint{0};
    };

    void thread_main();
    /// One exchange under the driver's request_mutex; empty when the reading
    /// failed or the loop is ending.
    std::optional<Reading> read_joints();
    /// Compares with the commanded path; caller holds state_mutex.
    Evaluation evaluate_locked(const Reading& reading, double window) const;
    void record_locked(const Reading& reading, const Evaluation& evaluation, double time);
    void forget_old_instructions_locked(Clock::time_point now);
    /// Stops the robot for a deviation found in run `run`, logging `line`;
    /// false when that run is already ending.
    bool trip(std::uint64_t run, const std::string& line);
    double effective_rate() const;

    FanucDriver& driver;

    // Guards everything below up to the thread, and wakes the reading thread.
    mutable std::mutex state_mutex;
    std::condition_variable state_changed;
    /// The thread ends.
    bool closing{false};
    /// The watched motion has a commanded path to compare readings with.
    bool path_known{true};
    /// The run whose motion is read (its serial; 0 while none runs), so that
    /// a reading taken across a run's end is dropped.
    std::uint64_t watched_run{0};
    Clock::time_point motion_start{};
    /// Where the robot stands before the oldest instruction kept, and when
    /// that oldest one may start at the earliest.
    std::vector<double> base_position;
    std::optional<Clock::time_point> base_free_at;
    std::deque<Instruction> instructions;
    std::deque<double> record_times;
    std::deque<std::int64_t> record_tags;
    std::deque<std::vector<double>> record_measured;
    std::deque<std::vector<double>> record_commanded;
    std::deque<double> record_deviations;
    std::deque<std::vector<double>> record_currents;
    /// Over Stream Motion: the commands of the last deviation window, oldest first.
    std::deque<std::pair<Clock::time_point, std::vector<double>>> streamed;
    double record_max{0.0};
    bool warned_unread{false};

    std::thread reader;
};

}  // namespace orvane::drivers
