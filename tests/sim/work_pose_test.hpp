// A test that starts the simulator, moves the arm to the work pose and
// reads where its TCP is and in which configuration, for Cartesian motions.
#pragma once

#include <gtest/gtest.h>

#include "sim/rmi_client.hpp"

namespace simtest {

class WorkPoseTest : public ::testing::Test {
protected:
  void SetUp() override {
    c = RmiClient::start();
    ASSERT_EQ(c->move_joints(kWorkPose)["ErrorID"], 0);
    json here = c->cartesian_now();
    ASSERT_EQ(here.value("ErrorID", -1), 0) << here.dump();
    config = here["Configuration"];
    start = xyzwpr(here["Position"]);
    c->sim().clear_records();
  }
  std::unique_ptr<RmiClient> c;
  json config;   // of the work pose
  Xyzwpr start{};  // the TCP at the work pose
};

}  // namespace simtest
