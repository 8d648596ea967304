// The program's run: the command line, the choice of raw image, the
// conversion and the upgrade, the final prompt and the clean-up of every
// process-wide object.
#ifndef ZUVA_APP_PROGRAM_FLOW_H_
#define ZUVA_APP_PROGRAM_FLOW_H_

// Returns the exit code: 1 when the program cannot start, the named file does
// not exist or no DfuSe file could be made; 0 otherwise, whatever the outcome
// of the upgrade.
int RunProgram(int argc, const char* const* argv);

#endif  // ZUVA_APP_PROGRAM_FLOW_H_
