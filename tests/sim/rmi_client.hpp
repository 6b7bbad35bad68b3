// A minimal RMI client of the tests' own, written from how a FANUC controller
// behaves on RMI: FRC_Connect on the control port, the data port it names,
// commands answered one at a time, instructions numbered from the
// controller's NextSequenceID and answered when executed. It knows nothing
// of the driver library nor of the simulator's insides; the simulator is
// only started (and, where a test needs it, given inputs) through its
// public API.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim_client.hpp"

namespace simtest {

// The simulator is started here with the LR Mate 200iD preset; the pose the
// Cartesian tests start from: forearm level, flange facing down.
inline const std::array<double, 9> kWorkPose{0, 0, 0, 0, -90, 0, 0, 0, 0};

struct Xyzwpr {
  double x, y, z, w, p, r;
};

inline json frame_json(const Xyzwpr& f) {
  return json{{"X", f.x}, {"Y", f.y}, {"Z", f.z}, {"W", f.w}, {"P", f.p}, {"R", f.r}};
}

inline json position_json(const Xyzwpr& f) {
  json j = frame_json(f);
  j["Ext1"] = 0.0;
  j["Ext2"] = 0.0;
  j["Ext3"] = 0.0;
  return j;
}

inline Xyzwpr xyzwpr(const json& j) {
  return {j.at("X").get<double>(), j.at("Y").get<double>(), j.at("Z").get<double>(),
          j.at("W").get<double>(), j.at("P").get<double>(), j.at("R").get<double>()};
}

inline json joint_angle_json(const std::array<double, 9>& q, int count = 9) {
  json j;
  for (int k = 0; k < count; ++k) j["J" + std::to_string(k + 1)] = q[k];
  return j;
}

inline double distance_mm(const Xyzwpr& a, const Xyzwpr& b) {
  return std::hypot(a.x - b.x, a.y - b.y, a.z - b.z);
}

// Smallest difference of two angles in degrees.
inline double angle_diff_deg(double a, double b) {
  double d = std::fmod(a - b, 360.0);
  if (d > 180) d -= 360;
  if (d < -180) d += 360;
  return std::abs(d);
}

class RmiClient {
public:
  // A simulator on its own loopback address, connected; FRC_Initialize'd
  // unless `initialize` is false.
  static std::unique_ptr<RmiClient> start(orvane::sim::SimulatorConfig cfg = {}, bool initialize = true) {
    auto c = std::unique_ptr<RmiClient>(new RmiClient);
    c->sim_ = start_sim(cfg);
    c->connect();
    if (initialize) c->initialize();
    return c;
  }

  orvane::sim::ControllerSimulator& sim() { return *sim_; }
  RawClient& link() { return session_->data; }
  const json& connect_answer() const { return session_->connect_answer; }

  void connect() {
    session_ = std::make_unique<Session>();
    open_session(*sim_, *session_);
  }
  // FRC_Disconnect, then a new session on the same controller.
  void reconnect() {
    command({{"Communication", "FRC_Disconnect"}});
    EXPECT_TRUE(sim_->wait_for_disconnect(kWait));
    connect();
  }
  void initialize() {
    json a = command({{"Command", "FRC_Initialize"}});
    EXPECT_EQ(a.value("ErrorID", -1), 0) << a.dump();
    resync();
  }
  // Takes the next SequenceID from the controller, as clients do after a refusal.
  void resync() { next_seq_ = command({{"Command", "FRC_GetStatus"}}).value("NextSequenceID", 1); }

  // A command or communication packet and its answer (empty object on time-out).
  // Instruction answers arriving meanwhile are kept for await().
  json command(const json& packet) {
    std::string name = packet.value("Command", packet.value("Communication", std::string()));
    session_->data.send_line(packet.dump());
    std::vector<json> passed;
    auto a = session_->data.read_until(
        [&](const json& j) {
          return !j.contains("Instruction") && (j.value("Command", std::string()) == name ||
                                                j.value("Communication", std::string()) == name ||
                                                j.value("Command", std::string()) == "Unknown");
        },
        kWait, &passed);
    for (auto& p : passed) backlog_.push_back(std::move(p));
    if (!a) {
      ADD_FAILURE() << "no answer to " << packet.dump();
      return json::object();
    }
    return *a;
  }

  // Sends an instruction with the next SequenceID and returns that ID.
  int send(json instruction) {
    int seq = next_seq_++;
    instruction["SequenceID"] = seq;
    session_->data.send_line(instruction.dump());
    return seq;
  }
  // True if instruction `seq` is answered within `within`.
  bool answered_within(int seq, std::chrono::milliseconds within) {
    for (const auto& a : backlog_)
      if (answers_instruction(a, seq)) return true;
    std::vector<json> passed;
    // A few milliseconds at least, so that what has already arrived is read.
    auto j = session_->data.read_until([seq](const json& a) { return answers_instruction(a, seq); },
                                       std::max(within, std::chrono::milliseconds(5)), &passed);
    for (auto& p : passed) backlog_.push_back(std::move(p));
    if (j) backlog_.push_back(*j);
    return j.has_value();
  }
  // The answer to instruction `seq` (skipping other answers); empty on time-out.
  json await(int seq, std::chrono::milliseconds timeout = std::chrono::milliseconds(30000)) {
    for (auto it = backlog_.begin(); it != backlog_.end(); ++it) {
      if (!answers_instruction(*it, seq)) continue;
      json a = *it;
      backlog_.erase(it);
      return a;
    }
    std::vector<json> passed;
    auto j = session_->data.read_until([seq](const json& a) { return answers_instruction(a, seq); }, timeout, &passed);
    for (auto& p : passed) backlog_.push_back(std::move(p));
    if (!j) {
      ADD_FAILURE() << "no answer for instruction " << seq;
      return json::object();
    }
    return *j;
  }
  // Sends, waits for the answer; a refusal puts the client back on the controller's next ID.
  json run(const json& instruction) {
    json a = await(send(instruction));
    if (a.value("ErrorID", -1) != 0) resync();
    return a;
  }

  std::array<double, 9> joints_now() { return joints(command({{"Command", "FRC_ReadJointAngles"}})); }
  json cartesian_now() { return command({{"Command", "FRC_ReadCartesianPosition"}}); }
  Xyzwpr tcp_now() { return xyzwpr(cartesian_now().at("Position")); }

  // A joint move to `q` (controller convention) in `ms` milliseconds, awaited.
  json move_joints(const std::array<double, 9>& q, int ms = 400) {
    return run({{"Instruction", "FRC_JointMotionJRep"}, {"JointAngle", joint_angle_json(q)}, {"SpeedType", "mSec"},
                {"Speed", ms}, {"TermType", "FINE"}, {"TermValue", 0}});
  }

private:
  RmiClient() = default;
  std::unique_ptr<orvane::sim::ControllerSimulator> sim_;
  std::unique_ptr<Session> session_;
  int next_seq_ = 1;
  std::vector<json> backlog_;  // instruction answers that arrived while a command was awaited
};

// A Cartesian motion instruction to `target`, in the configuration `config`
// (as read from FRC_ReadCartesianPosition).
inline json cartesian_motion(const std::string& name, const Xyzwpr& target, const json& config,
                             const std::string& speed_type = "mmSec", double speed = 100,
                             const std::string& term = "FINE", int term_value = 0) {
  return json{{"Instruction", name},      {"Configuration", config}, {"Position", position_json(target)},
              {"SpeedType", speed_type}, {"Speed", speed},          {"TermType", term},
              {"TermValue", term_value}};
}

}  // namespace simtest
