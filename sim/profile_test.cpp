#include "sim/profile.h"

#include <gtest/gtest.h>

namespace {

TEST(SimProfile, DefaultProfileIsTheDocumentedDevice) {
  const SimProfile p = SimDefaultProfile();
  EXPECT_TRUE(p.hasDescription);
  EXPECT_EQ(p.description, "Virtual DFU Device");
  EXPECT_EQ(p.vendor, 0x0483);
  EXPECT_EQ(p.product, 0xDF11);
  EXPECT_EQ(p.device, 0x2200);
  EXPECT_EQ(p.dfuVersion, 0x011A);
  EXPECT_EQ(p.attributes, 0x0B);
  EXPECT_EQ(p.detachTimeout, 255);
  EXPECT_EQ(p.transferSize, 2048);
  EXPECT_EQ(p.timing, SimTiming::kFast);
  EXPECT_EQ(p.mode, SimMode::kDfu);
  ASSERT_EQ(p.alternates.size(), 4u);
  EXPECT_EQ(p.alternates[0].text, "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,03*128Kg");
  EXPECT_EQ(p.alternates[2].text, "@OTP Memory /0x1FFF7800/01*512 e,01*016 e");
}

TEST(SimProfile, ValuesAreReadAsWritten) {
  SimProfile p;
  std::string error;
  ASSERT_TRUE(
      SimParseProfile("# comment line\r\n"
                      "\n"
                      "description = A device  \r\n"
                      "vendor = 0XAbCd\n"
                      "product = 4660\n"
                      "attributes=0x8f\n"
                      "  transfer-size   =   1024  \n"
                      "timing = real\n"
                      "mode = application\n"
                      "alt = @Flash  /0x08000000/02*1Kg  \n"
                      "alt =\n",
                      "p", &p, &error))
      << error;
  EXPECT_TRUE(p.hasDescription);
  EXPECT_EQ(p.description, "A device  ") << "trailing spaces belong to the value";
  EXPECT_EQ(p.vendor, 0xABCD);
  EXPECT_EQ(p.product, 4660);
  EXPECT_EQ(p.attributes, 0x8F);
  EXPECT_EQ(p.transferSize, 1024);
  EXPECT_EQ(p.timing, SimTiming::kReal);
  EXPECT_EQ(p.mode, SimMode::kApplication);
  EXPECT_EQ(p.device, 0x2200) << "a key left out keeps its default";
  ASSERT_EQ(p.alternates.size(), 2u);
  EXPECT_TRUE(p.alternates[0].hasString);
  EXPECT_EQ(p.alternates[0].text, "@Flash  /0x08000000/02*1Kg  ");
  EXPECT_FALSE(p.alternates[1].hasString);
}

TEST(SimProfile, DescriptionIsAbsentUnlessGivenAndMayBeEmpty) {
  SimProfile p;
  std::string error;
  ASSERT_TRUE(SimParseProfile("vendor = 1\n", "p", &p, &error));
  EXPECT_FALSE(p.hasDescription);
  EXPECT_EQ(p.alternates.size(), 4u) << "no alt line keeps the default memories";
  ASSERT_TRUE(SimParseProfile("description =\n", "p", &p, &error));
  EXPECT_TRUE(p.hasDescription);
  EXPECT_EQ(p.description, "");
}

TEST(SimProfile, MalformedLinesAreRefusedNamingTheFileAndLine) {
  struct Case {
    const char* text;
    int line;
    const char* mentions;
  } cases[] = {
      {"vendor = 1\ncolour = blue\n", 2, "unknown key 'colour'"},
      {"vendor = 1\njust words\n", 2, "expected 'key = value'"},
      {"vendor = 1\n = 5\n", 2, "expected 'key = value'"},
      {"vendor = 1\nvendor = 0x10000\n", 2, "'vendor' is given twice"},
      {"attributes = 0x100\n\n", 1, "attributes"},
      {"vendor = 0x\n", 1, "vendor"},
      {"vendor = 12ab\n", 1, "vendor"},
      {"vendor = -1\n", 1, "vendor"},
      {"timing = slow\n", 1, "timing"},
      {"mode = bootloader\n", 1, "mode"},
      {"alt = @Huge /0x08000000/100*1Mg\n", 1, "MiB"},
      {"poll-timeout = 0x1000000\n", 1, "poll-timeout"},
      {"status-hold = 1\n", 1, "'yes' or 'no'"},
      {"protected = maybe\n", 1, "'yes' or 'no'"},
      {"leave = jump\n", 1, "'reset', 'manifest' or 'wait-reset'"},
      {"after-leave = back\n", 1, "'gone', 'dfu' or 'application'"},
      {"after-leave-path = kept\n", 1, "'new' or 'same'"},
      {"arrive-after = soon\n", 1, "arrive-after"},
      {"extra-interfaces = 17\n", 1, "extra-interfaces"},
      {"memory-size = 0\n", 1, "memory-size"},
      {"memory-size = 0x4000001\n", 1, "memory-size"},
      {"mass-erase-ms = -1\n", 1, "mass-erase-ms"},
      {"mass-erase = some\n", 1, "'all' or 'nothing'"},
      {"serial = a\nserial = b\n", 2, "given twice"},
      {"alt = @A name far too long for a string descriptor of a device: it must stay within one "
       "hundred and twenty-six characters /0x08000000/1*1Kg\n",
       1, "126"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SimProfile p = SimDefaultProfile();
    std::string error;
    EXPECT_FALSE(SimParseProfile(c.text, "my.profile", &p, &error));
    EXPECT_NE(error.find("'my.profile'"), std::string::npos) << error;
    EXPECT_NE(error.find("line " + std::to_string(c.line)), std::string::npos) << error;
    EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
    EXPECT_EQ(p.vendor, 0x0483) << "the profile is left as it was";
  }
}

TEST(SimProfile, BootloaderKeysAreReadAndDefaultToTheIdealDevice) {
  SimProfile p;
  std::string error;
  ASSERT_TRUE(SimParseProfile("vendor = 1\n", "p", &p, &error)) << error;
  EXPECT_EQ(p.serial, "ZUVA00000001");
  EXPECT_FALSE(p.serialAuto);
  EXPECT_FALSE(p.hasPollTimeout);
  EXPECT_FALSE(p.statusHold);
  EXPECT_EQ(p.eraseUsPerKib, 7813u);
  EXPECT_EQ(p.programUsPerKib, 4000u);
  EXPECT_FALSE(p.hasMassEraseMs);
  EXPECT_FALSE(p.massEraseIgnored);
  EXPECT_EQ(p.leave, SimLeave::kManifest);
  EXPECT_FALSE(p.readoutProtected);
  EXPECT_EQ(p.extraInterfaces, 0);
  EXPECT_EQ(p.arriveAfterMs, 0u);
  EXPECT_EQ(p.afterLeave, SimAfterLeave::kGone);

  ASSERT_TRUE(SimParseProfile("serial = 0042ABCD \npoll-timeout = 0x10\nstatus-hold = yes\n"
                              "erase-us-per-kib = 250000\nprogram-us-per-kib = 0\nmass-erase-ms = 30000\n"
                              "mass-erase = nothing\n"
                              "leave = reset\nprotected = yes\nextra-interfaces = 3\n"
                              "arrive-after = 250\nafter-leave = application\nmemory-size = 0x1000\n",
                              "p", &p, &error))
      << error;
  EXPECT_EQ(p.memorySize, 0x1000u);
  EXPECT_EQ(p.serial, "0042ABCD ");
  EXPECT_TRUE(p.hasPollTimeout);
  EXPECT_EQ(p.pollTimeoutMs, 16u);
  EXPECT_TRUE(p.statusHold);
  EXPECT_EQ(p.eraseUsPerKib, 250000u);
  EXPECT_EQ(p.programUsPerKib, 0u);
  EXPECT_TRUE(p.hasMassEraseMs);
  EXPECT_EQ(p.massEraseMs, 30000u);
  EXPECT_TRUE(p.massEraseIgnored);
  EXPECT_EQ(p.leave, SimLeave::kReset);
  EXPECT_TRUE(p.readoutProtected);
  EXPECT_EQ(p.extraInterfaces, 3);
  EXPECT_EQ(p.arriveAfterMs, 250u);
  EXPECT_EQ(p.afterLeave, SimAfterLeave::kApplication);

  ASSERT_TRUE(SimParseProfile("serial = auto\nleave = manifest\nstatus-hold = no\n", "p", &p, &error));
  EXPECT_TRUE(p.serialAuto);
  EXPECT_EQ(p.leave, SimLeave::kManifest);
  ASSERT_TRUE(SimParseProfile("leave = wait-reset\n", "p", &p, &error));
  EXPECT_EQ(p.leave, SimLeave::kWaitReset);
  EXPECT_FALSE(p.statusHold);

  // Only the first memory is held whole; the others may be large.
  ASSERT_TRUE(SimParseProfile("alt = @Flash /0x08000000/1*1Kg\nalt = @SPI /0x90000000/131072*4Kg\n", "p", &p,
                              &error))
      << error;
}

TEST(SimProfile, TooManyAlternateSettingsAreRefused) {
  std::string text;
  for (int i = 0; i < 55; ++i) text += "alt = @M /0x" + std::to_string(10000000 + i) + "/1*1Kg\n";
  SimProfile p;
  std::string error;
  EXPECT_FALSE(SimParseProfile(text, "p", &p, &error));
  EXPECT_NE(error.find("line 55"), std::string::npos) << error;
}

TEST(SimProfile, NumbersAreDecimalOrPrefixedHexadecimal) {
  struct Case {
    const char* text;
    bool valid;
    uint64_t value;
  } cases[] = {
      {"0", true, 0},      {"65535", true, 65535}, {"0x0", true, 0},  {"0XfF", true, 255},
      {"65536", false, 0}, {"0x10000", false, 0},  {"", false, 0},    {"0x", false, 0},
      {"1 2", false, 0},   {"+1", false, 0},       {"0b1", false, 0}, {"ff", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint64_t value = 99;
    EXPECT_EQ(SimParseNumber(c.text, 0xFFFF, &value), c.valid);
    if (c.valid) {
      EXPECT_EQ(value, c.value);
    }
  }
}

TEST(SimProfile, Utf8BecomesUtf16) {
  EXPECT_EQ(SimUtf8ToUtf16("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"),
            std::u16string(u"A\u00E9\u20AC\U0001F600"));
  EXPECT_EQ(SimUtf8ToUtf16("a\xFF"
                           "b\xC0\xAF"),
            std::u16string(u"a\uFFFDb\uFFFD\uFFFD"));
}

}  // namespace

TEST(SimProfile, ADeviceThatPublishesMemoryMapsIsDfuSeWhateverVersionItAnnounces) {
  struct Case {
    const char* text;
    bool plain;
  } cases[] = {
      {"dfu-version = 0x011A\n", false},
      {"dfu-version = 0x0100\n", false},  // the default profile's maps
      {"dfu-version = 0x0100\nalt = Application\nalt = @Flash/0x08000000/02*001Kg\n", false},
      {"dfu-version = 0x0110\nalt = Application\nalt = @Settings\n", true},
      {"dfu-version = 0x0110\nalt =\n", true},
  };
  for (const Case& c : cases) {
    SimProfile profile;
    std::string error;
    ASSERT_TRUE(SimParseProfile(c.text, "test", &profile, &error)) << error;
    EXPECT_EQ(SimIsPlainDfu(profile), c.plain) << c.text;
  }
}
