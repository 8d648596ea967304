#include "device/device_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "device/device_test_support.h"
#include "device/dfu_requests.h"
#include "platform/text.h"

namespace {

using Bytes = std::vector<uint8_t>;

class DeviceManagerTest : public CFakeDeviceTest {
 protected:
  void SetUp() override {
    CFakeDeviceTest::SetUp();
    fake = AddDfuDevice("dev", {"@Internal Flash  /0x08000000/04*016Kg", "@Option Bytes  /0x1FFFC000/01*016 e"});
  }
  std::shared_ptr<CFakeDevice> fake;
};

TEST_F(DeviceManagerTest, OpenRefusesEmptyPathNullOutputAndMissingManager) {
  DeviceHandle handle = 77;
  EXPECT_EQ(OpenDevice("", &handle), DEV_ERR_BAD_PARAMETER);
  EXPECT_EQ(OpenDevice(PathOf("dev"), nullptr), DEV_ERR_BAD_PARAMETER);
  EXPECT_EQ(OpenDevice(PathOf("missing"), &handle), DEV_ERR_OPEN_FAILED);
  EXPECT_EQ(handle, 77u);
  DestroyDevicesManager();
  EXPECT_EQ(OpenDevice(PathOf("dev"), &handle), DEV_ERR_NO_MANAGER);
  EXPECT_EQ(fake->opens, 0);
}

TEST_F(DeviceManagerTest, FailedOpenAddsNothing) {
  fake->deviceDescriptor.resize(17);
  DeviceHandle handle = DEVICE_INVALID_HANDLE;
  EXPECT_EQ(OpenDevice(PathOf("dev"), &handle), DEV_ERR_DESCRIPTOR_READ);
  EXPECT_EQ(handle, DEVICE_INVALID_HANDLE);
  EXPECT_EQ(fake->OpenConnections(), 0);
}

TEST_F(DeviceManagerTest, HandlesOfOnePathAreIndependentAndNeverReused) {
  DeviceHandle first = 0;
  DeviceHandle second = 0;
  ASSERT_EQ(OpenDevice(PathOf("dev"), &first), RESULT_OK);
  ASSERT_EQ(OpenDevice(PathOf("dev"), &second), RESULT_OK);
  EXPECT_NE(first, DEVICE_INVALID_HANDLE);
  EXPECT_NE(first, second);
  EXPECT_EQ(fake->OpenConnections(), 2);

  EXPECT_EQ(CloseDevice(first), RESULT_OK);
  EXPECT_EQ(CloseDevice(first), RESULT_OK);  // a second close does nothing
  EXPECT_EQ(fake->OpenConnections(), 1);
  uint8_t descriptor[18] = {};
  EXPECT_EQ(ReadDeviceDescriptor(first, descriptor), DEV_ERR_BAD_PARAMETER);
  EXPECT_EQ(ReadDeviceDescriptor(second, descriptor), RESULT_OK);

  // A handle opened after the close is a new one, even when the manager is
  // recreated in between.
  DeviceHandle third = 0;
  ASSERT_EQ(OpenDevice(PathOf("dev"), &third), RESULT_OK);
  DestroyDevicesManager();
  CreateDevicesManager();
  DeviceHandle fourth = 0;
  ASSERT_EQ(OpenDevice(PathOf("dev"), &fourth), RESULT_OK);
  for (DeviceHandle old : {first, second, third}) {
    EXPECT_NE(fourth, old);
    EXPECT_EQ(ReadDeviceDescriptor(old, descriptor), DEV_ERR_BAD_PARAMETER);
  }
}

TEST_F(DeviceManagerTest, ClosingTheMiddleDeviceKeepsTheOthers) {
  DeviceHandle a = 0, b = 0, c = 0;
  ASSERT_EQ(OpenDevice(PathOf("dev"), &a), RESULT_OK);
  ASSERT_EQ(OpenDevice(PathOf("dev"), &b), RESULT_OK);
  ASSERT_EQ(OpenDevice(PathOf("dev"), &c), RESULT_OK);
  EXPECT_EQ(CloseDevice(b), RESULT_OK);
  uint8_t descriptor[18] = {};
  EXPECT_EQ(ReadDeviceDescriptor(a, descriptor), RESULT_OK);
  EXPECT_EQ(ReadDeviceDescriptor(b, descriptor), DEV_ERR_BAD_PARAMETER);
  EXPECT_EQ(ReadDeviceDescriptor(c, descriptor), RESULT_OK);
  EXPECT_EQ(fake->OpenConnections(), 2);
}

TEST_F(DeviceManagerTest, DestroyingTheManagerClosesEveryConnection) {
  DeviceHandle a = 0, b = 0;
  ASSERT_EQ(OpenDevice(PathOf("dev"), &a), RESULT_OK);
  ASSERT_EQ(OpenDevice(PathOf("dev"), &b), RESULT_OK);
  DestroyDevicesManager();
  EXPECT_EQ(fake->OpenConnections(), 0);
  EXPECT_EQ(CloseDevice(a), RESULT_OK);  // no manager: not an error
  uint8_t descriptor[18] = {};
  EXPECT_EQ(ReadDeviceDescriptor(a, descriptor), DEV_ERR_NO_MANAGER);
}

TEST_F(DeviceManagerTest, CallsOnUnknownHandleOrWithoutManager) {
  uint8_t buffer[512] = {};
  const DeviceHandle unknown = 0xFFFFFFFFFFull;
  EXPECT_EQ(ReadDeviceDescriptor(unknown, buffer), DEV_ERR_BAD_PARAMETER);
  EXPECT_EQ(ReadInterfaceDescriptor(unknown, 0, 0, buffer), DEV_ERR_BAD_PARAMETER);
  EXPECT_EQ(ReadClassDescriptor(unknown, 0, 0, buffer), DEV_ERR_BAD_PARAMETER);
  EXPECT_EQ(ReadStringDescriptor(unknown, 4, reinterpret_cast<char*>(buffer)),
            DEV_ERR_BAD_PARAMETER);
  EXPECT_EQ(SelectAlternateSetting(unknown, 0), DEV_ERR_BAD_PARAMETER);
  EXPECT_EQ(CloseDevice(unknown), RESULT_OK);
  DestroyDevicesManager();
  EXPECT_EQ(ReadInterfaceDescriptor(unknown, 0, 0, buffer), DEV_ERR_NO_MANAGER);
  EXPECT_EQ(ReadClassDescriptor(unknown, 0, 0, buffer), DEV_ERR_NO_MANAGER);
  EXPECT_EQ(ReadStringDescriptor(unknown, 4, reinterpret_cast<char*>(buffer)),
            DEV_ERR_NO_MANAGER);
  EXPECT_EQ(SelectAlternateSetting(unknown, 0), DEV_ERR_NO_MANAGER);
}

TEST_F(DeviceManagerTest, DescriptorsThroughHandles) {
  DeviceHandle handle = 0;
  ASSERT_EQ(OpenDevice(PathOf("dev"), &handle), RESULT_OK);
  uint8_t device[18] = {};
  ASSERT_EQ(ReadDeviceDescriptor(handle, device), RESULT_OK);
  EXPECT_EQ(Bytes(device, device + 18), FakeDeviceDescriptor());

  uint8_t iface[9] = {};
  ASSERT_EQ(ReadInterfaceDescriptor(handle, 0, 1, iface), RESULT_OK);
  EXPECT_EQ(Bytes(iface, iface + 9), (Bytes{9, 4, 0, 1, 0, 0xFE, 1, 2, 5}));
  uint8_t functional[9] = {};
  ASSERT_EQ(ReadClassDescriptor(handle, 0, 1, functional), RESULT_OK);
  EXPECT_EQ(functional[1], 0x21);
  EXPECT_EQ(ReadClassDescriptor(handle, 0, 0, functional), DEV_ERR_BAD_DESCRIPTOR_LAYOUT);
}

TEST_F(DeviceManagerTest, StringBufferIsWrittenOnlyOnSuccessAndZeroPadded) {
  DeviceHandle handle = 0;
  ASSERT_EQ(OpenDevice(PathOf("dev"), &handle), RESULT_OK);
  size_t before = fake->Requests().size();
  EXPECT_EQ(ReadStringDescriptor(handle, 4, nullptr), DEV_ERR_BAD_PARAMETER);
  EXPECT_EQ(fake->Requests().size(), before);  // no driver call

  char buffer[512];
  std::memset(buffer, 'Z', sizeof buffer);
  EXPECT_EQ(ReadStringDescriptor(handle, 9, buffer), DEV_ERR_STRING_DESCRIPTOR);
  EXPECT_EQ(buffer[0], 'Z');
  EXPECT_EQ(buffer[511], 'Z');

  ASSERT_EQ(ReadStringDescriptor(handle, 5, buffer), RESULT_OK);
  EXPECT_STREQ(buffer, "@Option Bytes  /0x1FFFC000/01*016 e");
  for (size_t i = std::strlen(buffer); i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0) << i;
}

TEST_F(DeviceManagerTest, LongUtf8StringIsCutWholeAndTerminated) {
  const uint16_t euro = 0x20AC;
  if (Utf16ToConsoleText(&euro, 1) != "\xE2\x82\xAC") {
    GTEST_SKIP() << "only UTF-8 text can outgrow the buffer";
  }
  // Two ASCII letters and 253 euro signs (3 UTF-8 bytes each) make 761 bytes;
  // the 511-byte limit falls inside the 170th euro sign.
  Bytes answer = {0xFF, 3, 'a', 0, 'b', 0};
  for (int i = 0; i < 253; ++i) answer.insert(answer.end(), {0xAC, 0x20});
  fake->strings[9] = answer;
  DeviceHandle handle = 0;
  ASSERT_EQ(OpenDevice(PathOf("dev"), &handle), RESULT_OK);
  char buffer[512];
  std::memset(buffer, 'Z', sizeof buffer);
  ASSERT_EQ(ReadStringDescriptor(handle, 9, buffer), RESULT_OK);
  EXPECT_EQ(std::strlen(buffer), 2u + 3u * 169u);  // whole characters only
  EXPECT_EQ(std::string(buffer + 506, 3), "\xE2\x82\xAC");
  EXPECT_EQ(buffer[511], 0);
}

TEST_F(DeviceManagerTest, SelectAlternateSettingRefusalLeavesAClosedEntry) {
  DeviceHandle handle = 0;
  ASSERT_EQ(OpenDevice(PathOf("dev"), &handle), RESULT_OK);
  ASSERT_EQ(SelectAlternateSetting(handle, 1), RESULT_OK);
  fake->refuseSelect = true;
  EXPECT_EQ(SelectAlternateSetting(handle, 0), DEV_ERR_BAD_PARAMETER);
  uint8_t descriptor[18] = {};
  EXPECT_EQ(ReadDeviceDescriptor(handle, descriptor), DEV_ERR_NOT_OPEN);
  EXPECT_EQ(fake->OpenConnections(), 0);
  EXPECT_EQ(CloseDevice(handle), RESULT_OK);
  EXPECT_EQ(ReadDeviceDescriptor(handle, descriptor), DEV_ERR_BAD_PARAMETER);
}

// The console thread and a worker take turns with the table; under TSan this
// shows the hand-over is free of races even when the turns overlap.
TEST_F(DeviceManagerTest, TwoThreadsOpenAndCloseConcurrently) {
  auto work = [this] {
    for (int i = 0; i < 50; ++i) {
      DeviceHandle handle = 0;
      ASSERT_EQ(OpenDevice(PathOf("dev"), &handle), RESULT_OK);
      uint8_t iface[9] = {};
      EXPECT_EQ(ReadInterfaceDescriptor(handle, 0, 1, iface), RESULT_OK);
      EXPECT_EQ(CloseDevice(handle), RESULT_OK);
    }
  };
  std::thread worker(work);
  work();
  worker.join();
  EXPECT_EQ(fake->OpenConnections(), 0);
}

// flash --all drives each device from a thread of its own: a transfer on one
// device must not wait for a transfer in progress on another.
TEST_F(DeviceManagerTest, ATransferOnOneDeviceDoesNotWaitForOneInProgressOnAnother) {
  AddDfuDevice("other", {"@Internal Flash  /0x08000000/04*016Kg"});
  std::mutex mutex;
  std::condition_variable changed;
  bool slowInside = false;
  bool quickDone = false;
  bool quickDoneWhileSlowInside = false;
  fake->control = [&](const ControlRequestHeader&, const Bytes&, Bytes*) {
    std::unique_lock<std::mutex> lock(mutex);
    slowInside = true;
    changed.notify_all();
    // Bounded, so that a layer that makes the two wait for each other fails
    // the test instead of hanging it.
    quickDoneWhileSlowInside =
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return quickDone; });
    return true;
  };
  DeviceHandle slow = 0, quick = 0;
  ASSERT_EQ(OpenDevice(PathOf("dev"), &slow), RESULT_OK);
  ASSERT_EQ(OpenDevice(PathOf("other"), &quick), RESULT_OK);
  std::thread worker([&] {
    DfuStatus status;
    EXPECT_EQ(DfuGetStatus(&slow, &status), RESULT_OK);
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return slowInside; });
  }
  DfuStatus status;
  EXPECT_EQ(DfuGetStatus(&quick, &status), RESULT_OK);
  {
    std::lock_guard<std::mutex> lock(mutex);
    quickDone = true;
  }
  changed.notify_all();
  worker.join();
  EXPECT_TRUE(quickDoneWhileSlowInside);
}

// A close from one thread while another thread sends on the same handle: the
// sender's calls end with the device or find the handle gone, and the
// connection is closed once (ASan and TSan watch the hand-over).
TEST_F(DeviceManagerTest, ClosingAHandleInUseEndsItsCallsCleanly) {
  DeviceHandle handle = 0;
  ASSERT_EQ(OpenDevice(PathOf("dev"), &handle), RESULT_OK);
  std::atomic<int> sent{0};
  std::thread worker([&] {
    for (;;) {
      DfuStatus status;
      DeviceHandle copy = handle;
      const StatusCode result = DfuGetStatus(&copy, &status);
      if (result != RESULT_OK) {
        EXPECT_EQ(result, DEV_ERR_BAD_PARAMETER);
        return;
      }
      ++sent;
    }
  });
  while (sent.load() < 10) std::this_thread::yield();
  EXPECT_EQ(CloseDevice(handle), RESULT_OK);
  worker.join();
  EXPECT_EQ(fake->OpenConnections(), 0);
}

}  // namespace
