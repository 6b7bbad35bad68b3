// User frames and tools: their data, the active pair, and what they do to
// the Cartesian position the controller reports.
#include <numbers>

#include <orvane/motion/frame.hpp>

#include "sim/rmi_client.hpp"

using namespace simtest;
namespace err = orvane::sim::error_id;

namespace {

constexpr double kRad = std::numbers::pi / 180.0;

orvane::Frame to_frame(const Xyzwpr& p) {
  return orvane::Frame::from_euler(p.x, p.y, p.z, p.w * kRad, p.p * kRad, p.r * kRad);
}

void expect_same_pose(const Xyzwpr& got, const Xyzwpr& want, const std::string& what) {
  EXPECT_LT(distance_mm(got, want), 0.1) << what << ": " << got.x << " " << got.y << " " << got.z << " vs " << want.x
                                         << " " << want.y << " " << want.z;
  double ang = to_frame(got).angular_distance(to_frame(want)) / kRad;
  EXPECT_LT(ang, 0.01) << what << ": orientation differs by " << ang << " deg";
}

Xyzwpr to_xyzwpr(const orvane::Frame& f) {
  auto e = f.to_euler();
  return {e[0], e[1], e[2], e[3] / kRad, e[4] / kRad, e[5] / kRad};
}

json set_frame_tool(RmiClient& c, int frame, int tool) {
  return c.command({{"Command", "FRC_SetUFrameUTool"}, {"UFrameNumber", frame}, {"UToolNumber", tool}});
}

}  // namespace

TEST(SimFramesTools, FrameAndToolDataReadBack) {
  auto c = RmiClient::start({}, false);
  Xyzwpr uf{100, -50, 20, 0, 0, 90};
  json w = c->command({{"Command", "FRC_WriteUFrameData"}, {"FrameNumber", 2}, {"Frame", frame_json(uf)}});
  EXPECT_EQ(w["ErrorID"], 0) << w.dump();
  json r = c->command({{"Command", "FRC_ReadUFrameData"}, {"FrameNumber", 2}});
  EXPECT_EQ(r["ErrorID"], 0) << r.dump();
  EXPECT_EQ(r["FrameNumber"], 2);
  ASSERT_TRUE(r.contains("Frame")) << r.dump();
  expect_same_pose(xyzwpr(r["Frame"]), uf, "user frame 2");

  Xyzwpr ut{0, 10, 120, 0, 0, 0};
  EXPECT_EQ(c->command({{"Command", "FRC_WriteUToolData"}, {"ToolNumber", 3}, {"Frame", frame_json(ut)}})["ErrorID"], 0);
  r = c->command({{"Command", "FRC_ReadUToolData"}, {"ToolNumber", 3}});
  EXPECT_EQ(r["ErrorID"], 0) << r.dump();
  EXPECT_EQ(r["ToolNumber"], 3);
  EXPECT_TRUE(r.contains("Configuration")) << r.dump();
  ASSERT_TRUE(r.contains("Frame")) << r.dump();
  expect_same_pose(xyzwpr(r["Frame"]), ut, "tool 3");

  c->reconnect();
  expect_same_pose(xyzwpr(c->command({{"Command", "FRC_ReadUFrameData"}, {"FrameNumber", 2}})["Frame"]), uf,
                   "frames are controller memory");

  for (const json& bad : {json{{"Command", "FRC_WriteUFrameData"}, {"FrameNumber", 2}},
                          json{{"Command", "FRC_WriteUFrameData"}, {"FrameNumber", 99}, {"Frame", frame_json(uf)}},
                          json{{"Command", "FRC_WriteUToolData"}, {"ToolNumber", 3}, {"Frame", {{"X", "a"}}}},
                          json{{"Command", "FRC_ReadUToolData"}, {"ToolNumber", 99}},
                          json{{"Command", "FRC_ReadUFrameData"}, {"FrameNumber", -1}}}) {
    json a = c->command(bad);
    EXPECT_EQ(a.value("ErrorID", 0), err::invalid_value) << bad.dump() << " -> " << a.dump();
  }
}

TEST(SimFramesTools, ActiveFrameAndToolBySetCommandAndByInstruction) {
  auto c = RmiClient::start();
  json s = set_frame_tool(*c, 2, 3);
  EXPECT_EQ(s["Command"], "FRC_SetUFrameUTool");
  EXPECT_EQ(s["ErrorID"], 0) << s.dump();
  json g = c->command({{"Command", "FRC_GetUFrameUTool"}});
  EXPECT_EQ(g["ErrorID"], 0) << g.dump();
  EXPECT_EQ(g["UFrameNumber"], 2);
  EXPECT_EQ(g["UToolNumber"], 3);
  EXPECT_EQ(c->cartesian_now()["Configuration"]["UFrameNumber"], 2);

  EXPECT_EQ(c->run({{"Instruction", "FRC_SetUFrame"}, {"FrameNumber", 4}})["ErrorID"], 0);
  EXPECT_EQ(c->run({{"Instruction", "FRC_SetUTool"}, {"ToolNumber", 5}})["ErrorID"], 0);
  g = c->command({{"Command", "FRC_GetUFrameUTool"}});
  EXPECT_EQ(g["UFrameNumber"], 4);
  EXPECT_EQ(g["UToolNumber"], 5);

  EXPECT_EQ(set_frame_tool(*c, 99, 1)["ErrorID"], err::invalid_value);
  EXPECT_EQ(set_frame_tool(*c, 1, 99)["ErrorID"], err::invalid_value);
  EXPECT_EQ(c->command({{"Command", "FRC_SetUFrameUTool"}, {"UFrameNumber", 1}})["ErrorID"], err::invalid_value);
  EXPECT_EQ(c->run({{"Instruction", "FRC_SetUFrame"}, {"FrameNumber", 99}})["ErrorID"], err::invalid_value);
  g = c->command({{"Command", "FRC_GetUFrameUTool"}});
  EXPECT_EQ(g["UFrameNumber"], 4) << "refusals change nothing";
  EXPECT_EQ(g["UToolNumber"], 5);
}

TEST(SimFramesTools, FrameAndToolMoveTheReportedPositionByTheirTransform) {
  auto c = RmiClient::start();
  ASSERT_EQ(c->move_joints(kWorkPose)["ErrorID"], 0);
  // Frame 0 is the world; tool 1 set to the flange.
  ASSERT_EQ(c->command({{"Command", "FRC_WriteUToolData"}, {"ToolNumber", 1}, {"Frame", frame_json({0, 0, 0, 0, 0, 0})}})["ErrorID"], 0);
  ASSERT_EQ(set_frame_tool(*c, 0, 1)["ErrorID"], 0);
  Xyzwpr world = c->tcp_now();

  Xyzwpr uf{100, -50, 20, 0, 0, 90};
  ASSERT_EQ(c->command({{"Command", "FRC_WriteUFrameData"}, {"FrameNumber", 2}, {"Frame", frame_json(uf)}})["ErrorID"], 0);
  ASSERT_EQ(set_frame_tool(*c, 2, 1)["ErrorID"], 0);
  json in_frame = c->cartesian_now();
  EXPECT_EQ(in_frame["Configuration"]["UFrameNumber"], 2);
  expect_same_pose(xyzwpr(in_frame["Position"]), to_xyzwpr(to_frame(uf).inverse() * to_frame(world)),
                   "TCP in user frame 2");

  Xyzwpr ut{0, 10, 120, 0, 0, 0};
  ASSERT_EQ(c->command({{"Command", "FRC_WriteUToolData"}, {"ToolNumber", 3}, {"Frame", frame_json(ut)}})["ErrorID"], 0);
  ASSERT_EQ(set_frame_tool(*c, 0, 3)["ErrorID"], 0);
  expect_same_pose(c->tcp_now(), to_xyzwpr(to_frame(world) * to_frame(ut)), "tool 3 in the world");

  // The arm did not move: joint readings are the same in every frame.
  auto q = c->joints_now();
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(q[k], kWorkPose[k], 1e-3);
}

TEST(SimFramesTools, FrameAndToolDataAreNotWrittenWhileAMotionIsUnfinished) {
  auto c = RmiClient::start();
  ASSERT_EQ(c->move_joints(kWorkPose)["ErrorID"], 0);
  std::array<double, 9> aside = kWorkPose;
  aside[0] = 20;
  int seq = c->send({{"Instruction", "FRC_JointMotionJRep"}, {"JointAngle", joint_angle_json(aside)},
                     {"SpeedType", "mSec"}, {"Speed", 4000}, {"TermType", "FINE"}, {"TermValue", 0}});
  json moved = frame_json({50, 0, 0, 0, 0, 0});
  json frame_write = c->command({{"Command", "FRC_WriteUFrameData"}, {"FrameNumber", 2}, {"Frame", moved}});
  EXPECT_EQ(frame_write["ErrorID"], err::invalid_controller_state) << frame_write.dump();
  EXPECT_EQ(frame_write["FrameNumber"], 2);
  json tool_write = c->command({{"Command", "FRC_WriteUToolData"}, {"ToolNumber", 2}, {"Frame", moved}});
  EXPECT_EQ(tool_write["ErrorID"], err::invalid_controller_state) << tool_write.dump();
  // Paused in the middle it is still unfinished.
  ASSERT_EQ(c->command({{"Command", "FRC_Pause"}})["ErrorID"], 0);
  EXPECT_EQ(c->command({{"Command", "FRC_WriteUFrameData"}, {"FrameNumber", 2}, {"Frame", moved}})["ErrorID"],
            err::invalid_controller_state);
  // Reading and selecting go on.
  EXPECT_EQ(c->command({{"Command", "FRC_ReadUFrameData"}, {"FrameNumber", 2}})["ErrorID"], 0);
  EXPECT_EQ(set_frame_tool(*c, 0, 1)["ErrorID"], 0);
  ASSERT_EQ(c->command({{"Command", "FRC_Continue"}})["ErrorID"], 0);
  EXPECT_FALSE(c->answered_within(seq, 0ms)) << "the writes were tried during the motion";
  EXPECT_EQ(c->await(seq)["ErrorID"], 0);

  expect_same_pose(xyzwpr(c->command({{"Command", "FRC_ReadUFrameData"}, {"FrameNumber", 2}})["Frame"]),
                   {0, 0, 0, 0, 0, 0}, "the refused write changed nothing");
  EXPECT_EQ(c->command({{"Command", "FRC_WriteUFrameData"}, {"FrameNumber", 2}, {"Frame", moved}})["ErrorID"], 0);
  EXPECT_EQ(c->command({{"Command", "FRC_WriteUToolData"}, {"ToolNumber", 2}, {"Frame", moved}})["ErrorID"], 0);
  expect_same_pose(xyzwpr(c->command({{"Command", "FRC_ReadUToolData"}, {"ToolNumber", 2}})["Frame"]),
                   {50, 0, 0, 0, 0, 0}, "written at rest");
}

TEST(SimFramesTools, StatusCountsTheToolsAndFramesThereAre) {
  auto c = RmiClient::start();
  auto counts = [&] {
    json s = c->command({{"Command", "FRC_GetStatus"}});
    return std::make_pair(s["NumberUTool"].get<int>(), s["NumberUFrame"].get<int>());
  };
  EXPECT_EQ(counts(), std::make_pair(10, 9));
  ASSERT_EQ(set_frame_tool(*c, 3, 4)["ErrorID"], 0);
  ASSERT_EQ(c->run({{"Instruction", "FRC_SetUTool"}, {"ToolNumber", 7}})["ErrorID"], 0);
  EXPECT_EQ(counts(), std::make_pair(10, 9)) << "selecting a frame or tool changes no count";

  orvane::sim::SimulatorConfig few;
  few.number_utool = 5;
  few.number_uframe = 4;
  auto small = RmiClient::start(few);
  json s = small->command({{"Command", "FRC_GetStatus"}});
  EXPECT_EQ(s["NumberUTool"], 5);
  EXPECT_EQ(s["NumberUFrame"], 4);
  EXPECT_EQ(set_frame_tool(*small, 4, 5)["ErrorID"], 0);
  EXPECT_EQ(set_frame_tool(*small, 5, 1)["ErrorID"], err::invalid_value) << "frame 5 does not exist";
  EXPECT_EQ(set_frame_tool(*small, 1, 6)["ErrorID"], err::invalid_value) << "tool 6 does not exist";
  EXPECT_EQ(small->command({{"Command", "FRC_ReadUToolData"}, {"ToolNumber", 6}})["ErrorID"], err::invalid_value);
  EXPECT_EQ(small->run({{"Instruction", "FRC_SetUFrame"}, {"FrameNumber", 5}})["ErrorID"], err::invalid_value);

  few.number_utool = 11;
  EXPECT_THROW(orvane::sim::ControllerSimulator{few}, std::invalid_argument);
}
