#include "tool/progress_bar.h"

#include <gtest/gtest.h>

namespace {

ProgressBarState Download(uint8_t percent) {
  ProgressBarState state;
  state.step = "download";
  state.percent = percent;
  state.totalBytes = 512 * 1024;
  state.doneBytes = state.totalBytes * percent / 100;
  state.seconds = 3.0;
  return state;
}

// Whatever the width, the line leaves the last column free (a terminal that
// wraps there scrolls the line away) and keeps what matters most.
struct WidthCase {
  int columns;
  bool bytes;  // "262.1 KiB / 512.0 KiB" still shown
  bool rate;
  bool bar;
};

TEST(ProgressBar, FitsTheTerminalsWidthDroppingTheLeastUsefulFirst) {
  const WidthCase cases[] = {
      {120, true, true, true}, {80, true, true, true}, {60, true, false, true},
      {40, false, false, true}, {20, false, false, false}, {5, false, false, false},
  };
  for (const WidthCase& c : cases) {
    const std::string line = ProgressBarText(Download(51), c.columns);
    EXPECT_LT(line.size(), static_cast<size_t>(c.columns)) << c.columns << ": " << line;
    EXPECT_EQ(line.find("KiB /") != std::string::npos, c.bytes) << c.columns << ": " << line;
    EXPECT_EQ(line.find("KiB/s") != std::string::npos, c.rate) << c.columns << ": " << line;
    EXPECT_EQ(line.find('[') != std::string::npos, c.bar) << c.columns << ": " << line;
    if (c.columns >= 20) {
      EXPECT_EQ(line.rfind("download", 0), 0u) << line;
      EXPECT_NE(line.find(" 51%"), std::string::npos) << line;
    }
  }
  // A width that cannot be told gives the whole line, as wide as ever.
  const std::string whole = ProgressBarText(Download(51), 0);
  EXPECT_NE(whole.find("[############............] "), std::string::npos) << whole;
  EXPECT_NE(whole.find("left"), std::string::npos) << whole;
}

TEST(ProgressBar, AStepWithoutASizeShowsItsNameAlone) {
  ProgressBarState leave;
  leave.step = "leave";
  EXPECT_EQ(ProgressBarText(leave, 80), "leave...");
  leave.final = true;
  leave.percent = 100;
  EXPECT_EQ(ProgressBarText(leave, 80), "leave... done");
  EXPECT_EQ(ProgressBarText(leave, 6), "leave");
}

TEST(ProgressBar, KeepsItsLengthFromOneRedrawToTheNext) {
  // The numbers keep their width, so that the bar does not jump as they grow.
  const size_t first = ProgressBarText(Download(1), 80).size();
  for (int percent : {9, 10, 50, 99}) {
    EXPECT_EQ(ProgressBarText(Download(static_cast<uint8_t>(percent)), 80).size(), first) << percent;
  }
}

TEST(ProgressBar, TimeLeftIsRoundedUp) {
  EXPECT_EQ(SecondsLeft(100, 200, 1.0), 1u);
  EXPECT_EQ(SecondsLeft(1000, 1001, 10.0), 1u);  // 0.01 s is not 0:00
  EXPECT_EQ(SecondsLeft(200, 200, 1.0), 0u);
  EXPECT_EQ(SecondsLeft(30, 100, 1.0), 3u);  // 2.33 s
  ProgressBarState state = Download(99);
  EXPECT_NE(ProgressBarText(state, 120).find("0:01 left"), std::string::npos)
      << ProgressBarText(state, 120);
}

// The engine's percentage counts erased sectors; the bytes weight them by
// size. Sectors of the default map: four of 16 KiB, one of 64 KiB, three of
// 128 KiB.
TEST(ErasedBytes, WeightsTheEnginesSectorCountBySize) {
  const std::vector<uint32_t> sectors = {0x4000, 0x4000, 0x4000, 0x4000,
                                         0x10000, 0x20000, 0x20000, 0x20000};
  struct Case {
    uint32_t elementIndex;
    uint8_t percent;
    uint64_t bytes;
  };
  const Case cases[] = {
      {0xFFFFFFFF, 0, 0},        // nothing started
      {0, 0, 0},                 // the first sector in progress
      {0, 12, 0x4000},           // the first done, not yet moved on
      {1, 12, 0x4000},           // moved on to the second
      {4, 61, 0x20000},          // five done: 64 KiB erased of the 128 KiB...
      {5, 61, 0x20000},          // ...while the first 128 KiB sector is erased
      {7, 99, 0x80000},          // all done
      {7, 100, 0x80000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ErasedBytes(sectors, c.elementIndex, c.percent), c.bytes)
        << c.elementIndex << " at " << int{c.percent};
  }
  // With more sectors than percentages the bar stays behind, never ahead.
  const std::vector<uint32_t> pages(200, 1024);
  EXPECT_EQ(ErasedBytes(pages, 10, 4), 10u * 1024);
  EXPECT_EQ(ErasedBytes(pages, 10, 5), 11u * 1024);
}

}  // namespace
