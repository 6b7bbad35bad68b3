// Cutting the data connection's byte stream into lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orvane/drivers/fanuc/rmi_line_assembler.hpp"
#include "orvane/log/orvane_error.hpp"

using orvane::drivers::RmiLineAssembler;

namespace {

struct Collected {
    RmiLineAssembler assembler{100};
    std::vector<std::string> lines;
    void feed(const std::string& chunk) {
        assembler.feed(chunk, [this](const std::string& line) { lines.push_back(line); });
    }
};

}  // namespace

TEST(RmiLineAssembler, LinesCutAnywhereOrMergedArriveWholeAndInOrder) {
    const std::string stream = "{\"a\":1}\r\n  \r\n{\"b\":2}\r\n{\"c\":3}\r\n";
    // Every way of cutting the stream in three, the terminator itself included.
    for (std::size_t first = 0; first <= stream.size(); ++first) {
        for (std::size_t second = first; second <= stream.size(); ++second) {
            Collected c;
            c.feed(stream.substr(0, first));
            c.feed(stream.substr(first, second - first));
            c.feed(stream.substr(second));
            ASSERT_EQ(c.lines, (std::vector<std::string>{"{\"a\":1}", "{\"b\":2}", "{\"c\":3}"}))
                << first << " " << second;
            EXPECT_EQ(c.assembler.pending(), 0u);
        }
    }
}

TEST(RmiLineAssembler, OverLongLinesAreRefusedCompleteOrNot) {
    Collected complete;
    // A whole line over the limit in one chunk, then the same across two.
    EXPECT_THROW(complete.feed(std::string(101, 'x') + "\r\n"), orvane::OrvaneError);
    EXPECT_TRUE(complete.lines.empty());
    complete.feed(std::string(60, 'x'));
    EXPECT_THROW(complete.feed(std::string(41, 'x') + "\r\n{}\r\n"), orvane::OrvaneError);
    EXPECT_TRUE(complete.lines.empty());

    Collected unfinished;
    unfinished.feed(std::string(100, 'x'));  // at the limit: still waiting
    EXPECT_THROW(unfinished.feed("x"), orvane::OrvaneError);
    // Dropped bytes are forgotten: the next line starts clean.
    unfinished.feed("{}\r\n");
    EXPECT_EQ(unfinished.lines, std::vector<std::string>{"{}"});
    EXPECT_EQ(unfinished.assembler.pending(), 0u);
}

TEST(RmiLineAssembler, AFailingLineDropsTheRestOfItsChunk) {
    Collected c;
    int handled = 0;
    EXPECT_THROW(c.assembler.feed("bad\r\n{}\r\npart", [&](const std::string&) {
        ++handled;
        throw std::runtime_error("refused");
    }),
                 std::runtime_error);
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(c.assembler.pending(), 0u);
}
