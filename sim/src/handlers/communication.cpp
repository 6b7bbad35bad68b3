// Communication packets: FRC_Connect and FRC_Connect_STMO on the control
// port, FRC_Disconnect on the data connection. FRC_Terminate and
// FRC_SystemFault are pushed by the controller (session.cpp, faults.cpp).
#include "handlers.hpp"

namespace orvane::sim::detail::handlers {

ojson connect(Core& core, const std::string& line) {
  json request = nesting_ok(line) ? json::parse(line, nullptr, false) : json(json::value_t::discarded);
  auto kind = first_member(line);
  if (request.is_discarded() || (request.is_object() && kind != kCommunication && kind != kCommand &&
                                 kind != kInstruction)) {
    ojson a = packet(kCommand, "Unknown");  // not a packet, or its first member is not its kind
    a["ErrorID"] = error_id::invalid_text_string;
    return a;
  }
  std::string name;
  if (request.is_object() && kind == kCommunication) name = string_member(request, kCommunication.c_str()).value_or("");
  if (name != "FRC_Connect" && !(name == "FRC_Connect_STMO" && core.cfg.firmware == Firmware::Newer)) {
    ojson a = packet(kCommand, "Unknown");
    a["ErrorID"] = error_id::invalid_rmi_command;
    return a;
  }
  bool busy = false;
  if (core.net.session) {
    if (Core::peer_alive(core.net.session)) busy = true;
    else core.close_session(core.net.session, false);  // a client that just dropped its link may take over at once
  }
  ojson a = packet(kCommunication, name);
  a["ErrorID"] = busy ? error_id::already_connected : 0;
  a["PortNumber"] = busy ? 0 : static_cast<int>(core.net.bound_data_port);
  a["MajorVersion"] = core.cfg.major_version;
  a["MinorVersion"] = core.cfg.minor_version;
  return a;
}

void communication(Core& core, const std::string& name, const json&) {
  if (name == "FRC_Disconnect") {
    ojson a = packet(kCommunication, name);
    a["ErrorID"] = 0;
    if (core.net.session) core.net.session->stop_reading = true;
    core.emit(a, false, true);  // answered, then the controller closes the connection
    return;
  }
  core.unknown(kCommand, error_id::invalid_rmi_command);
}

}  // namespace orvane::sim::detail::handlers
