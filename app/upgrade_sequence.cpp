#include "app/upgrade_sequence.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/device_discovery.h"
#include "app/progress_line.h"
#include "app/status_text.h"
#include "device/device_manager.h"
#include "device/memory_map.h"
#include "dfufiles/dfu_file.h"
#include "dfufiles/image_registry.h"
#include "operations/drive_operation.h"
#include "operations/operations.h"
#include "platform/console.h"
#include "platform/interrupt.h"

namespace {

// The longest device path handed to an operation; longer ones are cut.
constexpr size_t APP_DEVICE_PATH_MAX_LENGTH = 258;

// The upgrade always works on alternate setting 0, the device's flash.
constexpr uint8_t APP_TARGET_ALTERNATE = 0;

// An element's bytes, fetched through its image handle: the size first, then
// the bytes into a buffer of that size.
StatusCode FetchElement(ImageHandle image, uint32_t index, ImageElement* element,
                        std::vector<uint8_t>* bytes) {
  *element = ImageElement{};
  StatusCode status = ImageGetElement(image, index, element);
  if (status != RESULT_OK) return status;
  bytes->assign(element->size, 0);
  element->data = bytes->data();
  status = ImageGetElement(image, index, element);
  element->data = nullptr;
  return status;
}

// The read element is a piece of the source element cut to the device's
// readable sectors, so it starts at the source element's address or further
// in; its bytes are compared with the source's bytes at the same address.
// Bytes that the source element does not have count as a mismatch, and the
// source buffer is never read past its end.
bool ElementMatches(const ImageElement& read, const std::vector<uint8_t>& readBytes,
                    const ImageElement& source, const std::vector<uint8_t>& sourceBytes) {
  if (read.address < source.address) return false;
  const uint64_t offset = uint64_t{read.address} - source.address;
  const uint64_t available = offset < sourceBytes.size() ? sourceBytes.size() - offset : 0;
  if (read.size > available) return false;
  return std::equal(readBytes.begin(), readBytes.end(),
                    sourceBytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

// Compares what an upload read back with the image it should hold, element by
// element. A mismatch is reported but still counts as a finished step. The
// source's data that no writable sector of the map holds never reached the
// device (fitting drops it), so it counts as a mismatch too, never as success.
bool VerifyReadImage(ImageHandle readImage, ImageHandle comparisonImage,
                     const MemoryMapping* mapping, CProgressLine* line) {
  const CImage* read = FindImage(readImage);
  if (read == nullptr) {
    line->Replace("unable to get elements from read image! ");
    PrintStatusText(FILE_ERR_BAD_PARAMETER);
    return false;
  }
  const uint32_t count = read->ElementCount();
  for (uint32_t index = 0; index < count; ++index) {
    ImageElement readElement{};
    std::vector<uint8_t> readBytes;
    StatusCode status = FetchElement(readImage, index, &readElement, &readBytes);
    if (status != RESULT_OK) {
      line->Replace("unable to get data from read image! ");
      PrintStatusText(status);
      return false;
    }
    ImageElement sourceElement{};
    std::vector<uint8_t> sourceBytes;
    status = FetchElement(comparisonImage, index, &sourceElement, &sourceBytes);
    if (status != RESULT_OK) {
      line->Replace("unable to get data from source image! ");
      PrintStatusText(status);
      return false;
    }
    if (!ElementMatches(readElement, readBytes, sourceElement, sourceBytes)) {
      line->Replace("finished, but data not matching!\n");
      return true;
    }
  }
  const CImage* source = FindImage(comparisonImage);
  if (source != nullptr && mapping != nullptr &&
      source->HasDataOutside(*mapping, OP_CODE_DOWNLOAD)) {
    line->Replace("finished, but data not matching!\n");
    return true;
  }
  line->Replace("finished.\n");
  return true;
}

// The record of one launch; the device path is cut to its first
// APP_DEVICE_PATH_MAX_LENGTH characters, so that it always fits.
void FillContext(OperationCode opCode, ImageHandle image, const char* devicePath,
                 uint8_t skipBlankBlocks, OperationContext* context) {
  static_assert(APP_DEVICE_PATH_MAX_LENGTH < OP_DEVICE_PATH_CAPACITY);
  const std::string path = devicePath != nullptr
                               ? std::string(devicePath, strnlen(devicePath, APP_DEVICE_PATH_MAX_LENGTH))
                               : std::string();
  NewOperationContext(opCode, image, path, context);
  context->skipBlankBlocks = skipBlankBlocks;
}

// The console's view of a running operation: each new percentage over the
// last one, and a stop when the run is interrupted.
class CConsoleObserver : public COperationObserver {
 public:
  explicit CConsoleObserver(CProgressLine* line) : line_(line) {}
  // An interrupted run stops the operation as a halt does (the worker is
  // stopped, an interrupted transfer is aborted, the device is closed) and
  // runs no further step.
  bool StopRequested() override { return PlatformInterrupted(); }
  void Progress(uint8_t percent) override { line_->Show(static_cast<int>(percent)); }

 private:
  CProgressLine* line_;
};

// Drives a launched operation to its end and says how it ended. Returns the
// final snapshot's verdict.
bool PollOperation(OperationId id, OperationCode opCode, ImageHandle comparisonImage,
                   const MemoryMapping* mapping, OperationContext* snapshot,
                   CProgressLine* line) {
  CConsoleObserver observer(line);
  switch (DriveOperation(id, &observer, snapshot)) {
    case OperationEnd::kStopped:
      return false;
    case OperationEnd::kFailed:
      if (snapshot->result == OP_ERR_UNSUPPORTED_FEATURE) {
        line->Replace("this feature is not supported by this firmware.\n");
      } else {
        line->Replace("operation failed! ");
        PrintStatusText(snapshot->result);
      }
      return false;
    case OperationEnd::kDone:
      break;
  }
  if (opCode == OP_CODE_UPLOAD && comparisonImage != nullptr) {
    return VerifyReadImage(snapshot->image, comparisonImage, mapping, line);
  }
  line->Replace("finished.\n");
  return true;
}

// The first target of the file whose alternate setting is 0; the targets
// before it are read and discarded. Null when there is none.
ImageHandle ReadTargetImage(FileHandle file, uint8_t targetCount) {
  for (uint32_t index = 0; index < targetCount; ++index) {
    ImageHandle image = nullptr;
    if (DfuFileReadImage(file, index, &image) != RESULT_OK) continue;
    const CImage* read = FindImage(image);
    if (read != nullptr && read->alternateSetting == APP_TARGET_ALTERNATE) return image;
    ImageDestroy(&image);
  }
  return nullptr;
}

// Erase, upgrade and verify with the three copies, each step only after the
// one before it finished, then leave DFU mode with an image of the whole map.
void RunSteps(ImageHandle target, const std::string& devicePath, const MemoryMapping* mapping) {
  ImageHandle eraseCopy = nullptr;
  ImageHandle upgradeCopy = nullptr;
  ImageHandle verifyCopy = nullptr;
  ImageDuplicate(target, &eraseCopy);
  ImageDuplicate(target, &upgradeCopy);
  ImageDuplicate(target, &verifyCopy);
  const char* path = devicePath.c_str();

  CProgressLine::Start("Target 00: Erasing... ");
  if (RunOperation(OP_CODE_ERASE, eraseCopy, path, mapping, 0, nullptr)) {
    CProgressLine::Start("Target 00: Upgrading... ");
    if (RunOperation(OP_CODE_DOWNLOAD, upgradeCopy, path, mapping, 1, nullptr)) {
      CProgressLine::Start("Target 00: Verifying... ");
      if (RunOperation(OP_CODE_UPLOAD, verifyCopy, path, mapping, 0, target)) {
        ImageHandle leaveImage = nullptr;
        ImageCreateFromMapping(mapping, &leaveImage);
        CProgressLine::Start("Leaving DFU mode... ");
        // The device is already programmed; a failure here is shown and
        // changes nothing else.
        RunOperation(OP_CODE_LEAVE_DFU, leaveImage, path, mapping, 0, nullptr);
        if (leaveImage != nullptr) ImageDestroy(&leaveImage);
      }
    }
  }
  for (ImageHandle* copy : {&verifyCopy, &upgradeCopy, &eraseCopy}) {
    if (*copy != nullptr) ImageDestroy(copy);
  }
}

}  // namespace

bool RunOperation(OperationCode opCode, ImageHandle image, const char* devicePath,
                  const MemoryMapping* mapping, uint8_t skipBlankBlocks,
                  ImageHandle comparisonImage) {
  OperationContext context;
  FillContext(opCode, image, devicePath, skipBlankBlocks, &context);
  if (image != nullptr && mapping != nullptr) {
    // A refused fit leaves the image as it was; the operation then shows
    // what the device makes of it.
    ImageFitToMapping(image, mapping, opCode, skipBlankBlocks);
  }
  // The caller's line shows "00%" until the operation reports progress.
  CProgressLine line;
  OperationId id = OP_INVALID_ID;
  const StatusCode launched =
      opCode < 0 ? OP_ERR_BAD_PARAMETER : LaunchOperation(&context, &id);
  if (launched != RESULT_OK) {
    line.Replace("unable to launch operation! ");
    PrintStatusText(launched);
    return false;
  }
  OperationContext snapshot = context;
  return PollOperation(id, opCode, comparisonImage, mapping, &snapshot, &line);
}

void RunUpgradeSequence(const char* dfuPath) {
  std::string devicePath;
  uint8_t deviceDescriptor[DEVICE_DESCRIPTOR_SIZE] = {};
  MemoryMappingArray mapping;
  if (DiscoverDevice(&devicePath, deviceDescriptor, &mapping)) {
    FileHandle file = nullptr;
    uint8_t targetCount = 0;
    const StatusCode opened = DfuFileOpen(dfuPath, &file, &targetCount);
    if (opened != RESULT_OK) {
      ConsolePrintf("Unable to open DFU file [%s]! ", dfuPath);
      PrintStatusText(opened);
    } else {
      ImageHandle target = ReadTargetImage(file, targetCount);
      // The file is closed before any operation touches the device.
      DfuFileClose(file);
      if (target == nullptr) {
        ConsolePrintf("Unable to find data for target [%d] in the dfu file...\n",
                      static_cast<int>(APP_TARGET_ALTERNATE));
      } else {
        RunSteps(target, devicePath, mapping.get());
        ImageDestroy(&target);
      }
    }
  }
  FreeMemoryMapping(&mapping);
}
