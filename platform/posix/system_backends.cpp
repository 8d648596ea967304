// Linux has no DFU kernel driver of ours: real devices come through libusb.
#include "platform/system_backends.h"

#include "platform/libusb/usb_backend.h"

std::vector<std::shared_ptr<DriverBackend>> SystemDriverBackends() { return {CreateUsbBackend()}; }
