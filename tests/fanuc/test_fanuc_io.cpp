// Digital I/O through aliases, the speed override and the payload schedule.
#include "fanuc/fanuc_fixture.hpp"
#include "support/log_capture.hpp"

#include <limits>

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
    for (const double refused : {-0.5, std::nan(""), std::numeric_limits<double>::infinity(), 3e9}) {
        EXPECT_FALSE(driver->set_payload(refused)) << refused;
    }
    EXPECT_TRUE(data_packets(*sim).empty());

    ASSERT_EQ(driver->enable(), Result::Success);
    EXPECT_TRUE(driver->set_payload(2.5));  // halves round away from zero
    EXPECT_EQ(sim->status().payload_schedule, 3);
    // Schedule 0 is sent; this controller knows schedules 1 to 10 and refuses it.
    EXPECT_FALSE(driver->set_payload(0.0));
    EXPECT_EQ(sim->status().payload_schedule, 3);
    EXPECT_EQ(count_sent(*sim, "FRC_SetPayLoad"), 2u);

    // The refused instruction did not use up its number: the run goes on
    // from it and is accepted.
    const auto start = driver->get_current_joint_position();
    ASSERT_EQ(driver->run(cosine_trajectory(start, offset_by(start, 0, 0.1), 0.3)), Result::Success);
    const auto motions = sent_motions(*sim);
    expect_consecutive_ids(motions, 2);
}

}  // namespace
}  // namespace fanuc_test
