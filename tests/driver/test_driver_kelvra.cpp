// Mirroring to the Kelvra visual tool, against a stand-in tool on loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/fake_kelvra_tool.hpp"
#include <nlohmann/json.hpp>

#include "driver/loop_driver.hpp"

namespace {

using nlohmann::json;
using orvane::drivers::Result;
using orvane::drivers::testing::line_trajectory;
using orvane::drivers::testing::LoopDriver;
using namespace std::chrono_literals;

constexpr auto deadline = 30s;  // generous: the machine may be slow and shared

using FakeTool = orvane::testing::FakeKelvraTool;

bool is_action(const json& message, const std::string& name) {
    return message.is_object() && message.value("action", std::string()) == name;
}

class DriverKelvra : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("ORVANE_KELVRA_ENDPOINT", tool.endpoint().c_str(), 1); }
    void TearDown() override { ::unsetenv("ORVANE_KELVRA_ENDPOINT"); }

    std::unique_ptr<LoopDriver> make_driver(bool named_robot, bool sync = true) {
        return std::make_unique<LoopDriver>(std::make_shared<orvane::Planner>(arm, 0.01),
                                            named_robot ? arm : nullptr, 0.01, sync);
    }

    // Calls the client's registered handlers on this thread, as the client's
    // own thread would.
    static void deliver(const std::shared_ptr<orvane::Kelvra>& client, const json& message) {
        for (const auto& handler : client->message_handlers.snapshot()) handler(message);
    }

    FakeTool tool;
    std::shared_ptr<orvane::RobotArm> arm = orvane::robots::fanuc_lrmate200id();
    const std::vector<double> zero = std::vector<double>(6, 0.0);
};

TEST_F(DriverKelvra, OffWithoutSyncFlag) {
    auto driver = make_driver(true, false);
    EXPECT_TRUE(driver->kelvra_reconnect());
    EXPECT_EQ(driver->kelvra, nullptr);
    EXPECT_FALSE(driver->kelvra_sync_thread.joinable());
    EXPECT_TRUE(driver->kelvra_disconnect());
    EXPECT_TRUE(tool.messages().empty());
}

TEST_F(DriverKelvra, RegistersMirrorsTheCommandedPositionAndUnregisters) {
    auto driver = make_driver(true);
    ASSERT_TRUE(driver->kelvra_reconnect());
    ASSERT_NE(driver->kelvra, nullptr);
    EXPECT_TRUE(driver->kelvra_sync_thread.joinable());
    ASSERT_TRUE(tool.wait_for(1, [](const json& m) { return is_action(m, "register-robot"); }));
    EXPECT_EQ(tool.messages().front(),
              json::parse(R"({"action":"register-robot","commands":[{"data":{"name":")" + arm->name + R"("}}]})"));

    const auto trajectory = line_trajectory(zero, {0.4, 0.2, 0, 0, 0, 0}, 0.5);
    EXPECT_EQ(driver->run(trajectory), Result::Success);
    const auto final_position = trajectory.positions().back();
    // The last commanded position keeps being mirrored after the motion.
    ASSERT_TRUE(tool.wait_for(1, [&](const json& m) {
        return is_action(m, "set-joint-position") &&
               m["commands"][0]["data"].get<std::vector<double>>() == final_position;
    }));

    // Every mirrored position was a commanded one, with the arm's name; so
    // nothing was sent before the first commanded state.
    std::vector<std::vector<double>> commanded;
    for (const auto& step : driver->steps()) commanded.push_back(step.position);
    std::size_t mirrored = 0;
    for (const auto& message : tool.messages()) {
        if (!is_action(message, "set-joint-position")) continue;
        ++mirrored;
        ASSERT_EQ(message["commands"].size(), 1u);
        EXPECT_EQ(message["commands"][0]["robot"], arm->name);
        const auto position = message["commands"][0]["data"].get<std::vector<double>>();
        EXPECT_NE(std::find(commanded.begin(), commanded.end(), position), commanded.end());
    }
    EXPECT_GE(mirrored, 1u);

    EXPECT_TRUE(driver->kelvra_disconnect());
    EXPECT_EQ(driver->kelvra, nullptr);
    EXPECT_FALSE(driver->kelvra_sync_thread.joinable());
    ASSERT_TRUE(tool.wait_for(1, [](const json& m) { return is_action(m, "unregister-robot"); }));
    EXPECT_EQ(tool.messages().back(),
              json::parse(R"({"action":"unregister-robot","commands":[{"data":{"name":")" + arm->name + R"("}}]})"));
}

TEST_F(DriverKelvra, AnswersJointPositionRequestsForItsRobotOnly) {
    auto driver = make_driver(false);  // no robot argument: no arm name in the answers
    driver->rest_position = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6};
    ASSERT_TRUE(driver->kelvra_reconnect());
    auto client = driver->kelvra;
    ASSERT_EQ(client->message_handlers.size(), 1u);

    deliver(client, json{{"key", "get-joint-position"}, {"robot", "another arm"}});
    EXPECT_EQ(driver->joint_position_reads.load(), 0);
    deliver(client, json{{"key", "something-else"}});
    deliver(client, json::object());
    EXPECT_EQ(driver->joint_position_reads.load(), 0);
    deliver(client, json{{"key", "get-joint-position"}, {"robot", arm->name}});
    EXPECT_EQ(driver->joint_position_reads.load(), 1);
    deliver(client, json{{"key", "get-joint-position"}});
    EXPECT_EQ(driver->joint_position_reads.load(), 2);

    try {
        deliver(client, json{{"key", 5}});
        ADD_FAILURE() << "a numeric key was accepted";
    } catch (const json::type_error& error) {
        EXPECT_NE(std::string(error.what()).find("type must be string, but is number"), std::string::npos);
    }
    try {
        deliver(client, json::array({1, 2}));
        ADD_FAILURE() << "an array was accepted";
    } catch (const json::type_error& error) {
        EXPECT_NE(std::string(error.what()).find("cannot use value() with array"), std::string::npos);
    }

    // The same through the connection, on the client's thread.
    ASSERT_TRUE(tool.wait_for_connections(1));
    tool.send_json(json{{"key", "get-joint-position"}, {"robot", "another arm"}});
    tool.send_json(json{{"key", "get-joint-position"}});
    const auto answer = [&](const json& m) {
        return is_action(m, "set-joint-position") && m["commands"].size() == 1 &&
               !m["commands"][0].contains("robot") &&
               m["commands"][0]["data"].get<std::vector<double>>() == driver->rest_position;
    };
    ASSERT_TRUE(tool.wait_for(3, answer));
    EXPECT_EQ(driver->joint_position_reads.load(), 3);
    // No state was commanded: the synchronisation sent nothing of its own.
    std::size_t positions = 0;
    for (const auto& message : tool.messages()) positions += is_action(message, "set-joint-position") ? 1 : 0;
    EXPECT_EQ(positions, 3u);
    driver->kelvra_disconnect();
}

TEST_F(DriverKelvra, ReconnectReplacesTheClientAndItsHandler) {
    auto driver = make_driver(true);
    ASSERT_TRUE(driver->kelvra_reconnect());
    auto first = driver->kelvra;
    ASSERT_TRUE(driver->kelvra_reconnect());
    auto second = driver->kelvra;
    ASSERT_NE(first, second);
    EXPECT_EQ(second->message_handlers.size(), 1u);
    EXPECT_TRUE(driver->kelvra_sync_thread.joinable());
    ASSERT_TRUE(tool.wait_for(2, [](const json& m) { return is_action(m, "register-robot"); }));

    // The first client's handler no longer answers for this driver.
    deliver(first, json{{"key", "get-joint-position"}});
    EXPECT_EQ(driver->joint_position_reads.load(), 0);
    deliver(second, json{{"key", "get-joint-position"}});
    EXPECT_EQ(driver->joint_position_reads.load(), 1);
    driver->kelvra_disconnect();
}

TEST_F(DriverKelvra, ClientOutlivesTheDriver) {
    auto driver = make_driver(true);
    driver->kelvra_sync_rate = 0;  // no streaming, and no division by zero
    ASSERT_TRUE(driver->kelvra_reconnect());
    driver->on_desired_state(zero, zero);
    auto client = driver->kelvra;
    driver.reset();  // stops the thread without unregistering
    // A message arriving now reaches no driver.
    EXPECT_NO_THROW(deliver(client, json{{"key", "get-joint-position"}}));
    for (const auto& message : tool.messages()) {
        EXPECT_FALSE(is_action(message, "unregister-robot"));
        EXPECT_FALSE(is_action(message, "set-joint-position"));
    }
}

TEST_F(DriverKelvra, UnreachableToolMakesReconnectFail) {
    // A port nobody listens on any more.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    ::setenv("ORVANE_KELVRA_ENDPOINT", ("127.0.0.1:" + std::to_string(ntohs(address.sin_port))).c_str(), 1);

    auto driver = make_driver(true);
    driver->connect_timeout = 1.0;
    EXPECT_FALSE(driver->kelvra_reconnect());
    EXPECT_FALSE(driver->kelvra_sync_thread.joinable());
    EXPECT_NE(driver->kelvra, nullptr);  // the new, unconnected client stays
    EXPECT_TRUE(driver->kelvra_disconnect());
}

}  // namespace
