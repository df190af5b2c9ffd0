// The session tree read one folder at a time (as `skarvo ls` lists) against
// the whole tree read at once (as import and extract use): the same entries,
// paths, data and messages, under the same guards.
#include "CraftedImage.h"
#include "ovSessionTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

using craft::TImage;

// One line per entry: path, kind, size and extents.
std::string Line(const std::string &path, const iso::TEntry &e) {
  std::string s = path + (e.Directory ? " d " : " - ") + std::to_string(e.Size);
  for (const iso::TExtent &x : e.Extents)
    s += " " + std::to_string(x.Lba) + "+" + std::to_string(x.Length);
  return s;
}

// A root with a nested folder, a loop back to the root, a file in two
// extents, one whose last part is missing, an associated file and one whose
// data lies past the end; an empty Joliet tree beside it.
TImage Sample() {
  TImage img(120);
  img.Descriptor(16, false, 20, 2048);
  img.Descriptor(17, true, 25, 2048);
  img.Terminator(18);
  img.Directory(20, 20,
                {{"A", 30, 2048, 0x02},
                 {"ASSOC.DAT;1", 60, 10, 0x04},
                 {"BIG.DAT;1", 70, 4096, 0x80},
                 {"BIG.DAT;1", 80, 100, 0},
                 {"CUT.DAT;1", 90, 2048, 0x80},
                 {"F.TXT;1", 95, 5, 0},
                 {"LOOP", 20, 2048, 0x02},
                 {"PAST.DAT;1", 5000, 10, 0}});
  img.Directory(25, 25, {});
  img.Directory(30, 20, {{"B", 40, 2048, 0x02}, {"X.TXT;1", 96, 7, 0}});
  img.Directory(40, 30, {{"Y.TXT;1", 97, 9, 0}});
  return img;
}

void Walk(iso::TSessionWalk &walk, const iso::TDirRecord &dir, const std::string &path, uint32_t depth,
          std::vector<std::string> &lines, std::vector<uint32_t> &firstExtents) {
  walk.List(dir, path, depth, [&](iso::TEntry &e, const iso::TDirRecord &r, const iso::TEntryRock *) {
    const std::string child = (path == "/" ? "" : path) + "/" + e.Name;
    lines.push_back(Line(child, e));
    firstExtents.push_back(r.Extent);
    if (e.Directory)
      Walk(walk, r, child, depth + 1, lines, firstExtents);
  });
}

} // namespace

TEST(SessionWalk, ListsTheEntriesAndMessagesOfTheWholeTreeRead) {
  TImage img = Sample();
  craft::TMemorySource src(img.data);
  iso::TSessionTree tree;
  std::string err;
  ASSERT_TRUE(iso::ReadSessionTree(src, 0, iso::TTreeChoice::PreferJoliet, tree, err)) << err;
  std::vector<std::string> whole;
  for (size_t i = 0; i < tree.Entries.size(); ++i)
    whole.push_back(Line(iso::EntryPath(tree, static_cast<int32_t>(i)), tree.Entries[i]));

  std::vector<std::string> messages;
  iso::TSessionWalk walk([&](const std::string &m) { messages.push_back(m); });
  ASSERT_TRUE(walk.Open(src, 0, iso::TTreeChoice::PreferJoliet, err)) << err;
  EXPECT_FALSE(walk.Joliet()) << "the empty Joliet tree gives way to the primary one";
  EXPECT_EQ(walk.Notices(), tree.Notices);
  ASSERT_EQ(walk.Notices().size(), 1u);
  std::vector<std::string> streamed{Line("/", walk.Root())};
  std::vector<uint32_t> firstExtents;
  Walk(walk, walk.RootRecord(), "/", 0, streamed, firstExtents);

  // Depth first against breadth first: the same set of entries.
  std::sort(whole.begin(), whole.end());
  std::sort(streamed.begin(), streamed.end());
  EXPECT_EQ(streamed, whole);
  EXPECT_EQ(whole, (std::vector<std::string>{"/ d 2048 20+2048", "/A d 2048 30+2048", "/A/B d 2048 40+2048",
                                             "/A/B/Y.TXT - 9 97+9", "/A/X.TXT - 7 96+7",
                                             "/BIG.DAT - 4196 70+4096 80+100", "/F.TXT - 5 95+5"}));
  EXPECT_EQ(std::set<std::string>(messages.begin(), messages.end()),
            std::set<std::string>(tree.Messages.begin(), tree.Messages.end()));
  for (const char *what : {"LOOP", "ASSOC.DAT", "CUT.DAT", "PAST.DAT"})
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [&](const std::string &m) { return m.find(what) != std::string::npos; }),
              1)
        << what;
  // A file in several extents is handed on with its first record.
  EXPECT_NE(std::find(firstExtents.begin(), firstExtents.end(), 70u), firstExtents.end());
  EXPECT_EQ(std::find(firstExtents.begin(), firstExtents.end(), 80u), firstExtents.end());
}

TEST(SessionWalk, EntryPathFollowsTheParents) {
  TImage img = Sample();
  craft::TMemorySource src(img.data);
  iso::TSessionTree tree;
  std::string err;
  ASSERT_TRUE(iso::ReadSessionTree(src, 0, iso::TTreeChoice::Primary, tree, err)) << err;
  EXPECT_EQ(iso::EntryPath(tree, 0), "/");
  const int32_t y = iso::FindPath(tree, "/a/b/y.txt");
  ASSERT_GT(y, 0);
  EXPECT_EQ(iso::EntryPath(tree, y), "/A/B/Y.TXT");
  EXPECT_EQ(iso::EntryPath(tree, tree.Entries[static_cast<size_t>(y)].Parent), "/A/B");
  EXPECT_EQ(iso::EntryPath(tree, static_cast<int32_t>(tree.Entries.size())), "/") << "out of range";
}
