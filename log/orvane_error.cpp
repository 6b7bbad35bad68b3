#include "orvane/log/orvane_error.hpp"

namespace orvane {

OrvaneError::OrvaneError(const std::string& type, const std::string& message)
    : std::runtime_error("[orvane.exception." + type + "] " + message),
      type(type),
      message(message) {}

// Out of line so that the type information lives in the library alone and
// catching across the library boundary matches one type.
OrvaneError::~OrvaneError() = default;

}  // namespace orvane
