// One command per status: what the loop reads from a status, and which
// commands it owes the controller for it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "orvane/drivers/fanuc/stream_motion_lockstep.hpp"
#include "stream_motion/wire_bytes.hpp"

namespace sm = orvane::drivers::stream_motion;
using orvane_test::wire::Bytes;

namespace {

constexpr float joints[9] = {10.5f, -20.25f, 30.125f, -40.0625f, 50.5f, -60.75f, 1500.5f, -2.5f, 0.125f};
constexpr double rad = std::numbers::pi / 180.0;

Bytes status(std::uint32_t sequence, std::uint8_t bits = 0b0101, std::uint8_t robot = 0) {
    return orvane_test::wire::status_packet(3, sequence, bits, robot, joints);
}

// A command as the controller reads it.
struct Seen {
    std::uint32_t type, version, sequence;
    bool last, motion;
    std::uint16_t style;
    std::vector<double> position;
};

Seen read_command(std::span<const std::uint8_t> datagram) {
    const Bytes bytes(datagram);
    EXPECT_EQ(bytes.size(), 344U);
    Seen seen{bytes.get_u32(0), bytes.get_u32(4), bytes.get_u32(8), bytes.get_u8(12) != 0, bytes.get_u8(13) != 0,
              bytes.get_u16(14), {}};
    for (int i = 0; i < 9; ++i) seen.position.push_back(bytes.get_f64(16 + 8 * i));
    return seen;
}

sm::AxisUnits six_rotary() { return sm::AxisUnits{.count = 6}; }

}  // namespace

TEST(StreamMotionLockstep, AStatusIsDecodedIntoTheDriversUnits) {
    sm::AxisUnits units{.count = 7};
    units.linear[6] = true;  // E1 in mm on the wire
    sm::Lockstep lockstep(units);
    lockstep.restart(3);

    auto bytes = status(7, 0b1111, 0b111);
    bytes.u8(14, 2).u32(16, 4242).f32(128, 0.5f);
    const float pose[6] = {500.0f, -250.0f, 1000.0f, 180.0f, -90.0f, 45.0f};
    for (int i = 0; i < 6; ++i) bytes.f32(20 + 4 * i, pose[i]);
    for (int i = 0; i < 9; ++i) bytes.f32(92 + 4 * i, 0.5f * static_cast<float>(i + 1));
    bytes.u8(132, 0x81);

    sm::StreamStatus decoded;
    ASSERT_EQ(lockstep.receive(bytes.span(), decoded), sm::Lockstep::Reception::fresh);
    EXPECT_EQ(decoded.sequence_no, 7U);
    EXPECT_TRUE(decoded.ready && decoded.command_received && decoded.system_ready && decoded.in_motion);
    EXPECT_TRUE(decoded.in_error && decoded.tp_enabled && decoded.e_stopped);
    EXPECT_EQ(decoded.contact_stop_status, 2);
    EXPECT_EQ(decoded.time_stamp, 4242U);
    EXPECT_DOUBLE_EQ(decoded.safety_scale, 0.5);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(decoded.joints[i], joints[i] * rad, 1e-12);
    EXPECT_NEAR(decoded.joints[6], 1.5005, 1e-9);  // metres
    for (int i = 0; i < 9; ++i) EXPECT_DOUBLE_EQ(decoded.currents[i], 0.5 * (i + 1));
    EXPECT_NEAR(decoded.pose[0], 0.5, 1e-9);
    EXPECT_NEAR(decoded.pose[2], 1.0, 1e-9);
    EXPECT_NEAR(decoded.pose[3], std::numbers::pi, 1e-9);
    EXPECT_NEAR(decoded.pose[4], -std::numbers::pi / 2, 1e-9);
    EXPECT_EQ(decoded.wire_joints[2], joints[2]);
    EXPECT_EQ(decoded.io_status[0], 0x81);
    EXPECT_FALSE(decoded.has_force);

    // The bits one at a time, so that none is read from its neighbour.
    for (unsigned bit = 0; bit < 4; ++bit) {
        ASSERT_EQ(lockstep.receive(status(8 + bit, static_cast<std::uint8_t>(1U << bit), 0).span(), decoded),
                  sm::Lockstep::Reception::fresh);
        EXPECT_EQ(decoded.ready, bit == 0);
        EXPECT_EQ(decoded.command_received, bit == 1);
        EXPECT_EQ(decoded.system_ready, bit == 2);
        EXPECT_EQ(decoded.in_motion, bit == 3);
    }
    for (unsigned bit = 0; bit < 3; ++bit) {
        ASSERT_EQ(lockstep.receive(status(12 + bit, 1, static_cast<std::uint8_t>(1U << bit)).span(), decoded),
                  sm::Lockstep::Reception::fresh);
        EXPECT_EQ(decoded.in_error, bit == 0);
        EXPECT_EQ(decoded.tp_enabled, bit == 1);
        EXPECT_EQ(decoded.e_stopped, bit == 2);
    }
}

TEST(StreamMotionLockstep, EachCommandCarriesTheNumberOfTheStatusItAnswers) {
    sm::Lockstep lockstep(six_rotary());
    lockstep.restart(4);
    sm::StreamStatus decoded;
    const std::vector<double> target{0.1, -0.2, 0.3, -0.4, 0.5, -0.6};
    for (std::uint32_t n = 1; n <= 3; ++n) {
        ASSERT_EQ(lockstep.receive(status(n).span(), decoded), sm::Lockstep::Reception::fresh);
        ASSERT_EQ(lockstep.due(), 1U);
        const auto seen = read_command(lockstep.answer(target, {.motion = true, .last = n == 3}));
        EXPECT_EQ(seen.type, 201U);
        EXPECT_EQ(seen.version, 4U);
        EXPECT_EQ(seen.sequence, n);
        EXPECT_EQ(seen.style, 0xFFFF);
        EXPECT_TRUE(seen.motion);
        EXPECT_EQ(seen.last, n == 3);
        EXPECT_EQ(lockstep.due(), 0U);
        EXPECT_TRUE(lockstep.answer(target, {}).empty());  // one command per status
    }
    // Radians become degrees; the axes not streamed hold where the status has them.
    ASSERT_EQ(lockstep.receive(status(4).span(), decoded), sm::Lockstep::Reception::fresh);
    const auto seen = read_command(lockstep.answer(target, {}));
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(seen.position[i], target[i] / rad, 1e-12);
    for (int i = 6; i < 9; ++i) EXPECT_EQ(seen.position[i], static_cast<double>(joints[i]));
    EXPECT_EQ(lockstep.counters().commands, 4U);
    EXPECT_EQ(lockstep.counters().skipped, 0U);
}

TEST(StreamMotionLockstep, ASkippedStatusIsCountedAndItsNumberAnsweredFirst) {
    sm::Lockstep lockstep(six_rotary());
    lockstep.restart(3);
    sm::StreamStatus decoded;
    lockstep.receive(status(10).span(), decoded);
    lockstep.answer_holding({});
    // 11 was lost on the way: 11 and 12 are owed, in order.
    ASSERT_EQ(lockstep.receive(status(12).span(), decoded), sm::Lockstep::Reception::fresh);
    EXPECT_EQ(lockstep.counters().skipped, 1U);
    ASSERT_EQ(lockstep.due(), 2U);
    EXPECT_EQ(read_command(lockstep.answer_holding({})).sequence, 11U);
    EXPECT_EQ(read_command(lockstep.answer_holding({})).sequence, 12U);
    EXPECT_EQ(lockstep.counters().filled, 1U);

    // A status left unanswered is owed as well.
    lockstep.receive(status(13).span(), decoded);
    lockstep.receive(status(14).span(), decoded);
    EXPECT_EQ(lockstep.counters().skipped, 1U);
    EXPECT_EQ(lockstep.due(), 2U);
    EXPECT_EQ(lockstep.next_sequence_no(), 13U);

    // A gap too long to make up is only counted: the newest is answered.
    lockstep.receive(status(100).span(), decoded);
    EXPECT_EQ(lockstep.counters().skipped, 86U);
    EXPECT_EQ(lockstep.due(), 1U);
    EXPECT_EQ(read_command(lockstep.answer_holding({})).sequence, 100U);
}

TEST(StreamMotionLockstep, RepeatedAndOlderStatusesAreNotAnsweredAgain) {
    sm::Lockstep lockstep(six_rotary());
    lockstep.restart(3);
    sm::StreamStatus decoded;
    lockstep.receive(status(5).span(), decoded);
    lockstep.answer_holding({});
    decoded.sequence_no = 999;
    EXPECT_EQ(lockstep.receive(status(5).span(), decoded), sm::Lockstep::Reception::repeated);
    EXPECT_EQ(lockstep.receive(status(4).span(), decoded), sm::Lockstep::Reception::stale);
    EXPECT_EQ(decoded.sequence_no, 999U);  // untouched
    EXPECT_EQ(lockstep.due(), 0U);
    EXPECT_EQ(lockstep.counters().repeated, 1U);
    EXPECT_EQ(lockstep.counters().stale, 1U);

    // Numbers wrap at 2^32.
    sm::Lockstep wrapping(six_rotary());
    wrapping.restart(3);
    wrapping.receive(status(0xFFFFFFFFU).span(), decoded);
    wrapping.answer_holding({});
    EXPECT_EQ(wrapping.receive(status(0).span(), decoded), sm::Lockstep::Reception::fresh);
    EXPECT_EQ(wrapping.counters().skipped, 0U);
    EXPECT_EQ(read_command(wrapping.answer_holding({})).sequence, 0U);
    EXPECT_EQ(wrapping.receive(status(0xFFFFFFFEU).span(), decoded), sm::Lockstep::Reception::stale);

    // A new Start numbers afresh, whatever came before.
    wrapping.restart(3);
    EXPECT_EQ(wrapping.receive(status(1).span(), decoded), sm::Lockstep::Reception::fresh);
    EXPECT_EQ(wrapping.due(), 1U);
    EXPECT_EQ(wrapping.counters().stale, 0U);
}

TEST(StreamMotionLockstep, HoldingAnswersTheReportedJointsExactly) {
    sm::Lockstep lockstep(six_rotary());
    lockstep.restart(3);
    sm::StreamStatus decoded;
    lockstep.receive(status(1, 0b100).span(), decoded);
    const auto seen = read_command(lockstep.answer_holding({.motion = false, .last = false}));
    EXPECT_FALSE(seen.motion);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(seen.position[i], static_cast<double>(joints[i]));

    // The I/O array the loop filled goes with every command.
    lockstep.io_command()[3] = 0x99;
    lockstep.receive(status(2).span(), decoded);
    const auto bytes = lockstep.answer_holding({});
    EXPECT_EQ(bytes[88 + 3], 0x99);
}

TEST(StreamMotionLockstep, AVersionOneStatusIsAnsweredWithAVersionOneCommand) {
    sm::Lockstep lockstep(six_rotary());
    lockstep.restart(3);
    Bytes v1(132);
    v1.u32(0, 0).u32(4, 3).u32(8, 21).u8(12, 1);
    for (int i = 0; i < 9; ++i) v1.f32(60 + 4 * i, joints[i]);
    sm::StreamStatus decoded;
    ASSERT_EQ(lockstep.receive(v1.span(), decoded), sm::Lockstep::Reception::fresh);
    EXPECT_TRUE(decoded.v1_layout);
    EXPECT_TRUE(decoded.ready);
    EXPECT_NEAR(decoded.joints[1], joints[1] * rad, 1e-12);

    // A value no single-precision field holds is not sent as an infinity.
    EXPECT_TRUE(lockstep.answer(std::vector<double>{0.0, 1e300, 0.0, 0.0, 0.0, 0.0}, {}).empty());
    const std::vector<double> target{0.0, 0.5, 0.0, 0.0, 0.0, 0.0};
    const Bytes command(lockstep.answer(target, {.motion = true, .last = true}));
    ASSERT_EQ(command.size(), 64U);
    EXPECT_EQ(command.get_u32(0), 1U);
    EXPECT_EQ(command.get_u32(4), 3U);  // in the version the status gave
    EXPECT_EQ(command.get_u32(8), 21U);
    EXPECT_EQ(command.get_u8(12), 1);
    EXPECT_EQ(command.get_u8(18), 1);  // joint data
    EXPECT_NEAR(command.get_f32(28 + 4), 0.5 / rad, 1e-4);
    EXPECT_EQ(command.get_f32(28 + 4 * 7), joints[7]);
}

TEST(StreamMotionLockstep, OtherDatagramsAreToldApartFromStatuses) {
    sm::Lockstep lockstep(six_rotary());
    lockstep.restart(3);
    sm::StreamStatus decoded;
    EXPECT_EQ(lockstep.receive(Bytes(184).u32(0, 3).u32(4, 3).u32(8, 1).span(), decoded),
              sm::Lockstep::Reception::not_status);
    EXPECT_EQ(lockstep.receive(Bytes(387).span(), decoded), sm::Lockstep::Reception::malformed);
    EXPECT_EQ(lockstep.decode_error(), sm::DecodeError::wrong_size);
    EXPECT_EQ(lockstep.receive(orvane_test::wire::status_packet(7, 1, 0, 0, joints).span(), decoded),
              sm::Lockstep::Reception::malformed);
    EXPECT_EQ(lockstep.decode_error(), sm::DecodeError::wrong_version);
    EXPECT_EQ(lockstep.counters().malformed, 2U);
    EXPECT_EQ(lockstep.due(), 0U);

    // Too few positions for the streamed axes, or one that is not finite:
    // nothing is encoded, nothing owed is lost.
    lockstep.receive(status(1).span(), decoded);
    EXPECT_TRUE(lockstep.answer(std::vector<double>{0.0, 0.0}, {}).empty());
    EXPECT_TRUE(lockstep.answer(std::vector<double>{0.0, 0.0, 0.0, 0.0, NAN, 0.0}, {}).empty());
    EXPECT_TRUE(lockstep.answer(std::vector<double>{0.0, -INFINITY, 0.0, 0.0, 0.0, 0.0}, {}).empty());
    EXPECT_EQ(lockstep.due(), 1U);
    EXPECT_EQ(read_command(lockstep.answer(std::vector<double>(6, 0.0), {})).sequence, 1U);
}

TEST(StreamMotionLockstep, TheMostSevereFaultOfAStatusNamesTheOutcome) {
    sm::StreamStatus s;
    s.ready = true;
    EXPECT_EQ(sm::fault_of(s), sm::StatusFault::none);
    s.ready = false;
    EXPECT_EQ(sm::result_of(sm::fault_of(s)), orvane::drivers::Result::ErrorControllerProgramStopped);
    s.in_error = true;
    EXPECT_EQ(sm::result_of(sm::fault_of(s)), orvane::drivers::Result::ErrorControllerAlarmActive);
    s.tp_enabled = true;
    EXPECT_EQ(sm::result_of(sm::fault_of(s)), orvane::drivers::Result::ErrorControllerNotInAutoMode);
    s.e_stopped = true;  // an E-stop also raises the alarm bit: the E-stop is what the user needs to hear
    EXPECT_EQ(sm::result_of(sm::fault_of(s)), orvane::drivers::Result::ErrorControllerEStopActive);
}
