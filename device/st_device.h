// One opened USB device in DFU mode: its driver connection, a copy of its
// descriptors, the descriptor walks over configuration 0, string reads,
// alternate-setting selection and control transfers. Every access goes
// through the driver port; the object never knows which backend answers.
#ifndef ZUVA_DEVICE_ST_DEVICE_H_
#define ZUVA_DEVICE_ST_DEVICE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common/cobject.h"
#include "common/status_code.h"
#include "platform/driver_port.h"
#include "protocol/driver_requests.h"

class CSTDevice : public CObject {
 public:
  explicit CSTDevice(std::string path);
  ~CSTDevice() override;

  // Opens the driver connection and reads every descriptor; RESULT_OK at
  // once when already open. A refused connection is DEV_ERR_IN_USE when
  // another program holds the device, else DEV_ERR_OPEN_FAILED.
  StatusCode Open();
  // (Re)reads the device descriptor and every configuration block.
  StatusCode ReadDescriptors();
  // Releases the descriptors and the connection; the object can be opened
  // again.
  void Close();

  // The walks answer from configuration block 0. Interface ordinals count
  // interface descriptors as they appear, which for a single-interface
  // configuration (every DFU-mode device) is the plain interface number.
  StatusCode CountAlternateSettings(uint32_t interfaceOrdinal, uint32_t* count) const;
  // A walk without a match leaves `descriptor` (9 bytes) zeroed, RESULT_OK.
  StatusCode FindInterfaceDescriptor(uint32_t interfaceOrdinal, uint32_t alternateIndex,
                                     uint8_t* descriptor) const;
  // The first type-0x21 descriptor after the matching interface descriptor,
  // copied with its own length (at most 9) into `buffer` (9 bytes), which is
  // zeroed first.
  StatusCode FindClassDescriptor(uint32_t interfaceOrdinal, uint32_t alternateIndex,
                                 uint8_t* buffer) const;

  // The DFU interface found by its class: the last interface descriptor of
  // class 0xFE, subclass 1 in configuration block 0. Gives its
  // bInterfaceNumber and the first type-0x21 descriptor after its last
  // alternate setting (at most 9 bytes into `functional`, zeroed first; left
  // zero when another interface or an endpoint comes first). Unlike the
  // ordinal walks it reads the number the device gave, which on a composite
  // device is not 0. DEV_ERR_BAD_PARAMETER when there is no DFU interface.
  StatusCode FindDfuInterface(uint8_t* number, uint8_t* functional) const;

  // The text of a string descriptor in the console's encoding.
  StatusCode ReadString(uint32_t index, std::string* text);
  // Selects an alternate setting of the interface found as ordinal 0. A
  // failure after the lookup closes the device.
  StatusCode SelectAlternate(uint32_t alternateIndex);
  // One control transfer; `data` is the data stage (sent or received) of
  // header->length bytes. With `received`, a device-to-host data stage may
  // end short and its length goes there; without it a short one fails with
  // DEV_ERR_SHORT_ANSWER.
  StatusCode SendControlRequest(const ControlRequestHeader* header, void* data,
                                uint32_t* received = nullptr);
  // A USB reset of the device's port, with DriverResetDevice's results. The
  // connection stays open; a device that re-enumerated answers no more.
  StatusCode ResetPort();

  bool IsOpen() const { return isOpen != 0; }
  const std::string& DevicePath() const { return devicePath; }
  const uint8_t* DeviceDescriptor() const { return deviceDescriptor; }
  uint8_t NumConfigurations() const { return deviceDescriptor[17]; }
  // bNumInterfaces of configuration 0; 0 when there is no configuration.
  uint8_t NumInterfaces() const;

 private:
  StatusCode CheckWalkable(uint32_t interfaceOrdinal) const;
  StatusCode FindInterfaceStart(uint32_t interfaceOrdinal, uint32_t alternateIndex) const;

  const std::string devicePath;
  DriverHandle driverHandle = DRIVER_INVALID_HANDLE;
  uint32_t isOpen = 0;
  uint8_t deviceDescriptor[DRIVER_DEVICE_DESCRIPTOR_SIZE] = {};
  // Block i (512 bytes) holds configuration index i as the driver returned it.
  std::vector<uint8_t> configurationDescriptors;
};

#endif  // ZUVA_DEVICE_ST_DEVICE_H_
