// Benchmarks of the compilation tree: insertion of large synthetic
// compilations, alias numbering under heavy collisions, numbering, removal.
#include "SyntheticTree.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

double PeakRssMiB() {
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

// Reset + insertion of 600,000 files in 20,000 folders.
void BM_ResetAndInsert(benchmark::State &state) {
  const int dirs = static_cast<int>(state.range(0));
  const int64_t files = state.range(1);
  const synthetic::TListing listing = synthetic::MakeListing(dirs, files);
  TOrvBurner b;
  for (auto _ : state) {
    if (!synthetic::InsertListing(b, listing))
      state.SkipWithError("insertion failed");
    benchmark::DoNotOptimize(b.FileCount());
  }
  state.SetItemsProcessed(state.iterations() * (files + dirs));
  state.counters["entries"] = static_cast<double>(b.FileCount());
  state.counters["peak_MiB"] = PeakRssMiB();
}
BENCHMARK(BM_ResetAndInsert)->Args({20000, 600000})->Unit(benchmark::kMillisecond)->Iterations(3);

// The same number of files in one folder and in 50 folders: the cost per
// file must be the same.
void BM_FilesPerFolder(benchmark::State &state) {
  const int folders = static_cast<int>(state.range(0));
  const int64_t perFolder = state.range(1);
  synthetic::TListing listing = synthetic::MakeListing(folders, 0);
  // Put every file into the folders (not the root) with colliding names.
  for (int f = 1; f <= folders; ++f) {
    auto &list = listing.Folders[static_cast<size_t>(f)].Files;
    for (int64_t k = 0; k < perFolder; ++k) {
      TSearchRec r;
      r.Name = "Holiday photograph " + std::to_string(k) + ".jpeg";
      r.Attr = ov::faArchive;
      r.Size = 4096;
      r.Time = 40000;
      list.push_back(std::move(r));
    }
  }
  listing.FileCount = folders * perFolder;
  for (auto _ : state) {
    // Aliases are assigned per listing, so they are part of the cost.
    for (auto &f : listing.Folders)
      ov::AssignAliases(f.Files);
    TOrvBurner b;
    if (!synthetic::InsertListing(b, listing))
      state.SkipWithError("insertion failed");
  }
  state.SetItemsProcessed(state.iterations() * listing.FileCount);
}
BENCHMARK(BM_FilesPerFolder)->Args({1, 50000})->Args({50, 1000})->Unit(benchmark::kMillisecond);

// Alias numbering when every name collides on its first characters.
void BM_AliasCollisions(benchmark::State &state) {
  std::vector<TSearchRec> recs(static_cast<size_t>(state.range(0)));
  for (size_t i = 0; i < recs.size(); ++i)
    recs[i].Name = "Document version " + std::to_string(i) + " final.txt";
  for (auto _ : state) {
    ov::AssignAliases(recs);
    benchmark::DoNotOptimize(recs.back().ShortName);
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AliasCollisions)->RangeMultiplier(4)->Range(1 << 10, 1 << 18)->Complexity()->Unit(benchmark::kMillisecond);

// Names of one folder that our cleaning makes equal: "file" and 17
// characters each ":" or "?", all stored as "file_________________.txt", so
// every name after the first needs a free " (k)" suffix.
void BM_CollidingNamesOneFolder(benchmark::State &state) {
  const int64_t n = state.range(0);
  std::vector<TSearchRec> recs(static_cast<size_t>(n));
  for (int64_t k = 0; k < n; ++k) {
    std::string name = "file";
    for (int bit = 16; bit >= 0; --bit)
      name += (k >> bit) & 1 ? '?' : ':';
    recs[static_cast<size_t>(k)].Name = name + ".txt";
    recs[static_cast<size_t>(k)].Attr = ov::faArchive;
    recs[static_cast<size_t>(k)].Size = 100;
    recs[static_cast<size_t>(k)].Time = 40000;
  }
  ov::AssignAliases(recs);
  TOrvBurner b;
  for (auto _ : state) {
    b.ResetCompilation(static_cast<int32_t>(n) + 1, 10);
    for (const TSearchRec &r : recs)
      if (b.AddFile(b.Root(), r, false, 0, "/bench/" + r.Name) != 1)
        state.SkipWithError("a name was not added");
  }
  state.counters["entries"] = static_cast<double>(b.FileCount());
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_CollidingNamesOneFolder)->Arg(4000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);

// Path-table numbering of 20,000 folders.
void BM_NumberDirectories(benchmark::State &state) {
  TOrvBurner b;
  synthetic::FillSyntheticTree(b, static_cast<int>(state.range(0)), 0);
  for (auto _ : state)
    b.NumberDirectories();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_NumberDirectories)->Arg(20000)->Unit(benchmark::kMillisecond);

// RemoveEmptyDirs over 20,000 folders, half of the leaves empty.
void BM_RemoveEmptyDirs(benchmark::State &state) {
  const synthetic::TListing listing = synthetic::MakeListing(20000, 100000);
  for (auto _ : state) {
    state.PauseTiming();
    TOrvBurner b;
    synthetic::InsertListing(b, listing);
    state.ResumeTiming();
    b.RemoveEmptyDirs();
    benchmark::DoNotOptimize(b.DirCount());
  }
}
BENCHMARK(BM_RemoveEmptyDirs)->Unit(benchmark::kMillisecond)->Iterations(3);

// InsertDir over real files: 100 folders of 200 small files on /tmp, so the
// listing (readdir, stat, extended attribute) is part of the cost.
void BM_InsertDirRealFiles(benchmark::State &state) {
  char tmpl[] = "/tmp/skarvo-bench-tree-XXXXXX";
  if (!mkdtemp(tmpl)) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string root = std::string(tmpl) + "/";
  for (int d = 0; d < 100; ++d) {
    const std::string dir = root + "Folder " + std::to_string(d) + "/";
    mkdir(dir.c_str(), 0755);
    for (int f = 0; f < 200; ++f)
      if (FILE *fp = std::fopen((dir + "Picture taken on holiday " + std::to_string(f) + ".jpeg").c_str(), "w")) {
        std::fputs("data", fp);
        std::fclose(fp);
      }
  }
  TOrvBurner b;
  for (auto _ : state) {
    b.ResetCompilation(65535, 8191);
    if (!b.InsertDir(b.Root(), root, false, false, true, 63, "*.*"))
      state.SkipWithError("insertion failed");
  }
  state.SetItemsProcessed(state.iterations() * b.FileCount());
  std::system(("rm -rf '" + root + "'").c_str());
}
BENCHMARK(BM_InsertDirRealFiles)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
