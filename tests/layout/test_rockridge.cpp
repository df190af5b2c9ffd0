// Rock Ridge system use fields: entry placement in records and continuation
// areas, symbolic link components, and the rational modes.
#include "ovBytes.h"
#include "ovRockRidgeWrite.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace ovrr;
namespace rr = iso::rr;

namespace {

struct TEntry {
  std::string Sig;
  std::string Body;  // after the four header bytes
};

// Splits system use bytes into entries; stops at padding shorter than a header.
std::vector<TEntry> Split(const std::string &su) {
  std::vector<TEntry> out;
  size_t p = 0;
  while (p + rr::kEntryHeader <= su.size()) {
    const size_t len = static_cast<uint8_t>(su[p + 2]);
    EXPECT_GE(len, rr::kEntryHeader);
    EXPECT_LE(p + len, su.size());
    if (len < rr::kEntryHeader || p + len > su.size())
      break;
    out.push_back({su.substr(p, 2), su.substr(p + 4, len - 4)});
    p += len;
  }
  return out;
}

// Follows a record's entries through every continuation area of image
// (sectors from block start), as a reader does; checks each area stays in
// one sector and in the image.
std::vector<TEntry> Follow(const std::string &inl, const std::vector<uint8_t> &image, uint32_t start) {
  std::vector<TEntry> all;
  std::string su = inl;
  for (int hops = 0; hops < 64; ++hops) {
    std::string next;
    for (const TEntry &e : Split(su)) {
      if (e.Sig == "CE") {
        const auto *b = reinterpret_cast<const uint8_t *>(e.Body.data());
        const uint32_t block = ov::GetLE32(b), offset = ov::GetLE32(b + 8), length = ov::GetLE32(b + 16);
        EXPECT_EQ(ov::GetBE32(b + 4), block);
        EXPECT_LE(offset + length, 2048u) << "an area crosses a sector boundary";
        const size_t at = static_cast<size_t>(block - start) * 2048 + offset;
        EXPECT_LE(at + length, image.size());
        if (at + length <= image.size())
          next.assign(reinterpret_cast<const char *>(image.data() + at), length);
      } else {
        all.push_back(e);
      }
    }
    if (next.empty())
      return all;
    su = next;
  }
  ADD_FAILURE() << "continuation chain does not end";
  return all;
}

std::string Joined(const std::vector<TEntry> &entries, const std::string &sig) {
  std::string out;
  for (const TEntry &e : entries)
    if (e.Sig == sig)
      out += e.Body.substr(1);
  return out;
}

// A link target read back from SL entries, as the Linux kernel assembles it.
std::string LinkOf(const std::vector<TEntry> &entries) {
  std::string out;
  bool continued = false;
  for (const TEntry &e : entries) {
    if (e.Sig != "SL")
      continue;
    size_t p = 1;
    while (p + 2 <= e.Body.size()) {
      const uint8_t flags = static_cast<uint8_t>(e.Body[p]);
      const size_t len = static_cast<uint8_t>(e.Body[p + 1]);
      if (!out.empty() && !continued && out.back() != '/')
        out += '/';
      if (flags & rr::kNameRoot)
        out += '/';
      else if (flags & rr::kNameCurrent)
        out += '.';
      else if (flags & rr::kNameParent)
        out += "..";
      else
        out += e.Body.substr(p + 2, len);
      continued = flags & rr::kNameContinue;
      p += 2 + len;
    }
  }
  return out;
}

TRecordAttrs FileAttrs(const std::string &name, const std::string *link = nullptr) {
  static std::map<std::string, std::string> names;
  TRecordAttrs a;
  a.Mode = link ? rr::kTypeSymlink | 0777 : rr::kTypeRegular | 0444;
  a.Name = &(names[name] = name);
  a.LinkTarget = link;
  return a;
}

} // namespace

TEST(RockRidgeWrite, ShortEntriesStayInTheRecordAndKeepItEven) {
  TSystemUse su;
  TContinuation cont(100, nullptr, 0);  // no room: nothing may go there
  const std::string &bytes = su.Place(FileAttrs("readme"), 48, cont);
  EXPECT_EQ(bytes.size() % 2, 0u);
  EXPECT_LE(48 + bytes.size(), 255u);
  const auto entries = Split(bytes);
  ASSERT_GE(entries.size(), 3u);
  EXPECT_EQ(entries[0].Sig, "PX");
  EXPECT_EQ(entries[0].Body.size() + 4, rr::kPXLength112);
  EXPECT_EQ(entries[1].Sig, "TF");
  EXPECT_EQ(Joined(entries, "NM"), "readme");
  EXPECT_FALSE(cont.Failed());
  EXPECT_EQ(cont.Sectors(), 0u);
}

TEST(RockRidgeWrite, LongNamesAndLinksGoThroughChainedContinuationAreas) {
  // A 255-byte name, and a link target of 4000 bytes with a 300-byte
  // component: more than one area, each in one sector, read back whole.
  const std::string name(255, 'n');
  std::string target = "/abs/./../" + std::string(300, 'c') + "/";
  while (target.size() < 4000)
    target += "dir/";
  target += "end";
  std::vector<uint8_t> image(8 * 2048, 0);
  TContinuation count(0, nullptr, SIZE_MAX), write(50, image.data(), image.size());
  TSystemUse su;
  const std::string first = su.Place(FileAttrs(name, &target), 60, count);
  const std::string inl = su.Place(FileAttrs(name, &target), 60, write);
  EXPECT_EQ(first.size(), inl.size()) << "counting and writing must place alike";
  EXPECT_EQ(count.Sectors(), write.Sectors());
  EXPECT_GE(write.Sectors(), 2u);
  EXPECT_LE(60 + inl.size(), 255u);
  EXPECT_EQ(inl.size() % 2, 0u);
  const auto entries = Follow(inl, image, 50);
  EXPECT_EQ(Joined(entries, "NM"), name);
  EXPECT_EQ(LinkOf(entries), target);
  for (const TEntry &e : entries)
    EXPECT_LE(e.Body.size() + 4, 255u);
}

TEST(RockRidgeWrite, RootCarriesSPFirstAndERReachable) {
  std::vector<uint8_t> image(2048, 0);
  TContinuation cont(7, image.data(), image.size());
  TSystemUse su;
  TRecordAttrs a;
  a.Mode = rr::kTypeDirectory | 0555;
  a.Links = 2;
  a.Root = true;
  const std::string inl = su.Place(a, 34, cont);
  ASSERT_GE(inl.size(), rr::kSPLength);
  EXPECT_EQ(inl.substr(0, 2), "SP");
  EXPECT_EQ(static_cast<uint8_t>(inl[4]), rr::kSPCheck1);
  EXPECT_EQ(static_cast<uint8_t>(inl[5]), rr::kSPCheck2);
  const auto entries = Follow(inl, image, 7);
  bool er = false;
  for (const TEntry &e : entries)
    if (e.Sig == "ER")
      er = e.Body.substr(4, 9) == rr::kERIdentifier;
  EXPECT_TRUE(er);
}

TEST(RockRidgeWrite, AFullRecordOrAFullAreaWritesNothing) {
  TSystemUse su;
  TContinuation cont(0, nullptr, SIZE_MAX);
  // An identifier that leaves less room than a CE entry needs.
  EXPECT_TRUE(su.Place(FileAttrs(std::string(200, 'x')), 240, cont).empty());
  // An area that would run past what the layout counted.
  TContinuation none(0, nullptr, 0);
  EXPECT_TRUE(su.Place(FileAttrs(std::string(200, 'x')), 48, none).empty());
  EXPECT_TRUE(none.Failed());
}

TEST(RockRidgeWrite, RationalModes) {
  EXPECT_EQ(RationalMode(rr::kTypeRegular | 0600), rr::kTypeRegular | 0444u);
  EXPECT_EQ(RationalMode(rr::kTypeRegular | 0755), rr::kTypeRegular | 0555u);
  EXPECT_EQ(RationalMode(rr::kTypeRegular | 0700), rr::kTypeRegular | 0555u);
  // A set-user-id file owned by 0 on the disc must not keep the bit.
  EXPECT_EQ(RationalMode(rr::kTypeRegular | 04755), rr::kTypeRegular | 0555u);
  EXPECT_EQ(RationalMode(rr::kTypeDirectory | 0700), rr::kTypeDirectory | 0555u);
  EXPECT_EQ(RationalMode(rr::kTypeDirectory | 01777), rr::kTypeDirectory | 01555u);
}
