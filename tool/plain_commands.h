// The device commands on a plain DFU device (DFU 1.1 without DfuSe): its
// alternate settings are named memories that the device fills from their
// start, so there are no addresses, maps or erase commands.
#ifndef ZUVA_TOOL_PLAIN_COMMANDS_H_
#define ZUVA_TOOL_PLAIN_COMMANDS_H_

#include "device/device_listing.h"
#include "dfufiles/firmware_file.h"
#include "tool/flash_device.h"
#include "tool/tool_options.h"
#include "tool/tool_output.h"

// A device that announces a DFU version below the DfuSe one and whose
// alternate settings are names, not memory maps.
bool IsPlainDfuDevice(const DfuDeviceInfo& device);

// Downloads the raw bytes or plain DFU file (its suffix's ids checked against
// the device, a mismatch refused without --force), follows manifestation and
// reads the image back when the device stays and can upload; otherwise the
// outcome's message says that it was not read back, and why. FlashDevice's
// way with a plain device.
FlashOutcome FlashPlainDevice(const ToolOptions& options, const FirmwareFile& file,
                              const DfuDeviceInfo& device, CToolOutput* out);

// verify's way with a plain device: the file checked as flash checks it,
// then its length read back from the start of the alternate setting's memory
// and compared (no message on success).
FlashOutcome VerifyPlainDevice(const ToolOptions& options, const FirmwareFile& file,
                               const DfuDeviceInfo& device, CToolOutput* out);

// Reads the alternate setting's memory from its start until the device ends
// it with a short block (or --length bytes) into OUT, through the output
// the caller began: raw, a plain DFU file with the device's ids (.dfu) or
// Intel HEX at address 0 (.hex).
int RunPlainRead(const ToolOptions& options, const DfuDeviceInfo& device,
                 CWholeFileWriter* output, CToolOutput* out);

#endif  // ZUVA_TOOL_PLAIN_COMMANDS_H_
