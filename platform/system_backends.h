// The platform's own backends, which the driver port registers before any
// other, in their listing order: on Windows the kernel driver, then devices
// bound to WinUSB ("winusb:"); on Linux real USB devices through libusb
// ("usb:" paths). Defined in each platform's folder. Internal to platform/.
#ifndef ZUVA_PLATFORM_SYSTEM_BACKENDS_H_
#define ZUVA_PLATFORM_SYSTEM_BACKENDS_H_

#include <memory>
#include <vector>

#include "platform/driver_port.h"

std::vector<std::shared_ptr<DriverBackend>> SystemDriverBackends();

#endif  // ZUVA_PLATFORM_SYSTEM_BACKENDS_H_
