// The data connection's line reassembly fed arbitrary chunks: the first byte
// of each piece chooses the length of the next chunk. Every line handed out
// is terminator-free and within the limit, and the held tail stays bounded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "orvane/drivers/fanuc/rmi_line_assembler.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr std::size_t limit = 64;  // small, so that the limit is reached often
    orvane::drivers::RmiLineAssembler assembler(limit);
    std::size_t at = 0;
    while (at < size) {
        const std::size_t length = std::min<std::size_t>(data[at] % 97, size - at - 1);
        ++at;
        const std::string_view chunk(reinterpret_cast<const char*>(data + at), length);
        at += length;
        try {
            assembler.feed(chunk, [&](const std::string& line) {
                if (line.size() > limit || line.find("\r\n") != std::string::npos) std::abort();
            });
        } catch (const std::exception&) {
            if (assembler.pending() != 0) std::abort();
        }
        if (assembler.pending() > limit) std::abort();
    }
    return 0;
}
