// FanucDriver: motions the controller plans itself. Each call is checked and
// built in the caller's thread, takes a ticket, and is sent in ticket order
// by a thread of its own once the controller's queue has room; that thread
// then waits for the controller's answer, which comes when the motion has
// run. The queue's life is two phases of the motion state (`queueing`,
// `holding`); a refusal or fault ends it as a failed run ends (an abort,
// the driver disabled), a stop as a stop does.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <utility>

#include "orvane/drivers/fanuc/fanuc_driver.hpp"
#include "orvane/drivers/fanuc/rmi_joints.hpp"
#include "orvane/log/log.hpp"
#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers {

namespace {

// The controller's frames and tools; the real count may be lower, which the
// controller itself refuses.
constexpr int highest_user_frame = 9;
constexpr int highest_user_tool = 10;
constexpr double lowest_tcp_speed = 0.001;  // m/s: 1 mm/s, the wire's unit
constexpr double highest_tcp_speed = 2.0;   // m/s
constexpr double highest_corner_radius = 0.1;  // m
constexpr int highest_acceleration = 150;      // percent
constexpr double longest_wait = 86400.0;       // s
constexpr std::size_t longest_program_name = 36;

std::shared_future<Result> ready(const Result& result) {
    std::promise<Result> promise;
    promise.set_value(result);
    return promise.get_future().share();
}

std::string number(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

bool is_whole(double value) { return std::isfinite(value) && value == std::round(value); }

bool is_finite(const orvane::Frame& frame) {
    for (const double value : frame.to_euler()) {
        if (!std::isfinite(value)) return false;
    }
    return true;
}

}  // namespace

// --- checks and packets -------------------------------------------------------------

std::optional<FanucDriver::QueuedCall> FanucDriver::prepare_motion(PlannedPath path, const MotionTarget& target,
                                                                   const std::optional<CartesianPose>& via,
                                                                   const PlannedSpeed& speed,
                                                                   const ControllerMotionOptions& options) {
    const bool joint_values = std::holds_alternative<std::vector<double>>(target);
    QueuedCall call;
    call.what = planned_motion_name(path, options.relative, joint_values);
    if (refused_over_stream_motion(call.what)) return std::nullopt;
    const auto refused = [&](const std::string& why) -> std::optional<QueuedCall> {
        refuse("Refused " + call.what + ": " + why);
        return std::nullopt;
    };

    if (speed.unit == PlannedSpeed::Unit::percent) {
        if (!is_whole(speed.value) || speed.value < 1.0 || speed.value > 100.0) {
            return refused("the speed is a whole percentage from 1 to 100, not " + number(speed.value) + ".");
        }
    } else if (!std::isfinite(speed.value) || speed.value < lowest_tcp_speed || speed.value > highest_tcp_speed) {
        return refused("the speed lies between " + number(lowest_tcp_speed) + " and " + number(highest_tcp_speed) +
                       " m/s, not " + number(speed.value) + ".");
    }
    if (options.blend) {
        const auto& blend = *options.blend;
        if (blend.kind == Blend::Kind::cnt && (!is_whole(blend.value) || blend.value < 1.0 || blend.value > 100.0)) {
            return refused("a CNT blend is a whole number from 1 to 100, not " + number(blend.value) + ".");
        }
        if (blend.kind == Blend::Kind::corner &&
            (!std::isfinite(blend.value) || blend.value < 0.001 || blend.value > highest_corner_radius)) {
            return refused("a corner radius lies between 0.001 and " + number(highest_corner_radius) + " m, not " +
                           number(blend.value) + ".");
        }
    }
    if (options.acceleration_percent &&
        (*options.acceleration_percent < 1 || *options.acceleration_percent > highest_acceleration)) {
        return refused("the acceleration is 1 to " + std::to_string(highest_acceleration) + " percent, not " +
                       std::to_string(*options.acceleration_percent) + ".");
    }
    if (path == PlannedPath::circular && options.relative) {
        return refused("a circular motion takes absolute poses.");
    }

    const auto check_pose = [&](const CartesianPose& pose, const char* which) -> std::optional<ArmConfiguration> {
        if (!is_finite(pose.pose)) {
            refused(std::string("the ") + which + " pose is not finite.");
            return std::nullopt;
        }
        if (pose.user_frame < 0 || pose.user_frame > highest_user_frame) {
            refused(std::string("the ") + which + " pose's user frame " + std::to_string(pose.user_frame) +
                    " is outside 0 to " + std::to_string(highest_user_frame) + ".");
            return std::nullopt;
        }
        if (pose.user_tool < 0 || pose.user_tool > highest_user_tool) {
            refused(std::string("the ") + which + " pose's tool " + std::to_string(pose.user_tool) +
                    " is outside 0 to " + std::to_string(highest_user_tool) + ".");
            return std::nullopt;
        }
        auto configuration = ArmConfiguration::parse(pose.configuration);
        if (!configuration) {
            refused(std::string("the ") + which + " pose's configuration '" + pose.configuration +
                    "' is not one the controller knows.");
        }
        return configuration;
    };

    const auto motion_options = options;
    PlannedSpeed wire_speed = speed;
    try {
        if (joint_values) {
            auto joints = std::get<std::vector<double>>(target);
            if (joints.size() != degrees_of_freedom) {
                return refused("it has " + std::to_string(joints.size()) + " joint values for a robot of " +
                               std::to_string(degrees_of_freedom) + ".");
            }
            for (std::size_t j = 0; j < joints.size(); ++j) {
                if (!std::isfinite(joints[j])) return refused("joint " + std::to_string(j + 1) + " is not finite.");
            }
            const auto limits = robot->get_joint_limits();
            if (!options.relative && limits.size() == joints.size()) {
                for (std::size_t j = 0; j < joints.size(); ++j) {
                    if (joints[j] < limits[j].lower || joints[j] > limits[j].upper) {
                        return refused("joint " + std::to_string(j + 1) + " at " + number(joints[j]) +
                                       " rad is outside its range " + number(limits[j].lower) + " to " +
                                       number(limits[j].upper) + " rad.");
                    }
                }
            }
            // Offsets convert as positions do: the conversion is linear.
            to_rmi_joints(joints);
            call.packets.push_back(std::make_unique<PlannedMotionInstruction>(path, joints, wire_speed, motion_options));
        } else {
            const auto& pose = std::get<CartesianPose>(target);
            const auto configuration = check_pose(pose, "target");
            if (!configuration) return std::nullopt;
            call.frame_tool = FrameToolNumbers{pose.user_frame, pose.user_tool};
            if (path == PlannedPath::circular) {
                if (!via) return refused("a circular motion needs a via pose.");
                const auto via_configuration = check_pose(*via, "via");
                if (!via_configuration) return std::nullopt;
                if (via->user_frame != pose.user_frame || via->user_tool != pose.user_tool) {
                    return refused("the via pose and the target are in different user frames or tools.");
                }
                call.packets.push_back(std::make_unique<PlannedMotionInstruction>(
                    *via, *via_configuration, pose, *configuration, wire_speed, motion_options));
            } else {
                call.packets.push_back(
                    std::make_unique<PlannedMotionInstruction>(path, pose, *configuration, wire_speed, motion_options));
            }
        }
    } catch (const OrvaneError& error) {
        return refused(reason_of(error));
    }
    // A CNT joint or linear motion with NoBlend runs on by itself.
    const bool runs_alone = options.no_blend && options.blend && options.blend->kind == Blend::Kind::cnt &&
                            path != PlannedPath::circular;
    call.blended = options.blend && options.blend->blends() && !runs_alone;
    return call;
}

// --- the queue ------------------------------------------------------------------------

std::shared_future<Result> FanucDriver::submit(QueuedCall call, std::shared_ptr<std::promise<Result>> queued) {
    {
        std::lock_guard lock(sampling_mutex);
        call.ticket = controller_queue.next_ticket++;
        controller_queue.line.push_back(call.ticket);
    }
    const auto ticket = call.ticket;
    auto shared = std::make_shared<QueuedCall>(std::move(call));
    try {
        return launch([this, shared, queued] {
                   try {
                       return run_queued_call(*shared, queued);
                   } catch (...) {
                       if (queued) {
                           try {
                               queued->set_exception(std::current_exception());
                           } catch (const std::future_error&) {
                           }
                       }
                       throw;
                   }
               })
            .share();
    } catch (...) {
        std::lock_guard lock(sampling_mutex);
        std::erase(controller_queue.line, ticket);
        motion_changed.notify_all();
        throw;
    }
}

bool FanucDriver::refused_over_stream_motion(const std::string& what) const {
    if (!sm_link) return false;
    // Over Stream Motion the controller runs its streaming program, which
    // owns the arm; a TP instruction would queue behind that program's call
    // and never run.
    refuse("Refused " + what + ": this driver moves the arm over Stream Motion, where the controller runs "
           "STREAM_MOTN and takes no motion instructions; plan the motion and stream it (move_to, run), "
           "or construct the driver without stream_motion.");
    return true;
}

Result FanucDriver::refuse_from_run_thread() {
    refuse_as_error("A synchronous motion from an event action would wait for itself; use the _async one.");
    return Result::ErrorCommandAlreadyInProgress;
}

Result FanucDriver::submit_and_wait(std::optional<QueuedCall> call) {
    if (!call) return Result::Error;
    if (on_run_thread()) return refuse_from_run_thread();
    if (!call->blended) return submit(std::move(*call), nullptr).get();
    auto queued = std::make_shared<std::promise<Result>>();
    auto sent = queued->get_future();
    submit(std::move(*call), queued);
    return sent.get();
}

bool FanucDriver::controller_queue_open() const {
    const auto phase = motion.phase();
    return phase == MotionPhase::queueing || phase == MotionPhase::holding;
}

void FanucDriver::settle_controller_queue() {
    const auto& queue = controller_queue;
    if (motion.phase() == MotionPhase::queueing && queue.unanswered == 0 && queue.line.empty()) {
        motion.apply(MotionEvent::queue_drained);
        feedback.loop_ended();
    }
    motion_changed.notify_all();
}

void FanucDriver::cancel_controller_queue() {
    auto& queue = controller_queue;
    queue.cancelled_below = queue.next_ticket;
    ++queue.epoch;
    queue.unanswered = 0;
    queue.frame_tool.reset();
    feedback.loop_ended();
    motion_changed.notify_all();
}

Result FanucDriver::run_queued_call(QueuedCall& call, const std::shared_ptr<std::promise<Result>>& queued) {
    const auto tell = [&queued](Result result) {
        if (queued) queued->set_value(result);
        return result;
    };
    std::vector<std::pair<std::int32_t, std::shared_future<RmiSocket::ResponsePtr>>> sent;
    std::uint64_t epoch = 0;
    {
        std::unique_lock lock(sampling_mutex);
        auto& queue = controller_queue;
        const auto leave_line = [&] {
            std::erase(queue.line, call.ticket);
            settle_controller_queue();
        };
        for (;;) {
            if (call.ticket < queue.cancelled_below) {
                leave_line();
                return tell(Result::ErrorTrajectoryAborted);
            }
            // In call order: the call ahead may wait for room or for a stream.
            if (queue.line.front() != call.ticket) {
                motion_changed.wait(lock);
                continue;
            }
            const auto phase = motion.phase();
            if (phase == MotionPhase::closed) {
                leave_line();
                return tell(Result::ErrorTrajectoryAborted);
            }
            if (phase == MotionPhase::disabled) {
                leave_line();
                refuse("The driver is not enabled: call enable() first.");
                return tell(Result::ErrorControllerEnableMotors);
            }
            if (phase == MotionPhase::paused && !motion.run()) {
                // A new motion ends the paused streamed one, as a streamed one would.
                end_paused_motion(lock, false);
                continue;
            }
            if (phase == MotionPhase::ready && !motion.run()) {
                queue.unanswered = 0;
                queue.frame_tool.reset();
                motion.apply(MotionEvent::queue_started);
                feedback.loop_started(motion.next_run_serial(), true, {}, false);
                motion_changed.notify_all();
                continue;
            }
            if (phase != MotionPhase::queueing && phase != MotionPhase::holding) {
                // A run, an enable or a stop is under way: its end decides.
                motion_changed.wait(lock);
                continue;
            }
            if (!link_usable()) {
                leave_line();
                set_last_error("The link to the controller is lost: call enable() again.");
                return tell(Result::ErrorControllerConnection);
            }
            // The user frame and tool the motion's pose is in, when the
            // controller will not have them active by then.
            std::vector<std::unique_ptr<RmiInstruction>> selection;
            if (call.frame_tool) {
                const auto& active = queue.frame_tool;
                if (!active || active->user_frame != call.frame_tool->user_frame) {
                    selection.push_back(std::make_unique<SetUserFrameInstruction>(call.frame_tool->user_frame));
                }
                if (!active || active->user_tool != call.frame_tool->user_tool) {
                    selection.push_back(std::make_unique<SetUserToolInstruction>(call.frame_tool->user_tool));
                }
            }
            const std::size_t needed = selection.size() + call.packets.size();
            if (queue.unanswered + needed > controller_queue_size) {
                motion_changed.wait(lock);
                continue;
            }
            if (next_sequence_id.load() > std::numeric_limits<std::int32_t>::max() - static_cast<std::int32_t>(needed)) {
                leave_line();
                refuse_as_error("Sequence IDs are used up; enable the driver again.");
                return tell(Result::Error);
            }
            for (auto& packet : call.packets) selection.push_back(std::move(packet));
            call.packets.clear();
            epoch = queue.epoch;
            try {
                for (auto& packet : selection) {
                    packet->set_seq_id(next_sequence_id);
                    wait_for_send_slot();
                    auto answer = socket.send_request(*packet, std::nullopt).share();
                    last_instruction_sent_at = Clock::now();
                    sent.emplace_back(next_sequence_id.load(), std::move(answer));
                    ++next_sequence_id;
                    ++queue.unanswered;
                }
            } catch (const std::exception& error) {
                // The link went down while sending: the instructions sent
                // fail by themselves, the rest is never sent.
                log::log_debug("driver", std::string("Sending a queued instruction failed: ") + reason_of(error));
                if (sent.empty()) {
                    leave_line();
                    set_last_error("The link to the controller is lost: call enable() again.");
                    return tell(Result::ErrorControllerConnection);
                }
            }
            if (call.frame_tool) queue.frame_tool = call.frame_tool;
            leave_line();
            break;
        }
    }
    tell(Result::Success);
    // Answered in order: the frame and tool first, the motion last.
    for (auto& [sequence_id, answer] : sent) {
        const Result result = collect_queued_answer(epoch, sequence_id, call.what, std::move(answer));
        if (result != Result::Success) return result;
    }
    return Result::Success;
}

Result FanucDriver::collect_queued_answer(std::uint64_t epoch, std::int32_t sequence_id, const std::string& what,
                                          std::shared_future<RmiSocket::ResponsePtr> answer) {
    RmiSocket::ResponsePtr response;
    try {
        response = answer.get();
    } catch (const std::exception&) {
        // The socket fails every unanswered instruction alike; which one
        // caused it is read from its note below.
    }
    std::unique_lock lock(sampling_mutex);
    auto& queue = controller_queue;
    if (response && response->success) {
        // Done by the controller, even when a later instruction's failure, seen first by
        // another caller, has already ended the queue.
        if (epoch == queue.epoch) {
            if (queue.unanswered > 0) --queue.unanswered;
            settle_controller_queue();
        }
        return Result::Success;
    }
    if (epoch != queue.epoch) {
        // A stop, a lost link or an earlier failure ended this queue.
        const bool culprit = queue.failed && queue.failed->first == epoch && queue.failed->second == sequence_id;
        return culprit ? Result::ErrorController : Result::ErrorTrajectoryAborted;
    }
    if (motion.phase() == MotionPhase::stopping) {
        // A stop is under way (it cancels the queue itself).
        cancel_controller_queue();
        return Result::ErrorTrajectoryAborted;
    }
    if (!link_usable()) {
        cancel_controller_queue();
        if (controller_queue_open()) motion.apply(MotionEvent::queue_cut_off);
        set_last_error("The link to the controller was lost during the queued motions.");
        return Result::ErrorControllerConnection;
    }
    const auto failure = socket.last_instruction_failure();
    std::int32_t culprit = sequence_id;
    if (response) {
        refuse_as_error("The controller refused " + what + " (instruction " + std::to_string(sequence_id) +
                        ") with error id " + std::to_string(response->error_id) + "; the queued motions are aborted.");
    } else if (failure && failure->fault) {
        culprit = failure->sequence_id;
        refuse_as_error("The controller faulted on instruction " + std::to_string(culprit) +
                        "; the queued motions are aborted. Enable the driver again to go on.");
    } else if (failure) {
        culprit = failure->sequence_id;
        refuse_as_error("The controller refused instruction " + std::to_string(culprit) + " with error id " +
                        std::to_string(failure->error_id) + "; the queued motions are aborted.");
    } else {
        refuse_as_error("No answer to " + what + " (instruction " + std::to_string(sequence_id) +
                        "); the queued motions are aborted.");
    }
    queue.failed = std::make_pair(epoch, culprit);
    fail_controller_queue(lock);
    return culprit == sequence_id ? Result::ErrorController : Result::ErrorTrajectoryAborted;
}

void FanucDriver::fail_controller_queue(std::unique_lock<std::mutex>& lock) {
    cancel_controller_queue();
    if (!controller_queue_open()) return;
    auto done = std::make_shared<std::promise<Result>>();
    motion.apply(MotionEvent::queue_failed);
    motion.stop = StopInFlight{StopKind::failure, done->get_future().share(), false, false};
    motion_changed.notify_all();
    lock.unlock();
    // The controller may hold motions still: they are flushed, and RMI is
    // left for the next enable to initialise.
    abort_failed_run();
    lock.lock();
    if (motion.phase() == MotionPhase::stopping) {
        motion.stop.reset();
        motion.apply(MotionEvent::stop_left_disabled);
    }
    motion_changed.notify_all();
    done->set_value(Result::Success);
}

// --- pause and resume -----------------------------------------------------------------

std::future<bool> FanucDriver::pause_async() {
    const auto phase = motion.published_phase();
    if (phase != MotionPhase::queueing && phase != MotionPhase::holding) return Driver::pause_async();
    std::promise<bool> held;
    held.set_value(hold_controller_queue());
    return held.get_future();
}

bool FanucDriver::hold_controller_queue() {
    if (motion.published_phase() == MotionPhase::holding) return true;
    RmiCommand pause("FRC_Pause");
    if (!ask_controller(pause, "Holding the queued motions")) return false;
    {
        std::lock_guard lock(sampling_mutex);
        if (motion.phase() == MotionPhase::queueing) {
            motion.apply(MotionEvent::queue_held);
            motion_changed.notify_all();
            return true;
        }
        if (motion.phase() == MotionPhase::holding) return true;
    }
    // The queue drained (or ended) meanwhile: a controller left paused would
    // hold the next motion for ever.
    RmiCommand resume("FRC_Continue");
    ask_controller(resume, "Continuing after a pause that came too late");
    return false;
}

Result FanucDriver::continue_controller_queue() {
    RmiCommand resume("FRC_Continue");
    if (!ask_controller(resume, "Continuing the held motions")) return Result::ErrorController;
    std::lock_guard lock(sampling_mutex);
    if (motion.phase() == MotionPhase::holding) {
        motion.apply(MotionEvent::queue_continued);
        settle_controller_queue();
    }
    return Result::Success;
}

// --- operations ---------------------------------------------------------------------------

Result FanucDriver::move_joint(const MotionTarget& target, double speed_percent,
                               const ControllerMotionOptions& options) {
    begin_operation();
    return submit_and_wait(prepare_motion(PlannedPath::joint, target, std::nullopt,
                                          {PlannedSpeed::Unit::percent, speed_percent}, options));
}

std::shared_future<Result> FanucDriver::move_joint_async(const MotionTarget& target, double speed_percent,
                                                         const ControllerMotionOptions& options) {
    begin_operation();
    auto call = prepare_motion(PlannedPath::joint, target, std::nullopt, {PlannedSpeed::Unit::percent, speed_percent},
                               options);
    if (!call) return ready(Result::Error);
    return submit(std::move(*call), nullptr);
}

Result FanucDriver::move_linear(const MotionTarget& target, double speed, const ControllerMotionOptions& options) {
    begin_operation();
    return submit_and_wait(prepare_motion(PlannedPath::linear, target, std::nullopt,
                                          {PlannedSpeed::Unit::metres_per_second, speed}, options));
}

std::shared_future<Result> FanucDriver::move_linear_async(const MotionTarget& target, double speed,
                                                          const ControllerMotionOptions& options) {
    begin_operation();
    auto call = prepare_motion(PlannedPath::linear, target, std::nullopt,
                               {PlannedSpeed::Unit::metres_per_second, speed}, options);
    if (!call) return ready(Result::Error);
    return submit(std::move(*call), nullptr);
}

Result FanucDriver::move_circular(const CartesianPose& via, const CartesianPose& target, double speed,
                                  const ControllerMotionOptions& options) {
    begin_operation();
    return submit_and_wait(
        prepare_motion(PlannedPath::circular, target, via, {PlannedSpeed::Unit::metres_per_second, speed}, options));
}

std::shared_future<Result> FanucDriver::move_circular_async(const CartesianPose& via, const CartesianPose& target,
                                                            double speed, const ControllerMotionOptions& options) {
    begin_operation();
    auto call =
        prepare_motion(PlannedPath::circular, target, via, {PlannedSpeed::Unit::metres_per_second, speed}, options);
    if (!call) return ready(Result::Error);
    return submit(std::move(*call), nullptr);
}

namespace {

bool is_program_name(const std::string& name) {
    if (name.empty() || name.size() > longest_program_name) return false;
    if (!std::isalpha(static_cast<unsigned char>(name.front()))) return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

}  // namespace

std::shared_future<Result> FanucDriver::call_program_async(const std::string& name) {
    begin_operation();
    if (!is_program_name(name)) {
        refuse("Refused FRC_Call: '" + name + "' is not a program name (a letter, then letters, digits or '_', at most " +
               std::to_string(longest_program_name) + ").");
        return ready(Result::Error);
    }
    QueuedCall call;
    call.what = "FRC_Call " + name;
    if (refused_over_stream_motion(call.what)) return ready(Result::Error);
    call.packets.push_back(std::make_unique<CallProgramInstruction>(name));
    return submit(std::move(call), nullptr);
}

Result FanucDriver::call_program(const std::string& name) {
    if (on_run_thread()) {
        begin_operation();
        return refuse_from_run_thread();
    }
    return call_program_async(name).get();
}

std::shared_future<Result> FanucDriver::wait_time_async(double seconds) {
    begin_operation();
    if (!std::isfinite(seconds) || seconds < 0.0 || seconds > longest_wait) {
        refuse("Refused FRC_WaitTime: a wait lasts 0 to " + number(longest_wait) + " s, not " + number(seconds) + ".");
        return ready(Result::Error);
    }
    QueuedCall call;
    call.what = "FRC_WaitTime";
    if (refused_over_stream_motion(call.what)) return ready(Result::Error);
    call.packets.push_back(std::make_unique<WaitTimeInstruction>(seconds));
    return submit(std::move(call), nullptr);
}

Result FanucDriver::wait_time(double seconds) {
    if (on_run_thread()) {
        begin_operation();
        return refuse_from_run_thread();
    }
    return wait_time_async(seconds).get();
}

std::shared_future<Result> FanucDriver::wait_input_async(const std::string& alias, int value) {
    begin_operation();
    if (refused_over_stream_motion("FRC_WaitDIN " + alias)) return ready(Result::Error);
    if (value != 0 && value != 1) {
        refuse("Refused FRC_WaitDIN: a digital input reads 0 or 1, not " + std::to_string(value) + ".");
        return ready(Result::Error);
    }
    const auto port = alias_address(alias, true, "waiting for digital input '" + alias + "'");
    if (!port) return ready(Result::Error);
    if (*port > io_ports.highest) {
        refuse("Refused FRC_WaitDIN: DI[" + std::to_string(*port) + "] does not exist on the controller.");
        return ready(Result::Error);
    }
    QueuedCall call;
    call.what = "FRC_WaitDIN " + alias;
    call.packets.push_back(std::make_unique<WaitInputInstruction>(*port, value == 1));
    return submit(std::move(call), nullptr);
}

Result FanucDriver::wait_input(const std::string& alias, int value) {
    if (on_run_thread()) {
        begin_operation();
        return refuse_from_run_thread();
    }
    return wait_input_async(alias, value).get();
}

}  // namespace orvane::drivers
