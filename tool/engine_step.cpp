#include "tool/engine_step.h"

#include <algorithm>
#include <functional>
#include <vector>

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
