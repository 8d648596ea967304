// Status codes shared by the image, file, device and operation layers.
#ifndef ZUVA_COMMON_STATUS_CODE_H_
#define ZUVA_COMMON_STATUS_CODE_H_

#include <cstdint>

using StatusCode = uint32_t;

constexpr StatusCode RESULT_OK = 0x12340000;

// Device and request layer.
constexpr StatusCode DEV_ERR_NO_MANAGER = 0x12340001;
constexpr StatusCode DEV_ERR_BAD_PARAMETER = 0x12340002;
constexpr StatusCode DEV_ERR_OPEN_FAILED = 0x12340005;
constexpr StatusCode DEV_ERR_DESCRIPTOR_READ = 0x12340006;
constexpr StatusCode DEV_ERR_STRING_DESCRIPTOR = 0x1234000A;
constexpr StatusCode DEV_ERR_NOT_OPEN = 0x1234000B;
constexpr StatusCode DEV_ERR_CONTROL_TRANSFER = 0x1234000C;
constexpr StatusCode DEV_ERR_DESCRIPTOR_TOO_LONG = 0x12340013;
constexpr StatusCode DEV_ERR_BAD_DESCRIPTOR_LAYOUT = 0x12340014;
// The device's transport has no way to send a USB reset (the kernel driver's
// five requests, WinUSB).
constexpr StatusCode DEV_ERR_RESET_UNSUPPORTED = 0x12340015;
// The transport sent a USB reset and the port refused it.
constexpr StatusCode DEV_ERR_RESET_FAILED = 0x12340016;
// Another program holds the device: it claimed the DFU interface, or has the
// one handle the transport allows open.
constexpr StatusCode DEV_ERR_IN_USE = 0x12340017;
// The device answered with fewer bytes than the request must carry back (a
// DFU status of less than 6 bytes, an upload block shorter than asked).
constexpr StatusCode DEV_ERR_SHORT_ANSWER = 0x12340018;
// The system refused this program access to the device: no permission on
// the file it is reached through (DriverSystemNode names it).
constexpr StatusCode DEV_ERR_ACCESS_DENIED = 0x12340019;

// Operation engine.
constexpr StatusCode OP_ERR_THREAD_LAUNCH = 0x12345001;
constexpr StatusCode OP_ERR_ALREADY_RUNNING = 0x12345007;
constexpr StatusCode OP_ERR_BAD_PARAMETER = 0x12345008;
constexpr StatusCode OP_ERR_BAD_FIRMWARE_STATE = 0x12345009;
constexpr StatusCode OP_ERR_UNEXPECTED = 0x1234500A;
constexpr StatusCode OP_ERR_DFU_ERROR = 0x1234500B;
constexpr StatusCode OP_ERR_RETRY = 0x1234500C;
constexpr StatusCode OP_ERR_UNSUPPORTED_FEATURE = 0x1234500D;
// The device stayed busy (or kept refusing its status) for longer than the
// busy limit of one command or block.
constexpr StatusCode OP_ERR_BUSY_TIMEOUT = 0x1234500E;
// A tolerant upload's block came back short inside the range asked for: the
// device ended its memory sooner than its map says, and the bytes after that
// block were not read.
constexpr StatusCode OP_ERR_UPLOAD_ENDED_EARLY = 0x1234500F;

// Image and file layer.
constexpr StatusCode FILE_ERR_BAD_CONTENT = 0x12346005;
constexpr StatusCode FILE_ERR_BAD_PARAMETER = 0x12346008;
constexpr StatusCode FILE_ERR_IO = 0x1234600D;

#endif  // ZUVA_COMMON_STATUS_CODE_H_
