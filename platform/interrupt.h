// Interruption of the run: by the operator (Ctrl-C, Ctrl-Break, closing the
// console), by the system (SIGTERM, SIGHUP), or by the loss of standard
// output (a reader that went away from the pipe). The first interruption is
// only recorded: the console thread sees it within one poll, stops the
// running operation as a halt does (abort request, device closed), releases
// everything in the usual order and leaves with PlatformInterruptExitCode().
// A second interruption ends the process at once.
#ifndef ZUVA_PLATFORM_INTERRUPT_H_
#define ZUVA_PLATFORM_INTERRUPT_H_

// Installs the handlers (POSIX: SIGINT, SIGTERM and SIGHUP, with SIGPIPE
// ignored so that a write to a closed pipe fails instead of killing the
// process; Windows: the console control handler). Called once by the
// program at start-up, never by tests.
void PlatformInstallInterruptHandlers();

// True once the run has been interrupted.
bool PlatformInterrupted();

// Records the loss of standard output as an interruption.
void PlatformInterruptForLostOutput();

// True when the write to standard output that just failed with `errorNumber`
// (errno) failed because the reader of its pipe has gone: EPIPE on POSIX; on
// Windows the system's ERROR_NO_DATA or ERROR_BROKEN_PIPE, which the C
// runtime reports as EINVAL or EPIPE.
bool PlatformOutputReaderGone(int errorNumber);

// The exit code the interruption calls for: 128 + the signal's number on
// POSIX (130 for SIGINT, 141 for a lost output); STATUS_CONTROL_C_EXIT on
// Windows (ERROR_BROKEN_PIPE for a lost output). 0 when not interrupted.
int PlatformInterruptExitCode();

// Forgets an interruption; lets tests start over.
void PlatformClearInterrupt();

#endif  // ZUVA_PLATFORM_INTERRUPT_H_
