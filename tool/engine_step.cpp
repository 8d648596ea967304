#include "tool/engine_step.h"

#include <algorithm>
#include <functional>
#include <vector>

#include "dfufiles/image_registry.h"
#include "tool/engine_images.h"
#include "tool/engine_run.h"
#include "tool/progress_bar.h"

StatusCode RunEngineStep(const EngineStep& step, const std::string& devicePath, CToolOutput* out) {
  if (step.image != nullptr && step.fitTo != nullptr) {
    ImageFitToMapping(step.image, step.fitTo, step.opCode, step.skipBlank);
  }
  // The engine counts an erase in sectors; sectors of 16 and 128 KiB are
  // not the same share of the work, so its bar counts their bytes. The
  // fitted image names each sector by its address.
  std::vector<uint32_t> sectors;
  uint64_t sectorBytes = 0;
  const MemoryMapping* map = step.fitTo != nullptr ? step.fitTo : step.erasedMap;
  if (step.opCode == OP_CODE_ERASE && step.image != nullptr && map != nullptr) {
    for (uint32_t i = 0; i < step.image->ElementCount(); ++i) {
      const uint32_t address = step.image->ElementAt(i)->address;
      uint32_t size = 0;
      for (const MappingSector& sector : map->sectors) {
        if (sector.startAddress == address) size = sector.sectorSize;
      }
      sectors.push_back(size);
      sectorBytes += size;
    }
  }
  out->StepBegin(step.name, step.alternate, step.bytes);
  std::function<void(const std::string&)> note;
  if (step.noteLongWait) note = [out](const std::string& text) { out->Note(text); };
  const std::function<void(const OperationContext&)> progress =
      [&](const OperationContext& record) {
        if (sectorBytes == 0 || record.progress >= 100) {
          out->Progress(record.progress);
          return;
        }
        const uint64_t erased = ErasedBytes(sectors, record.elementIndex, record.progress);
        out->Progress(static_cast<uint8_t>(std::min<uint64_t>(99, erased * 100 / sectorBytes)),
                      step.bytes * erased / sectorBytes);
      };
  const StatusCode status = RunEngineOperation(step.opCode, step.image, devicePath, step.skipBlank,
                                               progress, step.final, step.fastPoll, note,
                                               step.uploadSink);
  if (status == RESULT_OK) out->StepEnd();
  return status;
}

StatusCode RunUploadInPieces(const EngineStep& step, uint32_t start, uint64_t length, uint32_t piece,
                             const UploadPieceTaker& take, const std::string& devicePath, CToolOutput* out) {
  out->StepBegin(step.name, step.alternate, step.bytes);
  std::function<void(const std::string&)> note;
  if (step.noteLongWait) note = [out](const std::string& text) { out->Note(text); };
  for (uint64_t done = 0; done < length;) {
    const uint32_t at = static_cast<uint32_t>(start + done);
    const uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(piece, length - done));
    CImage wanted(step.alternate, 0, nullptr);
    wanted.AppendFilled(at, size, 0xFF);
    CImageHolder image(MakeImage(std::move(wanted)));
    if (image.get() == nullptr) return TOOL_OUT_OF_MEMORY;
    if (step.fitTo != nullptr) ImageFitToMapping(image.get(), step.fitTo, step.opCode, step.skipBlank);
    // Each piece's percentage, as a share of the whole range.
    const std::function<void(const OperationContext&)> progress =
        [out, done, size, length](const OperationContext& record) {
          out->Progress(static_cast<uint8_t>((done * 100 + uint64_t{size} * record.progress) / length));
        };
    StatusCode status = RunEngineOperation(step.opCode, image.get(), devicePath, step.skipBlank, progress,
                                           step.final, step.fastPoll, note, step.uploadSink);
    if (status == RESULT_OK) status = take(FindImage(image.get())->Records(), at, size);
    if (status != RESULT_OK) return status;
    done += size;
  }
  out->StepEnd();
  return RESULT_OK;
}
