// A software model of a USB device in DfuSe DFU mode (or in application mode
// with a run-time DFU interface) that speaks USB: control transfers in,
// answers out (ok with bytes, stall, or gone when the transfer never reaches
// it). It keeps the DFU state machine with the DfuSe commands, the memories
// and the bus and flash timing; its descriptors come from
// sim/dfu_descriptors.h and alternate setting 0's memory reaches its flash
// file (sim/flash_file.h) as it changes. It knows nothing of the front that
// drives it nor of request numbers: the recorder (sim/sim_recorder.h) numbers
// requests, applies the fault plan and writes the log and the trace. Every
// entry takes the one lock of the device, so it may be called from any
// thread.
#ifndef ZUVA_SIM_DFU_DEVICE_H_
#define ZUVA_SIM_DFU_DEVICE_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "protocol/dfu.h"
#include "protocol/usb.h"
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

// How a control transfer ended: answered, stalled, not delivered because
// the device is not (or no longer) at that place on the bus, or answered
// with more bytes than the host asked for, which the bus refuses.
enum class SimOutcome { kOk, kStall, kGone, kOverflow };

// The device left or joined the bus. `attachment` numbers its appearances on
// the bus from 0; `path` is the attachment whose path the appearance shows:
// its own, or an earlier one's for a device that came back under the same
// path. A front derives the interface path from `path`.
struct SimBusChange {
  bool arrival = false;
  bool dfuMode = true;
  uint32_t attachment = 0;
  uint32_t path = 0;
};

class CDfuDevice {
 public:
  // Builds the device from a profile and opens its flash file: loaded when it
  // exists, locked while the device exists. False with *error (one line) when
  // the file cannot be used (see CSimFlashFile::Open).
  static bool Create(SimDeviceOptions options, std::unique_ptr<CDfuDevice>* device,
                     std::string* error);
  CDfuDevice(const CDfuDevice&) = delete;
  CDfuDevice& operator=(const CDfuDevice&) = delete;

  const SimProfile& Profile() const { return options_.profile; }
  // The device's number among the devices of its process or bus, from 1.
  uint32_t Index() const { return options_.index; }

  // Whether the device is on the bus, as which appearance and under the
  // path of which (see SimBusChange).
  struct BusPosition {
    bool present = false;
    bool dfuMode = true;
    uint32_t attachment = 0;
    uint32_t path = 0;
  };
  BusPosition Position() const;
  bool Present() const;
  uint32_t Attachment() const;
  bool InDfuMode() const;

  // The descriptors the device shows in DFU mode or in application mode, as
  // a bus keeps them for the host before anyone asks.
  std::vector<uint8_t> DeviceDescriptor() const;
  std::vector<uint8_t> ConfigurationDescriptor(bool dfuMode) const;
  // False for an index the device has no string for.
  bool StringDescriptor(bool dfuMode, uint8_t index, std::vector<uint8_t>* descriptor) const;

  // One control transfer that reached the device through its appearance
  // `attachment`. `data` holds the data stage: the host's bytes (out) or room
  // for the answer (in, setup.length bytes; the count in *moved). A planned
  // status, when given, is what a GETSTATUS answers. *dataBytes receives the
  // size of the data stage, for the bus time. Bus changes it caused are
  // appended to *changes.
  SimOutcome Control(uint32_t attachment, const UsbSetup& setup, uint8_t* data, uint32_t* moved,
                     std::vector<SimBusChange>* changes, const SimFault* plannedStatus,
                     uint32_t* dataBytes);
  // A planned stall hits the device as a stalled request would: a class
  // request leaves it in dfuERROR.
  void PlannedStall(const UsbSetup& setup);
  // What a request with that much data costs on the bus, in microseconds
  // (nothing with fast timing), and spending it. Fronts spend it without
  // holding the device. A sleep wakes up late by some tens of microseconds;
  // the overrun is taken off the next requests' sleeps, so the bus time of a
  // whole run is what the requests cost and not that plus every overrun.
  uint64_t BusMicros(uint32_t dataBytes) const;
  void SpendMicros(uint64_t micros);

  // A USB reset of the device's port through its appearance `attachment`. A
  // device in dfuMANIFEST-WAIT-RESET starts its new firmware (where it goes
  // then, the profile's after-leave says); one in appDETACH within the
  // detach time-out comes back in DFU mode under a new path; any other keeps
  // its place and mode, its DFU state back at dfuIDLE (appIDLE in
  // application mode). Bus changes it caused are appended to *changes.
  SimOutcome BusReset(uint32_t attachment, std::vector<SimBusChange>* changes);

  // Takes the device off the bus for good, as a pulled cable does.
  void Unplug(std::vector<SimBusChange>* changes);
  // Takes the device off the bus and brings it back at once under the same
  // path, as a device that resets itself on the same port: in the mode it
  // was in, at dfuIDLE (appIDLE), as a new appearance that nothing opened
  // before reaches. Nothing happens to a device that is off the bus.
  void Replug(std::vector<SimBusChange>* changes);
  // A device whose profile has it arrive later joins the bus now, once;
  // nothing happens to any other.
  void Arrive(std::vector<SimBusChange>* changes);

  // Observation, for tests and diagnosis.
  uint8_t State() const;
  uint8_t Status() const;
  uint32_t AddressPointer() const;
  // The cells of an alternate setting's memory, without access checks.
  bool ReadMemory(uint8_t alternate, uint32_t address, size_t count,
                  std::vector<uint8_t>* bytes) const;
  bool WriteMemory(uint8_t alternate, uint32_t address, const std::vector<uint8_t>& bytes);

 private:
  struct PendingOperation {
    enum class Kind { kNone, kSetPointer, kErase, kMassErase, kProgram, kPlainProgram, kReadUnprotect, kRefused };
    Kind kind = Kind::kNone;
    uint8_t alternate = 0;
    uint32_t address = 0;
    std::vector<uint8_t> data;
  };
  // What a request answers, and where.
  struct Answer {
    uint8_t* data = nullptr;
    uint32_t room = 0;
    uint32_t moved = 0;
    void Put(const uint8_t* bytes, uint32_t count);
  };

  explicit CDfuDevice(SimDeviceOptions options);

  bool StandardRequest(const UsbSetup& setup, Answer* answer);
  bool ClassRequest(const UsbSetup& setup, const uint8_t* data, Answer* answer,
                    const SimFault* plannedStatus, std::vector<SimBusChange>* changes);
  bool DfuModeRequest(const UsbSetup& setup, const uint8_t* data, Answer* answer,
                      const SimFault* plannedStatus, std::vector<SimBusChange>* changes);
  bool AppModeRequest(const UsbSetup& setup, Answer* answer, const SimFault* plannedStatus,
                      std::vector<SimBusChange>* changes);
  bool GetStatusInDfuMode(Answer* answer, const SimFault* plannedStatus,
                          std::vector<SimBusChange>* changes);
  bool Download(const UsbSetup& setup, const uint8_t* data,
                std::vector<SimBusChange>* changes);
  bool Upload(uint16_t block, Answer* answer);
  // Carries out the pending DfuSe command or data block; returns the status
  // to report now and sets *busyMs and *laterStatus.
  uint8_t RunPendingOperation(uint32_t* busyMs, uint8_t* laterStatus);
  bool Stall();
  void AnswerStatus(uint8_t status, uint32_t poll, uint8_t state, Answer* answer);
  void LeaveBus(bool comesBack, std::vector<SimBusChange>* changes, bool backInDfuMode = true,
                bool samePath = false);
  // The reset that ends a leave request, as the profile's after-leave says.
  void ResetAfterLeave(std::vector<SimBusChange>* changes);
  uint32_t UploadBlockSize() const;
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
  uint32_t path_ = 0;  // the attachment whose path the device shows
  bool dfuMode_ = true;
  uint8_t configuration_ = 1;
  uint8_t state_ = DFU_STATE_DFU_IDLE;
  uint8_t status_ = DFU_STATUS_OK;
  uint8_t alternate_ = 0;
  uint32_t pointer_ = 0;
  // A plain DFU device's count of the blocks of the download or upload in
  // progress: block n lies at n × its block size, whatever the 16-bit wire
  // number says after it wrapped.
  uint64_t plainBlocks_ = 0;
  // Where the next plain block goes or comes from on a device whose blocks
  // follow one another (plain-blocks = packed).
  uint64_t plainOffset_ = 0;
  bool protected_ = false;  // read-out protection, until a read-unprotect
  PendingOperation pending_;
  uint64_t busyUntil_ = 0;       // dfuDNBUSY lasts until then
  uint8_t statusAfterBusy_ = 0;  // reported when the busy time has passed
  uint64_t detachUntil_ = 0;     // appDETACH lasts until then

  // What earlier bus-time sleeps overran, taken off the next ones, so that a
  // host's oversleeping does not add up over a thousand transfers.
  std::mutex busMutex_;
  uint64_t busOverrunMicros_ = 0;
};

#endif  // ZUVA_SIM_DFU_DEVICE_H_
