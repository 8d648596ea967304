// The seam between the portable driver port (platform/driver_port.cpp) and
// the platform's native driver: on Windows the USB DFU kernel driver through
// CreateFileA / DeviceIoControl / SetupDi, on Linux the libusb layer, which
// answers "usb:" paths. Internal to platform/.
#ifndef ZUVA_PLATFORM_NATIVE_DRIVER_H_
#define ZUVA_PLATFORM_NATIVE_DRIVER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/guid.h"
#include "platform/driver_port.h"

// An open native device; nullptr is no device. Owned by the driver port, which
// closes it exactly once with NativeDriverClose.
using NativeDeviceHandle = void*;

// Opens `path` for exclusive read/write, synchronous I/O. nullptr on failure.
NativeDeviceHandle NativeDriverOpen(const std::string& path);

// One I/O-control request; true when the driver completed it.
bool NativeDriverIoControl(NativeDeviceHandle device, uint32_t code, const void* input,
                           uint32_t inputSize, void* output, uint32_t outputSize,
                           uint32_t* bytesReturned);

void NativeDriverClose(NativeDeviceHandle device);

// DriverHold for a native path: *held, when set, is closed with
// NativeDriverClose.
StatusCode NativeDriverHold(const std::string& path, uint8_t interfaceNumber,
                            NativeDeviceHandle* held);

// A USB reset of the device's port, with DriverResetDevice's results.
StatusCode NativeDriverReset(NativeDeviceHandle device);

// Appends the present native interfaces of `interfaceClass` in listing order.
// False when no list can be had; an empty list is true.
bool NativeEnumerateInterfaces(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces);

// The platform's own backends beside its native driver (Windows: devices
// bound to WinUSB), registered before any other.
std::vector<std::shared_ptr<DriverBackend>> NativeBackends();

#endif  // ZUVA_PLATFORM_NATIVE_DRIVER_H_
