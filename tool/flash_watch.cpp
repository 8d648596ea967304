// flash --watch: a production bench. The console thread sleeps on the
// platform's device-change events and on the end of a flash; each DFU device
// that arrives (or is present at the start) and matches the selectors is
// flashed on a thread of its own, and its end is one log line. An interrupt
// stops the arrivals being taken; the flashes in progress finish, the
// summary ends the run.
//
// A device that comes back as a board flashed before (a board that reset
// after the leave request) may show its DFU interface for a moment before
// its application starts: it is looked at again after a pause and flashed
// only if it is still there in DFU mode. A board is known by its serial, or,
// when it has none, by its path, which names the port it is plugged into
// (libusb's paths; on Windows the instance of a device without a serial).
// A board back under the path of a flash still ending is looked at once
// that flash has ended. A board that keeps
// coming back in DFU mode does not start what it was given: after
// WATCH_REFLASH_LIMIT flashes again in a row it is left alone, with a line
// that says so and a failed row in the summary, rather than flashed for as
// long as the bench runs. A return
// later than WATCH_RETURN_WINDOW after its last flash (a board unplugged and
// plugged in again) starts the count afresh.
//
// Besides the events, the interface paths are listed (nothing is opened)
// once a second: a source that announces nothing (a WinUSB device of an
// interface class not yet registered for notifications, libusb without
// hot-plug) is still seen, a second late. The wait also ends every
// WATCH_INTERRUPT_CHECK_MS to look for an interrupt, which a signal handler
// can only record.
#include <atomic>
#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/guid.h"
#include "platform/device_notifier.h"
#include "platform/driver_port.h"
#include "platform/interrupt.h"
#include "platform/thread_start.h"
#include "platform/wake_signal.h"
#include "tool/device_selection.h"
#include "tool/engine_run.h"
#include "tool/flash_device.h"
#include "tool/flash_summary.h"
#include "tool/json_line.h"
#include "tool/tool_text.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t WATCH_INTERRUPT_CHECK_MS = 250;
constexpr auto WATCH_RESCAN_INTERVAL = std::chrono::seconds(1);
// How long a returning device (or one that could not be opened yet, as
// while the system sets its permissions) is given before the second look.
constexpr auto WATCH_SETTLE_TIME = std::chrono::milliseconds(1000);
constexpr int WATCH_REFLASH_LIMIT = 2;
constexpr auto WATCH_RETURN_WINDOW = std::chrono::seconds(5);

// Arrivals and removals, as the platform delivers them to the console
// thread when it pumps.
class CChangeLog : public DeviceEventSink {
 public:
  void OnDeviceChange(const DeviceChangeEvent& event) override {
    (event.kind == DeviceChangeKind::kArrival ? arrived : removed).push_back(event.path);
  }
  std::vector<std::string> arrived;
  std::vector<std::string> removed;
};

// One flash in progress: its thread writes the record and then says so.
struct WatchJob {
  DfuDeviceInfo device;
  std::unique_ptr<CToolOutput> output;
  DeviceRecord record;
  std::thread thread;
  std::atomic<bool> done{false};
};

std::string TimeOfDay() {
  const std::time_t now = std::time(nullptr);
  const std::tm* local = std::localtime(&now);  // the console thread's only
  char text[16] = "--:--:--";
  if (local != nullptr) std::strftime(text, sizeof text, "%H:%M:%S", local);
  return text;
}

class CWatch {
 public:
  CWatch(const ToolOptions& options, const FlashImage& image, CToolOutput* out)
      : options_(options), image_(image), out_(out) {}

  int Run() {
    SetInterruptStopsOperations(false);
    std::unique_ptr<DeviceNotifier> notifier =
        DeviceNotifier::Create(&changes_, {DFU_INTERFACE_GUID});
    out_->Note("Waiting for DFU devices to flash with " + options_.positional[0] +
               "; Ctrl-C ends.");
    Rescan();
    while (!PlatformInterrupted()) {
      WaitForSignalOrThreadMessages(&wake_, WaitMs());
      PumpThreadMessages();
      // Finished flashes first: a board back already must find its serial
      // among the flashed ones.
      Reap();
      TakeChanges();
      if (Clock::now() >= nextRescan_) Rescan();
      LookAgain();
    }
    // Arrivals are no longer taken; what runs finishes.
    notifier.reset();
    while (!jobs_.empty()) {
      WaitForSignalOrThreadMessages(&wake_, WATCH_INTERRUPT_CHECK_MS);
      Reap();
    }
    return ReportSummary(records_, options_.positional[0], out_);
  }

 private:
  uint32_t WaitMs() const {
    auto until = nextRescan_;
    for (const auto& [path, due] : settling_) {
      if (due < until) until = due;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return 0;
    return static_cast<uint32_t>(std::min<int64_t>(left.count(), WATCH_INTERRUPT_CHECK_MS));
  }

  // Who a board is: its serial, or the path of the port it is on.
  static std::string BoardKey(const std::string& serial, const std::string& path) {
    return serial.empty() ? "port " + path : "serial " + serial;
  }

  void TakeChanges() {
    for (const std::string& path : changes_.removed) {
      present_.erase(path);
      settling_.erase(path);
    }
    for (const std::string& path : changes_.arrived) {
      if (present_.insert(path).second) Consider(path, false);
    }
    changes_.removed.clear();
    changes_.arrived.clear();
  }

  static bool Listed(const std::string& path) {
    std::vector<InterfaceInfo> listed;
    EnumerateInterfaces(DFU_INTERFACE_GUID, &listed);
    for (const InterfaceInfo& info : listed) {
      if (info.path == path) return true;
    }
    return false;
  }

  // The present DFU interfaces, by path only.
  void Rescan() {
    nextRescan_ = Clock::now() + WATCH_RESCAN_INTERVAL;
    std::vector<InterfaceInfo> listed;
    if (!EnumerateInterfaces(DFU_INTERFACE_GUID, &listed)) return;
    std::set<std::string> now;
    for (const InterfaceInfo& info : listed) now.insert(info.path);
    for (auto it = present_.begin(); it != present_.end();) {
      if (now.count(*it) == 0) {
        settling_.erase(*it);
        it = present_.erase(it);
      } else {
        ++it;
      }
    }
    for (const std::string& path : now) {
      if (present_.insert(path).second) Consider(path, false);
    }
  }

  void LookAgain() {
    const auto now = Clock::now();
    for (auto it = settling_.begin(); it != settling_.end();) {
      if (it->second > now) {
        ++it;
        continue;
      }
      const std::string path = it->first;
      it = settling_.erase(it);
      Consider(path, true);
    }
  }

  // A DFU device at a new path: flashed now, after a pause, or not at all.
  void Consider(const std::string& path, bool settled) {
    if (options_.devicePath && !DriverPathNamedBy(path, *options_.devicePath)) return;
    for (const auto& job : jobs_) {
      if (job->device.path != path) continue;
      // Back at the path before its flash has quite ended: looked at then.
      if (!settled) backDuringFlash_.insert(path);
      return;
    }
    DfuDeviceInfo device;
    if (!DescribeDfuDevice(path, true, &device)) {
      if (!settled) {
        settling_[path] = Clock::now() + WATCH_SETTLE_TIME;
        return;
      }
      // Gone meanwhile, its removal not announced: nothing to flash.
      if (!Listed(path)) return;
    }
    if (!MatchesSelectors(device, options_)) return;
    if (device.opened) {
      const std::string board = BoardKey(device.serial, device.path);
      if (!settled && SeenBefore(board)) {
        settling_[path] = Clock::now() + WATCH_SETTLE_TIME;
        return;
      }
      if (settled && !FlashAgain(board, device)) return;
    }
    Start(device);
  }

  // A board flashed in this run, or being flashed: it may be back, under a
  // new path when it has a serial, even before its flash has quite ended.
  bool SeenBefore(const std::string& board) const {
    if (flashed_.count(board) != 0) return true;
    for (const auto& job : jobs_) {
      if (BoardKey(job->device.serial, job->device.path) == board) return true;
    }
    return false;
  }

  // A settled device of a board flashed before: flashed again, unless it
  // came back soon after each of the last flashes.
  bool FlashAgain(const std::string& board, const DfuDeviceInfo& device) {
    const auto flashed = flashed_.find(board);
    if (flashed == flashed_.end()) return true;  // a namesake, still in its flash
    FlashHistory& history = flashed->second;
    const auto arrived = Clock::now() - WATCH_SETTLE_TIME;
    if (arrived - history.lastEnd > WATCH_RETURN_WINDOW) {
      history.againInARow = 0;
      return true;
    }
    if (history.againInARow >= WATCH_REFLASH_LIMIT) {
      LogLeftAlone(device, history.againInARow + 1);
      return false;
    }
    ++history.againInARow;
    return true;
  }

  void Start(const DfuDeviceInfo& device) {
    auto job = std::make_unique<WatchJob>();
    job->device = device;
    job->output = std::make_unique<CToolOutput>(out_->mode(), &board_, device.path, false);
    job->record.path = device.path;
    job->record.serial = device.serial;
    job->output->Device(device);
    WatchJob* running = job.get();
    const bool started = PlatformStartThread(&job->thread, [this, running] {
      FlashIntoRecord(options_, image_, running->device, running->output.get(), &running->record);
      running->done = true;
      wake_.Set();
    });
    if (!started) {
      job->record.exitCode = TOOL_EXIT_FAILED;
      job->record.message = "no thread could be started for the device";
      job->done = true;
    }
    jobs_.push_back(std::move(job));
  }

  // Every finished flash: joined, logged, recorded.
  void Reap() {
    for (auto it = jobs_.begin(); it != jobs_.end();) {
      WatchJob& job = **it;
      if (!job.done) {
        ++it;
        continue;
      }
      if (job.thread.joinable()) job.thread.join();
      Log(job.record);
      if (job.record.exitCode == TOOL_EXIT_OK) {
        flashed_[BoardKey(job.record.serial, job.record.path)].lastEnd = Clock::now();
      }
      // A board back at this path during the flash gets its second look.
      if (backDuringFlash_.erase(job.record.path) != 0 && present_.count(job.record.path) != 0) {
        settling_[job.record.path] = Clock::now() + WATCH_SETTLE_TIME;
      }
      records_.push_back(job.record);
      it = jobs_.erase(it);
    }
  }

  static CJsonObject Stamped(const char* event, const std::string& path,
                             const std::string& serial, const std::string& time) {
    CJsonObject line;
    line.Text("event", event).Text("device", path).Text("serial", serial).Text("time", time);
    return line;
  }

  // One line per device: time, path, serial, result, duration.
  void Log(const DeviceRecord& record) {
    const std::string time = TimeOfDay();
    if (out_->mode() == OutputMode::kJson) {
      CJsonObject line = Stamped("result", record.path, record.serial, time);
      line.Number("exit", static_cast<uint64_t>(record.exitCode));
      // A success carries a message only when the user must act on it (a
      // plain DFU device that waits for a replug).
      if (record.exitCode != TOOL_EXIT_OK || !record.message.empty()) line.Text("message", record.message);
      line.Number("ms", record.milliseconds);
      board_.Write(line.Str() + "\n");
      return;
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s",
                  static_cast<double>(record.milliseconds) / 1000.0);
    board_.Write(time + "  " + ShownText(record.path) + "  " +
                 (record.serial.empty() ? "-" : ShownText(record.serial)) + "  " +
                 (record.exitCode != TOOL_EXIT_OK ? "failed: " + record.message
                  : record.message.empty()        ? "flashed"
                                                  : record.message) +
                 "  " + seconds + "\n");
  }

  // A board back in DFU mode after every flash: one line, no flash, and a
  // failed row of its own in the summary and in the production record,
  // since the board does not run what it was given.
  void LogLeftAlone(const DfuDeviceInfo& device, int flashes) {
    FlashOutcome outcome{TOOL_EXIT_FAILED,
                         "still in DFU mode after " + std::to_string(flashes) + " flashes; left alone",
                         std::nullopt,
                         {}};
    RecordDeviceEnd(options_, image_, device, 0, &outcome);
    const std::string& message = outcome.message;
    DeviceRecord record;
    record.path = device.path;
    record.serial = device.serial;
    record.exitCode = TOOL_EXIT_FAILED;
    record.message = message;
    records_.push_back(record);
    const std::string time = TimeOfDay();
    if (out_->mode() == OutputMode::kJson) {
      CJsonObject line = Stamped("left-alone", device.path, device.serial, time);
      line.Text("message", message);
      board_.Write(line.Str() + "\n");
      return;
    }
    board_.Write(time + "  " + ShownText(device.path) + "  " +
                 (device.serial.empty() ? "-" : ShownText(device.serial)) + "  " + message + "\n");
  }

  // What the run did to a board: when its last flash ended, and how many
  // times in a row it was flashed again because it came back in DFU mode.
  struct FlashHistory {
    Clock::time_point lastEnd;
    int againInARow = 0;
  };

  const ToolOptions& options_;
  const FlashImage& image_;
  CToolOutput* out_;
  COutputBoard board_;
  CChangeLog changes_;
  WakeSignal wake_;
  std::set<std::string> present_;                  // DFU paths already considered
  std::map<std::string, Clock::time_point> settling_;  // looked at again then
  std::map<std::string, FlashHistory> flashed_;    // by BoardKey, flashed in this run
  std::set<std::string> backDuringFlash_;          // paths back while their flash ran
  std::vector<std::unique_ptr<WatchJob>> jobs_;
  std::vector<DeviceRecord> records_;
  Clock::time_point nextRescan_ = Clock::now();
};

}  // namespace

int RunFlashWatch(const ToolOptions& options, const FlashImage& image, CToolOutput* out) {
  CWatch watch(options, image, out);
  return watch.Run();
}
