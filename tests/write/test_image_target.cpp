// The output of an image build: replaced only by Commit, locked against a
// second build, and only what this run created is ever removed.
#include "ovImageTarget.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path &p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void Write(const fs::path &p, const std::string &s) { std::ofstream(p, std::ios::binary) << s; }

class ImageTargetTest : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/skarvo-target-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  // Names in the folder besides the given ones (temporary files left over).
  size_t Entries() const { return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {})); }
  fs::path dir_;
};

TEST_F(ImageTargetTest, NewImageAppearsOnlyOnCommitAndAFailedRunLeavesNothing) {
  const fs::path out = dir_ / "new.iso";
  {
    TImageTarget t;
    ASSERT_TRUE(t.Open(out.string())) << t.Error();
    EXPECT_TRUE(t.CreatedTarget());
    ASSERT_TRUE(t.CreateTemp()) << t.Error();
    EXPECT_EQ(fs::path(t.TempPath()).parent_path(), dir_);
    Write(t.TempPath(), "half an image");
  }   // no Commit: a failure
  EXPECT_FALSE(fs::exists(out));
  EXPECT_EQ(Entries(), 0u);

  TImageTarget t;
  ASSERT_TRUE(t.Open(out.string()));
  ASSERT_TRUE(t.CreateTemp());
  Write(t.TempPath(), "image");
  ASSERT_TRUE(t.Commit()) << t.Error();
  EXPECT_EQ(Read(out), "image");
  EXPECT_EQ(Entries(), 1u);
}

TEST_F(ImageTargetTest, OlderImageSurvivesAFailureAndKeepsItsPermissionsWhenReplaced) {
  const fs::path out = dir_ / "old.iso";
  Write(out, "old image");
  ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
  {
    TImageTarget t;
    ASSERT_TRUE(t.Open(out.string()));
    EXPECT_FALSE(t.CreatedTarget());
    ASSERT_TRUE(t.CreateTemp());
    Write(t.TempPath(), "broken");
    t.Discard();
  }
  EXPECT_EQ(Read(out), "old image");
  EXPECT_EQ(Entries(), 1u);

  TImageTarget t;
  ASSERT_TRUE(t.Open(out.string()));
  ASSERT_TRUE(t.CreateTemp());
  Write(t.TempPath(), "new image");
  ASSERT_TRUE(t.Commit());
  EXPECT_EQ(Read(out), "new image");
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(ImageTargetTest, SecondBuildIsRefusedAndRemovesNothingOfTheFirst) {
  for (bool existed : {false, true}) {
    const fs::path out = dir_ / (existed ? "old.iso" : "new.iso");
    if (existed)
      Write(out, "old image");
    TImageTarget first;
    ASSERT_TRUE(first.Open(out.string()));
    ASSERT_TRUE(first.CreateTemp());
    {
      TImageTarget second;
      EXPECT_FALSE(second.Open(out.string()));
      EXPECT_TRUE(second.Busy());
      EXPECT_EQ(second.Error(), "another build is writing " + out.string());
    }
    EXPECT_TRUE(fs::exists(out)) << "existed " << existed;
    EXPECT_TRUE(fs::exists(first.TempPath()));
    Write(first.TempPath(), "done");
    ASSERT_TRUE(first.Commit());
    EXPECT_EQ(Read(out), "done");

    // Once the first has finished, the next build may go ahead.
    TImageTarget third;
    EXPECT_TRUE(third.Open(out.string())) << third.Error();
  }
}

TEST_F(ImageTargetTest, ImpossibleTargetsAreRefusedWithTheReason) {
  fs::create_directory(dir_ / "sub");
  const std::pair<std::string, std::string> cases[] = {
      {(dir_ / "no/such/x.iso").string(), "the folder " + (dir_ / "no/such").string() + " does not exist"},
      {(dir_ / "sub").string(), (dir_ / "sub").string() + " is an existing folder"},
      {"/dev/null", "/dev/null is not a regular file"},
  };
  for (const auto &[path, reason] : cases) {
    TImageTarget t;
    EXPECT_FALSE(t.Open(path));
    EXPECT_FALSE(t.Busy());
    EXPECT_EQ(t.Error(), "CAN'T CREATE FILE \"" + path + "\" [" + reason + "]");
  }
  EXPECT_TRUE(fs::is_directory(dir_ / "sub"));
  EXPECT_TRUE(fs::exists("/dev/null") && !fs::is_regular_file("/dev/null"));
}

TEST_F(ImageTargetTest, LinkToAnImageReplacesTheImageAndKeepsTheLink) {
  fs::create_directory(dir_ / "images");
  Write(dir_ / "images/real.iso", "old");
  fs::create_symlink(dir_ / "images/real.iso", dir_ / "link.iso");
  TImageTarget t;
  ASSERT_TRUE(t.Open((dir_ / "link.iso").string()));
  ASSERT_TRUE(t.CreateTemp());
  EXPECT_EQ(fs::path(t.TempPath()).parent_path(), dir_ / "images");
  Write(t.TempPath(), "new");
  ASSERT_TRUE(t.Commit());
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.iso"));
  EXPECT_EQ(Read(dir_ / "images/real.iso"), "new");
}

TEST_F(ImageTargetTest, IsTargetKnowsTheImageByInode) {
  const fs::path out = dir_ / "old.iso";
  Write(out, "old");
  fs::create_hard_link(out, dir_ / "other-name");
  Write(dir_ / "unrelated", "x");
  TImageTarget t;
  ASSERT_TRUE(t.Open(out.string()));
  struct stat a {}, b {};
  ASSERT_EQ(::stat((dir_ / "other-name").c_str(), &a), 0);
  ASSERT_EQ(::stat((dir_ / "unrelated").c_str(), &b), 0);
  EXPECT_TRUE(t.IsTarget(a.st_dev, a.st_ino));
  EXPECT_FALSE(t.IsTarget(b.st_dev, b.st_ino));
}

} // namespace
