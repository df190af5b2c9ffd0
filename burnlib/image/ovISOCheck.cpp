// The structural checker: descriptors, both directory trees, path tables,
// extents and El Torito, reported as errors and warnings.
#include "ovISOCheck.h"
#include "ovISOCheck_rr.h"
#include "ovRockRidge.h"
#include "ovRockRidgeRead.h"

#include "ovBytes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace iso {

namespace {

// A range of sectors used by one structure or file, named by an index: a
// file's name is made only when it is reported.
struct TUse {
  uint64_t Start = 0, End = 0;  // [Start, End)
  uint32_t Name = 0;            // into the checker's files_ (a file), else its names_
  bool File = false;
  // Files (the primary and the Joliet record of one file, linked files) and
  // the boot catalog and image shown as files may share their sectors exactly.
  bool Shared = false;
};

// A file of a tree for naming it: its directory and its identifier's place
// in the checker's identifier store.
struct TFileName {
  uint32_t Dir = 0;
  uint32_t Id = 0;
  bool Joliet = false;
};

// What a walk keeps of each directory of a tree: enough to name it, to check
// its "." and ".." records and to match the path table.
struct TDirInfo {
  uint32_t Extent = 0, Length = 0;
  int32_t Parent = -1;      // -1 for the root
  uint32_t Depth = 0;       // the root is 0
  uint32_t PathLength = 0;  // of the path as a reader shows it
  std::string Identifier;
};

// "/" for the root, else "/A/B" from the recorded identifiers.
std::string DirPath(const std::vector<TDirInfo> &dirs, size_t i, bool joliet) {
  std::vector<size_t> chain;
  for (size_t k = i; k < dirs.size() && dirs[k].Parent >= 0 && chain.size() <= dirs.size();
       k = static_cast<size_t>(dirs[k].Parent))
    chain.push_back(k);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it)
    path += "/" + IdentifierText(dirs[*it].Identifier, joliet);
  return path.empty() ? "/" : path;
}

std::string ChildPath(const std::vector<TDirInfo> &dirs, size_t dir, const std::string &id, bool joliet) {
  const std::string parent = DirPath(dirs, dir, joliet);
  return (parent == "/" ? std::string() : parent) + "/" + IdentifierText(id, joliet);
}

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

std::string Trimmed(const std::string &s) {
  size_t n = s.size();
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\0'))
    --n;
  return s.substr(0, n);
}

std::string SectorRange(uint64_t start, uint64_t end) {
  return end - start <= 1 ? "sector " + std::to_string(start)
                          : "sectors " + std::to_string(start) + "-" + std::to_string(end - 1);
}

// Compares two path-table identifiers padded with spaces (one byte for the
// primary tree, the UCS-2 space for Joliet).
int ComparePathIds(const std::string &a, const std::string &b, bool joliet) {
  const size_t n = std::max(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char pad = joliet && i % 2 == 0 ? 0 : ' ';
    const unsigned char ca = i < a.size() ? static_cast<unsigned char>(a[i]) : pad;
    const unsigned char cb = i < b.size() ? static_cast<unsigned char>(b[i]) : pad;
    if (ca != cb)
      return ca < cb ? -1 : 1;
  }
  return 0;
}

const char *MediaName(uint8_t media) {
  static const char *const kNames[] = {"no emulation", "1.2M floppy", "1.44M floppy", "2.88M floppy", "hard disk"};
  return media < 5 ? kNames[media] : "unknown media";
}

using TWhereFn = std::function<std::string()>;

uint32_t FloppySectors(uint8_t media) { return media == 1 ? 600 : media == 2 ? 720 : media == 3 ? 1440 : 0; }

class TChecker {
public:
  TChecker(TSectorSource &src, const TCheckOptions &opt)
      : src_(src), reader_(src, opt.SessionStart), level_(std::min<uint32_t>(opt.Level, 4)) {}
  TCheckResult Run();

private:
  void Add(TSeverity s, const std::string &where, const std::string &what);
  void Error(const std::string &where, const std::string &what) { Add(TSeverity::Error, where, what); }
  void Warn(const std::string &where, const std::string &what) { Add(TSeverity::Warning, where, what); }
  static std::string At(const TWhere &w) {
    return "sector " + std::to_string(w.Lba) + " byte " + std::to_string(w.Offset);
  }
  void Mismatches(const std::string &where, const std::vector<TMismatch> &m);
  void CheckDescriptor(const TVolumeDescriptor &d);
  void CheckExtent(const TWhereFn &where, const char *what, uint64_t extent, uint64_t sectors);
  void CheckExtent(const std::string &where, const char *what, uint64_t extent, uint64_t sectors) {
    CheckExtent([&] { return where; }, what, extent, sectors);
  }
  using TDirVisit = std::function<void(size_t Dir, TDirRecord &Record, bool Refused)>;
  using TDirDone = std::function<void(size_t Dir, const TDots &Dots)>;
  void WalkTree(const TVolumeDescriptor &d, std::vector<TDirInfo> &dirs, const TDirVisit &visit,
                const TDirDone &done, const std::function<void(const TReadProblem &)> &problem);
  uint32_t ShownLevel(const TVolumeDescriptor &d);
  bool CheckTree(const TVolumeDescriptor &d, std::vector<TDirInfo> &dirs);
  void CheckRecord(const std::string &name, bool joliet, const std::vector<TDirInfo> &dirs, size_t dir,
                   const TDirRecord &r, bool continued);
  void CheckExtentChain(const TWhereFn &where, const TDirRecord &prev, const TDirRecord &r, bool joliet);
  void CheckPathTables(const TVolumeDescriptor &d, const std::vector<TDirInfo> &dirs);
  void MatchPathTable(const std::string &where, const std::vector<TPathRecord> &recs,
                      const std::vector<TDirInfo> &dirs, bool joliet);
  void AddUse(uint64_t start, uint64_t end, std::string what, bool shared = false);
  std::string UseName(const TUse &u) const;
  void CheckOverlaps();
  bool CheckRockRidgeTree(const TVolumeDescriptor &pvd);
  std::string CheckElTorito(const TBootRecord &boot);
  void CheckBootEntry(const std::string &where, const uint8_t *e, std::string *summary);

  TSectorSource &src_;
  TISOReader reader_;
  TCheckResult result_;
  uint64_t volumeEnd_ = 0;
  std::vector<TUse> uses_;
  std::vector<std::string> names_;  // of the uses that are no files
  std::vector<TFileName> files_;    // of the uses that are files
  std::string fileIds_;             // their identifiers, each after a length byte
  std::vector<TDirInfo> primaryDirs_, jolietDirInfo_;
  size_t jolietDirs_ = 0, jolietFiles_ = 0;
  uint32_t level_ = 0;  // 0 until the primary tree shows it
  bool rockRidge_ = false;
  // Warnings already listed, by text: the first place is listed, the rest
  // counted in its More.
  std::unordered_map<std::string, size_t> warned_;
};

void TChecker::Add(TSeverity s, const std::string &where, const std::string &what) {
  (s == TSeverity::Error ? result_.Errors : result_.Warnings)++;
  if (s == TSeverity::Warning) {
    const auto [it, first] = warned_.emplace(what, result_.Findings.size());
    if (!first) {
      if (it->second < result_.Findings.size())
        ++result_.Findings[it->second].More;
      return;
    }
  }
  if (result_.Findings.size() < kMaxFindings)
    result_.Findings.push_back({s, where, what});
}

void TChecker::Mismatches(const std::string &where, const std::vector<TMismatch> &m) {
  for (const TMismatch &x : m)
    Error(where, "both-endian " + x.Field + " disagrees: little-endian " + std::to_string(x.LE) + ", big-endian " +
                     std::to_string(x.BE));
}

void TChecker::CheckExtent(const TWhereFn &where, const char *what, uint64_t extent, uint64_t sectors) {
  if (sectors == 0)
    return;
  // The system area of the disc (sectors 0-15) and that of this session.
  const uint64_t session = reader_.SessionStart();
  if (extent + sectors > volumeEnd_)
    Error(where(), std::string(what) + " at " + SectorRange(extent, extent + sectors) + " lies outside the volume (" +
                       std::to_string(volumeEnd_) + " sectors)");
  else if (extent < kSystemAreaSectors || (extent < session + kSystemAreaSectors && extent + sectors > session))
    Error(where(), std::string(what) + " at " + SectorRange(extent, extent + sectors) + " lies in the system area");
}

void TChecker::CheckDescriptor(const TVolumeDescriptor &d) {
  const std::string where = std::string(d.Type == vd::kPrimary ? "primary" : d.Joliet ? "Joliet" : "supplementary") +
                            " volume descriptor (sector " + std::to_string(d.Lba) + ")";
  // ISO 9660:1999 marks its enhanced supplementary descriptor with version 2.
  const bool enhanced = d.Type == vd::kSupplementary && d.Version == 2;
  if (d.Version != 1 && !enhanced)
    Error(where, "version " + std::to_string(d.Version) + " (expected 1)");
  Mismatches(where, d.Mismatches);
  if (d.BlockSize != kSectorSize)
    Error(where, "logical block size " + std::to_string(d.BlockSize) + " (expected 2048)");
  if (!d.RootValid)
    Error(where, "root directory record: " + d.RootProblem);
  else if (!d.Root.IsDirectory())
    Error(where, "the root record is not flagged as a directory");
  if (d.Type == vd::kPrimary) {
    const std::string vol = Trimmed(d.VolumeId);
    for (unsigned char c : vol)
      if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) {
        Warn(where, "volume identifier \"" + IdentifierText(vol, false) + "\" has characters outside the "
                                                                           "d-characters");
        break;
      }
  }
}

void TChecker::WalkTree(const TVolumeDescriptor &d, std::vector<TDirInfo> &dirs, const TDirVisit &visit,
                        const TDirDone &done, const std::function<void(const TReadProblem &)> &problem) {
  dirs.clear();
  TDirInfo root;
  root.Extent = d.Root.Extent;
  root.Length = d.Root.DataLength;
  root.Identifier = d.Root.Identifier;
  dirs.push_back(std::move(root));
  TWalkGuard guard(reader_.Limits, d.Root);
  std::vector<TReadProblem> problems;
  const auto flush = [&] {
    for (const TReadProblem &p : problems)
      problem(p);
    problems.clear();
  };
  for (size_t i = 0; i < dirs.size(); ++i) {
    TDirRecord dir;
    dir.Extent = dirs[i].Extent;
    dir.DataLength = dirs[i].Length;
    dir.Flags = dr::kDirectory;
    dir.Identifier = dirs[i].Identifier;
    dir.At = {dirs[i].Extent, 0};
    TDots dots;
    const bool read = reader_.WalkDirectory(
        dir, dirs[i].Depth, d.Joliet, guard, [&] { return DirPath(dirs, i, d.Joliet); }, problems, dots,
        [&](TDirRecord &r, bool refused) {
          flush();
          if (r.IsDirectory()) {
            TDirInfo n;
            n.Extent = r.Extent;
            n.Length = r.DataLength;
            n.Parent = static_cast<int32_t>(i);
            n.Depth = dirs[i].Depth + 1;
            n.PathLength = dirs[i].PathLength + 1 + static_cast<uint32_t>(IdentifierText(r.Identifier, d.Joliet).size());
            n.Identifier = r.Identifier;
            dirs.push_back(std::move(n));
          }
          visit(i, r, refused);
        });
    flush();
    if (done)
      done(i, read ? dots : TDots());
  }
}

uint32_t TChecker::ShownLevel(const TVolumeDescriptor &d) {
  // The name level a primary tree shows: 2 when a name is longer than 8.3
  // (3 when a file has several extents), else 1.
  uint32_t level = 1;
  std::vector<TDirInfo> dirs;
  WalkTree(
      d, dirs,
      [&](size_t, TDirRecord &r, bool) {
        if (!r.IsDirectory() && (r.Flags & dr::kMultiExtent))
          level = 3;
        else if (level == 1 && LongerThanLevel1(r.Identifier, r.IsDirectory() || HasSystemUseEntry(r, rr::kCL)))
          level = 2;
      },
      nullptr, [](const TReadProblem &) {});
  return level;
}

bool TChecker::CheckTree(const TVolumeDescriptor &d, std::vector<TDirInfo> &dirs) {
  const bool joliet = d.Joliet;
  const std::string name = joliet ? "joliet" : "primary";
  dirs.clear();
  if (!d.RootValid) {
    Error(name + " tree (" + At({d.Lba, static_cast<uint32_t>(vd::RootRecord)}) + ")", "root record: " + d.RootProblem);
    return false;
  }
  CheckRecord(name, joliet, dirs, 0, d.Root, false);
  bool systemUse = false;
  // One directory's records at a time: the one before, and the identifiers
  // met (each after a length byte) for the test of names given twice.
  std::optional<TDirRecord> prev;
  bool orderReported = false;
  std::string ids;
  std::vector<uint32_t> idAt;
  const auto where = [&](size_t dir, const std::string &id) { return name + ":" + ChildPath(dirs, dir, id, joliet); };
  WalkTree(
      d, dirs,
      [&](size_t dir, TDirRecord &r, bool) {
        systemUse = systemUse || !r.SystemUse.empty();
        const TWhereFn at = [&] { return where(dir, r.Identifier); };
        // Parts of one multi-extent file share an identifier.
        const bool continued = prev && (prev->Flags & dr::kMultiExtent) && !prev->IsDirectory();
        if (continued)
          CheckExtentChain(at, *prev, r, joliet);
        if ((r.Flags & dr::kMultiExtent) && r.IsDirectory())
          Error(at(), "a directory record flagged as a part of a file in several extents");
        if (!continued) {
          idAt.push_back(static_cast<uint32_t>(ids.size()));
          ids.push_back(static_cast<char>(r.Identifier.size()));
          ids += r.Identifier;
        }
        if (prev && !orderReported && CompareRecordOrder(r.Identifier, prev->Identifier, joliet) < 0) {
          orderReported = true;
          const std::string what = "records out of order: \"" + IdentifierText(prev->Identifier, joliet) +
                                   "\" comes before \"" + IdentifierText(r.Identifier, joliet) + "\"";
          // Joliet sets no order of its own that readers rely on.
          if (joliet)
            Warn(name + ":" + DirPath(dirs, dir, joliet), what);
          else
            Error(name + ":" + DirPath(dirs, dir, joliet), what + " (ISO 9660 sorts by name, extension, then version)");
        }
        CheckRecord(name, joliet, dirs, dir, r, continued && r.Identifier == prev->Identifier && !r.IsDirectory());
        prev = std::move(r);
      },
      [&](size_t dir, const TDots &dots) {
        if (prev && (prev->Flags & dr::kMultiExtent) && !prev->IsDirectory())
          Error(where(dir, prev->Identifier), "the record is flagged as continued in a next extent, but it is the "
                                              "last of its directory: the rest of the file is missing");
        // Identifiers given twice: equal ones side by side once sorted.
        const auto idOf = [&](uint32_t at) {
          return std::string_view(ids).substr(at + 1, static_cast<uint8_t>(ids[at]));
        };
        std::vector<uint32_t> order(idAt.size());
        for (size_t k = 0; k < order.size(); ++k)
          order[k] = static_cast<uint32_t>(k);
        std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return idOf(idAt[a]) < idOf(idAt[b]); });
        for (size_t k = 1; k < order.size(); ++k)
          if (idOf(idAt[order[k]]) == idOf(idAt[order[k - 1]]))
            Error(where(dir, std::string(idOf(idAt[order[k]]))), "identifier appears more than once in its directory");
        prev.reset();
        orderReported = false;
        ids.clear();
        idAt.clear();
        if (!dots.Read)
          return;
        const TDirInfo &n = dirs[dir];
        if (dots.DotExtent != n.Extent || dots.DotLength != n.Length)
          Error(name + ":" + DirPath(dirs, dir, joliet),
                "\".\" record gives extent " + std::to_string(dots.DotExtent) + " length " +
                    std::to_string(dots.DotLength) + ", the directory is at " + std::to_string(n.Extent) +
                    " length " + std::to_string(n.Length));
        const TDirInfo &p = n.Parent < 0 ? n : dirs[static_cast<size_t>(n.Parent)];
        if (dots.DotDotExtent != p.Extent || dots.DotDotLength != p.Length) {
          const std::string what = "\"..\" record gives extent " + std::to_string(dots.DotDotExtent) + " length " +
                                   std::to_string(dots.DotDotLength) + ", the parent is at " +
                                   std::to_string(p.Extent) + " length " + std::to_string(p.Length);
          // Some writers point ".." at the directory itself; readers walking
          // down from the root do not use it.
          if (dots.DotDotExtent == n.Extent && dots.DotDotLength == n.Length)
            Warn(name + ":" + DirPath(dirs, dir, joliet), what + " (the directory itself)");
          else
            Error(name + ":" + DirPath(dirs, dir, joliet), what);
        }
      },
      [&](const TReadProblem &p) { Error(name + " tree (" + At(p.At) + ")", p.Text); });
  return systemUse;
}

void TChecker::CheckRecord(const std::string &name, bool joliet, const std::vector<TDirInfo> &dirs, size_t dir,
                           const TDirRecord &r, bool continued) {
  const bool root = dirs.empty();
  const auto where = [&] { return name + ":" + (root ? std::string("/") : ChildPath(dirs, dir, r.Identifier, joliet)); };
  if (!r.Mismatches.empty())
    Mismatches(where(), r.Mismatches);
  const bool isDir = r.IsDirectory();
  CheckExtent(where, isDir ? "directory extent" : "file extent", r.Extent, r.Sectors());
  if (isDir) {
    ++(joliet ? jolietDirs_ : result_.Dirs);
    if (r.DataLength > 0)
      AddUse(r.Extent, uint64_t{r.Extent} + r.Sectors(), name + " directory " + where().substr(name.size() + 1));
  } else {
    // The parts of a file in several extents count as one file.
    if (!continued)
      ++(joliet ? jolietFiles_ : result_.Files);
    if (r.DataLength > 0) {
      uses_.push_back({r.Extent, uint64_t{r.Extent} + r.Sectors(), static_cast<uint32_t>(files_.size()), true, true});
      files_.push_back({static_cast<uint32_t>(dir), static_cast<uint32_t>(fileIds_.size()), joliet});
      fileIds_.push_back(static_cast<char>(r.Identifier.size()));
      fileIds_ += r.Identifier;
    }
  }
  if (root)
    return;
  std::vector<std::string> errors, warnings;
  if (joliet) {
    JolietNameProblems(r.Identifier, isDir, errors, warnings);
  } else {
    // A Rock Ridge relocated directory leaves a file record named like a
    // directory in its old place.
    const bool dirName = isDir || HasSystemUseEntry(r, rr::kCL);
    PrimaryNameProblems(r.Identifier, dirName, errors, warnings, level_);
    if (level_ > 1 && LongerThanLevel1(r.Identifier, dirName))
      warnings.push_back("name longer than 8.3, as ISO 9660 level " + std::to_string(level_) +
                         " allows (readers of level 1 may not show it)");
    const uint32_t depth = dirs[dir].Depth + 1;
    if (isDir && depth > 8)
      warnings.push_back("directory depth " + std::to_string(depth) + " is more than 8 levels");
    if (dirs[dir].PathLength + 1 + IdentifierText(r.Identifier, false).size() > 255)
      warnings.push_back("path of more than 255 characters");
  }
  for (const std::string &e : errors)
    Error(where(), e);
  for (const std::string &w : warnings)
    Warn(where(), w);
}

void TChecker::CheckExtentChain(const TWhereFn &where, const TDirRecord &prev, const TDirRecord &r, bool joliet) {
  // The record after a part flagged as continued is the next part of the
  // same file: same identifier, a file, and every part but the last a
  // whole number of blocks, so that the parts join without a gap.
  if (r.Identifier != prev.Identifier || r.IsDirectory()) {
    Error(where(), "follows a part of a file in several extents (\"" + IdentifierText(prev.Identifier, joliet) +
                       "\") but is not its next part: the rest of that file is missing");
    return;
  }
  if (prev.DataLength % kSectorSize)
    Error(where(), "the part before it is " + std::to_string(prev.DataLength) +
                       " bytes, not a whole number of 2048-byte blocks: the parts of the file do not join");
  if ((prev.Flags & ~dr::kMultiExtent) != (r.Flags & ~dr::kMultiExtent))
    Warn(where(), "the parts of a file in several extents have different flags");
}

void TChecker::CheckPathTables(const TVolumeDescriptor &d, const std::vector<TDirInfo> &dirs) {
  const bool joliet = d.Joliet;
  const std::string name = joliet ? "joliet" : "primary";
  if (d.PathTableSize == 0) {
    Error(name + " path table", "size 0: a path table holds at least the root");
    return;
  }
  const uint64_t sectors = (uint64_t{d.PathTableSize} + kSectorSize - 1) / kSectorSize;
  struct TTable {
    const char *Label;
    uint32_t Lba;
    bool Big;
    std::vector<TPathRecord> Records;
    bool Read = false;
  } tables[] = {{"L path table", d.PathTableL, false, {}},
                {"M path table", d.PathTableM, true, {}},
                {"optional L path table", d.PathTableOptL, false, {}},
                {"optional M path table", d.PathTableOptM, true, {}}};
  for (size_t k = 0; k < 4; ++k) {
    TTable &t = tables[k];
    const std::string where = name + " " + t.Label + " (sector " + std::to_string(t.Lba) + ")";
    if (k >= 2 && t.Lba == 0)
      continue;
    if (uint64_t{t.Lba} + sectors > volumeEnd_ || t.Lba < kSystemAreaSectors) {
      Error(where, "lies outside the volume or in the system area");
      continue;
    }
    AddUse(t.Lba, t.Lba + sectors, name + " " + t.Label);
    std::vector<TReadProblem> problems;
    std::string err;
    if (!reader_.ReadPathTable(t.Lba, d.PathTableSize, t.Big, t.Records, problems, err)) {
      Error(where, err);
      continue;
    }
    for (const TReadProblem &p : problems)
      Error(where, At(p.At) + ": " + p.Text);
    t.Read = true;
  }
  // Every table says the same.
  const TTable &base = tables[0].Read ? tables[0] : tables[1];
  for (const TTable &t : tables) {
    if (!t.Read || &t == &base)
      continue;
    const std::string where = name + " " + t.Label;
    if (t.Records.size() != base.Records.size()) {
      Error(where, std::to_string(t.Records.size()) + " records, the " + base.Label + " has " +
                       std::to_string(base.Records.size()));
      continue;
    }
    for (size_t i = 0; i < t.Records.size(); ++i) {
      const TPathRecord &a = base.Records[i], &b = t.Records[i];
      if (a.Extent != b.Extent || a.Parent != b.Parent || a.Identifier != b.Identifier) {
        Error(where + " record " + std::to_string(i + 1),
              "differs from the " + std::string(base.Label) + ": extent " + std::to_string(b.Extent) + " vs " +
                  std::to_string(a.Extent) + ", parent " + std::to_string(b.Parent) + " vs " +
                  std::to_string(a.Parent) + ", \"" + IdentifierText(b.Identifier, joliet) + "\" vs \"" +
                  IdentifierText(a.Identifier, joliet) + "\"");
        break;
      }
    }
  }
  if (base.Read)
    MatchPathTable(name + " " + base.Label, base.Records, dirs, joliet);
}

void TChecker::MatchPathTable(const std::string &where, const std::vector<TPathRecord> &recs,
                              const std::vector<TDirInfo> &dirs, bool joliet) {
  if (dirs.empty())
    return;
  std::unordered_map<uint32_t, size_t> byExtent;  // directory extent -> directory
  for (size_t i = 0; i < dirs.size(); ++i)
    byExtent.emplace(dirs[i].Extent, i);
  const TDirInfo &root = dirs[0];
  if (recs.empty() || recs[0].Identifier != std::string(1, '\0') || recs[0].Parent != 1 ||
      recs[0].Extent != root.Extent) {
    Error(where, "the first record is not the root (identifier 0x00, parent 1, extent " + std::to_string(root.Extent) +
                     ")");
    return;
  }
  std::unordered_map<size_t, size_t> numberOf;  // node -> record number
  std::vector<uint32_t> level(recs.size() + 1, 0);
  level[1] = 1;
  bool orderReported = false;
  for (size_t i = 1; i <= recs.size(); ++i) {
    const TPathRecord &r = recs[i - 1];
    const std::string at = where + " record " + std::to_string(i) + " (\"" + IdentifierText(r.Identifier, joliet) +
                           "\")";
    const auto it = byExtent.find(r.Extent);
    if (it == byExtent.end()) {
      Error(at, "extent " + std::to_string(r.Extent) + " is not the extent of a directory of the tree");
      continue;
    }
    const TDirInfo &node = dirs[it->second];
    if (!numberOf.emplace(it->second, i).second) {
      Error(at, "a second record for " + DirPath(dirs, it->second, joliet));
      continue;
    }
    if (i == 1)
      continue;
    if (r.Identifier != node.Identifier)
      Error(at, "identifier differs from the directory record of " + DirPath(dirs, it->second, joliet));
    if (r.Parent < 1 || r.Parent >= i) {
      Error(at, "parent number " + std::to_string(r.Parent) + " does not name an earlier record");
      orderReported = true;  // the order cannot be judged any more
      continue;
    }
    level[i] = level[r.Parent] + 1;
    const TDirInfo &parent = dirs[static_cast<size_t>(node.Parent)];
    if (recs[r.Parent - 1].Extent != parent.Extent)
      Error(at, "parent number " + std::to_string(r.Parent) + " names the directory at extent " +
                    std::to_string(recs[r.Parent - 1].Extent) + ", but " + DirPath(dirs, it->second, joliet) + " is in " + DirPath(dirs, static_cast<size_t>(node.Parent), joliet) +
                    " (extent " + std::to_string(parent.Extent) + ")");
    if (orderReported || i < 3)
      continue;
    const TPathRecord &p = recs[i - 2];
    const uint32_t pl = level[i - 1];
    int c = level[i] != pl ? (level[i] < pl ? -1 : 1) : r.Parent != p.Parent ? (r.Parent < p.Parent ? -1 : 1) : 0;
    const bool siblings = c == 0;
    if (c == 0)
      c = ComparePathIds(r.Identifier, p.Identifier, joliet);
    if (c < 0) {
      orderReported = true;
      const std::string what = "out of order after record " + std::to_string(i - 1) + " (\"" +
                               IdentifierText(p.Identifier, joliet) +
                               "\"): the order is level, parent number, identifier";
      // Readers find every directory of a Joliet table whose siblings keep
      // the primary tree's order; level and parent order stay errors.
      if (siblings && joliet)
        Warn(at, what);
      else
        Error(at, what);
    }
  }
  size_t missing = 0;
  for (const auto &[extent, node] : byExtent)
    if (!numberOf.count(node) && ++missing <= 20)
      Error(where, "no record for directory " + DirPath(dirs, node, joliet) + " (extent " + std::to_string(extent) + ")");
  if (missing > 20)
    Error(where, std::to_string(missing - 20) + " more directories without a record");
}

void TChecker::AddUse(uint64_t start, uint64_t end, std::string what, bool shared) {
  uses_.push_back({start, end, static_cast<uint32_t>(names_.size()), false, shared});
  names_.push_back(std::move(what));
}

std::string TChecker::UseName(const TUse &u) const {
  if (!u.File)
    return names_[u.Name];
  const TFileName &f = files_[u.Name];
  const std::string id = fileIds_.substr(f.Id + 1, static_cast<uint8_t>(fileIds_[f.Id]));
  return std::string(f.Joliet ? "joliet" : "primary") + " file " +
         ChildPath(f.Joliet ? jolietDirInfo_ : primaryDirs_, f.Dir, id, f.Joliet);
}

void TChecker::CheckOverlaps() {
  // Of two uses of the same sectors, the structure comes first and the file
  // laid over it is the one reported.
  std::stable_sort(uses_.begin(), uses_.end(), [](const TUse &a, const TUse &b) {
    return a.Start != b.Start ? a.Start < b.Start : a.End != b.End ? a.End < b.End : !a.Shared && b.Shared;
  });
  size_t owner = 0;  // the use that reaches furthest so far
  for (size_t i = 1; i < uses_.size(); ++i) {
    const TUse &u = uses_[i], &o = uses_[owner];
    if (u.Start < o.End) {
      if (!(u.Start == o.Start && u.End == o.End && u.Shared && o.Shared))
        Error(UseName(u), SectorRange(u.Start, u.End) + " overlap " + UseName(o) + " (" + SectorRange(o.Start, o.End) +
                              ")");
    }
    if (u.End > o.End)
      owner = i;
  }
}

bool TChecker::CheckRockRidgeTree(const TVolumeDescriptor &pvd) {
  // Rock Ridge's checks take the whole primary tree; it is read only for
  // them.
  TTree tree;
  reader_.ReadTree(pvd, tree);
  TRockRidgeCheck rr;
  CheckRockRidge(src_, tree, volumeEnd_, rr);
  for (const auto &[where, what] : rr.Errors)
    Error(where, what);
  for (const auto &[where, what] : rr.Warnings)
    Warn(where, what);
  for (const auto &[start, end] : rr.AreaSectors)
    AddUse(start, end, "Rock Ridge continuation areas");
  return rr.Present;
}

void TChecker::CheckBootEntry(const std::string &where, const uint8_t *e, std::string *summary) {
  const uint8_t indicator = e[eltorito::BootIndicator];
  if (indicator != 0x88 && indicator != 0x00)
    Error(where, "boot indicator " + Hex(indicator) + " (expected 0x88 or 0x00)");
  const uint8_t media = e[eltorito::MediaType] & 0x0F;
  const uint32_t rba = ov::GetLE32(e + eltorito::LoadRba);
  const uint16_t count = ov::GetLE16(e + eltorito::SectorCount);
  if (media > 4) {
    Error(where, "boot media type " + std::to_string(media) + " is not 0 to 4");
    return;
  }
  uint64_t sectors = FloppySectors(media);
  if (media == 0)
    sectors = (uint64_t{count} * 512 + kSectorSize - 1) / kSectorSize;
  if (media == 4 || sectors == 0)
    sectors = 1;
  CheckExtent(where, "boot image", rba, sectors);
  if (media >= 1 && media <= 3 && uint64_t{rba} + sectors <= volumeEnd_)
    AddUse(rba, rba + sectors, "boot image", true);
  if (media == 4 && rba + 1 <= volumeEnd_) {
    uint8_t s[kSectorSize];
    std::string err;
    if (reader_.ReadSector(rba, s, err) && !(s[510] == 0x55 && s[511] == 0xAA))
      Warn(where, "hard-disk emulation, but the image has no MBR signature");
  }
  if (summary && summary->empty())
    *summary = std::string(MediaName(media)) + ", image at sector " + std::to_string(rba) +
               (media >= 1 && media <= 3 ? ", " + std::to_string(sectors * kSectorSize) + " bytes" : "");
}

std::string TChecker::CheckElTorito(const TBootRecord &boot) {
  const std::string where = "boot record (sector " + std::to_string(boot.Lba) + ")";
  if (!boot.ElTorito) {
    Warn(where, "a boot system other than El Torito: not checked");
    return "";
  }
  const uint32_t cat = boot.CatalogLba;
  const std::string cwhere = "boot catalog (sector " + std::to_string(cat) + ")";
  if (cat < uint64_t{reader_.SessionStart()} + kSystemAreaSectors || cat >= volumeEnd_) {
    Error(where, "the catalog pointer " + std::to_string(cat) + " lies outside the volume");
    return "";
  }
  uint8_t s[kSectorSize];
  std::string err;
  if (!reader_.ReadSector(cat, s, err)) {
    Error(cwhere, err);
    return "";
  }
  AddUse(cat, uint64_t{cat} + 1, "boot catalog", true);
  // Validation entry: header 1, key bytes 55 AA, and sixteen words that sum to 0.
  if (s[eltorito::HeaderId] != 1)
    Error(cwhere, "validation entry header ID " + Hex(s[eltorito::HeaderId]) + " (expected 0x01)");
  if (s[eltorito::Key55] != 0x55 || s[eltorito::KeyAA] != 0xAA)
    Error(cwhere, "validation entry key bytes " + Hex(s[eltorito::Key55]) + " " + Hex(s[eltorito::KeyAA]) +
                      " (expected 0x55 0xAA)");
  uint32_t sum = 0;
  for (size_t i = 0; i < eltorito::EntrySize; i += 2)
    sum += ov::GetLE16(s + i);
  if (sum & 0xFFFF)
    Error(cwhere, "validation entry checksum " + Hex(ov::GetLE16(s + eltorito::Checksum)) +
                      " is wrong: the entry's words sum to " + Hex(sum & 0xFFFF) + ", not 0");
  std::string summary;
  CheckBootEntry(cwhere + " initial entry", s + eltorito::EntrySize, &summary);
  // Section headers (0x90, the last 0x91) each followed by their entries.
  size_t at = 2 * eltorito::EntrySize;
  while (at + eltorito::EntrySize <= kSectorSize) {
    const uint8_t h = s[at];
    if (h != 0x90 && h != 0x91)
      break;
    const uint16_t n = ov::GetLE16(s + at + eltorito::SectionEntries);
    at += eltorito::EntrySize;
    for (uint16_t k = 0; k < n && at + eltorito::EntrySize <= kSectorSize; ++k, at += eltorito::EntrySize) {
      if (s[at] == 0x44)  // extension records
        continue;
      CheckBootEntry(cwhere + " section entry at byte " + std::to_string(at), s + at, nullptr);
    }
    if (h == 0x91)
      break;
  }
  return summary;
}

TCheckResult TChecker::Run() {
  std::string err;
  const uint64_t have = src_.SectorCount();
  if (!reader_.ReadDescriptors(err)) {
    Error("sector " + std::to_string(uint64_t{reader_.SessionStart()} + kSystemAreaSectors), err);
    result_.Summary = "not an ISO 9660 image";
    return result_;
  }
  for (const TReadProblem &p : reader_.DescriptorProblems())
    Error("volume descriptor set (" + At(p.At) + ")", p.Text);
  const TVolumeDescriptor &pvd = *reader_.Primary();
  const TVolumeDescriptor *jvd = reader_.Joliet();
  // A later session's volume space size counts from sector 0 or, as some
  // writers have it, from the session start.
  const uint64_t start = reader_.SessionStart();
  volumeEnd_ = pvd.VolumeSpaceSize;
  if (start > 0 && (volumeEnd_ <= start || start + volumeEnd_ <= have))
    volumeEnd_ += start;
  const std::string pwhere = "primary volume descriptor (sector " + std::to_string(pvd.Lba) + ")";
  if (pvd.VolumeSpaceSize == 0) {
    Error(pwhere, "volume space size is 0: the tree is checked against the image's size (" + std::to_string(have) +
                      " sectors)");
    volumeEnd_ = have;
  } else if (volumeEnd_ > have) {
    Error(pwhere, "volume space size " + std::to_string(pvd.VolumeSpaceSize) + " is larger than the image (" +
                      std::to_string(have) + " sectors)");
    volumeEnd_ = have;
  }
  for (const TVolumeDescriptor &d : reader_.Descriptors()) {
    CheckDescriptor(d);
    if (d.Type == vd::kSupplementary && !d.Joliet)
      Warn("supplementary volume descriptor (sector " + std::to_string(d.Lba) + ")",
           d.Version == 2 ? "an enhanced volume descriptor (ISO 9660:1999): its tree is not checked"
                          : "no Joliet escape sequence: its tree is not checked");
    if (&d != &pvd && d.VolumeSpaceSize != pvd.VolumeSpaceSize)
      Error("volume descriptor (sector " + std::to_string(d.Lba) + ")",
            "volume space size " + std::to_string(d.VolumeSpaceSize) + " differs from the primary's " +
                std::to_string(pvd.VolumeSpaceSize));
  }
  // The descriptor set, terminator included: no file or directory may lie on it.
  AddUse(start + kSystemAreaSectors, reader_.DescriptorSetEnd(), "volume descriptor set");
  bool enhanced = false;
  for (const TVolumeDescriptor &d : reader_.Descriptors())
    enhanced = enhanced || (d.Type == vd::kSupplementary && d.Version == 2);
  // Each tree is checked a directory at a time; only its directories are
  // kept, for the path tables and for naming.
  for (const TVolumeDescriptor *d : {&pvd, jvd}) {
    if (!d)
      continue;
    if (d == &pvd && level_ == 0)
      level_ = enhanced ? 4 : d->RootValid ? ShownLevel(*d) : 1;
    std::vector<TDirInfo> &dirs = d == &pvd ? primaryDirs_ : jolietDirInfo_;
    const bool systemUse = CheckTree(*d, dirs);
    if (d == &pvd && d->RootValid) {
      rr::TReader detect(src_, volumeEnd_);
      rr::TRecordInfo root;
      if (systemUse || detect.Detect(d->Root.Extent, root))
        rockRidge_ = CheckRockRidgeTree(*d);
    }
    CheckPathTables(*d, dirs);
  }
  if (jvd && (jolietDirs_ != result_.Dirs || jolietFiles_ != result_.Files))
    Warn("Joliet tree", "holds " + std::to_string(jolietDirs_) + " directories and " + std::to_string(jolietFiles_) +
                            " files, the primary tree " + std::to_string(result_.Dirs) + " and " +
                            std::to_string(result_.Files));
  std::string boot;
  if (const TBootRecord *b = reader_.BootRecord())
    boot = CheckElTorito(*b);
  CheckOverlaps();

  result_.Level = level_;
  result_.Summary = "volume " + IdentifierText(Trimmed(pvd.VolumeId), false) + ", " +
                    std::to_string(pvd.VolumeSpaceSize) + " sectors" + (jvd ? ", Joliet" : ", no Joliet") +
                    (rockRidge_ ? ", Rock Ridge" : "") +
                    (boot.empty() ? "" : ", El Torito (" + boot + ")") +
                    (level_ > 1 ? ", ISO 9660 level " + std::to_string(level_) + " names" : "") + ", " +
                    std::to_string(result_.Dirs) +
                    " dirs, " + std::to_string(result_.Files) + " files";
  return result_;
}

} // namespace

TCheckResult CheckImage(TSectorSource &Source, const TCheckOptions &Options) {
  TChecker c(Source, Options);
  return c.Run();
}

std::string FormatReport(const TCheckResult &r, bool Quiet) {
  std::string out;
  for (TSeverity s : {TSeverity::Error, TSeverity::Warning}) {
    if (s == TSeverity::Warning && Quiet)
      break;
    for (const TFinding &f : r.Findings)
      if (f.Severity == s)
        out += std::string(s == TSeverity::Error ? "ERROR " : "WARNING ") + f.Where + ": " + f.What +
               (f.More ? " ... and " + std::to_string(f.More) + " more" : "") + "\n";
  }
  size_t shown = 0;
  for (const TFinding &f : r.Findings)
    shown += 1 + f.More;
  if (shown < r.Errors + r.Warnings)
    out += "(" + std::to_string(r.Errors + r.Warnings - shown) + " more findings not shown)\n";
  out += "check: " + std::to_string(r.Errors) + (r.Errors == 1 ? " error, " : " errors, ") +
         std::to_string(r.Warnings) + (r.Warnings == 1 ? " warning; " : " warnings; ") + r.Summary + "\n";
  return out;
}

} // namespace iso
