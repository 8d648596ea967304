#include "tool/tool_options.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "tool/tool_help.h"

namespace {

bool Parse(std::vector<const char*> args, ToolOptions* options, std::string* error) {
  args.insert(args.begin(), "zuvatool");
  return ParseToolOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(ToolOptions, ReadsAFlashCommandLine) {
  ToolOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"flash", "fw.bin", "--alt", "1", "--address=0x08004000", "--no-leave",
                     "--fast-poll", "--serial", "SIM0002"},
                    &o, &error))
      << error;
  EXPECT_EQ(o.positional, std::vector<std::string>{"fw.bin"});
  EXPECT_EQ(o.alternate, 1);
  EXPECT_EQ(o.address, 0x08004000u);
  EXPECT_TRUE(o.noLeave);
  EXPECT_FALSE(o.noVerify);
  EXPECT_TRUE(o.fastPoll);
  EXPECT_FALSE(o.changedOnly);
  EXPECT_EQ(o.serial, "SIM0002");
}

TEST(ToolOptions, ReadsRepeatedTargets) {
  ToolOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"convert", "a.hex", "b.dfu", "--target", "0=0x08000000-0x08100000", "--target",
                     "1=0x1FFFC000-0x1FFFC010", "--vid", "0x1234"},
                    &o, &error))
      << error;
  ASSERT_EQ(o.targets.size(), 2u);
  EXPECT_EQ(o.targets[1].alternate, 1);
  EXPECT_EQ(o.targets[1].start, 0x1FFFC000u);
  EXPECT_EQ(o.targets[1].end, 0x1FFFC010u);
  EXPECT_EQ(o.vendorId, 0x1234);
}

TEST(ToolOptions, AllMeansSectorsToEraseAndDevicesToFlash) {
  ToolOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"erase", "--all"}, &o, &error)) << error;
  EXPECT_TRUE(o.all);
  EXPECT_FALSE(o.allDevices);
  ASSERT_TRUE(Parse({"flash", "fw.bin", "--all"}, &o, &error)) << error;
  EXPECT_TRUE(o.allDevices);
  EXPECT_FALSE(o.all);
}

// USB IDs are hexadecimal as list, lsusb and the descriptors show them, with
// or without 0x; --device also takes VID:PID and the bus-port location.
struct SelectorCase {
  std::vector<const char*> args;
  std::optional<uint16_t> vendorId;
  std::optional<uint16_t> productId;
  std::optional<std::string> devicePath;
};

TEST(ToolOptions, ReadsDeviceSelectorsAsUsbToolsWriteThem) {
  const SelectorCase cases[] = {
      {{"--vid", "0483", "--pid", "df11"}, 0x0483, 0xDF11, std::nullopt},
      {{"--vid", "0x0483", "--pid", "0XDF11"}, 0x0483, 0xDF11, std::nullopt},
      {{"--vid=483", "--pid=DF11"}, 0x0483, 0xDF11, std::nullopt},
      // Digits alone are hexadecimal too: 1155 is 0x1155, not 0x0483.
      {{"--vid", "1155", "--pid", "57105"}, std::nullopt, std::nullopt, std::nullopt},
      {{"--vid", "1155", "--pid", "5710"}, 0x1155, 0x5710, std::nullopt},
      {{"--device", "0483:df11"}, 0x0483, 0xDF11, std::nullopt},
      {{"--device", "0x0483:0xDF11"}, 0x0483, 0xDF11, std::nullopt},
      {{"--device", "1-1"}, std::nullopt, std::nullopt, "1-1"},
      {{"--device", "usb:1-4.2"}, std::nullopt, std::nullopt, "usb:1-4.2"},
      {{"--device", "sim:1"}, std::nullopt, std::nullopt, "sim:1"},
      // Not two IDs of at most four digits: a path like any other.
      {{"--device", "10483:df11"}, std::nullopt, std::nullopt, "10483:df11"},
      {{"--device", "0483:df11:1"}, std::nullopt, std::nullopt, "0483:df11:1"},
  };
  for (const SelectorCase& c : cases) {
    std::vector<const char*> args = {"read", "out.bin"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ToolOptions o;
    std::string error;
    const bool parsed = Parse(args, &o, &error);
    const bool valid = c.vendorId || c.devicePath;
    ASSERT_EQ(parsed, valid) << c.args[0] << " " << c.args[1] << ": " << error;
    if (!valid) continue;
    EXPECT_EQ(o.vendorId, c.vendorId) << c.args[1];
    EXPECT_EQ(o.productId, c.productId) << c.args[1];
    EXPECT_EQ(o.devicePath, c.devicePath) << c.args[1];
  }
  // The suffix IDs of convert are read the same way.
  ToolOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"convert", "a.hex", "b.dfu", "--vid", "1209", "--pid", "70b1", "--bcd", "0200"},
                    &o, &error))
      << error;
  EXPECT_EQ(o.vendorId, 0x1209);
  EXPECT_EQ(o.productId, 0x70B1);
  EXPECT_EQ(o.deviceVersion, 0x0200);
}

struct HelpCase {
  std::vector<const char*> args;
  const char* command;  // whose help is asked; empty for the overview
};

TEST(ToolOptions, HelpNamesTheCommandWhoseHelpIsAsked) {
  const HelpCase cases[] = {
      {{"--help"}, ""},
      {{"help"}, ""},
      {{"--json", "-h"}, ""},
      {{"flash", "--help"}, "flash"},
      {{"help", "flash"}, "flash"},
      {{"flash", "--bogus", "--help"}, "flash"},
      {{"erase", "--all", "--mass", "-h"}, "erase"},
  };
  for (const HelpCase& c : cases) {
    ToolOptions o;
    std::string error;
    ASSERT_TRUE(Parse(c.args, &o, &error)) << c.args[0] << ": " << error;
    EXPECT_TRUE(o.help);
    EXPECT_FALSE(o.helpAll);
    EXPECT_EQ(o.command, c.command) << c.args[0];
  }
  ToolOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"list", "--help-all"}, &o, &error));
  EXPECT_TRUE(o.help && o.helpAll);
  for (std::vector<const char*> args : {std::vector<const char*>{"help", "burn"},
                                        std::vector<const char*>{"burn", "--help"}}) {
    EXPECT_FALSE(Parse(args, &o, &error));
    EXPECT_NE(error.find("unknown command 'burn'"), std::string::npos) << error;
  }
}

// Every option a command's help offers is one the command takes, and a
// command's own help is about it alone.
TEST(ToolOptions, EachCommandTakesTheOptionsItsHelpOffers) {
  const std::vector<std::vector<const char*>> commands = {
      {"list"},  {"flash", "f"}, {"read", "o"}, {"erase"},          {"unprotect"},
      {"leave"}, {"detach"},     {"convert", "a", "b"}, {"info", "f"}};
  for (const std::vector<const char*>& base : commands) {
    const std::string help = ToolCommandHelpText(base[0]);
    ASSERT_EQ(help.rfind(std::string("Usage: zuvatool ") + base[0] + " ", 0), 0u) << help;
    const size_t options = help.find("\nOptions:\n");
    ASSERT_NE(options, std::string::npos) << base[0];
    size_t at = options;
    int offered = 0;
    while ((at = help.find("\n  --", at)) != std::string::npos) {
      const size_t end = help.find_first_of(" \n", at + 3);
      const std::string name = help.substr(at + 3, end - at - 3);
      at = end;
      std::vector<const char*> args = base;
      args.push_back(name.c_str());
      args.push_back("1");  // a value, or a file too many: never "does not belong"
      ToolOptions o;
      std::string error;
      Parse(args, &o, &error);
      EXPECT_EQ(error.find("does not belong"), std::string::npos) << base[0] << " " << name;
      ++offered;
    }
    EXPECT_GT(offered, 0) << base[0];
  }
  EXPECT_EQ(ToolCommandHelpText("burn"), "");
}

TEST(ToolOptions, VerboseGoesWithVersionInEitherOrder) {
  for (const auto& args : {std::vector<const char*>{"--version", "--verbose"},
                           std::vector<const char*>{"--verbose", "--version"}}) {
    ToolOptions o;
    std::string error;
    ASSERT_TRUE(Parse(args, &o, &error)) << error;
    EXPECT_TRUE(o.version);
    EXPECT_TRUE(o.verbose);
  }
  ToolOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--version"}, &o, &error));
  EXPECT_FALSE(o.verbose);
}

struct UsageCase {
  const char* name;
  std::vector<const char*> args;
  const char* reason;
};

class ToolUsageErrors : public testing::TestWithParam<UsageCase> {};

TEST_P(ToolUsageErrors, AreRefusedWithAReason) {
  ToolOptions o;
  std::string error;
  EXPECT_FALSE(Parse(GetParam().args, &o, &error));
  EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolUsageErrors,
    testing::Values(
        UsageCase{"NoCommand", {}, "no command"},
        UsageCase{"UnknownCommand", {"burn"}, "unknown command"},
        UsageCase{"OptionOfAnotherCommand", {"list", "--no-verify"}, "does not belong to list"},
        UsageCase{"MissingFile", {"flash"}, "takes 1 file"},
        UsageCase{"ExtraFile", {"info", "a", "b"}, "takes 1 file"},
        UsageCase{"MissingValue", {"read", "out.bin", "--alt"}, "needs a value"},
        UsageCase{"AltTooLarge", {"read", "out.bin", "--alt", "256"}, "bad value"},
        UsageCase{"NotANumber", {"read", "out.bin", "--address", "0x8G"}, "bad value"},
        UsageCase{"AddressBeyond32Bits", {"read", "o", "--address", "0x100000000"}, "bad value"},
        UsageCase{"FlagWithValue", {"flash", "f", "--no-verify=1"}, "takes no value"},
        UsageCase{"EraseWithoutWhat", {"erase"}, "exactly one of"},
        UsageCase{"EraseTwoWays", {"erase", "--all", "--mass"}, "exactly one of"},
        UsageCase{"EraseAddressWithoutLength", {"erase", "--address", "0"}, "exactly one of"},
        UsageCase{"EraseZeroLength", {"erase", "--address", "0", "--length", "0"}, "must not be 0"},
        UsageCase{"UnprotectWithoutForce", {"unprotect"}, "--force"},
        UsageCase{"AllAndWatch", {"flash", "f", "--all", "--watch"}, "exclude"},
        UsageCase{"DetachOfEveryDevice", {"flash", "f", "--all", "--detach"}, "not with --all or --watch"},
        UsageCase{"WatchOfAnotherCommand", {"read", "o", "--watch"}, "does not belong to read"},
        UsageCase{"VidWithoutPid", {"flash", "f", "--vid", "0x483"}, "together"},
        UsageCase{"VidBeyond16Bits", {"flash", "f", "--vid", "10483", "--pid", "df11"}, "bad value"},
        UsageCase{
            "TargetEndBeforeStart", {"convert", "a", "b", "--target", "0=0x10-0x10"}, "bad value"},
        UsageCase{"TargetWithoutAlt", {"convert", "a", "b", "--target", "0x10-0x20"}, "bad value"},
        UsageCase{
            "AltAndTarget", {"convert", "a", "b", "--alt", "1", "--target", "0=0-1"}, "exclude"},
        UsageCase{"ShortSha256", {"flash", "f", "--expect-sha256", "abc"}, "bad value"},
        UsageCase{"LogOfAnotherCommand", {"read", "o", "--log", "r.log"}, "does not belong"},
        UsageCase{"PlainWithAddress", {"convert", "a", "b", "--plain", "--address", "0"}, "--plain"},
        // Typos get the nearest name, dfu-util's options their counterpart here.
        UsageCase{"MistypedCommand", {"flsh", "fw.bin"}, "unknown command 'flsh'; did you mean flash?"},
        UsageCase{"MistypedHelpTopic", {"help", "eras"}, "did you mean erase?"},
        UsageCase{"MistypedOption", {"flash", "f", "--adress", "0"},
                  "unknown option --adress; did you mean --address?"},
        UsageCase{"MistypedOptionOfTheCommand", {"read", "o", "--lenght", "4"}, "did you mean --length?"},
        UsageCase{"OneDashAlt", {"flash", "f", "-a", "0"}, "unknown option -a; dfu-util's -a (--alt) is --alt N"},
        UsageCase{"OneDashDownload", {"flash", "-D", "fw.bin"}, "'zuvatool flash FILE'"},
        UsageCase{"DownloadAsTheCommand", {"-D", "fw.bin"}, "unknown option -D; dfu-util's -D"},
        UsageCase{"Verbose", {"flash", "f", "-v"}, "dfu-util's -v (--verbose) has no counterpart"},
        UsageCase{"OneDashNameOfOurs", {"flash", "f", "-alt", "0"}, "did you mean --alt?"},
        UsageCase{"OptionOfAnotherCommandNotDfuUtils", {"convert", "a", "b", "--device", "x"},
                  "--device does not belong to convert"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
