// The RMI socket against the bundled controller simulator over loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <future>
#include <random>
#include <thread>

#include <nlohmann/json.hpp>

#include "orvane/drivers/fanuc/rmi_requests.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/drivers/fanuc/rmi_socket.hpp"
#include "orvane/log/orvane_error.hpp"
#include "orvane/sim/controller_simulator.hpp"
#include "orvane/sim/testing.hpp"
#include "support/fake_control_port.hpp"
#include "support/silent_servers.hpp"
#include "support/log_capture.hpp"

#include <gmock/gmock.h>

using namespace std::chrono_literals;
using orvane::OrvaneError;
using orvane::drivers::ControllerStatusRequest;
using orvane::drivers::ControllerStatusResponse;
using orvane::drivers::InitializeRequest;
using orvane::drivers::JointAngleRequest;
using orvane::drivers::JointAngleResponse;
using orvane::drivers::MotionInstruction;
using orvane::drivers::ReadDIRequest;
using orvane::drivers::ReadDIResponse;
using orvane::drivers::ResetRequest;
using orvane::drivers::RmiResponse;
using orvane::drivers::RmiSocket;

namespace {

using ResponseFuture = std::future<RmiSocket::ResponsePtr>;

constexpr auto long_wait = 15s;

bool ready_within(ResponseFuture& future, std::chrono::milliseconds limit) {
    return future.wait_for(limit) == std::future_status::ready;
}

// The message of the OrvaneError a failed future carries ("" if it succeeded).
std::string failure_of(ResponseFuture& future) {
    if (!ready_within(future, long_wait)) {
        return "<not ready>";
    }
    try {
        future.get();
        return "";
    } catch (const OrvaneError& error) {
        return error.message;
    }
}

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = long_wait) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate()) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return predicate();
}

class RmiSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim = orvane::sim::testing::start_on_free_loopback();
        socket = std::make_unique<RmiSocket>(sim->config().address);
        socket->retry_interval = 0.1f;  // quick reconnects keep the suite short
        ASSERT_TRUE(socket->wait_until_connect(10));
        ASSERT_TRUE(sim->wait_for_client(10s));
    }

    void TearDown() override {
        socket.reset();
        sim.reset();
    }

    ResponseFuture status_request(std::optional<double> timeout = std::nullopt) {
        ControllerStatusRequest request;
        return socket->send_message(request, timeout);
    }

    // Resets and initialises RMI so that instructions are accepted.
    void start_rmi() {
        ResetRequest reset;
        auto reset_answer = socket->send_message(reset);
        ASSERT_TRUE(ready_within(reset_answer, long_wait));
        InitializeRequest initialize;
        auto answer = socket->send_message(initialize);
        ASSERT_TRUE(ready_within(answer, long_wait));
        ASSERT_TRUE(answer.get()->success);
    }

    ResponseFuture send_motion(int sequence_id, double j1, bool stop_at_target) {
        MotionInstruction instruction(sequence_id, {j1, 0.0, 0.0, 0.0, -0.5, 0.0}, 0.024, stop_at_target);
        return socket->send_message(instruction);
    }

    std::unique_ptr<orvane::sim::ControllerSimulator> sim;
    std::unique_ptr<RmiSocket> socket;
};

}  // namespace

TEST_F(RmiSocketTest, HandshakeUsesControlPortThenDataPort) {
    EXPECT_EQ(socket->major_version, 9);
    const auto lines = sim->received_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().channel, "control");
    EXPECT_EQ(lines.front().line, R"({"Communication":"FRC_Connect"})");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].channel, "data") << lines[i].line;
    }
    // The controller closes the control connection after its answer; the
    // link must stay up regardless, probe after probe.
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(socket->is_connected());
    EXPECT_EQ(sim->connection_count(), 1u);
}

TEST_F(RmiSocketTest, CommandsAreAnsweredWithTheirTypedResponse) {
    auto status = status_request(1.0);
    ASSERT_TRUE(ready_within(status, long_wait));
    const auto response = RmiResponse::as<ControllerStatusResponse>(status.get());
    EXPECT_TRUE(response->success);
    EXPECT_TRUE(response->servo_ready);
    EXPECT_EQ(socket->pending_count(), 0u);

    sim->set_digital_input(12, true);
    ReadDIRequest read(12);
    auto input = socket->send_message(read, 1.0);
    ASSERT_TRUE(ready_within(input, long_wait));
    EXPECT_TRUE(RmiResponse::as<ReadDIResponse>(input.get())->port_value);
}

TEST_F(RmiSocketTest, ConcurrentCommandsAndInstructionsAreMatchedToTheirRequests) {
    start_rmi();
    std::atomic<bool> streaming{true};
    std::atomic<int> joint_reads{0};
    std::thread reader([&] {
        while (streaming) {
            JointAngleRequest request;
            auto answer = socket->send_message(request, 1.0);
            ASSERT_TRUE(ready_within(answer, long_wait));
            const auto response = answer.get();
            // A refusal (command still pending on the controller) is fine; a
            // mismatched answer type is not.
            if (response->success) {
                EXPECT_NO_THROW(RmiResponse::as<JointAngleResponse>(response));
                ++joint_reads;
            }
        }
    });
    std::vector<ResponseFuture> answers;
    for (int id = 1; id <= 8; ++id) {
        answers.push_back(send_motion(id, 0.01 * id, id == 8));
        if (answers.size() > 4) {  // keep at most four in flight, as a driver does
            auto& oldest = answers[answers.size() - 5];
            ASSERT_TRUE(ready_within(oldest, long_wait));
        }
    }
    for (int id = 1; id <= 8; ++id) {
        auto& answer = answers[static_cast<std::size_t>(id - 1)];
        ASSERT_TRUE(ready_within(answer, long_wait)) << "instruction " << id;
        const auto response = answer.get();
        EXPECT_TRUE(response->success) << "instruction " << id << " error " << response->error_id;
        EXPECT_EQ(response->get_id(), "Instruction" + std::to_string(id));
    }
    streaming = false;
    reader.join();
    EXPECT_GT(joint_reads.load(), 0);
    // Every line the controller received is one whole JSON object.
    for (const auto& line : sim->received_lines()) {
        EXPECT_TRUE(nlohmann::json::accept(line.line)) << line.line;
    }
}

TEST_F(RmiSocketTest, RefusedInstructionFailsAllPendingInstructionsButNoCommand) {
    sim->withhold_answers(true);
    auto status = status_request();
    auto first = send_motion(1, 0.0, false);
    auto second = send_motion(2, 0.0, false);
    ASSERT_TRUE(sim->wait_for_line([](const std::string& l) { return l.find("\"SequenceID\":2") != std::string::npos; },
                                   long_wait));
    sim->send_raw("{\"Instruction\" : \"FRC_JointMotionJRep\", \"ErrorID\" : 2556957, \"SequenceID\" : 2}\r\n");

    EXPECT_EQ(failure_of(first), "Instruction2 was not accepted. Error code: 2556957");
    EXPECT_EQ(failure_of(second), "Instruction2 was not accepted. Error code: 2556957");
    EXPECT_FALSE(ready_within(status, 200ms));
    EXPECT_TRUE(socket->is_connected());

    sim->send_raw("{\"Command\" : \"FRC_GetStatus\", \"ErrorID\" : 0, \"ServoReady\" : 1, \"TPMode\" : 0, "
                  "\"RMIMotionStatus\" : 0, \"ProgramStatus\" : 0, \"SingleStepMode\" : 0, \"NumberUTool\" : 1, "
                  "\"NumberUFrame\" : 0, \"NextSequenceID\" : 1, \"Override\" : 100}\r\n");
    ASSERT_TRUE(ready_within(status, long_wait));
    EXPECT_TRUE(status.get()->success);
}

TEST_F(RmiSocketTest, SystemFaultFailsInstructionsAndKeepsTheLink) {
    sim->withhold_answers(true);
    auto status = status_request();
    auto motion = send_motion(1, 0.0, false);
    ASSERT_TRUE(sim->wait_for_line([](const std::string& l) { return l.find("SequenceID") != std::string::npos; },
                                   long_wait));
    sim->push_system_fault(1);
    EXPECT_EQ(failure_of(motion), "Robot faulted during motion execution.");
    EXPECT_FALSE(ready_within(status, 200ms));
    EXPECT_TRUE(socket->is_connected());
    EXPECT_EQ(sim->connection_count(), 1u);
}

TEST_F(RmiSocketTest, TerminateFailsEverythingAndTheMonitorReconnects) {
    sim->withhold_answers(true);
    auto status = status_request();
    auto motion = send_motion(1, 0.0, false);
    ASSERT_TRUE(sim->wait_for_line([](const std::string& l) { return l.find("SequenceID") != std::string::npos; },
                                   long_wait));
    sim->push_terminate();
    EXPECT_EQ(failure_of(status), "FANUC controller disconnected (FRC_Terminate)");
    EXPECT_EQ(failure_of(motion), "FANUC controller disconnected (FRC_Terminate)");
    sim->withhold_answers(false);
    EXPECT_TRUE(eventually([&] { return sim->connection_count() >= 2 && socket->is_connected(); }));
    auto again = status_request(1.0);
    ASSERT_TRUE(ready_within(again, long_wait));
    EXPECT_TRUE(again.get()->success);
}

TEST_F(RmiSocketTest, DroppedLinkFailsPendingRequestsAndReconnects) {
    sim->withhold_answers(true);
    auto status = status_request();
    ASSERT_TRUE(sim->wait_for_line([](const std::string& l) { return l.find("FRC_GetStatus") != std::string::npos; },
                                   long_wait));
    sim->drop_connections();
    EXPECT_EQ(failure_of(status), "RMI Socket was closed before a response was received.");
    sim->withhold_answers(false);
    EXPECT_TRUE(eventually([&] { return sim->connection_count() >= 2 && socket->is_connected(); }));
}

TEST_F(RmiSocketTest, TheListenerHearsOfAnswersAfterTheirRequestsCompleteAndOfALostLink) {
    std::mutex mutex;
    std::condition_variable called;
    int calls = 0;
    bool answered_first = true;
    std::optional<ResponseFuture> watched;
    socket->set_listener([&] {
        std::lock_guard lock(mutex);
        // The request an answer belongs to is complete before the listener runs.
        if (watched && watched->wait_for(0s) != std::future_status::ready) answered_first = false;
        ++calls;
        called.notify_all();
    });
    const auto calls_reach = [&](int count) {
        std::unique_lock lock(mutex);
        return called.wait_for(lock, long_wait, [&] { return calls >= count; });
    };
    {
        std::lock_guard lock(mutex);
        watched = status_request(1.0);
    }
    ASSERT_TRUE(calls_reach(1));
    int before_drop = 0;
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(answered_first);
        watched.reset();
        before_drop = calls;
    }
    sim->drop_connections();
    EXPECT_TRUE(calls_reach(before_drop + 1));
    EXPECT_TRUE(eventually([&] { return !socket->is_connected() || sim->connection_count() >= 2; }));

    // Once cleared it is never called again, even as the link comes back.
    socket->set_listener(nullptr);
    int after_clear = 0;
    {
        std::lock_guard lock(mutex);
        after_clear = calls;
    }
    ASSERT_TRUE(eventually([&] { return socket->is_connected(); }));
    auto status = status_request(1.0);
    ASSERT_TRUE(ready_within(status, long_wait));
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls, after_clear);
}

TEST_F(RmiSocketTest, RequestTimeOutEndsTheRequestAtItsDeadlineAndDropsTheLink) {
    // The monitor's own pace must not matter: it wakes for the deadline.
    socket->retry_interval = 5.0f;
    sim->withhold_answers(true);
    const auto sent = std::chrono::steady_clock::now();
    auto status = status_request(1.0);
    ASSERT_TRUE(ready_within(status, long_wait));
    const auto took = std::chrono::steady_clock::now() - sent;
    EXPECT_EQ(failure_of(status), "No answer to FRC_GetStatus within 1 s.");
    EXPECT_GE(took, 1s);
    EXPECT_LT(took, 1800ms);  // generous for a loaded machine; it used to take up to 4 s
    sim->withhold_answers(false);
    EXPECT_TRUE(eventually([&] { return sim->connection_count() >= 2 && socket->is_connected(); }));
}

TEST_F(RmiSocketTest, LinesCutOrMergedByTcpAreReassembled) {
    sim->withhold_answers(true);
    auto status = status_request();
    ReadDIRequest read(3);
    auto input = socket->send_message(read);
    ASSERT_TRUE(sim->wait_for_line([](const std::string& l) { return l.find("FRC_ReadDIN") != std::string::npos; },
                                   long_wait));
    const std::string status_line =
        "{\"Command\" : \"FRC_GetStatus\", \"ErrorID\" : 0, \"ServoReady\" : 1, \"TPMode\" : 0, "
        "\"RMIMotionStatus\" : 1, \"ProgramStatus\" : 0, \"SingleStepMode\" : 0, \"NumberUTool\" : 1, "
        "\"NumberUFrame\" : 0, \"NextSequenceID\" : 4, \"Override\" : 100}\r\n";
    const std::string input_line = "{\"Command\" : \"FRC_ReadDIN\", \"ErrorID\" : 0, \"PortNumber\" : 3, \"PortValue\" : 1}\r\n";

    // A line cut in two receives, the second receive carrying the rest, a
    // blank line and the whole next line.
    sim->send_raw(status_line.substr(0, 37));
    EXPECT_FALSE(ready_within(status, 100ms));
    sim->send_raw(status_line.substr(37) + "\r\n  \r\n" + input_line);

    ASSERT_TRUE(ready_within(status, long_wait));
    EXPECT_EQ(RmiResponse::as<ControllerStatusResponse>(status.get())->next_sequence_id, 4);
    ASSERT_TRUE(ready_within(input, long_wait));
    EXPECT_TRUE(RmiResponse::as<ReadDIResponse>(input.get())->port_value);
    EXPECT_TRUE(socket->is_connected());
    EXPECT_EQ(sim->connection_count(), 1u);
}

TEST_F(RmiSocketTest, SimulatorSplitAnswerArrivesWhole) {
    sim->split_next_answer(12, 0.1);
    auto status = status_request(1.0);
    ASSERT_TRUE(ready_within(status, long_wait));
    EXPECT_TRUE(RmiResponse::as<ControllerStatusResponse>(status.get())->success);
}

class RmiSocketBadInputTest : public RmiSocketTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(RmiSocketBadInputTest, DropsTheLinkAndReconnects) {
    sim->withhold_answers(true);
    auto status = status_request();
    ASSERT_TRUE(sim->wait_for_line([](const std::string& l) { return l.find("FRC_GetStatus") != std::string::npos; },
                                   long_wait));
    sim->send_raw(GetParam());
    EXPECT_EQ(failure_of(status), "RMI Socket was closed before a response was received.");
    sim->withhold_answers(false);
    EXPECT_TRUE(eventually([&] { return sim->connection_count() >= 2 && socket->is_connected(); }));
    auto again = status_request(1.0);
    ASSERT_TRUE(ready_within(again, long_wait));
    EXPECT_TRUE(again.get()->success);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RmiSocketBadInputTest,
    ::testing::Values(std::string("{\"Command\" : \"FRC_GetStatus\", \"ErrorID\" : \r\n"),       // malformed
                      std::string("\x00\xff\xfe garbage \x01\x02\r\n", sizeof("\x00\xff\xfe garbage \x01\x02\r\n") - 1),                      // garbage bytes
                      std::string(150000, 'x'),                                                // over-long, no end
                      std::string("{\"Nonsense\" : \"FRC_GetStatus\", \"ErrorID\" : 0}\r\n"),   // unknown kind
                      std::string("[1, 2, 3]\r\n"),                                             // not an object
                      std::string("{\"Command\" : \"FRC_Reset\"}\r\n")));                        // no ErrorID

TEST_F(RmiSocketTest, AnUnknownPacketAnswerCompletesThePendingCommandAndKeepsTheLink) {
    // Older firmware answers a packet it does not know without naming it.
    sim->withhold_answers(true);
    auto status = status_request();
    ASSERT_TRUE(sim->wait_for_line([](const std::string& l) { return l.find("FRC_GetStatus") != std::string::npos; },
                                   long_wait));
    sim->send_raw("{\"Command\" : \"Unknown\", \"ErrorID\" : 2556941}\r\n");
    ASSERT_TRUE(ready_within(status, long_wait));
    const auto answer = status.get();
    EXPECT_EQ(answer->get_name(), "Unknown");
    EXPECT_FALSE(answer->success);
    EXPECT_EQ(answer->error_id, 2556941);
    sim->withhold_answers(false);
    EXPECT_TRUE(socket->is_connected());
    EXPECT_EQ(sim->connection_count(), 1u);
}

TEST_F(RmiSocketTest, SecondRequestUnderTheSameKeyBreaksTheFirstPromise) {
    sim->withhold_answers(true);
    auto first = status_request();
    auto second = status_request();
    ASSERT_TRUE(ready_within(first, long_wait));
    try {
        first.get();
        FAIL() << "the replaced request must not succeed";
    } catch (const std::future_error& error) {
        EXPECT_EQ(error.code(), std::future_errc::broken_promise);
    }
    EXPECT_FALSE(ready_within(second, 100ms));
}

TEST_F(RmiSocketTest, DisconnectSendsDisconnectAndReconnectRestoresTheLink) {
    socket->disconnect();
    EXPECT_FALSE(socket->is_connected());
    EXPECT_TRUE(sim->wait_for_line([](const std::string& l) { return l.find("FRC_Disconnect") != std::string::npos; },
                                   long_wait));
    EXPECT_THROW(status_request(), OrvaneError);
    // No reconnection while a disconnect is requested.
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(socket->is_connected());
    EXPECT_TRUE(socket->reconnect());
    auto status = status_request(1.0);
    ASSERT_TRUE(ready_within(status, long_wait));
    EXPECT_TRUE(status.get()->success);
}

TEST(RmiSocketOffline, SendWhileDisconnectedThrowsAndRegistersNothing) {
    auto sim = orvane::sim::testing::start_on_free_loopback();
    const auto address = sim->config().address;
    sim.reset();  // nothing listens there any more
    RmiSocket socket(address);
    ControllerStatusRequest request;
    try {
        socket.send_message(request, 1.0);
        FAIL() << "sending without a link must throw";
    } catch (const OrvaneError& error) {
        EXPECT_EQ(error.type, "driver.fanuc");
        EXPECT_EQ(error.message, "Cannot send message to RMI as socket is not currently connected");
    }
    EXPECT_EQ(socket.pending_count(), 0u);
    EXPECT_FALSE(socket.wait_until_connect(0.5));
}

TEST(RmiSocketOffline, CloseOnSocketsNeverOpenedIsHarmless) {
    auto sim = orvane::sim::testing::start_on_free_loopback();
    const auto address = sim->config().address;
    sim.reset();
    RmiSocket socket(address);
    EXPECT_NO_THROW(socket.close_sockets());
    EXPECT_FALSE(socket.is_connected());
}

using orvane_test::BlackHole;
using orvane_test::SilentServer;

TEST(RmiSocketBoundedConnect, DestructionInterruptsAConnectThatHangs) {
    BlackHole hole;
    ASSERT_GE(hole.fd, 0);
    auto socket = std::make_unique<RmiSocket>(hole.address);
    std::this_thread::sleep_for(300ms);  // let the monitor start its attempt
    const auto start = std::chrono::steady_clock::now();
    socket.reset();
    // The kernel would retry SYNs for about two minutes.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(RmiSocketBoundedConnect, AttemptAgainstAnUnansweringHostGivesUp) {
    BlackHole hole;
    ASSERT_GE(hole.fd, 0);
    RmiSocket socket(hole.address, 16001, 1.0);
    EXPECT_FALSE(socket.connect());
    EXPECT_THAT(socket.last_connect_failure(),
                ::testing::StartsWith("Could not connect to FANUC RMI server at " + hole.address +
                                      " port 16001: no answer within 1 s; check that the controller"));
}

TEST(RmiSocketBoundedConnect, SilentServerDoesNotHoldTheHandshake) {
    SilentServer server;
    ASSERT_GE(server.fd, 0);
    RmiSocket socket(server.address, 16001, 1.0);
    EXPECT_FALSE(socket.connect());
    EXPECT_FALSE(socket.is_connected());
    EXPECT_THAT(socket.last_connect_failure(),
                ::testing::HasSubstr("port 16001: the server accepted the connection but did not answer FRC_Connect "
                                     "within 1 s"));
}

namespace {

std::unique_ptr<orvane_test::FakeControlPort> fake_on_free_loopback(std::uint16_t port,
                                                                    std::function<std::string()> answer,
                                                                    std::string address = "") {
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 50; ++attempt) {
        const auto where = !address.empty() ? address
                                            : "127." + std::to_string(random() % 200 + 20) + "." +
                                                  std::to_string(random() % 250 + 1) + "." +
                                                  std::to_string(random() % 250 + 1);
        auto fake = std::make_unique<orvane_test::FakeControlPort>(where, port, answer);
        if (fake->listening()) return fake;
    }
    return nullptr;
}

struct BadHandshake {
    std::string answer;  // bytes sent back to "FRC_Connect"
    std::string reason;  // what the failure names
};

class RmiSocketHandshakeTest : public ::testing::TestWithParam<BadHandshake> {};

}  // namespace

TEST_P(RmiSocketHandshakeTest, AnUnusableAnswerFailsTheAttemptAndIsLoggedOnce) {
    orvane_test::LogCapture log;
    auto control = fake_on_free_loopback(16001, [answer = GetParam().answer] { return answer; });
    ASSERT_TRUE(control);
    // Where 70000 would lead if taken modulo 65536.
    auto wrapped = fake_on_free_loopback(4464, [] { return std::string(); }, control->address());
    ASSERT_TRUE(wrapped);
    {
        RmiSocket socket(control->address());
        socket.retry_interval = 0.05f;
        ASSERT_TRUE(eventually([&] { return control->accepted() >= 3; }));
        EXPECT_FALSE(socket.is_connected());
        EXPECT_THAT(socket.last_connect_failure(), ::testing::HasSubstr(GetParam().reason));
    }
    EXPECT_EQ(log.count(orvane::log::Level::Error, GetParam().reason), 1u);
    EXPECT_EQ(log.empty_messages(), 0u);
    EXPECT_EQ(wrapped->accepted(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RmiSocketHandshakeTest,
    ::testing::Values(
        BadHandshake{"{\"Communication\" : \"FRC_Connect\", \"ErrorID\" : 7, \"PortNumber\" : 16002, "
                     "\"MajorVersion\" : 9, \"MinorVersion\" : 0}\r\n",
                     "refused FRC_Connect with error id 7"},
        BadHandshake{"{\"Communication\" : \"FRC_Connect\", \"ErrorID\" : 0, \"PortNumber\" : 70000, "
                     "\"MajorVersion\" : 9, \"MinorVersion\" : 0}\r\n",
                     "names data port 70000, which is no TCP port"},
        BadHandshake{"{\"Communication\" : \"FRC_Connect\", \"ErrorID\" : 0, \"PortNumber\" : 65536, "
                     "\"MajorVersion\" : 9, \"MinorVersion\" : 0}\r\n",
                     "names data port 65536"},
        BadHandshake{"{\"Communication\" : \"FRC_Connect\", \"ErrorID\" : 0, \"PortNumber\" : 0, "
                     "\"MajorVersion\" : 9, \"MinorVersion\" : 0}\r\n",
                     "names data port 0,"},
        BadHandshake{"{\"Communication\" : \"FRC_Connect\", \"ErrorID\" : 0, \"PortNumber\" : \"16002\", "
                     "\"MajorVersion\" : 9, \"MinorVersion\" : 0}\r\n",
                     "PortNumber is not an integer"},
        BadHandshake{"{\"Communication\" : \"FRC_Connect\", \"ErrorID\" : 0, \"PortNumber\" : 16002.5, "
                     "\"MajorVersion\" : 9, \"MinorVersion\" : 0}\r\n",
                     "PortNumber is not an integer"},
        BadHandshake{"\x01\x02 garbage\r\n", "answered, but not as an RMI controller ('\\x01\\x02 garbage'"},
        BadHandshake{"{\"Communication\" : \"FRC_Connect\", \"ErrorID\" : 0, \"Port",
                     "answered, but not as an RMI controller ('{\"Communication\" : \"FRC_Connect\""}));

// reconnect() as a driver's constructor uses it: an answer that no retry can
// change ends the wait at once, silence ends it at the time-out, and while a
// caller waits (and will report the failure) nothing reaches the error log.
namespace {

std::string unused_loopback_address() {
    auto sim = orvane::sim::testing::start_on_free_loopback();
    const auto address = sim->config().address;
    sim.reset();  // nothing listens there any more
    return address;
}

}  // namespace

TEST(RmiSocketReconnect, ARefusedPortOrAServerThatIsNotRmiEndsTheWaitAtOnce) {
    orvane_test::LogCapture log;
    auto web = fake_on_free_loopback(16001, [] { return std::string("HTTP/1.1 400 Bad Request\r\n\r\n"); });
    ASSERT_TRUE(web);
    const std::string nobody = unused_loopback_address();
    const std::pair<std::string, std::string> cases[] = {
        {nobody, "the connection was refused (nothing listens on that port); check the address, the port and that "
                 "RMI runs on the controller."},
        {web->address(), "the server answered, but not as an RMI controller ('HTTP/1.1 400 Bad Request'); check the "
                         "address and the port."},
    };
    for (const auto& [address, reason] : cases) {
        // A minute's time-out: ending well before it can only be the answer's doing.
        RmiSocket socket(address, 16001, 60.0, false);  // the first attempt is reconnect()'s
        auto waited = std::async(std::launch::async, [&socket] { return socket.reconnect(); });
        ASSERT_EQ(waited.wait_for(30s), std::future_status::ready) << reason;
        EXPECT_FALSE(waited.get());
        EXPECT_EQ(socket.last_connect_failure(),
                  "Could not connect to FANUC RMI server at " + address + " port 16001: " + reason);
    }
    EXPECT_EQ(log.count(orvane::log::Level::Error, "Could not connect"), 0u);
    EXPECT_GE(web->accepted(), 1u);
}

TEST(RmiSocketReconnect, SilenceEndsTheWaitAtTheTimeOutAndIsNotLoggedAgainAfterwards) {
    orvane_test::LogCapture log(orvane::log::Level::Debug);
    BlackHole hole;
    SilentServer server;
    ASSERT_GE(hole.fd, 0);
    ASSERT_GE(server.fd, 0);
    const std::pair<std::string, std::string> cases[] = {
        {hole.address, "no answer within 1 s; check that the controller is switched on and reachable from this "
                       "computer."},
        {server.address, "the server accepted the connection but did not answer FRC_Connect within 1 s; check that "
                         "the port is the controller's RMI port and that RMI runs on the controller."},
    };
    for (const auto& [address, reason] : cases) {
        RmiSocket socket(address, 16001, 1.0, false);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(socket.reconnect());
        EXPECT_GE(std::chrono::steady_clock::now() - start, 1s) << reason;
        const auto expected = "Could not connect to FANUC RMI server at " + address + " port 16001: " + reason;
        EXPECT_EQ(socket.last_connect_failure(), expected);
        // The attempt that the deadline cut off ends on its own and says the same, at debug level only.
        EXPECT_TRUE(eventually([&] { return log.count(orvane::log::Level::Debug, expected) >= 1; }));
    }
    EXPECT_EQ(log.count(orvane::log::Level::Error, "Could not connect"), 0u);
}

TEST(RmiSocketReconnect, AnotherControlPortIsTheOneAsked) {
    orvane::sim::SimulatorConfig config;
    config.control_port = 0;  // any free port but 16001
    auto sim = orvane::sim::testing::start_on_free_loopback(config);
    ASSERT_NE(sim->control_port(), 16001);
    RmiSocket on_default(sim->config().address, 16001, 1.0);
    EXPECT_FALSE(on_default.reconnect());
    EXPECT_THAT(on_default.last_connect_failure(), ::testing::HasSubstr("port 16001: the connection was refused"));
    RmiSocket socket(sim->config().address, sim->control_port(), 30.0);
    ASSERT_TRUE(socket.reconnect());
    EXPECT_EQ(socket.last_connect_failure(), "");
    auto status = ControllerStatusRequest();
    auto answer = socket.send_message(status, 1.0);
    ASSERT_TRUE(ready_within(answer, long_wait));
    EXPECT_TRUE(answer.get()->success);
}
