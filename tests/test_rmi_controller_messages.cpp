// Wire text of the controller data requests and parsing of their answers:
// units (mm/deg on the wire, m/rad in the driver), the "Unknown" answer of
// older firmware, and values the wire cannot carry.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "orvane/drivers/fanuc/fanuc_controller_types.hpp"
#include "orvane/drivers/fanuc/rmi_controller_requests.hpp"
#include "orvane/drivers/fanuc/rmi_controller_responses.hpp"
#include "orvane/drivers/fanuc/rmi_message.hpp"
#include "orvane/log/orvane_error.hpp"

using namespace orvane::drivers;
using nlohmann::json;

namespace {

constexpr double deg = std::numbers::pi / 180.0;

std::string wire(RmiMessage&& message) { return message.as_string(); }
json body_of(RmiMessage&& message) { return json::parse(message.as_string()); }
std::shared_ptr<RmiResponse> parse(const std::string& line) { return RmiResponse::from_str(line); }

}  // namespace

TEST(ControllerRequestText, IoAndRegisterPacketsCarryTypeNumberAndValue) {
    EXPECT_EQ(wire(ReadIOPortRequest("AI", 3)), "{\"Command\":\"FRC_ReadIOPort\",\"PortNumber\":3,\"PortType\":\"AI\"}\r\n");
    EXPECT_EQ(wire(WriteIOPortRequest("GO", 2, std::int64_t{255})),
              "{\"Command\":\"FRC_WriteIOPort\",\"PortNumber\":2,\"PortType\":\"GO\",\"PortValue\":255}\r\n");
    EXPECT_EQ(wire(WriteIOPortRequest("AO", 1, 2.5)),
              "{\"Command\":\"FRC_WriteIOPort\",\"PortNumber\":1,\"PortType\":\"AO\",\"PortValue\":2.5}\r\n");
    EXPECT_EQ(wire(ReadRegisterRequest(7)), "{\"Command\":\"FRC_ReadRegister\",\"RegisterNumber\":7}\r\n");
    EXPECT_EQ(wire(WriteRegisterRequest(7, std::int32_t{-42})),
              "{\"Command\":\"FRC_WriteRegister\",\"DataType\":\"Integer\",\"RegisterNumber\":7,\"RegisterValue\":-42}\r\n");
    EXPECT_EQ(wire(WriteRegisterRequest(8, 1.0)),
              "{\"Command\":\"FRC_WriteRegister\",\"DataType\":\"Real\",\"RegisterNumber\":8,\"RegisterValue\":1.0}\r\n");
    EXPECT_EQ(wire(SetUFrameUToolRequest(2, 3)),
              "{\"Command\":\"FRC_SetUFrameUTool\",\"UFrameNumber\":2,\"UToolNumber\":3}\r\n");
    EXPECT_EQ(wire(ReadErrorRequest(5)), "{\"Command\":\"FRC_ReadError\",\"Count\":5}\r\n");
    EXPECT_EQ(wire(ReadCartesianPositionRequest()), "{\"Command\":\"FRC_ReadCartesianPosition\"}\r\n");
    EXPECT_EQ(wire(ReadTCPSpeedRequest()), "{\"Command\":\"FRC_ReadTCPSpeed\"}\r\n");
    EXPECT_EQ(wire(GetUFrameUToolRequest()), "{\"Command\":\"FRC_GetUFrameUTool\"}\r\n");
}

TEST(ControllerRequestText, FramesGoOutInMillimetresAndDegrees) {
    const auto frame = orvane::Frame::from_euler(0.1, -0.2, 0.35, 10 * deg, -20 * deg, 90 * deg);
    const auto body = body_of(WriteUToolDataRequest(4, frame));
    EXPECT_EQ(body["ToolNumber"], 4);
    EXPECT_NEAR(body["Frame"]["X"].get<double>(), 100.0, 1e-9);
    EXPECT_NEAR(body["Frame"]["Y"].get<double>(), -200.0, 1e-9);
    EXPECT_NEAR(body["Frame"]["Z"].get<double>(), 350.0, 1e-9);
    EXPECT_NEAR(body["Frame"]["W"].get<double>(), 10.0, 1e-9);
    EXPECT_NEAR(body["Frame"]["P"].get<double>(), -20.0, 1e-9);
    EXPECT_NEAR(body["Frame"]["R"].get<double>(), 90.0, 1e-9);
    EXPECT_EQ(body_of(WriteUFrameDataRequest(2, frame))["FrameNumber"], 2);
}

TEST(ControllerRequestText, PositionRegistersCarryConfigurationOrNineJoints) {
    ArmConfiguration configuration;
    configuration.flip = true;
    configuration.up = false;
    configuration.turn6 = -1;
    const auto cartesian =
        body_of(WritePositionRegisterRequest(12, orvane::Frame::from_translation(0.5, 0, 0.3), 1, 2, configuration));
    EXPECT_EQ(cartesian["Representation"], "Cartesian");
    EXPECT_NEAR(cartesian["Position"]["X"].get<double>(), 500.0, 1e-9);
    EXPECT_EQ(cartesian["Position"]["Ext1"], 0.0);
    EXPECT_EQ(cartesian["Configuration"],
              json({{"UFrameNumber", 1}, {"UToolNumber", 2}, {"Front", 1}, {"Up", 0}, {"Left", 0}, {"Flip", 1},
                    {"Turn4", 0}, {"Turn5", 0}, {"Turn6", -1}}));

    const auto joints = body_of(WritePositionRegisterRequest(3, std::vector<double>{90 * deg, -45 * deg}));
    EXPECT_EQ(joints["Representation"], "Joint");
    EXPECT_NEAR(joints["JointAngle"]["J1"].get<double>(), 90.0, 1e-9);
    EXPECT_NEAR(joints["JointAngle"]["J2"].get<double>(), -45.0, 1e-9);
    EXPECT_EQ(joints["JointAngle"]["J9"], 0.0);
    EXPECT_FALSE(joints.contains("Position"));
}

TEST(ControllerRequestText, ValuesTheWireCannotCarryAreRefused) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW(WriteIOPortRequest("AO", 1, nan), orvane::OrvaneError);
    EXPECT_THROW(WriteRegisterRequest(1, std::numeric_limits<double>::infinity()), orvane::OrvaneError);
    EXPECT_THROW(WriteRegisterRequest(1, 1e300), orvane::OrvaneError);  // beyond single precision
    EXPECT_THROW(WriteUFrameDataRequest(1, orvane::Frame::from_translation(nan, 0, 0)), orvane::OrvaneError);
    EXPECT_THROW(WritePositionRegisterRequest(1, std::vector<double>(10, 0.0)), orvane::OrvaneError);
    EXPECT_THROW(ReadErrorRequest(0), orvane::OrvaneError);
    EXPECT_THROW(ReadErrorRequest(6), orvane::OrvaneError);
}

TEST(ControllerResponseParse, UnknownPacketsAreAnsweredAsFailuresNotFaults) {
    // Older firmware answers a newer packet this way; the link must survive it.
    const auto command = parse(R"({"Command" : "Unknown", "ErrorID" : 2556941})");
    ASSERT_NE(std::dynamic_pointer_cast<UnknownPacketResponse>(command), nullptr);
    EXPECT_FALSE(command->success);
    EXPECT_EQ(command->error_id, 2556941);
    EXPECT_EQ(command->get_id(), "Unknown");

    const auto instruction = parse(R"({"Instruction" : "Unknown", "ErrorID" : 2556941, "SequenceID" : 9})");
    EXPECT_EQ(instruction->get_id(), "Instruction9");
    EXPECT_FALSE(instruction->success);
    // Even an ErrorID of 0 does not make an unknown packet a success.
    EXPECT_FALSE(parse(R"({"Command":"Unknown","ErrorID":0})")->success);
}

TEST(ControllerResponseParse, CartesianPositionComesBackInMetresAndRadians) {
    const auto answer = RmiResponse::as<CartesianPositionResponse>(parse(
        R"({"Command" : "FRC_ReadCartesianPosition", "ErrorID" : 0, "TimeTag" : 77,)"
        R"( "Configuration" : {"UToolNumber" : 2, "UFrameNumber" : 1, "Front" : 1, "Up" : 1, "Left" : 0,)"
        R"( "Flip" : 0, "Turn4" : 0, "Turn5" : 0, "Turn6" : 1},)"
        R"( "Position" : {"X" : 465.000, "Y" : -1.948e-04, "Z" : 695.000, "W" : 180.000, "P" : -90.000,)"
        R"( "R" : 0.000, "Ext1" : 0.000, "Ext2" : 0.000, "Ext3" : 0.000}})"));
    EXPECT_NEAR(answer->pose.translation()[0], 0.465, 1e-12);
    EXPECT_NEAR(answer->pose.translation()[1], -1.948e-07, 1e-15);
    EXPECT_NEAR(answer->pose.translation()[2], 0.695, 1e-12);
    const auto expected = orvane::Frame::from_euler(0.465, 0, 0.695, std::numbers::pi, -std::numbers::pi / 2, 0);
    EXPECT_LT(answer->pose.angular_distance(expected), 1e-9);
    EXPECT_EQ(answer->user_frame, 1);
    EXPECT_EQ(answer->user_tool, 2);
    EXPECT_EQ(answer->configuration.to_string(), "N U T, 0, 0, 1");
    EXPECT_EQ(answer->time_tag, 77);
}

TEST(ControllerResponseParse, SpeedsRegistersPortsAndAlarmsReadWithTheirTypes) {
    EXPECT_DOUBLE_EQ(RmiResponse::as<TCPSpeedResponse>(
                         parse(R"({"Command":"FRC_ReadTCPSpeed","ErrorID":0,"TimeTag":5,"Speed":250.0})"))
                         ->speed,
                     0.25);

    const auto integer = RmiResponse::as<ReadRegisterResponse>(
        parse(R"({"Command":"FRC_ReadRegister","ErrorID":0,"RegisterNumber":3,"DataType":"Integer","RegisterValue":12})"));
    EXPECT_TRUE(integer->integral);
    EXPECT_EQ(integer->register_value, 12.0);
    const auto real = RmiResponse::as<ReadRegisterResponse>(
        parse(R"({"Command":"FRC_ReadRegister","ErrorID":0,"RegisterNumber":3,"DataType":"Real","RegisterValue":2})"));
    EXPECT_FALSE(real->integral);

    const auto analog = RmiResponse::as<ReadIOPortResponse>(
        parse(R"({"Command":"FRC_ReadIOPort","ErrorID":0,"PortType":"AI","PortNumber":1,"PortValue":3.25})"));
    EXPECT_EQ(analog->port_value, 3.25);

    const auto joint = RmiResponse::as<PositionRegisterResponse>(
        parse(R"({"Command":"FRC_ReadPositionRegister","ErrorID":0,"RegisterNumber":4,"Representation":"Joint",)"
              R"("JointAngle":{"J1":90.0,"J2":10.0,"J3":-10.0,"J4":0,"J5":0,"J6":0}})"));
    ASSERT_FALSE(joint->cartesian);
    ASSERT_EQ(joint->joint_angles.size(), 9u);
    EXPECT_NEAR(joint->joint_angles[0], std::numbers::pi / 2, 1e-12);
    EXPECT_EQ(joint->joint_angles[8], 0.0);

    const auto alarms = RmiResponse::as<ReadErrorResponse>(parse(
        R"({"Command":"FRC_ReadError","ErrorID":0,"Count":2,"ErrorData":"SRVO-001 Operator panel E-stop","ErrorData2":"MOTN-017 Limit error"})"));
    EXPECT_EQ(alarms->alarms, (std::vector<std::string>{"SRVO-001 Operator panel E-stop", "MOTN-017 Limit error"}));
    EXPECT_TRUE(RmiResponse::as<ReadErrorResponse>(
                    parse(R"({"Command":"FRC_ReadError","ErrorID":0,"Count":1,"ErrorData":"No Error"})"))
                    ->alarms.empty());
}

TEST(ControllerResponseParse, ARefusalNeedNotCarryItsMembersButASuccessMust) {
    EXPECT_FALSE(parse(R"({"Command":"FRC_ReadCartesianPosition","ErrorID":2556943})")->success);
    EXPECT_THROW(parse(R"({"Command":"FRC_ReadCartesianPosition","ErrorID":0})"), orvane::OrvaneError);
    EXPECT_THROW(parse(R"({"Command":"FRC_ReadTCPSpeed","ErrorID":0,"Speed":"fast"})"), orvane::OrvaneError);
    EXPECT_THROW(parse(R"({"Command":"FRC_GetUFrameUTool","ErrorID":0,"UFrameNumber":1.5,"UToolNumber":1})"),
                 orvane::OrvaneError);
}

TEST(ArmConfigurationText, ReadsAndWritesThePendantForm) {
    const auto parsed = ArmConfiguration::parse("F D B, 1, 0, -1");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_TRUE(parsed->flip);
    EXPECT_FALSE(parsed->up);
    EXPECT_FALSE(parsed->front);
    EXPECT_EQ(parsed->turn4, 1);
    EXPECT_EQ(parsed->turn6, -1);
    EXPECT_EQ(parsed->to_string(), "F D B, 1, 0, -1");
    EXPECT_EQ(ArmConfiguration::parse("nut")->to_string(), "N U T, 0, 0, 0");  // turns may be left out
    EXPECT_TRUE(ArmConfiguration::parse("N U T L, 0, 0, 0")->left);

    for (const char* bad : {"", "N U", "N F U T", "N U T X", "N U T, 0, 0, 0, 0", "N U T, 1000", "N U T; 0"}) {
        EXPECT_FALSE(ArmConfiguration::parse(bad).has_value()) << bad;
    }
}

TEST(SetPayloadValueRequest, SendsKilogramsCentimetresAndKgfCmS2) {
    const auto body =
        body_of(SetPayloadValueRequest(4, PayloadValue{7.25, {0.1, 0.0, -0.035}, std::array{0.0980665, 0.196133, 0.0}}));
    EXPECT_EQ(body["Command"], "FRC_SetPayloadValue");
    EXPECT_EQ(body["ScheduleNumber"].dump(), "4");
    EXPECT_DOUBLE_EQ(body["Mass"].get<double>(), 7.25);
    EXPECT_DOUBLE_EQ(body["CG_X"].get<double>(), 10.0);
    EXPECT_DOUBLE_EQ(body["CG_Y"].get<double>(), 0.0);
    EXPECT_DOUBLE_EQ(body["CG_Z"].get<double>(), -3.5);
    EXPECT_NEAR(body["IN_X"].get<double>(), 1.0, 1e-12);
    EXPECT_NEAR(body["IN_Y"].get<double>(), 2.0, 1e-12);
    EXPECT_DOUBLE_EQ(body["IN_Z"].get<double>(), 0.0);

    const auto without = body_of(SetPayloadValueRequest(1, PayloadValue{1.0, {}, {}}));
    EXPECT_FALSE(without.contains("IN_X"));
    EXPECT_TRUE(without.contains("CG_X") && without.contains("CG_Y") && without.contains("CG_Z"));
    // A value the wire cannot carry is refused, never sent as null.
    try {
        SetPayloadValueRequest(1, PayloadValue{std::nan(""), {}, {}});
        ADD_FAILURE() << "a mass of NaN was accepted";
    } catch (const orvane::OrvaneError& error) {
        EXPECT_EQ(error.message, "The payload mass cannot be sent to the controller: nan");
    }
}
