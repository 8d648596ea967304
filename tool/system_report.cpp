#include "tool/system_report.h"

#include <vector>

#include "device/device_listing.h"
#include "platform/process.h"
#include "platform/usb_driver_survey.h"

std::string ResolutionText(uint32_t microseconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%u.%03u ms", microseconds / 1000, microseconds % 1000);
  return text;
}

namespace {

// The way a listed path reaches its device.
const char* DriverOfPath(const std::string& path) {
  if (path.rfind("winusb:", 0) == 0) return "WinUSB";
  if (path.rfind("sim:", 0) == 0) return "virtual device";
  if (path.rfind("usb:", 0) == 0) return "libusb";
  return "DFU driver";
}

}  // namespace

void PrintSystemReport(FILE* out) {
  std::fprintf(out, "system: %s\n", PlatformSystemDescription().c_str());
  uint32_t idleUs = 0, finestUs = 0;
  if (PlatformTimerResolution(&idleUs, &finestUs)) {
    uint32_t operationUs = idleUs;
    {
      // What an operation's worker asks for, held for the measurement only.
      const FineTimerScope held;
      PlatformTimerResolution(&operationUs, &finestUs);
    }
    std::fprintf(out, "timer resolution: %s, %s during an operation (finest %s)\n", ResolutionText(idleUs).c_str(),
                 ResolutionText(operationUs).c_str(), ResolutionText(finestUs).c_str());
  } else {
    std::fputs("timer resolution: unknown\n", out);
  }
  std::vector<DfuDeviceInfo> devices;
  ListDfuDevices(&devices);
  std::vector<std::string> paths;
  for (const DfuDeviceInfo& device : devices) {
    paths.push_back(device.path);
    std::fprintf(out, "device: %s, %s mode, %s%s%s%s\n", device.path.c_str(), device.dfuMode ? "DFU" : "application",
                 DriverOfPath(device.path), device.opened ? "" : ", cannot be opened",
                 device.description.empty() ? "" : ", ", device.description.c_str());
  }
  if (devices.empty()) std::fputs("device: none\n", out);
  for (const UnusableDfuFunction& function : SurveyUnusableDfuFunctions(paths)) {
    std::fprintf(out, "unusable DFU function: %s, driver %s%s%s\n", function.instanceId.c_str(),
                 function.driver.empty() ? "none" : function.driver.c_str(), function.description.empty() ? "" : ", ",
                 function.description.c_str());
  }
}
