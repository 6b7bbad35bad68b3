// Bringing a Stream Motion session up and ending it, against a scripted
// controller that reads and writes the packets by their byte layouts, loses
// chosen datagrams and misbehaves as a controller may.
#include <gtest/gtest.h>

#include <algorithm>
#include <numbers>
#include <thread>
#include <vector>

#include "orvane/drivers/fanuc/stream_motion_session.hpp"
#include "stream_motion/fake_stream_controller.hpp"

namespace sm = orvane::drivers::stream_motion;
using orvane::drivers::Result;
using orvane_test::FakeStreamController;
using namespace std::chrono_literals;

namespace {

constexpr double rad = std::numbers::pi / 180.0;

// A controller, an endpoint to it and a session for a six-axis arm.
struct Rig {
    explicit Rig(FakeStreamController::Options options, sm::SessionSettings settings = {})
        : controller(std::move(options)),
          endpoint(controller.address(), controller.port()),
          lockstep(sm::AxisUnits{.count = 6}),
          session(endpoint, lockstep, std::move(settings)) {}

    FakeStreamController controller;
    sm::UdpEndpoint endpoint;
    sm::Lockstep lockstep;
    sm::Session session;
};

std::size_t count_of(const std::vector<std::uint32_t>& types, std::uint32_t type) {
    return static_cast<std::size_t>(std::ranges::count(types, type));
}

sm::SessionSettings quick_failures() {
    sm::SessionSettings settings;
    settings.attempts = 2;
    settings.ready_timeout = 400ms;
    settings.motion_end_timeout = 300ms;
    return settings;
}

}  // namespace

TEST(StreamMotionSession, BringUpStopsAsksReadsEveryTableStartsAndWaitsForBitZero) {
    Rig rig({});
    const auto info = rig.session.bring_up();
    ASSERT_TRUE(info.has_value()) << info.error().reason;
    EXPECT_EQ(info->offered_version, 3U);
    EXPECT_EQ(info->version, 3U);
    EXPECT_EQ(info->period, 8ms);
    EXPECT_TRUE(info->ready_status.ready);
    EXPECT_NEAR(info->ready_status.joints[1], -15.5 * rad, 1e-9);

    // Every table of every axis as the controller sent it.
    ASSERT_TRUE(info->limits.complete());
    for (std::uint32_t axis = 1; axis <= 6; ++axis) {
        for (const auto kind : sm::limit_kinds) {
            const auto& table = info->limits.table(axis - 1, kind);
            const auto k = static_cast<std::uint32_t>(kind);
            EXPECT_EQ(table.no_payload[7], FakeStreamController::entry(axis, k, 7, false));
            EXPECT_EQ(table.full_payload[19], FakeStreamController::entry(axis, k, 19, true));
        }
    }

    // The controller saw: Stop, capability (asked in version 3), 18 threshold
    // requests, Start, then one command per status without motion.
    const auto received = rig.controller.received();
    ASSERT_GE(received.size(), 21U);
    EXPECT_EQ(received[0].type, 2U);
    EXPECT_EQ(received[1].type, 7U);
    EXPECT_EQ(received[1].bytes.get_u32(4), 3U);
    for (std::size_t i = 2; i < 20; ++i) {
        EXPECT_EQ(received[i].type, 3U);
        EXPECT_EQ(received[i].bytes.get_u32(8), (i - 2) % 6 + 1);  // axes 1..6 ...
        EXPECT_EQ(received[i].bytes.get_u32(12), (i - 2) / 6);     // ... of each kind in turn
    }
    EXPECT_EQ(received[20].type, 200U);
    EXPECT_EQ(received[20].bytes.get_u32(4), 3U);
    ASSERT_TRUE(rig.controller.wait_for([](const auto& all) { return all.size() >= 25; }));
    const auto after = rig.controller.received();
    const auto statuses = rig.controller.statuses_sent();
    for (std::size_t i = 21; i < 25; ++i) {
        const auto& command = after[i].bytes;
        ASSERT_EQ(after[i].type, 201U);
        EXPECT_EQ(command.get_u32(8), static_cast<std::uint32_t>(i - 20));  // numbered as the statuses, from 1
        EXPECT_EQ(command.get_u8(13), 0);                                   // no motion yet
        EXPECT_EQ(command.get_u8(12), 0);
        for (int axis = 0; axis < 9; ++axis) {
            EXPECT_EQ(command.get_f64(16 + 8 * axis), static_cast<double>(FakeStreamController::joints[axis]));
        }
    }
    EXPECT_EQ(statuses.front(), 1U);
    EXPECT_EQ(info->resent, 0U);
}

TEST(StreamMotionSession, LostRequestsAreSentAgain) {
    FakeStreamController::Options options;
    options.drop_first = {{7, 1}, {3, 2}, {200, 1}};  // capability, two threshold requests, the Start
    Rig rig(options);
    const auto info = rig.session.bring_up();
    ASSERT_TRUE(info.has_value()) << info.error().reason;
    EXPECT_GE(info->resent, 4U);
    EXPECT_TRUE(info->limits.complete());
    const auto types = rig.controller.types();
    EXPECT_GE(count_of(types, 7), 2U);
    EXPECT_GE(count_of(types, 3), 20U);
    // A Start that brought no status is stopped before the next one.
    const auto first_start = std::ranges::find(types, 200U);
    ASSERT_NE(first_start, types.end());
    const auto second_start = std::find(first_start + 1, types.end(), 200U);
    ASSERT_NE(second_start, types.end());
    EXPECT_NE(std::find(first_start, second_start, 2U), second_start);
    EXPECT_TRUE(info->ready_status.ready);
}

TEST(StreamMotionSession, VersionFourAddsTheForceSensorConfigurationAfterStart) {
    FakeStreamController::Options options;
    options.available_version = 4;
    sm::SessionSettings settings;
    settings.force_sensor_type = 1;
    settings.reset_force_sensor = true;
    Rig rig(options, settings);
    const auto info = rig.session.bring_up();
    ASSERT_TRUE(info.has_value()) << info.error().reason;
    EXPECT_EQ(info->version, 4U);
    EXPECT_TRUE(info->ready_status.has_force);
    const auto received = rig.controller.received();
    const auto start = std::ranges::find_if(received, [](const auto& d) { return d.type == 200; });
    ASSERT_NE(start, received.end());
    EXPECT_EQ(start->bytes.get_u32(4), 4U);
    ASSERT_NE(start + 1, received.end());
    EXPECT_EQ((start + 1)->type, 205U);
    EXPECT_EQ((start + 1)->bytes.get_u32(8), 1U);
    EXPECT_EQ((start + 1)->bytes.get_u32(12), 1U);
    // Threshold requests went out in the adopted version.
    const auto request = std::ranges::find_if(received, [](const auto& d) { return d.type == 3; });
    EXPECT_EQ(request->bytes.get_u32(4), 4U);
}

TEST(StreamMotionSession, VersionsAreAdoptedOnlyWhereTheirLayoutsAreKnown) {
    FakeStreamController::Options newer;
    newer.available_version = 6;
    Rig adopting(newer);
    const auto info = adopting.session.bring_up();
    ASSERT_TRUE(info.has_value()) << info.error().reason;
    EXPECT_EQ(info->offered_version, 6U);
    EXPECT_EQ(info->version, 4U);

    FakeStreamController::Options second;
    second.available_version = 2;
    Rig refusing(second);
    const auto refused = refusing.session.bring_up();
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().step, sm::SessionFailure::Step::capability);
    EXPECT_NE(refused.error().reason.find("version 2"), std::string::npos);
    EXPECT_EQ(count_of(refusing.controller.types(), 200), 0U);  // never started
}

TEST(StreamMotionSession, AControllerOfVersionOneIsStartedInItsOwnPackets) {
    FakeStreamController::Options options;
    options.available_version = 1;
    options.v1_statuses = true;
    Rig rig(options);
    const auto info = rig.session.bring_up();
    ASSERT_TRUE(info.has_value()) << info.error().reason;
    EXPECT_EQ(info->version, 1U);
    const auto received = rig.controller.received();
    const auto start = std::ranges::find_if(received, [](const auto& d) { return d.bytes.size() == 8 && d.type == 0; });
    ASSERT_NE(start, received.end());
    EXPECT_EQ(start->bytes.get_u32(4), 1U);
    EXPECT_EQ(count_of(rig.controller.types(), 200), 0U);

    // Version 1 has no I/O configuration: asking for one is refused before Start.
    sm::SessionSettings with_io;
    with_io.gpio = {{sm::GpioEntry::Use::io_command, sm::GpioEntry::Port::digital_out, 1, 8}};
    Rig refused(options, with_io);
    const auto failed = refused.session.bring_up();
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().step, sm::SessionFailure::Step::gpio);
    EXPECT_NE(failed.error().reason.find("version 3"), std::string::npos);
}

TEST(StreamMotionSession, AControllerStreamingTheOldLayoutIsAnsweredInIt) {
    FakeStreamController::Options options;
    options.v1_statuses = true;
    Rig rig(options);
    const auto info = rig.session.bring_up();
    ASSERT_TRUE(info.has_value()) << info.error().reason;
    EXPECT_TRUE(info->ready_status.v1_layout);
    ASSERT_TRUE(rig.controller.wait_for([](const auto& all) { return all.back().type == 1; }));
    const auto received = rig.controller.received();
    const auto& command = received.back().bytes;
    EXPECT_EQ(command.size(), 64U);
    EXPECT_EQ(command.get_u32(4), 3U);
    EXPECT_EQ(command.get_f32(28 + 4 * 2), FakeStreamController::joints[2]);
}

TEST(StreamMotionSession, IoIsConfiguredBeforeStartAndARefusalNamesTheCause) {
    sm::SessionSettings settings;
    settings.gpio = {{sm::GpioEntry::Use::io_command, sm::GpioEntry::Port::digital_out, 1, 8},
                     {sm::GpioEntry::Use::io_state, sm::GpioEntry::Port::digital_in, 101, 16}};
    Rig accepted({}, settings);
    const auto info = accepted.session.bring_up();
    ASSERT_TRUE(info.has_value()) << info.error().reason;
    ASSERT_TRUE(info->gpio_result.has_value());
    EXPECT_EQ(info->gpio_result->ptf, 16U);
    EXPECT_EQ(info->io.status_bytes(), 4U);
    const auto received = accepted.controller.received();
    const auto config = std::ranges::find_if(received, [](const auto& d) { return d.type == 203; });
    ASSERT_NE(config, received.end());
    EXPECT_EQ(config->bytes.size(), 520U);
    EXPECT_EQ(config->bytes.get_u32(8), 1U);     // I/O command
    EXPECT_EQ(config->bytes.get_u32(12), 0U);    // DO
    EXPECT_EQ(config->bytes.get_u32(16), 1U);
    EXPECT_EQ(config->bytes.get_u32(20), 8U);
    EXPECT_EQ(config->bytes.get_u32(24), 2U);    // I/O state
    EXPECT_EQ(config->bytes.get_u32(28), 1U);    // DI
    EXPECT_EQ(config->bytes.get_u32(32), 101U);
    EXPECT_LT(config - received.begin(),
              std::ranges::find_if(received, [](const auto& d) { return d.type == 200; }) - received.begin());

    FakeStreamController::Options mismatch;
    mismatch.gpio_result = 2;
    Rig refused(mismatch, settings);
    const auto failed = refused.session.bring_up();
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().step, sm::SessionFailure::Step::gpio);
    EXPECT_EQ(failed.error().result, Result::ErrorController);
    EXPECT_NE(failed.error().reason.find("does not match the controller's I/O assignment"), std::string::npos);
    EXPECT_EQ(count_of(refused.controller.types(), 200), 0U);

    // A configuration that cannot work never reaches the controller.
    settings.gpio = {{sm::GpioEntry::Use::io_command, sm::GpioEntry::Port::float_register, 1, 8}};
    Rig invalid({}, settings);
    const auto invalid_failure = invalid.session.bring_up();
    ASSERT_FALSE(invalid_failure.has_value());
    EXPECT_EQ(invalid_failure.error().step, sm::SessionFailure::Step::gpio);
    EXPECT_TRUE(invalid.controller.received().empty());
}

TEST(StreamMotionSession, BitZeroThatNeverRisesFailsWithTheControllersReasonAndStops) {
    FakeStreamController::Options idle;
    idle.never_ready = true;
    Rig rig(idle, quick_failures());
    const auto failed = rig.session.bring_up();
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().step, sm::SessionFailure::Step::ready);
    EXPECT_EQ(failed.error().result, Result::ErrorControllerProgramStopped);
    EXPECT_NE(failed.error().reason.find("program"), std::string::npos);
    EXPECT_EQ(rig.controller.types().back(), 2U);  // stopped
    EXPECT_FALSE(rig.controller.streaming());

    FakeStreamController::Options estopped;
    estopped.never_ready = true;
    estopped.robot_status = 0b101;  // in error and E-stopped
    Rig stopped(estopped, quick_failures());
    const auto estop = stopped.session.bring_up();
    ASSERT_FALSE(estop.has_value());
    EXPECT_EQ(estop.error().result, Result::ErrorControllerEStopActive);
    EXPECT_NE(estop.error().reason.find("E-stop"), std::string::npos);
}

TEST(StreamMotionSession, NoControllerMeansAClearConnectionFailure) {
    std::string address;
    {
        orvane_test::UdpPeer gone;
        address = gone.address();
    }
    sm::UdpEndpoint endpoint(address, sm::default_port);
    sm::Lockstep lockstep(sm::AxisUnits{.count = 6});
    auto settings = quick_failures();
    settings.answer_timeout = 50ms;
    sm::Session session(endpoint, lockstep, settings);
    const auto failed = session.bring_up();
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().step, sm::SessionFailure::Step::capability);
    EXPECT_EQ(failed.error().result, Result::ErrorControllerConnection);
    EXPECT_NE(failed.error().reason.find("nothing listening"), std::string::npos) << failed.error().reason;
}

TEST(StreamMotionSession, TheEndSendsTheLastCommandWaitsForTheMotionToEndAndStops) {
    Rig rig({});
    ASSERT_TRUE(rig.session.bring_up().has_value());
    const std::vector<double> last{0.1, 0.2, 0.3, 0.4, 0.5, 0.6};
    const auto ended = rig.session.end(last);
    ASSERT_TRUE(ended.has_value()) << ended.error().reason;
    EXPECT_FALSE(rig.controller.streaming());

    const auto received = rig.controller.received();
    const auto final_command = std::ranges::find_if(received, [](const auto& d) {
        return d.type == 201 && d.bytes.get_u8(12) == 1;
    });
    ASSERT_NE(final_command, received.end());
    EXPECT_EQ(final_command->bytes.get_u8(13), 1);  // bit 0 was up: motion
    for (int axis = 0; axis < 6; ++axis) {
        EXPECT_NEAR(final_command->bytes.get_f64(16 + 8 * axis), last[axis] / rad, 1e-12);
    }
    const auto statuses = rig.controller.statuses_sent();
    EXPECT_NE(std::ranges::find(statuses, final_command->bytes.get_u32(8)), statuses.end());
    // Nothing was commanded after it; the Stop came last.
    for (auto later = final_command + 1; later != received.end(); ++later) EXPECT_NE(later->type, 201U);
    EXPECT_EQ(received.back().type, 2U);
}

TEST(StreamMotionSession, AMotionThatDoesNotEndIsReportedAndStillStopped) {
    FakeStreamController::Options options;
    options.motion_never_ends = true;
    Rig rig(options, quick_failures());
    ASSERT_TRUE(rig.session.bring_up().has_value());
    const auto ended = rig.session.end({});
    ASSERT_FALSE(ended.has_value());
    EXPECT_EQ(ended.error().step, sm::SessionFailure::Step::end);
    EXPECT_NE(ended.error().reason.find("bit 3"), std::string::npos);
    EXPECT_FALSE(rig.controller.streaming());
    EXPECT_EQ(rig.controller.types().back(), 2U);
}

TEST(StreamMotionSession, ALostStopIsSentAgainUntilTheStatusesCease) {
    FakeStreamController::Options options;
    options.drop_first = {{2, 2}};  // the defensive Stop, and the first at the end
    Rig rig(options);
    ASSERT_TRUE(rig.session.bring_up().has_value());
    const auto stops_before = count_of(rig.controller.types(), 2);
    ASSERT_TRUE(rig.session.stop().has_value());
    EXPECT_FALSE(rig.controller.streaming());
    EXPECT_GE(count_of(rig.controller.types(), 2) - stops_before, 2U);
}

TEST(StreamMotionSession, ClosingTheLinkEndsABringUpAtOnce) {
    FakeStreamController::Options idle;
    idle.never_ready = true;
    sm::SessionSettings patient;
    patient.ready_timeout = 60s;
    Rig rig(idle, patient);
    std::expected<sm::SessionInfo, sm::SessionFailure> outcome = std::unexpected(sm::SessionFailure{});
    std::thread bringing_up([&] { outcome = rig.session.bring_up(); });
    // Closed while it waits for bit 0.
    const bool started = rig.controller.wait_for([](const auto& all) {
        return std::ranges::any_of(all, [](const auto& d) { return d.type == 201; });
    });
    rig.endpoint.close();
    bringing_up.join();
    ASSERT_TRUE(started);
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().step, sm::SessionFailure::Step::ready);
    EXPECT_EQ(outcome.error().result, Result::ErrorControllerConnection);
    EXPECT_NE(outcome.error().reason.find("closed"), std::string::npos) << outcome.error().reason;
}
