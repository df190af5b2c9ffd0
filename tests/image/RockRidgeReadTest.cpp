// Rock Ridge on crafted sessions: names, attributes and links split over
// continuation areas, relocated folders, and hostile continuation chains (a
// loop, an area outside the volume, a chain of a million areas) that the
// session reader and the checker must end fast, with a finding.
#include "CraftedImage.h"

#include "ovISOCheck.h"
#include "ovRockRidge.h"
#include "ovSessionTree.h"

#include <gtest/gtest.h>

namespace {

using craft::TImage;
namespace rr = iso::rr;

// ---- system use entries ----
std::string Entry(const char sig[2], const std::string &body) {
  std::string e{sig[0], sig[1], static_cast<char>(rr::kEntryHeader + body.size()), static_cast<char>(rr::kEntryVersion)};
  return e + body;
}
std::string Both32(uint32_t v) {
  std::string s(8, '\0');
  TImage::Both32(reinterpret_cast<uint8_t *>(s.data()), v);
  return s;
}
std::string SP() { return Entry(rr::kSP, {static_cast<char>(rr::kSPCheck1), static_cast<char>(rr::kSPCheck2), 0}); }
std::string ER(const std::string &id = rr::kERIdentifier) {
  std::string body{static_cast<char>(id.size()), 1, 1, static_cast<char>(rr::kERVersion)};
  return Entry(rr::kER, body + id + "D" + "S");
}
std::string CE(uint32_t block, uint32_t offset, uint32_t length) {
  return Entry(rr::kCE, Both32(block) + Both32(offset) + Both32(length));
}
std::string NM(uint8_t flags, const std::string &name) { return Entry(rr::kNM, std::string(1, static_cast<char>(flags)) + name); }
std::string PX(uint32_t mode, bool withSerial, uint32_t links = 1) {
  std::string body = Both32(mode) + Both32(links) + Both32(1000) + Both32(100);
  return Entry(rr::kPX, withSerial ? body + Both32(77) : body);
}
// SL with components given as (flags, text).
std::string SL(uint8_t flags, const std::vector<std::pair<uint8_t, std::string>> &components) {
  std::string body(1, static_cast<char>(flags));
  for (const auto &[f, text] : components)
    body += std::string{static_cast<char>(f), static_cast<char>(text.size())} + text;
  return Entry(rr::kSL, body);
}
std::string Location(const char sig[2], uint32_t block) { return Entry(sig, Both32(block)); }

constexpr uint32_t kRoot = 20;

// A session: descriptors at 16 and 17, the root at 20, room for more.
struct TSession {
  TImage Image;
  explicit TSession(uint32_t sectors = 64) : Image(sectors) {
    Image.Descriptor(16, false, kRoot, 2048);
    Image.Terminator(17);
  }
  struct TRec {
    std::string Id;
    uint32_t Extent = 0, Size = 0;
    uint8_t Flags = 0;
    std::string SystemUse;
  };
  // A directory at lba: "." (with DotSU), ".." and the records, one sector.
  void Dir(uint32_t lba, uint32_t parent, const std::string &dotSU, const std::vector<TRec> &recs,
           const std::string &dotDotSU = {}) {
    uint8_t *s = Image.Sector(lba);
    size_t off = Put(s, {std::string(1, '\0'), lba, 2048, 0x02, dotSU});
    off += Put(s + off, {std::string(1, '\1'), parent, 2048, 0x02, dotDotSU});
    for (const TRec &r : recs)
      off += Put(s + off, r);
  }
  static size_t Put(uint8_t *p, const TRec &r) {
    const size_t base = 33 + r.Id.size() + (r.Id.size() % 2 == 0 ? 1 : 0);
    const size_t len = base + r.SystemUse.size() + ((base + r.SystemUse.size()) % 2);
    TImage::Record(p, r.Id, r.Extent, r.Size, r.Flags, static_cast<int>(len));
    std::memcpy(p + base, r.SystemUse.data(), r.SystemUse.size());
    return len;
  }
  void Area(uint32_t lba, uint32_t offset, const std::string &bytes) {
    std::memcpy(Image.Sector(lba) + offset, bytes.data(), bytes.size());
  }
};

bool ReadTree(craft::TMemorySource &src, iso::TSessionTree &tree, iso::TTreeChoice choice = iso::TTreeChoice::PreferRockRidge) {
  std::string err;
  return iso::ReadSessionTree(src, 0, choice, tree, err);
}

bool HasMessage(const iso::TSessionTree &t, const std::string &text) {
  for (const std::string &m : t.Messages)
    if (m.find(text) != std::string::npos)
      return true;
  return false;
}

bool HasError(const iso::TCheckResult &r, const std::string &what,
              iso::TSeverity severity = iso::TSeverity::Error) {
  for (const iso::TFinding &f : r.Findings)
    if (f.Severity == severity && f.What.find(what) != std::string::npos)
      return true;
  return false;
}

// Errors that concern Rock Ridge (the crafted sessions have no path tables,
// which the checker reports too).
std::string RockRidgeErrors(const iso::TCheckResult &r) {
  std::string out;
  for (const iso::TFinding &f : r.Findings)
    if (f.Severity == iso::TSeverity::Error &&
        (f.Where.find("Rock Ridge") != std::string::npos || f.What.find("SP") != std::string::npos ||
         f.What.find("CL") != std::string::npos || f.What.find("RE ") != std::string::npos ||
         f.What.find("PL") != std::string::npos || f.What.find("PX") != std::string::npos ||
         f.What.find("continu") != std::string::npos || f.What.find("NM") != std::string::npos))
      out += f.Where + ": " + f.What + "\n";
  return out;
}

std::string Child(const iso::TSessionTree &t, int32_t at, size_t k) {
  return t.Entries[static_cast<size_t>(t.Entries[static_cast<size_t>(at)].FirstChild) + k].Name;
}

} // namespace

// Names split between a record and its continuation area, PX of both RRIP
// lengths, TF in the long form, a link whose components continue across two
// SL entries.
TEST(RockRidgeRead, NamesAttributesAndLinksAcrossContinuationAreas) {
  TSession s;
  const std::string longName(240, 'x');
  // The continuation area at sector 30 holds the rest of the name.
  const std::string rest = NM(0, longName.substr(100));
  s.Area(30, 64, rest);
  // TF, long form: modification 2001-09-09 01:46:40 UTC (1000000000).
  const std::string tf =
      Entry(rr::kTF, std::string(1, static_cast<char>(rr::kTFModify | rr::kTFLongForm)) + "2001090901464000" +
                         std::string(1, '\0'));
  s.Dir(kRoot, kRoot, SP() + ER() + PX(040755, true),
        {{"A.;1", 40, 3, 0, PX(0100600, true) + NM(rr::kNameContinue, longName.substr(0, 100)) + tf +
                                CE(30, 64, static_cast<uint32_t>(rest.size()))},
         {"B.;1", 41, 3, 0, PX(0104755, false) + NM(0, "tool \xE2\x98\x83")},
         {"L.;1", 0, 0, 0,
          PX(0120777, true) + NM(0, "link") +
              SL(rr::kNameContinue, {{rr::kNameRoot, ""}, {0, "usr"}, {rr::kNameContinue, "li"}}) +
              SL(0, {{0, "b"}, {rr::kNameParent, ""}, {0, "x"}})}});
  craft::TMemorySource src(s.Image.data);
  iso::TSessionTree tree;
  ASSERT_TRUE(ReadTree(src, tree));
  ASSERT_TRUE(tree.RockRidge);
  EXPECT_TRUE(tree.Messages.empty()) << tree.Messages.front();
  ASSERT_EQ(tree.Entries.size(), 4u);
  ASSERT_EQ(tree.Attrs.size(), 4u);
  EXPECT_EQ(tree.Entries[1].Name, longName);
  EXPECT_EQ(tree.Attrs[1].Mode, 0100600u);
  EXPECT_EQ(tree.Attrs[1].Uid, 1000u);
  EXPECT_EQ(tree.Attrs[1].Gid, 100u);
  EXPECT_TRUE(tree.Attrs[1].Stamps & iso::kStampModify);
  EXPECT_EQ(tree.Attrs[1].ModifyTime, 1000000000);
  EXPECT_EQ(tree.Entries[2].Name, "tool \xE2\x98\x83");
  EXPECT_EQ(tree.Attrs[2].Mode, 0104755u);  // PX of 36 bytes (RRIP 1.10)
  const std::string *target = iso::LinkTarget(tree, 3);
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(*target, "/usr/lib/../x");
  EXPECT_TRUE(tree.Entries[3].Extents.empty());
  EXPECT_EQ(iso::LinkTarget(tree, 1), nullptr);

  // The other trees on request: the recorded names.
  ASSERT_TRUE(ReadTree(src, tree, iso::TTreeChoice::Primary));
  EXPECT_FALSE(tree.RockRidge);
  EXPECT_TRUE(tree.Attrs.empty());
  EXPECT_EQ(tree.Entries[1].Name, "A.");

  const iso::TCheckResult r = iso::CheckImage(src);
  EXPECT_EQ(RockRidgeErrors(r), "");
  EXPECT_NE(r.Summary.find("Rock Ridge"), std::string::npos) << r.Summary;
}

// A folder relocated by its writer appears once, at the place its child link
// gives; links that point nowhere, at a folder shown elsewhere or at an
// ancestor (a loop) leave their entry out, and check names each fault.
TEST(RockRidgeRead, RelocatedFolderAppearsOnceAtItsPlace) {
  TSession s;
  // /A holds the place holder of /A/DEEP (CL -> 23); /RR_MOVED/DEEP (at 23,
  // RE) holds FILE; its ".." names /A (at 21) with PL.
  s.Dir(kRoot, kRoot, SP() + ER(),
        {{"A", 21, 2048, 0x02, NM(0, "a")}, {"RR_MOVED", 22, 2048, 0x02, NM(0, "rr_moved")}});
  s.Dir(21, kRoot, {}, {{"DEEP", 0, 0, 0, NM(0, "deep") + Location(rr::kCL, 23)}});
  s.Dir(22, kRoot, {}, {{"DEEP", 23, 2048, 0x02, NM(0, "deep") + PX(040700, true) + Entry(rr::kRE, "")}});
  s.Dir(23, 22, {}, {{"FILE.;1", 40, 5, 0, NM(0, "file.txt")}}, Location(rr::kPL, 21));
  craft::TMemorySource src(s.Image.data);
  iso::TSessionTree tree;
  ASSERT_TRUE(ReadTree(src, tree));
  EXPECT_TRUE(tree.Messages.empty()) << tree.Messages.front();
  const int32_t deep = iso::FindPath(tree, "/a/deep");
  ASSERT_GE(deep, 0);
  EXPECT_TRUE(tree.Entries[static_cast<size_t>(deep)].Directory);
  EXPECT_EQ(tree.Attrs[static_cast<size_t>(deep)].Mode, 040700u);  // the folder's own attributes
  EXPECT_GE(iso::FindPath(tree, "/a/deep/file.txt"), 0);
  const int32_t moved = iso::FindPath(tree, "/rr_moved");
  ASSERT_GE(moved, 0);
  EXPECT_EQ(tree.Entries[static_cast<size_t>(moved)].ChildCount, 0);
  size_t files = 0;
  for (const iso::TEntry &e : tree.Entries)
    files += e.Name == "file.txt";
  EXPECT_EQ(files, 1u);
  EXPECT_EQ(RockRidgeErrors(iso::CheckImage(src)), "");

  // Faults: PL naming the wrong parent; a second CL to the same folder; a CL
  // at the root (an ancestor); a folder flagged RE that no CL points at.
  s.Dir(23, 22, {}, {{"FILE.;1", 40, 5, 0, NM(0, "file.txt")}}, Location(rr::kPL, kRoot));
  s.Dir(21, kRoot, {}, {{"DEEP", 0, 0, 0, NM(0, "deep") + Location(rr::kCL, 23)},
                        {"TWICE", 0, 0, 0, NM(0, "twice") + Location(rr::kCL, 23)},
                        {"UP", 0, 0, 0, NM(0, "up") + Location(rr::kCL, kRoot)}});
  s.Dir(22, kRoot, {},
        {{"DEEP", 23, 2048, 0x02, NM(0, "deep") + Entry(rr::kRE, "")},
         {"LOST", 24, 2048, 0x02, NM(0, "lost") + Entry(rr::kRE, "")}});
  s.Dir(24, 22, {}, {});
  ASSERT_TRUE(ReadTree(src, tree));
  EXPECT_GE(iso::FindPath(tree, "/a/deep/file.txt"), 0);
  EXPECT_LT(iso::FindPath(tree, "/a/twice"), 0);
  EXPECT_LT(iso::FindPath(tree, "/a/up"), 0);
  EXPECT_TRUE(HasMessage(tree, "/A/TWICE: a relocated directory")) << tree.Messages.size();
  EXPECT_TRUE(HasMessage(tree, "/A/UP: a relocated directory"));
  const iso::TCheckResult r = iso::CheckImage(src);
  EXPECT_TRUE(HasError(r, "another CL already claims")) << RockRidgeErrors(r);
  EXPECT_TRUE(HasError(r, "where no directory flagged RE")) << RockRidgeErrors(r);
  EXPECT_TRUE(HasError(r, "PL of the relocated directory gives sector 20")) << RockRidgeErrors(r);
  EXPECT_TRUE(HasError(r, "no CL entry points at", iso::TSeverity::Warning)) << RockRidgeErrors(r);
}

// A session appended by a peer keeps the child link of the earlier session's
// relocated folder, outside the new tree: it is read there, once.
TEST(RockRidgeRead, ChildLinkOutsideTheTreeIsFollowedOnce) {
  TSession s;
  s.Dir(kRoot, kRoot, SP() + ER(),
        {{"A", 0, 0, 0, NM(0, "a") + Location(rr::kCL, 25)}, {"B", 0, 0, 0, NM(0, "b") + Location(rr::kCL, 25)}});
  s.Dir(25, 24, {}, {{"OLD.;1", 40, 3, 0, NM(0, "old.txt")}});
  craft::TMemorySource src(s.Image.data);
  iso::TSessionTree tree;
  ASSERT_TRUE(ReadTree(src, tree));
  EXPECT_GE(iso::FindPath(tree, "/a/old.txt"), 0);
  EXPECT_LT(iso::FindPath(tree, "/b"), 0);
  EXPECT_TRUE(HasMessage(tree, "/B: a relocated directory"));
  const iso::TCheckResult r = iso::CheckImage(src);
  EXPECT_TRUE(HasError(r, "a directory outside this tree", iso::TSeverity::Warning)) << RockRidgeErrors(r);
}

// Hostile continuation chains end at once with a finding, for the session
// reader (ls, extract, import) and for check: a loop, an area outside the
// volume, one crossing its sector, and a chain of a million areas.
TEST(RockRidgeRead, HostileContinuationChainsEndFastWithAFinding) {
  struct TCase {
    const char *Name;
    std::string Chain;  // the CE of the file's record
    const char *Finding;
  };
  constexpr uint32_t kAreaSectors = 1'000'000 / 73 + 1;  // 28-byte areas, 73 a sector
  TSession s(40 + kAreaSectors);
  // Area k holds only a CE to area k + 1: a chain of a million areas.
  for (uint32_t k = 0; k < 1'000'000; ++k) {
    const uint32_t next = k + 1;
    s.Area(40 + k / 73, (k % 73) * rr::kCELength, CE(40 + next / 73, (next % 73) * rr::kCELength, rr::kCELength));
  }
  // At 30: an area whose CE points back at itself.
  s.Area(30, 0, NM(rr::kNameContinue, "loo") + CE(30, 0, 64));
  const TCase cases[] = {
      {"loop", CE(30, 0, 64), "loops back to sector 30"},
      {"outside", CE(4'000'000'000u, 0, 64), "outside the volume"},
      {"crossing", CE(30, 2000, 100), "crosses the end of its sector"},
      {"million", CE(40, 0, rr::kCELength), "chain of continuation areas is longer than"},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Name);
    s.Dir(kRoot, kRoot, SP() + ER(), {{"EVIL.;1", 0, 0, 0, NM(rr::kNameContinue, "ev") + c.Chain}});
    craft::TMemorySource src(s.Image.data);
    iso::TSessionTree tree;
    ASSERT_TRUE(ReadTree(src, tree));
    EXPECT_TRUE(HasMessage(tree, c.Finding)) << (tree.Messages.empty() ? "" : tree.Messages.front());
    EXPECT_LT(src.reads, 200u);  // no walk along the chain
    src.reads = 0;
    const iso::TCheckResult r = iso::CheckImage(src);
    EXPECT_TRUE(HasError(r, c.Finding)) << RockRidgeErrors(r);
    EXPECT_LT(src.reads, 400u);
  }
}

// SP and ER: entries without SP are not Rock Ridge (the recorded names
// stand) and check says so; SP without ER, and PX of a third length, are
// errors.
TEST(RockRidgeRead, SharingProtocolAndExtensionReference) {
  TSession s;
  s.Dir(kRoot, kRoot, ER(), {{"F.;1", 0, 0, 0, NM(0, "file") + PX(0100644, true)}});
  craft::TMemorySource src(s.Image.data);
  iso::TSessionTree tree;
  ASSERT_TRUE(ReadTree(src, tree));
  EXPECT_FALSE(tree.RockRidge);
  EXPECT_EQ(tree.Entries[1].Name, "F.");
  EXPECT_TRUE(HasError(iso::CheckImage(src), "no SP entry"));

  s.Dir(kRoot, kRoot, SP(), {{"F.;1", 0, 0, 0, NM(0, "file") + Entry(rr::kPX, std::string(36, '\0'))}});
  ASSERT_TRUE(ReadTree(src, tree));
  EXPECT_TRUE(tree.RockRidge);
  EXPECT_EQ(Child(tree, 0, 0), "file");
  const iso::TCheckResult r = iso::CheckImage(src);
  EXPECT_TRUE(HasError(r, "SP without an ER entry")) << RockRidgeErrors(r);
  EXPECT_TRUE(HasError(r, "a PX entry of 40 bytes")) << RockRidgeErrors(r);
}
