#include "sim/fault_plan.h"

#include "sim/profile.h"

const SimFault* SimFaultPlan::At(SimFaultKind kind, uint32_t number) const {
  for (const SimFault& fault : faults) {
    if (fault.kind == kind && fault.kind != SimFaultKind::kCorrupt && fault.request <= number &&
        number <= fault.last) {
      return &fault;
    }
  }
  return nullptr;
}

std::set<uint32_t> SimFaultPlan::BadCells() const {
  std::set<uint32_t> cells;
  for (const SimFault& fault : faults) {
    if (fault.kind == SimFaultKind::kCorrupt) cells.insert(fault.address);
  }
  return cells;
}

namespace {

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

bool ParseEntry(std::string_view entry, SimFault* fault) {
  size_t at = entry.rfind('@');
  if (at == std::string_view::npos) return false;
  std::string_view head = entry.substr(0, at);
  std::string_view where = entry.substr(at + 1);
  uint64_t value;
  if (head == "corrupt") {
    if (!SimParseNumber(where, 0xFFFFFFFF, &value)) return false;
    fault->kind = SimFaultKind::kCorrupt;
    fault->address = static_cast<uint32_t>(value);
    return true;
  }
  // A range: N-M, or N- for request N and every later one.
  const size_t dash = where.find('-');
  const bool range = dash != std::string_view::npos;
  if (!SimParseNumber(where.substr(0, dash), 0xFFFFFFFF, &value) || value == 0) return false;
  fault->request = static_cast<uint32_t>(value);
  fault->last = fault->request;
  if (range) {
    std::string_view end = where.substr(dash + 1);
    if (end.empty()) {
      fault->last = 0xFFFFFFFF;
    } else {
      if (!SimParseNumber(end, 0xFFFFFFFF, &value) || value < fault->request) return false;
      fault->last = static_cast<uint32_t>(value);
    }
  }
  if (head == "stall") {
    fault->kind = SimFaultKind::kStall;
    return true;
  }
  // The device vanishes once: a range would say nothing more.
  if (head == "unplug" || head == "replug") {
    fault->kind = head == "unplug" ? SimFaultKind::kUnplug : SimFaultKind::kReplug;
    return !range;
  }
  // An announced wait fits bwPollTimeout's 24 bits; an answer wLength's 16
  // bits and one byte more, the least that overflows any request.
  const struct {
    std::string_view prefix;
    SimFaultKind kind;
    uint64_t maximum;
  } valued[] = {{"poll=", SimFaultKind::kPoll, 0xFFFFFF},
                {"status-length=", SimFaultKind::kStatusLength, 0x10000},
                {"upload-length=", SimFaultKind::kUploadLength, 0x10000},
                {"late=", SimFaultKind::kLate, 600000}};
  for (const auto& v : valued) {
    if (head.substr(0, v.prefix.size()) != v.prefix) continue;
    if (!SimParseNumber(head.substr(v.prefix.size()), v.maximum, &value)) return false;
    fault->kind = v.kind;
    fault->value = static_cast<uint32_t>(value);
    return true;
  }
  if (head.substr(0, 7) != "status=") return false;
  head.remove_prefix(7);
  fault->kind = SimFaultKind::kStatus;
  size_t colon = head.find(':');
  if (!SimParseNumber(head.substr(0, colon), 0xFF, &value)) return false;
  fault->status = static_cast<uint8_t>(value);
  if (colon != std::string_view::npos) {
    if (!SimParseNumber(head.substr(colon + 1), 0xFF, &value)) return false;
    fault->state = static_cast<uint8_t>(value);
  }
  return true;
}

}  // namespace

bool SimParseFaultPlan(std::string_view text, SimFaultPlan* plan, std::string* error) {
  SimFaultPlan result;
  if (!TrimSpaces(text).empty()) {
    while (true) {
      size_t comma = text.find(',');
      std::string_view entry = TrimSpaces(text.substr(0, comma));
      SimFault fault;
      if (!ParseEntry(entry, &fault)) {
        *error = SimJoin({"virtual device fault plan: '", entry,
                          "' is not stall@N, status=0xSS@N, status=0xSS:T@N, poll=MS@N, "
                          "status-length=K@N, upload-length=K@N, late=MS@N, unplug@N, replug@N or "
                          "corrupt@0xADDR (all but unplug, replug and corrupt also @N-M or "
                          "@N-)"});
        return false;
      }
      result.faults.push_back(fault);
      if (comma == std::string_view::npos) break;
      text.remove_prefix(comma + 1);
    }
  }
  *plan = std::move(result);
  return true;
}
