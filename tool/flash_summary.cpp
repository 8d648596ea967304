#include "tool/flash_summary.h"

#include <algorithm>
#include <cstdio>

#include "tool/engine_run.h"
#include "tool/exit_code.h"
#include "tool/json_line.h"
#include "tool/tool_text.h"

namespace {

// Worst last; a code not listed counts as a failed device. Options that have
// no meaning for a device (a DfuSe option given to a plain DFU device) leave
// it untouched, as data that does not fit it does.
constexpr int SEVERITY_ORDER[] = {TOOL_EXIT_OK, TOOL_EXIT_USAGE, TOOL_EXIT_BAD_INPUT, TOOL_EXIT_CANNOT_OPEN,
                                  TOOL_EXIT_FAILED, TOOL_EXIT_VERIFY};

size_t Severity(int exitCode) {
  const auto* found = std::find(std::begin(SEVERITY_ORDER), std::end(SEVERITY_ORDER), exitCode);
  if (found == std::end(SEVERITY_ORDER)) return Severity(TOOL_EXIT_FAILED);
  return static_cast<size_t>(found - std::begin(SEVERITY_ORDER));
}

std::string ResultText(const DeviceRecord& record) {
  return record.exitCode == TOOL_EXIT_OK ? "ok" : record.message;
}

std::string TimeText(uint64_t milliseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(milliseconds) / 1000.0);
  return text;
}

}  // namespace

int WorstExitCode(const std::vector<DeviceRecord>& records) {
  int worst = TOOL_EXIT_OK;
  for (const DeviceRecord& record : records) {
    if (Severity(record.exitCode) > Severity(worst)) worst = record.exitCode;
  }
  return worst;
}

std::string SummaryTable(const std::vector<DeviceRecord>& records) {
  std::vector<std::vector<std::string>> rows = {{"Device", "Serial", "Result", "Time"}};
  for (const DeviceRecord& record : records) {
    rows.push_back({ShownText(record.path), record.serial.empty() ? "-" : ShownText(record.serial),
                    ResultText(record),
                    TimeText(record.milliseconds)});
  }
  std::vector<size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (size_t column = 0; column < row.size(); ++column) {
      widths[column] = std::max(widths[column], row[column].size());
    }
  }
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (size_t column = 0; column < row.size(); ++column) {
      std::string cell = row[column];
      if (column + 1 < row.size()) cell.resize(widths[column] + 2, ' ');
      line += cell;
    }
    table += line + "\n";
  }
  return table;
}

int ReportSummary(const std::vector<DeviceRecord>& records, const std::string& fileName,
                  CToolOutput* out) {
  if (out->mode() == OutputMode::kJson) {
    std::string devices = "[";
    for (const DeviceRecord& record : records) {
      CJsonObject entry;
      entry.Text("device", record.path)
          .Text("serial", record.serial)
          .Number("exit", static_cast<uint64_t>(record.exitCode));
      // Every row says how its device ended, a success too.
      entry.Text("message", record.exitCode == TOOL_EXIT_OK && record.message.empty()
                                ? "flashed " + fileName
                                : record.message);
      entry.Number("ms", record.milliseconds);
      devices += (devices.size() > 1 ? "," : "") + entry.Str();
    }
    out->JsonLine(CJsonObject().Text("event", "summary").Raw("devices", devices + "]").Str());
  } else {
    std::string table = SummaryTable(records);
    table.pop_back();  // Note ends the line itself
    out->Note(table);
  }
  const size_t failed = static_cast<size_t>(
      std::count_if(records.begin(), records.end(),
                    [](const DeviceRecord& record) { return record.exitCode != TOOL_EXIT_OK; }));
  const std::string count = std::to_string(records.size());
  if (failed == 0) {
    return out->Result(TOOL_EXIT_OK, "flashed " + fileName + " on " + count +
                                         (records.size() == 1 ? " device" : " devices"));
  }
  return out->Result(WorstExitCode(records), std::string(RunInterrupted() ? "interrupted: " : "") +
                                                 std::to_string(failed) + " of " + count +
                                                 " devices failed");
}
