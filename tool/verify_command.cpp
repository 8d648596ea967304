// verify: what a file covers read back from the device and compared, nothing
// written: what a production line runs on a board that came back from the
// field. The file is taken and planned as flash takes it; the read-back is
// flash's own.
#include <chrono>

#include "dfufiles/sector_geometry.h"
#include "protocol/dfu.h"
#include "tool/device_choice.h"
#include "tool/exit_code.h"
#include "tool/flash_device.h"
#include "tool/input_file.h"
#include "tool/plain_commands.h"
#include "tool/tool_commands.h"

FlashOutcome VerifyDevice(const ToolOptions& options, const FlashImage& image,
                          const DfuDeviceInfo& device, CToolOutput* out) {
  const std::string verified = "verified " + options.positional[0];
  // A device without bitCanUpload stalls every upload: nothing it holds can
  // be compared.
  if ((device.attributes & DFU_ATTR_CAN_UPLOAD) == 0) {
    return {TOOL_EXIT_FAILED, "the device cannot upload: what it holds cannot be read back",
            std::nullopt, {}};
  }
  if (IsPlainDfuDevice(device)) {
    FlashOutcome outcome = VerifyPlainDevice(options, image.file, device, out);
    if (outcome.exitCode == TOOL_EXIT_OK) outcome.message = verified;
    return outcome;
  }
  // Its read-back starts from an address pointer, set by a download.
  if (const std::string refusal = DfuSeDownloadRefusal(device); !refusal.empty()) {
    return {TOOL_EXIT_FAILED, refusal, std::nullopt, {}};
  }
  const std::vector<CImage>* targets = nullptr;
  FlashOutcome outcome;
  if (!PlanTargets(options, image, device, SECTOR_READABLE, &targets, &outcome)) return outcome;
  bool fastPoll = false;
  for (const CImage& target : *targets) {
    outcome = ReadBackTarget(target, *FindMemory(device, target.alternateSetting),
                             target.ByteCount(), device.path, &fastPoll, &image.share->Images(),
                             out);
    if (outcome.exitCode != TOOL_EXIT_OK) return outcome;
  }
  return {TOOL_EXIT_OK, verified, std::nullopt, {}};
}

int RunVerifyCommand(const ToolOptions& options, CToolOutput* out) {
  FlashImage image;
  int exitCode = TOOL_EXIT_OK;
  if (!LoadInputFirmware(options.positional[0], &image.file, out, &exitCode, nullptr,
                         options.force)) {
    return exitCode;
  }
  if (options.allDevices) return RunFlashAll(options, image, out, VerifyDevice);
  DfuDeviceInfo device;
  CDeviceClaim claim;
  if (!ChooseDevice(options, out, true, &device, &exitCode, &claim)) return exitCode;
  const FlashOutcome outcome = VerifyDevice(options, image, device, out);
  return out->Result(outcome.exitCode, outcome.message, outcome.hint, outcome.address,
                     outcome.sectors);
}
