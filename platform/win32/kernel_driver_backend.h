// The USB DFU kernel driver, the platform's backend without a prefix on
// Windows: it takes every path that no other backend claims, an interface
// path that it opens for exclusive, synchronous read and write and drives
// with the driver's five I/O-control requests (no reset of the port, nothing
// to hold). Its listing is the present interfaces of the class from the
// device installation lists. Every Win32 call goes through the table of
// kernel_driver_api.h. Internal to platform/win32.
#ifndef ZUVA_PLATFORM_WIN32_KERNEL_DRIVER_BACKEND_H_
#define ZUVA_PLATFORM_WIN32_KERNEL_DRIVER_BACKEND_H_

#include <memory>

#include "platform/driver_port.h"

std::shared_ptr<DriverBackend> CreateKernelDriverBackend();

#endif  // ZUVA_PLATFORM_WIN32_KERNEL_DRIVER_BACKEND_H_
