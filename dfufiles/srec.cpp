#include "dfufiles/srec.h"

#include <vector>

#include "dfufiles/record_text.h"

namespace {

// Bytes of the address field by record type; 0 for a type that does not exist.
constexpr size_t SREC_ADDRESS_BYTES[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

}  // namespace

StatusCode ParseSrec(std::string_view text, FirmwareImage* image, std::string* error) {
  *image = FirmwareImage{};
  CFirmwareBuilder builder("line");
  CLineReader lines(text);
  std::string_view line;
  std::vector<uint8_t> record;
  uint32_t dataRecords = 0;
  bool ended = false;
  bool any = false;
  auto fail = [&](const std::string& reason) {
    *error = LineError(lines.lineNumber(), reason);
    return FILE_ERR_BAD_CONTENT;
  };
  while (lines.Next(&line)) {
    if (line.empty()) continue;
    if (ended) return fail("text after the end record");
    if (line.size() < 2 || line[0] != 'S' || line[1] < '0' || line[1] > '9') {
      return fail("a record must begin with S and a type digit");
    }
    const int type = line[1] - '0';
    const size_t addressBytes = SREC_ADDRESS_BYTES[type];
    if (addressBytes == 0) return fail("unknown record type");
    if (!DecodeHexPairs(line.substr(2), &record)) return fail("not a pair of hex digits");
    if (record.empty() || record.size() != size_t{record[0]} + 1) {
      return fail("the count byte does not match the record");
    }
    if (record.size() < 1 + addressBytes + 1) return fail("record too short");
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < record.size(); ++i) sum = static_cast<uint8_t>(sum + record[i]);
    if (static_cast<uint8_t>(~sum) != record.back()) return fail("bad checksum");
    uint32_t address = 0;
    for (size_t i = 0; i < addressBytes; ++i) address = (address << 8) | record[1 + i];
    const uint8_t* data = &record[1 + addressBytes];
    const size_t length = record.size() - 2 - addressBytes;
    any = true;
    switch (type) {
      case 0:
        break;
      case 1:
      case 2:
      case 3:
        if (!builder.Add(address, data, length, lines.lineNumber(), error)) return fail(*error);
        ++dataRecords;
        break;
      case 5:
      case 6:
        if (length != 0) return fail("a count record carries no data");
        if (address != (dataRecords & (type == 5 ? 0xFFFFu : 0xFFFFFFu))) {
          return fail("the record count does not match the data records");
        }
        break;
      default:  // 7, 8, 9
        if (length != 0) return fail("an end record carries no data");
        image->hasEntry = true;
        image->entry = address;
        ended = true;
        break;
    }
  }
  if (!any) {
    *error = "no records";
    return FILE_ERR_BAD_CONTENT;
  }
  // Without its S7, S8 or S9 record the file may have been cut short: the
  // records that made it are no proof that nothing followed them.
  if (!ended) {
    *error = "no end record (S7, S8 or S9): the file may be cut short";
    return FILE_ERR_BAD_CONTENT;
  }
  if (!builder.Take(&image->data, error)) return FILE_ERR_BAD_CONTENT;
  return RESULT_OK;
}
