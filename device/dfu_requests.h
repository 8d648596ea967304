// The USB DFU 1.1 class requests (with the DfuSe device in mind) and the
// lookup of the DFU functional descriptor. Every request names the device
// through the address of the caller's handle variable, because a successful
// detach and a status that reports manifestation close the device and clear
// that variable.
#ifndef ZUVA_DEVICE_DFU_REQUESTS_H_
#define ZUVA_DEVICE_DFU_REQUESTS_H_

#include <bit>
#include <cstdint>

#include "common/status_code.h"
#include "device/device_manager.h"
#include "protocol/byte_order.h"
#include "protocol/dfu.h"

// Both structures are the bytes of the wire, packed. Read their 16-bit fields
// by value (a copy); a reference bound to one would be misaligned.
#pragma pack(push, 1)
// The DFU functional descriptor (9 bytes, little-endian).
struct DfuFunctionalDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;  // 0x21
  uint8_t bmAttributes;
  uint16_t wDetachTimeOut;
  uint16_t wTransferSize;
  uint16_t bcdDFUVersion;
};

// The DFU_GETSTATUS answer (6 bytes).
struct DfuStatus {
  uint8_t bStatus;           // 0: OK
  uint8_t bwPollTimeout[3];  // milliseconds, 24-bit little-endian
  uint8_t bState;
  uint8_t iString;
};
#pragma pack(pop)
static_assert(sizeof(DfuFunctionalDescriptor) == 9);
static_assert(sizeof(DfuStatus) == 6);
// The fields are read straight from little-endian wire bytes.
static_assert(std::endian::native == std::endian::little);

inline uint32_t DfuStatusPollTimeout(const DfuStatus& status) {
  return GetLe24(status.bwPollTimeout);
}

// wValue of DFU_DETACH: the detach time-out in milliseconds.
constexpr uint16_t DFU_DETACH_TIMEOUT_MS = 5000;

// Every function below returns DEV_ERR_BAD_PARAMETER for a null handle
// variable or a null required pointer, DEV_ERR_NO_MANAGER without a manager,
// DEV_ERR_BAD_PARAMETER for a handle not in the table, DEV_ERR_NOT_OPEN for a
// closed device, DEV_ERR_CONTROL_TRANSFER for a failed transfer and
// DEV_ERR_SHORT_ANSWER for an answer shorter than the request asked for.

// The last DFU request the calling thread sent through the functions below
// that failed, how it failed, and how many requests the thread sent after
// it: what a failure that follows soon after is to be explained by.
struct DfuRequestRecord {
  uint8_t request = 0xFF;  // DFU_REQUEST_*; 0xFF: none failed yet
  StatusCode result = RESULT_OK;
  uint32_t later = 0;
};
DfuRequestRecord LastFailedDfuRequest();

// DFU_DETACH to `interfaceNumber` with a 5000 ms time-out. On RESULT_OK the
// device is closed and *handle becomes DEVICE_INVALID_HANDLE.
StatusCode DfuDetach(DeviceHandle* handle, uint8_t interfaceNumber);
// DFU_DETACH that leaves the device open: a device without bitWillDetach
// waits in appDETACH for the USB reset that the host sends next.
StatusCode DfuDetachStaying(DeviceHandle* handle, uint8_t interfaceNumber);
// A USB reset of the device's port: it starts the new firmware of a device in
// dfuMANIFEST-WAIT-RESET and brings a device in appDETACH up in DFU mode.
// On RESULT_OK the device is closed and *handle becomes
// DEVICE_INVALID_HANDLE, as it may re-enumerate under a new path.
// DEV_ERR_RESET_UNSUPPORTED when its transport cannot send a reset (the
// device stays open), DEV_ERR_RESET_FAILED when the port refused it.
StatusCode UsbResetDevice(DeviceHandle* handle);
// DFU_DNLOAD of `length` bytes as block `blockNumber`; `data` must not be null
// even for length 0.
StatusCode DfuDownload(DeviceHandle* handle, const void* data, uint32_t length,
                       uint16_t blockNumber);
// DFU_UPLOAD of exactly `length` bytes of block `blockNumber` into `buffer`.
StatusCode DfuUpload(DeviceHandle* handle, void* buffer, uint32_t length, uint16_t blockNumber);
// DFU_UPLOAD of at most `length` bytes of block `blockNumber`: a plain DFU
// device ends its memory with a short block, whose length goes to *received.
StatusCode DfuUploadUpTo(DeviceHandle* handle, void* buffer, uint32_t length, uint16_t blockNumber,
                         uint32_t* received);
// DFU_GETSTATUS that leaves the device open whatever state it reports: a
// plain DFU device that tolerates manifestation stays on the bus through
// it, and one that does not says so with dfuMANIFEST-WAIT-RESET.
StatusCode DfuGetStatusStaying(DeviceHandle* handle, DfuStatus* status);
// DFU_GETSTATUS. When the answer's bState is dfuMANIFEST or
// dfuMANIFEST-WAIT-RESET the device is closed and *handle becomes
// DEVICE_INVALID_HANDLE.
StatusCode DfuGetStatus(DeviceHandle* handle, DfuStatus* status);
StatusCode DfuClearStatus(DeviceHandle* handle);
StatusCode DfuGetState(DeviceHandle* handle, uint8_t* state);
StatusCode DfuAbort(DeviceHandle* handle);

// The DFU interface is the last interface of configuration index 0, and its
// functional descriptor follows the interface descriptor of its last
// alternate setting. Outputs the interface number, the alternate-setting
// count and the descriptor, all written only on RESULT_OK. A descriptor
// shorter than 9 bytes arrives with its own length and zeros after it; none
// after the last alternate setting gives all zeros.
StatusCode ReadDfuFunctionalDescriptor(DeviceHandle* handle, uint32_t* interfaceNumber,
                                       uint32_t* alternateCount,
                                       DfuFunctionalDescriptor* descriptor);

// The DFU interface of a composite device, found by its class: its
// bInterfaceNumber, the number DFU_DETACH must name, and its functional
// descriptor. ReadDfuFunctionalDescriptor walks by ordinal and, when the DFU
// interface follows others, reads the number as 0 and (for an interface with
// one alternate setting) no descriptor. Written only on RESULT_OK.
StatusCode ReadDfuInterface(DeviceHandle* handle, uint8_t* interfaceNumber,
                            DfuFunctionalDescriptor* descriptor);

#endif  // ZUVA_DEVICE_DFU_REQUESTS_H_
