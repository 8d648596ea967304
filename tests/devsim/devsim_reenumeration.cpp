// devsim_reenumeration: against an application-mode device on the emulated
// bus, sends DETACH while a second connection to the device stays open, waits
// for the device to come back in DFU mode on the same port (under a new
// device number), opens its path again and asks for its status. The new
// connection must reach the new device, and the old one must not: a port
// path outlives a re-enumeration, the device behind it does not.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/driver_port.h"
#include "protocol/dfu.h"
#include "protocol/driver_requests.h"

namespace {

bool ClassRequest(DriverHandle handle, uint8_t request, bool toHost, uint16_t value,
                  uint32_t length, std::vector<uint8_t>* answer) {
  ControlRequestHeader header;
  header.direction = toHost ? CONTROL_DIRECTION_DEVICE_TO_HOST : CONTROL_DIRECTION_HOST_TO_DEVICE;
  header.request = request;
  header.value = value;
  header.length = length;
  std::vector<uint8_t> input(CONTROL_REQUEST_HEADER_SIZE);
  EncodeControlRequestHeader(header, input.data());
  answer->assign(length, 0);
  uint32_t returned = 0;
  bool ok = DriverIoControl(handle, IOCTL_DFU_CONTROL_REQUEST, input.data(),
                            static_cast<uint32_t>(input.size()), toHost ? answer->data() : nullptr,
                            toHost ? length : 0, &returned);
  answer->resize(ok ? returned : 0);
  return ok;
}

int Fail(const char* what) {
  std::fprintf(stderr, "devsim_reenumeration: %s\n", what);
  return 1;
}

}  // namespace

int main() {
  std::vector<InterfaceInfo> listed;
  if (!EnumerateInterfaces(APP_INTERFACE_GUID, &listed) || listed.size() != 1) {
    return Fail("no application-mode device");
  }
  const std::string path = listed[0].path;
  const DriverHandle first = DriverOpen(path);
  const DriverHandle kept = DriverOpen(path);
  if (first == DRIVER_INVALID_HANDLE || kept == DRIVER_INVALID_HANDLE) return Fail("open");
  std::vector<uint8_t> answer;
  if (!ClassRequest(first, DFU_REQUEST_DETACH, false, 1000, 0, &answer)) return Fail("detach");
  DriverClose(first);

  // The device comes back on the same port, so under the same path.
  bool back = false;
  for (int i = 0; i < 200 && !back; ++i) {
    listed.clear();
    back = EnumerateInterfaces(DFU_INTERFACE_GUID, &listed) && listed.size() == 1 &&
           listed[0].path == path;
    if (!back) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  if (!back) return Fail("the device did not come back on its port in DFU mode");

  const DriverHandle again = DriverOpen(path);
  if (again == DRIVER_INVALID_HANDLE) return Fail("open after the return");
  if (!ClassRequest(again, DFU_REQUEST_GETSTATUS, true, 0, DFU_STATUS_SIZE, &answer) ||
      answer.size() != DFU_STATUS_SIZE || answer[4] != DFU_STATE_DFU_IDLE) {
    return Fail("the new connection does not reach the device in DFU mode");
  }
  if (ClassRequest(kept, DFU_REQUEST_GETSTATUS, true, 0, DFU_STATUS_SIZE, &answer)) {
    return Fail("the connection opened before the detach still answers");
  }
  DriverClose(kept);
  DriverClose(again);
  std::printf("re-enumerated on %s\n", path.c_str());
  return 0;
}
