// One answer line into a response: any bytes end in a response or an
// exception, never a crash, a hang or unbounded recursion.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "orvane/drivers/fanuc/rmi_message.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        auto response = orvane::drivers::RmiResponse::from_str(
            std::string_view(reinterpret_cast<const char*>(data), size));
        (void)response->get_id();
    } catch (const std::exception&) {
        // A refused line is an expected outcome.
    }
    return 0;
}
