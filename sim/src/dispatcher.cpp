// Packet dispatch on the data connection: the kind and name pick the
// handler; the rules that every command or every instruction shares live
// here, so that no handler can forget them.
//
// - Unparseable lines, and packets whose first member is not the kind
//   ("Communication", "Command" or "Instruction"):
//   {"Command":"Unknown","ErrorID":2556950}; other unrecognised packets
//   2556941 (an unknown instruction:
//   {"Instruction":"Unknown","ErrorID":2556941,"SequenceID":n}); packets only
//   newer firmware knows are unknown to an older one.
// - The ASCII mode (a program line sent as text) is not served: a packet of
//   it is answered with its kind and name and 2556978 (RMIT-050), not as an
//   unknown packet. Its packets are recognised by "ASCII" in their name in
//   any letter case, since the manual's packet shapes are not at hand.
// - Commands: one at a time (2556955 while one is unanswered or an abort
//   runs); a "Group" member of a command that takes one must name a
//   configured group (1), else 2556967 (RMIT-039; the group mask of
//   FRC_Initialize has RMIT-040, the manual's pair of group errors).
// - Instructions: refusals come back at once and never use up a SequenceID;
//   in this order: a bad SequenceID member, an injected refusal, RMI not
//   running, pendant, servos, single step, fault or HOLD, a full buffer, the
//   packet's own members and the target's reach (2556949: out of reach or
//   of the joint limits, before anything moves), then the sequence (a gap or
//   a repeat puts RMI into HOLD).
#include <cctype>

#include "core.hpp"
#include "handlers/handlers.hpp"

namespace orvane::sim::detail {

namespace {

const handlers::CommandTable& commands() {
  static const handlers::CommandTable table = [] {
    handlers::CommandTable t;
    handlers::add_status_commands(t);
    handlers::add_io_register_commands(t);
    handlers::add_frame_tool_commands(t);
    return t;
  }();
  return table;
}

const handlers::InstructionTable& instructions() {
  static const handlers::InstructionTable table = [] {
    handlers::InstructionTable t;
    handlers::add_instructions(t);
    return t;
  }();
  return table;
}

}  // namespace

void Core::unknown(const std::string& kind, int err, std::optional<int> seq) {
  ojson a = packet(kind, "Unknown");
  a["ErrorID"] = err;
  if (seq) a["SequenceID"] = *seq;
  emit(a, false);
}

namespace {

bool names_ascii_mode(const std::string& name) {
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper.find("ASCII") != std::string::npos;
}

// An optional "Group": only the arm's.
bool group_ok(const json& j) {
  if (!j.contains("Group")) return true;
  auto g = integer_member(j, "Group");
  return g && *g >= 1 && *g <= motion_groups;
}

}  // namespace

void Core::handle_data_line(const std::string& line) {
  if (!nesting_ok(line)) return unknown(kCommand, error_id::invalid_text_string);
  json j = json::parse(line, nullptr, false);
  if (j.is_discarded()) return unknown(kCommand, error_id::invalid_text_string);
  if (!j.is_object()) return unknown(kCommand, error_id::invalid_rmi_command);
  const std::optional<std::string> kind = first_member(line);
  if (!kind || (*kind != kCommunication && *kind != kCommand && *kind != kInstruction))
    return unknown(kCommand, error_id::invalid_text_string);
  auto it = j.find(*kind);
  if (!it->is_string()) return unknown(kCommand, error_id::invalid_rmi_command);
  const std::string name = it->get<std::string>();

  if (*kind == kCommunication) return handlers::communication(*this, name, j);

  if (*kind == kCommand) {
    auto entry = commands().find(name);
    if (entry == commands().end() || (entry->second.newer && cfg.firmware == Firmware::Older)) {
      if (names_ascii_mode(name)) {
        ojson a = packet(kCommand, name);
        a["ErrorID"] = error_id::invalid_ascii_string_packet;
        return emit(a, false);
      }
      return unknown(kCommand, error_id::invalid_rmi_command);
    }
    ojson a = packet(kCommand, name);
    a["ErrorID"] = 0;
    bool busy = command_pending();
    int refusal = busy ? error_id::wait_for_command_done : 0;
    if (!refusal && entry->second.takes_group && !group_ok(j)) refusal = error_id::invalid_group_number;
    int result = entry->second.fn(*this, j, a, refusal == 0);
    if (result == handlers::answer_later) return;
    a["ErrorID"] = refusal ? refusal : result;
    return emit(a, true);
  }

  // An instruction.
  auto seq64 = integer_member(j, "SequenceID");
  bool seq_ok = seq64 && *seq64 >= INT32_MIN && *seq64 <= INT32_MAX;
  int seq = seq_ok ? static_cast<int>(*seq64) : 0;
  auto refuse = [&](int err) {
    ojson a = packet(kInstruction, name);
    a["ErrorID"] = err;
    a["SequenceID"] = seq;
    emit(a, false);
  };
  auto entry = instructions().find(name);
  if (entry == instructions().end()) {
    if (names_ascii_mode(name)) return refuse(error_id::invalid_ascii_string_packet);
    return unknown(kInstruction, error_id::invalid_rmi_command, seq);
  }
  if (!seq_ok) return refuse(error_id::invalid_value);
  if (auto r = faults.refusals.find(seq); r != faults.refusals.end()) {
    int err = r->second;
    faults.refusals.erase(r);
    return refuse(err);
  }
  if (!state.rmi_running || state.abort_in_progress) return refuse(error_id::rmi_not_running);
  if (state.tp) return refuse(error_id::teach_pendant_enabled);
  if (!state.servo_ready()) return refuse(error_id::servo_off);
  if (state.single_step) return refuse(error_id::single_step_mode);
  if (state.paused || state.hold) return refuse(error_id::rmi_in_hold);
  if (motion.queue.size() >= max_unanswered_instructions) return refuse(error_id::wait_for_instruction_done);
  Instr in;
  in.name = name;
  in.seq = seq;
  in.arrived = Clock::now();
  if (int err = entry->second(*this, j, in)) return refuse(err);
  if (seq != state.next_seq) {
    state.hold = true;  // a gap or a repeat: queued instructions still run, new ones are refused until FRC_Reset
    return refuse(error_id::invalid_sequence_id);
  }
  state.next_seq = state.next_seq == INT32_MAX ? 1 : state.next_seq + 1;  // the ID wraps from 2^31 - 1 to 1
  motion.queue.push_back(std::move(in));
  cv.notify_all();
}

}  // namespace orvane::sim::detail
