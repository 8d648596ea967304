// zuva-devsim [--profile FILE] [--flash FILE] [--faults PLAN] [--trace FILE]
//             -- COMMAND [ARGS...]
// Plugs one virtual DFU device into an emulated USB bus and runs COMMAND
// against it; exits with COMMAND's exit code.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/devsim/devsim_front.h"
#include "sim/devsim/usb_bus.h"
#include "sim/fault_plan.h"
#include "sim/profile.h"

namespace {

constexpr int DEVSIM_EXIT_USAGE = 2;
constexpr int DEVSIM_EXIT_SETUP = 3;
// How often the bus looks for the command's end between bus changes.
constexpr unsigned DEVSIM_PUMP_MS = 20;

struct Options {
  std::string profile;
  std::string flash;
  std::string faults;
  std::string trace;
  std::vector<char*> command;
};

void Usage() {
  std::fprintf(stderr,
               "usage: zuva-devsim [--profile FILE] [--flash FILE] [--faults PLAN] "
               "[--trace FILE] -- COMMAND [ARGS...]\n");
}

bool ParseArguments(int argc, char** argv, Options* options) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--") {
      ++i;
      break;
    }
    std::string* target = nullptr;
    if (argument == "--profile") target = &options->profile;
    if (argument == "--flash") target = &options->flash;
    if (argument == "--faults") target = &options->faults;
    if (argument == "--trace") target = &options->trace;
    if (target == nullptr || i + 1 >= argc) return false;
    *target = argv[++i];
  }
  for (; i < argc; ++i) options->command.push_back(argv[i]);
  options->command.push_back(nullptr);
  return options->command.size() > 1;
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

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseArguments(argc, argv, &options)) {
    Usage();
    return DEVSIM_EXIT_USAGE;
  }
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
    ReenterUnderWrapper(argv);
  }

  SimDeviceOptions device;
  std::string error;
  bool usable = options.profile.empty() || SimLoadProfile(options.profile, &device.profile, &error);
  if (usable) usable = SimParseFaultPlan(options.faults, &device.faults, &error);
  std::FILE* trace = nullptr;
  if (usable && !options.trace.empty()) {
    trace = std::fopen(options.trace.c_str(), "wb");
    if (trace == nullptr) {
      error = "trace file '" + options.trace + "' cannot be created";
      usable = false;
    }
  }
  std::unique_ptr<CDfuDevice> model;
  if (usable) {
    device.flashPath = options.flash;
    SimFaultPlan plan = device.faults;
    usable = CDfuDevice::Create(std::move(device), &model, &error);
    device.faults = std::move(plan);
  }
  if (!usable) {
    if (trace != nullptr) std::fclose(trace);
    std::fprintf(stderr, "zuva-devsim: %s\n", error.c_str());
    return DEVSIM_EXIT_SETUP;
  }
  std::shared_ptr<CDfuDevice> shared(std::move(model));
  auto front = std::make_shared<CDevsimFront>(shared, device.faults, trace);
  std::unique_ptr<CUsbBus> bus = CUsbBus::Create(front, &error);
  if (!bus) {
    std::fprintf(stderr, "zuva-devsim: %s\n", error.c_str());
    return DEVSIM_EXIT_SETUP;
  }

  // The command reaches the device over the bus only: a ZUVA run must not
  // also create its in-process virtual device.
  for (const char* name : {"ZUVA_SIM", "ZUVA_SIM_FLASH", "ZUVA_SIM_FAULTS", "ZUVA_SIM_TRACE"}) {
    unsetenv(name);
  }
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    std::fprintf(stderr, "zuva-devsim: cannot start the command: %s\n", std::strerror(errno));
    return DEVSIM_EXIT_SETUP;
  }
  if (child == 0) {
    execvp(options.command[0], options.command.data());
    std::fprintf(stderr, "zuva-devsim: cannot run '%s': %s\n", options.command[0],
                 std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (true) {
    bus->Pump(DEVSIM_PUMP_MS);
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0 && errno != EINTR) {
      status = 0;
      break;
    }
  }
  bus.reset();
  if (!shared->WriteFlashBack(&error)) std::fprintf(stderr, "zuva-devsim: %s\n", error.c_str());
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}
