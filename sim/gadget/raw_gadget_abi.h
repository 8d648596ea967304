// The user-space side of the kernel's Raw Gadget driver (/dev/raw-gadget),
// spelled here from its UAPI header so that the build needs no kernel
// headers of any particular release: one file descriptor is one gadget bound
// to one UDC; the host's control requests on endpoint 0 arrive as events, and
// the program answers each with a data stage, a status stage or a stall.
#ifndef ZUVA_SIM_GADGET_RAW_GADGET_ABI_H_
#define ZUVA_SIM_GADGET_RAW_GADGET_ABI_H_

#include <linux/ioctl.h>

#include <cstdint>

constexpr unsigned RAW_GADGET_UDC_NAME_MAX = 128;

struct RawGadgetInit {
  uint8_t driverName[RAW_GADGET_UDC_NAME_MAX];
  uint8_t deviceName[RAW_GADGET_UDC_NAME_MAX];
  uint8_t speed;
};

// The kernel's enum usb_device_speed.
constexpr uint8_t RAW_GADGET_SPEED_FULL = 2;
constexpr uint8_t RAW_GADGET_SPEED_HIGH = 3;

constexpr uint32_t RAW_GADGET_EVENT_CONNECT = 1;
constexpr uint32_t RAW_GADGET_EVENT_CONTROL = 2;

// An event with room for the one payload it carries: a setup packet.
struct RawGadgetEvent {
  uint32_t type;
  uint32_t length;
  uint8_t data[8];
};

// An endpoint transfer: the header, then `length` bytes of data.
struct RawGadgetIoHeader {
  uint16_t ep;
  uint16_t flags;
  uint32_t length;
};
// A short IN stage ends with a zero-length packet when needed.
constexpr uint16_t RAW_GADGET_IO_FLAGS_ZERO = 0x0001;

constexpr unsigned long RAW_GADGET_IOCTL_INIT = _IOW('U', 0, RawGadgetInit);
constexpr unsigned long RAW_GADGET_IOCTL_RUN = _IO('U', 1);
constexpr unsigned long RAW_GADGET_IOCTL_EVENT_FETCH = _IOR('U', 2, RawGadgetIoHeader);
constexpr unsigned long RAW_GADGET_IOCTL_EP0_WRITE = _IOW('U', 3, RawGadgetIoHeader);
constexpr unsigned long RAW_GADGET_IOCTL_EP0_READ = _IOWR('U', 4, RawGadgetIoHeader);
constexpr unsigned long RAW_GADGET_IOCTL_CONFIGURE = _IO('U', 9);
constexpr unsigned long RAW_GADGET_IOCTL_EP0_STALL = _IO('U', 12);

static_assert(sizeof(RawGadgetInit) == 257, "struct usb_raw_init");
static_assert(sizeof(RawGadgetIoHeader) == 8, "struct usb_raw_ep_io and usb_raw_event");

#endif  // ZUVA_SIM_GADGET_RAW_GADGET_ABI_H_
