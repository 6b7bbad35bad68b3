// RMI request wire text and parsing of controller answers.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <type_traits>
#include <typeinfo>
#include <string>
#include <vector>

#include "orvane/drivers/fanuc/rmi_message.hpp"
#include "orvane/drivers/fanuc/rmi_requests.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/log/orvane_error.hpp"

using namespace orvane::drivers;
using nlohmann::json;

namespace {

constexpr double deg = 0.017453292519943295;
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr double inf_value = std::numeric_limits<double>::infinity();

// Runs `action`, expecting an OrvaneError of type "driver.fanuc" with exactly `message`.
void expect_fanuc_error(const std::function<void()>& action, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const orvane::OrvaneError& error) {
        EXPECT_EQ(error.type, "driver.fanuc");
        EXPECT_EQ(error.message, message);
    } catch (const std::exception& error) {
        ADD_FAILURE() << "unexpected exception " << error.what() << ", expected: " << message;
    }
}

std::string wire(RmiMessage&& message) { return message.as_string(); }

json motion_body(double duration, std::vector<double> joints = {0.0}, bool stop = false) {
    MotionInstruction instruction(1, std::move(joints), duration, stop);
    return json::parse(instruction.as_string());
}

std::shared_ptr<RmiResponse> parse(const std::string& line) { return RmiResponse::from_str(line); }

}  // namespace

// ---------------------------------------------------------------- requests

TEST(RmiRequestText, EveryPacketSerialisesToItsExactLine) {
    EXPECT_EQ(wire(ConnectionRequest()), "{\"Communication\":\"FRC_Connect\"}\r\n");
    EXPECT_EQ(wire(DisconnectionRequest()), "{\"Communication\":\"FRC_Disconnect\"}\r\n");
    EXPECT_EQ(wire(InitializeRequest()), "{\"Command\":\"FRC_Initialize\"}\r\n");
    EXPECT_EQ(wire(ResetRequest()), "{\"Command\":\"FRC_Reset\"}\r\n");
    EXPECT_EQ(wire(AbortRequest()), "{\"Command\":\"FRC_Abort\"}\r\n");
    EXPECT_EQ(wire(ControllerStatusRequest()), "{\"Command\":\"FRC_GetStatus\"}\r\n");
    EXPECT_EQ(wire(JointAngleRequest()), "{\"Command\":\"FRC_ReadJointAngles\"}\r\n");
    EXPECT_EQ(wire(ReadDIRequest(12)), "{\"Command\":\"FRC_ReadDIN\",\"PortNumber\":12}\r\n");
    EXPECT_EQ(wire(SetDORequest(3, true)), "{\"Command\":\"FRC_WriteDOUT\",\"PortNumber\":3,\"PortValue\":\"ON\"}\r\n");
    EXPECT_EQ(wire(SetDORequest(4, false)), "{\"Command\":\"FRC_WriteDOUT\",\"PortNumber\":4,\"PortValue\":\"OFF\"}\r\n");
    EXPECT_EQ(wire(SetSpeedOverrideRequest(50)), "{\"Command\":\"FRC_SetOverRide\",\"Value\":50}\r\n");
    EXPECT_EQ(wire(ReadDIRequest(18446744073709551615ULL)),
              "{\"Command\":\"FRC_ReadDIN\",\"PortNumber\":18446744073709551615}\r\n");
}

TEST(RmiRequestText, MotionInstructionMatchesTheControllerFormat) {
    MotionInstruction motion(7, {30.0 * deg, -45.5 * deg, 12.3456789 * deg}, 0.5, false);
    EXPECT_EQ(motion.as_string(),
              "{\"Instruction\":\"FRC_JointMotionJRep\",\"JointAngle\":{\"J1\":30.0,\"J2\":-45.5,"
              "\"J3\":12.34567928314209,\"J4\":0.0,\"J5\":0.0,\"J6\":0.0,\"J7\":0.0,\"J8\":0.0,\"J9\":0.0},"
              "\"SequenceID\":7,\"Speed\":500,\"SpeedType\":\"mSec\",\"TermType\":\"CNT\",\"TermValue\":100}\r\n");
    EXPECT_EQ(motion.get_id(), "Instruction7");
    EXPECT_EQ(motion.get_type(), "Instruction");
    EXPECT_EQ(motion.get_name(), "FRC_JointMotionJRep");
    EXPECT_EQ(motion.joint_positions.size(), 3u);
    EXPECT_EQ(motion.duration, 0.5);

    // Stopping at the target ends the blend.
    EXPECT_EQ(motion_body(0.5, {0.0}, true)["TermValue"], 0);
}

TEST(RmiRequestText, TextIsBuiltOnceAndKept) {
    MotionInstruction motion(3, {0.1}, 0.008, false);
    const std::string& first = motion.as_string();
    motion.set_seq_id(4);  // too late: the text is already built
    EXPECT_EQ(&motion.as_string(), &first);
    EXPECT_NE(first.find("\"SequenceID\":3"), std::string::npos);
    EXPECT_EQ(motion.get_id(), "Instruction4");
}

TEST(RmiRequestText, SetSeqIdBeforeWritingRenumbers) {
    MotionInstruction motion(3, {0.1}, 0.008, false);
    motion.set_seq_id(41);
    EXPECT_EQ(motion.get_id(), "Instruction41");
    EXPECT_EQ(json::parse(motion.as_string())["SequenceID"], 41);

    EXPECT_TRUE(RmiInstruction::is_req_from_instruction("Instruction12"));
    EXPECT_TRUE(RmiInstruction::is_req_from_instruction("Instruction"));
    EXPECT_FALSE(RmiInstruction::is_req_from_instruction("FRC_GetStatus"));
    EXPECT_FALSE(RmiInstruction::is_req_from_instruction("instruction12"));
    EXPECT_FALSE(RmiInstruction::is_req_from_instruction("Instructio"));
}

TEST(RmiRequestText, IdsOfCommandsAndCommunicationsAreTheirNames) {
    ControllerStatusRequest status;
    EXPECT_EQ(status.get_id(), "FRC_GetStatus");
    EXPECT_EQ(status.get_type(), "Command");
    ConnectionRequest connect;
    EXPECT_EQ(connect.get_id(), "FRC_Connect");
    EXPECT_EQ(connect.get_type(), "Communication");
}

TEST(RmiRequestJson, AsJsonParsesTheTextOfAnEmptyBody) {
    AbortRequest abort;
    expect_fanuc_error([&] { abort.as_json(); },
                       "Message has no string defined, cannot provide a json version of that.");
    abort.as_string();
    EXPECT_EQ(abort.as_json(), json({{"Command", "FRC_Abort"}}));

    // With members, the body itself comes back (without the kind/name pair).
    ReadDIRequest read(12);
    EXPECT_EQ(read.as_json(), json({{"PortNumber", 12}}));
    EXPECT_TRUE(read.as_json()["PortNumber"].is_number_unsigned());
}

TEST(MotionInstructionSpeed, RoundsHalvesAwayAndNeverGoesBelowTheMinimum) {
    EXPECT_EQ(motion_body(0.01)["Speed"], 24);
    EXPECT_EQ(motion_body(0.0235)["Speed"], 24);
    EXPECT_EQ(motion_body(0.0245)["Speed"], 25);
    EXPECT_EQ(motion_body(0.5)["Speed"], 500);
    EXPECT_EQ(motion_body(0.0255)["Speed"], 26);
    EXPECT_EQ(motion_body(-1.0)["Speed"], 24);
    // Far below the 32-bit range: still only "shorter than the minimum".
    EXPECT_EQ(motion_body(-1e12)["Speed"], 24);
    EXPECT_EQ(motion_body(2147483.647)["Speed"], 2147483647);
    EXPECT_EQ(motion_body(0.5)["SpeedType"], "mSec");
    EXPECT_EQ(motion_body(0.5)["TermType"], "CNT");
}

TEST(MotionInstructionSpeed, RefusesDurationsThatCannotBeSent) {
    expect_fanuc_error([] { MotionInstruction(7, {0.0}, 0.0, false); },
                       "Cannot send instructions with 0 execution time for ID 7");
    expect_fanuc_error([] { MotionInstruction(8, {0.0}, -0.0, false); },
                       "Cannot send instructions with 0 execution time for ID 8");
    expect_fanuc_error([] { MotionInstruction(7, {0.0}, nan_value, false); },
                       "Cannot send instructions with non-finite execution time for ID 7");
    expect_fanuc_error([] { MotionInstruction(7, {0.0}, inf_value, false); },
                       "Cannot send instructions with non-finite execution time for ID 7");
    expect_fanuc_error([] { MotionInstruction(7, {0.0}, -inf_value, false); },
                       "Cannot send instructions with non-finite execution time for ID 7");
    expect_fanuc_error([] { MotionInstruction(9, {0.0}, 1e12, false); },
                       "Cannot send instructions with an execution time of 1e+12 s for ID 9");
    // One millisecond beyond the 32-bit field.
    EXPECT_THROW(MotionInstruction(9, {0.0}, 2147483.648, false), orvane::OrvaneError);
    EXPECT_THROW(MotionInstruction(9, {0.0}, std::numeric_limits<double>::max(), false), orvane::OrvaneError);
}

TEST(MotionInstructionJoints, AlwaysNineJointsInNarrowedDegrees) {
    const json six = motion_body(0.1, {0.1, 0.2, 0.3, 0.4, 0.5, 0.6});
    ASSERT_EQ(six["JointAngle"].size(), 9u);
    for (const char* key : {"J7", "J8", "J9"}) {
        EXPECT_TRUE(six["JointAngle"][key].is_number_float()) << key;
        EXPECT_EQ(six["JointAngle"][key].get<double>(), 0.0) << key;
    }
    EXPECT_EQ(six["JointAngle"]["J2"].get<double>(),
              static_cast<double>(static_cast<float>(0.2 / deg)));

    const json narrowed = motion_body(0.1, {12.3456789 * deg});
    EXPECT_EQ(narrowed["JointAngle"]["J1"].get<double>(), 12.34567928314209);

    // A whole number of degrees is still a float on the wire.
    EXPECT_TRUE(motion_body(0.1, {0.0})["JointAngle"]["J1"].is_number_float());

    // Joints beyond the ninth are not sent.
    const json eleven = motion_body(0.1, std::vector<double>(11, 1.0));
    EXPECT_EQ(eleven["JointAngle"].size(), 9u);
    EXPECT_FALSE(eleven["JointAngle"].contains("J10"));

    const json none = motion_body(0.1, {});
    EXPECT_EQ(none["JointAngle"]["J1"].get<double>(), 0.0);
}

TEST(MotionInstructionJoints, RefusesJointValuesThatCannotBeSent) {
    expect_fanuc_error([] { MotionInstruction(7, {0.0, 0.0, nan_value}, 0.1, false); },
                       "Joint value 3 of instruction 7 is not finite: nan");
    expect_fanuc_error([] { MotionInstruction(7, {inf_value}, 0.1, false); },
                       "Joint value 1 of instruction 7 is not finite: inf");
    expect_fanuc_error([] { MotionInstruction(7, {0.0, -inf_value}, 0.1, false); },
                       "Joint value 2 of instruction 7 is not finite: -inf");
    // Finite radians whose degrees do not fit a float would go out as null.
    expect_fanuc_error([] { MotionInstruction(7, {1e300}, 0.1, false); },
                       "Joint value 1 of instruction 7 is out of range: 1e+300");
    // Huge but within the float range: still sent, as a number.
    const json huge = motion_body(0.1, {1e38 * deg})["JointAngle"]["J1"];
    EXPECT_TRUE(huge.is_number_float());
    EXPECT_EQ(huge.get<double>(), static_cast<double>(static_cast<float>(1e38 * deg / deg)));
}

TEST(SetPayloadRequest, IsAnInstructionWithItsScheduleNumber) {
    SetPayloadRequest payload(5, 2);
    EXPECT_EQ(payload.as_string(),
              "{\"Instruction\":\"FRC_SetPayLoad\",\"ScheduleNumber\":2,\"SequenceID\":5}\r\n");
    EXPECT_EQ(payload.get_id(), "Instruction5");
    EXPECT_EQ(payload.get_type(), "Instruction");

    // Without a sequence ID the sender numbers it before writing.
    SetPayloadRequest later(3);
    EXPECT_EQ(later.get_id(), "Instruction0");
    later.set_seq_id(13);
    EXPECT_EQ(later.as_string(), "{\"Instruction\":\"FRC_SetPayLoad\",\"ScheduleNumber\":3,\"SequenceID\":13}\r\n");
}

// A fraction (a mass passed by mistake) must not compile into a rounded schedule.
static_assert(!std::is_constructible_v<SetPayloadRequest, std::int32_t, double>);
static_assert(!std::is_constructible_v<SetPayloadRequest, double>);
static_assert(std::is_constructible_v<SetPayloadRequest, std::int32_t, std::int32_t>);

// --------------------------------------------------------------- responses

TEST(RmiResponseParse, InstructionAnswerCarriesTheInstructionsId) {
    auto response = parse(R"({"Instruction":"FRC_JointMotionJRep","ErrorID":0,"SequenceID":12})");
    EXPECT_EQ(response->get_type(), "Instruction");
    EXPECT_EQ(response->get_name(), "FRC_JointMotionJRep");
    EXPECT_EQ(response->get_id(), "Instruction12");
    EXPECT_TRUE(response->success);
    EXPECT_EQ(response->error_id, 0);
    EXPECT_EQ(response->as_json()["SequenceID"], 12);

    auto refused = parse(R"({"Instruction" : "FRC_JointMotionJRep", "SequenceID" : 13, "ErrorID" : 2556957})");
    EXPECT_EQ(refused->get_id(), "Instruction13");
    EXPECT_FALSE(refused->success);
    EXPECT_EQ(refused->error_id, 2556957);
    // The payload instruction's answer is an ordinary instruction answer.
    EXPECT_EQ(parse(R"({"Instruction":"FRC_SetPayLoad","ErrorID":0,"SequenceID":5})")->get_id(), "Instruction5");
}

TEST(RmiResponseParse, KindPrecedenceIsInstructionThenCommandThenCommunication) {
    auto both = parse(R"({"Command":"FRC_Reset","Instruction":"FRC_JointMotionJRep","ErrorID":0,"SequenceID":3})");
    EXPECT_EQ(both->get_type(), "Instruction");
    EXPECT_EQ(both->get_name(), "FRC_JointMotionJRep");
    EXPECT_EQ(both->get_id(), "Instruction3");

    auto command = parse(R"({"Communication":"FRC_Connect","Command":"FRC_Reset","ErrorID":0})");
    EXPECT_EQ(command->get_type(), "Command");
    EXPECT_EQ(command->get_id(), "FRC_Reset");
}

TEST(RmiResponseParse, OnlyCommunicationsMayLackAnErrorId) {
    auto fault = parse(R"({"Communication":"FRC_SystemFault","SequenceID":4})");
    EXPECT_EQ(fault->get_type(), "Communication");
    EXPECT_EQ(fault->get_id(), "FRC_SystemFault");
    EXPECT_EQ(fault->error_id, 0);
    EXPECT_TRUE(fault->success);
    EXPECT_EQ(parse(R"({"Communication":"FRC_Terminate"})")->get_id(), "FRC_Terminate");

    expect_fanuc_error([] { parse(R"({"Command":"FRC_Reset"})"); },
                       "RMI Response does not contain the field ErrorID.");
    expect_fanuc_error([] { parse(R"({"Instruction":"FRC_JointMotionJRep","SequenceID":1})"); },
                       "RMI Response does not contain the field ErrorID.");
}

TEST(RmiResponseParse, LinesOfNoKnownKindAreRefusedWithTheLine) {
    for (const std::string line : {R"({"ErrorID":0})", R"({"command":"FRC_Reset","ErrorID":0})", "[1,2]", "42",
                                   R"("Command")", "null", "{}"}) {
        expect_fanuc_error([&] { parse(line); }, "RMI response of unknown type: " + line);
    }
}

TEST(RmiResponseParse, OtherNamesArePlainResponsesWithTheWholeObject) {
    auto reset = parse(R"({"Command" : "FRC_Reset", "ErrorID" : 0})");
    EXPECT_EQ(typeid(*reset), typeid(RmiResponse));
    EXPECT_EQ(reset->as_json(), json({{"Command", "FRC_Reset"}, {"ErrorID", 0}}));
    auto init = parse(R"({"Command" : "FRC_Initialize", "ErrorID" : 7015, "GroupMask" : 1})");
    EXPECT_EQ(init->get_id(), "FRC_Initialize");
    EXPECT_FALSE(init->success);
    EXPECT_EQ(init->error_id, 7015);
}

TEST(RmiResponseParse, ControllerStatusInTheControllersOwnFormat) {
    auto status = RmiResponse::as<ControllerStatusResponse>(parse(
        R"({"Command" : "FRC_GetStatus", "ErrorID" : 0, "ServoReady" : 1, "TPMode" : 0, "RMIMotionStatus" : 1, )"
        R"("ProgramStatus" : 2, "SingleStepMode" : 0, "NumberUTool" : 1, "NumberUFrame" : 0, )"
        R"("NextSequenceID" : 42, "Override" : 100})"));
    EXPECT_TRUE(status->success);
    EXPECT_TRUE(status->servo_ready);
    EXPECT_FALSE(status->tp_mode);
    EXPECT_TRUE(status->rmi_motion_status);
    EXPECT_TRUE(status->program_status);
    EXPECT_FALSE(status->single_step_mode);
    EXPECT_EQ(status->next_sequence_id, 42);
    EXPECT_EQ(status->get_id(), "FRC_GetStatus");

    // Members in another order, flags the other way round.
    auto shuffled = RmiResponse::as<ControllerStatusResponse>(parse(
        R"({"NextSequenceID":1,"SingleStepMode":1,"ProgramStatus":0,"RMIMotionStatus":0,"TPMode":1,)"
        R"("ServoReady":0,"ErrorID":0,"Command":"FRC_GetStatus"})"));
    EXPECT_FALSE(shuffled->servo_ready);
    EXPECT_TRUE(shuffled->tp_mode);
    EXPECT_FALSE(shuffled->rmi_motion_status);
    EXPECT_FALSE(shuffled->program_status);
    EXPECT_TRUE(shuffled->single_step_mode);
    EXPECT_EQ(shuffled->next_sequence_id, 1);
}

TEST(RmiResponseParse, JointAnglesInTheControllersOwnFormat) {
    auto angles = RmiResponse::as<JointAngleResponse>(parse(
        R"({"Command" : "FRC_ReadJointAngles", "ErrorID" : 0, "TimeTag" : 1000, "JointAngle" : )"
        R"({"J1" : 90.000, "J2" : -45.500, "J3" : 1.948e-04, "J4" : 0.000, "J5" : -90.000, "J6" : 180.000, )"
        R"("J7" : 0.000, "J8" : 0.000, "J9" : 0}, "Group" : 1})"));
    ASSERT_EQ(angles->joint_angles.size(), 9u);
    EXPECT_EQ(angles->joint_angles[0], 1.5707963267948966);
    EXPECT_DOUBLE_EQ(angles->joint_angles[1], -45.5 * deg);
    EXPECT_DOUBLE_EQ(angles->joint_angles[2], 1.948e-04 * deg);
    EXPECT_DOUBLE_EQ(angles->joint_angles[5], 180.0 * deg);
    EXPECT_EQ(angles->joint_angles[8], 0.0);
    EXPECT_EQ(angles->time_tag, 2000);

    // Twice the largest 32-bit tick count does not overflow.
    auto late = RmiResponse::as<JointAngleResponse>(parse(
        R"({"Command":"FRC_ReadJointAngles","ErrorID":0,"TimeTag":2147483647,"JointAngle":)"
        R"({"J1":0,"J2":0,"J3":0,"J4":0,"J5":0,"J6":0,"J7":0,"J8":0,"J9":0}})"));
    EXPECT_EQ(late->time_tag, 4294967294LL);
}

TEST(RmiResponseParse, ConnectionAnswer) {
    auto connection = RmiResponse::as<ConnectionResponse>(
        parse(R"({"Communication" : "FRC_Connect", "ErrorID" : 0, "PortNumber" : 16002, "MajorVersion" : 9, )"
              R"("MinorVersion" : 0})"));
    EXPECT_EQ(connection->get_type(), "Communication");
    EXPECT_EQ(connection->port_number, 16002);
    EXPECT_EQ(connection->major_version, 9);
    EXPECT_TRUE(connection->success);

    auto busy = RmiResponse::as<ConnectionResponse>(parse(
        R"({"Communication":"FRC_Connect","ErrorID":2556954,"PortNumber":0,"MajorVersion":0,"MinorVersion":0})"));
    EXPECT_FALSE(busy->success);
    EXPECT_EQ(busy->error_id, 2556954);
}

TEST(RmiResponseParse, DigitalInputIsOnOnlyForTheNumberOne) {
    auto read = [](const std::string& value) {
        return RmiResponse::as<ReadDIResponse>(
                   parse(R"({"Command" : "FRC_ReadDIN", "ErrorID" : 0, "PortNumber" : 12, "PortValue" : )" + value +
                         "}"))
            ->port_value;
    };
    EXPECT_TRUE(read("1"));
    EXPECT_TRUE(read("1.0"));
    EXPECT_FALSE(read("0"));
    EXPECT_FALSE(read(R"("ON")"));
    EXPECT_FALSE(read("2"));
    EXPECT_FALSE(read("true"));
}

TEST(RmiResponseCast, AsChecksTheDynamicType) {
    auto response = parse(R"({"Command":"FRC_ReadDIN","ErrorID":0,"PortValue":1})");
    auto input = RmiResponse::as<ReadDIResponse>(response);
    EXPECT_EQ(input.get(), response.get());
    EXPECT_EQ(response.use_count(), 2);  // ownership is shared, not copied

    expect_fanuc_error([&] { RmiResponse::as<JointAngleResponse>(response); }, "Attempt to cast message failed.");
    expect_fanuc_error([] { RmiResponse::as<ReadDIResponse>(parse(R"({"Command":"FRC_Reset","ErrorID":0})")); },
                       "Attempt to cast message failed.");
    expect_fanuc_error([] { RmiResponse::as<ReadDIResponse>(nullptr); }, "Attempt to cast message failed.");
    // A cast to the base always works.
    EXPECT_EQ(RmiResponse::as<RmiResponse>(response).get(), response.get());
}

// ------------------------------------------------------------ bad input

TEST(RmiResponseMalformed, MissingMembersAreNamed) {
    expect_fanuc_error([] { parse(R"({"Instruction":"FRC_JointMotionJRep","ErrorID":0})"); },
                       "RMI Response does not contain the field SequenceID.");
    expect_fanuc_error([] { parse(R"({"Communication":"FRC_Connect","ErrorID":0,"MajorVersion":9})"); },
                       "RMI Response does not contain the field PortNumber.");
    expect_fanuc_error(
        [] { parse(R"({"Command":"FRC_GetStatus","ErrorID":0,"ServoReady":1,"RMIMotionStatus":0,)"
                   R"("ProgramStatus":0,"SingleStepMode":0,"NextSequenceID":1})"); },
        "RMI Response does not contain the field TPMode.");
    expect_fanuc_error([] { parse(R"({"Command":"FRC_ReadJointAngles","ErrorID":0,"TimeTag":1})"); },
                       "RMI Response does not contain the field JointAngle.");
    expect_fanuc_error(
        [] { parse(R"({"Command":"FRC_ReadJointAngles","ErrorID":0,"TimeTag":1,"JointAngle":)"
                   R"({"J1":0,"J2":0,"J3":0,"J4":0,"J6":0,"J7":0,"J8":0,"J9":0}})"); },
        "RMI Response does not contain the field J5.");
    expect_fanuc_error(
        [] { parse(R"({"Command":"FRC_ReadJointAngles","ErrorID":0,"JointAngle":)"
                   R"({"J1":0,"J2":0,"J3":0,"J4":0,"J5":0,"J6":0,"J7":0,"J8":0,"J9":0}})"); },
        "RMI Response does not contain the field TimeTag.");
    expect_fanuc_error([] { parse(R"({"Command":"FRC_ReadDIN","ErrorID":0})"); },
                       "RMI Response does not contain the field PortValue.");
}

TEST(RmiResponseMalformed, WrongMemberTypesThrowInsteadOfConverting) {
    // Each would otherwise be truncated, wrapped or read through a wrong type.
    const std::vector<std::string> lines = {
        R"({"Command":"FRC_Reset","ErrorID":"0"})",
        R"({"Command":"FRC_Reset","ErrorID":1.5})",
        R"({"Command":"FRC_Reset","ErrorID":1e20})",
        R"({"Command":"FRC_Reset","ErrorID":true})",
        R"({"Command":"FRC_Reset","ErrorID":4294967296})",
        R"({"Command":"FRC_Reset","ErrorID":-2147483649})",
        R"({"Command":"FRC_Reset","ErrorID":null})",
        R"({"Instruction":"FRC_JointMotionJRep","ErrorID":0,"SequenceID":"12"})",
        R"({"Instruction":"FRC_JointMotionJRep","ErrorID":0,"SequenceID":12.5})",
        R"({"Instruction":"FRC_JointMotionJRep","ErrorID":0,"SequenceID":1e300})",
        R"({"Instruction":"FRC_JointMotionJRep","ErrorID":0,"SequenceID":[12]})",
        R"({"Communication":"FRC_Connect","ErrorID":0,"PortNumber":"16002","MajorVersion":9})",
        R"({"Command":"FRC_GetStatus","ErrorID":0,"ServoReady":1.7,"TPMode":0,"RMIMotionStatus":0,)"
        R"("ProgramStatus":0,"SingleStepMode":0,"NextSequenceID":1})",
        R"({"Command":"FRC_ReadJointAngles","ErrorID":0,"TimeTag":1,"JointAngle":[1,2,3]})",
        R"({"Command":"FRC_ReadJointAngles","ErrorID":0,"TimeTag":1,"JointAngle":)"
        R"({"J1":"0","J2":0,"J3":0,"J4":0,"J5":0,"J6":0,"J7":0,"J8":0,"J9":0}})",
        R"({"Command":"FRC_ReadJointAngles","ErrorID":0,"TimeTag":9223372036854775807,"JointAngle":)"
        R"({"J1":0,"J2":0,"J3":0,"J4":0,"J5":0,"J6":0,"J7":0,"J8":0,"J9":0}})",
        R"({"Command":"FRC_ReadJointAngles","ErrorID":0,"TimeTag":1.5,"JointAngle":)"
        R"({"J1":0,"J2":0,"J3":0,"J4":0,"J5":0,"J6":0,"J7":0,"J8":0,"J9":0}})",
    };
    for (const std::string& line : lines) {
        EXPECT_THROW(parse(line), orvane::OrvaneError) << line;
    }
    expect_fanuc_error([] { parse(R"({"Command":"FRC_Reset","ErrorID":1.5})"); },
                       "RMI Response field ErrorID is not an integer: 1.5");
    expect_fanuc_error([] { parse(R"({"Command":"FRC_Reset","ErrorID":4294967296})"); },
                       "RMI Response field ErrorID is out of range: 4294967296");
}

TEST(RmiResponseMalformed, InvalidJsonAndNonStringNamesThrowStandardExceptions) {
    for (const std::string line : {"", " ", "{", R"({"Command":"FRC_Reset","ErrorID":0)",
                                   R"({"Command":"FRC_Reset","ErrorID":0}})", R"({"Command":"FRC_Reset"} x)",
                                   R"({"Command":"FRC_Reset","ErrorID":0}{"Command":"FRC_Reset","ErrorID":0})",
                                   R"({'Command':'FRC_Reset'})", R"({"Command":7,"ErrorID":0})",
                                   R"({"Instruction":null,"ErrorID":0})", "\xff\xfe",
                                   R"({"Command":"FRC_Reset","ErrorID":0} // note)"}) {
        EXPECT_THROW(parse(line), std::exception) << line;
    }
    // White space around the object is allowed.
    EXPECT_EQ(parse("  {\"Command\":\"FRC_Reset\",\"ErrorID\":0}\t ")->get_id(), "FRC_Reset");
}

TEST(RmiResponseMalformed, DamagedRealLinesNeverCrash) {
    const std::vector<std::string> lines = {
        R"({"Command" : "FRC_GetStatus", "ErrorID" : 0, "ServoReady" : 1, "TPMode" : 0, "RMIMotionStatus" : 1, )"
        R"("ProgramStatus" : 2, "SingleStepMode" : 0, "NumberUTool" : 1, "NumberUFrame" : 0, )"
        R"("NextSequenceID" : 42, "Override" : 100})",
        R"({"Command" : "FRC_ReadJointAngles", "ErrorID" : 0, "TimeTag" : 1000, "JointAngle" : )"
        R"({"J1" : 90.000, "J2" : -45.500, "J3" : 1.948e-04, "J4" : 0.000, "J5" : -90.000, "J6" : 180.000, )"
        R"("J7" : 0.000, "J8" : 0.000, "J9" : 0.000}, "Group" : 1})",
        R"({"Instruction" : "FRC_JointMotionJRep", "ErrorID" : 0, "SequenceID" : 1234})",
        R"({"Communication" : "FRC_Connect", "ErrorID" : 0, "PortNumber" : 16002, "MajorVersion" : 9})",
    };
    // Every cut of a line (as a receive split in two would leave it) and
    // thousands of single-byte corruptions: parsed or refused, nothing else.
    std::mt19937 random(20240611);
    const std::string alphabet = "{}[]\":,0123456789.-eE +tfnul\\JxCI";
    std::size_t parsed = 0;
    std::size_t refused = 0;
    auto attempt = [&](const std::string& line) {
        try {
            parse(line);
            ++parsed;
        } catch (const std::exception&) {
            ++refused;
        }
    };
    for (const std::string& line : lines) {
        for (std::size_t cut = 0; cut < line.size(); ++cut) attempt(line.substr(0, cut));
        for (int round = 0; round < 2000; ++round) {
            std::string damaged = line;
            damaged[random() % damaged.size()] = alphabet[random() % alphabet.size()];
            attempt(damaged);
        }
    }
    EXPECT_GT(parsed, 0u);
    EXPECT_GT(refused, 0u);
}

TEST(RmiResponseMalformed, DeepNestingIsRefusedBeforeParsing) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    for (const std::string& line :
         {R"({"Command":"FRC_Reset","ErrorID":)" + deep + "}", deep, R"({"Command":"FRC_Reset","ErrorID":0,"X":)" +
                                                                      std::string(33, '{') + std::string(33, '}') + "}"}) {
        try {
            parse(line);
            ADD_FAILURE() << "accepted";
        } catch (const orvane::OrvaneError& error) {
            EXPECT_NE(error.message.find("nests deeper than 32 levels"), std::string::npos);
            EXPECT_LT(error.message.size(), 400u);  // the line is quoted, never echoed whole
        }
    }
    // Brackets inside strings do not count, and real depths pass.
    const std::string brackets = std::string(100, '[') + "\\\"" + std::string(100, '{');
    EXPECT_EQ(parse(R"({"Command":"FRC_Reset","ErrorID":0,"Note":")" + brackets + R"("})")->get_id(), "FRC_Reset");
    EXPECT_EQ(parse(R"({"Command":"FRC_Reset","ErrorID":0,"X":)" + std::string(31, '[') + std::string(31, ']') + "}")
                  ->error_id,
              0);
}

TEST(RmiResponseMalformed, WrongTypesAreNamedNotEchoed) {
    // A value of the wrong type is named by member and JSON type: the value
    // itself may be huge or deep.
    expect_fanuc_error([] { parse(R"({"Command":"FRC_Reset","ErrorID":[[[1]]]})"); },
                       "RMI Response field ErrorID is not an integer: a JSON array");
    expect_fanuc_error([] { parse(R"({"Command":"FRC_Reset","ErrorID":")" + std::string(50000, 'x') + R"("})"); },
                       "RMI Response field ErrorID is not an integer: a JSON string");
    expect_fanuc_error(
        [] { parse(R"({"Command":"FRC_ReadJointAngles","ErrorID":0,"TimeTag":1,"JointAngle":{"a":[1,2]}})"); },
        "RMI Response does not contain the field J1.");
    expect_fanuc_error([] { parse(R"({"Command":"FRC_ReadJointAngles","ErrorID":0,"TimeTag":1,"JointAngle":"x"})"); },
                       "RMI Response field JointAngle is not an object: a JSON string");
}
