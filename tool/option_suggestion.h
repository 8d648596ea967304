// What a mistyped command or option was probably meant to be, and what the
// options of the common DFU command-line tool that people bring as a habit
// (-a, -D, -v, ...) are called here.
#ifndef ZUVA_TOOL_OPTION_SUGGESTION_H_
#define ZUVA_TOOL_OPTION_SUGGESTION_H_

#include <string>
#include <vector>

// The candidate closest to `typed` by edit distance (a swap of two
// neighbouring letters counts as one edit), or a candidate that `typed`
// begins uniquely; empty when none is close enough to be a likely typo.
std::string NearestWord(const std::string& typed, const std::vector<std::string>& candidates);

// For an option of dfu-util (`-a`, `--download`, ...), a sentence that
// names what does its job here ("dfu-util's -a (--alt) is --alt N here");
// empty for any other text. A long name that is also one of ours is the
// caller's to leave out.
std::string DfuUtilEquivalent(const std::string& option);

#endif  // ZUVA_TOOL_OPTION_SUGGESTION_H_
