// What a flash of several devices tells at its end: one row per device
// (path, serial, result, time) and one exit code for the whole run.
#ifndef ZUVA_TOOL_FLASH_SUMMARY_H_
#define ZUVA_TOOL_FLASH_SUMMARY_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tool/tool_output.h"

struct DeviceRecord {
  std::string path;
  std::string serial;
  int exitCode = 0;
  // What went wrong; on success empty, or what the user must know of the
  // device (a plain DFU device that was not read back).
  std::string message;
  uint64_t milliseconds = 0;
};

// 0 when every device succeeded (or there was none), else the code of the
// worst outcome: a verify difference (the device holds wrong data although
// every request succeeded), then a failed device (perhaps half written),
// then one that could not be opened, then data that does not fit a device,
// then options that do not apply to a device (none of which was touched).
int WorstExitCode(const std::vector<DeviceRecord>& records);

// The table: a heading, then one line per device, columns aligned.
std::string SummaryTable(const std::vector<DeviceRecord>& records);

// Shows the records (a table in the text modes, a "summary" event with
// --json) and ends the run with the result for them all; returns the exit
// code; on success the result says that the file was `done` on them.
int ReportSummary(const std::vector<DeviceRecord>& records, const std::string& fileName,
                  CToolOutput* out, const char* done = "flashed");

#endif  // ZUVA_TOOL_FLASH_SUMMARY_H_
