// Runs the engine's operations against a device whose every answer the
// fuzzer's bytes choose: a request succeeds with data of any length, stalls,
// or finds the device gone (for a while or for good); a status carries any
// state, status and poll time-out. The bytes after the setup are the answers
// in turn, and they start over when used up, so a short input plays a device
// that misbehaves for ever (alternating busy and error, dfuIDLE to
// everything).
//
// The operations run step by step on this thread with a virtual clock, so an
// announced wait costs nothing. Beyond the sanitizers, each run checks:
//   - the operation ends within a bounded number of requests, steps and
//     announced time;
//   - an operation that reports success never did so over an answer that
//     contradicts it: a finished download had every block taken by the
//     device (its status after the block was a clean dfuDNLOAD-IDLE) at the
//     block's address; a finished erase had every element's erase command
//     taken; a finished upload holds exactly the bytes the device sent for
//     each address, so a verify that compares them sees what the device
//     holds; a finished mass erase had its command taken.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/guid.h"
#include "device/device_manager.h"
#include "device/fake_driver_test_support.h"
#include "operations/detach_thread.h"
#include "operations/dfuse_command.h"
#include "operations/download_thread.h"
#include "operations/engine_clock.h"
#include "operations/operations.h"
#include "operations/plain_download_thread.h"
#include "operations/plain_upload_thread.h"
#include "operations/upload_thread.h"
#include "protocol/dfu.h"

namespace {

// The operations the setup byte chooses from.
enum class FuzzOperation {
  kErase,
  kDownload,
  kUpload,
  kPlainDownload,
  kPlainUpload,
  kLeave,
  kDetach,
  kDetachReset,
  kMassErase,
  kReadUnprotect,
  kCount
};

constexpr size_t SETUP_BYTES = 6;
constexpr uint32_t FIRST_ADDRESS = 0x08000000;
constexpr uint32_t ELEMENT_STRIDE = 0x1000;
// A short busy limit keeps a run that polls a device busy for ever cheap;
// the bound it sets is the same whatever its length.
constexpr uint32_t FUZZ_BUSY_LIMIT_MS = 200;
// The longest single wait the engine may take on a device's word: the
// largest poll time-out a status can announce.
constexpr uint64_t LONGEST_ANNOUNCED_WAIT_MS = 0xFFFFFF;

void Fault(const char* what) {
  std::fprintf(stderr, "conversation fault: %s\n", what);
  std::abort();
}

// The answer bytes, read in a circle.
class CAnswerScript {
 public:
  CAnswerScript(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Next() {
    if (size_ == 0) return 0;
    const uint8_t byte = data_[at_ % size_];
    ++at_;
    return byte;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// What the device's flash holds before anything is written.
uint8_t InitialByte(uint32_t address) { return static_cast<uint8_t>((address * 31u >> 3) ^ 0x5A); }

// A state byte: the DFU states most of the time, any value at times.
uint8_t StateFrom(uint8_t byte) {
  if (byte < 0xE0) return static_cast<uint8_t>(byte % 11);
  if (byte < 0xF0) return STATE_UPLOAD_BUSY;
  return byte;
}

uint32_t PollTimeoutFrom(uint8_t byte) {
  if (byte < 0x80) return byte & 0x0F;
  if (byte < 0xC0) return (byte & 0x3Fu) * 50;
  if (byte < 0xF0) return (byte & 0x0Fu) * 4000;
  return 0xFFFFFF;
}

// The device's side of the conversation: it answers as the script says and
// keeps what its answers committed it to.
class CScriptedDevice {
 public:
  CScriptedDevice(CAnswerScript* script, uint32_t blockSize, bool plain)
      : script_(script), blockSize_(blockSize), plain_(plain) {}

  // A request that reached the device; false fails it. With
  // CONVERSATION_TRACE set, each goes to the standard error with its answer.
  bool Answer(const ControlRequestHeader& header, const std::vector<uint8_t>& dataOut,
              std::vector<uint8_t>* reply) {
    const bool answered = AnswerAsScripted(header, dataOut, reply);
    static const bool trace = std::getenv("CONVERSATION_TRACE") != nullptr;
    if (trace) {
      std::fprintf(stderr, "%llu request %u value %u length %u ->", static_cast<unsigned long long>(requests),
                   header.request, header.value, header.length);
      if (!answered) std::fprintf(stderr, gone ? " gone" : " stall");
      if (answered) {
        for (uint8_t byte : *reply) std::fprintf(stderr, " %02X", byte);
      }
      std::fprintf(stderr, "\n");
    }
    return answered;
  }

  bool AnswerAsScripted(const ControlRequestHeader& header, const std::vector<uint8_t>& dataOut,
                        std::vector<uint8_t>* reply) {
    ++requests;
    const uint8_t how = script_->Next();
    const uint8_t kind = how & 0x07;
    if (kind == 6) {
      // Gone: for a number of engine steps, or (0) for good.
      goneSteps = script_->Next() % 8;
      goneForGood = goneSteps == 0;
      gone = true;
      return false;
    }
    if (kind == 5) return false;  // stall
    const bool odd = kind == 4;
    switch (header.request) {
      case DFU_REQUEST_DNLOAD:
        return Download(header, dataOut);
      case DFU_REQUEST_UPLOAD:
        return Upload(header, odd, (how & 0x08) != 0, reply);
      case DFU_REQUEST_GETSTATUS:
        return Status(odd, reply);
      case DFU_REQUEST_GETSTATE: {
        const uint8_t state = StateFrom(script_->Next());
        *reply = {state};
        if (odd) reply->resize(script_->Next() % 3);
        if (reply->size() > 1) return false;
        if (reply->size() == 1) StateSeen(state);
        return true;
      }
      case DFU_REQUEST_DETACH:
        pending_ = {};
        detachTaken = true;
        // The device leaves the bus to come back in DFU mode.
        gone = true;
        goneForGood = false;
        goneSteps = 1 + script_->Next() % 8;
        return true;
      default:  // CLRSTATUS, ABORT
        pending_ = {};
        return true;
    }
  }

  // Runs between engine steps: a device that left comes back after its
  // steps. True when it came back just now.
  bool Tick() {
    if (!gone || goneForGood) return false;
    if (goneSteps > 0) --goneSteps;
    if (goneSteps != 0) return false;
    gone = false;
    return true;
  }

  uint64_t requests = 0;
  bool gone = false;
  bool goneForGood = false;
  uint32_t goneSteps = 0;
  bool detachTaken = false;
  bool massEraseTaken = false;
  // The read-unprotect command reached the device (its request completed).
  bool unprotectReceived = false;
  std::set<uint32_t> erased;               // addresses of erase commands taken
  std::map<uint32_t, uint8_t> written;     // bytes of download blocks taken
  std::map<uint32_t, uint8_t> delivered;   // bytes the device sent last, by address
  uint32_t plainBase = FIRST_ADDRESS;

 private:
  struct Pending {
    enum Kind { kNone, kErase, kSetAddress, kWrite, kMassErase } kind = kNone;
    uint32_t address = 0;
    std::vector<uint8_t> data;
  };

  bool Download(const ControlRequestHeader& header, const std::vector<uint8_t>& dataOut) {
    pending_ = {};
    const uint16_t block = static_cast<uint16_t>(header.value);
    if (plain_) {
      if (!dataOut.empty()) {
        pending_ = {Pending::kWrite, plainBase + uint32_t{block} * blockSize_, dataOut};
      }
      return true;
    }
    if (block == 0) {
      if (dataOut.size() == 1 && dataOut[0] == DFUSE_CMD_ERASE) {
        pending_.kind = Pending::kMassErase;
      } else if (dataOut.size() == 1 && dataOut[0] == DFUSE_CMD_READ_UNPROTECT) {
        unprotectReceived = true;
      } else if (dataOut.size() == 5 && (dataOut[0] == DFUSE_CMD_ERASE || dataOut[0] == DFUSE_CMD_SET_ADDRESS)) {
        pending_.kind = dataOut[0] == DFUSE_CMD_ERASE ? Pending::kErase : Pending::kSetAddress;
        pending_.address = uint32_t{dataOut[1]} | uint32_t{dataOut[2]} << 8 | uint32_t{dataOut[3]} << 16 |
                           uint32_t{dataOut[4]} << 24;
      }
      return true;
    }
    if (block >= 2 && !dataOut.empty()) {
      pending_ = {Pending::kWrite, pointer_ + uint32_t{block - 2u} * blockSize_, dataOut};
    }
    return true;
  }

  bool Upload(const ControlRequestHeader& header, bool odd, bool corrupt, std::vector<uint8_t>* reply) {
    pending_ = {};
    const uint16_t block = static_cast<uint16_t>(header.value);
    uint32_t address = 0;
    if (plain_) {
      address = plainBase + uint32_t{block} * blockSize_;
    } else if (block >= 2) {
      address = pointer_ + uint32_t{block - 2u} * blockSize_;
    } else {
      return false;  // the DfuSe command blocks carry no upload
    }
    size_t length = header.length;
    if (odd) {
      // Shorter or longer than asked.
      const uint8_t change = script_->Next();
      length = (change & 0x80) != 0 ? length + 1 + (change & 0x0F) : length - std::min<size_t>(length, change & 0x7F);
    }
    reply->assign(length, 0);
    for (size_t i = 0; i < length; ++i) {
      const uint32_t at = address + static_cast<uint32_t>(i);
      auto found = written.find(at);
      (*reply)[i] = found != written.end() ? found->second : InitialByte(at);
    }
    if (corrupt && length != 0) (*reply)[script_->Next() % length] ^= 0x01;
    // More than asked for overflows the transfer.
    if (length > header.length) return false;
    for (size_t i = 0; i < length; ++i) delivered[address + static_cast<uint32_t>(i)] = (*reply)[i];
    return true;
  }

  bool Status(bool odd, std::vector<uint8_t>* reply) {
    const uint8_t statusByte = script_->Next();
    const uint8_t status = statusByte < 0xC0 ? DFU_STATUS_OK : static_cast<uint8_t>(statusByte & 0x0F);
    const uint8_t state = StateFrom(script_->Next());
    const uint32_t poll = PollTimeoutFrom(script_->Next());
    *reply = {status, static_cast<uint8_t>(poll), static_cast<uint8_t>(poll >> 8), static_cast<uint8_t>(poll >> 16),
              state, 0};
    if (odd) reply->resize(script_->Next() % 8);
    // More than asked for overflows the transfer; less is a short one.
    if (reply->size() > DFU_STATUS_SIZE) return false;
    if (reply->size() != DFU_STATUS_SIZE) return true;
    if (status != DFU_STATUS_OK) {
      pending_ = {};
      return true;
    }
    StateSeen(state);
    return true;
  }

  // A state the device reported: dfuDNLOAD-IDLE says the pending request is
  // done, busy states say it is under way, anything else that it is not.
  void StateSeen(uint8_t state) {
    if (state == DFU_STATE_DNBUSY || state == DFU_STATE_DNLOAD_SYNC) return;
    if (state == DFU_STATE_DNLOAD_IDLE) Commit();
    pending_ = {};
  }

  void Commit() {
    switch (pending_.kind) {
      case Pending::kErase:
        erased.insert(pending_.address);
        break;
      case Pending::kSetAddress:
        pointer_ = pending_.address;
        break;
      case Pending::kWrite:
        for (size_t i = 0; i < pending_.data.size(); ++i) {
          written[pending_.address + static_cast<uint32_t>(i)] = pending_.data[i];
        }
        break;
      case Pending::kMassErase:
        massEraseTaken = true;
        break;
      case Pending::kNone:
        break;
    }
  }

  CAnswerScript* script_;
  uint32_t blockSize_;
  bool plain_;
  uint32_t pointer_ = 0;
  Pending pending_;
};

// The fake backend, with a gone device left out of the listing.
class CConversationBackend : public CFakeDriverBackend {
 public:
  bool Enumerate(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces) override {
    if (device && device->gone) return true;
    return CFakeDriverBackend::Enumerate(interfaceClass, interfaces);
  }
  std::shared_ptr<CFakeDevice> device;
};

const char* const DEVICE_PATH = "fake:conversation";

CConversationBackend& Backend() {
  static std::shared_ptr<CConversationBackend> backend = [] {
    auto made = std::make_shared<CConversationBackend>();
    RegisterDriverBackend(made);
    CreateDevicesManager();
    SetBusyLimit(FUZZ_BUSY_LIMIT_MS);
    return made;
  }();
  return *backend;
}

struct Setup {
  FuzzOperation operation;
  bool fastPoll;
  bool skipBlank;
  bool removalEvents;  // the platform also announces the device's departure
  bool tolerantUpload;  // a DfuSe upload without status requests between blocks
  uint8_t attributes;
  uint16_t transferSize;
  std::vector<std::vector<uint8_t>> elements;
};

Setup ReadSetup(const uint8_t* bytes) {
  Setup setup;
  setup.operation = static_cast<FuzzOperation>(bytes[0] % static_cast<uint8_t>(FuzzOperation::kCount));
  setup.fastPoll = (bytes[0] & 0x40) != 0;
  setup.skipBlank = (bytes[0] & 0x80) != 0;
  setup.removalEvents = (bytes[1] & 0x10) != 0;
  setup.tolerantUpload = (bytes[1] & 0x20) != 0;
  setup.attributes = static_cast<uint8_t>(bytes[1] & 0x8F);
  static const uint16_t sizes[] = {1, 2, 7, 16, 64, 64, 128, 256};
  setup.transferSize = (bytes[2] & 0xF8) == 0xF8 ? 0 : sizes[bytes[2] & 7];
  const bool plain = setup.operation == FuzzOperation::kPlainDownload || setup.operation == FuzzOperation::kPlainUpload;
  const size_t count = plain ? 1 : 1 + bytes[3] % 3;
  for (size_t e = 0; e < count; ++e) {
    const size_t size = 1 + size_t{bytes[4 + e % 2]} * 2;
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) {
      // Some stretches blank, so that a download leaves blocks out.
      const bool blank = (bytes[3] & 0x80) != 0 && (i / 64) % 3 == 1;
      data[i] = blank ? 0xFF : static_cast<uint8_t>(bytes[5] + i * 7 + e);
    }
    setup.elements.push_back(std::move(data));
  }
  return setup;
}

OperationCode CodeOf(FuzzOperation operation) {
  switch (operation) {
    case FuzzOperation::kErase:
      return OP_CODE_ERASE;
    case FuzzOperation::kDownload:
      return OP_CODE_DOWNLOAD;
    case FuzzOperation::kUpload:
      return OP_CODE_UPLOAD;
    case FuzzOperation::kPlainDownload:
      return OP_CODE_PLAIN_DOWNLOAD;
    case FuzzOperation::kPlainUpload:
      return OP_CODE_PLAIN_UPLOAD;
    case FuzzOperation::kLeave:
      return OP_CODE_LEAVE_DFU;
    case FuzzOperation::kDetach:
      return OP_CODE_DETACH;
    case FuzzOperation::kMassErase:
      return OP_CODE_MASS_ERASE;
    case FuzzOperation::kReadUnprotect:
      return OP_CODE_READ_UNPROTECT;
    default:
      return OP_CODE_DETACH_RESET;
  }
}

std::unique_ptr<CDFUThread> Create(FuzzOperation operation, OperationContext* context) {
  switch (operation) {
    case FuzzOperation::kUpload:
      return std::make_unique<CUploadThread>(context);
    case FuzzOperation::kPlainDownload:
      return std::make_unique<CPlainDownloadThread>(context);
    case FuzzOperation::kPlainUpload:
      return std::make_unique<CPlainUploadThread>(context);
    case FuzzOperation::kLeave:
    case FuzzOperation::kDetach:
    case FuzzOperation::kDetachReset:
      return std::make_unique<CDetachThread>(context);
    case FuzzOperation::kMassErase:
    case FuzzOperation::kReadUnprotect:
      return std::make_unique<CDfuseCommandThread>(context);
    default:
      return std::make_unique<CDownloadThread>(context);
  }
}

uint32_t CeilDiv(uint32_t a, uint32_t b) { return b == 0 ? 0 : (a + b - 1) / b; }

// Checks what a finished operation claims against what the device said.
void CheckSuccess(const Setup& setup, const OperationContext& final, const CImage& image,
                  const std::vector<std::vector<uint8_t>>& source, const CScriptedDevice& device) {
  switch (setup.operation) {
    case FuzzOperation::kErase:
      for (size_t e = 0; e < source.size(); ++e) {
        if (device.erased.count(FIRST_ADDRESS + static_cast<uint32_t>(e) * ELEMENT_STRIDE) == 0) {
          Fault("an erase finished over an erase command the device did not take");
        }
      }
      break;
    case FuzzOperation::kDownload:
    case FuzzOperation::kPlainDownload:
      for (size_t e = 0; e < source.size(); ++e) {
        const uint32_t base = FIRST_ADDRESS + static_cast<uint32_t>(e) * ELEMENT_STRIDE;
        for (size_t i = 0; i < source[e].size(); ++i) {
          if (final.skipBlankBlocks != 0 && source[e][i] == 0xFF) continue;
          auto found = device.written.find(base + static_cast<uint32_t>(i));
          if (found == device.written.end() || found->second != source[e][i]) {
            Fault("a download finished over a block the device did not take");
          }
        }
      }
      break;
    case FuzzOperation::kUpload:
    case FuzzOperation::kPlainUpload:
      for (uint32_t e = 0; e < image.ElementCount(); ++e) {
        const ImageElement* element = image.ElementAt(e);
        uint64_t size = element->size;
        if (setup.operation == FuzzOperation::kPlainUpload) size = std::min<uint64_t>(size, PlainUploadedBytes(final));
        for (uint64_t i = 0; i < size; ++i) {
          const uint32_t at = element->address + static_cast<uint32_t>(i);
          auto found = device.delivered.find(at);
          if (found == device.delivered.end() || found->second != element->data[i]) {
            Fault("an upload finished with bytes the device did not send");
          }
        }
      }
      break;
    case FuzzOperation::kMassErase:
      if (!device.massEraseTaken) Fault("a mass erase finished over a refused command");
      break;
    case FuzzOperation::kReadUnprotect:
      // Its departure is its success only after the device took the command.
      if (!device.unprotectReceived) Fault("an unprotect finished over a command that never reached the device");
      break;
    default:
      break;
  }
}

// Runs one engine operation step by step to its end, moving the virtual
// clock on by every wait between steps, and checks its bounds and its claim.
void RunOperation(const Setup& setup, CAnswerScript* script, CVirtualEngineClock* clock, CFakeDevice* fake,
                  CScriptedDevice* scripted) {
  const bool plain = setup.operation == FuzzOperation::kPlainDownload || setup.operation == FuzzOperation::kPlainUpload;
  // A mass erase acts on the whole device: no image.
  const bool imageless =
      setup.operation == FuzzOperation::kMassErase || setup.operation == FuzzOperation::kReadUnprotect;
  std::vector<std::vector<uint8_t>> source = imageless ? std::vector<std::vector<uint8_t>>{} : setup.elements;
  CImage image;
  for (size_t e = 0; e < source.size(); ++e) {
    ImageElement element{FIRST_ADDRESS + static_cast<uint32_t>(e) * ELEMENT_STRIDE,
                         static_cast<uint32_t>(source[e].size()), source[e].data()};
    image.SetElement(static_cast<uint32_t>(e), 1, element);
  }
  // An upload fills a copy of its own.
  std::vector<std::vector<uint8_t>> target = source;
  CImage uploadImage;
  const bool upload = setup.operation == FuzzOperation::kUpload || setup.operation == FuzzOperation::kPlainUpload;
  if (upload) {
    for (size_t e = 0; e < target.size(); ++e) {
      std::fill(target[e].begin(), target[e].end(), 0xA5);
      ImageElement element{FIRST_ADDRESS + static_cast<uint32_t>(e) * ELEMENT_STRIDE,
                           static_cast<uint32_t>(target[e].size()), target[e].data()};
      uploadImage.SetElement(static_cast<uint32_t>(e), 1, element);
    }
  }

  OperationContext context{};
  CImage* const used = imageless ? nullptr : upload ? &uploadImage : &image;
  if (!NewOperationContext(CodeOf(setup.operation), used, DEVICE_PATH, &context)) {
    Fault("no record for the operation");
  }
  context.fastPoll = setup.fastPoll ? 1 : 0;
  context.tolerantUpload = setup.tolerantUpload && setup.operation == FuzzOperation::kUpload ? 1 : 0;
  context.skipBlankBlocks = setup.skipBlank && setup.operation == FuzzOperation::kDownload ? 1 : 0;
  std::unique_ptr<CDFUThread> operation = Create(setup.operation, &context);
  if (context.result == RESULT_OK) {
    *scripted = CScriptedDevice(script, context.blockSize, plain);
    uint32_t blocks = 0;
    for (const auto& element : source) blocks += CeilDiv(static_cast<uint32_t>(element.size()), context.blockSize);
    // Every command or block may be sent three times, each time with its
    // status, a state read and a clearing of errors, and polled busy for the
    // busy limit at one poll a millisecond at the least.
    const uint64_t units = blocks + 2 * source.size() + 8;
    const uint64_t requestBound = units * ((FUZZ_BUSY_LIMIT_MS + 2) * 16 + 64);
    const uint64_t stepBound = requestBound + 2 * OP_DETACH_POLL_LIMIT + 16;
    const uint64_t timeBound = units * (FUZZ_BUSY_LIMIT_MS + LONGEST_ANNOUNCED_WAIT_MS) +
                               OP_DETACH_SETTLE_ROUNDS * OP_DETACH_TIMING.settleSleepMs +
                               2 * OP_DETACH_POLL_LIMIT * uint64_t{OP_DETACH_TIMING.pollIntervalMs};
    auto* detach = dynamic_cast<CDetachThread*>(operation.get());
    uint64_t steps = 0;
    for (bool goOn = true; goOn;) {
      goOn = operation->Step();
      clock->Advance(operation->StepInterval());
      if (++steps > stepBound) Fault("the operation does not end");
      if (scripted->requests > requestBound) Fault("the operation sends requests without end");
      if (clock->ElapsedMs() > timeBound) Fault("the operation waits beyond its bound");
      // The fake's own log of requests is not needed here.
      fake->requests.clear();
      if (scripted->Tick()) {
        fake->gone = false;
        // The device comes back under the same path.
        if (detach != nullptr) detach->OnDeviceChange({DeviceChangeKind::kArrival, DFU_INTERFACE_GUID, DEVICE_PATH});
      } else if (scripted->gone && detach != nullptr && setup.removalEvents) {
        detach->OnDeviceChange({DeviceChangeKind::kRemoval, DFU_INTERFACE_GUID, DEVICE_PATH});
      }
      fake->gone = scripted->gone;
    }
    OperationContext final{};
    operation->ReadContext(&final);
    if (final.result == RESULT_OK && final.progress == 100) {
      CheckSuccess(setup, final, upload ? uploadImage : image, source, *scripted);
    }
  }
  operation->Halt();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < SETUP_BYTES) return 0;
  CConversationBackend& backend = Backend();
  const Setup setup = ReadSetup(data);
  const bool plain = setup.operation == FuzzOperation::kPlainDownload || setup.operation == FuzzOperation::kPlainUpload;
  CAnswerScript script(data + SETUP_BYTES, size - SETUP_BYTES);

  CVirtualEngineClock clock;
  SetVirtualEngineClock(&clock);
  SetDetachTiming(OP_DETACH_TIMING);

  std::shared_ptr<CFakeDevice> fake = backend.AddDevice("conversation");
  backend.device = fake;
  fake->configurations = {CConfigBuilder(1)
                              .Interface(0, 0, 0)
                              .Functional(setup.attributes, setup.transferSize, 0x011A)
                              .Build()};
  // The upload block size may differ from wTransferSize (accelerated
  // upload); the device learns the one in use once the operation exists.
  auto device = std::make_unique<CScriptedDevice>(&script, setup.transferSize, plain);
  CScriptedDevice* scripted = device.get();
  CFakeDevice* raw = fake.get();
  fake->control = [scripted, raw](const ControlRequestHeader& header, const std::vector<uint8_t>& dataOut,
                                   std::vector<uint8_t>* reply) {
    const bool answered = scripted->Answer(header, dataOut, reply);
    raw->gone = scripted->gone;
    return answered;
  };

  RunOperation(setup, &script, &clock, fake.get(), scripted);
  fake->control = nullptr;
  SetVirtualEngineClock(nullptr);
  backend.device = nullptr;
  return 0;
}
