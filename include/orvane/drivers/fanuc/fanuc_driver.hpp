#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <orvane/motion.hpp>

#include "orvane/drivers/commands.hpp"
#include "orvane/drivers/driver.hpp"
#include "orvane/drivers/fanuc/fanuc_feedback.hpp"
#include "orvane/drivers/fanuc/fanuc_controller_types.hpp"
#include "orvane/drivers/fanuc/rmi_firmware_limits.hpp"
#include "orvane/drivers/fanuc/rmi_requests.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/drivers/fanuc/rmi_socket.hpp"
#include "orvane/drivers/result.hpp"
#include "orvane/drivers/robot_state.hpp"
#include "orvane/utils/fifo_mutex.hpp"

namespace orvane::drivers {

/// A FANUC robot controller driven over RMI.
///
/// Motion is streamed by one thread per driver (`run_thread`, started with the
/// driver): every run, move, blend and resume hands its trajectory to it, and
/// a motion requested while another streams replaces the trajectory in flight
/// (the replaced caller gets `ErrorTrajectoryAborted`). Each control interval
/// one sample of the time scaler becomes one "FRC_JointMotionJRep"; at most
/// `max_pending_instructions` await their answer. The socket's reader thread,
/// having read an answer, sends the next instruction itself (when it can take
/// the sampling lock without waiting), so that an instruction costs one
/// thread wake-up; the streaming thread runs the control-step hooks (events,
/// motion log), decides how the run ends and watches for overdue answers.
///
/// Locks, outermost first: `request_mutex` (one command exchange at a time),
/// `Driver::sampling_mutex` (the time scaler, the trajectory, the motion state
/// below, sequence numbers and every instruction send), `pending_mutex` (the
/// queue of unanswered instructions), `stream_mutex` (what the streaming
/// thread is asked to do), then the socket's own; the feedback's
/// `state_mutex` is innermost and taken with nothing inside it. No future is
/// waited on while `sampling_mutex`, `pending_mutex` or `stream_mutex` is held.
/// The feedback thread holds `request_mutex` for one joint reading at a time.
///
/// Operations may be called from any thread. From inside an event action (the
/// streaming thread) use only the `_async` motion operations, `stop` and the
/// speed operations: a synchronous run, move, blend or `pause` there would wait
/// for the thread that is executing it, and is refused.
class FanucDriver : public Driver {
public:
    FanucDriver(std::shared_ptr<orvane::Planner> planner, std::shared_ptr<orvane::Robot> robot,
                const std::string& host, bool sync_with_kelvra, bool connect);
    FanucDriver(std::shared_ptr<orvane::Planner> planner, const std::string& host, bool sync_with_kelvra,
                bool connect);
    ~FanucDriver() override;

    FanucDriver(const FanucDriver&) = delete;
    FanucDriver& operator=(const FanucDriver&) = delete;

    // --- connection, enabling, status (fanuc_driver.cpp) ------------------------
    bool reconnect() override;
    /// Stops a motion in progress first ("FRC_Abort"), then closes the link.
    bool disconnect() override;
    /// Stops the robot if it moves, disables RMI motion and disconnects.
    void close();
    bool is_connected() const override;
    ControllerStatus get_controller_status() override;
    Result enable() override;
    std::future<Result> enable_async() override;
    Result disable() override;
    std::future<Result> disable_async() override;
    /// The measured joint position in radians, J3 independent of J2.
    std::vector<double> get_current_joint_position() override;
    RobotState get_current_state() override;
    bool is_moving() const;

    // --- motion (fanuc_streaming.cpp) ---------------------------------------------
    Result run(const orvane::Trajectory& trajectory) override;
    std::shared_future<Result> run_async(const orvane::Trajectory& trajectory) override;
    Result move_to(const orvane::Goal& goal, bool ignore_collisions) override;
    std::shared_future<Result> move_to_async(const orvane::Goal& goal, bool ignore_collisions) override;
    // The pose overloads below (fanuc_poses.cpp) sit beside these.
    Result move_along(const std::string& name, const std::optional<orvane::Goal>& goal,
                      bool ignore_collisions) override;
    std::shared_future<Result> move_along_async(const std::string& name, const std::optional<orvane::Goal>& goal,
                                               bool ignore_collisions) override;
    Result blend_into(const orvane::Trajectory& trajectory, double duration) override;
    std::shared_future<Result> blend_into_async(const orvane::Trajectory& trajectory, double duration) override;
    /// Ends the motion: the streaming ends with `ErrorTrajectoryAborted`, the
    /// controller aborts RMI motion ("FRC_Abort") and RMI is initialised anew
    /// when the driver was enabled. `fast_stop` is accepted and not used.
    Result stop(bool fast_stop) override;
    std::shared_future<Result> stop_async(bool fast_stop) override;
    /// Continues a paused motion, ramping the speed back up over
    /// `pausing_duration`; while a run still streams it cancels a pause in
    /// progress and returns at once.
    Result resume() override;
    std::shared_future<Result> resume_async() override;
    /// Continues the motion the time scaler holds at the present speed.
    Result run_command();
    /// Plans `command` from the present state (the last sent sample while a
    /// motion streams, otherwise the measured position) and runs the result.
    Result run_command(const Command& command);

    // --- I/O, speed override and payload (fanuc_io.cpp) ---------------------------
    std::optional<int> get_digital_input(const std::string& name) override;
    bool set_digital_output(const std::string& name, int value) override;
    /// The controller's speed override in percent, 1 to 100.
    bool set_speed_override(int value);
    /// Selects payload schedule `schedule`, a whole number from 1 to 10
    /// (anything else is refused and nothing is sent: a schedule number is
    /// never a mass). An instruction, so it takes its place among the motion
    /// instructions. Needs the driver enabled.
    bool set_payload(double schedule);
    /// Sets the mass, centre of gravity and (when given) inertia of payload
    /// schedule 1 to 10 ("FRC_SetPayloadValue", newer firmware; older
    /// controllers get one warning per link and false). Values must be finite,
    /// the mass and inertia not negative.
    bool set_payload_value(int schedule, const PayloadValue& payload);
    /// Why set_payload or set_payload_value would refuse these values; empty
    /// when they may be sent.
    static std::optional<std::string> payload_schedule_fault(double schedule);
    static std::optional<std::string> payload_value_fault(int schedule, const PayloadValue& payload);
    /// The payload schedules a controller has (PAYLOAD[1] to PAYLOAD[10]).
    static constexpr int lowest_payload_schedule{1};
    static constexpr int highest_payload_schedule{10};

    /// The digital I/O port numbers an alias may name: FANUC numbers its
    /// ports from 1, and 32767 lies far beyond any configured port count, so
    /// a larger number is a mistake, never a port.
    static constexpr IOAddressRange io_ports{1, 32767};
    // --- analog and group I/O, registers, flags, robot I/O (fanuc_controller_io.cpp) ---
    // Through the alias table, as the digital pair. A controller that does not
    // know the packet (older firmware) gets one warning per link and the
    // not-supported answer. Values are checked before anything is sent; a
    // refused write returns false and logs the controller's error ID.
    std::optional<double> get_analog_input(const std::string& name) override;
    bool set_analog_output(const std::string& name, double value) override;
    std::optional<int> get_group_input(const std::string& name) override;
    /// 0 to 65535 (a group has at most 16 signals).
    bool set_group_output(const std::string& name, int value) override;
    std::optional<int> get_int_register(const std::string& name) override;
    bool set_int_register(const std::string& name, int value) override;
    std::optional<double> get_double_register(const std::string& name) override;
    /// The controller keeps real registers in single precision.
    bool set_double_register(const std::string& name, double value) override;
    std::optional<int> get_flag(const std::string& name);
    bool set_flag(const std::string& name, int value);
    std::optional<int> get_robot_input(const std::string& name);
    bool set_robot_output(const std::string& name, int value);

    // --- Cartesian position, frames, tools, position registers, alarms
    //     (fanuc_controller_data.cpp) ----------------------------------------------------
    // Metres and radians, J3 independent of J2; empty or false when the
    // controller cannot answer (unknown packet, refusal, no link).
    /// The TCP pose in the active user frame and tool.
    std::optional<CartesianPose> get_current_cartesian_position();
    /// The TCP speed in m/s.
    std::optional<double> get_tcp_speed();
    std::optional<FrameToolNumbers> get_active_frame_and_tool();
    /// User frame 0 to 9 (0 the world), tool 0 to 10; refused while a motion
    /// streams or is paused.
    bool set_active_frame_and_tool(int user_frame, int user_tool);
    /// User frame 1 to 9 in the world frame.
    std::optional<orvane::Frame> get_user_frame(int number);
    /// Refused while a motion streams or is paused.
    bool set_user_frame(int number, const orvane::Frame& frame);
    /// Tool 1 to 10 in the faceplate frame.
    std::optional<orvane::Frame> get_user_tool(int number);
    /// Refused while a motion streams or is paused.
    bool set_user_tool(int number, const orvane::Frame& frame);
    std::optional<PositionRegister> get_position_register(int number);
    bool set_position_register(int number, const CartesianPose& pose);
    /// One value per joint of the robot.
    bool set_position_register(int number, const std::vector<double>& joint_position);
    /// The newest `count` (1 to 5) alarm texts of the controller, newest
    /// first; an empty list when there are none.
    std::optional<std::vector<std::string>> read_errors(int count);

    // --- poses of the controller as goals (fanuc_poses.cpp) ------------------------------
    /// Where the planner has a pose the controller reported (the current
    /// Cartesian position, a position register): the faceplate in the arm's
    /// base frame, reading the pose's user frame and tool from the controller
    /// when they are not 0. The planner's TCP is taken to be the faceplate, as
    /// for the arms of orvane::robots. Empty (with the reason as last error)
    /// when the robot is not a single arm or a frame or tool cannot be read.
    std::optional<orvane::CartesianWaypoint> to_planner_waypoint(const CartesianPose& pose);
    /// Moves the TCP to a pose in the controller's terms (its user frame and
    /// tool); the planner finds the joint position from where the motion
    /// starts. Result::Error when the pose cannot be converted.
    Result move_to(const CartesianPose& goal, bool ignore_collisions);
    std::shared_future<Result> move_to_async(const CartesianPose& goal, bool ignore_collisions);

    // --- configuration ---------------------------------------------------------------
    std::uint64_t max_pending_instructions{4};
    /// Per-joint tolerance (rad) between where a new trajectory starts and
    /// where the robot is (measured at rest, commanded while moving).
    double start_tolerance{0.01};
    double reset_timeout{15.0};
    double abort_timeout{10.0};
    /// Beyond the execution time of the oldest instruction, how long its
    /// answer may take before the run ends as failed (s).
    double instruction_timeout_margin{1.0};
    /// Joint readings per second while a motion streams (fanuc_feedback.cpp);
    /// 0 reads nothing and so monitors nothing. May change during a motion.
    std::atomic<double> feedback_rate{25.0};
    /// How far back from a reading its commanded value may lie (s): the
    /// controller's servo lag plus the timing uncertainty.
    std::atomic<double> path_deviation_window{0.1};

    /// The joint readings of the last motion (of the present one while it
    /// runs); kept until the next motion starts.
    MotionFeedback get_last_motion_feedback() const { return feedback.record(); }

    RmiSocket socket;
    /// 0 disabled, 1 enabled and idle, 2 streaming.
    std::atomic<std::int32_t> drive_state{0};

protected:
    friend class FanucFeedback;

    struct PendingInstruction {
        std::int32_t sequence_id{0};
        std::shared_future<RmiSocket::ResponsePtr> response;
        std::chrono::steady_clock::time_point sent_at{};
        double duration{0.0};
    };

    enum class LoopPhase { idle, streaming, finishing };
    enum class LoopEnd { finished, paused, stopped, failed, link_lost, no_trajectory };
    enum class Source { trajectory, command, resume, continuation };

    /// What one motion request asks for (exactly one source).
    struct MotionRequest {
        Source source{Source::trajectory};
        const orvane::Trajectory* trajectory{nullptr};
        const Command* command{nullptr};
    };

    /// A sent sample whose control-step hooks have yet to run.
    struct StepSample {
        std::vector<double> position;
        std::vector<double> velocity;
        double time{0.0};
    };

    // --- exchanges ------------------------------------------------------------------
    /// Sends a command and waits for its answer; the caller holds request_mutex.
    RmiSocket::ResponsePtr exchange(RmiMessage& request, double timeout);
    /// The full enable sequence (reset, abort, initialise, status); the abort
    /// is left out when the caller has just aborted RMI motion itself.
    Result initialise_rmi(bool aborted_already = false);
    /// Reads "Override" from a status answer into known_override.
    void note_override(const std::shared_ptr<ControllerStatusResponse>& status);
    /// False (and drive_state 0 unless a run streams) when the link is down or
    /// was made anew since enable.
    bool check_link();

    // --- controller data (fanuc_controller_io.cpp) ------------------------------------
    /// One command exchange of the operations above: the answer when it is
    /// successful; nullptr, with a warning, when the controller refused it, does
    /// not know it or the link is down. `what` names the operation in the log.
    RmiSocket::ResponsePtr ask_controller(RmiMessage& request, const std::string& what);
    /// True (with a warning) while a motion streams or is paused.
    bool refuse_while_moving(const std::string& what);
    /// Logs and keeps as the last error why a payload request was refused.
    void refuse_payload(const std::string& why);

    // --- motion -----------------------------------------------------------------------
    std::shared_future<Result> request_motion(const MotionRequest& request);
    /// Replaces the trajectory in flight (caller holds `lock`, released on return).
    std::shared_future<Result> hand_over(const MotionRequest& request, std::unique_lock<std::mutex>& lock);
    /// Error (and a warning) when empty, of the wrong joint count or not finite.
    bool is_valid_trajectory(const orvane::Trajectory& trajectory) const;
    /// Whether the speed leaves `source` nothing to move at (logged when so).
    bool is_speed_zero_for(Source source) const;
    /// Position of the next sample (planner convention, this robot's joints).
    std::vector<double> next_sample_position() const;
    /// Clears a pause and ramps the speed back up over `pausing_duration`.
    void ramp_up_after_pause();
    void start_loop_locked();
    void run_thread_main();
    LoopEnd stream();
    int draw_sample();
    void send_sample(int status);
    /// Sends samples until `max_pending_instructions` are in flight, at most
    /// one per `instruction_spacing` (caller holds sampling_mutex, a loop
    /// streams). True when the streaming thread has work: hooks queued, a
    /// failure, or a send held back by the pacing (`paced_send_due`).
    bool fill_locked();
    /// Waits (holding sampling_mutex) until the next instruction may be sent.
    void wait_for_send_slot();
    /// Records the sample just sent: queued for the hooks when there are
    /// any, otherwise stored as the desired state at once.
    bool report_sample();
    /// Pops answered instructions; a refused or failed one ends the run.
    void collect_answers();
    /// The socket listener (reader thread): collects answers and refills.
    void on_socket_activity();
    void wake_stream();
    void record_failure(LoopEnd end);
    /// The failure recorded for this loop, if any; rethrows a stored exception.
    std::optional<LoopEnd> take_failure();
    void run_step_hooks();
    bool step_hooks_waiting();
    /// Sleeps until woken, the oldest answer is due or `send_due` (a paced
    /// send) comes; false when the oldest answer is overdue.
    bool wait_for_activity(std::optional<std::chrono::steady_clock::time_point> send_due);
    /// Caller holds pending_mutex.
    std::chrono::steady_clock::time_point answer_deadline(const PendingInstruction& oldest) const;
    void finish_loop(LoopEnd end, std::exception_ptr error);
    /// Ends the open motion: hooks run, pause waiters released.
    void finish_motion();
    void end_paused_motion();
    /// Ends the paused motion; `lock` holds sampling_mutex and is held again on return.
    void end_paused_motion_locked(std::unique_lock<std::mutex>& lock);
    Result stop_motion(bool reenable, bool from_loop);
    Result stop_sequence(bool reenable, bool from_loop, bool was_enabled);
    void wait_until_loop_idle(std::chrono::steady_clock::duration limit);
    bool on_run_thread() const;
    /// Connected over the link RMI was initialised on.
    bool link_usable();
    std::future<Result> launch(std::function<Result()> operation);
    std::size_t pending_count();

    std::deque<PendingInstruction> pending_responses;
    /// Taken and advanced under sampling_mutex, together with the send.
    /// Atomic so that enabling, which holds request_mutex and runs while
    /// nothing is sent, can set it without the sampling lock (an event
    /// condition that reads an input holds the two the other way round).
    std::atomic<std::int32_t> next_sequence_id{1};
    std::mutex pending_mutex;
    /// Fair: periodic joint reads and user commands take turns.
    utils::FifoMutex request_mutex;
    std::mutex run_mutex;
    std::thread run_thread;
    /// Guarded by sampling_mutex: the promise of the motion streaming now.
    std::shared_ptr<std::promise<Result>> run_promise;
    std::shared_future<Result> run_future;
    std::atomic<bool> stop_requested{false};
    /// Guarded by sampling_mutex: the newest instruction as sent (J3 relative to J2).
    std::shared_ptr<MotionInstruction> last_instruction;
    std::atomic<std::int32_t> scaler_status{0};
    /// Packets the controller of the present link does not know (own lock).
    FirmwareLimits firmware_limits;

    // Guarded by sampling_mutex.
    LoopPhase loop_phase{LoopPhase::idle};
    bool loop_requested{false};
    bool closing{false};
    bool run_thread_exit{false};
    /// A stop (or disable) is under way; `stop_reenables` tells which.
    bool stopping{false};
    bool stop_reenables{false};
    /// A motion started and not ended (a paused one included).
    bool motion_open{false};
    /// The next moving sample is where the robot already is: draw it, send nothing.
    bool skip_next_sample{false};
    /// Instructions sent by the present loop.
    std::size_t loop_sent{0};
    /// The controller takes at most one instruction per 5 ms: no two are
    /// sent closer together, whichever thread sends and whatever the run.
    static constexpr std::chrono::milliseconds instruction_spacing{5};
    std::chrono::steady_clock::time_point last_instruction_sent_at{};
    /// When fill_locked last held a send back for the pacing: the time it may go.
    std::optional<std::chrono::steady_clock::time_point> paced_send_due;
    /// The last sent sample in the planner's convention, with velocity and acceleration.
    orvane::State last_sent_state;
    /// Counts motions started, so a measurement taken before the lock can be
    /// known to be still valid.
    std::uint64_t motion_generation{0};
    std::shared_future<Result> stop_in_flight;
    std::condition_variable loop_state_changed;
    std::thread::id run_thread_id;

    std::atomic<std::uint64_t> enabled_link{0};
    std::atomic<int> known_override{100};
    /// Guarded by pending_mutex: when the last answer of the loop arrived.
    std::chrono::steady_clock::time_point last_progress{};

    // Guarded by stream_mutex: what the streaming thread is asked to do.
    std::mutex stream_mutex;
    std::condition_variable stream_wakeup;
    bool stream_attention{false};
    std::deque<StepSample> step_samples;
    std::optional<LoopEnd> loop_failure;
    std::exception_ptr loop_error;
    /// Set (under pending_mutex or stream_mutex) once this loop has failed:
    /// nothing more is sent.
    std::atomic<bool> loop_failed{false};

    std::mutex async_mutex;
    struct AsyncTask {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::list<AsyncTask> async_tasks;

    /// Last: its thread uses the members above and is joined before they go.
    FanucFeedback feedback{*this};
};

}  // namespace orvane::drivers
