// Interruption on POSIX: signal handlers that record the first signal.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/interrupt.h"

namespace {

// Lock-free, so safe to touch from a signal handler.
std::atomic<int> g_signal{0};
pthread_t g_consoleThread;

void OnSignal(int number) {
  // A signal is delivered to any thread that does not block it; the console
  // thread must get it so that a read it is blocked in returns (EINTR).
  if (!pthread_equal(pthread_self(), g_consoleThread)) {
    pthread_kill(g_consoleThread, number);
    return;
  }
  int none = 0;
  if (!g_signal.compare_exchange_strong(none, number)) _exit(128 + number);
}

}  // namespace

void PlatformInstallInterruptHandlers() {
  g_consoleThread = pthread_self();
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read returns at the signal
  for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

bool PlatformInterrupted() { return g_signal.load() != 0; }

void PlatformInterruptForLostOutput() {
  int none = 0;
  g_signal.compare_exchange_strong(none, SIGPIPE);
}

int PlatformInterruptExitCode() {
  const int number = g_signal.load();
  return number == 0 ? 0 : 128 + number;
}

bool PlatformOutputReaderGone(int errorNumber) { return errorNumber == EPIPE; }

void PlatformClearInterrupt() { g_signal.store(0); }
