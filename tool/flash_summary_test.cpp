#include "tool/flash_summary.h"

#include <gtest/gtest.h>

#include <vector>

#include "tool/exit_code.h"

namespace {

struct WorstCase {
  const char* name;
  std::vector<int> exits;
  int worst;
};

class WorstExitCodeTest : public testing::TestWithParam<WorstCase> {};

TEST_P(WorstExitCodeTest, IsTheMostSevereOutcomeNotTheLargestNumber) {
  std::vector<DeviceRecord> records;
  for (int code : GetParam().exits) records.push_back({"sim:0", "", code, "", 0});
  EXPECT_EQ(WorstExitCode(records), GetParam().worst);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorstExitCodeTest,
    testing::Values(WorstCase{"NoDevice", {}, TOOL_EXIT_OK},
                    WorstCase{"AllSucceeded", {0, 0}, TOOL_EXIT_OK},
                    WorstCase{"FailedOutranksCannotOpen", {6, 1, 0}, TOOL_EXIT_FAILED},
                    WorstCase{"CannotOpenOutranksBadInput", {3, 6}, TOOL_EXIT_CANNOT_OPEN},
                    WorstCase{"UnusableOptionsOutrankSuccessNotBadInput", {0, 2, 0}, TOOL_EXIT_USAGE},
                    WorstCase{"BadInputOutranksUnusableOptions", {2, 3}, TOOL_EXIT_BAD_INPUT},
                    WorstCase{"VerifyOutranksFailed", {1, 7, 1}, TOOL_EXIT_VERIFY}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SummaryTable, AlignsTheColumnsUnderTheHeading) {
  const std::string table = SummaryTable(
      {{"sim:0", "SIM0001", 0, "", 1234}, {"sim:12", "", 1, "download failed: gone", 50}});
  EXPECT_EQ(table,
            "Device  Serial   Result                 Time\n"
            "sim:0   SIM0001  ok                     1.2 s\n"
            "sim:12  -        download failed: gone  0.1 s\n");
}

}  // namespace
