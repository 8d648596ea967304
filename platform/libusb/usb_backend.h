// Real USB devices on Linux, through libusb-1.0: the platform's backend of
// the driver port, which answers the "usb:" paths, lists the present DFU
// devices and posts their arrivals and removals.
//
// One libusb context serves the process. It starts on first use, with a
// thread that runs libusb's events so that hot-plug callbacks fire; they post
// device-change events with PostDeviceChange and never touch anything else,
// so a notifier's sink still runs only on its own thread, when it pumps.
//
// Opening: two opens of one path share the device's libusb handle (and the
// interfaces it claimed) until the last one is closed; that is how a hold's
// claim covers this program's later opens. An open fails when the path names
// no present device or the device cannot be opened (no permission, gone).
// A hold opens the path and claims its DFU interface. A reset is libusb's
// reset of the port; a device whose descriptors change with it (one that
// starts its new firmware, or comes up in DFU mode) re-enumerates, which
// libusb reports as the device not found: that is the reset done, RESULT_OK.
//
// Listing: every present device with a DFU interface of the class, in bus
// order, with its product string when the kernel could read it. Devices are
// not opened, so one that the user may not open is listed all the same. A
// machine without USB has an empty list.
#ifndef ZUVA_PLATFORM_LIBUSB_USB_BACKEND_H_
#define ZUVA_PLATFORM_LIBUSB_USB_BACKEND_H_

#include <memory>
#include <string>

#include "platform/driver_port.h"

// The backend without a prefix: it takes every path no other backend claims,
// and opens those that are "usb:" paths of present devices.
std::shared_ptr<DriverBackend> CreateUsbBackend();

// The text of a sysfs attribute (`file`) without its closing newline. False
// when it cannot be opened or read: a device that leaves while it is listed
// takes its attributes with it, and their reads then fail.
bool UsbReadAttributeText(const std::string& file, std::string* text);

#endif  // ZUVA_PLATFORM_LIBUSB_USB_BACKEND_H_
