// Layout of a large compilation: 600,000 files in 20,000 directories several
// levels deep, inserted from synthetic listing records (no real files).
// Reports the time of PrepareLayout and BuildHeader, without (argument 0)
// and with (1) Rock Ridge, and the peak resident memory of the process.
#include "SyntheticTree.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <sys/resource.h>

namespace {

constexpr int kDirs = 20000;
constexpr int64_t kFiles = 600000;

double PeakRSSMiB() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

double fillSeconds = 0;

TOrvBurner &Filled() {
  static std::unique_ptr<TOrvBurner> b = [] {
    const auto t0 = std::chrono::steady_clock::now();
    auto p = std::make_unique<TOrvBurner>();
    // Folder by folder, as a real insertion lists them: the peak is the
    // compilation's and the layout's, not a listing of every folder at once.
    if (!synthetic::InsertFolderByFolder(*p, kDirs, kFiles))
      std::fprintf(stderr, "bench_layout: the synthetic listing did not insert completely\n");
    fillSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return p;
  }();
  return *b;
}

void Counters(benchmark::State &state, TOrvBurner &b) {
  state.counters["dirs"] = static_cast<double>(b.DirList.size());
  state.counters["entries"] = static_cast<double>(b.FileList.size());
  state.counters["fill_s"] = fillSeconds;
  state.counters["peak_rss_MiB"] = PeakRSSMiB();
}

void BM_PrepareLayout(benchmark::State &state) {
  TOrvBurner &b = Filled();
  b.RockRidge = state.range(0) != 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(b.PrepareLayout(true, nullptr));
  Counters(state, b);
  state.counters["image_GiB"] = static_cast<double>(b.ImageEnd) / 524288.0;
}

void BM_BuildHeader(benchmark::State &state) {
  TOrvBurner &b = Filled();
  b.RockRidge = state.range(0) != 0;
  b.PrepareLayout(true, nullptr);
  bool ok = true;
  for (auto _ : state)
    ok &= b.BuildHeader(true, nullptr);
  if (!ok)
    state.SkipWithError("BuildHeader failed");
  Counters(state, b);
  state.counters["header_MiB"] = static_cast<double>(b.HeaderImage.Size()) / 1048576.0;
}

} // namespace

BENCHMARK(BM_PrepareLayout)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BuildHeader)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
