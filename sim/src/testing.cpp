#include "orvane/sim/testing.hpp"

#include <random>
#include <string>
#include <system_error>

namespace orvane::sim::testing {

std::unique_ptr<ControllerSimulator> start_on_free_loopback(SimulatorConfig config) {
  if (config.data_port == SimulatorConfig{}.data_port) config.data_port = 0;
  std::random_device rd;
  std::mt19937 gen(rd());
  std::uniform_int_distribution<int> byte(0, 255), host(1, 254);
  for (int attempt = 0;; ++attempt) {
    config.address = "127." + std::to_string(byte(gen)) + "." + std::to_string(byte(gen)) + "." +
                     std::to_string(host(gen));
    auto sim = std::make_unique<ControllerSimulator>(config);
    try {
      sim->start();
      return sim;
    } catch (const std::system_error& e) {
      if (e.code() != std::errc::address_in_use || attempt >= 100) throw;
    }
  }
}

}  // namespace orvane::sim::testing
