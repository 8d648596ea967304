#include "operations/dfuse_command.h"

#include <chrono>

#include "common/guid.h"
#include "device/device_listing.h"
#include "device/device_manager.h"
#include "device/dfu_requests.h"
#include "operations/engine_clock.h"

namespace {

uint32_t& ConfiguredCommandLimit() {
  static uint32_t limit = OP_DFUSE_COMMAND_LIMIT_MS;
  return limit;
}

uint32_t& ConfiguredResetLimit() {
  static uint32_t limit = OP_DFUSE_RESET_LIMIT_MS;
  return limit;
}

// Clears an error and aborts whatever the device was doing; true in dfuIDLE.
bool BringToIdle(DeviceHandle* handle) {
  DfuStatus status{};
  if (DfuGetStatus(handle, &status) != RESULT_OK) return false;
  if (status.bState == DFU_STATE_ERROR) {
    DfuClearStatus(handle);
    if (DfuGetStatus(handle, &status) != RESULT_OK) return false;
  }
  if (status.bState != DFU_STATE_DFU_IDLE) {
    DfuAbort(handle);
    if (DfuGetStatus(handle, &status) != RESULT_OK) return false;
  }
  return status.bState == DFU_STATE_DFU_IDLE;
}

// What the device answered to the command; *mayHaveReset when its answer
// leaves room for a reset: a request that failed (the device may have gone
// as it answered) or a manifestation state. A stall and a departure look the
// same from here: only the listing can tell them apart.
StatusCode SendAndWait(DeviceHandle* handle, uint8_t command, bool* mayHaveReset) {
  *mayHaveReset = false;
  if (!BringToIdle(handle)) return OP_ERR_BAD_FIRMWARE_STATE;
  const uint8_t bytes[1] = {command};
  if (DfuDownload(handle, bytes, 1, 0) != RESULT_OK) {
    *mayHaveReset = true;
    return DEV_ERR_CONTROL_TRANSFER;
  }
  const auto deadline = EngineNow() + std::chrono::milliseconds(ConfiguredCommandLimit());
  while (EngineNow() < deadline) {
    DfuStatus status{};
    if (DfuGetStatus(handle, &status) != RESULT_OK) {
      *mayHaveReset = true;
      return DEV_ERR_CONTROL_TRANSFER;
    }
    // A manifestation state closes the device: it is on its way out.
    if (*handle == DEVICE_INVALID_HANDLE) {
      *mayHaveReset = true;
      return OP_ERR_UNEXPECTED;
    }
    if (status.bStatus != DFU_STATUS_OK || status.bState == DFU_STATE_ERROR) {
      DfuClearStatus(handle);
      return OP_ERR_DFU_ERROR;
    }
    if (status.bState == DFU_STATE_DNLOAD_IDLE) {
      DfuAbort(handle);
      return RESULT_OK;
    }
    // Only a device at work is asked again: one that answers any other
    // state (dfuIDLE to everything, say) has not taken the command and would
    // otherwise be polled until the limit.
    if (status.bState != DFU_STATE_DNBUSY && status.bState != DFU_STATE_DNLOAD_SYNC) {
      DfuAbort(handle);
      return OP_ERR_BAD_FIRMWARE_STATE;
    }
    const uint32_t wait = DfuStatusPollTimeout(status);
    EngineSleep(wait == 0 ? 1 : wait);
  }
  return OP_ERR_UNEXPECTED;
}

// True once no DFU interface is listed at `path` any more; a listing that
// failed proves nothing and the wait goes on.
bool LeftTheListing(const std::string& path) {
  const auto deadline = EngineNow() + std::chrono::milliseconds(ConfiguredResetLimit());
  do {
    if (InterfaceListed(path, {DFU_INTERFACE_GUID}) == LISTING_ABSENT) return true;
    EngineSleep(10);
  } while (EngineNow() < deadline);
  return false;
}

}  // namespace

void SetDfuseCommandLimit(uint32_t milliseconds) { ConfiguredCommandLimit() = milliseconds; }
void SetDfuseResetLimit(uint32_t milliseconds) { ConfiguredResetLimit() = milliseconds; }

StatusCode RunDfuseCommand(const std::string& devicePath, uint8_t command, bool deviceResets) {
  CreateDevicesManager();
  DeviceHandle handle = DEVICE_INVALID_HANDLE;
  StatusCode status = OpenDevice(devicePath, &handle);
  if (status != RESULT_OK) return status;
  status = SelectAlternateSetting(handle, 0);
  bool mayHaveReset = false;
  if (status == RESULT_OK) status = SendAndWait(&handle, command, &mayHaveReset);
  if (handle != DEVICE_INVALID_HANDLE) CloseDevice(handle);
  if (!deviceResets) return status;
  // The command has done its work only when the device resets: a refused
  // request or an error status leaves it as it was, and a device that took
  // the command but stays listed has not reset.
  if (status == OP_ERR_DFU_ERROR || status == OP_ERR_BAD_FIRMWARE_STATE) return status;
  if (status != RESULT_OK && !mayHaveReset) return status;
  if (LeftTheListing(devicePath)) return RESULT_OK;
  return status == RESULT_OK ? OP_ERR_UNEXPECTED : status;
}
