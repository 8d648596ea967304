#include "tool/engine_step.h"

#include <algorithm>
#include <functional>

#include "dfufiles/image_registry.h"
#include "tool/engine_images.h"
#include "tool/engine_run.h"

StatusCode RunEngineStep(const EngineStep& step, const std::string& devicePath, CToolOutput* out) {
  if (step.image != nullptr && step.fitTo != nullptr) {
    ImageFitToMapping(step.image, step.fitTo, step.opCode, step.skipBlank);
  }
  out->StepBegin(step.name, step.alternate, step.bytes);
  std::function<void(const std::string&)> note;
  if (step.noteLongWait) note = [out](const std::string& text) { out->Note(text); };
  const StatusCode status = RunEngineOperation(
      step.opCode, step.image, devicePath, step.skipBlank,
      [out](uint8_t percent) { out->Progress(percent); }, step.final, step.fastPoll, note,
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
    const auto progress = [out, done, size, length](uint8_t percent) {
      out->Progress(static_cast<uint8_t>((done * 100 + uint64_t{size} * percent) / length));
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
