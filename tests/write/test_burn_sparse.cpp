// Sparse sources: their holes are not read, and every path still yields the
// source's bytes: image files (quick and threaded) and a burn, read back by
// independent readers.
#include "BurnFixture.h"
#include "ImageCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class SparseBurnTest : public BurnTest {
protected:
  // A file of Size bytes that is a hole but for the data windows (offset,
  // length); returns its bytes.
  std::string Sparse(const std::string &name, int64_t size, const std::vector<std::pair<int64_t, size_t>> &windows) {
    const std::string p = src_ + "/" + name;
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::ftruncate(fd, size), 0);
    std::mt19937 rng(static_cast<unsigned>(size));
    for (const auto &[at, n] : windows) {
      std::string s(n, '\0');
      for (auto &c : s)
        c = static_cast<char>(rng() | 1);
      EXPECT_EQ(::pwrite(fd, s.data(), n, at), static_cast<ssize_t>(n));
    }
    ::close(fd);
    return ReadFile(p);
  }

  // Extracts Image with Command (IMG and DIR replaced) and compares every
  // source with its extracted copy.
  void ExpectExtracted(const std::string &image, const std::string &how) {
    const std::string dir = root_ + "/x-" + std::to_string(++extracts_);
    fs::create_directories(dir);
    std::string cmd = how, out;
    cmd.replace(cmd.find("IMG"), 3, image);
    cmd.replace(cmd.find("DIR"), 3, dir);
    ASSERT_EQ(check_test::RunCommand(cmd, &out), 0) << cmd << "\n" << out;
    for (const auto &[name, bytes] : sources_) {
      const std::string got = ReadFile(dir + "/" + name);
      EXPECT_EQ(got.size(), bytes.size()) << how << " " << name;
      EXPECT_TRUE(got == bytes) << how << " " << name;
    }
  }

  std::map<std::string, std::string> sources_;
  int extracts_ = 0;
};

TEST_F(SparseBurnTest, SparseSourcesComeOutWholeFromImagesAndABurn) {
  const int64_t kBlock = 65536, kMiB = 1 << 20;
  const int64_t size = 9 * kMiB + 777;
  // Windows inside a block, across a block, across a read batch, across a
  // step of the kernel copy, and at the end.
  sources_["windows.bin"] = Sparse("windows.bin", size,
                                   {{3, 100}, {5 * kBlock - 50, 120}, {kMiB - 7, 20},
                                    {8 * kMiB - 3000, 6001}, {size - 333, 333}});
  sources_["allhole.bin"] = Sparse("allhole.bin", 3 * kMiB + 5, {});
  // Ends in a hole at a sector boundary: the last file of the image.
  sources_["zz_tail.bin"] = Sparse("zz_tail.bin", 2 * kMiB, {{kMiB + 1, 4000}});
  Source("dense.bin", 2 * kMiB + 1, 5);
  sources_["dense.bin"] = ReadFile(src_ + "/dense.bin");

  Drive("DVD+R");
  Compile();
  TOrvBurner &b = Burner();
  const std::string quick = root_ + "/q.iso", threaded = root_ + "/t.iso";
  ASSERT_TRUE(b.SaveImageFile(quick, true)) << error_;
  EXPECT_EQ(error_, "");
  const int64_t imageBytes = static_cast<int64_t>(b.SectorsToWrite) * 2048;
  done_ = 0;
  ASSERT_TRUE(b.SaveImageFile(threaded, false));
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(error_, "");
  EXPECT_EQ(static_cast<int64_t>(fs::file_size(quick)), imageBytes);
  EXPECT_EQ(static_cast<int64_t>(fs::file_size(threaded)), imageBytes);
  // The header holds the time of each build; the files must be equal.
  const size_t first = static_cast<size_t>(b.FirstFileAddress) * 2048;
  EXPECT_TRUE(ReadFile(quick).substr(first) == ReadFile(threaded).substr(first));
  // Where the file system keeps holes, the quick image keeps them too.
  struct stat src {}, img {};
  ASSERT_EQ(::stat((src_ + "/allhole.bin").c_str(), &src), 0);
  ASSERT_EQ(::stat(quick.c_str(), &img), 0);
  if (src.st_blocks == 0)
    EXPECT_LT(img.st_blocks * 512, imageBytes / 2);
  std::string report;
  EXPECT_EQ(check_test::CheckImageFile(quick, &report, "--quiet"), 0) << report;

  ExpectExtracted(quick, "xorriso -osirrox on -indev IMG -extract / DIR");
  ExpectExtracted(threaded, "bsdtar -x -f IMG -C DIR");

  ASSERT_EQ(BurnAndWait(), "");
  const std::string disc = root_ + "/disc.iso";
  std::string err;
  ASSERT_TRUE(vrec::ExportMedium("w", disc, 0, err)) << err;
  ExpectExtracted(disc, "xorriso -osirrox on -indev IMG -extract / DIR");
}

} // namespace
