// Cost of the virtual recorder per command, through the ASPI entry points of
// the built libwnaspi32.so as the device layer calls them: 64 KiB WRITE(10)s
// (32 blocks) at the next writable address of a DVD+R, with the drive's clock
// at "as fast as the host", in a private drive folder under /tmp. Also READ(10)
// of the same size and TEST UNIT READY, the cheapest command. BM_Store64K is
// the reference: the same bytes written with pwrite to a file beside the
// drive's data, which is what any program storing them pays (as `cat` does);
// the recorder's own cost per write is BM_Write64K minus BM_Store64K.
#include "VRecorder.h"
#include "wnaspi32.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kBlocks = 32;  // 64 KiB

struct TRecorder {
  void *Lib = nullptr;
  PFN_SendASPI32Command Send = nullptr;
  std::string Root;
  uint8_t Target = 0;

  TRecorder() {
    char tmpl[] = "/tmp/skarvo-bench-vrec-XXXXXX";
    Root = mkdtemp(tmpl) ? tmpl : "/tmp";
    setenv("SKARVO_VDRIVES", (Root + "/drives").c_str(), 1);
    unsetenv("SKARVO_VDRIVE_CLOCK");
    std::string err;
    if (!vrec::PrepareDrivesFolder(err) || !vrec::AddDrive("bench", "dvd-writer", "", "", "", err) ||
        !vrec::SetSetting("bench", "clock", "0", err))
      std::fprintf(stderr, "bench_vrecorder: %s\n", err.c_str());
    Lib = dlopen(WNASPI32_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!Lib) {
      std::fprintf(stderr, "bench_vrecorder: %s\n", dlerror());
      std::exit(1);
    }
    reinterpret_cast<PFN_GetASPI32SupportInfo>(dlsym(Lib, "GetASPI32SupportInfo"))();
    Send = reinterpret_cast<PFN_SendASPI32Command>(dlsym(Lib, "SendASPI32Command"));
    std::vector<vrec::TDriveSummary> all;
    vrec::ListDrives(all, err);
    for (const vrec::TDriveSummary &d : all)
      if (d.Name == "bench")
        Target = uint8_t(d.Slot);
  }
  ~TRecorder() {
    dlclose(Lib);
    std::error_code ec;
    std::filesystem::remove_all(Root, ec);
  }

  // A fresh blank disc; the unit attention of the change is taken.
  void Insert(const char *media) {
    std::string err;
    if (!vrec::InsertMedium("bench", media, 0, "", false, err))
      std::fprintf(stderr, "bench_vrecorder: %s\n", err.c_str());
    uint8_t sense[18];
    Exec({0x03, 0, 0, 0, 18, 0}, SRB_DIR_IN, sense, sizeof sense);
  }

  uint8_t Exec(std::vector<uint8_t> cdb, uint8_t dir, void *buf, uint32_t len) {
    SRB_ExecSCSICmd srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = uint8_t(Target / 8);
    srb.SRB_Target = uint8_t(Target % 8);
    srb.SRB_Flags = dir;
    srb.SRB_BufLen = len;
    srb.SRB_BufPointer = static_cast<uint8_t *>(buf);
    srb.SRB_SenseLen = 18;
    srb.SRB_CDBLen = uint8_t(cdb.size());
    std::memcpy(srb.CDBByte, cdb.data(), cdb.size());
    Send(&srb);
    return srb.SRB_Status;
  }

  static std::vector<uint8_t> Rw(uint8_t op, uint32_t lba) {
    return {op, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0, 0, kBlocks, 0};
  }
};

TRecorder &Recorder() {
  static TRecorder r;
  return r;
}

std::vector<uint8_t> Payload(bool zeros) {
  std::vector<uint8_t> data(kBlocks * 2048, 0);
  if (!zeros)
    for (size_t i = 0; i < data.size(); ++i)
      data[i] = uint8_t(i * 131 + 7);
  return data;
}

void BM_Write64K(benchmark::State &state) {
  TRecorder &r = Recorder();
  std::vector<uint8_t> data = Payload(state.range(0) != 0);
  r.Insert("DVD+R");
  uint32_t lba = 0;
  for (auto _ : state) {
    if (lba + kBlocks > 2295104) {  // the disc is full: a new one, outside the timing
      state.PauseTiming();
      r.Insert("DVD+R");
      lba = 0;
      state.ResumeTiming();
    }
    if (r.Exec(TRecorder::Rw(0x2A, lba), SRB_DIR_OUT, data.data(), uint32_t(data.size())) != SS_COMP) {
      state.SkipWithError("WRITE(10) failed");
      break;
    }
    lba += kBlocks;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_Write64K)->Arg(0)->ArgName("zeros")->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_Store64K(benchmark::State &state) {
  TRecorder &r = Recorder();
  std::vector<uint8_t> data = Payload(state.range(0) != 0);
  const std::string path = r.Root + "/drives/store.img";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  uint64_t at = 0;
  for (auto _ : state) {
    if (at + data.size() > uint64_t(2295104) * 2048) {
      state.PauseTiming();
      close(fd);
      fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      at = 0;
      state.ResumeTiming();
    }
    if (pwrite(fd, data.data(), data.size(), off_t(at)) != ssize_t(data.size())) {
      state.SkipWithError("pwrite failed");
      break;
    }
    at += data.size();
  }
  close(fd);
  unlink(path.c_str());
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_Store64K)->Arg(0)->ArgName("zeros")->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_Read64K(benchmark::State &state) {
  TRecorder &r = Recorder();
  std::vector<uint8_t> data = Payload(false);
  r.Insert("DVD+R");
  for (uint32_t lba = 0; lba < 32 * kBlocks; lba += kBlocks)
    r.Exec(TRecorder::Rw(0x2A, lba), SRB_DIR_OUT, data.data(), uint32_t(data.size()));
  uint32_t lba = 0;
  for (auto _ : state) {
    if (r.Exec(TRecorder::Rw(0x28, lba), SRB_DIR_IN, data.data(), uint32_t(data.size())) != SS_COMP) {
      state.SkipWithError("READ(10) failed");
      break;
    }
    lba = (lba + kBlocks) % (32 * kBlocks);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_Read64K)->Unit(benchmark::kMicrosecond);

void BM_TestUnitReady(benchmark::State &state) {
  TRecorder &r = Recorder();
  r.Insert("DVD+R");
  for (auto _ : state)
    r.Exec({0, 0, 0, 0, 0, 0}, 0, nullptr, 0);
}
BENCHMARK(BM_TestUnitReady)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
