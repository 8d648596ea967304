#include "tool/progress_bar.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr size_t TOOL_STEP_NAME_WIDTH = 10;
constexpr int TOOL_BAR_MAX = 24;  // filling characters between the brackets
constexpr int TOOL_BAR_MIN = 6;   // below this the other parts go first

std::string Kib(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
  return text;
}

std::string Padded(std::string text, size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

std::string MinutesSeconds(uint64_t seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                static_cast<unsigned long long>(seconds % 60));
  return text;
}

std::string Bar(uint8_t percent, int width) {
  const int filled = percent * width / 100;
  return "[" + std::string(static_cast<size_t>(filled), '#') +
         std::string(static_cast<size_t>(width - filled), '.') + "] ";
}

}  // namespace

std::string CutToColumns(const std::string& text, int columns) {
  if (columns <= 0 || text.size() < static_cast<size_t>(columns)) return text;
  size_t end = static_cast<size_t>(columns - 1);
  // Not inside a character: continuation bytes are 10xxxxxx.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

uint64_t SecondsLeft(uint64_t doneBytes, uint64_t totalBytes, double seconds) {
  if (doneBytes >= totalBytes) return 0;
  const double rate = static_cast<double>(doneBytes) / seconds;
  return static_cast<uint64_t>(std::ceil(static_cast<double>(totalBytes - doneBytes) / rate));
}

std::string ProgressBarText(const ProgressBarState& state, int columns) {
  // Nothing to measure: the step's name until it is done.
  if (state.totalBytes == 0) return CutToColumns(state.step + (state.final ? "... done" : "..."), columns);
  std::string name = state.step;
  name.resize(std::max(TOOL_STEP_NAME_WIDTH, name.size() + 1), ' ');
  char text[16];
  std::snprintf(text, sizeof text, "%3d%%", state.percent);
  const std::string percent = text;
  // The optional parts, each with the two spaces that lead it. Numbers keep
  // their width from one redraw to the next, so the bar does not jitter.
  const std::string total = Kib(static_cast<double>(state.totalBytes));
  const std::string bytes =
      "  " + Padded(Kib(static_cast<double>(state.doneBytes)), total.size()) + " / " + total;
  std::string rate, time;
  if (state.seconds > 0.05 && state.doneBytes > 0) {
    const double perSecond = static_cast<double>(state.doneBytes) / state.seconds;
    rate = "  " + Padded(Kib(perSecond) + "/s", 12);
    time = state.final
               ? "  " + MinutesSeconds(static_cast<uint64_t>(state.seconds)) + " total"
               : "  " +
                     Padded(MinutesSeconds(SecondsLeft(state.doneBytes, state.totalBytes, state.seconds)), 4) +
                     " left";
  }
  if (columns <= 0) {
    return name + Bar(state.percent, TOOL_BAR_MAX) + percent + bytes + rate + time;
  }
  const size_t room = static_cast<size_t>(columns - 1);
  // The parts after the percentage, the most useful kept longest.
  const std::string tails[] = {bytes + rate + time, bytes + time, time, ""};
  for (const std::string& tail : tails) {
    const size_t fixed = name.size() + 3 + percent.size() + tail.size();  // 3: "[", "] "
    if (fixed + TOOL_BAR_MIN > room) continue;
    const int width = static_cast<int>(std::min<size_t>(TOOL_BAR_MAX, room - fixed));
    return name + Bar(state.percent, width) + percent + tail;
  }
  // No room for a bar: the name and the percentage, cut if they must be.
  return CutToColumns(state.step + " " + percent, columns);
}

uint64_t ErasedBytes(const std::vector<uint32_t>& sectorSizes, uint32_t elementIndex,
                     uint8_t percent) {
  const uint64_t count = sectorSizes.size();
  if (count == 0) return 0;
  uint64_t done = 0;
  if (percent >= 100) {
    done = count;
  } else {
    // Before the first sector the index reads as none (0xFFFFFFFF).
    const uint64_t index = elementIndex >= count ? 0 : elementIndex;
    // With fewer than 100 sectors each one moves the percentage, so it tells
    // which of the two the index is; with more, the lower is taken, so that
    // the bar is never ahead of the device.
    const bool indexDone = (index + 1) * 99 / count == percent && index * 99 / count != percent;
    done = indexDone ? index + 1 : index;
  }
  uint64_t bytes = 0;
  for (uint64_t i = 0; i < done && i < count; ++i) bytes += sectorSizes[i];
  return bytes;
}
