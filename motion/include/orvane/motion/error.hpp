#pragma once

#include <stdexcept>
#include <string>

namespace orvane {

// Why a planning request could not be fulfilled. Planning reports it as the
// error alternative of std::expected; it is never thrown.
struct PlanningError {
    std::string message;

    PlanningError() = default;
    explicit PlanningError(std::string message) : message(std::move(message)) {}
};

// Thrown by the Kelvra client when it cannot reach its endpoint. It is a
// std::runtime_error so that callers may catch it as std::exception.
class KelvraError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace orvane
