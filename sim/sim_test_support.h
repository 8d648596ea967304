// Test helpers: DFU class requests built into driver I/O-control requests and
// sent either through the driver front to a device or through the driver
// port.
#ifndef ZUVA_SIM_SIM_TEST_SUPPORT_H_
#define ZUVA_SIM_SIM_TEST_SUPPORT_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/driver_port.h"
#include "protocol/byte_order.h"
#include "protocol/driver_requests.h"
#include "sim/driver_front.h"
#include "sim/sim_recorder.h"

using SimIoctlSender =
    std::function<bool(uint32_t code, const void* input, uint32_t inputSize, void* output,
                       uint32_t outputSize, uint32_t* bytesReturned)>;

struct SimStatusAnswer {
  uint8_t status = 0xEE;
  uint32_t poll = 0;
  uint8_t state = 0xEE;
};

// The input of a driver control request: the header of a DFU class request,
// then the data stage (host-to-device) or as many zero bytes (device-to-host).
inline std::vector<uint8_t> SimClassRequestInput(uint8_t request, bool toHost, uint16_t value,
                                                 uint16_t index, const std::vector<uint8_t>& data,
                                                 uint32_t length) {
  ControlRequestHeader header;
  header.direction = toHost ? CONTROL_DIRECTION_DEVICE_TO_HOST : CONTROL_DIRECTION_HOST_TO_DEVICE;
  header.request = request;
  header.value = value;
  header.index = index;
  header.length = length;
  std::vector<uint8_t> input(CONTROL_REQUEST_HEADER_SIZE);
  EncodeControlRequestHeader(header, input.data());
  if (toHost) {
    input.resize(input.size() + length, 0);
  } else {
    input.insert(input.end(), data.begin(), data.end());
  }
  return input;
}

class CDfuRequester {
 public:
  explicit CDfuRequester(SimIoctlSender send) : send_(std::move(send)) {}

  // Through the driver front to the device, as a connection on `attachment`
  // would send it.
  static CDfuRequester ToModel(CSimRecorder* recorder, uint32_t attachment = 0,
                               std::vector<SimBusChange>* changes = nullptr) {
    return CDfuRequester([=](uint32_t code, const void* in, uint32_t inSize, void* out,
                             uint32_t outSize, uint32_t* returned) {
      std::vector<SimBusChange> ignored;
      return SimAnswerDriverRequest(recorder, attachment, code, in, inSize, out, outSize,
                                    returned, changes != nullptr ? changes : &ignored);
    });
  }
  // Through the driver port, on an open handle.
  static CDfuRequester ToHandle(DriverHandle handle) {
    return CDfuRequester([=](uint32_t code, const void* in, uint32_t inSize, void* out,
                             uint32_t outSize, uint32_t* returned) {
      return DriverIoControl(handle, code, in, inSize, out, outSize, returned);
    });
  }

  bool Ioctl(uint32_t code, const std::vector<uint8_t>& input, std::vector<uint8_t>* output,
             uint32_t outputSize) {
    std::vector<uint8_t> buffer(outputSize);
    uint32_t returned = 0xFFFF;
    bool ok = send_(code, input.data(), static_cast<uint32_t>(input.size()),
                    outputSize != 0 ? buffer.data() : nullptr, outputSize, &returned);
    if (output != nullptr) {
      buffer.resize(ok ? std::min(returned, outputSize) : 0);
      *output = buffer;
    }
    return ok;
  }

  // One class request; device-to-host answers land in *answer.
  bool Request(uint8_t request, bool toHost, uint16_t value, uint16_t index,
               const std::vector<uint8_t>& data, uint32_t length,
               std::vector<uint8_t>* answer = nullptr) {
    return Ioctl(IOCTL_DFU_CONTROL_REQUEST,
                 SimClassRequestInput(request, toHost, value, index, data, length), answer,
                 toHost ? length : 0);
  }

  bool Detach(uint16_t timeout = 5000) {
    return Request(DFU_REQUEST_DETACH, false, timeout, 0, {}, 0);
  }
  bool Dnload(uint16_t block, const std::vector<uint8_t>& data) {
    return Request(DFU_REQUEST_DNLOAD, false, block, 0, data, static_cast<uint32_t>(data.size()));
  }
  bool Upload(uint16_t block, uint32_t length, std::vector<uint8_t>* data) {
    return Request(DFU_REQUEST_UPLOAD, true, block, 0, {}, length, data);
  }
  bool GetStatus(SimStatusAnswer* answer) {
    std::vector<uint8_t> bytes;
    if (!Request(DFU_REQUEST_GETSTATUS, true, 0, 0, {}, 6, &bytes) || bytes.size() != 6) {
      return false;
    }
    answer->status = bytes[0];
    answer->poll = GetLe24(bytes.data() + 1);
    answer->state = bytes[4];
    return true;
  }
  // The state from GETSTATUS, 0xEE when the request fails.
  uint8_t StatusState() {
    SimStatusAnswer answer;
    return GetStatus(&answer) ? answer.state : 0xEE;
  }
  bool GetState(uint8_t* state) {
    std::vector<uint8_t> bytes;
    if (!Request(DFU_REQUEST_GETSTATE, true, 0, 0, {}, 1, &bytes) || bytes.size() != 1) {
      return false;
    }
    *state = bytes[0];
    return true;
  }
  bool ClrStatus() { return Request(DFU_REQUEST_CLRSTATUS, false, 0, 0, {}, 0); }
  bool Abort() { return Request(DFU_REQUEST_ABORT, false, 0, 0, {}, 0); }

  static std::vector<uint8_t> Command(uint8_t code, uint32_t address) {
    return {code, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
            static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)};
  }
  // A DfuSe command or data block followed by status polls until the device
  // is no longer busy; the final answer goes to *last.
  bool DnloadAndSettle(uint16_t block, const std::vector<uint8_t>& data,
                       SimStatusAnswer* last = nullptr) {
    SimStatusAnswer answer;
    if (!Dnload(block, data) || !GetStatus(&answer)) return false;
    for (int i = 0; i < 1000 && answer.state == DFU_STATE_DNBUSY; ++i) {
      if (!GetStatus(&answer)) return false;
    }
    if (last != nullptr) *last = answer;
    return answer.state == DFU_STATE_DNLOAD_IDLE && answer.status == DFU_STATUS_OK;
  }
  bool SetAddress(uint32_t address) { return DnloadAndSettle(0, Command(0x21, address)); }
  bool Erase(uint32_t address) { return DnloadAndSettle(0, Command(0x41, address)); }

 private:
  SimIoctlSender send_;
};

// A clock that only moves when the device sleeps or the test advances it.
// Slept() counts the sleeps asked for; each sleep may move the clock by more
// (OversleepBy), as a host's sleep that wakes up late.
class CFakeSimClock : public CSimClock {
 public:
  uint64_t NowMicros() override { return now_; }
  void SleepMicros(uint64_t micros) override {
    now_ += micros + oversleep_;
    slept_ += micros;
  }
  void Advance(uint64_t micros) { now_ += micros; }
  void OversleepBy(uint64_t micros) { oversleep_ = micros; }
  uint64_t Slept() const { return slept_; }

 private:
  std::atomic<uint64_t> now_{1000000};
  std::atomic<uint64_t> slept_{0};
  std::atomic<uint64_t> oversleep_{0};
};

#endif  // ZUVA_SIM_SIM_TEST_SUPPORT_H_
