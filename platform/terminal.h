// Whether standard output is an interactive terminal that takes the cursor
// controls of redrawn lines (carriage return, "\x1b[K", "\x1b[nA"), so that a
// program can choose between redrawn progress bars and plain lines, and how
// wide that terminal is.
#ifndef ZUVA_PLATFORM_TERMINAL_H_
#define ZUVA_PLATFORM_TERMINAL_H_

bool StandardOutputIsTerminal();

// The width in columns of the terminal that standard output shows on, as it
// is now: a resize is followed (SIGWINCH on POSIX, where the answer is kept
// until the next one; the console's window on Windows, asked at every call).
// 0 when standard output is no terminal or the width cannot be told.
int TerminalColumns();

#endif  // ZUVA_PLATFORM_TERMINAL_H_
