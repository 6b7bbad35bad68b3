#include <orvane/motion/environment.hpp>
#include <orvane/motion/motion.hpp>
#include <orvane/motion/waypoint.hpp>

#include <stdexcept>
#include <utility>

namespace orvane {

Waypoint::Waypoint(std::size_t degrees_of_freedom)
    : position(degrees_of_freedom, 0.0),
      velocity(degrees_of_freedom, 0.0),
      acceleration(degrees_of_freedom, 0.0) {}

Waypoint::Waypoint(std::vector<double> position)
    : position(std::move(position)),
      velocity(this->position.size(), 0.0),
      acceleration(this->position.size(), 0.0) {}

Waypoint::Waypoint(std::vector<double> position, std::vector<double> velocity,
                   std::vector<double> acceleration)
    : position(std::move(position)), velocity(std::move(velocity)), acceleration(std::move(acceleration)) {}

Motion::Motion(std::string name, std::shared_ptr<Robot> robot, std::optional<Goal> start,
               std::optional<Goal> goal, bool ignore_collisions)
    : name(std::move(name)),
      robot(std::move(robot)),
      start(std::move(start)),
      goal(std::move(goal)),
      ignore_collisions(ignore_collisions) {}

LowLevelMotion::LowLevelMotion(std::shared_ptr<Robot> robot) : robot(std::move(robot)) {}

LowLevelMotion::LowLevelMotion(std::shared_ptr<Robot> robot, Waypoint start, Waypoint goal)
    : robot(std::move(robot)), start(std::move(start)), goal(std::move(goal)) {}

LowLevelMotion::LowLevelMotion(std::string name, std::shared_ptr<Robot> robot, Waypoint start,
                               Waypoint goal)
    : name(std::move(name)), robot(std::move(robot)), start(std::move(start)), goal(std::move(goal)) {}

Environment::Environment(std::vector<std::shared_ptr<Robot>> robots) {
    for (auto& robot : robots) add_robot(std::move(robot));
}

void Environment::add_robot(std::shared_ptr<Robot> robot) {
    if (!robot) throw std::invalid_argument("Environment::add_robot: empty robot");
    robots_.push_back(std::move(robot));
}

namespace {

std::shared_ptr<Robot> find_by_name(const std::shared_ptr<Robot>& robot, const std::string& name) {
    if (robot->name == name) return robot;
    for (const auto& part : robot->sub_robots()) {
        if (part == robot) continue;
        if (auto found = find_by_name(part, name)) return found;
    }
    return nullptr;
}

}  // namespace

std::shared_ptr<Robot> Environment::get_robot(const std::string& name) const {
    for (const auto& robot : robots_) {
        if (auto found = find_by_name(robot, name)) return found;
    }
    return nullptr;
}

}  // namespace orvane
