// A test fixture with the scripted backend registered and a device manager.
#ifndef ZUVA_DEVICE_DEVICE_TEST_SUPPORT_H_
#define ZUVA_DEVICE_DEVICE_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "device/device_manager.h"
#include "device/fake_driver_test_support.h"
#include "platform/driver_port.h"

class CFakeDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend = std::make_shared<CFakeDriverBackend>();
    RegisterDriverBackend(backend);
    CreateDevicesManager();
  }
  void TearDown() override {
    DestroyDevicesManager();
    UnregisterDriverBackend(backend.get());
  }

  // A device in DFU mode: one interface with one alternate setting per
  // memory-map string, the functional descriptor after the last.
  std::shared_ptr<CFakeDevice> AddDfuDevice(const std::string& name,
                                            const std::vector<std::string>& maps) {
    auto device = backend->AddDevice(name);
    CConfigBuilder config(1);
    for (size_t k = 0; k < maps.size(); ++k) {
      uint8_t stringIndex = static_cast<uint8_t>(4 + k);
      config.Interface(0, static_cast<uint8_t>(k), maps[k].empty() ? 0 : stringIndex);
      if (!maps[k].empty()) device->strings[stringIndex] = FakeStringDescriptor(maps[k]);
    }
    device->configurations = {config.Functional().Build()};
    return device;
  }

  static std::string PathOf(const std::string& name) { return CFakeDriverBackend::PREFIX + name; }

  std::shared_ptr<CFakeDriverBackend> backend;
};

#endif  // ZUVA_DEVICE_DEVICE_TEST_SUPPORT_H_
