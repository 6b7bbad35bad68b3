#include "orvane/drivers/result.hpp"

#include <utility>

// The constants themselves are inline variables in the header; these
// constructors are out of line so that the only code able to make a Result
// or ControllerStatus from a code and a text lives in this library.

namespace orvane::utils {

ReturnCode::ReturnCode(std::int32_t value, std::string text) : code(value), message(std::move(text)) {}

}  // namespace orvane::utils

namespace orvane::drivers {

Result::Result(std::int32_t value, std::string text) : ReturnCode(value, std::move(text)) {}

ControllerStatus::ControllerStatus(std::int32_t value, std::string text) : ReturnCode(value, std::move(text)) {}

}  // namespace orvane::drivers
