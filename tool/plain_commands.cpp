// flash and read on a plain DFU device (no DfuSe): the device decides where
// a download goes, so an image is one run of bytes from the start of the
// alternate setting's memory, and manifestation ends every download.
#include "tool/plain_commands.h"

#include <algorithm>

#include "common/operation_code.h"
#include "dfufiles/dfu_suffix.h"
#include "dfufiles/firmware_data.h"
#include "dfufiles/image_registry.h"
#include "operations/block_scheme.h"
#include "operations/plain_upload_thread.h"
#include "protocol/dfu.h"
#include "tool/engine_images.h"
#include "tool/engine_run.h"
#include "tool/engine_step.h"
#include "tool/exit_code.h"
#include "tool/read_back_file.h"
#include "tool/tool_text.h"

namespace {

// What a read without --length asks for; a device ends its memory sooner
// with a short block.
constexpr uint32_t PLAIN_READ_DEFAULT_LIMIT = 16u << 20;

bool HasAlternate(const DfuDeviceInfo& device, uint8_t alternate) {
  return std::any_of(device.alternates.begin(), device.alternates.end(),
                     [alternate](const DfuAlternateInfo& a) { return a.alternateSetting == alternate; });
}

// A suffix id that names another device than this one (0xFFFF names any).
bool IdMismatch(uint16_t fileId, uint16_t deviceId) {
  return fileId != DFU_SUFFIX_ANY_ID && fileId != deviceId;
}

// Runs a plain operation on `bytes` as the alternate setting's one element;
// the step announces `announced` bytes (0: a size not known before).
StatusCode RunPlain(const char* step, OperationCode opCode, uint8_t alternate,
                    const std::vector<uint8_t>& bytes, uint64_t announced, const DfuDeviceInfo& device,
                    CToolOutput* out, std::vector<uint8_t>* read, OperationContext* final) {
  CImage data(alternate, 0, nullptr);
  data.SetElement(0, 1, RecordOver(0, bytes));
  CImageHolder image(MakeImage(std::move(data)));
  if (image.get() == nullptr) return OP_ERR_UNEXPECTED;
  const StatusCode status = RunEngineStep(
      {.name = step, .opCode = opCode, .image = image.get(), .alternate = alternate,
       .bytes = announced, .final = final},
      device.path, out);
  if (status != RESULT_OK) return status;
  if (read != nullptr) {
    const ImageElement* element = FindImage(image.get())->ElementAt(0);
    read->clear();
    if (element != nullptr && element->size != 0) {
      read->assign(element->data, element->data + element->size);
    }
    read->resize(static_cast<size_t>(std::min<uint64_t>(PlainUploadedBytes(*final), read->size())));
  }
  return RESULT_OK;
}

// Blocks travel in at most PLAIN_DFU_MAX_BLOCK_SIZE bytes, what a control
// transfer through usbfs or WinUSB carries. A device that announces a larger
// transfer size and places block n at n x that size (as most device stacks
// do) would store such blocks apart and hand them back the same way, so no
// read-back could tell: it is refused before anything is written, unless
// the user says that its blocks follow one another.
bool RefusesBlockSize(const ToolOptions& options, const DfuDeviceInfo& device, std::string* reason,
                      std::string* hint) {
  if (device.transferSize <= PLAIN_DFU_MAX_BLOCK_SIZE || options.packedBlocks) return false;
  *reason = "the device announces a transfer size of " + std::to_string(device.transferSize) +
            " bytes, and blocks here carry at most " + std::to_string(PLAIN_DFU_MAX_BLOCK_SIZE) +
            ": a device that places block n at n x its transfer size would scatter them";
  *hint = "if the device places each block right after the one before, give --packed-blocks";
  return true;
}

// Where a device that did not stay in DFU mode went after manifestation.
std::string AfterManifestation(const OperationContext& final) {
  if (final.deviceStatus.bState != DFU_STATE_MANIFEST_WAIT_RESET) {
    return "the device left the bus to start the new firmware";
  }
  if (final.resetResult == RESULT_OK) return "zuvatool reset the device to start the new firmware";
  return "the device waits for a USB reset to start the new firmware, and " +
         StatusText(final.resetResult) + ": unplug the device and plug it in again";
}

}  // namespace

bool IsPlainDfuDevice(const DfuDeviceInfo& device) {
  // A device that announces an older DFU version but publishes memory maps
  // keeps being served as the DfuSe device it behaves as.
  const bool mapped = std::any_of(device.alternates.begin(), device.alternates.end(),
                                  [](const DfuAlternateInfo& a) { return a.hasMemory; });
  return device.dfuVersion < DFU_VERSION_DFUSE && !mapped;
}

namespace {

// What flash and verify refuse alike on a plain device: a file it cannot
// take, one made for another device (unless --force), a missing alternate
// setting. False with the refusal in *refusal.
bool CheckPlainFile(const ToolOptions& options, const FirmwareFile& file,
                    const DfuDeviceInfo& device, CToolOutput* out, FlashOutcome* refusal) {
  if (file.format != FirmwareFormat::kRaw && file.format != FirmwareFormat::kPlainDfu) {
    *refusal = {TOOL_EXIT_BAD_INPUT,
                "a plain DFU device takes raw bytes or a plain DFU file, not " +
                    std::string(FirmwareFormatName(file.format)),
                std::nullopt, {}};
    return false;
  }
  if (file.format == FirmwareFormat::kPlainDfu &&
      (IdMismatch(file.suffix.vendorId, device.vendorId) ||
       IdMismatch(file.suffix.productId, device.productId))) {
    const std::string mismatch = "the file is for " + HexText(file.suffix.vendorId, 4) + ":" +
                                 HexText(file.suffix.productId, 4) + ", the device is " +
                                 HexText(device.vendorId, 4) + ":" + HexText(device.productId, 4);
    if (!options.force) {
      *refusal = {TOOL_EXIT_BAD_INPUT, mismatch, std::nullopt,
                  "give --force to " + options.command + " it anyway"};
      return false;
    }
    out->Note("warning: " + mismatch);
  }
  const uint8_t alternate = options.alternate.value_or(0);
  if (!HasAlternate(device, alternate)) {
    *refusal = {TOOL_EXIT_BAD_INPUT,
                "the device has no alternate setting " + std::to_string(alternate), std::nullopt,
                {}};
    return false;
  }
  return true;
}

// Reads the file's length back from the start of the alternate setting's
// memory as the "verify" step and compares: exit code 7 with the first
// differing offset, 0 with no message when the device holds the file.
FlashOutcome ComparePlainReadBack(const ToolOptions& options, const FirmwareFile& file,
                                  const DfuDeviceInfo& device, CToolOutput* out,
                                  OperationContext* final) {
  std::vector<uint8_t> read;
  const StatusCode status =
      RunPlain("verify", OP_CODE_PLAIN_UPLOAD, options.alternate.value_or(0),
               std::vector<uint8_t>(file.raw.size()), file.raw.size(), device, out, &read, final);
  if (status != RESULT_OK) {
    return {TOOL_EXIT_FAILED, "verify failed: " + StatusText(status), std::nullopt, {}};
  }
  const auto difference = std::mismatch(read.begin(), read.end(), file.raw.begin());
  if (read.size() != file.raw.size() || difference.first != read.end()) {
    const uint32_t at = static_cast<uint32_t>(difference.first - read.begin());
    return {TOOL_EXIT_VERIFY, "verify found a difference at offset " + HexText(at, 8), at, {}};
  }
  return {};
}

}  // namespace

FlashOutcome FlashPlainDevice(const ToolOptions& options, const FirmwareFile& file,
                              const DfuDeviceInfo& device, CToolOutput* out) {
  if (options.address || options.changedOnly || options.noLeave) {
    return {TOOL_EXIT_USAGE,
            "a plain DFU device places the image itself and manifests it as the download ends: "
            "--address, --changed-only and --no-leave do not apply",
            std::nullopt, {}};
  }
  FlashOutcome refusal;
  if (!CheckPlainFile(options, file, device, out, &refusal)) return refusal;
  if ((device.attributes & DFU_ATTR_CAN_DNLOAD) == 0) {
    return {TOOL_EXIT_FAILED, "the device does not take downloads", std::nullopt, {}};
  }
  std::string reason, hint;
  if (RefusesBlockSize(options, device, &reason, &hint)) {
    return {TOOL_EXIT_FAILED, reason + "; nothing was written", std::nullopt, hint};
  }
  OperationContext final{};
  const StatusCode status =
      RunPlain("download", OP_CODE_PLAIN_DOWNLOAD, options.alternate.value_or(0), file.raw,
               file.raw.size(), device, out, nullptr, &final);
  if (status != RESULT_OK) {
    return {TOOL_EXIT_FAILED, "download failed: " + StatusText(status), std::nullopt, {}};
  }
  const std::string done = "flashed " + options.positional[0];
  if (final.deviceStatus.bState != DFU_STATE_DFU_IDLE) {
    return {TOOL_EXIT_OK, done + "; not read back: " + AfterManifestation(final), std::nullopt, {}};
  }
  if (options.noVerify) return {TOOL_EXIT_OK, done + "; not read back (--no-verify)", std::nullopt, {}};
  if ((device.attributes & DFU_ATTR_CAN_UPLOAD) == 0) {
    return {TOOL_EXIT_OK, done + "; not read back: the device cannot upload", std::nullopt, {}};
  }
  const FlashOutcome compared = ComparePlainReadBack(options, file, device, out, &final);
  if (compared.exitCode != TOOL_EXIT_OK) return compared;
  return {TOOL_EXIT_OK, done + "; verified", std::nullopt, {}};
}

FlashOutcome VerifyPlainDevice(const ToolOptions& options, const FirmwareFile& file,
                               const DfuDeviceInfo& device, CToolOutput* out) {
  if (options.address) {
    return {TOOL_EXIT_USAGE, "a plain DFU device places the image itself: --address does not apply",
            std::nullopt, {}};
  }
  FlashOutcome refusal;
  if (!CheckPlainFile(options, file, device, out, &refusal)) return refusal;
  OperationContext final{};
  return ComparePlainReadBack(options, file, device, out, &final);
}

int RunPlainRead(const ToolOptions& options, const DfuDeviceInfo& device,
                 CWholeFileWriter* output, CToolOutput* out) {
  if (options.address) {
    return out->Result(TOOL_EXIT_USAGE, "a plain DFU device is read from its start: --address does not apply");
  }
  const uint8_t alternate = options.alternate.value_or(0);
  if (!HasAlternate(device, alternate)) {
    return out->Result(TOOL_EXIT_FAILED, "the device has no alternate setting " + std::to_string(alternate));
  }
  std::string reason, hint;
  if (RefusesBlockSize(options, device, &reason, &hint)) {
    return out->Result(TOOL_EXIT_FAILED, reason + "; nothing was read", hint);
  }
  const uint32_t limit = options.length.value_or(PLAIN_READ_DEFAULT_LIMIT);
  std::vector<uint8_t> read;
  OperationContext final{};
  const StatusCode status =
      RunPlain("upload", OP_CODE_PLAIN_UPLOAD, alternate, std::vector<uint8_t>(limit, 0xFF),
               options.length.value_or(0), device, out, &read, &final);
  if (status != RESULT_OK) return out->Result(TOOL_EXIT_FAILED, "upload failed: " + StatusText(status));
  const std::string& path = options.positional[0];
  const uint32_t length = static_cast<uint32_t>(read.size());
  std::string error;
  if (!FinishReadBackFile(path, device, {false, alternate, "", 0, length, {RecordOver(0, read)}},
                          output, &error)) {
    return out->Result(TOOL_EXIT_FAILED, error);
  }
  return out->Result(TOOL_EXIT_OK, "read " + std::to_string(length) + " bytes into " + path);
}
