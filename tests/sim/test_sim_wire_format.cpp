// Text formatting of answers and splitting of received bytes.
#include <set>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "orvane/sim/wire_format.hpp"

using orvane::sim::format_compact;
using orvane::sim::format_controller_float;
using orvane::sim::format_controller_style;
using orvane::sim::LineBuffer;

TEST(SimWireFormat, FloatsAsTheControllerWritesThem) {
  EXPECT_EQ(format_controller_float(12.3456), "12.346");
  EXPECT_EQ(format_controller_float(-0.5), "-0.500");
  EXPECT_EQ(format_controller_float(0.0), "0.000");
  EXPECT_EQ(format_controller_float(-0.0), "0.000");
  EXPECT_EQ(format_controller_float(0.0001948), "1.948e-04");
  EXPECT_EQ(format_controller_float(-0.0001948), "-1.948e-04");
  EXPECT_EQ(format_controller_float(0.0005), "0.001");
}

TEST(SimWireFormat, KindFirstThenShuffledMembersWithSpacedColons) {
  nlohmann::ordered_json p;
  p["Command"] = "FRC_ReadJointAngles";
  p["ErrorID"] = 0;
  p["TimeTag"] = 12;
  p["JointAngle"] = {{"J1", 1.0}, {"J2", -2.25}};
  p["Group"] = 1;
  std::mt19937 rng(5);
  std::set<std::string> texts;
  for (int i = 0; i < 10; ++i) {
    std::string t = format_controller_style(p, rng);
    EXPECT_EQ(t.rfind(R"({"Command" : "FRC_ReadJointAngles", )", 0), 0u) << t;
    EXPECT_NE(t.find(R"("JointAngle" : {"J1" : 1.000, "J2" : -2.250})"), std::string::npos) << t;
    EXPECT_NE(t.find(R"("ErrorID" : 0)"), std::string::npos) << t;
    EXPECT_EQ(nlohmann::json::parse(t), nlohmann::json::parse(p.dump()));
    texts.insert(t);
  }
  EXPECT_GT(texts.size(), 1u);
  EXPECT_EQ(format_compact(p), R"({"Command":"FRC_ReadJointAngles","ErrorID":0,"TimeTag":12,)"
                               R"("JointAngle":{"J1":1.0,"J2":-2.25},"Group":1})");
}

TEST(SimWireFormat, LinesSplitAcrossAndMergedWithinReads) {
  LineBuffer buf(64);
  std::vector<std::string> lines;
  std::string a = "{\"a\":1}\r\n{\"b\"";
  buf.append(a.data(), a.size(), lines);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "{\"a\":1}");
  std::string b = ":2}\r";  // CR and LF in separate reads
  buf.append(b.data(), b.size(), lines);
  std::string c = "\n\r\n";
  buf.append(c.data(), c.size(), lines);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "{\"b\":2}");
  EXPECT_EQ(lines[2], "");
  EXPECT_FALSE(buf.overflowed());
  std::string endless(65, 'x');
  buf.append(endless.data(), endless.size(), lines);
  EXPECT_TRUE(buf.overflowed());
  EXPECT_EQ(buf.pending(), 0u);
}

// Some clients end every packet with CR LF NUL, some pretty-print a packet
// over several LF-ended lines and end it with CR LF.
TEST(SimWireFormat, NulAfterPacketsIsSkippedAndBareLineFeedsStayInThePacket) {
  LineBuffer buf(1 << 10);
  std::vector<std::string> lines;
  std::string bytes("{\"Command\":\"FRC_GetStatus\"}\r\n\0\0{\n  \"Command\" : \"FRC_Reset\"\n}\r\n\0", 63);
  buf.append(bytes.data(), bytes.size(), lines);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "{\"Command\":\"FRC_GetStatus\"}");
  EXPECT_EQ(lines[1], "{\n  \"Command\" : \"FRC_Reset\"\n}");
  EXPECT_EQ(buf.pending(), 0u) << "the trailing NUL starts no packet";
}
