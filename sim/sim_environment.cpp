#include "sim/sim_environment.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/driver_port.h"
#include "sim/device_option_lists.h"

namespace {

// Lists of profiles, flash files and trace files are separated as the
// platform separates the entries of PATH; fault plans always by ';' (',' is
// taken inside a plan).
#if defined(_WIN32)
constexpr char SIM_LIST_SEPARATOR = ';';
#else
constexpr char SIM_LIST_SEPARATOR = ':';
#endif
constexpr char SIM_PLAN_SEPARATOR = ';';

std::mutex g_installLock;
std::vector<std::shared_ptr<CSimBackend>> g_installed;

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The entries of a list; an empty text is no entry at all.
std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> entries;
  if (text.empty()) return entries;
  size_t start = 0;
  while (true) {
    const size_t end = text.find(separator, start);
    entries.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return entries;
}

void RemoveInstalledLocked() {
  for (const auto& backend : g_installed) UnregisterDriverBackend(backend.get());
  g_installed.clear();
}

// The options of every device the environment asks for; false with *error
// when a setting is refused.
bool OptionsFromEnvironment(std::vector<SimDeviceOptions>* devices, std::string* error) {
  // ZUVA_SIM lists the devices: "default" is the default profile.
  const std::vector<std::string> given = Split(Variable("ZUVA_SIM"), SIM_LIST_SEPARATOR);
  SimDeviceOptionLists lists;
  for (const std::string& which : given) lists.profiles.push_back(which == "default" ? "" : which);
  lists.flashes = Split(Variable("ZUVA_SIM_FLASH"), SIM_LIST_SEPARATOR);
  lists.traces = Split(Variable("ZUVA_SIM_TRACE"), SIM_LIST_SEPARATOR);
  lists.faults = Split(Variable("ZUVA_SIM_FAULTS"), SIM_PLAN_SEPARATOR);
  const uint32_t count = static_cast<uint32_t>(given.size());
  for (uint32_t i = 0; i < count; ++i) {
    if (given[i].empty()) {
      *error = "virtual device list '" + Variable("ZUVA_SIM") + "' has an empty entry";
      return false;
    }
    SimDeviceOptions options;
    if (!SimDeviceOptionsAt(lists, i, &options, error)) return false;
    options.firstAttachment = i;
    options.attachmentStep = count;
    devices->push_back(std::move(options));
  }
  return true;
}

}  // namespace

bool SimInstallAll(std::vector<SimDeviceOptions> devices, std::vector<std::shared_ptr<CSimBackend>>* installed,
                   std::string* error) {
  std::lock_guard<std::mutex> lock(g_installLock);
  // The devices they replace go first, with the locks on their flash files,
  // which the new ones may name too.
  RemoveInstalledLocked();
  std::vector<std::shared_ptr<CSimBackend>> backends;
  for (SimDeviceOptions& options : devices) {
    std::shared_ptr<CSimRecorder> recorder;
    if (!CSimRecorder::Create(std::move(options), &recorder, error)) return false;
    backends.push_back(std::make_shared<CSimBackend>(std::move(recorder)));
  }
  // Registered in list order, which is the order they are listed in.
  for (const auto& backend : backends) RegisterDriverBackend(backend);
  g_installed = backends;
  if (installed != nullptr) *installed = std::move(backends);
  return true;
}

std::shared_ptr<CSimBackend> SimInstall(SimDeviceOptions options, std::string* error) {
  std::vector<SimDeviceOptions> devices;
  devices.push_back(std::move(options));
  std::vector<std::shared_ptr<CSimBackend>> installed;
  if (!SimInstallAll(std::move(devices), &installed, error)) return nullptr;
  return installed.front();
}

bool SimInstallFromEnvironment() {
  std::vector<SimDeviceOptions> devices;
  std::string error;
  bool usable = OptionsFromEnvironment(&devices, &error);
  if (usable && devices.empty()) return true;
  if (usable) usable = SimInstallAll(std::move(devices), nullptr, &error);
  if (!usable) {
    std::fprintf(stderr, "%s; no virtual device\n", error.c_str());
    return false;
  }
  return true;
}

std::shared_ptr<CSimBackend> SimInstalledBackend() {
  std::lock_guard<std::mutex> lock(g_installLock);
  return g_installed.empty() ? nullptr : g_installed.front();
}

void SimUninstall() {
  std::lock_guard<std::mutex> lock(g_installLock);
  RemoveInstalledLocked();
}
