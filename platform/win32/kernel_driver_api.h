// The Win32 entry points that reach the USB DFU kernel driver and the device
// installation lists, gathered in one table so that a test can stand in for
// the driver inside its own process. Internal to platform/win32.
#ifndef ZUVA_PLATFORM_WIN32_KERNEL_DRIVER_API_H_
#define ZUVA_PLATFORM_WIN32_KERNEL_DRIVER_API_H_

#include <windows.h>
#include <setupapi.h>

struct KernelDriverApi {
  decltype(&::CreateFileA) createFile;
  decltype(&::DeviceIoControl) deviceIoControl;
  decltype(&::CloseHandle) closeHandle;
  decltype(&::SetupDiGetClassDevsA) getClassDevs;
  decltype(&::SetupDiEnumDeviceInterfaces) enumDeviceInterfaces;
  decltype(&::SetupDiGetDeviceInterfaceDetailA) getDeviceInterfaceDetail;
  decltype(&::SetupDiGetDeviceRegistryPropertyA) getDeviceRegistryProperty;
  decltype(&::SetupDiDestroyDeviceInfoList) destroyDeviceInfoList;
};

// The table in use; the operating system's entry points until replaced.
KernelDriverApi& ActiveKernelDriverApi();

// The operating system's own entry points.
KernelDriverApi SystemKernelDriverApi();

#endif  // ZUVA_PLATFORM_WIN32_KERNEL_DRIVER_API_H_
