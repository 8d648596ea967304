#include "platform/terminal.h"

#include <unistd.h>

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }
