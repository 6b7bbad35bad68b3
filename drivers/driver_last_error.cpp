// Why the last operation of a driver was refused or failed, for programs
// that show it (the Result says what, this says why).
#include <mutex>
#include <string>
#include <utility>

#include "orvane/drivers/driver.hpp"
#include "orvane/log/log.hpp"

namespace orvane::drivers {

std::string Driver::get_last_error() const {
    std::lock_guard lock(last_error_mutex);
    return last_error;
}

void Driver::set_last_error(std::string message) const {
    std::lock_guard lock(last_error_mutex);
    last_error = std::move(message);
}

void Driver::refuse(const std::string& why) const {
    log::log_warn("driver", why);
    set_last_error(why);
}

void Driver::refuse_as_error(const std::string& why) const {
    log::log_error("driver", why);
    set_last_error(why);
}

}  // namespace orvane::drivers
