// The Win32 entry points that reach devices bound to Microsoft's generic USB
// driver: winusb.dll, loaded at run time (a system without it has no such
// devices), and the device installation lists and registry through which the
// devices are found. Gathered in one table so that a test can stand in for
// them inside its own process. Internal to platform/win32.
#ifndef ZUVA_PLATFORM_WIN32_WINUSB_API_H_
#define ZUVA_PLATFORM_WIN32_WINUSB_API_H_

#include <windows.h>
#include <setupapi.h>
#include <winusb.h>

struct WinUsbApi {
  // winusb.dll; every one null when the library or any of them is missing.
  decltype(&::WinUsb_Initialize) initialize;
  decltype(&::WinUsb_Free) free;
  decltype(&::WinUsb_ControlTransfer) controlTransfer;
  decltype(&::WinUsb_SetPipePolicy) setPipePolicy;
  decltype(&::WinUsb_SetCurrentAlternateSetting) setCurrentAlternateSetting;
  // The device's file.
  decltype(&::CreateFileA) createFile;
  decltype(&::CloseHandle) closeHandle;
  // Device installation lists and the devices' registry keys.
  decltype(&::SetupDiGetClassDevsA) getClassDevs;
  decltype(&::SetupDiEnumDeviceInfo) enumDeviceInfo;
  decltype(&::SetupDiGetDeviceInstanceIdA) getDeviceInstanceId;
  decltype(&::SetupDiGetDeviceRegistryPropertyA) getDeviceRegistryProperty;
  decltype(&::SetupDiGetDevicePropertyW) getDeviceProperty;
  decltype(&::SetupDiOpenDevRegKey) openDevRegKey;
  decltype(&::RegQueryValueExA) queryValue;
  decltype(&::RegCloseKey) closeKey;
  decltype(&::SetupDiEnumDeviceInterfaces) enumDeviceInterfaces;
  decltype(&::SetupDiGetDeviceInterfaceDetailA) getDeviceInterfaceDetail;
  decltype(&::SetupDiDestroyDeviceInfoList) destroyDeviceInfoList;

  bool HasWinUsb() const {
    return initialize != nullptr && free != nullptr && controlTransfer != nullptr &&
           setPipePolicy != nullptr && setCurrentAlternateSetting != nullptr;
  }
};

// The table in use; the operating system's entry points until replaced.
WinUsbApi& ActiveWinUsbApi();

// The operating system's own entry points, winusb.dll loaded from System32
// alone (a file of that name beside the program is never loaded).
WinUsbApi SystemWinUsbApi();

#endif  // ZUVA_PLATFORM_WIN32_WINUSB_API_H_
