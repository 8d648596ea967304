// USB functions that announce a DFU interface (class 0xFE, subclass 1) but
// that no backend lists (neither the DFU driver nor WinUSB reaches them),
// with the driver they have, so that a program can say why a device it
// cannot list is there all the same.
// Only Windows binds one driver per function; elsewhere the list is empty.
#ifndef ZUVA_PLATFORM_USB_DRIVER_SURVEY_H_
#define ZUVA_PLATFORM_USB_DRIVER_SURVEY_H_

#include <string>
#include <vector>

struct UnusableDfuFunction {
  std::string description;  // the device's description, when it has one
  std::string instanceId;   // e.g. USB\VID_0483&PID_DF11\ZUVA00000001
  std::string driver;       // the driver service bound to it; empty: none
};

// The present DFU functions whose instance does not appear in any of
// `listedPaths` (the paths the backends list).
std::vector<UnusableDfuFunction> SurveyUnusableDfuFunctions(
    const std::vector<std::string>& listedPaths);

#endif  // ZUVA_PLATFORM_USB_DRIVER_SURVEY_H_
