// The upgrade of the device from a DfuSe file: discovery, then erase,
// download, verify and leaving DFU mode, each shown as a percentage that is
// rewritten in place on the console.
#ifndef ZUVA_APP_UPGRADE_SEQUENCE_H_
#define ZUVA_APP_UPGRADE_SEQUENCE_H_

#include <cstdint>

#include "common/memory_mapping.h"
#include "common/operation_code.h"
#include "dfufiles/image.h"

// Finds the device, takes the first target of the DfuSe file at `dfuPath`
// whose alternate setting is 0, and runs the four steps on the device's map
// of alternate setting 0. Every outcome is reported on the console; whatever
// happens, every image made here is destroyed, the file closed and the map
// released before it returns.
void RunUpgradeSequence(const char* dfuPath);

// Runs one operation of the engine to its end: fits `image` to `mapping` for
// `opCode` (when both are given), launches it on `devicePath`, shows each new
// percentage, and stops it at 100 % or at its first error. After an upload
// with a `comparisonImage` the bytes read back are compared with it. True
// when the operation reached 100 % (and, for a verify, the comparison could
// be carried out, whatever its outcome).
bool RunOperation(OperationCode opCode, ImageHandle image, const char* devicePath,
                  const MemoryMapping* mapping, uint8_t skipBlankBlocks,
                  ImageHandle comparisonImage);

#endif  // ZUVA_APP_UPGRADE_SEQUENCE_H_
