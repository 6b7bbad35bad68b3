// I/O aliases and the not-supported defaults of the I/O operations.
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>

#include "orvane/drivers/driver.hpp"

namespace orvane::drivers {

void Driver::create_io_alias(const std::string& name, std::size_t address_in, std::size_t address_out) {
    for (const std::uint64_t address : {std::uint64_t{address_in}, std::uint64_t{address_out}}) {
        if (address < io_address_range.lowest || address > io_address_range.highest) {
            throw std::invalid_argument("I/O alias '" + name + "': address " + std::to_string(address) +
                                        " lies outside the controller's ports " +
                                        std::to_string(io_address_range.lowest) + " to " +
                                        std::to_string(io_address_range.highest) + ".");
        }
    }
    std::unique_lock lock(io_aliases_mutex);
    io_aliases[name] = IOReference{address_in, address_out};
}

void Driver::create_io_alias(const std::string& name, std::size_t address) { create_io_alias(name, address, address); }

std::optional<Driver::IOReference> Driver::get_io_alias(const std::string& name) const {
    std::shared_lock lock(io_aliases_mutex);
    const auto found = io_aliases.find(name);
    if (found == io_aliases.end()) return std::nullopt;
    return found->second;
}

// A controller driver overrides the kinds its controller offers; the rest
// answer "nothing read" or "not written".
std::optional<int> Driver::get_digital_input(const std::string&) { return std::nullopt; }
bool Driver::set_digital_output(const std::string&, int) { return false; }
std::optional<double> Driver::get_analog_input(const std::string&) { return std::nullopt; }
bool Driver::set_analog_output(const std::string&, double) { return false; }
std::optional<int> Driver::get_group_input(const std::string&) { return std::nullopt; }
bool Driver::set_group_output(const std::string&, int) { return false; }
std::optional<int> Driver::get_int_register(const std::string&) { return std::nullopt; }
bool Driver::set_int_register(const std::string&, int) { return false; }
std::optional<double> Driver::get_double_register(const std::string&) { return std::nullopt; }
bool Driver::set_double_register(const std::string&, double) { return false; }

}  // namespace orvane::drivers
