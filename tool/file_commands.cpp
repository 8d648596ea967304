// info and convert: the commands that work on files only.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <span>

#include "dfufiles/dfu_file.h"
#include "dfufiles/firmware_file.h"
#include "dfufiles/intel_hex.h"
#include "platform/files.h"
#include "tool/exit_code.h"
#include "tool/input_file.h"
#include "tool/json_line.h"
#include "tool/output_format.h"
#include "tool/tool_commands.h"
#include "tool/tool_text.h"

namespace {

std::string ElementsJson(std::span<const ImageElement> elements) {
  std::string json = "[";
  for (const ImageElement& element : elements) {
    if (json.size() > 1) json += ",";
    json += CJsonObject()
                .Text("address", HexText(element.address, 8))
                .Number("size", element.size)
                .Str();
  }
  return json + "]";
}

void PrintElements(std::span<const ImageElement> elements, const char* indent) {
  for (const ImageElement& element : elements) {
    std::printf("%s0x%08X  %zu bytes\n", indent, element.address, size_t{element.size});
  }
}

void SuffixJson(const DfuSuffix& suffix, CJsonObject* json) {
  json->Text("vid", HexText(suffix.vendorId, 4))
      .Text("pid", HexText(suffix.productId, 4))
      .Text("bcd", HexText(suffix.deviceVersion, 4))
      .Text("dfu_version", HexText(suffix.dfuVersion, 4))
      .Text("crc", HexText(suffix.storedCrc, 8))
      .Bool("crc_ok", suffix.CrcMatches());
}

void PrintSuffix(const DfuSuffix& suffix) {
  std::printf("suffix: vid 0x%04X pid 0x%04X bcd 0x%04X dfu 0x%04X\n", suffix.vendorId,
              suffix.productId, suffix.deviceVersion, suffix.dfuVersion);
  std::printf("checksum: 0x%08X %s\n", suffix.storedCrc,
              suffix.CrcMatches()
                  ? "(good)"
                  : ("(BAD, computed " + HexText(suffix.computedCrc, 8) + ")").c_str());
}

int InfoDfuSe(const DfuSeContent& content, CToolOutput* out) {
  const bool crcOk = content.suffix.CrcMatches();
  if (out->mode() == OutputMode::kJson) {
    std::string targets = "[";
    for (const CImage& target : content.targets) {
      if (targets.size() > 1) targets += ",";
      CJsonObject json;
      json.Number("alt", target.alternateSetting);
      if (target.isNamed != 0) json.Text("name", target.name);
      json.Raw("elements", ElementsJson(target.Records()));
      targets += json.Str();
    }
    targets += "]";
    CJsonObject json;
    json.Text("event", "info").Text("format", "dfuse");
    SuffixJson(content.suffix, &json);
    out->JsonLine(json.Raw("targets", targets).Str());
  } else {
    std::printf("format: DfuSe\n");
    PrintSuffix(content.suffix);
    std::printf("targets: %zu\n", content.targets.size());
    for (const CImage& target : content.targets) {
      const bool named = target.isNamed != 0;
      std::printf("  target alt %u%s%s%s: %zu element(s)\n", target.alternateSetting,
                  named ? " \"" : "", named ? target.name : "", named ? "\"" : "",
                  size_t{target.ElementCount()});
      PrintElements(target.Records(), "    ");
    }
    ToolFlushStdout();
  }
  if (!crcOk) return out->Result(TOOL_EXIT_BAD_INPUT, "the DfuSe checksum does not match");
  return out->Result(TOOL_EXIT_OK, "");
}

int InfoPlainDfu(const FirmwareFile& file, CToolOutput* out) {
  const DfuSuffix& suffix = file.suffix;
  const bool crcOk = suffix.CrcMatches();
  if (out->mode() == OutputMode::kJson) {
    CJsonObject json;
    json.Text("event", "info").Text("format", FirmwareFormatName(file.format));
    SuffixJson(suffix, &json);
    out->JsonLine(json.Number("bytes", file.raw.size()).Str());
  } else {
    std::printf("format: DFU (plain)\n");
    PrintSuffix(suffix);
    std::printf("data: %zu bytes\n", file.raw.size());
    ToolFlushStdout();
  }
  if (!crcOk) return out->Result(TOOL_EXIT_BAD_INPUT, "the DFU suffix checksum does not match");
  return out->Result(TOOL_EXIT_OK, "");
}

// `note`: what the reader could not make of the file, when anything.
int InfoImage(FirmwareFormat format, std::span<const ImageElement> elements,
              std::optional<uint32_t> entry, CToolOutput* out, const std::string& note = "") {
  uint64_t total = 0;
  for (const ImageElement& element : elements) total += element.size;
  if (out->mode() == OutputMode::kJson) {
    CJsonObject json;
    json.Text("event", "info").Text("format", FirmwareFormatName(format));
    if (!note.empty()) json.Text("note", note);
    if (entry) json.Text("entry", HexText(*entry, 8));
    json.Number("bytes", total).Raw("elements", ElementsJson(elements));
    out->JsonLine(json.Str());
  } else {
    std::printf("format: %s\n", FirmwareFormatName(format));
    if (!note.empty()) std::printf("note: %s\n", note.c_str());
    if (entry) std::printf("entry: 0x%08X\n", *entry);
    std::printf("data: %llu bytes in %zu run(s)\n", static_cast<unsigned long long>(total),
                elements.size());
    PrintElements(elements, "  ");
    ToolFlushStdout();
  }
  return out->Result(TOOL_EXIT_OK, "");
}

// Raw bytes carry no address: where they go is decided when they are
// flashed or converted, so none is shown.
int InfoRaw(const FirmwareFile& file, CToolOutput* out) {
  const std::string& note = file.unreadSuffix;
  if (out->mode() == OutputMode::kJson) {
    CJsonObject json;
    json.Text("event", "info").Text("format", FirmwareFormatName(FirmwareFormat::kRaw));
    if (!note.empty()) json.Text("note", note);
    json.Number("bytes", file.raw.size())
        .Raw("elements", "[" + CJsonObject().Number("size", file.raw.size()).Str() + "]");
    out->JsonLine(json.Str());
  } else {
    std::printf("format: %s\n", FirmwareFormatName(FirmwareFormat::kRaw));
    if (!note.empty()) std::printf("note: %s\n", note.c_str());
    std::printf("data: %zu bytes, no address of its own: flash puts it at --address, or at the "
                "start of the alternate setting's memory\n",
                file.raw.size());
    ToolFlushStdout();
  }
  return out->Result(TOOL_EXIT_OK, "");
}

// A DfuSe file's elements for an output that has no place for an alternate
// setting (plain DFU, HEX, raw): data for several settings is refused.
bool ElementsOfOneSetting(const DfuSeContent& content, std::vector<ImageElement>* elements,
                          std::string* message) {
  for (const CImage& target : content.targets) {
    if (target.ElementCount() == 0) continue;
    if (!elements->empty() && target.alternateSetting != content.targets.front().alternateSetting) {
      *message = "the DfuSe file holds data for several alternate settings";
      return false;
    }
    const std::vector<ImageElement> records = target.Records();
    elements->insert(elements->end(), records.begin(), records.end());
  }
  return true;
}

// The image of a plain DFU or raw file: the input's bytes from its lowest
// address to its highest, gaps filled with 0xFF as erased flash reads.
bool BuildPlainImage(const FirmwareFile& input, std::vector<uint8_t>* image, std::string* message) {
  std::vector<ImageElement> elements;
  switch (input.format) {
    case FirmwareFormat::kRaw:
    case FirmwareFormat::kPlainDfu:
      *image = input.raw;
      return true;
    case FirmwareFormat::kDfuSe:
      if (!ElementsOfOneSetting(input.dfuse, &elements, message)) return false;
      break;
    default:
      elements = input.image.data.Records();
      break;
  }
  if (elements.empty()) {
    *message = "the input holds no data";
    return false;
  }
  uint64_t low = UINT64_MAX;
  uint64_t high = 0;
  for (const ImageElement& element : elements) {
    low = std::min<uint64_t>(low, element.address);
    high = std::max<uint64_t>(high, element.address + uint64_t{element.size});
  }
  if (high - low > FIRMWARE_FILE_MAX_SIZE) {
    *message = "the data spans more than " + std::to_string(FIRMWARE_FILE_MAX_SIZE) + " bytes";
    return false;
  }
  image->assign(static_cast<size_t>(high - low), 0xFF);
  for (const ImageElement& element : elements) {
    std::copy(element.data, element.data + element.size,
              image->begin() + static_cast<std::ptrdiff_t>(element.address - low));
  }
  return true;
}

int ConvertToPlainDfu(const ToolOptions& options, const FirmwareFile& input, CToolOutput* out) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!BuildPlainImage(input, &bytes, &error)) return out->Result(TOOL_EXIT_BAD_INPUT, error);
  const size_t imageSize = bytes.size();
  // A suffix being replaced keeps the ids that the options do not set.
  DfuSuffix suffix = input.format == FirmwareFormat::kPlainDfu ? input.suffix : DfuSuffix{};
  suffix.vendorId = options.vendorId.value_or(suffix.vendorId);
  suffix.productId = options.productId.value_or(suffix.productId);
  suffix.deviceVersion = options.deviceVersion.value_or(suffix.deviceVersion);
  suffix.dfuVersion = DFU_SUFFIX_PLAIN_VERSION;
  AppendDfuSuffix(suffix, &bytes);
  if (WriteWholeFile(options.positional[1], bytes, &error) != RESULT_OK) {
    return out->Result(TOOL_EXIT_FAILED, error);
  }
  return out->Result(TOOL_EXIT_OK, "wrote " + options.positional[1] + ": plain DFU file, " +
                                       std::to_string(imageSize) + " bytes, vid " +
                                       HexText(suffix.vendorId, 4) + " pid " +
                                       HexText(suffix.productId, 4));
}

bool IsRaw(const FirmwareFile& input) {
  return input.format == FirmwareFormat::kRaw || input.format == FirmwareFormat::kPlainDfu;
}

// Raw input at --address, which it needs and nothing else takes.
bool PlaceRawInput(const ToolOptions& options, const FirmwareFile& input,
                   std::vector<ImageElement>* elements, int* exitCode, std::string* message) {
  if (!IsRaw(input)) {
    if (!options.address) return true;
    *exitCode = TOOL_EXIT_USAGE;
    *message = "--address places raw input only";
    return false;
  }
  if (!options.address) {
    *exitCode = TOOL_EXIT_USAGE;
    *message = "raw input needs --address";
    return false;
  }
  if (uint64_t{*options.address} + input.raw.size() > (uint64_t{1} << 32)) {
    *exitCode = TOOL_EXIT_BAD_INPUT;
    *message = "the data reaches beyond the 32-bit address space";
    return false;
  }
  elements->push_back(RecordOver(*options.address, input.raw));
  return true;
}

// An Intel HEX or raw file of the input's data.
int ConvertToImageFile(const ToolOptions& options, OutputFormat format, const FirmwareFile& input,
                       CToolOutput* out) {
  const std::string& path = options.positional[1];
  std::vector<uint8_t> bytes;
  std::string error;
  uint64_t dataBytes = 0;
  if (format == OutputFormat::kRaw) {
    if (options.address) {
      return out->Result(TOOL_EXIT_USAGE, "--address places data in a .dfu or .hex output");
    }
    if (!BuildPlainImage(input, &bytes, &error)) return out->Result(TOOL_EXIT_BAD_INPUT, error);
    dataBytes = bytes.size();
  } else {
    std::vector<ImageElement> elements;
    int exitCode = TOOL_EXIT_BAD_INPUT;
    if (!PlaceRawInput(options, input, &elements, &exitCode, &error)) {
      return out->Result(exitCode, error);
    }
    if (input.format == FirmwareFormat::kDfuSe) {
      if (!ElementsOfOneSetting(input.dfuse, &elements, &error)) {
        return out->Result(TOOL_EXIT_BAD_INPUT, error);
      }
    } else if (!IsRaw(input)) {
      elements = input.image.data.Records();
    }
    std::sort(elements.begin(), elements.end(),
              [](const ImageElement& a, const ImageElement& b) { return a.address < b.address; });
    for (const ImageElement& element : elements) dataBytes += element.size;
    const std::string text = FormatIntelHex(elements);
    bytes.assign(text.begin(), text.end());
  }
  if (WriteWholeFile(path, bytes, &error) != RESULT_OK) return out->Result(TOOL_EXIT_FAILED, error);
  return out->Result(TOOL_EXIT_OK, "wrote " + path + ": " +
                                       (format == OutputFormat::kRaw ? "raw bytes, " : "Intel HEX, ") +
                                       std::to_string(dataBytes) + " bytes");
}

// The input's data split into the targets of the DfuSe file.
bool BuildTargets(const ToolOptions& options, const FirmwareFile& input,
                  std::vector<CImage>* targets, int* exitCode, std::string* message) {
  std::vector<ImageElement> elements;
  if (!PlaceRawInput(options, input, &elements, exitCode, message)) return false;
  if (input.format == FirmwareFormat::kDfuSe) {
    for (const CImage& target : input.dfuse.targets) {
      const std::vector<ImageElement> records = target.Records();
      elements.insert(elements.end(), records.begin(), records.end());
    }
  } else if (!IsRaw(input)) {
    elements = input.image.data.Records();
  }
  if (options.targets.empty()) {
    CImage& target = targets->emplace_back(options.alternate.value_or(0), 0, nullptr);
    for (const ImageElement& element : elements) {
      target.SetElement(target.ElementCount(), 1, element);
    }
    return true;
  }
  // Each --target takes the bytes in its range; a byte in no range is an
  // error, as silently dropping firmware would be. Pieces of one target
  // that meet become one element.
  std::vector<std::vector<ImageElement>> pieces(options.targets.size());
  for (const ImageElement& element : elements) {
    uint64_t at = element.address;
    const uint64_t end = at + element.size;
    while (at < end) {
      size_t which = options.targets.size();
      for (size_t i = 0; i < options.targets.size(); ++i) {
        if (at >= options.targets[i].start && at < options.targets[i].end) {
          which = i;
          break;
        }
      }
      if (which == options.targets.size()) {
        *exitCode = TOOL_EXIT_BAD_INPUT;
        *message =
            "data at " + HexText(static_cast<uint32_t>(at), 8) + " lies in no --target range";
        return false;
      }
      const uint64_t stop = std::min(end, options.targets[which].end);
      pieces[which].push_back({static_cast<uint32_t>(at), static_cast<uint32_t>(stop - at),
                               element.data + (at - element.address)});
      at = stop;
    }
  }
  for (size_t i = 0; i < options.targets.size(); ++i) {
    targets->emplace_back(options.targets[i].alternate, 0, nullptr).AppendJoined(pieces[i]);
  }
  return true;
}

}  // namespace

int RunInfoCommand(const ToolOptions& options, CToolOutput* out) {
  FirmwareFile file;
  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadInputFile(options.positional[0], &file, &bytes, &error)) {
    return out->Result(TOOL_EXIT_BAD_INPUT, error);
  }
  switch (file.format) {
    case FirmwareFormat::kDfuSe:
      return InfoDfuSe(file.dfuse, out);
    case FirmwareFormat::kPlainDfu:
      return InfoPlainDfu(file, out);
    case FirmwareFormat::kRaw:
      return InfoRaw(file, out);
    default:
      return InfoImage(file.format, file.image.data.Records(),
                       file.image.hasEntry ? std::optional(file.image.entry) : std::nullopt, out);
  }
}

int RunConvertCommand(const ToolOptions& options, CToolOutput* out) {
  const std::string& inputPath = options.positional[0];
  const std::string& outputPath = options.positional[1];
  const OutputFormat format = OutputFormatOfName(outputPath);
  if (format == OutputFormat::kNotWritable) {
    return out->Result(TOOL_EXIT_USAGE, OutputNameRefusal(outputPath));
  }
  if (format == OutputFormat::kOther) {
    return out->Result(TOOL_EXIT_USAGE,
                       outputPath + ": name the output .dfu (a DfuSe file, or a plain DFU file "
                                    "with --plain), .hex (Intel HEX) or .bin (raw bytes)");
  }
  if (format != OutputFormat::kDfu &&
      (options.plain || !options.targets.empty() || options.alternate || options.vendorId ||
       options.productId || options.deviceVersion)) {
    return out->Result(TOOL_EXIT_USAGE,
                       "--plain, --target, --alt, --vid, --pid and --bcd shape a .dfu output");
  }
  // Writing the output would replace the input it is made from.
  if (PlatformSameFile(inputPath, outputPath)) {
    return out->Result(TOOL_EXIT_USAGE, "the output " + outputPath + " is the input file " +
                                            inputPath + "; name another output");
  }
  FirmwareFile input;
  int exitCode = TOOL_EXIT_OK;
  if (!LoadInputFirmware(inputPath, &input, out, &exitCode)) return exitCode;
  if (format != OutputFormat::kDfu) return ConvertToImageFile(options, format, input, out);
  if (options.plain) return ConvertToPlainDfu(options, input, out);
  std::string error;
  DfuSeContent content;
  content.suffix.vendorId = options.vendorId.value_or(DFU_FILE_VENDOR_ID);
  content.suffix.productId = options.productId.value_or(DFU_FILE_PRODUCT_ID);
  content.suffix.deviceVersion = options.deviceVersion.value_or(DFU_FILE_DEVICE_VERSION);
  if (!BuildTargets(options, input, &content.targets, &exitCode, &error)) {
    return out->Result(exitCode, error);
  }
  std::vector<uint8_t> bytes;
  if (FormatDfuSe(content, &bytes) != RESULT_OK) {
    return out->Result(TOOL_EXIT_BAD_INPUT, "the data does not fit in a DfuSe file");
  }
  if (WriteWholeFile(options.positional[1], bytes, &error) != RESULT_OK) {
    return out->Result(TOOL_EXIT_FAILED, error);
  }
  uint64_t total = 0;
  size_t elements = 0;
  for (const CImage& target : content.targets) {
    total += target.ByteCount();
    elements += target.ElementCount();
  }
  return out->Result(TOOL_EXIT_OK, "wrote " + options.positional[1] + ": " +
                                       std::to_string(content.targets.size()) + " target(s), " +
                                       std::to_string(elements) + " element(s), " +
                                       std::to_string(total) + " bytes");
}
