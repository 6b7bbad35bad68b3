// Event triggers, their values and actions: the algebra the driver evaluates
// once per control step.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include <orvane/log/orvane_error.hpp>
#include <orvane/motion/robot.hpp>
#include <orvane/motion/robots.hpp>
#include <orvane/motion/trajectory.hpp>

#include "orvane/drivers/event.hpp"

using orvane::OrvaneError;
using orvane::Robot;
using orvane::Trajectory;
using orvane::drivers::Action;
using orvane::drivers::Trigger;

namespace {

constexpr double pi = std::numbers::pi;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

using RobotPtr = std::shared_ptr<Robot>;

// A 2-joint trajectory of duration 3 s.
Trajectory three_second_trajectory() {
    return Trajectory({0.0, 1.5, 3.0}, {{0.0, 0.0}, {0.5, 0.2}, {1.0, 0.4}},
                      {{0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}}, {{0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}});
}

Trajectory one_joint_trajectory(double duration) {
    return Trajectory({0.0, duration}, {{0.0}, {1.0}}, {{0.0}, {0.0}}, {{0.0}, {0.0}});
}

// The step arguments of one evaluation.
struct Step {
    RobotPtr robot;
    double time{0.0};
    std::vector<double> position{0.1, 0.2};
    Trajectory trajectory = three_second_trajectory();
};

bool holds(const Trigger& trigger, const Step& step) {
    return trigger.condition(step.robot, step.time, step.position, step.trajectory);
}

double read(const Trigger::Value& value, const Step& step) {
    return value.reader(step.robot, step.time, step.position, step.trajectory);
}

// A value that returns `result` and counts its reads.
Trigger::Value counted(double result, std::shared_ptr<int> reads) {
    return Trigger::Value([result, reads](const RobotPtr&, double, const std::vector<double>&, const Trajectory&) {
        ++*reads;
        return result;
    });
}

Trigger::Value constant(double result) { return counted(result, std::make_shared<int>(0)); }

// Runs `evaluate`, which must throw OrvaneError of type "driver" whose
// message contains every one of `parts`.
void expect_driver_error(const std::function<void()>& evaluate, std::initializer_list<std::string> parts) {
    try {
        evaluate();
        ADD_FAILURE() << "no OrvaneError was thrown";
    } catch (const OrvaneError& error) {
        EXPECT_EQ(error.type, "driver");
        for (const auto& part : parts) EXPECT_NE(error.message.find(part), std::string::npos) << error.message;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "threw another exception: " << error.what();
    }
}

// There is no equality trigger: sampled values would rarely hit it exactly.
template <class T>
concept ComparableForEquality = requires(const T& value) { value == 1.0; };
static_assert(!ComparableForEquality<Trigger::Value>);

// ---------------------------------------------------------------------------

TEST(TriggerComparison, EachOperatorComparesTheValueWithTheThreshold) {
    const Step step;
    struct Case {
        double value;
        bool greater, greater_equal, less, less_equal;
    };
    // Below, at and above the threshold 1.0.
    for (const Case& c : {Case{0.5, false, false, true, true}, Case{1.0, false, true, false, true},
                          Case{1.5, true, true, false, false}}) {
        SCOPED_TRACE(c.value);
        const auto value = constant(c.value);
        EXPECT_EQ(holds(value > 1.0, step), c.greater);
        EXPECT_EQ(holds(value >= 1.0, step), c.greater_equal);
        EXPECT_EQ(holds(value < 1.0, step), c.less);
        EXPECT_EQ(holds(value <= 1.0, step), c.less_equal);
    }
}

TEST(TriggerComparison, NaNNeverHolds) {
    const Step step;
    for (double threshold : {-1.0, 0.0, 1.0, std::numeric_limits<double>::infinity()}) {
        const auto value = constant(nan);
        EXPECT_FALSE(holds(value > threshold, step));
        EXPECT_FALSE(holds(value >= threshold, step));
        EXPECT_FALSE(holds(value < threshold, step));
        EXPECT_FALSE(holds(value <= threshold, step));
    }
}

TEST(TriggerComparison, TheReaderGetsTheStepArgumentsOfEachEvaluation) {
    Step step;
    step.robot = orvane::robots::fanuc_lrmate200id();
    step.time = 0.75;
    step.position = {0.3, -0.4, 0.5};
    int reads = 0;
    const Trigger trigger = Trigger::Value([&](const RobotPtr& robot, double time, const std::vector<double>& position,
                                               const Trajectory& trajectory) {
        ++reads;
        EXPECT_EQ(robot, step.robot);
        EXPECT_EQ(time, step.time);
        EXPECT_EQ(&position, &step.position);
        EXPECT_EQ(&trajectory, &step.trajectory);
        return time;
    }) > 0.5;
    EXPECT_TRUE(holds(trigger, step));
    step.time = 0.25;
    EXPECT_FALSE(holds(trigger, step));
    EXPECT_EQ(reads, 2);
}

// ---------------------------------------------------------------------------

TEST(TriggerValues, TimeIsThePlaybackTime) {
    Step step;
    const auto time = Trigger::Time();
    const auto after_one_second = time > 1.0;
    for (double t : {0.0, 0.5, 1.0, 1.004, 2.9}) {
        step.time = t;
        EXPECT_EQ(read(time, step), t);
        EXPECT_EQ(holds(after_one_second, step), t > 1.0) << t;
    }
}

TEST(TriggerValues, TimeToGoalCountsDownToTheRunningTrajectorysEnd) {
    Step step;  // duration 3.0
    const auto near_goal = Trigger::TimeToGoal() < 0.2;
    step.time = 1.0;
    EXPECT_DOUBLE_EQ(read(Trigger::TimeToGoal(), step), 2.0);
    EXPECT_FALSE(holds(near_goal, step));
    step.time = 2.8;  // 3.0 - 2.8 is a hair above 0.2 in binary
    EXPECT_FALSE(holds(near_goal, step));
    step.time = 2.81;
    EXPECT_TRUE(holds(near_goal, step));
    step.time = 3.5;  // past the end the remaining time goes negative, it still holds
    EXPECT_TRUE(holds(near_goal, step));

    // The duration is read at each evaluation, from that step's trajectory.
    step.time = 2.81;
    step.trajectory = one_joint_trajectory(5.0);
    EXPECT_DOUBLE_EQ(read(Trigger::TimeToGoal(), step), 5.0 - 2.81);
    EXPECT_FALSE(holds(near_goal, step));
}

TEST(TriggerValues, JointPositionReadsOneJointOfTheCommandedPosition) {
    Step step;
    step.position = {0.1, -0.7, 2.5};
    EXPECT_EQ(read(Trigger::JointPosition(0), step), 0.1);
    EXPECT_EQ(read(Trigger::JointPosition(1), step), -0.7);
    EXPECT_EQ(read(Trigger::JointPosition(2), step), 2.5);
    EXPECT_TRUE(holds(Trigger::JointPosition(1) < -0.5, step));
    EXPECT_FALSE(holds(Trigger::JointPosition(2) <= 2.0, step));
}

TEST(TriggerValues, JointPositionOutOfRangeFailsAtEvaluationNotWhenBuilt) {
    Step step;
    step.position = {0.1, 0.2, 0.3};
    const auto third_joint = Trigger::JointPosition(2) > 0.0;  // built before any position is known
    EXPECT_TRUE(holds(third_joint, step));

    step.position = {0.1, 0.2};  // index 2 equals the number of joints
    expect_driver_error([&] { holds(third_joint, step); }, {"JointPosition(2)", "2 joints"});
    step.position.clear();
    expect_driver_error([&] { read(Trigger::JointPosition(0), step); }, {"JointPosition(0)", "0 joints"});
    expect_driver_error([&] { read(Trigger::JointPosition(std::numeric_limits<std::size_t>::max()), step); },
                        {"out of range"});
}

// Forward kinematics of the LR Mate 200iD at q = (30, 20, 10, 45, -60, 90)
// degrees, from an independent reference computation (data/robots).
TEST(TriggerValues, TCPPositionIsThePoseOfTheArmsToolCentrePoint) {
    Step step;
    step.robot = orvane::robots::fanuc_lrmate200id();
    step.position = {30.0, 20.0, 10.0, 45.0, -60.0, 90.0};
    for (double& q : step.position) q *= pi / 180.0;
    const std::array<double, 6> reference{0.483263,         0.222444,        0.561203,
                                          164.0019 * pi / 180, 44.136 * pi / 180, 129.8511 * pi / 180};
    for (std::size_t axis = 0; axis < 6; ++axis) {
        EXPECT_NEAR(read(Trigger::TCPPosition(axis), step), reference[axis], axis < 3 ? 1e-6 : 3e-6) << axis;
    }

    // It follows the position: at the zero pose the flange is at x 0.465, z 0.695.
    step.position.assign(6, 0.0);
    EXPECT_NEAR(read(Trigger::TCPPosition(0), step), 0.465, 1e-9);
    EXPECT_NEAR(read(Trigger::TCPPosition(1), step), 0.0, 1e-9);
    EXPECT_NEAR(read(Trigger::TCPPosition(2), step), 0.695, 1e-9);
    // J1 at 90 degrees swings it onto the y axis.
    step.position[0] = pi / 2;
    EXPECT_NEAR(read(Trigger::TCPPosition(0), step), 0.0, 1e-9);
    EXPECT_NEAR(read(Trigger::TCPPosition(1), step), 0.465, 1e-9);
    EXPECT_TRUE(holds(Trigger::TCPPosition(1) > 0.4 && Trigger::TCPPosition(2) > 0.6, step));
}

TEST(TriggerValues, TCPPositionWithoutAUsableArmIsAnError) {
    Step step;
    step.position.assign(6, 0.0);

    // A bad index fails whatever the robot, and only when evaluated.
    const auto seventh = Trigger::TCPPosition(6) < 0.1;
    expect_driver_error([&] { holds(seventh, step); }, {"TCPPosition(6)", "out of range"});
    step.robot = orvane::robots::fanuc_lrmate200id();
    expect_driver_error([&] { holds(seventh, step); }, {"TCPPosition(6)", "out of range"});

    // A made-up 0.0 would fire "z below 0.1" at once: no robot and a robot
    // without a tool-centre point are errors instead.
    const auto low = Trigger::TCPPosition(2) < 0.1;
    step.robot.reset();
    expect_driver_error([&] { holds(low, step); }, {"TCPPosition(2)", "no"});
    step.robot = std::make_shared<orvane::LinearAxis>("rail", std::array<double, 3>{1.0, 0.0, 0.0},
                                                      orvane::JointLimits{0.0, 2.0, 1.0, 1.0});
    step.position = {0.5};
    expect_driver_error([&] { holds(low, step); }, {"TCPPosition(2)", "'rail'", "not"});

    // A position that does not fit the arm is named as such.
    step.robot = orvane::robots::fanuc_lrmate200id();
    step.position.assign(7, 0.0);
    expect_driver_error([&] { holds(low, step); }, {"7 joints", "'lrmate200id' has 6"});
}

// ---------------------------------------------------------------------------

TEST(TriggerCombination, AndOrFollowTheirTruthTables) {
    const Step step;
    const Trigger yes = constant(1.0) > 0.0;
    const Trigger no = constant(1.0) < 0.0;
    EXPECT_TRUE(holds(yes && yes, step));
    EXPECT_FALSE(holds(yes && no, step));
    EXPECT_FALSE(holds(no && yes, step));
    EXPECT_FALSE(holds(no && no, step));
    EXPECT_TRUE(holds(yes || yes, step));
    EXPECT_TRUE(holds(yes || no, step));
    EXPECT_TRUE(holds(no || yes, step));
    EXPECT_FALSE(holds(no || no, step));
    // Nested combinations keep their grouping.
    EXPECT_TRUE(holds((no || yes) && (yes || no), step));
    EXPECT_FALSE(holds(no || (yes && no), step));
}

TEST(TriggerCombination, TheRightOperandIsReadOnlyWhenTheLeftDoesNotDecide) {
    Step step;
    auto left_reads = std::make_shared<int>(0);
    auto right_reads = std::make_shared<int>(0);
    const auto left = counted(1.0, left_reads);
    const auto right = counted(1.0, right_reads);

    EXPECT_FALSE(holds((left < 0.0) && (right > 0.0), step));  // left false decides
    EXPECT_EQ(*right_reads, 0);
    EXPECT_TRUE(holds((left > 0.0) && (right > 0.0), step));
    EXPECT_EQ(*right_reads, 1);

    EXPECT_TRUE(holds((left > 0.0) || (right > 0.0), step));  // left true decides
    EXPECT_EQ(*right_reads, 1);
    EXPECT_TRUE(holds((left < 0.0) || (right > 0.0), step));
    EXPECT_EQ(*right_reads, 2);
    EXPECT_EQ(*left_reads, 4);
}

TEST(TriggerCombination, AJointConditionAfterATimeIsNotReadBeforeThatTime) {
    // With no joints at all, reading JointPosition(0) would be an error; the
    // conjunction must not reach it while the time has not passed.
    Step step;
    step.position.clear();
    const auto late_and_low = (Trigger::Time() > 1.0) && (Trigger::JointPosition(0) < 0.5);
    const auto early_or_low = (Trigger::Time() <= 1.0) || (Trigger::JointPosition(0) < 0.5);
    step.time = 1.0;
    EXPECT_FALSE(holds(late_and_low, step));
    EXPECT_TRUE(holds(early_or_low, step));
    step.time = 1.01;
    EXPECT_THROW(holds(late_and_low, step), OrvaneError);
    EXPECT_THROW(holds(early_or_low, step), OrvaneError);
    step.position = {0.4};
    EXPECT_TRUE(holds(late_and_low, step));
    EXPECT_TRUE(holds(early_or_low, step));
    step.position = {0.6};
    EXPECT_FALSE(holds(late_and_low, step));
    EXPECT_FALSE(holds(early_or_low, step));
}

TEST(TriggerCombination, BothOperandsSeeTheSameStep) {
    Step step;
    step.time = 2.0;
    std::vector<const void*> seen;
    const Trigger::Value recorder([&](const RobotPtr&, double time, const std::vector<double>& position,
                                      const Trajectory& trajectory) {
        seen.insert(seen.end(), {&position, &trajectory});
        return time;
    });
    EXPECT_TRUE(holds((recorder > 1.5) && (recorder < 2.5), step));
    EXPECT_EQ(seen, (std::vector<const void*>{&step.position, &step.trajectory, &step.position, &step.trajectory}));
}

// ---------------------------------------------------------------------------

TEST(TriggerCopies, BuiltTriggersKeepTheirOwnOperands) {
    const Step step;  // time 0
    auto value = constant(5.0);
    const Trigger big = value > 1.0;
    value.reader = constant(0.0).reader;  // changing the value afterwards...
    EXPECT_TRUE(holds(big, step));        // ...does not reach the comparison built from it
    EXPECT_FALSE(holds(value > 1.0, step));

    Trigger left = Trigger::Time() < 1.0;
    Trigger right = Trigger::Time() < 2.0;
    const Trigger both = left && right;
    const Trigger either = left || right;
    left = Trigger::Time() > 10.0;
    right = Trigger();  // no condition at all
    EXPECT_TRUE(holds(both, step));
    EXPECT_TRUE(holds(either, step));

    // A trigger reused several times, even with itself.
    const Trigger once = Trigger::Time() < 1.0;
    const Trigger copy = once;
    const Trigger twice = once && once;
    const Trigger nested = twice || (once && copy);
    EXPECT_TRUE(holds(twice, step));
    EXPECT_TRUE(holds(nested, step));
    Step later;
    later.time = 1.5;
    EXPECT_FALSE(holds(nested, later));
    EXPECT_TRUE(holds(once, step));
}

// ---------------------------------------------------------------------------

void record_twice(double time);
std::vector<double> recorded;
void record_twice(double time) { recorded.insert(recorded.end(), {time, time}); }

// Taking an Action by value, as the driver's add_event does.
std::vector<Action> accepted;
void accept(const Action& action) { accepted.push_back(action); }

TEST(Actions, AreBuiltFromAnyCallableTakingTheTime) {
    recorded.clear();
    accepted.clear();
    double last = 0.0;
    int calls = 0;
    accept([&](double time) {  // a lambda converts implicitly
        last = time;
        ++calls;
    });
    accept(&record_twice);
    accept(std::function<void(double)>([&](double time) { last = -time; }));
    accept([](double) { return 42; });  // a result is ignored
    ASSERT_EQ(accepted.size(), 4u);

    accepted[0].callback(1.004);
    EXPECT_EQ(last, 1.004);
    EXPECT_EQ(calls, 1);
    accepted[1].callback(0.5);
    EXPECT_EQ(recorded, (std::vector<double>{0.5, 0.5}));
    accepted[2].callback(2.0);
    EXPECT_EQ(last, -2.0);
    EXPECT_NO_THROW(accepted[3].callback(0.0));

    // A copy keeps the callable after the original is gone.
    auto original = std::make_unique<Action>([&last](double time) { last = time * 2; });
    const Action copy = *original;
    original.reset();
    copy.callback(1.5);
    EXPECT_EQ(last, 3.0);
}

// ---------------------------------------------------------------------------

TEST(EventFaults, MissingCallablesAreReportedInsteadOfCalledEmpty) {
    const Step step;
    // A default trigger, or one built from an empty function, names the problem.
    expect_driver_error([&] { holds(Trigger(), step); }, {"Trigger has no condition"});
    expect_driver_error([&] { holds(Trigger(Trigger::Condition{}), step); }, {"Trigger has no condition"});
    // ...also inside a combination, where it is reached only when needed.
    const Trigger no = Trigger::Time() > 1.0;
    EXPECT_FALSE(holds(no && Trigger(), step));
    expect_driver_error([&] { holds(no || Trigger(), step); }, {"Trigger has no condition"});

    const Trigger::Value empty_value{Trigger::Value::Reader{}};
    const Trigger from_empty = empty_value < 1.0;
    expect_driver_error([&] { holds(from_empty, step); }, {"Trigger::Value has no reader"});

    void (*null_function)(double) = nullptr;
    for (const Action& action : {Action(null_function), Action(std::function<void(double)>{})}) {
        ASSERT_TRUE(static_cast<bool>(action.callback));
        expect_driver_error([&] { action.callback(1.0); }, {"Action has no callback"});
    }
}

TEST(EventFaults, ACallableEmptiedAfterBuildingIsStillAnError) {
    const Step step;
    Trigger::Value value = Trigger::Time();
    value.reader = nullptr;
    expect_driver_error([&] { holds(value > 0.0, step); }, {"no callable"});

    Trigger left = Trigger::Time() < 1.0;
    left.condition = nullptr;
    expect_driver_error([&] { holds(left && (Trigger::Time() < 1.0), step); }, {"no callable"});
    expect_driver_error([&] { holds((Trigger::Time() > 1.0) || left, step); }, {"no callable"});
}

}  // namespace
