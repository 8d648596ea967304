// The "sim:" driver port: the virtual device behind the platform's driver
// calls, as a backend of the driver port (requests pass through
// sim/driver_front.h). Each appearance of the device on the
// bus has its own path ("sim:0", after a detach and return "sim:1", ...); a
// path that has left the bus opens no more, and a connection to it fails
// every request.
#ifndef ZUVA_SIM_SIM_BACKEND_H_
#define ZUVA_SIM_SIM_BACKEND_H_

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/driver_port.h"
#include "sim/sim_recorder.h"

constexpr char SIM_PATH_PREFIX[] = "sim:";

class CSimBackend : public DriverBackend {
 public:
  // A device whose profile has it arrive later joins the bus, announced,
  // that long after the backend is made (or never, when it goes first).
  explicit CSimBackend(std::shared_ptr<CSimRecorder> recorder);
  ~CSimBackend() override;

  std::string PathPrefix() const override { return SIM_PATH_PREFIX; }
  bool IsVirtual() const override { return true; }
  std::unique_ptr<DriverConnection> Open(const std::string& path, StatusCode* failure) override;
  bool Enumerate(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces) override;

  CDfuDevice* Device() const { return recorder_->Device(); }
  CSimRecorder* Recorder() const { return recorder_.get(); }
  // The path of the device's current appearance (also while it is gone).
  std::string CurrentPath() const;
  // Pulls the device off the bus and announces the removal.
  void Unplug();

  static std::string PathOf(uint32_t attachment);
  // Announces bus changes with PostDeviceChange.
  static void Announce(const std::vector<SimBusChange>& changes);

 private:
  const std::shared_ptr<CSimRecorder> recorder_;
  std::thread arrival_;
  std::mutex arrivalMutex_;
  std::condition_variable arrivalCancelled_;
  bool cancelled_ = false;
};

#endif  // ZUVA_SIM_SIM_BACKEND_H_
