// Console dialogue through the C runtime's standard streams on every
// platform. Output is flushed after each message because the progress display
// rewrites a percentage in place and must show every step as it happens.
// Input goes through the runtime as well: on Windows its text mode turns the
// console's "\r\n" into the single line end that the yes/no prompt discards.
//
// A reader that goes away (`ZUVA fw.bin | head -c 10`) ends the run as an
// interruption does: the write fails (EPIPE with SIGPIPE ignored; on Windows
// a broken pipe), and the console thread stops the operation at its next
// poll.
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "platform/console.h"
#include "platform/interrupt.h"

void ConsolePrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  errno = 0;
  std::vfprintf(stdout, format, args);
  va_end(args);
  // The write may fail inside the print itself (a line-buffered stream) or in
  // the flush; the stream's error flag tells either.
  const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
  if (failed && PlatformOutputReaderGone(errno)) PlatformInterruptForLostOutput();
  // Whatever failed, later messages are still tried.
  std::clearerr(stdout);
}

// An interrupted run reads end of input ("no") rather than wait for a key.
int ConsoleReadChar() {
  if (PlatformInterrupted()) return -1;
  const int c = std::getchar();
  return c == EOF ? -1 : c;
}
