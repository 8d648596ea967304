#include "tool/device_session.h"

#include "dfufiles/image_registry.h"
#include "tool/device_selection.h"
#include "tool/exit_code.h"

namespace {

// False, with the failure reported, when the selection found nothing usable.
bool SelectionSucceeded(const ToolOptions& options, const std::vector<DfuDeviceInfo>& devices,
                        SelectionOutcome* outcome, CToolOutput* out, int* exitCode) {
  if (outcome->exitCode == TOOL_EXIT_NO_DEVICE && !options.devicePath) {
    std::vector<std::string> paths;
    for (const DfuDeviceInfo& listed : devices) paths.push_back(listed.path);
    ExplainUnusableFunctions(SurveyUnusableDfuFunctions(paths), outcome);
  }
  if (outcome->exitCode == TOOL_EXIT_OK) return true;
  *exitCode = out->Result(outcome->exitCode, outcome->message, outcome->hint);
  return false;
}

}  // namespace

bool ChooseDevice(const ToolOptions& options, CToolOutput* out, bool dfuMode, DfuDeviceInfo* device,
                  int* exitCode, CDeviceClaim* claim) {
  std::vector<DfuDeviceInfo> devices;
  ListDfuDevices(&devices);
  SelectionOutcome outcome = SelectDevice(devices, options, dfuMode);
  if (!SelectionSucceeded(options, devices, &outcome, out, exitCode)) return false;
  // Claimed before the first request of the command, and kept until its end.
  const SelectionOutcome claimed =
      ClaimOutcome(outcome.device, claim->Take(outcome.device.path, outcome.device.interfaceNumber));
  if (claimed.exitCode != TOOL_EXIT_OK) {
    *exitCode = out->Result(claimed.exitCode, claimed.message, claimed.hint);
    return false;
  }
  *device = std::move(outcome.device);
  out->Device(*device);
  return true;
}

bool ChooseDevices(const ToolOptions& options, CToolOutput* out, bool dfuMode,
                   std::vector<DfuDeviceInfo>* chosen, int* exitCode) {
  std::vector<DfuDeviceInfo> devices;
  ListDfuDevices(&devices);
  SelectionOutcome outcome = SelectDevices(devices, options, dfuMode, chosen);
  return SelectionSucceeded(options, devices, &outcome, out, exitCode);
}

const MemoryMapping* FindMemory(const DfuDeviceInfo& device, uint8_t alternate) {
  for (const DfuAlternateInfo& info : device.alternates) {
    if (info.alternateSetting == alternate && info.hasMemory) return &info.memory;
  }
  return nullptr;
}

ImageHandle MakeImage(uint8_t alternate, const std::vector<FirmwareElement>& elements) {
  ImageHandle image = nullptr;
  if (ImageCreate(&image) != RESULT_OK) return nullptr;
  FindImage(image)->alternateSetting = alternate;
  uint32_t index = 0;
  for (const ImageElement& record : ElementRecords(elements)) {
    if (ImageSetElement(image, index++, 1, &record) != RESULT_OK) {
      ImageDestroy(&image);
      return nullptr;
    }
  }
  return image;
}

ImageHandle MakeLeaveImage(const DfuDeviceInfo& device) {
  const MemoryMapping* memory = FindMemory(device, 0);
  const uint32_t address =
      memory != nullptr && !memory->sectors.empty() ? memory->sectors.front().startAddress : 0;
  return MakeImage(0, {{address, {}}});
}

std::vector<FirmwareElement> ImageContents(ImageHandle image) {
  std::vector<FirmwareElement> elements;
  const CImage* read = FindImage(image);
  if (read == nullptr) return elements;
  for (uint32_t i = 0; i < read->ElementCount(); ++i) {
    const ImageElement* element = read->ElementAt(i);
    FirmwareElement copy{element->address, {}};
    if (element->size != 0) copy.data.assign(element->data, element->data + element->size);
    elements.push_back(std::move(copy));
  }
  return elements;
}
