#include "device/device_listing.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "common/guid.h"
#include "device/device_manager.h"
#include "device/dfu_requests.h"
#include "device/memory_map.h"
#include "platform/driver_port.h"
#include "protocol/byte_order.h"

namespace {

// The string at `index` (none at index 0); empty, with *unread set when
// given, when the device did not answer its request.
std::string ReadString(DeviceHandle handle, uint8_t index, bool* unread = nullptr) {
  if (index == 0) return {};
  char text[DEVICE_STRING_BUFFER_SIZE] = {};
  if (ReadStringDescriptor(handle, index, text) != RESULT_OK) {
    if (unread != nullptr) *unread = true;
    return {};
  }
  return std::string(text, strnlen(text, sizeof text));
}

void ReadAlternates(DeviceHandle handle, uint32_t count, DfuDeviceInfo* info) {
  for (uint32_t k = 0; k < count; ++k) {
    uint8_t descriptor[DEVICE_INTERFACE_DESCRIPTOR_SIZE] = {};
    // A DFU-mode device has the one interface, found as ordinal 0.
    if (ReadInterfaceDescriptor(handle, info->interfaceNumber, k, descriptor) != RESULT_OK) return;
    DfuAlternateInfo alternate;
    alternate.alternateSetting = descriptor[3];
    alternate.name = ReadString(handle, descriptor[8], &alternate.nameUnread);
    if (!alternate.name.empty() &&
        ParseMemoryMapString(alternate.name, &alternate.memory) == RESULT_OK) {
      alternate.hasMemory = true;
      alternate.memory.alternateSetting = alternate.alternateSetting;
    }
    info->alternates.push_back(std::move(alternate));
  }
}

void Describe(DfuDeviceInfo* info) {
  DeviceHandle handle = DEVICE_INVALID_HANDLE;
  info->openStatus = OpenDevice(info->path, &handle);
  if (info->openStatus == DEV_ERR_ACCESS_DENIED) info->deniedNode = DriverSystemNode(info->path);
  if (info->openStatus != RESULT_OK) return;
  info->opened = true;
  uint8_t device[DEVICE_DESCRIPTOR_SIZE] = {};
  if (ReadDeviceDescriptor(handle, device) == RESULT_OK) {
    info->vendorId = GetLe16(device + 8);
    info->productId = GetLe16(device + 10);
    info->deviceVersion = GetLe16(device + 12);
    info->serial = ReadString(handle, device[16]);
  }
  uint32_t interfaceNumber = 0;
  uint32_t alternates = 0;
  DfuFunctionalDescriptor functional{};
  if (ReadDfuFunctionalDescriptor(&handle, &interfaceNumber, &alternates, &functional) ==
      RESULT_OK) {
    info->interfaceNumber = static_cast<uint8_t>(interfaceNumber);
    info->attributes = functional.bmAttributes;
    info->dfuVersion = functional.bcdDFUVersion;
    info->transferSize = functional.wTransferSize;
    info->detachTimeout = functional.wDetachTimeOut;
    if (info->dfuMode) ReadAlternates(handle, alternates, info);
  }
  CloseDevice(handle);
}

void ListClass(const Guid& interfaceClass, bool dfuMode, std::vector<DfuDeviceInfo>* devices) {
  // A source that cannot list adds nothing; the others' devices still count.
  std::vector<InterfaceInfo> interfaces;
  EnumerateInterfaces(interfaceClass, &interfaces);
  for (const InterfaceInfo& listed : interfaces) {
    if (listed.path.empty()) continue;
    DfuDeviceInfo info;
    info.path = listed.path;
    if (listed.hasDescription) info.description = listed.description;
    info.dfuMode = dfuMode;
    Describe(&info);
    devices->push_back(std::move(info));
  }
}

}  // namespace

const MemoryMapping* FindMemory(const DfuDeviceInfo& device, uint8_t alternate) {
  for (const DfuAlternateInfo& info : device.alternates) {
    if (info.alternateSetting == alternate && info.hasMemory) return &info.memory;
  }
  return nullptr;
}

bool DescribeDfuDevice(const std::string& path, bool dfuMode, DfuDeviceInfo* info) {
  *info = DfuDeviceInfo();
  info->path = path;
  info->dfuMode = dfuMode;
  CreateDevicesManager();
  Describe(info);
  return info->opened;
}

void ListDfuDevices(std::vector<DfuDeviceInfo>* devices) {
  devices->clear();
  CreateDevicesManager();
  ListClass(DFU_INTERFACE_GUID, true, devices);
  ListClass(APP_INTERFACE_GUID, false, devices);
}

ListingAnswer InterfaceListed(const std::string& path, const std::vector<Guid>& interfaceClasses) {
  const auto samePath = [&path](const InterfaceInfo& listed) {
    return listed.path.size() == path.size() &&
           std::equal(path.begin(), path.end(), listed.path.begin(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
  };
  bool complete = true;
  for (const Guid& interfaceClass : interfaceClasses) {
    std::vector<InterfaceInfo> interfaces;
    if (!EnumerateInterfaces(interfaceClass, &interfaces)) complete = false;
    if (std::any_of(interfaces.begin(), interfaces.end(), samePath)) return LISTING_PRESENT;
  }
  return complete ? LISTING_ABSENT : LISTING_FAILED;
}
