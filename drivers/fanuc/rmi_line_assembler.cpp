#include "orvane/drivers/fanuc/rmi_line_assembler.hpp"

#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers {

namespace {

constexpr std::string_view terminator = "\r\n";

bool is_blank(std::string_view line) { return line.find_first_not_of(" \t\r\n") == std::string_view::npos; }

}  // namespace

void RmiLineAssembler::clear() {
    held.clear();
    scanned = 0;
}

void RmiLineAssembler::feed(std::string_view chunk, const LineHandler& handle) {
    held.append(chunk);
    std::size_t start = 0;
    try {
        // A CR at the end of the old tail may pair with an LF in the chunk.
        std::size_t from = scanned > 0 ? scanned - 1 : 0;
        for (auto end = held.find(terminator, from); end != std::string::npos;
             end = held.find(terminator, start)) {
            if (end - start > max_line) {
                throw OrvaneError("driver.fanuc", "RMI line of " + std::to_string(end - start) +
                                                      " bytes exceeds the limit of " +
                                                      std::to_string(max_line) + " bytes");
            }
            const std::string line = held.substr(start, end - start);
            start = end + terminator.size();
            if (!is_blank(line)) handle(line);
        }
        if (held.size() - start > max_line) {
            throw OrvaneError("driver.fanuc", "RMI line exceeds " + std::to_string(max_line) +
                                                  " bytes without a line terminator");
        }
    } catch (...) {
        clear();
        throw;
    }
    held.erase(0, start);
    scanned = held.size();
}

}  // namespace orvane::drivers
