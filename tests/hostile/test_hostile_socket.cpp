// The RMI socket against a controller that misbehaves: every case ends in a
// clear, bounded outcome, the process lives, and the link works again once the
// controller behaves.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "hostile/hostile_controller.hpp"
#include "support/log_capture.hpp"
#include "orvane/drivers/fanuc/rmi_requests.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/drivers/fanuc/rmi_socket.hpp"
#include "orvane/log/orvane_error.hpp"

using namespace std::chrono_literals;
using hostile::HostileController;
using orvane::drivers::ControllerStatusRequest;
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

    HostileController controller;
    std::unique_ptr<RmiSocket> socket;
};

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
