#include "sim/sim_environment.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex g_installLock;
std::shared_ptr<CSimBackend> g_installed;
bool g_exitHookSet = false;

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

void WriteBack(const std::shared_ptr<CSimBackend>& backend) {
  std::string error;
  if (!backend->Device()->WriteFlashBack(&error)) std::fprintf(stderr, "%s\n", error.c_str());
}

void RemoveInstalledLocked() {
  if (!g_installed) return;
  WriteBack(g_installed);
  UnregisterDriverBackend(g_installed.get());
  g_installed.reset();
}

// A program that leaves without calling SimUninstall still gets its flash
// file written.
void WriteBackAtExit() {
  std::lock_guard<std::mutex> lock(g_installLock);
  if (g_installed) WriteBack(g_installed);
}

}  // namespace

std::shared_ptr<CSimBackend> SimInstall(SimDeviceOptions options, std::string* error) {
  std::unique_ptr<CDfuDevice> device;
  if (!CDfuDevice::Create(std::move(options), &device, error)) return nullptr;
  auto backend = std::make_shared<CSimBackend>(std::shared_ptr<CDfuDevice>(std::move(device)));
  std::lock_guard<std::mutex> lock(g_installLock);
  RemoveInstalledLocked();
  g_installed = backend;
  RegisterDriverBackend(backend);
  return backend;
}

bool SimInstallFromEnvironment() {
  const std::string which = Variable("ZUVA_SIM");
  if (which.empty()) return true;
  SimDeviceOptions options;
  std::string error;
  bool usable = true;
  if (which != "default") usable = SimLoadProfile(which, &options.profile, &error);
  if (usable) usable = SimParseFaultPlan(Variable("ZUVA_SIM_FAULTS"), &options.faults, &error);
  if (usable) {
    options.flashPath = Variable("ZUVA_SIM_FLASH");
    options.tracePath = Variable("ZUVA_SIM_TRACE");
    usable = SimInstall(std::move(options), &error) != nullptr;
  }
  if (!usable) {
    std::fprintf(stderr, "%s; no virtual device\n", error.c_str());
    return false;
  }
  std::lock_guard<std::mutex> lock(g_installLock);
  if (!g_exitHookSet) {
    g_exitHookSet = true;
    std::atexit(WriteBackAtExit);
  }
  return true;
}

std::shared_ptr<CSimBackend> SimInstalledBackend() {
  std::lock_guard<std::mutex> lock(g_installLock);
  return g_installed;
}

void SimUninstall() {
  std::lock_guard<std::mutex> lock(g_installLock);
  RemoveInstalledLocked();
}
