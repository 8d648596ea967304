#include "app/status_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct StatusTextCase {
  StatusCode status;
  const char* expected;
};

class StatusTextTest : public testing::TestWithParam<StatusTextCase> {};

TEST_P(StatusTextTest, PrintsTheLineThatNamesTheStatus) {
  testing::internal::CaptureStdout();
  PrintStatusText(GetParam().status);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, StatusTextTest,
    testing::Values(
        StatusTextCase{RESULT_OK, "Error Code: no error (!)\n"},
        StatusTextCase{OP_ERR_THREAD_LAUNCH,
                       "Error Code: Unable to launch operation (Thread problem)\n"},
        StatusTextCase{OP_ERR_ALREADY_RUNNING, "Error Code: DFU already running\n"},
        StatusTextCase{OP_ERR_BAD_PARAMETER, "Error Code: Bad parameter\n"},
        StatusTextCase{OP_ERR_BAD_FIRMWARE_STATE, "Error Code: Bad state machine in firmware\n"},
        StatusTextCase{OP_ERR_UNEXPECTED, "Error Code: Unexpected error\n"},
        // A device that stays busy beyond the limit reads as before.
        StatusTextCase{OP_ERR_BUSY_TIMEOUT, "Error Code: Unexpected error\n"},
        StatusTextCase{OP_ERR_DFU_ERROR, "Error Code: DFU error\n"},
        StatusTextCase{OP_ERR_RETRY, "Error Code: Retry error\n"},
        // Codes without words of their own, including the engine's last one
        // and an operating-system error number, show their value.
        StatusTextCase{OP_ERR_UNSUPPORTED_FEATURE, "Error Code: Unknown error 0x1234500D.\n"},
        StatusTextCase{DEV_ERR_OPEN_FAILED, "Error Code: Unknown error 0x12340005.\n"},
        StatusTextCase{FILE_ERR_BAD_CONTENT, "Error Code: Unknown error 0x12346005.\n"},
        StatusTextCase{2, "Error Code: Unknown error 0x00000002.\n"},
        StatusTextCase{0xFFFFFFFF, "Error Code: Unknown error 0xFFFFFFFF.\n"}));

}  // namespace
