// zuvatool: the scripting companion of ZUVA. It never prompts and never
// reads standard input; every outcome is an exit code (see exit_code.h).
// The virtual device, when the environment asks for one, is present for the
// whole run, exactly as for ZUVA.
#include <cstdio>
#include <cstring>

#include "device/device_manager.h"
#include "dfufiles/dfu_file.h"
#include "dfufiles/image.h"
#include "operations/operations.h"
#include "platform/driver_port.h"
#include "platform/interrupt.h"
#include "platform/process.h"
#include "platform/standard_streams.h"
#include "platform/terminal.h"
#include "resources/version.h"
#include "sim/sim_environment.h"
#include "tool/exit_code.h"
#include "tool/system_report.h"
#include "tool/tool_commands.h"
#include "tool/tool_output.h"
#include "tool/tool_help.h"

namespace {

struct CommandEntry {
  const char* name;
  int (*run)(const ToolOptions&, CToolOutput*);
};

constexpr CommandEntry COMMAND_TABLE[] = {
    {"list", RunListCommand},   {"info", RunInfoCommand},   {"convert", RunConvertCommand},
    {"flash", RunFlashCommand}, {"verify", RunVerifyCommand}, {"read", RunReadCommand},
    {"erase", RunEraseCommand},
    {"leave", RunModeCommand},  {"detach", RunModeCommand}, {"unprotect", RunModeCommand},
};

bool AsksForJson(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

int Dispatch(int argc, char** argv) {
  ToolOptions options;
  std::string error;
  if (!ParseToolOptions(argc, argv, &options, &error)) {
    // A known command's own help says what it takes.
    const std::string hint =
        ToolCommandHelpText(options.command).empty()
            ? std::string("Run 'zuvatool --help' for the commands and options.")
            : "Run 'zuvatool " + options.command + " --help' for its options.";
    // A script that asked for JSON reads its result from standard output,
    // whatever went wrong; the option may come after the word that failed.
    if (options.json || AsksForJson(argc, argv)) {
      CToolOutput json(OutputMode::kJson);
      return json.Result(TOOL_EXIT_USAGE, error, hint);
    }
    std::fprintf(stderr, "zuvatool: %s\n%s\n", error.c_str(), hint.c_str());
    return TOOL_EXIT_USAGE;
  }
  if (options.help) {
    const std::string text = options.helpAll           ? ToolFullHelpText()
                             : options.command.empty() ? ToolOverviewText()
                                                       : ToolCommandHelpText(options.command);
    std::fputs(text.c_str(), stdout);
    return TOOL_EXIT_OK;
  }
  if (options.version) {
    std::fputs("zuvatool " ZUVA_VERSION_TEXT "\n", stdout);
    if (options.verbose) PrintSystemReport(stdout);
    return TOOL_EXIT_OK;
  }
  const OutputMode mode = options.json                 ? OutputMode::kJson
                          : StandardOutputIsTerminal() ? OutputMode::kTerminal
                                                       : OutputMode::kPlain;
  CToolOutput out(mode);
  // The capture must be writable before any device is asked anything; a
  // write that fails later is said once and changes no outcome.
  if (options.capturePath) {
    std::string error;
    const auto say = [](const std::string& text) {
      std::fprintf(stderr, "zuvatool: %s\n", text.c_str());
      std::fflush(stderr);
    };
    if (!DriverCaptureStart(*options.capturePath, say, &error)) {
      return out.Result(TOOL_EXIT_FAILED, error);
    }
  }
  for (const CommandEntry& entry : COMMAND_TABLE) {
    if (options.command == entry.name) return entry.run(options, &out);
  }
  return TOOL_EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: a missing standard stream would hand its
  // number to the virtual device's flash file or to the USB library.
  PlatformEnsureStandardStreams();
  PlatformRestrictLibrarySearch();
  // An interruption stops the operation in progress (the device is told to
  // abort), and the run ends with a line, or its result event, that says so.
  PlatformInstallInterruptHandlers();
  SimInstallFromEnvironment();
  CreateDevicesManager();
  // A result that never reached standard output is a failure of its own.
  const int exitCode = ToolFinishOutput(Dispatch(argc, argv));
  ShutdownOperations();
  DriverCaptureStop();
  ImageDestroyAll();
  DfuFileDestroyAll();
  DestroyDevicesManager();
  SimUninstall();
  return exitCode;
}
