// Layout of a large compilation: 600,000 files in 20,000 directories nested
// three levels deep, built from synthetic listing records (no real files).
// Reports the time of the insertion, PrepareLayout and BuildHeader, and the
// peak resident memory of the process.
#include "ovCDBC.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <sys/resource.h>

namespace {

constexpr int kTop = 20, kMid = 20, kLeaf = 49;  // 20 + 400 + 19,600 directories
constexpr int kFilesPerLeaf = 30;                // plus 1 per upper directory
constexpr int kFilesPerUpper = 30;

double PeakRSSMiB() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

TSearchRec DirRec(const std::string &name) {
  TSearchRec r;
  r.Name = name;
  r.ShortName = ov::BaseAlias(name);
  r.Attr = ov::faDirectory;
  r.Time = ov::EncodeDateTime(2022, 5, 4, 3, 2, 1);
  return r;
}

void AddFiles(TOrvBurner &b, TDEntry *dir, int count, int &serial) {
  char name[64];
  for (int i = 0; i < count; ++i, ++serial) {
    std::snprintf(name, sizeof name, "Quarterly report %07d final.pdf", serial);
    TSearchRec r;
    r.Name = name;
    r.ShortName = ov::BaseAlias(name);
    r.Size = 1000 + (serial % 7) * 5000;
    r.Attr = ov::faArchive;
    r.Time = ov::EncodeDateTime(2022, 5, 4, 3, 2, 1);
    b.AddFile(dir, r, false, 0, std::string("/data/") + name);
  }
}

// Fills b with the compilation; returns the number of TFEntry records.
size_t Fill(TOrvBurner &b) {
  b.ResetCompilation(700000, 25000);
  int serial = 0;
  char name[64];
  for (int t = 0; t < kTop; ++t) {
    std::snprintf(name, sizeof name, "Department %02d", t);
    TDEntry *top = b.AddDir(b.DirList[0], DirRec(name));
    for (int m = 0; m < kMid; ++m) {
      std::snprintf(name, sizeof name, "Project %02d-%02d", t, m);
      TDEntry *mid = b.AddDir(top, DirRec(name));
      AddFiles(b, mid, kFilesPerUpper, serial);
      for (int l = 0; l < kLeaf; ++l) {
        std::snprintf(name, sizeof name, "Folder %02d", l);
        TDEntry *leaf = b.AddDir(mid, DirRec(name));
        AddFiles(b, leaf, kFilesPerLeaf, serial);
      }
    }
  }
  return b.FileList.size();
}

TOrvBurner &Filled() {
  static std::unique_ptr<TOrvBurner> b = [] {
    auto p = std::make_unique<TOrvBurner>();
    Fill(*p);
    return p;
  }();
  return *b;
}

void BM_Insert(benchmark::State &state) {
  TOrvBurner b;
  size_t entries = 0;
  for (auto _ : state)
    entries = Fill(b);
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["dirs"] = static_cast<double>(b.DirList.size());
  state.counters["peak_rss_MiB"] = PeakRSSMiB();
}

void BM_PrepareLayout(benchmark::State &state) {
  TOrvBurner &b = Filled();
  for (auto _ : state)
    benchmark::DoNotOptimize(b.PrepareLayout(true, nullptr));
  state.counters["entries"] = static_cast<double>(b.FileList.size());
  state.counters["dirs"] = static_cast<double>(b.DirList.size());
  state.counters["image_MiB"] = static_cast<double>(b.ImageEnd) / 512.0;
  state.counters["peak_rss_MiB"] = PeakRSSMiB();
}

void BM_BuildHeader(benchmark::State &state) {
  TOrvBurner &b = Filled();
  b.PrepareLayout(true, nullptr);
  for (auto _ : state)
    benchmark::DoNotOptimize(b.BuildHeader(true, nullptr));
  state.counters["header_MiB"] = static_cast<double>(b.HeaderImage.Size()) / 1048576.0;
  state.counters["peak_rss_MiB"] = PeakRSSMiB();
}

} // namespace

BENCHMARK(BM_Insert)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_PrepareLayout)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BuildHeader)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
