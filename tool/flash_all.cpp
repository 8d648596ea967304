// flash --all: every matching device present at the start is flashed at the
// same time, each on a thread of its own with its own output, so that one
// slow or failing device holds up or stops no other. The list is taken once:
// a device that arrives meanwhile is left alone.
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/interrupt.h"
#include "platform/thread_start.h"
#include "tool/device_choice.h"
#include "tool/device_selection.h"
#include "tool/engine_run.h"
#include "tool/flash_device.h"
#include "tool/flash_summary.h"

void RecordDeviceEnd(const ToolOptions& options, const FlashImage& image,
                     const DfuDeviceInfo& device, uint64_t milliseconds, FlashOutcome* outcome) {
  std::string error;
  if (image.log != nullptr &&
      !image.log->Append(device, image.identity,
                         {outcome->exitCode, FlashOutcomeText(*outcome, options.positional[0]),
                          milliseconds, outcome->address},
                         &error)) {
    outcome->message = FlashOutcomeText(*outcome, options.positional[0]) + "; " + error;
    if (outcome->exitCode == TOOL_EXIT_OK) outcome->exitCode = TOOL_EXIT_FAILED;
  }
}

FlashOutcome FlashIntoRecord(const ToolOptions& options, const FlashImage& image,
                             const DfuDeviceInfo& device, CToolOutput* out, DeviceRecord* record,
                             DeviceWork work) {
  const auto start = std::chrono::steady_clock::now();
  FlashOutcome outcome;
  // The device stays claimed from before its first request to its end.
  CDeviceClaim claim;
  const SelectionOutcome claimed = ClaimOutcome(
      device, device.opened ? claim.Take(device.path, device.interfaceNumber) : device.openStatus);
  if (claimed.exitCode != TOOL_EXIT_OK) {
    outcome = {claimed.exitCode, StatusText(DEV_ERR_IN_USE), std::nullopt, claimed.hint};
  } else if (device.opened) {
    outcome = work(options, image, device, out);
  } else {
    outcome = {TOOL_EXIT_CANNOT_OPEN, "the device cannot be opened" + OpenRefusalText(device),
               std::nullopt,
               OpenFailureHint(device.openStatus == DEV_ERR_ACCESS_DENIED ? &device : nullptr)};
  }
  record->milliseconds = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                            start)
          .count());
  // A flash that an interruption stopped says so in its code.
  if (outcome.exitCode != TOOL_EXIT_OK && RunInterrupted()) outcome.exitCode = PlatformInterruptExitCode();
  RecordDeviceEnd(options, image, device, record->milliseconds, &outcome);
  record->exitCode = outcome.exitCode;
  record->message = outcome.message;
  return outcome;
}

int RunFlashAll(const ToolOptions& options, const FlashImage& image, CToolOutput* out,
                DeviceWork work) {
  std::vector<DfuDeviceInfo> devices;
  int exitCode = TOOL_EXIT_OK;
  if (!ChooseDevices(options, out, true, &devices, &exitCode)) return exitCode;
  COutputBoard board;
  std::vector<std::unique_ptr<CToolOutput>> outputs;
  std::vector<DeviceRecord> records(devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    outputs.push_back(std::make_unique<CToolOutput>(out->mode(), &board, devices[i].path, true));
    outputs[i]->Device(devices[i]);
    records[i].path = devices[i].path;
    records[i].serial = devices[i].serial;
  }
  // Each thread writes only its own record and output; the joins hand them
  // back.
  std::vector<std::thread> threads(devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    const bool started = PlatformStartThread(&threads[i], [&, i] {
      const FlashOutcome outcome =
          FlashIntoRecord(options, image, devices[i], outputs[i].get(), &records[i], work);
      outputs[i]->Outcome(outcome.exitCode, FlashOutcomeText(outcome, options.positional[0]),
                          outcome.address, outcome.sectors);
    });
    if (!started) {
      records[i].exitCode = TOOL_EXIT_FAILED;
      records[i].message = "no thread could be started for the device";
      outputs[i]->Outcome(records[i].exitCode, records[i].message, std::nullopt);
    }
  }
  for (std::thread& thread : threads) {
    if (thread.joinable()) thread.join();
  }
  return ReportSummary(records, options.positional[0], out,
                       work == FlashDevice ? "flashed" : "verified");
}
