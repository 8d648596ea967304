// A test fixture for the console driver against the virtual device: a device
// manager, a virtual device built from profile text, a private folder for
// files, and standard input fed from a script.
#ifndef ZUVA_APP_SIM_DEVICE_TEST_SUPPORT_H_
#define ZUVA_APP_SIM_DEVICE_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/files_test_support.h"
#include "device/device_manager.h"
#include "dfufiles/dfu_file.h"
#include "dfufiles/image.h"
#include "operations/operations.h"
#include "sim/sim_environment.h"

class CSimDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("zuva_app_") + info->test_suite_name() + "_" + info->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    dir = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    CreateDevicesManager();
    ScriptInput("");
  }

  void TearDown() override {
    ShutdownOperations();
    ImageDestroyAll();
    DfuFileDestroyAll();
    DestroyDevicesManager();
    SimUninstall();
    // Standard input must not stay on a file of this folder.
    ScriptInput("");
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  std::string PathOf(const std::string& name) const { return (dir / name).string(); }

  // Installs a virtual device; `profileText` holds profile lines, which
  // change the default profile.
  CDfuDevice* InstallDevice(const std::string& profileText = "description = Virtual DFU Device\n") {
    SimDeviceOptions options;
    std::string error;
    EXPECT_TRUE(SimParseProfile(profileText, "test profile", &options.profile, &error)) << error;
    auto backend = SimInstall(std::move(options), &error);
    EXPECT_NE(backend, nullptr) << error;
    return backend != nullptr ? backend->Device() : nullptr;
  }

  // What the operator types next: the characters of `text`, then end of
  // input.
  void ScriptInput(const std::string& text) {
    const std::string path = PathOf("stdin.txt");
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << text;
    }
    ASSERT_NE(std::freopen(path.c_str(), "rb", stdin), nullptr);
  }

  // Bytes that differ from the erased value and from one another.
  static std::vector<uint8_t> Pattern(size_t size, uint32_t seed = 1) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 31 + seed) % 251);
    return bytes;
  }

  // A registered image for `alternate` with one element per (address, bytes).
  static ImageHandle MakeImage(uint8_t alternate,
                               const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& parts) {
    ImageHandle image = nullptr;
    EXPECT_EQ(ImageCreate(&image), RESULT_OK);
    image->alternateSetting = alternate;
    uint32_t index = 0;
    for (const auto& [address, bytes] : parts) {
      std::vector<uint8_t> copy = bytes;
      ImageElement element{address, static_cast<uint32_t>(copy.size()), copy.data()};
      EXPECT_EQ(ImageSetElement(image, index++, 1, &element), RESULT_OK);
    }
    return image;
  }

  std::filesystem::path dir;
};

// Runs `body` and returns what it printed.
template <typename Body>
std::string CaptureOutput(Body body) {
  ::testing::internal::CaptureStdout();
  body();
  return ::testing::internal::GetCapturedStdout();
}

#endif  // ZUVA_APP_SIM_DEVICE_TEST_SUPPORT_H_
