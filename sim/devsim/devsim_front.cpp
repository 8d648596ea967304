#include "sim/devsim/devsim_front.h"

#include "platform/text.h"
#include "protocol/byte_order.h"
#include "protocol/request_names.h"
#include "sim/dfu_descriptors.h"

namespace {

std::string TextOf(const CDfuDevice& device, bool dfuMode, uint8_t index) {
  std::vector<uint8_t> descriptor;
  if (index == 0 || !device.StringDescriptor(dfuMode, index, &descriptor)) return "";
  std::vector<uint16_t> units;
  for (size_t i = 2; i + 1 < descriptor.size(); i += 2) {
    units.push_back(GetLe16(descriptor.data() + i));
  }
  return Utf16ToConsoleText(units.data(), units.size());
}

}  // namespace

DevsimAppearance DevsimDescribe(const CDfuDevice& device, bool dfuMode) {
  DevsimAppearance appearance;
  appearance.deviceDescriptor = device.DeviceDescriptor();
  appearance.configuration = device.ConfigurationDescriptor(dfuMode);
  appearance.manufacturer = TextOf(device, dfuMode, SIM_STRING_MANUFACTURER);
  appearance.serial = TextOf(device, dfuMode, SIM_STRING_SERIAL);
  // The kernel's view of the product follows the profile: a device without a
  // description has none to show.
  appearance.hasProduct = device.Profile().hasDescription;
  appearance.product = device.Profile().description;
  return appearance;
}

SimRequest DevsimNameTransfer(const UsbSetup& setup) {
  SimRequest request;
  const char* name = nullptr;
  if (setup.Type() == USB_TYPE_STANDARD) name = UsbStandardRequestName(setup.request);
  if (setup.Type() == USB_TYPE_CLASS) name = DfuRequestName(setup.request);
  if (name != nullptr) {
    request.name = name;
  } else if (setup.Type() == USB_TYPE_CLASS) {
    request.name = SimJoin({"REQUEST_", std::to_string(setup.request)});
  } else {
    request.name = SimJoin({"TYPE_", std::to_string(setup.requestType), "_REQUEST_",
                            std::to_string(setup.request)});
  }
  request.args = {setup.value, setup.index, setup.length};
  request.reachesDevice = true;
  request.setup = setup;
  return request;
}
