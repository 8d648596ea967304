// One step of a device command on the engine, shown the same way by every
// command: announced with its name, alternate setting and size, run with its
// progress (and a line about a device that asks for a long wait), and marked
// done once the operation reached its end. A failed step is left for the
// command to put into words.
#ifndef ZUVA_TOOL_ENGINE_STEP_H_
#define ZUVA_TOOL_ENGINE_STEP_H_

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "common/memory_mapping.h"
#include "common/operation_code.h"
#include "common/status_code.h"
#include "dfufiles/image.h"
#include "operations/operation_context.h"
#include "tool/tool_output.h"

struct EngineStep {
  const char* name = "";
  OperationCode opCode = OP_CODE_LEAVE_DFU;
  // Used directly, so it must outlive the step; an upload leaves what it
  // read in it, unless it has a sink. Null where the operation needs none.
  ImageHandle image = nullptr;
  uint8_t alternate = 0;  // shown with the step
  uint64_t bytes = 0;     // shown with the step; 0 when it has no size
  // When given, the image is first fitted to this map for opCode.
  const MemoryMapping* fitTo = nullptr;
  // An erase of an image fitted before names its map here (fitTo does for
  // the others): the image holds only the sectors' addresses, and its bar
  // counts the bytes of the sectors erased.
  const MemoryMapping* erasedMap = nullptr;
  // Non-zero: the fit and the download leave out all-0xFF blocks.
  uint32_t skipBlank = 0;
  // The line about a long announced wait; leave and detach never had one.
  bool noteLongWait = true;
  // As RunEngineOperation takes them (tool/engine_run.h).
  bool* fastPoll = nullptr;
  OperationContext* final = nullptr;
  // An upload's blocks go here instead of into the image (tool/engine_run.h).
  CUploadSink* uploadSink = nullptr;
};

// Runs `step` on the device at `devicePath`, reporting to `out`. RESULT_OK
// once the operation reached 100 %, else its failure as RunEngineOperation
// names it.
StatusCode RunEngineStep(const EngineStep& step, const std::string& devicePath, CToolOutput* out);

// What a piece of a read in pieces was: its records, over [start, start +
// length). The receiver returns RESULT_OK to go on, else the failure that
// ends the read.
using UploadPieceTaker =
    std::function<StatusCode(std::span<const ImageElement> elements, uint32_t start, uint32_t length)>;

// An upload of [start, start + length) as consecutive operations of at most
// `piece` bytes each, shown as the one step `step` (whose image is not used),
// so that a range of any size costs one piece's memory: each piece is fitted
// to step.fitTo, read, handed to `take` and released. A range of one piece
// sends the requests a single RunEngineStep would. RESULT_OK, or the first
// failure: a piece's (step.final then holds that piece's record), "out of
// memory" as TOOL_OUT_OF_MEMORY, or the one `take` returned.
StatusCode RunUploadInPieces(const EngineStep& step, uint32_t start, uint64_t length, uint32_t piece,
                             const UploadPieceTaker& take, const std::string& devicePath, CToolOutput* out);

#endif  // ZUVA_TOOL_ENGINE_STEP_H_
