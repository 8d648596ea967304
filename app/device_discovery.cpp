#include "app/device_discovery.h"

#include <vector>

#include "app/console_prompt.h"
#include "common/guid.h"
#include "device/device_manager.h"
#include "device/dfu_requests.h"
#include "platform/console.h"
#include "platform/driver_port.h"

namespace {

// The device description is read into a buffer of this many bytes; one that
// does not fit, terminator included, counts as no description, whichever
// source listed the device.
constexpr size_t APP_DESCRIPTION_BUFFER_SIZE = 253;
constexpr char APP_UNNAMED_DEVICE[] = "(Unnamed DFU device)";

// The DfuSe extensions are announced as DFU revisions 1.1A to 1.1F.
constexpr uint16_t APP_DFUSE_VERSION_FIRST = 0x011A;
constexpr uint16_t APP_DFUSE_VERSION_LAST = 0x011F;

// Every listed interface overwrites the path and the name, so the last one
// listed (a virtual device comes after the real ones) is the one used. An
// attempt that lists nothing leaves the path of an earlier attempt.
void ListDfuInterfaces(std::string* devicePath, std::string* name) {
  // A source that cannot list adds nothing; the others' interfaces still count.
  std::vector<InterfaceInfo> interfaces;
  EnumerateInterfaces(DFU_INTERFACE_GUID, &interfaces);
  for (const InterfaceInfo& info : interfaces) {
    if (!info.path.empty()) *devicePath = info.path;
    const bool fits = info.hasDescription && info.description.size() < APP_DESCRIPTION_BUFFER_SIZE;
    *name = fits ? info.description : APP_UNNAMED_DEVICE;
  }
}

// Checks the device on an open handle. The messages end without a line end:
// the retry text follows them on the same line.
bool CheckOpenDevice(const std::string& devicePath, DeviceHandle* handle,
                     uint8_t* deviceDescriptor, MemoryMappingArray* mapping,
                     uint32_t* alternateCount) {
  if (ReadDeviceDescriptor(*handle, deviceDescriptor) != RESULT_OK) {
    ConsolePrintf("Unable to get DFU descriptor... Bad Firmware");
    return false;
  }
  DfuFunctionalDescriptor functional{};
  uint32_t interfaceNumber = 0;
  uint32_t alternates = 0;
  if (ReadDfuFunctionalDescriptor(handle, &interfaceNumber, &alternates, &functional) !=
      RESULT_OK) {
    return false;
  }
  const uint16_t version = functional.bcdDFUVersion;
  if (version < APP_DFUSE_VERSION_FIRST || version > APP_DFUSE_VERSION_LAST) {
    // A functional descriptor too short to carry the version field leaves it
    // 0; such a device is turned away without a word.
    if (version != 0) ConsolePrintf("Bad DFU protocol version. Should be 1.1A");
    return false;
  }
  if (DecodeMemoryMapping(devicePath, mapping, alternateCount) != RESULT_OK) {
    ConsolePrintf("Unable to find or decode device mapping... Bad Firmware");
    return false;
  }
  return true;
}

// The device is open only for the checks; the operations open it again by
// its path.
bool ValidateDevice(const std::string& devicePath, uint8_t* deviceDescriptor,
                    MemoryMappingArray* mapping, uint32_t* alternateCount) {
  *alternateCount = 0;
  DeviceHandle handle = DEVICE_INVALID_HANDLE;
  if (OpenDevice(devicePath, &handle) != RESULT_OK) {
    ConsolePrintf("Unable to get descriptors... Bad Firmware");
    return false;
  }
  const bool accepted =
      CheckOpenDevice(devicePath, &handle, deviceDescriptor, mapping, alternateCount);
  CloseDevice(handle);
  return accepted;
}

}  // namespace

bool DiscoverDevice(std::string* devicePath, uint8_t* deviceDescriptor,
                    MemoryMappingArray* mapping) {
  for (;;) {
    std::string name;
    ListDfuInterfaces(devicePath, &name);
    uint32_t alternateCount = 0;
    if (!devicePath->empty() &&
        ValidateDevice(*devicePath, deviceDescriptor, mapping, &alternateCount)) {
      ConsolePrintf("Device found: %s, having [%d] alternate targets \n", name.c_str(),
                    static_cast<int>(alternateCount));
      return true;
    }
    ConsolePrintf(
        "No Device(s) found. Plug your DFU Device or reset to DFU mode (reset and hold "
        "ENTER)!\n");
    ConsolePrintf("Retry? [y/n] ");
    if (!ReadYesNoAnswer()) return false;
  }
}
