// The virtual device as a USB device on a bus: control transfers, as a host
// controller delivers them, go to the device through its recorder, named as
// they appear on the bus (standard requests by their USB names), so that
// every transfer, standard requests included, is one numbered request of the
// fault plan and one line of the trace.
#ifndef ZUVA_SIM_DEVSIM_DEVSIM_FRONT_H_
#define ZUVA_SIM_DEVSIM_DEVSIM_FRONT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim_recorder.h"

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

// The appearance of the device in DFU mode or in application mode.
DevsimAppearance DevsimDescribe(const CDfuDevice& device, bool dfuMode);

// The request of a transfer as the trace names it: "NAME wValue wIndex
// wLength", standard requests by their USB names, DFU requests by theirs.
SimRequest DevsimNameTransfer(const UsbSetup& setup);

class CDevsimFront {
 public:
  explicit CDevsimFront(std::shared_ptr<CSimRecorder> recorder)
      : recorder_(std::move(recorder)) {}

  // One control transfer that reached the device through the bus node of
  // `attachment`. `data` holds the data stage: sent by the host (OUT) or
  // filled for it (IN, up to setup.length bytes, count in *moved). Bus
  // changes the transfer caused are appended to *changes.
  SimOutcome Control(uint32_t attachment, const UsbSetup& setup, uint8_t* data, uint32_t* moved,
                     std::vector<SimBusChange>* changes) {
    return recorder_->Exchange(attachment, DevsimNameTransfer(setup), data, moved, changes);
  }

  // A USB reset of the port of `attachment` (usbfs's reset request).
  SimOutcome Reset(uint32_t attachment, std::vector<SimBusChange>* changes) {
    return recorder_->BusReset(attachment, changes);
  }

  CDfuDevice* Device() const { return recorder_->Device(); }
  CSimRecorder* Recorder() const { return recorder_.get(); }

 private:
  const std::shared_ptr<CSimRecorder> recorder_;
};

#endif  // ZUVA_SIM_DEVSIM_DEVSIM_FRONT_H_
