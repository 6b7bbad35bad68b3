#pragma once

#include <cstdint>
#include <string>

namespace orvane::utils {

/// A numeric outcome with its fixed text. Positive codes mean success or
/// readiness, negative ones a failure or a state that prevents motion.
/// Derived types only name predefined values; they add no fields, so copies
/// and slices behave like plain values.
struct ReturnCode {
    std::int32_t code{0};
    std::string message;

    ReturnCode() = default;
    ReturnCode(std::int32_t code, std::string message);

    friend bool operator==(const ReturnCode&, const ReturnCode&) = default;
};

}  // namespace orvane::utils
