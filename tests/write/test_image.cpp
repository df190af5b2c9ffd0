// Image files written by SaveImageFile: the threaded path through the cache
// and the write thread, the quick path, and how each ends.
#include "ovCDBC.h"
#include "ovCache.h"
#include "ovSync.h"
#include "ovWrite.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string ReadAll(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

std::string RandomText(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto &c : s)
    c = static_cast<char>(rng());
  return s;
}

class ImageTest : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/skarvo-image-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::create_directories(dir_ / "src");
    b_ = std::make_unique<TOrvBurner>();
    b_->OnWriteDone = [this](TObject *sender, const std::string &error) {
      ++doneCount_;
      doneError_ = error;
      doneOnMain_ = std::this_thread::get_id() == mainId_;
      doneSender_ = sender;
      doneCurrentFile_ = b_->CurrentFile();
    };
    b_->OnDebugMessage = [this](TObject *, const std::string &m, uint8_t) { log_ += m + "\n"; };
  }
  void TearDown() override {
    b_.reset();
    fs::remove_all(dir_);
  }
  std::string Src(const std::string &name, const std::string &data) {
    const fs::path p = dir_ / "src" / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << data;
    return p.string();
  }
  std::string Out(const std::string &name) const { return (dir_ / name).string(); }
  // Fills the compilation from src and lays it out for an image file.
  void Fill() {
    b_->ResetCompilation(65535, 8191);
    ASSERT_TRUE(b_->InsertDir(b_->Root(), (dir_ / "src").string() + "/", false, false, true));
    b_->RemoveEmptyDirs();
    b_->PrepareLayout(true, nullptr);
  }
  // Pumps the main thread's queue until OnWriteDone ran.
  bool WaitDone(std::chrono::milliseconds limit = 20s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (doneCount_ == 0) {
      if (std::chrono::steady_clock::now() > until)
        return false;
      ov::CheckSynchronize(10);
    }
    return true;
  }
  // Every file's data sits at the sector the layout gave it, zero-padded.
  void ExpectFilesAtTheirSectors(const std::string &image) {
    const std::string img = ReadAll(image);
    int files = 0;
    for (const TFEntry *e : b_->FileList) {
      if (e->IsDir() || !e->HasSource() || e->Size == 0)
        continue;
      ++files;
      const size_t at = (static_cast<size_t>(b_->FirstFileAddress) + e->ISOAddress) * 2048;
      const std::string data = ReadAll(e->SourcePath());
      ASSERT_LE(at + data.size(), img.size()) << e->SourcePath();
      EXPECT_EQ(img.compare(at, data.size(), data), 0) << e->SourcePath();
      const size_t end = (at + data.size() + 2047) / 2048 * 2048;
      EXPECT_EQ(img.find_first_not_of('\0', at + data.size()) >= end, true) << "padding of " << e->SourcePath();
    }
    EXPECT_GT(files, 0);
  }

  fs::path dir_;
  std::unique_ptr<TOrvBurner> b_;
  std::thread::id mainId_ = std::this_thread::get_id();
  int doneCount_ = 0;
  std::string doneError_ = "unset";
  bool doneOnMain_ = false;
  TObject *doneSender_ = nullptr;
  std::string doneCurrentFile_;
  std::string log_;
};

TEST_F(ImageTest, ThreadedImageHoldsHeaderAndFilesAndReportsOnTheMainThread) {
  Src("a.txt", RandomText(5000, 1));
  Src("sub/b.bin", RandomText(1 << 20, 2));
  Src("sub/c.bin", RandomText(65536 * 3 + 100, 3));
  Src("zero.txt", "");
  Fill();
  b_->SetCacheSize(2097152);
  const int64_t sectors = b_->SessionSectors();
  const std::string out = Out("t.iso");
  ASSERT_TRUE(b_->SaveImageFile(out, false));
  EXPECT_EQ(b_->ISOFileName, out);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(doneError_, "");
  EXPECT_TRUE(doneOnMain_);
  EXPECT_EQ(doneSender_, b_.get());
  EXPECT_EQ(doneCount_, 1);
  EXPECT_EQ(b_->WriteDoneText, "");
  EXPECT_EQ(static_cast<int64_t>(fs::file_size(out)), sectors * 2048);
  EXPECT_EQ(b_->BytesWritten.load(), sectors * 2048);
  const std::string img = ReadAll(out);
  EXPECT_EQ(img.substr(16 * 2048 + 1, 5), "CD001");
  ExpectFilesAtTheirSectors(out);
  EXPECT_EQ(b_->HeaderImage.Size(), 0);   // released once queued
  EXPECT_EQ(b_->CurrentFile(), "");
}

TEST_F(ImageTest, QuickImageEqualsTheThreadedOneAndNeedsNoThread) {
  Src("one.bin", RandomText(70000, 4));
  Src("two/three.bin", RandomText(2 << 20, 5));
  Src("two/four.txt", RandomText(10, 6));
  Fill();
  b_->ISOFileName = "unchanged";
  ASSERT_TRUE(b_->SaveImageFile(Out("q.iso"), true));
  EXPECT_EQ(doneCount_, 1);   // raised before SaveImageFile returned
  EXPECT_EQ(doneError_, "");
  EXPECT_TRUE(doneOnMain_);
  EXPECT_EQ(b_->ISOFileName, "unchanged");
  // The quick path reports its progress as the threaded one does.
  EXPECT_EQ(b_->BytesWritten.load(), static_cast<int64_t>(ReadAll(Out("q.iso")).size()));
  ExpectFilesAtTheirSectors(Out("q.iso"));
  EXPECT_EQ(log_.find("INTERNAL ERROR"), std::string::npos) << log_;

  doneCount_ = 0;
  Fill();
  ASSERT_TRUE(b_->SaveImageFile(Out("t.iso"), false));
  ASSERT_TRUE(WaitDone());
  const std::string q = ReadAll(Out("q.iso")), t = ReadAll(Out("t.iso"));
  ASSERT_EQ(q.size(), t.size());
  // The dates of the descriptors and records may differ; the data may not.
  const size_t first = static_cast<size_t>(b_->FirstFileAddress) * 2048;
  EXPECT_EQ(q.compare(first, std::string::npos, t, first, std::string::npos), 0);
}

TEST_F(ImageTest, QuickPathCopiesLargeSourcesExactlyWhereverTheyLie) {
  // Large sources go through the kernel's copy where it can: from the same
  // disk, from a file system in memory (where it may refuse and reads take
  // over), and sources that shrank or grew since the layout.
  const std::string big = RandomText((2 << 20) + 1000, 7), mem = RandomText((3 << 20) + 5, 8);
  const std::string shrinks = RandomText(2 << 20, 9), grows = RandomText((1 << 20) + 10, 10);
  Src("big.bin", big);
  Src("shrinks.bin", shrinks);
  Src("grows.bin", grows);
  Src("small.txt", "between the large ones");
  const std::string memPath = "/dev/shm/skarvo-image-" + std::to_string(getpid());
  const bool haveMem = static_cast<bool>(std::ofstream(memPath, std::ios::binary) << mem);
  if (haveMem)
    fs::create_symlink(memPath, dir_ / "src" / "mem.bin");
  Fill();
  fs::resize_file(dir_ / "src" / "shrinks.bin", (3 << 19) + 3);
  std::ofstream(dir_ / "src" / "grows.bin", std::ios::binary | std::ios::app) << "more than the layout knows";
  ASSERT_TRUE(b_->SaveImageFile(Out("q.iso"), true));
  EXPECT_EQ(doneError_, "");
  // The threaded path reads every source; the same layout.
  doneCount_ = 0;
  ASSERT_TRUE(b_->SaveImageFile(Out("t.iso"), false));
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(doneError_, "");
  if (haveMem)
    fs::remove(memPath);

  const std::string q = ReadAll(Out("q.iso")), t = ReadAll(Out("t.iso"));
  ASSERT_EQ(q.size(), t.size());
  const size_t first = static_cast<size_t>(b_->FirstFileAddress) * 2048;
  EXPECT_EQ(q.compare(first, std::string::npos, t, first, std::string::npos), 0);
  std::map<std::string, std::string> expected = {{"big.bin", big},
                                                 {"shrinks.bin", shrinks.substr(0, (3 << 19) + 3)},
                                                 {"grows.bin", grows}};
  if (haveMem)
    expected["mem.bin"] = mem;
  size_t checked = 0;
  for (const TFEntry *e : b_->FileList) {
    const auto it = expected.find(fs::path(e->SourcePath()).filename().string());
    if (it == expected.end())
      continue;
    ++checked;
    const size_t at = (static_cast<size_t>(b_->FirstFileAddress) + e->ISOAddress) * 2048;
    const size_t end = at + static_cast<size_t>(e->Size);
    ASSERT_LE((end + 2047) / 2048 * 2048, q.size()) << it->first;
    EXPECT_EQ(q.compare(at, it->second.size(), it->second), 0) << it->first;
    // What the source no longer has, and the sector's rest, are zeros.
    EXPECT_GE(q.find_first_not_of('\0', at + it->second.size()), (end + 2047) / 2048 * 2048) << it->first;
  }
  EXPECT_EQ(checked, expected.size());
}

TEST_F(ImageTest, SmallSessionIsPaddedTo300SectorsOnTheThreadedPathOnly) {
  Src("tiny.txt", "tiny");
  for (bool postGap : {true, false}) {
    b_->WritePostGap = postGap;
    Fill();
    const int64_t imageSectors = b_->SectorsToWrite;
    ASSERT_LT(imageSectors, 300);
    doneCount_ = 0;
    ASSERT_TRUE(b_->SaveImageFile(Out("s.iso"), false));
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(Out("s.iso"))), postGap ? 614400 : imageSectors * 2048);
    EXPECT_EQ(b_->BytesWritten.load(), postGap ? 614400 : imageSectors * 2048);
    doneCount_ = 0;
    Fill();
    ASSERT_TRUE(b_->SaveImageFile(Out("sq.iso"), true));
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(Out("sq.iso"))), imageSectors * 2048);
  }
}

TEST_F(ImageTest, BootImageGoesBeforeTheFilesOnBothPaths) {
  const std::string boot = (dir_ / "boot.img").string();
  std::ofstream(boot, std::ios::binary) << RandomText(5000, 7);   // 3 sectors, the last part zeros
  Src("f.bin", RandomText(9000, 8));
  for (bool quick : {false, true}) {
    b_->Bootable = true;
    b_->BootImage = boot;
    Fill();
    ASSERT_TRUE(b_->Bootable);
    log_.clear();
    doneCount_ = 0;
    ASSERT_TRUE(b_->SaveImageFile(Out("b.iso"), quick));
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(doneError_, "");
    const std::string img = ReadAll(Out("b.iso"));
    const size_t at = static_cast<size_t>(b_->BootImageAddress) * 2048;
    EXPECT_EQ(img.compare(at, 5000, ReadAll(boot)), 0);
    EXPECT_EQ(img.find_first_not_of('\0', at + 5000) >= at + 6144, true);
    ExpectFilesAtTheirSectors(Out("b.iso"));
    EXPECT_EQ(log_.find("INTERNAL ERROR 0004"), std::string::npos) << log_;
  }
}

TEST_F(ImageTest, UncreatableImageIsReportedThroughOnWriteDoneWithTheReason) {
  Src("a.txt", "a");
  const std::string missing = Out("no/such/folder/x.iso");
  const std::string folder = Out("");
  for (const auto &[bad, reason] : {std::pair{missing, "No such file or directory"}, {folder, "Is a directory"}}) {
    doneCount_ = 0;
    Fill();
    ASSERT_TRUE(b_->SaveImageFile(bad, false));
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(doneError_, "CAN'T CREATE FILE \"" + bad + "\" [" + reason + "]");
    EXPECT_TRUE(doneOnMain_);
    EXPECT_FALSE(TOrvBurner::WriteRunning());

    doneCount_ = 0;
    Fill();
    EXPECT_FALSE(b_->SaveImageFile(bad, true));
    EXPECT_EQ(doneError_, "CAN'T CREATE FILE \"" + bad + "\" [" + reason + "]");
  }
}

TEST_F(ImageTest, FailedWritesAreNotReportedAsSuccess) {
  Src("a.bin", RandomText(300000, 9));
  for (bool quick : {false, true}) {
    Fill();
    doneCount_ = 0;
    b_->SaveImageFile("/dev/full", quick);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(doneError_, "CAN'T WRITE FILE \"/dev/full\" [No space left on device]") << "quick " << quick;
  }
}

TEST_F(ImageTest, CompilationTheHeaderCannotDescribeWritesNothing) {
  // Path-table records name their parent with 16 bits: 65,536 directories
  // cannot be described, and no image may pretend otherwise.
  b_->ResetCompilation(70000, 70000);
  for (int i = 0; i < 65536; ++i)
    ASSERT_NE(b_->CreateDir(b_->Root(), "D" + std::to_string(i), ov::faDirectory), nullptr);
  for (bool quick : {false, true}) {
    doneCount_ = 0;
    const std::string image = Out(quick ? "q.iso" : "t.iso");
    EXPECT_FALSE(b_->SaveImageFile(image, quick)) << "quick " << quick;
    EXPECT_EQ(doneCount_, 1);
    EXPECT_EQ(doneError_, "CAN'T BUILD THE IMAGE HEADER");
    EXPECT_FALSE(fs::exists(image));
    EXPECT_FALSE(TOrvBurner::WriteRunning());
  }
  EXPECT_NE(log_.find("TOO MANY DIRECTORIES"), std::string::npos) << log_;
}

TEST_F(ImageTest, SourceMissingBeforeTheCacheIsPrimedEndsInTheCaller) {
  const std::string gone = Src("gone.txt", "soon gone");
  Fill();
  fs::remove(gone);
  EXPECT_FALSE(b_->SaveImageFile(Out("m.iso"), false));
  EXPECT_EQ(doneCount_, 1);   // raised before SaveImageFile returned
  EXPECT_EQ(doneError_, "CAN'T OPEN FILE \"" + gone + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
  EXPECT_EQ(b_->CurrentFile(), gone);
  EXPECT_FALSE(fs::exists(Out("m.iso")));   // the writer never started
  EXPECT_FALSE(TOrvBurner::WriteRunning());
}

TEST_F(ImageTest, SourceMissingAfterTheWriteStartedIsNotLost) {
  Src("1-big.bin", RandomText(6 << 20, 10));
  const std::string gone = Src("2-gone.txt", "soon gone");
  Fill();
  b_->SetCacheSize(2097152);
  fs::remove(gone);
  ASSERT_TRUE(b_->SaveImageFile(Out("m.iso"), false));
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(doneError_, "CAN'T OPEN FILE \"" + gone + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
  EXPECT_EQ(doneCurrentFile_, gone);
  EXPECT_EQ(b_->CurrentFile(), "");
}

// A FIFO in place of a source keeps the cache waiting in its open after the
// queue was primed, so the write is reliably still running.
class RunningWriteTest : public ImageTest {
protected:
  void StartBlockedWrite() {
    Src("1-big.bin", RandomText(3 << 20, 11));
    const std::string f = Src("2-fifo", "x");
    Fill();
    b_->SetCacheSize(2097152);
    fs::remove(f);
    ASSERT_EQ(mkfifo(f.c_str(), 0600), 0);
    fifo_ = f;
    ASSERT_TRUE(b_->SaveImageFile(Out("r.iso"), false));
    const auto until = std::chrono::steady_clock::now() + 10s;
    auto cacheFile = [] {
      TCacheThread *c = ActiveCache.load();
      return c ? c->CurrentFile() : std::string();
    };
    while (cacheFile() != fifo_ && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(1ms);
    ASSERT_EQ(cacheFile(), fifo_);
  }
  // Lets the cache's open of the FIFO return.
  void ReleaseFifo() {
    const int fd = open(fifo_.c_str(), O_WRONLY);
    if (fd >= 0)
      close(fd);
  }
  std::string fifo_;
};

TEST_F(RunningWriteTest, AbortEndsTheWriteAndOnlyOneWriteRunsAtATime) {
  StartBlockedWrite();
  EXPECT_TRUE(TOrvBurner::WriteRunning());
  TOrvBurner other;
  EXPECT_FALSE(other.SaveImageFile(Out("other.iso"), false));
  EXPECT_FALSE(other.SaveImageFile(Out("other.iso"), true));
  EXPECT_FALSE(other.ErrorText.empty());
  EXPECT_FALSE(fs::exists(Out("other.iso")));
  b_->AbortWrite();
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(doneError_, "OPERATION ABORTED BY USER");
  EXPECT_TRUE(doneOnMain_);
  EXPECT_LE(b_->BytesWritten.load(), b_->SessionSectors() * 2048);
  EXPECT_EQ(static_cast<int64_t>(fs::file_size(Out("r.iso"))), b_->BytesWritten.load());   // closed, all flushed
  ReleaseFifo();
  // The next write starts cleanly.
  doneCount_ = 0;
  fs::remove(fifo_);
  Src("2-fifo", "now a file");
  Fill();
  ASSERT_TRUE(b_->SaveImageFile(Out("r2.iso"), false));
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(doneError_, "");
}

TEST_F(RunningWriteTest, DestroyingTheComponentStopsTheWriteWithoutReportingIt) {
  StartBlockedWrite();
  std::thread releaser([this] {
    std::this_thread::sleep_for(100ms);
    ReleaseFifo();
  });
  const auto t0 = std::chrono::steady_clock::now();
  b_.reset();
  releaser.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
  EXPECT_EQ(doneCount_, 0);
  EXPECT_FALSE(TOrvBurner::WriteRunning());
}

} // namespace
