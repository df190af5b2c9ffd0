// SUSP and RRIP checks of the primary tree.
#include "ovISOCheck_rr.h"

#include "ovRockRidgeRead.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace iso {

namespace {

// ER identifiers of RRIP: 1.10 (PX of 36 bytes) and 1.12 (44 bytes).
bool IsRRIP110(const std::string &id) { return id == "RRIP_1991A"; }
bool IsRRIP112(const std::string &id) { return id == rr::kERIdentifier || id == "IEEE_P1282"; }

std::string At(const TWhere &w) { return " (sector " + std::to_string(w.Lba) + " byte " + std::to_string(w.Offset) + ")"; }

// The ".." record of the directory at extent: its parent link.
bool DotDotParentLink(TSectorSource &src, rr::TReader &reader, uint32_t extent, rr::TRecordInfo &info) {
  TDirRecord dot, dotdot;
  if (!rr::ReadDotRecords(src, extent, dot, &dotdot))
    return false;
  reader.Parse(dotdot, info);
  return true;
}

} // namespace

void CheckRockRidge(TSectorSource &Source, const TTree &Primary, uint64_t VolumeEnd, TRockRidgeCheck &Out) {
  if (Primary.Nodes.empty())
    return;
  rr::TReader reader(Source, VolumeEnd);
  reader.KeepContinuations(true);
  const uint32_t rootExtent = Primary.Nodes[0].Record.Extent;
  const std::string rootWhere = "Rock Ridge: root \".\" record (sector " + std::to_string(rootExtent) + ")";
  std::vector<rr::TProblem> problems;
  rr::TRecordInfo root, info;
  Out.Present = reader.Detect(rootExtent, root, &problems);
  if (!Out.Present) {
    // Entries without SP are ignored by readers: say so once.
    for (size_t i = 1; i < Primary.Nodes.size(); ++i) {
      reader.Parse(Primary.Nodes[i].Record, info);
      if (info.Any) {
        Out.Errors.push_back({"primary:" + NodePath(Primary, i),
                              "Rock Ridge entries, but no SP entry in the root's \".\" record: readers ignore them"});
        break;
      }
    }
    return;
  }
  const auto report = [&](const std::string &where) {
    for (const rr::TProblem &p : problems)
      Out.Errors.push_back({where + At(p.At), p.Text});
    problems.clear();
  };
  report(rootWhere);
  bool v110 = false, v112 = false;
  for (const std::string &id : root.Extensions) {
    v110 = v110 || IsRRIP110(id);
    v112 = v112 || IsRRIP112(id);
  }
  if (root.Extensions.empty())
    Out.Errors.push_back({rootWhere, "SP without an ER entry: the extension in use is not named"});
  else if (!v110 && !v112)
    Out.Warnings.push_back({rootWhere, "no ER entry names Rock Ridge (RRIP_1991A, IEEE_P1282 or IEEE_1282)"});

  // Relocation: child links by target, relocated directories by extent.
  std::unordered_map<uint32_t, size_t> relocated;      // extent -> node
  std::unordered_set<uint32_t> walked{rootExtent};     // extents of the tree's directories
  std::vector<std::pair<size_t, uint32_t>> childLinks;  // node, target
  for (size_t i = 1; i < Primary.Nodes.size(); ++i) {
    const TDirRecord &r = Primary.Nodes[i].Record;
    reader.Parse(r, info, &problems);
    const auto where = [&] { return "primary:" + NodePath(Primary, i); };
    if (!problems.empty())
      report(where());
    if (info.HasAttrs && v112 && !v110 && info.PXLength == rr::kPXLength110)
      Out.Warnings.push_back({where(), "a PX entry of 36 bytes (RRIP 1.10) where ER names RRIP 1.12 (44 bytes)"});
    if (info.HasAttrs && v110 && !v112 && info.PXLength == rr::kPXLength112)
      Out.Warnings.push_back({where(), "a PX entry of 44 bytes (RRIP 1.12) where ER names RRIP 1.10 (36 bytes)"});
    if (info.HasChildLink) {
      if (r.IsDirectory())
        Out.Errors.push_back({where(), "a CL entry on a directory record (it belongs to the file left in its place)"});
      else
        childLinks.push_back({i, info.ChildLink});
    }
    if (r.IsDirectory())
      walked.insert(r.Extent);
    if (info.Relocated) {
      if (!r.IsDirectory())
        Out.Errors.push_back({where(), "an RE entry on a file record (only a relocated directory has one)"});
      else
        relocated.emplace(r.Extent, i);
    }
    if (info.HasParentLink)
      Out.Errors.push_back({where(), "a PL entry outside a \"..\" record"});
  }
  std::unordered_map<uint32_t, size_t> claimed;  // target -> the node of its first CL
  for (const auto &[node, target] : childLinks) {
    const std::string where = "primary:" + NodePath(Primary, node);
    const auto it = relocated.find(target);
    TDirRecord dot;
    if (it == relocated.end() && target < VolumeEnd && !walked.count(target) &&
        rr::ReadDotRecords(Source, target, dot) && dot.Extent == target) {
      // A session appended by a peer keeps the child link of an earlier
      // session's relocated folder: readers follow it there.
      Out.Warnings.push_back({where, "CL points at sector " + std::to_string(target) +
                                         ", a directory outside this tree (an earlier session's relocated folder)"});
      continue;
    }
    if (it == relocated.end()) {
      Out.Errors.push_back({where, "CL points at sector " + std::to_string(target) +
                                       ", where no directory flagged RE (relocated) is recorded"});
      continue;
    }
    if (!claimed.emplace(target, node).second) {
      Out.Errors.push_back({where, "CL points at the relocated directory " + NodePath(Primary, it->second) +
                                       ", which another CL already claims"});
      continue;
    }
    // The relocated directory's ".." names its real parent with PL.
    const TNode &holder = Primary.Nodes[node];
    const uint32_t realParent = Primary.Nodes[static_cast<size_t>(holder.Parent)].Record.Extent;
    rr::TRecordInfo dots;
    if (!DotDotParentLink(Source, reader, target, dots) || !dots.HasParentLink)
      Out.Errors.push_back({"primary:" + NodePath(Primary, it->second),
                            "a relocated directory whose \"..\" record has no PL entry"});
    else if (dots.ParentLink != realParent)
      Out.Errors.push_back({"primary:" + NodePath(Primary, it->second),
                            "PL of the relocated directory gives sector " + std::to_string(dots.ParentLink) +
                                ", its CL sits in the directory at sector " + std::to_string(realParent)});
  }
  for (const auto &[extent, node] : relocated)
    if (!claimed.count(extent))
      Out.Warnings.push_back({"primary:" + NodePath(Primary, node),
                            "a directory flagged RE (relocated) that no CL entry points at: readers hide it"});

  // Continuation areas: inside the volume (the reader refused the others),
  // clear of the system area, and never partly over one another.
  std::vector<rr::TContinuation> areas = reader.Continuations();
  std::sort(areas.begin(), areas.end(), [](const rr::TContinuation &a, const rr::TContinuation &b) {
    return a.Block != b.Block ? a.Block < b.Block : a.Offset < b.Offset;
  });
  areas.erase(std::unique(areas.begin(), areas.end(),
                          [](const rr::TContinuation &a, const rr::TContinuation &b) {
                            return a.Block == b.Block && a.Offset == b.Offset && a.Length == b.Length;
                          }),
              areas.end());
  for (size_t k = 0; k < areas.size(); ++k) {
    const rr::TContinuation &c = areas[k];
    const std::string where = "Rock Ridge continuation area (sector " + std::to_string(c.Block) + " byte " +
                              std::to_string(c.Offset) + ")";
    if (c.Block < kSystemAreaSectors)
      Out.Errors.push_back({where, "lies in the system area"});
    if (k > 0 && areas[k - 1].Block == c.Block && areas[k - 1].Offset + areas[k - 1].Length > c.Offset)
      Out.Errors.push_back({where, "overlaps the continuation area at byte " + std::to_string(areas[k - 1].Offset)});
    if (Out.AreaSectors.empty() || Out.AreaSectors.back().second <= c.Block) {
      if (!Out.AreaSectors.empty() && Out.AreaSectors.back().second == c.Block)
        Out.AreaSectors.back().second = uint64_t{c.Block} + 1;
      else
        Out.AreaSectors.push_back({c.Block, uint64_t{c.Block} + 1});
    }
  }
}

} // namespace iso
