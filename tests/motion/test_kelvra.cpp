#include <orvane/motion/kelvra.hpp>
#include <orvane/motion/robots.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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

namespace {

using nlohmann::json;
using orvane::Kelvra;
using namespace std::chrono_literals;

constexpr auto deadline = 20s;  // generous: the machine may be slow and shared

using FakeTool = orvane::testing::FakeKelvraTool;

std::unique_ptr<Kelvra> client_for(const FakeTool& tool) {
    auto kelvra = std::make_unique<Kelvra>(false, false, 5.0);
    kelvra->host = "127.0.0.1";
    kelvra->port = tool.port;
    kelvra->reconnect(10.0);
    return kelvra;
}

template <class Predicate>
bool eventually(Predicate predicate) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST(MotionKelvra, SendsActionsAsJsonLines) {
    FakeTool tool;
    auto kelvra = client_for(tool);
    EXPECT_TRUE(kelvra->is_connected());

    EXPECT_TRUE(kelvra->run_action(Kelvra::Action("register-robot", json{{"name", "lrmate200id"}})));
    Kelvra::Action two;
    two.name = "set-joint-position";
    two.commands.push_back({json::array({1.5, -2.0}), "rail"});
    two.commands.push_back({std::nullopt, std::nullopt});
    EXPECT_TRUE(kelvra->run_action(two));

    ASSERT_TRUE(tool.wait_for_lines(2));
    const auto lines = tool.lines();
    EXPECT_EQ(json::parse(lines[0]),
              json::parse(R"({"action":"register-robot","commands":[{"data":{"name":"lrmate200id"}}]})"));
    EXPECT_EQ(json::parse(lines[1]),
              json::parse(R"({"action":"set-joint-position","commands":[{"data":[1.5,-2.0],"robot":"rail"},{}]})"));
}

TEST(MotionKelvra, ActionsFromManyThreadsArriveWhole) {
    FakeTool tool;
    auto kelvra = client_for(tool);
    constexpr int threads = 4, per_thread = 50;
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) kelvra->run_action(Kelvra::Action("n", json{{"t", t}, {"i", i}}));
        });
    }
    for (auto& sender : senders) sender.join();
    ASSERT_TRUE(tool.wait_for_lines(threads * per_thread));
    std::vector<int> next(threads, 0);
    for (const auto& line : tool.lines()) {
        const auto data = json::parse(line).at("commands").at(0).at("data");
        const int t = data.at("t").get<int>();
        EXPECT_EQ(data.at("i").get<int>(), next[t]++) << "order within a thread";
    }
}

TEST(MotionKelvra, HandlersRunOnTheClientThreadAndMayAnswer) {
    FakeTool tool;
    auto kelvra = client_for(tool);
    const auto test_thread = std::this_thread::get_id();
    std::atomic<bool> other_thread{false};
    Kelvra* client = kelvra.get();
    kelvra->message_handlers.push_back([&, client](const json& message) {
        other_thread = std::this_thread::get_id() != test_thread;
        if (message.value("key", std::string()) == "get-joint-position") {
            client->run_action(Kelvra::Events::set_joint_position({0.1, 0.2}, nullptr));
        }
    });
    ASSERT_TRUE(tool.wait_for_connections(1));
    tool.send(R"({"key":"get-joint-position","robot":"arm"})");
    ASSERT_TRUE(tool.wait_for_lines(1));
    EXPECT_TRUE(other_thread);
    EXPECT_EQ(json::parse(tool.lines()[0]),
              json::parse(R"({"action":"set-joint-position","commands":[{"data":[0.1,0.2]}]})"));
}

TEST(MotionKelvra, FailingHandlersAndBadLinesDoNotStopTheClient) {
    FakeTool tool;
    auto kelvra = client_for(tool);
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<json> seen;
    kelvra->message_handlers.push_back([](const json& message) {
        // As a handler that expects an object with a string key would.
        (void)message.at("key").get<std::string>();
    });
    kelvra->message_handlers.push_back([&](const json& message) {
        std::lock_guard lock(mutex);
        seen.push_back(message);
        changed.notify_all();
    });
    ASSERT_TRUE(tool.wait_for_connections(1));
    tool.send(R"({"key": 5})");       // the first handler throws a type error
    tool.send("this is not json");     // skipped
    tool.send(R"([1, 2, 3])");         // not an object: the first handler throws again
    tool.send(R"({"key": "ping"})");

    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, deadline, [&] { return seen.size() >= 3; }));
    EXPECT_EQ(seen[0], json::parse(R"({"key": 5})"));
    EXPECT_EQ(seen[1], json::parse("[1, 2, 3]"));
    EXPECT_EQ(seen[2], json::parse(R"({"key": "ping"})"));
    lock.unlock();
    EXPECT_TRUE(kelvra->is_connected());
}

TEST(MotionKelvra, ConnectionFailuresRaiseKelvraError) {
    std::uint16_t unused_port = 0;
    {
        FakeTool closed;  // take a free port, then stop listening on it
        unused_port = closed.port;
    }
    Kelvra kelvra(false, false, 5.0);
    EXPECT_FALSE(kelvra.is_connected());
    EXPECT_FALSE(kelvra.run_action(Kelvra::Action("register-robot", json{{"name", "x"}})));
    kelvra.host = "127.0.0.1";
    kelvra.port = unused_port;
    try {
        kelvra.reconnect(5.0);
        FAIL() << "connected to a closed port";
    } catch (const orvane::KelvraError& error) {
        EXPECT_NE(std::string(error.what()).find("127.0.0.1:" + std::to_string(unused_port)), std::string::npos)
            << error.what();
    }
    EXPECT_FALSE(kelvra.is_connected());
    // A zero time-out does not wait at all.
    EXPECT_THROW(kelvra.reconnect(0.0), orvane::KelvraError);
    // Connecting at construction fails the same way.
    ::setenv("ORVANE_KELVRA_ENDPOINT", ("127.0.0.1:" + std::to_string(unused_port)).c_str(), 1);
    EXPECT_THROW(Kelvra(true, false, 5.0), orvane::KelvraError);
    ::unsetenv("ORVANE_KELVRA_ENDPOINT");
}

TEST(MotionKelvra, ReconnectReplacesTheConnectionAndNoticesAHangUp) {
    FakeTool tool;
    auto kelvra = client_for(tool);
    ASSERT_TRUE(tool.wait_for_connections(1));
    kelvra->reconnect(10.0);
    ASSERT_TRUE(tool.wait_for_connections(2));
    ASSERT_TRUE(tool.wait_for_closed(1)) << "the first connection stays open";
    EXPECT_TRUE(kelvra->run_action(Kelvra::Action("after", json(1))));
    ASSERT_TRUE(tool.wait_for_lines(1));
    EXPECT_EQ(json::parse(tool.lines()[0]).at("action"), "after");

    tool.hang_up();
    EXPECT_TRUE(eventually([&] { return !kelvra->is_connected(); }));
    EXPECT_FALSE(kelvra->run_action(Kelvra::Action("lost", json(1))));
}

TEST(MotionKelvra, DisconnectSendsWhatWasQueuedFirst) {
    FakeTool tool;
    auto kelvra = client_for(tool);
    for (int i = 0; i < 20; ++i) kelvra->run_action(Kelvra::Action("unregister-robot", json{{"i", i}}));
    kelvra.reset();
    ASSERT_TRUE(tool.wait_for_lines(20));
    ASSERT_TRUE(tool.wait_for_closed(1));
}

TEST(MotionKelvra, EndpointFromTheEnvironment) {
    ::unsetenv("ORVANE_KELVRA_ENDPOINT");
    {
        Kelvra kelvra(false, false, 5.0);
        EXPECT_EQ(kelvra.host, "127.0.0.1");
        EXPECT_EQ(kelvra.port, 7331);
    }
    ::setenv("ORVANE_KELVRA_ENDPOINT", "localhost:9001", 1);
    {
        Kelvra kelvra(false, false, 5.0);
        EXPECT_EQ(kelvra.host, "localhost");
        EXPECT_EQ(kelvra.port, 9001);
    }
    for (const char* bad : {"localhost", "localhost:", "localhost:70000", ":9001", "host:12ab"}) {
        ::setenv("ORVANE_KELVRA_ENDPOINT", bad, 1);
        Kelvra kelvra(false, false, 5.0);
        EXPECT_EQ(kelvra.host, "127.0.0.1") << bad;
        EXPECT_EQ(kelvra.port, 7331) << bad;
    }
    ::unsetenv("ORVANE_KELVRA_ENDPOINT");
}

TEST(MotionKelvraEvents, SetJointPositionSplitsThePositionPerArm) {
    const std::vector<double> position{0.5, 1, 2, 3, 4, 5, 6};

    auto whole = Kelvra::Events::set_joint_position(position, nullptr);
    EXPECT_EQ(whole.name, "set-joint-position");
    ASSERT_EQ(whole.commands.size(), 1u);
    EXPECT_EQ(*whole.commands[0].data, json(position));
    EXPECT_FALSE(whole.commands[0].robot);

    auto arm = orvane::robots::fanuc_lrmate200id();
    auto rail = std::make_shared<orvane::LinearAxis>("rail", std::array<double, 3>{0, 1, 0},
                                                     orvane::JointLimits{0, 2, 1, 1});
    auto cell = std::make_shared<orvane::CompositeRobot>("cell", std::vector<std::shared_ptr<orvane::Robot>>{rail, arm});
    auto split = Kelvra::Events::set_joint_position(position, cell);
    ASSERT_EQ(split.commands.size(), 2u);
    EXPECT_EQ(*split.commands[0].robot, "rail");
    EXPECT_EQ(*split.commands[0].data, json::array({0.5}));
    EXPECT_EQ(*split.commands[1].robot, "lrmate200id");
    EXPECT_EQ(*split.commands[1].data, json::array({1.0, 2.0, 3.0, 4.0, 5.0, 6.0}));
    EXPECT_TRUE(split.commands[1].data->at(0).is_number_float());

    // A plain arm names itself.
    auto single = Kelvra::Events::set_joint_position({1, 2, 3, 4, 5, 6}, arm);
    ASSERT_EQ(single.commands.size(), 1u);
    EXPECT_EQ(*single.commands[0].robot, "lrmate200id");

    EXPECT_THROW(Kelvra::Events::set_joint_position({1, 2, 3}, cell), std::invalid_argument);
}

}  // namespace
