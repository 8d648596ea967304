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
#include "platform/files.h"
#include "protocol/dfu.h"
#include "tool/after_leave.h"
#include "tool/changed_sectors.h"
#include "tool/data_placement.h"
#include "tool/device_choice.h"
#include "tool/device_detach.h"
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

bool IsRawFile(const FirmwareFile& file) {
  return file.format == FirmwareFormat::kRaw || file.format == FirmwareFormat::kPlainDfu;
}

AddressOrigin OriginOf(const ToolOptions& options, const FirmwareFile& file) {
  if (!IsRawFile(file)) return AddressOrigin::kFile;
  return options.address ? AddressOrigin::kOption : AddressOrigin::kMemoryStart;
}

}  // namespace

// The run's targets for this device. Raw bytes need the device's map for
// their default address, so the plan is made once the device is known. Every
// byte must lie in memory of the `access` the run needs (a flash writes, a
// verify reads); a byte outside it refuses the plan with its address.
bool PlanTargets(const ToolOptions& options, const FlashImage& image, const DfuDeviceInfo& device,
                 uint8_t access, const std::vector<CImage>** planned, FlashOutcome* outcome) {
  const FirmwareFile& file = image.file;
  const uint8_t alternate = options.alternate.value_or(0);
  const bool raw = IsRawFile(file);
  uint32_t address = 0;
  if (raw) {
    if (options.address) {
      address = *options.address;
    } else {
      const MemoryMapping* memory = FindMemory(device, alternate);
      const std::string unread = UnreadMemoryMapText(device, alternate);
      if (!unread.empty()) {
        *outcome = {TOOL_EXIT_FAILED, unread, std::nullopt, {}};
        return false;
      }
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
  // Every byte must have a home before anything is erased or read.
  for (const CImage& target : *targets) {
    const MemoryMapping* memory = FindMemory(device, target.alternateSetting);
    const std::string unread = UnreadMemoryMapText(device, target.alternateSetting);
    if (!unread.empty()) {
      *outcome = {TOOL_EXIT_FAILED, unread, std::nullopt, {}};
      return false;
    }
    if (memory == nullptr) {
      *outcome = {TOOL_EXIT_BAD_INPUT,
                  "the device has no memory at alternate setting " +
                      std::to_string(target.alternateSetting),
                  std::nullopt, {}};
      return false;
    }
    const auto outside = FirstAddressOutside(target.Records(), *memory, access, OutsideBytes::kAny);
    if (outside) {
      if (access == SECTOR_WRITABLE) {
        const MisfitText text = DescribeMisfit(target, *memory, *outside, OriginOf(options, file),
                                               options.positional[0], device);
        *outcome = {TOOL_EXIT_BAD_INPUT, text.message, outside, text.hint};
      } else {
        *outcome = {TOOL_EXIT_BAD_INPUT,
                    "data at " + HexText(*outside, 8) + " lies outside every readable memory of "
                    "alternate setting " + std::to_string(target.alternateSetting),
                    outside, {}};
      }
      return false;
    }
  }
  return true;
}

// Reads back what `data` covers of `memory` (`bytes` bytes: the map's
// readable part) as the "verify" step and compares it with the data as it
// arrives, keeping none of it: exit code 7 with the first differing address
// and the sectors that differ.
FlashOutcome ReadBackTarget(const CImage& data, const MemoryMapping& memory, uint64_t bytes,
                            const std::string& path, bool* fastPoll, CFittedImages* images,
                            CToolOutput* out) {
  // The image read by holds the data's own bytes: each block is compared
  // with them as it arrives.
  const ImageHandle image = images->Get(data, memory, OP_CODE_UPLOAD, 0);
  if (image == nullptr) return {TOOL_EXIT_FAILED, "out of memory", std::nullopt, {}};
  CReadBackComparison comparison(&memory);
  const StatusCode status = RunFittedStep("verify", OP_CODE_UPLOAD, image, data.alternateSetting,
                                          bytes, 0, path, fastPoll, out, &comparison);
  if (status != RESULT_OK) return StepFailed("verify", status);
  const auto difference = comparison.FirstDifference();
  if (!difference) return {};
  return {TOOL_EXIT_VERIFY, "verify found a difference at " + HexText(*difference, 8), difference,
          {}, comparison.DifferingSectors()};
}

namespace {

// Erases, writes and reads back one target, with images of the run's
// `shared` ones where the whole target is written. On success the outcome's
// message lists the written ranges that could not be read back (empty when
// none). With `changedOnly`, *unchanged says whether the device already held
// the whole target, so that nothing was erased or written.
FlashOutcome FlashTargetOnDevice(const CImage& target, const DfuDeviceInfo& device, bool verify,
                                 bool changedOnly, bool* fastPoll, CFittedImages* shared,
                                 AddressOrigin origin, CToolOutput* out, bool* unchanged) {
  const uint8_t alternate = target.alternateSetting;
  const MemoryMapping& memory = *FindMemory(device, alternate);
  // Where the data goes is said before anything is erased; on a board of
  // several devices the rows have no room for it.
  if (!out->OnBoard()) out->Note(PlacementText(target, memory, origin));
  CImage changed;
  // The sectors this device needs rewritten are its own: so are their images.
  CFittedImages own;
  CFittedImages* images = shared;
  if (changedOnly) {
    std::vector<AddressRange> rewrite;
    const StatusCode status = RangesToRewrite(target, memory, device.path, fastPoll, out, &rewrite);
    if (status != RESULT_OK) return StepFailed("compare", status);
    *unchanged = rewrite.empty();
    if (*unchanged) return {};
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
  StatusCode status = RunEngineStep(
      {.name = "erase", .opCode = OP_CODE_ERASE, .image = image, .alternate = alternate,
       .bytes = SectorBytesTouched(records, memory, SECTOR_ERASABLE), .erasedMap = &memory,
       .fastPoll = fastPoll},
      device.path, out);
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
  FlashOutcome compared = ReadBackTarget(data, memory, bytes - unverifiedBytes, device.path,
                                         fastPoll, images, out);
  if (compared.exitCode == TOOL_EXIT_OK) return done;
  compared.sectors.clear();  // flash names the first difference only
  return compared;
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
  if (!PlanTargets(options, image, device, SECTOR_WRITABLE, &targets, &outcome)) return outcome;
  // Once the device refuses an early status request, none of its later
  // steps polls early.
  bool fastPoll = options.fastPoll;
  std::string unverified;
  bool upToDate = true;
  for (const CImage& target : *targets) {
    bool unchanged = false;
    outcome = FlashTargetOnDevice(target, device, !options.noVerify && canUpload,
                                  options.changedOnly, &fastPoll, &image.share->Images(),
                                  OriginOf(options, image.file), out, &unchanged);
    if (outcome.exitCode != TOOL_EXIT_OK) return outcome;
    upToDate = upToDate && unchanged;
    if (!outcome.message.empty()) unverified += (unverified.empty() ? "" : ", ") + outcome.message;
  }
  FlashOutcome done;
  if (upToDate) {
    done.message = "the device is already up to date with " + options.positional[0] +
                   ": no sector differs, nothing was erased or written";
  } else if (options.noVerify) {
    // The result (and the production record) says what was not checked.
    done.message = "flashed " + options.positional[0] + "; not read back (--no-verify)";
  } else if (!canUpload) {
    done.message = "flashed " + options.positional[0] + "; not read back: the device cannot upload";
  } else if (!unverified.empty()) {
    done.message = "flashed " + options.positional[0] + "; not read back: " + unverified +
                   ", which the memory map marks unreadable";
  }
  if (options.noLeave) return done;
  if ((device.attributes & DFU_ATTR_MANIFESTATION_TOLERANT) != 0) {
    return {TOOL_EXIT_FAILED,
            (done.message.empty() ? "flashed " + options.positional[0] : done.message) + "; " +
                ManifestationTolerantText(),
            std::nullopt, "flash with --no-leave, then unplug the device and plug it in again"};
  }
  const std::vector<std::string> before = PresentInterfacePaths();
  CImageHolder leaveImage(MakeLeaveImage(device));
  const StatusCode status = RunEngineStep(
      {.name = "leave", .opCode = OP_CODE_LEAVE_DFU, .image = leaveImage.get(), .noteLongWait = false},
      device.path, out);
  if (status != RESULT_OK) {
    return {TOOL_EXIT_FAILED, "leaving DFU mode failed: " + StatusText(status), std::nullopt, {}};
  }
  // A board whose boot loader finds no valid application comes straight back
  // in DFU mode: the flash did not give it a firmware that starts. --watch
  // has its own rule for such a board (looked at again, left alone after
  // three flashes), and its flashes do not wait here.
  if (options.watch) return done;
  const AfterLeave after = WatchAfterLeave(device, before, TOOL_LEAVE_SETTLE_TIME, TOOL_LEAVE_CONFIRM_TIME);
  if (after.where == AfterLeave::Where::kDfuMode) {
    return {TOOL_EXIT_FAILED,
            "flashed " + options.positional[0] + ", but the device left the bus and came back in DFU mode (" +
                after.path + ")",
            std::nullopt, "no valid application may be present: check the image's address and contents"};
  }
  return done;
}

int RunFlashCommand(const ToolOptions& options, CToolOutput* out) {
  // The record is appended to: were it the firmware file, each device's
  // line would go into the image being flashed.
  if (options.logPath && PlatformSameFile(options.positional[0], *options.logPath)) {
    return out->Result(TOOL_EXIT_USAGE, "the record " + *options.logPath + " is the input file " +
                                            options.positional[0] + "; name another record");
  }
  FlashImage image;
  int exitCode = TOOL_EXIT_OK;
  const bool identify = options.logPath || options.expectedSha256;
  if (!LoadInputFirmware(options.positional[0], &image.file, out, &exitCode,
                         identify ? &image.identity : nullptr, options.force)) {
    return exitCode;
  }
  // A file with addresses of its own is refused before any device is
  // opened: --address could only contradict them.
  const FirmwareFormat format = image.file.format;
  if (options.address && format != FirmwareFormat::kRaw && format != FirmwareFormat::kPlainDfu) {
    return out->Result(TOOL_EXIT_USAGE,
                       "--address places raw input only: " + options.positional[0] +
                           " carries its own addresses",
                       "flash it without --address");
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
  // With --detach, a board that runs its application is flashed as the
  // device it becomes in DFU mode.
  ToolOptions chosen;
  if (options.detach && !DetachBeforeFlash(options, out, &chosen, &exitCode)) return exitCode;
  DfuDeviceInfo device;
  CDeviceClaim claim;
  if (!ChooseDevice(options.detach ? chosen : options, out, true, &device, &exitCode, &claim)) {
    return exitCode;
  }
  const auto start = std::chrono::steady_clock::now();
  FlashOutcome outcome = FlashDevice(options, image, device, out);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  RecordDeviceEnd(options, image, device, static_cast<uint64_t>(took.count()), &outcome);
  return out->Result(outcome.exitCode, FlashOutcomeText(outcome, options.positional[0]),
                     outcome.hint, outcome.address);
}
