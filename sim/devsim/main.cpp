// zuva-devsim [--profile FILE] [--flash FILE] [--faults PLAN] [--trace FILE]
//             ... -- COMMAND [ARGS...]
// Plugs virtual DFU devices into an emulated USB bus and runs COMMAND
// against them; exits with COMMAND's exit code. Each option may be given once
// per device: there are as many devices as the most often given option, the
// i-th device takes the i-th occurrence of each, and a profile given once
// serves every device.
//
// SIGINT, SIGTERM and SIGHUP sent to zuva-devsim alone are passed on to the
// command, which may end in its own way; zuva-devsim keeps the bus up until
// the command has ended and exits with its code. A signal the terminal sent
// to the whole foreground group has reached the command already and is not
// sent twice.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/bus/bus_command.h"
#include "sim/devsim/devsim_front.h"
#include "sim/devsim/usb_bus.h"
#include "sim/devsim/usbfs_seek.h"
#include "sim/device_option_lists.h"

namespace {

constexpr int DEVSIM_EXIT_USAGE = 2;
constexpr int DEVSIM_EXIT_SETUP = 3;
// How often the bus looks for the command's end between bus changes.
constexpr unsigned DEVSIM_PUMP_MS = 20;

struct Options {
  SimDeviceOptionLists devices;
  std::vector<char*> command;
};

void Usage() {
  std::fprintf(stderr,
               "usage: zuva-devsim [--profile FILE] [--flash FILE] [--faults PLAN] "
               "[--trace FILE] ... -- COMMAND [ARGS...]\n");
}

// The emulated bus exists only for processes inside umockdev's preload, this
// one included: without it, start again under umockdev-wrapper.
void ReenterUnderWrapper(char** argv) {
  std::vector<char*> wrapped;
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
    std::fprintf(stderr, "zuva-devsim: cannot find its own executable\n");
    std::exit(DEVSIM_EXIT_SETUP);
  }
  wrapped.push_back(const_cast<char*>("umockdev-wrapper"));
  wrapped.push_back(self);
  for (int i = 1; argv[i] != nullptr; ++i) wrapped.push_back(argv[i]);
  wrapped.push_back(nullptr);
  execvp(wrapped[0], wrapped.data());
  std::fprintf(stderr, "zuva-devsim: cannot start umockdev-wrapper: %s\n", std::strerror(errno));
  std::exit(DEVSIM_EXIT_SETUP);
}

// The library that lets the command seek on a usbfs node, beside this
// program (a build tree) or where it is installed; empty when neither holds
// it.
std::string SeekLibrary() {
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return {};
  std::string folder(self);
  folder.erase(folder.rfind('/') + 1);
  for (const std::string& candidate :
       {folder + DEVSIM_SEEK_LIBRARY, folder + ZUVA_DEVSIM_LIBDIR + "/" + DEVSIM_SEEK_LIBRARY}) {
    if (access(candidate.c_str(), R_OK) == 0) return candidate;
  }
  return {};
}

// The i-th device and its front.
bool CreateDevice(const Options& options, size_t i,
                  std::vector<std::shared_ptr<CDevsimFront>>* fronts, std::string* error) {
  SimDeviceOptions device;
  if (!SimDeviceOptionsAt(options.devices, i, &device, error)) return false;
  std::shared_ptr<CSimRecorder> recorder;
  if (!CSimRecorder::Create(std::move(device), &recorder, error)) return false;
  fronts->push_back(std::make_shared<CDevsimFront>(std::move(recorder)));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!SimParseBusCommandLine(argc, argv, &options.devices, {}, &options.command)) {
    Usage();
    return DEVSIM_EXIT_USAGE;
  }
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
    ReenterUnderWrapper(argv);
  }

  std::string error;
  std::vector<std::shared_ptr<CDevsimFront>> fronts;
  const size_t count = options.devices.DeviceCount();
  for (size_t i = 0; i < count; ++i) {
    if (!CreateDevice(options, i, &fronts, &error)) {
      std::fprintf(stderr, "zuva-devsim: %s\n", error.c_str());
      return DEVSIM_EXIT_SETUP;
    }
  }
  std::unique_ptr<CUsbBus> bus = CUsbBus::Create(fronts, &error);
  if (!bus) {
    std::fprintf(stderr, "zuva-devsim: %s\n", error.c_str());
    return DEVSIM_EXIT_SETUP;
  }

  // The command may seek on a usbfs node: the library for it comes after
  // umockdev's preload, which stays first.
  const std::string seek = SeekLibrary();
  if (!seek.empty()) setenv("LD_PRELOAD", (std::string(preload) + " " + seek).c_str(), 1);
  SimForwardSignals();
  pid_t child = 0;
  if (!SimStartCommand("zuva-devsim", options.command.data(), &child, &error)) {
    std::fprintf(stderr, "zuva-devsim: %s\n", error.c_str());
    return DEVSIM_EXIT_SETUP;
  }
  const int code = SimWaitCommand(child, [&bus] { bus->Pump(DEVSIM_PUMP_MS); });
  bus.reset();
  return code;
}
