// Where the outputs of several devices that work at the same time meet: one
// lock around every write, so that lines never interleave, and on a terminal
// one line per device, redrawn in place above the cursor.
#ifndef ZUVA_TOOL_OUTPUT_BOARD_H_
#define ZUVA_TOOL_OUTPUT_BOARD_H_

#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>

class COutputBoard {
 public:
  COutputBoard() = default;
  COutputBoard(const COutputBoard&) = delete;
  COutputBoard& operator=(const COutputBoard&) = delete;

  // Opens a line for a device below the ones already open and returns its
  // row. Rows are opened before the devices start, on a terminal only. A
  // row's text is cut to the terminal's width.
  size_t AddRow(const std::string& text);
  // Redraws a row in place; the cursor stays below the last row.
  void SetRow(size_t row, const std::string& text);
  // Whole lines to a stream.
  void Write(const std::string& text, std::FILE* stream = stdout);

 private:
  std::mutex mutex_;
  size_t rows_ = 0;
};

#endif  // ZUVA_TOOL_OUTPUT_BOARD_H_
