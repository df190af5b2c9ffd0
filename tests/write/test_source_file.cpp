// Opening the sources of an image and reading them by position, holes unread.
#include "ovSourceFile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto &c : s)
    c = static_cast<char>(rng());
  return s;
}

std::string ReadAll(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// Reads what is left of fd.
std::string ReadRest(int fd) {
  std::string s;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0)
    s.append(buf, static_cast<size_t>(n));
  return s;
}

class SourceTest : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/skarvo-source-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Make(const std::string &name, const std::string &data) {
    const fs::path p = dir_ / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << data;
    return p.string();
  }
  fs::path dir_;
};

TEST_F(SourceTest, OpensFilesOfManyFoldersInAnyOrder) {
  // The folder kept open must never answer for a file of another folder
  // with the same name.
  const std::string a1 = Make("a/same.txt", "first a"), a2 = Make("a/other.txt", "second a");
  const std::string b1 = Make("b/same.txt", "first b"), top = Make("top.txt", "top");
  TSourceOpener opener;
  for (const std::string &p : {a1, b1, a2, a1, top, b1}) {
    const auto s = opener.Open(p);
    ASSERT_NE(s, nullptr) << p;
    EXPECT_EQ(ReadRest(s->Handle), ReadAll(p)) << p;
  }
  // A relative path with no folder.
  const fs::path cwd = fs::current_path();
  fs::current_path(dir_);
  {
    const auto s = opener.Open("top.txt");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ReadRest(s->Handle), "top");
  }
  fs::current_path(cwd);
  errno = 0;
  EXPECT_EQ(opener.Open((dir_ / "a/missing.txt").string()), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(opener.Open((dir_ / "nofolder/x").string()), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(SourceTest, FileBeingWrittenIsRefusedAndAnOpenSourceCannotBeRecreated) {
  const std::string p = (dir_ / "img.iso").string();
  {
    TFileStreamEx writer(p, TFileStreamEx::fmCreate);
    ASSERT_EQ(writer.Write("complete image", 14), 14);
    TSourceOpener opener;
    errno = 0;
    EXPECT_EQ(opener.Open(p), nullptr);
    EXPECT_EQ(errno, EBUSY);
  }
  TSourceOpener opener;
  {
    const auto s = opener.Open(p);
    ASSERT_NE(s, nullptr);
    // While it is read, no stream of this program truncates it.
    EXPECT_THROW(TFileStreamEx(p, TFileStreamEx::fmCreate), EFOpenError);
    // Other readers still may read it.
    EXPECT_NE(opener.Open(p), nullptr);
    TFileStreamEx reader(p, TFileStreamEx::fmOpenRead | TFileStreamEx::fmShareDenyNone);
    EXPECT_EQ(ReadRest(s->Handle), "complete image");
  }
  // Closed: the lock went with it.
  EXPECT_NO_THROW(TFileStreamEx(p, TFileStreamEx::fmCreate));
}

TEST_F(SourceTest, ReadingLeavesTheAccessTimeOfOwnFiles) {
  const std::string p = Make("old.txt", "data");
  // An access time before the modification time: a relatime mount would
  // update it on the next read.
  struct timespec times[2] = {{1000000, 0}, {2000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
  struct stat st {};
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  if (st.st_uid != geteuid())
    GTEST_SKIP() << "the file is not ours";
  TSourceOpener opener;
  {
    const auto s = opener.Open(p);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ReadRest(s->Handle), "data");
  }
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000);
}

TEST_F(SourceTest, ReaderZeroesHolesAndReadsDataAcrossEveryBoundary) {
  // Data windows at odd offsets in a file of holes, the last at its end.
  const int64_t size = (5 << 20) + 777;
  const std::string path = (dir_ / "sparse.bin").string();
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, size), 0);
  const std::pair<int64_t, size_t> windows[] = {{1, 1000}, {(1 << 20) - 5, 10}, {(3 << 20) + 4095, 70000},
                                                {size - 500, 500}};
  unsigned seed = 20;
  for (const auto &[at, n] : windows)
    ASSERT_EQ(pwrite(fd, RandomBytes(n, seed++).data(), n, at), static_cast<ssize_t>(n));
  const std::string data = ReadAll(path);
  ASSERT_EQ(static_cast<int64_t>(data.size()), size);
  struct stat st {};
  ASSERT_EQ(fstat(fd, &st), 0);
  const bool holesKept = st.st_blocks * 512 < size / 2;

  TSourceReader reader;
  reader.Reset(fd, size);
  EXPECT_EQ(reader.Sparse(), holesKept);
  if (holesKept) {
    bool hole = false;
    EXPECT_GT(reader.Run(2 << 20, 4096, hole), 0);
    EXPECT_TRUE(hole);
    EXPECT_EQ(reader.Run(1, 100000, hole), 4095);   // the first window's page
    EXPECT_FALSE(hole);
  }
  // Buffers of odd sizes, in order and out of order, against the bytes.
  std::string got(size, '\x55');
  const int64_t pieces[] = {65536 * 3 + 11, 1 << 20, 5, (2 << 20) + 4096, size};
  int64_t pos = 0;
  for (int64_t n : pieces) {
    n = std::min(n, size - pos);
    struct iovec iov[3];
    const int64_t a = n / 3, b = n / 3;
    iov[0] = {got.data() + pos, static_cast<size_t>(a)};
    iov[1] = {got.data() + pos + a, static_cast<size_t>(b)};
    iov[2] = {got.data() + pos + a + b, static_cast<size_t>(n - a - b)};
    ASSERT_EQ(reader.ReadV(iov, 3, pos, n), n) << pos;
    pos += n;
  }
  EXPECT_TRUE(got == data);
  std::string back(4096, '\x55');
  EXPECT_EQ(reader.Read(back.data(), 4096, 0), 4096);
  EXPECT_EQ(back, data.substr(0, 4096));

  // Shrunk under the reader: the missing part ends the read (zeros for the
  // caller), and what is left reads as it is.
  ASSERT_EQ(ftruncate(fd, (3 << 20) + 10000), 0);
  std::string tail(100000, '\x55');
  const int64_t n = reader.Read(tail.data(), 100000, (3 << 20) + 4000);
  ASSERT_GE(n, 6000);
  EXPECT_EQ(tail.substr(0, 6000), data.substr((3 << 20) + 4000, 6000));
  EXPECT_EQ(tail.find_first_not_of('\0', 6000), n >= 100000 ? std::string::npos : static_cast<size_t>(n));
  close(fd);
}

} // namespace
