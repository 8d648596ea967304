// Our interface-class identifiers and the system's GUID records hold the same
// fields; these copy one into the other. Internal to platform/win32.
#ifndef ZUVA_PLATFORM_WIN32_WIN32_GUID_H_
#define ZUVA_PLATFORM_WIN32_WIN32_GUID_H_

#include <windows.h>

#include <cstring>

#include "common/guid.h"

inline GUID ToWin32Guid(const Guid& g) {
  GUID out;
  out.Data1 = g.data1;
  out.Data2 = g.data2;
  out.Data3 = g.data3;
  std::memcpy(out.Data4, g.data4, sizeof(out.Data4));
  return out;
}

inline Guid FromWin32Guid(const GUID& g) {
  Guid out;
  out.data1 = g.Data1;
  out.data2 = g.Data2;
  out.data3 = g.Data3;
  std::memcpy(out.data4, g.Data4, sizeof(out.data4));
  return out;
}

#endif  // ZUVA_PLATFORM_WIN32_WIN32_GUID_H_
