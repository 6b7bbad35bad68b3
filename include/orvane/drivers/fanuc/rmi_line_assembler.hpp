#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace orvane::drivers {

/// Cuts the byte stream of the data connection into CR LF terminated lines.
///
/// TCP may merge several lines into one receive or cut one line across
/// receives; the unfinished tail of a chunk is kept and completed by the next.
/// A line longer than `max_line` bytes, whether it is still unfinished or
/// already complete, is a protocol violation: `feed` throws OrvaneError and
/// the held bytes are dropped, so the assembler starts clean for a new link.
class RmiLineAssembler {
public:
    using LineHandler = std::function<void(const std::string& line)>;

    explicit RmiLineAssembler(std::size_t max_line) : max_line(max_line) {}

    /// Appends one received chunk and calls `handle` for every complete line
    /// that is not blank, in order, without its terminator. An exception from
    /// `handle` drops the rest of the chunk and the held tail, then leaves.
    void feed(std::string_view chunk, const LineHandler& handle);

    /// Forgets the unfinished tail (a new connection starts with a clean line).
    void clear();

    /// Bytes held of the unfinished line.
    std::size_t pending() const { return held.size(); }

private:
    const std::size_t max_line;
    std::string held;
    // Where the terminator search resumes in `held`: bytes before it are
    // known to hold no CR LF, so a line trickling in byte by byte costs
    // linear time, not quadratic.
    std::size_t scanned = 0;
};

}  // namespace orvane::drivers
