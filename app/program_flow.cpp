#include "app/program_flow.h"

#include <cstring>
#include <string>

#include "app/console_prompt.h"
#include "app/convert_raw_image.h"
#include "app/dfu_path.h"
#include "app/upgrade_sequence.h"
#include "device/device_manager.h"
#include "dfufiles/dfu_file.h"
#include "dfufiles/image.h"
#include "operations/operations.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/interrupt.h"
#include "platform/resources.h"

namespace {

void PrintUsage() {
  ConsolePrintf("Usage: ZUVA.exe [bin_file] ...convert bin to dfu and upgrade\n");
  ConsolePrintf("                              device (erase, download, verify)\n");
  ConsolePrintf("       ZUVA.exe /?         ...show this help\n");
}

int UpgradeWithDefaultImage(const char* programPath) {
  ConsolePrintf("No upgrade file given. Use default file? [y/n] ");
  if (!ReadYesNoAnswer()) {
    PrintUsage();
    return 0;
  }
  const uint8_t* data = nullptr;
  size_t size = 0;
  PlatformLoadDefaultImage(&data, &size);
  const std::string dfuPath = DfuPathForDefaultImage(programPath);
  // An image too large for the 32-bit size is handed on at the largest
  // size, which the conversion refuses as too large; it is never truncated.
  const auto rawSize = static_cast<uint32_t>(size > UINT32_MAX ? UINT32_MAX : size);
  if (data != nullptr && rawSize != 0 &&
      ConvertRawImage(nullptr, dfuPath.c_str(), data, rawSize)) {
    RunUpgradeSequence(dfuPath.c_str());
    return 0;
  }
  ConsolePrintf("Unable to create DFU from default BIN file!\n");
  return 1;
}

int UpgradeWithRawFile(const char* rawPath) {
  if (!PlatformPathExists(rawPath)) {
    ConsolePrintf("File [%s] does not exist!\n", rawPath);
    return 1;
  }
  const std::string dfuPath = DfuPathForRawFile(rawPath);
  if (!ConvertRawImage(rawPath, dfuPath.c_str(), nullptr, 0)) {
    ConsolePrintf("Unable to create DFU file!\n");
    return 1;
  }
  RunUpgradeSequence(dfuPath.c_str());
  return 0;
}

// Only the first argument counts; later ones are ignored.
int ChooseImageAndUpgrade(int argc, const char* const* argv) {
  if (argc < 2) {
    return UpgradeWithDefaultImage(argc > 0 && argv[0] != nullptr ? argv[0] : "");
  }
  if (std::strcmp(argv[1], "/?") == 0) {
    PrintUsage();
    return 0;
  }
  return UpgradeWithRawFile(argv[1]);
}

// Nothing created during the run survives it, whatever path the run took:
// objects that may use images and files go first, then the images, the
// files, and last the devices.
void DestroyProcessObjects() {
  ShutdownOperations();
  ImageDestroyAll();
  DfuFileDestroyAll();
  DestroyDevicesManager();
}

}  // namespace

int RunProgram(int argc, const char* const* argv) {
  int exitCode = 1;
  if (!PlatformHasOwnModule()) {
    ConsolePrintf("Fatal Error: GetModuleHandle failed\n");
  } else {
    // The manager exists before the arguments are looked at, for every run
    // that gets this far.
    CreateDevicesManager();
    exitCode = ChooseImageAndUpgrade(argc, argv);
  }
  // An interrupted run has no one to wait for.
  if (!PlatformInterrupted()) {
    ConsolePrintf("\n Press any key to continue ...");
    ConsoleReadChar();
  }
  DestroyProcessObjects();
  return exitCode;
}
