// DFU devices bound to Microsoft's generic USB driver (WinUSB), the driver
// Windows gives a device whose firmware asks for it with Microsoft OS
// descriptors, or that a user bound with an INF or a driver-install tool.
// They have no interface of the kernel driver's classes: they are found among
// the present USB devices by the service bound to them and their compatible
// ids, opened by the interface path their registry key names, and the five
// driver requests reach them as control transfers (the same translation the
// libusb backend uses). Paths are WINUSB_PATH_PREFIX followed by the
// interface path. Internal to platform/win32.
#ifndef ZUVA_PLATFORM_WIN32_WINUSB_BACKEND_H_
#define ZUVA_PLATFORM_WIN32_WINUSB_BACKEND_H_

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/guid.h"
#include "platform/device_notifier.h"
#include "platform/driver_port.h"

constexpr char WINUSB_PATH_PREFIX[] = "winusb:";
// The name of the service of Microsoft's generic USB driver.
constexpr char WINUSB_SERVICE_NAME[] = "WinUSB";
// WinUSB refuses a control transfer with a longer data stage.
constexpr uint32_t WINUSB_MAX_CONTROL_TRANSFER = 4096;

// Results of a transfer as the translation of driver requests reads them:
// a count of bytes, or one of these for a failure. libusb's numbers for the
// same events, so that a result means the same whichever backend gave it.
constexpr int WINUSB_RESULT_IO = -1;
constexpr int WINUSB_RESULT_INVALID_PARAM = -2;
constexpr int WINUSB_RESULT_NO_DEVICE = -4;
constexpr int WINUSB_RESULT_NOT_FOUND = -5;
constexpr int WINUSB_RESULT_BUSY = -6;
constexpr int WINUSB_RESULT_TIMEOUT = -7;
constexpr int WINUSB_RESULT_STALL = -9;

// ERROR_NO_SUCH_DEVICE, which MinGW's headers lack.
constexpr DWORD WINUSB_ERROR_NO_SUCH_DEVICE = 433;

// The result of a failed WinUSB call from its GetLastError code.
int WinUsbResultOfError(DWORD error);

// The backend of "winusb:" paths. Listed after the kernel driver's
// interfaces and before virtual devices.
std::shared_ptr<DriverBackend> CreateWinUsbBackend();

// The interface classes of the WinUSB devices listed so far, for which a
// device-change window registers besides the kernel driver's.
std::vector<Guid> WinUsbNotificationClasses();

// A device-change broadcast for interface class `broadcastClass` and the
// interface path `name`, as an event of a DFU or application-mode interface
// class with its "winusb:" path. False when the interface is no WinUSB DFU
// interface (a removal is recognised only for a device listed before: a
// device that has gone can no longer be asked).
bool WinUsbTranslateDeviceChange(DeviceChangeKind kind, const Guid& broadcastClass,
                                 const std::string& name, DeviceChangeEvent* event);

#endif  // ZUVA_PLATFORM_WIN32_WINUSB_BACKEND_H_
