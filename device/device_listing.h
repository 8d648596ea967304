// Every DFU device present, in DFU mode or running its application with a
// DFU run-time interface, with what its descriptors say about it: the list
// behind device selection and listing in the scripting tool.
#ifndef ZUVA_DEVICE_DEVICE_LISTING_H_
#define ZUVA_DEVICE_DEVICE_LISTING_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common/guid.h"
#include "common/memory_mapping.h"
#include "common/status_code.h"

struct DfuAlternateInfo {
  uint8_t alternateSetting = 0;
  std::string name;        // the interface string; empty without one
  bool hasMemory = false;  // the name decodes as a DfuSe memory map
  // The interface has a string, but the device did not answer its request:
  // whether the setting has a memory map is not known.
  bool nameUnread = false;
  MemoryMapping memory{};  // when hasMemory
};

struct DfuDeviceInfo {
  std::string path;
  std::string description;  // the listing's description, when it has one
  bool dfuMode = true;      // false: application mode, run-time interface
  bool opened = false;      // false: listed but could not be opened
  StatusCode openStatus = RESULT_OK;
  // With openStatus DEV_ERR_ACCESS_DENIED: the system's file that access was
  // refused to (DriverSystemNode), when the backend names one.
  std::string deniedNode;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t deviceVersion = 0;  // bcdDevice
  std::string serial;
  uint8_t interfaceNumber = 0;
  uint8_t attributes = 0;  // bmAttributes of the functional descriptor
  uint16_t dfuVersion = 0;
  uint16_t transferSize = 0;
  uint16_t detachTimeout = 0;
  std::vector<DfuAlternateInfo> alternates;
};

// The decoded memory map of one of the device's alternate settings, or null
// when the setting is absent or its name is not a memory map.
const MemoryMapping* FindMemory(const DfuDeviceInfo& device, uint8_t alternate);

// Lists DFU-mode devices first, then application-mode ones, each in the
// platform's listing order. A device that cannot be opened is still listed
// (opened false), so that a caller can tell "absent" from "not usable".
void ListDfuDevices(std::vector<DfuDeviceInfo>* devices);

// What ListDfuDevices says of the one device at `path` in the given mode,
// without opening any other; false (with opened false in *info) when it
// cannot be opened, which includes a device that has gone.
bool DescribeDfuDevice(const std::string& path, bool dfuMode, DfuDeviceInfo* info);

// What the platform's listing says of an interface of one of the classes at
// `path` (letter case aside): present, absent, or unknown because a listing
// failed and did not show it (a failed listing is no sign of removal). No
// device is opened and no request reaches one.
enum ListingAnswer { LISTING_PRESENT, LISTING_ABSENT, LISTING_FAILED };
ListingAnswer InterfaceListed(const std::string& path, const std::vector<Guid>& interfaceClasses);

#endif  // ZUVA_DEVICE_DEVICE_LISTING_H_
