// Helpers for test executables that need a simulator of their own.
#pragma once

#include <memory>

#include "orvane/sim/controller_simulator.hpp"

namespace orvane::sim::testing {

// Starts a simulator on a random loopback address 127.x.y.z (retrying on
// EADDRINUSE) so that test processes running in parallel never collide. The
// control port stays as configured (16001); a data port of 16002 (the
// default) is replaced by an ephemeral one.
std::unique_ptr<ControllerSimulator> start_on_free_loopback(SimulatorConfig config = {});

}  // namespace orvane::sim::testing
