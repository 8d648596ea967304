#include "tool/tool_output.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/interrupt.h"
#include "platform/terminal.h"
#include "tool/engine_run.h"
#include "tool/exit_code.h"
#include "tool/progress_bar.h"
#include "tool/tool_text.h"

namespace {

// The first error number of a failed write to standard output; 0 while none
// failed. Devices of flash --all write from their own threads.
std::atomic<int> g_stdoutError{0};

void NoteStdoutError(int error) {
  int none = 0;
  g_stdoutError.compare_exchange_strong(none, error != 0 ? error : EIO);
}

void WriteOut(const std::string& text) { ToolWriteStdout(text); }

// A read-back's differing sectors, by start address; none leaves the event
// as it was.
void AddSectors(CJsonObject* event, const std::vector<uint32_t>& sectors) {
  if (sectors.empty()) return;
  std::string list = "[";
  for (uint32_t start : sectors) {
    list += (list.size() > 1 ? "," : "") + JsonQuote(HexText(start, 8));
  }
  event->Raw("sectors", list + "]");
}

}  // namespace

void ToolWriteStdout(const std::string& text) {
  errno = 0;
  if (std::fputs(text.c_str(), stdout) == EOF) NoteStdoutError(errno);
  ToolFlushStdout();
}

void ToolFlushStdout() {
  errno = 0;
  if (std::fflush(stdout) == EOF || std::ferror(stdout)) NoteStdoutError(errno);
}

int ToolFinishOutput(int exitCode) {
  ToolFlushStdout();
  const int error = g_stdoutError.load();
  if (error == 0) return exitCode;
  std::fprintf(stderr, "zuvatool: cannot write to standard output: %s\n", std::strerror(error));
  std::fflush(stderr);
  return exitCode == TOOL_EXIT_OK ? TOOL_EXIT_FAILED : exitCode;
}

CToolOutput::CToolOutput(OutputMode mode, COutputBoard* board, std::string devicePath, bool steps)
    : mode_(mode), board_(board), device_(std::move(devicePath)), steps_(steps) {}

CJsonObject CToolOutput::Event(const char* name) const {
  CJsonObject event;
  event.Text("event", name);
  if (board_ != nullptr) event.Text("device", device_);
  return event;
}

void CToolOutput::Emit(const std::string& text) {
  if (board_ != nullptr) {
    board_->Write(text);
  } else {
    WriteOut(text);
  }
}

std::string CToolOutput::Tagged(const std::string& text) const {
  return board_ != nullptr ? device_ + ": " + text : text;
}

void CToolOutput::Device(const DfuDeviceInfo& device) {
  if (mode_ == OutputMode::kJson) {
    JsonLine(Event("device")
                 .Text("path", device.path)
                 .Text("vid", HexText(device.vendorId, 4))
                 .Text("pid", HexText(device.productId, 4))
                 .Text("serial", device.serial)
                 .Text("mode", device.dfuMode ? "dfu" : "application")
                 .Str());
    return;
  }
  if (!ShowsSteps()) return;
  char text[64];
  std::snprintf(text, sizeof text, "%04x:%04x", device.vendorId, device.productId);
  const std::string line = "Device " + ShownText(device.path) + " (" + text +
                           (device.serial.empty() ? "" : ", serial " + ShownText(device.serial)) + ")";
  if (board_ != nullptr && mode_ == OutputMode::kTerminal && steps_) {
    row_ = board_->AddRow(line);
    return;
  }
  Emit(line + "\n");
}

void CToolOutput::StepBegin(const std::string& step, uint8_t alternate, uint64_t bytes) {
  step_ = step;
  stepBytes_ = bytes;
  percent_ = 0;
  doneBytes_ = 0;
  barShown_ = false;
  stepStart_ = std::chrono::steady_clock::now();
  if (!ShowsSteps()) return;
  if (mode_ == OutputMode::kJson) {
    JsonLine(Event("step").Text("step", step).Number("alt", alternate).Number("bytes", bytes).Str());
  } else if (mode_ == OutputMode::kPlain) {
    // A step without a size (leave, detach, a mass erase) has no bytes to
    // count and no memory of an alternate setting to name.
    Emit(Tagged(bytes == 0 ? step + "...\n"
                           : step + " (alt " + std::to_string(alternate) + ", " +
                                 std::to_string(bytes) + " bytes)...\n"));
  } else {
    DrawBar(false);
  }
}

void CToolOutput::Progress(uint8_t percent, std::optional<uint64_t> doneBytes) {
  const uint64_t done = doneBytes.value_or(stepBytes_ * percent / 100);
  if (percent == percent_ && done == doneBytes_) {
    if (mode_ == OutputMode::kTerminal && ShowsSteps() && TerminalColumns() != barColumns_) {
      DrawBar(false);
    }
    return;
  }
  percent_ = percent;
  doneBytes_ = done;
  if (!ShowsSteps()) return;
  if (mode_ == OutputMode::kJson) {
    JsonLine(Event("progress")
                 .Text("step", step_)
                 .Number("percent", percent)
                 .Number("bytes", done)
                 .Str());
  } else if (mode_ == OutputMode::kTerminal) {
    DrawBar(false);
  }
}

void CToolOutput::StepEnd() {
  percent_ = 100;
  doneBytes_ = stepBytes_;
  if (!ShowsSteps()) return;
  if (mode_ == OutputMode::kTerminal) {
    DrawBar(true);
  } else if (mode_ == OutputMode::kPlain) {
    Emit(Tagged(step_ + " done\n"));
  }
}

void CToolOutput::DrawBar(bool final) {
  ProgressBarState state;
  state.step = step_;
  state.percent = percent_;
  state.doneBytes = doneBytes_;
  state.totalBytes = stepBytes_;
  state.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - stepStart_).count();
  state.final = final;
  barColumns_ = TerminalColumns();
  if (board_ != nullptr) {
    // The board's row starts with the device's path.
    const std::string lead = device_ + "  ";
    const int columns = static_cast<int>(barColumns_ - lead.size());
    board_->SetRow(row_, lead + ProgressBarText(state, barColumns_ > 0 ? std::max(columns, 1) : 0));
    return;
  }
  std::string bar = "\r" + ProgressBarText(state, barColumns_) + "\x1b[K";  // clear what a longer line left
  if (final) bar += "\n";
  barShown_ = !final;
  WriteOut(bar);
}

void CToolOutput::Note(const std::string& text) {
  if (mode_ == OutputMode::kJson) return;
  // A bar drawn in place keeps its line; it is drawn again below.
  if (barShown_) {
    WriteOut("\n");
    barShown_ = false;
  }
  Emit(Tagged(text + "\n"));
}

void CToolOutput::Outcome(int exitCode, const std::string& message,
                          std::optional<uint32_t> address, const std::vector<uint32_t>& sectors) {
  if (mode_ == OutputMode::kJson) {
    CJsonObject result = Event("result");
    result.Number("exit", static_cast<uint64_t>(exitCode));
    if (!message.empty()) result.Text("message", message);
    if (address) result.Text("address", HexText(*address, 8));
    AddSectors(&result, sectors);
    JsonLine(result.Str());
  } else if (board_ != nullptr && mode_ == OutputMode::kTerminal && steps_) {
    board_->SetRow(row_, device_ + "  " + message);
  } else if (exitCode == 0) {
    Emit(Tagged(message + "\n"));
  } else if (board_ != nullptr) {
    board_->Write("zuvatool: " + Tagged(message) + "\n", stderr);
  } else {
    std::fprintf(stderr, "zuvatool: %s\n", message.c_str());
    std::fflush(stderr);
  }
}

int CToolOutput::Result(int exitCode, const std::string& message, const std::string& hint,
                        std::optional<uint32_t> address, const std::vector<uint32_t>& sectors) {
  // A run that an interruption cut short says so in its exit code.
  if (exitCode != 0 && RunInterrupted()) exitCode = PlatformInterruptExitCode();
  if (barShown_) {
    WriteOut("\n");
    barShown_ = false;
  }
  if (mode_ == OutputMode::kJson) {
    CJsonObject result;
    result.Text("event", "result").Number("exit", static_cast<uint64_t>(exitCode));
    if (!message.empty()) result.Text("message", message);
    if (!hint.empty()) result.Text("hint", hint);
    if (address) result.Text("address", HexText(*address, 8));
    AddSectors(&result, sectors);
    JsonLine(result.Str());
    return exitCode;
  }
  if (exitCode == 0) {
    if (!message.empty()) WriteOut(message + "\n");
    if (!hint.empty()) std::fprintf(stderr, "%s\n", hint.c_str());
  } else {
    std::fprintf(stderr, "zuvatool: %s\n", message.c_str());
    if (!hint.empty()) std::fprintf(stderr, "%s\n", hint.c_str());
    std::fflush(stderr);
  }
  return exitCode;
}

void CToolOutput::JsonLine(const std::string& json) { Emit(json + "\n"); }
