// The fuzzers reach devices only through the scripted backend; the native
// side of the driver port answers nothing, whatever the platform has.
#include "platform/native_driver.h"

NativeDeviceHandle NativeDriverOpen(const std::string&) { return nullptr; }

bool NativeDriverIoControl(NativeDeviceHandle, uint32_t, const void*, uint32_t, void*, uint32_t,
                           uint32_t* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  return false;
}

void NativeDriverClose(NativeDeviceHandle) {}

StatusCode NativeDriverHold(const std::string&, uint8_t, NativeDeviceHandle* held) {
  *held = nullptr;
  return RESULT_OK;
}

StatusCode NativeDriverReset(NativeDeviceHandle) { return DEV_ERR_RESET_UNSUPPORTED; }

bool NativeEnumerateInterfaces(const Guid&, std::vector<InterfaceInfo>*) { return true; }

std::vector<std::shared_ptr<DriverBackend>> NativeBackends() { return {}; }
