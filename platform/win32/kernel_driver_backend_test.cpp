// A stand-in of the kernel driver and of the device installation lists,
// reached through the Win32 entry-point table, checks what the kernel
// driver's backend sends and how it reads the answers. Paths without a
// prefix reach it through the driver port.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <optional>

#include "protocol/driver_requests.h"
#include "platform/driver_port.h"
#include "platform/win32/kernel_driver_api.h"
#include "platform/win32/kernel_driver_backend.h"
#include "platform/win32/win32_guid.h"

namespace {

struct ScriptedInterface {
  std::string path;
  std::optional<std::string> description;  // none: the property read fails
  bool detailFails = false;
};

struct OpenCall {
  std::string path;
  DWORD access, share, disposition, flags;
  bool security, templateFile;
};

struct IoCall {
  HANDLE handle;
  DWORD code;
  std::vector<uint8_t> input;
  DWORD outputSize;
  bool overlapped;
};

// The stand-in's state; one test at a time uses it.
struct CFakeSystem {
  // driver
  std::vector<OpenCall> opens;
  std::vector<IoCall> requests;
  std::vector<HANDLE> closed;
  bool openFails = false;
  std::vector<uint8_t> answer;  // copied to the output, clipped to its size
  std::map<DWORD, std::vector<uint8_t>> answers;  // by code, before `answer`
  BOOL requestResult = TRUE;
  // installation lists
  bool listFails = false;
  std::vector<ScriptedInterface> interfaces;
  GUID listedClass = {};
  DWORD listFlags = 0;
  bool listEnumeratorOrWindow = false;
  std::vector<DWORD> interfaceRecordSizes, detailRecordSizes, deviceRecordSizes;
  std::vector<DWORD> properties, propertyBufferSizes;
  int listsDestroyed = 0;
};

CFakeSystem* fake = nullptr;
const HANDLE FAKE_DEVICE = reinterpret_cast<HANDLE>(0x4321);
const HDEVINFO FAKE_LIST = reinterpret_cast<HDEVINFO>(0x5678);

HANDLE WINAPI FakeCreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile) {
  fake->opens.push_back({path, access, share, disposition, flags, security != nullptr,
                         templateFile != nullptr});
  return fake->openFails ? INVALID_HANDLE_VALUE : FAKE_DEVICE;
}

BOOL WINAPI FakeDeviceIoControl(HANDLE handle, DWORD code, LPVOID input, DWORD inputSize,
                                LPVOID output, DWORD outputSize, LPDWORD returned,
                                LPOVERLAPPED overlapped) {
  const auto* bytes = static_cast<const uint8_t*>(input);
  fake->requests.push_back({handle, code, std::vector<uint8_t>(bytes, bytes + inputSize),
                            outputSize, overlapped != nullptr});
  auto scripted = fake->answers.find(code);
  const std::vector<uint8_t>& answer =
      scripted != fake->answers.end() ? scripted->second : fake->answer;
  const DWORD count = std::min<DWORD>(outputSize, static_cast<DWORD>(answer.size()));
  if (count > 0) std::memcpy(output, answer.data(), count);
  *returned = count;
  return fake->requestResult;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  fake->closed.push_back(handle);
  return TRUE;
}

HDEVINFO WINAPI FakeGetClassDevs(const GUID* interfaceClass, PCSTR enumerator, HWND window,
                                 DWORD flags) {
  fake->listedClass = *interfaceClass;
  fake->listFlags = flags;
  fake->listEnumeratorOrWindow = enumerator != nullptr || window != nullptr;
  return fake->listFails ? INVALID_HANDLE_VALUE : FAKE_LIST;
}

BOOL WINAPI FakeEnumDeviceInterfaces(HDEVINFO list, PSP_DEVINFO_DATA deviceFilter,
                                     const GUID* interfaceClass, DWORD index,
                                     PSP_DEVICE_INTERFACE_DATA data) {
  if (list != FAKE_LIST || deviceFilter != nullptr ||
      std::memcmp(interfaceClass, &fake->listedClass, sizeof(GUID)) != 0) {
    return FALSE;
  }
  fake->interfaceRecordSizes.push_back(data->cbSize);
  if (index >= fake->interfaces.size()) return FALSE;
  data->Reserved = index;  // which interface the later calls ask about
  return TRUE;
}

BOOL WINAPI FakeGetDeviceInterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data,
                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                         PDWORD required, PSP_DEVINFO_DATA device) {
  const ScriptedInterface& scripted = fake->interfaces[data->Reserved];
  const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                          scripted.path.size() + 1);
  if (detail == nullptr) {
    if (required != nullptr) *required = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  fake->detailRecordSizes.push_back(detail->cbSize);
  if (device != nullptr) {
    fake->deviceRecordSizes.push_back(device->cbSize);
    device->DevInst = static_cast<DWORD>(data->Reserved);
  }
  if (scripted.detailFails || size < needed) return FALSE;
  std::memcpy(detail->DevicePath, scripted.path.c_str(), scripted.path.size() + 1);
  return TRUE;
}

BOOL WINAPI FakeGetDeviceRegistryProperty(HDEVINFO, PSP_DEVINFO_DATA device, DWORD property,
                                          PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
  fake->properties.push_back(property);
  fake->propertyBufferSizes.push_back(size);
  const ScriptedInterface& scripted = fake->interfaces[device->DevInst];
  if (!scripted.description) return FALSE;
  const DWORD needed = static_cast<DWORD>(scripted.description->size() + 1);
  if (required != nullptr) *required = needed;
  if (needed > size) return FALSE;
  if (type != nullptr) *type = REG_SZ;
  std::memcpy(buffer, scripted.description->c_str(), needed);
  return TRUE;
}

BOOL WINAPI FakeDestroyDeviceInfoList(HDEVINFO list) {
  if (list == FAKE_LIST) ++fake->listsDestroyed;
  return TRUE;
}

class KernelDriverBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = &system_;
    ActiveKernelDriverApi() = {&FakeCreateFile,         &FakeDeviceIoControl,
                               &FakeCloseHandle,        &FakeGetClassDevs,
                               &FakeEnumDeviceInterfaces, &FakeGetDeviceInterfaceDetail,
                               &FakeGetDeviceRegistryProperty, &FakeDestroyDeviceInfoList};
  }
  void TearDown() override {
    ActiveKernelDriverApi() = SystemKernelDriverApi();
    fake = nullptr;
  }
  CFakeSystem system_;
};

TEST_F(KernelDriverBackendTest, OpensThePathForExclusiveSynchronousReadWrite) {
  DriverHandle device = DriverOpen("\\\\?\\usb#vid_0483&pid_df11#1");
  ASSERT_NE(device, DRIVER_INVALID_HANDLE);
  ASSERT_EQ(system_.opens.size(), 1u);
  const OpenCall& open = system_.opens[0];
  EXPECT_EQ(open.path, "\\\\?\\usb#vid_0483&pid_df11#1");
  EXPECT_EQ(open.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(open.share, 0u);
  EXPECT_EQ(open.disposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(open.flags, 0u);
  EXPECT_FALSE(open.security);
  EXPECT_FALSE(open.templateFile);
  // The driver has no reset, and a hold keeps nothing open.
  EXPECT_EQ(DriverResetDevice(device), DEV_ERR_RESET_UNSUPPORTED);
  DriverHandle held = 99;
  EXPECT_EQ(DriverHold("\\\\?\\usb#vid_0483&pid_df11#1", 0, &held), RESULT_OK);
  EXPECT_EQ(held, DRIVER_INVALID_HANDLE);
  EXPECT_EQ(system_.opens.size(), 1u);
  EXPECT_TRUE(system_.closed.empty());
  DriverClose(device);
  EXPECT_EQ(system_.closed, std::vector<HANDLE>{FAKE_DEVICE});
}

TEST_F(KernelDriverBackendTest, AFailedOpenGivesNoDeviceAndNothingToClose) {
  system_.openFails = true;
  StatusCode failure = RESULT_OK;
  EXPECT_EQ(DriverOpen("\\\\?\\gone", &failure), DRIVER_INVALID_HANDLE);
  EXPECT_EQ(failure, DEV_ERR_OPEN_FAILED);
  EXPECT_TRUE(system_.closed.empty());
}

// Each request reaches the driver synchronously with the caller's bytes and
// output size unchanged, and the driver's count comes back.
TEST_F(KernelDriverBackendTest, PassesEachRequestThroughWithItsBuffersAndCount) {
  uint8_t header[CONTROL_REQUEST_HEADER_SIZE + 6];
  ControlRequestHeader upload;
  upload.direction = CONTROL_DIRECTION_DEVICE_TO_HOST;
  upload.request = 2;
  upload.value = 2;
  upload.length = 6;
  EncodeControlRequestHeader(upload, header);
  std::memset(header + CONTROL_REQUEST_HEADER_SIZE, 0, 6);
  struct Case {
    uint32_t code;
    std::vector<uint8_t> input;
    uint32_t outputSize;
  };
  const Case cases[] = {
      {IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {0}, 512},
      {IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, 18},
      {IOCTL_DFU_GET_STRING_DESCRIPTOR, {4, 0x09, 0x04}, 512},
      {IOCTL_DFU_SELECT_ALTERNATE_SETTING, {0, 0, 3}, 0},
      {IOCTL_DFU_CONTROL_REQUEST, std::vector<uint8_t>(header, header + sizeof(header)), 6},
  };
  system_.answer = {0x12, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x40};
  DriverHandle device = DriverOpen("dev");
  ASSERT_NE(device, DRIVER_INVALID_HANDLE);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    system_.requests.clear();
    std::vector<uint8_t> output(c.outputSize, 0xEE);
    uint32_t returned = 12345;
    ASSERT_TRUE(DriverIoControl(device, c.code, c.input.empty() ? nullptr : c.input.data(),
                                static_cast<uint32_t>(c.input.size()),
                                output.empty() ? nullptr : output.data(), c.outputSize,
                                &returned));
    ASSERT_EQ(system_.requests.size(), 1u);
    const IoCall& call = system_.requests[0];
    EXPECT_EQ(call.handle, FAKE_DEVICE);
    EXPECT_EQ(call.code, c.code);
    EXPECT_EQ(call.input, c.input);
    EXPECT_EQ(call.outputSize, c.outputSize);
    EXPECT_FALSE(call.overlapped);
    EXPECT_EQ(returned, std::min<uint32_t>(c.outputSize, 8));
  }
  system_.requestResult = FALSE;
  uint32_t returned = 0;
  uint8_t status[6];
  EXPECT_FALSE(DriverIoControl(device, IOCTL_DFU_CONTROL_REQUEST, header, sizeof(header), status,
                               sizeof(status), &returned));
  DriverClose(device);
}

TEST_F(KernelDriverBackendTest, ListsThePresentInterfacesOfTheClassInOrder) {
  const std::string longDescription(300, 'd');  // does not fit the buffer
  system_.interfaces = {
      {"\\\\?\\usb#first", std::string("DFU in FS Mode"), false},
      {"\\\\?\\usb#unreadable", std::string("skipped"), true},
      {"\\\\?\\usb#nameless", std::nullopt, false},
      {"\\\\?\\usb#empty", std::string(), false},
      {"\\\\?\\usb#long", longDescription, false},
      {"\\\\?\\usb#fits", std::string(252, 'f'), false},
  };
  std::vector<InterfaceInfo> listed;
  ASSERT_TRUE(CreateKernelDriverBackend()->Enumerate(DFU_INTERFACE_GUID, &listed));

  struct Expected {
    const char* path;
    bool hasDescription;
    std::string description;
  };
  const Expected expected[] = {
      {"\\\\?\\usb#first", true, "DFU in FS Mode"},
      {"\\\\?\\usb#nameless", false, ""},
      {"\\\\?\\usb#empty", true, ""},
      {"\\\\?\\usb#long", false, ""},
      {"\\\\?\\usb#fits", true, std::string(252, 'f')},
  };
  ASSERT_EQ(listed.size(), std::size(expected));
  for (size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(listed[i].path, expected[i].path);
    EXPECT_EQ(listed[i].hasDescription, expected[i].hasDescription) << expected[i].path;
    if (expected[i].hasDescription) {
      EXPECT_EQ(listed[i].description, expected[i].description);
    }
  }

  const GUID dfu = ToWin32Guid(DFU_INTERFACE_GUID);
  EXPECT_EQ(std::memcmp(&system_.listedClass, &dfu, sizeof(GUID)), 0);
  EXPECT_EQ(system_.listFlags, 0x12u);
  EXPECT_FALSE(system_.listEnumeratorOrWindow);
  EXPECT_EQ(system_.listsDestroyed, 1);
  for (DWORD size : system_.interfaceRecordSizes) EXPECT_EQ(size, sizeof(SP_DEVICE_INTERFACE_DATA));
  for (DWORD size : system_.detailRecordSizes) EXPECT_EQ(size, 8u);  // x64 detail record
  for (DWORD size : system_.deviceRecordSizes) EXPECT_EQ(size, sizeof(SP_DEVINFO_DATA));
  EXPECT_EQ(system_.interfaceRecordSizes.size(), system_.interfaces.size() + 1);
  for (DWORD property : system_.properties) EXPECT_EQ(property, 0u);  // the device description
  for (DWORD size : system_.propertyBufferSizes) EXPECT_EQ(size, 253u);
}

TEST_F(KernelDriverBackendTest, AListThatCannotBeHadIsReportedAndNothingIsDestroyed) {
  system_.listFails = true;
  std::vector<InterfaceInfo> listed;
  EXPECT_FALSE(CreateKernelDriverBackend()->Enumerate(APP_INTERFACE_GUID, &listed));
  EXPECT_TRUE(listed.empty());
  EXPECT_EQ(system_.listsDestroyed, 0);

  system_.listFails = false;  // an empty list is a list
  EXPECT_TRUE(CreateKernelDriverBackend()->Enumerate(APP_INTERFACE_GUID, &listed));
  EXPECT_TRUE(listed.empty());
  EXPECT_EQ(system_.listsDestroyed, 1);
}

}  // namespace
