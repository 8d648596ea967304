/* The message format between the virtual DFU kernel driver (the client) and
 * the device model program zuva-devsim-pipe.exe (the server), over one byte-mode
 * named pipe per device node. Plain C: the driver and the model both include it.
 *
 * One exchange at a time: the driver writes a request, the model answers it,
 * and nothing else crosses the pipe in between. All fields are 32-bit
 * little-endian.
 *
 *   request  = kind, attachment, code, inputSize, outputSize, then inputSize
 *              bytes of input
 *   reply    = completed, bytesReturned, present, dfuMode, attachment, then
 *              bytesReturned bytes of output
 *
 * kind DEVSIM_PIPE_HELLO asks only for the device's place on the bus (the
 * driver sends it when it connects and then every DEVSIM_PIPE_PING_MS, which
 * is how it notices that the model has gone or been replaced); its reply has
 * completed 1 and no output. kind DEVSIM_PIPE_IOCTL is one driver I/O-control
 * request made through a handle opened while `attachment` was the device's
 * appearance on the bus; `outputSize` is the caller's output buffer, and the
 * model never answers more bytes than that.
 *
 * Every reply carries the device's place on the bus after the exchange
 * (present, dfuMode, attachment). The driver keeps exactly one device
 * interface enabled to match it (interface class DFU_INTERFACE_GUID in DFU
 * mode, APP_INTERFACE_GUID in application mode; the WinUSB build always its
 * own class), none while the device is
 * off the bus, and binds every handle to the attachment it was opened on. */
#ifndef ZUVA_SIM_WINDOWS_DRIVER_DEVSIM_PIPE_H_
#define ZUVA_SIM_WINDOWS_DRIVER_DEVSIM_PIPE_H_

/* Each device node serves one device through a pipe of its own: node i
 * (from 0) connects to the pipe whose name is the prefix below followed by i
 * in decimal. The node learns i from the value DEVSIM_NODE_VALUE (a DWORD)
 * of its device key (Device Parameters), which zuva-driver-install writes;
 * a node without it is node 0. */
#define DEVSIM_PIPE_NAME_W L"\\??\\pipe\\zuva-dfu-devsim-"
#define DEVSIM_PIPE_NAME_A "\\\\.\\pipe\\zuva-dfu-devsim-"
/* The same devices bound to WinUSB: the second build of the driver serves
 * USB device nodes (service WinUSB) through pipes of their own, so that one
 * node at a time shows a device. */
#define DEVSIM_WINUSB_PIPE_NAME_W L"\\??\\pipe\\zuva-dfu-devsim-winusb-"
#define DEVSIM_WINUSB_PIPE_NAME_A "\\\\.\\pipe\\zuva-dfu-devsim-winusb-"
#define DEVSIM_NODE_VALUE_W L"ZuvaDevsimNode"
#define DEVSIM_NODE_VALUE_A "ZuvaDevsimNode"
/* The interface class the WinUSB node's firmware would announce; the node's
 * registry key names it (DeviceInterfaceGUIDs), as Windows writes it from a
 * device's OS descriptors. */
#define DEVSIM_WINUSB_INTERFACE_GUID_TEXT "{5E1A5C4F-3B8D-4E62-9C1A-7D2B0F4E8A93}"
#define DEVSIM_WINUSB_INTERFACE_GUID_FIELDS \
  0x5E1A5C4F, 0x3B8D, 0x4E62, { 0x9C, 0x1A, 0x7D, 0x2B, 0x0F, 0x4E, 0x8A, 0x93 }

/* The WinUSB node's one request of its own: a control transfer as it goes on
 * the bus. Input: the 8-byte setup packet (little-endian fields) followed by
 * the host-to-device data stage; output: the device-to-host data stage. The
 * request fails as a stall when the device refuses it, and with
 * STATUS_NO_SUCH_DEVICE when the device has left the bus. CTL_CODE of
 * FILE_DEVICE_UNKNOWN, function 0x880, METHOD_BUFFERED, FILE_ANY_ACCESS. */
#define DEVSIM_IOCTL_USB_CONTROL 0x222200u
#define DEVSIM_USB_SETUP_SIZE 8u

#define DEVSIM_PIPE_HELLO 1u
#define DEVSIM_PIPE_IOCTL 2u

#define DEVSIM_PIPE_REQUEST_HEADER_SIZE 20u
#define DEVSIM_PIPE_REPLY_HEADER_SIZE 20u
/* Larger than any request of the DFU driver interface: a control transfer
 * carries a 20-byte header and at most 65535 bytes of data. */
#define DEVSIM_PIPE_MAX_DATA (20u + 65535u)

#define DEVSIM_PIPE_PING_MS 100

#endif /* ZUVA_SIM_WINDOWS_DRIVER_DEVSIM_PIPE_H_ */
