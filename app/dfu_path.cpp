#include "app/dfu_path.h"

std::string ReplaceAllOccurrences(const std::string& text, const std::string& from,
                                  const std::string& to) {
  if (from.empty()) {
    return text;
  }
  std::string result;
  size_t scan = 0;
  for (size_t found = text.find(from); found != std::string::npos;
       found = text.find(from, scan)) {
    result.append(text, scan, found - scan);
    result += to;
    scan = found + from.size();
  }
  result.append(text, scan, std::string::npos);
  return result;
}

std::string DfuPathForRawFile(const std::string& rawPath) {
  std::string dfuPath = ReplaceAllOccurrences(rawPath, ".bin", ".dfu");
  if (dfuPath == rawPath) {
    dfuPath += ".dfu";
  }
  return dfuPath;
}

std::string DfuPathForDefaultImage(const std::string& programPath) {
  std::string dfuPath = ReplaceAllOccurrences(programPath, "ZUVA.exe", "ZUVA.dfu");
  if (dfuPath == programPath) dfuPath += ".dfu";
  return dfuPath;
}
