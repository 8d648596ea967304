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
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <string>
#include <vector>

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

// The last signal to pass on to the command, 0 for none.
std::atomic<int> g_pendingSignal{0};

void OnSignal(int number, siginfo_t* info, void* /*context*/) {
  if (info != nullptr && info->si_code == SI_KERNEL) return;  // from the terminal, to the group
  g_pendingSignal.store(number);
}

void InstallSignalForwarding() {
  struct sigaction action = {};
  action.sa_sigaction = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO;  // no SA_RESTART: the wait returns at the signal
  for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
}

void Usage() {
  std::fprintf(stderr,
               "usage: zuva-devsim [--profile FILE] [--flash FILE] [--faults PLAN] "
               "[--trace FILE] ... -- COMMAND [ARGS...]\n");
}

bool ParseArguments(int argc, char** argv, Options* options) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--") {
      ++i;
      break;
    }
    std::vector<std::string>* target = options->devices.ListOfOption(argument);
    if (target == nullptr || i + 1 >= argc) return false;
    target->push_back(argv[++i]);
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
  if (!ParseArguments(argc, argv, &options)) {
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

  // The command reaches the device over the bus only: a ZUVA run must not
  // also create its in-process virtual device.
  for (const char* name : {"ZUVA_SIM", "ZUVA_SIM_FLASH", "ZUVA_SIM_FAULTS", "ZUVA_SIM_TRACE"}) {
    unsetenv(name);
  }
  // The command may seek on a usbfs node: the library for it comes after
  // umockdev's preload, which stays first.
  const std::string seek = SeekLibrary();
  if (!seek.empty()) setenv("LD_PRELOAD", (std::string(preload) + " " + seek).c_str(), 1);
  std::fflush(nullptr);
  // Before the fork, so that no signal finds the default action; the
  // command starts with the default ones again, as exec resets caught
  // signals.
  InstallSignalForwarding();
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
    const int pending = g_pendingSignal.exchange(0);
    if (pending != 0) kill(child, pending);
    bus->Pump(DEVSIM_PUMP_MS);
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0 && errno != EINTR) {
      status = 0;
      break;
    }
  }
  bus.reset();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}
