// A session's file tree for import, listing and extraction.
#include "ovSessionTree.h"

#include "ovBytes.h"
#include "ovDateTime.h"
#include "ovRockRidgeRead.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <limits>

namespace iso {

namespace {

void AppendUtf8(std::string &out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | cp >> 6));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | cp >> 12));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | cp >> 18));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

uint32_t Safe(uint32_t cp) { return cp < 0x20 || cp == 0x7F || cp == '/' ? '_' : cp; }

std::string Where(const TWhere &at) {
  return "sector " + std::to_string(at.Lba) + ", byte " + std::to_string(at.Offset) + ": ";
}

uint64_t SectorsOf(uint64_t bytes) { return (bytes + kSectorSize - 1) / kSectorSize; }

// Whether a file's data lies on the source; else Why says where it ends.
bool ExtentOnSource(const TExtent &e, uint64_t have, std::string &Why) {
  if (e.Length == 0 || e.Lba + SectorsOf(e.Length) <= have)
    return true;
  Why = "its data (sector " + std::to_string(e.Lba) + ", " + std::to_string(e.Length) +
        " bytes) lies past the end of the disc (" + std::to_string(have) + " sectors)";
  return false;
}

TEntry RootEntry(const TDirRecord &r) {
  TEntry root;
  root.Directory = true;
  root.Extents.push_back({r.Extent, r.DataLength});
  root.Size = r.DataLength;
  root.Date = RecordDate(r.Date);
  return root;
}

// The fixed Rock Ridge fields of an entry; a link is a symbolic link only
// when it is no directory.
TEntryAttrs AttrsOf(const rr::TRecordInfo &info, bool directory) {
  const rr::TPosixAttrs &a = info.Attrs;
  TEntryAttrs x;
  if (info.HasAttrs) {
    x.Mode = a.Mode;
    x.Links = a.Links;
    x.Uid = a.Uid;
    x.Gid = a.Gid;
  }
  if (info.HasLink && !directory)
    x.Mode = (x.Mode & ~rr::kTypeMask) | rr::kTypeSymlink | (info.HasAttrs ? 0 : 0777);
  else if (info.HasAttrs && (x.Mode & rr::kTypeMask) == rr::kTypeSymlink)
    x.Mode = (x.Mode & ~rr::kTypeMask) | (directory ? rr::kTypeDirectory : rr::kTypeRegular);
  x.ModifyTime = a.ModifyTime;
  x.AccessTime = a.AccessTime;
  x.ChangeTime = a.ChangeTime;
  x.Stamps = static_cast<uint8_t>((a.HasModify ? kStampModify : 0) | (a.HasAccess ? kStampAccess : 0) |
                                  (a.HasChange ? kStampChange : 0));
  return x;
}

// Turns the records of one directory, fed in order, into entries: names
// cleaned and refused where unusable, multi-extent runs joined into one file,
// data checked against the end of the source, and, in a Rock Ridge tree,
// names, attributes, links and relocated directories resolved as the Linux
// kernel shows them. Entries go to Emit; what is left out goes to Message.
class TEntryMaker {
public:
  using TEmit = std::function<void(TEntry &, const TDirRecord &Dir, const TEntryRock *Rock)>;
  // Claim takes a relocated directory into the walk: false when it may not
  // be shown here (walked already, or too deep).
  using TClaim = std::function<bool(const TDirRecord &)>;
  TEntryMaker(bool joliet, uint64_t have, rr::TReader *rock, const std::function<std::string()> &dirPath,
              const std::function<void(const std::string &)> &message, const TClaim &claim, const TEmit &emit)
      : joliet_(joliet), have_(have), rock_(rock), dirPath_(dirPath), message_(message), claim_(claim),
        emit_(emit) {}

  // NotEntered: a directory the walk refused (a loop, an overlap, too deep,
  // or past a limit); the reader said why, and it is left out.
  void Feed(const TDirRecord &r, bool notEntered) {
    if (!group_.empty()) {
      // One file in several records of the same name, each but the last
      // flagged as continued.
      if (!r.IsDirectory() && r.Identifier == group_.front().Identifier) {
        group_.push_back(r);
        if (!(r.Flags & dr::kMultiExtent)) {
          Make(group_.data(), group_.size(), true);
          group_.clear();
        }
        return;
      }
      End();
    }
    if (!r.IsDirectory() && (r.Flags & dr::kMultiExtent) && !notEntered) {
      group_.push_back(r);
      return;
    }
    if (!notEntered)
      Make(&r, 1, true);
  }

  // The directory's records are all fed: a run still open lacks its last part.
  void End() {
    if (!group_.empty())
      Make(group_.data(), group_.size(), false);
    group_.clear();
  }

private:
  void Make(const TDirRecord *parts, size_t n, bool complete) {
    const TDirRecord &r = parts[0];
    const auto shown = [&] {
      const std::string dir = dirPath_();
      return (dir == "/" ? std::string() : dir) + "/" + IdentifierText(r.Identifier, joliet_);
    };
    const auto leftOut = [&](const std::string &why) { message_(Where(r.At) + shown() + ": " + why + ": left out"); };
    if (!complete)
      return leftOut("a file in several extents whose last part is missing");
    if (r.Flags & dr::kAssociated)
      return leftOut("an associated file");
    if (!r.IsDirectory() && (r.FileUnitSize != 0 || r.InterleaveGap != 0))
      return leftOut("an interleaved file");
    rr::TRecordInfo info;
    const TDirRecord *dir = &r;  // the directory to list for the entry
    bool relocated = false;
    if (rock_) {
      problems_.clear();
      const rr::TShow show = rr::Resolve(*rock_, r, info, moved_, &problems_);
      for (const rr::TProblem &p : problems_)
        message_(Where(p.At) + shown() + ": " + p.Text);
      if (show == rr::TShow::Hidden || show == rr::TShow::Broken)
        return;  // shown at the place its child link gives, or nowhere
      if (show == rr::TShow::Relocated) {
        if (!claim_(moved_))
          return leftOut("a relocated directory whose place (sector " + std::to_string(moved_.Extent) +
                         ") is walked already (a loop, or a directory shown elsewhere) or lies too deep");
        relocated = true;
        dir = &moved_;
      }
    }
    std::string name = rock_ && info.HasName ? CleanRockRidgeName(info.Name) : CleanName(r.Identifier, joliet_);
    if (!UsableName(name))
      return leftOut("the name \"" + name + "\" cannot be used");
    TEntry e;
    e.Directory = r.IsDirectory() || relocated;
    const bool link = rock_ && info.HasLink && !e.Directory;
    if (e.Directory)
      e.Extents.push_back({dir->Extent, dir->DataLength});
    else if (!link && (n > 1 || r.DataLength > 0))
      for (size_t k = 0; k < n; ++k)
        e.Extents.push_back({uint64_t{parts[k].Extent} + parts[k].ExtAttrLength, parts[k].DataLength});
    std::string why;
    for (const TExtent &x : e.Extents) {
      e.Size += x.Length;
      if (!e.Directory && why.empty() && !ExtentOnSource(x, have_, why))
        return leftOut(why);
    }
    e.Name = std::move(name);
    e.Hidden = (r.Flags & dr::kHidden) != 0;
    e.Date = RecordDate(r.Date);
    e.IdentifierBytes = static_cast<uint32_t>(r.Identifier.size());
    if (!rock_)
      return emit_(e, *dir, nullptr);
    if (info.Attrs.HasModify)
      e.Date = ov::UnixToDateTime(static_cast<time_t>(info.Attrs.ModifyTime));
    TEntryRock x;
    x.Attrs = AttrsOf(info, e.Directory);
    if (link)
      x.LinkTarget = &info.Attrs.LinkTarget;
    emit_(e, *dir, &x);
  }

  bool joliet_;
  uint64_t have_;
  rr::TReader *rock_;
  const std::function<std::string()> &dirPath_;
  const std::function<void(const std::string &)> &message_;
  const TClaim &claim_;
  const TEmit &emit_;
  std::vector<TDirRecord> group_;  // an open run of a file in several extents
  std::vector<rr::TProblem> problems_;
  TDirRecord moved_;
};

// The entries of one directory of a walk, as the reader hands on its records.
void ListDirectory(TISOReader &reader, TWalkGuard &guard, bool joliet, rr::TReader *rock, const TDirRecord &dir,
                   const std::function<std::string()> &dirPath, uint32_t depth,
                   const std::function<void(const std::string &)> &message, const TEntryMaker::TEmit &emit) {
  const TEntryMaker::TClaim claim = [&](const TDirRecord &d) { return depth + 1 <= kMaxDepth && guard.Enter(d); };
  TEntryMaker maker(joliet, reader.Source().SectorCount(), rock, dirPath, message, claim, emit);
  std::vector<TReadProblem> problems;
  const auto flush = [&] {
    for (const TReadProblem &p : problems)
      message(Where(p.At) + p.Text);
    problems.clear();
  };
  // A Rock Ridge directory flagged as relocated is shown where its child
  // link places it: its own record does not take its extent into the walk.
  std::function<bool(const TDirRecord &)> elsewhere;
  if (rock)
    elsewhere = [&](const TDirRecord &r) {
      rr::TRecordInfo info;
      rock->Parse(r, info);
      return info.Relocated;
    };
  TDots dots;
  reader.WalkDirectory(
      dir, depth, joliet, guard, dirPath, problems, dots,
      [&](TDirRecord &r, bool refused) {
        flush();
        maker.Feed(r, refused);
      },
      elsewhere);
  maker.End();
  flush();
}

// Walks the tree below Root breadth first, one directory at a time, into
// Tree. With Rock, the tree's Rock Ridge entries are read (Detect done).
void BuildTree(TISOReader &reader, const TDirRecord &root, bool joliet, rr::TReader *rock, TSessionTree &tree) {
  tree = TSessionTree();
  tree.Joliet = joliet;
  tree.RockRidge = rock != nullptr;
  tree.Entries.push_back(RootEntry(root));
  const auto addRock = [&](int32_t index, const TEntryRock &x) {
    tree.Attrs.resize(static_cast<size_t>(index));
    tree.Attrs.push_back(x.Attrs);
    if (x.LinkTarget)
      tree.LinkTargets.emplace_back(index, *x.LinkTarget);
  };
  if (rock) {
    rr::TRecordInfo info;
    rock->Detect(root.Extent, info);
    addRock(0, TEntryRock{AttrsOf(info, true)});
  }
  TWalkGuard guard(reader.Limits, root);
  // Directories to list: entry, record, depth, and the path of recorded
  // identifiers that messages name.
  struct TPending {
    int32_t Entry;
    TDirRecord Dir;
    uint32_t Depth;
    std::string Path;
  };
  std::deque<TPending> queue;
  queue.push_back({0, root, 0, "/"});
  const std::function<void(const std::string &)> message = [&](const std::string &m) { tree.Messages.push_back(m); };
  while (!queue.empty()) {
    const TPending p = std::move(queue.front());
    queue.pop_front();
    tree.Entries[static_cast<size_t>(p.Entry)].FirstChild = static_cast<int32_t>(tree.Entries.size());
    int32_t count = 0;
    ListDirectory(reader, guard, joliet, rock, p.Dir, [&] { return p.Path; }, p.Depth, message,
                  [&](TEntry &e, const TDirRecord &d, const TEntryRock *x) {
                    const auto index = static_cast<int32_t>(tree.Entries.size());
                    e.Parent = p.Entry;
                    if (x)
                      addRock(index, *x);
                    if (e.Directory)
                      queue.push_back({index, d, p.Depth + 1,
                                       (p.Path == "/" ? std::string() : p.Path) + "/" +
                                           IdentifierText(d.Identifier, joliet)});
                    tree.Entries.push_back(std::move(e));
                    ++count;
                  });
    tree.Entries[static_cast<size_t>(p.Entry)].ChildCount = count;
  }
}

// Whether the tree of a descriptor holds an entry: its root lists one that
// can be used. Messages gets why not.
bool HasEntries(TISOReader &reader, const TVolumeDescriptor &d, std::vector<std::string> &messages) {
  TWalkGuard guard(reader.Limits, d.Root);
  bool any = false;
  ListDirectory(reader, guard, d.Joliet, nullptr, d.Root, [] { return std::string("/"); }, 0,
                [&](const std::string &m) { messages.push_back(m); },
                [&](TEntry &, const TDirRecord &, const TEntryRock *) { any = true; });
  return any;
}

// The descriptor whose tree a session is read from: the primary one when
// Rock Ridge is preferred and its root carries it (RockRidge set, Rock
// detected); else the Joliet one unless the primary tree is asked for, or the
// Joliet tree cannot be read or is empty while the primary tree is not (a
// notice says so). Null with Error when no tree can be read.
const TVolumeDescriptor *PickTree(TISOReader &reader, TTreeChoice choice, rr::TReader &rock, bool &rockRidge,
                                  std::vector<std::string> &notices, std::string &error) {
  const TVolumeDescriptor *primary = reader.Primary();
  rockRidge = false;
  if (choice == TTreeChoice::PreferRockRidge && primary->RootValid) {
    rr::TRecordInfo root;
    if (rock.Detect(primary->Root.Extent, root)) {
      rockRidge = true;
      return primary;
    }
  }
  const TVolumeDescriptor *joliet = choice != TTreeChoice::Primary ? reader.Joliet() : nullptr;
  std::string why;
  if (joliet && joliet->RootValid) {
    std::vector<std::string> messages;
    if (HasEntries(reader, *joliet, messages))
      return joliet;
    why = messages.empty() ? "is empty" : "cannot be read (" + messages.front() + ")";
  } else if (joliet) {
    why = "has a broken root record (" + joliet->RootProblem + ")";
  }
  if (!primary->RootValid) {
    if (joliet && joliet->RootValid)
      return joliet;  // the empty Joliet tree is all there is
    error = "the root record of the descriptor at sector " + std::to_string(primary->Lba) + " is broken: " +
            primary->RootProblem;
    return nullptr;
  }
  if (joliet && joliet->RootValid) {
    std::vector<std::string> ignored;
    if (!HasEntries(reader, *primary, ignored))
      return joliet;  // both empty: the Joliet tree stands
  }
  if (joliet)
    notices.push_back("the Joliet tree (descriptor at sector " + std::to_string(joliet->Lba) + ") " + why +
                      ": the primary tree is read instead");
  return primary;
}

} // namespace

std::string CleanName(const std::string &Identifier, bool Joliet) {
  std::string out;
  if (!Joliet) {
    size_t n = Identifier.find(';');
    if (n == std::string::npos)
      n = Identifier.size();
    for (size_t i = 0; i < n; ++i) {
      // 8-bit names are read as Latin-1.
      AppendUtf8(out, Safe(static_cast<uint8_t>(Identifier[i])));
    }
    return out;
  }
  std::vector<uint32_t> units;
  for (size_t i = 0; i + 1 < Identifier.size(); i += 2)
    units.push_back(static_cast<uint32_t>(static_cast<uint8_t>(Identifier[i]) << 8 |
                                          static_cast<uint8_t>(Identifier[i + 1])));
  // The version separator counts from the second character on, so that a
  // name may begin with ";".
  for (size_t i = 1; i < units.size(); ++i)
    if (units[i] == ';') {
      units.resize(i);
      break;
    }
  // "NAME." is how a name without an extension is recorded: the one
  // trailing dot is not part of the name (as Windows and Linux read it).
  if (units.size() > 1 && units.back() == '.')
    units.pop_back();
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t u = units[i];
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
      u = 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (u >= 0xD800 && u < 0xE000) {
      u = '_';
    }
    AppendUtf8(out, Safe(u));
  }
  return out;
}

std::string CleanRockRidgeName(const std::string &Name) {
  std::string out = Name;
  for (char &c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '/')
      c = '_';
  return out;
}

const std::string *LinkTarget(const TSessionTree &Tree, int32_t Index) {
  const auto it = std::lower_bound(Tree.LinkTargets.begin(), Tree.LinkTargets.end(), Index,
                                   [](const std::pair<int32_t, std::string> &l, int32_t i) { return l.first < i; });
  return it != Tree.LinkTargets.end() && it->first == Index ? &it->second : nullptr;
}

bool UsableName(const std::string &Name) { return !Name.empty() && Name != "." && Name != ".."; }

double RecordDate(const uint8_t d[7]) {
  const int month = d[1], day = d[2], hour = d[3], minute = d[4], second = d[5];
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
    return std::numeric_limits<double>::quiet_NaN();
  std::tm t{};
  t.tm_year = d[0];
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  int offset = static_cast<int8_t>(d[6]);
  if (offset < -48 || offset > 52)
    offset = 0;
  const time_t utc = timegm(&t) - static_cast<time_t>(offset) * 15 * 60;
  return ov::UnixToDateTime(utc);
}

void ReadTreeAt(TISOReader &Reader, uint32_t Extent, uint32_t Length, bool Joliet, TSessionTree &Tree,
                bool RockRidge) {
  TDirRecord root;
  root.Extent = Extent;
  root.DataLength = Length;
  root.Flags = dr::kDirectory;
  root.Identifier.assign(1, '\0');
  if (!RockRidge || Joliet)
    return BuildTree(Reader, root, Joliet, nullptr, Tree);
  rr::TReader rock(Reader.Source(), Reader.Source().SectorCount());
  rr::TRecordInfo top;
  rock.Detect(Extent, top);
  BuildTree(Reader, root, false, &rock, Tree);
}

bool ReadSessionTree(TSectorSource &Source, uint32_t SessionStart, TTreeChoice Choice, TSessionTree &Tree,
                     std::string &Error) {
  Tree = TSessionTree();
  TISOReader reader(Source, SessionStart);
  std::string err;
  reader.ReadDescriptors(err);
  if (!reader.Primary()) {
    Error = err.empty() ? "no volume descriptor in the session at sector " + std::to_string(SessionStart) : err;
    return false;
  }
  std::vector<std::string> notices;
  rr::TReader rock(Source, Source.SectorCount());
  bool rockRidge = false;
  const TVolumeDescriptor *d = PickTree(reader, Choice, rock, rockRidge, notices, Error);
  if (!d)
    return false;
  BuildTree(reader, d->Root, d->Joliet, rockRidge ? &rock : nullptr, Tree);
  Tree.Notices = std::move(notices);
  return true;
}

TSessionWalk::TSessionWalk(std::function<void(const std::string &)> Messages) : message_(std::move(Messages)) {}
TSessionWalk::~TSessionWalk() = default;

bool TSessionWalk::Open(TSectorSource &Source, uint32_t SessionStart, TTreeChoice Choice, std::string &Error) {
  reader_ = std::make_unique<TISOReader>(Source, SessionStart);
  std::string err;
  reader_->ReadDescriptors(err);
  if (!reader_->Primary()) {
    Error = err.empty() ? "no volume descriptor in the session at sector " + std::to_string(SessionStart) : err;
    return false;
  }
  rock_ = std::make_unique<rr::TReader>(Source, Source.SectorCount());
  bool rockRidge = false;
  const TVolumeDescriptor *d = PickTree(*reader_, Choice, *rock_, rockRidge, notices_, Error);
  if (!d)
    return false;
  if (!rockRidge)
    rock_.reset();
  joliet_ = d->Joliet;
  rootRecord_ = d->Root;
  root_ = RootEntry(rootRecord_);
  if (rock_) {
    rr::TRecordInfo info;
    rock_->Detect(rootRecord_.Extent, info);
    rootRock_.Attrs = AttrsOf(info, true);
  }
  guard_ = std::make_unique<TWalkGuard>(reader_->Limits, rootRecord_);
  return true;
}

void TSessionWalk::List(const TDirRecord &Dir, const std::string &DirPath, uint32_t Depth, const TVisit &Visit) {
  ListDirectory(*reader_, *guard_, joliet_, rock_.get(), Dir, [&] { return DirPath; }, Depth, message_, Visit);
}

std::string EntryPath(const TSessionTree &Tree, int32_t Index) {
  if (Index <= 0 || static_cast<size_t>(Index) >= Tree.Entries.size())
    return "/";
  std::vector<int32_t> chain;
  for (int32_t i = Index; i > 0 && chain.size() <= Tree.Entries.size(); i = Tree.Entries[static_cast<size_t>(i)].Parent)
    chain.push_back(i);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it)
    path += "/" + Tree.Entries[static_cast<size_t>(*it)].Name;
  return path;
}

std::vector<std::string> PathNames(const std::string &Path) {
  std::vector<std::string> names;
  size_t pos = 0;
  while (pos < Path.size()) {
    const size_t slash = std::min(Path.find('/', pos), Path.size());
    if (slash > pos)
      names.push_back(Path.substr(pos, slash - pos));
    pos = slash + 1;
  }
  return names;
}

TNameMatch::TKind TNameMatch::Offer(const std::string &Name) {
  if (Name == name_) {
    exact_ = true;
    return Exact;
  }
  if (Name.size() != name_.size() || strncasecmp(Name.c_str(), name_.c_str(), Name.size()) != 0)
    return None;
  ++folded_;
  return Folded;
}

int32_t FindPath(const TSessionTree &Tree, const std::string &Path) {
  if (Tree.Entries.empty())
    return -1;
  int32_t at = 0;
  for (const std::string &part : PathNames(Path)) {
    const TEntry &dir = Tree.Entries[static_cast<size_t>(at)];
    if (!dir.Directory)
      return -1;
    TNameMatch match(part);
    int32_t exact = -1, folded = -1;
    for (int32_t c = dir.FirstChild; c < dir.FirstChild + dir.ChildCount && exact < 0; ++c) {
      const TNameMatch::TKind kind = match.Offer(Tree.Entries[static_cast<size_t>(c)].Name);
      if (kind == TNameMatch::Exact)
        exact = c;
      else if (kind == TNameMatch::Folded)
        folded = c;
    }
    if (!match.Found())
      return -1;
    at = exact >= 0 ? exact : folded;
  }
  return at;
}

bool FindImageSessions(TSectorSource &Source, std::vector<TSessionExtent> &Sessions, std::vector<std::string> *Notes) {
  Sessions.clear();
  const auto note = [&](const std::string &text) {
    if (Notes)
      Notes->push_back(text);
  };
  const uint64_t have = Source.SectorCount();
  // Where a session's descriptor sits: its start + 16, a primary descriptor.
  // Its volume space size counts from sector 0 (as a disc's does), or, as
  // some programs write it for a later session, from the session's start.
  // A size of 0 reads as the rest of the image, as other readers take it.
  uint8_t s[kSectorSize];
  struct TFound {
    uint64_t End = 0;
    uint32_t Root = 0;
  };
  auto volumeAt = [&](uint64_t start, bool first) -> TFound {
    std::string err;
    if (!Source.ReadSectors(start + kSystemAreaSectors, 1, s, err)) {
      if (first)
        note(err);
      return {};
    }
    if (s[vd::Type] != vd::kPrimary || std::memcmp(s + vd::StandardId, "CD001", 5) != 0) {
      if (first)
        note(std::memcmp(s + vd::StandardId, "CD001", 5) != 0
                 ? "sector 16 holds no ISO 9660 volume descriptor (no \"CD001\")"
                 : "sector 16 holds a volume descriptor of type " + std::to_string(s[vd::Type]) +
                       ", not the primary descriptor");
      return {};
    }
    const uint64_t size = ov::GetLE32(s + vd::SpaceSize);
    const uint32_t root = ov::GetLE32(s + vd::RootRecord + dr::Extent);
    if (size == 0) {
      if (first)
        note("the primary volume descriptor at sector " + std::to_string(start + kSystemAreaSectors) +
             " gives a volume space size of 0: the image's size (" + std::to_string(have) + " sectors) is used");
      return {have > start + kSystemAreaSectors ? have : 0, root};
    }
    const uint64_t end = size > start + kSystemAreaSectors ? size : start + size;
    return {end > start + kSystemAreaSectors ? end : 0, root};
  };
  // The gap between sessions: up to 11,400 sectors of lead-out, lead-in and
  // pre-gap on a CD, after a track of at least 300 sectors and its two of
  // run-out; a few on a DVD.
  constexpr uint64_t kMaxGap = 11400 + 300 + 2 + 16;
  constexpr size_t kMaxSessions = 99;
  // Follows the chain of sessions from the one at first.
  auto chain = [&](uint64_t first, uint64_t end) {
    Sessions.push_back({1, static_cast<uint32_t>(first), static_cast<uint32_t>(end - first), true});
    while (Sessions.size() < kMaxSessions) {
      bool found = false;
      for (uint64_t start = end; start <= end + kMaxGap && start + kSystemAreaSectors < have; ++start) {
        const uint64_t next = volumeAt(start, false).End;
        if (next > start && start <= 0xFFFFFFFFu && next <= 0xFFFFFFFFu) {
          Sessions.push_back({static_cast<uint32_t>(Sessions.size() + 1), static_cast<uint32_t>(start),
                              static_cast<uint32_t>(next - start), true});
          end = next;
          found = true;
          break;
        }
      }
      if (!found)
        break;
    }
  };
  const TFound top = volumeAt(0, true);
  if (top.End == 0)
    return false;
  // Descriptors at 16 that copy the last session's: sessions from sector 32
  // on whose chain ends where the copy says, at the same root directory.
  constexpr uint64_t kFirstMovedSession = 32;
  const TFound moved = volumeAt(kFirstMovedSession, false);
  if (moved.End > kFirstMovedSession && moved.End <= top.End) {
    chain(kFirstMovedSession, moved.End);
    const uint64_t lastStart = Sessions.back().Start;
    if (uint64_t{Sessions.back().Start} + Sessions.back().Size == top.End && volumeAt(lastStart, false).Root == top.Root)
      return true;
    Sessions.clear();
  }
  chain(0, top.End);
  return true;
}

} // namespace iso
