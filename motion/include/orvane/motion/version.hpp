#pragma once

#include <compare>
#include <string>

namespace orvane {

// Version of the motion library; clients compare it against the minimum they need.
struct VersionNumber {
    int major{0};
    int minor{0};
    int patch{0};

    // The three numbers in decimal joined by ".", e.g. "1.1.0".
    std::string to_string() const;

    friend bool operator==(const VersionNumber&, const VersionNumber&) = default;
    friend auto operator<=>(const VersionNumber&, const VersionNumber&) = default;
};

// The version of the library that is loaded (a variable of the shared library,
// so that a client sees the version it runs against, not the one it was built with).
extern const VersionNumber version_number;

}  // namespace orvane
