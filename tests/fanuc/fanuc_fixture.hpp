// A simulated controller on its own loopback address and a FanucDriver for an
// LR Mate connected to it, with helpers that read the simulator's records.
#pragma once

#include <chrono>
#include <cmath>
#include <cstddef>
#include <functional>
#include <future>
#include <memory>
#include <numbers>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <orvane/motion.hpp>
#include <orvane/motion/robots.hpp>

#include "orvane/drivers/fanuc/fanuc_driver.hpp"
#include "orvane/sim/controller_simulator.hpp"
#include "orvane/sim/testing.hpp"

namespace orvane::drivers {
inline void PrintTo(const Result& result, std::ostream* out) { *out << result.code << " (" << result.message << ")"; }
inline void PrintTo(const ControllerStatus& status, std::ostream* out) {
    *out << status.code << " (" << status.message << ")";
}
}  // namespace orvane::drivers

namespace fanuc_test {

using namespace std::chrono_literals;
using orvane::drivers::ControllerStatus;
using orvane::drivers::FanucDriver;
using orvane::drivers::Result;

// Generous: the machine is shared and may run under a sanitizer.
inline constexpr auto wait_limit = std::chrono::seconds(30);
inline constexpr double degrees_per_radian = 180.0 / std::numbers::pi;

// One instruction line the simulator received.
struct SentInstruction {
    std::string name;
    int sequence_id{0};
    int term_value{-1};
    std::vector<double> joints_deg;  // controller convention (J3 relative to J2)
};

inline std::vector<nlohmann::json> data_packets(const orvane::sim::ControllerSimulator& sim) {
    std::vector<nlohmann::json> packets;
    for (const auto& line : sim.received_lines()) {
        if (line.channel != "data") continue;
        auto packet = nlohmann::json::parse(line.line, nullptr, false);
        if (packet.is_object()) packets.push_back(std::move(packet));
    }
    return packets;
}

inline std::vector<SentInstruction> sent_instructions(const orvane::sim::ControllerSimulator& sim) {
    std::vector<SentInstruction> out;
    for (const auto& packet : data_packets(sim)) {
        if (!packet.contains("Instruction")) continue;
        SentInstruction instruction;
        instruction.name = packet["Instruction"].get<std::string>();
        instruction.sequence_id = packet.value("SequenceID", 0);
        instruction.term_value = packet.value("TermValue", -1);
        if (packet.contains("JointAngle")) {
            for (int k = 1; k <= 9; ++k) {
                instruction.joints_deg.push_back(packet["JointAngle"]["J" + std::to_string(k)].get<double>());
            }
        }
        out.push_back(std::move(instruction));
    }
    return out;
}

inline std::vector<SentInstruction> sent_motions(const orvane::sim::ControllerSimulator& sim) {
    std::vector<SentInstruction> motions;
    for (auto& instruction : sent_instructions(sim)) {
        if (instruction.name == "FRC_JointMotionJRep") motions.push_back(std::move(instruction));
    }
    return motions;
}

inline std::vector<std::string> sent_commands(const orvane::sim::ControllerSimulator& sim) {
    std::vector<std::string> names;
    for (const auto& packet : data_packets(sim)) {
        if (packet.contains("Command")) names.push_back(packet["Command"].get<std::string>());
    }
    return names;
}

inline std::size_t count_sent(const orvane::sim::ControllerSimulator& sim, const std::string& name) {
    std::size_t count = 0;
    for (const auto& packet : data_packets(sim)) {
        for (const char* kind : {"Command", "Instruction", "Communication"}) {
            if (packet.contains(kind) && packet[kind] == name) ++count;
        }
    }
    return count;
}

// The planner-convention joint vector (radians) of an instruction.
inline std::vector<double> planner_radians(const SentInstruction& instruction, std::size_t joints = 6) {
    std::vector<double> q(joints);
    for (std::size_t j = 0; j < joints; ++j) q[j] = instruction.joints_deg[j] / degrees_per_radian;
    q[2] += q[1];
    return q;
}

// Each joint moves from `start` to `goal` along half a cosine wave in
// `duration` seconds (at rest at both ends), sampled every `dt`.
inline orvane::Trajectory cosine_trajectory(const std::vector<double>& start, const std::vector<double>& goal,
                                            double duration, double dt = 0.024) {
    const auto steps = static_cast<std::size_t>(std::llround(duration / dt));
    const double total = static_cast<double>(steps) * dt;
    std::vector<double> times;
    std::vector<std::vector<double>> positions, velocities, accelerations;
    for (std::size_t k = 0; k <= steps; ++k) {
        const double t = static_cast<double>(k) * dt;
        const double phase = std::numbers::pi * t / total;
        std::vector<double> p(start.size()), v(start.size()), a(start.size());
        for (std::size_t j = 0; j < start.size(); ++j) {
            const double span = goal[j] - start[j];
            p[j] = start[j] + span * (1.0 - std::cos(phase)) / 2.0;
            v[j] = span * std::numbers::pi / (2.0 * total) * std::sin(phase);
            a[j] = span * std::numbers::pi * std::numbers::pi / (2.0 * total * total) * std::cos(phase);
        }
        times.push_back(t);
        positions.push_back(std::move(p));
        velocities.push_back(std::move(v));
        accelerations.push_back(std::move(a));
    }
    return orvane::Trajectory(std::move(times), std::move(positions), std::move(velocities), std::move(accelerations));
}

inline std::vector<double> offset_by(std::vector<double> q, std::size_t joint, double delta) {
    q[joint] += delta;
    return q;
}

inline bool within(const std::vector<double>& a, const std::vector<double>& b, double tolerance) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!(std::abs(a[i] - b[i]) <= tolerance)) return false;
    }
    return true;
}

// Polls `condition` until it holds or the limit passes.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = wait_limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

template <class Future>
bool is_ready(Future& future, std::chrono::milliseconds limit = wait_limit) {
    return future.wait_for(limit) == std::future_status::ready;
}

class FanucTest : public ::testing::Test {
protected:
    // FRC_Abort answers at once unless a test asks for a slow one.
    virtual orvane::sim::SimulatorConfig simulator_config() const {
        orvane::sim::SimulatorConfig config;
        config.abort_duration = 0.0;
        return config;
    }

    void SetUp() override {
        sim = orvane::sim::testing::start_on_free_loopback(simulator_config());
        arm = orvane::robots::fanuc_lrmate200id();
        planner = std::make_shared<orvane::Planner>(arm, 0.024);
        driver = make_driver();
    }

    void TearDown() override {
        driver.reset();
        sim->stop();
    }

    std::unique_ptr<FanucDriver> make_driver() {
        return std::make_unique<FanucDriver>(planner, arm, sim->config().address, false, true);
    }

    // From where the robot stands to `goal`.
    orvane::Trajectory to(const std::vector<double>& goal, double duration) {
        return cosine_trajectory(driver->get_current_joint_position(), goal, duration);
    }

    bool wait_for_instruction(int sequence_id) {
        return sim->wait_for_line(
            [sequence_id](const std::string& line) {
                const auto packet = nlohmann::json::parse(line, nullptr, false);
                return packet.is_object() && packet.contains("Instruction") &&
                       packet.value("SequenceID", 0) >= sequence_id;
            },
            wait_limit);
    }

    // Runs `call` while the simulator keeps its own answers back, and answers
    // the command `name` with `line` instead; returns what `call` returned.
    // The simulator's own answer, released afterwards, finds no request.
    template <class Call>
    auto answered_with(const std::string& name, const std::string& line, Call call) {
        sim->withhold_answers(true);
        // Only the request the call makes counts: answering an earlier one
        // would reach the driver before it asks and leave its request unanswered.
        const auto before = sim->received_line_count();
        auto outcome = std::async(std::launch::async, call);
        const bool sent = sim->wait_for_line(
            [&](const std::string& received) { return received.find("\"" + name + "\"") != std::string::npos; },
            wait_limit, before);
        if (sent) sim->send_raw(line + "\r\n");
        outcome.wait();
        sim->withhold_answers(false);
        // Answered after the released ones: once it is back, they were handled.
        driver->get_controller_status();
        return outcome.get();
    }

    // The driver's monitor made a new data connection after a drop.
    bool wait_for_new_link(std::size_t connections_before) {
        return eventually([&] { return sim->connection_count() > connections_before && driver->is_connected(); });
    }

    std::unique_ptr<orvane::sim::ControllerSimulator> sim;
    std::shared_ptr<orvane::RobotArm> arm;
    std::shared_ptr<orvane::Planner> planner;
    std::unique_ptr<FanucDriver> driver;
};

// The same, against a controller whose firmware predates the newer commands.
class OlderFirmwareTest : public FanucTest {
protected:
    orvane::sim::SimulatorConfig simulator_config() const override {
        auto config = FanucTest::simulator_config();
        config.firmware = orvane::sim::Firmware::Older;
        return config;
    }
};

// Checks that run over every motion instruction a test sent.
inline void expect_consecutive_ids(const std::vector<SentInstruction>& instructions, int first) {
    ASSERT_FALSE(instructions.empty());
    EXPECT_EQ(instructions.front().sequence_id, first);
    for (std::size_t i = 1; i < instructions.size(); ++i) {
        EXPECT_EQ(instructions[i].sequence_id, instructions[i - 1].sequence_id + 1) << "at instruction " << i;
    }
}

}  // namespace fanuc_test
