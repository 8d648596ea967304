// One upgrade of a raw image (200 KiB, and 512 KiB: the whole window), run as
// the operator runs it: the ZUVA executable as a process, against the
// virtual device with real timing (bus and flash cost time as on a
// full-speed device). Reports the wall time of the run, the device's own busy
// time (the sum of the poll time-outs it asked for, which no host can avoid
// waiting), the bus time of the requests sent, the wall time over those two,
// and the CPU time the process used: a console that waits instead of
// spinning uses a small fraction of the wall time.
//
// Run from the build folder: ./upgrade_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// The memory of the default map's flash: what the flash file holds whatever
// the image's size.
constexpr size_t BENCH_FLASH_SIZE = 0x80000;

struct RunFigures {
  bool ok = false;
  double wallSeconds = 0;
  double cpuSeconds = 0;
  double deviceBusySeconds = 0;
  double busSeconds = 0;
};

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// A raw image with no blank block, so that every block is programmed.
void WriteImage(const fs::path& path, size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 31 + 7) % 251);
  WriteText(path, bytes);
}

// The sum of the bwPollTimeout values of the GETSTATUS answers in a trace.
double DeviceBusySeconds(const fs::path& trace) {
  std::ifstream in(trace);
  std::string line;
  uint64_t millis = 0;
  while (std::getline(in, line)) {
    const size_t at = line.find(" poll=");
    if (at != std::string::npos) millis += std::strtoull(line.c_str() + at + 6, nullptr, 10);
  }
  return static_cast<double>(millis) / 1000.0;
}

// The bus time of the requests in a trace, by the virtual device's cost
// model: 0.5 ms a request and 1 ms per KiB of its data stage (wLength, the
// last number before the arrow; descriptor requests are counted without
// their few bytes).
double BusSeconds(const fs::path& trace) {
  std::ifstream in(trace);
  std::string line;
  double millis = 0;
  while (std::getline(in, line)) {
    const size_t arrow = line.find(" ->");
    if (arrow == std::string::npos) continue;
    const size_t space = line.rfind(' ', arrow - 1);
    const bool classRequest = line.find(" GET_") == std::string::npos &&
                              line.find(" SELECT_") == std::string::npos;
    const double length = classRequest && space != std::string::npos
                              ? std::strtod(line.c_str() + space + 1, nullptr)
                              : 0.0;
    millis += 0.5 + length / 1024.0;
  }
  return millis / 1000.0;
}

double Seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// Runs `ZUVA fw.bin` in `dir` with the operator's answer on standard input
// and its output thrown away.
RunFigures RunUpgrade(const fs::path& dir) {
  RunFigures figures;
  fs::remove(dir / "flash.bin");
  fs::remove(dir / "trace.txt");
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    const int input = open("answers.txt", O_RDONLY);
    const int output = open("/dev/null", O_WRONLY);
    if (input < 0 || output < 0) _exit(126);
    dup2(input, STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    setenv("ZUVA_SIM", "real.profile", 1);
    setenv("ZUVA_SIM_FLASH", "flash.bin", 1);
    setenv("ZUVA_SIM_TRACE", "trace.txt", 1);
    unsetenv("ZUVA_SIM_FAULTS");
    execl(ZUVA_EXECUTABLE, ZUVA_EXECUTABLE, "fw.bin", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (child < 0) return figures;
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) return figures;
  figures.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  figures.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  figures.deviceBusySeconds = DeviceBusySeconds(dir / "trace.txt");
  figures.busSeconds = BusSeconds(dir / "trace.txt");
  figures.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
               fs::exists(dir / "flash.bin") && fs::file_size(dir / "flash.bin") == BENCH_FLASH_SIZE;
  return figures;
}

// The argument is the raw image's size in bytes.
void BM_UpgradeRealTiming(benchmark::State& state) {
  const fs::path dir = fs::temp_directory_path() / ("zuva_upgrade_bench_" + std::to_string(getpid()));
  fs::create_directories(dir);
  WriteImage(dir / "fw.bin", static_cast<size_t>(state.range(0)));
  WriteText(dir / "real.profile", "description = Virtual DFU Device\ntiming = real\n");
  WriteText(dir / "answers.txt", "\n");
  RunFigures total;
  for (auto _ : state) {
    const RunFigures run = RunUpgrade(dir);
    if (!run.ok) {
      state.SkipWithError("the upgrade did not complete");
      break;
    }
    state.SetIterationTime(run.wallSeconds);
    total.wallSeconds += run.wallSeconds;
    total.cpuSeconds += run.cpuSeconds;
    total.deviceBusySeconds += run.deviceBusySeconds;
    total.busSeconds += run.busSeconds;
  }
  const auto runs = static_cast<double>(state.iterations());
  if (runs > 0 && total.wallSeconds > 0) {
    state.counters["wall_s"] = total.wallSeconds / runs;
    state.counters["device_busy_s"] = total.deviceBusySeconds / runs;
    state.counters["bus_s"] = total.busSeconds / runs;
    state.counters["wall_per_device_and_bus"] = total.wallSeconds / (total.deviceBusySeconds + total.busSeconds);
    state.counters["cpu_s"] = total.cpuSeconds / runs;
    state.counters["cpu_pct_of_wall"] = 100.0 * total.cpuSeconds / total.wallSeconds;
  }
  fs::remove_all(dir);
}

// Each run takes several seconds of device time; a few are enough.
BENCHMARK(BM_UpgradeRealTiming)
    ->Arg(200 * 1024)
    ->Arg(512 * 1024)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
