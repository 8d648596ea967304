// The numbers of the USB DFU 1.1 wire protocol (class requests, device
// states, status values, functional-descriptor attributes) and of the DfuSe
// commands that travel in download block 0.
#ifndef ZUVA_PROTOCOL_DFU_H_
#define ZUVA_PROTOCOL_DFU_H_

#include <cstdint>

// bmAttributes bits of the functional descriptor.
constexpr uint8_t DFU_ATTR_CAN_DNLOAD = 0x01;
constexpr uint8_t DFU_ATTR_CAN_UPLOAD = 0x02;
constexpr uint8_t DFU_ATTR_MANIFESTATION_TOLERANT = 0x04;
constexpr uint8_t DFU_ATTR_WILL_DETACH = 0x08;
constexpr uint8_t DFU_ATTR_ACCELERATED_UPLOAD = 0x80;

// bcdDFUVersion of the DfuSe extensions (1.1A); plain DFU devices announce
// a lower one (1.0, 1.1).
constexpr uint16_t DFU_VERSION_DFUSE = 0x011A;

constexpr uint8_t DFU_DESCRIPTOR_TYPE_FUNCTIONAL = 0x21;
constexpr uint32_t DFU_FUNCTIONAL_DESCRIPTOR_SIZE = 9;
// The GETSTATUS answer: bStatus, bwPollTimeout (24 bits), bState, iString.
constexpr uint32_t DFU_STATUS_SIZE = 6;
constexpr uint32_t DFU_MAX_POLL_TIMEOUT_MS = 0xFFFFFF;

// The longest one command or block may keep a device busy (dfuDNBUSY, or a
// status request it holds until the work is over) before the host gives up
// on it. A mass erase of a 2 MiB internal flash at the lowest programming
// parallelism takes up to about a minute on the slowest parts; twice that
// leaves room for it while a device that never finishes no longer holds the
// host for ever.
constexpr uint32_t DFU_BUSY_LIMIT_MS = 120000;

// Device states (bState).
constexpr uint8_t DFU_STATE_APP_IDLE = 0;
constexpr uint8_t DFU_STATE_APP_DETACH = 1;
constexpr uint8_t DFU_STATE_DFU_IDLE = 2;
constexpr uint8_t DFU_STATE_DNLOAD_SYNC = 3;
constexpr uint8_t DFU_STATE_DNBUSY = 4;
constexpr uint8_t DFU_STATE_DNLOAD_IDLE = 5;
constexpr uint8_t DFU_STATE_MANIFEST_SYNC = 6;
constexpr uint8_t DFU_STATE_MANIFEST = 7;
constexpr uint8_t DFU_STATE_MANIFEST_WAIT_RESET = 8;
constexpr uint8_t DFU_STATE_UPLOAD_IDLE = 9;
constexpr uint8_t DFU_STATE_ERROR = 10;

// Status values (bStatus) that a device reports.
constexpr uint8_t DFU_STATUS_OK = 0x00;
constexpr uint8_t DFU_STATUS_ERR_WRITE = 0x03;
constexpr uint8_t DFU_STATUS_ERR_ERASE = 0x04;
constexpr uint8_t DFU_STATUS_ERR_VERIFY = 0x07;
constexpr uint8_t DFU_STATUS_ERR_ADDRESS = 0x08;
constexpr uint8_t DFU_STATUS_ERR_STALLEDPKT = 0x0F;

// Class request numbers (bRequest).
constexpr uint8_t DFU_REQUEST_DETACH = 0;
constexpr uint8_t DFU_REQUEST_DNLOAD = 1;
constexpr uint8_t DFU_REQUEST_UPLOAD = 2;
constexpr uint8_t DFU_REQUEST_GETSTATUS = 3;
constexpr uint8_t DFU_REQUEST_CLRSTATUS = 4;
constexpr uint8_t DFU_REQUEST_GETSTATE = 5;
constexpr uint8_t DFU_REQUEST_ABORT = 6;

// DfuSe: a command travels in download block 0 as its code and a 32-bit
// little-endian address (the erase code alone is a mass erase); data blocks
// start at block 2. Upload block 0 lists the commands a device supports.
constexpr uint16_t DFUSE_COMMAND_BLOCK = 0;
constexpr uint16_t DFUSE_FIRST_DATA_BLOCK = 2;
constexpr uint8_t DFUSE_CMD_GET_COMMANDS = 0x00;
constexpr uint8_t DFUSE_CMD_SET_ADDRESS = 0x21;
constexpr uint8_t DFUSE_CMD_ERASE = 0x41;
constexpr uint8_t DFUSE_CMD_READ_UNPROTECT = 0x92;
constexpr uint32_t DFUSE_COMMAND_LENGTH = 5;

#endif  // ZUVA_PROTOCOL_DFU_H_
