#include "platform/usb/usb_requests.h"

#include <algorithm>
#include <cstring>

#include "protocol/dfu.h"
#include "protocol/driver_requests.h"

namespace {

// A path names at most seven tiers of hubs.
constexpr size_t USB_MAX_PORT_DEPTH = 7;

}  // namespace

UsbTransferOutcome UsbFailureOfResult(int result) {
  switch (result) {
    case USB_RESULT_PIPE:
      return UsbTransferOutcome::kStall;
    case USB_RESULT_NO_DEVICE:
      return UsbTransferOutcome::kGone;
    case USB_RESULT_TIMEOUT:
      return UsbTransferOutcome::kTimeout;
    default:
      return UsbTransferOutcome::kFailed;
  }
}

bool UsbAnswerDriverRequest(CUsbTransport* transport, uint32_t code, const void* input,
                            uint32_t inputSize, void* output, uint32_t outputSize,
                            uint32_t* bytesReturned) {
  uint32_t ignored = 0;
  if (bytesReturned == nullptr) bytesReturned = &ignored;
  *bytesReturned = 0;
  if (transport == nullptr) return false;
  transport->lastFailure = UsbTransferOutcome::kFailed;
  if (output == nullptr) outputSize = 0;
  DriverSetup translated;
  if (!DriverRequestToSetup(code, static_cast<const uint8_t*>(input), inputSize, outputSize,
                            &translated)) {
    return false;
  }
  const UsbSetup& setup = translated.setup;
  if (setup.Type() == USB_TYPE_STANDARD && setup.request == USB_REQUEST_SET_INTERFACE) {
    // usbfs chooses a setting only for the holder of the interface, and does
    // so itself rather than through a raw transfer.
    const uint8_t interfaceNumber = static_cast<uint8_t>(setup.index);
    int result = transport->ClaimInterface(interfaceNumber);
    if (result >= 0) result = transport->SetAlternateSetting(interfaceNumber, static_cast<uint8_t>(setup.value));
    transport->lastFailure = UsbFailureOfResult(result);
    return result >= 0;
  }
  const bool classRequest = setup.Type() == USB_TYPE_CLASS;
  // A class request names the DFU interface in the low byte of wIndex; usbfs
  // lets only the holder of an interface address requests to it.
  if (classRequest) {
    const int claimed = transport->ClaimInterface(static_cast<uint8_t>(setup.index & 0xFF));
    if (claimed < 0) {
      transport->lastFailure = UsbFailureOfResult(claimed);
      return false;
    }
  }
  const bool status = classRequest && setup.request == DFU_REQUEST_GETSTATUS;
  const bool mayBeBusy = transport->deviceMayBeBusy;
  // Only a completed download or a busy status can leave the device working.
  if (classRequest) transport->deviceMayBeBusy = false;
  if (setup.In()) {
    const unsigned timeoutMs =
        status && mayBeBusy ? USB_BUSY_STATUS_TIMEOUT_MS : USB_CONTROL_TIMEOUT_MS;
    int moved = transport->ControlTransfer(setup.requestType, setup.request, setup.value,
                                           setup.index, static_cast<uint8_t*>(output),
                                           setup.length, timeoutMs);
    if (moved < 0) {
      transport->lastFailure = UsbFailureOfResult(moved);
      return false;
    }
    if (status && moved >= static_cast<int>(DFU_STATUS_SIZE) && setup.length >= DFU_STATUS_SIZE) {
      transport->deviceMayBeBusy = static_cast<const uint8_t*>(output)[4] == DFU_STATE_DNBUSY;
    }
    // A short data stage completes with what it moved; the caller sees the
    // count and decides.
    *bytesReturned = static_cast<uint32_t>(std::min<int>(moved, setup.length));
    return true;
  }
  std::vector<uint8_t> data(translated.outData, translated.outData + setup.length);
  int moved = transport->ControlTransfer(setup.requestType, setup.request, setup.value,
                                         setup.index, data.data(), setup.length,
                                         USB_CONTROL_TIMEOUT_MS);
  // Data that did not all reach the device is a failed request.
  if (moved != static_cast<int>(setup.length)) {
    transport->lastFailure = UsbFailureOfResult(moved);
    return false;
  }
  if (classRequest) transport->deviceMayBeBusy = setup.request == DFU_REQUEST_DNLOAD;
  return true;
}

StatusCode UsbHoldInterface(CUsbTransport* transport, uint8_t interfaceNumber) {
  const int result = transport->ClaimInterface(interfaceNumber);
  if (result >= 0) return RESULT_OK;
  return result == USB_RESULT_BUSY ? DEV_ERR_IN_USE : DEV_ERR_OPEN_FAILED;
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
