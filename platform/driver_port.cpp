// The portable driver port: the one table of open connections behind
// DriverHandle values, the registry of backends (the platform's own first),
// and the dispatch of each path to the backend that claims it.
//
// The console thread and one operation worker both open, use and close
// devices, so the table and the registry each have a lock. No lock is held
// while a backend works: a transfer can take long and a backend may post
// device-change events from inside a request.
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/driver_port.h"
#include "platform/system_backends.h"
#include "protocol/driver_requests.h"
#include "platform/usb/usb_requests.h"

namespace {

// One open device: a backend's connection, which keeps its backend alive.
// Closing happens when the last user lets go, so a DriverClose that races a
// request on the same handle never pulls the connection from under it.
class CPortConnection {
 public:
  CPortConnection(std::shared_ptr<DriverBackend> backend,
                  std::unique_ptr<DriverConnection> connection, std::string path)
      : backend_(std::move(backend)), connection_(std::move(connection)), path_(std::move(path)) {}
  ~CPortConnection() { connection_.reset(); }  // before the backend it belongs to
  CPortConnection(const CPortConnection&) = delete;
  CPortConnection& operator=(const CPortConnection&) = delete;

  DriverConnection& Get() { return *connection_; }
  const std::string& Path() const { return path_; }

 private:
  std::shared_ptr<DriverBackend> backend_;
  std::unique_ptr<DriverConnection> connection_;
  const std::string path_;
};

struct HandleTable {
  std::mutex mutex;
  // Handles come from a counter that never repeats, so a closed handle can
  // never reach a later connection.
  DriverHandle nextHandle = 1;
  std::map<DriverHandle, std::shared_ptr<CPortConnection>> connections;
};

struct BackendRegistry {
  std::mutex mutex;
  std::vector<std::shared_ptr<DriverBackend>> backends;  // in registration order
};

HandleTable& Handles() {
  static HandleTable* table = new HandleTable;  // outlives every static destructor
  return *table;
}

BackendRegistry& Backends() {
  static BackendRegistry* registry = [] {
    auto* created = new BackendRegistry;
    created->backends = SystemDriverBackends();
    return created;
  }();
  return *registry;
}

std::vector<std::shared_ptr<DriverBackend>> SnapshotBackends() {
  BackendRegistry& registry = Backends();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return registry.backends;
}

std::shared_ptr<CPortConnection> FindConnection(DriverHandle handle) {
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.connections.find(handle);
  return it == table.connections.end() ? nullptr : it->second;
}

DriverHandle AddConnection(std::shared_ptr<DriverBackend> backend,
                           std::unique_ptr<DriverConnection> connection, const std::string& path) {
  auto entry = std::make_shared<CPortConnection>(std::move(backend), std::move(connection), path);
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  DriverHandle handle = table.nextHandle++;
  table.connections.emplace(handle, std::move(entry));
  return handle;
}

// The backends that claim `path`, in registration order: those whose prefix
// begins it, or, when there are none, those without a prefix (the platform's
// own driver). Several backends may share a prefix (one per virtual device).
std::vector<std::shared_ptr<DriverBackend>> BackendsOf(const std::string& path) {
  std::vector<std::shared_ptr<DriverBackend>> prefixed, unprefixed;
  for (auto& backend : SnapshotBackends()) {
    const std::string prefix = backend->PathPrefix();
    if (prefix.empty()) {
      unprefixed.push_back(std::move(backend));
    } else if (path.compare(0, prefix.size(), prefix) == 0) {
      prefixed.push_back(std::move(backend));
    }
  }
  return prefixed.empty() ? unprefixed : prefixed;
}

// The running capture, if any, and the device number of each path it has
// seen. The capture writes under its own lock; this one only hands it out.
struct CaptureSlot {
  std::mutex mutex;
  std::shared_ptr<CUsbCapture> capture;
  std::map<std::string, uint8_t> devices;
};

constexpr uint16_t DRIVER_CAPTURE_BUS = 1;

CaptureSlot& Capture() {
  static CaptureSlot* slot = new CaptureSlot;  // outlives every static destructor
  return *slot;
}

// The capture and the device number of `path` in it; null when none runs.
std::shared_ptr<CUsbCapture> CaptureOf(const std::string& path, uint8_t* device) {
  CaptureSlot& slot = Capture();
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (!slot.capture) return nullptr;
  auto it = slot.devices.find(path);
  if (it == slot.devices.end()) {
    // USB addresses run from 1 to 127; a longer run reuses them.
    const auto number = static_cast<uint8_t>(slot.devices.size() % 127 + 1);
    it = slot.devices.emplace(path, number).first;
  }
  *device = it->second;
  return slot.capture;
}

}  // namespace

bool DriverCaptureStart(const std::string& path,
                        std::function<void(const std::string&)> onFailure, std::string* error) {
  auto capture = std::make_shared<CUsbCapture>(std::move(onFailure));
  if (!capture->Open(path, error)) return false;
  CaptureSlot& slot = Capture();
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.capture = std::move(capture);
  slot.devices.clear();
  return true;
}

void DriverCaptureStop() {
  std::shared_ptr<CUsbCapture> capture;
  {
    CaptureSlot& slot = Capture();
    std::lock_guard<std::mutex> lock(slot.mutex);
    capture = std::move(slot.capture);
    slot.devices.clear();
  }
  // The file closes when the last request that holds the capture ends.
}

void RegisterDriverBackend(std::shared_ptr<DriverBackend> backend) {
  if (!backend) return;
  BackendRegistry& registry = Backends();
  std::lock_guard<std::mutex> lock(registry.mutex);
  for (const auto& known : registry.backends) {
    if (known == backend) return;
  }
  registry.backends.push_back(std::move(backend));
}

void UnregisterDriverBackend(const DriverBackend* backend) {
  BackendRegistry& registry = Backends();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto& list = registry.backends;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [backend](const auto& known) { return known.get() == backend; }),
             list.end());
}

DriverHandle DriverOpen(const std::string& path, StatusCode* failure) {
  StatusCode ignored = DEV_ERR_OPEN_FAILED;
  if (failure == nullptr) failure = &ignored;
  *failure = DEV_ERR_OPEN_FAILED;
  if (path.empty()) return DRIVER_INVALID_HANDLE;
  // The path belongs to the first of its backends that opens it.
  for (auto& backend : BackendsOf(path)) {
    std::unique_ptr<DriverConnection> connection = backend->Open(path, failure);
    if (connection) return AddConnection(backend, std::move(connection), path);
  }
  return DRIVER_INVALID_HANDLE;
}

StatusCode DriverHold(const std::string& path, uint8_t interfaceNumber, DriverHandle* held) {
  *held = DRIVER_INVALID_HANDLE;
  if (path.empty()) return DEV_ERR_OPEN_FAILED;
  const std::vector<std::shared_ptr<DriverBackend>> backends = BackendsOf(path);
  if (backends.empty()) return DEV_ERR_OPEN_FAILED;  // no backend can reach the path
  std::unique_ptr<DriverConnection> connection;
  const StatusCode status = backends.front()->Hold(path, interfaceNumber, &connection);
  if (connection) *held = AddConnection(backends.front(), std::move(connection), path);
  return status;
}

bool DriverIoControl(DriverHandle handle, uint32_t code, const void* input, uint32_t inputSize,
                     void* output, uint32_t outputSize, uint32_t* bytesReturned) {
  uint32_t ignored = 0;
  if (bytesReturned == nullptr) bytesReturned = &ignored;
  *bytesReturned = 0;
  std::shared_ptr<CPortConnection> connection = FindConnection(handle);
  if (!connection) return false;
  uint8_t device = 0;
  const std::shared_ptr<CUsbCapture> capture = CaptureOf(connection->Path(), &device);
  DriverSetup translated;
  // A request the driver refuses never reaches the bus, and is not captured.
  if (!capture || !DriverRequestToSetup(code, static_cast<const uint8_t*>(input), inputSize,
                                        output == nullptr ? 0 : outputSize, &translated)) {
    return connection->Get().IoControl(code, input, inputSize, output, outputSize, bytesReturned);
  }
  const UsbSetup& setup = translated.setup;
  const uint64_t id = capture->Submit(DRIVER_CAPTURE_BUS, device, setup, translated.outData);
  const bool completed =
      connection->Get().IoControl(code, input, inputSize, output, outputSize, bytesReturned);
  capture->Complete(id, DRIVER_CAPTURE_BUS, device, setup,
                    completed ? UsbTransferOutcome::kOk : connection->Get().LastFailure(),
                    static_cast<const uint8_t*>(output), *bytesReturned);
  return completed;
}

StatusCode DriverResetDevice(DriverHandle handle) {
  std::shared_ptr<CPortConnection> connection = FindConnection(handle);
  if (!connection) return DEV_ERR_NOT_OPEN;
  return connection->Get().Reset();
}

void DriverClose(DriverHandle handle) {
  std::shared_ptr<CPortConnection> connection;
  {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.connections.find(handle);
    if (it == table.connections.end()) return;
    connection = std::move(it->second);
    table.connections.erase(it);
  }
  // The connection closes here, outside the table's lock, unless a request on
  // another thread still holds it.
}

bool EnumerateInterfaces(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces) {
  if (interfaces == nullptr) return false;
  interfaces->clear();
  bool listed = true;
  std::vector<std::shared_ptr<DriverBackend>> backends = SnapshotBackends();
  // Real devices come before virtual ones, whatever the registration order;
  // the platform's own backends, registered first, lead.
  for (bool wantVirtual : {false, true}) {
    for (const auto& backend : backends) {
      if (backend->IsVirtual() != wantVirtual) continue;
      if (!backend->Enumerate(interfaceClass, interfaces)) listed = false;
    }
  }
  return listed;
}

std::string DriverSystemNode(const std::string& path) {
  for (auto& backend : BackendsOf(path)) {
    std::string node = backend->SystemNode(path);
    if (!node.empty()) return node;
  }
  return "";
}

bool DriverPathNamedBy(const std::string& path, const std::string& given) {
  if (path == given) return true;
  const std::string located = USB_PATH_PREFIX + given;
  uint8_t bus = 0;
  std::vector<uint8_t> ports;
  return path == located && UsbParsePath(located, &bus, &ports);
}
