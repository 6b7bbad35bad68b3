// Commands on controller memory: digital I/O (FRC_ReadDIN, FRC_WriteDOUT),
// every port type (FRC_ReadIOPort, FRC_WriteIOPort), numeric registers,
// position registers, system variables and payload schedules.
//
// - Port types: DI, DO, RI, RO, AI, AO, GI, GO, FLAG. Digital ports and flags
//   hold 0 or 1, group ports 0 ... 65535, analog ports any number (reported
//   as a real). Inputs are set through the simulator (API, command line,
//   console); FRC_WriteIOPort takes DO, RO, AO, GO and FLAG.
// - R[1 ... 200] hold an integer or a real; DataType is "Integer" or "Real"
//   ("Int", "Float" and any letter case are taken too). A register never
//   written reads Integer 0.
// - PR[1 ... 100] hold a Cartesian position with its configuration or a
//   joint position; one never written reads Cartesian zeros.
// - System variables: see system_variables.hpp (VariableName in any letter
//   case, "$...", at most 64 bytes).
#include <cctype>

#include "handlers.hpp"
#include "../system_variables.hpp"

namespace orvane::sim::detail::handlers {

namespace {

enum class PortKind { Digital, Group, Analog };

std::optional<PortKind> port_kind(const std::string& type) {
  if (type == "DI" || type == "DO" || type == "RI" || type == "RO" || type == "FLAG") return PortKind::Digital;
  if (type == "GI" || type == "GO") return PortKind::Group;
  if (type == "AI" || type == "AO") return PortKind::Analog;
  return std::nullopt;
}

bool writable_port(const std::string& type) {
  return type == "DO" || type == "RO" || type == "AO" || type == "GO" || type == "FLAG";
}

// A controller's I/O ports are numbered from 1; none lies beyond 32767.
bool is_io_port(int64_t port) { return port >= 1 && port <= 32767; }

std::optional<int64_t> port_number(const json& j) {
  auto n = integer_member(j, "PortNumber");
  if (!n || !is_io_port(*n)) return std::nullopt;
  return n;
}

void set_port_value(ojson& a, PortKind kind, double v) {
  if (kind == PortKind::Analog) a["PortValue"] = v;
  else a["PortValue"] = static_cast<int64_t>(v);
}

int read_din(Core& core, const json& j, ojson& a, bool act) {
  auto port = port_number(j);
  a["PortNumber"] = port ? *port : 0;
  a["PortValue"] = (act && port && core.state.port("DI", *port) != 0.0) ? 1 : 0;
  return (act && !port) ? error_id::invalid_value : 0;
}

int write_dout(Core& core, const json& j, ojson&, bool act) {
  if (!act) return 0;
  auto port = port_number(j);
  auto it = j.find("PortValue");
  if (!port || it == j.end() || !it->is_string()) return error_id::invalid_value;
  if (*it == "ON") core.state.ports["DO"][*port] = 1.0;
  else if (*it == "OFF") core.state.ports["DO"][*port] = 0.0;
  else return error_id::invalid_text_string;
  return 0;
}

int read_io_port(Core& core, const json& j, ojson& a, bool act) {
  auto type = string_member(j, "PortType");
  auto port = port_number(j);
  auto kind = type ? port_kind(*type) : std::nullopt;
  a["PortType"] = type.value_or("");
  a["PortNumber"] = port ? *port : 0;
  bool ok = kind && port;
  set_port_value(a, kind.value_or(PortKind::Digital), ok ? core.state.port(*type, *port) : 0.0);
  return (act && !ok) ? error_id::invalid_value : 0;
}

// The answer names the port written: FANUC's own client waits for both members.
int write_io_port(Core& core, const json& j, ojson& a, bool act) {
  auto type = string_member(j, "PortType");
  auto port = port_number(j);
  a["PortType"] = type.value_or("");
  a["PortNumber"] = port ? *port : 0;
  if (!act) return 0;
  auto kind = type ? port_kind(*type) : std::nullopt;
  if (!kind || !port || !writable_port(*type)) return error_id::invalid_value;
  double v = 0.0;
  auto text = string_member(j, "PortValue");
  if (text && *kind == PortKind::Digital && (*text == "ON" || *text == "OFF")) {
    v = *text == "ON" ? 1.0 : 0.0;
  } else if (auto num = number_member(j, "PortValue")) {
    v = *num;
    if (*kind == PortKind::Digital && v != 0.0 && v != 1.0) return error_id::invalid_value;
    if (*kind == PortKind::Group && (v != std::floor(v) || v < 0.0 || v > 65535.0)) return error_id::invalid_value;
  } else {
    return error_id::invalid_value;
  }
  core.state.ports[*type][*port] = v;
  return 0;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// "Integer" -> false, "Real" -> true; empty for another word.
std::optional<bool> register_type(const json& j) {
  auto t = string_member(j, "DataType");
  if (!t) return std::nullopt;
  std::string u = upper(*t);
  if (u == "INTEGER" || u == "INT") return false;
  if (u == "REAL" || u == "FLOAT") return true;
  return std::nullopt;
}

std::optional<int> register_number(const json& j, int max) {
  auto n = integer_member(j, "RegisterNumber");
  if (!n || *n < 1 || *n > max) return std::nullopt;
  return static_cast<int>(*n);
}

int read_register(Core& core, const json& j, ojson& a, bool act) {
  auto n = register_number(j, max_register);
  a["RegisterNumber"] = n.value_or(0);
  RegisterValue r;
  if (n) {
    auto it = core.state.registers.find(*n);
    if (it != core.state.registers.end()) r = it->second;
  }
  a["DataType"] = r.real ? "Real" : "Integer";
  if (r.real) a["RegisterValue"] = r.value;
  else a["RegisterValue"] = static_cast<int64_t>(r.value);
  return (act && !n) ? error_id::invalid_value : 0;
}

int write_register(Core& core, const json& j, ojson& a, bool act) {
  auto n = register_number(j, max_register);
  a["RegisterNumber"] = n.value_or(0);
  if (!act) return 0;
  auto real = register_type(j);
  auto v = number_member(j, "RegisterValue");
  if (!n || !real || !v) return error_id::invalid_value;
  if (!*real && (*v != std::floor(*v) || std::fabs(*v) > 2147483647.0)) return error_id::invalid_value;
  core.state.registers[*n] = {*real, *v};
  return 0;
}

int read_position_register(Core& core, const json& j, ojson& a, bool act) {
  auto n = register_number(j, max_position_register);
  a["RegisterNumber"] = n.value_or(0);
  PositionRegister pr;
  if (n) {
    auto it = core.state.position_registers.find(*n);
    if (it != core.state.position_registers.end()) pr = it->second;
  }
  a["Representation"] = pr.joint_representation ? "Joint" : "Cartesian";
  a["Configuration"] = configuration_json(pr.configuration);
  if (pr.joint_representation) a["JointAngle"] = joints_json(pr.joints);
  else a["Position"] = position_json(pr.position, pr.ext);
  a["Group"] = 1;
  return (act && !n) ? error_id::invalid_value : 0;
}

int write_position_register(Core& core, const json& j, ojson& a, bool act) {
  auto n = register_number(j, max_position_register);
  a["RegisterNumber"] = n.value_or(0);
  if (!act) return 0;
  if (!n) return error_id::invalid_value;
  PositionRegister pr;
  auto rep = string_member(j, "Representation");
  if (j.contains("Representation") && !rep) return error_id::invalid_value;
  std::string r = rep ? upper(*rep) : (j.contains("JointAngle") && !j.contains("Position") ? "JOINT" : "CARTESIAN");
  if (r == "JOINT") {
    pr.joint_representation = true;
    auto ja = j.find("JointAngle");
    if (ja == j.end() || !read_joint_angles(core, *ja, pr.joints)) return error_id::invalid_value;
  } else if (r == "CARTESIAN") {
    auto p = j.find("Position");
    if (p == j.end() || !read_pose(*p, pr.position)) return error_id::invalid_value;
    for (int e = 0; e < 3; ++e) {
      auto ext = number_member(*p, ("Ext" + std::to_string(e + 1)).c_str());
      if (p->contains("Ext" + std::to_string(e + 1)) && !ext) return error_id::invalid_value;
      pr.ext[e] = ext.value_or(0.0);
    }
  } else {
    return error_id::invalid_value;
  }
  if (auto c = j.find("Configuration"); c != j.end() && !read_configuration(core, *c, pr.configuration))
    return error_id::invalid_value;
  core.state.position_registers[*n] = pr;
  return 0;
}

// ---- system variables ---------------------------------------------------------

int read_variable(Core& core, const json& j, ojson& a, bool act) {
  auto key = variable_key(string_member(j, "VariableName").value_or(""));
  a["VariableName"] = string_member(j, "VariableName").value_or("");
  auto v = key ? detail::read_variable(core.state, *key) : std::nullopt;
  a["VariableType"] = (v && v->real) ? "Float" : "Integer";
  if (v && v->real) a["VariableValue"] = v->value;
  else a["VariableValue"] = static_cast<int64_t>(v ? v->value : 0.0);
  return (act && !v) ? error_id::invalid_value : 0;
}

int write_variable(Core& core, const json& j, ojson& a, bool act) {
  a["VariableName"] = string_member(j, "VariableName").value_or("");
  if (!act) return 0;
  auto key = variable_key(string_member(j, "VariableName").value_or(""));
  auto type = string_member(j, "VariableType");
  auto v = number_member(j, "VariableValue");
  if (!key || !type || !v) return error_id::invalid_value;
  std::string t = upper(*type);
  bool real = t == "FLOAT" || t == "REAL";
  if (!real && t != "INTEGER" && t != "INT") return error_id::invalid_value;
  return detail::write_variable(core.state, *key, {real, *v}, VariableWriter::Client);
}

// ---- payloads -------------------------------------------------------------------

std::optional<int> schedule_number(const json& j) {
  auto n = integer_member(j, "ScheduleNumber");
  if (!n || *n < 1 || *n > max_payload_schedule) return std::nullopt;
  return static_cast<int>(*n);
}

int set_payload_id(Core& core, const json& j, ojson&, bool act) {
  if (!act) return 0;
  auto n = schedule_number(j);
  if (!n) return error_id::invalid_value;
  core.state.payload_schedule = *n;
  return 0;
}

int set_payload_value(Core& core, const json& j, ojson&, bool act) {
  if (!act) return 0;
  auto n = schedule_number(j);
  if (!n) return error_id::invalid_value;
  Payload p;
  auto mass = number_member(j, "Mass");
  if (!mass || *mass < 0.0) return error_id::invalid_value;
  p.mass = *mass;
  double* fields[] = {&p.cg_x, &p.cg_y, &p.cg_z, &p.in_x, &p.in_y, &p.in_z};
  const char* names[] = {"CG_X", "CG_Y", "CG_Z", "IN_X", "IN_Y", "IN_Z"};
  for (int i = 0; i < 6; ++i) {
    auto v = number_member(j, names[i]);
    if (j.contains(names[i]) && !v) return error_id::invalid_value;
    if (!v && i < 3) return error_id::invalid_value;  // the centre of gravity is required, inertia optional
    *fields[i] = v.value_or(0.0);
  }
  core.state.payloads[*n] = p;
  return 0;
}

}  // namespace

void add_io_register_commands(CommandTable& t) {
  t["FRC_ReadDIN"] = {read_din, false};
  t["FRC_WriteDOUT"] = {write_dout, false};
  t["FRC_ReadIOPort"] = {read_io_port, true};
  t["FRC_WriteIOPort"] = {write_io_port, true};
  t["FRC_ReadRegister"] = {read_register, true};
  t["FRC_WriteRegister"] = {write_register, true};
  t["FRC_ReadPositionRegister"] = {read_position_register, false, true};
  t["FRC_WritePositionRegister"] = {write_position_register, false, true};
  t["FRC_ReadVariable"] = {read_variable, true};
  t["FRC_WriteVariable"] = {write_variable, true};
  t["FRC_SetPayloadID"] = {set_payload_id, true, true};
  t["FRC_SetPayloadValue"] = {set_payload_value, true, true};
  t["FRC_SetPayloadComp"] = {set_payload_value, true, true};
}

}  // namespace orvane::sim::detail::handlers
