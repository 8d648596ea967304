// The command a bus program (zuva-devsim, zuva-gadget) runs against the
// devices it serves: started with the environment of the in-process device
// removed, so that a ZUVA run reaches the devices over the bus only, and
// waited for with the signals sent to the bus program passed on to it.
//
// SIGINT, SIGTERM and SIGHUP sent to the bus program alone are passed on to
// the command, which may end in its own way; the bus program keeps serving
// until the command has ended. A signal the terminal sent to the whole
// foreground group has reached the command already and is not sent twice.
#ifndef ZUVA_SIM_BUS_BUS_COMMAND_H_
#define ZUVA_SIM_BUS_BUS_COMMAND_H_

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/device_option_lists.h"

// The command line of a bus program: device options (each once per device,
// into *devices; `extra` names more options that take a value each), then
// "--" and the command, null-terminated into *command. False when an option
// is unknown or lacks its value, or no command follows.
bool SimParseBusCommandLine(int argc, char** argv, SimDeviceOptionLists* devices,
                            const std::map<std::string, std::vector<std::string>*>& extra,
                            std::vector<char*>* command);

// Catches the signals to pass on. Call before SimStartCommand, so that no
// signal finds the default action; the command starts with the default ones
// again, as exec resets caught signals.
void SimForwardSignals();

// Starts argv (null-terminated) as a child process. False with *error when
// it cannot be started; a program that cannot be run makes the child exit
// 127 with a message naming `programName`.
bool SimStartCommand(const char* programName, char* const* argv, pid_t* child,
                     std::string* error);

// Waits for the command to end, passing pending signals on, and returns its
// exit code as a shell gives it (128 + N for a signal). `between`, when set,
// is called between looks at the child and may wait for a while; without it
// the wait blocks until the child ends or a signal comes.
int SimWaitCommand(pid_t child, const std::function<void()>& between);

#endif  // ZUVA_SIM_BUS_BUS_COMMAND_H_
