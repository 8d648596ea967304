// Fitting images to maps of many sectors: 1,000, 10,000 and 100,000 sectors
// of 1 KiB. The leave step fits an image of one element per sector (the
// whole map) and the erase marks the sectors one element covers; both must
// grow linearly with the sectors, not with their square.
#include <benchmark/benchmark.h>

#include <vector>

#include "dfufiles/image.h"

namespace {

constexpr uint32_t kBase = 0x08000000;
constexpr uint32_t kSectorSize = 1024;

MemoryMapping MapOf(int64_t sectors) {
  MemoryMapping mapping{};
  for (int64_t i = 0; i < sectors; ++i) {
    const uint32_t start = kBase + static_cast<uint32_t>(i) * kSectorSize;
    mapping.sectors.push_back({start, start, static_cast<uint32_t>(i), kSectorSize, 'g', 1});
  }
  mapping.sectorCount = static_cast<uint32_t>(mapping.sectors.size());
  return mapping;
}

// One element per sector (the leave step's image of the whole map), fitted
// for the leave step (cut to the readable sectors) or marked for erasure.
void BM_FitElementPerSector(benchmark::State& state, OperationCode operation) {
  const MemoryMapping mapping = MapOf(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    CImage image(mapping);
    state.ResumeTiming();
    image.FitToMapping(mapping, operation, 0);
    benchmark::DoNotOptimize(image.ElementCount());
  }
  state.SetComplexityN(state.range(0));
}

// One element over the whole map, cut into one piece per sector (download).
void BM_CutOneElement(benchmark::State& state) {
  const MemoryMapping mapping = MapOf(state.range(0));
  std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)) * kSectorSize, 0x5A);
  for (auto _ : state) {
    state.PauseTiming();
    CImage image;
    image.SetElement(0, 1, {kBase, static_cast<uint32_t>(bytes.size()), bytes.data()});
    state.ResumeTiming();
    image.FitToMapping(mapping, OP_CODE_DOWNLOAD, 1);
    benchmark::DoNotOptimize(image.ElementCount());
  }
  state.SetComplexityN(state.range(0));
}

BENCHMARK_CAPTURE(BM_FitElementPerSector, leave, OP_CODE_LEAVE_DFU)
    ->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK_CAPTURE(BM_FitElementPerSector, erase, OP_CODE_ERASE)
    ->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(BM_CutOneElement)
    ->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity();

}  // namespace
