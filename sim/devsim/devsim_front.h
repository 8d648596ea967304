// The virtual device as a USB device on a bus: control transfers, as a host
// controller delivers them, are turned into requests of the device model, so
// that the model behind the emulated bus is the very one behind "sim:" paths.
// Every transfer is one request of the model, which numbers them for the
// fault plan; the few standard requests the model has no driver request for
// (GET_STATUS, SET_CONFIGURATION, ...) are still numbered by it and then
// answered here. The trace names requests as they appear on the bus.
#ifndef ZUVA_SIM_DEVSIM_DEVSIM_FRONT_H_
#define ZUVA_SIM_DEVSIM_DEVSIM_FRONT_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/dfu_device.h"

// The setup packet of a control transfer.
struct DevsimSetup {
  uint8_t requestType = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
};

enum class DevsimOutcome { kOk, kStall, kGone };

// What the bus shows of one appearance of the device before anyone asks it:
// the descriptors the kernel keeps in sysfs and the strings it read.
struct DevsimAppearance {
  std::vector<uint8_t> deviceDescriptor;
  std::vector<uint8_t> configuration;  // the whole configuration set
  std::string manufacturer;
  bool hasProduct = false;
  std::string product;
  std::string serial;
};

class CDevsimFront {
 public:
  // `trace` (may be null) receives one line per transfer and is closed by the
  // front.
  CDevsimFront(std::shared_ptr<CDfuDevice> device, SimFaultPlan plan, std::FILE* trace);
  ~CDevsimFront();
  CDevsimFront(const CDevsimFront&) = delete;
  CDevsimFront& operator=(const CDevsimFront&) = delete;

  // One control transfer that reached the device through the bus node of
  // `attachment`. `data` holds the data stage: sent by the host (OUT) or
  // filled for it (IN, up to setup.length bytes, count in *moved). Bus
  // changes the transfer caused are appended to *changes.
  DevsimOutcome Control(uint32_t attachment, const DevsimSetup& setup, uint8_t* data,
                        uint32_t* moved, std::vector<SimBusChange>* changes);

  CDfuDevice* Device() const { return device_.get(); }

  // The appearance of a device of `profile` in DFU mode or in application
  // mode, read from a scratch model so that the real one counts nothing;
  // `index` is the device's number on the bus (its serial may show it).
  static bool Describe(const SimProfile& profile, bool dfuMode, DevsimAppearance* appearance,
                       std::string* error, uint32_t index = 1);

 private:
  bool AnswerLocally(const DevsimSetup& setup, uint8_t* data, uint32_t* moved);

  const std::shared_ptr<CDfuDevice> device_;
  const SimFaultPlan plan_;
  std::FILE* const trace_;
  std::mutex mutex_;  // transfers reach the model one at a time, in order
  DevsimAppearance dfuAppearance_;
  DevsimAppearance appAppearance_;
  uint8_t configuration_ = 1;
  uint8_t alternate_ = 0;
};

// The trace line of one transfer, without its newline: "N NAME wValue wIndex
// wLength -> OUTCOME", standard requests by their USB names, DFU requests by
// theirs; GETSTATUS and GETSTATE answers add what they reported.
std::string DevsimTraceLine(uint32_t number, const DevsimSetup& setup, DevsimOutcome outcome,
                            const uint8_t* answer, uint32_t answered);

#endif  // ZUVA_SIM_DEVSIM_DEVSIM_FRONT_H_
