// A stand-in of winusb.dll, of the device installation lists and of the
// devices' registry keys, reached through the WinUSB entry-point table:
// which devices the "winusb:" backend lists, and what the driver requests
// become on an open device.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/device_notifier.h"
#include "platform/driver_port.h"
#include "platform/usb/usb_requests.h"
#include "platform/win32/kernel_driver_api.h"
#include "platform/win32/win32_guid.h"
#include "platform/win32/winusb_api.h"
#include "platform/win32/winusb_backend.h"
#include "protocol/driver_requests.h"

namespace {

constexpr char DFU_MODE_ID[] = "USB\\Class_FE&SubClass_01&Prot_02";
constexpr char RUNTIME_ID[] = "USB\\Class_FE&SubClass_01&Prot_01";
// Interface classes as firmware (or an INF) names them.
constexpr GUID FIRMWARE_CLASS = {
    0x1D4B2365, 0x4749, 0x48EA, {0xB3, 0x8A, 0x7C, 0x6F, 0xDD, 0xDD, 0x77, 0x34}};
constexpr char FIRMWARE_CLASS_TEXT[] = "{1D4B2365-4749-48EA-B38A-7C6FDDDD7734}";
constexpr GUID OTHER_CLASS = {
    0x88BAE032, 0x5A81, 0x49F0, {0xBC, 0x3D, 0xA4, 0xFF, 0x13, 0x82, 0x16, 0xD6}};
constexpr char OTHER_CLASS_TEXT[] = "{88bae032-5a81-49f0-bc3d-a4ff138216d6}";

// One device node of the stand-in system.
struct FakeNode {
  std::string instanceId;
  std::optional<std::string> service;  // none: no driver bound
  std::vector<std::string> compatibleIds;
  std::string interfacesValue = "DeviceInterfaceGUIDs";  // empty: the key has none
  std::vector<std::string> interfaceClasses;
  std::optional<std::u16string> busDescription;
  std::optional<std::string> registryDescription;
  std::vector<std::pair<GUID, std::string>> interfaces;  // class, path
};

struct Transfer {
  WINUSB_SETUP_PACKET setup;
  std::vector<uint8_t> data;  // host-to-device data stage
  ULONG bufferLength;
};

struct CFakeSystem {
  bool winUsbPresent = true;
  std::vector<FakeNode> nodes;
  // Device files and interface handles.
  std::vector<std::string> opened;
  std::vector<DWORD> openFlags;
  int initialized = 0, freed = 0, closed = 0;
  DWORD openError = 0;  // non-zero: CreateFile fails with it
  // Calls on the device, in order: "policy pipe type value", "transfer", "alt N".
  std::vector<std::string> calls;
  std::vector<Transfer> transfers;
  bool policyFails = false;
  DWORD transferError = 0;  // non-zero: the transfer fails with it
  std::vector<uint8_t> answer;  // a device-to-host data stage, clipped to the buffer
  std::optional<ULONG> transferredOut;  // a host-to-device stage cut short
};

CFakeSystem* fake = nullptr;
const HANDLE FAKE_FILE = reinterpret_cast<HANDLE>(0x7711);
const WINUSB_INTERFACE_HANDLE FAKE_INTERFACE = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(0x7722);
// The list of every device; a list of one interface class is 0x2000 + its
// index among the classes asked for.
const HDEVINFO ALL_DEVICES = reinterpret_cast<HDEVINFO>(0x1000);
// The list of the nodes the USB bus enumerated (instance ids "USB\...").
const HDEVINFO USB_DEVICES = reinterpret_cast<HDEVINFO>(0x1001);
std::vector<std::string> askedEnumerators;  // "" for none
const HKEY FAKE_KEY_BASE = reinterpret_cast<HKEY>(0x3000);
std::vector<GUID> askedClasses;

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

BOOL WINAPI FakeInitialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
  if (file != FAKE_FILE) return FALSE;
  ++fake->initialized;
  *handle = FAKE_INTERFACE;
  return TRUE;
}

BOOL WINAPI FakeFree(WINUSB_INTERFACE_HANDLE handle) {
  if (handle == FAKE_INTERFACE) ++fake->freed;
  return TRUE;
}

BOOL WINAPI FakeControlTransfer(WINUSB_INTERFACE_HANDLE, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                                ULONG length, PULONG transferred, LPOVERLAPPED) {
  fake->calls.push_back("transfer");
  Transfer record{setup, {}, length};
  const bool in = (setup.RequestType & 0x80) != 0;
  if (!in && buffer != nullptr) record.data.assign(buffer, buffer + length);
  fake->transfers.push_back(record);
  if (fake->transferError != 0) {
    SetLastError(fake->transferError);
    return FALSE;
  }
  ULONG moved = length;
  if (in) {
    moved = std::min<ULONG>(length, static_cast<ULONG>(fake->answer.size()));
    if (moved > 0) std::memcpy(buffer, fake->answer.data(), moved);
  } else if (fake->transferredOut) {
    moved = *fake->transferredOut;
  }
  *transferred = moved;
  return TRUE;
}

BOOL WINAPI FakeSetPipePolicy(WINUSB_INTERFACE_HANDLE, UCHAR pipe, ULONG type, ULONG length,
                              PVOID value) {
  ULONG number = 0;
  if (length == sizeof(number)) std::memcpy(&number, value, sizeof(number));
  fake->calls.push_back("policy " + std::to_string(pipe) + " " + std::to_string(type) + " " +
                        std::to_string(number));
  if (fake->policyFails) SetLastError(ERROR_INVALID_PARAMETER);
  return fake->policyFails ? FALSE : TRUE;
}

BOOL WINAPI FakeSetAlternate(WINUSB_INTERFACE_HANDLE, UCHAR setting) {
  fake->calls.push_back("alt " + std::to_string(setting));
  return TRUE;
}

HANDLE WINAPI FakeCreateFile(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags,
                             HANDLE) {
  fake->opened.push_back(path);
  fake->openFlags.push_back(flags);
  if (fake->openError != 0) {
    SetLastError(fake->openError);
    return INVALID_HANDLE_VALUE;
  }
  return FAKE_FILE;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  if (handle == FAKE_FILE) ++fake->closed;
  return TRUE;
}

bool UsbEnumerated(const FakeNode& node) { return node.instanceId.rfind("USB\\", 0) == 0; }

// The index in fake->nodes of a list's index-th node.
bool NodeOfList(HDEVINFO list, DWORD index, size_t* node) {
  if (list == ALL_DEVICES) {
    *node = index;
    return index < fake->nodes.size();
  }
  if (list != USB_DEVICES) return false;
  for (size_t i = 0; i < fake->nodes.size(); ++i) {
    if (UsbEnumerated(fake->nodes[i]) && index-- == 0) {
      *node = i;
      return true;
    }
  }
  return false;
}

HDEVINFO WINAPI FakeGetClassDevs(const GUID* interfaceClass, PCSTR enumerator, HWND, DWORD flags) {
  if (interfaceClass == nullptr) {
    askedEnumerators.push_back(enumerator != nullptr ? enumerator : "");
    if ((flags & DIGCF_ALLCLASSES) == 0) return INVALID_HANDLE_VALUE;
    return enumerator == nullptr ? ALL_DEVICES : std::string(enumerator) == "USB" ? USB_DEVICES : INVALID_HANDLE_VALUE;
  }
  if ((flags & DIGCF_DEVICEINTERFACE) == 0) return INVALID_HANDLE_VALUE;
  askedClasses.push_back(*interfaceClass);
  return reinterpret_cast<HDEVINFO>(0x2000 + askedClasses.size() - 1);
}

BOOL WINAPI FakeEnumDeviceInfo(HDEVINFO list, DWORD index, PSP_DEVINFO_DATA device) {
  size_t node = 0;
  if (!NodeOfList(list, index, &node)) return FALSE;
  device->DevInst = static_cast<DWORD>(node);
  return TRUE;
}

BOOL WINAPI FakeGetInstanceId(HDEVINFO, PSP_DEVINFO_DATA device, PSTR buffer, DWORD size, PDWORD) {
  const std::string& id = fake->nodes[device->DevInst].instanceId;
  if (id.size() + 1 > size) return FALSE;
  std::memcpy(buffer, id.c_str(), id.size() + 1);
  return TRUE;
}

bool PutStrings(const std::vector<std::string>& strings, bool multi, PDWORD type, PBYTE buffer,
                DWORD size, PDWORD required) {
  std::string bytes;
  for (const std::string& s : strings) bytes += s + '\0';
  if (multi) bytes += '\0';
  if (required != nullptr) *required = static_cast<DWORD>(bytes.size());
  if (bytes.size() > size) return false;
  if (type != nullptr) *type = multi ? REG_MULTI_SZ : REG_SZ;
  std::memcpy(buffer, bytes.data(), bytes.size());
  return true;
}

BOOL WINAPI FakeGetRegistryProperty(HDEVINFO, PSP_DEVINFO_DATA device, DWORD property, PDWORD type,
                                    PBYTE buffer, DWORD size, PDWORD required) {
  const FakeNode& node = fake->nodes[device->DevInst];
  switch (property) {
    case SPDRP_SERVICE:
      return node.service && PutStrings({*node.service}, false, type, buffer, size, required);
    case SPDRP_COMPATIBLEIDS:
      return !node.compatibleIds.empty() &&
             PutStrings(node.compatibleIds, true, type, buffer, size, required);
    case SPDRP_DEVICEDESC:
      return node.registryDescription &&
             PutStrings({*node.registryDescription}, false, type, buffer, size, required);
    default:
      return FALSE;
  }
}

BOOL WINAPI FakeGetDeviceProperty(HDEVINFO, PSP_DEVINFO_DATA device, const DEVPROPKEY* key,
                                  DEVPROPTYPE* type, PBYTE buffer, DWORD size, PDWORD required,
                                  DWORD) {
  const FakeNode& node = fake->nodes[device->DevInst];
  // DEVPKEY_Device_BusReportedDeviceDesc.
  if (key->pid != 4 || key->fmtid.Data1 != 0x540B947E || !node.busDescription) return FALSE;
  const DWORD bytes = static_cast<DWORD>((node.busDescription->size() + 1) * 2);
  *required = bytes;
  if (bytes > size) return FALSE;
  *type = 0x12;  // DEVPROP_TYPE_STRING
  std::memcpy(buffer, node.busDescription->c_str(), bytes);
  return TRUE;
}

HKEY WINAPI FakeOpenDevRegKey(HDEVINFO, PSP_DEVINFO_DATA device, DWORD scope, DWORD, DWORD keyType,
                              REGSAM) {
  if (scope != DICS_FLAG_GLOBAL || keyType != DIREG_DEV) return static_cast<HKEY>(INVALID_HANDLE_VALUE);
  return reinterpret_cast<HKEY>(reinterpret_cast<uintptr_t>(FAKE_KEY_BASE) + device->DevInst);
}

LONG WINAPI FakeQueryValue(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                           LPDWORD size) {
  const FakeNode& node =
      fake->nodes[reinterpret_cast<uintptr_t>(key) - reinterpret_cast<uintptr_t>(FAKE_KEY_BASE)];
  if (node.interfacesValue != name) return ERROR_FILE_NOT_FOUND;
  const bool multi = node.interfacesValue == "DeviceInterfaceGUIDs";
  return PutStrings(node.interfaceClasses, multi, type, data, *size, size) ? ERROR_SUCCESS
                                                                          : ERROR_MORE_DATA;
}

LONG WINAPI FakeCloseKey(HKEY) { return ERROR_SUCCESS; }

// The present interfaces of the list's class, over every node: the record's
// Reserved field is the node and the interface within it.
BOOL WINAPI FakeEnumInterfaces(HDEVINFO list, PSP_DEVINFO_DATA, const GUID* interfaceClass,
                               DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
  DWORD seen = 0;
  const GUID& asked = askedClasses[reinterpret_cast<uintptr_t>(list) - 0x2000];
  if (!SameGuid(asked, *interfaceClass)) return FALSE;
  for (size_t n = 0; n < fake->nodes.size(); ++n) {
    for (size_t i = 0; i < fake->nodes[n].interfaces.size(); ++i) {
      if (!SameGuid(fake->nodes[n].interfaces[i].first, asked)) continue;
      if (seen++ == index) {
        data->Reserved = n << 8 | i;
        return TRUE;
      }
    }
  }
  return FALSE;
}

BOOL WINAPI FakeGetInterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data,
                                   PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                   PDWORD required, PSP_DEVINFO_DATA device) {
  const size_t node = data->Reserved >> 8;
  const std::string& path = fake->nodes[node].interfaces[data->Reserved & 0xFF].second;
  const DWORD needed =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
  if (detail == nullptr) {
    *required = needed;
    return FALSE;
  }
  if (size < needed) return FALSE;
  std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
  if (device != nullptr) device->DevInst = static_cast<DWORD>(node);
  return TRUE;
}

BOOL WINAPI FakeDestroyList(HDEVINFO) { return TRUE; }

WinUsbApi FakeApi(bool withWinUsb) {
  WinUsbApi api = {};
  if (withWinUsb) {
    api.initialize = &FakeInitialize;
    api.free = &FakeFree;
    api.controlTransfer = &FakeControlTransfer;
    api.setPipePolicy = &FakeSetPipePolicy;
    api.setCurrentAlternateSetting = &FakeSetAlternate;
  }
  api.createFile = &FakeCreateFile;
  api.closeHandle = &FakeCloseHandle;
  api.getClassDevs = &FakeGetClassDevs;
  api.enumDeviceInfo = &FakeEnumDeviceInfo;
  api.getDeviceInstanceId = &FakeGetInstanceId;
  api.getDeviceRegistryProperty = &FakeGetRegistryProperty;
  api.getDeviceProperty = &FakeGetDeviceProperty;
  api.openDevRegKey = &FakeOpenDevRegKey;
  api.queryValue = &FakeQueryValue;
  api.closeKey = &FakeCloseKey;
  api.enumDeviceInterfaces = &FakeEnumInterfaces;
  api.getDeviceInterfaceDetail = &FakeGetInterfaceDetail;
  api.destroyDeviceInfoList = &FakeDestroyList;
  return api;
}

// A DFU-mode device bound to WinUSB, as its OS descriptors bind it.
FakeNode DfuDevice(const std::string& serial) {
  FakeNode node;
  node.instanceId = "USB\\VID_0483&PID_DF11\\" + serial;
  node.service = "WinUSB";
  node.compatibleIds = {DFU_MODE_ID, "USB\\Class_FE&SubClass_01", "USB\\Class_FE"};
  node.interfaceClasses = {FIRMWARE_CLASS_TEXT};
  node.busDescription = u"DFU in FS Mode";
  node.registryDescription = "WinUsb Device";
  node.interfaces = {{FIRMWARE_CLASS, "\\\\?\\usb#vid_0483&pid_df11#" + serial + "#" +
                                          FIRMWARE_CLASS_TEXT}};
  return node;
}

class WinUsbBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = &system_;
    askedClasses.clear();
    askedEnumerators.clear();
    ActiveWinUsbApi() = FakeApi(true);
  }
  void TearDown() override {
    ActiveWinUsbApi() = SystemWinUsbApi();
    fake = nullptr;
  }

  static std::vector<std::string> Listed(const Guid& interfaceClass) {
    std::vector<InterfaceInfo> interfaces;
    EXPECT_TRUE(EnumerateInterfaces(interfaceClass, &interfaces));
    std::vector<std::string> lines;
    for (const InterfaceInfo& info : interfaces) {
      lines.push_back(info.path + (info.hasDescription ? " = " + info.description : ""));
    }
    return lines;
  }

  // Opens the first listed DFU-mode device.
  // The listed path of the one WinUSB device A1.
  std::string DevicePath() {
    system_.nodes = {DfuDevice("A1")};
    std::vector<InterfaceInfo> interfaces;
    EnumerateInterfaces(DFU_INTERFACE_GUID, &interfaces);
    EXPECT_EQ(interfaces.size(), 1u);
    return interfaces.empty() ? std::string() : interfaces[0].path;
  }

  DriverHandle OpenDevice(StatusCode* failure = nullptr) {
    const std::string path = DevicePath();
    return path.empty() ? DRIVER_INVALID_HANDLE : DriverOpen(path, failure);
  }

  // A class request to interface 0: DNLOAD of `length` bytes.
  static std::vector<uint8_t> Download(uint16_t length) {
    ControlRequestHeader header{};
    header.requestKind = CONTROL_REQUEST_KIND_CLASS_INTERFACE;
    header.direction = CONTROL_DIRECTION_HOST_TO_DEVICE;
    header.request = 1;
    header.value = 2;
    header.length = length;
    std::vector<uint8_t> input(CONTROL_REQUEST_HEADER_SIZE + length, 0x5A);
    EncodeControlRequestHeader(header, input.data());
    return input;
  }

  CFakeSystem system_;
};

TEST_F(WinUsbBackendTest, ListsTheDfuInterfacesOfDevicesBoundToWinUsbOnly) {
  FakeNode otherService = DfuDevice("B2");
  otherService.service = "usbccgp";
  FakeNode noDriver = DfuDevice("C3");
  noDriver.service.reset();
  FakeNode noDfuInterface = DfuDevice("D4");
  noDfuInterface.compatibleIds = {"USB\\Class_FF&SubClass_00&Prot_00", "USB\\Class_FF"};
  FakeNode noInterfaceValue = DfuDevice("E5");
  noInterfaceValue.interfacesValue.clear();
  // An INF that names one interface class writes the single value.
  FakeNode singleValue = DfuDevice("F6");
  singleValue.interfacesValue = "DeviceInterfaceGUID";
  singleValue.interfaceClasses = {OTHER_CLASS_TEXT};
  singleValue.interfaces = {{OTHER_CLASS, "\\\\?\\usb#vid_0483&pid_df11#f6#{other}"}};
  singleValue.busDescription.reset();
  FakeNode unnamed = DfuDevice("G7");
  unnamed.busDescription.reset();
  unnamed.registryDescription.reset();
  // A composite device in application mode: WinUSB is bound to its run-time
  // DFU interface, number 2, and not to the device.
  FakeNode composite;
  composite.instanceId = "USB\\VID_0483&PID_5740&MI_02\\7&1A2B&0&0002";
  composite.service = "WINUSB";
  composite.compatibleIds = {RUNTIME_ID, "USB\\Class_FE&SubClass_01", "USB\\Class_FE"};
  composite.interfaceClasses = {"not a class", OTHER_CLASS_TEXT};
  composite.interfaces = {{OTHER_CLASS, "\\\\?\\usb#vid_0483&pid_5740&mi_02#7&1a2b&0&0002#{o}"}};
  composite.busDescription = u"Application \u00e9";
  system_.nodes = {DfuDevice("A1"), otherService, noDriver, noDfuInterface, noInterfaceValue,
                   singleValue,     unnamed,      composite};

  EXPECT_EQ(Listed(DFU_INTERFACE_GUID),
            (std::vector<std::string>{
                std::string("winusb:\\\\?\\usb#vid_0483&pid_df11#A1#") + FIRMWARE_CLASS_TEXT +
                    " = DFU in FS Mode",
                "winusb:\\\\?\\usb#vid_0483&pid_df11#f6#{other} = WinUsb Device",
                std::string("winusb:\\\\?\\usb#vid_0483&pid_df11#G7#") + FIRMWARE_CLASS_TEXT}));
  EXPECT_EQ(Listed(APP_INTERFACE_GUID),
            (std::vector<std::string>{"winusb:\\\\?\\usb#vid_0483&pid_5740&mi_02#7&1a2b&0&0002#{o}"
                                      " = Application \xE9"}));
}

// A device bound to WinUSB whose key names no interface class is reached
// through the USB device interface every device node has; a composite
// device's function without one is not listed.
TEST_F(WinUsbBackendTest, ADeviceWithoutAnInterfaceClassIsReachedAsAUsbDevice) {
  constexpr GUID USB_DEVICE_CLASS = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
  FakeNode whole = DfuDevice("H8");
  whole.interfacesValue.clear();
  whole.interfaces = {{USB_DEVICE_CLASS, "\\\\?\\usb#vid_0483&pid_df11#h8#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"}};
  FakeNode function = whole;
  function.instanceId = "USB\\VID_0483&PID_5740&MI_00\\9&1";
  function.interfaces = {{USB_DEVICE_CLASS, "\\\\?\\usb#vid_0483&pid_5740&mi_00#9&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"}};
  system_.nodes = {whole, function};
  EXPECT_EQ(Listed(DFU_INTERFACE_GUID),
            std::vector<std::string>{"winusb:\\\\?\\usb#vid_0483&pid_df11#h8#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"
                                     " = DFU in FS Mode"});
}

// Only the nodes the USB bus enumerated are read; a system that shows none
// (Wine's virtual devices are root-enumerated) has every node read.
TEST_F(WinUsbBackendTest, ReadsTheUsbBusNodesAloneUnlessTheBusShowsNone) {
  FakeNode rootEnumerated = DfuDevice("R9");
  rootEnumerated.instanceId = "ROOT\\USB_VID_0483_PID_DF11\\0000";
  const std::string usbLine =
      std::string("winusb:\\\\?\\usb#vid_0483&pid_df11#A1#") + FIRMWARE_CLASS_TEXT + " = DFU in FS Mode";
  const std::string rootLine =
      std::string("winusb:\\\\?\\usb#vid_0483&pid_df11#R9#") + FIRMWARE_CLASS_TEXT + " = DFU in FS Mode";

  system_.nodes = {rootEnumerated, DfuDevice("A1")};
  EXPECT_EQ(Listed(DFU_INTERFACE_GUID), std::vector<std::string>{usbLine});
  EXPECT_EQ(askedEnumerators, std::vector<std::string>{"USB"});

  askedEnumerators.clear();
  system_.nodes = {rootEnumerated};
  EXPECT_EQ(Listed(DFU_INTERFACE_GUID), std::vector<std::string>{rootLine});
  EXPECT_EQ(askedEnumerators, (std::vector<std::string>{"USB", ""}));
}

TEST_F(WinUsbBackendTest, WithoutWinUsbNothingIsListedOrOpened) {
  system_.nodes = {DfuDevice("A1")};
  ActiveWinUsbApi() = FakeApi(false);
  EXPECT_TRUE(Listed(DFU_INTERFACE_GUID).empty());
  EXPECT_EQ(DriverOpen(std::string("winusb:") + system_.nodes[0].interfaces[0].second),
            DRIVER_INVALID_HANDLE);
  EXPECT_TRUE(system_.opened.empty());
}

TEST_F(WinUsbBackendTest, OpeningSetsTheControlPipeTimeOutBeforeAnyTransfer) {
  DriverHandle handle = OpenDevice();
  ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
  ASSERT_EQ(system_.opened.size(), 1u);
  EXPECT_EQ(system_.opened[0], system_.nodes[0].interfaces[0].second);
  EXPECT_NE(system_.openFlags[0] & FILE_FLAG_OVERLAPPED, 0u);
  uint8_t descriptor[18];
  uint32_t returned = 0;
  system_.answer.assign(18, 0x12);
  ASSERT_TRUE(DriverIoControl(handle, IOCTL_DFU_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor,
                              sizeof descriptor, &returned));
  EXPECT_EQ(returned, 18u);
  EXPECT_EQ(system_.calls, (std::vector<std::string>{
                               "policy 0 " + std::to_string(PIPE_TRANSFER_TIMEOUT) + " " +
                                   std::to_string(USB_CONTROL_TIMEOUT_MS),
                               "transfer"}));

  // A status request after a download may wait for a long flash operation;
  // the pipe's time-out follows each request's own.
  const std::vector<uint8_t> download = Download(16);
  ASSERT_TRUE(DriverIoControl(handle, IOCTL_DFU_CONTROL_REQUEST, download.data(),
                              static_cast<uint32_t>(download.size()), nullptr, 0, &returned));
  ControlRequestHeader header{};
  header.direction = CONTROL_DIRECTION_DEVICE_TO_HOST;
  header.request = 3;  // GETSTATUS
  header.length = 6;
  uint8_t statusRequest[CONTROL_REQUEST_HEADER_SIZE];
  EncodeControlRequestHeader(header, statusRequest);
  uint8_t status[6];
  system_.answer = {0, 0, 0, 0, 5, 0};  // dfuDNLOAD-IDLE
  ASSERT_TRUE(DriverIoControl(handle, IOCTL_DFU_CONTROL_REQUEST, statusRequest,
                              sizeof statusRequest, status, sizeof status, &returned));
  ASSERT_TRUE(DriverIoControl(handle, IOCTL_DFU_CONTROL_REQUEST, statusRequest,
                              sizeof statusRequest, status, sizeof status, &returned));
  const std::string policy = "policy 0 " + std::to_string(PIPE_TRANSFER_TIMEOUT) + " ";
  EXPECT_EQ(std::vector<std::string>(system_.calls.begin() + 2, system_.calls.end()),
            (std::vector<std::string>{"transfer", policy + std::to_string(USB_BUSY_STATUS_TIMEOUT_MS),
                                      "transfer", policy + std::to_string(USB_CONTROL_TIMEOUT_MS),
                                      "transfer"}));
  DriverClose(handle);
  EXPECT_EQ(system_.freed, 1);
  EXPECT_EQ(system_.closed, 1);

  // A refused time-out leaves the pipe with WinUSB's own: the device is
  // used all the same, and each request still tries its own time-out.
  system_.policyFails = true;
  system_.calls.clear();
  handle = OpenDevice();
  ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
  ASSERT_TRUE(DriverIoControl(handle, IOCTL_DFU_CONTROL_REQUEST, statusRequest, sizeof statusRequest, status,
                              sizeof status, &returned));
  EXPECT_EQ(system_.calls, (std::vector<std::string>{policy + std::to_string(USB_CONTROL_TIMEOUT_MS),
                                                     policy + std::to_string(USB_CONTROL_TIMEOUT_MS),
                                                     "transfer"}));
  DriverClose(handle);
}

TEST_F(WinUsbBackendTest, TwoOpensOfOnePathShareTheDevicesOneHandle) {
  DriverHandle first = OpenDevice();
  DriverHandle second = OpenDevice();
  ASSERT_NE(first, DRIVER_INVALID_HANDLE);
  ASSERT_NE(second, DRIVER_INVALID_HANDLE);
  EXPECT_EQ(system_.initialized, 1);
  DriverClose(first);
  EXPECT_EQ(system_.freed, 0);
  DriverClose(second);
  EXPECT_EQ(system_.freed, 1);
}

TEST_F(WinUsbBackendTest, RequestsBecomeControlTransfersWithTheirWholeDataStage) {
  DriverHandle handle = OpenDevice();
  ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
  const std::vector<uint8_t> download = Download(2048);
  uint32_t returned = 0;
  ASSERT_TRUE(DriverIoControl(handle, IOCTL_DFU_CONTROL_REQUEST, download.data(),
                              static_cast<uint32_t>(download.size()), nullptr, 0, &returned));
  ASSERT_EQ(system_.transfers.size(), 1u);
  const Transfer& sent = system_.transfers[0];
  EXPECT_EQ(sent.setup.RequestType, 0x21);
  EXPECT_EQ(sent.setup.Request, 1);
  EXPECT_EQ(sent.setup.Value, 2);
  EXPECT_EQ(sent.setup.Length, 2048);
  EXPECT_EQ(sent.data, std::vector<uint8_t>(2048, 0x5A));

  // Data that did not all reach the device fails the request.
  system_.transferredOut = 2047;
  EXPECT_FALSE(DriverIoControl(handle, IOCTL_DFU_CONTROL_REQUEST, download.data(),
                               static_cast<uint32_t>(download.size()), nullptr, 0, &returned));
  // A short answer completes with its count.
  system_.answer = {1, 2, 3};
  uint8_t string[255];
  const uint8_t which[3] = {4, 0x09, 0x04};
  ASSERT_TRUE(DriverIoControl(handle, IOCTL_DFU_GET_STRING_DESCRIPTOR, which, sizeof which,
                              string, sizeof string, &returned));
  EXPECT_EQ(returned, 3u);
  EXPECT_EQ(system_.transfers.back().setup.Value, 0x0304);
  EXPECT_EQ(system_.transfers.back().setup.Index, 0x0409);

  // The alternate setting goes through WinUSB's own call.
  const uint8_t select[3] = {1, 0, 3};
  ASSERT_TRUE(DriverIoControl(handle, IOCTL_DFU_SELECT_ALTERNATE_SETTING, select, sizeof select,
                              nullptr, 0, &returned));
  EXPECT_EQ(system_.calls.back(), "alt 3");
  DriverClose(handle);
}

TEST_F(WinUsbBackendTest, AControlTransferOverWinUsbsLimitIsRefusedNeverCut) {
  DriverHandle handle = OpenDevice();
  ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
  uint32_t returned = 7;
  const std::vector<uint8_t> tooLong = Download(WINUSB_MAX_CONTROL_TRANSFER + 1);
  EXPECT_FALSE(DriverIoControl(handle, IOCTL_DFU_CONTROL_REQUEST, tooLong.data(),
                               static_cast<uint32_t>(tooLong.size()), nullptr, 0, &returned));
  EXPECT_EQ(returned, 0u);
  EXPECT_TRUE(system_.transfers.empty());
  const std::vector<uint8_t> longest = Download(WINUSB_MAX_CONTROL_TRANSFER);
  EXPECT_TRUE(DriverIoControl(handle, IOCTL_DFU_CONTROL_REQUEST, longest.data(),
                              static_cast<uint32_t>(longest.size()), nullptr, 0, &returned));
  ASSERT_EQ(system_.transfers.size(), 1u);
  EXPECT_EQ(system_.transfers[0].data.size(), WINUSB_MAX_CONTROL_TRANSFER);
  DriverClose(handle);
}

struct ErrorRow {
  const char* name;
  DWORD error;
  int result;  // libusb's number for the same event
};

class WinUsbErrorTest : public WinUsbBackendTest, public ::testing::WithParamInterface<ErrorRow> {};

TEST_P(WinUsbErrorTest, AFailedTransferFailsTheRequestAsTheLibusbBackendDoes) {
  EXPECT_EQ(WinUsbResultOfError(GetParam().error), GetParam().result);
  DriverHandle handle = OpenDevice();
  ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
  system_.transferError = GetParam().error;
  system_.answer.assign(6, 0);
  uint8_t status[6];
  uint32_t returned = 9;
  ControlRequestHeader header{};
  header.requestKind = CONTROL_REQUEST_KIND_CLASS_INTERFACE;
  header.direction = CONTROL_DIRECTION_DEVICE_TO_HOST;
  header.request = 3;
  header.length = 6;
  uint8_t input[CONTROL_REQUEST_HEADER_SIZE];
  EncodeControlRequestHeader(header, input);
  EXPECT_FALSE(DriverIoControl(handle, IOCTL_DFU_CONTROL_REQUEST, input, sizeof input, status,
                               sizeof status, &returned));
  EXPECT_EQ(returned, 0u);
  DriverClose(handle);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, WinUsbErrorTest,
    ::testing::Values(ErrorRow{"Stall", ERROR_GEN_FAILURE, -9},
                      ErrorRow{"TimeOut", ERROR_SEM_TIMEOUT, -7},
                      ErrorRow{"FileNotFound", ERROR_FILE_NOT_FOUND, -4},
                      ErrorRow{"DeviceNotConnected", ERROR_DEVICE_NOT_CONNECTED, -4},
                      ErrorRow{"BadCommandAfterUnplug", ERROR_BAD_COMMAND, -4},
                      ErrorRow{"NoSuchDevice", WINUSB_ERROR_NO_SUCH_DEVICE, -4},
                      ErrorRow{"AccessDenied", ERROR_ACCESS_DENIED, -6},
                      ErrorRow{"Other", ERROR_INVALID_FUNCTION, -1}),
    [](const ::testing::TestParamInfo<ErrorRow>& info) { return std::string(info.param.name); });

TEST_F(WinUsbBackendTest, ADeviceThatHasGoneIsOpenedAnewWhenItIsBack) {
  DriverHandle first = OpenDevice();
  ASSERT_NE(first, DRIVER_INVALID_HANDLE);
  system_.transferError = ERROR_DEVICE_NOT_CONNECTED;
  uint8_t descriptor[18];
  uint32_t returned = 0;
  EXPECT_FALSE(DriverIoControl(first, IOCTL_DFU_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor,
                               sizeof descriptor, &returned));
  system_.transferError = 0;
  DriverHandle second = OpenDevice();
  EXPECT_EQ(system_.initialized, 2);
  DriverClose(first);
  DriverClose(second);
  EXPECT_EQ(system_.freed, 2);

  // Another program holds the device: the open fails and says so; any
  // other refusal is a plain failure to open.
  const std::string path = DevicePath();
  struct Refusal {
    DWORD error;
    StatusCode status;
  } refusals[] = {{ERROR_ACCESS_DENIED, DEV_ERR_IN_USE}, {ERROR_FILE_NOT_FOUND, DEV_ERR_OPEN_FAILED}};
  for (const Refusal& refusal : refusals) {
    system_.openError = refusal.error;
    StatusCode failure = RESULT_OK;
    EXPECT_EQ(OpenDevice(&failure), DRIVER_INVALID_HANDLE);
    EXPECT_EQ(failure, refusal.status);
    DriverHandle held = DRIVER_INVALID_HANDLE;
    EXPECT_EQ(DriverHold(path, 0, &held), refusal.status);
    EXPECT_EQ(held, DRIVER_INVALID_HANDLE);
  }
}

// A hold keeps the device's one WinUSB handle open from before the first
// operation to after the last: the operations' own opens and closes share it
// and never free it in between, where another program could take it.
TEST_F(WinUsbBackendTest, AHeldDeviceKeepsItsHandleAcrossTheOperations) {
  DriverHandle first = OpenDevice();
  ASSERT_NE(first, DRIVER_INVALID_HANDLE);
  DriverClose(first);
  ASSERT_EQ(system_.freed, 1);
  const std::string path = DevicePath();
  DriverHandle held = DRIVER_INVALID_HANDLE;
  ASSERT_EQ(DriverHold(path, 0, &held), RESULT_OK);
  ASSERT_NE(held, DRIVER_INVALID_HANDLE);
  for (int operation = 0; operation < 3; ++operation) {
    DriverHandle handle = DriverOpen(path);
    ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
    DriverClose(handle);
  }
  EXPECT_EQ(system_.initialized, 2);
  EXPECT_EQ(system_.freed, 1);
  DriverClose(held);
  EXPECT_EQ(system_.freed, 2);
}

TEST_F(WinUsbBackendTest, ACompositeInterfaceTakesRequestsForItsOwnNumberOnly) {
  FakeNode composite = DfuDevice("A1");
  composite.instanceId = "USB\\VID_0483&PID_5740&MI_02\\8&1";
  composite.compatibleIds = {RUNTIME_ID};
  composite.interfaces = {{FIRMWARE_CLASS, "\\\\?\\usb#vid_0483&pid_5740&mi_02#8&1#{c}"}};
  system_.nodes = {composite};
  std::vector<InterfaceInfo> interfaces;
  EnumerateInterfaces(APP_INTERFACE_GUID, &interfaces);
  ASSERT_EQ(interfaces.size(), 1u);
  DriverHandle handle = DriverOpen(interfaces[0].path);
  ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
  uint32_t returned = 0;
  const uint8_t otherInterface[3] = {1, 0, 0};
  EXPECT_FALSE(DriverIoControl(handle, IOCTL_DFU_SELECT_ALTERNATE_SETTING, otherInterface, 3,
                               nullptr, 0, &returned));
  const uint8_t ownInterface[3] = {1, 2, 0};
  EXPECT_TRUE(DriverIoControl(handle, IOCTL_DFU_SELECT_ALTERNATE_SETTING, ownInterface, 3, nullptr,
                              0, &returned));
  DriverClose(handle);
}

TEST_F(WinUsbBackendTest, ARemovalOfAListedInterfaceIsSeenUnderItsDfuClass) {
  system_.nodes = {DfuDevice("A1")};
  const std::string name = system_.nodes[0].interfaces[0].second;
  Listed(DFU_INTERFACE_GUID);
  const std::vector<Guid> classes = WinUsbNotificationClasses();
  EXPECT_NE(std::find(classes.begin(), classes.end(), FromWin32Guid(FIRMWARE_CLASS)),
            classes.end());
  system_.nodes.clear();  // gone: it can no longer be asked
  DeviceChangeEvent event{DeviceChangeKind::kArrival, {}, {}};
  ASSERT_TRUE(WinUsbTranslateDeviceChange(DeviceChangeKind::kRemoval,
                                          FromWin32Guid(FIRMWARE_CLASS), name, &event));
  EXPECT_EQ(event.kind, DeviceChangeKind::kRemoval);
  EXPECT_EQ(event.interfaceClass, DFU_INTERFACE_GUID);
  EXPECT_EQ(event.path, "winusb:" + name);
  EXPECT_FALSE(WinUsbTranslateDeviceChange(DeviceChangeKind::kRemoval,
                                           FromWin32Guid(FIRMWARE_CLASS), "\\\\?\\other", &event));
  // A class no listed device has.
  const Guid unknownClass = {0x0B0C0D0E, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  EXPECT_FALSE(
      WinUsbTranslateDeviceChange(DeviceChangeKind::kRemoval, unknownClass, name, &event));
}

// The kernel driver's listing, one interface; and a virtual device.
HDEVINFO WINAPI LegacyGetClassDevs(const GUID*, PCSTR, HWND, DWORD) {
  return reinterpret_cast<HDEVINFO>(0x9000);
}
BOOL WINAPI LegacyEnumInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA) {
  return index == 0;
}
BOOL WINAPI LegacyDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                         PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                         PSP_DEVINFO_DATA) {
  static const char path[] = "\\\\?\\root#dfu#0000";
  const DWORD needed =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + sizeof path);
  if (detail == nullptr || size < needed) {
    *required = needed;
    return FALSE;
  }
  std::memcpy(detail->DevicePath, path, sizeof path);
  return TRUE;
}
BOOL WINAPI LegacyProperty(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD) {
  return FALSE;
}
BOOL WINAPI LegacyDestroy(HDEVINFO) { return TRUE; }

class CVirtualBackend : public DriverBackend {
 public:
  std::string PathPrefix() const override { return "sim:"; }
  bool IsVirtual() const override { return true; }
  std::unique_ptr<DriverConnection> Open(const std::string&, StatusCode*) override { return nullptr; }
  bool Enumerate(const Guid&, std::vector<InterfaceInfo>* interfaces) override {
    interfaces->push_back({"sim:0", false, ""});
    return true;
  }
};

TEST_F(WinUsbBackendTest, TheKernelDriverIsListedFirstWinUsbNextVirtualDevicesLast) {
  system_.nodes = {DfuDevice("A1")};
  const KernelDriverApi system = SystemKernelDriverApi();
  ActiveKernelDriverApi() = {system.createFile,      system.deviceIoControl, system.closeHandle,
                             &LegacyGetClassDevs,     &LegacyEnumInterfaces,  &LegacyDetail,
                             &LegacyProperty,         &LegacyDestroy};
  auto virtualDevice = std::make_shared<CVirtualBackend>();
  RegisterDriverBackend(virtualDevice);
  const std::vector<std::string> listed = Listed(DFU_INTERFACE_GUID);
  UnregisterDriverBackend(virtualDevice.get());
  ActiveKernelDriverApi() = system;
  // The program takes the last device listed: a virtual one when there is
  // one, else the WinUSB device before the kernel driver's.
  EXPECT_EQ(listed, (std::vector<std::string>{
                        "\\\\?\\root#dfu#0000",
                        std::string("winusb:\\\\?\\usb#vid_0483&pid_df11#A1#") +
                            FIRMWARE_CLASS_TEXT + " = DFU in FS Mode",
                        "sim:0"}));
}

}  // namespace
