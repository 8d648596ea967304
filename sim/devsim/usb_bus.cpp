#include "sim/devsim/usb_bus.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/thread_start.h"
#include "protocol/byte_order.h"
#include "protocol/usb.h"
#include "sim/devsim/usbfs_seek.h"

namespace {

// The i-th device sits on port i + 1 of bus 1; its sysfs name is that port
// chain and stays when the device comes back, while device numbers grow
// with every appearance on the bus.
constexpr unsigned DEVSIM_BUS = 1;
constexpr unsigned DEVSIM_FIRST_DEVNUM = 2;  // 1 is the root hub's on a real bus
constexpr unsigned DEVSIM_USB_DEVICE_MAJOR = 189;
constexpr size_t DEVSIM_SETUP_SIZE = 8;
constexpr int DEVSIM_USB_SPEED_FULL = 2;  // enum usb_device_speed
// The kernel's name for the driver behind an interface that a program
// claimed through its node.
constexpr char DEVSIM_USBFS_DRIVER[] = "usbfs";

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value & 0xFFFF);
  return text;
}

std::string Number3(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%03u", value);
  return text;
}

// Owns one reference to a GObject.
template <typename T>
class CGRef {
 public:
  CGRef() = default;
  explicit CGRef(T* object) : object_(object) {}  // takes a reference
  static CGRef Share(T* object) {
    if (object != nullptr) g_object_ref(object);
    return CGRef(object);
  }
  CGRef(CGRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  CGRef& operator=(CGRef&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  CGRef(const CGRef&) = delete;
  CGRef& operator=(const CGRef&) = delete;
  ~CGRef() {
    if (object_ != nullptr) g_object_unref(object_);
  }
  T* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

using DataRef = CGRef<UMockdevIoctlData>;
using ClientRef = CGRef<UMockdevIoctlClient>;

DataRef Resolve(UMockdevIoctlData* data, size_t offset, size_t length) {
  GError* error = nullptr;
  UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
  if (error != nullptr) g_error_free(error);
  return DataRef(resolved);
}

void Complete(UMockdevIoctlClient* client, long result, int error) {
  umockdev_ioctl_client_complete(client, result, error);
}

}  // namespace

struct CUsbBus::Impl {
  // One appearance of the device on the bus: its sysfs entry and its node.
  struct Node {
    Impl* bus = nullptr;
    size_t device = 0;  // which device of the bus
    uint32_t attachment = 0;
    unsigned devnum = 0;
    std::string syspath;
    std::string devnode;
    CGRef<UMockdevIoctlBase> handler;
    // Our end of the node. The node is a FIFO kept full while no transfer
    // waits to be reaped: usbfs signals a finished transfer as "writable",
    // so a client's poll() then sleeps instead of spinning.
    int fifo = -1;
    size_t readyCount = 0;
    bool signalled = false;
    // What a read of the node returns, as usbfs gives it: the device
    // descriptor, then each configuration's whole descriptor set.
    std::vector<uint8_t> descriptors;
  };

  // One transfer on its way through the bus.
  struct Job {
    enum class Kind { kUrb, kControl, kSetInterface, kSetConfiguration, kReset };
    Kind kind = Kind::kUrb;
    Node* node = nullptr;
    ClientRef client;
    DataRef argument;  // kUrb: the URB; kControl: the control block
    DataRef buffer;    // the data buffer, resolved
    uint64_t clientAddress = 0;
    UsbSetup setup;
    uint8_t* data = nullptr;  // the data stage, in local memory
    bool discarded = false;
  };
  using JobPtr = std::shared_ptr<Job>;

  struct ClientState {
    std::deque<JobPtr> ready;
    DataRef waitingReap;  // a blocking REAPURB waits for the next transfer
    std::vector<unsigned> claimed;
    uint64_t position = 0;  // of reads of the node, as an open file keeps it
    Node* node = nullptr;
    ClientRef self;  // keeps the key valid until the state is forgotten
  };

  // The transfers of one device and the worker that carries them out. Each
  // device sits on a port of its own, as on a hub with a transaction
  // translator per port: one device's transfers and the time they take on
  // its wire never hold up another's.
  struct Lane {
    std::condition_variable work;
    std::deque<JobPtr> queue;
    JobPtr current;  // the transfer the device is answering, if any
    std::thread worker;
  };

  std::vector<std::shared_ptr<CDevsimFront>> fronts;
  CGRef<UMockdevTestbed> testbed;
  std::string root;

  std::mutex mutex;
  std::condition_variable busChanged;
  std::vector<std::unique_ptr<Lane>> lanes;  // one per device, in the order of fronts
  std::map<UMockdevIoctlClient*, ClientState> clients;
  std::vector<std::unique_ptr<Node>> nodes;
  // Bus changes and the device that asked for them.
  std::deque<std::pair<size_t, SimBusChange>> changes;
  // Devices still to be plugged in (a profile's arrive-after) and when; only
  // the thread that calls Pump reads and changes them.
  struct Arrival {
    std::chrono::steady_clock::time_point due;
    size_t device;
  };
  std::vector<Arrival> arrivals;
  unsigned nextDevnum = DEVSIM_FIRST_DEVNUM;
  bool stopping = false;

  ~Impl() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    for (auto& lane : lanes) {
      lane->work.notify_all();
      if (lane->worker.joinable()) lane->worker.join();
    }
    for (auto& node : nodes) {
      if (node->handler) {
        GError* error = nullptr;
        umockdev_testbed_detach_ioctl(testbed.get(), node->devnode.c_str(), &error);
        if (error != nullptr) g_error_free(error);
      }
      if (node->fifo >= 0) close(node->fifo);
    }
    lanes.clear();
    clients.clear();
  }

  // ---- readiness of a node -------------------------------------------------

  void UpdateReadiness(Node* node) {
    const bool want = node->readyCount > 0;
    if (want == node->signalled || node->fifo < 0) return;
    uint8_t page[4096];
    if (want) {
      // One free slot in the pipe makes it writable for the client.
      ssize_t got = read(node->fifo, page, sizeof page);
      (void)got;
    } else {
      std::memset(page, 0, sizeof page);
      while (write(node->fifo, page, sizeof page) > 0) {
      }
    }
    node->signalled = want;
  }

  // ---- nodes ---------------------------------------------------------------

  bool AddNode(size_t device, uint32_t attachment, bool dfuMode, std::string* error) {
    const DevsimAppearance shown = DevsimDescribe(*fronts[device]->Device(), dfuMode);
    auto node = std::make_unique<Node>();
    node->bus = this;
    node->device = device;
    node->attachment = attachment;
    node->devnum = nextDevnum++;
    node->devnode = "/dev/bus/usb/" + Number3(DEVSIM_BUS) + "/" + Number3(node->devnum);
    const std::vector<uint8_t>& d = shown.deviceDescriptor;
    const unsigned minor = (DEVSIM_BUS - 1) * 128 + node->devnum - 1;
    // Text attributes end in a newline, as the kernel writes them.
    std::vector<std::string> attributes = {
        "busnum", std::to_string(DEVSIM_BUS) + "\n",
        "devnum", std::to_string(node->devnum) + "\n",
        "dev", std::to_string(DEVSIM_USB_DEVICE_MAJOR) + ":" + std::to_string(minor) + "\n",
        "speed", "12\n",
        "bConfigurationValue", "1\n",
        "bNumConfigurations", "1\n",
        "idVendor", Hex4(GetLe16(d.data() + 8)) + "\n",
        "idProduct", Hex4(GetLe16(d.data() + 10)) + "\n",
        "bcdDevice", Hex4(GetLe16(d.data() + 12)) + "\n",
        "manufacturer", shown.manufacturer + "\n",
        "serial", shown.serial + "\n"};
    if (shown.hasProduct) {
      attributes.push_back("product");
      attributes.push_back(shown.product + "\n");
    }
    std::vector<std::string> properties = {
        "BUSNUM", Number3(DEVSIM_BUS), "DEVNUM", Number3(node->devnum), "DEVNAME", node->devnode,
        "DEVTYPE", "usb_device", "SUBSYSTEM", "usb",
        "PRODUCT", Hex4(GetLe16(d.data() + 8)) + "/" + Hex4(GetLe16(d.data() + 10)) + "/" +
                       Hex4(GetLe16(d.data() + 12))};
    auto pointers = [](std::vector<std::string>& texts) {
      std::vector<gchar*> list;
      for (std::string& text : texts) list.push_back(text.data());
      list.push_back(nullptr);
      return list;
    };
    std::vector<gchar*> attributeList = pointers(attributes);
    std::vector<gchar*> propertyList = pointers(properties);
    const std::string sysfsName = std::to_string(DEVSIM_BUS) + "-" + std::to_string(device + 1);
    gchar* syspath = umockdev_testbed_add_devicev(testbed.get(), "usb", sysfsName.c_str(), nullptr,
                                                  attributeList.data(), propertyList.data());
    if (syspath == nullptr) {
      *error = "the emulated bus refused the device";
      return false;
    }
    node->syspath = syspath;
    g_free(syspath);
    // libusb reads the device and configuration descriptors from here.
    std::vector<uint8_t> descriptors = shown.deviceDescriptor;
    descriptors.insert(descriptors.end(), shown.configuration.begin(), shown.configuration.end());
    umockdev_testbed_set_attribute_binary(testbed.get(), node->syspath.c_str(), "descriptors",
                                          descriptors.data(), static_cast<gint>(descriptors.size()));
    node->descriptors = std::move(descriptors);

    // The usbfs node: the testbed does not create it for this subsystem.
    const std::string folder = root + "/dev/bus/usb/" + Number3(DEVSIM_BUS);
    g_mkdir_with_parents(folder.c_str(), 0755);
    const std::string file = root + node->devnode;
    unlink(file.c_str());
    if (mkfifo(file.c_str(), 0666) != 0 ||
        (node->fifo = open(file.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
      *error = "cannot create the device node " + file + ": " + std::strerror(errno);
      return false;
    }
    UpdateReadinessFull(node.get());

    node->handler = CGRef<UMockdevIoctlBase>(umockdev_ioctl_base_new());
    g_signal_connect(node->handler.get(), "handle-ioctl", G_CALLBACK(&Impl::OnIoctl), node.get());
    g_signal_connect(node->handler.get(), "handle-read", G_CALLBACK(&Impl::OnRead), node.get());
    g_signal_connect(node->handler.get(), "client-vanished", G_CALLBACK(&Impl::OnVanished),
                     node.get());
    GError* attachError = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed.get(), node->devnode.c_str(), node->handler.get(),
                                       &attachError)) {
      *error = std::string("cannot emulate usbfs on ") + node->devnode + ": " +
               (attachError != nullptr ? attachError->message : "?");
      if (attachError != nullptr) g_error_free(attachError);
      return false;
    }
    // Announced once the descriptors are there: a hot-plug listener reads
    // them as soon as it hears of the device.
    umockdev_testbed_uevent(testbed.get(), node->syspath.c_str(), "add");
    std::lock_guard<std::mutex> lock(mutex);
    nodes.push_back(std::move(node));
    return true;
  }

  void UpdateReadinessFull(Node* node) {
    node->signalled = true;  // force a fill
    UpdateReadiness(node);
  }

  void RemoveNode(size_t device, uint32_t attachment) {
    Node* node = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (auto& candidate : nodes) {
        if (candidate->device == device && candidate->attachment == attachment &&
            !candidate->syspath.empty()) {
          node = candidate.get();
        }
      }
    }
    if (node == nullptr) return;
    // The node stays open for clients that still hold it: their transfers
    // fail as the device is gone, as usbfs fails them after a disconnect.
    umockdev_testbed_uevent(testbed.get(), node->syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed.get(), node->syspath.c_str());
    node->syspath.clear();
  }

  // ---- usbfs requests, on umockdev's thread --------------------------------

  static gboolean OnIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                          gpointer user) {
    Node* node = static_cast<Node*>(user);
    node->bus->HandleIoctl(node, client);
    return TRUE;
  }

  static gboolean OnRead(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                         gpointer user) {
    Node* node = static_cast<Node*>(user);
    node->bus->Read(node, client);
    return TRUE;
  }

  // A read of the node gives its descriptors from the open file's position
  // on; at their end it reads nothing.
  void Read(Node* node, UMockdevIoctlClient* client) {
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(mutex);
    ClientState& state = StateOf(node, client);
    const size_t room = buffer != nullptr ? static_cast<size_t>(buffer->data_len) : 0;
    const size_t from = static_cast<size_t>(std::min<uint64_t>(state.position, node->descriptors.size()));
    const size_t count = std::min(room, node->descriptors.size() - from);
    if (count > 0) {
      umockdev_ioctl_data_update(buffer, 0, node->descriptors.data() + from, static_cast<gint>(count));
    }
    state.position += count;
    Complete(client, static_cast<long>(count), 0);
  }

  // lseek on the node (usbfs_seek.cpp), as on a usbfs node.
  void Seek(Node* node, UMockdevIoctlClient* client, UMockdevIoctlData* argument) {
    DataRef block = Resolve(argument, 0, sizeof(DevsimSeek));
    if (!block) return Complete(client, -1, EFAULT);
    DevsimSeek seek;
    std::memcpy(&seek, block.get()->data, sizeof seek);
    std::lock_guard<std::mutex> lock(mutex);
    ClientState& state = StateOf(node, client);
    int64_t base = 0;
    if (seek.whence == SEEK_CUR) base = static_cast<int64_t>(state.position);
    if (seek.whence == SEEK_END) base = static_cast<int64_t>(node->descriptors.size());
    if ((seek.whence != SEEK_SET && seek.whence != SEEK_CUR && seek.whence != SEEK_END) ||
        seek.offset < -base) {
      return Complete(client, -1, EINVAL);
    }
    state.position = static_cast<uint64_t>(base + seek.offset);
    seek.position = static_cast<int64_t>(state.position);
    std::memcpy(block.get()->data, &seek, sizeof seek);
    Complete(client, 0, 0);
  }

  static void OnVanished(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                         gpointer user) {
    Node* node = static_cast<Node*>(user);
    Impl* bus = node->bus;
    std::lock_guard<std::mutex> lock(bus->mutex);
    auto it = bus->clients.find(client);
    if (it != bus->clients.end()) bus->ForgetLocked(it);
  }

  // A client that closed the node: its claims end, its transfers are dropped.
  std::map<UMockdevIoctlClient*, ClientState>::iterator ForgetLocked(
      std::map<UMockdevIoctlClient*, ClientState>::iterator it) {
    Node* node = it->second.node;
    node->readyCount -= std::min(node->readyCount, it->second.ready.size());
    UpdateReadiness(node);
    for (auto& lane : lanes) {
      for (JobPtr& job : lane->queue) {
        if (job->client.get() == it->first) job->discarded = true;
      }
    }
    return clients.erase(it);
  }

  ClientState& StateOf(Node* node, UMockdevIoctlClient* client) {
    // umockdev does not always tell of a closed node; a client that is no
    // longer connected is forgotten before anyone else is served.
    for (auto it = clients.begin(); it != clients.end();) {
      it = it->first != client && !umockdev_ioctl_client_get_connected(it->first)
               ? ForgetLocked(it)
               : std::next(it);
    }
    auto [it, added] = clients.try_emplace(client);
    if (added) it->second.self = ClientRef::Share(client);
    it->second.node = node;
    return it->second;
  }

  void HandleIoctl(Node* node, UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
    uint64_t argumentValue = 0;
    if (argument != nullptr && argument->data_len >= static_cast<gint>(sizeof(void*))) {
      std::memcpy(&argumentValue, argument->data, sizeof(void*));
    }
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        DataRef caps = Resolve(argument, 0, sizeof(uint32_t));
        if (!caps) return Complete(client, -1, EFAULT);
        uint32_t none = 0;
        std::memcpy(caps.get()->data, &none, sizeof none);
        return Complete(client, 0, 0);
      }
      case USBDEVFS_GETDRIVER: {
        // No kernel driver holds any interface of the device; an interface
        // that an open file claimed is usbfs's.
        DataRef block = Resolve(argument, 0, sizeof(usbdevfs_getdriver));
        if (!block) return Complete(client, -1, EFAULT);
        usbdevfs_getdriver query;
        std::memcpy(&query, block.get()->data, sizeof query);
        std::lock_guard<std::mutex> lock(mutex);
        StateOf(node, client);
        if (!HeldLocked(node, nullptr, query.interface)) return Complete(client, -1, ENODATA);
        std::memset(query.driver, 0, sizeof query.driver);
        std::memcpy(query.driver, DEVSIM_USBFS_DRIVER, sizeof DEVSIM_USBFS_DRIVER);
        std::memcpy(block.get()->data, &query, sizeof query);
        return Complete(client, 0, 0);
      }
      case USBDEVFS_IOCTL:
        // No kernel driver holds any interface of the device.
        return Complete(client, -1, ENODATA);
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE: {
        DataRef number = Resolve(argument, 0, sizeof(unsigned));
        if (!number) return Complete(client, -1, EFAULT);
        unsigned interfaceNumber = 0;
        std::memcpy(&interfaceNumber, number.get()->data, sizeof interfaceNumber);
        std::lock_guard<std::mutex> lock(mutex);
        if (request == USBDEVFS_RELEASEINTERFACE) return Release(node, client, interfaceNumber);
        const int error = ClaimLocked(node, client, interfaceNumber, false);
        return Complete(client, error == 0 ? 0 : -1, error);
      }
      case USBDEVFS_DISCONNECT_CLAIM: {
        DataRef block = Resolve(argument, 0, sizeof(usbdevfs_disconnect_claim));
        if (!block) return Complete(client, -1, EFAULT);
        usbdevfs_disconnect_claim claim;
        std::memcpy(&claim, block.get()->data, sizeof claim);
        claim.driver[sizeof claim.driver - 1] = '\0';
        // The driver to disconnect is usbfs: another open file's claim. It
        // is spared when the caller excepts usbfs or asks for another driver
        // only, as libusb's claim does.
        const bool namesUsbfs = std::strcmp(claim.driver, DEVSIM_USBFS_DRIVER) == 0;
        const bool spared = ((claim.flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) != 0 && namesUsbfs) ||
                            ((claim.flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) != 0 && !namesUsbfs);
        std::lock_guard<std::mutex> lock(mutex);
        const int error = ClaimLocked(node, client, claim.interface, !spared);
        return Complete(client, error == 0 ? 0 : -1, error);
      }
      case USBDEVFS_CONNECTINFO: {
        DataRef info = Resolve(argument, 0, sizeof(usbdevfs_connectinfo));
        if (!info) return Complete(client, -1, EFAULT);
        usbdevfs_connectinfo answer = {node->devnum, 0};
        std::memcpy(info.get()->data, &answer, sizeof answer);
        return Complete(client, 0, 0);
      }
      case USBDEVFS_GET_SPEED:
        return Complete(client, DEVSIM_USB_SPEED_FULL, 0);
      case USBDEVFS_RESET:
        // In turn with the transfers before it: the reset may move the
        // device (a new firmware, DFU mode after a detach).
        return Enqueue(NewJob(Job::Kind::kReset, node, client));
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESETEP:
        return Complete(client, 0, 0);
      case USBDEVFS_SETINTERFACE: {
        DataRef block = Resolve(argument, 0, sizeof(usbdevfs_setinterface));
        if (!block) return Complete(client, -1, EFAULT);
        usbdevfs_setinterface setting;
        std::memcpy(&setting, block.get()->data, sizeof setting);
        if (const int error = UseInterface(node, client, setting.interface)) {
          return Complete(client, -1, error);
        }
        auto job = NewJob(Job::Kind::kSetInterface, node, client);
        job->setup = {0x01, 11, static_cast<uint16_t>(setting.altsetting),
                      static_cast<uint16_t>(setting.interface), 0};
        return Enqueue(std::move(job));
      }
      case USBDEVFS_SETCONFIGURATION: {
        DataRef block = Resolve(argument, 0, sizeof(int));
        if (!block) return Complete(client, -1, EFAULT);
        int value = 0;
        std::memcpy(&value, block.get()->data, sizeof value);
        auto job = NewJob(Job::Kind::kSetConfiguration, node, client);
        job->setup = {0x00, 9, static_cast<uint16_t>(value < 0 ? 0 : value), 0, 0};
        return Enqueue(std::move(job));
      }
      case USBDEVFS_CONTROL: {
        DataRef block = Resolve(argument, 0, sizeof(usbdevfs_ctrltransfer));
        if (!block) return Complete(client, -1, EFAULT);
        usbdevfs_ctrltransfer transfer;
        std::memcpy(&transfer, block.get()->data, sizeof transfer);
        if (const int error = UseRecipient(node, client, transfer.bRequestType, transfer.wIndex)) {
          return Complete(client, -1, error);
        }
        auto job = NewJob(Job::Kind::kControl, node, client);
        job->setup = {transfer.bRequestType, transfer.bRequest, transfer.wValue, transfer.wIndex,
                      transfer.wLength};
        if (transfer.wLength > 0) {
          job->buffer = Resolve(block.get(), offsetof(usbdevfs_ctrltransfer, data), transfer.wLength);
          if (!job->buffer) return Complete(client, -1, EFAULT);
          job->data = job->buffer.get()->data;
        }
        job->argument = std::move(block);
        return Enqueue(std::move(job));
      }
      case USBDEVFS_SUBMITURB:
        return SubmitUrb(node, client, argument, argumentValue);
      case DEVSIM_IOCTL_SEEK:
        return Seek(node, client, argument);
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY:
        return Reap(node, client, argument, request == USBDEVFS_REAPURB);
      case USBDEVFS_DISCARDURB:
        return Discard(node, client, argumentValue);
      default:
        return Complete(client, -1, ENOTTY);
    }
  }

  // ---- claims: an interface belongs to one open file of the node at a time

  // The state of the open file of the node, other than `client`, that holds
  // the interface; null when none does.
  ClientState* HeldLocked(Node* node, UMockdevIoctlClient* client, unsigned number) {
    for (auto& [other, state] : clients) {
      if (other != client && state.node == node &&
          std::find(state.claimed.begin(), state.claimed.end(), number) != state.claimed.end()) {
        return &state;
      }
    }
    return nullptr;
  }

  // Claims the interface for `client`: 0, or EBUSY while another open file
  // holds it, unless `take` (a disconnect-and-claim that does not spare
  // usbfs), which takes the interface from that file as the kernel does.
  int ClaimLocked(Node* node, UMockdevIoctlClient* client, unsigned number, bool take) {
    ClientState& own = StateOf(node, client);
    if (ClientState* holder = HeldLocked(node, client, number)) {
      if (!take) return EBUSY;
      holder->claimed.erase(std::find(holder->claimed.begin(), holder->claimed.end(), number));
    }
    if (std::find(own.claimed.begin(), own.claimed.end(), number) == own.claimed.end()) {
      own.claimed.push_back(number);
    }
    return 0;
  }

  void Release(Node* node, UMockdevIoctlClient* client, unsigned number) {
    ClientState& own = StateOf(node, client);
    auto held = std::find(own.claimed.begin(), own.claimed.end(), number);
    if (held == own.claimed.end()) return Complete(client, -1, EINVAL);
    own.claimed.erase(held);
    Complete(client, 0, 0);
  }

  // usbfs lets only the holder of an interface use it: an open file that
  // did not claim it claims it on first use, which fails while another
  // holds it.
  int UseInterface(Node* node, UMockdevIoctlClient* client, unsigned number) {
    std::lock_guard<std::mutex> lock(mutex);
    return ClaimLocked(node, client, number, false);
  }

  // The same for a control request addressed to an interface (the low byte
  // of wIndex); vendor requests and those to the device or endpoint 0 are
  // anyone's.
  int UseRecipient(Node* node, UMockdevIoctlClient* client, uint8_t requestType, uint16_t index) {
    if ((requestType & USB_TYPE_MASK) == USB_TYPE_VENDOR ||
        (requestType & USB_RECIPIENT_MASK) != USB_RECIPIENT_INTERFACE) {
      return 0;
    }
    return UseInterface(node, client, index & 0xFF);
  }

  JobPtr NewJob(Job::Kind kind, Node* node, UMockdevIoctlClient* client) {
    auto job = std::make_shared<Job>();
    job->kind = kind;
    job->node = node;
    job->client = ClientRef::Share(client);
    return job;
  }

  void Enqueue(JobPtr job) {
    Lane& lane = *lanes[job->node->device];
    {
      std::lock_guard<std::mutex> lock(mutex);
      StateOf(job->node, job->client.get());
      lane.queue.push_back(std::move(job));
    }
    lane.work.notify_one();
  }

  void SubmitUrb(Node* node, UMockdevIoctlClient* client, UMockdevIoctlData* argument,
                 uint64_t address) {
    DataRef urb = Resolve(argument, 0, sizeof(usbdevfs_urb));
    if (!urb) return Complete(client, -1, EFAULT);
    usbdevfs_urb header;
    std::memcpy(&header, urb.get()->data, sizeof header);
    // The device has its control endpoint only.
    if (header.type != USBDEVFS_URB_TYPE_CONTROL || (header.endpoint & 0x7F) != 0) {
      return Complete(client, -1, ENOENT);
    }
    if (header.buffer_length < static_cast<int>(DEVSIM_SETUP_SIZE)) {
      return Complete(client, -1, EINVAL);
    }
    auto job = NewJob(Job::Kind::kUrb, node, client);
    job->buffer = Resolve(urb.get(), offsetof(usbdevfs_urb, buffer),
                          static_cast<size_t>(header.buffer_length));
    if (!job->buffer) return Complete(client, -1, EFAULT);
    const uint8_t* setup = job->buffer.get()->data;
    job->setup = {setup[0], setup[1], GetLe16(setup + 2), GetLe16(setup + 4), GetLe16(setup + 6)};
    if (job->setup.length > header.buffer_length - static_cast<int>(DEVSIM_SETUP_SIZE)) {
      return Complete(client, -1, EINVAL);
    }
    if (const int error = UseRecipient(node, client, job->setup.requestType, job->setup.index)) {
      return Complete(client, -1, error);
    }
    job->data = job->buffer.get()->data + DEVSIM_SETUP_SIZE;
    job->clientAddress = address;
    job->argument = std::move(urb);
    Enqueue(std::move(job));
    Complete(client, 0, 0);
  }

  // Hands a finished URB back: the client's pointer is set to it, and its
  // status, length and data go back with the answer.
  static void HandBack(UMockdevIoctlClient* client, UMockdevIoctlData* reapArgument,
                       const JobPtr& job) {
    DataRef pointer = Resolve(reapArgument, 0, sizeof(void*));
    if (!pointer || !umockdev_ioctl_data_set_ptr(pointer.get(), 0, job->argument.get())) {
      return Complete(client, -1, EFAULT);
    }
    Complete(client, 0, 0);
  }

  void Reap(Node* node, UMockdevIoctlClient* client, UMockdevIoctlData* argument, bool wait) {
    std::unique_lock<std::mutex> lock(mutex);
    ClientState& state = StateOf(node, client);
    if (state.ready.empty()) {
      if (wait) {
        state.waitingReap = DataRef::Share(argument);
        return;
      }
      return Complete(client, -1, EAGAIN);
    }
    JobPtr job = std::move(state.ready.front());
    state.ready.pop_front();
    --node->readyCount;
    UpdateReadiness(node);
    lock.unlock();
    HandBack(client, argument, job);
  }

  void Discard(Node* node, UMockdevIoctlClient* client, uint64_t address) {
    std::lock_guard<std::mutex> lock(mutex);
    std::deque<JobPtr>& queue = lanes[node->device]->queue;
    for (auto it = queue.begin(); it != queue.end(); ++it) {
      Job& job = **it;
      if (job.kind != Job::Kind::kUrb || job.client.get() != client ||
          job.clientAddress != address) {
        continue;
      }
      // Not started yet: it ends as cancelled and is reaped as such.
      auto* urb = reinterpret_cast<usbdevfs_urb*>(job.argument.get()->data);
      urb->status = -ENOENT;
      urb->actual_length = 0;
      JobPtr cancelled = std::move(*it);
      queue.erase(it);
      FinishLocked(node, cancelled);
      return Complete(client, 0, 0);
    }
    // Under way: the host controller stops asking for it, as the kernel
    // unlinks a URB whose time-out has passed, and it ends as cancelled now;
    // the device's answer, whenever it comes, reaches no one.
    const JobPtr& current = lanes[node->device]->current;
    if (current && current->kind == Job::Kind::kUrb && current->client.get() == client &&
        current->clientAddress == address && !current->discarded) {
      current->discarded = true;
      auto* urb = reinterpret_cast<usbdevfs_urb*>(current->argument.get()->data);
      urb->status = -ENOENT;
      urb->actual_length = 0;
      FinishLocked(node, current);
      return Complete(client, 0, 0);
    }
    // Done: it is reaped with its own result.
    Complete(client, -1, EINVAL);
  }

  void FinishLocked(Node* node, const JobPtr& job) {
    auto it = clients.find(job->client.get());
    if (it == clients.end()) return;  // the client has gone away
    ClientState& state = it->second;
    if (state.waitingReap) {
      DataRef reap = std::move(state.waitingReap);
      HandBack(job->client.get(), reap.get(), job);
      return;
    }
    state.ready.push_back(job);
    ++node->readyCount;
    UpdateReadiness(node);
  }

  // The device's answer to a transfer, to the client that sent it.
  void FinishJobLocked(const JobPtr& job, SimOutcome outcome, uint32_t moved, int failure) {
    switch (job->kind) {
      case Job::Kind::kUrb: {
        auto* urb = reinterpret_cast<usbdevfs_urb*>(job->argument.get()->data);
        urb->status = outcome == SimOutcome::kOk ? 0 : -failure;
        urb->actual_length = static_cast<int>(moved);
        FinishLocked(job->node, job);
        break;
      }
      case Job::Kind::kControl:
        if (outcome == SimOutcome::kOk) {
          Complete(job->client.get(), static_cast<long>(moved), 0);
        } else {
          Complete(job->client.get(), -1, failure);
        }
        break;
      default:
        Complete(job->client.get(), outcome == SimOutcome::kOk ? 0 : -1,
                 outcome == SimOutcome::kOk ? 0 : failure);
        break;
    }
  }

  // ---- the workers, one per device -----------------------------------------

  void Run(Lane* lane) {
    // The device model sleeps out each transfer's bus time on this thread.
    PlatformWakeThreadOnTime();
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
      lane->work.wait(lock, [this, lane] { return stopping || !lane->queue.empty(); });
      if (stopping) return;
      JobPtr job = std::move(lane->queue.front());
      lane->queue.pop_front();
      if (job->discarded) continue;
      lane->current = job;
      lock.unlock();
      uint32_t moved = 0;
      std::vector<SimBusChange> caused;
      CDevsimFront& front = *fronts[job->node->device];
      SimOutcome outcome = job->kind == Job::Kind::kReset
                               ? front.Reset(job->node->attachment, &caused)
                               : front.Control(job->node->attachment, job->setup, job->data,
                                               &moved, &caused);
      // usbfs fails the reset of a device that re-enumerated with it as one
      // that is gone: its node is no more.
      if (job->kind == Job::Kind::kReset && outcome == SimOutcome::kOk && !caused.empty()) {
        outcome = SimOutcome::kGone;
      }
      // A device that sends more than was asked for babbles: usbfs ends
      // the transfer with an overflow.
      const int failure = outcome == SimOutcome::kStall      ? EPIPE
                          : outcome == SimOutcome::kOverflow ? EOVERFLOW
                                                             : ENODEV;
      // usbfs counts the bytes of the data stage in either direction.
      if (outcome == SimOutcome::kOk && !job->setup.In()) {
        moved = job->setup.length;
      }
      lock.lock();
      lane->current.reset();
      // A URB cancelled while the device answered it was handed back then.
      if (!job->discarded) FinishJobLocked(job, outcome, moved, failure);
      if (!caused.empty()) {
        for (const SimBusChange& change : caused) changes.push_back({job->node->device, change});
        busChanged.notify_all();
      }
    }
  }
};

CUsbBus::CUsbBus(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

CUsbBus::~CUsbBus() = default;

std::unique_ptr<CUsbBus> CUsbBus::Create(std::vector<std::shared_ptr<CDevsimFront>> fronts,
                                         std::string* error) {
  auto impl = std::make_unique<Impl>();
  impl->fronts = std::move(fronts);
  impl->testbed = CGRef<UMockdevTestbed>(umockdev_testbed_new());
  gchar* root = umockdev_testbed_get_root_dir(impl->testbed.get());
  impl->root = root;
  g_free(root);
  const auto installed = std::chrono::steady_clock::now();
  for (size_t device = 0; device < impl->fronts.size(); ++device) {
    impl->lanes.push_back(std::make_unique<Impl::Lane>());
    const CDfuDevice* model = impl->fronts[device]->Device();
    const CDfuDevice::BusPosition position = model->Position();
    if (!position.present) {
      // Plugged in later: off the bus until then.
      impl->arrivals.push_back(
          {installed + std::chrono::milliseconds(model->Profile().arriveAfterMs), device});
      continue;
    }
    if (!impl->AddNode(device, position.attachment, position.dfuMode, error)) return nullptr;
  }
  Impl* running = impl.get();
  for (auto& lane : impl->lanes) {
    Impl::Lane* served = lane.get();
    if (!PlatformStartThread(&lane->worker, [running, served] { running->Run(served); })) {
      *error = "the bus's worker threads cannot be started";
      return nullptr;
    }
  }
  return std::unique_ptr<CUsbBus>(new CUsbBus(std::move(impl)));
}

void CUsbBus::Pump(unsigned timeoutMs) {
  std::deque<std::pair<size_t, SimBusChange>> due;
  {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->busChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [this] { return !impl_->changes.empty(); });
    due.swap(impl_->changes);
  }
  const auto now = std::chrono::steady_clock::now();
  auto& arrivals = impl_->arrivals;
  for (auto it = arrivals.begin(); it != arrivals.end();) {
    if (it->due > now) {
      ++it;
      continue;
    }
    std::vector<SimBusChange> arrived;
    impl_->fronts[it->device]->Device()->Arrive(&arrived);
    for (const SimBusChange& change : arrived) due.emplace_back(it->device, change);
    it = arrivals.erase(it);
  }
  for (const auto& [device, change] : due) {
    if (!change.arrival) {
      impl_->RemoveNode(device, change.attachment);
      continue;
    }
    std::string error;
    if (!impl_->AddNode(device, change.attachment, change.dfuMode, &error)) {
      std::fprintf(stderr, "zuva-devsim: %s\n", error.c_str());
    }
  }
}
