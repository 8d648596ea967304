#include "platform/terminal.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {

// Cleared by a resize; lock-free, so safe to touch from a signal handler.
std::atomic<bool> g_columnsKnown{false};
std::atomic<int> g_columns{0};
std::once_flag g_following;

void OnResize(int /*number*/) { g_columnsKnown.store(false); }

void FollowResizes() {
  struct sigaction action = {};
  action.sa_handler = OnResize;
  sigemptyset(&action.sa_mask);
  // A resize must not cut short a read or a transfer in progress.
  action.sa_flags = SA_RESTART;
  sigaction(SIGWINCH, &action, nullptr);
}

}  // namespace

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

int TerminalColumns() {
  std::call_once(g_following, FollowResizes);
  // Marked known before the question: a resize while it is asked marks it
  // unknown again, and the next call asks anew.
  if (!g_columnsKnown.exchange(true)) {
    struct winsize size = {};
    g_columns.store(ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0);
  }
  return g_columns.load();
}
