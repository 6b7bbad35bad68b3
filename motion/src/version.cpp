#include <orvane/motion/version.hpp>

namespace orvane {

const VersionNumber version_number{1, 1, 0};

std::string VersionNumber::to_string() const {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

}  // namespace orvane
