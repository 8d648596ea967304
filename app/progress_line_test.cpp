#include "app/progress_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Captured(void (*body)()) {
  ::testing::internal::CaptureStdout();
  body();
  return ::testing::internal::GetCapturedStdout();
}

// The backspaces always cover exactly what the line shows: three characters
// for a percentage below 100, four for "100%".
TEST(ProgressLine, EachValueAndTheLastWordsEraseExactlyTheShownValue) {
  EXPECT_EQ(Captured([] {
              CProgressLine line = CProgressLine::Start("Target 00: Erasing... ");
              line.Show(7);
              line.Show(42);
              line.Show(100);
              line.Replace("finished.\n");
            }),
            "Target 00: Erasing... 00%\b\b\b07%\b\b\b42%\b\b\b100%\b\b\b\bfinished.\n");
  EXPECT_EQ(Captured([] {
              CProgressLine line;
              line.Show(3);
              line.Replace("operation failed! ");
            }),
            "\b\b\b03%\b\b\boperation failed! ");
}

}  // namespace
