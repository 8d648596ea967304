#include "sim/dfu_descriptors.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "protocol/byte_order.h"
#include "protocol/dfu.h"
#include "protocol/usb.h"

namespace {

void AppendStringDescriptor(const std::u16string& units, std::vector<uint8_t>* descriptor) {
  size_t count = std::min(units.size(), SIM_MAX_STRING_UNITS);
  descriptor->push_back(static_cast<uint8_t>(2 + 2 * count));
  descriptor->push_back(USB_DT_STRING);
  for (size_t i = 0; i < count; ++i) {
    descriptor->push_back(static_cast<uint8_t>(units[i]));
    descriptor->push_back(static_cast<uint8_t>(units[i] >> 8));
  }
}

void AppendLe16(uint16_t value, std::vector<uint8_t>* bytes) {
  bytes->resize(bytes->size() + 2);
  PutLe16(bytes->data() + bytes->size() - 2, value);
}

}  // namespace

std::vector<uint8_t> SimDeviceDescriptor(const SimProfile& p) {
  std::vector<uint8_t> d = {static_cast<uint8_t>(USB_DEVICE_DESCRIPTOR_SIZE), USB_DT_DEVICE};
  AppendLe16(0x0200, &d);  // USB 2.0
  d.insert(d.end(), {0, 0, 0, 64});
  AppendLe16(p.vendor, &d);
  AppendLe16(p.product, &d);
  AppendLe16(p.device, &d);
  d.insert(d.end(), {SIM_STRING_MANUFACTURER, SIM_STRING_PRODUCT, SIM_STRING_SERIAL, 1});
  return d;
}

uint8_t SimDfuInterfaceNumber(const SimProfile& p, bool dfuMode) {
  return dfuMode ? 0 : p.extraInterfaces;
}

size_t SimAlternateCount(const SimProfile& p, bool dfuMode) {
  return dfuMode ? p.alternates.size() : 1;
}

std::vector<uint8_t> SimFunctionalDescriptor(const SimProfile& p) {
  std::vector<uint8_t> d = {static_cast<uint8_t>(DFU_FUNCTIONAL_DESCRIPTOR_SIZE),
                            DFU_DESCRIPTOR_TYPE_FUNCTIONAL, p.attributes};
  AppendLe16(p.detachTimeout, &d);
  AppendLe16(p.transferSize, &d);
  AppendLe16(p.dfuVersion, &d);
  return d;
}

std::vector<uint8_t> SimConfigurationDescriptor(const SimProfile& p, bool dfuMode) {
  const uint8_t dfuInterface = SimDfuInterfaceNumber(p, dfuMode);
  // One configuration, value 1, bus powered, 100 mA.
  std::vector<uint8_t> d = {static_cast<uint8_t>(USB_CONFIGURATION_DESCRIPTOR_SIZE),
                            USB_DT_CONFIGURATION, 0, 0, static_cast<uint8_t>(dfuInterface + 1),
                            1, 0, 0x80, 50};
  // A composite application's own interfaces come first.
  for (uint8_t n = 0; n < dfuInterface; ++n) {
    d.insert(d.end(), {static_cast<uint8_t>(USB_INTERFACE_DESCRIPTOR_SIZE), USB_DT_INTERFACE, n,
                       0, 0, USB_CLASS_VENDOR_SPECIFIC, 0, 0, 0});
  }
  const size_t count = SimAlternateCount(p, dfuMode);
  for (size_t k = 0; k < count; ++k) {
    uint8_t iInterface = 0;
    if (dfuMode && p.alternates[k].hasString) {
      iInterface = static_cast<uint8_t>(SIM_STRING_FIRST_INTERFACE + k);
    }
    d.insert(d.end(), {static_cast<uint8_t>(USB_INTERFACE_DESCRIPTOR_SIZE), USB_DT_INTERFACE,
                       dfuInterface, static_cast<uint8_t>(k), 0, USB_CLASS_APPLICATION_SPECIFIC,
                       USB_SUBCLASS_DFU,
                       dfuMode ? USB_PROTOCOL_DFU_MODE : USB_PROTOCOL_DFU_RUNTIME, iInterface});
  }
  const std::vector<uint8_t> functional = SimFunctionalDescriptor(p);
  d.insert(d.end(), functional.begin(), functional.end());
  PutLe16(d.data() + 2, static_cast<uint16_t>(d.size()));
  return d;
}

bool SimStringDescriptor(const SimProfile& p, bool dfuMode, uint32_t deviceIndex,
                         uint8_t stringIndex, std::vector<uint8_t>* descriptor) {
  descriptor->clear();
  switch (stringIndex) {
    case 0:
      // The table of languages: US English only.
      *descriptor = {4, USB_DT_STRING};
      AppendLe16(USB_LANGID_EN_US, descriptor);
      return true;
    case SIM_STRING_MANUFACTURER:
      AppendStringDescriptor(u"ZUVA", descriptor);
      return true;
    case SIM_STRING_PRODUCT:
      AppendStringDescriptor(p.hasDescription && !p.description.empty()
                                 ? SimUtf8ToUtf16(p.description)
                                 : u"Virtual DFU Device",
                             descriptor);
      return true;
    case SIM_STRING_SERIAL: {
      // "auto": one serial per device of the process or bus.
      char numbered[16];
      std::snprintf(numbered, sizeof numbered, "SIM%04u",
                    static_cast<unsigned>(deviceIndex % 10000));
      AppendStringDescriptor(SimUtf8ToUtf16(p.serialAuto ? std::string(numbered) : p.serial),
                             descriptor);
      return true;
    }
    default:
      break;
  }
  size_t k = stringIndex - SIM_STRING_FIRST_INTERFACE;
  if (!dfuMode || k >= p.alternates.size() || !p.alternates[k].hasString) return false;
  AppendStringDescriptor(SimUtf8ToUtf16(p.alternates[k].text), descriptor);
  return true;
}
