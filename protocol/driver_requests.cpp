#include "protocol/driver_requests.h"

#include <algorithm>

#include "protocol/byte_order.h"

namespace {

UsbSetup GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, uint32_t length) {
  UsbSetup setup;
  setup.requestType = USB_REQUEST_TYPE_STANDARD_IN;
  setup.request = USB_REQUEST_GET_DESCRIPTOR;
  setup.value = static_cast<uint16_t>((type << 8) | index);
  setup.index = languageId;
  setup.length = static_cast<uint16_t>(length);
  return setup;
}

}  // namespace

void EncodeControlRequestHeader(const ControlRequestHeader& h, uint8_t out[20]) {
  std::fill(out, out + CONTROL_REQUEST_HEADER_SIZE, 0);
  PutLe16(out, h.requestKind);
  PutLe32(out + 4, h.direction);
  out[8] = h.request;
  PutLe16(out + 10, h.value);
  PutLe16(out + 12, h.index);
  PutLe32(out + 16, h.length);
}

ControlRequestHeader DecodeControlRequestHeader(const uint8_t in[20]) {
  ControlRequestHeader h;
  h.requestKind = GetLe16(in);
  h.direction = GetLe32(in + 4);
  h.request = in[8];
  h.value = GetLe16(in + 10);
  h.index = GetLe16(in + 12);
  h.length = GetLe32(in + 16);
  return h;
}

bool DriverRequestToSetup(uint32_t code, const uint8_t* input, uint32_t inputSize,
                          uint32_t outputSize, DriverSetup* translated) {
  if (input == nullptr) inputSize = 0;
  *translated = DriverSetup();
  UsbSetup& setup = translated->setup;
  switch (code) {
    case IOCTL_DFU_GET_DEVICE_DESCRIPTOR:
      setup = GetDescriptor(USB_DT_DEVICE, 0, 0, std::min(outputSize, DRIVER_DEVICE_DESCRIPTOR_SIZE));
      return setup.length > 0;
    case IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR:
      if (inputSize < 1) return false;
      setup = GetDescriptor(USB_DT_CONFIGURATION, input[0], 0,
                            std::min(outputSize, DRIVER_DESCRIPTOR_BLOCK_SIZE));
      return setup.length > 0;
    case IOCTL_DFU_GET_STRING_DESCRIPTOR:
      // Asked for with an 8-bit length: some devices do not answer a longer
      // wLength for a string, and none is longer than 255 bytes.
      if (inputSize < 3) return false;
      setup = GetDescriptor(USB_DT_STRING, input[0], GetLe16(input + 1),
                            std::min(outputSize, USB_MAX_STRING_DESCRIPTOR_SIZE));
      return setup.length > 0;
    case IOCTL_DFU_SELECT_ALTERNATE_SETTING:
      // The device runs the configuration it has; the configuration index
      // does not travel on the bus.
      if (inputSize < 3) return false;
      setup.requestType = USB_REQUEST_TYPE_STANDARD_INTERFACE_OUT;
      setup.request = USB_REQUEST_SET_INTERFACE;
      setup.value = input[2];
      setup.index = input[1];
      return true;
    case IOCTL_DFU_CONTROL_REQUEST: {
      if (inputSize < CONTROL_REQUEST_HEADER_SIZE) return false;
      const ControlRequestHeader header = DecodeControlRequestHeader(input);
      if (header.requestKind != CONTROL_REQUEST_KIND_CLASS_INTERFACE || header.length > 0xFFFF) {
        return false;
      }
      const bool toHost = header.direction == CONTROL_DIRECTION_DEVICE_TO_HOST;
      if (toHost ? outputSize < header.length
                 : header.direction != CONTROL_DIRECTION_HOST_TO_DEVICE ||
                       inputSize - CONTROL_REQUEST_HEADER_SIZE < header.length) {
        return false;
      }
      setup.requestType =
          toHost ? USB_REQUEST_TYPE_CLASS_INTERFACE_IN : USB_REQUEST_TYPE_CLASS_INTERFACE_OUT;
      setup.request = header.request;
      setup.value = header.value;
      setup.index = header.index;
      setup.length = static_cast<uint16_t>(header.length);
      if (!toHost) translated->outData = input + CONTROL_REQUEST_HEADER_SIZE;
      return true;
    }
    default:
      return false;
  }
}

uint32_t DriverRequestCarrying(const UsbSetup& setup) {
  if (setup.requestType == USB_REQUEST_TYPE_STANDARD_IN &&
      setup.request == USB_REQUEST_GET_DESCRIPTOR) {
    switch (setup.value >> 8) {
      case USB_DT_DEVICE:
        return IOCTL_DFU_GET_DEVICE_DESCRIPTOR;
      case USB_DT_CONFIGURATION:
        return IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR;
      case USB_DT_STRING:
        return IOCTL_DFU_GET_STRING_DESCRIPTOR;
      default:
        return 0;
    }
  }
  if (setup.requestType == USB_REQUEST_TYPE_STANDARD_INTERFACE_OUT &&
      setup.request == USB_REQUEST_SET_INTERFACE) {
    return IOCTL_DFU_SELECT_ALTERNATE_SETTING;
  }
  if (setup.requestType == USB_REQUEST_TYPE_CLASS_INTERFACE_OUT ||
      setup.requestType == USB_REQUEST_TYPE_CLASS_INTERFACE_IN) {
    return IOCTL_DFU_CONTROL_REQUEST;
  }
  return 0;
}

const char* DriverRequestName(uint32_t code) {
  switch (code) {
    case IOCTL_DFU_GET_DEVICE_DESCRIPTOR:
      return "GET_DEVICE_DESCRIPTOR";
    case IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR:
      return "GET_CONFIGURATION_DESCRIPTOR";
    case IOCTL_DFU_GET_STRING_DESCRIPTOR:
      return "GET_STRING_DESCRIPTOR";
    case IOCTL_DFU_SELECT_ALTERNATE_SETTING:
      return "SELECT_ALTERNATE_SETTING";
    case IOCTL_DFU_CONTROL_REQUEST:
      return "CONTROL_REQUEST";
    default:
      return nullptr;
  }
}
