// System variables ("$..."): plain ones with a value of their own
// (ControllerState::variables) and ones that are a controller setting under
// a variable's name ($MCR.$GENOVERRIDE is the speed override). Shared by
// FRC_ReadVariable / FRC_WriteVariable and the simulator's own settings
// (API, command line, console). Guarded by Core::m.
#pragma once

#include <optional>
#include <string>

#include "controller_state.hpp"

namespace orvane::sim::detail {

inline constexpr std::size_t max_variable_name = 64;

// The name as the controller looks it up (upper case); empty when it is not
// "$..." of at most 64 bytes.
std::optional<std::string> variable_key(const std::string& name);

std::optional<SystemVariable> read_variable(const ControllerState& state, const std::string& key);

// Who writes: a client over RMI may change only variables that exist, with
// their own type; the simulator's settings may also add variables and
// retype plain ones.
enum class VariableWriter { Client, Simulator };

// 0, or why the write is refused (an RMI ErrorID).
int write_variable(ControllerState& state, const std::string& key, SystemVariable value, VariableWriter writer);

}  // namespace orvane::sim::detail
