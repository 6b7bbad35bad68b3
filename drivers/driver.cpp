// Driver construction, configuration, the free helper functions and the
// trivial virtual defaults.
#include "orvane/drivers/driver.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include "orvane/log/log.hpp"
#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers {

namespace {

const std::string tag = "driver";

bool equals_ignoring_case(std::string_view value, std::string_view lower) {
    if (value.size() != lower.size()) return false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(value[i])) != lower[i]) return false;
    }
    return true;
}

// ORVANE_LOG_MOTIONS: "on" or "true" in any letter case; anything else is off.
bool read_log_motions() {
    const char* value = std::getenv("ORVANE_LOG_MOTIONS");
    if (value == nullptr) return false;
    return equals_ignoring_case(value, "on") || equals_ignoring_case(value, "true");
}

}  // namespace

bool is_motion_library_supported(const orvane::VersionNumber& version) {
    // Only major and minor matter: patch releases never remove what we use.
    return !(version.major == 0 || (version.major == 1 && version.minor == 0));
}

void check_motion_library_version(const orvane::VersionNumber& version) {
    if (!is_motion_library_supported(version)) {
        throw OrvaneError(tag, "The driver requires a minimum version '" + minimum_motion_library_version.to_string() +
                                   "' of the motion library.");
    }
}

std::shared_ptr<orvane::Robot> get_robot(const std::shared_ptr<orvane::Planner>& planner,
                                         const std::shared_ptr<orvane::Robot>& robot) {
    if (!planner || !planner->environment) {
        throw OrvaneError(tag, "A planner and environment are required to instantiate the driver.");
    }
    if (robot) return robot;
    const auto& robots = planner->environment->get_robots();
    if (robots.size() != 1) {
        throw OrvaneError(tag, "Please specify the exact robot to drive, as they are '" +
                                   std::to_string(robots.size()) + "' in the environment.");
    }
    return robots.front();
}

std::size_t calculate_offset(const std::shared_ptr<orvane::Planner>& planner,
                             const std::shared_ptr<orvane::Robot>& robot) {
    if (!planner || !planner->environment || !robot) return 0;
    for (const auto& top : planner->environment->get_robots()) {
        if (top == robot) return 0;
        std::size_t sum = 0;
        for (const auto& part : top->sub_robots()) {
            if (part == robot) return sum;
            sum += part->get_degrees_of_freedom();
        }
    }
    return 0;
}

double find_delta_time(const std::shared_ptr<orvane::Planner>& planner, const std::shared_ptr<orvane::Robot>& robot) {
    if (robot && robot->control_rate) return 1.0 / *robot->control_rate;
    if (!planner) throw OrvaneError(tag, "A planner and environment are required to instantiate the driver.");
    return planner->delta_time;
}

std::string join(const std::vector<double>& values, int precision) {
    std::string text;
    text.reserve(values.size() * 12);
    char buffer[64];
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) text += ", ";
        // General format with `precision` digits is what an ostream prints
        // by default, without the stream's cost per control step.
        const auto [end, error] =
            std::to_chars(buffer, buffer + sizeof buffer, values[i], std::chars_format::general, precision);
        if (error == std::errc{}) text.append(buffer, end);
    }
    return text;
}

Driver::Driver(std::shared_ptr<orvane::Planner> planner_argument, std::shared_ptr<orvane::Robot> robot_argument_,
               const std::string& host, int port, double delta_time, bool sync_with_kelvra)
    : robot_argument(robot_argument_),
      time_scaler(delta_time),
      sync_with_kelvra(sync_with_kelvra),
      planner(std::move(planner_argument)),
      robot(get_robot(planner, robot_argument_)),
      host(host),
      port(port),
      degrees_of_freedom(robot->get_degrees_of_freedom()),
      delta_time(delta_time) {
    log_motions = read_log_motions();
    check_motion_library_version(orvane::version_number);
    log::reload_default_level();
    offset = calculate_offset(planner, robot);
}

Driver::~Driver() { stop_kelvra_mirroring(); }

bool Driver::reconnect() { return false; }

bool Driver::disconnect() { return false; }

bool Driver::is_connected() const { return is_connected_flag; }

Result Driver::enable() { return Result::Success; }

Result Driver::disable() { return Result::Success; }

std::vector<double> Driver::get_current_joint_position() {
    // The derived driver's control loop fills current_state under the
    // sampling lock.
    std::lock_guard lock(sampling_mutex);
    return current_state.position;
}

double Driver::get_total_motion_time() const { return total_motion_time.load(); }

bool Driver::is_running() const { return is_running_flag.load(); }

bool Driver::are_positions_within(const std::vector<double>& a, const std::vector<double>& b, double tolerance) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!(std::abs(a[i] - b[i]) <= tolerance)) return false;
    }
    return true;
}

std::optional<orvane::State> Driver::get_desired_state() const {
    std::lock_guard lock(desired_state_mutex);
    return desired_state;
}

}  // namespace orvane::drivers
