// flash --log: the production record. Each device a flash was tried on adds
// one JSON line (when it ended, which device, which image, how it went) to
// the end of a file, written out as the device ends. Several devices of one
// run and several runs may share the file: a line is appended whole, never
// interleaved with another, and a line that does not fit (a full disk) is
// not left in part.
#ifndef ZUVA_TOOL_PRODUCTION_LOG_H_
#define ZUVA_TOOL_PRODUCTION_LOG_H_

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "device/device_listing.h"
#include "platform/files.h"

// The image a run flashes: its name as given, its SHA-256 and size.
struct ImageIdentity {
  std::string name;
  std::string sha256;
  uint64_t size = 0;
};

// How one device's flash ended.
struct DeviceEnd {
  int exitCode = 0;
  std::string message;  // the result's words
  uint64_t milliseconds = 0;
  std::optional<uint32_t> address;  // the first difference verify found
};

// The record's line for one device, `time` when it ended (UTC, ISO 8601),
// without the line end.
std::string ProductionRecordLine(const std::string& time, const DfuDeviceInfo& device,
                                 const ImageIdentity& image, const DeviceEnd& end);

// Now, as the record writes it: 2026-01-31T12:34:56.789Z.
std::string RecordTimeNow();

class CProductionLog {
 public:
  // Opens (or creates) the file for appending; false with the reason.
  bool Open(const std::string& path, std::string* error);
  // Appends the device's line and has the system write it out; false with
  // the reason (a full disk, a lost file) when the line may not be there.
  // Safe from several threads at once.
  bool Append(const DfuDeviceInfo& device, const ImageIdentity& image, const DeviceEnd& end,
              std::string* error);

 private:
  std::mutex mutex_;
  PlatformFile file_;
  std::string path_;
};

#endif  // ZUVA_TOOL_PRODUCTION_LOG_H_
