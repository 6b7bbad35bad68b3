// Costs on the streaming path: one motion instruction built and serialised
// per control step, and one instruction answer parsed per step.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "orvane/drivers/fanuc/rmi_message.hpp"
#include "orvane/drivers/fanuc/rmi_requests.hpp"
#include "orvane/drivers/fanuc/rmi_responses.hpp"

using namespace orvane::drivers;

static void BM_MotionInstructionSixJoints(benchmark::State& state) {
    const std::vector<double> joints = {0.1234567, -0.7654321, 1.5707963, -0.0001948, 2.8, -3.1};
    std::int32_t sequence_id = 1;
    for (auto _ : state) {
        MotionInstruction instruction(sequence_id++, joints, 0.008, false);
        benchmark::DoNotOptimize(instruction.as_string().data());
    }
}
BENCHMARK(BM_MotionInstructionSixJoints);

static void BM_InstructionAnswerFromStr(benchmark::State& state) {
    const std::string line = R"({"Instruction" : "FRC_JointMotionJRep", "ErrorID" : 0, "SequenceID" : 1234})";
    for (auto _ : state) {
        auto response = RmiResponse::from_str(line);
        benchmark::DoNotOptimize(response->get_id().data());
    }
}
BENCHMARK(BM_InstructionAnswerFromStr);

static void BM_JointAnglesFromStr(benchmark::State& state) {
    const std::string line =
        R"({"Command" : "FRC_ReadJointAngles", "ErrorID" : 0, "TimeTag" : 1000, "JointAngle" : )"
        R"({"J1" : 90.000, "J2" : -45.500, "J3" : 1.948e-04, "J4" : 0.000, "J5" : -90.000, "J6" : 180.000, )"
        R"("J7" : 0.000, "J8" : 0.000, "J9" : 0.000}, "Group" : 1})";
    for (auto _ : state) {
        auto response = RmiResponse::from_str(line);
        benchmark::DoNotOptimize(response.get());
    }
}
BENCHMARK(BM_JointAnglesFromStr);
