#include "sim/profile.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>

#include "platform/files.h"
#include "protocol/dfu.h"
#include "sim/sim_memory.h"

const char SIM_DEFAULT_PROFILE_TEXT[] =
    "description = Virtual DFU Device\n"
    "vendor = 0x0483\n"
    "product = 0xDF11\n"
    "device = 0x2200\n"
    "dfu-version = 0x011A\n"
    "attributes = 0x0B\n"
    "detach-timeout = 255\n"
    "transfer-size = 2048\n"
    "timing = fast\n"
    "alt = @Internal Flash  /0x08000000/04*016Kg,01*064Kg,03*128Kg\n"
    "alt = @Option Bytes  /0x1FFFC000/01*016 e\n"
    "alt = @OTP Memory /0x1FFF7800/01*512 e,01*016 e\n"
    "alt = @Device Feature/0xFFFF0000/01*004 e\n";

namespace {

// The first memory of a virtual device is held whole in the process; a map
// for it that declares more than this is refused rather than allocated.
constexpr uint64_t SIM_MAX_MEMORY_BYTES = 64ull << 20;

std::string_view Trim(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size() && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  size_t end = text.size();
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  return text.substr(begin, end - begin);
}

std::string LineError(const std::string& sourceName, size_t line, const std::string& what) {
  return SimJoin(
      {"virtual device profile '", sourceName, "', line ", std::to_string(line), ": ", what});
}

}  // namespace

std::string SimJoin(std::initializer_list<std::string_view> pieces) {
  std::string joined;
  for (std::string_view piece : pieces) joined.append(piece);
  return joined;
}

bool SimParseNumber(std::string_view text, uint64_t maximum, uint64_t* value) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  uint64_t result = 0;
  for (char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    if (result > (maximum - digit) / base) return false;
    result = result * base + digit;
  }
  *value = result;
  return true;
}

std::u16string SimUtf8ToUtf16(std::string_view text) {
  std::u16string units;
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 0;
    uint32_t code = length == 1   ? lead
                    : length == 2 ? (lead & 0x1Fu)
                    : length == 3 ? (lead & 0x0Fu)
                                  : (lead & 0x07u);
    bool valid = length != 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3Fu);
    }
    if (valid) {
      // Overlong forms, surrogates and values beyond U+10FFFF are not text.
      static const uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
      valid = code >= kMinimum[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    }
    if (!valid) {
      units.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return units;
}

namespace {

// Applies the lines of `text` to *result; `alt` lines, when there is at least
// one, replace its alternate settings.
bool ParseInto(std::string_view text, const std::string& sourceName, SimProfile* profile,
               std::string* error) {
  SimProfile result = *profile;
  std::vector<SimAlternate> alternates;
  bool sawAlternate = false;
  std::set<std::string, std::less<>> seen;
  size_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == '#') continue;

    size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      *error = LineError(sourceName, lineNumber, "expected 'key = value'");
      return false;
    }
    std::string_view key = Trim(line.substr(0, equals));
    // The value is everything after "= ": trailing spaces belong to it, since
    // memory names may end in spaces.
    std::string_view value = line.substr(equals + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    auto fail = [&](const std::string& what) {
      *error = LineError(sourceName, lineNumber, what);
      return false;
    };
    if (key.empty()) return fail("expected 'key = value'");
    if (key != "alt" && !seen.insert(std::string(key)).second) {
      return fail(SimJoin({"'", key, "' is given twice"}));
    }

    auto number = [&](uint64_t maximum, auto* field) {
      uint64_t parsed;
      if (!SimParseNumber(Trim(value), maximum, &parsed)) {
        return fail(SimJoin({"'", key, "' needs a number from 0 to ", std::to_string(maximum),
                             ", not '", value, "'"}));
      }
      *field = static_cast<std::remove_pointer_t<decltype(field)>>(parsed);
      return true;
    };

    auto yesNo = [&](bool* field) {
      std::string_view word = Trim(value);
      if (word != "yes" && word != "no") return fail(SimJoin({"'", key, "' is 'yes' or 'no', not '", value, "'"}));
      *field = word == "yes";
      return true;
    };

    if (key == "description") {
      result.hasDescription = true;
      result.description = std::string(value);
    } else if (key == "vendor") {
      if (!number(0xFFFF, &result.vendor)) return false;
    } else if (key == "product") {
      if (!number(0xFFFF, &result.product)) return false;
    } else if (key == "device") {
      if (!number(0xFFFF, &result.device)) return false;
    } else if (key == "dfu-version") {
      if (!number(0xFFFF, &result.dfuVersion)) return false;
    } else if (key == "attributes") {
      if (!number(0xFF, &result.attributes)) return false;
    } else if (key == "detach-timeout") {
      if (!number(0xFFFF, &result.detachTimeout)) return false;
    } else if (key == "transfer-size") {
      if (!number(0xFFFF, &result.transferSize)) return false;
    } else if (key == "timing") {
      std::string_view word = Trim(value);
      if (word == "fast") {
        result.timing = SimTiming::kFast;
      } else if (word == "real") {
        result.timing = SimTiming::kReal;
      } else {
        return fail(SimJoin({"'timing' is 'fast' or 'real', not '", value, "'"}));
      }
    } else if (key == "mode") {
      std::string_view word = Trim(value);
      if (word == "application") {
        result.mode = SimMode::kApplication;
      } else if (word == "dfu") {
        result.mode = SimMode::kDfu;
      } else {
        return fail(SimJoin({"'mode' is 'application' or 'dfu', not '", value, "'"}));
      }
    } else if (key == "serial") {
      // A serial string is a string descriptor too.
      if (SimUtf8ToUtf16(value).size() > SIM_MAX_STRING_UNITS) {
        return fail(SimJoin({"a serial string holds at most ", std::to_string(SIM_MAX_STRING_UNITS),
                             " characters"}));
      }
      result.serialAuto = Trim(value) == "auto";
      result.serial = result.serialAuto ? std::string() : std::string(value);
    } else if (key == "poll-timeout") {
      if (!number(SIM_MAX_POLL_TIMEOUT_MS, &result.pollTimeoutMs)) return false;
      result.hasPollTimeout = true;
    } else if (key == "status-hold") {
      if (!yesNo(&result.statusHold)) return false;
    } else if (key == "erase-us-per-kib") {
      if (!number(0xFFFFFFFF, &result.eraseUsPerKib)) return false;
    } else if (key == "program-us-per-kib") {
      if (!number(0xFFFFFFFF, &result.programUsPerKib)) return false;
    } else if (key == "mass-erase-ms") {
      if (!number(0xFFFFFFFF, &result.massEraseMs)) return false;
      result.hasMassEraseMs = true;
    } else if (key == "mass-erase") {
      std::string_view word = Trim(value);
      if (word != "all" && word != "nothing") {
        return fail(SimJoin({"'mass-erase' is 'all' or 'nothing', not '", value, "'"}));
      }
      result.massEraseIgnored = word == "nothing";
    } else if (key == "leave") {
      std::string_view word = Trim(value);
      if (word == "reset") {
        result.leave = SimLeave::kReset;
      } else if (word == "manifest") {
        result.leave = SimLeave::kManifest;
      } else if (word == "wait-reset") {
        result.leave = SimLeave::kWaitReset;
      } else {
        return fail(SimJoin({"'leave' is 'reset', 'manifest' or 'wait-reset', not '", value, "'"}));
      }
    } else if (key == "arrive-after") {
      if (!number(0xFFFFFFFF, &result.arriveAfterMs)) return false;
    } else if (key == "after-leave") {
      std::string_view word = Trim(value);
      if (word == "gone") {
        result.afterLeave = SimAfterLeave::kGone;
      } else if (word == "dfu") {
        result.afterLeave = SimAfterLeave::kDfu;
      } else if (word == "application") {
        result.afterLeave = SimAfterLeave::kApplication;
      } else {
        return fail(SimJoin({"'after-leave' is 'gone', 'dfu' or 'application', not '", value, "'"}));
      }
    } else if (key == "after-leave-path") {
      std::string_view word = Trim(value);
      if (word != "new" && word != "same") {
        return fail(SimJoin({"'after-leave-path' is 'new' or 'same', not '", value, "'"}));
      }
      result.afterLeaveSamePath = word == "same";
    } else if (key == "protected") {
      if (!yesNo(&result.readoutProtected)) return false;
    } else if (key == "memory-size") {
      if (!number(SIM_MAX_MEMORY_BYTES, &result.memorySize)) return false;
      if (result.memorySize == 0) return fail("'memory-size' must not be 0");
    } else if (key == "upload-idle") {
      if (!yesNo(&result.uploadStaysIdle)) return false;
    } else if (key == "upload-in-dnload-idle") {
      if (!yesNo(&result.uploadInDownloadIdle)) return false;
    } else if (key == "corrupt-64") {
      if (!yesNo(&result.corrupt64)) return false;
    } else if (key == "extra-interfaces") {
      if (!number(SIM_MAX_EXTRA_INTERFACES, &result.extraInterfaces)) return false;
    } else if (key == "alt") {
      sawAlternate = true;
      if (alternates.size() == SIM_MAX_ALTERNATES) {
        return fail(SimJoin({"more than ", std::to_string(SIM_MAX_ALTERNATES),
                             " alternate settings do not fit in a configuration descriptor"}));
      }
      if (SimUtf8ToUtf16(value).size() > SIM_MAX_STRING_UNITS) {
        return fail(SimJoin({"an interface string holds at most ",
                             std::to_string(SIM_MAX_STRING_UNITS), " characters"}));
      }
      // Alternate setting 0 starts with old firmware in every cell and may
      // be mirrored in a flash file; the others hold storage only where
      // they are written.
      std::vector<SimSectorLayout> sectors;
      if (alternates.empty() && SimParseMemoryMap(value, &sectors) &&
          SimMemoryMapSize(sectors) > SIM_MAX_MEMORY_BYTES) {
        return fail(SimJoin({"the memory map declares more than ",
                             std::to_string(SIM_MAX_MEMORY_BYTES >> 20), " MiB"}));
      }
      SimAlternate alternate;
      alternate.hasString = !value.empty();
      alternate.text = std::string(value);
      alternates.push_back(std::move(alternate));
    } else {
      return fail(SimJoin({"unknown key '", key, "'"}));
    }
  }
  if (sawAlternate) result.alternates = std::move(alternates);
  *profile = std::move(result);
  return true;
}

}  // namespace

bool SimIsPlainDfu(const SimProfile& profile) {
  if (profile.dfuVersion >= DFU_VERSION_DFUSE) return false;
  std::vector<SimSectorLayout> sectors;
  return std::none_of(profile.alternates.begin(), profile.alternates.end(), [&sectors](const SimAlternate& a) {
    return a.hasString && SimParseMemoryMap(a.text, &sectors);
  });
}

SimProfile SimDefaultProfile() {
  SimProfile profile;
  std::string error;
  // The default text is part of the program; it always parses.
  ParseInto(SIM_DEFAULT_PROFILE_TEXT, "default", &profile, &error);
  return profile;
}

bool SimParseProfile(std::string_view text, const std::string& sourceName, SimProfile* profile,
                     std::string* error) {
  // Keys left out keep the default profile's values; the description does
  // not, since a device without one is named differently.
  SimProfile result = SimDefaultProfile();
  result.hasDescription = false;
  result.description.clear();
  if (!ParseInto(text, sourceName, &result, error)) return false;
  *profile = std::move(result);
  return true;
}

bool SimLoadProfile(const std::string& path, SimProfile* profile, std::string* error) {
  // A profile that is no regular file (a FIFO without a writer, a device)
  // is refused at once rather than waited for or read without end.
  PlatformFile file;
  const uint32_t openError = file.Open(path, PlatformFile::Mode::kReadShared);
  if (openError != 0) {
    *error = "virtual device profile '" + path + "' cannot be read (error " +
             std::to_string(openError) + ")";
    return false;
  }
  std::string text;
  char buffer[4096];
  size_t got = 0;
  bool readError = false;
  while (text.size() <= (1u << 20)) {
    if (!file.Read(buffer, sizeof buffer, &got)) {
      readError = true;
      break;
    }
    text.append(buffer, got);
    if (got < sizeof buffer) break;
  }
  if (readError) {
    *error = "virtual device profile '" + path + "' cannot be read";
    return false;
  }
  if (text.size() > (1u << 20)) {
    *error = "virtual device profile '" + path + "' is larger than 1 MiB";
    return false;
  }
  return SimParseProfile(text, path, profile, error);
}
