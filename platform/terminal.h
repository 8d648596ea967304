// Whether standard output is an interactive terminal that takes the cursor
// controls of redrawn lines (carriage return, "\x1b[K", "\x1b[nA"), so that a
// program can choose between redrawn progress bars and plain lines.
#ifndef ZUVA_PLATFORM_TERMINAL_H_
#define ZUVA_PLATFORM_TERMINAL_H_

bool StandardOutputIsTerminal();

#endif  // ZUVA_PLATFORM_TERMINAL_H_
