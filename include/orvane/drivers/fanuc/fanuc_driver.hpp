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
#include "orvane/drivers/fanuc/controller_motion_types.hpp"
#include "orvane/drivers/fanuc/fanuc_feedback.hpp"
#include "orvane/drivers/fanuc/fanuc_controller_types.hpp"
#include "orvane/drivers/fanuc/rmi_firmware_limits.hpp"
#include "orvane/drivers/fanuc/rmi_planned_motions.hpp"
#include "orvane/drivers/fanuc/rmi_requests.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/drivers/fanuc/rmi_socket.hpp"
#include "orvane/drivers/fanuc/stream_motion_figures.hpp"
#include "orvane/drivers/fanuc/stream_motion_limits.hpp"
#include "orvane/drivers/fanuc/stream_motion_udp.hpp"
#include "orvane/drivers/motion_state.hpp"
#include "orvane/drivers/result.hpp"
#include "orvane/drivers/robot_state.hpp"
#include "orvane/utils/fifo_mutex.hpp"

namespace orvane::drivers {

namespace stream_motion {
class StreamMotionLink;
}

/// How a FanucDriver reaches its controller.
struct FanucConnectOptions {
    /// The RMI control port; the controller names the data port itself.
    int port{RmiSocket::default_control_port};
    /// Seconds a connection may take (construction, reconnect); kept in the
    /// driver's `connect_timeout`. A refused connection fails at once.
    double connect_timeout{RmiSocket::default_connect_timeout};
    /// Moves the arm over Stream Motion (UDP, one command per controller
    /// period) instead of RMI motion instructions; RMI still carries the
    /// session, I/O, registers, frames, status, override and payload.
    bool stream_motion{false};
    int stream_motion_port{stream_motion::default_port};
};

/// A FANUC robot controller driven over RMI.
///
/// The life of a motion is one MotionState (`motion`; its transition table is
/// at the top of motion_state.cpp): enabling, starting a run, handing a new
/// motion over to the run in flight, pausing, ending and stopping all go
/// through it, and every thread reads the same phase.
///
/// Motion is streamed by one thread per driver (`run_thread`, started with the
/// driver): every run, move, blend and resume hands its trajectory to it, and
/// a motion requested while another streams replaces the trajectory in flight
/// (the replaced caller gets `ErrorTrajectoryAborted`). A planned motion is
/// planned without any lock, from a junction a little ahead on the trajectory
/// in flight, so the stream goes on meanwhile. Each control interval one
/// sample of the time scaler becomes one "FRC_JointMotionJRep"; at most
/// `max_pending_instructions` await their answer. The socket's reader thread,
/// having read an answer, sends the next instruction itself (when it can take
/// the sampling lock without waiting), so that an instruction costs one
/// thread wake-up; the streaming thread runs the control-step hooks (events,
/// motion log), decides how the run ends and watches for overdue answers.
///
/// Locks, outermost first: `request_mutex` (one command exchange at a time),
/// `Driver::sampling_mutex` (the motion state, the time scaler, the
/// trajectory, sequence numbers and every instruction send), `pending_mutex`
/// (the queue of unanswered instructions), `stream_mutex` (what the streaming
/// thread is asked to do), then the socket's own; the feedback's
/// `state_mutex` and a run's error lock are innermost and taken with nothing
/// inside them. No future is waited on while `sampling_mutex`,
/// `pending_mutex` or `stream_mutex` is held, and nothing is planned under
/// them. The feedback thread holds `request_mutex` for one joint reading at
/// a time.
///
/// Operations may be called from any thread. From inside an event action (the
/// streaming thread) use only the `_async` motion operations, `stop` and the
/// speed operations: a synchronous run, move, blend or `pause` there would wait
/// for the thread that is executing it, and is refused.
class FanucDriver : public Driver {
public:
    using ConnectOptions = FanucConnectOptions;

    /// Connects at once when `connect` is true: an `OrvaneError` whose
    /// message names the address, the port, what happened and what to check
    /// when the controller cannot be reached. `host` is an address or a host
    /// name without a port; an options value out of range (a port beyond 1
    /// to 65535, a time-out that is no positive number of seconds) throws
    /// std::invalid_argument.
    FanucDriver(std::shared_ptr<orvane::Planner> planner, std::shared_ptr<orvane::Robot> robot,
                const std::string& host, bool sync_with_kelvra, bool connect, const ConnectOptions& options = {});
    FanucDriver(std::shared_ptr<orvane::Planner> planner, const std::string& host, bool sync_with_kelvra,
                bool connect, const ConnectOptions& options = {});
    ~FanucDriver() override;

    FanucDriver(const FanucDriver&) = delete;
    FanucDriver& operator=(const FanucDriver&) = delete;

    // --- connection, enabling, status (fanuc_driver.cpp) ------------------------
    /// Waits up to `connect_timeout` for the link; on failure last_error
    /// says why, as the constructor's exception does.
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
    /// Whether a run feeds the controller (a paused motion does not move).
    bool is_moving() const;
    /// The phase of the motion's life, as last published (any thread).
    MotionPhase motion_phase() const { return motion.published_phase(); }
    /// Enabled: a motion may start or is under way.
    bool is_enabled() const;

    // --- motion (fanuc_motion_requests.cpp, fanuc_run_end.cpp) ---------------------
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
    /// The stop has begun when this returns (nothing more is sent, and a
    /// motion requested from now on waits for it); the abort and its answer
    /// follow on a thread of their own.
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

    // --- motions the controller plans (fanuc_controller_motion.cpp) ---------------------
    // Handed to the controller's own planner as a taught program's lines
    // would be: it accelerates, blends and runs them itself; nothing is
    // planned or streamed by the host. They join one queue in call order
    // (the controller holds at most `controller_queue_size` unanswered; a
    // further call waits for a place, the _async twin returns at once). The
    // result is the controller's answer: Success once the motion has run;
    // ErrorController for the one the controller refused or faulted on, and
    // ErrorTrajectoryAborted for every other queued or waiting one, after
    // which the queue is aborted and the driver must be enabled again.
    // stop() aborts the queue (ErrorTrajectoryAborted) and leaves the
    // driver ready; pause() holds it ("FRC_Pause") and resume() continues
    // it ("FRC_Continue"). The speed override applies; the driver's speed
    // (set_speed, the time scaler) does not.
    //
    // They never share the controller with a streamed motion: a call made
    // while a motion streams waits until it has ended (a paused streamed
    // motion ends, as for any new motion), and a streamed motion requested
    // while the queue holds motions waits until it has drained.
    //
    // A driver that moves the arm over Stream Motion refuses them all
    // (Result::Error, the reason in last_error): its controller runs the
    // streaming program, which owns the arm until disable().
    //
    // A blended motion (CNT, corner region) starts only once the next motion
    // has reached the controller, so its synchronous form returns Success
    // as soon as it is queued (it could never be answered before the caller
    // sends the next one); the _async twin completes with its answer. The
    // values are checked before anything is sent; a refusal returns
    // Result::Error with the reason in last_error.
    /// Joint interpolation at `speed_percent` (1 to 100, whole) of the joints'
    /// maximum speed, to joint values or a pose.
    Result move_joint(const MotionTarget& target, double speed_percent = 100.0,
                      const ControllerMotionOptions& options = {});
    std::shared_future<Result> move_joint_async(const MotionTarget& target, double speed_percent = 100.0,
                                                const ControllerMotionOptions& options = {});
    /// A straight line of the TCP at `speed` m/s (0.001 to 2), to a pose or joint values.
    Result move_linear(const MotionTarget& target, double speed = 0.25, const ControllerMotionOptions& options = {});
    std::shared_future<Result> move_linear_async(const MotionTarget& target, double speed = 0.25,
                                                 const ControllerMotionOptions& options = {});
    /// An arc of the TCP through `via` to `target` (same user frame and tool).
    Result move_circular(const CartesianPose& via, const CartesianPose& target, double speed = 0.25,
                         const ControllerMotionOptions& options = {});
    std::shared_future<Result> move_circular_async(const CartesianPose& via, const CartesianPose& target,
                                                   double speed = 0.25, const ControllerMotionOptions& options = {});
    /// Runs program `name` of the controller ("FRC_Call") in the queue.
    Result call_program(const std::string& name);
    std::shared_future<Result> call_program_async(const std::string& name);
    /// The queue stands still for `seconds` (0 to 86400).
    Result wait_time(double seconds);
    std::shared_future<Result> wait_time_async(double seconds);
    /// The queue waits until the digital input of `alias` reads `value` (0 or 1).
    Result wait_input(const std::string& alias, int value);
    std::shared_future<Result> wait_input_async(const std::string& alias, int value);
    /// Pauses a streamed motion as Driver::pause_async does; holds queued
    /// controller-planned motions with "FRC_Pause" (true once held).
    std::future<bool> pause_async() override;
    /// The controller's queue: instructions it holds unanswered at most.
    static constexpr std::size_t controller_queue_size{8};

    // --- configuration ---------------------------------------------------------------
    std::uint64_t max_pending_instructions{4};
    /// Per-joint tolerance (rad) between where a new trajectory starts and
    /// where the robot is (measured at rest, commanded while moving).
    double start_tolerance{0.01};
    double reset_timeout{15.0};
    double abort_timeout{10.0};
    /// Time-out of every other command (s).
    static constexpr double command_timeout = 1.0;
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

    // --- Stream Motion (fanuc_stream_motion.cpp) ------------------------------------
    /// "stream_motion" or "rmi": how the arm is moved.
    std::string motion_interface() const { return sm_link ? "stream_motion" : "rmi"; }
    /// The controller's limits as read at enable, in a planner's terms
    /// (Planner::set_limit_table), keeping the share of acceleration and jerk
    /// the driver's own speed changes need. Empty over RMI or before enable.
    std::optional<orvane::JointLimitTable> stream_motion_limits() const;
    /// The controller's threshold tables as read at enable.
    std::optional<stream_motion::ThresholdTables> stream_motion_tables() const;
    /// The period the controller runs Stream Motion at (s); empty over RMI or before enable.
    std::optional<double> stream_motion_period() const;
    /// Periods this session in which the driver's command was late (the
    /// loop went on along the last acceleration) or a status was missed.
    std::uint64_t late_cycles() const;
    /// The loop's counts and its status-to-command latency record; empty
    /// over RMI or before enable.
    std::optional<stream_motion::LoopFigures> stream_motion_figures() const;
    void reset_stream_motion_figures();
    /// The speed factor the time scaler samples with now (over Stream Motion
    /// it follows the speed asked for at a bounded rate).
    double time_scaler_factor() const;
    /// The share of the controller's acceleration and jerk limits a plan for
    /// Stream Motion may use; the rest is kept for speed changes in flight.
    static constexpr double stream_motion_planning_share = 0.6;

    RmiSocket socket;

protected:
    friend class FanucFeedback;

    using Clock = std::chrono::steady_clock;

    struct PendingInstruction {
        std::int32_t sequence_id{0};
        std::shared_future<RmiSocket::ResponsePtr> response;
        Clock::time_point sent_at{};
        double duration{0.0};
    };

    /// What one motion request asks for (exactly one source).
    struct MotionRequest {
        RunSource source{RunSource::trajectory};
        const orvane::Trajectory* trajectory{nullptr};
        const Command* command{nullptr};
    };

    /// Where a motion planned in flight joins the trajectory playing: sample
    /// `index` of it, `from` the first sample still to be played when chosen.
    struct Junction {
        std::uint64_t from{0};
        std::uint64_t index{0};
        /// The trajectory's time at `from` and at the junction.
        double from_time{0.0};
        double time{0.0};
        /// Counts the trajectories set on the time scaler, so that a junction
        /// on a replaced one is known to be stale.
        std::uint64_t trajectory_serial{0};
        /// Samples `from` to `index`, this robot's joints, time from 0.
        orvane::Trajectory prefix;
        /// The state at the junction, on the trajectory's time axis.
        RobotState start;
    };

    /// A sent sample whose control-step hooks have yet to run.
    struct StepSample {
        std::vector<double> position;
        std::vector<double> velocity;
        double time{0.0};
    };

    // --- exchanges (fanuc_driver.cpp) -------------------------------------------------
    /// Sends a command and waits for its answer; the caller holds request_mutex.
    RmiSocket::ResponsePtr exchange(RmiMessage& request, double timeout);
    /// One command exchange under request_mutex.
    RmiSocket::ResponsePtr command(RmiMessage& request, double timeout = command_timeout);
    /// The full enable sequence (reset, abort, initialise, status); the abort
    /// is left out when the caller has just aborted RMI motion itself. On
    /// success the link and the next sequence ID are taken; the caller
    /// applies the phase. Caller holds request_mutex.
    Result initialise_rmi(bool aborted_already = false);
    /// Reads "Override" from a status answer into known_override.
    void note_override(const std::shared_ptr<ControllerStatusResponse>& status);
    /// Whether the link is up. When it is down or was made anew since the
    /// driver was enabled, an idle or paused driver is disabled (a paused
    /// motion ends: it never continues across a new link).
    bool check_link();
    /// Connected over the link RMI was initialised on.
    bool link_usable();

    // --- controller data (fanuc_controller_io.cpp) ------------------------------------
    /// One command exchange of a user's operation: the answer when it is
    /// successful; nullptr, with a warning and last_error, when the
    /// controller refused it, does not know it or the link is down. `what`
    /// names the operation.
    RmiSocket::ResponsePtr ask_controller(RmiMessage& request, const std::string& what);
    /// True (with a warning and last_error) while a motion streams or is paused.
    bool refuse_while_moving(const std::string& what);
    /// True when `value` lies in [low, high]; otherwise `what` is refused.
    bool in_range(int value, int low, int high, const std::string& what);
    /// The address of alias `name` for reading or writing, when it is an
    /// alias of a port the controller can have; otherwise `what` is refused.
    std::optional<std::uint64_t> alias_address(const std::string& name, bool for_reading, const std::string& what);
    /// `value` when it is a whole number an int holds; otherwise refused
    /// (`advice` ends the sentence).
    std::optional<int> whole_number(double value, const std::string& what, const std::string& advice);
    /// The value of an "FRC_ReadIOPort" answer as a whole number.
    std::optional<int> integral_port_value(const RmiSocket::ResponsePtr& answer, const std::string& what);

    // --- motion requests (fanuc_motion_requests.cpp) ---------------------------------
    // The work of the operations of the same name, without clearing last_error.
    Result command_motion(const Command& command);
    Result blend_motion(const orvane::Trajectory& target, double duration);
    Result resume_motion();
    std::shared_future<Result> request_motion(const MotionRequest& request);
    /// A motion request refused before anything moves.
    std::shared_future<Result> refused(const Result& result, const std::string& why);
    /// The refusal of a motion while disabled, with the failure that disabled it.
    std::string not_enabled_reason() const;
    std::string not_enabled_reason(std::unique_lock<std::mutex>& sampling_lock) const;
    /// Requests wait while the motion's life is in one of its short owned
    /// phases, or a run winds down. Caller holds sampling_mutex.
    bool busy() const;
    /// Starts a run from `measured` (the arm at rest); caller holds sampling_mutex.
    std::shared_future<Result> start_run(RunSource source, const std::vector<double>& measured);
    /// Installs a new waiter on the run in flight; the replaced one learns
    /// `ErrorTrajectoryAborted` once `lock` (sampling_mutex) is released.
    std::shared_future<Result> take_over(std::unique_lock<std::mutex>& lock);
    /// Where a motion planned now, taking `lead` seconds, joins the stream.
    /// Caller holds sampling_mutex.
    Junction choose_junction(double lead) const;
    /// Whether `junction` is still ahead of the playback. Caller holds sampling_mutex.
    bool is_ahead(const Junction& junction) const;
    /// Error (and a warning) when empty, of the wrong joint count or not finite.
    bool is_valid_trajectory(const orvane::Trajectory& trajectory) const;
    /// Whether the speed leaves `source` nothing to move at (logged when so).
    bool is_speed_zero_for(RunSource source) const;
    /// Position of the next sample (planner convention, this robot's joints).
    std::vector<double> next_sample_position() const;
    /// Clears a pause and ramps the speed back up over `pausing_duration`.
    void ramp_up_after_pause();

    // --- controller-planned motions (fanuc_controller_motion.cpp) ------------------------
    /// One call's instructions (a frame or tool change, then the motion),
    /// checked and built, waiting for their numbers.
    struct QueuedCall {
        std::vector<std::unique_ptr<RmiInstruction>> packets;
        /// The motion's user frame and tool when it has a pose.
        std::optional<FrameToolNumbers> frame_tool;
        bool blended{false};
        std::string what;
        std::uint64_t ticket{0};
    };
    /// Guarded by sampling_mutex: the calls in the controller's queue and in line for it.
    struct ControllerQueue {
        /// Calls take tickets as they are made and are sent in ticket order.
        std::uint64_t next_ticket{0};
        std::uint64_t serving{0};
        /// Calls of tickets below this end unsent (a stop, a failure).
        std::uint64_t cancelled_below{0};
        /// Counts the queues started; a sent instruction belongs to one.
        std::uint64_t epoch{0};
        /// Tickets of the calls not yet sent, in call order.
        std::deque<std::uint64_t> line;
        std::size_t unanswered{0};
        /// The queue (epoch) that failed and the instruction that caused it.
        std::optional<std::pair<std::uint64_t, std::int32_t>> failed;
        /// The frame and tool the controller will apply to the next motion.
        std::optional<FrameToolNumbers> frame_tool;
    };
    /// Builds the instructions of a motion; Result::Error (refused) when a
    /// value cannot be sent.
    std::optional<QueuedCall> prepare_motion(PlannedPath path, const MotionTarget& target,
                                             const std::optional<CartesianPose>& via, const PlannedSpeed& speed,
                                             const ControllerMotionOptions& options);
    /// Takes a ticket and runs the call (waits its turn, a place, the answer)
    /// on a thread of its own. `queued`, when given, is fulfilled once the
    /// call is sent or refused.
    std::shared_future<Result> submit(QueuedCall call, std::shared_ptr<std::promise<Result>> queued);
    /// Blocking form: the answer, or for a blended motion its place in the queue.
    Result submit_and_wait(std::optional<QueuedCall> call);
    Result run_queued_call(QueuedCall& call, const std::shared_ptr<std::promise<Result>>& queued);
    /// The outcome of one sent instruction's answer.
    Result collect_queued_answer(std::uint64_t epoch, std::int32_t sequence_id, const std::string& what,
                                 std::shared_future<RmiSocket::ResponsePtr> answer);
    /// Ends the queue after a refusal or a fault: later calls end unsent,
    /// "FRC_Abort" flushes the controller's queue, the driver is disabled.
    void fail_controller_queue(std::unique_lock<std::mutex>& lock);
    /// Calls in line end unsent and the queue's answers count no more. Caller holds sampling_mutex.
    void cancel_controller_queue();
    /// Drains the queue when nothing is left in it or in line. Caller holds sampling_mutex.
    void settle_controller_queue();
    /// Whether controller-planned motions are queued. Caller holds sampling_mutex.
    bool controller_queue_open() const;
    /// A synchronous queued call from an event action would wait for itself.
    Result refuse_from_run_thread();
    /// Refuses `what` on a driver that moves the arm over Stream Motion; true when refused.
    bool refused_over_stream_motion(const std::string& what) const;
    /// Holds or continues the queue ("FRC_Pause" / "FRC_Continue").
    bool hold_controller_queue();
    Result continue_controller_queue();

    // --- the RMI stream (fanuc_rmi_stream.cpp) -----------------------------------------
    void run_thread_main();
    RunEnd stream(Run& run);
    int draw_sample(Run& run);
    void send_sample(Run& run, int status);
    /// Sends samples until `max_pending_instructions` are in flight, at most
    /// one per `instruction_spacing` (caller holds sampling_mutex, `run`
    /// feeds). True when the streaming thread has work: hooks queued, a
    /// failure, or a send held back by the pacing (`paced_send_due`).
    bool fill_locked(Run& run);
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
    void run_step_hooks();
    bool step_hooks_waiting();
    /// Sleeps until woken, the oldest answer is due or `send_due` (a paced
    /// send) comes; false when the oldest answer is overdue.
    bool wait_for_activity(std::optional<Clock::time_point> send_due);
    /// Caller holds pending_mutex.
    Clock::time_point answer_deadline(const PendingInstruction& oldest) const;
    std::size_t pending_count();
    bool on_run_thread() const;

    // --- the end of a run, stops (fanuc_run_end.cpp) ---------------------------------
    void finish_run(const std::shared_ptr<Run>& run, RunEnd end, std::exception_ptr error);
    /// Ends the open motion: hooks run, pause waiters released.
    void finish_motion();
    /// Ends the paused motion (paused -> ending -> ready, or -> disabled when
    /// `link_gone`); `lock` holds sampling_mutex and is held again on return.
    void end_paused_motion(std::unique_lock<std::mutex>& lock, bool link_gone);
    /// How an attempt to begin a stop came out.
    struct StopStart {
        enum Outcome { begun, joined, must_wait, closed } outcome{closed};
        /// begun: the stop, and the promise of its outcome.
        StopInFlight stop;
        std::shared_ptr<std::promise<Result>> promise;
        /// joined, must_wait: the outcome of the stop under way (invalid when
        /// waiting for an enable or the end of a run instead).
        std::shared_future<Result> other;
    };
    Result stop_motion(StopKind kind, bool from_loop);
    /// Begins a stop unless another one, an enable or the end of a run must
    /// come first; never waits. The phase becomes `stopping` and a run in
    /// flight learns that it is stopped. Caller holds sampling_mutex.
    StopStart try_begin_stop(StopKind kind);
    /// The rest of a begun stop; fulfils its promise.
    Result complete_stop(const StopStart& start, bool from_loop);
    Result stop_sequence(const StopInFlight& stop, bool from_loop);
    /// The stop's sequence over Stream Motion; `left` the phase it leaves for
    /// unless the driver stays enabled.
    Result stop_stream_motion(const StopInFlight& stop, bool from_loop, MotionEvent left);
    /// Leaves `stopping` for `event`'s phase.
    void end_stop(MotionEvent event);
    /// Sends "FRC_Abort" (under request_mutex), fails the instructions
    /// waiting for answers with `why`, and waits for the abort's answer.
    RmiSocket::ResponsePtr abort_rmi_motion(const std::string& why);
    /// The abort after a failed run, on the streaming thread: the
    /// controller's queue is flushed; RMI is left for the next enable.
    void abort_failed_run();
    /// Waits until no run is left (the streaming thread has answered it).
    void wait_until_run_ended(Clock::duration limit);
    std::future<Result> launch(std::function<Result()> operation);

    /// Guarded by sampling_mutex. Notified (with it) at every change of phase
    /// and when a run is gone.
    MotionState motion;
    /// Guarded by sampling_mutex; motion_changed is notified when a call is
    /// sent or answered.
    ControllerQueue controller_queue;
    std::condition_variable motion_changed;
    std::thread run_thread;
    std::thread::id run_thread_id;
    /// Guarded by sampling_mutex: the streaming thread ends (the destructor).
    bool run_thread_exit{false};

    /// Taken and advanced under sampling_mutex, together with the send.
    /// Atomic so that enabling, which holds request_mutex and runs while
    /// nothing is sent, can set it without the sampling lock (an event
    /// condition that reads an input holds the two the other way round).
    std::atomic<std::int32_t> next_sequence_id{1};
    /// Fair: periodic joint reads and user commands take turns.
    utils::FifoMutex request_mutex;
    /// Packets the controller of the present link does not know (own lock).
    FirmwareLimits firmware_limits;

    // Guarded by sampling_mutex.
    /// The controller takes at most one instruction per 5 ms: no two are
    /// sent closer together, whichever thread sends and whatever the run.
    static constexpr std::chrono::milliseconds instruction_spacing{5};
    Clock::time_point last_instruction_sent_at{};
    /// When fill_locked last held a send back for the pacing: the time it may go.
    std::optional<Clock::time_point> paced_send_due;
    /// The last sent sample in the planner's convention, with velocity and acceleration.
    orvane::State last_sent_state;
    /// Counts trajectories set on the time scaler (see Junction).
    std::uint64_t trajectory_serial{0};
    /// How long the last plan took (s): the lead of the next junction.
    std::atomic<double> planning_estimate{0.0};

    std::atomic<std::uint64_t> enabled_link{0};
    std::atomic<int> known_override{100};

    // Guarded by pending_mutex: the unanswered instructions of the run that
    // sent them, and when its last answer arrived.
    std::mutex pending_mutex;
    std::deque<PendingInstruction> pending_responses;
    std::shared_ptr<Run> pending_run;
    Clock::time_point last_progress{};

    // Guarded by stream_mutex: what the streaming thread is asked to do.
    std::mutex stream_mutex;
    std::condition_variable stream_wakeup;
    bool stream_attention{false};
    std::deque<StepSample> step_samples;

    std::mutex async_mutex;
    struct AsyncTask {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::list<AsyncTask> async_tasks;

    // --- Stream Motion (fanuc_stream_motion.cpp) ---------------------------------------
    /// After RMI is initialised: calls the controller's program, brings the
    /// session up, reads the tables. Caller holds request_mutex.
    Result start_stream_motion();
    /// The run fed through the Stream Motion loop (the streaming thread).
    RunEnd stream_sm(Run& run);
    /// Draws and hands the loop samples until it holds enough. Caller holds sampling_mutex.
    void feed_loop(Run& run);
    /// Statuses the loop received, into the feedback record and monitor.
    void take_statuses();
    /// Why `candidate` may not be streamed: a command beyond the controller's
    /// limits, as a sentence naming the joint, the sample and the limit.
    /// `in_flight`: it follows the commands already sent. Caller holds sampling_mutex.
    std::optional<std::string> stream_limit_violation(const orvane::Trajectory& candidate, bool in_flight);
    /// Bounds the speed factor for the run about to start (check ratios of its trajectory).
    void bound_speed_changes(const std::array<double, 3>& worst_ratio);
    /// Ends the session: `finish` with the last command, else only Stop; then FRC_Abort when asked.
    Result end_stream_motion(bool finish);
    /// The last command sent over Stream Motion (planner convention).
    std::vector<double> last_streamed_position() const;

    std::unique_ptr<stream_motion::StreamMotionLink> sm_link;
    std::uint16_t sm_port{stream_motion::default_port};
    /// Set while enabling, read while enabled (guarded by sampling_mutex).
    std::optional<stream_motion::ThresholdTables> sm_tables;
    std::optional<TimeScaler::FactorLimits> sm_factor_limits;
    /// The answer of the program call, which comes when the program ends.
    std::optional<std::future<RmiSocket::ResponsePtr>> program_call;
    /// The controller's program was called and has not been seen to end by
    /// the session's last command: an abort or a fault leaves it live.
    bool sm_program_may_live{false};
    /// Guarded by sampling_mutex: the last three commands handed to the loop, oldest first.
    std::array<stream_motion::Joints, 3> sm_history{};
    /// Guarded by sampling_mutex: the number of the next sample handed to the loop.
    std::uint64_t sm_next_sample{0};
    /// Guarded by sampling_mutex: what ended the last run over Stream Motion, when a fault did.
    std::optional<Result> sm_failure;
    std::optional<std::string> sm_failure_reason;
    /// Guarded by sampling_mutex: why a failed motion left the driver disabled
    /// (said again when a later motion is refused for it); cleared by enable().
    std::string disabled_by;

    /// Last: its thread uses the members above and is joined before they go.
    FanucFeedback feedback{*this};
};
}  // namespace orvane::drivers
