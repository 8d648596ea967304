// The I/O-control interface of the DFU kernel driver: five requests, built
// from device type 0x22, buffered transfer and any access, functions
// 0x801..0x805; the header of a control request; and the USB control transfer
// each request becomes on the wire. The libusb backend, the virtual device's
// driver port and its Windows pipe server all translate with this one code.
#ifndef ZUVA_PROTOCOL_DRIVER_REQUESTS_H_
#define ZUVA_PROTOCOL_DRIVER_REQUESTS_H_

#include <cstdint>

#include "protocol/usb.h"

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
constexpr uint32_t DRIVER_DEVICE_DESCRIPTOR_SIZE = USB_DEVICE_DESCRIPTOR_SIZE;
constexpr uint16_t DRIVER_LANGID_EN_US = USB_LANGID_EN_US;

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
void EncodeControlRequestHeader(const ControlRequestHeader& h, uint8_t out[20]);
ControlRequestHeader DecodeControlRequestHeader(const uint8_t in[20]);

// One driver request as the control transfer it becomes. For a host-to-device
// data stage `outData` points at its bytes inside the request's input.
struct DriverSetup {
  UsbSetup setup;
  const uint8_t* outData = nullptr;
};

// Translates a driver request with `inputSize` bytes of input and room for
// `outputSize` bytes of output. False when the driver refuses the buffers or
// the code, and the request never reaches the device: a short input, a
// header of another kind or direction, a data stage longer than the buffer
// that holds it (or than 65535 bytes), no room for a descriptor.
// Descriptor reads ask for as much as the output holds, up to the size the
// driver hands back (18 bytes, 512 bytes, 255 bytes for a string);
// SELECT_ALTERNATE_SETTING becomes SET_INTERFACE.
bool DriverRequestToSetup(uint32_t code, const uint8_t* input, uint32_t inputSize,
                          uint32_t outputSize, DriverSetup* translated);

// The driver request whose control transfer `setup` is, the other way from
// DriverRequestToSetup: a descriptor read of the device, its configuration
// or a string, SET_INTERFACE, or a class request to an interface. 0 for a
// transfer that none of the five becomes.
uint32_t DriverRequestCarrying(const UsbSetup& setup);

// "GET_DEVICE_DESCRIPTOR", ...; null for a code that is none of the five.
const char* DriverRequestName(uint32_t code);

#endif  // ZUVA_PROTOCOL_DRIVER_REQUESTS_H_
