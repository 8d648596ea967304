// flash: erase, download, verify and leave, on one device. The plan (which
// bytes go to which alternate setting) is made from the file once; the steps
// then run on the chosen device through the engine.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>

#include "common/operation_code.h"
#include "dfufiles/firmware_file.h"
#include "dfufiles/image_registry.h"
#include "dfufiles/sector_geometry.h"
#include "protocol/dfu.h"
#include "tool/changed_sectors.h"
#include "tool/device_choice.h"
#include "tool/engine_images.h"
#include "tool/engine_run.h"
#include "tool/engine_step.h"
#include "tool/exit_code.h"
#include "tool/flash_device.h"
#include "tool/flash_images.h"
#include "tool/input_file.h"
#include "tool/plain_commands.h"
#include "tool/tool_commands.h"
#include "tool/tool_text.h"

namespace {

// The file's data by alternate setting, planned once per place of raw data
// and shared by every device of the run.
std::vector<CImage> PlanFileTargets(const ToolOptions& options, const FirmwareFile& file,
                                    uint32_t rawAddress) {
  const uint8_t alternate = options.alternate.value_or(0);
  std::vector<CImage> targets;
  switch (file.format) {
    case FirmwareFormat::kDfuSe:
      // Targets for one alternate setting may share a sector: erased,
      // written and verified each on its own, the second would erase what
      // the first wrote after it was verified. They become one, so that
      // every sector is erased once before anything is written. (They claim
      // no byte twice: the loader refused such a file.)
      for (const CImage& target : file.dfuse.targets) {
        if (options.alternate && target.alternateSetting != alternate) continue;
        auto same = std::find_if(targets.begin(), targets.end(), [&](const CImage& t) {
          return t.alternateSetting == target.alternateSetting;
        });
        if (same == targets.end()) {
          same = targets.emplace(targets.end(), target.alternateSetting, 0, nullptr);
        }
        for (const ImageElement& element : target.Records()) {
          same->SetElement(same->ElementCount(), 1, element);
        }
      }
      break;
    case FirmwareFormat::kRaw:
    case FirmwareFormat::kPlainDfu:
      targets.emplace_back(alternate, 0, nullptr);
      targets.back().SetElement(0, 1, RecordOver(rawAddress, file.raw));
      break;
    default:
      targets.emplace_back(file.image.data);
      targets.back().alternateSetting = alternate;
      break;
  }
  return targets;
}

// The run's targets for this device. Raw bytes need the device's map for
// their default address, so the plan is made once the device is known.
bool PlanTargets(const ToolOptions& options, const FlashImage& image, const DfuDeviceInfo& device,
                 const std::vector<CImage>** planned, FlashOutcome* outcome) {
  const FirmwareFile& file = image.file;
  const uint8_t alternate = options.alternate.value_or(0);
  const bool raw = file.format == FirmwareFormat::kRaw || file.format == FirmwareFormat::kPlainDfu;
  if (options.address && !raw) {
    *outcome = {TOOL_EXIT_USAGE, "--address places raw input only", std::nullopt, {}};
    return false;
  }
  uint32_t address = 0;
  if (raw) {
    if (options.address) {
      address = *options.address;
    } else {
      const MemoryMapping* memory = FindMemory(device, alternate);
      if (memory == nullptr || memory->sectors.empty()) {
        *outcome = {TOOL_EXIT_FAILED,
                    "alternate setting " + std::to_string(alternate) + " has no memory map",
                    std::nullopt, {}};
        return false;
      }
      address = memory->sectors.front().startAddress;
    }
    if (uint64_t{address} + file.raw.size() > (uint64_t{1} << 32)) {
      *outcome = {TOOL_EXIT_BAD_INPUT, "the data reaches beyond the 32-bit address space",
                  std::nullopt, {}};
      return false;
    }
  }
  const std::vector<CImage>* targets =
      &image.share->Targets(address, [&] { return PlanFileTargets(options, file, address); });
  *planned = targets;
  if (targets->empty() || targets->front().ByteCount() == 0) {
    *outcome = {TOOL_EXIT_BAD_INPUT,
                "the file holds no data for alternate setting " + std::to_string(alternate),
                std::nullopt, {}};
    return false;
  }
  // Every byte must have a writable home before anything is erased.
  for (const CImage& target : *targets) {
    const MemoryMapping* memory = FindMemory(device, target.alternateSetting);
    if (memory == nullptr) {
      *outcome = {TOOL_EXIT_BAD_INPUT,
                  "the device has no memory at alternate setting " +
                      std::to_string(target.alternateSetting),
                  std::nullopt, {}};
      return false;
    }
    const auto outside =
        FirstAddressOutside(target.Records(), *memory, SECTOR_WRITABLE, OutsideBytes::kAny);
    if (outside) {
      *outcome = {TOOL_EXIT_BAD_INPUT,
                  "data at " + HexText(*outside, 8) +
                      " lies outside every writable memory of alternate "
                      "setting " +
                      std::to_string(target.alternateSetting),
                  outside, {}};
      return false;
    }
  }
  return true;
}

// One engine step on an image already fitted for it; an upload with a sink
// hands its blocks there.
StatusCode RunFittedStep(const char* name, OperationCode opCode, ImageHandle fitted,
                         uint8_t alternate, uint64_t bytes, uint32_t skipBlank,
                         const std::string& path, bool* fastPoll, CToolOutput* out,
                         CUploadSink* sink = nullptr) {
  return RunEngineStep({.name = name, .opCode = opCode, .image = fitted, .alternate = alternate,
                        .bytes = bytes, .skipBlank = skipBlank, .fastPoll = fastPoll,
                        .uploadSink = sink},
                       path, out);
}

FlashOutcome StepFailed(const char* step, StatusCode status) {
  return {TOOL_EXIT_FAILED, std::string(step) + " failed: " + StatusText(status), std::nullopt, {}};
}

// Erases, writes and reads back one target, with images of the run's
// `shared` ones where the whole target is written. On success the outcome's
// message lists the written ranges that could not be read back (empty when
// none).
FlashOutcome FlashTargetOnDevice(const CImage& target, const DfuDeviceInfo& device, bool verify,
                                 bool changedOnly, bool* fastPoll, CFittedImages* shared,
                                 CToolOutput* out) {
  const uint8_t alternate = target.alternateSetting;
  const MemoryMapping& memory = *FindMemory(device, alternate);
  CImage changed;
  // The sectors this device needs rewritten are its own: so are their images.
  CFittedImages own;
  CFittedImages* images = shared;
  if (changedOnly) {
    std::vector<AddressRange> rewrite;
    const StatusCode status = RangesToRewrite(target, memory, device.path, fastPoll, out, &rewrite);
    if (status != RESULT_OK) return StepFailed("compare", status);
    if (rewrite.empty()) return {};
    changed = ClipToRanges(target, rewrite);
    images = &own;
  }
  const CImage& data = changedOnly ? changed : target;
  const auto fitted = [&](OperationCode opCode, uint32_t skipBlank) {
    return images->Get(data, memory, opCode, skipBlank);
  };
  const FlashOutcome outOfMemory = {TOOL_EXIT_FAILED, "out of memory", std::nullopt, {}};
  const uint64_t bytes = data.ByteCount();
  const std::vector<ImageElement> records = data.Records();
  ImageHandle image = fitted(OP_CODE_ERASE, 0);
  if (image == nullptr) return outOfMemory;
  StatusCode status = RunFittedStep("erase", OP_CODE_ERASE, image, alternate,
                                    SectorBytesTouched(records, memory, SECTOR_ERASABLE), 0,
                                    device.path, fastPoll, out);
  if (status != RESULT_OK) return StepFailed("erase", status);
  image = fitted(OP_CODE_DOWNLOAD, 1);
  if (image == nullptr) return outOfMemory;
  status = RunFittedStep("download", OP_CODE_DOWNLOAD, image, alternate, bytes, 1,
                         device.path, fastPoll, out);
  if (status != RESULT_OK) return StepFailed("download", status);
  if (!verify) return {};
  // The read-back leaves out what the map marks unreadable: those bytes are
  // written but cannot be verified, and the outcome says so.
  FlashOutcome done;
  std::vector<AddressRange> unreadable;
  for (const MappingSector* sector : TouchedSectors(records, memory, 0)) {
    if ((sector->sectorType & SECTOR_READABLE) != 0) continue;
    unreadable.push_back({sector->startAddress, uint64_t{sector->startAddress} + sector->sectorSize});
  }
  const CImage unverified = ClipToRanges(data, unreadable);
  for (const ImageElement& piece : unverified.Records()) {
    done.message += (done.message.empty() ? "" : ", ") + HexText(piece.address, 8) + ".." +
                    HexText(piece.address + piece.size - 1, 8);
  }
  const uint64_t unverifiedBytes = unverified.ByteCount();
  if (unverifiedBytes == bytes) return done;
  // The image read by holds the data's own bytes: each block is compared
  // with them as it arrives, and none is kept.
  image = fitted(OP_CODE_UPLOAD, 0);
  if (image == nullptr) return outOfMemory;
  CReadBackComparison comparison;
  status = RunFittedStep("verify", OP_CODE_UPLOAD, image, alternate,
                         bytes - unverifiedBytes, 0, device.path, fastPoll, out, &comparison);
  if (status != RESULT_OK) return StepFailed("verify", status);
  const auto difference = comparison.FirstDifference();
  if (difference) {
    return {TOOL_EXIT_VERIFY, "verify found a difference at " + HexText(*difference, 8),
            difference, {}};
  }
  return done;
}

}  // namespace

std::string FlashOutcomeText(const FlashOutcome& outcome, const std::string& fileName) {
  if (outcome.exitCode == TOOL_EXIT_OK && outcome.message.empty()) return "flashed " + fileName;
  return outcome.message;
}

FlashOutcome FlashDevice(const ToolOptions& options, const FlashImage& image,
                         const DfuDeviceInfo& device, CToolOutput* out) {
  if (IsPlainDfuDevice(device)) return FlashPlainDevice(options, image.file, device, out);
  const std::string refusal = DfuSeDownloadRefusal(device);
  if (!refusal.empty()) return {TOOL_EXIT_FAILED, refusal, std::nullopt, {}};
  // A device without bitCanUpload stalls every upload: what it holds can
  // be neither compared before nor read back after.
  const bool canUpload = (device.attributes & DFU_ATTR_CAN_UPLOAD) != 0;
  if (options.changedOnly && !canUpload) {
    return {TOOL_EXIT_USAGE,
            "--changed-only compares with what the device holds, and the device cannot upload",
            std::nullopt, "flash without --changed-only"};
  }
  const std::vector<CImage>* targets = nullptr;
  FlashOutcome outcome;
  if (!PlanTargets(options, image, device, &targets, &outcome)) return outcome;
  // Once the device refuses an early status request, none of its later
  // steps polls early.
  bool fastPoll = options.fastPoll;
  std::string unverified;
  for (const CImage& target : *targets) {
    outcome = FlashTargetOnDevice(target, device, !options.noVerify && canUpload,
                                  options.changedOnly, &fastPoll, &image.share->Images(), out);
    if (outcome.exitCode != TOOL_EXIT_OK) return outcome;
    if (!outcome.message.empty()) unverified += (unverified.empty() ? "" : ", ") + outcome.message;
  }
  FlashOutcome done;
  if (!options.noVerify && !canUpload) {
    done.message = "flashed " + options.positional[0] + "; not read back: the device cannot upload";
  } else if (!unverified.empty()) {
    done.message = "flashed " + options.positional[0] + "; not read back: " + unverified +
                   ", which the memory map marks unreadable";
  }
  if (options.noLeave) return done;
  CImageHolder leaveImage(MakeLeaveImage(device));
  const StatusCode status = RunEngineStep(
      {.name = "leave", .opCode = OP_CODE_LEAVE_DFU, .image = leaveImage.get(), .noteLongWait = false},
      device.path, out);
  if (status != RESULT_OK) {
    return {TOOL_EXIT_FAILED, "leaving DFU mode failed: " + StatusText(status), std::nullopt, {}};
  }
  return done;
}

int RunFlashCommand(const ToolOptions& options, CToolOutput* out) {
  FlashImage image;
  int exitCode = TOOL_EXIT_OK;
  const bool identify = options.logPath || options.expectedSha256;
  if (!LoadInputFirmware(options.positional[0], &image.file, out, &exitCode,
                         identify ? &image.identity : nullptr, options.force)) {
    return exitCode;
  }
  // The wrong build is refused before any device is looked at.
  if (options.expectedSha256 && *options.expectedSha256 != image.identity.sha256) {
    return out->Result(TOOL_EXIT_BAD_INPUT, options.positional[0] + ": its SHA-256 is " +
                                                image.identity.sha256 + ", not the expected " +
                                                *options.expectedSha256);
  }
  // The record must be writable before anything is flashed.
  CProductionLog log;
  if (options.logPath) {
    std::string error;
    if (!log.Open(*options.logPath, &error)) return out->Result(TOOL_EXIT_FAILED, error);
    image.log = &log;
  }
  if (options.allDevices) return RunFlashAll(options, image, out);
  if (options.watch) return RunFlashWatch(options, image, out);
  DfuDeviceInfo device;
  CDeviceClaim claim;
  if (!ChooseDevice(options, out, true, &device, &exitCode, &claim)) return exitCode;
  const auto start = std::chrono::steady_clock::now();
  FlashOutcome outcome = FlashDevice(options, image, device, out);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  RecordDeviceEnd(options, image, device, static_cast<uint64_t>(took.count()), &outcome);
  return out->Result(outcome.exitCode, FlashOutcomeText(outcome, options.positional[0]),
                     outcome.hint, outcome.address);
}
