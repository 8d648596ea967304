// Driver port: the five I/O-control requests of the DFU driver (codes and
// buffer layouts in protocol/driver_requests.h), served by backends. A path
// that begins with a registered backend's prefix (WinUSB's "winusb:", the
// virtual device's "sim:") goes to that backend; every other path goes to the
// platform's own backend without a prefix: the kernel driver on Windows,
// libusb (which opens "usb:" paths) on Linux.
#ifndef ZUVA_PLATFORM_DRIVER_PORT_H_
#define ZUVA_PLATFORM_DRIVER_PORT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/guid.h"
#include "common/status_code.h"
#include "platform/usb/usb_capture.h"

using DriverHandle = uintptr_t;  // 0: not open
constexpr DriverHandle DRIVER_INVALID_HANDLE = 0;

// Opens a device-interface path for exclusive read/write access. Returns
// DRIVER_INVALID_HANDLE on failure, and then, with `failure`, why:
// DEV_ERR_IN_USE when the transport tells that another program holds the
// device, DEV_ERR_ACCESS_DENIED when the system refused this program access
// to it, DEV_ERR_OPEN_FAILED otherwise.
DriverHandle DriverOpen(const std::string& path, StatusCode* failure = nullptr);

// Keeps the device at `path` for this program alone until *held is closed
// (DriverClose): its DFU interface `interfaceNumber` is claimed, every handle
// this program opens to the device meanwhile goes through that claim, and
// another program that claims the interface (or, where the transport allows
// one handle, opens the device) is refused until then. No request reaches
// the device. RESULT_OK with *held open, or with DRIVER_INVALID_HANDLE where
// there is nothing to hold: the kernel driver, opened without sharing by each
// operation, and virtual devices, which no other program reaches.
// DEV_ERR_IN_USE when another program holds the device; DEV_ERR_ACCESS_DENIED
// when the system refused access to it; DEV_ERR_OPEN_FAILED when it cannot be
// opened or claimed for another reason (gone).
StatusCode DriverHold(const std::string& path, uint8_t interfaceNumber, DriverHandle* held);

// Sends one I/O-control request. True when the driver completed it; the count
// of output bytes goes to *bytesReturned.
bool DriverIoControl(DriverHandle handle, uint32_t code, const void* input, uint32_t inputSize,
                     void* output, uint32_t outputSize, uint32_t* bytesReturned);

void DriverClose(DriverHandle handle);

// The file of the system that the device at `path` is reached through, as
// a refusal of access names it ("/dev/bus/usb/001/004" for a libusb
// device); empty where the backend has none or the device is not present.
std::string DriverSystemNode(const std::string& path);

// Whether `given` names the device interface at `path`: the path itself or,
// for a device of the libusb backend, its bus-port location alone ("1-4" for
// "usb:1-4"), the way other USB tools print it.
bool DriverPathNamedBy(const std::string& path, const std::string& given);

// Resets the device's USB port, as a host does to start a device's new
// firmware after manifestation or to bring a detached device up in DFU mode.
// RESULT_OK when the reset was sent; a device whose descriptors change with
// it re-enumerates as a new device, and the handle then reaches nothing. A
// device that leaves at the reset cannot be told from one that had already
// left: both are RESULT_OK. DEV_ERR_RESET_UNSUPPORTED when the transport has
// no reset, DEV_ERR_NOT_OPEN for a handle that is not open,
// DEV_ERR_RESET_FAILED when the port refused it.
StatusCode DriverResetDevice(DriverHandle handle);

// One present device interface.
struct InterfaceInfo {
  std::string path;
  bool hasDescription = false;  // false: the description cannot be read
  std::string description;
};

// The present interfaces of an interface class, in listing order: real
// devices first, virtual devices last. False when a source (the system's
// listing or a backend's) could not list its devices: *interfaces then holds
// what the others listed, and a device missing from it may still be present.
bool EnumerateInterfaces(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces);

// An open device connection of a backend.
class DriverConnection {
 public:
  virtual ~DriverConnection() = default;
  virtual bool IoControl(uint32_t code, const void* input, uint32_t inputSize, void* output,
                         uint32_t outputSize, uint32_t* bytesReturned) = 0;
  // A USB reset of the device's port (DriverResetDevice); a backend without
  // one keeps this.
  virtual StatusCode Reset() { return DEV_ERR_RESET_UNSUPPORTED; }
  // Why the last IoControl that returned false failed: the device stalled
  // it, had gone, or did not answer in time. kFailed where the transport
  // cannot tell, or refused the request before it reached the device.
  virtual UsbTransferOutcome LastFailure() const { return UsbTransferOutcome::kFailed; }
};

// A source of devices: the platform's own (the kernel driver, WinUSB,
// libusb), the virtual device (prefix "sim:") or a test's fake.
class DriverBackend {
 public:
  virtual ~DriverBackend() = default;
  // The start of the backend's paths. Empty: the backend answers every path
  // that no backend with a prefix claims, as the platform's own driver does.
  virtual std::string PathPrefix() const = 0;
  // Virtual backends are listed after the real ones.
  virtual bool IsVirtual() const = 0;
  // Null when the device cannot be opened; then *failure may be set to
  // DEV_ERR_IN_USE when another program holds it, or DEV_ERR_ACCESS_DENIED
  // when the system refused access (it is DEV_ERR_OPEN_FAILED on entry).
  virtual std::unique_ptr<DriverConnection> Open(const std::string& path,
                                                 StatusCode* failure) = 0;
  // DriverHold for the backend's paths: by default there is nothing to hold
  // (RESULT_OK, *held left null).
  virtual StatusCode Hold(const std::string& /*path*/, uint8_t /*interfaceNumber*/,
                          std::unique_ptr<DriverConnection>* /*held*/) {
    return RESULT_OK;
  }
  // DriverSystemNode for the backend's paths: none by default.
  virtual std::string SystemNode(const std::string& /*path*/) { return ""; }
  // Appends the backend's interfaces of the class; false when it could not
  // list them.
  virtual bool Enumerate(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces) = 0;
};

// Starts a capture: from now on every request the port passes to a device
// goes into the pcap file `path` (platform/usb/usb_capture.h) as the USB
// control transfer it becomes, with how it ended. Each device path gets its
// own device number on bus 1, from 1 in the order the run first sends to it,
// so several devices share one file. A write that fails is told once
// through `onFailure` and ends the capture, never a request. False with
// *error when the file cannot be created; a capture already running is
// replaced.
bool DriverCaptureStart(const std::string& path,
                        std::function<void(const std::string&)> onFailure, std::string* error);
// Ends the capture and closes its file.
void DriverCaptureStop();

// The platform's own backends are registered first, by the port itself.
// Further registration is done by the console thread at start-up (or by a
// test) and undone before the backend is destroyed.
void RegisterDriverBackend(std::shared_ptr<DriverBackend> backend);
void UnregisterDriverBackend(const DriverBackend* backend);

#endif  // ZUVA_PLATFORM_DRIVER_PORT_H_
