// A GadgetPort on /dev/raw-gadget: one open of the node is one gadget bound
// to the UDC `deviceName` (as /sys/class/udc names it) of the controller
// driver `driverName`.
#ifndef ZUVA_SIM_GADGET_RAW_GADGET_PORT_H_
#define ZUVA_SIM_GADGET_RAW_GADGET_PORT_H_

#include <string>

#include "sim/gadget/gadget_server.h"

class RawGadgetPort : public GadgetPort {
 public:
  RawGadgetPort(std::string driverName, std::string deviceName)
      : driverName_(std::move(driverName)), deviceName_(std::move(deviceName)) {}
  ~RawGadgetPort() override { Unplug(); }

  bool Plug(std::string* error) override;
  void Unplug() override;
  bool NextSetup(UsbSetup* setup) override;
  bool SendIn(const uint8_t* data, uint32_t length, bool shortStage) override;
  bool ReceiveOut(uint8_t* data, uint32_t length) override;
  void Stall() override;
  void Configure() override;

 private:
  bool Transfer(unsigned long request, const uint8_t* out, uint8_t* in, uint32_t length,
                uint16_t flags);

  const std::string driverName_;
  const std::string deviceName_;
  int fd_ = -1;
};

// The controller driver of the UDC `deviceName`, from sysfs; empty when
// there is no such UDC.
std::string RawGadgetUdcDriver(const std::string& deviceName);

#endif  // ZUVA_SIM_GADGET_RAW_GADGET_PORT_H_
