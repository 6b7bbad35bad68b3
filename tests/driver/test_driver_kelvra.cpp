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
#include <nlohmann/json.hpp>

#include "driver/loop_driver.hpp"

namespace {

using nlohmann::json;
using orvane::drivers::Result;
using orvane::drivers::testing::line_trajectory;
using orvane::drivers::testing::LoopDriver;
using namespace std::chrono_literals;

constexpr auto deadline = 30s;  // generous: the machine may be slow and shared

// The tool: accepts connections on 127.0.0.1 (a free port), records the JSON
// lines it receives and sends lines to the latest client.
class FakeTool {
public:
    FakeTool() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (listener_ < 0) throw std::runtime_error("socket");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 4) != 0) {
            throw std::runtime_error("bind/listen");
        }
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { accept_loop(); });
    }

    ~FakeTool() {
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        {
            std::lock_guard lock(mutex_);
            for (int client : clients_) ::shutdown(client, SHUT_RDWR);
        }
        acceptor_.join();
        for (auto& reader : readers_) reader.join();
        for (int client : clients_) ::close(client);
    }

    void send(const json& message) {
        std::lock_guard lock(mutex_);
        if (clients_.empty()) throw std::runtime_error("no client");
        const std::string data = message.dump() + "\n";
        ::send(clients_.back(), data.data(), data.size(), MSG_NOSIGNAL);
    }

    // Waits until `count` received messages satisfy `match`.
    template <class Match>
    bool wait_for(std::size_t count, Match match) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] {
            std::size_t n = 0;
            for (const auto& message : messages_) n += match(message) ? 1 : 0;
            return n >= count;
        });
    }

    bool wait_for_connections(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return clients_.size() >= count; });
    }

    std::vector<json> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }

    std::string endpoint() const { return "127.0.0.1:" + std::to_string(port); }

    std::uint16_t port{0};

private:
    void accept_loop() {
        for (;;) {
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) return;
            std::lock_guard lock(mutex_);
            clients_.push_back(client);
            readers_.emplace_back([this, client] { read_loop(client); });
            changed_.notify_all();
        }
    }

    void read_loop(int client) {
        std::string buffer;
        char chunk[4096];
        for (;;) {
            const auto n = ::recv(client, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            buffer.append(chunk, static_cast<std::size_t>(n));
            for (auto end = buffer.find('\n'); end != std::string::npos; end = buffer.find('\n')) {
                json message = json::parse(buffer.substr(0, end), nullptr, false);
                buffer.erase(0, end + 1);
                std::lock_guard lock(mutex_);
                messages_.push_back(std::move(message));
                changed_.notify_all();
            }
        }
    }

    int listener_{-1};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> clients_;
    std::vector<std::thread> readers_;
    std::vector<json> messages_;
};

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
    tool.send(json{{"key", "get-joint-position"}, {"robot", "another arm"}});
    tool.send(json{{"key", "get-joint-position"}});
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
