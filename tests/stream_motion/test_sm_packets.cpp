// Stream Motion packets against their byte layouts: every packet the host
// sends is encoded byte for byte as the controller's tables lay it out, every
// packet a controller sends is read from bytes laid out the same way, and a
// datagram of the wrong size, type or version is refused.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <variant>
#include <vector>

#include "orvane/drivers/fanuc/stream_motion_io.hpp"
#include "orvane/drivers/fanuc/stream_motion_packets.hpp"
#include "stream_motion/wire_bytes.hpp"

namespace sm = orvane::drivers::stream_motion;
using orvane_test::wire::Bytes;

namespace {

template <typename Packet>
std::vector<std::uint8_t> encoded(const Packet& packet) {
    std::vector<std::uint8_t> out(sm::max_packet_size + 8, 0xAA);
    const auto size = sm::encode(packet, out);
    out.resize(size);
    return out;
}

// Values whose bytes differ from one another and from their neighbours, so
// that a field written at the wrong offset or in the wrong order shows.
constexpr std::array<double, 9> positions{12.5, -33.25, 0.001, 179.875, -90.5, 1e-9, 1234.5678, -0.0625, 7.0};
constexpr float joints[9] = {10.5f, -20.25f, 30.125f, -40.0625f, 50.5f, -60.75f, 1500.5f, -2.5f, 0.125f};

template <typename Packet>
std::optional<Packet> read(std::span<const std::uint8_t> datagram) {
    Packet packet;
    if (sm::decode(datagram, packet)) return std::nullopt;
    return packet;
}

template <typename Packet>
std::optional<sm::DecodeError> refusal(std::span<const std::uint8_t> datagram) {
    Packet packet;
    return sm::decode(datagram, packet);
}

std::optional<sm::ControllerPacket> read_any(std::span<const std::uint8_t> datagram) {
    sm::ControllerPacket packet;
    if (sm::decode_controller_packet(datagram, packet)) return std::nullopt;
    return packet;
}

}  // namespace

// --- what the host sends -------------------------------------------------------------

TEST(StreamMotionPacketsSent, StartStopAndThresholdRequestCarryTypeVersionAndFieldsBigEndian) {
    EXPECT_EQ(encoded(sm::StartPacket{.version = 4}), Bytes(8).u32(0, 200).u32(4, 4).data());
    EXPECT_EQ(encoded(sm::StartPacket{.version = 1}), Bytes(8).u32(0, 0).u32(4, 1).data());
    EXPECT_EQ(encoded(sm::StopPacket{.version = 3}), Bytes(8).u32(0, 2).u32(4, 3).data());
    EXPECT_EQ(encoded(sm::ThresholdRequest{.version = 3, .axis = 6, .kind = sm::LimitKind::jerk}),
              Bytes(16).u32(0, 3).u32(4, 3).u32(8, 6).u32(12, 2).data());
    EXPECT_EQ(encoded(sm::ThresholdRequest{.version = 4, .axis = 9, .kind = sm::LimitKind::acceleration}),
              Bytes(16).u32(0, 3).u32(4, 4).u32(8, 9).u32(12, 1).data());
}

TEST(StreamMotionPacketsSent, CapabilityRequestsGetAndSetInOneLayout) {
    const sm::CapabilityPacket get{.set = false, .version = 3, .id = 1};
    EXPECT_EQ(encoded(get), Bytes(28).u32(0, 7).u32(4, 3).u32(8, 1).data());
    const sm::CapabilityPacket set{.set = true,
                                   .version = 3,
                                   .id = 1,
                                   .sampling_rate = 8,
                                   .start_move = 5,
                                   .available_version = 4,
                                   .rob_status_use_tcp = 1};
    EXPECT_EQ(encoded(set), Bytes(28).u32(0, 8).u32(4, 3).u32(8, 1).u32(12, 8).u32(16, 5).u32(20, 4).u32(24, 1).data());
}

TEST(StreamMotionPacketsSent, GpioConfigurationHasThirtyTwoEntriesOfSixteenBytes) {
    sm::GpioConfigPacket packet{.version = 3};
    packet.entries[0] = {sm::GpioEntry::Use::io_command, sm::GpioEntry::Port::digital_out, 1, 16};
    packet.entries[1] = {sm::GpioEntry::Use::io_state, sm::GpioEntry::Port::analog_in, 3, 2};
    packet.entries[31] = {sm::GpioEntry::Use::register_state, sm::GpioEntry::Port::float_register, 100, 4};
    Bytes expected(520);
    expected.u32(0, 203).u32(4, 3);
    expected.u32(8, 1).u32(12, 0).u32(16, 1).u32(20, 16);
    expected.u32(24, 2).u32(28, 5).u32(32, 3).u32(36, 2);
    expected.u32(8 + 16 * 31, 4).u32(12 + 16 * 31, 100).u32(16 + 16 * 31, 100).u32(20 + 16 * 31, 4);
    EXPECT_EQ(encoded(packet), expected.data());
}

TEST(StreamMotionPacketsSent, ForceSensorConfiguration) {
    EXPECT_EQ(encoded(sm::ForceSensorConfigPacket{.version = 4, .do_reset = 1, .fs_type = 2}),
              Bytes(16).u32(0, 205).u32(4, 4).u32(8, 1).u32(12, 2).data());
}

TEST(StreamMotionPacketsSent, CommandCarriesDoublePositionsJointStyleAndItsIoArray) {
    sm::CommandPacket packet{.version = 4, .sequence_no = 0xDEADBEEF, .is_last_command = true, .do_motion_control = true};
    packet.position = positions;
    packet.io_command[0] = 0x5A;
    packet.io_command[255] = 0xC3;
    Bytes expected(344);
    expected.u32(0, 201).u32(4, 4).u32(8, 0xDEADBEEF).u8(12, 1).u8(13, 1).u16(14, 0xFFFF);
    for (int i = 0; i < 9; ++i) expected.f64(16 + 8 * i, positions[i]);
    expected.u8(88, 0x5A).u8(343, 0xC3);
    EXPECT_EQ(encoded(packet), expected.data());

    // I/O only, not the last: both flag bytes zero.
    packet.is_last_command = false;
    packet.do_motion_control = false;
    const auto bytes = encoded(packet);
    EXPECT_EQ(bytes[12], 0);
    EXPECT_EQ(bytes[13], 0);
}

TEST(StreamMotionPacketsSent, VersionOneCommandCarriesSinglePrecisionAndOneIoReadAndWrite) {
    sm::CommandV1Packet packet{.version = 3,
                               .sequence_no = 77,
                               .is_last_command = true,
                               .read_io_type = 2,
                               .read_io_index = 0x0102,
                               .read_io_mask = 0x0304,
                               .data_style = 1,
                               .write_io_type = 9,
                               .write_io_index = 0x0506,
                               .write_io_mask = 0x0708,
                               .write_io_value = 0x090A};
    for (int i = 0; i < 9; ++i) packet.position[i] = joints[i];
    Bytes expected(64);
    expected.u32(0, 1).u32(4, 3).u32(8, 77).u8(12, 1).u8(13, 2).u16(14, 0x0102).u16(16, 0x0304).u8(18, 1).u8(19, 9);
    expected.u16(20, 0x0506).u16(22, 0x0708).u16(24, 0x090A);
    for (int i = 0; i < 9; ++i) expected.f32(28 + 4 * i, joints[i]);
    EXPECT_EQ(encoded(packet), expected.data());
}

TEST(StreamMotionPacketsSent, EncodingIntoATooShortBufferWritesNothing) {
    std::array<std::uint8_t, 343> short_buffer{};
    short_buffer.fill(0x11);
    EXPECT_EQ(sm::encode(sm::CommandPacket{}, short_buffer), 0U);
    for (const auto byte : short_buffer) ASSERT_EQ(byte, 0x11);
    std::array<std::uint8_t, 7> tiny{};
    EXPECT_EQ(sm::encode(sm::StopPacket{}, tiny), 0U);
}

// --- what a controller sends ----------------------------------------------------------

TEST(StreamMotionPacketsReceived, StatusOfVersionThreeIsReadAtItsOffsets) {
    auto bytes = orvane_test::wire::status_packet(3, 0x01020304, 0b1011, 0b101, joints);
    bytes.u8(14, 3).u32(16, 123456);
    for (int i = 0; i < 9; ++i) {
        bytes.f32(20 + 4 * i, 100.0f + static_cast<float>(i));
        bytes.f32(92 + 4 * i, -1.5f * static_cast<float>(i));
    }
    bytes.f32(128, 0.25f).u8(132, 0xA5).u8(387, 0x3C);

    const auto status = read<sm::StatusPacket>(bytes.span());
    ASSERT_TRUE(status.has_value());
    EXPECT_FALSE(status->with_force);
    EXPECT_EQ(status->version, 3U);
    EXPECT_EQ(status->sequence_no, 0x01020304U);
    EXPECT_EQ(status->status, 0b1011);
    EXPECT_EQ(status->robot_status, 0b101);
    EXPECT_EQ(status->contact_stop_status, 3);
    EXPECT_EQ(status->time_stamp, 123456U);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(status->position[i], 100.0f + static_cast<float>(i));
        EXPECT_EQ(status->joint_angle[i], joints[i]);
        EXPECT_EQ(status->current[i], -1.5f * static_cast<float>(i));
    }
    EXPECT_EQ(status->safety_scale, 0.25f);
    EXPECT_EQ(status->io_status[0], 0xA5);
    EXPECT_EQ(status->io_status[255], 0x3C);
}

TEST(StreamMotionPacketsReceived, StatusOfVersionFourAddsForceDataBeforeItsIoArray) {
    auto bytes = orvane_test::wire::status_packet(4, 9, 1, 0, joints, true);
    const float force[6] = {1.5f, -2.5f, 3.5f, -0.125f, 0.25f, -0.5f};
    for (int i = 0; i < 6; ++i) bytes.f32(132 + 4 * i, force[i]);
    bytes.u32(156, 0xFFFFFFFF).u8(160, 0x77).u8(415, 0x88);

    const auto status = read<sm::StatusPacket>(bytes.span());
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(status->with_force);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(status->force[i], force[i]);
    EXPECT_EQ(status->fs_type, 0xFFFFFFFFU);
    EXPECT_EQ(status->io_status[0], 0x77);
    EXPECT_EQ(status->io_status[255], 0x88);
    EXPECT_EQ(status->joint_angle[6], joints[6]);
}

TEST(StreamMotionPacketsReceived, StatusOfVersionOneLayoutEvenWhenItReportsVersionThree) {
    Bytes bytes(132);
    bytes.u32(0, 0).u32(4, 3).u32(8, 41).u8(12, 0b1001).u8(13, 2).u16(14, 0x0A0B).u16(16, 0x0C0D).u16(18, 0x0E0F);
    bytes.u32(20, 8000);
    for (int i = 0; i < 9; ++i) {
        bytes.f32(24 + 4 * i, static_cast<float>(i) * 10.0f);
        bytes.f32(60 + 4 * i, joints[i]);
        bytes.f32(96 + 4 * i, static_cast<float>(i) * 0.5f);
    }
    const auto status = read<sm::StatusV1Packet>(bytes.span());
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->version, 3U);
    EXPECT_EQ(status->sequence_no, 41U);
    EXPECT_EQ(status->status, 0b1001);
    EXPECT_EQ(status->read_io_type, 2);
    EXPECT_EQ(status->read_io_index, 0x0A0B);
    EXPECT_EQ(status->read_io_mask, 0x0C0D);
    EXPECT_EQ(status->read_io_value, 0x0E0F);
    EXPECT_EQ(status->time_stamp, 8000U);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(status->position[i], static_cast<float>(i) * 10.0f);
        EXPECT_EQ(status->joint_angle[i], joints[i]);
        EXPECT_EQ(status->current[i], static_cast<float>(i) * 0.5f);
    }
}

TEST(StreamMotionPacketsReceived, ThresholdAnswerHoldsTwentyEntriesWithoutAndWithPayload) {
    Bytes bytes(184);
    bytes.u32(0, 3).u32(4, 3).u32(8, 2).u32(12, 1).u32(16, 2000).u32(20, 8);
    for (int i = 0; i < 20; ++i) {
        bytes.f32(24 + 4 * i, 265.0f - static_cast<float>(i));
        bytes.f32(104 + 4 * i, 200.0f - static_cast<float>(i));
    }
    const auto answer = read<sm::ThresholdAnswer>(bytes.span());
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->axis, 2U);
    EXPECT_EQ(answer->kind, sm::LimitKind::acceleration);
    EXPECT_EQ(answer->max_cartesian_speed, 2000U);
    EXPECT_EQ(answer->interval, 8U);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(answer->no_payload[i], 265.0f - static_cast<float>(i));
        EXPECT_EQ(answer->full_payload[i], 200.0f - static_cast<float>(i));
    }
}

TEST(StreamMotionPacketsReceived, CapabilityAndGpioResultAnswers) {
    const auto capability =
        read<sm::CapabilityPacket>(Bytes(28).u32(0, 7).u32(4, 3).u32(8, 1).u32(12, 8).u32(16, 2).u32(20, 4).u32(24, 1).span());
    ASSERT_TRUE(capability.has_value());
    EXPECT_FALSE(capability->set);
    EXPECT_EQ(capability->sampling_rate, 8U);
    EXPECT_EQ(capability->start_move, 2U);
    EXPECT_EQ(capability->available_version, 4U);
    EXPECT_EQ(capability->rob_status_use_tcp, 1U);

    // The result has no version field: the result code sits where others keep it.
    const auto gpio = read<sm::GpioResultPacket>(Bytes(12).u32(0, 203).u32(4, 2).u32(8, 96).span());
    ASSERT_TRUE(gpio.has_value());
    EXPECT_EQ(gpio->result, 2U);
    EXPECT_EQ(gpio->ptf, 96U);
}

TEST(StreamMotionPacketsReceived, AnyControllerDatagramIsToldApartBySize) {
    const auto status = read_any(orvane_test::wire::status_packet(3, 1, 0, 0, joints).span());
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(std::holds_alternative<sm::StatusPacket>(*status));
    const auto force_bytes = orvane_test::wire::status_packet(4, 1, 0, 0, joints, true);
    const auto with_force = read_any(force_bytes.span());
    ASSERT_TRUE(with_force.has_value());
    EXPECT_TRUE(std::get<sm::StatusPacket>(*with_force).with_force);
    const auto v1 = read_any(Bytes(132).u32(4, 1).span());
    ASSERT_TRUE(v1.has_value());
    EXPECT_TRUE(std::holds_alternative<sm::StatusV1Packet>(*v1));
    const auto table = read_any(Bytes(184).u32(0, 3).u32(4, 3).u32(8, 1).span());
    ASSERT_TRUE(table.has_value());
    EXPECT_TRUE(std::holds_alternative<sm::ThresholdAnswer>(*table));
    const auto capability = read_any(Bytes(28).u32(0, 7).u32(4, 3).span());
    ASSERT_TRUE(capability.has_value());
    EXPECT_TRUE(std::holds_alternative<sm::CapabilityPacket>(*capability));
    const auto gpio = read_any(Bytes(12).u32(0, 203).span());
    ASSERT_TRUE(gpio.has_value());
    EXPECT_TRUE(std::holds_alternative<sm::GpioResultPacket>(*gpio));
}

// The host's packets decode too (for a controller of the tests' own), and
// every packet survives its own round trip.
TEST(StreamMotionPacketsReceived, HostPacketsReadBackAsWritten) {
    sm::CommandPacket command{.version = 3, .sequence_no = 5, .is_last_command = true, .do_motion_control = false};
    command.position = positions;
    command.io_command[17] = 0x42;
    const auto command_back = read<sm::CommandPacket>(encoded(command));
    ASSERT_TRUE(command_back.has_value());
    EXPECT_EQ(command_back->sequence_no, 5U);
    EXPECT_TRUE(command_back->is_last_command);
    EXPECT_FALSE(command_back->do_motion_control);
    EXPECT_EQ(command_back->data_style, 0xFFFF);
    EXPECT_EQ(command_back->position, positions);
    EXPECT_EQ(command_back->io_command, command.io_command);

    sm::GpioConfigPacket gpio{.version = 4};
    gpio.entries[3] = {sm::GpioEntry::Use::register_command, sm::GpioEntry::Port::float_register, 7, 3};
    const auto gpio_back = read<sm::GpioConfigPacket>(encoded(gpio));
    ASSERT_TRUE(gpio_back.has_value());
    EXPECT_EQ(gpio_back->entries[3].use, sm::GpioEntry::Use::register_command);
    EXPECT_EQ(gpio_back->entries[3].start, 7U);
    EXPECT_EQ(gpio_back->entries[3].length, 3U);

    EXPECT_EQ(read<sm::StartPacket>(encoded(sm::StartPacket{.version = 1}))->version, 1U);
    EXPECT_EQ(read<sm::StartPacket>(encoded(sm::StartPacket{.version = 4}))->version, 4U);
    EXPECT_EQ(read<sm::StopPacket>(encoded(sm::StopPacket{.version = 4}))->version, 4U);
    const sm::ThresholdRequest request{.axis = 5, .kind = sm::LimitKind::jerk};
    EXPECT_EQ(read<sm::ThresholdRequest>(encoded(request))->kind, sm::LimitKind::jerk);
    EXPECT_EQ(read<sm::ForceSensorConfigPacket>(encoded(sm::ForceSensorConfigPacket{.fs_type = 2}))->fs_type, 2U);
    EXPECT_EQ(read<sm::CapabilityPacket>(encoded(sm::CapabilityPacket{.set = true, .available_version = 4}))->set, true);

    sm::CommandV1Packet v1{.sequence_no = 9, .write_io_value = 0x1234};
    v1.position[8] = -1.25f;
    const auto v1_back = read<sm::CommandV1Packet>(encoded(v1));
    ASSERT_TRUE(v1_back.has_value());
    EXPECT_EQ(v1_back->write_io_value, 0x1234);
    EXPECT_EQ(v1_back->position[8], -1.25f);

    sm::StatusPacket status{.with_force = true, .version = 4, .sequence_no = 3, .fs_type = 1};
    status.joint_angle[2] = 45.5f;
    status.force[5] = -9.0f;
    const auto status_back = read<sm::StatusPacket>(encoded(status));
    ASSERT_TRUE(status_back.has_value());
    EXPECT_EQ(status_back->joint_angle[2], 45.5f);
    EXPECT_EQ(status_back->force[5], -9.0f);
    EXPECT_EQ(encoded(status).size(), 416U);

    sm::ThresholdAnswer table{.axis = 4, .kind = sm::LimitKind::velocity, .max_cartesian_speed = 1500};
    table.full_payload[19] = 12.5f;
    EXPECT_EQ(read<sm::ThresholdAnswer>(encoded(table))->full_payload[19], 12.5f);
    EXPECT_EQ(read<sm::GpioResultPacket>(encoded(sm::GpioResultPacket{.result = 2, .ptf = 7}))->ptf, 7U);
    sm::StatusV1Packet status_v1{.sequence_no = 12};
    EXPECT_EQ(read<sm::StatusV1Packet>(encoded(status_v1))->sequence_no, 12U);
}

// --- malformed datagrams ------------------------------------------------------------

struct Malformed {
    const char* name;
    std::vector<std::uint8_t> datagram;
    sm::DecodeError error;
};

class StreamMotionPacketsRefused : public ::testing::TestWithParam<Malformed> {};

TEST_P(StreamMotionPacketsRefused, ByTheControllerPacketDecoder) {
    sm::ControllerPacket packet{sm::GpioResultPacket{.result = 77}};
    EXPECT_EQ(sm::decode_controller_packet(GetParam().datagram, packet), GetParam().error);
    // What the caller held is left as it was.
    ASSERT_TRUE(std::holds_alternative<sm::GpioResultPacket>(packet));
    EXPECT_EQ(std::get<sm::GpioResultPacket>(packet).result, 77U);
}

namespace {

std::vector<std::uint8_t> status_bytes(std::uint32_t type, std::uint32_t version, std::size_t size) {
    return Bytes(size).u32(0, type).u32(4, version).data();
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    WrongSizeTypeOrVersion, StreamMotionPacketsRefused,
    ::testing::Values(Malformed{"Empty", {}, sm::DecodeError::wrong_size},
                      Malformed{"TooShortForAHeader", {0, 0, 0, 202, 0, 0}, sm::DecodeError::wrong_size},
                      Malformed{"StatusOneByteShort", status_bytes(202, 3, 387), sm::DecodeError::wrong_size},
                      Malformed{"StatusOneByteLong", status_bytes(202, 3, 389), sm::DecodeError::wrong_size},
                      Malformed{"CommandSizedDatagram", status_bytes(201, 3, 344), sm::DecodeError::wrong_size},
                      Malformed{"StatusSizeWithTypeOfVersionFour", status_bytes(204, 4, 388),
                                sm::DecodeError::wrong_type},
                      Malformed{"ForceStatusSizeWithTypeOfVersionThree", status_bytes(202, 3, 416),
                                sm::DecodeError::wrong_type},
                      Malformed{"StatusOfVersionTwo", status_bytes(202, 2, 388), sm::DecodeError::wrong_version},
                      Malformed{"StatusOfVersionFive", status_bytes(202, 5, 388), sm::DecodeError::wrong_version},
                      Malformed{"ForceStatusOfVersionThree", status_bytes(204, 3, 416), sm::DecodeError::wrong_version},
                      Malformed{"VersionOneStatusOfVersionFour", status_bytes(0, 4, 132), sm::DecodeError::wrong_version},
                      Malformed{"VersionOneStatusOfVersionZero", status_bytes(0, 0, 132), sm::DecodeError::wrong_version},
                      Malformed{"VersionOneStatusWithAnotherType", status_bytes(1, 1, 132), sm::DecodeError::wrong_type},
                      Malformed{"ThresholdOfTypeSeven", status_bytes(7, 3, 184), sm::DecodeError::wrong_type},
                      Malformed{"ThresholdForAxisZero", Bytes(184).u32(0, 3).u32(4, 3).u32(8, 0).data(),
                                sm::DecodeError::bad_field},
                      Malformed{"ThresholdForAxisTen", Bytes(184).u32(0, 3).u32(4, 3).u32(8, 10).data(),
                                sm::DecodeError::bad_field},
                      Malformed{"ThresholdOfKindThree", Bytes(184).u32(0, 3).u32(4, 3).u32(8, 1).u32(12, 3).data(),
                                sm::DecodeError::bad_field},
                      Malformed{"CapabilityOfTypeNine", status_bytes(9, 3, 28), sm::DecodeError::wrong_type},
                      Malformed{"CapabilityOfVersionZero", status_bytes(7, 0, 28), sm::DecodeError::wrong_version},
                      Malformed{"GpioResultOfAnotherType", status_bytes(3, 0, 12), sm::DecodeError::wrong_type}),
    [](const ::testing::TestParamInfo<Malformed>& info) { return info.param.name; });

TEST(StreamMotionPacketsRefused, EachDecoderRefusesAnotherPacketsBytes) {
    const auto status = orvane_test::wire::status_packet(3, 1, 0, 0, joints);
    EXPECT_EQ(refusal<sm::StatusV1Packet>(status.span()), sm::DecodeError::wrong_size);
    EXPECT_EQ(refusal<sm::CommandPacket>(status.span()), sm::DecodeError::wrong_size);
    EXPECT_EQ(refusal<sm::ThresholdAnswer>(status.span()), sm::DecodeError::wrong_size);
    // A Stop is no Start, and the reverse; a Start of version 1 layout must say 1 to 3.
    EXPECT_EQ(refusal<sm::StartPacket>(Bytes(8).u32(0, 2).u32(4, 3).span()), sm::DecodeError::wrong_type);
    EXPECT_EQ(refusal<sm::StopPacket>(Bytes(8).u32(0, 200).u32(4, 3).span()), sm::DecodeError::wrong_type);
    EXPECT_EQ(refusal<sm::StartPacket>(Bytes(8).u32(0, 0).u32(4, 4).span()), sm::DecodeError::wrong_version);
    EXPECT_EQ(refusal<sm::StartPacket>(Bytes(8).u32(0, 200).u32(4, 1).span()), sm::DecodeError::wrong_version);
    // The force-sensor configuration exists from version 4 on.
    EXPECT_EQ(refusal<sm::ForceSensorConfigPacket>(Bytes(16).u32(0, 205).u32(4, 3).span()),
              sm::DecodeError::wrong_version);
    EXPECT_EQ(refusal<sm::CommandPacket>(Bytes(344).u32(0, 201).u32(4, 1).span()), sm::DecodeError::wrong_version);
    EXPECT_EQ(refusal<sm::ThresholdRequest>(Bytes(16).u32(0, 3).u32(4, 3).u32(8, 1).u32(12, 9).span()),
              sm::DecodeError::bad_field);
}

// --- the values inside the I/O arrays ---------------------------------------------------

namespace {

using Use = sm::GpioEntry::Use;
using Port = sm::GpioEntry::Port;

std::vector<sm::GpioEntry> sample_configuration() {
    return {
        {Use::io_state, Port::digital_in, 1, 10},         // status bytes 0..1, padded to 4
        {Use::io_command, Port::digital_out, 1, 20},      // command bytes 0..2, padded to 4
        {Use::io_state, Port::analog_in, 1, 3},           // status bytes 4..9, padded to 12
        {Use::none, Port::digital_out, 0, 0},             // unused entries are skipped
        {Use::register_state, Port::float_register, 1, 2},  // status bytes 12..19
        {Use::register_command, Port::float_register, 5, 1},  // command bytes 4..7
        {Use::io_command, Port::analog_out, 2, 1},        // command bytes 8..9, padded to 12
    };
}

}  // namespace

TEST(StreamMotionIoArrays, BlocksLieInConfigurationOrderPaddedToFourBytes) {
    sm::IoLayout layout;
    const auto refused = sm::IoLayout::build(sample_configuration(), layout);
    ASSERT_FALSE(refused.has_value()) << *refused;
    EXPECT_EQ(layout.status_bytes(), 20U);
    EXPECT_EQ(layout.command_bytes(), 12U);

    Bytes status(256);
    status.u8(1, 0b10);              // DI[10]: point 9, byte 1, bit 1
    status.le16(4 + 2 * 1, 0x1234);  // AI[2]
    status.le_f32(12 + 4, -2.5f);    // R[2]
    std::array<std::uint8_t, 256> io{};
    std::copy(status.data().begin(), status.data().end(), io.begin());
    EXPECT_EQ(layout.digital_state(io, Port::digital_in, 10), true);
    EXPECT_EQ(layout.digital_state(io, Port::digital_in, 9), false);
    EXPECT_EQ(layout.digital_state(io, Port::digital_in, 11), std::nullopt);
    EXPECT_EQ(layout.analog_state(io, Port::analog_in, 2), 0x1234);
    EXPECT_EQ(layout.register_state(io, 2), -2.5f);
    EXPECT_EQ(layout.register_state(io, 3), std::nullopt);
    // A command port is not reported as a state.
    EXPECT_EQ(layout.digital_state(io, Port::digital_out, 1), std::nullopt);

    std::array<std::uint8_t, 256> command{};
    EXPECT_TRUE(layout.set_digital_command(command, Port::digital_out, 9, true));    // byte 1, bit 0
    EXPECT_TRUE(layout.set_digital_command(command, Port::digital_out, 20, true));   // byte 2, bit 3
    EXPECT_TRUE(layout.set_register_command(command, 5, 1.5f));
    EXPECT_TRUE(layout.set_analog_command(command, Port::analog_out, 2, 0xBEEF));
    EXPECT_FALSE(layout.set_digital_command(command, Port::digital_out, 21, true));
    EXPECT_FALSE(layout.set_digital_command(command, Port::digital_in, 1, true));
    EXPECT_FALSE(layout.set_register_command(command, 1, 3.0f));
    Bytes expected(256);
    expected.u8(1, 0b1).u8(2, 0b1000).le_f32(4, 1.5f).le16(8, 0xBEEF);
    EXPECT_TRUE(std::equal(command.begin(), command.end(), expected.data().begin()));

    EXPECT_TRUE(layout.set_digital_command(command, Port::digital_out, 9, false));
    EXPECT_EQ(command[1], 0);
    EXPECT_EQ(layout.digital_command(command, Port::digital_out, 20), true);

    const auto packet = layout.config_packet(3);
    EXPECT_EQ(packet.entries[3].use, Use::register_state);  // the unused entry is not sent
    EXPECT_EQ(packet.entries[6].use, Use::none);
}

TEST(StreamMotionIoArrays, ConfigurationsThatCannotWorkAreRefusedWithTheBlockNamed) {
    const auto refused = [](std::vector<sm::GpioEntry> entries) {
        sm::IoLayout layout;
        const auto reason = sm::IoLayout::build(entries, layout);
        EXPECT_EQ(layout.empty(), reason.has_value());  // nothing half laid out
        return reason.value_or("");
    };
    EXPECT_NE(refused({{Use::io_state, Port::float_register, 1, 1}}).find("register block used as I/O"),
              std::string::npos);
    EXPECT_NE(refused({{Use::register_command, Port::digital_out, 1, 1}}).find("I/O block used as a register"),
              std::string::npos);
    EXPECT_NE(refused({{Use::io_command, Port::digital_out, 0, 4}}).find("index 0"), std::string::npos);
    EXPECT_NE(refused({{Use::io_command, Port::digital_out, 1, 0}}).find("no points"), std::string::npos);
    EXPECT_NE(refused({{Use::io_command, Port::digital_out, 1, 16}, {Use::io_command, Port::digital_out, 9, 4}})
                  .find("I/O block 2"),
              std::string::npos);
    // The same points as a command and as a state do not collide.
    EXPECT_EQ(refused({{Use::io_command, Port::digital_out, 1, 16}, {Use::io_state, Port::digital_out, 1, 16}}), "");
    // 64 registers fill an array exactly; one more does not fit.
    EXPECT_EQ(refused({{Use::register_state, Port::float_register, 1, 64}}), "");
    EXPECT_NE(refused({{Use::register_state, Port::float_register, 1, 64}, {Use::io_state, Port::digital_in, 1, 1}})
                  .find("does not fit"),
              std::string::npos);
    EXPECT_NE(refused({{static_cast<Use>(9), Port::digital_in, 1, 1}}).find("unknown use"), std::string::npos);
    EXPECT_NE(refused({{Use::io_state, static_cast<Port>(50), 1, 1}}).find("unknown port"), std::string::npos);
}
