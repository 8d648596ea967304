#include "tool/output_format.h"

#include "dfufiles/firmware_file.h"

namespace {

constexpr const char* NOT_WRITTEN_ENDINGS[] = {".srec", ".s19", ".s28", ".s37", ".mot",
                                               ".elf",  ".axf"};

}  // namespace

OutputFormat OutputFormatOfName(const std::string& name) {
  if (NameEndsWith(name, ".dfu")) return OutputFormat::kDfu;
  if (NameEndsWith(name, ".hex")) return OutputFormat::kIntelHex;
  if (NameEndsWith(name, ".bin")) return OutputFormat::kRaw;
  for (const char* ending : NOT_WRITTEN_ENDINGS) {
    if (NameEndsWith(name, ending)) return OutputFormat::kNotWritable;
  }
  return OutputFormat::kOther;
}

std::string OutputNameRefusal(const std::string& name) {
  return name + ": S-record and ELF files are read, never written; name the output .dfu, .hex "
                "or .bin";
}
