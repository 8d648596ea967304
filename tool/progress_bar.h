// The progress line that a step redraws in place on a terminal: its name, a
// bar, the percentage, bytes done, rate and time left, fitted to the
// terminal's width so that a redraw never wraps into a new line.
#ifndef ZUVA_TOOL_PROGRESS_BAR_H_
#define ZUVA_TOOL_PROGRESS_BAR_H_

#include <cstdint>
#include <string>
#include <vector>

struct ProgressBarState {
  std::string step;
  uint8_t percent = 0;
  uint64_t doneBytes = 0;
  uint64_t totalBytes = 0;  // 0: the step has no size; its name alone, no bar
  double seconds = 0;       // since the step began
  bool final = false;       // the step is over: the time taken instead of the time left
};

// The line for `state` in at most `columns` - 1 characters (the last column
// is left free: a terminal that wraps there would scroll the line away);
// `columns` 0 means the width is unknown and gives the whole line. What does
// not fit goes in this order: the bar shrinks, then the rate, the bytes and
// the time are left out, then the bar, and last the text is cut.
std::string ProgressBarText(const ProgressBarState& state, int columns);

// `text` cut to at most `columns` - 1 characters on a character boundary of
// UTF-8; whole when `columns` is 0 (unknown).
std::string CutToColumns(const std::string& text, int columns);

// Seconds left at the rate so far, rounded up: a step with any work left
// never says 0:00.
uint64_t SecondsLeft(uint64_t doneBytes, uint64_t totalBytes, double seconds);

// The bytes an erase has erased, weighted by sector size, from what the
// engine publishes: its percentage counts sectors (floor(n * 99 / count)
// after n of them) and `elementIndex` is the sector it last worked on, which
// is either the last one done or, once it moved on, the one in progress.
// `sectorSizes` are the erase image's elements in order.
uint64_t ErasedBytes(const std::vector<uint32_t>& sectorSizes, uint32_t elementIndex,
                     uint8_t percent);

#endif  // ZUVA_TOOL_PROGRESS_BAR_H_
