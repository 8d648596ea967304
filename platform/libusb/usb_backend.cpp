#include "platform/libusb/usb_backend.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <utility>

#include "platform/device_events.h"
#include "platform/device_notifier.h"
#include "platform/driver_port.h"
#include "platform/usb/usb_requests.h"
#include "platform/text.h"
#include "platform/thread_start.h"
#include "protocol/byte_order.h"

namespace {

static_assert(USB_RESULT_BUSY == LIBUSB_ERROR_BUSY);

// The kernel keeps each device's strings as text under this folder, named as
// the device's port chain ("1-2.3").
constexpr char USB_SYSFS_DEVICES[] = "/sys/bus/usb/devices/";
constexpr int USB_MAX_PORTS = 7;

// The process's libusb context and the thread that runs its events.
class CUsbContext {
 public:
  static std::shared_ptr<CUsbContext> Start() {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) return nullptr;
    auto created = std::shared_ptr<CUsbContext>(new CUsbContext(context));
    // Without its event thread the layer would miss every arrival and
    // removal; it then stays closed, as on a machine without USB, and the
    // next use tries again.
    if (!created->StartEvents()) return nullptr;
    return created;
  }
  ~CUsbContext() {
    StopEvents();
    libusb_exit(context_);
  }
  CUsbContext(const CUsbContext&) = delete;
  CUsbContext& operator=(const CUsbContext&) = delete;

  libusb_context* Get() const { return context_; }

  // Stops the hot-plug thread; the context stays usable for transfers, which
  // run libusb's events themselves.
  void StopEvents() {
    if (!events_.joinable()) return;
    if (hotplugRegistered_) libusb_hotplug_deregister_callback(context_, hotplug_);
    hotplugRegistered_ = false;
    stopping_ = true;
    libusb_interrupt_event_handler(context_);
    events_.join();
  }

 private:
  explicit CUsbContext(libusb_context* context) : context_(context) {}

  bool StartEvents() {
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0) {
      hotplugRegistered_ =
          libusb_hotplug_register_callback(
              context_,
              static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
              static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY,
              LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, &CUsbContext::OnHotplug,
              nullptr, &hotplug_) == LIBUSB_SUCCESS;
    }
    const bool started = PlatformStartThread(&events_, [this] {
      while (!stopping_) {
        timeval timeout = {0, 250000};
        libusb_handle_events_timeout_completed(context_, &timeout, nullptr);
      }
    });
    if (!started && hotplugRegistered_) {
      libusb_hotplug_deregister_callback(context_, hotplug_);
      hotplugRegistered_ = false;
    }
    return started;
  }

  static int LIBUSB_CALL OnHotplug(libusb_context* context, libusb_device* device,
                                   libusb_hotplug_event event, void* user);

  libusb_context* const context_;
  std::thread events_;
  std::atomic<bool> stopping_{false};
  bool hotplugRegistered_ = false;
  libusb_hotplug_callback_handle hotplug_ = 0;
};

struct UsbHandleCloser {
  void operator()(libusb_device_handle* handle) const { libusb_close(handle); }
};
using UsbHandle = std::unique_ptr<libusb_device_handle, UsbHandleCloser>;

// One opened device, shared by every connection to its path; it owns the
// device's libusb handle.
class CUsbDevice : public CUsbTransport {
 public:
  CUsbDevice(std::shared_ptr<CUsbContext> context, UsbHandle handle, uint8_t address)
      : context_(std::move(context)), handle_(std::move(handle)), address_(address) {}
  ~CUsbDevice() override {
    // The handle closes after its interfaces are released.
    for (uint8_t number : claimed_) libusb_release_interface(handle_.get(), number);
  }
  CUsbDevice(const CUsbDevice&) = delete;
  CUsbDevice& operator=(const CUsbDevice&) = delete;

  uint8_t Address() const { return address_; }

  // *failure: why the request failed, when it did.
  bool IoControl(uint32_t code, const void* input, uint32_t inputSize, void* output,
                 uint32_t outputSize, uint32_t* bytesReturned, UsbTransferOutcome* failure) {
    // Two connections (the console thread's and a worker's) may share the
    // device; one request at a time keeps the claim bookkeeping whole.
    std::lock_guard<std::mutex> lock(mutex_);
    const bool completed =
        UsbAnswerDriverRequest(this, code, input, inputSize, output, outputSize, bytesReturned);
    *failure = lastFailure;
    return completed;
  }

  int ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                      uint8_t* data, uint16_t length, unsigned timeoutMs) override {
    return libusb_control_transfer(handle_.get(), requestType, request, value, index, data, length,
                                   timeoutMs);
  }

  // The claim of a hold, under the same lock as requests, which claim too.
  StatusCode Hold(uint8_t interfaceNumber) {
    std::lock_guard<std::mutex> lock(mutex_);
    return UsbHoldInterface(this, interfaceNumber);
  }

  int ClaimInterface(uint8_t interfaceNumber) override {
    if (std::find(claimed_.begin(), claimed_.end(), interfaceNumber) != claimed_.end()) return 0;
    int result = libusb_claim_interface(handle_.get(), interfaceNumber);
    if (result == LIBUSB_SUCCESS) claimed_.push_back(interfaceNumber);
    return result;
  }

  int SetAlternateSetting(uint8_t interfaceNumber, uint8_t alternateSetting) override {
    return libusb_set_interface_alt_setting(handle_.get(), interfaceNumber, alternateSetting);
  }

  StatusCode Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (libusb_reset_device(handle_.get())) {
      case LIBUSB_SUCCESS:
      case LIBUSB_ERROR_NOT_FOUND:  // re-enumerated as a new device, or gone
        return RESULT_OK;
      case LIBUSB_ERROR_NOT_SUPPORTED:
        return DEV_ERR_RESET_UNSUPPORTED;
      default:
        return DEV_ERR_RESET_FAILED;
    }
  }

 private:
  const std::shared_ptr<CUsbContext> context_;  // outlives the handle
  const UsbHandle handle_;
  const uint8_t address_;
  std::mutex mutex_;
  std::vector<uint8_t> claimed_;
};

// The process's libusb state: the context, and the devices open by path, so
// that a second open of a path shares the first one's libusb handle. The
// connections themselves live in the driver port's handle table.
struct UsbLayer {
  std::mutex mutex;
  std::shared_ptr<CUsbContext> context;
  std::map<std::string, std::weak_ptr<CUsbDevice>> devices;

  UsbLayer() {
    // The hot-plug thread posts into the event queues, so they must outlive
    // this object: touching them here constructs them first, and statics are
    // destroyed in the reverse order.
    (void)HasQueuedDeviceChanges();
  }
  ~UsbLayer() {
    // Connections still open at exit keep the context; its thread must stop
    // before the event queues go.
    if (context) context->StopEvents();
  }
};

UsbLayer& Layer() {
  static UsbLayer layer;
  return layer;
}

// One open of a "usb:" path. The last connection of a device releases its
// interfaces and closes its libusb handle.
class CUsbConnection : public DriverConnection {
 public:
  explicit CUsbConnection(std::shared_ptr<CUsbDevice> device) : device_(std::move(device)) {}
  ~CUsbConnection() override {
    device_.reset();  // closes the device here, outside the layer's lock
    UsbLayer& layer = Layer();
    std::lock_guard<std::mutex> lock(layer.mutex);
    for (auto it = layer.devices.begin(); it != layer.devices.end();) {
      it = it->second.expired() ? layer.devices.erase(it) : std::next(it);
    }
  }
  CUsbConnection(const CUsbConnection&) = delete;
  CUsbConnection& operator=(const CUsbConnection&) = delete;

  // Transfers and resets run without the layer's lock: they can take seconds.
  bool IoControl(uint32_t code, const void* input, uint32_t inputSize, void* output,
                 uint32_t outputSize, uint32_t* bytesReturned) override {
    return device_->IoControl(code, input, inputSize, output, outputSize, bytesReturned,
                              &lastFailure_);
  }
  UsbTransferOutcome LastFailure() const override { return lastFailure_; }
  StatusCode Reset() override { return device_->Reset(); }
  StatusCode Hold(uint8_t interfaceNumber) { return device_->Hold(interfaceNumber); }

 private:
  std::shared_ptr<CUsbDevice> device_;
  UsbTransferOutcome lastFailure_ = UsbTransferOutcome::kFailed;
};

std::shared_ptr<CUsbContext> ContextLocked(UsbLayer& layer) {
  if (!layer.context) layer.context = CUsbContext::Start();
  return layer.context;
}

std::string PathOf(libusb_device* device) {
  uint8_t ports[USB_MAX_PORTS];
  int count = libusb_get_port_numbers(device, ports, USB_MAX_PORTS);
  if (count <= 0) return "";  // a root hub has no port of its own
  return UsbFormatPath(libusb_get_bus_number(device), std::vector<uint8_t>(ports, ports + count));
}

std::vector<Guid> ClassesOf(libusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS &&
      libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) {
    return {};
  }
  std::vector<UsbInterfaceTriple> triples;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& d = interface.altsetting[a];
      triples.push_back({d.bInterfaceClass, d.bInterfaceSubClass, d.bInterfaceProtocol});
    }
  }
  libusb_free_config_descriptor(config);
  return UsbListedClasses(triples);
}

// The product string as the kernel read it when the device arrived. Without
// the device's folder (no sysfs) the device itself is asked.
void ReadDescription(libusb_device* device, const std::string& path, InterfaceInfo* info) {
  const std::string folder = USB_SYSFS_DEVICES + path.substr(std::char_traits<char>::length(USB_PATH_PREFIX));
  struct stat status;
  if (stat(folder.c_str(), &status) == 0) {
    std::string text;
    // No product string, or it could not be read.
    if (!UsbReadAttributeText(folder + "/product", &text)) return;
    info->hasDescription = true;
    info->description = std::move(text);
    return;
  }
  libusb_device_descriptor descriptor;
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS ||
      descriptor.iProduct == 0) {
    return;
  }
  libusb_device_handle* handle = nullptr;
  if (libusb_open(device, &handle) != LIBUSB_SUCCESS) return;
  uint8_t buffer[255] = {};
  int got = libusb_get_string_descriptor(handle, descriptor.iProduct, USB_LANGID_EN_US, buffer,
                                         sizeof buffer);
  libusb_close(handle);
  if (got < 2 || buffer[1] != LIBUSB_DT_STRING) return;
  std::vector<uint16_t> units;
  for (int i = 2; i + 1 < std::min<int>(got, buffer[0]); i += 2) {
    units.push_back(GetLe16(buffer + i));
  }
  info->hasDescription = true;
  info->description = Utf16ToConsoleText(units.data(), units.size());
}

int LIBUSB_CALL CUsbContext::OnHotplug(libusb_context* /*context*/, libusb_device* device,
                                       libusb_hotplug_event event, void* /*user*/) {
  // Runs on the event thread: only queue the news for the notifiers' threads.
  const std::string path = PathOf(device);
  if (path.empty()) return 0;
  for (const Guid& listed : ClassesOf(device)) {
    DeviceChangeEvent change;
    change.kind = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? DeviceChangeKind::kArrival
                                                               : DeviceChangeKind::kRemoval;
    change.interfaceClass = listed;
    change.path = path;
    PostDeviceChange(change);
  }
  return 0;  // stay registered
}

// The present device at `path`, with a reference the caller drops.
libusb_device* FindDevice(libusb_context* context, const std::string& path) {
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  if (count < 0) return nullptr;
  libusb_device* found = nullptr;
  for (ssize_t i = 0; i < count && found == nullptr; ++i) {
    if (PathOf(list[i]) == path) found = libusb_ref_device(list[i]);
  }
  libusb_free_device_list(list, 1);
  return found;
}

// Null when the device cannot be opened, and then *failure says why when
// the system does.
std::unique_ptr<CUsbConnection> OpenPath(const std::string& path, StatusCode* failure) {
  uint8_t bus = 0;
  std::vector<uint8_t> ports;
  if (!UsbParsePath(path, &bus, &ports)) return nullptr;
  UsbLayer& layer = Layer();
  std::lock_guard<std::mutex> lock(layer.mutex);
  std::shared_ptr<CUsbContext> context = ContextLocked(layer);
  if (!context) return nullptr;
  libusb_device* device = FindDevice(context->Get(), path);
  if (device == nullptr) return nullptr;
  const uint8_t address = libusb_get_device_address(device);
  std::shared_ptr<CUsbDevice> shared = layer.devices[path].lock();
  // A device that came back on the same port is a new device: it has a new
  // address and needs a handle of its own.
  if (!shared || shared->Address() != address) {
    libusb_device_handle* handle = nullptr;
    int result = libusb_open(device, &handle);
    if (result == LIBUSB_SUCCESS) {
      // Claiming then takes the interface from a kernel driver that holds it.
      // It never takes one that another program claimed through usbfs
      // (libusb detaches every driver but usbfs): that claim answers busy.
      libusb_set_auto_detach_kernel_driver(handle, 1);
      shared = std::make_shared<CUsbDevice>(context, UsbHandle(handle), address);
      layer.devices[path] = shared;
    } else {
      // libusb's word for EACCES on the usbfs node: the udev rule is missing
      // or the user is not (yet) in its group.
      if (result == LIBUSB_ERROR_ACCESS) *failure = DEV_ERR_ACCESS_DENIED;
      shared.reset();
    }
  }
  libusb_unref_device(device);
  if (!shared) return nullptr;
  return std::make_unique<CUsbConnection>(std::move(shared));
}

class CUsbBackend : public DriverBackend {
 public:
  std::string PathPrefix() const override { return ""; }
  bool IsVirtual() const override { return false; }

  std::unique_ptr<DriverConnection> Open(const std::string& path, StatusCode* failure) override {
    return OpenPath(path, failure);
  }

  // The claim stays with the device's libusb handle, which every open of the
  // path shares, until the held connection is closed.
  StatusCode Hold(const std::string& path, uint8_t interfaceNumber,
                  std::unique_ptr<DriverConnection>* held) override {
    StatusCode failure = DEV_ERR_OPEN_FAILED;
    std::unique_ptr<CUsbConnection> connection = OpenPath(path, &failure);
    if (!connection) return failure;
    const StatusCode status = connection->Hold(interfaceNumber);
    if (status == RESULT_OK) *held = std::move(connection);
    return status;
  }

  // The usbfs node that libusb opens for the device.
  std::string SystemNode(const std::string& path) override {
    UsbLayer& layer = Layer();
    std::shared_ptr<CUsbContext> context;
    {
      std::lock_guard<std::mutex> lock(layer.mutex);
      context = ContextLocked(layer);
    }
    if (!context) return "";
    libusb_device* device = FindDevice(context->Get(), path);
    if (device == nullptr) return "";
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
                  libusb_get_device_address(device));
    libusb_unref_device(device);
    return node;
  }

  bool Enumerate(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces) override;
};

bool CUsbBackend::Enumerate(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces) {
  std::shared_ptr<CUsbContext> context;
  {
    UsbLayer& layer = Layer();
    std::lock_guard<std::mutex> lock(layer.mutex);
    context = ContextLocked(layer);
  }
  // A machine without USB has no devices to list.
  if (!context) return true;
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context->Get(), &list);
  if (count < 0) return false;
  std::vector<std::pair<std::string, libusb_device*>> found;
  for (ssize_t i = 0; i < count; ++i) {
    std::string path = PathOf(list[i]);
    if (path.empty()) continue;
    std::vector<Guid> classes = ClassesOf(list[i]);
    if (std::find(classes.begin(), classes.end(), interfaceClass) == classes.end()) continue;
    found.emplace_back(std::move(path), list[i]);
  }
  // The order of the bus, not of libusb's list, so that the last device
  // listed is the same one from run to run.
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    uint8_t busA = 0, busB = 0;
    std::vector<uint8_t> portsA, portsB;
    UsbParsePath(a.first, &busA, &portsA);
    UsbParsePath(b.first, &busB, &portsB);
    return std::tie(busA, portsA) < std::tie(busB, portsB);
  });
  for (const auto& [path, device] : found) {
    InterfaceInfo info;
    info.path = path;
    ReadDescription(device, path, &info);
    interfaces->push_back(std::move(info));
  }
  libusb_free_device_list(list, 1);
  return true;
}

}  // namespace

std::shared_ptr<DriverBackend> CreateUsbBackend() { return std::make_shared<CUsbBackend>(); }

bool UsbReadAttributeText(const std::string& file, std::string* text) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) return false;
  // Through the stream's own reads, which turn a failed read into badbit:
  // the stream buffer itself (an istreambuf_iterator reads it directly)
  // throws at one, and a throw in the middle of a listing ended the
  // operation that listed.
  std::string read;
  char buffer[256];
  do {
    stream.read(buffer, sizeof buffer);
    read.append(buffer, static_cast<size_t>(stream.gcount()));
  } while (stream);
  if (stream.bad()) return false;
  if (!read.empty() && read.back() == '\n') read.pop_back();
  *text = std::move(read);
  return true;
}
