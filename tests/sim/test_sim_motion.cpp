// Instruction handling and real-time motion of the simulator.
#include <cmath>

#include "orvane/sim/testing.hpp"
#include "sim/sim_client.hpp"

using namespace simtest;
using orvane::sim::SimulatorConfig;
namespace err = orvane::sim::error_id;

namespace {

using Joints = std::array<double, 9>;

Joints along_j1(double v) { return {v, 0, 0, 0, 0, 0, 0, 0, 0}; }

class SimMotion : public ::testing::Test {
protected:
  void start(SimulatorConfig cfg = {}) {
    sim = start_sim(cfg);
    ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
    ASSERT_EQ(s.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"], 0);
  }
  json answer_of(int seq) {
    auto j = s.data.read_until([seq](const json& a) { return answers_instruction(a, seq); });
    if (!j) {
      ADD_FAILURE() << "no answer for instruction " << seq;
      return json::object();
    }
    return *j;
  }
  std::unique_ptr<orvane::sim::ControllerSimulator> sim;
  Session s;
};

}  // namespace

TEST_F(SimMotion, SequenceGapHoldsUntilResetWhileQueuedMotionRuns) {
  ASSERT_NO_FATAL_FAILURE(start());
  s.data.send_line(motion(1, along_j1(5), 300));
  s.data.send_line(motion(3, along_j1(10), 24));
  std::vector<json> before;
  json gap = *s.data.read_until([](const json& a) { return answers_instruction(a, 3); }, kWait, &before);
  EXPECT_EQ(gap["ErrorID"], err::invalid_sequence_id);
  EXPECT_TRUE(before.empty()) << "a refusal comes back at once, before the running motion ends";
  EXPECT_TRUE(sim->status().hold);
  s.data.send_line(motion(2, along_j1(10), 24));
  EXPECT_EQ(answer_of(2)["ErrorID"], err::rmi_in_hold);
  EXPECT_EQ(answer_of(1)["ErrorID"], 0) << "the queued instruction still runs";
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_GetStatus"})")["NextSequenceID"], 2);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_Reset"})")["ErrorID"], 0);
  EXPECT_FALSE(sim->status().hold);
  s.data.send_line(motion(2, along_j1(10), 24));
  EXPECT_EQ(answer_of(2)["ErrorID"], 0);
  EXPECT_DOUBLE_EQ(sim->joint_position_deg()[0], 10.0);
}

TEST_F(SimMotion, InitializeMayKeepTheSequenceId) {
  ASSERT_NO_FATAL_FAILURE(start());
  s.data.send_line(motion(1, along_j1(1), 24));
  EXPECT_EQ(answer_of(1)["ErrorID"], 0);
  sim->set_initialize_resets_sequence_id(false);
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Abort"})")["ErrorID"], 0);
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"], 0);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_GetStatus"})")["NextSequenceID"], 2);
  sim->set_next_sequence_id(40);
  s.data.send_line(motion(1, along_j1(2), 24));
  EXPECT_EQ(answer_of(1)["ErrorID"], err::invalid_sequence_id);
  s.data.command(R"({"Command":"FRC_Reset"})");
  s.data.send_line(motion(40, along_j1(2), 24));
  EXPECT_EQ(answer_of(40)["ErrorID"], 0);
  sim->set_initialize_resets_sequence_id(true);
  s.data.command(R"({"Command":"FRC_Abort"})");
  s.data.command(R"({"Command":"FRC_Initialize"})");
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_GetStatus"})")["NextSequenceID"], 1);
}

TEST_F(SimMotion, NinthUnansweredInstructionIsRefused) {
  ASSERT_NO_FATAL_FAILURE(start());
  for (int seq = 1; seq <= 8; ++seq) s.data.send_line(motion(seq, along_j1(seq * 0.1), 2000));
  s.data.send_line(motion(9, along_j1(1), 24));
  EXPECT_EQ(answer_of(9)["ErrorID"], err::wait_for_instruction_done);
  EXPECT_EQ(sim->status().queued_instructions, 8u);
  EXPECT_EQ(sim->status().next_sequence_id, 9) << "a refusal does not use up the ID";
  // An abort flushes the queue without answering it.
  s.data.send_line(R"({"Command":"FRC_Abort"})");
  auto abort = s.data.read_until([](const json& a) { return a.value("Command", "") == "FRC_Abort"; });
  ASSERT_TRUE(abort);
  EXPECT_EQ((*abort)["ErrorID"], 0);
  EXPECT_EQ(sim->status().queued_instructions, 0u);
  EXPECT_FALSE(sim->status().rmi_running);
}

TEST_F(SimMotion, AnsweredWhenFinishedNotWhenReceived) {
  ASSERT_NO_FATAL_FAILURE(start());
  s.data.send_line(motion(1, along_j1(24), 240));
  bool saw_intermediate = false;
  bool answered = false;
  auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!answered && std::chrono::steady_clock::now() < deadline) {
    s.data.send_line(R"({"Command":"FRC_ReadJointAngles"})");
    for (;;) {
      auto j = s.data.read_json();
      ASSERT_TRUE(j);
      if (answers_instruction(*j, 1)) {
        EXPECT_EQ((*j)["ErrorID"], 0);
        answered = true;
        continue;
      }
      double q1 = joints(*j)[0];
      if (!answered && q1 > 0.0 && q1 < 24.0) saw_intermediate = true;
      if (answered) EXPECT_DOUBLE_EQ(q1, 24.0);
      break;
    }
  }
  EXPECT_TRUE(answered);
  EXPECT_TRUE(saw_intermediate) << "the answer came before the robot was seen on its way";
}

TEST_F(SimMotion, BlendedMotionWaitsForTheNextInstruction) {
  ASSERT_NO_FATAL_FAILURE(start());
  s.data.send_line(motion(1, along_j1(5), 24, "CNT", 100));
  ASSERT_TRUE(sim->wait_for_line([](const std::string& l) { return l.find("\"SequenceID\":1") != std::string::npos; },
                                 kWait));
  EXPECT_FALSE(sim->wait_until_motion_idle(300ms));
  EXPECT_FALSE(s.data.read_line(50ms)) << "no answer while the robot stands before its blended point";
  EXPECT_DOUBLE_EQ(sim->joint_position_deg()[0], 0.0);
  EXPECT_EQ(sim->status().queued_instructions, 1u);
  s.data.send_line(motion(2, along_j1(8), 24, "CNT", 0));
  EXPECT_EQ(answer_of(2)["ErrorID"], 0);
  EXPECT_TRUE(sim->wait_until_motion_idle(kWait));
  EXPECT_DOUBLE_EQ(sim->joint_position_deg()[0], 8.0);
  // A FINE motion and a CNT 0 motion run on their own.
  s.data.send_line(motion(3, along_j1(9), 24, "FINE"));
  EXPECT_EQ(answer_of(3)["ErrorID"], 0);
}

TEST_F(SimMotion, NoBlendLetsALoneCntMotionRunWithoutTheNext) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto with_no_blend = [](int seq, double j1, const std::string& term, json no_blend) {
    json j = json::parse(motion(seq, along_j1(j1), 100, term, 100));
    j["NoBlend"] = no_blend;
    return j.dump();
  };
  // Sent and taken by the controller.
  auto deliver = [&](const std::string& line) {
    const auto before = sim->received_line_count();
    s.data.send_line(line);
    ASSERT_TRUE(sim->wait_for_line([&](const std::string& l) { return l == line; }, kWait, before));
  };
  // A lone CNT 100 motion with NoBlend runs to its end and is answered.
  s.data.send_line(with_no_blend(1, 5, "CNT", "ON"));
  EXPECT_EQ(answer_of(1)["ErrorID"], 0);
  EXPECT_DOUBLE_EQ(sim->joint_position_deg()[0], 5.0);

  // The same with a speed the controller plans.
  json planned = json::parse(with_no_blend(2, 10, "CNT", "ON"));
  planned["SpeedType"] = "Percent";
  planned["Speed"] = 20;
  s.data.send_line(planned.dump());
  EXPECT_EQ(answer_of(2)["ErrorID"], 0);
  EXPECT_NEAR(sim->joint_position_deg()[0], 10.0, 1e-9);

  // NoBlend "OFF", and the CR termination with NoBlend, still wait for the next motion.
  for (auto [term, no_blend] : {std::pair<std::string, std::string>{"CNT", "OFF"}, {"CR", "ON"}}) {
    int seq = sim->status().next_sequence_id;
    ASSERT_NO_FATAL_FAILURE(deliver(with_no_blend(seq, 12, term, no_blend)));
    EXPECT_FALSE(sim->wait_until_motion_idle(300ms)) << term << " NoBlend " << no_blend;
    EXPECT_NEAR(sim->joint_position_deg()[0], 10.0, 1e-9) << term << " NoBlend " << no_blend;
    s.data.send_line(motion(seq + 1, along_j1(10), 100));
    EXPECT_EQ(answer_of(seq)["ErrorID"], 0);
    EXPECT_EQ(answer_of(seq + 1)["ErrorID"], 0);
  }
  int seq = sim->status().next_sequence_id;
  s.data.send_line(with_no_blend(seq, 12, "CNT", "MAYBE"));
  EXPECT_EQ(answer_of(seq)["ErrorID"], err::invalid_text_string);
}

TEST_F(SimMotion, NoBlendIsUnknownToMajorVersionsBeforeFive) {
  SimulatorConfig cfg;
  cfg.major_version = 4;
  ASSERT_NO_FATAL_FAILURE(start(cfg));
  json j = json::parse(motion(1, along_j1(5), 100, "CNT", 100));
  j["NoBlend"] = "ON";
  const auto before = sim->received_line_count();
  s.data.send_line(j.dump());
  ASSERT_TRUE(sim->wait_for_line([&](const std::string& l) { return l == j.dump(); }, kWait, before));
  EXPECT_FALSE(sim->wait_until_motion_idle(300ms)) << "the blend rule holds";
  s.data.send_line(motion(2, along_j1(6), 100));
  EXPECT_EQ(answer_of(1)["ErrorID"], 0);
  EXPECT_EQ(answer_of(2)["ErrorID"], 0);
}

TEST_F(SimMotion, SequenceIdWrapsFromTheLargestToOne) {
  ASSERT_NO_FATAL_FAILURE(start());
  sim->set_next_sequence_id(INT32_MAX);
  s.data.send_line(motion(INT32_MAX, along_j1(1), 24));
  EXPECT_EQ(answer_of(INT32_MAX)["ErrorID"], 0);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_GetStatus"})")["NextSequenceID"], 1);
  s.data.send_line(motion(1, along_j1(2), 24));
  EXPECT_EQ(answer_of(1)["ErrorID"], 0);
  EXPECT_FALSE(sim->status().hold);
}

TEST_F(SimMotion, AnswersComeInQueueOrder) {
  ASSERT_NO_FATAL_FAILURE(start());
  for (int seq = 1; seq <= 5; ++seq) s.data.send_line(motion(seq, along_j1(seq), 24, "CNT", seq < 5 ? 100 : 0));
  for (int seq = 1; seq <= 5; ++seq) {
    auto j = s.data.read_json();
    ASSERT_TRUE(j);
    EXPECT_EQ((*j)["SequenceID"], seq);
  }
}

TEST_F(SimMotion, MinimumDurationAndOverrideStretchTheMotion) {
  SimulatorConfig cfg;
  cfg.minimum_motion_ms = 24;
  ASSERT_NO_FATAL_FAILURE(start(cfg));
  s.data.send_line(motion(1, along_j1(2), 1));
  EXPECT_EQ(answer_of(1)["ErrorID"], 0);
  auto path = sim->executed_path();
  ASSERT_FALSE(path.empty());
  for (const auto& p : path) EXPECT_NEAR(p.controller_deg[0], 2.0 * std::min(1.0, p.t / 0.024), 1e-9) << p.t;
  EXPECT_GE(path.back().t, 0.024);

  sim->clear_records();
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_SetOverRide","Value":25})")["ErrorID"], 0);
  s.data.send_line(motion(2, along_j1(4), 40));  // 40 ms at 25 % takes 160 ms
  EXPECT_EQ(answer_of(2)["ErrorID"], 0);
  path = sim->executed_path();
  ASSERT_GE(path.size(), 10u);
  for (const auto& p : path) EXPECT_NEAR(p.controller_deg[0], 2.0 + 2.0 * std::min(1.0, p.t / 0.16), 1e-9) << p.t;
  EXPECT_TRUE(sim->slow_downs().empty());
}

TEST_F(SimMotion, J3IsRelativeToJ2InReportsPathAndLimits) {
  SimulatorConfig cfg;
  cfg.initial_position_deg = {0, 10, 5, 0, 0, 0, 0, 0, 0};
  ASSERT_NO_FATAL_FAILURE(start(cfg));
  json read = s.data.command(R"({"Command":"FRC_ReadJointAngles"})");
  EXPECT_DOUBLE_EQ(joints(read)[2], 5.0);
  // LR Mate J3 (independent) reaches down to -70 deg: -75 relative to J2 = 10 is -65.
  s.data.send_line(motion(1, {0, 10, -75, 0, 0, 0, 0, 0, 0}, 500));
  EXPECT_EQ(answer_of(1)["ErrorID"], 0);
  auto path = sim->executed_path();
  ASSERT_FALSE(path.empty());
  EXPECT_DOUBLE_EQ(path.back().controller_deg[2], -75.0);
  EXPECT_DOUBLE_EQ(path.back().planner_deg[2], -65.0);
  for (const auto& p : path) EXPECT_DOUBLE_EQ(p.planner_deg[2], p.controller_deg[2] + p.controller_deg[1]);
  EXPECT_DOUBLE_EQ(joints(s.data.command(R"({"Command":"FRC_ReadJointAngles"})"))[2], -75.0);
  // The same J3 with J2 = 0 is outside the range: accepted, it faults when it would start.
  s.data.send_line(motion(2, {0, 0, -75, 0, 0, 0, 0, 0, 0}, 500));
  auto fault = s.data.read_json();
  ASSERT_TRUE(fault);
  EXPECT_EQ((*fault)["Communication"], "FRC_SystemFault");
  EXPECT_EQ((*fault)["SequenceID"], 2);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_ReadError"})")["ErrorData"], "MOTN-017 Limit error (G:1, A:3)");
}

TEST_F(SimMotion, TooFastInstructionIsSlowedDownAndCounted) {
  ASSERT_NO_FATAL_FAILURE(start());
  s.data.send_line(motion(1, along_j1(45), 24));  // LR Mate J1: 450 deg/s, so at least 100 ms
  EXPECT_EQ(answer_of(1)["ErrorID"], 0);
  auto slows = sim->slow_downs();
  ASSERT_EQ(slows.size(), 1u);
  EXPECT_EQ(slows[0].sequence_id, 1);
  EXPECT_EQ(slows[0].joint, 0);
  EXPECT_NEAR(slows[0].requested_velocity, 45.0 / 0.024 * M_PI / 180.0, 1e-6);
  EXPECT_NEAR(slows[0].limit, 7.853981633974483, 1e-12);
  auto path = sim->executed_path();
  ASSERT_FALSE(path.empty());
  for (const auto& p : path) EXPECT_LE(p.controller_deg[0], 450.0 * p.t + 1e-6) << p.t;
  s.data.send_line(motion(2, along_j1(46), 24));  // 1 deg in 24 ms is within the limit
  EXPECT_EQ(answer_of(2)["ErrorID"], 0);
  EXPECT_EQ(sim->slow_downs().size(), 1u);
}

TEST_F(SimMotion, TargetOutsideRangeFaultsWhenItWouldStartUntilAbortResetInitialize) {
  ASSERT_NO_FATAL_FAILURE(start());
  s.data.send_line(motion(1, along_j1(30), 600));
  s.data.send_line(motion(2, along_j1(200), 24));  // LR Mate J1 ends at 180 deg
  s.data.send_line(motion(3, along_j1(10), 24));
  // Accepted: nothing comes back until the motion before it has run.
  EXPECT_EQ(answer_of(1)["ErrorID"], 0) << "the motion before it runs to its end";
  auto fault = s.data.read_json();
  ASSERT_TRUE(fault);
  EXPECT_EQ((*fault)["Communication"], "FRC_SystemFault") << fault->dump();
  EXPECT_EQ((*fault)["SequenceID"], 2);
  EXPECT_FALSE(s.data.read_line(200ms)) << "the faulted and the queued instructions are not answered";
  EXPECT_DOUBLE_EQ(sim->joint_position_deg()[0], 30.0) << "the arm stands where the fault found it";
  json error = s.data.command(R"({"Command":"FRC_ReadError"})");
  EXPECT_EQ(error["ErrorData"], "MOTN-017 Limit error (G:1, A:1)") << error.dump();
  json status = s.data.command(R"({"Command":"FRC_GetStatus"})");
  EXPECT_EQ(status["ProgramStatus"], orvane::sim::program_status_paused);
  EXPECT_EQ(status["RMIMotionStatus"], 0);
  EXPECT_EQ(status["NextSequenceID"], 4) << "accepted instructions used up their IDs";

  // A reset clears the alarm, but RMI_MOVE cannot run the instruction it paused at.
  s.data.send_line(motion(4, along_j1(10), 24));
  EXPECT_EQ(answer_of(4)["ErrorID"], err::rmi_in_hold);
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Reset"})")["ErrorID"], 0);
  EXPECT_FALSE(sim->status().alarm);
  s.data.send_line(motion(4, along_j1(10), 24));
  EXPECT_EQ(answer_of(4)["ErrorID"], err::rmi_in_hold);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_GetStatus"})")["ProgramStatus"], orvane::sim::program_status_paused);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"], err::program_already_exists);
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Abort"})")["ErrorID"], 0);
  s.data.send_line(motion(4, along_j1(10), 24));
  EXPECT_EQ(answer_of(4)["ErrorID"], err::rmi_not_running);
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"], 0);
  s.data.send_line(motion(1, along_j1(10), 24));
  EXPECT_EQ(answer_of(1)["ErrorID"], 0);
  EXPECT_DOUBLE_EQ(sim->joint_position_deg()[0], 10.0);
}

TEST_F(SimMotion, AbortBeforeResetAlsoRecoversFromALimitFault) {
  ASSERT_NO_FATAL_FAILURE(start());
  s.data.send_line(motion(1, along_j1(-200), 24));
  auto fault = s.data.read_json();
  ASSERT_TRUE(fault);
  EXPECT_EQ((*fault)["SequenceID"], 1);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"], err::program_already_exists);
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Abort"})")["ErrorID"], 0);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"], err::invalid_controller_state)
      << "the alarm is still set";
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Reset"})")["ErrorID"], 0);
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"], 0);
  s.data.send_line(motion(1, along_j1(-20), 100));
  EXPECT_EQ(answer_of(1)["ErrorID"], 0);
}

TEST_F(SimMotion, PayloadIsAnInstructionAnsweredInOrder) {
  ASSERT_NO_FATAL_FAILURE(start());
  s.data.send_line(motion(1, along_j1(3), 120));
  s.data.send_line(R"({"Instruction":"FRC_SetPayLoad","SequenceID":2,"ScheduleNumber":2})");
  auto first = s.data.read_json();
  auto second = s.data.read_json();
  ASSERT_TRUE(first && second);
  EXPECT_EQ((*first)["SequenceID"], 1);
  EXPECT_EQ((*second)["Instruction"], "FRC_SetPayLoad");
  EXPECT_EQ((*second)["SequenceID"], 2);
  EXPECT_EQ((*second)["ErrorID"], 0);
  EXPECT_EQ(sim->status().payload_schedule, 2);
  s.data.send_line(R"({"Instruction":"FRC_SetPayLoad","SequenceID":3,"ScheduleNumber":0})");
  EXPECT_EQ(answer_of(3)["ErrorID"], err::invalid_value);
}

TEST_F(SimMotion, InvalidInstructionsAreRefusedWithoutHold) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto with = [](const std::string& key, json value) {
    json j = json::parse(motion(1, along_j1(1), 24, "CNT", 50));
    if (value.is_null()) j.erase(key);
    else j[key] = value;
    return j.dump();
  };
  struct Case {
    std::string line;
    int error;
  };
  for (const Case& c : {Case{with("SpeedType", "mmSec"), err::invalid_speed_type},
                        Case{with("Speed", 0), err::invalid_speed},
                        Case{with("Speed", nullptr), err::invalid_speed},
                        Case{with("TermType", "XYZ"), err::invalid_term_type},
                        Case{with("TermValue", 101), err::invalid_term_value},
                        Case{with("JointAngle", nullptr), err::invalid_value},
                        Case{with("JointAngle", json{{"J1", "x"}}), err::invalid_value},
                        Case{with("SequenceID", "one"), err::invalid_value}}) {
    s.data.send_line(c.line);
    auto j = s.data.read_json();
    ASSERT_TRUE(j) << c.line;
    EXPECT_EQ((*j)["ErrorID"], c.error) << c.line;
  }
  EXPECT_FALSE(sim->status().hold);
  EXPECT_EQ(sim->status().next_sequence_id, 1);

  sim->set_single_step(true);
  s.data.send_line(motion(1, along_j1(1), 24));
  EXPECT_EQ(answer_of(1)["ErrorID"], err::single_step_mode);
  sim->set_single_step(false);
  s.data.command(R"({"Command":"FRC_Abort"})");
  s.data.send_line(motion(1, along_j1(1), 24));
  EXPECT_EQ(answer_of(1)["ErrorID"], err::rmi_not_running);
}
