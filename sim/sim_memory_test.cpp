#include "sim/sim_memory.h"

#include <gtest/gtest.h>

namespace {

TEST(SimMemoryMap, DefaultMapsGiveTheirSectors) {
  std::vector<SimSectorLayout> sectors;
  ASSERT_TRUE(
      SimParseMemoryMap("@Internal Flash  /0x08000000/04*016Kg,01*064Kg,03*128Kg", &sectors));
  ASSERT_EQ(sectors.size(), 8u);
  EXPECT_EQ(sectors[3].address, 0x0800C000u);
  EXPECT_EQ(sectors[4].address, 0x08010000u);
  EXPECT_EQ(sectors[4].size, 65536u);
  EXPECT_EQ(sectors[7].address, 0x08060000u);
  EXPECT_EQ(sectors[7].access, SIM_ACCESS_READ | SIM_ACCESS_ERASE | SIM_ACCESS_WRITE);
  EXPECT_EQ(SimMemoryMapSize(sectors), 512u * 1024u);

  ASSERT_TRUE(SimParseMemoryMap("@OTP Memory /0x1FFF7800/01*512 e,01*016 e", &sectors));
  ASSERT_EQ(sectors.size(), 2u);
  EXPECT_EQ(sectors[1].address, 0x1FFF7A00u);
  EXPECT_EQ(sectors[1].size, 16u);
  EXPECT_EQ(sectors[1].access, SIM_ACCESS_READ | SIM_ACCESS_WRITE);

  ASSERT_TRUE(SimParseMemoryMap("@Two /0x08000000-0x00000000/02*1Ka/0x08100000/01*2Mg", &sectors));
  ASSERT_EQ(sectors.size(), 3u);
  EXPECT_EQ(sectors[1].address, 0x08000400u);
  EXPECT_EQ(sectors[2].address, 0x08100000u);
  EXPECT_EQ(sectors[2].size, 2u << 20);
}

// Strings as real devices write them, each of which the host decodes.
TEST(SimMemoryMap, RealWorldStringsGiveTheirMemory) {
  struct Case {
    const char* text;
    size_t sectors;
    uint32_t first;
    uint64_t size;
    uint8_t lastAccess;
  } cases[] = {
      {"@Internal Flash   /0x08000000/ 04*016Kg,01*064Kg,07*128Kg", 12, 0x08000000, 1u << 20, 7},
      {"@Internal Flash  /0x08000000/04*016Kg,01*064Kg,03*128Kg   ", 8, 0x08000000, 512u << 10, 7},
      {"@Flash /0x08000000/8*1Kg,8*1Kg\xff\x01", 16, 0x08000000, 16u << 10, 7},
      {"@Flash /0x08000000/64*2Kg/", 64, 0x08000000, 128u << 10, 7},
      {"@Internal Flash /0x08000000/16*1ka,112*1kg", 128, 0x08000000, 128u << 10, 7},
      {"@Flash /0x08000000/4*16Kg,1*64Kg,1*128Kg", 6, 0x08000000, 256u << 10, 7},
      {"@Bank /0x08000000/256*2Kg/0x08080000/256*2Kg", 512, 0x08000000, 1u << 20, 7},
      {"@Flash / 0x08000000 /16*1Kg", 16, 0x08000000, 16u << 10, 7},
      {"@Flash /0x08000000/16 * 1Kg", 16, 0x08000000, 16u << 10, 7},
      {"@Option Bytes  /0x1FFFC000/01*016 e", 1, 0x1FFFC000, 16, 5},
      {"@OTP /0x1FFF7000/01*512Ba,1*1mg", 2, 0x1FFF7000, 512 + (1u << 20), 7},
      {"@SPI Flash /0x90000000/131072*4Kg", 131072, 0x90000000, 512u << 20, 7},
      {"@Paired /0x08000000-0x00000000/02*1Kg", 2, 0x08000000, 2048, 7},
      {"@Tail /0x100/01*4K", 1, 0x100, 4096, 0},  // the string ends after the unit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<SimSectorLayout> sectors;
    ASSERT_TRUE(SimParseMemoryMap(c.text, &sectors));
    EXPECT_EQ(sectors.size(), c.sectors);
    EXPECT_EQ(sectors.front().address, c.first);
    EXPECT_EQ(SimMemoryMapSize(sectors), c.size);
    EXPECT_EQ(sectors.back().access, c.lastAccess);
  }
}

TEST(SimMemoryMap, LargeMemoryCostsStorageOnlyWhereItHoldsData) {
  std::vector<SimSectorLayout> sectors;
  ASSERT_TRUE(SimParseMemoryMap("@SPI Flash /0x90000000/131072*4Kg", &sectors));
  CSimMemory memory(std::move(sectors), 0x5A);
  EXPECT_EQ(memory.Size(), 512u << 20);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(memory.Peek(0x9FFFFFFE, 2, &bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x5A, 0x5A}));
  uint32_t erased = 0;
  ASSERT_EQ(memory.EraseSector(0x9FFFF000, &erased), SimMemoryResult::kOk);
  const std::vector<uint8_t> data = {0x12, 0x34};
  ASSERT_EQ(memory.Program(0x9FFFFFFE, data.data(), data.size(), {}), SimMemoryResult::kOk);
  uint8_t out[4] = {};
  size_t got = 0;
  ASSERT_EQ(memory.Read(0x9FFFFFFC, 4, out, &got), SimMemoryResult::kOk);
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0xFF, 0xFF, 0x12, 0x34}));
  ASSERT_EQ(memory.Read(0x9FFFEFFF, 2, out, &got), SimMemoryResult::kOk);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 2), (std::vector<uint8_t>{0x5A, 0xFF}));
}

TEST(SimMemoryMap, TextsThatDeclareNoUsableMemoryGiveNone) {
  const char* cases[] = {"Internal Flash",
                         "@Flash",
                         "@Flash /0x08000000/",
                         "@Flash /0x08000000/00*016Kg",
                         "@Flash /zz/01*1Kg",
                         "@Flash /0xFFFFFC00/02*1Kg",
                         "@Flash /0x0/01*1Kg,01*0Kg",
                         "@Flash /0x0/02*1Kg/0x400/01*1Kg"};
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    std::vector<SimSectorLayout> sectors;
    EXPECT_FALSE(SimParseMemoryMap(text, &sectors));
    EXPECT_TRUE(sectors.empty());
  }
}

class SimMemoryTest : public ::testing::Test {
 protected:
  // Readable+writable, read-only, everything: 16 bytes each.
  CSimMemory memory{{{0x100, 16, SIM_ACCESS_READ | SIM_ACCESS_WRITE},
                     {0x110, 16, SIM_ACCESS_READ},
                     {0x120, 16, SIM_ACCESS_READ | SIM_ACCESS_ERASE | SIM_ACCESS_WRITE}},
                    0x5A};
};

TEST_F(SimMemoryTest, ProgrammingOnlyClearsBits) {
  uint32_t erased = 0;
  ASSERT_EQ(memory.EraseSector(0x12F, &erased), SimMemoryResult::kOk);
  EXPECT_EQ(erased, 16u);
  const uint8_t data[] = {0x12, 0x34};
  EXPECT_EQ(memory.Program(0x120, data, 2, {}), SimMemoryResult::kOk);
  const uint8_t more[] = {0x13};
  EXPECT_EQ(memory.Program(0x120, more, 1, {}), SimMemoryResult::kVerify);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(memory.Peek(0x120, 3, &bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x12, 0x34, 0xFF}));
}

TEST_F(SimMemoryTest, AccessBitsGuardEachOperation) {
  uint32_t erased = 0;
  EXPECT_EQ(memory.EraseSector(0x100, &erased), SimMemoryResult::kAccess);
  EXPECT_EQ(memory.EraseSector(0x130, &erased), SimMemoryResult::kAddress);
  const uint8_t data[20] = {};
  // Runs from a writable sector into the read-only one: nothing is written.
  EXPECT_EQ(memory.Program(0x108, data, 20, {}), SimMemoryResult::kAccess);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(memory.Peek(0x108, 8, &bytes));
  EXPECT_EQ(bytes, std::vector<uint8_t>(8, 0x5A));
  EXPECT_EQ(memory.Program(0x12C, data, 8, {}), SimMemoryResult::kAddress);
  uint64_t all = 0;
  EXPECT_EQ(memory.EraseAll(&all), SimMemoryResult::kOk);
  EXPECT_EQ(all, 16u) << "only the erasable sector";
}

TEST_F(SimMemoryTest, ReadStopsAtTheEndAndRefusesUnreadableCells) {
  CSimMemory guarded({{0x0, 8, SIM_ACCESS_READ}, {0x8, 8, SIM_ACCESS_WRITE}}, 0xFF);
  uint8_t out[32];
  size_t got = 0;
  EXPECT_EQ(memory.Read(0x128, 32, out, &got), SimMemoryResult::kOk);
  EXPECT_EQ(got, 8u);
  EXPECT_EQ(memory.Read(0x200, 4, out, &got), SimMemoryResult::kAddress);
  EXPECT_EQ(guarded.Read(0x0, 8, out, &got), SimMemoryResult::kOk);
  EXPECT_EQ(guarded.Read(0x4, 8, out, &got), SimMemoryResult::kAccess);
}

TEST_F(SimMemoryTest, ContentsRoundTripInMapOrder) {
  std::vector<uint8_t> bytes(48);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(memory.LoadContents(bytes));
  EXPECT_EQ(memory.Contents(), bytes);
  bytes.push_back(0);
  EXPECT_FALSE(memory.LoadContents(bytes));
}

}  // namespace
