#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace orvane::drivers {

/// The packets the controller behind the present link answered "Unknown"
/// (firmware older than they are). Remembered per link, since a new link may
/// reach another controller; a driver asks once per packet and link, and then
/// answers with its not-supported value without asking again.
class FirmwareLimits {
public:
    bool is_unsupported(std::uint64_t link, const std::string& packet) const;
    /// Notes the packet as unknown on `link`; true the first time, so that the
    /// caller warns once.
    bool remember_unsupported(std::uint64_t link, const std::string& packet);

private:
    // Guards the two fields below. A leaf lock: nothing is called under it.
    mutable std::mutex mutex;
    std::uint64_t present_link{0};
    std::set<std::string> unknown_packets;
};

}  // namespace orvane::drivers
