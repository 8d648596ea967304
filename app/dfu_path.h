// Where the DfuSe file made from a raw image is written.
#ifndef ZUVA_APP_DFU_PATH_H_
#define ZUVA_APP_DFU_PATH_H_

#include <string>

// Every non-overlapping occurrence of `from` in `text`, left to right and
// case-sensitively, replaced by `to`; scanning resumes after the inserted
// text. An empty `from` changes nothing.
std::string ReplaceAllOccurrences(const std::string& text, const std::string& from,
                                  const std::string& to);

// The DfuSe path for a raw file named on the command line: every ".bin"
// becomes ".dfu". A name without ".bin" (fw.BIN) would otherwise give the raw
// file's own path and the conversion would replace the operator's image by
// the DfuSe file, so such a name gets ".dfu" appended instead.
std::string DfuPathForRawFile(const std::string& rawPath);

// How the program's own path (argument 0) gives the DfuSe path of the
// default image.
enum class DefaultDfuPathRule {
  // Windows: every "ZUVA.exe" becomes "ZUVA.dfu"; without one the path is kept.
  kReplaceExecutableName,
  // Linux, where the executable has no extension: when the last path
  // component is exactly "ZUVA", ".dfu" is appended; otherwise the path is kept.
  kAppendToExecutableName,
};

// The rule of the platform this program was built for.
DefaultDfuPathRule PlatformDefaultDfuPathRule();

std::string DfuPathForDefaultImage(const std::string& programPath, DefaultDfuPathRule rule);

#endif  // ZUVA_APP_DFU_PATH_H_
