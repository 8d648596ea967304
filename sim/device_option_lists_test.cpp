#include "sim/device_option_lists.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

// A profile file that names its device, in a folder of this test's own.
std::string ProfileNamed(const std::string& description) {
  auto dir = std::filesystem::temp_directory_path() /
             ("zuva-lists-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / (description + ".profile")).string();
  std::ofstream(path) << "description = " << description << "\n";
  return path;
}

struct Expected {
  const char* description;
  const char* flash;
  const char* trace;
  size_t faults;
};

TEST(SimDeviceOptionLists, DeviceIGetsTheIthEntryAndAProfileGivenOnceServesEvery) {
  const std::string one = ProfileNamed("One");
  const std::string two = ProfileNamed("Two");
  const char* plain = "Virtual DFU Device";
  struct Case {
    const char* name;
    SimDeviceOptionLists lists;
    std::vector<Expected> devices;
  };
  const Case cases[] = {
      {"NothingGivenIsOneDefaultDevice", {}, {{plain, "", "", 0}}},
      {"OneProfileServesEveryDevice",
       {{one}, {"a.bin", "b.bin"}, {}, {}},
       {{"One", "a.bin", "", 0}, {"One", "b.bin", "", 0}}},
      {"ShortListsLeaveTheLaterDevicesDefault",
       {{one, two}, {}, {"stall@1,stall@2"}, {"t.txt"}},
       {{"One", "", "t.txt", 2}, {"Two", "", "", 0}}},
      {"EmptyEntriesAreTheDefault",
       {{"", two, ""}, {"", "b.bin"}, {"", "unplug@3"}, {}},
       {{plain, "", "", 0}, {"Two", "b.bin", "", 1}, {plain, "", "", 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.lists.DeviceCount(), c.devices.size());
    for (size_t i = 0; i < c.devices.size(); ++i) {
      SimDeviceOptions options;
      std::string error;
      ASSERT_TRUE(SimDeviceOptionsAt(c.lists, i, &options, &error)) << error;
      EXPECT_EQ(options.index, i + 1);
      EXPECT_EQ(options.profile.description, c.devices[i].description);
      EXPECT_EQ(options.flashPath, c.devices[i].flash);
      EXPECT_EQ(options.tracePath, c.devices[i].trace);
      EXPECT_EQ(options.faults.faults.size(), c.devices[i].faults);
    }
  }
}

TEST(SimDeviceOptionLists, OptionsNameTheirListAndRefusalsNameTheEntry) {
  SimDeviceOptionLists lists;
  for (const char* option : {"--profile", "--flash", "--faults", "--trace"}) {
    ASSERT_NE(lists.ListOfOption(option), nullptr) << option;
    lists.ListOfOption(option)->push_back(option);
  }
  EXPECT_EQ(lists.profiles, std::vector<std::string>{"--profile"});
  EXPECT_EQ(lists.faults, std::vector<std::string>{"--faults"});
  EXPECT_EQ(lists.ListOfOption("--ready"), nullptr);
  EXPECT_EQ(lists.ListOfOption("profile"), nullptr);

  SimDeviceOptions options;
  std::string error;
  EXPECT_FALSE(SimDeviceOptionsAt({{}, {}, {"", "jump@4"}, {}}, 1, &options, &error));
  EXPECT_NE(error.find("jump@4"), std::string::npos) << error;
  error.clear();
  EXPECT_FALSE(SimDeviceOptionsAt({{"no-such.profile"}, {}, {}, {}}, 0, &options, &error));
  EXPECT_NE(error.find("no-such.profile"), std::string::npos) << error;
}

}  // namespace
