// The checker's path tables: each copy read, the copies compared, and the
// table matched against the directories the walk found.
#include "ovISOCheck_impl.h"

#include <algorithm>
#include <string>
#include <unordered_map>

namespace iso::check {

namespace {

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

} // namespace

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

} // namespace iso::check
