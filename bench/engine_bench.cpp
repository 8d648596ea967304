// Erase, download and upload of a 512 KiB image against the virtual device
// with fast timing, each alone and as a whole upgrade with the leave: the engine's own cost per operation, the class requests
// it sends, the bytes of their data stages and the bytes allocated while the
// operation runs (engine, device layer and virtual device together), and the
// process's CPU time (every thread) per operation and per class request.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/resource.h>
#include <string>
#include <vector>

#include "bench/run_operation.h"
#include "device/device_manager.h"
#include "dfufiles/image.h"
#include "operations/operations.h"
#include "platform/device_notifier.h"
#include "sim/sim_environment.h"

namespace {

std::atomic<uint64_t> gAllocatedBytes{0};

constexpr uint32_t BENCH_FLASH = 0x08000000;
constexpr uint32_t BENCH_IMAGE_SIZE = 512 * 1024;
// The default map's flash sectors: 4 of 16 KiB, 1 of 64 KiB, 3 of 128 KiB.
const uint32_t kSectorSizes[] = {0x4000, 0x4000, 0x4000, 0x4000, 0x10000, 0x20000, 0x20000, 0x20000};

std::vector<uint8_t> BenchPattern() {
  std::vector<uint8_t> bytes(BENCH_IMAGE_SIZE);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13 + 1);
  return bytes;
}

std::unique_ptr<CImage> BenchImage(OperationCode opCode, const std::vector<uint8_t>& bytes) {
  auto image = std::make_unique<CImage>();
  if (opCode == OP_CODE_ERASE) {
    uint32_t address = BENCH_FLASH;
    for (uint32_t size : kSectorSizes) {
      ImageElement marker{address, 0, nullptr};
      image->SetElement(image->ElementCount(), 1, marker);
      address += size;
    }
    return image;
  }
  std::vector<uint8_t> copy = opCode == OP_CODE_UPLOAD ? std::vector<uint8_t>(bytes.size(), 0) : bytes;
  ImageElement element{BENCH_FLASH, static_cast<uint32_t>(copy.size()), copy.data()};
  image->SetElement(0, 1, element);
  return image;
}

// CPU time of the whole process (every thread: the caller, the worker and
// the virtual device's work inside the worker's requests), in microseconds.
uint64_t ProcessCpuMicros() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto micros = [](const timeval& t) { return static_cast<uint64_t>(t.tv_sec) * 1000000 + static_cast<uint64_t>(t.tv_usec); };
  return micros(usage.ru_utime) + micros(usage.ru_stime);
}

bool IsClassRequest(const std::string& name) {
  return name == "DNLOAD" || name == "UPLOAD" || name == "GETSTATUS" || name == "CLRSTATUS" ||
         name == "GETSTATE" || name == "ABORT" || name == "DETACH";
}

OperationContext BenchContext(OperationCode opCode, CImage* image, const std::string& path) {
  OperationContext context{};
  NewOperationContext(opCode, image, path, &context);
  context.skipBlankBlocks = opCode == OP_CODE_DOWNLOAD ? 1 : 0;
  return context;
}

// A fresh virtual device with the default profile (fast timing); null, and
// the benchmark skipped, when it cannot be installed.
std::shared_ptr<CSimBackend> InstallDevice(benchmark::State& state) {
  std::string error;
  std::shared_ptr<CSimBackend> backend = SimInstall(SimDeviceOptions(), &error);
  if (backend == nullptr) state.SkipWithError(error.c_str());
  return backend;
}

void RunOperation(benchmark::State& state, OperationCode opCode) {
  CreateDevicesManager();
  const std::vector<uint8_t> bytes = BenchPattern();
  uint64_t requests = 0;
  uint64_t dataBytes = 0;
  uint64_t allocated = 0;
  uint64_t cpuMicros = 0;
  bool failed = false;
  for (auto _ : state) {
    state.PauseTiming();
    std::shared_ptr<CSimBackend> backend = InstallDevice(state);
    if (backend == nullptr) break;
    // Download programs erased flash; upload reads what a download left.
    const std::vector<uint8_t> flash = opCode == OP_CODE_DOWNLOAD ? std::vector<uint8_t>(bytes.size(), 0xFF) : bytes;
    backend->Device()->WriteMemory(0, BENCH_FLASH, flash);
    std::unique_ptr<CImage> image = BenchImage(opCode, bytes);
    const OperationContext context = BenchContext(opCode, image.get(), backend->CurrentPath());
    const uint64_t allocatedBefore = gAllocatedBytes.load();
    const uint64_t cpuBefore = ProcessCpuMicros();
    state.ResumeTiming();

    const OperationContext record = RunToEnd(context);

    state.PauseTiming();
    cpuMicros += ProcessCpuMicros() - cpuBefore;
    allocated += gAllocatedBytes.load() - allocatedBefore;
    if (record.result != RESULT_OK || record.progress != 100) failed = true;
    if (opCode == OP_CODE_UPLOAD && std::memcmp(image->ElementAt(0)->data, bytes.data(), bytes.size()) != 0) {
      failed = true;
    }
    for (const SimRequestRecord& r : backend->Recorder()->RequestLog()) {
      if (!IsClassRequest(r.name)) continue;
      ++requests;
      if ((r.name == "DNLOAD" || r.name == "UPLOAD") && r.args.size() >= 3) dataBytes += r.args[2];
    }
    backend.reset();
    SimUninstall();
    state.ResumeTiming();
  }
  if (failed) state.SkipWithError("the operation did not complete");
  state.counters["class_requests"] = benchmark::Counter(static_cast<double>(requests), benchmark::Counter::kAvgIterations);
  state.counters["data_stage_bytes"] = benchmark::Counter(static_cast<double>(dataBytes), benchmark::Counter::kAvgIterations);
  state.counters["process_cpu_us"] = benchmark::Counter(static_cast<double>(cpuMicros), benchmark::Counter::kAvgIterations);
  state.counters["process_cpu_us_per_request"] =
      benchmark::Counter(requests != 0 ? static_cast<double>(cpuMicros) / static_cast<double>(requests) : 0.0);
  state.counters["allocated_bytes"] = benchmark::Counter(static_cast<double>(allocated), benchmark::Counter::kAvgIterations);
  DestroyDevicesManager();
}

void BM_Erase512KiB(benchmark::State& state) { RunOperation(state, OP_CODE_ERASE); }
void BM_Download512KiB(benchmark::State& state) { RunOperation(state, OP_CODE_DOWNLOAD); }
void BM_Upload512KiB(benchmark::State& state) { RunOperation(state, OP_CODE_UPLOAD); }

// The whole upgrade as the console runs it, one operation after the other on
// one device: erase of the image's sectors, download, upload of the written
// range and its comparison, and the leave (manifestation and the removal).
void BM_Upgrade512KiB(benchmark::State& state) {
  CreateDevicesManager();
  const std::vector<uint8_t> bytes = BenchPattern();
  uint64_t cpuMicros = 0;
  bool failed = false;
  for (auto _ : state) {
    state.PauseTiming();
    std::shared_ptr<CSimBackend> backend = InstallDevice(state);
    if (backend == nullptr) break;
    std::unique_ptr<CImage> erase = BenchImage(OP_CODE_ERASE, bytes);
    std::unique_ptr<CImage> download = BenchImage(OP_CODE_DOWNLOAD, bytes);
    std::unique_ptr<CImage> upload = BenchImage(OP_CODE_UPLOAD, bytes);
    const std::string path = backend->CurrentPath();
    const uint64_t cpuBefore = ProcessCpuMicros();
    state.ResumeTiming();

    bool ok = true;
    for (auto [opCode, image] : {std::pair{OP_CODE_ERASE, erase.get()}, std::pair{OP_CODE_DOWNLOAD, download.get()},
                                 std::pair{OP_CODE_UPLOAD, upload.get()}, std::pair{OP_CODE_LEAVE_DFU, download.get()}}) {
      const OperationContext record = RunToEnd(BenchContext(opCode, image, path));
      if (record.result != RESULT_OK || record.progress != 100) {
        ok = false;
        break;
      }
      if (opCode == OP_CODE_UPLOAD && std::memcmp(upload->ElementAt(0)->data, bytes.data(), bytes.size()) != 0) {
        ok = false;
        break;
      }
    }

    state.PauseTiming();
    cpuMicros += ProcessCpuMicros() - cpuBefore;
    if (!ok) failed = true;
    backend.reset();
    SimUninstall();
    state.ResumeTiming();
    if (failed) break;
  }
  if (failed) state.SkipWithError("the upgrade did not complete");
  state.counters["process_cpu_us"] = benchmark::Counter(static_cast<double>(cpuMicros), benchmark::Counter::kAvgIterations);
  DestroyDevicesManager();
}

BENCHMARK(BM_Erase512KiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Download512KiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Upload512KiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Upgrade512KiB)->Unit(benchmark::kMillisecond);

}  // namespace

// Every allocation of the process is counted, to show the memory an
// operation moves through the heap. The replacements pair malloc with free,
// which the compiler cannot see through.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  gAllocatedBytes.fetch_add(size, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
