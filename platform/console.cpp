// Console dialogue through the C runtime's standard streams on every
// platform. Output is flushed after each message because the progress display
// rewrites a percentage in place and must show every step as it happens.
// Input goes through the runtime as well: on Windows its text mode turns the
// console's "\r\n" into the single line end that the yes/no prompt discards.
#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

void ConsolePrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}

int ConsoleReadChar() {
  const int c = std::getchar();
  return c == EOF ? -1 : c;
}
