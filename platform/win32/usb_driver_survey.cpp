#include "platform/usb_driver_survey.h"

#include <windows.h>
#include <setupapi.h>

#include <cctype>
#include <cstring>
#include <utility>

namespace {

// The compatible ID that a DFU interface gives its function (or a
// single-interface device); the protocol that follows is 1 (run-time) or 2
// (DFU mode).
constexpr char WIN32_DFU_COMPATIBLE_ID[] = "USB\\CLASS_FE&SUBCLASS_01";

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A registry property as text (REG_SZ or REG_MULTI_SZ, the strings joined by
// NULs); empty when it cannot be read.
std::string ReadProperty(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property) {
  DWORD required = 0;
  SetupDiGetDeviceRegistryPropertyA(list, device, property, nullptr, nullptr, 0, &required);
  if (required == 0) return {};
  std::vector<char> buffer(required + 2, '\0');
  if (!SetupDiGetDeviceRegistryPropertyA(list, device, property, nullptr,
                                         reinterpret_cast<BYTE*>(buffer.data()), required,
                                         nullptr)) {
    return {};
  }
  return std::string(buffer.data(), required);
}

bool AnnouncesDfu(const std::string& compatibleIds) {
  size_t start = 0;
  while (start < compatibleIds.size()) {
    const size_t end = compatibleIds.find('\0', start);
    const std::string id =
        Upper(compatibleIds.substr(start, end == std::string::npos ? end : end - start));
    if (id.rfind(WIN32_DFU_COMPATIBLE_ID, 0) == 0) return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

// An interface path holds its device's instance ID with '#' for '\'.
bool Listed(const std::string& instanceId, const std::vector<std::string>& listedPaths) {
  std::string key = Upper(instanceId);
  for (char& c : key) {
    if (c == '\\') c = '#';
  }
  for (const std::string& path : listedPaths) {
    if (Upper(path).find(key) != std::string::npos) return true;
  }
  return false;
}

std::string FirstString(const std::string& value) { return std::string(value.c_str()); }

}  // namespace

std::vector<UnusableDfuFunction> SurveyUnusableDfuFunctions(
    const std::vector<std::string>& listedPaths) {
  std::vector<UnusableDfuFunction> found;
  HDEVINFO list = SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (list == INVALID_HANDLE_VALUE) return found;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(list, index, &device); ++index) {
    if (!AnnouncesDfu(ReadProperty(list, &device, SPDRP_COMPATIBLEIDS))) continue;
    char instance[512] = {};
    if (!SetupDiGetDeviceInstanceIdA(list, &device, instance, sizeof instance, nullptr)) continue;
    if (Listed(instance, listedPaths)) continue;
    UnusableDfuFunction function;
    function.instanceId = instance;
    function.description = FirstString(ReadProperty(list, &device, SPDRP_DEVICEDESC));
    function.driver = FirstString(ReadProperty(list, &device, SPDRP_SERVICE));
    found.push_back(std::move(function));
  }
  SetupDiDestroyDeviceInfoList(list);
  return found;
}
