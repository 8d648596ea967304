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

DefaultDfuPathRule PlatformDefaultDfuPathRule() {
#if defined(_WIN32)
  return DefaultDfuPathRule::kReplaceExecutableName;
#else
  return DefaultDfuPathRule::kAppendToExecutableName;
#endif
}

std::string DfuPathForDefaultImage(const std::string& programPath, DefaultDfuPathRule rule) {
  if (rule == DefaultDfuPathRule::kReplaceExecutableName) {
    return ReplaceAllOccurrences(programPath, "ZUVA.exe", "ZUVA.dfu");
  }
  const size_t slash = programPath.find_last_of('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  if (programPath.compare(nameStart, std::string::npos, "ZUVA") == 0) {
    return programPath + ".dfu";
  }
  return programPath;
}
