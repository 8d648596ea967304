// Installing the virtual device into the driver port: from the ZUVA_SIM*
// environment variables at program start, or from explicit options in tests.
//
//   ZUVA_SIM         unset or empty: no device; "default": the default
//                    profile; anything else: the path of a profile file
//   ZUVA_SIM_FLASH   file holding the memory of alternate setting 0
//   ZUVA_SIM_FAULTS  fault plan, e.g. "stall@5,unplug@12,corrupt@0x08000010"
//   ZUVA_SIM_TRACE   file that receives one line per request
#ifndef ZUVA_SIM_SIM_ENVIRONMENT_H_
#define ZUVA_SIM_SIM_ENVIRONMENT_H_

#include <memory>
#include <string>

#include "sim/dfu_device.h"
#include "sim/sim_backend.h"

// Reads the environment and installs the device it asks for. True when the
// settings are usable (also when ZUVA_SIM asks for no device); false when a
// setting is refused: the reason is on standard error (never standard
// output) and no virtual device is present.
bool SimInstallFromEnvironment();

// Installs a device built from explicit options, replacing an installed one
// (whose flash is written back first). Null with *error when the options are
// refused.
std::shared_ptr<CSimBackend> SimInstall(SimDeviceOptions options, std::string* error);

// The installed backend, or null.
std::shared_ptr<CSimBackend> SimInstalledBackend();

// Writes the flash back and unregisters the device. Safe to call when none is
// installed, and more than once.
void SimUninstall();

#endif  // ZUVA_SIM_SIM_ENVIRONMENT_H_
