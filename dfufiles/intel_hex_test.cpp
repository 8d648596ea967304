#include "dfufiles/intel_hex.h"

#include <gtest/gtest.h>

#include "dfufiles/firmware_test_support.h"

namespace {

const std::string END = HexRecord(0x01, 0, {});

class IntelHexValid : public testing::TestWithParam<RecordValidCase> {};

TEST_P(IntelHexValid, GivesTheDataAtItsAddresses) { ExpectParsed(ParseIntelHex, GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Cases, IntelHexValid,
    testing::Values(
        RecordValidCase{"AdjacentRecordsJoin",
                        HexRecord(0, 0x0000, {1, 2}) + HexRecord(0, 0x0002, {3}) + END,
                        {{0x0000, {1, 2, 3}}},
                        false,
                        0},
        // Records in any order: a linker may write sections top down.
        RecordValidCase{"DescendingRecordsJoin",
                        HexRecord(0, 0x0004, {5}) + HexRecord(0, 0x0002, {3, 4}) +
                            HexRecord(0, 0x0000, {1, 2}) + END,
                        {{0x0000, {1, 2, 3, 4, 5}}},
                        false,
                        0},
        RecordValidCase{"ExtendedLinearAddress",
                        HexRecord(4, 0, {0x08, 0x00}) + HexRecord(0, 0x0010, {0xAA}) +
                            HexRecord(4, 0, {0x1F, 0xFF}) + HexRecord(0, 0xC000, {0xBB}) + END,
                        {{0x08000010, {0xAA}}, {0x1FFFC000, {0xBB}}},
                        false,
                        0},
        // A linear record that runs over a 64 KiB boundary goes on linearly.
        RecordValidCase{"LinearRecordCrossesBoundary",
                        HexRecord(4, 0, {0x08, 0x00}) + HexRecord(0, 0xFFFF, {1, 2}) + END,
                        {{0x0800FFFF, {1, 2}}},
                        false,
                        0},
        // A segmented one wraps inside its segment.
        RecordValidCase{"SegmentRecordWrapsInItsSegment",
                        HexRecord(2, 0, {0x10, 0x00}) + HexRecord(0, 0xFFFF, {1, 2}) + END,
                        {{0x10000, {2}}, {0x1FFFF, {1}}},
                        false,
                        0},
        RecordValidCase{"StartLinearAddress",
                        HexRecord(0, 0, {7}) + HexRecord(5, 0, {0x08, 0x00, 0x01, 0x01}) + END,
                        {{0, {7}}},
                        true,
                        0x08000101},
        RecordValidCase{"StartSegmentAddress",
                        HexRecord(3, 0, {0x12, 0x34, 0x00, 0x10}) + END,
                        {},
                        true,
                        0x12350},
        RecordValidCase{"CrLfLowerCaseAndBlankLines",
                        "\r\n:0100000041be\r\n\r\n:00000001FF\r\n\r\n",
                        {{0, {0x41}}},
                        false,
                        0}),
    [](const auto& info) { return std::string(info.param.name); });

class IntelHexInvalid : public testing::TestWithParam<RecordInvalidCase> {};

TEST_P(IntelHexInvalid, IsRefusedWithItsReason) { ExpectRefused(ParseIntelHex, GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Cases, IntelHexInvalid,
    testing::Values(
        RecordInvalidCase{"BadChecksum", ":0100000041BF\n" + END, "line 1: bad checksum"},
        RecordInvalidCase{"OverlappingRecords",
                          HexRecord(0, 0x10, {1, 2, 3}) + HexRecord(0, 0x12, {4}) + END,
                          "line 2: data overlaps earlier data at 0x00000012"},
        RecordInvalidCase{"SameAddressTwice",
                          HexRecord(0, 0x10, {1}) + HexRecord(0, 0x10, {1}) + END, "overlaps"},
        RecordInvalidCase{"LengthDisagrees", ":0200000041BD\n" + END, "length byte"},
        RecordInvalidCase{"NoEndRecord", HexRecord(0, 0, {1}), "no end record"},
        RecordInvalidCase{"TextAfterEnd", END + HexRecord(0, 0, {1}), "after the end record"},
        RecordInvalidCase{"UnknownType", HexRecord(6, 0, {}) + END, "unknown record type"},
        RecordInvalidCase{"OddDigits", ":0100000041B\n" + END, "hex digits"},
        RecordInvalidCase{"NoColon", "0100000041BE\n" + END, "must begin with ':'"},
        RecordInvalidCase{"ShortAddressRecord", HexRecord(4, 0, {8}) + END, "two bytes"},
        RecordInvalidCase{"EmptyText", "", "no end record"},
        // 0xFFFF0000 + 0xFFFF + 2 bytes runs past 4 GiB.
        RecordInvalidCase{"BeyondAddressSpace",
                          HexRecord(4, 0, {0xFF, 0xFF}) + HexRecord(0, 0xFFFF, {1, 2}) + END,
                          "beyond the 32-bit address space"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IntelHexFormat, ReadsBackWhatItWrote) {
  RunList runs = {{0x0800FFF0, {}}, {0x1FFFC000, {0x5A, 0xA5}}};
  for (int i = 0; i < 40; ++i) runs[0].second.push_back(static_cast<uint8_t>(i));
  FirmwareImage image;
  std::string error;
  ASSERT_EQ(ParseIntelHex(FormatIntelHex(ImageOf(0, runs).Records()), &image, &error), RESULT_OK)
      << error;
  EXPECT_EQ(Runs(image.data), runs);
}

}  // namespace
