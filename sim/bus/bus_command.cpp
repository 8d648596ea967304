#include "sim/bus/bus_command.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The last signal to pass on to the command, 0 for none.
std::atomic<int> g_pendingSignal{0};

void OnSignal(int number, siginfo_t* info, void* /*context*/) {
  if (info != nullptr && info->si_code == SI_KERNEL) return;  // from the terminal, to the group
  g_pendingSignal.store(number);
}

}  // namespace

bool SimParseBusCommandLine(int argc, char** argv, SimDeviceOptionLists* devices,
                            const std::map<std::string, std::vector<std::string>*>& extra,
                            std::vector<char*>* command) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--") {
      ++i;
      break;
    }
    const auto named = extra.find(argument);
    std::vector<std::string>* target =
        named != extra.end() ? named->second : devices->ListOfOption(argument);
    if (target == nullptr || i + 1 >= argc) return false;
    target->push_back(argv[++i]);
  }
  for (; i < argc; ++i) command->push_back(argv[i]);
  command->push_back(nullptr);
  return command->size() > 1;
}

void SimForwardSignals() {
  struct sigaction action = {};
  action.sa_sigaction = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO;  // no SA_RESTART: the wait returns at the signal
  for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
}

bool SimStartCommand(const char* programName, char* const* argv, pid_t* child,
                     std::string* error) {
  for (const char* name : {"ZUVA_SIM", "ZUVA_SIM_FLASH", "ZUVA_SIM_FAULTS", "ZUVA_SIM_TRACE"}) {
    unsetenv(name);
  }
  std::fflush(nullptr);
  *child = fork();
  if (*child < 0) {
    *error = std::string("cannot start the command: ") + std::strerror(errno);
    return false;
  }
  if (*child == 0) {
    execvp(argv[0], argv);
    std::fprintf(stderr, "%s: cannot run '%s': %s\n", programName, argv[0], std::strerror(errno));
    _exit(127);
  }
  return true;
}

int SimWaitCommand(pid_t child, const std::function<void()>& between) {
  int status = 0;
  while (true) {
    const int pending = g_pendingSignal.exchange(0);
    if (pending != 0) kill(child, pending);
    if (between) between();
    const pid_t done = waitpid(child, &status, between ? WNOHANG : 0);
    if (done == child) break;
    if (done < 0 && errno != EINTR) {
      status = 0;
      break;
    }
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}
