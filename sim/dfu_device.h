// A software model of a USB device in DfuSe DFU mode (or in application mode
// with a run-time DFU interface): its descriptors, its memories, the DFU state
// machine with the DfuSe commands, bus and flash timing, planned faults and a
// log of every request. The model answers the five I/O-control requests of
// the DFU driver; it knows nothing of paths, handles or threads of a front,
// and every entry takes the one lock of the device, so fronts may call it
// from any thread.
#ifndef ZUVA_SIM_DFU_DEVICE_H_
#define ZUVA_SIM_DFU_DEVICE_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "protocol/dfu.h"
#include "sim/fault_plan.h"
#include "sim/flash_file.h"
#include "sim/profile.h"
#include "sim/sim_memory.h"

// Time as the device sees it, in microseconds. Tests inject a clock whose
// sleep only advances its own time.
class CSimClock {
 public:
  virtual ~CSimClock() = default;
  virtual uint64_t NowMicros() = 0;
  virtual void SleepMicros(uint64_t micros) = 0;
};

// The process's steady clock with real sleeps.
std::shared_ptr<CSimClock> SimSteadyClock();

struct SimDeviceOptions {
  SimProfile profile = SimDefaultProfile();
  SimFaultPlan faults;
  std::string flashPath;             // memory of alternate setting 0; empty: none
  std::string tracePath;             // one line per request; empty: none
  std::shared_ptr<CSimClock> clock;  // null: SimSteadyClock()
  uint32_t index = 1;                // the device's number, from 1: `serial = auto`
  // The device's appearances on the bus are numbered firstAttachment, then
  // on by attachmentStep, so that several devices never share a number.
  uint32_t firstAttachment = 0;
  uint32_t attachmentStep = 1;
};

enum class SimOutcome { kOk, kStall, kGone };

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

// The device left or joined the bus. `attachment` numbers its appearances on
// the bus from 0; a front derives the interface path from it.
struct SimBusChange {
  bool arrival = false;
  bool dfuMode = true;
  uint32_t attachment = 0;
};

class CDfuDevice {
 public:
  // Builds the device from a profile, loads the flash file when it exists and
  // creates the trace file. False with *error (one line) when the flash file
  // cannot be read or is longer than the memory, or the trace file cannot be
  // created.
  static bool Create(SimDeviceOptions options, std::unique_ptr<CDfuDevice>* device,
                     std::string* error);
  ~CDfuDevice();
  CDfuDevice(const CDfuDevice&) = delete;
  CDfuDevice& operator=(const CDfuDevice&) = delete;

  const SimProfile& Profile() const { return options_.profile; }
  // The device's number among the devices of its process or bus, from 1.
  uint32_t Index() const { return options_.index; }

  // Whether the device is on the bus, and as which appearance.
  struct BusPosition {
    bool present = false;
    bool dfuMode = true;
    uint32_t attachment = 0;
  };
  BusPosition Position() const;
  bool Present() const;
  uint32_t Attachment() const;
  bool InDfuMode() const;

  // One driver I/O-control request through a connection opened on
  // `attachment`. True when the request completed, with the count of output
  // bytes in *bytesReturned. Bus changes it caused are appended to *changes
  // for the front to announce.
  bool IoControl(uint32_t attachment, uint32_t code, const void* input, uint32_t inputSize,
                 void* output, uint32_t outputSize, uint32_t* bytesReturned,
                 std::vector<SimBusChange>* changes);

  // Takes the device off the bus for good, as a pulled cable does.
  void Unplug(std::vector<SimBusChange>* changes);
  // A device whose profile has it arrive later joins the bus now, once;
  // nothing happens to any other.
  void Arrive(std::vector<SimBusChange>* changes);

  // Observation, for tests and diagnosis.
  std::vector<SimRequestRecord> RequestLog() const;
  uint32_t RequestCount() const;
  uint8_t State() const;
  uint8_t Status() const;
  uint32_t AddressPointer() const;
  // The cells of an alternate setting's memory, without access checks.
  bool ReadMemory(uint8_t alternate, uint32_t address, size_t count,
                  std::vector<uint8_t>* bytes) const;
  bool WriteMemory(uint8_t alternate, uint32_t address, const std::vector<uint8_t>& bytes);

 private:
  struct Exchange;
  struct PendingOperation {
    enum class Kind { kNone, kSetPointer, kErase, kMassErase, kProgram, kPlainProgram, kReadUnprotect, kRefused };
    Kind kind = Kind::kNone;
    uint8_t alternate = 0;
    uint32_t address = 0;
    std::vector<uint8_t> data;
  };

  explicit CDfuDevice(SimDeviceOptions options);

  bool HandleDescriptorRequest(uint32_t code, const uint8_t* input, uint32_t inputSize,
                               uint8_t* output, uint32_t outputSize, Exchange* exchange);
  bool HandleControlRequest(const uint8_t* input, uint32_t inputSize, uint8_t* output,
                            uint32_t outputSize, Exchange* exchange,
                            std::vector<SimBusChange>* changes);
  bool HandleDfuModeRequest(uint8_t request, uint16_t value, uint32_t length, const uint8_t* data,
                            uint8_t* output, Exchange* exchange,
                            std::vector<SimBusChange>* changes);
  bool HandleAppModeRequest(uint8_t request, uint16_t value, uint32_t length, uint8_t* output,
                            Exchange* exchange, std::vector<SimBusChange>* changes);
  bool GetStatusInDfuMode(uint32_t length, uint8_t* output, Exchange* exchange,
                          std::vector<SimBusChange>* changes);
  bool Download(uint16_t block, uint32_t length, const uint8_t* data, std::vector<SimBusChange>* changes);
  bool Upload(uint16_t block, uint32_t length, uint8_t* output, Exchange* exchange);
  // Carries out the pending DfuSe command or data block; returns the status
  // to report now and sets *busyMs and *laterStatus.
  uint8_t RunPendingOperation(uint32_t* busyMs, uint8_t* laterStatus);
  bool Stall();
  void AnswerStatus(uint8_t status, uint32_t poll, uint8_t state, uint32_t length, uint8_t* output,
                    Exchange* exchange);
  void LeaveBus(bool comesBack, std::vector<SimBusChange>* changes, bool backInDfuMode = true);
  // The reset that ends a leave request, as the profile's after-leave says.
  void ResetAfterLeave(std::vector<SimBusChange>* changes);
  void Record(Exchange* exchange);

  std::vector<uint8_t> DeviceDescriptor() const;
  std::vector<uint8_t> ConfigurationDescriptor() const;
  bool StringDescriptor(uint8_t index, std::vector<uint8_t>* descriptor) const;
  uint32_t UploadBlockSize() const;
  // bInterfaceNumber of the DFU interface: after a composite application's
  // own interfaces, 0 in DFU mode.
  uint8_t DfuInterfaceNumber() const;
  // The time a mass erase of `erasedBytes` takes.
  uint32_t MassEraseMillis(uint64_t erasedBytes) const;
  // The bwPollTimeout of a busy answer when `remainingMs` remain.
  uint32_t Announced(uint32_t remainingMs) const;

  const SimDeviceOptions options_;
  const std::shared_ptr<CSimClock> clock_;
  const std::set<uint32_t> badCells_;

  mutable std::mutex mutex_;
  std::vector<CSimMemory> memories_;
  // Alternate setting 0's memory on disk, written as it changes.
  CSimFlashFile flash_;
  bool present_ = true;
  bool waitingToArrive_ = false;  // off the bus until Arrive
  uint32_t attachment_ = 0;
  bool dfuMode_ = true;
  uint8_t state_ = DFU_STATE_DFU_IDLE;
  uint8_t status_ = DFU_STATUS_OK;
  uint8_t alternate_ = 0;
  uint32_t pointer_ = 0;
  // A plain DFU device's count of the blocks of the download or upload in
  // progress: block n lies at n × its block size, whatever the 16-bit wire
  // number says after it wrapped.
  uint64_t plainBlocks_ = 0;
  bool protected_ = false;  // read-out protection, until a read-unprotect
  PendingOperation pending_;
  uint64_t busyUntil_ = 0;       // dfuDNBUSY lasts until then
  uint8_t statusAfterBusy_ = 0;  // reported when the busy time has passed
  uint64_t detachUntil_ = 0;     // appDETACH lasts until then
  uint32_t requestCount_ = 0;
  std::vector<SimRequestRecord> log_;
  std::FILE* trace_ = nullptr;
};

#endif  // ZUVA_SIM_DFU_DEVICE_H_
