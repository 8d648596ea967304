// Interface-class identifiers of DFU devices.
#ifndef ZUVA_COMMON_GUID_H_
#define ZUVA_COMMON_GUID_H_

#include <cstdint>

struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];

  friend bool operator==(const Guid& a, const Guid& b) {
    if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
    for (int i = 0; i < 8; ++i) {
      if (a.data4[i] != b.data4[i]) return false;
    }
    return true;
  }
};

// Devices in DFU mode.
constexpr Guid DFU_INTERFACE_GUID = {
    0x3FE809AB, 0xFB91, 0x4CB5, {0xA6, 0x43, 0x69, 0x67, 0x0D, 0x52, 0x36, 0x6E}};
// Devices running their application, offering a run-time DFU interface.
constexpr Guid APP_INTERFACE_GUID = {
    0xCB979912, 0x5029, 0x420A, {0xAE, 0xB1, 0x34, 0xFC, 0x0A, 0x7D, 0x57, 0x26}};

#endif  // ZUVA_COMMON_GUID_H_
