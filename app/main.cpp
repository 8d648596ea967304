// Program entry. The virtual device, when the environment asks for one, is
// present for the whole run; its flash file follows its memory as it changes.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/program_flow.h"
#include "platform/driver_port.h"
#include "platform/interrupt.h"
#include "platform/process.h"
#include "platform/standard_streams.h"
#include "sim/sim_environment.h"

namespace {

// ZUVA_CAPTURE names a file that receives every USB control transfer of the
// run as a capture Wireshark reads. The console's bytes stay the program's
// own: a capture that cannot be made or written is said on standard error,
// once, and changes nothing else.
void CaptureFromEnvironment() {
  const char* path = std::getenv("ZUVA_CAPTURE");
  if (path == nullptr || *path == '\0') return;
  const auto say = [](const std::string& text) {
    std::fprintf(stderr, "ZUVA: %s\n", text.c_str());
    std::fflush(stderr);
  };
  std::string error;
  if (!DriverCaptureStart(path, say, &error)) say(error);
}

}  // namespace

int main(int argc, char** argv) {
  PlatformRestrictLibrarySearch();
  PlatformEnsureStandardStreams();
  PlatformInstallInterruptHandlers();
  // A refused setting is reported on standard error and leaves no virtual
  // device; the run goes on as it would without one.
  SimInstallFromEnvironment();
  CaptureFromEnvironment();
  const int exitCode = RunProgram(argc, argv);
  DriverCaptureStop();
  SimUninstall();
  // An interrupted run has stopped its operation and released everything;
  // its exit code says it was interrupted.
  return PlatformInterrupted() ? PlatformInterruptExitCode() : exitCode;
}
