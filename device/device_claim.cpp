#include "device/device_claim.h"

StatusCode CDeviceClaim::Take(const std::string& path, uint8_t interfaceNumber) {
  Release();
  return DriverHold(path, interfaceNumber, &held_);
}

void CDeviceClaim::Release() {
  if (held_ == DRIVER_INVALID_HANDLE) return;
  DriverClose(held_);
  held_ = DRIVER_INVALID_HANDLE;
}
