// Bringing a Stream Motion session up and ending it, over UDP.
//
// Bring-up: Stop (defensive) -> Get capability -> threshold tables ->
// I/O configuration (optional) -> Start [-> force-sensor configuration] ->
// statuses answered without motion until bit 0 rises.
// End: last command -> bit 3 falls -> Stop until the statuses cease.
//
// Requests that have an answer are sent again when it does not come in time.
// Start has none: when no status follows it, the stream is stopped before it
// is started again, since a second Start on a live stream raises an alarm.
#include "orvane/drivers/fanuc/stream_motion_session.hpp"

#include <algorithm>
#include <utility>
#include <variant>

namespace orvane::drivers::stream_motion {

namespace {

using Step = SessionFailure::Step;

SessionFailure failure(Step step, const Result& result, std::string reason) {
    return SessionFailure{.step = step, .result = result, .reason = std::move(reason)};
}

std::string milliseconds(std::chrono::milliseconds value) { return std::to_string(value.count()) + " ms"; }

bool is_status(const ControllerPacket& packet) {
    return std::holds_alternative<StatusPacket>(packet) || std::holds_alternative<StatusV1Packet>(packet);
}

std::string joint_and_kind(std::uint32_t axis, LimitKind kind) {
    return std::string(describe(kind)) + " thresholds of joint " + std::to_string(axis);
}

}  // namespace

std::string_view describe(SessionFailure::Step step) noexcept {
    switch (step) {
        case Step::stop: return "stop";
        case Step::capability: return "capability";
        case Step::thresholds: return "thresholds";
        case Step::gpio: return "I/O configuration";
        case Step::start: return "start";
        case Step::ready: return "ready";
        case Step::end: return "end";
    }
    return "unknown";
}

Session::Session(UdpEndpoint& endpoint, Lockstep& lockstep, SessionSettings settings)
    : link(endpoint), steps(lockstep), config(std::move(settings)) {
    config.attempts = std::max(config.attempts, 1U);
}

SessionFailure Session::link_failure(Step step, const std::string& what, const UdpEndpoint::Transfer& transfer) const {
    return failure(step, Result::ErrorControllerConnection,
                   "Stream Motion " + what + ": " + link.describe(transfer) + ".");
}

Session::Heard Session::hear(Clock::time_point deadline, std::size_t& size, UdpEndpoint::Transfer& problem) {
    for (;;) {
        const auto received = link.receive(inbox, deadline);
        switch (received.outcome) {
            case UdpEndpoint::Outcome::ok: size = received.size; return Heard::datagram;
            case UdpEndpoint::Outcome::timed_out: return Heard::timed_out;
            case UdpEndpoint::Outcome::refused: return Heard::refused;
            case UdpEndpoint::Outcome::too_large: continue;  // no packet of this protocol
            case UdpEndpoint::Outcome::closed:
            case UdpEndpoint::Outcome::failed: problem = received; return Heard::lost;
        }
    }
}

Session::Heard Session::hear_status(Clock::time_point deadline, StreamStatus& status, UdpEndpoint::Transfer& problem) {
    for (;;) {
        std::size_t size = 0;
        const auto heard = hear(deadline, size, problem);
        if (heard != Heard::datagram) return heard;
        if (steps.receive(std::span(inbox).first(size), status) == Lockstep::Reception::fresh) return heard;
    }
}

std::expected<void, SessionFailure> Session::send(std::span<const std::uint8_t> datagram, Step step,
                                                  const std::string& what) {
    const auto sent = link.send(datagram, Clock::now() + config.answer_timeout);
    // A refused send is one more lost datagram: the caller's retries cover it.
    if (sent.ok() || sent.outcome == UdpEndpoint::Outcome::refused) return {};
    return std::unexpected(link_failure(step, what, sent));
}

template <typename Accept>
std::expected<ControllerPacket, SessionFailure> Session::exchange(std::span<const std::uint8_t> request, Accept accept,
                                                                  Step step, const std::string& what) {
    bool refused = false;
    for (unsigned attempt = 0; attempt < config.attempts; ++attempt) {
        if (attempt > 0) ++resent;
        if (auto sent = send(request, step, "request for the " + what); !sent) return std::unexpected(sent.error());
        const auto deadline = Clock::now() + config.answer_timeout;
        for (;;) {
            std::size_t size = 0;
            UdpEndpoint::Transfer problem;
            const auto heard = hear(deadline, size, problem);
            if (heard == Heard::timed_out) break;
            if (heard == Heard::refused) {
                refused = true;
                break;
            }
            if (heard == Heard::lost) return std::unexpected(link_failure(step, "answer to the " + what, problem));
            ControllerPacket packet;
            // Anything else (a status of a stream not yet stopped, the late
            // answer to an earlier try) is passed over.
            if (!decode_controller_packet(std::span(inbox).first(size), packet) && accept(packet)) return packet;
        }
    }
    std::string reason = "The controller did not answer the Stream Motion " + what + " (" +
                         std::to_string(config.attempts) + " tries, " + milliseconds(config.answer_timeout) + " each)";
    if (refused) reason += "; its host reports nothing listening on " + link.peer();
    return std::unexpected(failure(step, Result::ErrorControllerConnection, reason + "."));
}

std::expected<CapabilityPacket, SessionFailure> Session::ask_capability(SessionInfo& info) {
    // Asked in version 3, whatever the controller speaks; its answer says which.
    const CapabilityPacket request{.set = false, .version = 3, .id = 1};
    const auto size = encode(request, outbox);
    const auto answer = exchange(
        std::span(outbox).first(size),
        [](const ControllerPacket& packet) {
            const auto* capability = std::get_if<CapabilityPacket>(&packet);
            return capability != nullptr && !capability->set;
        },
        Step::capability, "capability request");
    if (!answer) return std::unexpected(answer.error());
    const auto capability = std::get<CapabilityPacket>(*answer);

    info.offered_version = capability.available_version;
    // Version 2's layouts are not known; neither are 0's.
    if (capability.available_version == 0 || capability.available_version == 2) {
        return std::unexpected(failure(Step::capability, Result::ErrorController,
                                       "The controller offers Stream Motion protocol version " +
                                           std::to_string(capability.available_version) +
                                           "; this driver speaks versions 1, 3 and 4."));
    }
    if (capability.sampling_rate == 0 || capability.sampling_rate > 1000) {
        return std::unexpected(failure(Step::capability, Result::ErrorController,
                                       "The controller reports a Stream Motion period of " +
                                           std::to_string(capability.sampling_rate) + " ms."));
    }
    version = std::min(capability.available_version, newest_version);
    info.version = version;
    info.period = std::chrono::milliseconds(capability.sampling_rate);
    info.start_move = capability.start_move;
    return capability;
}

std::expected<void, SessionFailure> Session::read_thresholds(SessionInfo& info) {
    const std::size_t axes = steps.units().count;
    info.limits = ThresholdTables(axes);
    for (const auto kind : limit_kinds) {
        for (std::uint32_t axis = 1; axis <= axes; ++axis) {
            const ThresholdRequest request{.version = version, .axis = axis, .kind = kind};
            const auto size = encode(request, outbox);
            const auto answer = exchange(
                std::span(outbox).first(size),
                [&](const ControllerPacket& packet) {
                    const auto* table = std::get_if<ThresholdAnswer>(&packet);
                    return table != nullptr && table->axis == axis && table->kind == kind;
                },
                Step::thresholds, "request for the " + joint_and_kind(axis, kind));
            if (!answer) return std::unexpected(answer.error());
            if (auto refused = info.limits.store(std::get<ThresholdAnswer>(*answer))) {
                return std::unexpected(failure(Step::thresholds, Result::ErrorController, *refused));
            }
        }
    }
    return {};
}

std::expected<void, SessionFailure> Session::configure_io(SessionInfo& info) {
    if (info.io.empty()) return {};
    if (version < 3) {
        return std::unexpected(failure(Step::gpio, Result::ErrorController,
                                       "I/O over Stream Motion needs protocol version 3; the controller speaks " +
                                           std::to_string(version) + "."));
    }
    const auto size = encode(info.io.config_packet(version), outbox);
    const auto answer = exchange(
        std::span(outbox).first(size),
        [](const ControllerPacket& packet) { return std::holds_alternative<GpioResultPacket>(packet); }, Step::gpio,
        "I/O configuration");
    if (!answer) return std::unexpected(answer.error());
    const auto result = std::get<GpioResultPacket>(*answer);
    info.gpio_result = result;
    if (result.result == 0) return {};
    return std::unexpected(failure(
        Step::gpio, Result::ErrorController,
        result.result == 2 ? std::string("The controller refused the Stream Motion I/O configuration: it does not match "
                                         "the controller's I/O assignment (code 2).")
                           : "The controller refused the Stream Motion I/O configuration with code " +
                                 std::to_string(result.result) + "."));
}

std::expected<void, SessionFailure> Session::send_start() {
    // Statuses are numbered afresh after every Start.
    steps.restart(version);
    const auto size = encode(StartPacket{.version = version}, outbox);
    if (auto sent = send(std::span(outbox).first(size), Step::start, "Start"); !sent) return sent;
    // Only a controller of version 4 knows this packet; any other raises an alarm.
    if (version >= 4) {
        const ForceSensorConfigPacket force{.version = version,
                                            .do_reset = config.reset_force_sensor ? 1U : 0U,
                                            .fs_type = config.force_sensor_type};
        const auto force_size = encode(force, outbox);
        return send(std::span(outbox).first(force_size), Step::start, "force-sensor configuration");
    }
    return {};
}

SessionFailure Session::stopped_with(SessionFailure failed) {
    (void)stop();
    return failed;
}

std::expected<void, SessionFailure> Session::start_and_wait_ready(SessionInfo& info) {
    auto ready_deadline = Clock::now() + config.ready_timeout;
    // Bit 0 rose; it counts once it was watched until then.
    std::optional<Clock::time_point> settled_at;
    unsigned starts = 1;
    if (auto started = send_start(); !started) return std::unexpected(stopped_with(started.error()));
    auto first_status_deadline = Clock::now() + config.answer_timeout;
    bool any_status = false;
    bool refused = false;
    StreamStatus status;
    std::optional<StreamStatus> latest;

    for (;;) {
        const auto deadline = any_status ? ready_deadline : std::min(first_status_deadline, ready_deadline);
        UdpEndpoint::Transfer problem;
        const auto heard = hear_status(deadline, status, problem);
        if (heard == Heard::refused) {
            refused = true;
            continue;
        }
        if (heard == Heard::lost) {
            return std::unexpected(stopped_with(link_failure(Step::ready, "status after Start", problem)));
        }
        if (heard == Heard::timed_out) {
            if (!any_status && Clock::now() < ready_deadline) {
                if (starts >= config.attempts) {
                    std::string reason = "No Stream Motion status came after " + std::to_string(starts) +
                                         " Start packets (" + milliseconds(config.answer_timeout) + " each)";
                    if (refused) reason += "; the controller's host reports nothing listening on " + link.peer();
                    return std::unexpected(
                        stopped_with(failure(Step::start, Result::ErrorControllerConnection, reason + ".")));
                }
                // The Start or its statuses were lost: a stream that did
                // start is stopped first, so the next Start is not a second one.
                if (auto stopped = stop(); !stopped) return std::unexpected(stopped.error());
                ++starts;
                ++resent;
                if (auto started = send_start(); !started) return std::unexpected(stopped_with(started.error()));
                first_status_deadline = Clock::now() + config.answer_timeout;
                continue;
            }
            const auto fault = latest ? fault_of(*latest) : StatusFault::not_ready;
            std::string reason = "The controller did not take commands within " + milliseconds(config.ready_timeout) +
                                 " of Start (status bit 0 stayed low): ";
            reason += fault == StatusFault::not_ready
                          ? "is its Stream Motion program running (called before Start)?"
                          : std::string(describe(fault)) + ".";
            return std::unexpected(stopped_with(failure(Step::ready, result_of(fault), reason)));
        }
        any_status = true;
        latest = status;
        // Every status is answered, without motion until bit 0 rises.
        while (steps.due() > 0) {
            const auto command = steps.answer_holding(CommandFlags{.motion = false, .last = false});
            if (auto sent = send(command, Step::ready, "command"); !sent) {
                return std::unexpected(stopped_with(sent.error()));
            }
        }
        if (status.ready && !settled_at) {
            settled_at = Clock::now() + config.ready_settle;
            // A drop within the watch has its own full time to come back.
            ready_deadline = std::max(ready_deadline, *settled_at + config.ready_timeout);
        }
        if (status.ready && Clock::now() >= *settled_at) {
            info.ready_status = status;
            return {};
        }
    }
}

std::expected<SessionInfo, SessionFailure> Session::bring_up() {
    SessionInfo info;
    // A configuration that cannot work is refused before the controller hears of it.
    if (auto refused = IoLayout::build(config.gpio, info.io)) {
        return std::unexpected(
            failure(Step::gpio, Result::Error, "The Stream Motion I/O configuration is refused: " + *refused));
    }
    resent = 0;
    version = 3;

    link.discard_pending();
    if (auto stopped = stop(); !stopped) return std::unexpected(stopped.error());
    if (auto capability = ask_capability(info); !capability) return std::unexpected(capability.error());
    if (auto read = read_thresholds(info); !read) return std::unexpected(read.error());
    if (auto configured = configure_io(info); !configured) return std::unexpected(configured.error());
    if (auto ready = start_and_wait_ready(info); !ready) return std::unexpected(ready.error());
    info.resent = resent;
    return info;
}

std::expected<void, SessionFailure> Session::end(std::span<const double> last_position) {
    std::optional<SessionFailure> first_failure;
    StreamStatus status;
    UdpEndpoint::Transfer problem;

    // The last command answers the next status (a refused datagram is one
    // more lost status: the deadline covers it).
    const auto answer_deadline = Clock::now() + config.answer_timeout;
    auto heard = Heard::refused;
    while (heard == Heard::refused) heard = hear_status(answer_deadline, status, problem);
    if (heard == Heard::timed_out) {
        first_failure = failure(Step::end, Result::ErrorControllerConnection,
                                "No Stream Motion status came within " + milliseconds(config.answer_timeout) +
                                    " to answer with the last command.");
    } else if (heard == Heard::lost) {
        first_failure = link_failure(Step::end, "status before the last command", problem);
    }
    while (!first_failure && steps.due() > 0) {
        const CommandFlags flags{.motion = status.ready, .last = steps.due() == 1};
        const auto command = last_position.empty() ? steps.answer_holding(flags) : steps.answer(last_position, flags);
        if (command.empty()) {
            first_failure = failure(Step::end, Result::Error,
                                    "The last Stream Motion command needs a position for every axis streamed.");
        } else if (auto sent = send(command, Step::end, "last command"); !sent) {
            first_failure = sent.error();
        }
    }

    // Then the controller ends its motion.
    const auto motion_deadline = Clock::now() + config.motion_end_timeout;
    while (!first_failure) {
        heard = hear_status(motion_deadline, status, problem);
        if (heard == Heard::timed_out) {
            first_failure = failure(Step::end, Result::ErrorController,
                                    "The controller still reported motion (status bit 3) " +
                                        milliseconds(config.motion_end_timeout) + " after the last command.");
        } else if (heard == Heard::lost) {
            first_failure = link_failure(Step::end, "status after the last command", problem);
        } else if (heard == Heard::datagram && !status.in_motion) {
            break;
        }
    }

    const auto stopped = stop();
    if (first_failure) return std::unexpected(*first_failure);
    return stopped;
}

std::expected<void, SessionFailure> Session::stop() {
    const auto size = encode(StopPacket{.version = version}, outbox);
    for (unsigned attempt = 0; attempt < config.attempts; ++attempt) {
        if (attempt > 0) ++resent;
        if (auto sent = send(std::span(outbox).first(size), Step::stop, "Stop"); !sent) return sent;
        const auto sent_at = Clock::now();
        // Statuses already on their way are passed over; one arriving after
        // that means the Stop was lost.
        const auto settled = sent_at + config.stop_settle;
        const auto quiet_until = settled + config.stop_quiet;
        bool heard = false;
        while (!heard) {
            std::size_t size = 0;
            UdpEndpoint::Transfer problem;
            const auto outcome = hear(Clock::now() < settled ? settled : quiet_until, size, problem);
            if (outcome == Heard::lost) return std::unexpected(link_failure(Step::stop, "Stop", problem));
            if (outcome == Heard::timed_out && Clock::now() >= quiet_until) break;
            if (outcome != Heard::datagram || Clock::now() < settled) continue;
            ControllerPacket packet;
            heard = !decode_controller_packet(std::span(inbox).first(size), packet) && is_status(packet);
        }
        if (!heard) return {};
    }
    return std::unexpected(failure(Step::stop, Result::ErrorControllerSendingStop,
                                   "The controller kept sending its Stream Motion status after " +
                                       std::to_string(config.attempts) + " Stop packets."));
}

}  // namespace orvane::drivers::stream_motion
