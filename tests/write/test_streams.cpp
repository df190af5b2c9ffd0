// 64-bit file streams: sizes past 4 GiB, open modes, sharing, failures.
#include "ovStreamEx.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class StreamTest : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/skarvo-stream-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string &name) const { return (dir_ / name).string(); }
  void WriteFile(const std::string &name, const std::string &data) {
    std::ofstream(Path(name), std::ios::binary) << data;
  }
  fs::path dir_;
};

TEST_F(StreamTest, GetSizeBeyond4GiBKeepsThePosition) {
  const std::string p = Path("big");
  {
    TFileStreamEx s(p, TFileStreamEx::fmCreate);
    const int64_t size = (int64_t(5) << 30) + 123;
    s.SetSize(size);
    EXPECT_EQ(s.Seek(0, TStreamEx::soCurrent), size);   // SetSize leaves the position at the new end
    EXPECT_EQ(s.Seek(int64_t(4) << 30, TStreamEx::soBeginning), int64_t(4) << 30);
    EXPECT_EQ(s.GetSize(), size);
    EXPECT_EQ(s.Seek(0, TStreamEx::soCurrent), int64_t(4) << 30);
    // A write past 4 GiB lands there, and reads back.
    EXPECT_EQ(s.Write("xyz", 3), 3);
    EXPECT_EQ(s.Seek(-3, TStreamEx::soCurrent), int64_t(4) << 30);
    char buf[3] = {};
    EXPECT_EQ(s.Read(buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "xyz");
    EXPECT_EQ(s.Seek(-10, TStreamEx::soEnd), size - 10);
  }
  EXPECT_EQ(fs::file_size(p), (uint64_t(5) << 30) + 123);
}

TEST_F(StreamTest, ReadAtEndAndOnABadHandleReturnZero) {
  WriteFile("a", "hello");
  TFileStreamEx s(Path("a"), TFileStreamEx::fmOpenRead | TFileStreamEx::fmShareDenyNone);
  char buf[16];
  EXPECT_EQ(s.Read(buf, 16), 5);
  EXPECT_EQ(s.Read(buf, 16), 0);
  EXPECT_EQ(s.LastError(), 0);   // end of file, not a failure

  THandleStreamEx bad(-1);
  EXPECT_EQ(bad.Read(buf, 16), 0);
  EXPECT_NE(bad.LastError(), 0);
  EXPECT_EQ(bad.Write(buf, 16), 0);
  EXPECT_EQ(bad.Seek(0, TStreamEx::soEnd), -1);
  EXPECT_THROW(bad.SetSize(10), EStreamError);
}

TEST_F(StreamTest, CreateTruncatesAnExistingFile) {
  WriteFile("t", std::string(10000, 'x'));
  {
    TFileStreamEx s(Path("t"), TFileStreamEx::fmCreate);
    EXPECT_EQ(s.GetSize(), 0);
  }
  EXPECT_EQ(fs::file_size(Path("t")), 0u);
}

TEST_F(StreamTest, OpenModesSelectTheAccess) {
  WriteFile("m", "abcdef");
  {
    TFileStreamEx r(Path("m"), TFileStreamEx::fmOpenRead | TFileStreamEx::fmShareDenyNone);
    EXPECT_EQ(r.Write("zz", 2), 0);   // read-only
    EXPECT_NE(r.LastError(), 0);
  }
  {
    TFileStreamEx w(Path("m"), TFileStreamEx::fmOpenWrite | TFileStreamEx::fmShareDenyNone);
    char c;
    EXPECT_EQ(w.Read(&c, 1), 0);   // write-only
    EXPECT_EQ(w.Write("ZZ", 2), 2);
    EXPECT_EQ(w.GetSize(), 6);      // opening does not truncate
  }
  {
    TFileStreamEx rw(Path("m"), TFileStreamEx::fmOpenReadWrite | TFileStreamEx::fmShareDenyNone);
    char buf[6];
    EXPECT_EQ(rw.Read(buf, 6), 6);
    EXPECT_EQ(std::string(buf, 6), "ZZcdef");
  }
  EXPECT_THROW(TFileStreamEx(Path("m"), 3), EFOpenError);   // no such access
}

TEST_F(StreamTest, OpenFailuresRaiseFromTheConstructor) {
  try {
    TFileStreamEx s(Path("missing"), 0x40);
    FAIL() << "opened a missing file";
  } catch (const EFOpenError &e) {
    EXPECT_EQ(e.ErrorCode, ENOENT);
  }
  EXPECT_THROW(TFileStreamEx(dir_.string(), 0x40), EFOpenError);                  // a folder
  EXPECT_THROW(TFileStreamEx(Path("no/such/dir/x"), TFileStreamEx::fmCreate), EFOpenError);
  if (geteuid() != 0) {
    WriteFile("locked", "secret");
    ASSERT_EQ(chmod(Path("locked").c_str(), 0), 0);
    EXPECT_THROW(TFileStreamEx(Path("locked"), 0x40), EFOpenError);
  }
}

TEST_F(StreamTest, SharingBetweenStreams) {
  const std::string p = Path("shared");
  TFileStreamEx writer(p, TFileStreamEx::fmCreate);   // exclusive
  // A second creator or an exclusive opener is refused, and the refused
  // create does not truncate what the first one wrote.
  EXPECT_EQ(writer.Write("data", 4), 4);
  EXPECT_THROW(TFileStreamEx(p, TFileStreamEx::fmCreate), EFOpenError);
  EXPECT_THROW(TFileStreamEx(p, TFileStreamEx::fmOpenRead | TFileStreamEx::fmShareExclusive), EFOpenError);
  EXPECT_EQ(fs::file_size(p), 4u);
}

TEST_F(StreamTest, ReadersThatShareOpenAFileOthersWrite) {
  const std::string p = Path("log");
  WriteFile("log", "");
  // Another program holds the file open for writing and lets others read.
  const int other = open(p.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(other, 0);
  ASSERT_EQ(write(other, "0123456789", 10), 10);
  {
    TFileStreamEx r(p, TFileStreamEx::fmOpenRead | TFileStreamEx::fmShareDenyNone);
    EXPECT_EQ(r.GetSize(), 10);
    TFileStreamEx r2(p, TFileStreamEx::fmOpenRead | TFileStreamEx::fmShareDenyWrite);   // two deny-write readers
    TFileStreamEx r3(p, TFileStreamEx::fmOpenRead | TFileStreamEx::fmShareDenyWrite);
    EXPECT_THROW(TFileStreamEx(p, TFileStreamEx::fmOpenRead | TFileStreamEx::fmShareExclusive), EFOpenError);
  }
  close(other);
}

TEST_F(StreamTest, HandleIsClosedByTheDestructor) {
  WriteFile("h", "x");
  int fd;
  {
    TFileStreamEx s(Path("h"), 0x40);
    fd = s.Handle;
    EXPECT_GE(fcntl(fd, F_GETFD), 0);
  }
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

// Pages of [from, to) of fd that are in the page cache.
size_t ResidentPages(int fd, int64_t from, int64_t to) {
  const long page = sysconf(_SC_PAGESIZE);
  void *map = mmap(nullptr, static_cast<size_t>(to - from), PROT_READ, MAP_SHARED, fd, from);
  if (map == MAP_FAILED)
    return SIZE_MAX;
  std::vector<unsigned char> vec(static_cast<size_t>((to - from + page - 1) / page));
  const bool ok = mincore(map, static_cast<size_t>(to - from), vec.data()) == 0;
  munmap(map, static_cast<size_t>(to - from));
  size_t n = 0;
  for (unsigned char v : vec)
    n += v & 1;
  return ok ? n : SIZE_MAX;
}

// A file written behind keeps every byte, and what is on the disk already
// leaves the page cache: a large image does not fill the memory with its
// dirty pages, and its final sync has only the last steps left.
TEST_F(StreamTest, WriteBehindKeepsTheBytesAndDropsWhatIsOnTheDisk) {
  struct statfs sf {};
  ASSERT_EQ(statfs(dir_.c_str(), &sf), 0);
  if (sf.f_type == 0x01021994)   // tmpfs: the page cache is the storage
    GTEST_SKIP() << "the temporary folder is in memory";
  constexpr int64_t kStep = 256 << 10, kInFlight = 1 << 20, kTotal = 8 << 20;
  TFileStreamEx f(Path("behind"), TFileStreamEx::fmCreate);
  TWriteBehind behind(f.Handle, kStep, kInFlight);
  std::string chunk(100000, '\0');   // not a divisor of the step
  int64_t written = 0;
  for (unsigned k = 0; written < kTotal; ++k) {
    for (size_t i = 0; i < chunk.size(); ++i)
      chunk[i] = static_cast<char>((written + static_cast<int64_t>(i)) * 131 + k);
    ASSERT_EQ(f.Write(chunk.data(), static_cast<int32_t>(chunk.size())), static_cast<int32_t>(chunk.size()));
    written += static_cast<int64_t>(chunk.size());
    behind.Written(written);
  }
  // Everything but the steps still in flight has left the cache.
  const int64_t settledEnd = kTotal - kInFlight - 2 * kStep;
  const size_t resident = ResidentPages(f.Handle, 0, settledEnd);
  ASSERT_NE(resident, SIZE_MAX);
  EXPECT_LT(resident, static_cast<size_t>(settledEnd / sysconf(_SC_PAGESIZE) / 10));
  ASSERT_EQ(f.CloseWritten(), 0);

  const std::string back = [&] {
    std::ifstream in(Path("behind"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  ASSERT_EQ(static_cast<int64_t>(back.size()), written);
  int64_t at = 0;
  for (unsigned k = 0; at < written; ++k)
    for (size_t i = 0; i < chunk.size(); ++i, ++at)
      ASSERT_EQ(back[static_cast<size_t>(at)], static_cast<char>(at * 131 + k)) << "byte " << at;
}

} // namespace
