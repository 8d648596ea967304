// Where the tool reports what it does: progress bars redrawn in place on a
// terminal, plain lines otherwise, or one JSON object per line with --json.
// Errors and hints go to standard error in the text modes and into the
// result event with --json; standard output then holds JSON only.
//
// When several devices work at once each has an output of its own on a
// shared board: its JSON events carry its path as "device", its plain lines
// start with the path, and on a terminal its progress is its own line.
#ifndef ZUVA_TOOL_TOOL_OUTPUT_H_
#define ZUVA_TOOL_TOOL_OUTPUT_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/device_listing.h"
#include "tool/json_line.h"
#include "tool/output_board.h"

enum class OutputMode { kTerminal, kPlain, kJson };

// Text to standard output, flushed at once. A write that fails (a full disk,
// /dev/full) is remembered with its error number for ToolFinishOutput.
void ToolWriteStdout(const std::string& text);
// Flushes what printf left in standard output's buffer, remembering a
// failure the same way.
void ToolFlushStdout();

// Ends the run's output: flushes standard output and, when any write to it
// failed, says so on standard error and gives exit code 1 for a run that
// would have succeeded (a run that failed keeps its own code, which decides).
// Returns the exit code.
int ToolFinishOutput(int exitCode);

class CToolOutput {
 public:
  explicit CToolOutput(OutputMode mode) : mode_(mode) {}
  // The output of the device at `devicePath` on a board; without `steps`
  // its steps and progress are not shown, nor the device in the text modes.
  CToolOutput(OutputMode mode, COutputBoard* board, std::string devicePath, bool steps);

  OutputMode mode() const { return mode_; }
  // Whether this is one device's output on a board of several.
  bool OnBoard() const { return board_ != nullptr; }
  // The device a command works on.
  void Device(const DfuDeviceInfo& device);
  // A step ("erase", "download", "verify", "upload", "leave", ...) on `bytes`
  // bytes (0 when the step has no size).
  void StepBegin(const std::string& step, uint8_t alternate, uint64_t bytes);
  // The step's percentage, and the bytes done when they are not that share
  // of the step's bytes (an erase of sectors of different sizes). Called
  // again with the same values, it redraws a bar whose terminal changed
  // width meanwhile.
  void Progress(uint8_t percent, std::optional<uint64_t> doneBytes = std::nullopt);
  void StepEnd();
  // A line of information in the text modes; nothing with --json.
  void Note(const std::string& text);
  // Ends the run: the result event with --json, else the message (when not
  // empty) on standard error for a failure, on standard output for success;
  // a hint always goes to standard error.
  // Returns the exit code.
  // With --json, `sectors` (a read-back's differing sectors) go into the
  // event as a list of addresses.
  int Result(int exitCode, const std::string& message, const std::string& hint = {},
             std::optional<uint32_t> address = std::nullopt,
             const std::vector<uint32_t>& sectors = {});
  // A whole JSON line (for list and info).
  void JsonLine(const std::string& json);
  // A device of a board: how its work ended. With --json the device's result
  // event; else its row on a terminal, and a line (standard error for a
  // failure) otherwise.
  void Outcome(int exitCode, const std::string& message, std::optional<uint32_t> address,
               const std::vector<uint32_t>& sectors = {});

 private:
  void DrawBar(bool final);
  // An event object, with the device's path on a board.
  CJsonObject Event(const char* name) const;
  // Text to standard output, through the board when there is one.
  void Emit(const std::string& text);
  // A plain line, starting with the device's path on a board.
  std::string Tagged(const std::string& text) const;
  bool ShowsSteps() const { return board_ == nullptr || steps_; }

  OutputMode mode_;
  COutputBoard* board_ = nullptr;
  std::string device_;
  bool steps_ = true;
  size_t row_ = 0;
  std::string step_;
  uint64_t stepBytes_ = 0;
  uint8_t percent_ = 0;
  uint64_t doneBytes_ = 0;
  int barColumns_ = 0;  // the terminal's width when the bar was last drawn
  bool barShown_ = false;
  std::chrono::steady_clock::time_point stepStart_;
};

#endif  // ZUVA_TOOL_TOOL_OUTPUT_H_
