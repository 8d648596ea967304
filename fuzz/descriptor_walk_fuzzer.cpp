// Serves the first 512 input bytes as configuration 0 of a device and runs
// every descriptor walk over it, plus the functional-descriptor lookup of
// the request layer. The walks must terminate, stay inside the block and hand
// out only what they promise: an interface descriptor (type 4) or zeros, a
// class-specific descriptor (type 0x21) or zeros.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "device/device_manager.h"
#include "device/dfu_requests.h"
#include "device/fake_driver_test_support.h"
#include "device/st_device.h"
#include "platform/driver_port.h"

namespace {

struct FuzzWorld {
  std::shared_ptr<CFakeDriverBackend> backend = std::make_shared<CFakeDriverBackend>();
  std::shared_ptr<CFakeDevice> device = backend->AddDevice("fuzz");
  FuzzWorld() {
    RegisterDriverBackend(backend);
    CreateDevicesManager();
  }
};

bool IsZero(const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzWorld world;
  {
    std::lock_guard<std::mutex> lock(world.device->mutex);
    world.device->requests.clear();
    world.device->configurations = {
        std::vector<uint8_t>(data, data + std::min<size_t>(size, DRIVER_DESCRIPTOR_BLOCK_SIZE))};
  }
  CSTDevice device("fake:fuzz");
  if (device.Open() != RESULT_OK) return 0;

  for (uint32_t ordinal = 0; ordinal < 3; ++ordinal) {
    uint32_t count = 0;
    StatusCode status = device.CountAlternateSettings(ordinal, &count);
    if (status != RESULT_OK) continue;
    if (count == 0) std::abort();
    for (uint32_t alternate = 0; alternate <= count; ++alternate) {
      uint8_t interface[9];
      status = device.FindInterfaceDescriptor(ordinal, alternate, interface);
      if (alternate == count && status != DEV_ERR_BAD_PARAMETER) std::abort();
      if (status == RESULT_OK && !IsZero(interface, 9) && interface[1] != 0x04) std::abort();
      uint8_t functional[9];
      status = device.FindClassDescriptor(ordinal, alternate, functional);
      if (status == RESULT_OK && !IsZero(functional, 9) &&
          (functional[1] != 0x21 || functional[0] > 9)) {
        std::abort();
      }
    }
  }

  DeviceHandle handle = DEVICE_INVALID_HANDLE;
  if (OpenDevice("fake:fuzz", &handle) == RESULT_OK) {
    uint32_t number = 0;
    uint32_t count = 0;
    DfuFunctionalDescriptor descriptor{};
    ReadDfuFunctionalDescriptor(&handle, &number, &count, &descriptor);
    CloseDevice(handle);
  }
  return 0;
}
