// Motions the controller plans itself, through the driver against the
// simulator: what reached the controller, the path it executed, the queue
// of eight, blends, holds, stops and faults.
#include <algorithm>
#include <cmath>
#include <numbers>
#include <mutex>

#include "fanuc_fixture.hpp"

namespace fanuc_test {
namespace {

using orvane::drivers::Blend;
using orvane::drivers::CartesianPose;
using orvane::drivers::ControllerMotionOptions;
using orvane::drivers::MotionPhase;

// The answers and receptions of instructions, in the order the controller saw them.
struct InstructionLog {
    struct Entry {
        bool answer;
        int sequence_id;
    };
    std::mutex mutex;
    std::vector<Entry> entries;

    void observe(bool incoming, const std::string& line) {
        const auto packet = nlohmann::json::parse(line, nullptr, false);
        if (!packet.is_object() || !packet.contains("Instruction") || !packet.contains("SequenceID")) return;
        if (!incoming && packet.value("ErrorID", 0) != 0) return;
        std::lock_guard lock(mutex);
        entries.push_back({!incoming, packet["SequenceID"].get<int>()});
    }
    // Position of an event in the log (-1 when it never happened).
    long index_of(bool answer, int sequence_id) {
        std::lock_guard lock(mutex);
        for (std::size_t k = 0; k < entries.size(); ++k) {
            if (entries[k].answer == answer && entries[k].sequence_id == sequence_id) return static_cast<long>(k);
        }
        return -1;
    }
    std::size_t most_unanswered() {
        std::lock_guard lock(mutex);
        long open = 0, most = 0;
        for (const auto& entry : entries) {
            open += entry.answer ? -1 : 1;
            most = std::max(most, open);
        }
        return static_cast<std::size_t>(most);
    }
};

class ControllerMotionTest : public FanucTest {
protected:
    void SetUp() override {
        FanucTest::SetUp();
        sim->set_line_observer([this](const std::string& channel, bool incoming, const std::string& line) {
            if (channel == "data") log.observe(incoming, line);
        });
        ASSERT_EQ(driver->enable(), Result::Success);
        // Away from the stretched-out wrist, where Cartesian paths are singular.
        ASSERT_EQ(driver->move_joint(std::vector<double>{0.0, 0.3, -0.3, 0.0, -1.2, 0.0}), Result::Success)
            << driver->get_last_error();
        sim->clear_records();
        {
            std::lock_guard lock(log.mutex);
            log.entries.clear();
        }
        const auto pose = driver->get_current_cartesian_position();
        ASSERT_TRUE(pose.has_value());
        home = *pose;
        first_id = next_id();
    }

    void TearDown() override {
        sim->set_line_observer(nullptr);
        FanucTest::TearDown();
    }

    int next_id() const { return sim->status().next_sequence_id; }

    CartesianPose shifted(double dx, double dy, double dz) const {
        CartesianPose pose = home;
        const auto p = home.pose.translation();
        pose.pose = orvane::Frame(home.pose.rotation(), {p[0] + dx, p[1] + dy, p[2] + dz});
        return pose;
    }

    // The TCP positions of the executed path (metres, the arm's base frame).
    std::vector<std::array<double, 3>> executed_tcp() const {
        std::vector<std::array<double, 3>> points;
        for (const auto& sample : sim->executed_path()) {
            std::vector<double> q(6);
            for (std::size_t j = 0; j < 6; ++j) q[j] = sample.planner_deg[j] / degrees_per_radian;
            const auto t = arm->calculate_tcp(q).translation();
            points.push_back({t[0], t[1], t[2]});
        }
        return points;
    }

    // Where the TCP is now, in the executed path's frame. The path's own first and last
    // samples are not the motion's ends: a stalled simulator clock skips ticks.
    std::array<double, 3> tcp_now() const {
        const auto t = arm->calculate_tcp(driver->get_current_joint_position()).translation();
        return {t[0], t[1], t[2]};
    }

    std::vector<nlohmann::json> instructions_named(const std::string& name) const {
        std::vector<nlohmann::json> out;
        for (auto& packet : data_packets(*sim)) {
            if (packet.value("Instruction", "") == name) out.push_back(packet);
        }
        return out;
    }

    InstructionLog log;
    CartesianPose home;
    int first_id{1};
};

double distance_to_segment(const std::array<double, 3>& p, const std::array<double, 3>& a,
                           const std::array<double, 3>& b) {
    std::array<double, 3> ab{}, ap{};
    double length2 = 0.0, along = 0.0;
    for (int k = 0; k < 3; ++k) {
        ab[k] = b[k] - a[k];
        ap[k] = p[k] - a[k];
        length2 += ab[k] * ab[k];
        along += ab[k] * ap[k];
    }
    const double f = length2 > 0.0 ? std::clamp(along / length2, 0.0, 1.0) : 0.0;
    double d2 = 0.0;
    for (int k = 0; k < 3; ++k) d2 += std::pow(ap[k] - f * ab[k], 2);
    return std::sqrt(d2);
}

double distance(const std::array<double, 3>& a, const std::array<double, 3>& b) {
    return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
}

// --- paths --------------------------------------------------------------------------------

TEST_F(ControllerMotionTest, ALinearMoveStaysWithinAMillimetreOfItsSegment) {
    const auto start = tcp_now();
    ASSERT_EQ(driver->move_linear(shifted(0.1, 0.05, -0.05), 0.25), Result::Success) << driver->get_last_error();
    const auto sent = instructions_named("FRC_LinearMotion");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["SpeedType"], "mmSec");
    EXPECT_EQ(sent[0]["Speed"], 250);
    EXPECT_EQ(sent[0]["TermType"], "FINE");
    EXPECT_NEAR(sent[0]["Position"]["X"].get<double>(), home.pose.translation()[0] * 1000.0 + 100.0, 1e-6);

    const auto end = tcp_now();
    const auto path = executed_tcp();
    ASSERT_GT(path.size(), 10u);
    EXPECT_NEAR(distance(start, end), std::hypot(0.1, 0.05, 0.05), 1e-3);
    for (const auto& point : path) EXPECT_LT(distance_to_segment(point, start, end), 1e-3);
}

TEST_F(ControllerMotionTest, AnArcPassesThroughItsViaPoint) {
    const auto via = shifted(0.05, 0.05, 0.0);
    const auto a = tcp_now();
    ASSERT_EQ(driver->move_circular(via, shifted(0.1, 0.0, 0.0), 0.2), Result::Success) << driver->get_last_error();
    ASSERT_EQ(instructions_named("FRC_CircularMotion").size(), 1u);
    const auto b = tcp_now();
    const auto path = executed_tcp();
    ASSERT_GT(path.size(), 10u);
    // The via point relative to where the arc starts, as the controller's frame has it. The
    // samples' spacing follows the simulator's clock (coarse in a slow build), so the check is
    // that every sample lies on the circle through start, via and end, on the side of it that
    // holds the via point, rather than that one sample falls next to the via point.
    const std::array<double, 3> v{a[0] + 0.05, a[1] + 0.05, a[2]};
    const auto sub = [](const std::array<double, 3>& p, const std::array<double, 3>& q) {
        return std::array<double, 3>{p[0] - q[0], p[1] - q[1], p[2] - q[2]};
    };
    const auto cross = [](const std::array<double, 3>& p, const std::array<double, 3>& q) {
        return std::array<double, 3>{p[1] * q[2] - p[2] * q[1], p[2] * q[0] - p[0] * q[2], p[0] * q[1] - p[1] * q[0]};
    };
    const auto dot = [](const std::array<double, 3>& p, const std::array<double, 3>& q) {
        return p[0] * q[0] + p[1] * q[1] + p[2] * q[2];
    };
    const auto u = sub(v, a), w = sub(b, a), n = cross(u, w);
    ASSERT_GT(dot(n, n), 1e-8) << "start, via and end on one line";
    const auto nu = cross(n, u), wn = cross(w, n);
    std::array<double, 3> centre{};
    for (int k = 0; k < 3; ++k) centre[k] = a[k] + (dot(w, w) * nu[k] + dot(u, u) * wn[k]) / (2.0 * dot(n, n));
    const double radius = distance(a, centre);
    const auto angle = [&](const std::array<double, 3>& p) {  // from the start, turning towards the via point
        const auto r = sub(p, centre), r0 = sub(a, centre);
        const double turned = std::atan2(dot(cross(r0, r), n) / std::sqrt(dot(n, n)), dot(r0, r));
        return turned < -1e-6 ? turned + 2.0 * std::numbers::pi : turned;
    };
    const double via_angle = angle(v), end_angle = angle(b);
    ASSERT_LT(via_angle, end_angle) << "the via point lies between start and end";
    double farthest_from_chord = 0.0;
    for (const auto& point : path) {
        EXPECT_NEAR(distance(point, centre), radius, 1e-3);
        EXPECT_NEAR(dot(sub(point, centre), n) / std::sqrt(dot(n, n)), 0.0, 1e-3);
        EXPECT_LE(angle(point), end_angle + 1e-3) << "a sample on the arc that misses the via point";
        farthest_from_chord = std::max(farthest_from_chord, distance_to_segment(point, a, b));
    }
    EXPECT_GT(farthest_from_chord, 0.04);  // an arc, not a line
}

TEST_F(ControllerMotionTest, JointAndRelativeMovesConvertJ3AndReachTheirTargets) {
    const auto start = driver->get_current_joint_position();
    auto target = start;
    target[1] += 0.2;  // J2 alone: the controller's J3 must move against it
    target[5] -= 0.3;
    ASSERT_EQ(driver->move_joint(target, 50.0), Result::Success) << driver->get_last_error();
    EXPECT_TRUE(within(driver->get_current_joint_position(), target, 1e-4));
    const auto absolute = instructions_named("FRC_JointMotionJRep");
    ASSERT_EQ(absolute.size(), 1u);
    EXPECT_EQ(absolute[0]["SpeedType"], "Percent");
    EXPECT_EQ(absolute[0]["Speed"], 50);
    EXPECT_NEAR(absolute[0]["JointAngle"]["J3"].get<double>(), (target[2] - target[1]) * degrees_per_radian, 1e-6);

    ControllerMotionOptions relative;
    relative.relative = true;
    ASSERT_EQ(driver->move_joint(std::vector<double>{0.0, -0.2, 0.0, 0.0, 0.0, 0.3}, 50.0, relative),
              Result::Success)
        << driver->get_last_error();
    ASSERT_EQ(instructions_named("FRC_JointRelativeJRep").size(), 1u);
    EXPECT_TRUE(within(driver->get_current_joint_position(), start, 1e-4));

    ASSERT_EQ(driver->move_linear(shifted(0.0, 0.0, 0.05), 0.1), Result::Success);
    ControllerMotionOptions down;
    down.relative = true;
    CartesianPose offset;  // 5 cm down in the same frame
    offset.pose = orvane::Frame(orvane::Frame().rotation(), {0.0, 0.0, -0.05});
    offset.configuration = home.configuration;
    ASSERT_EQ(driver->move_linear(offset, 0.1, down), Result::Success) << driver->get_last_error();
    ASSERT_EQ(instructions_named("FRC_LinearRelative").size(), 1u);
    const auto back = driver->get_current_cartesian_position();
    ASSERT_TRUE(back);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(back->pose.translation()[k], home.pose.translation()[k], 1e-3);
}

// --- blends and the queue -----------------------------------------------------------------

TEST_F(ControllerMotionTest, ABlendedMoveHandsOverToTheNextWhileAFineMoveEndsFirst) {
    ControllerMotionOptions cnt;
    cnt.blend = Blend::cnt(50);
    // Blended: the call returns once queued, so the next motion arrives
    // before the controller finishes (and answers) the first.
    ASSERT_EQ(driver->move_linear(shifted(0.05, 0.0, 0.0), 0.2, cnt), Result::Success) << driver->get_last_error();
    ASSERT_EQ(driver->move_linear(shifted(0.1, 0.0, 0.0), 0.2), Result::Success) << driver->get_last_error();
    // FINE: answered before the next is sent.
    ASSERT_EQ(driver->move_linear(shifted(0.05, 0.0, 0.0), 0.2), Result::Success);
    ASSERT_EQ(driver->move_linear(home, 0.2), Result::Success);
    const auto linear = instructions_named("FRC_LinearMotion");
    ASSERT_EQ(linear.size(), 4u);
    std::vector<int> id;
    for (const auto& packet : linear) id.push_back(packet["SequenceID"].get<int>());
    EXPECT_LT(log.index_of(false, id[1]), log.index_of(true, id[0]));
    EXPECT_LT(log.index_of(true, id[2]), log.index_of(false, id[3]));
    EXPECT_GE(log.index_of(true, id[3]), 0);
    EXPECT_EQ(linear[0]["TermType"], "CNT");
    EXPECT_EQ(linear[0]["TermValue"], 50);
    EXPECT_EQ(linear[2]["TermType"], "FINE");
    EXPECT_EQ(driver->motion_phase(), MotionPhase::ready);
}

TEST_F(ControllerMotionTest, NoBlendCornerAndAccelerationReachTheController) {
    ControllerMotionOptions options;
    options.blend = Blend::cnt(100);
    options.no_blend = true;
    options.acceleration_percent = 50;
    // Runs on by itself: the blocking call gets the controller's answer.
    ASSERT_EQ(driver->move_linear(shifted(0.03, 0.0, 0.0), 0.2, options), Result::Success);
    ControllerMotionOptions corner;
    corner.blend = Blend::corner(0.005);
    auto cornered = driver->move_linear_async(shifted(0.0, 0.03, 0.0), 0.2, corner);
    ASSERT_EQ(driver->move_linear(home, 0.2), Result::Success);
    ASSERT_TRUE(is_ready(cornered));
    EXPECT_EQ(cornered.get(), Result::Success);
    const auto linear = instructions_named("FRC_LinearMotion");
    ASSERT_EQ(linear.size(), 3u);
    EXPECT_EQ(linear[0]["NoBlend"], "ON");
    EXPECT_EQ(linear[0]["ACC"], 50);
    EXPECT_EQ(linear[1]["TermType"], "CR");
    EXPECT_EQ(linear[1]["TermValue"], 5);
    EXPECT_FALSE(linear[1].contains("NoBlend"));
}

TEST_F(ControllerMotionTest, ANinthCallWaitsForAPlaceAndAllRunInOrder) {
    driver->create_io_alias("part_present", 7);
    std::vector<std::shared_future<Result>> calls;
    calls.push_back(driver->wait_input_async("part_present", 1));  // holds the queue
    for (int k = 0; k < 9; ++k) calls.push_back(driver->wait_time_async(0.01));
    ASSERT_TRUE(wait_for_instruction(first_id + 7));
    EXPECT_TRUE(driver->is_moving());
    sim->set_digital_input(7, true);
    for (auto& call : calls) {
        ASSERT_TRUE(is_ready(call));
        EXPECT_EQ(call.get(), Result::Success);
    }
    EXPECT_LE(log.most_unanswered(), 8u);
    const auto sent = sent_instructions(*sim);
    ASSERT_EQ(sent.size(), 10u);
    expect_consecutive_ids(sent, first_id);
    EXPECT_EQ(sent.front().name, "FRC_WaitDIN");
    EXPECT_TRUE(eventually([&] { return driver->motion_phase() == MotionPhase::ready; }));
}

TEST_F(ControllerMotionTest, AStreamedRunWaitsForTheQueueToDrain) {
    driver->create_io_alias("go", 3);
    auto queued = driver->wait_input_async("go", 1);
    ASSERT_TRUE(wait_for_instruction(first_id));
    const auto start = driver->get_current_joint_position();
    auto run = std::async(std::launch::async, [&] { return driver->run(to(offset_by(start, 0, 0.05), 0.5)); });
    EXPECT_TRUE(eventually([&] { return driver->motion_phase() == MotionPhase::queueing; }));
    sim->set_digital_input(3, true);
    ASSERT_TRUE(is_ready(queued));
    EXPECT_EQ(queued.get(), Result::Success);
    ASSERT_TRUE(is_ready(run));
    EXPECT_EQ(run.get(), Result::Success);
    const auto streamed = sent_motions(*sim);
    ASSERT_FALSE(streamed.empty());
    EXPECT_LT(log.index_of(true, first_id), log.index_of(false, streamed.front().sequence_id));
    expect_consecutive_ids(sent_instructions(*sim), first_id);
}

// --- pause, stop, faults ---------------------------------------------------------------------

TEST_F(ControllerMotionTest, PauseHoldsTheQueueAndResumeContinuesIt) {
    driver->create_io_alias("go", 4);
    auto gate = driver->wait_input_async("go", 1);
    auto after = driver->move_linear_async(shifted(0.05, 0.0, 0.0), 0.2);
    ASSERT_TRUE(wait_for_instruction(first_id + 1));
    ASSERT_TRUE(driver->pause());
    EXPECT_EQ(driver->motion_phase(), MotionPhase::holding);
    EXPECT_EQ(count_sent(*sim, "FRC_Pause"), 1u);
    EXPECT_FALSE(driver->is_moving());
    EXPECT_EQ(driver->resume(), Result::Success);
    EXPECT_EQ(count_sent(*sim, "FRC_Continue"), 1u);
    sim->set_digital_input(4, true);
    ASSERT_TRUE(is_ready(after));
    EXPECT_EQ(gate.get(), Result::Success);
    EXPECT_EQ(after.get(), Result::Success);
}

TEST_F(ControllerMotionTest, AStopAbortsTheQueueAndCallsInLineAndLeavesTheDriverReady) {
    driver->create_io_alias("never", 5);
    std::vector<std::shared_future<Result>> calls;
    calls.push_back(driver->wait_input_async("never", 1));
    for (int k = 0; k < 9; ++k) calls.push_back(driver->wait_time_async(0.01));
    ASSERT_TRUE(wait_for_instruction(first_id + 7));
    EXPECT_EQ(driver->stop(false), Result::Success);
    for (auto& call : calls) {
        ASSERT_TRUE(is_ready(call));
        EXPECT_EQ(call.get(), Result::ErrorTrajectoryAborted);
    }
    EXPECT_EQ(sent_instructions(*sim).size(), 8u);  // the ninth and tenth never went
    EXPECT_EQ(count_sent(*sim, "FRC_Abort"), 1u);
    EXPECT_EQ(driver->motion_phase(), MotionPhase::ready);
    EXPECT_EQ(driver->move_linear(shifted(0.02, 0.0, 0.0), 0.2), Result::Success) << driver->get_last_error();
}

TEST_F(ControllerMotionTest, AFaultEndsEveryQueuedMotionAndNeedsAnEnable) {
    sim->fault_at_sequence_id(first_id + 1);
    const auto start = driver->get_current_joint_position();
    auto ok = driver->move_joint_async(offset_by(start, 0, 0.05));
    auto faulted = driver->move_joint_async(offset_by(start, 0, 0.1));
    auto later = driver->move_joint_async(offset_by(start, 0, 0.15));
    ASSERT_TRUE(is_ready(later));
    EXPECT_EQ(ok.get(), Result::Success);
    EXPECT_EQ(faulted.get(), Result::ErrorController);
    EXPECT_EQ(later.get(), Result::ErrorTrajectoryAborted);
    EXPECT_NE(driver->get_last_error().find(std::to_string(first_id + 1)), std::string::npos)
        << driver->get_last_error();
    EXPECT_TRUE(eventually([&] { return driver->motion_phase() == MotionPhase::disabled; }));
    EXPECT_EQ(driver->move_linear(home, 0.2), Result::ErrorControllerEnableMotors);
    ASSERT_EQ(driver->enable(), Result::Success);
    EXPECT_EQ(driver->move_linear(home, 0.2), Result::Success) << driver->get_last_error();
}

TEST_F(ControllerMotionTest, AProgramCallRunsInTheQueueAndAnUnknownOneIsRefused) {
    sim->add_program("PICK", 0.1);
    EXPECT_EQ(driver->call_program("PICK"), Result::Success);
    ASSERT_EQ(instructions_named("FRC_Call").size(), 1u);
    EXPECT_EQ(instructions_named("FRC_Call")[0]["ProgramName"], "PICK");
    EXPECT_EQ(driver->call_program("NO_SUCH"), Result::ErrorController);
    EXPECT_FALSE(driver->get_last_error().empty());
}

// --- values checked before anything is sent -------------------------------------------------

TEST_F(ControllerMotionTest, ValuesTheControllerCannotTakeAreRefusedWithTheirReason) {
    const auto joints = driver->get_current_joint_position();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto other_frame = shifted(0.05, 0.0, 0.0);
    other_frame.user_frame = 2;
    auto bad_frame = home;
    bad_frame.user_frame = 12;
    auto bad_configuration = home;
    bad_configuration.configuration = "X Y Z";
    ControllerMotionOptions cnt0, wide_corner, fast_acc;
    cnt0.blend = Blend::cnt(0);
    wide_corner.blend = Blend::corner(0.5);
    fast_acc.acceleration_percent = 200;
    const std::vector<std::pair<std::string, std::function<Result()>>> refusals{
        {"not finite", [&] { return driver->move_joint(offset_by(joints, 2, nan)); }},
        {"joint values", [&] { return driver->move_joint(std::vector<double>{0.0, 0.0}); }},
        {"outside its range", [&] { return driver->move_joint(offset_by(joints, 0, 10.0)); }},
        {"whole percentage", [&] { return driver->move_joint(joints, 0.0); }},
        {"whole percentage", [&] { return driver->move_joint(joints, 50.5); }},
        {"m/s", [&] { return driver->move_linear(home, 3.0); }},
        {"m/s", [&] { return driver->move_linear(home, nan); }},
        {"CNT", [&] { return driver->move_linear(home, 0.1, cnt0); }},
        {"corner radius", [&] { return driver->move_linear(home, 0.1, wide_corner); }},
        {"acceleration", [&] { return driver->move_linear(home, 0.1, fast_acc); }},
        {"user frame", [&] { return driver->move_linear(bad_frame, 0.1); }},
        {"configuration", [&] { return driver->move_linear(bad_configuration, 0.1); }},
        {"different user frames", [&] { return driver->move_circular(other_frame, home, 0.1); }},
        {"wait lasts", [&] { return driver->wait_time(-1.0); }},
        {"program name", [&] { return driver->call_program("1 bad"); }},
        {"No I/O alias", [&] { return driver->wait_input("missing", 1); }},
    };
    for (const auto& [reason, call] : refusals) {
        EXPECT_EQ(call(), Result::Error) << reason;
        EXPECT_NE(driver->get_last_error().find(reason), std::string::npos) << driver->get_last_error();
    }
    EXPECT_TRUE(sent_instructions(*sim).empty());
    EXPECT_EQ(driver->motion_phase(), MotionPhase::ready);
}

}  // namespace
}  // namespace fanuc_test
