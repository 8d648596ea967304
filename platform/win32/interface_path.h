// Reads the path of one interface of a device installation list, shared by
// the kernel driver's listing and the WinUSB one. Internal to platform/win32.
#ifndef ZUVA_PLATFORM_WIN32_INTERFACE_PATH_H_
#define ZUVA_PLATFORM_WIN32_INTERFACE_PATH_H_

#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// The interface's path (false when the detail cannot be read); fills the
// device information record of the interface's device on the way.
inline bool ReadInterfacePath(decltype(&::SetupDiGetDeviceInterfaceDetailA) getDetail,
                              HDEVINFO list, SP_DEVICE_INTERFACE_DATA* interfaceData,
                              SP_DEVINFO_DATA* deviceData, std::string* path) {
  DWORD required = 0;
  getDetail(list, interfaceData, nullptr, 0, &required, nullptr);
  // The detail record is its size field followed by the path; anything
  // shorter cannot hold even an empty path.
  const DWORD header = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  if (required <= header) return false;
  std::vector<uint8_t> storage(required, 0);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!getDetail(list, interfaceData, detail, required, nullptr, deviceData)) return false;
  // The driver's text ends at its zero, but never past the buffer.
  const char* text = detail->DevicePath;
  path->assign(text, strnlen(text, required - header));
  return true;
}

#endif  // ZUVA_PLATFORM_WIN32_INTERFACE_PATH_H_
