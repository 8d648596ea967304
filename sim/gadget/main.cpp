// zuva-gadget [--udc NAME] [--profile FILE] [--flash FILE] [--faults PLAN]
//             [--trace FILE] ... -- COMMAND [ARGS...]
// Serves virtual DFU devices through the kernel's Raw Gadget driver
// (/dev/raw-gadget), one per USB device controller, waits until the host
// has enumerated each, runs COMMAND and exits with its exit code. Each option
// may be given once per device, as zuva-devsim takes them; the i-th device
// takes the i-th --udc, or the i-th controller of /sys/class/udc in name
// order. SIGINT, SIGTERM and SIGHUP are passed on to the command.
#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/bus/bus_command.h"
#include "sim/device_option_lists.h"
#include "sim/gadget/gadget_server.h"
#include "sim/gadget/raw_gadget_port.h"

namespace {

constexpr int GADGET_EXIT_USAGE = 2;
constexpr int GADGET_EXIT_SETUP = 3;
// How long the host may take to enumerate every device; a guest without
// hardware acceleration is slow.
constexpr auto GADGET_ENUMERATION_LIMIT = std::chrono::seconds(60);

struct Options {
  SimDeviceOptionLists devices;
  std::vector<std::string> udcs;
  std::vector<char*> command;
};

// Only interrupts a gadget's wait in the kernel.
void OnWake(int /*number*/) {}

void InstallSignals() {
  SimForwardSignals();
  struct sigaction action = {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = OnWake;  // no SA_RESTART: the wait returns at the signal
  sigaction(SIGUSR1, &action, nullptr);
}

std::vector<std::string> SystemUdcs() {
  std::vector<std::string> names;
  DIR* folder = opendir("/sys/class/udc");
  if (folder == nullptr) return names;
  while (const dirent* entry = readdir(folder)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(folder);
  // dummy_udc.10 after dummy_udc.9: by length, then by name.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  return names;
}

struct Served {
  std::unique_ptr<GadgetServer> server;
  std::thread thread;
  std::atomic<bool> running{true};
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!SimParseBusCommandLine(argc, argv, &options.devices, {{"--udc", &options.udcs}},
                              &options.command)) {
    std::fprintf(stderr,
                 "usage: zuva-gadget [--udc NAME] [--profile FILE] [--flash FILE] "
                 "[--faults PLAN] [--trace FILE] ... -- COMMAND [ARGS...]\n");
    return GADGET_EXIT_USAGE;
  }
  const size_t count = std::max(options.devices.DeviceCount(), options.udcs.size());
  const std::vector<std::string> system = SystemUdcs();
  std::vector<std::unique_ptr<Served>> served;
  std::string error;
  for (size_t i = 0; i < count; ++i) {
    const std::string udc = i < options.udcs.size() ? options.udcs[i]
                            : i < system.size()      ? system[i]
                                                     : std::string();
    const std::string driver = udc.empty() ? std::string() : RawGadgetUdcDriver(udc);
    if (driver.empty()) {
      std::fprintf(stderr, "zuva-gadget: no USB device controller for device %zu%s%s\n", i + 1,
                   udc.empty() ? "" : ": ", udc.c_str());
      return GADGET_EXIT_SETUP;
    }
    SimDeviceOptions device;
    std::shared_ptr<CSimRecorder> recorder;
    if (!SimDeviceOptionsAt(options.devices, i, &device, &error) ||
        !CSimRecorder::Create(std::move(device), &recorder, &error)) {
      std::fprintf(stderr, "zuva-gadget: %s\n", error.c_str());
      return GADGET_EXIT_SETUP;
    }
    auto entry = std::make_unique<Served>();
    entry->server = std::make_unique<GadgetServer>(std::make_shared<CDevsimFront>(recorder),
                                                   std::make_unique<RawGadgetPort>(driver, udc));
    served.push_back(std::move(entry));
  }

  InstallSignals();
  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
  for (auto& entry : served) {
    Served* one = entry.get();
    one->thread = std::thread([one, &stop, &failed] {
      std::string problem;
      if (!one->server->Serve(stop, &problem)) {
        std::fprintf(stderr, "zuva-gadget: %s\n", problem.c_str());
        failed.store(true);
      }
      one->running.store(false);
    });
  }
  auto stopAll = [&served, &stop] {
    stop.store(true);
    // A signal may come just before a thread enters its wait: repeat it
    // until every thread has seen the stop.
    while (std::any_of(served.begin(), served.end(), [](const auto& s) { return s->running.load(); })) {
      for (auto& entry : served) {
        if (entry->running.load()) pthread_kill(entry->thread.native_handle(), SIGUSR1);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (auto& entry : served) entry->thread.join();
  };

  // The command starts once the host has enumerated every device that is
  // on the bus from the start.
  const auto limit = std::chrono::steady_clock::now() + GADGET_ENUMERATION_LIMIT;
  while (!failed.load()) {
    bool ready = std::all_of(served.begin(), served.end(), [](const auto& entry) {
      return entry->server->Configured() || !entry->server->PresentAtStart();
    });
    if (ready) break;
    if (std::chrono::steady_clock::now() > limit) {
      std::fprintf(stderr, "zuva-gadget: the host did not enumerate every device\n");
      failed.store(true);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (failed.load()) {
    stopAll();
    return GADGET_EXIT_SETUP;
  }

  pid_t child = 0;
  if (!SimStartCommand("zuva-gadget", options.command.data(), &child, &error)) {
    std::fprintf(stderr, "zuva-gadget: %s\n", error.c_str());
    stopAll();
    return GADGET_EXIT_SETUP;
  }
  const int code = SimWaitCommand(child, nullptr);
  stopAll();
  return code;
}
