#include "system_variables.hpp"

#include <cctype>
#include <cmath>

namespace orvane::sim::detail {

namespace {

// A controller setting seen as an integer variable.
template <class State>
struct Linked {
  decltype(&std::declval<State&>().override_percent) setting = nullptr;  // null: read-only
  int value = 0;
  int lower = 0, upper = 0;
};

template <class State>
std::optional<Linked<State>> linked(State& s, const std::string& key) {
  if (key == "$MCR.$GENOVERRIDE") return Linked<State>{&s.override_percent, s.override_percent, 1, 100};
  if (key == "$MNUFRAMENUM[1]") return Linked<State>{&s.active_uframe, s.active_uframe, 0, s.number_uframe};
  if (key == "$MNUTOOLNUM[1]") return Linked<State>{&s.active_utool, s.active_utool, 0, s.number_utool};
  // The number of motion groups is how the controller was built.
  if (key == "$SCR.$NUM_GROUP") return Linked<State>{nullptr, motion_groups, motion_groups, motion_groups};
  return std::nullopt;
}

// The Stream Motion period is set on the pendant (and takes a power cycle),
// not over RMI.
bool client_writable(const std::string& key) { return key != "$STMO.$COM_INT"; }

std::pair<double, double> client_range(const std::string& key) {
  if (key == "$PARAM_GROUP[1].$PAYLOAD") return {0.0, 1e4};  // kg
  return {0.0, 1e6};
}

}  // namespace

std::optional<std::string> variable_key(const std::string& name) {
  if (name.empty() || name.size() > max_variable_name || name[0] != '$') return std::nullopt;
  std::string key = name;
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key;
}

std::optional<SystemVariable> read_variable(const ControllerState& state, const std::string& key) {
  if (auto l = linked(state, key)) return SystemVariable{false, static_cast<double>(l->value)};
  auto it = state.variables.find(key);
  if (it == state.variables.end()) return std::nullopt;
  return it->second;
}

int write_variable(ControllerState& state, const std::string& key, SystemVariable v, VariableWriter writer) {
  if (!std::isfinite(v.value)) return error_id::invalid_value;
  const bool client = writer == VariableWriter::Client;
  if (auto l = linked(state, key)) {
    if (!l->setting || (client && v.real) || v.value != std::floor(v.value)) return error_id::invalid_value;
    if (v.value < l->lower || v.value > l->upper) return error_id::invalid_value;
    *l->setting = static_cast<int>(v.value);
    return 0;
  }
  auto it = state.variables.find(key);
  if (client) {
    if (it == state.variables.end() || !client_writable(key) || v.real != it->second.real) return error_id::invalid_value;
    auto [lower, upper] = client_range(key);
    if (v.value < lower || v.value > upper) return error_id::invalid_value;
  }
  if (!v.real && (v.value != std::floor(v.value) || std::fabs(v.value) > 2147483647.0)) return error_id::invalid_value;
  state.variables[key] = v;
  return 0;
}

}  // namespace orvane::sim::detail
