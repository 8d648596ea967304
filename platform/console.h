// The console: what the user sees and types.
#ifndef ZUVA_PLATFORM_CONSOLE_H_
#define ZUVA_PLATFORM_CONSOLE_H_

// Formatted output to standard output; every message reaches the console at
// once (no buffering across messages).
void ConsolePrintf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Reads one character from standard input; -1 at end of input.
int ConsoleReadChar();

#endif  // ZUVA_PLATFORM_CONSOLE_H_
