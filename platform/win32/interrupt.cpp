// Interruption on Windows: the console control handler, which the system
// calls on a thread of its own.
#include <windows.h>

#include <atomic>
#include <cerrno>

#include "platform/interrupt.h"

namespace {

enum : int { kNone, kControl, kLostOutput };

std::atomic<int> g_cause{kNone};

// How long the handler holds the system back after the console was closed:
// the process is ended when the handler returns (and at the latest after
// five seconds), so it waits while the console thread cleans up.
constexpr DWORD WIN_CLOSE_GRACE_MS = 4500;

BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: {
      int none = kNone;
      // A second interruption: the default handler ends the process.
      if (!g_cause.compare_exchange_strong(none, kControl)) return FALSE;
      if (event == CTRL_CLOSE_EVENT) Sleep(WIN_CLOSE_GRACE_MS);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

void PlatformInstallInterruptHandlers() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

bool PlatformInterrupted() { return g_cause.load() != kNone; }

void PlatformInterruptForLostOutput() {
  int none = kNone;
  g_cause.compare_exchange_strong(none, kLostOutput);
}

int PlatformInterruptExitCode() {
  switch (g_cause.load()) {
    case kControl:
      return static_cast<int>(STATUS_CONTROL_C_EXIT);
    case kLostOutput:
      return ERROR_BROKEN_PIPE;
    default:
      return 0;
  }
}

bool PlatformOutputReaderGone(int errorNumber) {
  if (errorNumber != EINVAL && errorNumber != EPIPE) return false;
  // The runtime's write leaves the system's own error in place.
  const DWORD error = GetLastError();
  return error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE;
}

void PlatformClearInterrupt() { g_cause.store(kNone); }
