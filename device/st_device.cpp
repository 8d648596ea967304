#include "device/st_device.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/text.h"
#include "protocol/byte_order.h"
#include "protocol/dfu.h"
#include "protocol/usb.h"

namespace {

// A class-specific descriptor the walks hand back is at most the size of
// the DFU functional descriptor.
constexpr uint32_t USB_CLASS_DESCRIPTOR_MAX_SIZE = DFU_FUNCTIONAL_DESCRIPTOR_SIZE;
constexpr uint32_t BLOCK_SIZE = DRIVER_DESCRIPTOR_BLOCK_SIZE;

// Steps through the descriptors that follow the configuration descriptor of
// one 512-byte block. The block comes from the device, so every length is
// checked before a byte of the descriptor is read: a descriptor that is
// shorter than its own header, that runs past wTotalLength, or a wTotalLength
// beyond the block, ends the walk with DEV_ERR_BAD_DESCRIPTOR_LAYOUT instead
// of looping on bLength 0 or reading outside the block.
class CDescriptorWalk {
 public:
  explicit CDescriptorWalk(const uint8_t* block) : block_(block) {}

  StatusCode Start() {
    end_ = GetLe16(block_ + 2);
    uint32_t configLength = block_[0];
    if (end_ > BLOCK_SIZE || configLength == 0 || configLength > end_) {
      return DEV_ERR_BAD_DESCRIPTOR_LAYOUT;
    }
    next_ = configLength;
    return RESULT_OK;
  }

  // Moves to the next descriptor; *atEnd once the walk reaches wTotalLength.
  StatusCode Next(bool* atEnd) {
    *atEnd = next_ >= end_;
    if (*atEnd) return RESULT_OK;
    uint32_t length = block_[next_];
    if (length < 2 || length > end_ - next_) return DEV_ERR_BAD_DESCRIPTOR_LAYOUT;
    // The walks read an interface descriptor's fields up to byte 8.
    if (block_[next_ + 1] == USB_DT_INTERFACE && length < USB_INTERFACE_DESCRIPTOR_SIZE) {
      return DEV_ERR_BAD_DESCRIPTOR_LAYOUT;
    }
    current_ = next_;
    next_ += length;
    return RESULT_OK;
  }

  const uint8_t* Descriptor() const { return block_ + current_; }
  uint8_t Length() const { return block_[current_]; }
  uint8_t Type() const { return block_[current_ + 1]; }
  uint8_t InterfaceNumber() const { return block_[current_ + 2]; }

 private:
  const uint8_t* block_;
  uint32_t end_ = 0;
  uint32_t next_ = 0;
  uint32_t current_ = 0;
};

// Advances `walk` to the interface descriptor of ordinal n, alternate index a.
// The rules count interface descriptors, not interface numbers: the first one
// seen opens interface ordinal 0, and every change while still before
// ordinal n counts one more ordinal.
StatusCode WalkToInterface(CDescriptorWalk* walk, uint32_t n, uint32_t a, bool* found) {
  *found = false;
  StatusCode status = walk->Start();
  if (status != RESULT_OK) return status;
  uint32_t i = 1;
  uint32_t seen = 0;
  bool hasPrevious = false;
  uint8_t previousNumber = 0;
  for (;;) {
    bool atEnd = false;
    status = walk->Next(&atEnd);
    if (status != RESULT_OK || atEnd) return status;
    if (walk->Type() == USB_DT_CONFIGURATION) return DEV_ERR_BAD_DESCRIPTOR_LAYOUT;
    if (walk->Type() != USB_DT_INTERFACE) continue;
    uint8_t number = walk->InterfaceNumber();
    if (!hasPrevious) {
      if (n == 0 && a == 0) {
        *found = true;
        return RESULT_OK;
      }
    } else if (seen != n) {
      ++seen;
    } else if (number == previousNumber) {
      if (i == a) {
        *found = true;
        return RESULT_OK;
      }
      ++i;
    } else {
      return DEV_ERR_BAD_DESCRIPTOR_LAYOUT;
    }
    hasPrevious = true;
    previousNumber = number;
  }
}

}  // namespace

CSTDevice::CSTDevice(std::string path) : devicePath(std::move(path)) {}

CSTDevice::~CSTDevice() { Close(); }

StatusCode CSTDevice::Open() {
  if (isOpen != 0) return RESULT_OK;
  if (driverHandle != DRIVER_INVALID_HANDLE) {
    DriverClose(driverHandle);
    driverHandle = DRIVER_INVALID_HANDLE;
  }
  StatusCode failure = DEV_ERR_OPEN_FAILED;
  driverHandle = DriverOpen(devicePath, &failure);
  if (driverHandle == DRIVER_INVALID_HANDLE) return failure;
  StatusCode status = ReadDescriptors();
  if (status != RESULT_OK) {
    Close();
    return status;
  }
  isOpen = 1;
  return RESULT_OK;
}

StatusCode CSTDevice::ReadDescriptors() {
  configurationDescriptors.clear();
  configurationDescriptors.shrink_to_fit();
  std::memset(deviceDescriptor, 0, sizeof deviceDescriptor);

  uint32_t returned = 0;
  if (!DriverIoControl(driverHandle, IOCTL_DFU_GET_DEVICE_DESCRIPTOR, nullptr, 0, deviceDescriptor,
                       sizeof deviceDescriptor, &returned) ||
      returned != DRIVER_DEVICE_DESCRIPTOR_SIZE) {
    return DEV_ERR_DESCRIPTOR_READ;
  }
  uint32_t configurations = NumConfigurations();
  configurationDescriptors.assign(static_cast<size_t>(configurations) * BLOCK_SIZE, 0);
  for (uint32_t i = 0; i < configurations; ++i) {
    uint8_t index = static_cast<uint8_t>(i);
    if (!DriverIoControl(driverHandle, IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, &index, 1,
                         configurationDescriptors.data() + static_cast<size_t>(i) * BLOCK_SIZE,
                         BLOCK_SIZE, &returned)) {
      configurationDescriptors.clear();
      return DEV_ERR_DESCRIPTOR_READ;
    }
  }
  return RESULT_OK;
}

void CSTDevice::Close() {
  configurationDescriptors.clear();
  configurationDescriptors.shrink_to_fit();
  if (driverHandle != DRIVER_INVALID_HANDLE) {
    DriverClose(driverHandle);
    driverHandle = DRIVER_INVALID_HANDLE;
  }
  isOpen = 0;
}

uint8_t CSTDevice::NumInterfaces() const {
  if (configurationDescriptors.empty()) return 0;
  return configurationDescriptors[4];
}

StatusCode CSTDevice::CheckWalkable(uint32_t interfaceOrdinal) const {
  if (isOpen == 0) return DEV_ERR_NOT_OPEN;
  if (NumConfigurations() == 0 || configurationDescriptors.size() < BLOCK_SIZE) {
    return DEV_ERR_BAD_PARAMETER;
  }
  if (interfaceOrdinal >= NumInterfaces()) return DEV_ERR_BAD_PARAMETER;
  return RESULT_OK;
}

StatusCode CSTDevice::CountAlternateSettings(uint32_t interfaceOrdinal, uint32_t* count) const {
  StatusCode status = CheckWalkable(interfaceOrdinal);
  if (status != RESULT_OK) return status;
  if (count == nullptr) return DEV_ERR_BAD_PARAMETER;

  CDescriptorWalk walk(configurationDescriptors.data());
  status = walk.Start();
  if (status != RESULT_OK) return status;
  uint32_t alternates = 1;
  uint32_t seen = 0;
  bool hasPrevious = false;
  uint8_t previousNumber = 0;
  for (;;) {
    bool atEnd = false;
    status = walk.Next(&atEnd);
    if (status != RESULT_OK) return status;
    if (atEnd) break;
    if (walk.Type() == USB_DT_CONFIGURATION) return DEV_ERR_BAD_DESCRIPTOR_LAYOUT;
    if (walk.Type() != USB_DT_INTERFACE) continue;
    uint8_t number = walk.InterfaceNumber();
    if (hasPrevious && seen != interfaceOrdinal) {
      ++seen;
    } else if (hasPrevious && number == previousNumber) {
      ++alternates;
    } else if (hasPrevious && alternates > 1) {
      break;  // the next interface begins after the one counted
    }
    hasPrevious = true;
    previousNumber = number;
  }
  *count = alternates;
  return RESULT_OK;
}

// Shared start of the two lookups: the alternate index must be below the
// count of the interface's alternate settings.
StatusCode CSTDevice::FindInterfaceStart(uint32_t interfaceOrdinal, uint32_t alternateIndex) const {
  uint32_t count = 0;
  StatusCode status = CountAlternateSettings(interfaceOrdinal, &count);
  if (status != RESULT_OK) return status;
  return alternateIndex < count ? RESULT_OK : DEV_ERR_BAD_PARAMETER;
}

StatusCode CSTDevice::FindInterfaceDescriptor(uint32_t interfaceOrdinal, uint32_t alternateIndex,
                                              uint8_t* descriptor) const {
  if (isOpen == 0) return DEV_ERR_NOT_OPEN;
  if (descriptor == nullptr) return DEV_ERR_BAD_PARAMETER;
  // Cleared first, so a walk without a match never hands out stale bytes.
  std::memset(descriptor, 0, USB_INTERFACE_DESCRIPTOR_SIZE);
  StatusCode status = FindInterfaceStart(interfaceOrdinal, alternateIndex);
  if (status != RESULT_OK) return status;

  CDescriptorWalk walk(configurationDescriptors.data());
  bool found = false;
  status = WalkToInterface(&walk, interfaceOrdinal, alternateIndex, &found);
  if (status == RESULT_OK && found) {
    std::memcpy(descriptor, walk.Descriptor(), USB_INTERFACE_DESCRIPTOR_SIZE);
  }
  return status;
}

StatusCode CSTDevice::FindDfuInterface(uint8_t* number, uint8_t* functional) const {
  if (number == nullptr || functional == nullptr) return DEV_ERR_BAD_PARAMETER;
  std::memset(functional, 0, USB_CLASS_DESCRIPTOR_MAX_SIZE);
  StatusCode status = CheckWalkable(0);
  if (status != RESULT_OK) return status;
  CDescriptorWalk walk(configurationDescriptors.data());
  status = walk.Start();
  if (status != RESULT_OK) return status;
  bool found = false;
  bool inDfu = false;  // the last interface descriptor seen is a DFU one
  uint8_t dfuNumber = 0;
  uint8_t candidate[USB_CLASS_DESCRIPTOR_MAX_SIZE] = {};
  for (;;) {
    bool atEnd = false;
    status = walk.Next(&atEnd);
    if (status != RESULT_OK) return status;
    if (atEnd) break;
    const uint8_t type = walk.Type();
    if (type == USB_DT_CONFIGURATION) return DEV_ERR_BAD_DESCRIPTOR_LAYOUT;
    if (type == USB_DT_INTERFACE) {
      const uint8_t* descriptor = walk.Descriptor();
      inDfu = descriptor[5] == USB_CLASS_APPLICATION_SPECIFIC && descriptor[6] == USB_SUBCLASS_DFU;
      if (inDfu) {
        // A later alternate setting (or a later DFU interface) carries the
        // descriptor that counts.
        found = true;
        dfuNumber = descriptor[2];
        std::memset(candidate, 0, sizeof candidate);
      }
      continue;
    }
    if (type == USB_DT_ENDPOINT) inDfu = false;
    if (inDfu && type == DFU_DESCRIPTOR_TYPE_FUNCTIONAL) {
      std::memcpy(candidate, walk.Descriptor(), std::min<uint32_t>(walk.Length(), sizeof candidate));
      inDfu = false;
    }
  }
  if (!found) return DEV_ERR_BAD_PARAMETER;
  *number = dfuNumber;
  std::memcpy(functional, candidate, sizeof candidate);
  return RESULT_OK;
}

StatusCode CSTDevice::FindClassDescriptor(uint32_t interfaceOrdinal, uint32_t alternateIndex,
                                          uint8_t* buffer) const {
  if (isOpen == 0) return DEV_ERR_NOT_OPEN;
  if (buffer == nullptr) return DEV_ERR_BAD_PARAMETER;
  std::memset(buffer, 0, USB_CLASS_DESCRIPTOR_MAX_SIZE);
  StatusCode status = FindInterfaceStart(interfaceOrdinal, alternateIndex);
  if (status != RESULT_OK) return status;

  CDescriptorWalk walk(configurationDescriptors.data());
  bool found = false;
  status = WalkToInterface(&walk, interfaceOrdinal, alternateIndex, &found);
  if (status != RESULT_OK || !found) return status;

  // The class-specific descriptor belongs to the interface only while no
  // other interface, endpoint or configuration descriptor comes between.
  StatusCode result = RESULT_OK;
  bool seenClass = false;
  for (;;) {
    bool atEnd = false;
    status = walk.Next(&atEnd);
    if (status != RESULT_OK) return status;
    if (atEnd) return result;
    uint8_t type = walk.Type();
    if (type == USB_DT_CONFIGURATION || type == USB_DT_INTERFACE || type == USB_DT_ENDPOINT) {
      return DEV_ERR_BAD_DESCRIPTOR_LAYOUT;
    }
    if (type != DFU_DESCRIPTOR_TYPE_FUNCTIONAL || seenClass) continue;
    seenClass = true;
    if (walk.Length() <= USB_CLASS_DESCRIPTOR_MAX_SIZE) {
      std::memcpy(buffer, walk.Descriptor(), walk.Length());
      return RESULT_OK;
    }
    result = DEV_ERR_DESCRIPTOR_TOO_LONG;
  }
}

StatusCode CSTDevice::ReadString(uint32_t index, std::string* text) {
  if (isOpen == 0) return DEV_ERR_NOT_OPEN;
  if (text == nullptr) return DEV_ERR_BAD_PARAMETER;
  uint8_t input[3] = {static_cast<uint8_t>(index)};
  PutLe16(input + 1, DRIVER_LANGID_EN_US);
  uint8_t output[BLOCK_SIZE] = {};
  uint32_t returned = 0;
  // A device may stall one string request now and then (busy elsewhere, as
  // some are just after they enumerate); the request goes once more before
  // the string counts as unreadable, for a memory-map string lost to one
  // stall takes the whole alternate setting with it.
  bool answered = false;
  for (int attempt = 0; attempt < 2 && !answered; ++attempt) {
    answered = DriverIoControl(driverHandle, IOCTL_DFU_GET_STRING_DESCRIPTOR, input, sizeof input,
                               output, sizeof output, &returned);
  }
  if (!answered || returned <= 2 || output[1] != USB_DT_STRING) return DEV_ERR_STRING_DESCRIPTOR;
  // UTF-16LE from byte 2 up to the first zero unit; the zero-filled buffer
  // bounds a descriptor that carries none. Index 0 (the language table) is
  // read the same way.
  uint16_t units[(BLOCK_SIZE - 2) / 2];
  size_t count = 0;
  for (size_t at = 2; at + 1 < BLOCK_SIZE; at += 2) {
    uint16_t unit = GetLe16(output + at);
    if (unit == 0) break;
    units[count++] = unit;
  }
  *text = Utf16ToConsoleText(units, count);
  return RESULT_OK;
}

StatusCode CSTDevice::SelectAlternate(uint32_t alternateIndex) {
  if (isOpen == 0) return DEV_ERR_NOT_OPEN;
  uint8_t interfaceDescriptor[USB_INTERFACE_DESCRIPTOR_SIZE] = {};
  StatusCode status = FindInterfaceDescriptor(0, alternateIndex, interfaceDescriptor);
  if (status != RESULT_OK) return status;

  // The driver re-reads the configuration when it switches the setting; the
  // copy here is refreshed the same way before the switch.
  uint8_t configurationValue = configurationDescriptors[5];
  isOpen = 0;
  status = ReadDescriptors();
  if (status != RESULT_OK) {
    Close();
    return status;
  }
  const uint8_t input[3] = {static_cast<uint8_t>(configurationValue - 1), interfaceDescriptor[2],
                            interfaceDescriptor[3]};
  uint32_t returned = 0;
  if (!DriverIoControl(driverHandle, IOCTL_DFU_SELECT_ALTERNATE_SETTING, input, sizeof input,
                       nullptr, 0, &returned)) {
    Close();
    return DEV_ERR_BAD_PARAMETER;
  }
  isOpen = 1;
  return RESULT_OK;
}

StatusCode CSTDevice::ResetPort() {
  if (isOpen == 0) return DEV_ERR_NOT_OPEN;
  return DriverResetDevice(driverHandle);
}

StatusCode CSTDevice::SendControlRequest(const ControlRequestHeader* header, void* data,
                                         uint32_t* received) {
  if (isOpen == 0) return DEV_ERR_NOT_OPEN;
  if (header == nullptr) return DEV_ERR_BAD_PARAMETER;
  // wLength of a setup packet is 16 bits; a longer data stage cannot be asked
  // for, and a data stage needs a buffer.
  if (header->length > 0xFFFF || (header->length > 0 && data == nullptr)) {
    return DEV_ERR_BAD_PARAMETER;
  }
  const bool toHost = header->direction == CONTROL_DIRECTION_DEVICE_TO_HOST;
  std::vector<uint8_t> input(CONTROL_REQUEST_HEADER_SIZE + header->length, 0);
  EncodeControlRequestHeader(*header, input.data());
  if (!toHost && header->length > 0) {
    std::memcpy(input.data() + CONTROL_REQUEST_HEADER_SIZE, data, header->length);
  }
  void* output = (toHost && header->length > 0) ? data : nullptr;
  uint32_t outputSize = output != nullptr ? header->length : 0;
  uint32_t returned = 0;
  if (!DriverIoControl(driverHandle, IOCTL_DFU_CONTROL_REQUEST, input.data(),
                       static_cast<uint32_t>(input.size()), output, outputSize, &returned) ||
      returned > outputSize) {
    return DEV_ERR_CONTROL_TRANSFER;
  }
  if (returned != outputSize && received == nullptr) return DEV_ERR_SHORT_ANSWER;
  if (received != nullptr) *received = returned;
  return RESULT_OK;
}
