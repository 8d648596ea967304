// The emulated USB bus: virtual devices in an emulated sysfs and usbfs
// (umockdev), so that libusb, and every program built on it, finds, opens and
// drives the device as hardware. usbfs requests arrive on umockdev's thread;
// each device's control transfers are carried out in order on a worker thread
// of its own (the device model may take its time there, as a device on a real
// bus does, and several devices work at once, as on ports of their own), and
// the devices' arrivals and removals are made on the thread that calls Pump.
#ifndef ZUVA_SIM_DEVSIM_USB_BUS_H_
#define ZUVA_SIM_DEVSIM_USB_BUS_H_

#include <memory>
#include <string>
#include <vector>

#include "sim/devsim/devsim_front.h"

class CUsbBus {
 public:
  // Needs the process to run inside umockdev's preload (umockdev-wrapper);
  // the testbed it creates is what programs started afterwards see. The
  // i-th device sits on port i + 1 of the bus.
  static std::unique_ptr<CUsbBus> Create(std::vector<std::shared_ptr<CDevsimFront>> fronts,
                                         std::string* error);
  ~CUsbBus();
  CUsbBus(const CUsbBus&) = delete;
  CUsbBus& operator=(const CUsbBus&) = delete;

  // Carries out the bus changes the device asked for since the last call,
  // waiting at most `timeoutMs` for one, and plugs in the devices whose
  // arrive-after time since Create has passed.
  void Pump(unsigned timeoutMs);

  struct Impl;

 private:
  explicit CUsbBus(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

#endif  // ZUVA_SIM_DEVSIM_USB_BUS_H_
