// The five driver requests answered on a USB device: which USB traffic (setup
// packet, data stage, time-out) each one becomes, the "usb:" path of a
// device, and the interface classes a DFU interface is listed under. Free of
// any USB library, so every USB transport shares it and it is tested against
// a fake one: platform/libusb/usb_backend.cpp (libusb-1.0) and
// platform/win32/winusb_backend.cpp (WinUSB) give it the real ones.
#ifndef ZUVA_PLATFORM_USB_USB_REQUESTS_H_
#define ZUVA_PLATFORM_USB_USB_REQUESTS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common/guid.h"
#include "common/status_code.h"
#include "platform/usb/usb_capture.h"
#include "protocol/dfu.h"
#include "protocol/usb.h"

constexpr char USB_PATH_PREFIX[] = "usb:";
// A DFU class request that gets no answer within this time has failed.
constexpr unsigned USB_CONTROL_TIMEOUT_MS = 5000;
// The time-out of a status request while the device is busy (after a
// download, or after a status that said dfuDNBUSY). Some devices do not
// answer it until the flash operation is over, because their processor
// stalls while the flash is written: the answer of a sector or mass erase
// can take tens of seconds: it may take as long as a device may stay busy.
constexpr unsigned USB_BUSY_STATUS_TIMEOUT_MS = DFU_BUSY_LIMIT_MS;

// libusb's results (WinUSB's backend gives the same numbers): an interface
// that another program has claimed, a device that has gone, a transfer that
// got no answer in time, a stalled transfer.
constexpr int USB_RESULT_NO_DEVICE = -4;
constexpr int USB_RESULT_BUSY = -6;
constexpr int USB_RESULT_TIMEOUT = -7;
constexpr int USB_RESULT_PIPE = -9;

// Why a transfer failed, from a failed call's result (USB_RESULT_*).
UsbTransferOutcome UsbFailureOfResult(int result);

// The operations of an open USB device that the driver requests need. Each
// returns a libusb-style result: a count of bytes or 0 on success, a negative
// value on failure.
class CUsbTransport {
 public:
  virtual ~CUsbTransport() = default;
  virtual int ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value,
                              uint16_t index, uint8_t* data, uint16_t length,
                              unsigned timeoutMs) = 0;
  // Claims the interface, detaching a kernel driver that holds it; claiming
  // an interface this transport already holds succeeds.
  virtual int ClaimInterface(uint8_t interfaceNumber) = 0;
  virtual int SetAlternateSetting(uint8_t interfaceNumber, uint8_t alternateSetting) = 0;

  // Kept by UsbAnswerDriverRequest: whether the device may be busy, so that
  // its next status request waits long enough for the answer.
  bool deviceMayBeBusy = false;
  // Set by UsbAnswerDriverRequest when it fails: why.
  UsbTransferOutcome lastFailure = UsbTransferOutcome::kFailed;
};

// Carries out one driver I/O-control request (codes and layouts of
// protocol/driver_requests.h) on `transport`, as the control transfer
// DriverRequestToSetup makes of it. True when the device completed it,
// with the count of output bytes in *bytesReturned (a short device-to-host
// data stage completes with the count it moved); false for a refused buffer,
// a stall, a time-out or a vanished device.
bool UsbAnswerDriverRequest(CUsbTransport* transport, uint32_t code, const void* input,
                            uint32_t inputSize, void* output, uint32_t outputSize,
                            uint32_t* bytesReturned);

// "usb:BUS-PORT.PORT...": the bus and the chain of hub ports that lead to the
// device. Unlike the device number it survives a re-enumeration, so a device
// that detaches and comes back on the same port keeps its path.
std::string UsbFormatPath(uint8_t bus, const std::vector<uint8_t>& ports);

// Claims the interface for a hold (DriverHold) and names the outcome:
// RESULT_OK (also for an interface the transport holds already),
// DEV_ERR_IN_USE when another program holds it, DEV_ERR_OPEN_FAILED for any
// other refusal (the device gone, no permission).
StatusCode UsbHoldInterface(CUsbTransport* transport, uint8_t interfaceNumber);
// False for anything that is not such a path (numbers 1..255, at least one
// port, at most seven: the depth of a USB tree).
bool UsbParsePath(const std::string& path, uint8_t* bus, std::vector<uint8_t>* ports);

// The interface classes a device is listed under, from the class, subclass
// and protocol of each of its interfaces: DFU_INTERFACE_GUID for a DFU-mode
// interface, APP_INTERFACE_GUID for a run-time one, each at most once.
struct UsbInterfaceTriple {
  uint8_t interfaceClass = 0;
  uint8_t subclass = 0;
  uint8_t protocol = 0;
};
std::vector<Guid> UsbListedClasses(const std::vector<UsbInterfaceTriple>& interfaces);

#endif  // ZUVA_PLATFORM_USB_USB_REQUESTS_H_
