// read, erase, leave, detach and unprotect.
#include <algorithm>
#include <cstdio>

#include "common/operation_code.h"
#include "dfufiles/dfu_file.h"
#include "dfufiles/firmware_file.h"
#include "dfufiles/image_registry.h"
#include "dfufiles/sector_geometry.h"
#include "operations/operation_context.h"
#include "protocol/dfu.h"
#include "tool/after_leave.h"
#include "tool/device_choice.h"
#include "tool/engine_images.h"
#include "tool/engine_run.h"
#include "tool/engine_step.h"
#include "tool/exit_code.h"
#include "tool/output_format.h"
#include "tool/plain_commands.h"
#include "tool/read_back_file.h"
#include "tool/tool_commands.h"
#include "tool/tool_text.h"

namespace {

// The range [start, start + length) as the options give it, checked to lie in
// sectors with `access`: by default the whole run of such sectors at the
// address (or the first one).
bool ResolveRange(const ToolOptions& options, const MemoryMapping& memory, uint8_t access,
                  uint32_t* start, uint32_t* length, std::string* error) {
  uint64_t runEnd = 0;
  if (!AccessibleRunAt(memory, access, options.address, start, &runEnd)) {
    *error = options.address ? "no accessible sector at " + HexText(*options.address, 8)
                             : std::string("the alternate setting has no accessible sector");
    return false;
  }
  const uint64_t end = options.length ? uint64_t{*start} + *options.length : runEnd;
  // Every sector the range touches must allow the operation.
  for (uint64_t at = *start; at < end;) {
    uint32_t from = 0;
    uint64_t to = 0;
    if (!AccessibleRunAt(memory, access, static_cast<uint32_t>(at), &from, &to)) {
      *error = "no accessible sector at " + HexText(static_cast<uint32_t>(at), 8);
      return false;
    }
    at = to;
  }
  if (end - *start > UINT32_MAX) {
    *error = "the range is too long";
    return false;
  }
  *length = static_cast<uint32_t>(end - *start);
  return true;
}

const MemoryMapping* MemoryOrFail(const DfuDeviceInfo& device, uint8_t alternate, CToolOutput* out,
                                  int* exitCode) {
  const MemoryMapping* memory = FindMemory(device, alternate);
  if (memory == nullptr) {
    *exitCode = out->Result(TOOL_EXIT_FAILED, "the device has no memory map at alternate setting " +
                                                  std::to_string(alternate));
  }
  return memory;
}

// At most this many sectors are read back after a mass erase; the sectors
// of a larger memory are sampled evenly, the first and the last included.
constexpr size_t TOOL_BLANK_CHECK_SECTORS = 64;

// One block at the start of every sector that a mass erase must have
// cleared and that can be read (or of an even sample of them), as 0xFF.
CImage BlankCheckBlocks(const MemoryMapping& memory, uint32_t blockSize) {
  std::vector<const MappingSector*> sectors;
  const uint8_t both = SECTOR_READABLE | SECTOR_ERASABLE;
  for (const MappingSector& sector : memory.sectors) {
    if (sector.inUse != 0 && sector.sectorSize != 0 && (sector.sectorType & both) == both) {
      sectors.push_back(&sector);
    }
  }
  CImage blocks;
  const size_t count = std::min(sectors.size(), TOOL_BLANK_CHECK_SECTORS);
  for (size_t i = 0; i < count; ++i) {
    const size_t at = count == 1 ? 0 : i * (sectors.size() - 1) / (count - 1);
    const MappingSector& sector = *sectors[at];
    blocks.AppendFilled(sector.startAddress, std::min(sector.sectorSize, blockSize), 0xFF);
  }
  return blocks;
}

// Reads the blocks of BlankCheckBlocks back and reports the first cell
// that is not blank.
int CheckMassErase(const DfuDeviceInfo& device, CToolOutput* out) {
  if ((device.attributes & DFU_ATTR_CAN_UPLOAD) == 0) {
    return out->Result(TOOL_EXIT_OK, "mass erase done; not checked: the device cannot upload");
  }
  const MemoryMapping* memory = FindMemory(device, 0);
  const uint32_t blockSize = device.transferSize != 0 ? device.transferSize : 2048;
  CImage blocks = memory != nullptr ? BlankCheckBlocks(*memory, blockSize) : CImage();
  const uint64_t blockBytes = blocks.ByteCount();
  const size_t checked = blocks.ElementCount();
  if (blocks.ElementCount() == 0) {
    return out->Result(TOOL_EXIT_OK, "mass erase done; not checked: no sector of alternate "
                                     "setting 0 can be both erased and read");
  }
  CImageHolder image(MakeImage(std::move(blocks)));
  if (image.get() == nullptr) return out->Result(TOOL_EXIT_FAILED, "out of memory");
  const StatusCode status = RunEngineStep(
      {.name = "blank-check", .opCode = OP_CODE_UPLOAD, .image = image.get(),
       .bytes = blockBytes, .fitTo = memory},
      device.path, out);
  if (status != RESULT_OK) {
    return out->Result(TOOL_EXIT_FAILED, "mass erase done, but reading it back failed: " + StatusText(status));
  }
  for (const ImageElement& read : FindImage(image.get())->Records()) {
    const uint8_t* const end = read.data + read.size;
    const uint8_t* dirty =
        std::find_if<const uint8_t*>(read.data, end, [](uint8_t b) { return b != 0xFF; });
    if (dirty == end) continue;
    const uint32_t address = read.address + static_cast<uint32_t>(dirty - read.data);
    // Blocks of adjacent small sectors come back joined: name the sector.
    uint32_t sectorStart = address;
    for (const MappingSector& sector : memory->sectors) {
      if (address >= sector.startAddress && address - sector.startAddress < sector.sectorSize) {
        sectorStart = sector.startAddress;
      }
    }
    return out->Result(TOOL_EXIT_FAILED,
                       "the mass erase was reported done, but the sector at " + HexText(sectorStart, 8) +
                           " is not blank (" + HexText(address, 8) + " holds " + HexText(*dirty, 2) + ")",
                       "the device may not support the mass erase: erase with --all instead", address);
  }
  return out->Result(TOOL_EXIT_OK, "mass erase done; checked blank: the first block of " +
                                       std::to_string(checked) + (checked == 1 ? " sector" : " sectors"));
}

// The leave request, then what became of the device: started its
// application, back in DFU mode, or still there.
int LeaveDfuMode(const DfuDeviceInfo& device, CToolOutput* out) {
  const std::vector<std::string> before = PresentInterfacePaths();
  CImageHolder leaveImage(MakeLeaveImage(device));
  OperationContext final{};
  const StatusCode status = RunEngineStep(
      {.name = "leave", .opCode = OP_CODE_LEAVE_DFU, .image = leaveImage.get(), .noteLongWait = false,
       .final = &final},
      device.path, out);
  if (status != RESULT_OK) {
    // The request went, and the wait for the device to go ran out.
    if (final.phase == PHASE_WAIT_REMOVAL &&
        InterfaceListed(device.path, {DFU_INTERFACE_GUID}) == LISTING_PRESENT) {
      return out->Result(TOOL_EXIT_FAILED,
                         "the device did not leave: it is still there in DFU mode after the leave request",
                         "it may wait for a USB reset or ignore the request: unplug it and plug it in again");
    }
    return out->Result(TOOL_EXIT_FAILED, "leave failed: " + StatusText(status));
  }
  const AfterLeave after = WatchAfterLeave(device, before, TOOL_LEAVE_SETTLE_TIME, TOOL_LEAVE_CONFIRM_TIME);
  switch (after.where) {
    case AfterLeave::Where::kDfuMode:
      return out->Result(TOOL_EXIT_FAILED,
                         "the device left the bus but came back in DFU mode (" + after.path + ")",
                         "no valid application may be present: flash one, then leave again");
    case AfterLeave::Where::kApplication:
      return out->Result(TOOL_EXIT_OK, "the device left DFU mode and came back running its application (" +
                                           after.path + ")");
    default:
      return out->Result(TOOL_EXIT_OK,
                         "the device left the bus to start its application (not seen again within " +
                             std::to_string(TOOL_LEAVE_SETTLE_TIME.count() / 1000) + " s)");
  }
}

}  // namespace

int RunReadCommand(const ToolOptions& options, CToolOutput* out) {
  // The name decides the format (any name without a known ending gives raw
  // bytes); one that cannot be written is refused before the device is read.
  if (OutputFormatOfName(options.positional[0]) == OutputFormat::kNotWritable) {
    return out->Result(TOOL_EXIT_USAGE, OutputNameRefusal(options.positional[0]));
  }
  DfuDeviceInfo device;
  int exitCode = TOOL_EXIT_OK;
  CDeviceClaim claim;
  if (!ChooseDevice(options, out, true, &device, &exitCode, &claim)) return exitCode;
  if ((device.attributes & DFU_ATTR_CAN_UPLOAD) == 0) {
    // Every upload would stall: nothing is asked of the device.
    return out->Result(TOOL_EXIT_FAILED,
                       "the device cannot upload (its DFU functional descriptor does not set "
                       "bitCanUpload): nothing can be read from it");
  }
  const bool plain = IsPlainDfuDevice(device);
  if (const std::string refusal = plain ? std::string() : DfuSeDownloadRefusal(device); !refusal.empty()) {
    return out->Result(TOOL_EXIT_FAILED, refusal);
  }
  // Created now, not after a read that may take minutes.
  CWholeFileWriter output;
  std::string error;
  if (output.Begin(options.positional[0], &error) != RESULT_OK) {
    return out->Result(TOOL_EXIT_FAILED, error);
  }
  if (plain) return RunPlainRead(options, device, &output, out);
  const uint8_t alternate = options.alternate.value_or(0);
  const MemoryMapping* memory = MemoryOrFail(device, alternate, out, &exitCode);
  if (memory == nullptr) return exitCode;
  uint32_t start = 0;
  uint32_t length = 0;
  if (!ResolveRange(options, *memory, SECTOR_READABLE, &start, &length, &error)) {
    return out->Result(TOOL_EXIT_FAILED, error);
  }
  CImage wanted(alternate, 0, nullptr);
  wanted.AppendFilled(start, length, 0xFF);
  CImageHolder image(MakeImage(std::move(wanted)));
  if (image.get() == nullptr) return out->Result(TOOL_EXIT_FAILED, "out of memory");
  OperationContext final{};
  const StatusCode status = RunEngineStep(
      {.name = "upload", .opCode = OP_CODE_UPLOAD, .image = image.get(), .alternate = alternate,
       .bytes = length, .fitTo = memory, .final = &final},
      device.path, out);
  if (status == OP_ERR_UPLOAD_ENDED_EARLY) {
    // The bytes before the short block came, but a file that holds only
    // part of the range would pass for the whole of it.
    const uint64_t readTo = uint64_t{final.blockAddress} + final.blockLength;
    const uint64_t got = readTo > start ? readTo - start : 0;
    return out->Result(TOOL_EXIT_FAILED,
                       "upload ended early: the block at " + HexText(final.blockAddress, 8) + " came back with " +
                           std::to_string(final.blockLength) + " bytes, inside the readable memory; " +
                           std::to_string(got) + " of " + std::to_string(length) +
                           " bytes were read, and nothing was written",
                       got == 0 ? "the device's memory ends sooner than its map says"
                                : "the device's memory ends sooner than its map says: --length " +
                                      std::to_string(got) + " reads the bytes before the end",
                       static_cast<uint32_t>(readTo));
  }
  if (status != RESULT_OK)
    return out->Result(TOOL_EXIT_FAILED, "upload failed: " + StatusText(status));
  const std::string& path = options.positional[0];
  const ReadBack read{.alternate = alternate,
                      .memoryName = memory->memoryName,
                      .start = start,
                      .length = length,
                      .elements = FindImage(image.get())->Records()};
  if (!FinishReadBackFile(path, device, read, &output, &error)) {
    return out->Result(TOOL_EXIT_FAILED, error);
  }
  return out->Result(TOOL_EXIT_OK, "read " + std::to_string(length) + " bytes from " +
                                       HexText(start, 8) + " into " + path);
}

int RunEraseCommand(const ToolOptions& options, CToolOutput* out) {
  DfuDeviceInfo device;
  int exitCode = TOOL_EXIT_OK;
  CDeviceClaim claim;
  if (!ChooseDevice(options, out, true, &device, &exitCode, &claim)) return exitCode;
  if (IsPlainDfuDevice(device)) {
    return out->Result(TOOL_EXIT_FAILED, "erase needs a DfuSe device; a plain DFU device erases as it is written");
  }
  if (const std::string refusal = DfuSeDownloadRefusal(device); !refusal.empty()) {
    return out->Result(TOOL_EXIT_FAILED, refusal);
  }
  if (options.mass) {
    const StatusCode status = RunEngineStep({.name = "mass-erase", .opCode = OP_CODE_MASS_ERASE}, device.path, out);
    if (status != RESULT_OK) {
      return out->Result(TOOL_EXIT_FAILED, "mass erase failed: " + StatusText(status));
    }
    return CheckMassErase(device, out);
  }
  const uint8_t alternate = options.alternate.value_or(0);
  const MemoryMapping* memory = MemoryOrFail(device, alternate, out, &exitCode);
  if (memory == nullptr) return exitCode;
  ImageHandle handle = nullptr;
  std::string done;
  if (options.all) {
    if (ImageCreateFromMapping(memory, &handle) != RESULT_OK) {
      return out->Result(TOOL_EXIT_FAILED, "out of memory");
    }
    FindImage(handle)->alternateSetting = alternate;
    done = "erased every erasable sector";
  } else {
    uint32_t start = 0;
    uint32_t length = 0;
    std::string error;
    if (!ResolveRange(options, *memory, SECTOR_ERASABLE, &start, &length, &error)) {
      return out->Result(TOOL_EXIT_FAILED, error);
    }
    CImage range(alternate, 0, nullptr);
    range.AppendFilled(start, length, 0xFF);
    handle = MakeImage(std::move(range));
    if (handle == nullptr) return out->Result(TOOL_EXIT_FAILED, "out of memory");
    done = "erased the sectors of " + HexText(start, 8) + ".." + HexText(start + length - 1, 8);
  }
  CImageHolder image(handle);
  const uint64_t bytes =
      SectorBytesTouched(FindImage(image.get())->Records(), *memory, SECTOR_ERASABLE);
  const StatusCode status = RunEngineStep(
      {.name = "erase", .opCode = OP_CODE_ERASE, .image = image.get(), .alternate = alternate,
       .bytes = bytes, .fitTo = memory},
      device.path, out);
  if (status != RESULT_OK)
    return out->Result(TOOL_EXIT_FAILED, "erase failed: " + StatusText(status));
  return out->Result(TOOL_EXIT_OK, done);
}

int RunModeCommand(const ToolOptions& options, CToolOutput* out) {
  const bool detach = options.command == "detach";
  DfuDeviceInfo device;
  int exitCode = TOOL_EXIT_OK;
  CDeviceClaim claim;
  if (!ChooseDevice(options, out, !detach, &device, &exitCode, &claim)) return exitCode;
  if (!detach && IsPlainDfuDevice(device)) {
    // Both travel as DfuSe commands; a plain DFU device leaves DFU mode by
    // manifesting a download.
    return out->Result(TOOL_EXIT_FAILED, options.command + " needs a DfuSe device; this one speaks plain DFU");
  }
  if (const std::string refusal = detach ? std::string() : DfuSeDownloadRefusal(device); !refusal.empty()) {
    return out->Result(TOOL_EXIT_FAILED, refusal);
  }
  if (options.command == "leave") return LeaveDfuMode(device, out);
  StatusCode status = RESULT_OK;
  if (options.command == "unprotect") {
    status = RunEngineStep({.name = "unprotect", .opCode = OP_CODE_READ_UNPROTECT}, device.path, out);
  } else {
    // A device that does not detach by itself waits for the USB reset that
    // OP_CODE_DETACH_RESET sends after DFU_DETACH.
    status = RunEngineStep({.name = "detach", .opCode = OP_CODE_DETACH_RESET, .noteLongWait = false},
                           device.path, out);
  }
  if (status == TOOL_INTERRUPTED && detach) {
    return out->Result(TOOL_EXIT_FAILED, "detach interrupted: the device may still be in application mode");
  }
  if (status == DEV_ERR_RESET_UNSUPPORTED) {
    return out->Result(TOOL_EXIT_FAILED,
                       options.command + " failed: the device waits for a USB reset to enter DFU "
                                         "mode, and " + StatusText(status),
                       "unplug the device and plug it in again");
  }
  if (status != RESULT_OK && options.command == "unprotect") {
    // The unprotect is done only when the device resets; it is still listed.
    // An error status is named without the advice to unprotect.
    return out->Result(TOOL_EXIT_FAILED, "unprotect failed: " + ReportedStatusText(status) +
                                             ", and the device did not reset");
  }
  if (status != RESULT_OK) {
    return out->Result(TOOL_EXIT_FAILED, options.command + " failed: " + StatusText(status));
  }
  return out->Result(TOOL_EXIT_OK, detach ? "the device is in DFU mode" : "the device was unprotected and resets");
}
