#include "device/device_manager.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "device/st_devices_manager.h"

namespace {

// The design has the console thread and one worker take turns with the
// table; the lock makes those hand-overs well-defined and keeps a stray
// concurrent call from corrupting it. It is held for the whole of one device
// call, so a device object is never used by two threads at once either.
std::mutex g_tableMutex;
std::unique_ptr<CSTDevicesManager> g_manager;
// Never reset, not even when the manager is recreated: a handle is never
// reused.
DeviceHandle g_nextHandle = 1;

}  // namespace

CSTDevicesManager::~CSTDevicesManager() {
  for (Entry& entry : table) entry.device.reset();
  table.clear();
}

DeviceHandle CSTDevicesManager::Add(std::unique_ptr<CSTDevice> device) {
  DeviceHandle handle = g_nextHandle++;
  table.push_back({handle, std::move(device)});
  return handle;
}

CSTDevice* CSTDevicesManager::Find(DeviceHandle handle) const {
  for (const Entry& entry : table) {
    if (entry.handle == handle) return entry.device.get();
  }
  return nullptr;
}

bool CSTDevicesManager::Remove(DeviceHandle handle) {
  auto it = std::find_if(table.begin(), table.end(),
                         [handle](const Entry& entry) { return entry.handle == handle; });
  if (it == table.end()) return false;
  std::unique_ptr<CSTDevice> device = std::move(it->device);
  table.erase(it);
  device.reset();  // its destructor closes the driver connection
  return true;
}

StatusCode WithDevice(DeviceHandle handle,
                      const std::function<StatusCode(CSTDevice&, CSTDevicesManager&)>& action) {
  std::lock_guard<std::mutex> lock(g_tableMutex);
  if (!g_manager) return DEV_ERR_NO_MANAGER;
  CSTDevice* device = g_manager->Find(handle);
  if (device == nullptr) return DEV_ERR_BAD_PARAMETER;
  return action(*device, *g_manager);
}

void CreateDevicesManager() {
  std::lock_guard<std::mutex> lock(g_tableMutex);
  if (!g_manager) g_manager = std::make_unique<CSTDevicesManager>();
}

void DestroyDevicesManager() {
  std::lock_guard<std::mutex> lock(g_tableMutex);
  g_manager.reset();
}

bool DevicesManagerExists() {
  std::lock_guard<std::mutex> lock(g_tableMutex);
  return g_manager != nullptr;
}

StatusCode OpenDevice(const std::string& path, DeviceHandle* handle) {
  if (path.empty() || handle == nullptr) return DEV_ERR_BAD_PARAMETER;
  std::lock_guard<std::mutex> lock(g_tableMutex);
  if (!g_manager) return DEV_ERR_NO_MANAGER;
  std::unique_ptr<CSTDevice> device;
  try {
    device = std::make_unique<CSTDevice>(path);
  } catch (const std::bad_alloc&) {
    return DEV_ERR_BAD_PARAMETER;
  }
  StatusCode status = device->Open();
  if (status != RESULT_OK) return status;
  *handle = g_manager->Add(std::move(device));
  return RESULT_OK;
}

StatusCode CloseDevice(DeviceHandle handle) {
  std::lock_guard<std::mutex> lock(g_tableMutex);
  if (g_manager) g_manager->Remove(handle);
  return RESULT_OK;
}

StatusCode ReadDeviceDescriptor(DeviceHandle handle, uint8_t* descriptor) {
  return WithDevice(handle, [descriptor](CSTDevice& device, CSTDevicesManager&) {
    if (!device.IsOpen()) return DEV_ERR_NOT_OPEN;
    if (descriptor == nullptr) return DEV_ERR_BAD_PARAMETER;
    std::memcpy(descriptor, device.DeviceDescriptor(), DEVICE_DESCRIPTOR_SIZE);
    return RESULT_OK;
  });
}

StatusCode ReadInterfaceDescriptor(DeviceHandle handle, uint32_t interfaceOrdinal,
                                   uint32_t alternateIndex, uint8_t* descriptor) {
  return WithDevice(handle, [&](CSTDevice& device, CSTDevicesManager&) {
    return device.FindInterfaceDescriptor(interfaceOrdinal, alternateIndex, descriptor);
  });
}

StatusCode ReadClassDescriptor(DeviceHandle handle, uint32_t interfaceOrdinal,
                               uint32_t alternateIndex, uint8_t* buffer) {
  return WithDevice(handle, [&](CSTDevice& device, CSTDevicesManager&) {
    return device.FindClassDescriptor(interfaceOrdinal, alternateIndex, buffer);
  });
}

// Copies `text` into a string buffer of DEVICE_STRING_BUFFER_SIZE bytes,
// always NUL-terminated. Only UTF-8 text (the Linux console, or a Windows
// code page of UTF-8) can be longer than the buffer: a string descriptor
// holds at most 255 UTF-16 units, which a double-byte code page turns into at
// most 510 bytes. So a cut never splits a double-byte character, and it
// steps back over UTF-8 continuation bytes so it never splits a UTF-8 one.
static void CopyStringText(const std::string& text, char* buffer) {
  size_t length = std::min(text.size(), static_cast<size_t>(DEVICE_STRING_BUFFER_SIZE - 1));
  if (length < text.size()) {
    while (length > 0 && (static_cast<uint8_t>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(buffer, text.data(), length);
  std::memset(buffer + length, 0, DEVICE_STRING_BUFFER_SIZE - length);
}

StatusCode ReadStringDescriptor(DeviceHandle handle, uint32_t index, char* buffer) {
  if (!DevicesManagerExists()) return DEV_ERR_NO_MANAGER;
  if (buffer == nullptr) return DEV_ERR_BAD_PARAMETER;
  return WithDevice(handle, [&](CSTDevice& device, CSTDevicesManager&) {
    std::string text;
    StatusCode status = device.ReadString(index, &text);
    if (status == RESULT_OK) CopyStringText(text, buffer);
    return status;
  });
}

StatusCode SelectAlternateSetting(DeviceHandle handle, uint32_t alternateIndex) {
  return WithDevice(handle, [&](CSTDevice& device, CSTDevicesManager&) {
    return device.SelectAlternate(alternateIndex);
  });
}
