// Faults injected into the virtual device by plan: a request that stalls, a
// status error, the device vanishing, a flash cell that stores a wrong bit,
// a status that announces a wait of its own, an answer of another length than
// the device's, the device leaving and coming back under the same path.
#ifndef ZUVA_SIM_FAULT_PLAN_H_
#define ZUVA_SIM_FAULT_PLAN_H_

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

enum class SimFaultKind {
  kStall,    // stall@N, stall@N-M, stall@N-
  kStatus,   // status=0xSS@N, status=0xSS:T@N, each also @N-M and @N-
  kUnplug,   // unplug@N
  kCorrupt,  // corrupt@0xADDR
  kPoll,     // poll=MS@N: the status answer announces bwPollTimeout MS; also @N-M and @N-
  kStatusLength,  // status-length=K@N: a status answer of K bytes; also @N-M and @N-
  kUploadLength,  // upload-length=K@N: an upload answer of K bytes; also @N-M and @N-
  kReplug,   // replug@N
  kLate,     // late=MS@N: the answer comes MS milliseconds late; also @N-M and @N-
};

struct SimFault {
  SimFaultKind kind = SimFaultKind::kStall;
  uint32_t request = 0;  // N, counted from 1 (not for kCorrupt)
  uint32_t last = 0;     // the last request it strikes: M, N itself, or every later one
  uint8_t status = 0;    // kStatus: bStatus
  uint8_t state = 10;    // kStatus: bState, dfuERROR unless given
  uint32_t address = 0;  // kCorrupt
  uint32_t value = 0;    // kPoll, kLate: milliseconds; the lengths: bytes
};

struct SimFaultPlan {
  std::vector<SimFault> faults;

  // The first fault of that kind planned for request `number` (alone or in
  // a range), or null.
  const SimFault* At(SimFaultKind kind, uint32_t number) const;
  // Addresses of the cells that store a flipped lowest bit.
  std::set<uint32_t> BadCells() const;
};

// Parses a comma-separated plan such as
// "stall@5,status=0x0A:10@9-12,status=0x00:4@20-,corrupt@0x08000010,
// poll=0xFFFFFF@9-,status-length=3@14,upload-length=4096@16,replug@30".
// Spaces around entries are ignored; an empty text is an empty plan. On
// failure *error names the entry.
bool SimParseFaultPlan(std::string_view text, SimFaultPlan* plan, std::string* error);

#endif  // ZUVA_SIM_FAULT_PLAN_H_
