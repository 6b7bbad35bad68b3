// Round trip of one "FRC_GetStatus" command through the RMI socket and the
// bundled simulator on loopback.
#include <benchmark/benchmark.h>

#include <stdexcept>

#include "orvane/drivers/fanuc/rmi_requests.hpp"
#include "orvane/drivers/fanuc/rmi_socket.hpp"
#include "orvane/sim/controller_simulator.hpp"
#include "orvane/sim/testing.hpp"

namespace {

using namespace std::chrono_literals;
using orvane::drivers::ControllerStatusRequest;
using orvane::drivers::RmiSocket;

void BM_GetStatusRoundTrip(benchmark::State& state) {
    orvane::sim::SimulatorConfig config;
    config.compact_answers = false;  // parse what a real controller writes
    auto sim = orvane::sim::testing::start_on_free_loopback(config);
    RmiSocket socket(sim->config().address);
    if (!socket.wait_until_connect(10)) {
        state.SkipWithError("the simulator did not accept the connection");
        return;
    }
    for (auto _ : state) {
        ControllerStatusRequest request;
        auto answer = socket.send_message(request, 1.0);
        if (answer.wait_for(5s) != std::future_status::ready) {
            state.SkipWithError("no answer");
            break;
        }
        benchmark::DoNotOptimize(answer.get());
    }
}
BENCHMARK(BM_GetStatusRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
