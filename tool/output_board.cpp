#include "tool/output_board.h"

#include "platform/terminal.h"
#include "tool/progress_bar.h"
#include "tool/tool_output.h"

size_t COutputBoard::AddRow(const std::string& text) {
  std::lock_guard<std::mutex> guard(mutex_);
  // A row that wrapped would take two lines and the rows below would be
  // redrawn one line too high.
  ToolWriteStdout(CutToColumns(text, TerminalColumns()) + "\n");
  return rows_++;
}

void COutputBoard::SetRow(size_t row, const std::string& text) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (row >= rows_) return;
  // Up to the row, redraw it (clearing what a longer text left), back down.
  const std::string up = std::to_string(rows_ - row);
  ToolWriteStdout("\x1b[" + up + "A\r" + CutToColumns(text, TerminalColumns()) + "\x1b[K\x1b[" +
                  up + "B\r");
}

void COutputBoard::Write(const std::string& text, std::FILE* stream) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (stream == stdout) {
    ToolWriteStdout(text);
    return;
  }
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
}
