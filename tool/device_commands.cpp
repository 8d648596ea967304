// read, erase, leave, detach and unprotect.
#include <algorithm>
#include <cstdio>
#include <span>
#include <vector>

#include "common/operation_code.h"
#include "dfufiles/dfu_file.h"
#include "dfufiles/firmware_file.h"
#include "dfufiles/image_registry.h"
#include "dfufiles/sector_geometry.h"
#include "operations/operation_context.h"
#include "protocol/dfu.h"
#include "tool/after_leave.h"
#include "tool/device_choice.h"
#include "tool/device_detach.h"
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
    const std::string unread = UnreadMemoryMapText(device, alternate);
    *exitCode = out->Result(TOOL_EXIT_FAILED, !unread.empty() ? unread
                                                              : "the device has no memory map at alternate setting " +
                                                                    std::to_string(alternate));
  }
  return memory;
}

// "16 KiB", or "16 bytes" for a size that is no whole number of KiB.
std::string SizeText(uint64_t bytes) {
  return bytes % 1024 == 0 ? std::to_string(bytes / 1024) + " KiB" : std::to_string(bytes) + " bytes";
}

// What an erase of `range` took: whole sectors, which a range of a few
// bytes may be far smaller than.
std::string ErasedSectorsText(const std::vector<const MappingSector*>& sectors,
                              std::span<const ImageElement> range) {
  if (sectors.empty() || range.empty()) return "erased nothing";
  uint64_t total = 0;
  for (const MappingSector* sector : sectors) total += sector->sectorSize;
  const uint32_t first = sectors.front()->startAddress;
  const uint32_t last = static_cast<uint32_t>(uint64_t{first} + total - 1);
  std::string text = sectors.size() == 1 ? std::string("erased the sector ")
                                         : "erased " + std::to_string(sectors.size()) + " sectors, ";
  text += HexText(first, 8) + ".." + HexText(last, 8) + " (" + SizeText(total) + ")";
  const uint32_t from = range.front().address;
  const uint32_t to = range.back().address + range.back().size - 1;
  if (from != first || to != last) {
    text += std::string(sectors.size() == 1 ? ", which holds" : ", which hold") + " the range " +
            HexText(from, 8) + ".." + HexText(to, 8);
  }
  return text;
}

// A read goes to its file in pieces of this many bytes: whole HEX records
// (a multiple of 16), so that a HEX file reads as if written at once.
constexpr uint32_t TOOL_READ_PIECE_BYTES = 4u << 20;

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
  if ((device.attributes & DFU_ATTR_MANIFESTATION_TOLERANT) != 0) {
    return out->Result(TOOL_EXIT_FAILED, "leave failed: " + ManifestationTolerantText(),
                       "unplug the device and plug it in again");
  }
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
  const std::string& path = options.positional[0];
  CReadBackWriter writer;
  if (!writer.Begin(path, device, {.alternate = alternate, .memoryName = memory->memoryName, .start = start,
                                   .length = length, .elements = {}},
                    &output, &error)) {
    return out->Result(TOOL_EXIT_FAILED, error);
  }
  // The range goes to the file piece by piece: a map may give a memory of
  // up to 4 GiB, which is never held whole.
  OperationContext final{};
  bool writeFailed = false;
  const StatusCode status = RunUploadInPieces(
      {.name = "upload", .opCode = OP_CODE_UPLOAD, .alternate = alternate, .bytes = length, .fitTo = memory,
       .final = &final},
      start, length, TOOL_READ_PIECE_BYTES,
      [&](std::span<const ImageElement> elements, uint32_t at, uint32_t size) {
        writeFailed = !writer.Add(elements, at, size, &error);
        return writeFailed ? FILE_ERR_IO : RESULT_OK;
      },
      device.path, out);
  if (writeFailed) return out->Result(TOOL_EXIT_FAILED, error);
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
  if (!writer.Finish(&error)) return out->Result(TOOL_EXIT_FAILED, error);
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
  // The erase travels as one marker (an element without bytes) per sector,
  // never as an image of the range, which a map may make 4 GiB long.
  std::vector<const MappingSector*> sectors;
  std::string done;
  if (options.all) {
    for (const MappingSector& sector : memory->sectors) {
      if (SectorQualifies(sector, OP_CODE_ERASE)) sectors.push_back(&sector);
    }
    done = "erased every erasable sector";
  } else {
    uint32_t start = 0;
    uint32_t length = 0;
    std::string error;
    if (!ResolveRange(options, *memory, SECTOR_ERASABLE, &start, &length, &error)) {
      return out->Result(TOOL_EXIT_FAILED, error);
    }
    const ImageElement range{start, length, nullptr};
    sectors = TouchedSectors({&range, 1}, *memory, SECTOR_ERASABLE);
    done = ErasedSectorsText(sectors, {&range, 1});
  }
  CImage markers(alternate, 0, nullptr);
  uint64_t bytes = 0;
  for (const MappingSector* sector : sectors) {
    const ImageElement marker{sector->startAddress, 0, nullptr};
    markers.SetElement(markers.ElementCount(), 1, marker);
    bytes += sector->sectorSize;
  }
  CImageHolder image(MakeImage(std::move(markers)));
  if (image.get() == nullptr) return out->Result(TOOL_EXIT_FAILED, "out of memory");
  const StatusCode status = RunEngineStep(
      {.name = "erase", .opCode = OP_CODE_ERASE, .image = image.get(), .alternate = alternate, .bytes = bytes,
       .erasedMap = memory},
      device.path, out);
  if (status != RESULT_OK)
    return out->Result(TOOL_EXIT_FAILED, "erase failed: " + StatusText(status));
  return out->Result(TOOL_EXIT_OK, done);
}

int RunModeCommand(const ToolOptions& options, CToolOutput* out) {
  const bool detach = options.command == "detach";
  if (detach) {
    // What detach is for is done already: no request is sent.
    const ModeMatches matches = FindModeMatches(options);
    if (!matches.inApplication && !matches.inDfuMode.empty()) {
      const DfuDeviceInfo& first = matches.inDfuMode.front();
      if (matches.inDfuMode.size() == 1) out->Device(first);
      return out->Result(TOOL_EXIT_OK,
                         matches.inDfuMode.size() == 1
                             ? "the device " + ShownText(first.path) + " is already in DFU mode; nothing was sent"
                             : "the " + std::to_string(matches.inDfuMode.size()) +
                                   " matching devices are already in DFU mode; nothing was sent");
    }
  }
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
  if (detach) {
    const DetachOutcome detached = DetachToDfuMode(device, out);
    return out->Result(detached.exitCode, detached.message, detached.hint);
  }
  const StatusCode status =
      RunEngineStep({.name = "unprotect", .opCode = OP_CODE_READ_UNPROTECT}, device.path, out);
  if (status == DEV_ERR_RESET_UNSUPPORTED) {
    return out->Result(TOOL_EXIT_FAILED,
                       "unprotect failed: the device waits for a USB reset to enter DFU mode, and " +
                           StatusText(status),
                       "unplug the device and plug it in again");
  }
  if (status == TOOL_DEVICE_GONE) {
    return out->Result(TOOL_EXIT_FAILED, "unprotect failed: " + StatusText(status) +
                                             " before it took the command, so it is not known to be unprotected",
                       "plug it in again and look at it with 'zuvatool list'");
  }
  if (status != RESULT_OK) {
    // The unprotect is done only when the device resets; it is still listed.
    // An error status is named without the advice to unprotect.
    return out->Result(TOOL_EXIT_FAILED, "unprotect failed: " + ReportedStatusText(status) +
                                             ", and the device did not reset");
  }
  return out->Result(TOOL_EXIT_OK, "the device was unprotected and resets");
}
