// The kernel driver's interfaces are listed before the devices bound to
// WinUSB.
#include "platform/system_backends.h"

#include "platform/win32/kernel_driver_backend.h"
#include "platform/win32/winusb_backend.h"

std::vector<std::shared_ptr<DriverBackend>> SystemDriverBackends() {
  return {CreateKernelDriverBackend(), CreateWinUsbBackend()};
}
