// The one recorder of a virtual device, whatever front drives it: it numbers
// every request that reaches the device, applies the fault plan to it by
// number, hands it to the model and writes the request log and the trace.
// Each front names its requests (the driver's requests for the "sim:" port
// and the pipe server, USB's standard requests on the emulated bus), so a
// front's numbering is the one its users count in.
#ifndef ZUVA_SIM_SIM_RECORDER_H_
#define ZUVA_SIM_SIM_RECORDER_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/usb.h"
#include "sim/dfu_device.h"
#include "sim/fault_plan.h"

// One request as the device received and answered it.
struct SimRequestRecord {
  uint32_t number = 0;         // from 1, over the device's life
  std::string name;            // as in the trace: GETSTATUS, DNLOAD, ...
  std::vector<uint32_t> args;  // as in the trace
  SimOutcome outcome = SimOutcome::kOk;
  uint8_t status = 0;         // GETSTATUS answers
  uint8_t state = 0;          // GETSTATUS and GETSTATE answers
  uint32_t poll = 0;          // GETSTATUS answers: bwPollTimeout
  std::vector<uint8_t> data;  // first bytes of a host-to-device data stage
  std::string line;           // the trace line, without its newline
};

// A request as its front names it, and what reaches the device of it.
struct SimRequest {
  std::string name;
  std::vector<uint32_t> args;
  // False when the front refused the request before the bus (a driver that
  // rejects a malformed buffer): it is numbered, logged and stalls.
  bool reachesDevice = false;
  UsbSetup setup;
  // A USB reset of the device's port instead of a transfer.
  bool busReset = false;
};

class CSimRecorder {
 public:
  // Builds the model from the options and creates the trace file. False with
  // *error (one line) when the model or the trace cannot be made.
  static bool Create(SimDeviceOptions options, std::shared_ptr<CSimRecorder>* recorder,
                     std::string* error);
  // Only Create makes one: the key is private.
  struct Key {
   private:
    Key() {}
    friend class CSimRecorder;
  };
  CSimRecorder(Key, std::unique_ptr<CDfuDevice> device, SimFaultPlan plan, std::FILE* trace);
  ~CSimRecorder();
  CSimRecorder(const CSimRecorder&) = delete;
  CSimRecorder& operator=(const CSimRecorder&) = delete;

  // One request through a connection to the bus position `attachment`.
  // `data` holds the data stage: the host's bytes (out) or room for the
  // device's answer (in, setup.length bytes; the count in *moved). Bus
  // changes it caused are appended to *changes for the front to announce.
  SimOutcome Exchange(uint32_t attachment, const SimRequest& request, uint8_t* data,
                      uint32_t* moved, std::vector<SimBusChange>* changes);

  // A USB reset of the device's port through `attachment`: one numbered
  // request, traced as RESET, that the fault plan can stall or unplug.
  SimOutcome BusReset(uint32_t attachment, std::vector<SimBusChange>* changes);

  CDfuDevice* Device() const { return device_.get(); }
  std::vector<SimRequestRecord> RequestLog() const;
  uint32_t RequestCount() const;

 private:
  const std::unique_ptr<CDfuDevice> device_;
  const SimFaultPlan plan_;
  std::FILE* const trace_;
  mutable std::mutex mutex_;  // requests reach the model one at a time, in order
  uint32_t requestCount_ = 0;
  std::vector<SimRequestRecord> log_;
};

#endif  // ZUVA_SIM_SIM_RECORDER_H_
