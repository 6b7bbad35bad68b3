#include "orvane/drivers/fanuc/rmi_firmware_limits.hpp"

namespace orvane::drivers {

bool FirmwareLimits::is_unsupported(std::uint64_t link, const std::string& packet) const {
    std::lock_guard lock(mutex);
    return link == present_link && unknown_packets.contains(packet);
}

bool FirmwareLimits::remember_unsupported(std::uint64_t link, const std::string& packet) {
    std::lock_guard lock(mutex);
    if (link != present_link) {
        present_link = link;
        unknown_packets.clear();
    }
    return unknown_packets.insert(packet).second;
}

}  // namespace orvane::drivers
