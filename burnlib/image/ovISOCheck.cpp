// The structural checker: descriptors, both directory trees, path tables,
// extents and El Torito, reported as errors and warnings.
#include "ovISOCheck.h"
#include "ovISOCheck_impl.h"
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
namespace check {

namespace {

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

const char *MediaName(uint8_t media) {
  static const char *const kNames[] = {"no emulation", "1.2M floppy", "1.44M floppy", "2.88M floppy", "hard disk"};
  return media < 5 ? kNames[media] : "unknown media";
}

uint32_t FloppySectors(uint8_t media) { return media == 1 ? 600 : media == 2 ? 720 : media == 3 ? 1440 : 0; }

} // namespace

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

std::string SectorRange(uint64_t start, uint64_t end) {
  return end - start <= 1 ? "sector " + std::to_string(start)
                          : "sectors " + std::to_string(start) + "-" + std::to_string(end - 1);
}


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

} // namespace check

using check::TChecker;

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
