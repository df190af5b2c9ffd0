// The compilation tree fed with listing records (no files on disk).
#include "ovCDBC.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

namespace {

TSearchRec FileRec(const std::string &name, int64_t size = 100, int32_t attr = ov::faArchive) {
  TSearchRec r;
  r.Name = name;
  r.ShortName = ov::BaseAlias(name);
  r.Size = size;
  r.Attr = attr;
  r.Time = ov::EncodeDateTime(2020, 5, 6, 7, 8, 9);
  return r;
}

TSearchRec DirRec(const std::string &name) {
  TSearchRec r = FileRec(name, 0, ov::faDirectory);
  return r;
}

struct Logged {
  std::vector<std::pair<std::string, int>> Lines;
  void Attach(TOrvBurner &b) {
    b.OnDebugMessage = [this](TObject *, const std::string &m, uint8_t t) { Lines.emplace_back(m, t); };
  }
  bool Has(const std::string &text, int level) const {
    return std::any_of(Lines.begin(), Lines.end(),
                       [&](const auto &l) { return l.first.find(text) != std::string::npos && l.second == level; });
  }
};

// "kind path detail" of every note, in order.
std::vector<std::string> Notes(const TOrvBurner &b) {
  static const char *kKinds[] = {"unreadable", "taken", "toolong", "renamed", "passed"};
  std::vector<std::string> r;
  for (const TInsertNote &n : b.InsertNotes)
    r.push_back(std::string(kKinds[static_cast<int>(n.Kind)]) + " " + n.SourcePath + " " + n.Detail);
  return r;
}

// Valid UTF-8 whose every character is kept by UCS-2 (no replacement).
bool CleanUtf8(const std::string &s) {
  const std::u16string u = Utf8ToUCS2(s);
  return UCS2Length(s) == u.size() && std::count(u.begin(), u.end(), u'_') == std::count(s.begin(), s.end(), '_');
}

std::string Repeat(const std::string &unit, size_t n) {
  std::string r;
  for (size_t i = 0; i < n; ++i)
    r += unit;
  return r;
}

std::vector<std::string> ChainNames(TDEntry *d) {
  std::vector<std::string> r;
  for (TFEntry *e = d->Entries; e; e = e->Next)
    r.push_back(e->LongName);
  return r;
}

} // namespace

TEST(TreeRecords, ResetBuildsOnlyTheRoot) {
  TOrvBurner b;
  b.AddFile(b.Root(), FileRec("a.txt"), false, 0, "/s/a.txt");
  b.HeaderImage.Write("xyz", 3);
  ASSERT_TRUE(b.ResetCompilation(100, 10));
  EXPECT_EQ(b.DirCount(), 0);
  EXPECT_EQ(b.FileCount(), 0);
  EXPECT_EQ(b.HeaderImage.Size(), 0);
  ASSERT_EQ(b.DirList.size(), 1u);
  ASSERT_EQ(b.ISODirOrder.size(), 1u);
  TDEntry *r = b.Root();
  EXPECT_EQ(r->ISOName, "CD_ROOT");
  EXPECT_EQ(r->LongName, "CD Root Directory");
  EXPECT_EQ(r->Path, "\\");
  EXPECT_EQ(r->Parent, r);
  EXPECT_EQ(r->Entries, nullptr);
  EXPECT_EQ(b.MaxFiles, 100);
  EXPECT_EQ(b.MaxDirs, 10);
  EXPECT_EQ(b.TimeZoneOffset, ov::UtcOffsetUnitsAt(ov::Now()));
}

TEST(TreeRecords, FileNamesFollowTheDotAndAliasRules) {
  TOrvBurner b;
  ASSERT_EQ(b.AddFile(b.Root(), FileRec("README"), false, 0, "/s/README"), 1);
  ASSERT_EQ(b.AddFile(b.Root(), FileRec("My Document.text"), false, 0, "/s/My Document.text"), 1);
  ASSERT_EQ(b.AddFile(b.Root(), FileRec("Makefile"), false, 0, "/s/Makefile"), 1);
  TFEntry *readme = b.FindFile(b.Root(), "readme.");
  ASSERT_NE(readme, nullptr);
  EXPECT_EQ(readme->LongName, "README.");
  EXPECT_EQ(readme->ISOName, "README.");
  TFEntry *doc = b.FindFile(b.Root(), "MY DOCUMENT.TEXT");
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(doc->ISOName, "MYDOCUME.TEX");
  EXPECT_EQ(b.FindFile(b.Root(), "makefile.")->ISOName, "MAKEFILE.");
  EXPECT_EQ(doc->Size, 100);
  EXPECT_EQ(doc->JolietSize, 100);
  EXPECT_FALSE(doc->Imported);
  EXPECT_EQ(doc->DateTime, ov::EncodeDateTime(2020, 5, 6, 7, 8, 9));
  EXPECT_EQ(ChainNames(b.Root()), (std::vector<std::string>{"README.", "My Document.text", "Makefile."}));
  EXPECT_EQ(b.FileList.size(), 3u);
}

TEST(TreeRecords, UnconvertibleTimeBecomesNowAndImportedAddressesAreKept) {
  TOrvBurner b;
  TSearchRec r = FileRec("old.txt");
  r.Time = std::nan("");
  const TDateTime before = ov::Now();
  ASSERT_EQ(b.AddFile(b.Root(), r, false, 1234, ""), 1);
  TFEntry *e = b.FindFile(b.Root(), "old.txt");
  EXPECT_GE(e->DateTime, before - 1e-6);
  EXPECT_LE(e->DateTime, ov::Now() + 1e-6);
  EXPECT_TRUE(e->Imported);
  EXPECT_EQ(e->ISOAddress, 1234);
  EXPECT_EQ(e->JolietAddress, 1234);
}

TEST(TreeRecords, DuplicatesAreLeftOutOrReplacedInPlace) {
  TOrvBurner b;
  b.AddFile(b.Root(), FileRec("a.txt", 1), false, 0, "/x/a.txt");
  b.AddFile(b.Root(), FileRec("b.txt", 2), false, 0, "/x/b.txt");
  EXPECT_EQ(b.AddFile(b.Root(), FileRec("A.TXT", 3), false, 0, "/y/A.TXT"), 0);
  EXPECT_EQ(b.FindFile(b.Root(), "a.txt")->Size, 1);
  b.ReplaceFile = true;
  EXPECT_EQ(b.AddFile(b.Root(), FileRec("a.txt", 5), true, 0, "/y/a.txt"), 1);
  EXPECT_EQ(b.FileCount(), 2);
  EXPECT_EQ(b.FileList[0]->SourcePath(), "/y/a.txt");
  EXPECT_EQ(b.FileList[0]->Size, 5);
  EXPECT_TRUE(b.FileList[0]->ClearArchive);
  EXPECT_EQ(ChainNames(b.Root()), (std::vector<std::string>{"a.txt", "b.txt"}));
  // A replaced imported entry stops being imported.
  b.AddFile(b.Root(), FileRec("c.txt"), false, 777, "");
  b.AddFile(b.Root(), FileRec("c.txt"), false, 0, "/y/c.txt");
  EXPECT_FALSE(b.FindFile(b.Root(), "c.txt")->Imported);
}

TEST(TreeRecords, LongNamesAreSkippedUnlessTheHandlerKeepsThem) {
  TOrvBurner b;
  const std::string n109(108, 'a');  // 109 with the appended "."
  const std::string n110(109, 'b');
  EXPECT_EQ(b.AddFile(b.Root(), FileRec(n109), false, 0, "/s/" + n109), 1);
  EXPECT_EQ(b.AddFile(b.Root(), FileRec(n110), false, 0, "/s/" + n110), 0);
  // Kept within the 103 characters readers take, ";1" included.
  EXPECT_EQ(UCS2Length(b.FileList[0]->LongName), kMaxJolietFileChars);

  int calls = 0;
  b.OnAddFile = [&](TObject *s, const std::string &full, std::string &, std::string &, TDateTime &, int32_t attr,
                    int64_t size, bool &skip) {
    ++calls;
    EXPECT_EQ(s, &b);
    EXPECT_EQ(full, "/s/" + n110 + ".dat");
    EXPECT_EQ(size, 100);
    EXPECT_TRUE(skip);
    skip = false;
  };
  EXPECT_EQ(b.AddFile(b.Root(), FileRec(n110 + ".dat"), false, 0, "/s/" + n110 + ".dat"), 1);
  EXPECT_EQ(calls, 1);
  const std::string kept = b.FileList.back()->LongName;
  EXPECT_EQ(UCS2Length(kept), kMaxJolietFileChars);
  EXPECT_EQ(kept.substr(kept.size() - 4), ".dat");
}

TEST(TreeRecords, HandlerMayRenameAndSkip) {
  TOrvBurner b;
  b.OnAddFile = [](TObject *, const std::string &, std::string &lng, std::string &shrt, TDateTime &dt, int32_t,
                   int64_t, bool &skip) {
    if (lng == "skip.me") {
      skip = true;
      return;
    }
    lng = "renamed.txt";
    shrt = "ren.txt";
    dt = 1000.5;
  };
  EXPECT_EQ(b.AddFile(b.Root(), FileRec("skip.me"), false, 0, "/s/skip.me"), 0);
  EXPECT_EQ(b.AddFile(b.Root(), FileRec("x.txt"), false, 0, "/s/x.txt"), 1);
  TFEntry *e = b.FindFile(b.Root(), "renamed.txt");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->ISOName, "REN.TXT");
  EXPECT_EQ(e->DateTime, 1000.5);
}

TEST(TreeRecords, SiblingsDifferingOnlyByCaseAreBothKept) {
  TOrvBurner b;
  Logged log;
  log.Attach(b);
  std::vector<TSearchRec> recs{FileRec("README.txt"), FileRec("readme.txt"), FileRec("ReadMe.txt")};
  ov::AssignAliases(recs);
  for (int pass = 0; pass < 2; ++pass)  // the same folder twice adds it once
    for (const TSearchRec &r : recs)
      b.AddFile(b.Root(), r, false, 0, "/src/" + r.Name);
  EXPECT_EQ(ChainNames(b.Root()), (std::vector<std::string>{"README.txt", "readme (2).txt", "ReadMe (3).txt"}));
  EXPECT_TRUE(log.Has("STORED AS \"readme (2).txt\"", 1));
  std::set<std::string> iso;
  for (TFEntry *e = b.Root()->Entries; e; e = e->Next)
    iso.insert(e->ISOName);
  EXPECT_EQ(iso.size(), 3u);
  // A same-named file of another folder is a duplicate, as always.
  EXPECT_EQ(b.AddFile(b.Root(), FileRec("readme.txt"), false, 0, "/other/readme.txt"), 0);
}

TEST(TreeRecords, IsoNamesStayUniqueWhenFoldersAreMerged) {
  TOrvBurner b;
  // Two sources whose aliases coincide ("LONGFI~1.TXT" style collisions).
  b.AddFile(b.Root(), FileRec("Long file one.txt"), false, 0, "/a/Long file one.txt");
  b.AddFile(b.Root(), FileRec("Long file two.txt"), false, 0, "/b/Long file two.txt");
  b.AddFile(b.Root(), FileRec("LONGFILE.TXT"), false, 0, "/c/LONGFILE.TXT");
  TSearchRec d = DirRec("LongFileOne.txt");
  d.ShortName = "LONGFILE.TXT";
  ASSERT_NE(b.AddDir(b.Root(), d), nullptr);
  std::set<std::string> seen;
  for (TFEntry *e = b.Root()->Entries; e; e = e->Next) {
    std::string key = e->ISOName;
    if (key.back() == '.')
      key.pop_back();
    EXPECT_TRUE(seen.insert(key).second) << e->ISOName;
    EXPECT_LE(key.size(), 12u);
  }
  EXPECT_EQ(b.FileList[0]->ISOName, "LONGFILE.TXT");
  EXPECT_EQ(b.FileList[1]->ISOName, "LONGFI~1.TXT");
}

TEST(TreeRecords, UnsafeCharactersBecomeUnderscores) {
  TOrvBurner b;
  const std::string emoji = "\xF0\x9F\x98\x80";  // outside the BMP
  b.AddFile(b.Root(), FileRec("a\\b:c?.txt"), false, 0, "/s/a\\b:c?.txt");
  b.AddFile(b.Root(), FileRec("smile" + emoji + ".txt"), false, 0, "/s/smile" + emoji + ".txt");
  b.AddFile(b.Root(), FileRec("caf\xC3\xA9 menu.txt"), false, 0, "/s/caf\xC3\xA9 menu.txt");
  EXPECT_EQ(b.FileList[0]->LongName, "a_b_c_.txt");
  EXPECT_EQ(b.FileList[0]->SourcePath(), "/s/a\\b:c?.txt");
  EXPECT_EQ(b.FileList[1]->LongName, "smile_.txt");
  EXPECT_EQ(b.FileList[2]->LongName, "caf\xC3\xA9 menu.txt");
  EXPECT_EQ(b.FileList[2]->ISOName, "CAF_MENU.TXT");
  TDEntry *d = b.AddDir(b.Root(), DirRec("x\\y"));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Path, "\\X_Y");
}

TEST(TreeRecords, DirectoriesAreFoundByPath) {
  TOrvBurner b;
  TDEntry *docs = b.AddDir(b.Root(), DirRec("Docs"));
  ASSERT_NE(docs, nullptr);
  TDEntry *pics = b.AddDir(docs, DirRec("Pics"));
  EXPECT_EQ(docs->Path, "\\DOCS");
  EXPECT_EQ(pics->Path, "\\DOCS\\PICS");
  EXPECT_EQ(pics->Parent, docs);
  EXPECT_EQ(docs->ISOName, "DOCS");
  EXPECT_EQ(docs->LongName, "Docs");
  EXPECT_EQ(b.AddDir(b.Root(), DirRec("DOCS")), docs);  // present: nothing new
  EXPECT_EQ(b.DirCount(), 2);
  EXPECT_EQ(b.FindDir("\\docs\\pics\\"), pics);
  EXPECT_EQ(b.FindDir("\\"), b.Root());
  EXPECT_EQ(b.FindDir(""), b.Root());
  EXPECT_EQ(b.FindDir("\\nope"), nullptr);
  TFEntry *self = b.FindFile(b.Root(), "docs");
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->Dir, docs);
  EXPECT_TRUE(self->Attr & ov::faDirectory);
  EXPECT_EQ(self->Size, 0);
}

TEST(TreeRecords, MakeDirPathCreatesAncestorsWithMadeAliases) {
  TOrvBurner b;
  TDEntry *d = b.MakeDirPath("\\home\\My Documents\\x\\");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Path, "\\HOME\\MY DOCUMENTS\\X");
  EXPECT_EQ(b.DirCount(), 3);
  // Folders made from a path get 8.3 aliases like listed ones.
  EXPECT_EQ(b.FindDir("\\HOME\\MY DOCUMENTS")->ISOName, "MYDOCUME");
  EXPECT_EQ(b.MakeDirPath("\\home\\my documents"), b.FindDir("\\HOME\\MY DOCUMENTS"));
  EXPECT_EQ(b.DirCount(), 3);
  TDEntry *c = b.CreateDir(b.Root(), "\\made\\", 0);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->LongName, "made");
  EXPECT_TRUE(b.FindFile(b.Root(), "made")->Attr & ov::faDirectory);
}

TEST(TreeRecords, MakeAliasKeepsThirteenCharacters) {
  EXPECT_EQ(MakeAlias("My Documents Backup.txt"), "MY_DOCUMENTS_");
  EXPECT_EQ(MakeAlias("ab{c}~"), "AB_C__");
  EXPECT_EQ(MakeAlias("x"), "X");
  EXPECT_EQ(MakeAlias(""), "");
}

TEST(TreeRecords, NumbersFollowTheExample) {
  TOrvBurner b;
  TDEntry *B = b.AddDir(b.Root(), DirRec("B"));
  TDEntry *A = b.AddDir(b.Root(), DirRec("A"));
  TDEntry *child = b.AddDir(B, DirRec("0child"));
  b.NumberDirectories();
  EXPECT_EQ(b.Root()->Number, 1);
  EXPECT_EQ(A->Number, 2);
  EXPECT_EQ(B->Number, 3);
  EXPECT_EQ(child->Number, 4);
  EXPECT_EQ(b.ISODirOrder, (std::vector<TDEntry *>{b.Root(), A, B, child}));
  EXPECT_EQ(b.JolietDirOrder, b.ISODirOrder);
  EXPECT_EQ(b.DirList, (std::vector<TDEntry *>{b.Root(), B, A, child}));
}

TEST(TreeRecords, NumberingStaysOrderedBeyondNineThousandDirectories) {
  TOrvBurner b;
  b.ResetCompilation(65535, 20000);
  // A wide level, then children hanging off directories numbered above 9999.
  std::vector<TDEntry *> top;
  for (int i = 0; i < 10100; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "D%05d", (i * 7919) % 10100);
    top.push_back(b.AddDir(b.Root(), DirRec(name)));
  }
  for (int i = 0; i < 300; ++i)
    b.AddDir(top[static_cast<size_t>(i * 31 % 10100)], DirRec("Z" + std::to_string(i % 3)));
  b.NumberDirectories();
  const auto &order = b.ISODirOrder;
  ASSERT_EQ(order.size(), b.DirList.size());
  for (size_t i = 0; i < order.size(); ++i)
    ASSERT_EQ(order[i]->Number, static_cast<int32_t>(i + 1));
  for (size_t i = 2; i < order.size(); ++i) {
    const TDEntry *p = order[i - 1], *q = order[i];
    ASSERT_LT(q->Parent->Number, q->Number);
    ASSERT_LE(p->Parent->Number, q->Parent->Number) << i;
    if (p->Parent == q->Parent) {
      ASSERT_LT(p->ISOName, q->ISOName);
    }
  }
  EXPECT_GT(order.back()->Parent->Number, 9999);
}

TEST(TreeRecords, RemovalTakesWholeSubtrees) {
  TOrvBurner b;
  TDEntry *a = b.AddDir(b.Root(), DirRec("a"));
  TDEntry *ab = b.AddDir(a, DirRec("b"));
  b.AddFile(ab, FileRec("f1.txt"), false, 0, "/s/a/b/f1.txt");
  b.AddFile(a, FileRec("f2.txt"), false, 0, "/s/a/f2.txt");
  b.AddFile(b.Root(), FileRec("f3.txt"), false, 0, "/s/f3.txt");
  TDEntry *c = b.AddDir(b.Root(), DirRec("c"));
  EXPECT_FALSE(b.RemoveDir(b.Root()));
  EXPECT_EQ(b.FileCount(), 6);
  EXPECT_TRUE(b.RemoveDir(a));
  EXPECT_EQ(b.DirList, (std::vector<TDEntry *>{b.Root(), c}));
  EXPECT_EQ(b.ISODirOrder, b.DirList);
  EXPECT_EQ(b.JolietDirOrder, b.DirList);
  EXPECT_EQ(b.FileCount(), 2);
  EXPECT_EQ(ChainNames(b.Root()), (std::vector<std::string>{"f3.txt", "c"}));
  EXPECT_EQ(b.FindDir("\\A\\B"), nullptr);
  EXPECT_EQ(b.FindFile(b.Root(), "a"), nullptr);
  // The names are free again.
  EXPECT_NE(b.AddDir(b.Root(), DirRec("a")), nullptr);
  TFEntry *f3 = b.FindFile(b.Root(), "f3.txt");
  EXPECT_TRUE(b.RemoveEntry(b.Root(), f3));
  EXPECT_EQ(ChainNames(b.Root()), (std::vector<std::string>{"c", "a"}));
  EXPECT_EQ(b.AddFile(b.Root(), FileRec("F3.TXT"), false, 0, "/t/F3.TXT"), 1);
  EXPECT_EQ(b.FileList.back()->ISOName, "F3.TXT");
}

TEST(TreeRecords, RemoveEmptyDirsTakesFoldersHoldingOnlyEmptyFolders) {
  TOrvBurner b;
  TDEntry *keep = b.AddDir(b.Root(), DirRec("keep"));
  TDEntry *gone = b.AddDir(b.Root(), DirRec("gone"));
  b.AddDir(b.AddDir(gone, DirRec("x")), DirRec("y"));
  b.AddDir(keep, DirRec("empty"));
  TDEntry *full = b.AddDir(keep, DirRec("full"));
  b.AddFile(full, FileRec("f.txt"), false, 0, "/s/f.txt");
  EXPECT_TRUE(b.RemoveEmptyDirs());
  std::vector<std::string> paths;
  for (TDEntry *d : b.DirList)
    paths.push_back(d->Path);
  EXPECT_EQ(paths, (std::vector<std::string>{"\\", "\\KEEP", "\\KEEP\\FULL"}));
  EXPECT_EQ(b.FileCount(), 3);
  EXPECT_EQ(ChainNames(keep), (std::vector<std::string>{"full"}));
}

TEST(TreeRecords, CapacitiesAreEnforcedWithMessages) {
  TOrvBurner b;
  Logged log;
  log.Attach(b);
  b.ResetCompilation(3, 2);
  EXPECT_NE(b.AddDir(b.Root(), DirRec("one")), nullptr);
  EXPECT_EQ(b.AddDir(b.Root(), DirRec("two")), nullptr);
  EXPECT_TRUE(log.Has(">>> MAXIMUM DIRECTORIES CAN BE 2", 3));
  EXPECT_EQ(b.DirList.size(), 2u);
  EXPECT_EQ(b.AddFile(b.Root(), FileRec("a.txt"), false, 0, "/s/a.txt"), 1);
  EXPECT_EQ(b.AddFile(b.Root(), FileRec("b.txt"), false, 0, "/s/b.txt"), 1);
  EXPECT_EQ(b.AddFile(b.Root(), FileRec("c.txt"), false, 0, "/s/c.txt"), 0);
  EXPECT_TRUE(log.Has("MAXIMUM FILES CAN BE 3", 3));
  // A directory slot is free but no entry slot: nothing is left behind.
  b.ResetCompilation(0, 5);
  EXPECT_EQ(b.AddDir(b.Root(), DirRec("d")), nullptr);
  EXPECT_EQ(b.DirList.size(), 1u);
}

TEST(TreeRecords, DefaultCapacitiesRefuseThe8192ndDirectoryAndThe65536thEntry) {
  TOrvBurner b;
  Logged log;
  log.Attach(b);
  for (int i = 0; i < 8190; ++i)
    ASSERT_NE(b.AddDir(b.Root(), DirRec("d" + std::to_string(i))), nullptr);
  EXPECT_EQ(b.AddDir(b.Root(), DirRec("last")), nullptr);
  EXPECT_TRUE(log.Has(">>> MAXIMUM DIRECTORIES CAN BE 8191", 3));
  for (int i = b.FileCount(); i < 65535; ++i)
    ASSERT_EQ(b.AddFile(b.Root(), FileRec("f" + std::to_string(i) + ".x"), false, 0, "/s/f"), 1);
  EXPECT_EQ(b.AddFile(b.Root(), FileRec("over.x"), false, 0, "/s/over.x"), 0);
  EXPECT_TRUE(log.Has("MAXIMUM FILES CAN BE 65535", 3));
}

TEST(TreeRecords, FilesBeyondTheSessionsAddressesAreRefused) {
  TOrvBurner b;
  Logged log;
  log.Attach(b);
  EXPECT_EQ(b.AddFile(b.Root(), FileRec("big.bin", kMaxFileSize), false, 0, "/s/big.bin"), 0);
  EXPECT_EQ(b.AddFile(b.Root(), FileRec("fits.bin", kMaxFileSize - 1), false, 0, "/s/fits.bin"), 1);
  EXPECT_TRUE(log.Has("\"/s/big.bin\" IS 4 TB OR LARGER", 4));
  EXPECT_EQ(b.RefusedFiles, (std::vector<std::string>{"/s/big.bin"}));
  EXPECT_EQ(b.FileCount(), 1);
}

TEST(TreeRecords, LongDirectoryNamesAreShortenedAndKeptApart) {
  TOrvBurner b;
  const std::string base(120, 'd');
  TDEntry *x = b.AddDir(b.Root(), DirRec(base + "1"), "/s/" + base + "1");
  TDEntry *y = b.AddDir(b.Root(), DirRec(base + "2"), "/s/" + base + "2");
  ASSERT_NE(x, nullptr);
  ASSERT_NE(y, nullptr);
  EXPECT_NE(x, y);
  EXPECT_EQ(UCS2Length(x->LongName), kMaxJolietDirChars);
  EXPECT_LE(UCS2Length(y->LongName), kMaxJolietDirChars);
  EXPECT_NE(UpperCase(x->LongName), UpperCase(y->LongName));
  // Inserting the same folders again finds them.
  EXPECT_EQ(b.AddDir(b.Root(), DirRec(base + "2"), "/s/" + base + "2"), y);
  EXPECT_EQ(b.DirCount(), 2);
}

TEST(TreeRecords, RememberedTargetDirectoryNeverOutlivesItsRecord) {
  TOrvBurner b;
  TDEntry *d = b.AddDir(b.Root(), DirRec("target"));
  b.LastTargetDir = d;
  b.RemoveDir(d);
  EXPECT_EQ(b.LastTargetDir, nullptr);
  b.LastTargetDir = b.AddDir(b.Root(), DirRec("again"));
  b.ResetCompilation(100, 10);
  EXPECT_EQ(b.LastTargetDir, nullptr);
}

TEST(TreeRecords, NamesMadeEqualByOurCleaningAreAllKept) {
  TOrvBurner b;
  // Different folders, different names; equal only once ":" and "?" became "_".
  ASSERT_EQ(b.AddFile(b.Root(), FileRec("x:1.txt"), false, 0, "/a/x:1.txt"), 1);
  ASSERT_EQ(b.AddFile(b.Root(), FileRec("x?1.txt"), false, 0, "/b/x?1.txt"), 1);
  // A real "x_1.txt" elsewhere is a third, distinct name.
  ASSERT_EQ(b.AddFile(b.Root(), FileRec("x_1.txt"), false, 0, "/c/x_1.txt"), 1);
  // Two 109-character names of different folders cut to the same 108.
  const std::string stem = Repeat("n", 104);
  ASSERT_EQ(b.AddFile(b.Root(), FileRec(stem + "A.txt"), false, 0, "/a/" + stem + "A.txt"), 1);
  ASSERT_EQ(b.AddFile(b.Root(), FileRec(stem + "B.txt"), false, 0, "/b/" + stem + "B.txt"), 1);
  const std::vector<std::string> names = ChainNames(b.Root());
  ASSERT_EQ(names.size(), 5u);
  EXPECT_EQ(names[0], "x_1.txt");
  EXPECT_EQ(names[1], "x_1 (2).txt");
  EXPECT_EQ(names[2], "x_1 (3).txt");
  EXPECT_EQ(names[3], stem + ".txt");
  EXPECT_EQ(UCS2Length(names[4]), 108u);
  EXPECT_EQ(names[4].substr(names[4].size() - 8), " (2).txt");
  std::set<std::string> iso;
  for (TFEntry *e = b.Root()->Entries; e; e = e->Next)
    iso.insert(e->ISOName);
  EXPECT_EQ(iso.size(), 5u);
  EXPECT_EQ(Notes(b), (std::vector<std::string>{"renamed /a/x:1.txt x_1.txt", "renamed /b/x?1.txt x_1 (2).txt",
                                                "renamed /c/x_1.txt x_1 (3).txt",
                                                "renamed /a/" + stem + "A.txt " + names[3],
                                                "renamed /b/" + stem + "B.txt " + names[4]}));
  // The same sources again: found under the names they got, nothing new.
  b.InsertNotes.clear();
  EXPECT_EQ(b.AddFile(b.Root(), FileRec("x?1.txt"), false, 0, "/b/x?1.txt"), 0);
  EXPECT_EQ(b.AddFile(b.Root(), FileRec(stem + "B.txt"), false, 0, "/b/" + stem + "B.txt"), 0);
  EXPECT_EQ(ChainNames(b.Root()).size(), 5u);
  EXPECT_TRUE(b.InsertNotes.empty());
}

TEST(TreeRecords, AnotherFileOfTheSameNameIsNotedAsLeftOut) {
  TOrvBurner b;
  ASSERT_EQ(b.AddFile(b.Root(), FileRec("README.txt"), false, 0, "/a/README.txt"), 1);
  // The same source twice is no loss and says nothing.
  EXPECT_EQ(b.AddFile(b.Root(), FileRec("README.txt"), false, 0, "/a/README.txt"), 0);
  EXPECT_TRUE(b.InsertNotes.empty());
  // Another folder's file of that name (case aside) is left out, and named.
  EXPECT_EQ(b.AddFile(b.Root(), FileRec("readme.txt"), false, 0, "/b/readme.txt"), 0);
  EXPECT_EQ(Notes(b), (std::vector<std::string>{"taken /b/readme.txt \"README.txt\" is already taken in \\ by "
                                                "/a/README.txt"}));
  EXPECT_TRUE(b.InsertNotes[0].IsLoss());
  // Replacing on request is what the caller asked for.
  b.InsertNotes.clear();
  b.ReplaceFile = true;
  EXPECT_EQ(b.AddFile(b.Root(), FileRec("readme.txt"), false, 0, "/b/readme.txt"), 1);
  EXPECT_TRUE(b.InsertNotes.empty());
  // A reset forgets the notes.
  b.AddFile(b.Root(), FileRec(Repeat("z", 120) + ".txt"), false, 0, "/a/long.txt");
  EXPECT_EQ(b.InsertNotes.size(), 1u);
  b.ResetCompilation(100, 10);
  EXPECT_TRUE(b.InsertNotes.empty());
}

TEST(TreeRecords, JolietNamesAreKeptWholeUpTo108Characters) {
  TOrvBurner b;
  const std::string whole = Repeat("w", 104) + ".txt";  // 108 characters
  ASSERT_EQ(b.AddFile(b.Root(), FileRec(whole), false, 0, "/s/" + whole), 1);
  EXPECT_EQ(ChainNames(b.Root()).back(), whole);
  EXPECT_TRUE(b.InsertNotes.empty());
  // 109 would make a 256-byte record: cut to 108, the extension kept.
  const std::string over = Repeat("v", 105) + ".txt";
  ASSERT_EQ(b.AddFile(b.Root(), FileRec(over), false, 0, "/s/" + over), 1);
  EXPECT_EQ(ChainNames(b.Root()).back(), Repeat("v", 104) + ".txt");
  EXPECT_EQ(Notes(b).back(), "renamed /s/" + over + " " + Repeat("v", 104) + ".txt");
  // 110 and more are left out unless the handler says otherwise, and noted.
  const std::string tooLong = Repeat("t", 106) + ".txt";
  EXPECT_EQ(b.AddFile(b.Root(), FileRec(tooLong), false, 0, "/s/" + tooLong), 0);
  EXPECT_EQ(b.InsertNotes.back().Kind, TInsertNoteKind::TooLong);
  // Folders hold 110 characters.
  const std::string dir = Repeat("d", 110);
  TDEntry *d = b.AddDir(b.Root(), DirRec(dir), "/s/" + dir);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->LongName, dir);
  EXPECT_EQ(b.AddDir(b.Root(), DirRec(dir + "x"), "/s/" + dir + "x")->LongName, Repeat("d", 106) + " (2)");
}

TEST(TreeRecords, LongCyrillicAndCJKNamesAreCutToFitInCharacters) {
  TOrvBurner b;
  b.OnAddFile = [](TObject *, const std::string &, std::string &, std::string &, TDateTime &, int32_t, int64_t,
                   bool &skip) { skip = false; };  // shorten instead of leaving out
  const std::string cyrillic = Repeat("Ж", 150) + ".документ";
  const std::string cjk = Repeat("漢", 120) + Repeat("字", 30) + ".文本";
  ASSERT_EQ(b.AddFile(b.Root(), FileRec(cyrillic), false, 0, "/s/" + cyrillic), 1);
  ASSERT_EQ(b.AddFile(b.Root(), FileRec(cjk), false, 0, "/s/" + cjk), 1);
  const std::vector<std::string> names = ChainNames(b.Root());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], Repeat("Ж", 99) + ".документ");
  EXPECT_EQ(names[1], Repeat("漢", 105) + ".文本");
  for (const std::string &n : names) {
    EXPECT_EQ(UCS2Length(n), 108u) << n;
    EXPECT_TRUE(CleanUtf8(n)) << n;
  }
  // Characters beyond the BMP count as one "_" each; the cut never splits one.
  const std::string emoji = Repeat("😀", 120) + ".txt";
  const std::string fitted = FitLongName(SanitizeLongName(emoji), 108);
  EXPECT_EQ(fitted, Repeat("_", 104) + ".txt");
  const std::string mixed = FitLongName(Repeat("aЖ漢", 40), 101);
  EXPECT_EQ(UCS2Length(mixed), 101u);
  EXPECT_TRUE(CleanUtf8(mixed));
  EXPECT_EQ(mixed.substr(mixed.size() - 2), "Ж");
}

TEST(TreeRecords, NumberedNamesSkipTakenOnesAndCountPerName) {
  TOrvBurner b;
  // A real file already has the first numbered name.
  ASSERT_EQ(b.AddFile(b.Root(), FileRec("a (2).txt"), false, 0, "/s/a (2).txt"), 1);
  ASSERT_EQ(b.AddFile(b.Root(), FileRec("A.txt"), false, 0, "/s/A.txt"), 1);
  ASSERT_EQ(b.AddFile(b.Root(), FileRec("a.txt"), false, 0, "/s/a.txt"), 1);
  ASSERT_EQ(b.AddFile(b.Root(), FileRec("a.TXT"), false, 0, "/s/a.TXT"), 1);
  // Another name starts its own count.
  ASSERT_EQ(b.AddFile(b.Root(), FileRec("B.txt"), false, 0, "/s/B.txt"), 1);
  ASSERT_EQ(b.AddFile(b.Root(), FileRec("b.txt"), false, 0, "/s/b.txt"), 1);
  EXPECT_EQ(ChainNames(b.Root()), (std::vector<std::string>{"a (2).txt", "A.txt", "a (3).txt", "a (4).TXT",
                                                             "B.txt", "b (2).txt"}));
  // Removing a numbered entry forgets its source: it comes back, renamed.
  b.RemoveEntry(b.Root(), b.FindFile(b.Root(), "a (3).txt"));
  ASSERT_EQ(b.AddFile(b.Root(), FileRec("a.txt"), false, 0, "/s/a.txt"), 1);
  EXPECT_EQ(ChainNames(b.Root()).back(), "a (5).txt");
  // Folders: a file keeps its name, a folder of that name is numbered.
  TDEntry *d = b.AddDir(b.Root(), DirRec("B.txt"), "/s/B.txt.d");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->LongName, "B.txt (2)");
  EXPECT_EQ(d->ISOName.find('.'), std::string::npos) << d->ISOName;
}
