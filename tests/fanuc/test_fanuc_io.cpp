// Digital I/O through aliases, the speed override and the payload schedule.
#include "fanuc/fanuc_fixture.hpp"
#include "support/log_capture.hpp"

#include <array>
#include <limits>
#include <utility>
#include <vector>

namespace fanuc_test {
namespace {

using IoTest = FanucTest;

TEST_F(IoTest, DigitalIoGoesThroughTheAliasAddresses) {
    driver->create_io_alias("gripper", 5, 7);
    sim->set_digital_input(5, true);
    EXPECT_EQ(driver->get_digital_input("gripper"), 1);
    sim->set_digital_input(5, false);
    EXPECT_EQ(driver->get_digital_input("gripper"), 0);

    EXPECT_TRUE(driver->set_digital_output("gripper", 5));  // any non-zero value is on
    EXPECT_EQ(sim->digital_output(7), true);
    EXPECT_TRUE(driver->set_digital_output("gripper", 0));
    EXPECT_EQ(sim->digital_output(7), false);
    EXPECT_FALSE(sim->digital_output(5).has_value());
}

TEST_F(IoTest, AnInputReadingOtherThanZeroOrOneIsNoValue) {
    driver->create_io_alias("interlock", 4);
    for (const std::string value : {"\"ON\"", "2", "true", "0.0", "null"}) {
        sim->clear_records();
        orvane_test::LogCapture log;
        const auto reading = answered_with(
            "FRC_ReadDIN",
            R"({"Command" : "FRC_ReadDIN", "ErrorID" : 0, "PortNumber" : 4, "PortValue" : )" + value + "}",
            [&] { return driver->get_digital_input("interlock"); });
        EXPECT_FALSE(reading.has_value()) << value;
        EXPECT_EQ(log.count(orvane::log::Level::Warn, "PortValue " + value), 1u) << value;
    }
    sim->set_digital_input(4, true);
    EXPECT_EQ(driver->get_digital_input("interlock"), 1);
}

TEST_F(IoTest, NamesThatAreNoAliasReadNothingAndWriteNothing) {
    driver->create_io_alias("door", 2);
    sim->clear_records();
    // A misspelt interlock must not read as a valid "off".
    EXPECT_FALSE(driver->get_digital_input("dor").has_value());
    EXPECT_FALSE(driver->set_digital_output("dor", 1));
    EXPECT_TRUE(data_packets(*sim).empty());
}

TEST_F(IoTest, IoOnALostLinkFailsAndDisablesTheDriver) {
    driver->create_io_alias("door", 2);
    ASSERT_EQ(driver->enable(), Result::Success);
    const auto start = driver->get_current_joint_position();
    driver->disconnect();
    EXPECT_FALSE(driver->get_digital_input("door").has_value());
    EXPECT_FALSE(driver->set_digital_output("door", 1));
    ASSERT_TRUE(driver->reconnect());
    EXPECT_EQ(driver->run(cosine_trajectory(start, start, 0.1)), Result::ErrorControllerEnableMotors);
}

TEST_F(IoTest, SpeedOverrideAcceptsOneToOneHundred) {
    sim->clear_records();
    EXPECT_FALSE(driver->set_speed_override(0));
    EXPECT_FALSE(driver->set_speed_override(101));
    EXPECT_TRUE(data_packets(*sim).empty());
    EXPECT_TRUE(driver->set_speed_override(1));
    EXPECT_EQ(sim->status().override_percent, 1);
    EXPECT_TRUE(driver->set_speed_override(100));
    EXPECT_EQ(sim->status().override_percent, 100);
}

TEST_F(IoTest, ThePayloadIsAnInstructionOfAnEnabledDriver) {
    sim->clear_records();
    EXPECT_FALSE(driver->set_payload(1.0));  // not enabled
    ASSERT_EQ(driver->enable(), Result::Success);
    sim->clear_records();
    // A schedule is a number from 1 to 10: a mass of 2.5 kg must never
    // select schedule 3, and nothing outside the range reaches the controller.
    const double infinity = std::numeric_limits<double>::infinity();
    for (const double refused : {2.5, 0.999, 0.0, 11.0, -1.0, std::nan(""), infinity, 3e9}) {
        orvane_test::LogCapture log;
        EXPECT_FALSE(driver->set_payload(refused)) << refused;
        EXPECT_EQ(log.count(orvane::log::Level::Warn, "never a mass"), 1u) << refused;
        EXPECT_NE(driver->get_last_error().find("whole number from 1 to 10"), std::string::npos) << refused;
    }
    EXPECT_TRUE(data_packets(*sim).empty());

    EXPECT_TRUE(driver->set_payload(3.0));
    EXPECT_EQ(sim->status().payload_schedule, 3);
    EXPECT_TRUE(driver->set_payload(10));
    EXPECT_EQ(sim->status().payload_schedule, 10);
    const auto sent = sent_instructions(*sim);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(data_packets(*sim)[0]["ScheduleNumber"].dump(), "3");  // an integer on the wire

    // A refusal by the controller does not use up the instruction's number:
    // the run goes on from it and is accepted.
    sim->refuse_sequence_id(sent.back().sequence_id + 1, orvane::sim::error_id::invalid_value);
    EXPECT_FALSE(driver->set_payload(4));
    EXPECT_EQ(sim->status().payload_schedule, 10);
    const auto start = driver->get_current_joint_position();
    ASSERT_EQ(driver->run(cosine_trajectory(start, offset_by(start, 0, 0.1), 0.3)), Result::Success);
    expect_consecutive_ids(sent_motions(*sim), sent.back().sequence_id + 1);
}

TEST_F(IoTest, APayloadsMassCentreAndInertiaReachTheControllerInItsUnits) {
    using orvane::drivers::PayloadValue;
    sim->clear_records();
    // Works without enabling: a command, not an instruction.
    ASSERT_TRUE(driver->set_payload_value(2, PayloadValue{4.5, {0.01, -0.02, 0.125}, std::array{0.0980665, 0.0, 0.5}}));
    ASSERT_TRUE(driver->set_payload_value(3, PayloadValue{1.0, {0.0, 0.0, 0.05}, std::nullopt}));
    const auto packets = data_packets(*sim);
    ASSERT_EQ(packets.size(), 2u);
    const auto& full = packets[0];
    EXPECT_EQ(full["Command"], "FRC_SetPayloadValue");
    EXPECT_EQ(full["ScheduleNumber"], 2);
    EXPECT_DOUBLE_EQ(full["Mass"].get<double>(), 4.5);
    EXPECT_DOUBLE_EQ(full["CG_X"].get<double>(), 1.0);  // cm
    EXPECT_DOUBLE_EQ(full["CG_Y"].get<double>(), -2.0);
    EXPECT_DOUBLE_EQ(full["CG_Z"].get<double>(), 12.5);
    EXPECT_NEAR(full["IN_X"].get<double>(), 1.0, 1e-12);  // kgf cm s^2
    EXPECT_DOUBLE_EQ(full["IN_Y"].get<double>(), 0.0);
    EXPECT_NEAR(full["IN_Z"].get<double>(), 5.0985, 1e-4);
    // Without inertia the members stay away and the controller keeps its own.
    EXPECT_FALSE(packets[1].contains("IN_X") || packets[1].contains("IN_Y") || packets[1].contains("IN_Z"));
    EXPECT_DOUBLE_EQ(packets[1]["CG_Z"].get<double>(), 5.0);

    sim->clear_records();
    const double nan = std::nan("");
    for (const auto& [schedule, payload] : std::vector<std::pair<int, PayloadValue>>{
             {0, PayloadValue{1.0, {}, {}}},
             {11, PayloadValue{1.0, {}, {}}},
             {1, PayloadValue{-0.1, {}, {}}},
             {1, PayloadValue{nan, {}, {}}},
             {1, PayloadValue{1.0, {0.0, nan, 0.0}, {}}},
             {1, PayloadValue{1.0, {}, std::array{0.0, -1.0, 0.0}}},
             {1, PayloadValue{1e40, {}, {}}},
         }) {
        EXPECT_FALSE(driver->set_payload_value(schedule, payload)) << schedule << " " << payload.mass;
        EXPECT_FALSE(driver->get_last_error().empty());
    }
    EXPECT_TRUE(data_packets(*sim).empty());
}

TEST_F(OlderFirmwareTest, APayloadsValueCannotBeSetAndTheDriverSaysSoOnce) {
    const orvane::drivers::PayloadValue payload{2.0, {0.0, 0.0, 0.1}, std::nullopt};
    orvane_test::LogCapture log;
    EXPECT_FALSE(driver->set_payload_value(1, payload));
    EXPECT_FALSE(driver->set_payload_value(2, payload));
    EXPECT_EQ(log.count(orvane::log::Level::Warn, "does not know FRC_SetPayloadValue"), 1u);
    EXPECT_EQ(count_sent(*sim, "FRC_SetPayloadValue"), 1u);  // not asked again on this link
    // Selecting a schedule is older than that and still works.
    ASSERT_EQ(driver->enable(), Result::Success);
    EXPECT_TRUE(driver->set_payload(2));
    EXPECT_EQ(sim->status().payload_schedule, 2);
}

}  // namespace
}  // namespace fanuc_test
