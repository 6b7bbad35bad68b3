// The simulator's request handling fed arbitrary bytes: framing into packets,
// parsing, dispatch and every packet handler, on a fresh controller per
// input. Nothing may crash, hang or throw out of the handlers; the controller
// must hold no more unanswered instructions than its buffer has slots.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "../sim/src/core.hpp"
#include "orvane/sim/wire_format.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    orvane::sim::SimulatorConfig config;
    config.abort_duration = 0.0;
    config.programs["PNS0001"] = 0.01;
    orvane::sim::detail::Core core(config);
    orvane::sim::LineBuffer buffer(4096);
    std::vector<std::string> lines;
    buffer.append(reinterpret_cast<const char*>(data), size, lines);
    std::lock_guard lock(core.m);
    for (const auto& line : lines) core.handle_data_line(line);
    if (core.motion.queue.size() > orvane::sim::detail::max_unanswered_instructions) std::abort();
    return 0;
}
