// The report `zuvatool --version --verbose` prints for a user to pass on:
// the system, the timer resolution in force while an operation runs, and the
// devices and drivers found.
#ifndef ZUVA_TOOL_SYSTEM_REPORT_H_
#define ZUVA_TOOL_SYSTEM_REPORT_H_

#include <cstdint>
#include <cstdio>
#include <string>

// A resolution in microseconds as milliseconds with three decimals.
std::string ResolutionText(uint32_t microseconds);

void PrintSystemReport(FILE* out);

#endif  // ZUVA_TOOL_SYSTEM_REPORT_H_
