// Inside the device layer: the table of open devices behind device handles.
// The flat API (device_manager.h), the DFU requests and the memory-map
// decoder reach a device only through WithDevice.
#ifndef ZUVA_DEVICE_ST_DEVICES_MANAGER_H_
#define ZUVA_DEVICE_ST_DEVICES_MANAGER_H_

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "common/cobject.h"
#include "common/status_code.h"
#include "device/device_manager.h"
#include "device/st_device.h"

class CSTDevicesManager : public CObject {
 public:
  // One open device and the lock that a call on it holds, so that a device
  // object is never used by two threads at once. `device` is null once the
  // device has been closed while someone still held the slot.
  struct Slot {
    std::mutex mutex;
    std::unique_ptr<CSTDevice> device;
  };

  CSTDevicesManager() = default;
  // Closes and destroys the devices still open, in opening order.
  ~CSTDevicesManager() override;

  // Appends an open device; returns its new handle.
  DeviceHandle Add(std::unique_ptr<CSTDevice> device);
  // The slot of `handle`, or null when the handle is not in the table.
  std::shared_ptr<Slot> Find(DeviceHandle handle) const;
  // Takes the slot of `handle` out of the table (null when it is not there);
  // its device is still open.
  std::shared_ptr<Slot> Take(DeviceHandle handle);
  // Closes and destroys the device of `handle` and closes the gap; false when
  // the handle is not in the table. Only an action of WithDevice on that
  // handle calls it, holding the device's lock.
  bool Remove(DeviceHandle handle);
  size_t Count() const;

 private:
  struct Entry {
    DeviceHandle handle;
    std::shared_ptr<Slot> slot;
  };
  // Held only to look a handle up, add or take out an entry, never during a
  // device call: devices driven from different threads work at once.
  mutable std::mutex tableMutex;
  std::vector<Entry> table;  // in opening order
};

// Runs `action` on the device of `handle`, holding that device's lock (and
// no other). No manager: DEV_ERR_NO_MANAGER; handle not in the table, or its
// device closed while the call waited for it: DEV_ERR_BAD_PARAMETER; else the
// action's result. The action may remove its device through the manager it
// is given, and must not call the flat API on the same handle (the lock is
// not recursive).
StatusCode WithDevice(DeviceHandle handle,
                      const std::function<StatusCode(CSTDevice&, CSTDevicesManager&)>& action);

#endif  // ZUVA_DEVICE_ST_DEVICES_MANAGER_H_
