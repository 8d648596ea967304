// The record that describes one operation of the engine: the caller fills the
// fields up to uploadSink, the worker publishes whole copies of it as it
// goes, and progress, the request in flight, the device's last status and the
// result travel back in it.
#ifndef ZUVA_OPERATIONS_OPERATION_CONTEXT_H_
#define ZUVA_OPERATIONS_OPERATION_CONTEXT_H_

#include <cstdint>

#include "common/guid.h"
#include "common/operation_code.h"
#include "common/status_code.h"
#include "device/device_manager.h"
#include "device/dfu_requests.h"
#include "dfufiles/image.h"
#include "operations/upload_sink.h"
#include "protocol/dfu.h"

// Names a launched operation; never 0.
using OperationId = uint32_t;
constexpr OperationId OP_INVALID_ID = 0;

// What the worker is doing or last did. It is stored and published just
// before the request or step it names, and not reset afterwards.
constexpr uint32_t PHASE_NONE = 0xFFFFFFFF;
constexpr uint32_t PHASE_OPEN_DEVICE = 0x0A000000;
constexpr uint32_t PHASE_DETACH = 0x0C000000;
constexpr uint32_t PHASE_DNLOAD = 0x0D000000;
constexpr uint32_t PHASE_UPLOAD = 0x0E000000;
constexpr uint32_t PHASE_GETSTATUS = 0x0F000000;
constexpr uint32_t PHASE_CLRSTATUS = 0x10000000;
constexpr uint32_t PHASE_GETSTATE = 0x11000000;
constexpr uint32_t PHASE_ABORT = 0x12000000;
constexpr uint32_t PHASE_SELECT_ALTERNATE = 0x13000000;
constexpr uint32_t PHASE_WAIT_REMOVAL = 0x14000000;
constexpr uint32_t PHASE_WAIT_ARRIVAL = 0x15000000;
constexpr uint32_t PHASE_REATTACHED = 0x16000000;
constexpr uint32_t PHASE_USB_RESET = 0x17000000;

// Markers the engine keeps in deviceStatus.bState before the device answered.
constexpr uint8_t STATE_NOT_STARTED = 0xFF;  // no step taken yet
constexpr uint8_t STATE_STARTING = 0xFE;     // the first step opens the device

// A state value some devices answer to an upload in progress; treated like
// dfuUPLOAD-IDLE after a block and like dfuDNBUSY for the wait.
constexpr uint8_t STATE_UPLOAD_BUSY = 0x92;

// While a DfuSe command (protocol/dfu.h) is prepared, its code sits in bits
// 16..23 of blockNumber.

constexpr uint32_t OP_DEVICE_PATH_CAPACITY = 260;  // 259 characters and a terminator

struct OperationContext {
  Guid dfuModeInterfaceClass;
  Guid appModeInterfaceClass;
  OperationCode opCode;
  uint32_t skipBlankBlocks;  // non-zero: a download leaves out all-0xFF blocks
  // Non-zero: a busy device is asked for its status before the poll time-out
  // it announced (see operations/poll_schedule.h). The worker clears it when
  // the device refuses an early status request.
  uint32_t fastPoll;
  // Non-zero: a DfuSe upload reads its blocks one after another with no
  // status request between them, as the state diagram allows (some device
  // stacks answer dfuIDLE after a full block), and a block that comes back
  // short ends the operation with OP_ERR_UPLOAD_ENDED_EARLY, the record
  // naming that block's address and the bytes that came. Zero: a status
  // request follows every block, and a short block is sent again.
  uint32_t tolerantUpload;
  ImageHandle image;         // used directly; must outlive the operation
  char devicePath[OP_DEVICE_PATH_CAPACITY];
  // Null: an upload writes each block into its place in the image. Else
  // every block goes here and the image is only read, never changed; the
  // sink must outlive the operation.
  CUploadSink* uploadSink;
  uint32_t publishCount;
  uint8_t progress;  // 0..100; 100 ends the work (test result first)
  uint16_t blockSize;
  DfuStatus deviceStatus;  // the last DFU_GETSTATUS answer; DFU_GETSTATE sets bState
  uint32_t phase;
  uint32_t blockNumber;
  uint32_t blockLength;
  uint32_t blockAddress;
  uint32_t elementIndex;  // 0xFFFFFFFF before the first element
  StatusCode result;
  DeviceHandle device;  // as the worker opened it; cleared when the device left
  // The USB reset the worker sent (a plain DFU device that waits for one
  // after manifestation): RESULT_OK, DEV_ERR_RESET_UNSUPPORTED when the
  // transport has none, DEV_ERR_RESET_FAILED; 0 when none was sent.
  StatusCode resetResult;
  // A DFU request that failed just before the worker set a failed `result`
  // (at most one request came after it; 0xFF: none), and how it failed.
  uint8_t lastRequest;
  StatusCode lastRequestResult;
};

#endif  // ZUVA_OPERATIONS_OPERATION_CONTEXT_H_
