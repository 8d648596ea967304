// Program entry. The virtual device, when the environment asks for one, is
// present for the whole run; its flash file follows its memory as it changes.
#include "app/program_flow.h"
#include "platform/interrupt.h"
#include "platform/process.h"
#include "platform/standard_streams.h"
#include "sim/sim_environment.h"

int main(int argc, char** argv) {
  PlatformRestrictLibrarySearch();
  PlatformEnsureStandardStreams();
  PlatformInstallInterruptHandlers();
  // A refused setting is reported on standard error and leaves no virtual
  // device; the run goes on as it would without one.
  SimInstallFromEnvironment();
  const int exitCode = RunProgram(argc, argv);
  SimUninstall();
  // An interrupted run has stopped its operation and released everything;
  // its exit code says it was interrupted.
  return PlatformInterrupted() ? PlatformInterruptExitCode() : exitCode;
}
