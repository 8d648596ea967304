#include "device/memory_map.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device_test_support.h"

namespace {

struct Sector {
  uint32_t start;
  uint32_t paired;
  uint32_t size;
  char type;
};

// Checks `record` against sectors that are all in use and numbered in order.
void ExpectSectors(const MemoryMapping& record, const std::vector<Sector>& expected) {
  ASSERT_EQ(record.sectorCount, expected.size());
  ASSERT_EQ(record.sectors.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    const MappingSector& s = record.sectors[i];
    EXPECT_EQ(s.startAddress, expected[i].start);
    EXPECT_EQ(s.pairedAddress, expected[i].paired);
    EXPECT_EQ(s.sectorIndex, i);
    EXPECT_EQ(s.sectorSize, expected[i].size);
    EXPECT_EQ(s.sectorType, static_cast<uint8_t>(expected[i].type));
    EXPECT_EQ(s.inUse, 1u);
  }
}

std::vector<Sector> SectorRun(uint32_t start, std::initializer_list<std::pair<int, uint32_t>> groups,
                        char type) {
  std::vector<Sector> out;
  for (auto [count, size] : groups) {
    for (int i = 0; i < count; ++i, start += size) out.push_back({start, start, size, type});
  }
  return out;
}

struct ParseCase {
  const char* name;
  std::string text;
  std::string memoryName;
  std::vector<Sector> sectors;
};

std::vector<ParseCase> ParseCases() {
  return {
      {"InternalFlash", "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,03*128Kg",
       "Internal Flash  ", SectorRun(0x08000000, {{4, 16384}, {1, 65536}, {3, 131072}}, 'g')},
      {"OptionBytes", "@Option Bytes  /0x1FFFC000/01*016 e", "Option Bytes  ",
       SectorRun(0x1FFFC000, {{1, 16}}, 'e')},
      {"OtpMemory", "@OTP Memory /0x1FFF7800/01*512 e,01*016 e", "OTP Memory ",
       SectorRun(0x1FFF7800, {{1, 512}, {1, 16}}, 'e')},
      {"DeviceFeature", "@Device Feature/0xFFFF0000/01*004 e", "Device Feature",
       SectorRun(0xFFFF0000, {{1, 4}}, 'e')},
      {"ConfigBytes", "@Config /0x1FFF0000/01*016 e", "Config ", SectorRun(0x1FFF0000, {{1, 16}}, 'e')},
      {"PairedAddress", "@Flash /0x08000000-0x00000000/02*1Kg", "Flash ",
       {{0x08000000, 0x00000000, 1024, 'g'}, {0x08000400, 0x00000400, 1024, 'g'}}},
      {"TwoBlocks", "@Flash /0x08000000/02*002Ka/0x08100000/01*128Kg", "Flash ",
       {{0x08000000, 0x08000000, 2048, 'a'}, {0x08000800, 0x08000800, 2048, 'a'},
        {0x08100000, 0x08100000, 131072, 'g'}}},
      {"UnitBIsBytes", "@X/0x0/01*512Ba", "X", SectorRun(0, {{1, 512}}, 'a')},
      {"Megabytes", "@X/0x90000000/02*1Mf", "X", SectorRun(0x90000000, {{2, 1048576}}, 'f')},
      {"AddressWithoutPrefix", "@X/8000/01*1Kc", "X", SectorRun(0x8000, {{1, 1024}}, 'c')},
      {"AddressesWrap", "@X/0xFFFFF000/02*4Kg", "X",
       {{0xFFFFF000, 0xFFFFF000, 4096, 'g'}, {0, 0, 4096, 'g'}}},
      {"OversizedAddressSaturates", "@X/0x123456789/01*1Kg", "X", SectorRun(0xFFFFFFFF, {{1, 1024}}, 'g')},
      {"SizeWrapsIn32Bits", "@X/0x0/01*4194304Kg", "X", SectorRun(0, {{1, 0}}, 'g')},
      {"StringEndsInsideGroup", "@X/0x100/01*4", "X", {{0x100, 0x100, 4, '\0'}}},
  };
}

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, GivesTheSectorsOfTheString) {
  const ParseCase& c = GetParam();
  MemoryMapping record{};
  record.alternateSetting = 3;
  ASSERT_EQ(ParseMemoryMapString(c.text, &record), RESULT_OK);
  EXPECT_STREQ(record.memoryName, c.memoryName.c_str());
  EXPECT_EQ(record.alternateSetting, 3);
  ExpectSectors(record, c.sectors);
}

INSTANTIATE_TEST_SUITE_P(Strings, ParseTest, ::testing::ValuesIn(ParseCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MemoryMapStringTest, MalformedStringsAreRefusedAndLeaveTheRecord) {
  const char* cases[] = {
      "Internal Flash",             // no '@'
      "",                           //
      "@Flash",                     // no '/'
      "@Flash /0x08000000/",        // no '*'
      "@Flash /0x08000000/00*016Kg",  // counts add up to 0
      "@Fl*ash /0x08000000/04Kg",   // the only '*' is in the name
      "@X/0/99999999999*1Kg",       // more sectors than any memory has
      "@X/0/600000*4Kg,600000*4Kg",  // the same, spread over groups
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    MemoryMapping record{};
    record.sectorCount = 42;
    EXPECT_EQ(ParseMemoryMapString(text, &record), OP_ERR_BAD_PARAMETER);
    EXPECT_EQ(record.sectorCount, 42u);
    EXPECT_TRUE(record.sectors.empty());
  }
}

TEST(MemoryMapStringTest, LargeExternalFlashDecodesUpToTheBound) {
  // 512 MiB in 4 KiB sectors, and the bound itself spread over two blocks.
  MemoryMapping record{};
  ASSERT_EQ(ParseMemoryMapString("@SPI Flash /0x90000000/131072*4Kg", &record), RESULT_OK);
  ASSERT_EQ(record.sectorCount, 131072u);
  EXPECT_EQ(record.sectors.back().startAddress, 0x90000000u + 131071u * 4096u);
  EXPECT_EQ(record.sectors.back().inUse, 1u);
  ASSERT_EQ(ParseMemoryMapString("@Ext/0x0/524288*4Kg/0x80000000/524288*4Kg", &record), RESULT_OK);
  EXPECT_EQ(record.sectorCount, MEMORY_MAP_MAX_SECTORS);
  EXPECT_EQ(record.sectors.back().startAddress, 0xFFFFF000u);
  EXPECT_EQ(ParseMemoryMapString("@Ext/0x0/524288*4Kg/0x80000000/524289*4Kg", &record), OP_ERR_BAD_PARAMETER);
}

TEST(MemoryMapStringTest, CountedAndParsedSectorsMayDiffer) {
  // The count pass reads "2" before the '*', the parse pass a count of -2: it
  // stops at the end of the list instead of writing past it.
  MemoryMapping record{};
  ASSERT_EQ(ParseMemoryMapString("@X/0x0/-2*1Kg", &record), RESULT_OK);
  ExpectSectors(record, SectorRun(0, {{2, 1024}}, 'g'));

  // Here the parse pass reaches one sector of the two counted: the other
  // stays zero and out of use.
  ASSERT_EQ(ParseMemoryMapString("@X/0x0/01*1Kg 1*2Kg", &record), RESULT_OK);
  ASSERT_EQ(record.sectorCount, 2u);
  EXPECT_EQ(record.sectors[0].inUse, 1u);
  EXPECT_EQ(record.sectors[1].inUse, 0u);
  EXPECT_EQ(record.sectors[1].sectorSize, 0u);
}

TEST(MemoryMapStringTest, NameIsCutAndNothingPastTheTerminatorIsRead) {
  MemoryMapping record{};
  std::string longName = "@" + std::string(300, 'n') + "/0x0/01*1Kg";
  ASSERT_EQ(ParseMemoryMapString(longName, &record), RESULT_OK);
  EXPECT_EQ(std::string(record.memoryName), std::string(259, 'n'));

  std::string withTail("@X/0x0/01*1Kg\0/0x100/05*1Kg", 27);
  ASSERT_EQ(ParseMemoryMapString(withTail, &record), RESULT_OK);
  EXPECT_EQ(record.sectorCount, 1u);
}

// --- Decoding from a device ------------------------------------------------

class DecodeTest : public CFakeDeviceTest {};

const std::vector<std::string> DEFAULT_PROFILE = {
    "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,03*128Kg",
    "@Option Bytes  /0x1FFFC000/01*016 e",
    "@OTP Memory /0x1FFF7800/01*512 e,01*016 e",
    "@Device Feature/0xFFFF0000/01*004 e",
};

TEST_F(DecodeTest, DefaultProfileGivesOneRecordPerAlternateAndATerminator) {
  auto fake = AddDfuDevice("dev", DEFAULT_PROFILE);
  MemoryMappingArray mapping;
  uint32_t count = 0;
  ASSERT_EQ(DecodeMemoryMapping(PathOf("dev"), &mapping, &count), RESULT_OK);
  ASSERT_EQ(count, 4u);
  EXPECT_STREQ(mapping[0].memoryName, "Internal Flash  ");
  ExpectSectors(mapping[0], SectorRun(0x08000000, {{4, 16384}, {1, 65536}, {3, 131072}}, 'g'));
  ExpectSectors(mapping[1], SectorRun(0x1FFFC000, {{1, 16}}, 'e'));
  ExpectSectors(mapping[2], SectorRun(0x1FFF7800, {{1, 512}, {1, 16}}, 'e'));
  ExpectSectors(mapping[3], SectorRun(0xFFFF0000, {{1, 4}}, 'e'));
  for (uint8_t k = 0; k < 4; ++k) EXPECT_EQ(mapping[k].alternateSetting, k);

  const MemoryMapping& end = mapping[4];
  EXPECT_EQ(end.alternateSetting, 0);
  EXPECT_EQ(end.memoryName[0], '\0');
  EXPECT_EQ(end.sectorCount, 0u);
  EXPECT_TRUE(end.sectors.empty());
  EXPECT_EQ(fake->OpenConnections(), 0);

  FreeMemoryMapping(&mapping);
  EXPECT_EQ(mapping, nullptr);
  FreeMemoryMapping(&mapping);  // an empty variable: nothing happens
  FreeMemoryMapping(nullptr);
}

TEST_F(DecodeTest, ThreeAlternatesGiveFourRecords) {
  AddDfuDevice("dev", {"@A/0x0/01*1Ka", "@B/0x0/01*1Kb", "@C/0x0/01*1Kc"});
  MemoryMappingArray mapping;
  uint32_t count = 0;
  ASSERT_EQ(DecodeMemoryMapping(PathOf("dev"), &mapping, &count), RESULT_OK);
  EXPECT_EQ(count, 3u);
  EXPECT_STREQ(mapping[2].memoryName, "C");
  EXPECT_TRUE(mapping[3].sectors.empty());
}

TEST_F(DecodeTest, AnyBadAlternateFailsTheWholeDecodeAndClosesTheDevice) {
  struct Case {
    const char* name;
    std::vector<std::string> maps;
    StatusCode status;
  };
  const Case cases[] = {
      {"no interface string", {DEFAULT_PROFILE[0], ""}, OP_ERR_BAD_PARAMETER},
      {"no '@'", {DEFAULT_PROFILE[0], "Internal Flash"}, OP_ERR_BAD_PARAMETER},
      {"no '*'", {"@Flash /0x08000000/"}, OP_ERR_BAD_PARAMETER},
      {"zero sectors", {DEFAULT_PROFILE[1], "@Flash /0x08000000/00*016Kg"}, OP_ERR_BAD_PARAMETER},
      // Each memory within the bound, the two together beyond it.
      {"too many sectors in all", {"@A/0x0/600000*1Ka", "@B/0x0/600000*1Ka"}, OP_ERR_BAD_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto fake = AddDfuDevice(c.name, c.maps);
    MemoryMappingArray mapping;
    uint32_t count = 77;
    EXPECT_EQ(DecodeMemoryMapping(PathOf(c.name), &mapping, &count), c.status);
    EXPECT_EQ(mapping, nullptr);
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(fake->OpenConnections(), 0);
  }
}

TEST_F(DecodeTest, DeviceFailuresPassThrough) {
  MemoryMappingArray mapping;
  uint32_t count = 0;
  EXPECT_EQ(DecodeMemoryMapping(PathOf("missing"), &mapping, &count), DEV_ERR_OPEN_FAILED);

  auto fake = AddDfuDevice("dev", DEFAULT_PROFILE);
  fake->strings.erase(5);  // the second alternate's string cannot be read
  EXPECT_EQ(DecodeMemoryMapping(PathOf("dev"), &mapping, &count), DEV_ERR_STRING_DESCRIPTOR);
  EXPECT_EQ(fake->OpenConnections(), 0);

  auto noFunctional = backend->AddDevice("nofunc");
  noFunctional->configurations = {
      CConfigBuilder(1).Interface(0, 0, 4).Raw({10, 0x21, 0, 0, 0, 0, 0, 0, 0, 0}).Build()};
  EXPECT_EQ(DecodeMemoryMapping(PathOf("nofunc"), &mapping, &count), DEV_ERR_DESCRIPTOR_TOO_LONG);
  EXPECT_EQ(noFunctional->OpenConnections(), 0);

  DestroyDevicesManager();
  EXPECT_EQ(DecodeMemoryMapping(PathOf("dev"), &mapping, &count), DEV_ERR_NO_MANAGER);
  EXPECT_EQ(mapping, nullptr);
}

TEST_F(DecodeTest, DecodesWhileAnotherHandleHoldsTheDevice) {
  auto fake = AddDfuDevice("dev", DEFAULT_PROFILE);
  DeviceHandle held = 0;
  ASSERT_EQ(OpenDevice(PathOf("dev"), &held), RESULT_OK);
  MemoryMappingArray mapping;
  uint32_t count = 0;
  ASSERT_EQ(DecodeMemoryMapping(PathOf("dev"), &mapping, &count), RESULT_OK);
  EXPECT_EQ(fake->OpenConnections(), 1);
  uint8_t descriptor[18];
  EXPECT_EQ(ReadDeviceDescriptor(held, descriptor), RESULT_OK);
}

}  // namespace
