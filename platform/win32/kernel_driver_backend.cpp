// The USB DFU kernel driver: each DFU device is a device interface, opened by
// its path and driven with the driver's I/O-control requests; the present
// interfaces of a class come from the device installation lists.
#include "platform/win32/kernel_driver_backend.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/usb/usb_requests.h"
#include "platform/win32/interface_path.h"
#include "platform/win32/kernel_driver_api.h"
#include "platform/win32/win32_guid.h"
#include "platform/win32/winusb_backend.h"

namespace {

// Present devices only (DIGCF_PRESENT) of a device-interface class
// (DIGCF_DEVICEINTERFACE).
constexpr DWORD WIN32_ENUMERATION_FLAGS = 0x12;
static_assert(WIN32_ENUMERATION_FLAGS == (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
// Registry property of the device description (SPDRP_DEVICEDESC).
constexpr DWORD WIN32_PROPERTY_DEVICE_DESCRIPTION = 0;
static_assert(WIN32_PROPERTY_DEVICE_DESCRIPTION == SPDRP_DEVICEDESC);
// A description that does not fit counts as no description.
constexpr DWORD WIN32_DESCRIPTION_BUFFER_SIZE = 253;

bool ReadDescription(const KernelDriverApi& api, HDEVINFO list, SP_DEVINFO_DATA* deviceData,
                     std::string* description) {
  BYTE buffer[WIN32_DESCRIPTION_BUFFER_SIZE] = {};
  DWORD type = 0;
  DWORD required = 0;
  if (!api.getDeviceRegistryProperty(list, deviceData, WIN32_PROPERTY_DEVICE_DESCRIPTION, &type,
                                     buffer, sizeof(buffer), &required)) {
    return false;
  }
  const char* text = reinterpret_cast<const char*>(buffer);
  description->assign(text, strnlen(text, sizeof(buffer)));
  return true;
}

// One open device interface.
class CKernelDriverConnection : public DriverConnection {
 public:
  explicit CKernelDriverConnection(HANDLE handle) : handle_(handle) {}
  ~CKernelDriverConnection() override { ActiveKernelDriverApi().closeHandle(handle_); }
  CKernelDriverConnection(const CKernelDriverConnection&) = delete;
  CKernelDriverConnection& operator=(const CKernelDriverConnection&) = delete;

  bool IoControl(uint32_t code, const void* input, uint32_t inputSize, void* output,
                 uint32_t outputSize, uint32_t* bytesReturned) override {
    DWORD returned = 0;
    const BOOL done = ActiveKernelDriverApi().deviceIoControl(
        handle_, code, const_cast<void*>(input), inputSize, output, outputSize, &returned,
        nullptr);
    *bytesReturned = returned;
    // The driver fails a request with the USB stack's error, as WinUSB does.
    if (done == FALSE) lastFailure_ = UsbFailureOfResult(WinUsbResultOfError(GetLastError()));
    return done != FALSE;
  }
  UsbTransferOutcome LastFailure() const override { return lastFailure_; }
  // The kernel driver's five requests have no reset of the port: Reset keeps
  // DriverConnection's DEV_ERR_RESET_UNSUPPORTED.

 private:
  const HANDLE handle_;
  UsbTransferOutcome lastFailure_ = UsbTransferOutcome::kFailed;
};

class CKernelDriverBackend : public DriverBackend {
 public:
  std::string PathPrefix() const override { return ""; }
  bool IsVirtual() const override { return false; }

  std::unique_ptr<DriverConnection> Open(const std::string& path,
                                         StatusCode* /*failure*/) override {
    // Read and write, no sharing, synchronous I/O: the driver's requests
    // complete before DeviceIoControl returns.
    HANDLE handle = ActiveKernelDriverApi().createFile(
        path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return nullptr;
    return std::make_unique<CKernelDriverConnection>(handle);
  }

  // Hold keeps DriverBackend's: nothing to hold. Each operation opens the
  // kernel driver's device without sharing, which refuses another program
  // while it lasts; a handle kept open by a hold would refuse this program's
  // own operations as well.

  bool Enumerate(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces) override;
};

bool CKernelDriverBackend::Enumerate(const Guid& interfaceClass,
                                     std::vector<InterfaceInfo>* interfaces) {
  const KernelDriverApi& api = ActiveKernelDriverApi();
  const GUID classGuid = ToWin32Guid(interfaceClass);
  HDEVINFO list = api.getClassDevs(&classGuid, nullptr, nullptr, WIN32_ENUMERATION_FLAGS);
  if (list == INVALID_HANDLE_VALUE) return false;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(interfaceData);
    if (!api.enumDeviceInterfaces(list, nullptr, &classGuid, index, &interfaceData)) break;
    SP_DEVINFO_DATA deviceData = {};
    deviceData.cbSize = sizeof(deviceData);
    InterfaceInfo info;
    // An interface whose path cannot be read cannot be opened either; it is
    // left out rather than paired with another interface's path.
    if (!ReadInterfacePath(api.getDeviceInterfaceDetail, list, &interfaceData, &deviceData, &info.path)) continue;
    info.hasDescription = ReadDescription(api, list, &deviceData, &info.description);
    interfaces->push_back(std::move(info));
  }
  api.destroyDeviceInfoList(list);
  return true;
}

}  // namespace

std::shared_ptr<DriverBackend> CreateKernelDriverBackend() {
  return std::make_shared<CKernelDriverBackend>();
}

KernelDriverApi SystemKernelDriverApi() {
  return {&::CreateFileA,
          &::DeviceIoControl,
          &::CloseHandle,
          &::SetupDiGetClassDevsA,
          &::SetupDiEnumDeviceInterfaces,
          &::SetupDiGetDeviceInterfaceDetailA,
          &::SetupDiGetDeviceRegistryPropertyA,
          &::SetupDiDestroyDeviceInfoList};
}

KernelDriverApi& ActiveKernelDriverApi() {
  static KernelDriverApi api = SystemKernelDriverApi();
  return api;
}
