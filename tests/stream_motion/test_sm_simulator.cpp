// Bringing a Stream Motion session up and ending it against the project's
// simulator, whose packets were written from the same facts by another hand:
// where the two readings differ (a layout, the numbering, the I/O bits, the
// tables), these tests fail. RMI is driven by the tests' own client.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <orvane/motion/motion.hpp>
#include <orvane/motion/planner.hpp>
#include <orvane/motion/robots.hpp>
#include <orvane/motion/waypoint.hpp>

#include "orvane/drivers/fanuc/stream_motion_limits.hpp"
#include "orvane/drivers/fanuc/stream_motion_session.hpp"
#include "orvane/sim/controller_simulator.hpp"
#include "sim/rmi_client.hpp"

namespace sm = orvane::drivers::stream_motion;
namespace sim = orvane::sim;
using orvane::drivers::Result;
using namespace std::chrono_literals;

namespace {

sim::SimulatorConfig stream_config(int version = 3, int period_ms = 8) {
    sim::SimulatorConfig config;
    config.stream_motion_version = version;
    config.stream_motion_period_ms = period_ms;
    config.stream_motion_ready_delay = 0.05;
    return config;
}

// Generous for a slow shared machine: a failure still names its step.
sm::SessionSettings patient(std::vector<sm::GpioEntry> gpio = {}) {
    sm::SessionSettings settings;
    settings.gpio = std::move(gpio);
    settings.answer_timeout = 300ms;
    settings.ready_timeout = 5000ms;
    settings.motion_end_timeout = 3000ms;
    return settings;
}

// A simulated LR Mate with an RMI session, and the driver's side of Stream Motion.
struct Rig {
    explicit Rig(sim::SimulatorConfig config, sm::SessionSettings settings = patient())
        : rmi(simtest::RmiClient::start(config)),
          endpoint(rmi->sim().config().address, rmi->sim().stream_motion_port()),
          lockstep(sm::AxisUnits{.count = 6}),
          session(endpoint, lockstep, std::move(settings)) {}

    sim::ControllerSimulator& controller() { return rmi->sim(); }

    // FRC_Call STREAM_MOTN, not waited for (it answers when the program ends);
    // returns once the controller has read it.
    int call_program() {
        const auto from = controller().received_line_count();
        const int sequence = rmi->send({{"Instruction", "FRC_Call"}, {"ProgramName", "STREAM_MOTN"}});
        EXPECT_TRUE(controller().wait_for_line(
            [](const std::string& line) { return line.find("STREAM_MOTN") != std::string::npos; }, simtest::kWait,
            from));
        return sequence;
    }

    // Every command the controller did not take, with its reason.
    std::string commands_not_taken() {
        std::string found;
        for (const auto& command : controller().stream_commands()) {
            if (command.verdict == sim::CommandVerdict::Accepted || command.verdict == sim::CommandVerdict::NotReady) {
                continue;
            }
            found += "command " + std::to_string(command.sequence) + ": " + command.detail + "; ";
        }
        return found;
    }

    std::unique_ptr<simtest::RmiClient> rmi;
    sm::UdpEndpoint endpoint;
    sm::Lockstep lockstep;
    sm::Session session;
};

bool has_alarm(const std::vector<std::string>& alarms, const std::string& code) {
    return std::ranges::any_of(alarms, [&](const std::string& alarm) { return alarm.find(code) != std::string::npos; });
}

}  // namespace

TEST(StreamMotionAgainstTheSimulator, BringUpReadsTheControllersTablesAndTheEndFinishesItsProgram) {
    Rig rig(stream_config());
    const int call = rig.call_program();
    const auto info = rig.session.bring_up();
    ASSERT_TRUE(info.has_value()) << describe(info.error().step) << ": " << info.error().reason;
    EXPECT_EQ(info->version, 3U);
    EXPECT_EQ(info->period, 8ms);
    EXPECT_TRUE(info->ready_status.ready);
    EXPECT_FALSE(info->ready_status.in_error);

    // The tables byte for byte as the simulator derives them from the arm's limits.
    ASSERT_TRUE(info->limits.complete());
    const auto limits = sim::lrmate200id_limits();
    for (std::size_t axis = 0; axis < 6; ++axis) {
        for (const auto kind : sm::limit_kinds) {
            const auto expected = sim::stream_motion_threshold(limits, static_cast<int>(axis) + 1,
                                                               static_cast<sim::ThresholdKind>(kind));
            const auto& read = info->limits.table(axis, kind);
            EXPECT_EQ(read.no_payload, expected.no_payload) << "joint " << axis + 1 << " " << describe(kind);
            EXPECT_EQ(read.full_payload, expected.full_payload) << "joint " << axis + 1 << " " << describe(kind);
            EXPECT_EQ(read.max_cartesian_speed, 2000U);
        }
    }

    // The joints in the status are where the controller has the arm (its
    // own convention couples J3 to J2; the stream's does not).
    const auto measured = rig.controller().joint_position_deg();
    const auto& joints = info->ready_status.joints;
    for (std::size_t axis = 0; axis < 6; ++axis) {
        const double streamed = axis == 2 ? joints[2] - joints[1] : joints[axis];
        EXPECT_NEAR(streamed * sm::AxisUnits::degrees_per_radian, measured[axis], 1e-3) << "joint " << axis + 1;
    }
    const auto live = rig.controller().stream_motion_status();
    EXPECT_TRUE(live.live);
    EXPECT_NE(live.peer.find(":" + std::to_string(rig.endpoint.local_port())), std::string::npos) << live.peer;

    const auto ended = rig.session.end({});
    ASSERT_TRUE(ended.has_value()) << describe(ended.error().step) << ": " << ended.error().reason;
    // The last command ended the controller's program (its FRC_Call is
    // answered) and the Stop its stream; every command was numbered as the
    // controller expects.
    EXPECT_EQ(rig.rmi->await(call).value("ErrorID", -1), 0);
    EXPECT_FALSE(rig.controller().stream_motion_status().live);
    EXPECT_EQ(rig.commands_not_taken(), "");
    const auto commands = rig.controller().stream_commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_TRUE(commands.back().last);
    EXPECT_GT(rig.lockstep.counters().commands, 0U);
    EXPECT_FALSE(has_alarm(rig.controller().alarms(), "HOST-380"));
}

TEST(StreamMotionAgainstTheSimulator, VersionFourAndAFourMillisecondPeriodAreAdopted) {
    Rig rig(stream_config(4, 4));
    rig.call_program();
    const auto info = rig.session.bring_up();
    ASSERT_TRUE(info.has_value()) << describe(info.error().step) << ": " << info.error().reason;
    EXPECT_EQ(info->offered_version, 4U);
    EXPECT_EQ(info->version, 4U);
    EXPECT_EQ(info->period, 4ms);
    // The status with force data; the simulated arm carries no sensor.
    EXPECT_TRUE(info->ready_status.has_force);
    EXPECT_EQ(info->ready_status.fs_type, 0xFFFFFFFFU);
    EXPECT_EQ(rig.controller().stream_motion_status().version, 4);

    const auto ended = rig.session.end({});
    ASSERT_TRUE(ended.has_value()) << ended.error().reason;
    // The force-sensor configuration was a packet the controller knows.
    EXPECT_FALSE(has_alarm(rig.controller().alarms(), "HOST-380"));
    EXPECT_EQ(rig.commands_not_taken(), "");
}

TEST(StreamMotionAgainstTheSimulator, WithoutItsProgramTheControllerNeverTakesCommandsAndIsStopped) {
    auto settings = patient();
    settings.ready_timeout = 400ms;
    Rig rig(stream_config(), settings);
    const auto failed = rig.session.bring_up();
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().step, sm::SessionFailure::Step::ready);
    EXPECT_EQ(failed.error().result, Result::ErrorControllerProgramStopped);
    EXPECT_NE(failed.error().reason.find("program"), std::string::npos) << failed.error().reason;
    // The controller was not left streaming.
    EXPECT_FALSE(rig.controller().stream_motion_status().live);
}

TEST(StreamMotionAgainstTheSimulator, IoTravelsInTheArraysAndARefusedConfigurationNamesTheCause) {
    using Use = sm::GpioEntry::Use;
    using Port = sm::GpioEntry::Port;
    const std::vector<sm::GpioEntry> gpio{
        {.use = Use::io_state, .port = Port::digital_in, .start = 1, .length = 16},
        {.use = Use::io_command, .port = Port::digital_out, .start = 1, .length = 12},
        {.use = Use::register_state, .port = Port::float_register, .start = 5, .length = 2},
    };
    Rig rig(stream_config(), patient(gpio));
    rig.controller().set_port("DI", 11, 1.0);
    const auto written = rig.rmi->command(
        {{"Command", "FRC_WriteRegister"}, {"RegisterNumber", 6}, {"DataType", "Real"}, {"RegisterValue", 2.5}});
    ASSERT_EQ(written.value("ErrorID", -1), 0) << written.dump();
    rig.call_program();
    const auto info = rig.session.bring_up();
    ASSERT_TRUE(info.has_value()) << describe(info.error().step) << ": " << info.error().reason;
    ASSERT_TRUE(info->gpio_result.has_value());
    EXPECT_EQ(info->gpio_result->result, 0U);

    // States: bit 10 of the first block, the register after the digital block's 4 bytes.
    const auto& io = info->ready_status.io_status;
    EXPECT_EQ(info->io.digital_state(io, Port::digital_in, 11), true);
    EXPECT_EQ(info->io.digital_state(io, Port::digital_in, 10), false);
    EXPECT_EQ(info->io.register_state(io, 6), 2.5f);
    // A command: DO[9] lies in the block's second byte.
    ASSERT_TRUE(info->io.set_digital_command(rig.lockstep.io_command(), Port::digital_out, 9, true));
    const auto ended = rig.session.end({});
    ASSERT_TRUE(ended.has_value()) << ended.error().reason;
    EXPECT_EQ(rig.controller().port("DO", 9), 1.0);
    EXPECT_EQ(rig.controller().port("DO", 8), 0.0);
    EXPECT_EQ(rig.controller().port("DO", 1), 0.0);

    // A register the controller does not have: refused with its code, before Start.
    Rig refused(stream_config(), patient({{.use = Use::register_state, .port = Port::float_register, .start = 500,
                                           .length = 1}}));
    refused.call_program();
    const auto failed = refused.session.bring_up();
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().step, sm::SessionFailure::Step::gpio);
    EXPECT_EQ(failed.error().result, Result::ErrorController);
    EXPECT_NE(failed.error().reason.find("code 2"), std::string::npos) << failed.error().reason;
    EXPECT_FALSE(refused.controller().stream_motion_status().live);
}

// The tables as read, in the planner's terms, keep a plan within what the
// controller itself checks: the check passes it, and streamed command by
// command the controller raises no limit alarm and ends where it was planned.
TEST(StreamMotionAgainstTheSimulator, APlanMadeWithinTheTablesReadPassesTheCheckAndTheController) {
    const auto arm = orvane::robots::fanuc_lrmate200id();
    const double period = 0.008;
    // One session; false when the host stalled for a period, which makes the
    // controller miss a command and says nothing about the limits.
    const auto judged = [&]() -> bool {
        Rig rig(stream_config());
        rig.call_program();
        const auto info = rig.session.bring_up();
        EXPECT_TRUE(info.has_value()) << describe(info.error().step) << ": " << info.error().reason;
        if (!info) return true;

        orvane::Planner planner(arm, period);
        planner.set_limit_table(arm, sm::planner_limits(info->limits, rig.lockstep.units(), std::nullopt));
        std::vector<double> start(6), goal(6);
        const std::vector<double> move{0.6, 0.3, -0.3, 0.8, -0.5, 1.2};  // rad
        for (std::size_t j = 0; j < 6; ++j) {
            start[j] = info->ready_status.joints[j];
            goal[j] = start[j] + move[j];
        }
        const auto trajectory =
            planner.plan(orvane::LowLevelMotion(arm, orvane::Waypoint(start), orvane::Waypoint(goal)));
        EXPECT_TRUE(trajectory.has_value());
        if (!trajectory || trajectory->size() < 10) return true;
        EXPECT_NEAR(trajectory->times()[1] - trajectory->times()[0], period, 1e-9);

        sm::StreamPlan plan;
        plan.period = period;
        plan.units = rig.lockstep.units();
        plan.arm = arm;
        plan.payload = plan.full_payload;  // the strictest reading of the controller's payload
        const auto check = sm::check_limits(*trajectory, info->limits, plan);
        EXPECT_FALSE(check.violation.has_value()) << check.violation->describe();

        // One command per status: the samples, then three at rest, then the last.
        const auto& positions = trajectory->positions();
        const std::size_t commands = positions.size() + 3;
        std::size_t sent = 0;
        std::array<std::uint8_t, sm::max_packet_size + 1> inbox{};
        sm::StreamStatus status;
        while (sent < commands) {
            const auto received = rig.endpoint.receive(inbox, sm::UdpEndpoint::Clock::now() + simtest::kWait);
            EXPECT_TRUE(received.ok()) << rig.endpoint.describe(received);
            if (!received.ok()) return true;
            if (rig.lockstep.receive(std::span(inbox).first(received.size), status) != sm::Lockstep::Reception::fresh) {
                continue;
            }
            if (!status.ready) break;  // judged below
            while (rig.lockstep.due() > 0) {
                const auto& target = positions[std::min(sent, positions.size() - 1)];
                const auto command = rig.lockstep.answer(target, {.motion = true, .last = false});
                EXPECT_FALSE(command.empty());
                EXPECT_TRUE(rig.endpoint.send(command, sm::UdpEndpoint::Clock::now() + 1s).ok());
                ++sent;
            }
        }
        const auto ended = rig.session.end(positions.back());

        // A limit alarm fails the test, late host or not.
        const auto alarms = rig.controller().alarms();
        for (const char* limit : {"MOTN-609", "MOTN-610", "MOTN-611", "MOTN-720", "MOTN-721", "MOTN-722"}) {
            EXPECT_FALSE(has_alarm(alarms, limit)) << limit;
        }
        if (rig.controller().stream_motion_status().missed_periods > 0) return false;
        EXPECT_TRUE(status.ready) << describe(sm::fault_of(status));
        EXPECT_TRUE(ended.has_value()) << describe(ended.error().step) << ": " << ended.error().reason;
        EXPECT_EQ(rig.commands_not_taken(), "");
        // Where the plan ends, read back in the controller's convention (J3 coupled to J2).
        const auto reached = rig.controller().commanded_position_deg();
        auto expected = goal;
        expected[2] -= goal[1];
        for (std::size_t j = 0; j < 6; ++j) {
            EXPECT_NEAR(reached[j], expected[j] * sm::AxisUnits::degrees_per_radian, 1e-6) << "joint " << j + 1;
        }
        return true;
    };
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (judged()) return;
    }
    ADD_FAILURE() << "every attempt missed a period on this host";
}
