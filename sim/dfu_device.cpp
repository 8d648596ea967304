#include "sim/dfu_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "protocol/byte_order.h"
#include "protocol/driver_requests.h"
#include "protocol/request_names.h"

namespace {

// Full-speed bus pace: every control request costs 0.5 ms plus 1 ms per KiB
// of its data stage.
constexpr uint64_t DFU_REQUEST_BASE_MICROS = 500;
constexpr uint64_t DFU_REQUEST_MICROS_PER_KIB = 1000;
// Accelerated upload moves 4 KiB per block.
constexpr uint32_t SIM_ACCELERATED_BLOCK = 4096;
// The status a protected device reports for what it refuses.
constexpr uint8_t SIM_STATUS_ERR_VENDOR = 0x0B;
// Vendor-specific interfaces of a composite device.
// String descriptor indexes; interface strings follow from 4.
constexpr uint8_t SIM_STRING_MANUFACTURER = 1;
constexpr uint8_t SIM_STRING_PRODUCT = 2;
constexpr uint8_t SIM_STRING_SERIAL = 3;
constexpr uint8_t SIM_STRING_FIRST_INTERFACE = 4;
// How many bytes of a host-to-device data stage the log keeps.
constexpr size_t SIM_LOGGED_DATA_BYTES = 64;

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

void AppendStringDescriptor(const std::u16string& units, std::vector<uint8_t>* descriptor) {
  size_t count = std::min(units.size(), SIM_MAX_STRING_UNITS);
  descriptor->push_back(static_cast<uint8_t>(2 + 2 * count));
  descriptor->push_back(3);
  for (size_t i = 0; i < count; ++i) {
    descriptor->push_back(static_cast<uint8_t>(units[i]));
    descriptor->push_back(static_cast<uint8_t>(units[i] >> 8));
  }
}

}  // namespace

std::shared_ptr<CSimClock> SimSteadyClock() { return std::make_shared<CSteadyClock>(); }

// One request on its way through the device: what the log records of it.
struct CDfuDevice::Exchange {
  SimRequestRecord record;
  uint32_t dataBytes = 0;  // size of the data stage, for the bus time
  bool reportsStatus = false;
  bool reportsState = false;
  uint32_t returned = 0;
};

CDfuDevice::CDfuDevice(SimDeviceOptions options)
    : options_(std::move(options)),
      clock_(options_.clock ? options_.clock : SimSteadyClock()),
      badCells_(options_.faults.BadCells()) {
  dfuMode_ = options_.profile.mode == SimMode::kDfu;
  protected_ = options_.profile.readoutProtected;
  attachment_ = options_.firstAttachment;
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

CDfuDevice::~CDfuDevice() {
  if (trace_ != nullptr) std::fclose(trace_);
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
  const std::string& tracePath = created->options_.tracePath;
  if (!tracePath.empty()) {
    created->trace_ = std::fopen(tracePath.c_str(), "wb");
    if (created->trace_ == nullptr) {
      *error = "virtual device trace file '" + tracePath + "' cannot be created";
      return false;
    }
  }
  *device = std::move(created);
  return true;
}

CDfuDevice::BusPosition CDfuDevice::Position() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {present_, dfuMode_, attachment_};
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

std::vector<SimRequestRecord> CDfuDevice::RequestLog() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

uint32_t CDfuDevice::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requestCount_;
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

void CDfuDevice::Arrive(std::vector<SimBusChange>* changes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!waitingToArrive_) return;
  waitingToArrive_ = false;
  present_ = true;
  changes->push_back({true, dfuMode_, attachment_});
}

void CDfuDevice::ResetAfterLeave(std::vector<SimBusChange>* changes) {
  const SimAfterLeave after = options_.profile.afterLeave;
  LeaveBus(after != SimAfterLeave::kGone, changes, after != SimAfterLeave::kApplication);
}

void CDfuDevice::LeaveBus(bool comesBack, std::vector<SimBusChange>* changes, bool backInDfuMode) {
  changes->push_back({false, dfuMode_, attachment_});
  present_ = false;
  pending_ = PendingOperation();
  if (!comesBack) return;
  // Back on the bus, as a new appearance with a new path.
  attachment_ += std::max<uint32_t>(options_.attachmentStep, 1);
  present_ = true;
  dfuMode_ = backInDfuMode;
  state_ = dfuMode_ ? DFU_STATE_DFU_IDLE : DFU_STATE_APP_IDLE;
  status_ = DFU_STATUS_OK;
  alternate_ = 0;
  pointer_ = memories_.empty() ? 0 : memories_[0].BaseAddress();
  changes->push_back({true, dfuMode_, attachment_});
}

// ---------------------------------------------------------------------------
// Descriptors

std::vector<uint8_t> CDfuDevice::DeviceDescriptor() const {
  const SimProfile& p = options_.profile;
  return {18,
          1,
          0x00,
          0x02,  // USB 2.0
          0,
          0,
          0,
          64,
          static_cast<uint8_t>(p.vendor),
          static_cast<uint8_t>(p.vendor >> 8),
          static_cast<uint8_t>(p.product),
          static_cast<uint8_t>(p.product >> 8),
          static_cast<uint8_t>(p.device),
          static_cast<uint8_t>(p.device >> 8),
          SIM_STRING_MANUFACTURER,
          SIM_STRING_PRODUCT,
          SIM_STRING_SERIAL,
          1};
}

std::vector<uint8_t> CDfuDevice::ConfigurationDescriptor() const {
  const SimProfile& p = options_.profile;
  const uint8_t dfuInterface = DfuInterfaceNumber();
  std::vector<uint8_t> d = {9, 2, 0, 0, static_cast<uint8_t>(dfuInterface + 1), 1, 0, 0x80, 50};
  // A composite application's own interfaces come first.
  for (uint8_t n = 0; n < dfuInterface; ++n) d.insert(d.end(), {9, 4, n, 0, 0, USB_CLASS_VENDOR_SPECIFIC, 0, 0, 0});
  // In DFU mode every memory is one alternate setting of interface 0
  // (protocol 2); an application offers a single run-time interface
  // (protocol 1).
  size_t count = dfuMode_ ? p.alternates.size() : 1;
  for (size_t k = 0; k < count; ++k) {
    uint8_t iInterface = 0;
    if (dfuMode_ && p.alternates[k].hasString) {
      iInterface = static_cast<uint8_t>(SIM_STRING_FIRST_INTERFACE + k);
    }
    d.insert(d.end(), {9, 4, dfuInterface, static_cast<uint8_t>(k), 0, 0xFE, 1,
                       static_cast<uint8_t>(dfuMode_ ? 2 : 1), iInterface});
  }
  // The functional descriptor follows the last alternate setting.
  d.insert(d.end(),
           {9, 0x21, p.attributes, static_cast<uint8_t>(p.detachTimeout),
            static_cast<uint8_t>(p.detachTimeout >> 8), static_cast<uint8_t>(p.transferSize),
            static_cast<uint8_t>(p.transferSize >> 8), static_cast<uint8_t>(p.dfuVersion),
            static_cast<uint8_t>(p.dfuVersion >> 8)});
  d[2] = static_cast<uint8_t>(d.size());
  d[3] = static_cast<uint8_t>(d.size() >> 8);
  return d;
}

bool CDfuDevice::StringDescriptor(uint8_t index, std::vector<uint8_t>* descriptor) const {
  const SimProfile& p = options_.profile;
  descriptor->clear();
  switch (index) {
    case 0:
      // The table of languages: US English only.
      *descriptor = {4, 3, 0x09, 0x04};
      return true;
    case SIM_STRING_MANUFACTURER:
      AppendStringDescriptor(u"ZUVA", descriptor);
      return true;
    case SIM_STRING_PRODUCT:
      AppendStringDescriptor(p.hasDescription && !p.description.empty()
                                 ? SimUtf8ToUtf16(p.description)
                                 : u"Virtual DFU Device",
                             descriptor);
      return true;
    case SIM_STRING_SERIAL: {
      // "auto": one serial per device of the process or bus.
      char numbered[16];
      std::snprintf(numbered, sizeof numbered, "SIM%04u", static_cast<unsigned>(options_.index % 10000));
      AppendStringDescriptor(SimUtf8ToUtf16(p.serialAuto ? std::string(numbered) : p.serial), descriptor);
      return true;
    }
    default:
      break;
  }
  size_t k = index - SIM_STRING_FIRST_INTERFACE;
  if (!dfuMode_ || k >= p.alternates.size() || !p.alternates[k].hasString) return false;
  AppendStringDescriptor(SimUtf8ToUtf16(p.alternates[k].text), descriptor);
  return true;
}

uint8_t CDfuDevice::DfuInterfaceNumber() const { return dfuMode_ ? 0 : options_.profile.extraInterfaces; }

uint32_t CDfuDevice::UploadBlockSize() const {
  const SimProfile& p = options_.profile;
  return (p.attributes & DFU_ATTR_ACCELERATED_UPLOAD) != 0 ? SIM_ACCELERATED_BLOCK : p.transferSize;
}

// ---------------------------------------------------------------------------
// Requests

bool CDfuDevice::IoControl(uint32_t attachment, uint32_t code, const void* input,
                           uint32_t inputSize, void* output, uint32_t outputSize,
                           uint32_t* bytesReturned, std::vector<SimBusChange>* changes) {
  const auto* in = static_cast<const uint8_t*>(input);
  auto* out = static_cast<uint8_t*>(output);
  if (in == nullptr) inputSize = 0;
  if (out == nullptr) outputSize = 0;
  if (bytesReturned != nullptr) *bytesReturned = 0;

  Exchange exchange;
  uint64_t busMicros = 0;
  bool completed = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    SimRequestRecord& record = exchange.record;
    record.number = ++requestCount_;
    // Name and arguments first, so that a request that never reaches the
    // device is still logged as what it was.
    switch (code) {
      case IOCTL_DFU_GET_DEVICE_DESCRIPTOR:
        record.name = "GET_DEVICE_DESCRIPTOR";
        break;
      case IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR:
        record.name = "GET_CONFIGURATION_DESCRIPTOR";
        record.args = {inputSize >= 1 ? in[0] : 0u};
        break;
      case IOCTL_DFU_GET_STRING_DESCRIPTOR:
        record.name = "GET_STRING_DESCRIPTOR";
        record.args = {inputSize >= 1 ? in[0] : 0u,
                       inputSize >= 3 ? GetLe16(in + 1) : 0u};
        break;
      case IOCTL_DFU_SELECT_ALTERNATE_SETTING:
        record.name = "SELECT_ALTERNATE_SETTING";
        for (uint32_t i = 0; i < 3; ++i) record.args.push_back(i < inputSize ? in[i] : 0u);
        break;
      case IOCTL_DFU_CONTROL_REQUEST:
        if (inputSize >= CONTROL_REQUEST_HEADER_SIZE) {
          ControlRequestHeader header = DecodeControlRequestHeader(in);
          const char* name = DfuRequestName(header.request);
          record.name =
              name != nullptr ? name : SimJoin({"REQUEST_", std::to_string(header.request)});
          record.args = {header.value, header.index, header.length};
          if (header.direction != CONTROL_DIRECTION_DEVICE_TO_HOST) {
            uint32_t available = inputSize - CONTROL_REQUEST_HEADER_SIZE;
            uint32_t kept = std::min<uint32_t>(
                {header.length, available, static_cast<uint32_t>(SIM_LOGGED_DATA_BYTES)});
            record.data.assign(in + CONTROL_REQUEST_HEADER_SIZE,
                               in + CONTROL_REQUEST_HEADER_SIZE + kept);
          }
        } else {
          record.name = "CONTROL_REQUEST";
        }
        break;
      default:
        record.name = "UNKNOWN_IOCTL";
        record.args = {code};
        break;
    }

    // The device vanishes just before the planned request.
    if (present_ && options_.faults.At(SimFaultKind::kUnplug, record.number) != nullptr) {
      LeaveBus(false, changes);
    }
    if (!present_ || attachment != attachment_) {
      record.outcome = SimOutcome::kGone;
    } else if (options_.faults.At(SimFaultKind::kStall, record.number) != nullptr) {
      // A planned stall hits the device as a stalled request would: a class
      // request leaves it in dfuERROR.
      if (code == IOCTL_DFU_CONTROL_REQUEST) Stall();
      record.outcome = SimOutcome::kStall;
    } else {
      if (code == IOCTL_DFU_CONTROL_REQUEST) {
        completed = HandleControlRequest(in, inputSize, out, outputSize, &exchange, changes);
      } else {
        completed = HandleDescriptorRequest(code, in, inputSize, out, outputSize, &exchange);
      }
      record.outcome = completed ? SimOutcome::kOk : SimOutcome::kStall;
    }
    if (options_.profile.timing == SimTiming::kReal && record.outcome != SimOutcome::kGone) {
      busMicros = DFU_REQUEST_BASE_MICROS + exchange.dataBytes * DFU_REQUEST_MICROS_PER_KIB / 1024;
    }
    if (!completed) exchange.returned = 0;
    Record(&exchange);
  }
  // The bus time is spent inside the request, without holding the device.
  if (busMicros != 0) clock_->SleepMicros(busMicros);
  if (bytesReturned != nullptr) *bytesReturned = exchange.returned;
  return completed;
}

void CDfuDevice::Record(Exchange* exchange) {
  SimRequestRecord& record = exchange->record;
  std::string line = SimJoin({std::to_string(record.number), " ", record.name});
  for (uint32_t arg : record.args) line += SimJoin({" ", std::to_string(arg)});
  line += " -> ";
  switch (record.outcome) {
    case SimOutcome::kOk:
      line += "ok";
      if (exchange->reportsStatus) {
        line += SimJoin({" status=", std::to_string(record.status), " state=",
                         std::to_string(record.state), " poll=", std::to_string(record.poll)});
      } else if (exchange->reportsState) {
        line += SimJoin({" state=", std::to_string(record.state)});
      }
      break;
    case SimOutcome::kStall:
      line += "stall";
      break;
    case SimOutcome::kGone:
      line += "gone";
      break;
  }
  record.line = line;
  if (trace_ != nullptr) {
    std::fputs(line.c_str(), trace_);
    std::fputc('\n', trace_);
    // Flushed line by line, so the trace survives a process that ends badly.
    std::fflush(trace_);
  }
  log_.push_back(std::move(record));
}

bool CDfuDevice::HandleDescriptorRequest(uint32_t code, const uint8_t* input, uint32_t inputSize,
                                         uint8_t* output, uint32_t outputSize, Exchange* exchange) {
  std::vector<uint8_t> descriptor;
  switch (code) {
    case IOCTL_DFU_GET_DEVICE_DESCRIPTOR:
      descriptor = DeviceDescriptor();
      break;
    case IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR:
      // One configuration, index 0.
      if (inputSize < 1 || input[0] != 0) return false;
      descriptor = ConfigurationDescriptor();
      break;
    case IOCTL_DFU_GET_STRING_DESCRIPTOR:
      if (inputSize < 3 || !StringDescriptor(input[0], &descriptor)) return false;
      break;
    case IOCTL_DFU_SELECT_ALTERNATE_SETTING: {
      size_t count = dfuMode_ ? options_.profile.alternates.size() : 1;
      if (inputSize < 3 || input[0] != 0 || input[1] != DfuInterfaceNumber() || input[2] >= count) return false;
      alternate_ = input[2];
      return true;
    }
    default:
      return false;
  }
  // The driver hands back as much as the caller's buffer holds.
  uint32_t count = std::min<uint32_t>(static_cast<uint32_t>(descriptor.size()), outputSize);
  if (count > 0) std::memcpy(output, descriptor.data(), count);
  exchange->returned = count;
  exchange->dataBytes = count;
  return true;
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

bool CDfuDevice::HandleControlRequest(const uint8_t* input, uint32_t inputSize, uint8_t* output,
                                      uint32_t outputSize, Exchange* exchange,
                                      std::vector<SimBusChange>* changes) {
  // Buffers that do not match the header are refused by the driver; the
  // device never sees them.
  if (inputSize < CONTROL_REQUEST_HEADER_SIZE) return false;
  ControlRequestHeader header = DecodeControlRequestHeader(input);
  if (header.requestKind != CONTROL_REQUEST_KIND_CLASS_INTERFACE) return false;
  const bool toHost = header.direction == CONTROL_DIRECTION_DEVICE_TO_HOST;
  if (header.direction > 1 || header.length > 0xFFFF) return false;
  if (toHost ? outputSize < header.length
             : inputSize - CONTROL_REQUEST_HEADER_SIZE < header.length) {
    return false;
  }
  exchange->dataBytes = header.length;
  const bool wantsToHost = header.request == DFU_REQUEST_UPLOAD ||
                           header.request == DFU_REQUEST_GETSTATUS ||
                           header.request == DFU_REQUEST_GETSTATE;
  // Requests to another interface than the DFU one, in the wrong direction
  // or unknown to DFU stall.
  if ((header.index & 0xFF) != DfuInterfaceNumber() || wantsToHost != toHost || header.request > DFU_REQUEST_ABORT) {
    return Stall();
  }
  const uint8_t* data = input + CONTROL_REQUEST_HEADER_SIZE;
  if (dfuMode_) {
    return HandleDfuModeRequest(header.request, header.value, header.length, data, output, exchange,
                                changes);
  }
  return HandleAppModeRequest(header.request, header.value, header.length, output, exchange,
                              changes);
}

void CDfuDevice::AnswerStatus(uint8_t status, uint32_t poll, uint8_t state, uint32_t length,
                              uint8_t* output, Exchange* exchange) {
  poll = std::min(poll, DFU_MAX_POLL_TIMEOUT_MS);
  const uint8_t answer[6] = {status,
                             static_cast<uint8_t>(poll),
                             static_cast<uint8_t>(poll >> 8),
                             static_cast<uint8_t>(poll >> 16),
                             state,
                             0};
  uint32_t count = std::min<uint32_t>(6, length);
  if (count > 0) std::memcpy(output, answer, count);
  exchange->returned = count;
  exchange->reportsStatus = true;
  exchange->record.status = status;
  exchange->record.state = state;
  exchange->record.poll = poll;
}

bool CDfuDevice::HandleAppModeRequest(uint8_t request, uint16_t value, uint32_t length,
                                      uint8_t* output, Exchange* exchange,
                                      std::vector<SimBusChange>* changes) {
  const SimProfile& p = options_.profile;
  // Without a bus reset within the detach time-out the application carries on.
  if (state_ == DFU_STATE_APP_DETACH && clock_->NowMicros() >= detachUntil_) {
    state_ = DFU_STATE_APP_IDLE;
  }
  switch (request) {
    case DFU_REQUEST_DETACH:
      if (state_ != DFU_STATE_APP_IDLE) return Stall();
      if ((p.attributes & DFU_ATTR_WILL_DETACH) != 0) {
        // The device detaches by itself and comes back in DFU mode.
        LeaveBus(true, changes);
      } else {
        state_ = DFU_STATE_APP_DETACH;
        detachUntil_ = clock_->NowMicros() +
                       static_cast<uint64_t>(std::min<uint16_t>(value, p.detachTimeout)) * 1000;
      }
      return true;
    case DFU_REQUEST_GETSTATUS: {
      if (const SimFault* fault =
              options_.faults.At(SimFaultKind::kStatus, exchange->record.number)) {
        AnswerStatus(fault->status, 0, fault->state, length, output, exchange);
        return true;
      }
      AnswerStatus(status_, 0, state_, length, output, exchange);
      return true;
    }
    case DFU_REQUEST_GETSTATE:
      if (length > 0) output[0] = state_;
      exchange->returned = std::min<uint32_t>(1, length);
      exchange->reportsState = true;
      exchange->record.state = state_;
      return true;
    default:
      return Stall();
  }
}

bool CDfuDevice::HandleDfuModeRequest(uint8_t request, uint16_t value, uint32_t length,
                                      const uint8_t* data, uint8_t* output, Exchange* exchange,
                                      std::vector<SimBusChange>* changes) {
  // Once the poll time-out has run out the device is in dfuDNLOAD-SYNC with
  // its work done, waiting for the status request that reports it.
  if (state_ == DFU_STATE_DNBUSY && clock_->NowMicros() >= busyUntil_) {
    state_ = DFU_STATE_DNLOAD_SYNC;
  }
  switch (request) {
    case DFU_REQUEST_GETSTATUS:
      return GetStatusInDfuMode(length, output, exchange, changes);
    case DFU_REQUEST_GETSTATE:
      if (state_ == DFU_STATE_DNBUSY) return Stall();
      if (length > 0) output[0] = state_;
      exchange->returned = std::min<uint32_t>(1, length);
      exchange->reportsState = true;
      exchange->record.state = state_;
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
      return Download(value, length, data, changes);
    case DFU_REQUEST_UPLOAD:
      return Upload(value, length, output, exchange);
    default:
      // DETACH belongs to application mode.
      return Stall();
  }
}

bool CDfuDevice::Download(uint16_t block, uint32_t length, const uint8_t* data,
                          std::vector<SimBusChange>* changes) {
  const SimProfile& p = options_.profile;
  if ((state_ != DFU_STATE_DFU_IDLE && state_ != DFU_STATE_DNLOAD_IDLE) ||
      (p.attributes & DFU_ATTR_CAN_DNLOAD) == 0) {
    return Stall();
  }
  if (length == 0) {
    // A device that resets at the leave request is gone before the host can
    // ask for its status.
    if (p.leaveReset) {
      state_ = DFU_STATE_MANIFEST_WAIT_RESET;
      ResetAfterLeave(changes);
      return true;
    }
    // The end of a download, and the DfuSe leave request from dfuIDLE: the
    // status request that follows starts manifestation.
    state_ = DFU_STATE_MANIFEST_SYNC;
    return true;
  }
  if (length > p.transferSize) return Stall();
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
  } else if (block == 0) {
    // A DfuSe command: its code, then a 32-bit little-endian address, or the
    // erase code alone for a mass erase.
    uint32_t address = length == 5
                           ? GetLe32(data + 1)
                           : 0;
    if (data[0] == DFUSE_CMD_SET_ADDRESS && length == 5) {
      operation.kind = PendingOperation::Kind::kSetPointer;
    } else if (data[0] == DFUSE_CMD_ERASE && length == 5) {
      operation.kind = PendingOperation::Kind::kErase;
    } else if (data[0] == DFUSE_CMD_ERASE && length == 1) {
      operation.kind = PendingOperation::Kind::kMassErase;
    } else if (data[0] == DFUSE_CMD_READ_UNPROTECT && length == 1) {
      operation.kind = PendingOperation::Kind::kReadUnprotect;
    } else {
      return Stall();
    }
    operation.address = address;
  } else if (block == 1) {
    // Block 1 has no meaning: commands travel in block 0, data from block 2.
    return Stall();
  } else {
    operation.kind = PendingOperation::Kind::kProgram;
    operation.address = pointer_ + static_cast<uint32_t>(block - 2) * p.transferSize;
    operation.data.assign(data, data + length);
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

bool CDfuDevice::Upload(uint16_t block, uint32_t length, uint8_t* output, Exchange* exchange) {
  const SimProfile& p = options_.profile;
  if ((state_ != DFU_STATE_DFU_IDLE && state_ != DFU_STATE_UPLOAD_IDLE) ||
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
  uint32_t count = 0;
  if (SimIsPlainDfu(p)) {
    // The memory from its start; past its end a block comes back short.
    if (state_ == DFU_STATE_DFU_IDLE) plainBlocks_ = 0;
    if (block != static_cast<uint16_t>(plainBlocks_) || alternate_ >= memories_.size()) return Stall();
    const CSimMemory& memory = memories_[alternate_];
    const uint64_t offset = plainBlocks_ * blockSize;
    if (offset < memory.Size()) {
      size_t got = 0;
      if (memory.Read(static_cast<uint32_t>(offset), length, output, &got) != SimMemoryResult::kOk) {
        return Stall();
      }
      count = static_cast<uint32_t>(got);
    }
    plainBlocks_ += 1;
  } else if (block == 0) {
    // DfuSe block 0 lists the commands the device supports.
    const uint8_t commands[3] = {0x00, DFUSE_CMD_SET_ADDRESS, DFUSE_CMD_ERASE};
    count = std::min<uint32_t>(3, length);
    std::memcpy(output, commands, count);
  } else if (block == 1) {
    return Stall();
  } else {
    // Blocks are placed by their number, so a short last block reads from
    // the right place.
    const uint32_t address = pointer_ + static_cast<uint32_t>(block - 2) * blockSize;
    if (alternate_ >= memories_.size()) return Stall();
    size_t got = 0;
    if (memories_[alternate_].Read(address, length, output, &got) != SimMemoryResult::kOk) {
      return Stall();
    }
    count = static_cast<uint32_t>(got);
  }
  // A short frame ends the upload.
  state_ = count < length ? DFU_STATE_DFU_IDLE : DFU_STATE_UPLOAD_IDLE;
  exchange->returned = count;
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

bool CDfuDevice::GetStatusInDfuMode(uint32_t length, uint8_t* output, Exchange* exchange,
                                    std::vector<SimBusChange>* changes) {
  const uint64_t now = clock_->NowMicros();
  if (const SimFault* fault = options_.faults.At(SimFaultKind::kStatus, exchange->record.number)) {
    // The planned status replaces whatever the device was about to do.
    pending_ = PendingOperation();
    state_ = fault->state;
    status_ = fault->status;
    busyUntil_ = now;
    statusAfterBusy_ = DFU_STATUS_OK;
    AnswerStatus(status_, 0, state_, length, output, exchange);
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
          AnswerStatus(status_, Announced(busyMs), DFU_STATE_DNBUSY, length, output, exchange);
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
          AnswerStatus(status_, Announced(busyMs), state_, length, output, exchange);
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
      AnswerStatus(status_, Announced(CeilDiv(busyUntil_ - now, 1000)), state_, length, output, exchange);
      return true;
    case DFU_STATE_MANIFEST_SYNC:
      AnswerStatus(status_, 0, DFU_STATE_MANIFEST, length, output, exchange);
      if ((options_.profile.attributes & DFU_ATTR_MANIFESTATION_TOLERANT) != 0) {
        state_ = DFU_STATE_MANIFEST;
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
  AnswerStatus(status_, 0, state_, length, output, exchange);
  return true;
}
