// The checker's parts shared by its source files: the walk of each tree, its
// uses of sectors, and the findings.
#pragma once

#include "ovISOCheck.h"
#include "ovISORead.h"

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace iso::check {

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
std::string DirPath(const std::vector<TDirInfo> &dirs, size_t i, bool joliet);
// The path of a record of directory dir.
std::string ChildPath(const std::vector<TDirInfo> &dirs, size_t dir, const std::string &id, bool joliet);
// "sector N" or "sectors N-M" of [start, end).
std::string SectorRange(uint64_t start, uint64_t end);

using TWhereFn = std::function<std::string()>;

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

} // namespace iso::check
