// Choosing the device a command works on: listing, selecting by the command's
// options, claiming it and announcing it, or reporting why none fits.
#ifndef ZUVA_TOOL_DEVICE_CHOICE_H_
#define ZUVA_TOOL_DEVICE_CHOICE_H_

#include <string>
#include <vector>

#include "device/device_claim.h"
#include "device/device_listing.h"
#include "tool/tool_options.h"
#include "tool/tool_output.h"

// Lists the devices, selects one in the wanted mode, claims it in *claim for
// the rest of the command and announces it. False with the command's exit
// code in *exitCode (already reported) otherwise: 6 when another program
// holds the device.
bool ChooseDevice(const ToolOptions& options, CToolOutput* out, bool dfuMode, DfuDeviceInfo* device,
                  int* exitCode, CDeviceClaim* claim);

// The same for every matching device: lists them, selects them and reports
// a failure to find any; each is announced by the caller.
bool ChooseDevices(const ToolOptions& options, CToolOutput* out, bool dfuMode,
                   std::vector<DfuDeviceInfo>* devices, int* exitCode);

// Why alternate setting `alternate` has no memory map when the device did
// not answer the request for its interface string, which carries the map:
// the device failed (exit code 1), not the input file. Empty when the string
// was read, or the setting is absent.
std::string UnreadMemoryMapText(const DfuDeviceInfo& device, uint8_t alternate);

// Why a DfuSe device cannot serve a command, or empty when it can: one
// without bitCanDnload stalls every download, and every DfuSe command (the
// address pointer a read sets too, erase, leave, unprotect) travels as one.
std::string DfuSeDownloadRefusal(const DfuDeviceInfo& device);

#endif  // ZUVA_TOOL_DEVICE_CHOICE_H_
