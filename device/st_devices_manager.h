// Inside the device layer: the table of open devices behind device handles.
// The flat API (device_manager.h), the DFU requests and the memory-map
// decoder reach a device only through WithDevice.
#ifndef ZUVA_DEVICE_ST_DEVICES_MANAGER_H_
#define ZUVA_DEVICE_ST_DEVICES_MANAGER_H_

#include <functional>
#include <memory>
#include <vector>

#include "common/cobject.h"
#include "common/status_code.h"
#include "device/device_manager.h"
#include "device/st_device.h"

class CSTDevicesManager : public CObject {
 public:
  CSTDevicesManager() = default;
  // Closes and destroys the devices still open, in opening order.
  ~CSTDevicesManager() override;

  // Appends an open device; returns its new handle.
  DeviceHandle Add(std::unique_ptr<CSTDevice> device);
  // The device of `handle`, or null when the handle is not in the table.
  CSTDevice* Find(DeviceHandle handle) const;
  // Closes and destroys the device of `handle` and closes the gap; false when
  // the handle is not in the table.
  bool Remove(DeviceHandle handle);
  size_t Count() const { return table.size(); }

 private:
  struct Entry {
    DeviceHandle handle;
    std::unique_ptr<CSTDevice> device;
  };
  std::vector<Entry> table;  // in opening order
};

// Runs `action` with the table locked on the device of `handle`. No manager:
// DEV_ERR_NO_MANAGER; handle not in the table: DEV_ERR_BAD_PARAMETER; else the
// action's result. The action may remove the device through the manager it
// is given, and must not call the flat API (the lock is not recursive).
StatusCode WithDevice(DeviceHandle handle,
                      const std::function<StatusCode(CSTDevice&, CSTDevicesManager&)>& action);

#endif  // ZUVA_DEVICE_ST_DEVICES_MANAGER_H_
