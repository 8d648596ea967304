// The virtual device behind a USB device controller (UDC) of the kernel's
// gadget stack: each control request the host sends to the gadget is one
// call of the device model, through the same recorder and with the same
// names as on the emulated bus (standard requests by their USB names), and
// the model's answer becomes the data stage, the status stage or a stall.
// The kernel answers SET_ADDRESS itself, so it never reaches the device.
//
// When the model leaves the bus (a detach, a leave, an unplug or a replug
// of its fault plan) the gadget is taken off the UDC, and when it is on the
// bus again, in either mode, it is bound anew: the host sees a disconnect
// and a new enumeration with the descriptors of the new mode.
//
// Raw Gadget reports no USB reset of the port (before Linux 6.6). The hub
// driver starts every enumeration after a reset by asking for the device
// descriptor with room for a whole packet, which programs never do, so such a
// request to a configured gadget is taken as the reset that started the
// enumeration and reaches the model as one first.
#ifndef ZUVA_SIM_GADGET_GADGET_SERVER_H_
#define ZUVA_SIM_GADGET_GADGET_SERVER_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "protocol/usb.h"
#include "sim/devsim/devsim_front.h"

// Endpoint 0 of one gadget on one UDC.
class GadgetPort {
 public:
  virtual ~GadgetPort() = default;
  // Binds a gadget to the UDC (the host sees a device plugged in). False
  // with *error when the UDC or the gadget driver refuses it.
  virtual bool Plug(std::string* error) = 0;
  // Takes the gadget off the UDC (the host sees it unplugged).
  virtual void Unplug() = 0;
  // Waits for the host's next control request. False when the gadget failed
  // or the wait was interrupted (the server then looks at its stop flag).
  virtual bool NextSetup(UsbSetup* setup) = 0;
  // The IN data stage: `length` bytes (fewer than the request asked for end
  // the stage short).
  virtual bool SendIn(const uint8_t* data, uint32_t length, bool shortStage) = 0;
  // The OUT data stage into `data` (`length` bytes), or with length 0 the
  // status stage of a request without data.
  virtual bool ReceiveOut(uint8_t* data, uint32_t length) = 0;
  virtual void Stall() = 0;
  // Tells the UDC the host chose a configuration.
  virtual void Configure() = 0;
};

class GadgetServer {
 public:
  GadgetServer(std::shared_ptr<CDevsimFront> front, std::unique_ptr<GadgetPort> port)
      : front_(std::move(front)),
        port_(std::move(port)),
        presentAtStart_(front_->Device()->Present()) {}

  // Serves the device until *stop is set and the port's wait is
  // interrupted: plugs it while the model is on the bus, answers its
  // requests, and unplugs and plugs it again as the model leaves and comes
  // back. A device that arrives later is plugged `arriveAfterMs` after the
  // call. False with *error when the port cannot be plugged.
  bool Serve(const std::atomic<bool>& stop, std::string* error);

  // Whether the host has configured the device since it was last plugged:
  // it is then enumerated and its usbfs node is there.
  bool Configured() const { return configured_.load(); }
  // Whether the device was on the bus when the server was made (not one
  // that arrives later).
  bool PresentAtStart() const { return presentAtStart_; }

  // One control request of the host: the model's answer on the port. True
  // when the device stays on the bus as it was (no re-enumeration).
  bool Answer(uint32_t attachment, const UsbSetup& setup);

 private:
  const std::shared_ptr<CDevsimFront> front_;
  const std::unique_ptr<GadgetPort> port_;
  const bool presentAtStart_;
  std::atomic<bool> configured_{false};
};

#endif  // ZUVA_SIM_GADGET_GADGET_SERVER_H_
