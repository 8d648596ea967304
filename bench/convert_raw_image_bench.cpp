// One conversion of a 512 KiB raw image into its DfuSe file, from a file and
// from memory. Each conversion builds the 512 KiB window, copies it into the
// image, writes the 524,597-byte file and reads it back twice for the
// suffix's checksum.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/convert_raw_image.h"

namespace {

namespace fs = std::filesystem;

// The conversion reports success on standard output; the benchmark's own
// report must stay readable, so the messages go to /dev/null while it runs.
class SilencedStdout {
 public:
  SilencedStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~SilencedStdout() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  SilencedStdout(const SilencedStdout&) = delete;
  SilencedStdout& operator=(const SilencedStdout&) = delete;

 private:
  int saved_ = -1;
};

std::vector<uint8_t> RawImage() {
  std::vector<uint8_t> raw(APP_FLASH_WINDOW_SIZE);
  for (size_t i = 0; i < raw.size(); ++i) {
    raw[i] = static_cast<uint8_t>(i * 13 + 5);
  }
  return raw;
}

fs::path WorkDirectory() {
  const fs::path dir = fs::temp_directory_path() / ("zuva_bench_" + std::to_string(getpid()));
  fs::create_directories(dir);
  return dir;
}

void BM_ConvertRawFile(benchmark::State& state) {
  const fs::path dir = WorkDirectory();
  const std::string source = (dir / "fw.bin").string();
  const std::string dfu = (dir / "fw.dfu").string();
  const std::vector<uint8_t> raw = RawImage();
  std::ofstream(source, std::ios::binary)
      .write(reinterpret_cast<const char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
  {
    SilencedStdout silenced;
    for (auto _ : state) {
      if (!ConvertRawImage(source.c_str(), dfu.c_str(), nullptr, 0)) {
        state.SkipWithError("conversion failed");
        break;
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * APP_FLASH_WINDOW_SIZE);
  fs::remove_all(dir);
}
BENCHMARK(BM_ConvertRawFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ConvertRawImageInMemory(benchmark::State& state) {
  const fs::path dir = WorkDirectory();
  const std::string dfu = (dir / "ZUVA.dfu").string();
  const std::vector<uint8_t> raw = RawImage();
  {
    SilencedStdout silenced;
    for (auto _ : state) {
      if (!ConvertRawImage(nullptr, dfu.c_str(), raw.data(), APP_FLASH_WINDOW_SIZE)) {
        state.SkipWithError("conversion failed");
        break;
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * APP_FLASH_WINDOW_SIZE);
  fs::remove_all(dir);
}
BENCHMARK(BM_ConvertRawImageInMemory)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
