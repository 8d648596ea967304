// Standard output through a pipe whose reader has gone, as `ZUVA fw.bin | more`
// after more quits: the write fails with the system's broken pipe, which the
// C runtime reports as EINVAL or EPIPE, and the run is interrupted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/console.h"
#include "platform/interrupt.h"

namespace {

TEST(Win32Console, AWriteToAPipeWhoseReaderHasGoneInterruptsTheRun) {
  PlatformClearInterrupt();
  HANDLE reader = nullptr;
  HANDLE writer = nullptr;
  ASSERT_TRUE(CreatePipe(&reader, &writer, nullptr, 0));
  const int pipeFd = _open_osfhandle(reinterpret_cast<intptr_t>(writer), _O_WRONLY);
  ASSERT_GE(pipeFd, 0);
  std::fflush(stdout);
  const int savedFd = _dup(_fileno(stdout));
  ASSERT_GE(savedFd, 0);
  ASSERT_EQ(_dup2(pipeFd, _fileno(stdout)), 0);
  CloseHandle(reader);
  ConsolePrintf("nobody reads this %d\n", 1);
  const bool interrupted = PlatformInterrupted();
  const int exitCode = PlatformInterruptExitCode();
  // Standard output back to the test runner before anything is reported.
  _dup2(savedFd, _fileno(stdout));
  _close(savedFd);
  _close(pipeFd);
  std::clearerr(stdout);
  PlatformClearInterrupt();
  EXPECT_TRUE(interrupted);
  EXPECT_EQ(exitCode, ERROR_BROKEN_PIPE);
}

// A failure that is not a lost reader interrupts nothing.
TEST(Win32Console, OnlyABrokenPipeCountsAsALostReader) {
  SetLastError(ERROR_NO_DATA);
  EXPECT_TRUE(PlatformOutputReaderGone(EINVAL));
  SetLastError(ERROR_BROKEN_PIPE);
  EXPECT_TRUE(PlatformOutputReaderGone(EPIPE));
  SetLastError(ERROR_DISK_FULL);
  EXPECT_FALSE(PlatformOutputReaderGone(EINVAL));
  SetLastError(ERROR_NO_DATA);
  EXPECT_FALSE(PlatformOutputReaderGone(ENOSPC));
}

}  // namespace
