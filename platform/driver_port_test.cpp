#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/driver_port.h"
#include "protocol/driver_requests.h"

namespace {

// Answers every request with its own tag in the first output byte, so a test
// sees which backend served a handle.
class CTagBackend : public DriverBackend {
 public:
  CTagBackend(std::string prefix, bool isVirtual, uint8_t tag)
      : prefix_(std::move(prefix)), virtual_(isVirtual), tag_(tag) {}

  std::string PathPrefix() const override { return prefix_; }
  bool IsVirtual() const override { return virtual_; }
  std::unique_ptr<DriverConnection> Open(const std::string& path, StatusCode* failure) override {
    if (path == prefix_ + "refuse") return nullptr;
    if (path == prefix_ + "busy") {
      *failure = DEV_ERR_IN_USE;
      return nullptr;
    }
    ++opens;
    return std::make_unique<CConnection>(this);
  }
  // With `holds`, a hold is an open connection, as WinUSB's; else the
  // default: nothing to hold.
  StatusCode Hold(const std::string& path, uint8_t interfaceNumber,
                  std::unique_ptr<DriverConnection>* held) override {
    if (!holds) return DriverBackend::Hold(path, interfaceNumber, held);
    StatusCode failure = DEV_ERR_OPEN_FAILED;
    *held = Open(path, &failure);
    return *held ? RESULT_OK : failure;
  }
  bool Enumerate(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces) override {
    if (listingFails) return false;
    if (interfaceClass == DFU_INTERFACE_GUID) interfaces->push_back({prefix_ + "0", false, ""});
    return true;
  }

  std::atomic<bool> listingFails{false};
  std::atomic<bool> stalls{false};  // every request fails as stalled
  bool holds = false;
  std::atomic<int> opens{0};
  std::atomic<int> closes{0};

 private:
  class CConnection : public DriverConnection {
   public:
    explicit CConnection(CTagBackend* owner) : owner_(owner) {}
    ~CConnection() override { ++owner_->closes; }
    bool IoControl(uint32_t, const void*, uint32_t, void* output, uint32_t outputSize,
                   uint32_t* bytesReturned) override {
      if (owner_->stalls) return false;
      if (outputSize > 0) static_cast<uint8_t*>(output)[0] = owner_->tag_;
      *bytesReturned = outputSize > 0 ? 1 : 0;
      return true;
    }

    UsbTransferOutcome LastFailure() const override { return UsbTransferOutcome::kStall; }

   private:
    CTagBackend* owner_;
  };

  std::string prefix_;
  bool virtual_;
  uint8_t tag_;
};

class DriverPortTest : public ::testing::Test {
 protected:
  void Register(const std::shared_ptr<CTagBackend>& backend) {
    RegisterDriverBackend(backend);
    registered_.push_back(backend);
  }
  void TearDown() override {
    for (const auto& backend : registered_) UnregisterDriverBackend(backend.get());
  }
  static uint8_t TagOf(DriverHandle handle) {
    uint8_t tag = 0;
    uint32_t returned = 0;
    if (!DriverIoControl(handle, 0x222008, nullptr, 0, &tag, 1, &returned)) return 0;
    return tag;
  }

 private:
  std::vector<std::shared_ptr<CTagBackend>> registered_;
};

TEST_F(DriverPortTest, PathsGoToTheBackendOfTheirPrefix) {
  auto sim = std::make_shared<CTagBackend>("sim:", true, 1);
  auto usb = std::make_shared<CTagBackend>("usb:", false, 2);
  Register(sim);
  Register(usb);
  DriverHandle a = DriverOpen("sim:0");
  DriverHandle b = DriverOpen("usb:1-2");
  ASSERT_NE(a, DRIVER_INVALID_HANDLE);
  ASSERT_NE(b, DRIVER_INVALID_HANDLE);
  EXPECT_EQ(TagOf(a), 1);
  EXPECT_EQ(TagOf(b), 2);
  EXPECT_EQ(DriverOpen("sim:refuse"), DRIVER_INVALID_HANDLE);
  EXPECT_EQ(DriverOpen(""), DRIVER_INVALID_HANDLE);
  // On Linux a path of no prefix that is no "usb:" path names nothing libusb
  // can open.
#if !defined(_WIN32)
  EXPECT_EQ(DriverOpen("/dev/bus/usb/001/002"), DRIVER_INVALID_HANDLE);
#endif
  DriverClose(a);
  DriverClose(b);
  EXPECT_EQ(sim->closes, 1);
  EXPECT_EQ(usb->closes, 1);
}

// A hold goes to the backend of the path: a connection of its own, closed
// with its handle, or nothing where the backend has nothing to hold. A
// refused open or hold says whether another program holds the device.
TEST_F(DriverPortTest, AHoldIsTheBackendsAndARefusalSaysWhy) {
  auto sim = std::make_shared<CTagBackend>("sim:", true, 1);
  auto usb = std::make_shared<CTagBackend>("usb:", false, 2);
  usb->holds = true;
  Register(sim);
  Register(usb);
  DriverHandle held = 99;
  EXPECT_EQ(DriverHold("sim:0", 0, &held), RESULT_OK);
  EXPECT_EQ(held, DRIVER_INVALID_HANDLE);
  EXPECT_EQ(sim->opens, 0);
  ASSERT_EQ(DriverHold("usb:1-2", 0, &held), RESULT_OK);
  ASSERT_NE(held, DRIVER_INVALID_HANDLE);
  EXPECT_EQ(TagOf(held), 2);
  DriverClose(held);
  EXPECT_EQ(usb->closes, 1);

  EXPECT_EQ(DriverHold("usb:busy", 0, &held), DEV_ERR_IN_USE);
  EXPECT_EQ(held, DRIVER_INVALID_HANDLE);
  EXPECT_EQ(DriverHold("usb:refuse", 0, &held), DEV_ERR_OPEN_FAILED);
  EXPECT_EQ(DriverHold("", 0, &held), DEV_ERR_OPEN_FAILED);
  StatusCode failure = RESULT_OK;
  EXPECT_EQ(DriverOpen("usb:busy", &failure), DRIVER_INVALID_HANDLE);
  EXPECT_EQ(failure, DEV_ERR_IN_USE);
  EXPECT_EQ(DriverOpen("usb:refuse", &failure), DRIVER_INVALID_HANDLE);
  EXPECT_EQ(failure, DEV_ERR_OPEN_FAILED);
}

// A backend without a prefix, as the platform's own, takes the paths that no
// prefixed backend claims, after the platform's, and is listed among the real
// devices in registration order.
TEST_F(DriverPortTest, ABackendWithoutAPrefixTakesThePathsNoPrefixClaims) {
  auto sim = std::make_shared<CTagBackend>("sim:", true, 1);
  auto plain = std::make_shared<CTagBackend>("", false, 2);
  plain->holds = true;
  Register(sim);
  Register(plain);
  DriverHandle handle = DriverOpen("dev0");
  ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
  EXPECT_EQ(TagOf(handle), 2);
  DriverClose(handle);
  // A prefix that a backend carries stays that backend's, even where it
  // refuses the path.
  EXPECT_EQ(DriverOpen("sim:refuse"), DRIVER_INVALID_HANDLE);
  EXPECT_EQ(plain->opens, 1);
#if !defined(_WIN32)
  // libusb is the platform's backend without a prefix on Linux: a hold goes
  // to it first, and it cannot open a path that is no "usb:" path.
  DriverHandle held = 99;
  EXPECT_EQ(DriverHold("dev0", 0, &held), DEV_ERR_OPEN_FAILED);
  EXPECT_EQ(held, DRIVER_INVALID_HANDLE);
  std::vector<InterfaceInfo> interfaces;
  ASSERT_TRUE(EnumerateInterfaces(DFU_INTERFACE_GUID, &interfaces));
  std::vector<std::string> paths;
  for (const auto& info : interfaces) paths.push_back(info.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"0", "sim:0"}));
#endif
}

TEST_F(DriverPortTest, ClosedHandlesAreDeadAndNeverReused) {
  auto sim = std::make_shared<CTagBackend>("sim:", true, 1);
  Register(sim);
  DriverHandle first = DriverOpen("sim:0");
  DriverClose(first);
  DriverClose(first);  // a second close does nothing
  EXPECT_EQ(sim->closes, 1);
  uint32_t returned = 7;
  uint8_t out = 0;
  EXPECT_FALSE(DriverIoControl(first, 0x222008, nullptr, 0, &out, 1, &returned));
  EXPECT_EQ(returned, 0u);
  DriverHandle second = DriverOpen("sim:0");
  EXPECT_NE(second, first);
  DriverClose(second);
  EXPECT_FALSE(DriverIoControl(DRIVER_INVALID_HANDLE, 0x222008, nullptr, 0, &out, 1, &returned));
}

TEST_F(DriverPortTest, ResetOfABackendWithoutOneSaysSoAndAClosedHandleIsNotOpen) {
  auto sim = std::make_shared<CTagBackend>("sim:", true, 1);
  Register(sim);
  DriverHandle handle = DriverOpen("sim:0");
  EXPECT_EQ(DriverResetDevice(handle), DEV_ERR_RESET_UNSUPPORTED);
  EXPECT_EQ(TagOf(handle), 1);  // still open and answering
  DriverClose(handle);
  EXPECT_EQ(DriverResetDevice(handle), DEV_ERR_NOT_OPEN);
}

TEST_F(DriverPortTest, OpenConnectionOutlivesItsBackendsRegistration) {
  auto sim = std::make_shared<CTagBackend>("sim:", true, 1);
  Register(sim);
  DriverHandle handle = DriverOpen("sim:0");
  UnregisterDriverBackend(sim.get());
  EXPECT_EQ(DriverOpen("sim:0"), DRIVER_INVALID_HANDLE);
  EXPECT_EQ(TagOf(handle), 1);
  DriverClose(handle);
  EXPECT_EQ(sim->closes, 1);
}

TEST_F(DriverPortTest, EnumerationListsRealBackendsBeforeVirtualOnes) {
  Register(std::make_shared<CTagBackend>("sim:", true, 1));
  Register(std::make_shared<CTagBackend>("usb:", false, 2));
  Register(std::make_shared<CTagBackend>("vdev:", true, 3));
  std::vector<InterfaceInfo> interfaces = {{"stale", false, ""}};
  ASSERT_TRUE(EnumerateInterfaces(DFU_INTERFACE_GUID, &interfaces));
  std::vector<std::string> paths;
  for (const auto& info : interfaces) paths.push_back(info.path);
#if !defined(_WIN32)
  EXPECT_EQ(paths, (std::vector<std::string>{"usb:0", "sim:0", "vdev:0"}));
#endif
  ASSERT_TRUE(EnumerateInterfaces(APP_INTERFACE_GUID, &interfaces));
#if !defined(_WIN32)
  EXPECT_TRUE(interfaces.empty());
#endif
}

TEST_F(DriverPortTest, ABackendThatCannotListMakesTheListingIncompleteNotEmpty) {
  auto failing = std::make_shared<CTagBackend>("vdev:", true, 3);
  failing->listingFails = true;
  Register(std::make_shared<CTagBackend>("sim:", true, 1));
  Register(failing);
  std::vector<InterfaceInfo> interfaces;
  EXPECT_FALSE(EnumerateInterfaces(DFU_INTERFACE_GUID, &interfaces));
  std::vector<std::string> paths;
  for (const auto& info : interfaces) paths.push_back(info.path);
  EXPECT_NE(std::find(paths.begin(), paths.end(), "sim:0"), paths.end());
  EXPECT_EQ(std::find(paths.begin(), paths.end(), "vdev:0"), paths.end());
}

TEST_F(DriverPortTest, ConcurrentOpensAndRequestsFromTwoThreads) {
  auto sim = std::make_shared<CTagBackend>("sim:", true, 1);
  Register(sim);
  auto work = [] {
    for (int i = 0; i < 200; ++i) {
      DriverHandle handle = DriverOpen("sim:0");
      ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
      EXPECT_EQ(TagOf(handle), 1);
      DriverClose(handle);
    }
  };
  std::thread worker(work);
  work();
  worker.join();
  EXPECT_EQ(sim->opens, 400);
  EXPECT_EQ(sim->closes, 400);
}

}  // namespace

namespace {

uint32_t Le32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value |= uint32_t{static_cast<uint8_t>(bytes[at + i])} << (8 * i);
  return value;
}

// The usbmon records of a capture file, after its 24-byte header.
std::vector<std::string> CaptureRecords(const std::string& path) {
  std::string file;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) file.append(buffer, n);
    std::fclose(f);
  }
  std::vector<std::string> records;
  if (file.size() < 24 || Le32(file, 20) != USB_CAPTURE_LINKTYPE) return records;
  for (size_t at = 24; at + 16 <= file.size();) {
    const uint32_t length = Le32(file, at + 8);
    records.push_back(file.substr(at + 16, length));
    at += 16 + length;
  }
  return records;
}

}  // namespace

TEST_F(DriverPortTest, ACaptureRecordsEachTransferItsOutcomeAndEachDeviceUnderItsNumber) {
  auto sim = std::make_shared<CTagBackend>("sim:", true, 7);
  Register(sim);
  const std::string path = ::testing::TempDir() + "driver_port_capture.pcap";
  std::vector<std::string> failures;
  std::string error;
  ASSERT_TRUE(DriverCaptureStart(
      path, [&](const std::string& text) { failures.push_back(text); }, &error))
      << error;
  const DriverHandle first = DriverOpen("sim:0"), second = DriverOpen("sim:1");
  // A DNLOAD of block 2 with 3 bytes, on the second device.
  ControlRequestHeader header;
  header.request = 1;
  header.value = 2;
  header.length = 3;
  std::vector<uint8_t> dnload(CONTROL_REQUEST_HEADER_SIZE + 3, 0xAB);
  EncodeControlRequestHeader(header, dnload.data());
  EXPECT_TRUE(DriverIoControl(second, IOCTL_DFU_CONTROL_REQUEST, dnload.data(),
                              static_cast<uint32_t>(dnload.size()), nullptr, 0, nullptr));
  // A device descriptor read that the first device stalls.
  sim->stalls = true;
  uint8_t descriptor[18] = {};
  EXPECT_FALSE(DriverIoControl(first, IOCTL_DFU_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor,
                               sizeof descriptor, nullptr));
  // A request the driver refuses (an unknown code) never reaches the bus.
  EXPECT_FALSE(DriverIoControl(first, 0x222018, nullptr, 0, nullptr, 0, nullptr));
  DriverCaptureStop();
  DriverClose(first);
  DriverClose(second);

  const std::vector<std::string> records = CaptureRecords(path);
  ASSERT_EQ(records.size(), 4u);
  for (const std::string& record : records) ASSERT_GE(record.size(), USB_CAPTURE_HEADER_SIZE);
  // Submission and completion of the DNLOAD: device 1, the setup packet, the
  // host's data, then success with the whole data stage moved.
  EXPECT_EQ(records[0][8], 'S');
  EXPECT_EQ(records[0][11], 1);
  EXPECT_EQ(records[0].substr(40, 8), std::string("\x21\x01\x02\x00\x00\x00\x03\x00", 8));
  EXPECT_EQ(records[0].substr(64), std::string(3, '\xAB'));
  EXPECT_EQ(records[1][8], 'C');
  EXPECT_EQ(records[1].substr(0, 8), records[0].substr(0, 8));  // the same URB
  EXPECT_EQ(static_cast<int32_t>(Le32(records[1], 28)), 0);
  EXPECT_EQ(Le32(records[1], 32), 3u);
  // The stalled descriptor read of device 2: GET_DESCRIPTOR(DEVICE), -EPIPE.
  EXPECT_EQ(records[2][11], 2);
  EXPECT_EQ(records[2].substr(40, 8), std::string("\x80\x06\x00\x01\x00\x00\x12\x00", 8));
  EXPECT_EQ(static_cast<int32_t>(Le32(records[3], 28)), -32);
  EXPECT_EQ(records[3].size(), USB_CAPTURE_HEADER_SIZE);
  EXPECT_TRUE(failures.empty());
  std::remove(path.c_str());

  // A file that cannot be made refuses the capture, and says why.
  EXPECT_FALSE(DriverCaptureStart(::testing::TempDir() + "no/such/folder/c.pcap", nullptr, &error));
  EXPECT_NE(error.find("no/such/folder"), std::string::npos);
}
