#pragma once

#include <stdexcept>
#include <string>

namespace orvane {

// The exception for the system's own failures. `type` is the category
// ("driver", "driver.fanuc"); what() carries both on one line,
// "[orvane.exception.<type>] <message>", as a console or traceback shows it.
class OrvaneError : public std::runtime_error {
public:
    OrvaneError(const std::string& type, const std::string& message);
    ~OrvaneError() override;

    std::string type;
    std::string message;
};

}  // namespace orvane
