// Installing the virtual device into the driver port: from the ZUVA_SIM*
// environment variables at program start, or from explicit options in tests.
//
//   ZUVA_SIM         unset or empty: no device; "default": the default
//                    profile; anything else: the path of a profile file
//   ZUVA_SIM_FLASH   file holding the memory of alternate setting 0
//   ZUVA_SIM_FAULTS  fault plan, e.g. "stall@5,unplug@12,corrupt@0x08000010"
//   ZUVA_SIM_TRACE   file that receives one line per request
// Several devices: ZUVA_SIM, ZUVA_SIM_FLASH and ZUVA_SIM_TRACE list one entry
// per device, separated by the platform's path-list separator (':' on Linux,
// ';' on Windows); ZUVA_SIM_FAULTS one plan per device separated by ';'.
#ifndef ZUVA_SIM_SIM_ENVIRONMENT_H_
#define ZUVA_SIM_SIM_ENVIRONMENT_H_

#include <memory>
#include <string>
#include <vector>

#include "sim/dfu_device.h"
#include "sim/sim_backend.h"

// Reads the environment and installs the device it asks for. True when the
// settings are usable (also when ZUVA_SIM asks for no device); false when a
// setting is refused: the reason is on standard error (never standard
// output) and no virtual device is present.
bool SimInstallFromEnvironment();

// Installs the devices built from explicit options, listed in that order,
// replacing the installed ones (which are removed first, releasing their
// flash files). False with *error when any options are refused; the devices
// installed before are then gone too.
bool SimInstallAll(std::vector<SimDeviceOptions> devices, std::vector<std::shared_ptr<CSimBackend>>* installed,
                   std::string* error);
// The same for one device; null with *error when its options are refused.
std::shared_ptr<CSimBackend> SimInstall(SimDeviceOptions options, std::string* error);

// The first installed backend, or null.
std::shared_ptr<CSimBackend> SimInstalledBackend();

// Unregisters the devices, each of which releases its flash file once no
// connection holds it. Safe to call when none is installed, and more than once.
void SimUninstall();

#endif  // ZUVA_SIM_SIM_ENVIRONMENT_H_
