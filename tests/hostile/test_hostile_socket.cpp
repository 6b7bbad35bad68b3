// The RMI socket against a controller that misbehaves: every case ends in a
// clear, bounded outcome, the process lives, and the link works again once the
// controller behaves.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hostile/hostile_controller.hpp"
#include "support/log_capture.hpp"
#include "orvane/drivers/fanuc/rmi_requests.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/drivers/fanuc/rmi_socket.hpp"
#include "orvane/log/orvane_error.hpp"

using namespace std::chrono_literals;
using hostile::HostileController;
using orvane::drivers::ControllerStatusRequest;
using orvane::drivers::MotionInstruction;
using orvane::drivers::ControllerStatusResponse;
using orvane::drivers::RmiResponse;
using orvane::drivers::RmiSocket;

namespace {

using ResponseFuture = std::future<RmiSocket::ResponsePtr>;

// A bounded outcome: well within this on a loaded two-core machine.
constexpr auto outcome_limit = 10s;
constexpr const char* closed_message = "RMI Socket was closed before a response was received.";

// The OrvaneError message a future ends with, "" on success, "<no outcome>"
// if it did not end within the limit.
std::string outcome_of(ResponseFuture& future) {
    if (future.wait_for(outcome_limit) != std::future_status::ready) return "<no outcome>";
    try {
        future.get();
        return "";
    } catch (const orvane::OrvaneError& error) {
        return error.message;
    } catch (const std::exception& error) {
        return std::string("<not an OrvaneError> ") + error.what();
    }
}

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = outcome_limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return predicate();
}

// The peak resident size of this process so far (VmHWM), in KiB.
long peak_rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

std::string instruction_answer(int sequence_id) {
    return "{\"Instruction\" : \"FRC_JointMotionJRep\", \"ErrorID\" : 0, \"SequenceID\" : " +
           std::to_string(sequence_id) + "}\r\n";
}

// Answers every request as a controller should, except that a status request
// is left unanswered: it stays pending while the case misbehaves.
std::string all_but_status(const std::string& request) {
    if (request.find("FRC_GetStatus") != std::string::npos) return "";
    return HostileController::well_behaved_answer(request);
}

class HostileSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        socket = std::make_unique<RmiSocket>(controller.address());
        socket->retry_interval = 0.1f;
        ASSERT_TRUE(socket->wait_until_connect(10));
    }

    ResponseFuture status_request(std::optional<double> timeout = std::nullopt) {
        ControllerStatusRequest request;
        return socket->send_message(request, timeout);
    }

    // A status request left pending by the controller.
    ResponseFuture pending_status() {
        controller.set_responder(all_but_status);
        const auto seen = controller.received_count("FRC_GetStatus");
        auto status = status_request();
        EXPECT_TRUE(controller.wait_for_request("FRC_GetStatus", outcome_limit, seen + 1));
        return status;
    }

    // Once the controller behaves, the link comes back and answers.
    void expect_working_link_again() {
        controller.set_responder(HostileController::well_behaved_answer);
        ASSERT_TRUE(eventually([&] { return socket->is_connected(); }));
        auto status = status_request();
        ASSERT_EQ(outcome_of(status), "");
        EXPECT_EQ(socket->pending_count(), 0u);
    }

    ResponseFuture send_motion(int sequence_id) {
        MotionInstruction instruction(sequence_id, {0.0, 0.0, 0.0, 0.0, -0.5, 0.0}, 0.024, false);
        return socket->send_message(instruction);
    }

    HostileController controller;
    std::unique_ptr<RmiSocket> socket;
};

class HostileAnswerTest : public HostileSocketTest, public ::testing::WithParamInterface<std::string> {};

}  // namespace

TEST_F(HostileSocketTest, AnswerNestedAHundredThousandDeepDropsTheLinkWithAClearError) {
    orvane_test::LogCapture log(orvane::log::Level::Debug);
    auto status = pending_status();
    // A complete line of 200 kB, arriving in two receives.
    const std::string deep = "{\"Command\":\"FRC_GetStatus\",\"ErrorID\":" + std::string(100000, '[') +
                             std::string(100000, ']') + "}\r\n";
    ASSERT_TRUE(controller.send(deep.substr(0, 90000)));
    ASSERT_TRUE(controller.send(deep.substr(90000)));
    EXPECT_EQ(outcome_of(status), closed_message);
    // Refused as over-long, whether the reader saw its terminator yet or not.
    EXPECT_TRUE(eventually([&] { return log.contains("RMI line") && log.contains("100000 bytes"); }));
    EXPECT_TRUE(eventually([&] { return controller.data_connections() >= 2; }));
    expect_working_link_again();
}

TEST_F(HostileSocketTest, AnswerNestedTooDeepWithinTheLineLimitDropsTheLinkWithAClearError) {
    orvane_test::LogCapture log(orvane::log::Level::Debug);
    auto status = pending_status();
    const std::string deep = "{\"Command\":\"FRC_GetStatus\",\"ErrorID\":" + std::string(49000, '[') +
                             std::string(49000, ']') + "}\r\n";
    ASSERT_TRUE(controller.send(deep));
    EXPECT_EQ(outcome_of(status), closed_message);
    EXPECT_TRUE(eventually([&] { return log.contains("nests deeper than 32 levels"); }));
    expect_working_link_again();
}

// Values no controller sends, where the type or the number itself is wrong:
// the pending request ends with a clear error, never with a made-up value.
TEST_P(HostileAnswerTest, AnAnswerWithAnImpossibleValueFailsThePendingRequestClearly) {
    orvane_test::LogCapture log(orvane::log::Level::Debug);
    auto status = pending_status();
    ASSERT_TRUE(controller.send(GetParam() + "\r\n"));
    const auto outcome = outcome_of(status);
    EXPECT_NE(outcome, "");
    EXPECT_NE(outcome, "<no outcome>");
    EXPECT_EQ(outcome.find("<not an OrvaneError>"), std::string::npos) << outcome;
    expect_working_link_again();
    // The log says what was wrong, in the driver's words or the parser's.
    EXPECT_TRUE(log.contains("RMI Response field") || log.contains("json.exception.parse_error") ||
                log.contains("number overflow"));
}

INSTANTIATE_TEST_SUITE_P(
    Values, HostileAnswerTest,
    ::testing::Values(
        std::string(R"({"Command" : "FRC_GetStatus", "ErrorID" : "0"})"),
        std::string(R"({"Command" : "FRC_GetStatus", "ErrorID" : 1e400})"),
        std::string(R"({"Command" : "FRC_GetStatus", "ErrorID" : NaN})"),
        std::string(R"({"Command" : "FRC_GetStatus", "ErrorID" : -Infinity})"),
        std::string(R"({"Command" : "FRC_GetStatus", "ErrorID" : 0.5})"),
        std::string(R"({"Command" : 7, "ErrorID" : 0})"),
        std::string(R"({"Command" : "FRC_GetStatus", "ErrorID" : 0, "ServoReady" : 1, "TPMode" : 0, )"
                    R"("RMIMotionStatus" : 1, "ProgramStatus" : 0, "SingleStepMode" : 0, "NumberUTool" : 1, )"
                    R"("NumberUFrame" : 0, "NextSequenceID" : 1e400, "Override" : 100})"),
        std::string(R"({"Command" : "FRC_GetStatus", "ErrorID" : 0, "ServoReady" : "yes", "TPMode" : 0, )"
                    R"("RMIMotionStatus" : 1, "ProgramStatus" : 0, "SingleStepMode" : 0, "NumberUTool" : 1, )"
                    R"("NumberUFrame" : 0, "NextSequenceID" : 1, "Override" : 100})")));

TEST_F(HostileSocketTest, DuplicateAndUnsolicitedAnswersNeverCompleteAnotherRequest) {
    // Instructions are left for the test to answer.
    controller.set_responder([](const std::string& request) -> std::string {
        if (request.find("\"Instruction\"") != std::string::npos) return "";
        return HostileController::well_behaved_answer(request);
    });
    auto first = send_motion(1);
    auto second = send_motion(2);
    ASSERT_TRUE(controller.wait_for_request("\"SequenceID\":2", outcome_limit));
    ASSERT_TRUE(controller.send(instruction_answer(1)));
    ASSERT_EQ(outcome_of(first), "");

    // The same answer again, one for an instruction not sent yet, a nameless
    // refusal of a command while no command is pending, and a command answer
    // nobody asked for.
    ASSERT_TRUE(controller.send(instruction_answer(1)));
    ASSERT_TRUE(controller.send(instruction_answer(3)));
    ASSERT_TRUE(controller.send("{\"Command\" : \"Unknown\", \"ErrorID\" : 2556941}\r\n"));
    ASSERT_TRUE(controller.send(HostileController::well_behaved_answer("{\"Command\" : \"FRC_GetStatus\"}")));
    // Once a later request has its answer, every line above was handled.
    auto status = status_request();
    ASSERT_EQ(outcome_of(status), "");
    EXPECT_EQ(second.wait_for(0s), std::future_status::timeout) << "instruction 2 completed by another's answer";
    // Instruction 3 is sent after its stray answer came: that answer is not kept for it.
    auto third = send_motion(3);
    ASSERT_TRUE(controller.wait_for_request("\"SequenceID\":3", outcome_limit));
    auto status_again = status_request();
    ASSERT_EQ(outcome_of(status_again), "");
    EXPECT_EQ(third.wait_for(0s), std::future_status::timeout) << "instruction 3 completed by an earlier stray answer";
    EXPECT_EQ(socket->pending_count(), 2u);

    ASSERT_TRUE(controller.send(instruction_answer(2) + instruction_answer(3)));
    EXPECT_EQ(outcome_of(second), "");
    EXPECT_EQ(outcome_of(third), "");
    EXPECT_EQ(controller.data_connections(), 1u);  // nothing above was worth dropping the link for
}

TEST_F(HostileSocketTest, ALineThatTricklesInForeverEndsTheRequestAtItsTimeOut) {
    auto status = [&] {
        controller.set_responder(all_but_status);
        const auto seen = controller.received_count("FRC_GetStatus");
        auto request = status_request(1.0);
        EXPECT_TRUE(controller.wait_for_request("FRC_GetStatus", outcome_limit, seen + 1));
        return request;
    }();
    // One byte every 10 ms, never a terminator (it would take 1000 s to reach the line limit).
    auto loris = std::async(std::launch::async,
                            [&] { controller.trickle(std::string(100000, 'x'), 1, std::chrono::milliseconds(10)); });
    EXPECT_EQ(outcome_of(status), "No answer to FRC_GetStatus within 1 s.");
    controller.stop_sending();
    loris.wait();
    expect_working_link_again();
}

TEST_F(HostileSocketTest, AnAnswerArrivingByteByByteIsReassembled) {
    auto status = pending_status();
    std::string answer = HostileController::well_behaved_answer("{\"Command\" : \"FRC_GetStatus\"}");
    if (answer.find("\r\n") == std::string::npos) answer += "\r\n";
    controller.trickle(answer, 1, std::chrono::milliseconds(2));
    EXPECT_EQ(outcome_of(status), "");
    EXPECT_EQ(controller.data_connections(), 1u);
}

TEST_F(HostileSocketTest, AFiftyMegabyteLineDropsTheLinkWithoutHoldingItInMemory) {
    orvane_test::LogCapture log(orvane::log::Level::Debug);
    auto status = pending_status();
    const long peak_before = peak_rss_kib();
    const std::string megabyte(1 << 20, 'x');
    int sent = 0;
    while (sent < 50 && controller.send(megabyte)) ++sent;  // fails once the driver has closed the link
    EXPECT_EQ(outcome_of(status), closed_message);
    EXPECT_TRUE(eventually([&] { return log.contains("RMI line"); }));
    // The controller's own 1 MiB piece and the socket buffers account for a
    // few MiB; holding the line would take 50.
    EXPECT_LT(peak_rss_kib() - peak_before, 16 * 1024) << sent << " MiB were sent";
    expect_working_link_again();
}
