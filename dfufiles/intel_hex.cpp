#include "dfufiles/intel_hex.h"

#include <cstdio>

#include "dfufiles/record_text.h"

namespace {

constexpr uint8_t HEX_DATA = 0x00;
constexpr uint8_t HEX_END = 0x01;
constexpr uint8_t HEX_SEGMENT_BASE = 0x02;
constexpr uint8_t HEX_SEGMENT_START = 0x03;
constexpr uint8_t HEX_LINEAR_BASE = 0x04;
constexpr uint8_t HEX_LINEAR_START = 0x05;
// Length, two address bytes, type and checksum around the data.
constexpr size_t HEX_RECORD_OVERHEAD = 5;
constexpr size_t HEX_BYTES_PER_RECORD = 16;
constexpr uint32_t HEX_SEGMENT_SIZE = 0x10000;

uint32_t BigEndian(const uint8_t* bytes, size_t count) {
  uint32_t value = 0;
  for (size_t i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace

StatusCode ParseIntelHex(std::string_view text, FirmwareImage* image, std::string* error) {
  *image = FirmwareImage{};
  CFirmwareBuilder builder("line");
  CLineReader lines(text);
  std::string_view line;
  std::vector<uint8_t> record;
  uint32_t base = 0;
  bool segmented = false;  // the base came from a 02 record
  bool ended = false;
  auto fail = [&](const std::string& reason) {
    *error = LineError(lines.lineNumber(), reason);
    return FILE_ERR_BAD_CONTENT;
  };
  while (lines.Next(&line)) {
    if (line.empty()) continue;
    if (ended) return fail("text after the end record");
    if (line[0] != ':') return fail("a record must begin with ':'");
    if (!DecodeHexPairs(line.substr(1), &record)) return fail("not a pair of hex digits");
    if (record.size() < HEX_RECORD_OVERHEAD) return fail("record too short");
    const size_t length = record[0];
    if (record.size() != length + HEX_RECORD_OVERHEAD) {
      return fail("the length byte does not match the record");
    }
    uint8_t sum = 0;
    for (uint8_t byte : record) sum = static_cast<uint8_t>(sum + byte);
    if (sum != 0) return fail("bad checksum");
    const uint32_t offset = BigEndian(&record[1], 2);
    const uint8_t type = record[3];
    const uint8_t* data = &record[4];
    switch (type) {
      case HEX_DATA:
        if (segmented && offset + length > HEX_SEGMENT_SIZE) {
          // The offset wraps inside the segment.
          const size_t first = HEX_SEGMENT_SIZE - offset;
          if (!builder.Add(uint64_t{base} + offset, data, first, lines.lineNumber(), error) ||
              !builder.Add(base, data + first, length - first, lines.lineNumber(), error)) {
            return fail(*error);
          }
        } else if (!builder.Add(uint64_t{base} + offset, data, length, lines.lineNumber(),
                                error)) {
          return fail(*error);
        }
        break;
      case HEX_END:
        if (length != 0) return fail("the end record carries data");
        ended = true;
        break;
      case HEX_SEGMENT_BASE:
      case HEX_LINEAR_BASE:
        if (length != 2) return fail("an address record carries two bytes");
        segmented = type == HEX_SEGMENT_BASE;
        base = segmented ? BigEndian(data, 2) << 4 : BigEndian(data, 2) << 16;
        break;
      case HEX_SEGMENT_START:
      case HEX_LINEAR_START:
        if (length != 4) return fail("a start address record carries four bytes");
        image->hasEntry = true;
        image->entry = type == HEX_LINEAR_START
                           ? BigEndian(data, 4)
                           : (BigEndian(data, 2) << 4) + BigEndian(data + 2, 2);
        break;
      default:
        return fail("unknown record type");
    }
  }
  if (!ended) {
    *error = "no end record";
    return FILE_ERR_BAD_CONTENT;
  }
  if (!builder.Take(&image->data, error)) return FILE_ERR_BAD_CONTENT;
  return RESULT_OK;
}

namespace {

void AppendRecord(std::string* out, uint8_t type, uint16_t offset, const uint8_t* data,
                  size_t length) {
  char text[16];
  uint8_t sum = static_cast<uint8_t>(length + (offset >> 8) + offset + type);
  std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(length),
                static_cast<unsigned>(offset), static_cast<unsigned>(type));
  *out += text;
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(data[i]));
    *out += text;
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  std::snprintf(text, sizeof text, "%02X\n", static_cast<unsigned>(static_cast<uint8_t>(-sum)));
  *out += text;
}

}  // namespace

std::string CIntelHexText::Add(std::span<const ImageElement> elements) {
  std::string out;
  for (const ImageElement& element : elements) {
    size_t done = 0;
    while (done < element.size) {
      const uint32_t address = element.address + static_cast<uint32_t>(done);
      if (!haveBase_ || (address >> 16) != upper_) {
        upper_ = address >> 16;
        const uint8_t base[2] = {static_cast<uint8_t>(upper_ >> 8), static_cast<uint8_t>(upper_)};
        AppendRecord(&out, HEX_LINEAR_BASE, 0, base, 2);
        haveBase_ = true;
      }
      // A record never crosses a 64 KiB boundary.
      size_t length = element.size - done;
      if (length > HEX_BYTES_PER_RECORD) length = HEX_BYTES_PER_RECORD;
      const uint32_t room = HEX_SEGMENT_SIZE - (address & 0xFFFF);
      if (length > room) length = room;
      AppendRecord(&out, HEX_DATA, static_cast<uint16_t>(address), element.data + done, length);
      done += length;
    }
  }
  return out;
}

std::string CIntelHexText::End() {
  std::string out;
  AppendRecord(&out, HEX_END, 0, nullptr, 0);
  return out;
}

std::string FormatIntelHex(std::span<const ImageElement> elements) {
  CIntelHexText text;
  return text.Add(elements) + text.End();
}
