#include "device/dfu_requests.h"

#include <cstring>

#include "device/st_devices_manager.h"
#include "protocol/driver_requests.h"

namespace {

// Every DFU request in DFU mode goes to interface 0; only DFU_DETACH names
// the run-time interface it is sent to.
constexpr uint16_t DFU_MODE_INTERFACE = 0;

ControlRequestHeader ClassRequest(uint32_t direction, uint8_t request, uint16_t value,
                                  uint16_t index, uint32_t length) {
  ControlRequestHeader header;
  header.requestKind = CONTROL_REQUEST_KIND_CLASS_INTERFACE;
  header.direction = direction;
  header.request = request;
  header.value = value;
  header.index = index;
  header.length = length;
  return header;
}

// DFU_DETACH names the run-time interface and the detach time-out.
ControlRequestHeader DetachRequest(uint8_t interfaceNumber) {
  return ClassRequest(CONTROL_DIRECTION_HOST_TO_DEVICE, DFU_REQUEST_DETACH, DFU_DETACH_TIMEOUT_MS,
                      interfaceNumber, 0);
}

// Runs `action` on the device of *handle. When `closesDevice` approves the
// completed action, the device is closed in the same turn of the table lock
// and *handle cleared: the device is leaving the bus, and no later request
// may reach it.
template <typename Action, typename ClosesDevice>
StatusCode Act(DeviceHandle* handle, Action action, ClosesDevice closesDevice) {
  if (handle == nullptr) return DEV_ERR_BAD_PARAMETER;
  DeviceHandle target = *handle;
  bool closed = false;
  StatusCode status = WithDevice(target, [&](CSTDevice& device, CSTDevicesManager& manager) {
    StatusCode result = action(device);
    if (result == RESULT_OK && closesDevice()) closed = manager.Remove(target);
    return result;
  });
  if (closed) *handle = DEVICE_INVALID_HANDLE;
  return status;
}

thread_local DfuRequestRecord t_lastFailed;

// Sends one request to the device of *handle, closing it as Act does.
template <typename ClosesDevice>
StatusCode Send(DeviceHandle* handle, const ControlRequestHeader& header, void* data,
                ClosesDevice closesDevice, uint32_t* received = nullptr) {
  const StatusCode result = Act(
      handle, [&](CSTDevice& device) { return device.SendControlRequest(&header, data, received); },
      closesDevice);
  if (result != RESULT_OK) {
    t_lastFailed = {static_cast<uint8_t>(header.request), result, 0};
  } else if (t_lastFailed.request != 0xFF) {
    ++t_lastFailed.later;
  }
  return result;
}

StatusCode Send(DeviceHandle* handle, const ControlRequestHeader& header, void* data) {
  return Send(handle, header, data, [] { return false; });
}

}  // namespace

DfuRequestRecord LastFailedDfuRequest() { return t_lastFailed; }

StatusCode DfuDetach(DeviceHandle* handle, uint8_t interfaceNumber) {
  return Send(handle, DetachRequest(interfaceNumber), nullptr, [] { return true; });
}

StatusCode DfuDetachStaying(DeviceHandle* handle, uint8_t interfaceNumber) {
  return Send(handle, DetachRequest(interfaceNumber), nullptr);
}

StatusCode UsbResetDevice(DeviceHandle* handle) {
  return Act(
      handle, [](CSTDevice& device) { return device.ResetPort(); }, [] { return true; });
}

StatusCode DfuDownload(DeviceHandle* handle, const void* data, uint32_t length,
                       uint16_t blockNumber) {
  if (handle == nullptr || data == nullptr) return DEV_ERR_BAD_PARAMETER;
  // Host-to-device: the data stage is only read.
  return Send(handle,
              ClassRequest(CONTROL_DIRECTION_HOST_TO_DEVICE, DFU_REQUEST_DNLOAD, blockNumber,
                           DFU_MODE_INTERFACE, length),
              const_cast<void*>(data));
}

StatusCode DfuUpload(DeviceHandle* handle, void* buffer, uint32_t length, uint16_t blockNumber) {
  if (handle == nullptr || buffer == nullptr) return DEV_ERR_BAD_PARAMETER;
  return Send(handle,
              ClassRequest(CONTROL_DIRECTION_DEVICE_TO_HOST, DFU_REQUEST_UPLOAD, blockNumber,
                           DFU_MODE_INTERFACE, length),
              buffer);
}

StatusCode DfuUploadUpTo(DeviceHandle* handle, void* buffer, uint32_t length, uint16_t blockNumber,
                         uint32_t* received) {
  if (handle == nullptr || buffer == nullptr || received == nullptr) return DEV_ERR_BAD_PARAMETER;
  return Send(
      handle,
      ClassRequest(CONTROL_DIRECTION_DEVICE_TO_HOST, DFU_REQUEST_UPLOAD, blockNumber,
                   DFU_MODE_INTERFACE, length),
      buffer, [] { return false; }, received);
}

StatusCode DfuGetStatusStaying(DeviceHandle* handle, DfuStatus* status) {
  if (handle == nullptr || status == nullptr) return DEV_ERR_BAD_PARAMETER;
  return Send(handle,
              ClassRequest(CONTROL_DIRECTION_DEVICE_TO_HOST, DFU_REQUEST_GETSTATUS, 0,
                           DFU_MODE_INTERFACE, sizeof(DfuStatus)),
              status);
}

StatusCode DfuGetStatus(DeviceHandle* handle, DfuStatus* status) {
  if (handle == nullptr || status == nullptr) return DEV_ERR_BAD_PARAMETER;
  // Manifestation: the device is about to reset with its new firmware.
  return Send(handle,
              ClassRequest(CONTROL_DIRECTION_DEVICE_TO_HOST, DFU_REQUEST_GETSTATUS, 0,
                           DFU_MODE_INTERFACE, sizeof(DfuStatus)),
              status, [status] {
                return status->bState == DFU_STATE_MANIFEST ||
                       status->bState == DFU_STATE_MANIFEST_WAIT_RESET;
              });
}

StatusCode DfuClearStatus(DeviceHandle* handle) {
  return Send(handle,
              ClassRequest(CONTROL_DIRECTION_HOST_TO_DEVICE, DFU_REQUEST_CLRSTATUS, 0,
                           DFU_MODE_INTERFACE, 0),
              nullptr);
}

StatusCode DfuGetState(DeviceHandle* handle, uint8_t* state) {
  if (handle == nullptr || state == nullptr) return DEV_ERR_BAD_PARAMETER;
  return Send(handle,
              ClassRequest(CONTROL_DIRECTION_DEVICE_TO_HOST, DFU_REQUEST_GETSTATE, 0,
                           DFU_MODE_INTERFACE, 1),
              state);
}

StatusCode DfuAbort(DeviceHandle* handle) {
  return Send(handle,
              ClassRequest(CONTROL_DIRECTION_HOST_TO_DEVICE, DFU_REQUEST_ABORT, 0,
                           DFU_MODE_INTERFACE, 0),
              nullptr);
}

StatusCode ReadDfuFunctionalDescriptor(DeviceHandle* handle, uint32_t* interfaceNumber,
                                       uint32_t* alternateCount,
                                       DfuFunctionalDescriptor* descriptor) {
  if (handle == nullptr || interfaceNumber == nullptr || alternateCount == nullptr ||
      descriptor == nullptr) {
    return DEV_ERR_BAD_PARAMETER;
  }
  return WithDevice(*handle, [&](CSTDevice& device, CSTDevicesManager&) {
    if (!device.IsOpen()) return DEV_ERR_NOT_OPEN;
    if (device.NumConfigurations() == 0) return DEV_ERR_BAD_PARAMETER;
    // The DFU interface is the last one of configuration 0 (bNumInterfaces 0
    // wraps to an ordinal the walks refuse).
    uint32_t last = static_cast<uint32_t>(device.NumInterfaces()) - 1;
    uint32_t count = 0;
    StatusCode status = device.CountAlternateSettings(last, &count);
    if (status != RESULT_OK) return status;

    // Its functional descriptor follows the last alternate setting's
    // interface descriptor. A shorter descriptor is copied with its own
    // length over a zeroed buffer.
    uint8_t functional[sizeof(DfuFunctionalDescriptor)] = {};
    status = device.FindClassDescriptor(last, count - 1, functional);
    if (status != RESULT_OK) return status;
    std::memcpy(descriptor, functional, sizeof functional);

    uint8_t interfaceDescriptor[DEVICE_INTERFACE_DESCRIPTOR_SIZE] = {};
    status = device.FindInterfaceDescriptor(last, 0, interfaceDescriptor);
    if (status != RESULT_OK) return status;
    *interfaceNumber = interfaceDescriptor[2];
    *alternateCount = count;
    return RESULT_OK;
  });
}

StatusCode ReadDfuInterface(DeviceHandle* handle, uint8_t* interfaceNumber,
                            DfuFunctionalDescriptor* descriptor) {
  if (handle == nullptr || interfaceNumber == nullptr || descriptor == nullptr) {
    return DEV_ERR_BAD_PARAMETER;
  }
  return WithDevice(*handle, [&](CSTDevice& device, CSTDevicesManager&) {
    if (!device.IsOpen()) return DEV_ERR_NOT_OPEN;
    uint8_t number = 0;
    uint8_t functional[sizeof(DfuFunctionalDescriptor)] = {};
    const StatusCode status = device.FindDfuInterface(&number, functional);
    if (status != RESULT_OK) return status;
    *interfaceNumber = number;
    std::memcpy(descriptor, functional, sizeof functional);
    return RESULT_OK;
  });
}
