// The I/O-control interface of the DFU driver: five requests, built from
// device type 0x22, buffered transfer and any access, functions 0x801..0x805.
// The virtual device answers the same requests with the same layouts.
#ifndef ZUVA_DEVICE_DRIVER_IOCTL_H_
#define ZUVA_DEVICE_DRIVER_IOCTL_H_

#include <cstdint>

constexpr uint32_t DfuIoctlCode(uint32_t function) {
  return (0x22u << 16) | (0u << 14) | (function << 2) | 0u;
}

// In: 1 byte, configuration index. Out: 512 bytes, the configuration set.
constexpr uint32_t IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR = DfuIoctlCode(0x801);  // 0x222004
// In: none. Out: the 18-byte device descriptor.
constexpr uint32_t IOCTL_DFU_GET_DEVICE_DESCRIPTOR = DfuIoctlCode(0x802);  // 0x222008
// In: string index, language id (16-bit LE). Out: up to 512 bytes.
constexpr uint32_t IOCTL_DFU_GET_STRING_DESCRIPTOR = DfuIoctlCode(0x803);  // 0x22200C
// In: configuration index, bInterfaceNumber, bAlternateSetting. Out: none.
constexpr uint32_t IOCTL_DFU_SELECT_ALTERNATE_SETTING = DfuIoctlCode(0x804);  // 0x222010
// In: ControlRequestHeader then `length` bytes. Out: `length` bytes when
// device-to-host.
constexpr uint32_t IOCTL_DFU_CONTROL_REQUEST = DfuIoctlCode(0x805);  // 0x222014

static_assert(IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR == 0x222004);
static_assert(IOCTL_DFU_CONTROL_REQUEST == 0x222014);

constexpr uint32_t DRIVER_DESCRIPTOR_BLOCK_SIZE = 512;
constexpr uint32_t DRIVER_DEVICE_DESCRIPTOR_SIZE = 18;
constexpr uint16_t DRIVER_LANGID_EN_US = 0x0409;

// A class request addressed to an interface (the Windows request-block
// function number for that kind); with `direction` it gives bmRequestType
// 0x21 (host-to-device) or 0xA1 (device-to-host).
constexpr uint16_t CONTROL_REQUEST_KIND_CLASS_INTERFACE = 0x001B;
constexpr uint32_t CONTROL_DIRECTION_HOST_TO_DEVICE = 0;
constexpr uint32_t CONTROL_DIRECTION_DEVICE_TO_HOST = 1;
constexpr uint32_t CONTROL_REQUEST_HEADER_SIZE = 20;

struct ControlRequestHeader {
  uint16_t requestKind = CONTROL_REQUEST_KIND_CLASS_INTERFACE;
  uint32_t direction = CONTROL_DIRECTION_HOST_TO_DEVICE;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint32_t length = 0;
};

// The 20-byte little-endian wire form towards the driver; reserved bytes zero.
inline void EncodeControlRequestHeader(const ControlRequestHeader& h, uint8_t out[20]) {
  for (int i = 0; i < 20; ++i) out[i] = 0;
  out[0] = static_cast<uint8_t>(h.requestKind);
  out[1] = static_cast<uint8_t>(h.requestKind >> 8);
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(h.direction >> (8 * i));
  out[8] = h.request;
  out[10] = static_cast<uint8_t>(h.value);
  out[11] = static_cast<uint8_t>(h.value >> 8);
  out[12] = static_cast<uint8_t>(h.index);
  out[13] = static_cast<uint8_t>(h.index >> 8);
  for (int i = 0; i < 4; ++i) out[16 + i] = static_cast<uint8_t>(h.length >> (8 * i));
}

inline ControlRequestHeader DecodeControlRequestHeader(const uint8_t in[20]) {
  ControlRequestHeader h;
  h.requestKind = static_cast<uint16_t>(in[0] | (in[1] << 8));
  h.direction = static_cast<uint32_t>(in[4]) | (static_cast<uint32_t>(in[5]) << 8) |
                (static_cast<uint32_t>(in[6]) << 16) | (static_cast<uint32_t>(in[7]) << 24);
  h.request = in[8];
  h.value = static_cast<uint16_t>(in[10] | (in[11] << 8));
  h.index = static_cast<uint16_t>(in[12] | (in[13] << 8));
  h.length = static_cast<uint32_t>(in[16]) | (static_cast<uint32_t>(in[17]) << 8) |
             (static_cast<uint32_t>(in[18]) << 16) | (static_cast<uint32_t>(in[19]) << 24);
  return h;
}

#endif  // ZUVA_DEVICE_DRIVER_IOCTL_H_
