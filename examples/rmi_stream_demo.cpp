// Talks RMI to a FANUC controller: connect, read the status and the joints,
// stream a short joint motion, disconnect. Without --host it starts the
// bundled controller simulator on loopback and drives that.
#include <cmath>
#include <cstdio>
#include <deque>
#include <future>
#include <iostream>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "orvane/drivers/fanuc/rmi_requests.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"
#include "orvane/drivers/fanuc/rmi_socket.hpp"
#include "orvane/log/orvane_error.hpp"
#include "orvane/sim/controller_simulator.hpp"
#include "orvane/sim/testing.hpp"

using namespace orvane::drivers;
using namespace std::chrono_literals;

namespace {

constexpr double deg = std::numbers::pi / 180.0;
constexpr int instruction_count = 50;
constexpr double control_interval = 0.024;  // s, the controller's minimum motion time
constexpr std::size_t max_in_flight = 4;

RmiSocket::ResponsePtr wait(std::future<RmiSocket::ResponsePtr> future, const char* what) {
    if (future.wait_for(15s) != std::future_status::ready) {
        throw std::runtime_error(std::string("no answer to ") + what);
    }
    return future.get();
}

template <typename Request>
RmiSocket::ResponsePtr exchange(RmiSocket& socket, Request request, const char* what, double timeout = 5.0) {
    return wait(socket.send_message(request, timeout), what);
}

// Joint values in the planner's convention (J3 independent of J2).
std::vector<double> read_joints(RmiSocket& socket) {
    const auto answer = RmiResponse::as<JointAngleResponse>(exchange(socket, JointAngleRequest{}, "FRC_ReadJointAngles"));
    std::vector<double> joints(answer->joint_angles.begin(), answer->joint_angles.begin() + 6);
    joints[2] += joints[1];
    return joints;
}

void print_joints(const char* label, const std::vector<double>& joints) {
    std::printf("%-22s", label);
    for (const double value : joints) {
        std::printf(" %8.3f", value / deg);
    }
    std::printf("  (deg)\n");
}

bool confirm_real_robot(const std::string& host) {
    std::printf("About to move the REAL robot at %s. Clear the work cell. Type 'yes' to go on: ", host.c_str());
    std::fflush(stdout);
    std::string answer;
    return static_cast<bool>(std::getline(std::cin, answer)) && answer == "yes";
}

int run(const std::string& host, orvane::sim::ControllerSimulator* sim) {
    std::printf("Connecting to the RMI server at %s ...\n", host.c_str());
    RmiSocket socket(host);
    if (!socket.wait_until_connect(10)) {
        std::printf("Could not connect to %s.\n", host.c_str());
        return 1;
    }
    std::printf("Connected; controller reports RMI major version %d.\n", socket.major_version.load());

    const auto status = RmiResponse::as<ControllerStatusResponse>(exchange(socket, ControllerStatusRequest{}, "FRC_GetStatus"));
    std::printf("Status: servo ready %d, teach pendant %d, RMI motion %d, single step %d, next sequence ID %d\n",
                status->servo_ready, status->tp_mode, status->rmi_motion_status, status->single_step_mode,
                status->next_sequence_id);

    const auto start = read_joints(socket);
    print_joints("Joints at start:", start);

    std::printf("Enabling: FRC_Reset, FRC_Abort, FRC_Initialize ...\n");
    if (!exchange(socket, ResetRequest{}, "FRC_Reset", 15.0)->success) {
        std::printf("FRC_Reset refused: an alarm is still active.\n");
        return 1;
    }
    exchange(socket, AbortRequest{}, "FRC_Abort", 10.0);
    const auto initialized = exchange(socket, InitializeRequest{}, "FRC_Initialize");
    if (!initialized->success) {
        std::printf("FRC_Initialize refused with error %d.\n", initialized->error_id);
        return 1;
    }
    int sequence_id =
        RmiResponse::as<ControllerStatusResponse>(exchange(socket, ControllerStatusRequest{}, "FRC_GetStatus"))->next_sequence_id;

    // J1 swings out by 15 degrees and back on a smooth (cosine) profile.
    std::printf("Streaming %d joint motion instructions of %.0f ms each, at most %zu in flight ...\n", instruction_count,
                control_interval * 1000, max_in_flight);
    std::deque<std::future<RmiSocket::ResponsePtr>> in_flight;
    int answered = 0;
    auto take_oldest = [&] {
        const auto answer = wait(std::move(in_flight.front()), "a motion instruction");
        in_flight.pop_front();
        if (!answer->success) {
            throw std::runtime_error(answer->get_id() + " refused with error " + std::to_string(answer->error_id));
        }
        ++answered;
        if (answered % 10 == 0) {
            std::printf("  %d/%d instructions done\n", answered, instruction_count);
        }
    };
    for (int k = 1; k <= instruction_count; ++k) {
        const double phase = 2.0 * std::numbers::pi * k / instruction_count;
        std::vector<double> target = start;
        target[0] += 15.0 * deg * 0.5 * (1.0 - std::cos(phase));
        target[2] -= target[1];  // the controller takes J3 relative to J2
        MotionInstruction instruction(sequence_id++, target, control_interval, k == instruction_count);
        in_flight.push_back(socket.send_message(instruction));
        if (in_flight.size() >= max_in_flight) {
            take_oldest();
        }
    }
    while (!in_flight.empty()) {
        take_oldest();
    }
    print_joints("Joints at the end:", read_joints(socket));

    exchange(socket, AbortRequest{}, "FRC_Abort", 10.0);
    socket.disconnect();
    std::printf("Disconnected.\n");

    if (sim != nullptr) {
        std::printf("Simulator: %zu lines received, %zu path samples executed, %zu velocity slow-downs.\n",
                    sim->received_lines().size(), sim->executed_path().size(), sim->slow_downs().size());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string host;
    bool assume_yes = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--host" && i + 1 < argc) {
            host = argv[++i];
        } else if (argument == "--yes") {
            assume_yes = true;
        } else {
            std::printf("usage: %s [--host ADDRESS [--yes]]\n", argv[0]);
            return argument == "--help" || argument == "-h" ? 0 : 2;
        }
    }
    try {
        if (!host.empty()) {
            if (!assume_yes && !confirm_real_robot(host)) {
                std::printf("Not confirmed; nothing was sent.\n");
                return 1;
            }
            return run(host, nullptr);
        }
        auto sim = orvane::sim::testing::start_on_free_loopback();
        std::printf("Started the bundled controller simulator on %s (control port 16001, data port %u).\n",
                    sim->config().address.c_str(), sim->data_port());
        return run(sim->config().address, sim.get());
    } catch (const std::exception& error) {
        std::printf("Failed: %s\n", error.what());
        return 1;
    }
}
