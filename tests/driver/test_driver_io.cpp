// I/O aliases and the not-supported defaults of the I/O operations.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/loop_driver.hpp"

namespace {

using orvane::drivers::testing::LoopDriver;

// Digital I/O through the alias table, as a controller driver does it: reads
// use the input address, writes the output address.
class DigitalDriver : public LoopDriver {
public:
    using LoopDriver::LoopDriver;

    std::optional<int> get_digital_input(const std::string& name) override {
        const auto alias = get_io_alias(name);
        if (!alias) return std::nullopt;
        std::lock_guard lock(signals_mutex);
        return signals[alias->address_in];
    }
    bool set_digital_output(const std::string& name, int value) override {
        const auto alias = get_io_alias(name);
        if (!alias) return false;
        std::lock_guard lock(signals_mutex);
        signals[alias->address_out] = value;
        return true;
    }

    std::mutex signals_mutex;
    std::map<std::uint64_t, int> signals;
};

class DriverIO : public ::testing::Test {
protected:
    std::shared_ptr<orvane::RobotArm> arm = orvane::robots::fanuc_lrmate200id();
    DigitalDriver driver{std::make_shared<orvane::Planner>(arm, 0.01), arm};
};

TEST_F(DriverIO, AliasesResolveExactlyAndRedefine) {
    EXPECT_FALSE(driver.get_io_alias("gripper").has_value());
    driver.create_io_alias("gripper", 3);
    auto alias = driver.get_io_alias("gripper");
    ASSERT_TRUE(alias.has_value());
    EXPECT_EQ(alias->address_in, 3u);
    EXPECT_EQ(alias->address_out, 3u);

    driver.create_io_alias("gripper", 5, 7);
    alias = driver.get_io_alias("gripper");
    ASSERT_TRUE(alias.has_value());
    EXPECT_EQ(alias->address_in, 5u);
    EXPECT_EQ(alias->address_out, 7u);

    // Exact, case-sensitive names; the empty name is a name like any other.
    EXPECT_FALSE(driver.get_io_alias("Gripper").has_value());
    EXPECT_FALSE(driver.get_io_alias("gripper ").has_value());
    EXPECT_FALSE(driver.get_io_alias("5").has_value());
    driver.create_io_alias("Gripper", 9);
    driver.create_io_alias("", 11, 12);
    EXPECT_EQ(driver.get_io_alias("Gripper")->address_in, 9u);
    EXPECT_EQ(driver.get_io_alias("gripper")->address_in, 5u);
    EXPECT_EQ(driver.get_io_alias("")->address_out, 12u);
    EXPECT_EQ(driver.io_aliases.size(), 3u);
}

TEST_F(DriverIO, OverridesReadFromInputAndWriteToOutput) {
    // Defined while not connected; used afterwards.
    driver.is_connected_flag = false;
    EXPECT_FALSE(driver.is_connected());
    driver.create_io_alias("lamp", 5, 7);
    driver.is_connected_flag = true;
    EXPECT_TRUE(driver.is_connected());
    EXPECT_TRUE(driver.set_digital_output("lamp", 1));
    EXPECT_EQ(driver.signals.at(7), 1);
    EXPECT_EQ(driver.get_digital_input("lamp"), 0);  // address 5, untouched
    driver.signals[5] = 1;
    EXPECT_EQ(driver.get_digital_input("lamp"), 1);
    EXPECT_FALSE(driver.set_digital_output("unknown", 1));
    EXPECT_FALSE(driver.get_digital_input("unknown").has_value());
}

TEST_F(DriverIO, DefaultsReportNotSupported) {
    driver.create_io_alias("signal", 1);
    for (const std::string name : {"signal", "other", ""}) {
        EXPECT_FALSE(driver.get_analog_input(name).has_value());
        EXPECT_FALSE(driver.set_analog_output(name, 1.5));
        EXPECT_FALSE(driver.get_group_input(name).has_value());
        EXPECT_FALSE(driver.set_group_output(name, 3));
        EXPECT_FALSE(driver.get_int_register(name).has_value());
        EXPECT_FALSE(driver.set_int_register(name, 3));
        EXPECT_FALSE(driver.get_double_register(name).has_value());
        EXPECT_FALSE(driver.set_double_register(name, 3.5));
    }
    LoopDriver plain(driver.planner, arm);
    plain.create_io_alias("signal", 1);
    EXPECT_FALSE(plain.get_digital_input("signal").has_value());
    EXPECT_FALSE(plain.set_digital_output("signal", 1));
}

TEST_F(DriverIO, AliasesMayBeDefinedWhileOthersPerformIO) {
    driver.create_io_alias("fixed", 1, 2);
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread io([&] {
        while (!done.load()) {
            if (!driver.set_digital_output("fixed", 1)) failures.fetch_add(1);
            if (driver.get_digital_input("fixed") != 0) failures.fetch_add(1);
        }
    });
    // Enough insertions to make the table rehash under the reader.
    for (int i = 0; i < 2000; ++i) driver.create_io_alias("alias" + std::to_string(i), i, i + 1);
    done.store(true);
    io.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(driver.get_io_alias("alias1999")->address_out, 2000u);
    EXPECT_EQ(driver.io_aliases.size(), 2001u);
}

}  // namespace
