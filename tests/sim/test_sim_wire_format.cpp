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
  std::string b = ":2}\r\nbare\n\r\n";
  buf.append(b.data(), b.size(), lines);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1], "{\"b\":2}");
  EXPECT_EQ(lines[2], "bare");
  EXPECT_EQ(lines[3], "");
  EXPECT_FALSE(buf.overflowed());
  std::string endless(65, 'x');
  buf.append(endless.data(), endless.size(), lines);
  EXPECT_TRUE(buf.overflowed());
  EXPECT_EQ(buf.pending(), 0u);
}
