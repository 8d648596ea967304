#include "sim/fault_plan.h"

#include <gtest/gtest.h>

namespace {

TEST(SimFaultPlan, ParsesEveryKind) {
  SimFaultPlan plan;
  std::string error;
  ASSERT_TRUE(SimParseFaultPlan(
      "stall@5, status=0x0A@9,status=0x00:6@12,unplug@20,corrupt@0x08000010", &plan, &error))
      << error;
  ASSERT_EQ(plan.faults.size(), 5u);
  ASSERT_NE(plan.At(SimFaultKind::kStall, 5), nullptr);
  EXPECT_EQ(plan.At(SimFaultKind::kStall, 6), nullptr);
  const SimFault* status = plan.At(SimFaultKind::kStatus, 9);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->status, 0x0A);
  EXPECT_EQ(status->state, 10) << "dfuERROR unless a state is given";
  status = plan.At(SimFaultKind::kStatus, 12);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->status, 0x00);
  EXPECT_EQ(status->state, 6);
  EXPECT_NE(plan.At(SimFaultKind::kUnplug, 20), nullptr);
  EXPECT_EQ(plan.BadCells(), std::set<uint32_t>{0x08000010});
}

TEST(SimFaultPlan, ParsesAnnouncedWaitsAnswerLengthsAndReturns) {
  SimFaultPlan plan;
  std::string error;
  ASSERT_TRUE(SimParseFaultPlan("poll=0xFFFFFF@4-,status-length=3@6-7,upload-length=0x10000@9,replug@12,late=7000@20-21", &plan,
                                &error))
      << error;
  const SimFault* poll = plan.At(SimFaultKind::kPoll, 1000);
  ASSERT_NE(poll, nullptr);
  EXPECT_EQ(poll->value, 0xFFFFFFu);
  EXPECT_EQ(plan.At(SimFaultKind::kPoll, 3), nullptr);
  ASSERT_NE(plan.At(SimFaultKind::kStatusLength, 7), nullptr);
  EXPECT_EQ(plan.At(SimFaultKind::kStatusLength, 7)->value, 3u);
  EXPECT_EQ(plan.At(SimFaultKind::kStatusLength, 8), nullptr);
  EXPECT_EQ(plan.At(SimFaultKind::kUploadLength, 7), nullptr);
  ASSERT_NE(plan.At(SimFaultKind::kUploadLength, 9), nullptr);
  EXPECT_EQ(plan.At(SimFaultKind::kUploadLength, 9)->value, 0x10000u) << "one byte past any wLength";
  EXPECT_NE(plan.At(SimFaultKind::kReplug, 12), nullptr);
  EXPECT_EQ(plan.At(SimFaultKind::kReplug, 13), nullptr);
  EXPECT_EQ(plan.At(SimFaultKind::kStatus, 4), nullptr) << "a wait is not a status";
  ASSERT_NE(plan.At(SimFaultKind::kLate, 21), nullptr);
  EXPECT_EQ(plan.At(SimFaultKind::kLate, 21)->value, 7000u);
  EXPECT_EQ(plan.At(SimFaultKind::kLate, 22), nullptr);
}

TEST(SimFaultPlan, RangesStrikeEveryRequestFromTheFirstToTheLast) {
  SimFaultPlan plan;
  std::string error;
  ASSERT_TRUE(SimParseFaultPlan("stall@3-5,status=0x00:4@10-,status=0x0A@7-7", &plan, &error)) << error;
  struct Case {
    SimFaultKind kind;
    uint32_t number;
    bool struck;
  } cases[] = {
      {SimFaultKind::kStall, 2, false},          {SimFaultKind::kStall, 3, true},
      {SimFaultKind::kStall, 5, true},           {SimFaultKind::kStall, 6, false},
      {SimFaultKind::kStatus, 6, false},         {SimFaultKind::kStatus, 7, true},
      {SimFaultKind::kStatus, 8, false},         {SimFaultKind::kStatus, 9, false},
      {SimFaultKind::kStatus, 10, true},         {SimFaultKind::kStatus, 0xFFFFFFFF, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(plan.At(c.kind, c.number) != nullptr, c.struck) << static_cast<int>(c.kind) << "@" << c.number;
  }
  EXPECT_EQ(plan.At(SimFaultKind::kStatus, 12)->state, 4);
  EXPECT_EQ(plan.At(SimFaultKind::kStatus, 7)->status, 0x0A);
}

TEST(SimFaultPlan, EmptyTextIsAnEmptyPlan) {
  SimFaultPlan plan;
  std::string error;
  ASSERT_TRUE(SimParseFaultPlan("", &plan, &error));
  EXPECT_TRUE(plan.faults.empty());
}

TEST(SimFaultPlan, MalformedEntriesAreRefusedByName) {
  const char* cases[] = {"stall",          "stall@0",        "stall@x",  "stall@5,", "jam@5",
                         "status=0x100@3", "status=0x0A:@3", "status@3", "corrupt@", "unplug@5@6",
                         "stall@5-4",    "stall@0-3",      "stall@-3", "stall@3--", "unplug@3-5",
                         "corrupt@0x10-", "status=0x0A@2-x", "poll@3", "poll=0x1000000@3",
                         "poll=@3", "status-length=0x10001@3", "upload-length=x@3", "length=3@3", "replug@3-", "replug=1@3", "late=600001@3", "late@3"};
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    SimFaultPlan plan;
    std::string error;
    EXPECT_FALSE(SimParseFaultPlan(text, &plan, &error));
    EXPECT_NE(error.find("fault plan"), std::string::npos) << error;
  }
}

}  // namespace
