#pragma once

#include <memory>
#include <string>
#include <vector>

#include <orvane/motion/robot.hpp>

namespace orvane {

// The robots a planner plans for (the top-level ones; composites hold their parts).
class Environment {
public:
    Environment() = default;
    explicit Environment(std::vector<std::shared_ptr<Robot>> robots);

    // Throws std::invalid_argument for an empty pointer.
    void add_robot(std::shared_ptr<Robot> robot);
    const std::vector<std::shared_ptr<Robot>>& get_robots() const { return robots_; }
    // The top-level robot or part of one with this name; empty if there is none.
    std::shared_ptr<Robot> get_robot(const std::string& name) const;

private:
    std::vector<std::shared_ptr<Robot>> robots_;
};

}  // namespace orvane
