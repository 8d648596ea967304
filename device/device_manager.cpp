#include "device/device_manager.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "device/st_devices_manager.h"

namespace {

// Guards the manager's pointer only. Several threads use the device layer at
// once: the console thread and the workers of several operations (one per
// device with flash --all); each call holds its own device's lock, so one
// device's transfer never waits for another's.
std::mutex g_managerMutex;
// Shared with the calls in progress, so a manager destroyed meanwhile lives
// until they end.
std::shared_ptr<CSTDevicesManager> g_manager;
// Never reset, not even when the manager is recreated: a handle is never
// reused.
std::atomic<DeviceHandle> g_nextHandle{1};

std::shared_ptr<CSTDevicesManager> Manager() {
  std::lock_guard<std::mutex> lock(g_managerMutex);
  return g_manager;
}

}  // namespace

CSTDevicesManager::~CSTDevicesManager() {
  // Nobody else holds the manager now, so no call is using a device.
  for (Entry& entry : table) entry.slot->device.reset();
  table.clear();
}

DeviceHandle CSTDevicesManager::Add(std::unique_ptr<CSTDevice> device) {
  auto slot = std::make_shared<Slot>();
  slot->device = std::move(device);
  std::lock_guard<std::mutex> lock(tableMutex);
  const DeviceHandle handle = g_nextHandle++;
  table.push_back({handle, std::move(slot)});
  return handle;
}

std::shared_ptr<CSTDevicesManager::Slot> CSTDevicesManager::Find(DeviceHandle handle) const {
  std::lock_guard<std::mutex> lock(tableMutex);
  for (const Entry& entry : table) {
    if (entry.handle == handle) return entry.slot;
  }
  return nullptr;
}

std::shared_ptr<CSTDevicesManager::Slot> CSTDevicesManager::Take(DeviceHandle handle) {
  std::lock_guard<std::mutex> lock(tableMutex);
  auto it = std::find_if(table.begin(), table.end(),
                         [handle](const Entry& entry) { return entry.handle == handle; });
  if (it == table.end()) return nullptr;
  std::shared_ptr<Slot> slot = std::move(it->slot);
  table.erase(it);
  return slot;
}

bool CSTDevicesManager::Remove(DeviceHandle handle) {
  std::shared_ptr<Slot> slot = Take(handle);
  if (!slot) return false;
  slot->device.reset();  // its destructor closes the driver connection
  return true;
}

size_t CSTDevicesManager::Count() const {
  std::lock_guard<std::mutex> lock(tableMutex);
  return table.size();
}

StatusCode WithDevice(DeviceHandle handle,
                      const std::function<StatusCode(CSTDevice&, CSTDevicesManager&)>& action) {
  const std::shared_ptr<CSTDevicesManager> manager = Manager();
  if (!manager) return DEV_ERR_NO_MANAGER;
  const std::shared_ptr<CSTDevicesManager::Slot> slot = manager->Find(handle);
  if (!slot) return DEV_ERR_BAD_PARAMETER;
  std::lock_guard<std::mutex> lock(slot->mutex);
  if (!slot->device) return DEV_ERR_BAD_PARAMETER;
  return action(*slot->device, *manager);
}

void CreateDevicesManager() {
  std::lock_guard<std::mutex> lock(g_managerMutex);
  if (!g_manager) g_manager = std::make_shared<CSTDevicesManager>();
}

void DestroyDevicesManager() {
  std::shared_ptr<CSTDevicesManager> last;
  {
    std::lock_guard<std::mutex> lock(g_managerMutex);
    last.swap(g_manager);
  }
  // Destroyed here, outside the lock, unless a call still holds it.
}

bool DevicesManagerExists() { return Manager() != nullptr; }

StatusCode OpenDevice(const std::string& path, DeviceHandle* handle) {
  if (path.empty() || handle == nullptr) return DEV_ERR_BAD_PARAMETER;
  const std::shared_ptr<CSTDevicesManager> manager = Manager();
  if (!manager) return DEV_ERR_NO_MANAGER;
  std::unique_ptr<CSTDevice> device;
  try {
    device = std::make_unique<CSTDevice>(path);
  } catch (const std::bad_alloc&) {
    return DEV_ERR_BAD_PARAMETER;
  }
  // Reading the descriptors takes several transfers: no lock is held.
  StatusCode status = device->Open();
  if (status != RESULT_OK) return status;
  *handle = manager->Add(std::move(device));
  return RESULT_OK;
}

StatusCode CloseDevice(DeviceHandle handle) {
  const std::shared_ptr<CSTDevicesManager> manager = Manager();
  if (!manager) return RESULT_OK;
  const std::shared_ptr<CSTDevicesManager::Slot> slot = manager->Take(handle);
  if (!slot) return RESULT_OK;
  // A call in progress on the device ends first.
  std::lock_guard<std::mutex> lock(slot->mutex);
  slot->device.reset();
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
