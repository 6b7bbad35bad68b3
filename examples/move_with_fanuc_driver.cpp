// Drives a FANUC controller from C++ with FanucDriver: connect, enable, move
// to a joint goal, run a planned motion back asynchronously while the speed
// changes, read the joint position, close.
//
//   move_with_fanuc_driver [HOST]        (default 127.0.0.1)
//
// Against the bundled simulator: `fanuc-rmi-sim &` then `move_with_fanuc_driver`.
// It uses only installed headers and the package found by
// find_package(orvane-fanuc-driver).
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <orvane/drivers/fanuc/fanuc_driver.hpp>
#include <orvane/log/orvane_error.hpp>
#include <orvane/motion.hpp>

namespace {

using orvane::drivers::Result;

bool report(const char* step, const Result& result) {
    std::printf("%s: %s (%d)\n", step, result.message.c_str(), result.code);
    return result == Result::Success;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string host = argc > 1 ? argv[1] : "127.0.0.1";
    auto arm = orvane::robots::fanuc_lrmate200id();
    auto planner = std::make_shared<orvane::Planner>(arm, 1.0 / orvane::robots::fanuc_control_rate);
    try {
        // Connects at once; throws OrvaneError naming the host, step and cause.
        orvane::drivers::FanucDriver driver(planner, host, false, true);
        if (!report("enable", driver.enable())) return 1;

        const std::vector<double> goal{0.4, 0.2, -0.1, 0.3, -0.5, 0.8};
        if (!report("move_to", driver.move_to(orvane::Goal(goal), false))) {
            std::printf("why: %s\n", driver.get_last_error().c_str());
            return 1;
        }

        auto back = driver.move_to_async(orvane::Goal(std::vector<double>(6, 0.0)), false);
        driver.set_speed(0.5, 0.2);  // slower while it runs, ramped over 0.2 s
        if (!report("move_to_async home", back.get())) return 1;

        std::printf("joint position [rad]:");
        for (const double joint : driver.get_current_joint_position()) std::printf(" %.3f", joint);
        std::printf("\n");
        driver.close();  // stops, disables and disconnects
        return 0;
    } catch (const orvane::OrvaneError& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
