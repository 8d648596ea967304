#include "tool/production_log.h"

#include <chrono>
#include <cstdio>

#include "tool/json_line.h"
#include "tool/tool_text.h"

namespace {

std::string ErrorWords(uint32_t code) {
  const std::string words = PlatformErrorText(code);
  return words.empty() ? "system error " + std::to_string(code) : words;
}

}  // namespace

std::string ProductionRecordLine(const std::string& time, const DfuDeviceInfo& device,
                                 const ImageIdentity& image, const DeviceEnd& end) {
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04x:%04x", device.vendorId, device.productId);
  CJsonObject line;
  line.Text("time", time)
      .Text("device", device.path)
      .Text("serial", device.serial)
      .Text("vidpid", ids)
      .Text("image", image.name)
      .Text("sha256", image.sha256)
      .Number("size", image.size)
      .Text("result", end.exitCode == 0 ? "ok" : "failed")
      .Text("message", end.message)
      .Number("exit", static_cast<uint64_t>(end.exitCode))
      .Number("ms", end.milliseconds);
  if (end.address) line.Text("address", HexText(*end.address, 8));
  return line.Str();
}

std::string RecordTimeNow() {
  // Calendar arithmetic of its own: gmtime's result is shared with the
  // console thread's localtime.
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> time{now - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int{date.year()},
                unsigned{date.month()}, unsigned{date.day()}, static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

bool CProductionLog::Open(const std::string& path, std::string* error) {
  path_ = path;
  const uint32_t opened = file_.Open(path, PlatformFile::Mode::kAppendShared);
  if (opened != 0) {
    *error = "cannot open the record " + path + ": " + ErrorWords(opened);
    return false;
  }
  return true;
}

bool CProductionLog::Append(const DfuDeviceInfo& device, const ImageIdentity& image,
                            const DeviceEnd& end, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string line = ProductionRecordLine(RecordTimeNow(), device, image, end) + "\n";
  // Appended whole at the end, whoever else appends, or not at all: a line
  // the disk cannot take is cut off again, so that the next one does not
  // join its start. Flushed to the disk, so that a record survives a bench
  // that loses power.
  if (!file_.AppendWhole(line.data(), line.size()) || !file_.Flush()) {
    *error = "cannot write the record of " + device.path + " to " + path_ + ": " +
             ErrorWords(file_.LastError());
    return false;
  }
  return true;
}
