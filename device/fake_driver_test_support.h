// A scripted driver backend for tests and fuzzers: crafted descriptor sets
// served under the prefix "fake:", every request recorded, control requests
// answered by a script. Header-only test support, not part of the library.
#ifndef ZUVA_DEVICE_FAKE_DRIVER_TEST_SUPPORT_H_
#define ZUVA_DEVICE_FAKE_DRIVER_TEST_SUPPORT_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/driver_port.h"
#include "protocol/driver_requests.h"

// Builds one configuration descriptor set; wTotalLength is the length of
// what was added unless set explicitly.
class CConfigBuilder {
 public:
  explicit CConfigBuilder(uint8_t numInterfaces, uint8_t configurationValue = 1) {
    bytes_ = {9, 0x02, 0, 0, numInterfaces, configurationValue, 0, 0x80, 50};
  }
  CConfigBuilder& Interface(uint8_t number, uint8_t alternate, uint8_t stringIndex) {
    return Raw({9, 0x04, number, alternate, 0, 0xFE, 0x01, 0x02, stringIndex});
  }
  CConfigBuilder& Functional(uint8_t attributes = 0x0B, uint16_t transferSize = 2048,
                             uint16_t version = 0x011A) {
    return Raw({9, 0x21, attributes, 0xFF, 0x00, static_cast<uint8_t>(transferSize),
                static_cast<uint8_t>(transferSize >> 8), static_cast<uint8_t>(version),
                static_cast<uint8_t>(version >> 8)});
  }
  CConfigBuilder& Endpoint() { return Raw({7, 0x05, 0x81, 0x02, 0x40, 0x00, 0}); }
  CConfigBuilder& Raw(const std::vector<uint8_t>& descriptor) {
    bytes_.insert(bytes_.end(), descriptor.begin(), descriptor.end());
    return *this;
  }
  CConfigBuilder& TotalLength(uint16_t total) {
    totalLength_ = total;
    return *this;
  }
  std::vector<uint8_t> Build() const {
    std::vector<uint8_t> out = bytes_;
    uint16_t total = totalLength_ >= 0 ? static_cast<uint16_t>(totalLength_)
                                       : static_cast<uint16_t>(out.size());
    out[2] = static_cast<uint8_t>(total);
    out[3] = static_cast<uint8_t>(total >> 8);
    return out;
  }

 private:
  std::vector<uint8_t> bytes_;
  int totalLength_ = -1;
};

// A USB string descriptor for ASCII text.
inline std::vector<uint8_t> FakeStringDescriptor(const std::string& text) {
  std::vector<uint8_t> out = {static_cast<uint8_t>(2 + 2 * text.size()), 0x03};
  for (char c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  return out;
}

// A standard device descriptor with `configurations` configurations.
inline std::vector<uint8_t> FakeDeviceDescriptor(uint8_t configurations = 1) {
  return {18, 0x01, 0x00, 0x02, 0, 0, 0, 64, 0x83, 0x04, 0x11, 0xDF, 0x00, 0x22, 1, 2, 3,
          configurations};
}

struct FakeRequest {
  uint32_t code;
  std::vector<uint8_t> input;
  uint32_t outputSize;
};

// One scripted device. Tests set the fields before opening it.
struct CFakeDevice {
  std::vector<uint8_t> deviceDescriptor = FakeDeviceDescriptor();
  std::vector<std::vector<uint8_t>> configurations;
  std::map<uint8_t, std::vector<uint8_t>> strings;
  bool refuseOpen = false;
  bool refuseSelect = false;
  bool gone = false;  // every request fails, as for an unplugged device
  // Answers a control request: false fails it; for device-to-host requests
  // `reply` is the data stage (a shorter one is a short transfer). Unset:
  // every request succeeds with a zero-filled data stage.
  std::function<bool(const ControlRequestHeader& header, const std::vector<uint8_t>& dataOut,
                     std::vector<uint8_t>* reply)>
      control;
  // Answers a USB reset of the port. Unset: the transport has none.
  std::function<StatusCode()> reset;

  std::mutex mutex;
  std::vector<FakeRequest> requests;
  int opens = 0;
  int closes = 0;

  std::vector<FakeRequest> Requests() {
    std::lock_guard<std::mutex> lock(mutex);
    return requests;
  }
  std::vector<ControlRequestHeader> ControlHeaders() {
    std::vector<ControlRequestHeader> headers;
    for (const FakeRequest& r : Requests()) {
      if (r.code == IOCTL_DFU_CONTROL_REQUEST && r.input.size() >= CONTROL_REQUEST_HEADER_SIZE) {
        headers.push_back(DecodeControlRequestHeader(r.input.data()));
      }
    }
    return headers;
  }
  int OpenConnections() {
    std::lock_guard<std::mutex> lock(mutex);
    return opens - closes;
  }

  bool Answer(uint32_t code, const uint8_t* input, uint32_t inputSize, uint8_t* output,
              uint32_t outputSize, uint32_t* bytesReturned) {
    std::lock_guard<std::mutex> lock(mutex);
    requests.push_back({code, std::vector<uint8_t>(input, input + inputSize), outputSize});
    *bytesReturned = 0;
    if (gone) return false;
    auto give = [&](const std::vector<uint8_t>& data) {
      uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(data.size()), outputSize);
      if (n > 0) std::memcpy(output, data.data(), n);
      *bytesReturned = n;
      return true;
    };
    switch (code) {
      case IOCTL_DFU_GET_DEVICE_DESCRIPTOR:
        return give(deviceDescriptor);
      case IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR:
        if (inputSize < 1 || input[0] >= configurations.size()) return false;
        return give(configurations[input[0]]);
      case IOCTL_DFU_GET_STRING_DESCRIPTOR: {
        if (inputSize < 3) return false;
        auto it = strings.find(input[0]);
        return it != strings.end() && give(it->second);
      }
      case IOCTL_DFU_SELECT_ALTERNATE_SETTING:
        return inputSize == 3 && !refuseSelect;
      case IOCTL_DFU_CONTROL_REQUEST: {
        if (inputSize < CONTROL_REQUEST_HEADER_SIZE) return false;
        ControlRequestHeader header = DecodeControlRequestHeader(input);
        std::vector<uint8_t> dataOut(input + CONTROL_REQUEST_HEADER_SIZE, input + inputSize);
        std::vector<uint8_t> reply;
        if (header.direction == CONTROL_DIRECTION_DEVICE_TO_HOST) {
          reply.assign(header.length, 0);
        }
        if (control && !control(header, dataOut, &reply)) return false;
        if (header.direction != CONTROL_DIRECTION_DEVICE_TO_HOST) return true;
        return give(reply);
      }
      default:
        return false;
    }
  }
};

class CFakeDriverBackend : public DriverBackend {
 public:
  static constexpr const char* PREFIX = "fake:";

  // Adds a device under "fake:<name>" and returns it for scripting.
  std::shared_ptr<CFakeDevice> AddDevice(const std::string& name) {
    auto device = std::make_shared<CFakeDevice>();
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[PREFIX + name] = device;
    return device;
  }

  std::string PathPrefix() const override { return PREFIX; }
  bool IsVirtual() const override { return isVirtual_; }
  void SetVirtual(bool isVirtual) { isVirtual_ = isVirtual; }

  std::unique_ptr<DriverConnection> Open(const std::string& path, StatusCode* /*failure*/) override {
    std::shared_ptr<CFakeDevice> device;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = devices_.find(path);
      if (it == devices_.end()) return nullptr;
      device = it->second;
    }
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->refuseOpen || device->gone) return nullptr;
    ++device->opens;
    return std::make_unique<CConnection>(device);
  }

  bool Enumerate(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces) override {
    std::lock_guard<std::mutex> lock(mutex_);
    // A listing that fails lists nothing, as a system's does.
    if (failListing_) return false;
    if (!(interfaceClass == DFU_INTERFACE_GUID)) return true;
    for (const auto& [path, device] : devices_) {
      std::lock_guard<std::mutex> deviceLock(device->mutex);
      if (!device->gone) interfaces->push_back({path, true, "Fake"});
    }
    return true;
  }
  void SetListingFails(bool fails) {
    std::lock_guard<std::mutex> lock(mutex_);
    failListing_ = fails;
  }

 private:
  class CConnection : public DriverConnection {
   public:
    explicit CConnection(std::shared_ptr<CFakeDevice> device) : device_(std::move(device)) {}
    ~CConnection() override {
      std::lock_guard<std::mutex> lock(device_->mutex);
      ++device_->closes;
    }
    bool IoControl(uint32_t code, const void* input, uint32_t inputSize, void* output,
                   uint32_t outputSize, uint32_t* bytesReturned) override {
      return device_->Answer(code, static_cast<const uint8_t*>(input), inputSize,
                             static_cast<uint8_t*>(output), outputSize, bytesReturned);
    }
    StatusCode Reset() override {
      return device_->reset ? device_->reset() : DEV_ERR_RESET_UNSUPPORTED;
    }

   private:
    std::shared_ptr<CFakeDevice> device_;
  };

  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<CFakeDevice>> devices_;
  bool isVirtual_ = true;
  bool failListing_ = false;
};

#endif  // ZUVA_DEVICE_FAKE_DRIVER_TEST_SUPPORT_H_
