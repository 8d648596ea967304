// The flash of one device (plan, erase, download, verify, leave), and the
// ways of running it on several devices: all present ones at once, or each
// one as it arrives.
#ifndef ZUVA_TOOL_FLASH_DEVICE_H_
#define ZUVA_TOOL_FLASH_DEVICE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "device/device_listing.h"
#include "dfufiles/firmware_file.h"
#include "tool/exit_code.h"
#include "tool/flash_images.h"
#include "tool/flash_summary.h"
#include "tool/production_log.h"
#include "tool/tool_options.h"
#include "tool/tool_output.h"

// What a run flashes: the decoded file, what it is, where each device's end
// is recorded (flash --log), if anywhere, and what its devices share of the
// data (tool/flash_images.h).
struct FlashImage {
  FirmwareFile file;
  ImageIdentity identity;
  CProductionLog* log = nullptr;
  std::unique_ptr<CFlashShare> share = std::make_unique<CFlashShare>();
};

struct FlashOutcome {
  FlashOutcome(int code = TOOL_EXIT_OK, std::string text = {},
               std::optional<uint32_t> at = std::nullopt, std::string howToGoOn = {},
               std::vector<uint32_t> differingSectors = {})
      : exitCode(code),
        message(std::move(text)),
        address(at),
        hint(std::move(howToGoOn)),
        sectors(std::move(differingSectors)) {}

  int exitCode;
  // What went wrong; on success empty, or what the user must know of the
  // device's state (a plain DFU device that was not read back).
  std::string message;
  std::optional<uint32_t> address;
  std::string hint;  // how to go on after a refusal
  // A read-back that differs: the start of each sector that holds a
  // difference, in address order.
  std::vector<uint32_t> sectors;
};

// The words of an outcome's result line for a flash of `fileName`.
std::string FlashOutcomeText(const FlashOutcome& outcome, const std::string& fileName);

// One device from start to end. A DfuSe device: the plan for its map, every
// target's steps, then out of DFU mode; a difference stops everything and
// leaves the device in DFU mode, ready for another attempt. A plain DFU
// device: its one download, manifestation and, where it can be had, the
// read-back. Several devices may be flashed at once, each on a thread of
// its own with an output of its own.
FlashOutcome FlashDevice(const ToolOptions& options, const FlashImage& image,
                         const DfuDeviceInfo& device, CToolOutput* out);

// The file's data for this device as targets, one per alternate setting,
// planned once per run (raw bytes at --address or at the start of the
// alternate setting's map). False with the refusal in *outcome when the file
// gives nothing for the device or a byte lies outside every memory with the
// `access` bit (SECTOR_WRITABLE to flash, SECTOR_READABLE to verify).
bool PlanTargets(const ToolOptions& options, const FlashImage& image, const DfuDeviceInfo& device,
                 uint8_t access, const std::vector<CImage>** planned, FlashOutcome* outcome);

// Reads back `bytes` bytes of what `data` covers on `memory` (those of its
// readable sectors), as the "verify" step on the device at `path` with an
// image from `images`, comparing each block as it arrives: exit code 7 with
// the first differing address and the differing sectors, 1 when the upload
// fails, 0 with no message when the device holds the data.
FlashOutcome ReadBackTarget(const CImage& data, const MemoryMapping& memory, uint64_t bytes,
                            const std::string& path, bool* fastPoll, CFittedImages* images,
                            CToolOutput* out);

// verify on one device: what the file covers read back and compared, nothing
// written; a device that cannot upload, or data outside its readable memory,
// is refused before anything is read. On success the message says so.
FlashOutcome VerifyDevice(const ToolOptions& options, const FlashImage& image,
                          const DfuDeviceInfo& device, CToolOutput* out);

// What one device of a run goes through: FlashDevice or VerifyDevice.
using DeviceWork = FlashOutcome (*)(const ToolOptions&, const FlashImage&, const DfuDeviceInfo&,
                                    CToolOutput*);

// With a log, the device's line in the production record. A record that
// cannot be written fails a flash that succeeded (exit code 1), the
// outcome's words saying both.
void RecordDeviceEnd(const ToolOptions& options, const FlashImage& image,
                     const DfuDeviceInfo& device, uint64_t milliseconds, FlashOutcome* outcome);

// `work` (FlashDevice unless said) timed, its outcome in *record (whose path and serial the
// caller fills) and in the production record; a device that could not be
// opened fails with exit code 6.
FlashOutcome FlashIntoRecord(const ToolOptions& options, const FlashImage& image,
                             const DfuDeviceInfo& device, CToolOutput* out, DeviceRecord* record,
                             DeviceWork work = FlashDevice);

// flash --all (verify --all with `work` VerifyDevice): every matching device
// present at the start, at once.
int RunFlashAll(const ToolOptions& options, const FlashImage& image, CToolOutput* out,
                DeviceWork work = FlashDevice);

// flash --watch: each matching device in DFU mode as it arrives, until
// interrupted; then the devices in progress finish and the summary ends it.
int RunFlashWatch(const ToolOptions& options, const FlashImage& image, CToolOutput* out);

#endif  // ZUVA_TOOL_FLASH_DEVICE_H_
