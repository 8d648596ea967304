#include "sim/dfu_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "protocol/byte_order.h"
#include "sim/dfu_descriptors.h"

namespace {

// Full-speed bus pace: every control request costs 0.5 ms plus 1 ms per KiB
// of its data stage.
constexpr uint64_t DFU_REQUEST_BASE_MICROS = 500;
constexpr uint64_t DFU_REQUEST_MICROS_PER_KIB = 1000;
// The most of a sleep's overrun that later requests' bus time makes up for: a
// few requests' worth. A longer overrun (the process was not scheduled) is
// forgotten beyond it, so that the next requests still take bus time.
constexpr uint64_t SIM_MAX_BUS_OVERRUN_MICROS = 5000;
// Accelerated upload moves 4 KiB per block.
constexpr uint32_t SIM_ACCELERATED_BLOCK = 4096;
// The transfer size at which a `corrupt-64` device loses the first bytes of
// every download block, and how many it loses: a setup packet's worth.
constexpr uint16_t SIM_CORRUPT_TRANSFER_SIZE = 64;
constexpr size_t SIM_SETUP_PACKET_SIZE = 8;
// The status a protected device reports for what it refuses.
constexpr uint8_t SIM_STATUS_ERR_VENDOR = 0x0B;

class CSteadyClock : public CSimClock {
 public:
  uint64_t NowMicros() override {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }
  void SleepMicros(uint64_t micros) override {
    std::this_thread::sleep_for(std::chrono::microseconds(micros));
  }
};

// A flash time in whole milliseconds, the unit of bwPollTimeout: `bytes` at
// `microsPerKib`, to the nearest millisecond, and never 0 for work that takes
// any time.
uint32_t FlashMillis(uint64_t bytes, uint64_t microsPerKib) {
  const uint64_t micros = bytes * microsPerKib / 1024;
  if (micros == 0) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>((micros + 500) / 1000, 1), DFU_MAX_POLL_TIMEOUT_MS));
}

uint32_t CeilDiv(uint64_t value, uint64_t divisor) {
  return static_cast<uint32_t>(
      std::min<uint64_t>((value + divisor - 1) / divisor, DFU_MAX_POLL_TIMEOUT_MS));
}

// The contents of alternate setting 0 before anything was programmed: a
// non-blank pattern, so that writing without erasing shows.
uint8_t OldFirmwareByte(size_t offset) {
  return static_cast<uint8_t>((offset * 7 + (offset >> 8) * 13) ^ 0x5A);
}

}  // namespace

std::shared_ptr<CSimClock> SimSteadyClock() { return std::make_shared<CSteadyClock>(); }

void CDfuDevice::Answer::Put(const uint8_t* bytes, uint32_t count) {
  moved = std::min(count, room);
  if (moved > 0) std::memcpy(data, bytes, moved);
}

CDfuDevice::CDfuDevice(SimDeviceOptions options)
    : options_(std::move(options)),
      clock_(options_.clock ? options_.clock : SimSteadyClock()),
      badCells_(options_.faults.BadCells()) {
  dfuMode_ = options_.profile.mode == SimMode::kDfu;
  protected_ = options_.profile.readoutProtected;
  attachment_ = options_.firstAttachment;
  path_ = attachment_;
  state_ = dfuMode_ ? DFU_STATE_DFU_IDLE : DFU_STATE_APP_IDLE;
  if (options_.profile.arriveAfterMs > 0) {
    present_ = false;
    waitingToArrive_ = true;
  }
  const bool plain = SimIsPlainDfu(options_.profile);
  for (size_t k = 0; k < options_.profile.alternates.size(); ++k) {
    std::vector<SimSectorLayout> layout;
    if (plain) {
      // A plain DFU device's alternate settings are names; each has one
      // memory that a download fills from its start.
      layout.push_back({0, options_.profile.memorySize, SIM_ACCESS_READ | SIM_ACCESS_ERASE | SIM_ACCESS_WRITE});
    } else {
      SimParseMemoryMap(options_.profile.alternates[k].text, &layout);
    }
    memories_.emplace_back(std::move(layout), 0xFF);
  }
  if (!memories_.empty()) {
    std::vector<uint8_t> old(static_cast<size_t>(memories_[0].Size()));
    for (size_t i = 0; i < old.size(); ++i) old[i] = OldFirmwareByte(i);
    memories_[0].LoadContents(old);
    pointer_ = memories_[0].BaseAddress();
  }
}

bool CDfuDevice::Create(SimDeviceOptions options, std::unique_ptr<CDfuDevice>* device,
                        std::string* error) {
  std::unique_ptr<CDfuDevice> created;
  try {
    created.reset(new CDfuDevice(std::move(options)));
  } catch (const std::bad_alloc&) {
    *error = "virtual device does not fit in memory";
    return false;
  }
  const std::string& flashPath = created->options_.flashPath;
  // A first memory without sectors (a map that does not parse) holds nothing
  // to keep; the operator's file stays as it was.
  if (!flashPath.empty() && !created->memories_.empty() && created->memories_[0].Size() != 0 &&
      !created->flash_.Open(flashPath, &created->memories_[0], error)) {
    return false;
  }
  *device = std::move(created);
  return true;
}

CDfuDevice::BusPosition CDfuDevice::Position() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {present_, dfuMode_, attachment_, path_};
}

bool CDfuDevice::Present() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return present_;
}

uint32_t CDfuDevice::Attachment() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return attachment_;
}

bool CDfuDevice::InDfuMode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dfuMode_;
}

std::vector<uint8_t> CDfuDevice::DeviceDescriptor() const {
  return SimDeviceDescriptor(options_.profile);
}

std::vector<uint8_t> CDfuDevice::ConfigurationDescriptor(bool dfuMode) const {
  return SimConfigurationDescriptor(options_.profile, dfuMode);
}

bool CDfuDevice::StringDescriptor(bool dfuMode, uint8_t index,
                                  std::vector<uint8_t>* descriptor) const {
  return SimStringDescriptor(options_.profile, dfuMode, options_.index, index, descriptor);
}

uint8_t CDfuDevice::State() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

uint8_t CDfuDevice::Status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

uint32_t CDfuDevice::AddressPointer() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pointer_;
}

bool CDfuDevice::ReadMemory(uint8_t alternate, uint32_t address, size_t count,
                            std::vector<uint8_t>* bytes) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return alternate < memories_.size() && memories_[alternate].Peek(address, count, bytes);
}

bool CDfuDevice::WriteMemory(uint8_t alternate, uint32_t address,
                             const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (alternate >= memories_.size() || !memories_[alternate].Poke(address, bytes)) return false;
  return alternate != 0 || flash_.Store(memories_[0], address, bytes.size());
}

void CDfuDevice::Unplug(std::vector<SimBusChange>* changes) {
  std::lock_guard<std::mutex> lock(mutex_);
  waitingToArrive_ = false;
  if (present_) LeaveBus(false, changes);
}

void CDfuDevice::Replug(std::vector<SimBusChange>* changes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (present_) LeaveBus(true, changes, dfuMode_, true);
}

void CDfuDevice::Arrive(std::vector<SimBusChange>* changes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!waitingToArrive_) return;
  waitingToArrive_ = false;
  present_ = true;
  changes->push_back({true, dfuMode_, attachment_, path_});
}

SimOutcome CDfuDevice::BusReset(uint32_t attachment, std::vector<SimBusChange>* changes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!present_ || attachment != attachment_) return SimOutcome::kGone;
  if (dfuMode_ && state_ == DFU_STATE_MANIFEST_WAIT_RESET) {
    ResetAfterLeave(changes);
  } else if (!dfuMode_ && state_ == DFU_STATE_APP_DETACH && clock_->NowMicros() < detachUntil_) {
    LeaveBus(true, changes);
  } else if (dfuMode_) {
    // A boot loader held in DFU mode starts over.
    state_ = DFU_STATE_DFU_IDLE;
    status_ = DFU_STATUS_OK;
    pending_ = PendingOperation();
    alternate_ = 0;
  } else {
    state_ = DFU_STATE_APP_IDLE;
  }
  return SimOutcome::kOk;
}

void CDfuDevice::ResetAfterLeave(std::vector<SimBusChange>* changes) {
  const SimAfterLeave after = options_.profile.afterLeave;
  LeaveBus(after != SimAfterLeave::kGone, changes, after != SimAfterLeave::kApplication,
           options_.profile.afterLeaveSamePath);
}

void CDfuDevice::LeaveBus(bool comesBack, std::vector<SimBusChange>* changes, bool backInDfuMode,
                          bool samePath) {
  changes->push_back({false, dfuMode_, attachment_, path_});
  present_ = false;
  pending_ = PendingOperation();
  if (!comesBack) return;
  // Back on the bus, as a new appearance, with a new path unless it keeps
  // the one it had.
  attachment_ += std::max<uint32_t>(options_.attachmentStep, 1);
  if (!samePath) path_ = attachment_;
  present_ = true;
  dfuMode_ = backInDfuMode;
  configuration_ = 1;
  state_ = dfuMode_ ? DFU_STATE_DFU_IDLE : DFU_STATE_APP_IDLE;
  status_ = DFU_STATUS_OK;
  alternate_ = 0;
  pointer_ = memories_.empty() ? 0 : memories_[0].BaseAddress();
  changes->push_back({true, dfuMode_, attachment_, path_});
}

uint32_t CDfuDevice::UploadBlockSize() const {
  const SimProfile& p = options_.profile;
  return (p.attributes & DFU_ATTR_ACCELERATED_UPLOAD) != 0 ? SIM_ACCELERATED_BLOCK : p.transferSize;
}

uint64_t CDfuDevice::BusMicros(uint32_t dataBytes) const {
  if (options_.profile.timing != SimTiming::kReal) return 0;
  return DFU_REQUEST_BASE_MICROS + dataBytes * DFU_REQUEST_MICROS_PER_KIB / 1024;
}

void CDfuDevice::SpendMicros(uint64_t micros) {
  if (micros == 0) return;
  uint64_t owed = micros;
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    const uint64_t taken = std::min(busOverrunMicros_, owed);
    busOverrunMicros_ -= taken;
    owed -= taken;
  }
  if (owed == 0) return;
  const uint64_t start = clock_->NowMicros();
  clock_->SleepMicros(owed);
  const uint64_t slept = clock_->NowMicros() - start;
  if (slept <= owed) return;
  std::lock_guard<std::mutex> lock(busMutex_);
  busOverrunMicros_ = std::min(busOverrunMicros_ + (slept - owed), SIM_MAX_BUS_OVERRUN_MICROS);
}

// ---------------------------------------------------------------------------
// Requests

SimOutcome CDfuDevice::Control(uint32_t attachment, const UsbSetup& setup, uint8_t* data,
                               uint32_t* moved, std::vector<SimBusChange>* changes,
                               const SimFault* plannedStatus, uint32_t* dataBytes) {
  *moved = 0;
  *dataBytes = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!present_ || attachment != attachment_) return SimOutcome::kGone;
  Answer answer;
  if (setup.In()) {
    answer.data = data;
    answer.room = data == nullptr ? 0 : setup.length;
  }
  bool completed = false;
  if (setup.Type() == USB_TYPE_STANDARD) {
    completed = StandardRequest(setup, &answer);
    *dataBytes = answer.moved;
  } else if (setup.Type() == USB_TYPE_CLASS && setup.Recipient() == USB_RECIPIENT_INTERFACE) {
    *dataBytes = setup.length;
    completed = ClassRequest(setup, data, &answer, plannedStatus, changes);
  }
  if (!completed) return SimOutcome::kStall;
  *moved = answer.moved;
  return SimOutcome::kOk;
}

void CDfuDevice::PlannedStall(const UsbSetup& setup) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (setup.Type() == USB_TYPE_CLASS) Stall();
}

bool CDfuDevice::StandardRequest(const UsbSetup& setup, Answer* answer) {
  const SimProfile& p = options_.profile;
  const bool toDevice = setup.Recipient() == USB_RECIPIENT_DEVICE;
  const bool toInterface = setup.Recipient() == USB_RECIPIENT_INTERFACE;
  const uint8_t dfuInterface = SimDfuInterfaceNumber(p, dfuMode_);
  auto put = [&](const std::vector<uint8_t>& bytes) {
    if (!setup.In()) return false;
    answer->Put(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return true;
  };
  switch (setup.request) {
    case USB_REQUEST_GET_DESCRIPTOR: {
      const uint8_t index = static_cast<uint8_t>(setup.value);
      std::vector<uint8_t> descriptor;
      switch (setup.value >> 8) {
        case USB_DT_DEVICE:
          return toDevice && put(SimDeviceDescriptor(p));
        case USB_DT_CONFIGURATION:
          // One configuration, index 0.
          return toDevice && index == 0 && put(SimConfigurationDescriptor(p, dfuMode_));
        case USB_DT_STRING:
          return toDevice && SimStringDescriptor(p, dfuMode_, options_.index, index, &descriptor) &&
                 put(descriptor);
        case DFU_DESCRIPTOR_TYPE_FUNCTIONAL:
          // The functional descriptor can be asked for on its own; it is the
          // one inside the configuration set.
          return put(SimFunctionalDescriptor(p));
        default:
          return false;  // device qualifier, BOS, ...: a full-speed device has none
      }
    }
    case USB_REQUEST_SET_INTERFACE:
      if (setup.In() || !toInterface || setup.index != dfuInterface ||
          setup.value >= SimAlternateCount(p, dfuMode_)) {
        return false;
      }
      alternate_ = static_cast<uint8_t>(setup.value);
      return true;
    case USB_REQUEST_GET_INTERFACE:
      return toInterface && setup.index == dfuInterface && put({alternate_});
    case USB_REQUEST_GET_STATUS:
      // Bus powered, no remote wake-up, no halted endpoint.
      return put({0, 0});
    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE:
      return !setup.In();
    case USB_REQUEST_GET_CONFIGURATION:
      return toDevice && put({configuration_});
    case USB_REQUEST_SET_CONFIGURATION:
      // The device has one configuration, value 1; 0 unconfigures it.
      if (setup.In() || !toDevice || setup.value > 1) return false;
      configuration_ = static_cast<uint8_t>(setup.value);
      return true;
    default:
      return false;
  }
}

bool CDfuDevice::Stall() {
  if (dfuMode_) {
    // A DFU device answers a request it cannot take with a stall and enters
    // dfuERROR until the host clears the status.
    state_ = DFU_STATE_ERROR;
    status_ = DFU_STATUS_ERR_STALLEDPKT;
    pending_ = PendingOperation();
  } else {
    state_ = DFU_STATE_APP_IDLE;
  }
  return false;
}

bool CDfuDevice::ClassRequest(const UsbSetup& setup, const uint8_t* data, Answer* answer,
                              const SimFault* plannedStatus, std::vector<SimBusChange>* changes) {
  const bool wantsToHost = setup.request == DFU_REQUEST_UPLOAD ||
                           setup.request == DFU_REQUEST_GETSTATUS ||
                           setup.request == DFU_REQUEST_GETSTATE;
  // Requests to another interface than the DFU one, in the wrong direction
  // or unknown to DFU stall.
  if ((setup.index & 0xFF) != SimDfuInterfaceNumber(options_.profile, dfuMode_) ||
      wantsToHost != setup.In() || setup.request > DFU_REQUEST_ABORT) {
    return Stall();
  }
  if (dfuMode_) return DfuModeRequest(setup, data, answer, plannedStatus, changes);
  return AppModeRequest(setup, answer, plannedStatus, changes);
}

void CDfuDevice::AnswerStatus(uint8_t status, uint32_t poll, uint8_t state, Answer* answer) {
  uint8_t bytes[DFU_STATUS_SIZE] = {status, 0, 0, 0, state, 0};
  PutLe24(bytes + 1, std::min(poll, DFU_MAX_POLL_TIMEOUT_MS));
  answer->Put(bytes, DFU_STATUS_SIZE);
}

bool CDfuDevice::AppModeRequest(const UsbSetup& setup, Answer* answer,
                                const SimFault* plannedStatus,
                                std::vector<SimBusChange>* changes) {
  const SimProfile& p = options_.profile;
  // Without a bus reset within the detach time-out the application carries on.
  if (state_ == DFU_STATE_APP_DETACH && clock_->NowMicros() >= detachUntil_) {
    state_ = DFU_STATE_APP_IDLE;
  }
  switch (setup.request) {
    case DFU_REQUEST_DETACH:
      if (state_ != DFU_STATE_APP_IDLE) return Stall();
      if ((p.attributes & DFU_ATTR_WILL_DETACH) != 0) {
        // The device detaches by itself and comes back in DFU mode.
        LeaveBus(true, changes);
      } else {
        state_ = DFU_STATE_APP_DETACH;
        detachUntil_ = clock_->NowMicros() +
                       static_cast<uint64_t>(std::min<uint16_t>(setup.value, p.detachTimeout)) *
                           1000;
      }
      return true;
    case DFU_REQUEST_GETSTATUS:
      if (plannedStatus != nullptr) {
        AnswerStatus(plannedStatus->status, 0, plannedStatus->state, answer);
      } else {
        AnswerStatus(status_, 0, state_, answer);
      }
      return true;
    case DFU_REQUEST_GETSTATE:
      answer->Put(&state_, 1);
      return true;
    default:
      return Stall();
  }
}

bool CDfuDevice::DfuModeRequest(const UsbSetup& setup, const uint8_t* data, Answer* answer,
                                const SimFault* plannedStatus,
                                std::vector<SimBusChange>* changes) {
  // Once the poll time-out has run out the device is in dfuDNLOAD-SYNC with
  // its work done, waiting for the status request that reports it.
  if (state_ == DFU_STATE_DNBUSY && clock_->NowMicros() >= busyUntil_) {
    state_ = DFU_STATE_DNLOAD_SYNC;
  }
  // Waiting for the reset, the device tells its state and takes nothing
  // else: a refused request leaves it waiting.
  if (state_ == DFU_STATE_MANIFEST_WAIT_RESET && setup.request != DFU_REQUEST_GETSTATUS &&
      setup.request != DFU_REQUEST_GETSTATE) {
    return false;
  }
  switch (setup.request) {
    case DFU_REQUEST_GETSTATUS:
      return GetStatusInDfuMode(answer, plannedStatus, changes);
    case DFU_REQUEST_GETSTATE:
      if (state_ == DFU_STATE_DNBUSY) return Stall();
      answer->Put(&state_, 1);
      return true;
    case DFU_REQUEST_CLRSTATUS:
      if (state_ != DFU_STATE_ERROR) return Stall();
      state_ = DFU_STATE_DFU_IDLE;
      status_ = DFU_STATUS_OK;
      return true;
    case DFU_REQUEST_ABORT:
      if (state_ != DFU_STATE_DFU_IDLE && state_ != DFU_STATE_DNLOAD_IDLE &&
          state_ != DFU_STATE_UPLOAD_IDLE) {
        return Stall();
      }
      state_ = DFU_STATE_DFU_IDLE;
      return true;
    case DFU_REQUEST_DNLOAD:
      return Download(setup, data, changes);
    case DFU_REQUEST_UPLOAD:
      return Upload(setup.value, answer);
    default:
      // DETACH belongs to application mode.
      return Stall();
  }
}

bool CDfuDevice::Download(const UsbSetup& setup, const uint8_t* data,
                          std::vector<SimBusChange>* changes) {
  const SimProfile& p = options_.profile;
  const uint16_t block = setup.value;
  const uint32_t length = setup.length;
  if ((state_ != DFU_STATE_DFU_IDLE && state_ != DFU_STATE_DNLOAD_IDLE) ||
      (p.attributes & DFU_ATTR_CAN_DNLOAD) == 0) {
    return Stall();
  }
  if (length == 0) {
    // A device that resets at the leave request is gone before the host can
    // ask for its status.
    if (p.leave == SimLeave::kReset) {
      state_ = DFU_STATE_MANIFEST_WAIT_RESET;
      ResetAfterLeave(changes);
      return true;
    }
    // The end of a download, and the DfuSe leave request from dfuIDLE: the
    // status request that follows starts manifestation.
    state_ = DFU_STATE_MANIFEST_SYNC;
    return true;
  }
  if (length > p.transferSize || data == nullptr) return Stall();
  PendingOperation operation;
  operation.alternate = alternate_;
  if (SimIsPlainDfu(p)) {
    // Plain DFU has no commands: every block is data, numbered from 0.
    if (state_ == DFU_STATE_DFU_IDLE) plainBlocks_ = 0;
    if (block != static_cast<uint16_t>(plainBlocks_)) return Stall();
    operation.kind = PendingOperation::Kind::kPlainProgram;
    operation.address = static_cast<uint32_t>(std::min<uint64_t>(plainBlocks_ * p.transferSize, UINT32_MAX));
    operation.data.assign(data, data + length);
    plainBlocks_ += 1;
  } else if (block == DFUSE_COMMAND_BLOCK) {
    // A DfuSe command: its code, then a 32-bit little-endian address, or the
    // erase code alone for a mass erase.
    const bool addressed = length == DFUSE_COMMAND_LENGTH;
    if (data[0] == DFUSE_CMD_SET_ADDRESS && addressed) {
      operation.kind = PendingOperation::Kind::kSetPointer;
    } else if (data[0] == DFUSE_CMD_ERASE && addressed) {
      operation.kind = PendingOperation::Kind::kErase;
    } else if (data[0] == DFUSE_CMD_ERASE && length == 1) {
      operation.kind = PendingOperation::Kind::kMassErase;
    } else if (data[0] == DFUSE_CMD_READ_UNPROTECT && length == 1) {
      operation.kind = PendingOperation::Kind::kReadUnprotect;
    } else {
      return Stall();
    }
    operation.address = addressed ? GetLe32(data + 1) : 0;
  } else if (block < DFUSE_FIRST_DATA_BLOCK) {
    // Block 1 has no meaning: commands travel in block 0, data from block 2.
    return Stall();
  } else {
    operation.kind = PendingOperation::Kind::kProgram;
    operation.address =
        pointer_ + static_cast<uint32_t>(block - DFUSE_FIRST_DATA_BLOCK) * p.transferSize;
    operation.data.assign(data, data + length);
  }
  if (p.corrupt64 && p.transferSize == SIM_CORRUPT_TRANSFER_SIZE && !operation.data.empty()) {
    // The stack's control buffer is shared with the setup packet: a block
    // that fits one packet loses its first bytes to the request's own.
    const uint8_t packet[SIM_SETUP_PACKET_SIZE] = {setup.requestType,
                                                   setup.request,
                                                   static_cast<uint8_t>(setup.value),
                                                   static_cast<uint8_t>(setup.value >> 8),
                                                   static_cast<uint8_t>(setup.index),
                                                   static_cast<uint8_t>(setup.index >> 8),
                                                   static_cast<uint8_t>(setup.length),
                                                   static_cast<uint8_t>(setup.length >> 8)};
    std::copy_n(packet, std::min(operation.data.size(), sizeof packet), operation.data.begin());
  }
  // Read-out protection refuses everything but the unprotect command; the
  // request is taken, and the status request that follows says so.
  if (protected_ && operation.kind != PendingOperation::Kind::kReadUnprotect) {
    operation = PendingOperation();
    operation.kind = PendingOperation::Kind::kRefused;
  }
  pending_ = std::move(operation);
  state_ = DFU_STATE_DNLOAD_SYNC;
  return true;
}

bool CDfuDevice::Upload(uint16_t block, Answer* answer) {
  const SimProfile& p = options_.profile;
  const uint32_t length = answer->room;
  // Some stacks take an upload in dfuDNLOAD-IDLE as one from dfuIDLE.
  const bool startsUpload =
      state_ == DFU_STATE_DFU_IDLE || (p.uploadInDownloadIdle && state_ == DFU_STATE_DNLOAD_IDLE);
  if ((!startsUpload && state_ != DFU_STATE_UPLOAD_IDLE) ||
      (p.attributes & DFU_ATTR_CAN_UPLOAD) == 0 || length == 0) {
    return Stall();
  }
  const uint32_t blockSize = UploadBlockSize();
  if (length > std::max<uint32_t>(blockSize, p.transferSize)) return Stall();
  if (protected_) {
    Stall();
    status_ = SIM_STATUS_ERR_VENDOR;
    return false;
  }
  if (SimIsPlainDfu(p)) {
    // The memory from its start; past its end a block comes back short.
    // A device that stays in dfuIDLE takes every block as a new start and
    // places it by its number.
    if (startsUpload) plainBlocks_ = p.uploadStaysIdle ? block : 0;
    if (block != static_cast<uint16_t>(plainBlocks_) || alternate_ >= memories_.size()) return Stall();
    const CSimMemory& memory = memories_[alternate_];
    const uint64_t offset = plainBlocks_ * blockSize;
    if (offset < memory.Size()) {
      size_t got = 0;
      if (memory.Read(static_cast<uint32_t>(offset), length, answer->data, &got) !=
          SimMemoryResult::kOk) {
        return Stall();
      }
      answer->moved = static_cast<uint32_t>(got);
    }
    plainBlocks_ += 1;
  } else if (block == DFUSE_COMMAND_BLOCK) {
    // DfuSe block 0 lists the commands the device supports.
    const uint8_t commands[3] = {DFUSE_CMD_GET_COMMANDS, DFUSE_CMD_SET_ADDRESS, DFUSE_CMD_ERASE};
    answer->Put(commands, 3);
  } else if (block < DFUSE_FIRST_DATA_BLOCK) {
    return Stall();
  } else {
    // Blocks are placed by their number, so a short last block reads from
    // the right place.
    const uint32_t address =
        pointer_ + static_cast<uint32_t>(block - DFUSE_FIRST_DATA_BLOCK) * blockSize;
    if (alternate_ >= memories_.size()) return Stall();
    const CSimMemory& memory = memories_[alternate_];
    size_t got = 0;
    const SimMemoryResult result = memory.Read(address, length, answer->data, &got);
    // A block that starts where a memory ends is empty (one that runs over
    // the end is short), and so ends the read; one that starts anywhere else
    // outside the memory stalls.
    uint32_t start = 0;
    uint32_t size = 0;
    const bool atEnd = result == SimMemoryResult::kAddress && address != 0 &&
                       memory.SectorHolding(address - 1, &start, &size);
    if (result != SimMemoryResult::kOk && !atEnd) return Stall();
    answer->moved = static_cast<uint32_t>(got);
  }
  // A short frame ends the upload; some stacks never leave dfuIDLE.
  state_ = answer->moved < length || p.uploadStaysIdle ? DFU_STATE_DFU_IDLE : DFU_STATE_UPLOAD_IDLE;
  return true;
}

uint8_t CDfuDevice::RunPendingOperation(uint32_t* busyMs, uint8_t* laterStatus) {
  const SimProfile& p = options_.profile;
  const bool real = p.timing == SimTiming::kReal;
  *busyMs = 0;
  *laterStatus = DFU_STATUS_OK;
  PendingOperation operation = std::move(pending_);
  pending_ = PendingOperation();
  if (operation.kind == PendingOperation::Kind::kSetPointer) {
    pointer_ = operation.address;
    return DFU_STATUS_OK;
  }
  if (operation.kind == PendingOperation::Kind::kRefused) return SIM_STATUS_ERR_VENDOR;
  if (operation.alternate >= memories_.size()) return DFU_STATUS_ERR_ADDRESS;
  CSimMemory& memory = memories_[operation.alternate];
  switch (operation.kind) {
    case PendingOperation::Kind::kErase: {
      uint32_t erased = 0;
      SimMemoryResult result = memory.EraseSector(operation.address, &erased);
      if (result == SimMemoryResult::kAddress) return DFU_STATUS_ERR_ADDRESS;
      if (result == SimMemoryResult::kAccess) return DFU_STATUS_ERR_ERASE;
      if (operation.alternate == 0 && !flash_.StoreSector(memory, operation.address)) {
        return DFU_STATUS_ERR_WRITE;
      }
      if (real) *busyMs = FlashMillis(erased, p.eraseUsPerKib);
      return DFU_STATUS_OK;
    }
    case PendingOperation::Kind::kMassErase: {
      if (p.massEraseIgnored) return DFU_STATUS_OK;
      uint64_t erased = 0;
      if (memory.EraseAll(&erased) != SimMemoryResult::kOk) return DFU_STATUS_ERR_ERASE;
      if (operation.alternate == 0 && !flash_.StoreAll(memory)) return DFU_STATUS_ERR_WRITE;
      if (real) *busyMs = MassEraseMillis(erased);
      return DFU_STATUS_OK;
    }
    case PendingOperation::Kind::kReadUnprotect: {
      // Lifting the protection wipes the flash the protection guarded.
      uint64_t erased = 0;
      memories_[0].EraseAll(&erased);
      protected_ = false;
      if (!flash_.StoreAll(memories_[0])) return DFU_STATUS_ERR_WRITE;
      if (real) *busyMs = MassEraseMillis(erased);
      return DFU_STATUS_OK;
    }
    case PendingOperation::Kind::kPlainProgram: {
      // The memory is erased as it is written: the cells take the block's
      // bytes whatever they held.
      if (uint64_t{operation.address} + operation.data.size() > memory.Size() ||
          !memory.Poke(operation.address, operation.data)) {
        return DFU_STATUS_ERR_ADDRESS;
      }
      if (operation.alternate == 0 &&
          !flash_.Store(memory, operation.address, operation.data.size())) {
        return DFU_STATUS_ERR_WRITE;
      }
      if (real) *busyMs = FlashMillis(operation.data.size(), uint64_t{p.eraseUsPerKib} + p.programUsPerKib);
      return DFU_STATUS_OK;
    }
    case PendingOperation::Kind::kProgram: {
      SimMemoryResult result = memory.Program(operation.address, operation.data.data(),
                                              operation.data.size(), badCells_);
      if (result == SimMemoryResult::kAddress) return DFU_STATUS_ERR_ADDRESS;
      if (result == SimMemoryResult::kAccess) return DFU_STATUS_ERR_WRITE;
      // The file keeps what the cells now hold, bad cells included; a file
      // that cannot take it is a memory that failed to program.
      if (operation.alternate == 0 &&
          !flash_.Store(memory, operation.address, operation.data.size())) {
        return DFU_STATUS_ERR_WRITE;
      }
      if (real) *busyMs = FlashMillis(operation.data.size(), p.programUsPerKib);
      // The cells were programmed; the mismatch shows once programming ends.
      if (result == SimMemoryResult::kVerify) *laterStatus = DFU_STATUS_ERR_VERIFY;
      return DFU_STATUS_OK;
    }
    default:
      return DFU_STATUS_OK;
  }
}

uint32_t CDfuDevice::MassEraseMillis(uint64_t erasedBytes) const {
  const SimProfile& p = options_.profile;
  return p.hasMassEraseMs ? std::min(p.massEraseMs, DFU_MAX_POLL_TIMEOUT_MS) : FlashMillis(erasedBytes, p.eraseUsPerKib);
}

uint32_t CDfuDevice::Announced(uint32_t remainingMs) const {
  const SimProfile& p = options_.profile;
  return p.hasPollTimeout ? p.pollTimeoutMs : remainingMs;
}

bool CDfuDevice::GetStatusInDfuMode(Answer* answer, const SimFault* plannedStatus,
                                    std::vector<SimBusChange>* changes) {
  const uint64_t now = clock_->NowMicros();
  if (plannedStatus != nullptr) {
    // The planned status replaces whatever the device was about to do.
    pending_ = PendingOperation();
    state_ = plannedStatus->state;
    status_ = plannedStatus->status;
    busyUntil_ = now;
    statusAfterBusy_ = DFU_STATUS_OK;
    AnswerStatus(status_, 0, state_, answer);
    return true;
  }
  switch (state_) {
    case DFU_STATE_DNLOAD_SYNC:
      if (pending_.kind != PendingOperation::Kind::kNone) {
        const bool unprotect = pending_.kind == PendingOperation::Kind::kReadUnprotect;
        uint32_t busyMs = 0;
        uint8_t later = DFU_STATUS_OK;
        uint8_t status = RunPendingOperation(&busyMs, &later);
        if (status != DFU_STATUS_OK) {
          state_ = DFU_STATE_ERROR;
          status_ = status;
          break;
        }
        if (unprotect) {
          // New option bytes take effect at a reset: the device leaves the
          // bus and comes back, unprotected, under a new path.
          AnswerStatus(status_, Announced(busyMs), DFU_STATE_DNBUSY, answer);
          LeaveBus(true, changes);
          return true;
        }
        busyUntil_ = now + static_cast<uint64_t>(busyMs) * 1000;
        statusAfterBusy_ = later;
        // A plain DFU device whose block took no time is done with it when
        // asked: it answers dfuDNLOAD-IDLE at once, as small boot loaders
        // that write from RAM do.
        const bool doneAtOnce = busyMs == 0 && SimIsPlainDfu(options_.profile) && !options_.profile.hasPollTimeout;
        if (!options_.profile.statusHold && !doneAtOnce) {
          // The work has begun; the host polls again after bwPollTimeout.
          state_ = DFU_STATE_DNBUSY;
          AnswerStatus(status_, Announced(busyMs), state_, answer);
          return true;
        }
        // The processor stalls while the flash works: this answer comes when
        // the work is done, with the state that follows it.
        clock_->SleepMicros(busyUntil_ - now);
      }
      if (statusAfterBusy_ != DFU_STATUS_OK) {
        state_ = DFU_STATE_ERROR;
        status_ = statusAfterBusy_;
        statusAfterBusy_ = DFU_STATUS_OK;
      } else {
        state_ = DFU_STATE_DNLOAD_IDLE;
      }
      break;
    case DFU_STATE_DNBUSY:
      // Asked too early: still busy, for the time that remains (or for what
      // the device always announces).
      AnswerStatus(status_, Announced(CeilDiv(busyUntil_ - now, 1000)), state_, answer);
      return true;
    case DFU_STATE_MANIFEST_SYNC:
      AnswerStatus(status_, 0, DFU_STATE_MANIFEST, answer);
      if ((options_.profile.attributes & DFU_ATTR_MANIFESTATION_TOLERANT) != 0) {
        state_ = DFU_STATE_MANIFEST;
      } else if (options_.profile.leave == SimLeave::kWaitReset) {
        // The new firmware starts at the host's USB reset.
        state_ = DFU_STATE_MANIFEST_WAIT_RESET;
      } else {
        // The new firmware starts: the device leaves the bus.
        state_ = DFU_STATE_MANIFEST_WAIT_RESET;
        ResetAfterLeave(changes);
      }
      return true;
    case DFU_STATE_MANIFEST:
      // A manifestation-tolerant device is back in dfuIDLE once it is done.
      state_ = DFU_STATE_DFU_IDLE;
      break;
    default:
      break;
  }
  AnswerStatus(status_, 0, state_, answer);
  return true;
}
