// Fault injection, hostile input and records of the simulator.
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

#include "orvane/sim/testing.hpp"
#include "sim/sim_client.hpp"

using namespace simtest;
using orvane::sim::SimulatorConfig;
namespace err = orvane::sim::error_id;

namespace {

using Joints = std::array<double, 9>;
Joints along_j1(double v) { return {v, 0, 0, 0, 0, 0, 0, 0, 0}; }

class SimFaults : public ::testing::Test {
protected:
  void SetUp() override {
    sim = start_sim();
    ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
  }
  void initialize() { ASSERT_EQ(s.data.command(R"({"Command":"FRC_Initialize"})")["ErrorID"], 0); }
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

TEST_F(SimFaults, RefusedSequenceIdIsAnsweredAtOnceAndOnce) {
  ASSERT_NO_FATAL_FAILURE(initialize());
  sim->refuse_sequence_id(2, 1234);
  s.data.send_line(motion(1, along_j1(1), 400));
  s.data.send_line(motion(2, along_j1(2), 24));
  auto first = s.data.read_json();
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)["SequenceID"], 2) << "refused before the running motion is answered";
  EXPECT_EQ((*first)["ErrorID"], 1234);
  EXPECT_EQ(answer_of(1)["ErrorID"], 0);
  EXPECT_EQ(sim->status().next_sequence_id, 2);
  s.data.send_line(motion(2, along_j1(2), 24));
  EXPECT_EQ(answer_of(2)["ErrorID"], 0);
}

TEST_F(SimFaults, SystemFaultPausesUntilReset) {
  ASSERT_NO_FATAL_FAILURE(initialize());
  s.data.send_line(motion(1, along_j1(20), 2000));
  ASSERT_TRUE(sim->wait_for_line([](const std::string& l) { return l.find("\"SequenceID\":1") != std::string::npos; },
                                 kWait));
  sim->push_system_fault();
  auto fault = s.data.read_json();
  ASSERT_TRUE(fault);
  EXPECT_EQ((*fault)["Communication"], "FRC_SystemFault");
  EXPECT_EQ((*fault)["SequenceID"], 1);
  EXPECT_EQ(sim->status().queued_instructions, 0u);
  s.data.send_line(motion(2, along_j1(1), 24));
  EXPECT_EQ(answer_of(2)["ErrorID"], err::rmi_in_hold);
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Reset"})")["ErrorID"], 0);
  s.data.send_line(motion(2, along_j1(1), 24));
  EXPECT_EQ(answer_of(2)["ErrorID"], 0);
  sim->push_system_fault(77);
  fault = s.data.read_json();
  ASSERT_TRUE(fault);
  EXPECT_EQ((*fault)["SequenceID"], 77);
}

TEST_F(SimFaults, FaultAtSequenceIdAndEstopDuringMotion) {
  ASSERT_NO_FATAL_FAILURE(initialize());
  sim->fault_at_sequence_id(2);
  s.data.send_line(motion(1, along_j1(1), 24));
  s.data.send_line(motion(2, along_j1(2), 24));
  EXPECT_EQ(answer_of(1)["ErrorID"], 0);
  auto fault = s.data.read_json();
  ASSERT_TRUE(fault);
  EXPECT_EQ((*fault)["Communication"], "FRC_SystemFault");
  EXPECT_EQ((*fault)["SequenceID"], 2);
  EXPECT_DOUBLE_EQ(sim->joint_position_deg()[0], 1.0);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_ReadError"})")["ErrorData"], "MOTN-017 Limit error (G:1)");
  // As a limit error: the reset alone does not let RMI_MOVE run on.
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Reset"})")["ErrorID"], 0);
  s.data.send_line(motion(3, along_j1(30), 2000));
  EXPECT_EQ(answer_of(3)["ErrorID"], err::rmi_in_hold);
  ASSERT_EQ(s.data.command(R"({"Command":"FRC_Abort"})")["ErrorID"], 0);
  ASSERT_NO_FATAL_FAILURE(initialize());

  const auto before = sim->received_line_count();
  s.data.send_line(motion(1, along_j1(30), 2000));
  ASSERT_TRUE(sim->wait_for_line([](const std::string& l) { return l.find("\"SequenceID\":1") != std::string::npos; },
                                 kWait, before));
  sim->set_estop(true);
  fault = s.data.read_json();
  ASSERT_TRUE(fault);
  EXPECT_EQ((*fault)["SequenceID"], 1);
  json status = s.data.command(R"({"Command":"FRC_GetStatus"})");
  EXPECT_EQ(status["ServoReady"], 0);
  EXPECT_EQ(status["RMIMotionStatus"], 0);
  EXPECT_NE(s.data.command(R"({"Command":"FRC_Reset"})")["ErrorID"], 0);
  sim->set_estop(false);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_Reset"})")["ErrorID"], 0);
  EXPECT_EQ(s.data.command(R"({"Command":"FRC_GetStatus"})")["ServoReady"], 1);
}

TEST_F(SimFaults, TerminateAndDropEndTheSession) {
  sim->push_terminate();
  auto line = s.data.read_json();
  ASSERT_TRUE(line);
  EXPECT_EQ((*line)["Communication"], "FRC_Terminate");
  EXPECT_TRUE(s.data.wait_closed());
  EXPECT_TRUE(sim->wait_for_disconnect(kWait));

  Session again;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, again));
  sim->drop_connections();
  EXPECT_TRUE(again.data.wait_closed());
  EXPECT_TRUE(sim->wait_for_disconnect(kWait));
  EXPECT_FALSE(again.data.read_line(50ms)) << "a drop sends no packet";
  Session third;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, third));
  EXPECT_EQ(sim->connection_count(), 3u);
}

TEST_F(SimFaults, WithheldAnswersLeaveInOrderWhenReleased) {
  sim->withhold_answers(true);
  s.data.send_line(R"({"Command":"FRC_GetStatus"})");
  s.data.send_line(R"({"Command":"FRC_ReadJointAngles"})");
  ASSERT_TRUE(sim->wait_for_line([](const std::string& l) { return l.find("FRC_ReadJointAngles") != std::string::npos; },
                                 kWait));
  EXPECT_FALSE(s.data.read_line(200ms));
  sim->withhold_answers(false);
  auto first = s.data.read_json();
  auto second = s.data.read_json();
  ASSERT_TRUE(first && second);
  EXPECT_EQ((*first)["Command"], "FRC_GetStatus");
  EXPECT_EQ((*first)["ErrorID"], 0);
  EXPECT_EQ((*second)["ErrorID"], err::wait_for_command_done);
}

TEST_F(SimFaults, RawBytesAndSplitAnswersReachTheClientAsWritten) {
  sim->send_raw("garbage\r\n{\"Command\" : ");
  EXPECT_EQ(s.data.read_line(), "garbage");
  EXPECT_EQ(s.data.read_chunk(), "{\"Command\" : ");

  sim->split_next_answer(5, 0.5);
  s.data.send_line(R"({"Command":"FRC_GetStatus"})");
  auto part = s.data.read_chunk();
  ASSERT_TRUE(part);
  EXPECT_EQ(*part, "{\"Com");
  auto rest = s.data.read_line();
  ASSERT_TRUE(rest);
  EXPECT_EQ(json::parse(*part + *rest)["ErrorID"], 0);
  // Only the next answer is split.
  s.data.send_line(R"({"Command":"FRC_GetStatus"})");
  part = s.data.read_chunk();
  ASSERT_TRUE(part);
  EXPECT_GT(part->size(), 5u);
}

TEST_F(SimFaults, GarbageNeverBreaksTheController) {
  std::mt19937 rng(3);
  std::string noise;
  for (int i = 0; i < 200000; ++i) noise += static_cast<char>(rng() % 256);
  s.data.send(noise + "\r\n");
  s.data.send(std::string(100000, '[') + "\r\n");
  s.data.send(R"({"Command":"FRC_ReadDIN","PortNumber":1e400})" "\r\n");
  s.data.send(R"({"Instruction":"FRC_JointMotionJRep","SequenceID":99999999999999})" "\r\n");
  s.data.send("\r\n\n\xff\xfe{}\r\n");
  // Merged with the next command and cut in the middle of it.
  s.data.send(R"({"Command":"FRC_GetSt)");
  s.data.send("atus\"}\r\n");
  auto status = s.data.read_until([](const json& j) { return j.value("Command", "") == "FRC_GetStatus"; });
  ASSERT_TRUE(status);
  EXPECT_EQ((*status)["ErrorID"], 0);

  // A line that never ends is cut off; the controller serves the next client.
  std::string endless(256 * 1024, 'x');
  for (int i = 0; i < 6 && !s.data.closed(); ++i) {
    try {
      s.data.send(endless);
    } catch (const std::exception&) {
      break;
    }
  }
  EXPECT_TRUE(s.data.wait_closed());
  EXPECT_TRUE(sim->wait_for_disconnect(kWait));
  Session next;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, next));
  EXPECT_EQ(next.data.command(R"({"Command":"FRC_GetStatus"})")["ErrorID"], 0);
}

TEST_F(SimFaults, RecordsAndCsvExport) {
  ASSERT_NO_FATAL_FAILURE(initialize());
  s.data.send_line(motion(1, {1, 2, 3, 0, 0, 0, 0, 0, 0}, 100));
  EXPECT_EQ(answer_of(1)["ErrorID"], 0);
  auto lines = sim->received_lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].channel, "control");
  EXPECT_EQ(lines[1].line, R"({"Command":"FRC_Initialize"})");
  EXPECT_EQ(lines[2].channel, "data");
  EXPECT_LE(lines[1].at, lines[2].at);

  auto dir = std::filesystem::temp_directory_path() /
             ("orvane-sim-test-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);
  sim->write_path_csv((dir / "path.csv").string());
  sim->write_received_csv((dir / "received.csv").string());
  auto count_lines = [](const std::filesystem::path& f, std::string& header) {
    std::ifstream in(f);
    std::string l;
    std::getline(in, header);
    std::size_t n = 0;
    while (std::getline(in, l)) ++n;
    return n;
  };
  std::string header;
  EXPECT_EQ(count_lines(dir / "path.csv", header), sim->executed_path().size());
  EXPECT_EQ(header.rfind("t,controller_j1_deg", 0), 0u);
  EXPECT_NE(header.find("planner_j3_deg"), std::string::npos);
  EXPECT_EQ(count_lines(dir / "received.csv", header), 3u);
  EXPECT_EQ(header, "t,channel,line");
  std::filesystem::remove_all(dir);

  sim->clear_records();
  EXPECT_TRUE(sim->received_lines().empty());
  EXPECT_TRUE(sim->executed_path().empty());
}

TEST(SimLifetime, StopsQuicklyWithClientsAndPortsAreReusable) {
  auto sim = start_sim();
  Session s;
  ASSERT_NO_FATAL_FAILURE(open_session(*sim, s));
  s.data.send_line(R"({"Command":"FRC_Initialize"})");
  sim->stop();
  EXPECT_TRUE(s.data.wait_closed());
  // The same address and ports again (SO_REUSEADDR).
  SimulatorConfig cfg = sim->config();
  cfg.data_port = sim->data_port();
  orvane::sim::ControllerSimulator again(cfg);
  EXPECT_NO_THROW(again.start());
  orvane::sim::ControllerSimulator clash(cfg);
  try {
    clash.start();
    ADD_FAILURE() << "a second simulator on the same ports must not start";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::address_in_use);
  }
}
