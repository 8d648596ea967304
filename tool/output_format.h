// The format a command writes its output file in, chosen by the file's name
// and the same for every command: a name says what the file holds, and the
// loader reads a ".bin" file back as raw bytes whatever it begins with.
#ifndef ZUVA_TOOL_OUTPUT_FORMAT_H_
#define ZUVA_TOOL_OUTPUT_FORMAT_H_

#include <string>

enum class OutputFormat {
  kDfu,          // ".dfu": a DfuSe file, or a plain DFU file
  kIntelHex,     // ".hex"
  kRaw,          // ".bin"
  kNotWritable,  // a format that is read but never written (S-records, ELF)
  kOther,        // any other name: each command says what it does with it
};

OutputFormat OutputFormatOfName(const std::string& name);

// The refusal of a name whose format cannot be written.
std::string OutputNameRefusal(const std::string& name);

#endif  // ZUVA_TOOL_OUTPUT_FORMAT_H_
