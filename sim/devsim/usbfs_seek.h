// The request by which a program on the emulated bus sets the position of a
// usbfs node (see usbfs_seek.cpp): the bus answers it like lseek.
#ifndef ZUVA_SIM_DEVSIM_USBFS_SEEK_H_
#define ZUVA_SIM_DEVSIM_USBFS_SEEK_H_

#include <sys/ioctl.h>

#include <cstdint>

struct DevsimSeek {
  int64_t offset;    // as lseek takes it
  int32_t whence;    // SEEK_SET, SEEK_CUR or SEEK_END
  int64_t position;  // the new position, set by the bus
};

// 'Z' is no kernel driver's request type on a usbfs node.
#define DEVSIM_IOCTL_SEEK _IOWR('Z', 0x53, DevsimSeek)

// The preloaded library's file name; zuva-devsim finds it beside itself, or
// where it is installed.
constexpr char DEVSIM_SEEK_LIBRARY[] = "libzuva-devsim-usbfs.so";

#endif  // ZUVA_SIM_DEVSIM_USBFS_SEEK_H_
