#include "sim/gadget/gadget_server.h"

#include <chrono>
#include <thread>
#include <vector>

namespace {

// How often a device that is off the bus looks for its arrival and the stop.
constexpr auto GADGET_IDLE_WAIT = std::chrono::milliseconds(20);

// The hub driver's first request to a device at address 0 after a port
// reset: the device descriptor, asked for with room for a whole first packet
// (64 bytes; 8 when the hub driver tries its old scheme first). Programs ask
// for the descriptor's 18 bytes.
bool IsEnumerationStart(const UsbSetup& setup) {
  return setup.requestType == USB_REQUEST_TYPE_STANDARD_IN &&
         setup.request == USB_REQUEST_GET_DESCRIPTOR && (setup.value >> 8) == USB_DT_DEVICE &&
         setup.length != USB_DEVICE_DESCRIPTOR_SIZE;
}

}  // namespace

bool GadgetServer::Answer(uint32_t attachment, const UsbSetup& setup) {
  std::vector<SimBusChange> changes;
  if (IsEnumerationStart(setup) && configured_.load()) {
    configured_.store(false);
    front_->Reset(attachment, &changes);
    // A device that re-enumerates at the reset is not the one being asked.
    if (!changes.empty()) return false;
  }
  std::vector<uint8_t> stage(setup.length);
  uint32_t moved = 0;
  // The host's bytes are at hand only once the OUT data stage is read; it
  // is acknowledged with them, so the model's refusal of such a request
  // shows in the status it answers next.
  if (!setup.In() && setup.length > 0 && !port_->ReceiveOut(stage.data(), setup.length)) {
    return true;
  }
  const SimOutcome outcome = front_->Control(attachment, setup, stage.data(), &moved, &changes);
  switch (outcome) {
    case SimOutcome::kOk:
      if (setup.In()) {
        port_->SendIn(stage.data(), moved, moved < setup.length);
      } else if (setup.length == 0) {
        if (setup.request == USB_REQUEST_SET_CONFIGURATION &&
            setup.Type() == USB_TYPE_STANDARD && setup.Recipient() == USB_RECIPIENT_DEVICE) {
          port_->Configure();
          configured_.store(setup.value != 0);
        }
        port_->ReceiveOut(nullptr, 0);
      }
      break;
    case SimOutcome::kStall:
    case SimOutcome::kOverflow:  // a gadget cannot send more than the host asked for
      if (setup.In() || setup.length == 0) port_->Stall();
      break;
    case SimOutcome::kGone:
      return false;
  }
  return changes.empty();
}

bool GadgetServer::Serve(const std::atomic<bool>& stop, std::string* error) {
  CDfuDevice* device = front_->Device();
  const auto arrival =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(device->Profile().arriveAfterMs);
  bool arrivalDue = !device->Present();
  while (!stop.load()) {
    if (!device->Present()) {
      if (arrivalDue && std::chrono::steady_clock::now() >= arrival) {
        std::vector<SimBusChange> arrived;
        device->Arrive(&arrived);
        arrivalDue = false;
        continue;
      }
      std::this_thread::sleep_for(GADGET_IDLE_WAIT);
      continue;
    }
    const uint32_t attachment = device->Attachment();
    if (!port_->Plug(error)) return false;
    configured_.store(false);
    UsbSetup setup;
    while (!stop.load() && port_->NextSetup(&setup)) {
      if (!Answer(attachment, setup)) break;
    }
    configured_.store(false);
    port_->Unplug();
  }
  return true;
}
