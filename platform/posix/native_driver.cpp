// Linux has no DFU kernel driver of ours: real devices are reached through the
// "usb:" backend (libusb) and virtual ones through "sim:". A path without a
// registered prefix therefore names nothing that can be opened.
#include "platform/native_driver.h"

NativeDeviceHandle NativeDriverOpen(const std::string& /*path*/) { return nullptr; }

bool NativeDriverIoControl(NativeDeviceHandle /*device*/, uint32_t /*code*/,
                           const void* /*input*/, uint32_t /*inputSize*/, void* /*output*/,
                           uint32_t /*outputSize*/, uint32_t* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  return false;
}

void NativeDriverClose(NativeDeviceHandle /*device*/) {}

bool NativeEnumerateInterfaces(const Guid& /*interfaceClass*/,
                               std::vector<InterfaceInfo>* /*interfaces*/) {
  return true;
}
