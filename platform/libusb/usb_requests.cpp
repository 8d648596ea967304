#include "platform/libusb/usb_requests.h"

#include <algorithm>
#include <cstring>

#include "device/dfu_protocol.h"
#include "device/driver_ioctl.h"

namespace {

// Standard GET_DESCRIPTOR, device-to-host, addressed to the device.
constexpr uint8_t USB_REQUEST_TYPE_STANDARD_IN = 0x80;
constexpr uint8_t USB_REQUEST_GET_DESCRIPTOR = 0x06;
constexpr uint8_t USB_DESCRIPTOR_DEVICE = 0x01;
constexpr uint8_t USB_DESCRIPTOR_CONFIGURATION = 0x02;
constexpr uint8_t USB_DESCRIPTOR_STRING = 0x03;
// A class request to an interface: host-to-device and device-to-host.
constexpr uint8_t USB_REQUEST_TYPE_CLASS_INTERFACE_OUT = 0x21;
constexpr uint8_t USB_REQUEST_TYPE_CLASS_INTERFACE_IN = 0xA1;
// bState sits at this offset of the status answer.
constexpr int DFU_STATUS_STATE_OFFSET = 4;
constexpr int DFU_STATUS_LENGTH = 6;
// String descriptors are asked for with an 8-bit length: some devices do not
// answer a longer wLength for them, and none is longer than 255 bytes.
constexpr uint16_t USB_STRING_REQUEST_LENGTH = 255;
// A path names at most seven tiers of hubs.
constexpr size_t USB_MAX_PORT_DEPTH = 7;

bool GetDescriptor(CUsbTransport* transport, uint8_t type, uint8_t index, uint16_t languageId,
                   uint16_t length, void* output, uint32_t* bytesReturned) {
  if (output == nullptr || length == 0) return false;
  int moved = transport->ControlTransfer(
      USB_REQUEST_TYPE_STANDARD_IN, USB_REQUEST_GET_DESCRIPTOR,
      static_cast<uint16_t>((type << 8) | index), languageId, static_cast<uint8_t*>(output),
      length, USB_CONTROL_TIMEOUT_MS);
  if (moved < 0) return false;
  *bytesReturned = static_cast<uint32_t>(moved);
  return true;
}

bool SendClassRequest(CUsbTransport* transport, const uint8_t* input, uint32_t inputSize,
                      void* output, uint32_t outputSize, uint32_t* bytesReturned) {
  if (input == nullptr || inputSize < CONTROL_REQUEST_HEADER_SIZE) return false;
  const ControlRequestHeader header = DecodeControlRequestHeader(input);
  if (header.requestKind != CONTROL_REQUEST_KIND_CLASS_INTERFACE || header.length > 0xFFFF) {
    return false;
  }
  const uint16_t length = static_cast<uint16_t>(header.length);
  const bool toHost = header.direction == CONTROL_DIRECTION_DEVICE_TO_HOST;
  if (toHost ? outputSize < length || (length > 0 && output == nullptr)
             : header.direction != CONTROL_DIRECTION_HOST_TO_DEVICE ||
                   inputSize - CONTROL_REQUEST_HEADER_SIZE < length) {
    return false;
  }
  // The DFU interface number travels in the low byte of wIndex; usbfs lets
  // only the holder of an interface address requests to it.
  if (transport->ClaimInterface(static_cast<uint8_t>(header.index & 0xFF)) < 0) return false;
  const bool status = header.request == DFU_REQUEST_GETSTATUS;
  const bool mayBeBusy = transport->deviceMayBeBusy;
  // Only a completed download or a busy status can leave the device working.
  transport->deviceMayBeBusy = false;
  if (toHost) {
    const unsigned timeoutMs = status && mayBeBusy ? USB_BUSY_STATUS_TIMEOUT_MS : USB_CONTROL_TIMEOUT_MS;
    int moved = transport->ControlTransfer(USB_REQUEST_TYPE_CLASS_INTERFACE_IN, header.request,
                                           header.value, header.index,
                                           static_cast<uint8_t*>(output), length, timeoutMs);
    if (moved < 0) return false;
    if (status && moved >= DFU_STATUS_LENGTH && length >= DFU_STATUS_LENGTH) {
      transport->deviceMayBeBusy =
          static_cast<const uint8_t*>(output)[DFU_STATUS_STATE_OFFSET] == DFU_STATE_DNBUSY;
    }
    // A short data stage completes with what it moved; the caller sees the
    // count and decides.
    *bytesReturned = static_cast<uint32_t>(std::min<int>(moved, length));
    return true;
  }
  std::vector<uint8_t> data(input + CONTROL_REQUEST_HEADER_SIZE,
                            input + CONTROL_REQUEST_HEADER_SIZE + length);
  int moved = transport->ControlTransfer(USB_REQUEST_TYPE_CLASS_INTERFACE_OUT, header.request,
                                         header.value, header.index, data.data(), length,
                                         USB_CONTROL_TIMEOUT_MS);
  // Data that did not all reach the device is a failed request.
  if (moved != static_cast<int>(length)) return false;
  transport->deviceMayBeBusy = header.request == DFU_REQUEST_DNLOAD;
  return true;
}

}  // namespace

bool UsbAnswerDriverRequest(CUsbTransport* transport, uint32_t code, const void* input,
                            uint32_t inputSize, void* output, uint32_t outputSize,
                            uint32_t* bytesReturned) {
  uint32_t ignored = 0;
  if (bytesReturned == nullptr) bytesReturned = &ignored;
  *bytesReturned = 0;
  if (transport == nullptr) return false;
  const auto* in = static_cast<const uint8_t*>(input);
  if (in == nullptr) inputSize = 0;
  if (output == nullptr) outputSize = 0;
  switch (code) {
    case IOCTL_DFU_GET_DEVICE_DESCRIPTOR:
      return GetDescriptor(transport, USB_DESCRIPTOR_DEVICE, 0, 0,
                           static_cast<uint16_t>(std::min(outputSize, DRIVER_DEVICE_DESCRIPTOR_SIZE)),
                           output, bytesReturned);
    case IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR:
      if (inputSize < 1) return false;
      return GetDescriptor(transport, USB_DESCRIPTOR_CONFIGURATION, in[0], 0,
                           static_cast<uint16_t>(std::min(outputSize, DRIVER_DESCRIPTOR_BLOCK_SIZE)),
                           output, bytesReturned);
    case IOCTL_DFU_GET_STRING_DESCRIPTOR:
      if (inputSize < 3) return false;
      return GetDescriptor(transport, USB_DESCRIPTOR_STRING, in[0],
                           static_cast<uint16_t>(in[1] | (in[2] << 8)),
                           static_cast<uint16_t>(std::min<uint32_t>(outputSize, USB_STRING_REQUEST_LENGTH)),
                           output, bytesReturned);
    case IOCTL_DFU_SELECT_ALTERNATE_SETTING:
      // The device has the one configuration it runs; the interface is
      // claimed before its setting can be chosen.
      if (inputSize < 3) return false;
      return transport->ClaimInterface(in[1]) >= 0 &&
             transport->SetAlternateSetting(in[1], in[2]) >= 0;
    case IOCTL_DFU_CONTROL_REQUEST:
      return SendClassRequest(transport, in, inputSize, output, outputSize, bytesReturned);
    default:
      return false;
  }
}

std::string UsbFormatPath(uint8_t bus, const std::vector<uint8_t>& ports) {
  std::string path = USB_PATH_PREFIX + std::to_string(bus);
  for (size_t i = 0; i < ports.size(); ++i) {
    path += (i == 0 ? '-' : '.');
    path += std::to_string(ports[i]);
  }
  return path;
}

bool UsbParsePath(const std::string& path, uint8_t* bus, std::vector<uint8_t>* ports) {
  const size_t prefixLength = std::strlen(USB_PATH_PREFIX);
  if (path.compare(0, prefixLength, USB_PATH_PREFIX) != 0) return false;
  std::vector<uint8_t> numbers;
  size_t at = prefixLength;
  while (true) {
    // One number of 1..255, decimal, no sign and no leading zero.
    size_t start = at;
    unsigned value = 0;
    while (at < path.size() && path[at] >= '0' && path[at] <= '9' && at - start < 3) {
      value = value * 10 + static_cast<unsigned>(path[at] - '0');
      ++at;
    }
    if (at == start || path[start] == '0' || value > 255) return false;
    numbers.push_back(static_cast<uint8_t>(value));
    if (at == path.size()) break;
    const char separator = numbers.size() == 1 ? '-' : '.';
    if (path[at] != separator) return false;
    ++at;
  }
  if (numbers.size() < 2 || numbers.size() - 1 > USB_MAX_PORT_DEPTH) return false;
  *bus = numbers[0];
  ports->assign(numbers.begin() + 1, numbers.end());
  return true;
}

std::vector<Guid> UsbListedClasses(const std::vector<UsbInterfaceTriple>& interfaces) {
  std::vector<Guid> classes;
  for (const UsbInterfaceTriple& triple : interfaces) {
    if (triple.interfaceClass != USB_CLASS_APPLICATION_SPECIFIC ||
        triple.subclass != USB_SUBCLASS_DFU) {
      continue;
    }
    const Guid* listed = nullptr;
    if (triple.protocol == USB_PROTOCOL_DFU_MODE) listed = &DFU_INTERFACE_GUID;
    if (triple.protocol == USB_PROTOCOL_DFU_RUNTIME) listed = &APP_INTERFACE_GUID;
    if (listed != nullptr && std::find(classes.begin(), classes.end(), *listed) == classes.end()) {
      classes.push_back(*listed);
    }
  }
  return classes;
}
