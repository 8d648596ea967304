// What an operation of the engine does to a device.
#ifndef ZUVA_COMMON_OPERATION_CODE_H_
#define ZUVA_COMMON_OPERATION_CODE_H_

#include <cstdint>

using OperationCode = int32_t;

constexpr OperationCode OP_CODE_DETACH = 0;
constexpr OperationCode OP_CODE_LEAVE_DFU = 1;
constexpr OperationCode OP_CODE_UPLOAD = 2;
constexpr OperationCode OP_CODE_ERASE = 3;
constexpr OperationCode OP_CODE_DOWNLOAD = 4;
// Plain DFU devices (no DfuSe): the memory of the selected alternate setting
// read from its start, and an image downloaded from its start followed by
// manifestation.
constexpr OperationCode OP_CODE_PLAIN_UPLOAD = 5;
constexpr OperationCode OP_CODE_PLAIN_DOWNLOAD = 6;
// DFU_DETACH as OP_CODE_DETACH, and for a device that does not detach by
// itself (bitWillDetach clear) the USB reset that brings it up in DFU mode.
constexpr OperationCode OP_CODE_DETACH_RESET = 7;
// DfuSe commands to the whole device: the mass erase, and the read-unprotect
// after which the device erases its flash and resets (done only once it has
// left the bus).
constexpr OperationCode OP_CODE_MASS_ERASE = 8;
constexpr OperationCode OP_CODE_READ_UNPROTECT = 9;
// The highest code the engine launches.
constexpr OperationCode OP_CODE_LAST = OP_CODE_READ_UNPROTECT;

#endif  // ZUVA_COMMON_OPERATION_CODE_H_
