// Read-ahead cache: the exact byte stream, the queue bound, the end and stop
// paths, and the texts of its failures.
#include "ovCache.h"
#include "ovDrvLib.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto &b : v)
    b = static_cast<uint8_t>(rng());
  return v;
}

void Append(std::vector<uint8_t> &v, const std::vector<uint8_t> &data, size_t total) {
  v.insert(v.end(), data.begin(), data.begin() + std::min(data.size(), total));
  v.resize(v.size() + (total - std::min(data.size(), total)), 0);
  v.resize((v.size() + 2047) / 2048 * 2048, 0);
}

struct TDrained {
  std::vector<uint8_t> Bytes;
  std::vector<int32_t> Counts;
};

// Takes blocks like the write thread until GetBlock returns 0.
TDrained Drain(TCacheThread &c, std::chrono::milliseconds limit = 20s) {
  TDrained d;
  std::vector<uint8_t> buf(CacheBlockCapacity);
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const int32_t n = c.GetBlock(buf.data());
    if (n == 0)
      break;
    if (n < 0) {
      if (std::chrono::steady_clock::now() > until) {
        ADD_FAILURE() << "the cache never ended";
        break;
      }
      c.WaitForBlock(1);
      continue;
    }
    d.Counts.push_back(n);
    d.Bytes.insert(d.Bytes.end(), buf.begin(), buf.begin() + n);
  }
  return d;
}

bool WaitFor(const std::function<bool()> &cond, std::chrono::milliseconds limit = 10s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > until)
      return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class CacheTest : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/skarvo-cache-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string File(const std::string &name, const std::vector<uint8_t> &data) {
    const std::string p = (dir_ / name).string();
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char *>(data.data()), data.size());
    return p;
  }
  fs::path dir_;
  TSCSIDevice dev_;
};

TEST_F(CacheTest, CompilationStreamIsHeaderBootPaddingAndFilesSectorAligned) {
  const auto header = RandomBytes(3 * 2048, 1);
  const auto boot = RandomBytes(3000, 2);
  const auto a = RandomBytes(5000, 3);
  const auto b = RandomBytes(200000, 4);    // spans several blocks
  const auto shrunk = RandomBytes(3000, 5); // recorded with 10000 bytes
  const auto c = RandomBytes(2048, 6);

  TCacheThread::TParams p;
  p.CacheSize = 2097152;
  p.Header = header;
  p.BootImagePath = File("boot.img", boot);
  p.BootImageSectors = 2;
  p.PadSectors = 3;
  p.Files = {{File("a", a), 5000}, {"", 4096}, {File("empty", {}), 0}, {File("b", b), 200000},
             {File("shrunk", shrunk), 10000}, {File("c", c), 2048}};

  std::vector<uint8_t> expected;
  Append(expected, header, header.size());
  Append(expected, boot, 4096);
  Append(expected, {}, 3 * 2048);
  Append(expected, a, 5000);
  Append(expected, b, 200000);
  Append(expected, shrunk, 10000);
  Append(expected, c, 2048);
  p.ExpectedTotal = static_cast<int64_t>(expected.size());

  TCacheThread cache(dev_, std::move(p));
  const TDrained d = Drain(cache);
  EXPECT_TRUE(cache.Finished());
  EXPECT_EQ(cache.CacheError(), "");
  ASSERT_EQ(d.Bytes.size(), expected.size());
  EXPECT_TRUE(d.Bytes == expected);
  for (size_t i = 0; i < d.Counts.size(); ++i) {
    EXPECT_EQ(d.Counts[i] % 2048, 0);
    if (i + 1 < d.Counts.size()) {
      EXPECT_EQ(d.Counts[i], 65536) << "block " << i;
    }
  }
  EXPECT_EQ(cache.GetBlock(std::vector<uint8_t>(CacheBlockCapacity).data()), 0);
}

TEST_F(CacheTest, SmallSessionIsPaddedTo300SectorsOnlyWhenAsked) {
  for (bool pad : {true, false}) {
    TCacheThread::TParams p;
    p.Header = RandomBytes(100 * 2048, 7);
    p.ExpectedTotal = 100 * 2048;
    p.PadRequest = pad;
    TCacheThread cache(dev_, std::move(p));
    EXPECT_EQ(cache.PadToMinimum(), pad);
    const TDrained d = Drain(cache);
    EXPECT_EQ(d.Bytes.size(), pad ? 614400u : 204800u);
    EXPECT_TRUE(std::all_of(d.Bytes.begin() + 204800, d.Bytes.end(), [](uint8_t x) { return x == 0; }));
    EXPECT_EQ(cache.RemainingBytes(), 0);
  }
  // An image file is never padded.
  TCacheThread::TParams p;
  p.ImageFileName = File("small.iso", RandomBytes(4096, 8));
  p.ExpectedTotal = 4096;
  p.PadRequest = true;
  TCacheThread cache(dev_, std::move(p));
  EXPECT_FALSE(cache.PadToMinimum());
  EXPECT_EQ(Drain(cache).Bytes.size(), 4096u);
}

TEST_F(CacheTest, ImageFileOf3000BytesIsOneBlockOf4096) {
  const auto img = RandomBytes(3000, 9);
  TCacheThread::TParams p;
  p.ImageFileName = File("x.iso", img);
  p.ExpectedTotal = 4096;
  p.BlockSize = 55296;
  TCacheThread cache(dev_, std::move(p));
  EXPECT_EQ(CacheBlockSize.load(), 55296);
  const TDrained d = Drain(cache);
  ASSERT_EQ(d.Counts, std::vector<int32_t>{4096});
  EXPECT_TRUE(std::equal(img.begin(), img.end(), d.Bytes.begin()));
  EXPECT_TRUE(std::all_of(d.Bytes.begin() + 3000, d.Bytes.end(), [](uint8_t x) { return x == 0; }));
}

TEST_F(CacheTest, ImageFileShorterThanAnnouncedEndsAndLeavesNothingRemaining) {
  // Measured at 10 sectors, 3000 bytes when read: the cache delivers what
  // there is and ends, and nothing stays counted as still to come.
  const auto img = RandomBytes(3000, 21);
  TCacheThread::TParams p;
  p.ImageFileName = File("shrank.iso", img);
  p.ExpectedTotal = 10 * 2048;
  TCacheThread cache(dev_, std::move(p));
  const TDrained d = Drain(cache, 5s);
  EXPECT_EQ(d.Bytes.size(), 4096u);
  EXPECT_TRUE(cache.Finished());
  EXPECT_EQ(cache.RemainingBytes(), 0);
  EXPECT_FALSE(cache.HasError());
}

TEST_F(CacheTest, FileThatShrankKeepsItsRecordedLengthInWholeBlockReads) {
  // Read several blocks at a time; the source ends inside the second block.
  const auto data = RandomBytes(70000, 18);
  TCacheThread::TParams p;
  p.Files = {{File("shrank", data), 300000}, {File("next", RandomBytes(5, 19)), 5}};
  p.ExpectedTotal = 301056 + 2048;
  TCacheThread cache(dev_, std::move(p));
  const TDrained d = Drain(cache);
  ASSERT_EQ(d.Bytes.size(), 303104u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), d.Bytes.begin()));
  EXPECT_TRUE(std::all_of(d.Bytes.begin() + 70000, d.Bytes.begin() + 301056, [](uint8_t x) { return x == 0; }));
  const auto next = RandomBytes(5, 19);
  EXPECT_TRUE(std::equal(next.begin(), next.end(), d.Bytes.begin() + 301056));   // the next file's sector
}

TEST_F(CacheTest, CdBlocksHold27Sectors) {
  const auto img = RandomBytes(300000, 10);
  TCacheThread::TParams p;
  p.ImageFileName = File("cd.iso", img);
  p.ExpectedTotal = (300000 + 2047) / 2048 * 2048;
  p.BlockSize = 55296;
  TCacheThread cache(dev_, std::move(p));
  const TDrained d = Drain(cache);
  ASSERT_EQ(d.Counts.size(), 6u);
  for (size_t i = 0; i + 1 < d.Counts.size(); ++i)
    EXPECT_EQ(d.Counts[i], 55296);
  EXPECT_EQ(d.Counts.back(), 301056 - 5 * 55296);
}

TEST_F(CacheTest, GetBlockIsMinusOneWhileReadingAndZeroOnlyAfterFinished) {
  // The producer blocks opening a FIFO until the test starts writing to it.
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  TCacheThread::TParams p;
  p.Files = {{fifo, 4096}};
  p.ExpectedTotal = 4096;
  TCacheThread cache(dev_, std::move(p));
  std::vector<uint8_t> buf(CacheBlockCapacity);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(cache.GetBlock(buf.data()), -1);
  EXPECT_FALSE(cache.Finished());
  EXPECT_FALSE(cache.Primed());
  const int w = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(w, 0);
  ASSERT_EQ(write(w, "abc", 3), 3);
  close(w);
  int32_t n;
  while ((n = cache.GetBlock(buf.data())) == -1)
    cache.WaitForBlock(1);
  EXPECT_EQ(n, 4096);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf.data()), 3), "abc");
  EXPECT_TRUE(WaitFor([&] { return cache.Finished(); }));
  EXPECT_EQ(cache.GetBlock(buf.data()), 0);
}

TEST_F(CacheTest, QueueStaysBelowCacheSize) {
  const auto big = RandomBytes(6 << 20, 11);
  const std::string path = File("big", big);
  for (int32_t cacheSize : {2097152, 4194304}) {
    TCacheThread::TParams p;
    p.CacheSize = cacheSize;
    p.Files = {{path, static_cast<int64_t>(big.size())}};
    p.ExpectedTotal = static_cast<int64_t>(big.size());
    TCacheThread cache(dev_, std::move(p));
    const int32_t maxBlocks = cacheSize / 65536;
    EXPECT_EQ(cache.MaxBlocks(), maxBlocks);
    ASSERT_TRUE(WaitFor([&] { return cache.Primed(); }));
    std::this_thread::sleep_for(20ms);   // the producer now waits for room
    EXPECT_EQ(cache.BlockCount(), maxBlocks - 1);
    EXPECT_EQ(cache.PriorityLevel(), 0);   // idle while full
    EXPECT_FALSE(cache.Finished());
    const TDrained d = Drain(cache);
    EXPECT_TRUE(d.Bytes == big);
    EXPECT_EQ(cache.PeakBlocks(), maxBlocks - 1);
  }
}

TEST_F(CacheTest, HeaderLargerThanTheCachePrimesDuringTheHeader) {
  const auto header = RandomBytes(3 << 20, 12);
  TCacheThread::TParams p;
  p.CacheSize = 2097152;
  p.Header = header;
  p.ExpectedTotal = static_cast<int64_t>(header.size());
  TCacheThread cache(dev_, std::move(p));
  ASSERT_TRUE(WaitFor([&] { return cache.Primed(); }));
  EXPECT_FALSE(cache.Finished());
  EXPECT_LE(cache.BlockCount(), 31);
  EXPECT_TRUE(Drain(cache).Bytes == header);
}

TEST_F(CacheTest, MissingSourceEndsWithItsName) {
  const std::string missing = (dir_ / "gone \"x\".txt").string();
  TCacheThread::TParams p;
  p.Header = RandomBytes(2048, 13);
  p.Files = {{File("ok", RandomBytes(100, 14)), 100}, {missing, 5000}};
  p.ExpectedTotal = 2048 * 5;
  TCacheThread cache(dev_, std::move(p));
  ASSERT_TRUE(WaitFor([&] { return cache.Finished(); }));
  EXPECT_EQ(cache.CacheError(), "CAN'T OPEN FILE \"" + missing + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
  EXPECT_EQ(cache.CurrentFile(), missing);
  EXPECT_TRUE(cache.HasError());
  EXPECT_FALSE(cache.Primed());
}

TEST_F(CacheTest, ReadErrorIsNotTurnedIntoZeros) {
  // Reading /proc/self/mem at address 0 fails with EIO.
  TCacheThread::TParams p;
  p.Files = {{"/proc/self/mem", 8192}};
  p.ExpectedTotal = 8192;
  TCacheThread cache(dev_, std::move(p));
  ASSERT_TRUE(WaitFor([&] { return cache.Finished(); }));
  EXPECT_EQ(cache.CacheError(), "CAN'T READ FILE \"/proc/self/mem\"");
}

TEST_F(CacheTest, StopDiscardsTheQueueAndKeepsAWriterText) {
  const auto big = RandomBytes(4 << 20, 15);
  const std::string path = File("big", big);
  for (bool writerText : {false, true}) {
    TCacheThread::TParams p;
    p.CacheSize = 2097152;
    p.Files = {{path, static_cast<int64_t>(big.size())}};
    p.ExpectedTotal = static_cast<int64_t>(big.size());
    TCacheThread cache(dev_, std::move(p));
    ASSERT_TRUE(WaitFor([&] { return cache.Primed(); }));
    std::vector<uint8_t> buf(CacheBlockCapacity);
    EXPECT_EQ(cache.GetBlock(buf.data()), 65536);
    if (writerText)
      cache.SetCacheError("WRITER ERROR [MEDIUM ERROR]");
    cache.RequestStop();
    ASSERT_TRUE(WaitFor([&] { return cache.Finished(); }));
    EXPECT_EQ(cache.BlockCount(), 0);
    EXPECT_EQ(cache.GetBlock(buf.data()), 0);
    EXPECT_EQ(cache.CacheError(), writerText ? "WRITER ERROR [MEDIUM ERROR]" : "OPERATION ABORTED BY USER");
  }
}

TEST_F(CacheTest, StopWhileAConsumerTakesBlocksLosesNoCopy) {
  // A consumer takes blocks as fast as it can while the stop arrives: every
  // block it got is whole and in order, and it ends with 0.
  const auto big = RandomBytes(8 << 20, 16);
  TCacheThread::TParams p;
  p.CacheSize = 2097152;
  p.Files = {{File("big", big), static_cast<int64_t>(big.size())}};
  p.ExpectedTotal = static_cast<int64_t>(big.size());
  TCacheThread cache(dev_, std::move(p));
  std::vector<uint8_t> got;
  std::thread consumer([&] {
    std::vector<uint8_t> buf(CacheBlockCapacity);
    for (;;) {
      dev_.Lock();
      const int32_t n = cache.GetBlock(buf.data());
      dev_.Unlock();
      if (n == 0)
        break;
      if (n > 0)
        got.insert(got.end(), buf.begin(), buf.begin() + n);
    }
  });
  std::this_thread::sleep_for(5ms);
  cache.RequestStop();
  consumer.join();
  EXPECT_TRUE(cache.Finished());
  EXPECT_EQ(got.size() % 65536, 0u);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), big.begin()));
}

TEST_F(CacheTest, DestroyingARunningCacheStopsIt) {
  const auto big = RandomBytes(4 << 20, 17);
  TCacheThread::TParams p;
  p.CacheSize = 2097152;
  p.Files = {{File("big", big), static_cast<int64_t>(big.size())}};
  p.ExpectedTotal = static_cast<int64_t>(big.size());
  auto cache = std::make_unique<TCacheThread>(dev_, std::move(p));
  ASSERT_TRUE(WaitFor([&] { return cache->Primed(); }));
  const auto t0 = std::chrono::steady_clock::now();
  cache.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
}

} // namespace
