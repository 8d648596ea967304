// The flat device API: devices are opened by interface path and named by
// opaque handles checked against the table of the one CSTDevicesManager.
#ifndef ZUVA_DEVICE_DEVICE_MANAGER_H_
#define ZUVA_DEVICE_DEVICE_MANAGER_H_

#include <cstdint>
#include <string>

#include "common/status_code.h"

// A device handle: a 64-bit id drawn from a counter that never repeats, so
// the handle of a closed device can never be taken for a valid one. 0 names
// no device.
using DeviceHandle = uint64_t;
constexpr DeviceHandle DEVICE_INVALID_HANDLE = 0;

constexpr uint32_t DEVICE_DESCRIPTOR_SIZE = 18;
constexpr uint32_t DEVICE_INTERFACE_DESCRIPTOR_SIZE = 9;
// The largest class-specific descriptor the walks hand out.
constexpr uint32_t DEVICE_CLASS_DESCRIPTOR_MAX_SIZE = 9;
constexpr uint32_t DEVICE_STRING_BUFFER_SIZE = 512;

// The process-wide manager. Creating it when it exists does nothing;
// destroying it closes and destroys every device still open.
void CreateDevicesManager();
void DestroyDevicesManager();
bool DevicesManagerExists();

// Opens the device at `path` and reads its descriptors. Empty path or null
// `handle`: DEV_ERR_BAD_PARAMETER; no manager: DEV_ERR_NO_MANAGER; else the
// status of the open (DEV_ERR_IN_USE when another program holds the device).
// *handle is written only on success.
StatusCode OpenDevice(const std::string& path, DeviceHandle* handle);

// Closes and forgets the device. An unknown handle (or no manager) is not an
// error: RESULT_OK and nothing happens.
StatusCode CloseDevice(DeviceHandle handle);

// Copies the 18-byte USB device descriptor.
StatusCode ReadDeviceDescriptor(DeviceHandle handle, uint8_t* descriptor);

// The 9-byte interface descriptor of interface ordinal `interfaceOrdinal`,
// alternate index `alternateIndex`, of configuration index 0. A walk without a
// match leaves `descriptor` zeroed and returns RESULT_OK.
StatusCode ReadInterfaceDescriptor(DeviceHandle handle, uint32_t interfaceOrdinal,
                                   uint32_t alternateIndex, uint8_t* descriptor);

// The class-specific descriptor (type 0x21, at most 9 bytes) that follows the
// interface descriptor, copied with its own length into `buffer` (9 bytes),
// which is zeroed first. No such descriptor: zeros and RESULT_OK.
StatusCode ReadClassDescriptor(DeviceHandle handle, uint32_t interfaceOrdinal,
                               uint32_t alternateIndex, uint8_t* buffer);

// The text of string descriptor `index` (low 8 bits sent) in the console's
// encoding, NUL-padded to DEVICE_STRING_BUFFER_SIZE bytes. The buffer is
// written only on RESULT_OK.
StatusCode ReadStringDescriptor(DeviceHandle handle, uint32_t index, char* buffer);

// Makes the driver select alternate setting `alternateIndex` of the first
// interface. A driver refusal closes the device (it stays in the table).
StatusCode SelectAlternateSetting(DeviceHandle handle, uint32_t alternateIndex);

#endif  // ZUVA_DEVICE_DEVICE_MANAGER_H_
