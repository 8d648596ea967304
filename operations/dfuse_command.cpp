#include "operations/dfuse_command.h"

#include <chrono>

#include "device/device_manager.h"
#include "device/dfu_requests.h"
#include "operations/engine_clock.h"

namespace {

uint32_t& ConfiguredCommandLimit() {
  static uint32_t limit = OP_DFUSE_COMMAND_LIMIT_MS;
  return limit;
}

uint32_t DfuseCommandLimit() { return ConfiguredCommandLimit(); }

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

StatusCode SendAndWait(DeviceHandle* handle, uint8_t command, bool deviceResets) {
  if (!BringToIdle(handle)) return OP_ERR_BAD_FIRMWARE_STATE;
  const uint8_t bytes[1] = {command};
  if (DfuDownload(handle, bytes, 1, 0) != RESULT_OK) {
    return deviceResets ? RESULT_OK : DEV_ERR_CONTROL_TRANSFER;
  }
  const auto deadline = EngineNow() + std::chrono::milliseconds(DfuseCommandLimit());
  while (EngineNow() < deadline) {
    DfuStatus status{};
    if (DfuGetStatus(handle, &status) != RESULT_OK) {
      return deviceResets ? RESULT_OK : DEV_ERR_CONTROL_TRANSFER;
    }
    // A manifestation state closes the device: it is on its way out.
    if (*handle == DEVICE_INVALID_HANDLE) return deviceResets ? RESULT_OK : OP_ERR_UNEXPECTED;
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

}  // namespace

void SetDfuseCommandLimit(uint32_t milliseconds) { ConfiguredCommandLimit() = milliseconds; }

StatusCode RunDfuseCommand(const std::string& devicePath, uint8_t command, bool deviceResets) {
  CreateDevicesManager();
  DeviceHandle handle = DEVICE_INVALID_HANDLE;
  StatusCode status = OpenDevice(devicePath, &handle);
  if (status != RESULT_OK) return status;
  status = SelectAlternateSetting(handle, 0);
  if (status == RESULT_OK) status = SendAndWait(&handle, command, deviceResets);
  if (handle != DEVICE_INVALID_HANDLE) CloseDevice(handle);
  return status;
}
