#include "dfufiles/srec.h"

#include <gtest/gtest.h>

#include "dfufiles/firmware_test_support.h"

namespace {

class SrecValid : public testing::TestWithParam<RecordValidCase> {};

TEST_P(SrecValid, GivesTheDataAtItsAddresses) { ExpectParsed(ParseSrec, GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Cases, SrecValid,
    testing::Values(
        RecordValidCase{"EachAddressWidth",
                        SrecRecord(0, 0, 2, {'h', 'd', 'r'}) + SrecRecord(1, 0x1234, 2, {1}) +
                            SrecRecord(2, 0x123456, 3, {2}) + SrecRecord(3, 0x08000000, 4, {3, 4}) +
                            SrecRecord(7, 0x08000101, 4, {}),
                        {{0x1234, {1}}, {0x123456, {2}}, {0x08000000, {3, 4}}},
                        true,
                        0x08000101},
        RecordValidCase{"AdjacentRecordsJoinAndCountMatches",
                        SrecRecord(3, 0x100, 4, {1, 2}) + SrecRecord(3, 0x102, 4, {3}) +
                            SrecRecord(5, 2, 2, {}) + SrecRecord(9, 0x100, 2, {}),
                        {{0x100, {1, 2, 3}}},
                        true,
                        0x100}),
    [](const auto& info) { return std::string(info.param.name); });

class SrecInvalid : public testing::TestWithParam<RecordInvalidCase> {};

TEST_P(SrecInvalid, IsRefusedWithItsReason) { ExpectRefused(ParseSrec, GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Cases, SrecInvalid,
    testing::Values(
        RecordInvalidCase{"BadChecksum", "S1040010090F\n", "line 1: bad checksum"},
        RecordInvalidCase{"Overlapping",
                          SrecRecord(1, 0x10, 2, {1, 2}) + SrecRecord(1, 0x11, 2, {3}) +
                              SrecRecord(9, 0, 2, {}),
                          "line 2: data overlaps"},
        RecordInvalidCase{"CountByteDisagrees", "S10500100952\n", "count byte"},
        RecordInvalidCase{"ReservedType", SrecRecord(4, 0, 2, {}), "unknown record type"},
        RecordInvalidCase{"RecordCountDisagrees",
                          SrecRecord(1, 0, 2, {1}) + SrecRecord(5, 2, 2, {}), "record count"},
        // Cut short after a data record, or after the count record.
        RecordInvalidCase{"NoEndRecord", SrecRecord(1, 0x10, 2, {9}), "no end record"},
        RecordInvalidCase{"NoEndRecordAfterTheCount",
                          SrecRecord(1, 0x10, 2, {9}) + SrecRecord(5, 1, 2, {}), "no end record"},
        RecordInvalidCase{"TextAfterEnd", SrecRecord(9, 0, 2, {}) + SrecRecord(1, 0, 2, {1}),
                          "after the end"},
        RecordInvalidCase{"NotARecord", "hello\n", "must begin with S"},
        RecordInvalidCase{"TooShortForItsAddress", "S3030000FC\n", "too short"},
        RecordInvalidCase{"Empty", "\n\n", "no records"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
