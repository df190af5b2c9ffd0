// ISO 9660 / Joliet reader over a sector source.
#include "ovISORead.h"

#include "ovBytes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>

namespace iso {

namespace {

constexpr uint32_t kMaxDescriptors = 64;  // descriptors read before giving up on a terminator
constexpr uint32_t kXABlockSize = 14;

template <class T> void NoteBoth(std::vector<TMismatch> &out, const char *field, const ov::TBoth<T> &v) {
  if (!v.Agree())
    out.push_back({field, v.LE, v.BE});
}

std::string Raw(const uint8_t *p, size_t n) { return std::string(reinterpret_cast<const char *>(p), n); }

void AppendUtf8(std::string &out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | cp >> 6));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | cp >> 12));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

} // namespace

bool ParseDirRecord(const uint8_t *p, size_t Avail, TDirRecord &r, std::string &Why) {
  if (Avail < 1) {
    Why = "no room for a record";
    return false;
  }
  const uint8_t len = p[dr::Length];
  if (len < dr::kMinLength) {
    Why = "record length " + std::to_string(len) + " is shorter than " + std::to_string(dr::kMinLength);
    return false;
  }
  if (len > Avail) {
    Why = "record of " + std::to_string(len) + " bytes crosses the sector boundary (" + std::to_string(Avail) +
          " bytes left)";
    return false;
  }
  const uint8_t n = p[dr::NameLength];
  if (n == 0 || dr::Name + n > len) {
    Why = "identifier length " + std::to_string(n) + " does not fit the record length " + std::to_string(len);
    return false;
  }
  r = TDirRecord();
  r.Length = len;
  r.ExtAttrLength = p[dr::ExtAttrLength];
  const auto extent = ov::GetBoth32(p + dr::Extent);
  const auto size = ov::GetBoth32(p + dr::DataLength);
  const auto seq = ov::GetBoth16(p + dr::SequenceNumber);
  NoteBoth(r.Mismatches, "extent", extent);
  NoteBoth(r.Mismatches, "data length", size);
  NoteBoth(r.Mismatches, "volume sequence number", seq);
  r.Extent = extent.LE;
  r.DataLength = size.LE;
  r.SequenceNumber = seq.LE;
  std::memcpy(r.Date, p + dr::Date, sizeof r.Date);
  r.Flags = p[dr::Flags];
  r.FileUnitSize = p[dr::FileUnitSize];
  r.InterleaveGap = p[dr::InterleaveGap];
  r.Identifier = Raw(p + dr::Name, n);
  const size_t su = dr::Name + n + (n % 2 == 0 ? 1 : 0);
  if (su < len)
    r.SystemUse = Raw(p + su, len - su);
  return true;
}

bool HasSystemUseEntry(const TDirRecord &Record, const char Signature[2]) {
  const std::string &su = Record.SystemUse;
  size_t at = 0;
  while (at + 4 <= su.size()) {
    const size_t len = static_cast<uint8_t>(su[at + 2]);
    if (len < 4 || at + len > su.size())
      return false;
    if (su[at] == Signature[0] && su[at + 1] == Signature[1])
      return true;
    at += len;
  }
  return false;
}

void ParseVolumeDescriptor(const uint8_t *s, uint64_t Lba, TVolumeDescriptor &d) {
  d = TVolumeDescriptor();
  d.Type = s[vd::Type];
  d.Version = s[vd::Version];
  d.Lba = Lba;
  d.SystemId = Raw(s + vd::SystemId, 32);
  d.VolumeId = Raw(s + vd::VolumeId, 32);
  d.VolumeSetId = Raw(s + vd::VolumeSetId, 128);
  d.PublisherId = Raw(s + vd::PublisherId, 128);
  d.PreparerId = Raw(s + vd::PreparerId, 128);
  d.ApplicationId = Raw(s + vd::ApplicationId, 128);
  d.Escapes = Raw(s + vd::Escapes, 32);
  const auto space = ov::GetBoth32(s + vd::SpaceSize);
  const auto setSize = ov::GetBoth16(s + vd::SetSize);
  const auto seq = ov::GetBoth16(s + vd::SequenceNumber);
  const auto block = ov::GetBoth16(s + vd::BlockSize);
  const auto ptSize = ov::GetBoth32(s + vd::PathTableSize);
  NoteBoth(d.Mismatches, "volume space size", space);
  NoteBoth(d.Mismatches, "volume set size", setSize);
  NoteBoth(d.Mismatches, "volume sequence number", seq);
  NoteBoth(d.Mismatches, "logical block size", block);
  NoteBoth(d.Mismatches, "path table size", ptSize);
  d.VolumeSpaceSize = space.LE;
  d.VolumeSetSize = setSize.LE;
  d.SequenceNumber = seq.LE;
  d.BlockSize = block.LE;
  d.PathTableSize = ptSize.LE;
  d.PathTableL = ov::GetLE32(s + vd::PathTableL);
  d.PathTableOptL = ov::GetLE32(s + vd::PathTableOptL);
  d.PathTableM = ov::GetBE32(s + vd::PathTableM);
  d.PathTableOptM = ov::GetBE32(s + vd::PathTableOptM);
  d.StructureVersion = s[vd::StructureVersion];
  if (d.Type == vd::kSupplementary) {
    const uint8_t *e = s + vd::Escapes;
    d.Joliet = e[0] == 0x25 && e[1] == 0x2F && (e[2] == 0x40 || e[2] == 0x43 || e[2] == 0x45);
  }
  // The root record is 34 bytes inside the descriptor.
  d.RootValid = ParseDirRecord(s + vd::RootRecord, 34, d.Root, d.RootProblem);
  if (d.RootValid) {
    d.Root.At = {Lba, static_cast<uint32_t>(vd::RootRecord)};
    for (const TMismatch &m : d.Root.Mismatches)
      d.Mismatches.push_back({"root record " + m.Field, m.LE, m.BE});
  }
}

std::vector<TPathRecord> ParsePathTable(const uint8_t *t, size_t Size, bool BigEndian,
                                        std::vector<TReadProblem> &Problems) {
  std::vector<TPathRecord> out;
  size_t at = 0;
  while (at < Size) {
    if (Size - at < pt::Name + 1) {
      Problems.push_back({{0, static_cast<uint32_t>(at)}, "a path table record is cut off by the table size"});
      break;
    }
    const uint8_t n = t[at + pt::NameLength];
    if (n == 0) {
      Problems.push_back({{0, static_cast<uint32_t>(at)}, "path table record with an empty identifier"});
      break;
    }
    const size_t len = pt::Name + n + (n % 2);
    if (pt::Name + n > Size - at) {
      Problems.push_back({{0, static_cast<uint32_t>(at)}, "path table record runs past the table size"});
      break;
    }
    TPathRecord r;
    r.Offset = static_cast<uint32_t>(at);
    r.ExtAttrLength = t[at + pt::ExtAttrLength];
    r.Extent = BigEndian ? ov::GetBE32(t + at + pt::Extent) : ov::GetLE32(t + at + pt::Extent);
    r.Parent = BigEndian ? ov::GetBE16(t + at + pt::Parent) : ov::GetLE16(t + at + pt::Parent);
    r.Identifier = Raw(t + at + pt::Name, n);
    out.push_back(std::move(r));
    at += len;
  }
  return out;
}

std::string IdentifierText(const std::string &Raw, bool Joliet) {
  std::string out;
  if (!Joliet) {
    for (unsigned char c : Raw) {
      if (c >= 0x20 && c < 0x7F) {
        out.push_back(static_cast<char>(c));
      } else {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02X", c);
        out += buf;
      }
    }
    return out;
  }
  for (size_t i = 0; i + 1 < Raw.size(); i += 2) {
    uint32_t u = static_cast<uint32_t>(static_cast<uint8_t>(Raw[i]) << 8 | static_cast<uint8_t>(Raw[i + 1]));
    if (u >= 0xD800 && u < 0xE000)
      u = 0xFFFD;
    if (u < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", u);
      out += buf;
      continue;
    }
    AppendUtf8(out, u);
  }
  if (Raw.size() % 2)
    out += "\\x" + std::string(1, "0123456789ABCDEF"[static_cast<uint8_t>(Raw.back()) >> 4]) +
           std::string(1, "0123456789ABCDEF"[static_cast<uint8_t>(Raw.back()) & 15]);
  return out;
}

const TVolumeDescriptor *TISOReader::Primary() const {
  for (const TVolumeDescriptor &d : descs_)
    if (d.Type == vd::kPrimary)
      return &d;
  return nullptr;
}

const TVolumeDescriptor *TISOReader::Joliet() const {
  for (const TVolumeDescriptor &d : descs_)
    if (d.Joliet)
      return &d;
  return nullptr;
}

bool TISOReader::ReadSector(uint64_t Lba, uint8_t *Buffer, std::string &Error) {
  return src_.ReadSectors(Lba, 1, Buffer, Error);
}

bool TISOReader::ReadDescriptors(std::string &Error) {
  descs_.clear();
  descProblems_.clear();
  hasBoot_ = terminator_ = false;
  setEnd_ = uint64_t{session_} + kSystemAreaSectors;
  uint8_t s[kSectorSize];
  for (uint32_t i = 0; i < kMaxDescriptors; ++i) {
    const uint64_t lba = uint64_t{session_} + kSystemAreaSectors + i;
    std::string err;
    if (!ReadSector(lba, s, err)) {
      descProblems_.push_back({{lba, 0}, err});
      break;
    }
    if (std::memcmp(s + vd::StandardId, "CD001", 5) != 0) {
      descProblems_.push_back({{lba, 0}, "no \"CD001\" standard identifier: the descriptor set ends without a "
                                         "terminator"});
      break;
    }
    const uint8_t type = s[vd::Type];
    setEnd_ = lba + 1;
    if (type == vd::kTerminator) {
      terminator_ = true;
      break;
    }
    if (type == vd::kBootRecord) {
      if (!hasBoot_) {
        hasBoot_ = true;
        boot_.Lba = lba;
        static const size_t n = sizeof eltorito::kSystemId - 1;
        boot_.ElTorito = std::memcmp(s + eltorito::BootSystemId, eltorito::kSystemId, n) == 0;
        for (size_t k = eltorito::BootSystemId + n; k < eltorito::BootSystemId + 32 && boot_.ElTorito; ++k)
          boot_.ElTorito = s[k] == 0;
        boot_.CatalogLba = ov::GetLE32(s + eltorito::CatalogPointer);
      }
      continue;
    }
    if (type == vd::kPrimary || type == vd::kSupplementary) {
      TVolumeDescriptor d;
      ParseVolumeDescriptor(s, lba, d);
      descs_.push_back(std::move(d));
    }
  }
  if (!terminator_ && descProblems_.empty())
    descProblems_.push_back({{uint64_t{session_} + kSystemAreaSectors + kMaxDescriptors, 0},
                             "no volume descriptor set terminator within " + std::to_string(kMaxDescriptors) +
                                 " descriptors"});
  if (!Primary()) {
    Error = "no primary volume descriptor at sector " + std::to_string(uint64_t{session_} + kSystemAreaSectors) +
            (descProblems_.empty() ? std::string() : ": " + descProblems_.front().Text);
    return false;
  }
  return true;
}

bool TISOReader::ReadDirectory(const TDirRecord &Dir, std::vector<TDirRecord> &Records,
                               std::vector<TReadProblem> &Problems) {
  Records.clear();
  return ForEachRecord(Dir, Problems, [&](TDirRecord &r) { Records.push_back(std::move(r)); });
}

bool TISOReader::ForEachRecord(const TDirRecord &Dir, std::vector<TReadProblem> &Problems,
                               const std::function<void(TDirRecord &)> &Visit) {
  uint32_t bytes = Dir.DataLength;
  if (bytes > kMaxStructureBytes) {
    Problems.push_back({Dir.At, "directory extent of " + std::to_string(bytes) + " bytes is too large to read"});
    return false;
  }
  // Sectors past the end of the source cannot hold records: the read of the
  // first of them reports it, and nothing more is asked for.
  const uint64_t have = src_.SectorCount();
  const uint32_t sectors =
      static_cast<uint32_t>(std::min<uint64_t>(Dir.Sectors(), Dir.Extent < have ? have - Dir.Extent + 1 : 1));
  // Read in pieces of up to 64 KiB: one request for many records.
  constexpr uint32_t kChunk = 32;
  std::vector<uint8_t> chunk(size_t{std::min(sectors, kChunk)} * kSectorSize);
  TDirRecord r;
  std::string why;
  for (uint32_t first = 0; first < sectors; first += kChunk) {
    uint32_t count = std::min(kChunk, sectors - first);
    std::string err;
    if (!src_.ReadSectors(uint64_t{Dir.Extent} + first, count, chunk.data(), err)) {
      // Sector by sector up to the one that fails, so that every record
      // before it is kept and the problem names that sector.
      count = 0;
      while (first + count < sectors && count < kChunk &&
             ReadSector(uint64_t{Dir.Extent} + first + count, chunk.data() + size_t{count} * kSectorSize, err))
        ++count;
      if (count == kChunk || first + count == sectors)
        err.clear();
    }
    for (uint32_t j = 0; j < count; ++j) {
      const uint32_t k = first + j;
      const uint8_t *s = chunk.data() + size_t{j} * kSectorSize;
      const uint64_t lba = uint64_t{Dir.Extent} + k;
      const uint32_t base = k * kSectorSize;
      const uint32_t limit = std::min<uint32_t>(kSectorSize, bytes - base);  // bytes of the extent in this sector
      uint32_t off = 0;
      while (off < limit) {
        if (s[off] == 0) {
          // A 14-byte extension block left between records by some writers
          // (owner ids zero, then the attribute byte 0x55 and "XA"): skipped.
          if (off + kXABlockSize <= limit && std::memcmp(s + off, "\0\0\0\0", 4) == 0 &&
              std::memcmp(s + off + 5, "\x55XA", 3) == 0) {
            Problems.push_back({{lba, off}, "a 14-byte extension block between records: skipped"});
            off += kXABlockSize;
            continue;
          }
          // Zero fill to the end of the sector: the next record starts the next one.
          break;
        }
        const uint32_t len = s[off];
        if (off + len <= kSectorSize && base + off + len > bytes) {
          Problems.push_back({{lba, off}, "record of " + std::to_string(len) + " bytes runs past the end of its "
                                          "directory extent (" + std::to_string(bytes) + " bytes)"});
          break;
        }
        if (!ParseDirRecord(s + off, kSectorSize - off, r, why)) {
          Problems.push_back({{lba, off}, why});
          break;  // nothing after a broken record in this sector can be trusted
        }
        r.At = {lba, off};
        off += r.Length;
        Visit(r);
      }
    }
    if (!err.empty()) {
      Problems.push_back({{uint64_t{Dir.Extent} + first + count, 0}, err});
      return false;
    }
  }
  return true;
}

std::string NodePath(const TTree &Tree, size_t Index) {
  if (Index >= Tree.Nodes.size() || Tree.Nodes[Index].Parent < 0)
    return "/";
  std::vector<size_t> chain;
  for (size_t i = Index; Tree.Nodes[i].Parent >= 0; i = static_cast<size_t>(Tree.Nodes[i].Parent))
    chain.push_back(i);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it)
    path += "/" + IdentifierText(Tree.Nodes[*it].Record.Identifier, Tree.Joliet);
  return path;
}

void TISOReader::ReadTree(const TVolumeDescriptor &Desc, TTree &Tree) {
  if (!Desc.RootValid) {
    Tree = TTree();
    Tree.Joliet = Desc.Joliet;
    Tree.Problems.push_back({{Desc.Lba, static_cast<uint32_t>(vd::RootRecord)}, "root record: " + Desc.RootProblem});
    return;
  }
  ReadTreeFrom(Desc.Root, Desc.Joliet, Tree);
}

TWalkGuard::TWalkGuard(const TWalkLimits &Limits, const TDirRecord &Root) : limits_(Limits) {
  Add(Root.Extent, uint64_t{Root.Extent} + std::max<uint32_t>(Root.Sectors(), 1));
}

bool TWalkGuard::Enter(const TDirRecord &Dir) {
  return Add(Dir.Extent, uint64_t{Dir.Extent} + std::max<uint32_t>(Dir.Sectors(), 1)) < 0;
}

int64_t TWalkGuard::Add(uint64_t start, uint64_t end) {
  auto next = walked_.lower_bound(start);
  if (next != walked_.end() && next->first < end)
    return static_cast<int64_t>(next->first);
  if (next != walked_.begin()) {
    auto prev = std::prev(next);
    if (prev->second > start)
      return static_cast<int64_t>(prev->first);
  }
  walked_.emplace_hint(next, start, end);
  return -1;
}

bool TISOReader::WalkDirectory(const TDirRecord &Dir, uint32_t Depth, bool Joliet, TWalkGuard &Guard,
                               const std::function<std::string()> &Path, std::vector<TReadProblem> &Problems,
                               TDots &Dots, const TRecordVisit &Visit,
                               const std::function<bool(const TDirRecord &)> &Elsewhere) {
  Dots = TDots();
  if (Guard.stopped_)
    return false;
  if (Guard.bytes_ + Dir.DataLength > Guard.limits_.MaxDirectoryBytes) {
    Problems.push_back({Dir.At, "the walk has read " + std::to_string(Guard.bytes_) + " bytes of directories, and " +
                                    Path() + " would take it past the limit of " +
                                    std::to_string(Guard.limits_.MaxDirectoryBytes) + ": stopped, the rest is not read"});
    Guard.stopped_ = true;
    return false;
  }
  Guard.bytes_ += Dir.DataLength;
  const uint32_t depth = Depth + 1;  // of the children
  uint32_t seenRecords = 0;          // "." and ".." included
  bool dot = false, full = false;
  const auto childPath = [&](const TDirRecord &r) {
    const std::string parent = Path();
    return (parent == "/" ? std::string() : parent) + "/" + IdentifierText(r.Identifier, Joliet);
  };
  const bool readWhole = ForEachRecord(Dir, Problems, [&](TDirRecord &r) {
    const uint32_t index = seenRecords++;
    if (index == 0 && r.IsDot()) {
      Dots.DotExtent = r.Extent;
      Dots.DotLength = r.DataLength;
      dot = true;
      return;
    }
    if (index == 1 && dot && r.IsDotDot()) {
      Dots.Read = true;
      Dots.DotDotExtent = r.Extent;
      Dots.DotDotLength = r.DataLength;
      return;
    }
    if (r.IsDot() || r.IsDotDot()) {
      Problems.push_back({r.At, "a \".\" or \"..\" record among the entries of " + Path()});
      return;
    }
    if (full)
      return;
    if (Guard.entries_ >= Guard.limits_.MaxEntries) {
      Problems.push_back({r.At, "the walk holds " + std::to_string(Guard.entries_) + " entries, its limit: stopped in " +
                                    Path() + ", the rest is not read"});
      full = true;
      Guard.stopped_ = true;
      return;
    }
    ++Guard.entries_;
    // Loops, over-deep directories and ones whose extent overlaps a
    // directory already walked are not entered.
    std::string why;
    if (r.IsDirectory() && !(Elsewhere && Elsewhere(r))) {
      if (depth > kMaxDepth) {
        why = " is deeper than " + std::to_string(kMaxDepth) + " levels: not entered";
      } else {
        const int64_t other = Guard.Add(r.Extent, uint64_t{r.Extent} + std::max<uint32_t>(r.Sectors(), 1));
        if (other == r.Extent)
          why = " points at extent " + std::to_string(r.Extent) +
                ", already walked (a loop or a shared directory): not entered";
        else if (other >= 0)
          why = " at extent " + std::to_string(r.Extent) + " overlaps the directory extent at " +
                std::to_string(other) + ", already walked: not entered";
      }
      if (!why.empty()) {
        Problems.push_back({r.At, "directory " + childPath(r) + why});
        r.Flags = static_cast<uint8_t>(r.Flags & ~dr::kDirectory);
      }
    }
    Visit(r, !why.empty());
  });
  if (!Dots.Read && (readWhole || seenRecords > 0))
    Problems.push_back({{Dir.Extent, 0}, "directory " + Path() + " does not start with its \".\" and \"..\" records"});
  return true;
}

void TISOReader::ReadTreeFrom(const TDirRecord &Root, bool Joliet, TTree &Tree) {
  Tree = TTree();
  Tree.Joliet = Joliet;
  TNode root;
  root.Record = Root;
  Tree.Nodes.push_back(std::move(root));
  TWalkGuard guard(Limits, Root);
  for (size_t i = 0; i < Tree.Nodes.size(); ++i) {
    if (!Tree.Nodes[i].Record.IsDirectory())
      continue;
    Tree.Nodes[i].FirstChild = static_cast<int32_t>(Tree.Nodes.size());
    const TDirRecord dirRecord = Tree.Nodes[i].Record;
    const uint32_t depth = Tree.Nodes[i].Depth + 1;
    const int32_t parent = static_cast<int32_t>(i);
    int32_t count = 0;
    TDots dots;
    const bool read = WalkDirectory(
        dirRecord, Tree.Nodes[i].Depth, Joliet, guard, [&] { return NodePath(Tree, i); }, Tree.Problems, dots,
        [&](TDirRecord &r, bool refused) {
          TNode n;
          n.Parent = parent;
          n.Depth = depth;
          n.NotEntered = refused;
          n.Record = std::move(r);
          Tree.Nodes.push_back(std::move(n));
          ++count;
        });
    TNode &dir = Tree.Nodes[i];
    dir.NotEntered = dir.NotEntered || !read;
    dir.ChildCount = count;
    dir.DotsRead = dots.Read;
    dir.DotExtent = dots.DotExtent;
    dir.DotLength = dots.DotLength;
    dir.DotDotExtent = dots.DotDotExtent;
    dir.DotDotLength = dots.DotDotLength;
  }
  Tree.Stopped = guard.Stopped();
}

bool TISOReader::ReadPathTable(uint32_t Lba, uint32_t Size, bool BigEndian, std::vector<TPathRecord> &Records,
                               std::vector<TReadProblem> &Problems, std::string &Error) {
  Records.clear();
  if (Size > kMaxStructureBytes) {
    Error = "path table size " + std::to_string(Size) + " is too large to read";
    return false;
  }
  const uint32_t sectors = (Size + kSectorSize - 1) / kSectorSize;
  std::vector<uint8_t> table(size_t{sectors} * kSectorSize);
  if (sectors > 0 && !src_.ReadSectors(Lba, sectors, table.data(), Error))
    return false;
  std::vector<TReadProblem> found;
  Records = ParsePathTable(table.data(), Size, BigEndian, found);
  for (TReadProblem &p : found) {
    p.At = {uint64_t{Lba} + p.At.Offset / kSectorSize, p.At.Offset % kSectorSize};
    Problems.push_back(std::move(p));
  }
  return true;
}

} // namespace iso
