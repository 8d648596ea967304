#include "sim/gadget/raw_gadget_port.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <vector>

#include "protocol/byte_order.h"
#include "sim/gadget/raw_gadget_abi.h"

namespace {

constexpr const char* RAW_GADGET_NODE = "/dev/raw-gadget";

}  // namespace

std::string RawGadgetUdcDriver(const std::string& deviceName) {
  char target[4096] = {};
  const std::string link = "/sys/class/udc/" + deviceName + "/device/driver";
  const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
  if (length <= 0) return {};
  const std::string path(target, static_cast<size_t>(length));
  return path.substr(path.rfind('/') + 1);
}

bool RawGadgetPort::Plug(std::string* error) {
  Unplug();
  fd_ = open(RAW_GADGET_NODE, O_RDWR | O_CLOEXEC);
  if (fd_ < 0) {
    *error = std::string("cannot open ") + RAW_GADGET_NODE + ": " + std::strerror(errno) +
             " (is the raw_gadget module loaded?)";
    return false;
  }
  RawGadgetInit init = {};
  if (driverName_.size() >= RAW_GADGET_UDC_NAME_MAX ||
      deviceName_.size() >= RAW_GADGET_UDC_NAME_MAX) {
    *error = "the UDC's name is too long: " + deviceName_;
    Unplug();
    return false;
  }
  std::memcpy(init.driverName, driverName_.data(), driverName_.size());
  std::memcpy(init.deviceName, deviceName_.data(), deviceName_.size());
  // Boards in DFU mode are full-speed devices.
  init.speed = RAW_GADGET_SPEED_FULL;
  if (ioctl(fd_, RAW_GADGET_IOCTL_INIT, &init) < 0 || ioctl(fd_, RAW_GADGET_IOCTL_RUN, 0) < 0) {
    *error = "cannot bind a gadget to the UDC " + deviceName_ + " (" + driverName_ +
             "): " + std::strerror(errno);
    Unplug();
    return false;
  }
  return true;
}

void RawGadgetPort::Unplug() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool RawGadgetPort::NextSetup(UsbSetup* setup) {
  while (fd_ >= 0) {
    RawGadgetEvent event = {};
    event.length = sizeof event.data;
    if (ioctl(fd_, RAW_GADGET_IOCTL_EVENT_FETCH, &event) < 0) return false;
    if (event.type != RAW_GADGET_EVENT_CONTROL || event.length < sizeof event.data) continue;
    setup->requestType = event.data[0];
    setup->request = event.data[1];
    setup->value = GetLe16(event.data + 2);
    setup->index = GetLe16(event.data + 4);
    setup->length = GetLe16(event.data + 6);
    return true;
  }
  return false;
}

bool RawGadgetPort::Transfer(unsigned long request, const uint8_t* out, uint8_t* in,
                             uint32_t length, uint16_t flags) {
  std::vector<uint8_t> io(sizeof(RawGadgetIoHeader) + length);
  RawGadgetIoHeader header = {0, flags, length};
  std::memcpy(io.data(), &header, sizeof header);
  if (out != nullptr && length > 0) std::memcpy(io.data() + sizeof header, out, length);
  const int done = ioctl(fd_, request, io.data());
  if (done < 0) return false;
  if (in != nullptr) {
    // A short OUT stage leaves the rest of the buffer as it was.
    std::memcpy(in, io.data() + sizeof header, std::min<size_t>(static_cast<size_t>(done), length));
  }
  return true;
}

bool RawGadgetPort::SendIn(const uint8_t* data, uint32_t length, bool shortStage) {
  return Transfer(RAW_GADGET_IOCTL_EP0_WRITE, data, nullptr, length,
                  shortStage ? RAW_GADGET_IO_FLAGS_ZERO : 0);
}

bool RawGadgetPort::ReceiveOut(uint8_t* data, uint32_t length) {
  return Transfer(RAW_GADGET_IOCTL_EP0_READ, nullptr, data, length, 0);
}

void RawGadgetPort::Stall() { ioctl(fd_, RAW_GADGET_IOCTL_EP0_STALL, 0); }

void RawGadgetPort::Configure() { ioctl(fd_, RAW_GADGET_IOCTL_CONFIGURE, 0); }
