// Linux has no DFU kernel driver of ours: the native seam is the libusb layer,
// which answers "usb:" paths (virtual devices come through "sim:" instead).
#include "platform/native_driver.h"

#include "platform/libusb/usb_layer.h"

NativeDeviceHandle NativeDriverOpen(const std::string& path) { return UsbDriverOpen(path); }

bool NativeDriverIoControl(NativeDeviceHandle device, uint32_t code, const void* input,
                           uint32_t inputSize, void* output, uint32_t outputSize,
                           uint32_t* bytesReturned) {
  return UsbDriverIoControl(device, code, input, inputSize, output, outputSize, bytesReturned);
}

void NativeDriverClose(NativeDeviceHandle device) { UsbDriverClose(device); }

StatusCode NativeDriverHold(const std::string& path, uint8_t interfaceNumber,
                            NativeDeviceHandle* held) {
  return UsbDriverHold(path, interfaceNumber, held);
}

StatusCode NativeDriverReset(NativeDeviceHandle device) { return UsbDriverReset(device); }

bool NativeEnumerateInterfaces(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces) {
  return UsbEnumerateInterfaces(interfaceClass, interfaces);
}

std::vector<std::shared_ptr<DriverBackend>> NativeBackends() { return {}; }
