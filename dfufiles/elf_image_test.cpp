#include "dfufiles/elf_image.h"

#include <gtest/gtest.h>

#include "dfufiles/firmware_test_support.h"

namespace {

using RunList = std::vector<std::pair<uint32_t, std::vector<uint8_t>>>;

struct Segment {
  uint32_t type;  // 1: PT_LOAD
  uint64_t paddr;
  std::vector<uint8_t> data;  // the file bytes; filesz is their count
};

// A minimal ELF file: header, program header table, then each segment's
// bytes, in the class and byte order asked for.
std::vector<uint8_t> MakeElf(bool is64, bool big, uint64_t entry,
                             const std::vector<Segment>& segments) {
  const size_t headerSize = is64 ? 64 : 52;
  const size_t phdrSize = is64 ? 56 : 32;
  const size_t word = is64 ? 8 : 4;
  std::vector<uint8_t> out(headerSize + phdrSize * segments.size(), 0);
  auto put = [&](size_t at, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) {
      out[at + (big ? width - 1 - i : i)] = static_cast<uint8_t>(value >> (8 * i));
    }
  };
  out[0] = 0x7F, out[1] = 'E', out[2] = 'L', out[3] = 'F';
  out[4] = is64 ? 2 : 1;
  out[5] = big ? 2 : 1;
  out[6] = 1;
  put(16, 2, 2);  // ET_EXEC
  put(24, entry, word);
  put(is64 ? 32 : 28, headerSize, word);
  put(is64 ? 54 : 42, phdrSize, 2);
  put(is64 ? 56 : 44, segments.size(), 2);
  for (size_t i = 0; i < segments.size(); ++i) {
    const size_t at = headerSize + i * phdrSize;
    put(at, segments[i].type, 4);
    put(at + (is64 ? 8 : 4), out.size(), word);                      // p_offset
    put(at + (is64 ? 16 : 8), segments[i].paddr + 0x1000, word);     // p_vaddr, ignored
    put(at + (is64 ? 24 : 12), segments[i].paddr, word);             // p_paddr
    put(at + (is64 ? 32 : 16), segments[i].data.size(), word);       // p_filesz
    put(at + (is64 ? 40 : 20), segments[i].data.size() + 64, word);  // p_memsz
    out.insert(out.end(), segments[i].data.begin(), segments[i].data.end());
  }
  return out;
}

struct ValidCase {
  const char* name;
  std::vector<uint8_t> file;
  RunList runs;
  uint32_t entry;
};

class ElfValid : public testing::TestWithParam<ValidCase> {};

TEST_P(ElfValid, GivesLoadableFileBytesAtPhysicalAddresses) {
  FirmwareImage image;
  std::string error;
  const auto& file = GetParam().file;
  ASSERT_EQ(ParseElf(file.data(), file.size(), &image, &error), RESULT_OK) << error;
  EXPECT_EQ(Runs(image.data), GetParam().runs);
  EXPECT_TRUE(image.hasEntry);
  EXPECT_EQ(image.entry, GetParam().entry);
}

const std::vector<Segment> TWO_SEGMENTS = {{1, 0x08000000, {1, 2, 3}},
                                           {1, 0x08000003, {4}},
                                           {6, 0x0, {9, 9}},      // PT_PHDR: not loaded
                                           {1, 0x20000000, {}}};  // .bss: no file bytes

INSTANTIATE_TEST_SUITE_P(Cases, ElfValid,
                         testing::Values(ValidCase{"Elf32Little",
                                                   MakeElf(false, false, 0x08000101, TWO_SEGMENTS),
                                                   {{0x08000000, {1, 2, 3, 4}}},
                                                   0x08000101},
                                         ValidCase{"Elf32Big",
                                                   MakeElf(false, true, 0x08000101, TWO_SEGMENTS),
                                                   {{0x08000000, {1, 2, 3, 4}}},
                                                   0x08000101},
                                         ValidCase{"Elf64Little",
                                                   MakeElf(true, false, 0x08000101, TWO_SEGMENTS),
                                                   {{0x08000000, {1, 2, 3, 4}}},
                                                   0x08000101},
                                         ValidCase{
                                             "Elf64Big",
                                             MakeElf(true, true, 0x400, {{1, 0x1FFFC000, {0xAA}}}),
                                             {{0x1FFFC000, {0xAA}}},
                                             0x400}),
                         [](const auto& info) { return std::string(info.param.name); });

struct InvalidCase {
  const char* name;
  std::vector<uint8_t> file;
  const char* reason;
};

std::vector<uint8_t> Truncated(std::vector<uint8_t> file, size_t size) {
  file.resize(size);
  return file;
}

std::vector<uint8_t> Patched(std::vector<uint8_t> file, size_t at, uint8_t value) {
  file[at] = value;
  return file;
}

class ElfInvalid : public testing::TestWithParam<InvalidCase> {};

TEST_P(ElfInvalid, IsRefusedWithItsReason) {
  FirmwareImage image;
  std::string error;
  const auto& file = GetParam().file;
  EXPECT_EQ(ParseElf(file.data(), file.size(), &image, &error), FILE_ERR_BAD_CONTENT);
  EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

const std::vector<uint8_t> ONE = MakeElf(false, false, 0, {{1, 0x100, {1, 2, 3, 4}}});

INSTANTIATE_TEST_SUITE_P(
    Cases, ElfInvalid,
    testing::Values(
        InvalidCase{
            "NotElf", {'E', 'L', 'F', 0x7F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "not an ELF file"},
        InvalidCase{"UnknownClass", Patched(ONE, 4, 3), "class"},
        InvalidCase{"TruncatedHeader", Truncated(ONE, 40), "truncated ELF header"},
        InvalidCase{"TableOutsideFile", Truncated(ONE, 60), "program header table outside"},
        InvalidCase{"SegmentOutsideFile", Truncated(ONE, ONE.size() - 1), "segment outside"},
        InvalidCase{"Overlapping", MakeElf(false, false, 0, {{1, 0x100, {1, 2}}, {1, 0x101, {3}}}),
                    "overlaps"},
        InvalidCase{"Elf64AddressAbove4GiB", MakeElf(true, false, 0, {{1, 0x100000000ull, {1}}}),
                    "32-bit address space"},
        InvalidCase{"OnlyEmptySegments", MakeElf(true, false, 0, {{1, 0x100, {}}}),
                    "no loadable segment"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
