// Real USB devices on Linux, through libusb-1.0: the "usb:" paths of the
// driver port, their enumeration and their arrivals and removals. The Linux
// native driver seam (platform/posix/native_driver.cpp) delegates here.
//
// One libusb context serves the process. It starts on first use, with a
// thread that runs libusb's events so that hot-plug callbacks fire; they post
// device-change events with PostDeviceChange and never touch anything else,
// so a notifier's sink still runs only on its own thread, when it pumps.
#ifndef ZUVA_PLATFORM_LIBUSB_USB_LAYER_H_
#define ZUVA_PLATFORM_LIBUSB_USB_LAYER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/driver_port.h"
#include "platform/native_driver.h"

// Opens a "usb:" path. Two opens of one path share the device's libusb handle
// (and the interface it claimed) until the last one is closed. nullptr when
// the path names no present device or the device cannot be opened (no
// permission, gone).
NativeDeviceHandle UsbDriverOpen(const std::string& path);
bool UsbDriverIoControl(NativeDeviceHandle device, uint32_t code, const void* input,
                        uint32_t inputSize, void* output, uint32_t outputSize,
                        uint32_t* bytesReturned);
void UsbDriverClose(NativeDeviceHandle device);
// Opens a "usb:" path and claims its interface `interfaceNumber`, which the
// device's libusb handle keeps until the last open of the path is closed.
// DriverHold's results; *held is open only on RESULT_OK.
StatusCode UsbDriverHold(const std::string& path, uint8_t interfaceNumber,
                         NativeDeviceHandle* held);
// libusb's reset of the device's port. A device whose descriptors change
// with it (one that starts its new firmware, or comes up in DFU mode)
// re-enumerates, which libusb reports as the device not found: that is the
// reset done, RESULT_OK.
StatusCode UsbDriverReset(NativeDeviceHandle device);

// Appends every present device with a DFU interface of `interfaceClass`: its
// path and, when the kernel could read it, its product string. Devices are
// not opened, so one that the user may not open is listed all the same. A
// machine without USB has an empty list.
bool UsbEnumerateInterfaces(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces);

#endif  // ZUVA_PLATFORM_LIBUSB_USB_LAYER_H_
