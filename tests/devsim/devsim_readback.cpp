// devsim_readback ADDRESS LENGTH FILE: reads LENGTH bytes of alternate setting
// 0 from ADDRESS, with the system's own device layer and driver port, from
// the last DFU device listed, into FILE. The end-to-end tests use it to read
// back what another DFU client wrote.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "device/device_manager.h"
#include "device/dfu_requests.h"
#include "platform/driver_port.h"

namespace {

constexpr uint16_t READBACK_BLOCK = 2048;
constexpr uint8_t READBACK_STATE_DNLOAD_IDLE = 5;

int Fail(const char* what, StatusCode status) {
  std::fprintf(stderr, "devsim_readback: %s failed (0x%08X)\n", what, status);
  return 1;
}

int ReadBack(uint32_t address, uint32_t length, const char* outPath) {
  std::vector<InterfaceInfo> listed;
  if (!EnumerateInterfaces(DFU_INTERFACE_GUID, &listed) || listed.empty()) {
    std::fprintf(stderr, "devsim_readback: no DFU device\n");
    return 1;
  }
  DeviceHandle device = DEVICE_INVALID_HANDLE;
  StatusCode status = OpenDevice(listed.back().path, &device);
  if (status != RESULT_OK) return Fail("open", status);
  if ((status = SelectAlternateSetting(device, 0)) != RESULT_OK) return Fail("select", status);
  // The address pointer travels as a DfuSe command in block 0.
  const uint8_t setAddress[5] = {0x21, static_cast<uint8_t>(address),
                                 static_cast<uint8_t>(address >> 8),
                                 static_cast<uint8_t>(address >> 16),
                                 static_cast<uint8_t>(address >> 24)};
  if ((status = DfuDownload(&device, setAddress, 5, 0)) != RESULT_OK) return Fail("dnload", status);
  DfuStatus answer = {};
  do {
    if ((status = DfuGetStatus(&device, &answer)) != RESULT_OK) return Fail("getstatus", status);
    std::this_thread::sleep_for(std::chrono::milliseconds(DfuStatusPollTimeout(answer)));
  } while (answer.bState != READBACK_STATE_DNLOAD_IDLE && answer.bStatus == 0);
  if (answer.bStatus != 0) return Fail("set address", answer.bStatus);
  if ((status = DfuAbort(&device)) != RESULT_OK) return Fail("abort", status);
  std::vector<uint8_t> bytes(length);
  for (uint32_t done = 0, block = 2; done < length; done += READBACK_BLOCK, ++block) {
    const uint32_t part = std::min<uint32_t>(READBACK_BLOCK, length - done);
    status = DfuUpload(&device, bytes.data() + done, part, static_cast<uint16_t>(block));
    if (status != RESULT_OK) return Fail("upload", status);
  }
  DfuAbort(&device);
  CloseDevice(device);
  std::FILE* out = std::fopen(outPath, "wb");
  if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() ||
      std::fclose(out) != 0) {
    std::fprintf(stderr, "devsim_readback: cannot write %s\n", outPath);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: devsim_readback ADDRESS LENGTH FILE\n");
    return 2;
  }
  CreateDevicesManager();
  int result = ReadBack(static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 0)),
                        static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 0)), argv[3]);
  DestroyDevicesManager();
  return result;
}
