// The tool's exit codes, the same on every platform; scripts act on them.
#ifndef ZUVA_TOOL_EXIT_CODE_H_
#define ZUVA_TOOL_EXIT_CODE_H_

constexpr int TOOL_EXIT_OK = 0;
constexpr int TOOL_EXIT_FAILED = 1;       // the device or the operation failed
constexpr int TOOL_EXIT_USAGE = 2;        // the command line is wrong
constexpr int TOOL_EXIT_BAD_INPUT = 3;    // input file missing, unreadable or invalid
constexpr int TOOL_EXIT_NO_DEVICE = 4;    // no device matches
constexpr int TOOL_EXIT_AMBIGUOUS = 5;    // several devices match
constexpr int TOOL_EXIT_CANNOT_OPEN = 6;  // present, but cannot be opened
constexpr int TOOL_EXIT_VERIFY = 7;       // the read-back differs from the image

#endif  // ZUVA_TOOL_EXIT_CODE_H_
