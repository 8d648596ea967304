#include "tool/engine_step.h"

#include <functional>

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
