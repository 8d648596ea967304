#include "tool/output_board.h"

size_t COutputBoard::AddRow(const std::string& text) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::fputs((text + "\n").c_str(), stdout);
  std::fflush(stdout);
  return rows_++;
}

void COutputBoard::SetRow(size_t row, const std::string& text) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (row >= rows_) return;
  // Up to the row, redraw it (clearing what a longer text left), back down.
  const std::string up = std::to_string(rows_ - row);
  std::fputs(("\x1b[" + up + "A\r" + text + "\x1b[K\x1b[" + up + "B\r").c_str(), stdout);
  std::fflush(stdout);
}

void COutputBoard::Write(const std::string& text, std::FILE* stream) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
}
