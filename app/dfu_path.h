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

// The DfuSe path of the default image, from the program's own path
// (argument 0), the same on every platform: every "ZUVA.exe" becomes
// "ZUVA.dfu"; when that changes nothing (the Linux executable has no
// extension, or the program was started through PATH as "zuva"), ".dfu" is
// appended. The result is never the program's own path, so no file that
// merely shares the program's name is overwritten.
std::string DfuPathForDefaultImage(const std::string& programPath);

#endif  // ZUVA_APP_DFU_PATH_H_
