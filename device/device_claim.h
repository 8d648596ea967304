// Keeping one device for this program alone across the several operations of
// a command (erase, download, read-back, leave): without it each operation
// opens and closes the device, and another program could take it between
// two of them.
#ifndef ZUVA_DEVICE_DEVICE_CLAIM_H_
#define ZUVA_DEVICE_DEVICE_CLAIM_H_

#include <cstdint>
#include <string>

#include "common/status_code.h"
#include "platform/driver_port.h"

class CDeviceClaim {
 public:
  CDeviceClaim() = default;
  ~CDeviceClaim() { Release(); }
  CDeviceClaim(const CDeviceClaim&) = delete;
  CDeviceClaim& operator=(const CDeviceClaim&) = delete;

  // Claims the DFU interface `interfaceNumber` of the device at `path` until
  // Release (or destruction); a claim held before is released first. No
  // request reaches the device. RESULT_OK also where the transport has
  // nothing to hold; DEV_ERR_IN_USE when another program holds the device;
  // DEV_ERR_OPEN_FAILED when it cannot be opened or claimed otherwise.
  StatusCode Take(const std::string& path, uint8_t interfaceNumber);
  void Release();

 private:
  DriverHandle held_ = DRIVER_INVALID_HANDLE;
};

#endif  // ZUVA_DEVICE_DEVICE_CLAIM_H_
