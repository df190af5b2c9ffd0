// Trees with awkward names, laid out as images and checked by independent
// readers: the structural checker and libarchive's extraction.
#include "ImageCheck.h"
#include "SyntheticTree.h"
#include "ovCDBC.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

int RunCommand(const std::string &cmd, std::string *out = nullptr) {
  FILE *p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p)
    return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    text.append(buf, n);
  const int rc = pclose(p);
  if (out)
    *out = text;
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string ReadAll(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// The writer's byte stream: header image, padding sectors, then the files in
// FileList order, each padded to a whole sector.
void WriteImage(TOrvBurner &b, const std::string &path) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char *>(b.HeaderImage.Memory()), b.HeaderImage.Size());
  const std::string zero(2048, '\0');
  for (int64_t i = 0; i < b.PadSectors; ++i)
    out.write(zero.data(), 2048);
  for (TFEntry *e : b.FileList) {
    if ((e->Attr & ov::faDirectory) || !e->HasSource() || e->Size == 0)
      continue;
    const std::string data = ReadAll(e->SourcePath());
    ASSERT_EQ(static_cast<int64_t>(data.size()), e->Size) << e->SourcePath();
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.write(zero.data(), static_cast<std::streamsize>((2048 - data.size() % 2048) % 2048));
  }
}

std::string ImagePathOf(TFEntry *e, TDEntry *dir) {
  std::string p = e->LongName;
  for (TDEntry *d = dir; d->Parent != d; d = d->Parent)
    p = d->LongName + "/" + p;
  return p;
}

class TreeImage : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/skarvo-treeimg-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = std::string(tmpl) + "/";
  }
  void TearDown() override { if (!getenv("KEEP")) std::system(("rm -rf '" + dir_ + "'").c_str()); }
  void Make(const std::string &rel, const std::string &content) {
    const std::string p = dir_ + "src/" + rel;
    std::system(("mkdir -p \"$(dirname '" + p + "')\"").c_str());
    std::ofstream(p, std::ios::binary) << content;
  }
  std::string dir_;
};

} // namespace

TEST_F(TreeImage, AwkwardNamesGiveASoundImageThatExtractsIntact) {
  const std::string n200(200, 'n');
  const std::string n104(104, 'L');  // 109 characters with "1.txt"
  Make("caf\xC3\xA9 men\xC3\xBC.txt", "utf8");
  Make("with several spaces .txt", "spaces");
  Make("back\\slash.txt", "backslash");
  Make("colon:question?.txt", "punct");
  Make("Notes.txt", "upper");
  Make("notes.txt", "lower");
  Make("Docs/a.txt", "docs upper");
  Make("docs/a.txt", "docs lower");
  Make(n104 + "1.txt", "long one");
  Make(n104 + "2.txt", "long two");
  Make(n200 + ".txt", "left out");
  Make(std::string(150, 'D') + "/inner.bin", std::string(5000, 'x'));
  Make(".hidden", "hidden");
  Make("README", "readme");
  Make("smile\xF0\x9F\x98\x80.txt", "emoji");
  Make("deep/1/2/3/4/5/6/7/8/9/bottom.txt", "deep");
  Make("dotted.folder.name/x.txt", "dotted");
  Make("empty.txt", "");

  TOrvBurner b;
  ASSERT_TRUE(b.InsertDir(b.Root(), dir_ + "src", false, false, true, 63, "*.*"));
  b.RemoveEmptyDirs();
  b.IdVolume = "AWKWARD";
  ASSERT_EQ(b.PrepareLayout(true, nullptr), 1);
  ASSERT_TRUE(b.BuildHeader(true, nullptr));
  const std::string image = dir_ + "t.iso";
  WriteImage(b, image);

  std::string report;
  EXPECT_EQ(check_test::CheckImageFile(image, &report), 0) << report;

  std::string listing;
  ASSERT_EQ(RunCommand("bsdtar -tvvf '" + image + "'", &listing), 0) << listing;
  ASSERT_NE(listing.find("ISO9660"), std::string::npos) << listing;
  // Extracted by a reader that takes Joliet names whole (libarchive cuts
  // them at 103 characters, these go up to 108 and 110).
  ASSERT_EQ(RunCommand("xorriso -abort_on NEVER -return_with SORRY 32 -osirrox on -indev '" + image +
                           "' -extract / '" + dir_ + "out'",
                       &report),
            0)
      << report;
  // Every file of the tree is there under its Joliet name with its bytes.
  int checked = 0;
  for (TDEntry *d : b.DirList)
    for (TFEntry *e = d->Entries; e; e = e->Next) {
      if (e->IsDir())
        continue;
      std::string out = dir_ + "out/" + ImagePathOf(e, d);
      // Readers show "README.;1" as "README".
      if (out.back() == '.' && access(out.c_str(), F_OK) != 0)
        out.pop_back();
      EXPECT_EQ(access(out.c_str(), F_OK), 0) << out;
      EXPECT_TRUE(ReadAll(out) == ReadAll(e->SourcePath())) << out;
      ++checked;
    }
  EXPECT_EQ(checked, 17);
}

TEST_F(TreeImage, TwelveThousandDirectoriesKeepThePathTableInOrder) {
  TOrvBurner b;
  ASSERT_TRUE(synthetic::FillSyntheticTree(b, 12000, 0));
  // Synthetic records have no data: give them none.
  ASSERT_EQ(b.PrepareLayout(true, nullptr), 1);
  ASSERT_TRUE(b.BuildHeader(true, nullptr));
  const std::string image = dir_ + "dirs.iso";
  WriteImage(b, image);
  std::string report;
  EXPECT_EQ(check_test::CheckImageFile(image, &report), 0)
      << report.substr(0, 4000);
}
