#include "platform/win32/winusb_backend.h"

#include <setupapi.h>
#include <devpropdef.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/device_notifier.h"
#include "platform/driver_port.h"
#include "platform/usb/usb_requests.h"
#include "platform/text.h"
#include "platform/win32/interface_path.h"
#include "platform/win32/system_library.h"
#include "platform/win32/win32_guid.h"
#include "platform/win32/winusb_api.h"

namespace {

// Every present device node, whatever its setup class: a device bound by
// hand keeps the class its INF gave it.
constexpr DWORD WINUSB_ALL_PRESENT_DEVICES = DIGCF_PRESENT | DIGCF_ALLCLASSES;
// The enumerator of the devices the USB bus found.
constexpr char WINUSB_ENUMERATOR[] = "USB";
constexpr DWORD WINUSB_PRESENT_INTERFACES = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
// Service names, compatible ids and instance ids fit easily.
constexpr DWORD WINUSB_PROPERTY_BUFFER_SIZE = 2048;
// As the kernel driver's listing: a description that does not fit counts as
// no description.
constexpr DWORD WINUSB_DESCRIPTION_BUFFER_SIZE = 253;
// The compatible id Windows gives a device (or, on a composite device, an
// interface's node) from the interface's class, subclass and protocol.
constexpr char WINUSB_DFU_MODE_ID[] = "USB\\Class_FE&SubClass_01&Prot_02";
constexpr char WINUSB_DFU_RUNTIME_ID[] = "USB\\Class_FE&SubClass_01&Prot_01";
// The interface classes a WinUSB device's registry key names: several (a
// multi-string) or one, as the firmware's OS descriptors or the INF set.
constexpr char WINUSB_INTERFACE_GUIDS_VALUE[] = "DeviceInterfaceGUIDs";
constexpr char WINUSB_INTERFACE_GUID_VALUE[] = "DeviceInterfaceGUID";
// The interface of a composite device's node: "&MI_nn" in its instance id,
// which the interface path carries too.
constexpr char WINUSB_INTERFACE_MARK[] = "&mi_";
// GUID_DEVINTERFACE_USB_DEVICE, the interface class of every USB device node.
constexpr Guid WINUSB_USB_DEVICE_CLASS = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
constexpr UCHAR WINUSB_CONTROL_PIPE = 0;
// The text of DEVPKEY_Device_BusReportedDeviceDesc: the product string the
// device reported when it arrived.
const DEVPROPKEY WINUSB_BUS_REPORTED_DESCRIPTION = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};
constexpr DEVPROPTYPE WINUSB_PROPERTY_TYPE_STRING = 0x12;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The strings of a multi-string (or a plain string) of `size` bytes; a value
// without its final zero ends at its size.
std::vector<std::string> SplitStrings(const char* data, size_t size) {
  std::vector<std::string> strings;
  size_t at = 0;
  while (at < size && data[at] != 0) {
    const size_t length = strnlen(data + at, size - at);
    strings.emplace_back(data + at, length);
    at += length + 1;
  }
  return strings;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", as the registry writes a GUID.
bool ParseGuid(const std::string& text, Guid* guid) {
  static const char kShape[] = "{________-____-____-____-____________}";
  if (text.size() != sizeof(kShape) - 1) return false;
  uint8_t bytes[16];
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (kShape[i] != '_') {
      if (text[i] != kShape[i]) return false;
      continue;
    }
    const int high = HexDigit(text[i]);
    const int low = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
    if (high < 0 || low < 0 || kShape[i + 1] != '_') return false;
    bytes[count++] = static_cast<uint8_t>(high << 4 | low);
    ++i;
  }
  guid->data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
                static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
  guid->data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  guid->data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  std::memcpy(guid->data4, bytes + 8, sizeof(guid->data4));
  return true;
}

// A registry property of the device as its strings; false when it cannot be
// read.
bool ReadStrings(const WinUsbApi& api, HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property,
                 std::vector<std::string>* strings) {
  std::vector<char> buffer(WINUSB_PROPERTY_BUFFER_SIZE, 0);
  DWORD type = 0;
  DWORD required = 0;
  if (!api.getDeviceRegistryProperty(list, device, property, &type,
                                     reinterpret_cast<BYTE*>(buffer.data()),
                                     static_cast<DWORD>(buffer.size()), &required)) {
    return false;
  }
  *strings = SplitStrings(buffer.data(), std::min<size_t>(buffer.size(), required));
  return true;
}

const Guid* ListedClassOf(const std::vector<std::string>& compatibleIds) {
  for (const std::string& id : compatibleIds) {
    if (Lower(id) == Lower(WINUSB_DFU_MODE_ID)) return &DFU_INTERFACE_GUID;
    if (Lower(id) == Lower(WINUSB_DFU_RUNTIME_ID)) return &APP_INTERFACE_GUID;
  }
  return nullptr;
}

bool ReadInstanceId(const WinUsbApi& api, HDEVINFO list, SP_DEVINFO_DATA* device,
                    std::string* instanceId) {
  char buffer[WINUSB_PROPERTY_BUFFER_SIZE] = {};
  if (!api.getDeviceInstanceId(list, device, buffer, sizeof(buffer), nullptr)) return false;
  instanceId->assign(buffer, strnlen(buffer, sizeof(buffer)));
  return true;
}

// The interface classes the device's registry key names; none when the key
// or both values are missing.
std::vector<Guid> ReadInterfaceClasses(const WinUsbApi& api, HDEVINFO list,
                                       SP_DEVINFO_DATA* device) {
  std::vector<Guid> classes;
  HKEY key = api.openDevRegKey(list, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE || key == nullptr) return classes;
  for (const char* name : {WINUSB_INTERFACE_GUIDS_VALUE, WINUSB_INTERFACE_GUID_VALUE}) {
    std::vector<char> buffer(WINUSB_PROPERTY_BUFFER_SIZE, 0);
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(buffer.size());
    if (api.queryValue(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                       &size) != ERROR_SUCCESS ||
        (type != REG_MULTI_SZ && type != REG_SZ)) {
      continue;
    }
    for (const std::string& text : SplitStrings(buffer.data(), std::min<size_t>(size, buffer.size()))) {
      Guid parsed;
      if (ParseGuid(text, &parsed)) classes.push_back(parsed);
    }
    if (!classes.empty()) break;
  }
  api.closeKey(key);
  return classes;
}

// The path of the present interface of class `interfaceClass` that belongs
// to the device `instanceId`.
bool FindInterfacePath(const WinUsbApi& api, const Guid& interfaceClass,
                       const std::string& instanceId, std::string* path) {
  const GUID classGuid = ToWin32Guid(interfaceClass);
  HDEVINFO list = api.getClassDevs(&classGuid, nullptr, nullptr, WINUSB_PRESENT_INTERFACES);
  if (list == INVALID_HANDLE_VALUE) return false;
  bool found = false;
  for (DWORD index = 0; !found; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(interfaceData);
    if (!api.enumDeviceInterfaces(list, nullptr, &classGuid, index, &interfaceData)) break;
    SP_DEVINFO_DATA deviceData = {};
    deviceData.cbSize = sizeof(deviceData);
    std::string candidate, owner;
    if (!ReadInterfacePath(api.getDeviceInterfaceDetail, list, &interfaceData, &deviceData,
                           &candidate) ||
        !ReadInstanceId(api, list, &deviceData, &owner)) {
      continue;
    }
    if (Lower(owner) == Lower(instanceId)) {
      *path = candidate;
      found = true;
    }
  }
  api.destroyDeviceInfoList(list);
  return found;
}

// The product string the device reported, else the description of its
// registry entry, else none.
void ReadDescription(const WinUsbApi& api, HDEVINFO list, SP_DEVINFO_DATA* device,
                     InterfaceInfo* info) {
  uint16_t units[WINUSB_DESCRIPTION_BUFFER_SIZE] = {};
  DEVPROPTYPE type = 0;
  DWORD required = 0;
  if (api.getDeviceProperty(list, device, &WINUSB_BUS_REPORTED_DESCRIPTION, &type,
                            reinterpret_cast<BYTE*>(units), sizeof(units), &required, 0) &&
      type == WINUSB_PROPERTY_TYPE_STRING) {
    size_t count = 0;
    const size_t limit = std::min<size_t>(required, sizeof(units)) / 2;
    while (count < limit && units[count] != 0) ++count;
    info->hasDescription = true;
    info->description = Utf16ToConsoleText(units, count);
    return;
  }
  BYTE buffer[WINUSB_DESCRIPTION_BUFFER_SIZE] = {};
  DWORD propertyType = 0;
  if (api.getDeviceRegistryProperty(list, device, SPDRP_DEVICEDESC, &propertyType, buffer,
                                    sizeof(buffer), &required)) {
    const char* text = reinterpret_cast<const char*>(buffer);
    info->hasDescription = true;
    info->description.assign(text, strnlen(text, sizeof(buffer)));
  }
}

struct ListedInterface {
  InterfaceInfo info;  // path with its prefix
  Guid listedClass;    // DFU_INTERFACE_GUID or APP_INTERFACE_GUID
  Guid interfaceClass;  // the class of the interface itself
};

// The present device nodes the USB bus enumerated: every USB device is one
// of them, while a real PC has hundreds of other nodes (ACPI, PCI, storage,
// software devices) whose service need not be read on every look. A system
// that shows no USB node at all (a virtual machine without a USB bus, Wine,
// whose nodes are all root-enumerated) has every node listed instead.
HDEVINFO ListDeviceNodes(const WinUsbApi& api) {
  HDEVINFO list = api.getClassDevs(nullptr, WINUSB_ENUMERATOR, nullptr, WINUSB_ALL_PRESENT_DEVICES);
  if (list != INVALID_HANDLE_VALUE) {
    SP_DEVINFO_DATA first = {};
    first.cbSize = sizeof(first);
    if (api.enumDeviceInfo(list, 0, &first)) return list;
    api.destroyDeviceInfoList(list);
  }
  return api.getClassDevs(nullptr, nullptr, nullptr, WINUSB_ALL_PRESENT_DEVICES);
}

// Every present WinUSB DFU interface, in the order of the device list; the
// flag is false when the system gave no device list (a machine without
// WinUSB has nothing to list, which is no failure).
std::pair<bool, std::vector<ListedInterface>> ListInterfaces(const WinUsbApi& api) {
  std::pair<bool, std::vector<ListedInterface>> answer{true, {}};
  std::vector<ListedInterface>& listed = answer.second;
  if (!api.HasWinUsb()) return answer;
  HDEVINFO list = ListDeviceNodes(api);
  if (list == INVALID_HANDLE_VALUE) return {false, {}};
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    if (!api.enumDeviceInfo(list, index, &device)) break;
    std::vector<std::string> service, compatibleIds;
    if (!ReadStrings(api, list, &device, SPDRP_SERVICE, &service) || service.empty() ||
        Lower(service[0]) != Lower(WINUSB_SERVICE_NAME) ||
        !ReadStrings(api, list, &device, SPDRP_COMPATIBLEIDS, &compatibleIds)) {
      continue;
    }
    const Guid* listedClass = ListedClassOf(compatibleIds);
    std::string instanceId;
    if (listedClass == nullptr || !ReadInstanceId(api, list, &device, &instanceId)) continue;
    std::vector<Guid> interfaceClasses = ReadInterfaceClasses(api, list, &device);
    // Without a class of its own, a device bound to WinUSB as a whole is
    // still reached through the interface the USB hub gives every device; the
    // interface of a composite device's function has no such interface.
    if (interfaceClasses.empty() && Lower(instanceId).find(WINUSB_INTERFACE_MARK) == std::string::npos) {
      interfaceClasses.push_back(WINUSB_USB_DEVICE_CLASS);
    }
    // One entry per device: the first of its classes that has an interface.
    for (const Guid& interfaceClass : interfaceClasses) {
      std::string path;
      if (!FindInterfacePath(api, interfaceClass, instanceId, &path)) continue;
      ListedInterface entry{{}, *listedClass, interfaceClass};
      entry.info.path = WINUSB_PATH_PREFIX + path;
      ReadDescription(api, list, &device, &entry.info);
      listed.push_back(std::move(entry));
      break;
    }
  }
  api.destroyDeviceInfoList(list);
  return answer;
}

// What the listings have seen, for the device-change window: a device that
// has gone can no longer be asked what it was.
struct SeenInterfaces {
  std::mutex mutex;
  std::map<std::string, Guid> listedClassByPath;  // lower-case path with prefix
  std::vector<Guid> interfaceClasses;
};

SeenInterfaces& Seen() {
  static SeenInterfaces* seen = new SeenInterfaces;  // outlives every static destructor
  return *seen;
}

void Remember(const std::vector<ListedInterface>& listed) {
  SeenInterfaces& seen = Seen();
  std::lock_guard<std::mutex> lock(seen.mutex);
  for (const ListedInterface& entry : listed) {
    seen.listedClassByPath[Lower(entry.info.path)] = entry.listedClass;
    auto& classes = seen.interfaceClasses;
    if (std::find(classes.begin(), classes.end(), entry.interfaceClass) == classes.end()) {
      classes.push_back(entry.interfaceClass);
    }
  }
}

// The interface number of a composite device's node, from "&MI_nn" in its
// path; -1 for a device bound as a whole.
int InterfaceNumberOf(const std::string& interfacePath) {
  const std::string lower = Lower(interfacePath);
  const size_t at = lower.find(WINUSB_INTERFACE_MARK);
  if (at == std::string::npos) return -1;
  const size_t digits = at + std::strlen(WINUSB_INTERFACE_MARK);
  if (digits + 2 > lower.size()) return -1;
  const int high = HexDigit(lower[digits]);
  const int low = HexDigit(lower[digits + 1]);
  if (high < 0 || low < 0 || high > 9 || low > 9) return -1;
  return high * 10 + low;
}

// One opened device, shared by every connection to its path: WinUSB lets one
// handle at a time reach a device, and the console thread and a worker may
// both have it open.
class CWinUsbDevice : public CUsbTransport {
 public:
  CWinUsbDevice(const WinUsbApi& api, HANDLE file, WINUSB_INTERFACE_HANDLE interfaceHandle,
                int interfaceNumber)
      : api_(api), file_(file), interface_(interfaceHandle), interfaceNumber_(interfaceNumber) {}
  ~CWinUsbDevice() override {
    api_.free(interface_);
    api_.closeHandle(file_);
  }
  CWinUsbDevice(const CWinUsbDevice&) = delete;
  CWinUsbDevice& operator=(const CWinUsbDevice&) = delete;

  // Null when the device cannot be opened; *failure then says
  // DEV_ERR_IN_USE for the refusal WinUSB gives while another program has the
  // device open (access denied), and is left alone otherwise.
  static std::shared_ptr<CWinUsbDevice> Open(const WinUsbApi& api,
                                             const std::string& interfacePath,
                                             StatusCode* failure) {
    if (!api.HasWinUsb()) return nullptr;
    const auto refused = [failure]() {
      if (WinUsbResultOfError(GetLastError()) == WINUSB_RESULT_BUSY) *failure = DEV_ERR_IN_USE;
    };
    // WinUSB needs a handle opened for overlapped I/O; the transfers still
    // complete before their calls return.
    HANDLE file = api.createFile(interfacePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE || file == nullptr) {
      refused();
      return nullptr;
    }
    WINUSB_INTERFACE_HANDLE handle = nullptr;
    if (!api.initialize(file, &handle)) {
      refused();
      api.closeHandle(file);
      return nullptr;
    }
    auto device = std::make_shared<CWinUsbDevice>(api, file, handle,
                                                  InterfaceNumberOf(interfacePath));
    // A refused time-out is no reason to leave the device unused: the
    // control pipe then keeps WinUSB's own (5 s unless changed).
    device->SetTimeout(USB_CONTROL_TIMEOUT_MS);
    return device;
  }

  // *failure: why the request failed, when it did.
  bool IoControl(uint32_t code, const void* input, uint32_t inputSize, void* output,
                 uint32_t outputSize, uint32_t* bytesReturned, UsbTransferOutcome* failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool completed =
        UsbAnswerDriverRequest(this, code, input, inputSize, output, outputSize, bytesReturned);
    *failure = lastFailure;
    return completed;
  }

  bool Gone() const { return gone_; }

  int ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                      uint8_t* data, uint16_t length, unsigned timeoutMs) override {
    // WinUSB's limit: a longer data stage is refused here, never cut short.
    if (length > WINUSB_MAX_CONTROL_TRANSFER) return WINUSB_RESULT_INVALID_PARAM;
    if (timeoutMs != timeoutMs_) SetTimeout(timeoutMs);
    WINUSB_SETUP_PACKET setup;
    setup.RequestType = requestType;
    setup.Request = request;
    setup.Value = value;
    setup.Index = index;
    setup.Length = length;
    ULONG transferred = 0;
    if (!api_.controlTransfer(interface_, setup, data, length, &transferred, nullptr)) {
      return Failure();
    }
    return static_cast<int>(std::min<ULONG>(transferred, length));
  }

  // The handle holds its interface already; a request for another interface
  // of a composite device cannot go through it.
  int ClaimInterface(uint8_t interfaceNumber) override {
    if (interfaceNumber_ >= 0 && interfaceNumber != interfaceNumber_) {
      return WINUSB_RESULT_NOT_FOUND;
    }
    return 0;
  }

  int SetAlternateSetting(uint8_t interfaceNumber, uint8_t alternateSetting) override {
    if (ClaimInterface(interfaceNumber) < 0) return WINUSB_RESULT_NOT_FOUND;
    if (!api_.setCurrentAlternateSetting(interface_, alternateSetting)) return Failure();
    return 0;
  }

 private:
  // Sets the control pipe's time-out; a refusal is written to the debug log
  // once per device, and the transfer goes on under the pipe's time-out.
  void SetTimeout(unsigned timeoutMs) {
    ULONG value = timeoutMs;
    if (api_.setPipePolicy(interface_, WINUSB_CONTROL_PIPE, PIPE_TRANSFER_TIMEOUT, sizeof(value), &value)) {
      timeoutMs_ = timeoutMs;
      return;
    }
    if (!timeoutRefusalLogged_) {
      timeoutRefusalLogged_ = true;
      const std::string note = "ZUVA: WinUSB refused the control pipe's time-out of " + std::to_string(timeoutMs) +
                               " ms (error " + std::to_string(GetLastError()) + "); the pipe keeps its own\n";
      OutputDebugStringA(note.c_str());
    }
  }

  int Failure() {
    const int result = WinUsbResultOfError(GetLastError());
    if (result == WINUSB_RESULT_NO_DEVICE) gone_ = true;
    return result;
  }

  const WinUsbApi api_;
  const HANDLE file_;
  const WINUSB_INTERFACE_HANDLE interface_;
  const int interfaceNumber_;
  unsigned timeoutMs_ = 0;
  bool timeoutRefusalLogged_ = false;
  std::mutex mutex_;
  std::atomic<bool> gone_{false};
};

class CWinUsbConnection : public DriverConnection {
 public:
  explicit CWinUsbConnection(std::shared_ptr<CWinUsbDevice> device) : device_(std::move(device)) {}
  bool IoControl(uint32_t code, const void* input, uint32_t inputSize, void* output,
                 uint32_t outputSize, uint32_t* bytesReturned) override {
    return device_->IoControl(code, input, inputSize, output, outputSize, bytesReturned,
                              &lastFailure_);
  }
  UsbTransferOutcome LastFailure() const override { return lastFailure_; }

 private:
  const std::shared_ptr<CWinUsbDevice> device_;
  UsbTransferOutcome lastFailure_ = UsbTransferOutcome::kFailed;
};

class CWinUsbBackend : public DriverBackend {
 public:
  std::string PathPrefix() const override { return WINUSB_PATH_PREFIX; }
  bool IsVirtual() const override { return false; }

  std::unique_ptr<DriverConnection> Open(const std::string& path, StatusCode* failure) override {
    const std::string interfacePath = path.substr(std::strlen(WINUSB_PATH_PREFIX));
    if (interfacePath.empty()) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = devices_.begin(); it != devices_.end();) {
      it = it->second.expired() ? devices_.erase(it) : std::next(it);
    }
    std::shared_ptr<CWinUsbDevice> shared = devices_[Lower(interfacePath)].lock();
    // A device that has gone needs a handle of its own when it is back.
    if (!shared || shared->Gone()) {
      shared = CWinUsbDevice::Open(ActiveWinUsbApi(), interfacePath, failure);
      if (!shared) return nullptr;
      devices_[Lower(interfacePath)] = shared;
    }
    return std::make_unique<CWinUsbConnection>(std::move(shared));
  }

  // The hold is an open connection: the device's one WinUSB handle then
  // stays open between this program's operations, which share it, and
  // another program's open is refused.
  StatusCode Hold(const std::string& path, uint8_t /*interfaceNumber*/,
                  std::unique_ptr<DriverConnection>* held) override {
    StatusCode failure = DEV_ERR_OPEN_FAILED;
    *held = Open(path, &failure);
    return *held ? RESULT_OK : failure;
  }

  bool Enumerate(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces) override {
    const auto [complete, listed] = ListInterfaces(ActiveWinUsbApi());
    Remember(listed);
    for (const ListedInterface& entry : listed) {
      if (entry.listedClass == interfaceClass) interfaces->push_back(entry.info);
    }
    return complete;
  }

 private:
  std::mutex mutex_;
  // The device closes with the last connection that uses it.
  std::map<std::string, std::weak_ptr<CWinUsbDevice>> devices_;
};

}  // namespace

int WinUsbResultOfError(DWORD error) {
  struct Row {
    DWORD error;
    int result;
  };
  static const Row kRows[] = {
      {ERROR_GEN_FAILURE, WINUSB_RESULT_STALL},  // the device stalled the request
      {ERROR_SEM_TIMEOUT, WINUSB_RESULT_TIMEOUT},
      {ERROR_FILE_NOT_FOUND, WINUSB_RESULT_NO_DEVICE},
      {ERROR_DEVICE_NOT_CONNECTED, WINUSB_RESULT_NO_DEVICE},
      // What WinUSB answers to a request on a handle whose device has been
      // unplugged.
      {ERROR_BAD_COMMAND, WINUSB_RESULT_NO_DEVICE},
      {WINUSB_ERROR_NO_SUCH_DEVICE, WINUSB_RESULT_NO_DEVICE},
      // WinUSB lets one handle at a time reach a device.
      {ERROR_ACCESS_DENIED, WINUSB_RESULT_BUSY},
  };
  for (const Row& row : kRows) {
    if (row.error == error) return row.result;
  }
  return WINUSB_RESULT_IO;
}

std::shared_ptr<DriverBackend> CreateWinUsbBackend() { return std::make_shared<CWinUsbBackend>(); }

std::vector<Guid> WinUsbNotificationClasses() {
  SeenInterfaces& seen = Seen();
  std::lock_guard<std::mutex> lock(seen.mutex);
  return seen.interfaceClasses;
}

bool WinUsbTranslateDeviceChange(DeviceChangeKind kind, const Guid& broadcastClass,
                                 const std::string& name, DeviceChangeEvent* event) {
  const std::string path = WINUSB_PATH_PREFIX + name;
  auto lookUp = [&]() {
    SeenInterfaces& seen = Seen();
    std::lock_guard<std::mutex> lock(seen.mutex);
    auto& classes = seen.interfaceClasses;
    if (std::find(classes.begin(), classes.end(), broadcastClass) == classes.end()) return false;
    auto it = seen.listedClassByPath.find(Lower(path));
    if (it == seen.listedClassByPath.end()) return false;
    *event = DeviceChangeEvent{kind, it->second, path};
    return true;
  };
  if (lookUp()) return true;
  // A device that arrives can still be asked what it is.
  if (kind != DeviceChangeKind::kArrival) return false;
  Remember(ListInterfaces(ActiveWinUsbApi()).second);
  return lookUp();
}

WinUsbApi SystemWinUsbApi() {
  WinUsbApi api = {};
  if (HMODULE library = LoadSystemLibrary("winusb.dll")) {
    // The library stays loaded for the life of the process.
    auto load = [library](auto* entry, const char* name) {
      *entry = reinterpret_cast<std::remove_pointer_t<decltype(entry)>>(
          reinterpret_cast<void*>(GetProcAddress(library, name)));
    };
    load(&api.initialize, "WinUsb_Initialize");
    load(&api.free, "WinUsb_Free");
    load(&api.controlTransfer, "WinUsb_ControlTransfer");
    load(&api.setPipePolicy, "WinUsb_SetPipePolicy");
    load(&api.setCurrentAlternateSetting, "WinUsb_SetCurrentAlternateSetting");
    if (!api.HasWinUsb()) api = {};
  }
  api.createFile = &::CreateFileA;
  api.closeHandle = &::CloseHandle;
  api.getClassDevs = &::SetupDiGetClassDevsA;
  api.enumDeviceInfo = &::SetupDiEnumDeviceInfo;
  api.getDeviceInstanceId = &::SetupDiGetDeviceInstanceIdA;
  api.getDeviceRegistryProperty = &::SetupDiGetDeviceRegistryPropertyA;
  api.getDeviceProperty = &::SetupDiGetDevicePropertyW;
  api.openDevRegKey = &::SetupDiOpenDevRegKey;
  api.queryValue = &::RegQueryValueExA;
  api.closeKey = &::RegCloseKey;
  api.enumDeviceInterfaces = &::SetupDiEnumDeviceInterfaces;
  api.getDeviceInterfaceDetail = &::SetupDiGetDeviceInterfaceDetailA;
  api.destroyDeviceInfoList = &::SetupDiDestroyDeviceInfoList;
  return api;
}

WinUsbApi& ActiveWinUsbApi() {
  static WinUsbApi api = SystemWinUsbApi();
  return api;
}
