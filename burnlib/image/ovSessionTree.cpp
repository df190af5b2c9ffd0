// A session's file tree for import, listing and extraction.
#include "ovSessionTree.h"

#include "ovBytes.h"
#include "ovDateTime.h"
#include "ovRockRidgeRead.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <unordered_map>

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

// Turns the reader's nodes into entries: names cleaned and refused where
// unusable, multi-extent runs joined into one file, data checked against
// the end of the source.
class TBuilder {
public:
  // With Reader, child links to directories outside the tree (an earlier
  // session's relocated folders) are followed there.
  TBuilder(const TTree &nodes, uint64_t have, TSessionTree &out, rr::TReader *rock = nullptr,
           TISOReader *reader = nullptr)
      : in_(nodes), have_(have), out_(out), rr_(rock), reader_(reader) {}

  void Run() {
    out_.Joliet = in_.Joliet;
    out_.RockRidge = rr_ != nullptr;
    for (const TReadProblem &p : in_.Problems)
      out_.Messages.push_back(Where(p.At) + p.Text);
    if (in_.Nodes.empty())
      return;
    out_.Entries.reserve(in_.Nodes.size());
    TEntry root;
    root.Path = "/";
    root.Directory = true;
    const TDirRecord &r = in_.Nodes[0].Record;
    root.Extents.push_back({r.Extent, r.DataLength});
    root.Size = r.DataLength;
    root.Date = RecordDate(r.Date);
    out_.Entries.push_back(std::move(root));
    if (rr_) {
      rr::TRecordInfo info;
      rr_->Detect(r.Extent, info);
      AddAttrs(0, info);
    }
    Fill(0);
    // Folders outside the tree that child links name, each read once, as a
    // tree of its own below its place.
    for (size_t k = 0; k < foreign_.size(); ++k) {
      TTree sub;
      reader_->ReadTreeFrom(foreign_[k].first, false, sub);
      TBuilder(sub, have_, out_, rr_).Fill(foreign_[k].second);
    }
  }

private:
  // Fills the directory entry `entry` from node 0 on, and every directory
  // below it, in the order their entries are made (so that a relocated
  // directory is read at the place its child link gives it).
  void Fill(int32_t entry) {
    if (in_.Nodes.empty())
      return;
    if (entry != 0)
      for (const TReadProblem &p : in_.Problems)
        out_.Messages.push_back(Where(p.At) + p.Text);
    map_.assign(in_.Nodes.size(), -1);
    map_[0] = entry;
    queue_.push_back({0, entry});
    claimed_.assign(in_.Nodes.size(), false);
    claimed_[0] = true;
    for (size_t q = 0; q < queue_.size(); ++q) {
      const auto [node, at] = queue_[q];
      const TNode &n = in_.Nodes[static_cast<size_t>(node)];
      if (!n.Record.IsDirectory() || n.NotEntered)
        continue;
      Children(node, at);
    }
  }

  // The "." record of a directory outside the tree that a child link names,
  // when it may be read: on the source, not read before, few of them.
  bool Foreign(uint32_t extent, TDirRecord &dot) {
    constexpr size_t kMaxForeign = 64;
    if (!reader_ || foreign_.size() >= kMaxForeign || !rr::ReadDotRecords(reader_->Source(), extent, dot) ||
        dot.Extent != extent || !dot.IsDirectory())
      return false;
    for (const auto &f : foreign_)
      if (f.first.Extent == extent)
        return false;
    return !byExtent_.count(extent);  // a directory of this tree is no foreign one
  }

public:

private:
  void Children(int32_t node, int32_t parent) {
    const TNode &dir = in_.Nodes[static_cast<size_t>(node)];
    out_.Entries[static_cast<size_t>(parent)].FirstChild = static_cast<int32_t>(out_.Entries.size());
    int32_t count = 0;
    const size_t end = static_cast<size_t>(dir.FirstChild) + static_cast<size_t>(dir.ChildCount);
    for (size_t k = static_cast<size_t>(dir.FirstChild); k < end;) {
      const size_t first = k;
      const TNode &n = in_.Nodes[k];
      const TDirRecord &r = n.Record;
      std::vector<TExtent> extents;
      bool complete = true;
      if (!r.IsDirectory() && (r.Flags & dr::kMultiExtent) && !n.NotEntered) {
        // One file in several records of the same name, each but the last
        // flagged as continued.
        for (;;) {
          const TDirRecord &part = in_.Nodes[k].Record;
          extents.push_back({uint64_t{part.Extent} + part.ExtAttrLength, part.DataLength});
          ++k;
          if (!(part.Flags & dr::kMultiExtent))
            break;
          if (k >= end || in_.Nodes[k].Record.Identifier != r.Identifier ||
              in_.Nodes[k].Record.IsDirectory()) {
            complete = false;
            break;
          }
        }
      } else {
        ++k;
        if (r.IsDirectory())
          extents.push_back({r.Extent, r.DataLength});
        else if (r.DataLength > 0)
          extents.push_back({uint64_t{r.Extent} + r.ExtAttrLength, r.DataLength});
      }
      const auto shown = [&] { return NodePath(in_, first); };
      if (n.NotEntered)
        continue;  // a loop or an over-deep directory: the reader said so
      if (!complete) {
        out_.Messages.push_back(Where(r.At) + shown() + ": a file in several extents whose last part is missing: "
                                "left out");
        continue;
      }
      if (r.Flags & dr::kAssociated) {
        out_.Messages.push_back(Where(r.At) + shown() + ": an associated file: left out");
        continue;
      }
      if (!r.IsDirectory() && (r.FileUnitSize != 0 || r.InterleaveGap != 0)) {
        out_.Messages.push_back(Where(r.At) + shown() + ": an interleaved file: left out");
        continue;
      }
      rr::TRecordInfo info;
      int32_t relocated = -1;  // a child link's directory
      TDirRecord foreignDot;   // or the "." record of one outside the tree
      if (rr_) {
        problems_.clear();
        rr_->Parse(r, info, &problems_);
        for (const rr::TProblem &p : problems_)
          out_.Messages.push_back(Where(p.At) + shown() + ": " + p.Text);
        if (info.Relocated && r.IsDirectory())
          continue;  // shown at the place its child link gives
        if (info.HasChildLink) {
          relocated = RelocatedNode(info.ChildLink);
          rr::TRecordInfo own;  // the directory's own record, flagged as relocated
          if (relocated >= 0)
            rr_->Parse(in_.Nodes[static_cast<size_t>(relocated)].Record, own);
          TDirRecord dot;
          if (!own.Relocated && Foreign(info.ChildLink, dot)) {
            rr_->Parse(dot, own);
            foreignDot = std::move(dot);
          } else if (!own.Relocated) {
            out_.Messages.push_back(Where(r.At) + shown() + ": a relocated directory whose place (sector " +
                                    std::to_string(info.ChildLink) + ") holds no relocated directory of this "
                                    "tree, or one shown elsewhere: left out");
            continue;
          }
          const TDirRecord &moved =
              foreignDot.Length ? foreignDot : in_.Nodes[static_cast<size_t>(relocated)].Record;
          extents.assign(1, {moved.Extent, moved.DataLength});
          own.HasName = info.HasName;
          own.Name = info.Name;
          info = std::move(own);
        } else if (info.HasLink && !r.IsDirectory()) {
          extents.clear();
        }
      }
      std::string name = rr_ && info.HasName ? CleanRockRidgeName(info.Name) : CleanName(r.Identifier, in_.Joliet);
      if (!UsableName(name)) {
        out_.Messages.push_back(Where(r.At) + shown() + ": the name \"" + name + "\" cannot be used: left out");
        continue;
      }
      std::string why;
      bool onSource = true;
      uint64_t size = 0;
      for (const TExtent &e : extents) {
        size += e.Length;
        if (!r.IsDirectory() && onSource && !ExtentOnSource(e, have_, why))
          onSource = false;
      }
      if (!onSource) {
        out_.Messages.push_back(Where(r.At) + shown() + ": " + why + ": left out");
        continue;
      }
      TEntry e;
      e.Name = std::move(name);
      const std::string &parentPath = out_.Entries[static_cast<size_t>(parent)].Path;
      e.Path = (parentPath == "/" ? parentPath : parentPath + "/") + e.Name;
      e.Directory = r.IsDirectory() || relocated >= 0 || foreignDot.Length;
      e.Hidden = (r.Flags & dr::kHidden) != 0;
      e.Size = size;
      e.Extents = std::move(extents);
      e.Date = RecordDate(r.Date);
      if (rr_ && info.Attrs.HasModify)
        e.Date = ov::UnixToDateTime(static_cast<time_t>(info.Attrs.ModifyTime));
      e.IdentifierBytes = static_cast<uint32_t>(r.Identifier.size());
      e.Parent = parent;
      const auto index = static_cast<int32_t>(out_.Entries.size());
      map_[first] = index;
      out_.Entries.push_back(std::move(e));
      if (rr_)
        AddAttrs(index, info);
      if (foreignDot.Length) {
        foreign_.push_back({foreignDot, index});
      } else if (relocated >= 0 || (r.IsDirectory() && !n.NotEntered)) {
        const int32_t node = relocated >= 0 ? relocated : static_cast<int32_t>(first);
        claimed_[static_cast<size_t>(node)] = true;
        queue_.push_back({node, index});
      }
      ++count;
    }
    out_.Entries[static_cast<size_t>(parent)].ChildCount = count;
  }

  // The Rock Ridge attributes of the entry just made.
  void AddAttrs(int32_t index, const rr::TRecordInfo &info) {
    const rr::TPosixAttrs &a = info.Attrs;
    TEntryAttrs x;
    const TEntry &e = out_.Entries[static_cast<size_t>(index)];
    if (info.HasAttrs) {
      x.Mode = a.Mode;
      x.Links = a.Links;
      x.Uid = a.Uid;
      x.Gid = a.Gid;
    }
    if (info.HasLink && !e.Directory) {
      x.Mode = (x.Mode & ~rr::kTypeMask) | rr::kTypeSymlink | (info.HasAttrs ? 0 : 0777);
      out_.LinkTargets.emplace_back(index, a.LinkTarget);
    } else if (info.HasAttrs && (x.Mode & rr::kTypeMask) == rr::kTypeSymlink) {
      x.Mode = (x.Mode & ~rr::kTypeMask) | (e.Directory ? rr::kTypeDirectory : rr::kTypeRegular);
    }
    x.ModifyTime = a.ModifyTime;
    x.AccessTime = a.AccessTime;
    x.ChangeTime = a.ChangeTime;
    x.Stamps = static_cast<uint8_t>((a.HasModify ? kStampModify : 0) | (a.HasAccess ? kStampAccess : 0) |
                                    (a.HasChange ? kStampChange : 0));
    out_.Attrs.resize(static_cast<size_t>(index));
    out_.Attrs.push_back(x);
  }

  // The directory a child link points at, when it is one of the tree's and
  // not shown elsewhere yet; -1 otherwise.
  int32_t RelocatedNode(uint32_t extent) {
    if (byExtent_.empty())
      for (size_t i = 0; i < in_.Nodes.size(); ++i)
        if (in_.Nodes[i].Record.IsDirectory() && !in_.Nodes[i].NotEntered)
          byExtent_.emplace(in_.Nodes[i].Record.Extent, static_cast<int32_t>(i));
    const auto it = byExtent_.find(extent);
    if (it == byExtent_.end() || claimed_[static_cast<size_t>(it->second)])
      return -1;
    return it->second;
  }

  const TTree &in_;
  uint64_t have_;
  TSessionTree &out_;
  rr::TReader *rr_;
  TISOReader *reader_;
  std::vector<std::pair<TDirRecord, int32_t>> foreign_;  // directories outside the tree: "." record, entry
  std::vector<int32_t> map_;  // node index -> entry index, -1 when left out
  std::vector<std::pair<int32_t, int32_t>> queue_;  // directories to fill: node, entry
  std::vector<bool> claimed_;  // directory nodes given an entry
  std::unordered_map<uint32_t, int32_t> byExtent_;  // directory nodes by extent, for child links
  std::vector<rr::TProblem> problems_;
};

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
  Tree = TSessionTree();
  TDirRecord root;
  root.Extent = Extent;
  root.DataLength = Length;
  root.Flags = dr::kDirectory;
  root.Identifier.assign(1, '\0');
  TTree nodes;
  Reader.ReadTreeFrom(root, Joliet, nodes);
  const uint64_t have = Reader.Source().SectorCount();
  if (!RockRidge || Joliet) {
    TBuilder(nodes, have, Tree).Run();
    return;
  }
  rr::TReader rock(Reader.Source(), have);
  rr::TRecordInfo top;
  rock.Detect(Extent, top);
  TBuilder(nodes, have, Tree, &rock, &Reader).Run();
}

bool ReadSessionTree(TSectorSource &Source, uint32_t SessionStart, TTreeChoice Choice, TSessionTree &Tree,
                     std::string &Error) {
  Tree = TSessionTree();
  TISOReader reader(Source, SessionStart);
  std::string err;
  reader.ReadDescriptors(err);
  const TVolumeDescriptor *primary = reader.Primary();
  if (!primary) {
    Error = err.empty() ? "no volume descriptor in the session at sector " + std::to_string(SessionStart) : err;
    return false;
  }
  const auto read = [&](const TVolumeDescriptor &d, TSessionTree &t) {
    ReadTreeAt(reader, d.Root.Extent, d.Root.DataLength, d.Joliet, t);
    if (!t.Entries.empty())
      t.Entries[0].Date = RecordDate(d.Root.Date);
  };
  if (Choice == TTreeChoice::PreferRockRidge && primary->RootValid) {
    rr::TReader rock(Source, Source.SectorCount());
    rr::TRecordInfo root;
    if (rock.Detect(primary->Root.Extent, root)) {
      ReadTreeAt(reader, primary->Root.Extent, primary->Root.DataLength, false, Tree, true);
      if (!Tree.Entries.empty())
        Tree.Entries[0].Date = RecordDate(primary->Root.Date);
      return true;
    }
  }
  const TVolumeDescriptor *joliet = Choice != TTreeChoice::Primary ? reader.Joliet() : nullptr;
  std::string why;
  if (joliet && joliet->RootValid) {
    read(*joliet, Tree);
    if (Tree.Entries.size() > 1)
      return true;
    // Only the root: its extent could not be read, or it lists nothing.
    why = Tree.Messages.empty() ? "is empty" : "cannot be read (" + Tree.Messages.front() + ")";
  } else if (joliet) {
    why = "has a broken root record (" + joliet->RootProblem + ")";
  }
  if (!primary->RootValid) {
    if (joliet && joliet->RootValid)
      return true;  // the empty Joliet tree is all there is
    Error = "the root record of the descriptor at sector " + std::to_string(primary->Lba) + " is broken: " +
            primary->RootProblem;
    return false;
  }
  TSessionTree fallback;
  read(*primary, fallback);
  if (joliet && joliet->RootValid && fallback.Entries.size() <= 1)
    return true;  // both empty: the Joliet tree stands
  if (joliet)
    fallback.Notices.push_back("the Joliet tree (descriptor at sector " + std::to_string(joliet->Lba) + ") " + why +
                               ": the primary tree is read instead");
  Tree = std::move(fallback);
  return true;
}

int32_t FindPath(const TSessionTree &Tree, const std::string &Path) {
  if (Tree.Entries.empty())
    return -1;
  int32_t at = 0;
  size_t pos = 0;
  while (pos < Path.size()) {
    if (Path[pos] == '/') {
      ++pos;
      continue;
    }
    const size_t slash = Path.find('/', pos);
    const std::string part = Path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    pos = slash == std::string::npos ? Path.size() : slash;
    const TEntry &dir = Tree.Entries[static_cast<size_t>(at)];
    if (!dir.Directory)
      return -1;
    int32_t exact = -1, folded = -1, foldedCount = 0;
    for (int32_t c = dir.FirstChild; c < dir.FirstChild + dir.ChildCount; ++c) {
      const std::string &name = Tree.Entries[static_cast<size_t>(c)].Name;
      if (name == part) {
        exact = c;
        break;
      }
      if (name.size() == part.size() && strncasecmp(name.c_str(), part.c_str(), name.size()) == 0) {
        folded = c;
        ++foldedCount;
      }
    }
    if (exact < 0 && foldedCount != 1)
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
