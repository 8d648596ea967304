// The short waits of a 512 KiB upgrade (erase, download, leave) on a part
// with 2 KiB pages whose device announces the same poll time-out to every busy
// answer, 1 to 8 ms: how many waits the worker sleeps through, the time-outs
// it asked for, and what those waits cost on Windows, where a timed wait ends
// on the timer interrupt:
//   windows_tick_ms    a process that never asks for a resolution (15.625 ms
//                      since Windows 10 2004): each wait lasts until the first
//                      tick at or after its time-out, the range's upper end one
//                      tick more (a deadline measured with the calendar clock,
//                      which moves in whole ticks);
//   windows_fine_ms    1 ms resolution and a relative time-out from the
//                      performance counter: each wait ends within 1 ms of its
//                      time-out (upper end).
// The virtual device runs with fast timing: its flash costs nothing, so every
// busy answer is followed by exactly one wait of the announced time-out, and
// the figures are the worker's alone. The waits are counted on this machine;
// the Windows figures are computed from them.
//
// Run from the build folder: ./wait_count_bench
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "bench/run_operation.h"
#include "device/device_manager.h"
#include "dfufiles/image.h"
#include "operations/auto_reset_event.h"
#include "operations/operations.h"
#include "platform/device_notifier.h"
#include "sim/profile.h"
#include "sim/sim_environment.h"

namespace {

constexpr uint32_t BENCH_FLASH = 0x08000000;
constexpr uint32_t BENCH_IMAGE_SIZE = 512 * 1024;
constexpr uint32_t BENCH_PAGE_SIZE = 2048;
constexpr double WINDOWS_DEFAULT_TICK_MS = 15.625;
constexpr double WINDOWS_FINE_TICK_MS = 1.0;

std::atomic<uint64_t> gSleeps{0};
std::atomic<uint64_t> gSleptMs{0};
std::atomic<uint64_t> gTickMsTimes1000{0};

// The time a wait of `timeoutMs` lasts when it ends on the first tick of
// period `tickMs` at or after its time-out, from a start on a tick.
double TickedWaitMs(uint32_t timeoutMs, double tickMs) {
  return std::ceil(static_cast<double>(timeoutMs) / tickMs) * tickMs;
}

void CountSleep(uint32_t timeoutMs) {
  gSleeps.fetch_add(1);
  gSleptMs.fetch_add(timeoutMs);
  gTickMsTimes1000.fetch_add(static_cast<uint64_t>(TickedWaitMs(timeoutMs, WINDOWS_DEFAULT_TICK_MS) * 1000.0));
}

void BM_UpgradeWaits512KiB(benchmark::State& state) {
  const auto announcedMs = static_cast<uint32_t>(state.range(0));
  SimDeviceOptions options;
  std::string error;
  const std::string profileText = "timing = fast\npoll-timeout = " + std::to_string(announcedMs) +
                                  "\nalt = @Internal Flash  /0x08000000/256*002Kg\n";
  if (!SimParseProfile(profileText, "bench", &options.profile, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  CreateDevicesManager();
  std::vector<uint8_t> bytes(BENCH_IMAGE_SIZE);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13 + 1);
  CImage erase;
  for (uint32_t page = 0; page < BENCH_IMAGE_SIZE / BENCH_PAGE_SIZE; ++page) {
    ImageElement marker{BENCH_FLASH + page * BENCH_PAGE_SIZE, 0, nullptr};
    erase.SetElement(erase.ElementCount(), 1, marker);
  }
  CImage download;
  ImageElement element{BENCH_FLASH, BENCH_IMAGE_SIZE, bytes.data()};
  download.SetElement(0, 1, element);

  gSleeps = 0;
  gSleptMs = 0;
  gTickMsTimes1000 = 0;
  bool failed = false;
  CAutoResetEvent::ObserveSleeps(&CountSleep);
  for (auto _ : state) {
    std::shared_ptr<CSimBackend> backend = SimInstall(options, &error);
    if (backend == nullptr) {
      state.SkipWithError(error.c_str());
      break;
    }
    for (auto [opCode, image] : {std::pair{OP_CODE_ERASE, &erase}, std::pair{OP_CODE_DOWNLOAD, &download},
                                 std::pair{OP_CODE_LEAVE_DFU, &download}}) {
      OperationContext context{};
      NewOperationContext(opCode, image, backend->CurrentPath(), &context);
      const OperationContext record = RunToEnd(context);
      if (record.result != RESULT_OK || record.progress != 100) {
        failed = true;
        break;
      }
    }
    backend.reset();
    SimUninstall();
    if (failed) break;
  }
  CAutoResetEvent::ObserveSleeps(nullptr);
  DestroyDevicesManager();
  if (failed) {
    state.SkipWithError("the upgrade did not complete");
    return;
  }
  const double sleeps = static_cast<double>(gSleeps.load());
  const double sleptMs = static_cast<double>(gSleptMs.load());
  const double tickMs = static_cast<double>(gTickMsTimes1000.load()) / 1000.0;
  auto perRun = [](double value) { return benchmark::Counter(value, benchmark::Counter::kAvgIterations); };
  state.counters["waits"] = perRun(sleeps);
  state.counters["asked_ms"] = perRun(sleptMs);
  state.counters["windows_tick_ms"] = perRun(tickMs);
  state.counters["windows_tick_ms_upper"] = perRun(tickMs + sleeps * WINDOWS_DEFAULT_TICK_MS);
  state.counters["windows_fine_ms"] = perRun(sleptMs);
  state.counters["windows_fine_ms_upper"] = perRun(sleptMs + sleeps * WINDOWS_FINE_TICK_MS);
}

BENCHMARK(BM_UpgradeWaits512KiB)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
