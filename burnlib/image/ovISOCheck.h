// Strict structural check of an ISO 9660 / Joliet / El Torito session, built
// on the ISO reader: findings with a severity and the place they concern.
#pragma once

#include "ovISORead.h"

#include <cstdint>
#include <string>
#include <vector>

namespace iso {

enum class TSeverity { Error, Warning };

struct TFinding {
  TSeverity Severity = TSeverity::Error;
  std::string Where;  // "primary:/DIR/FILE.TXT;1", "sector 18", "boot catalog (sector 26)"...
  std::string What;
  size_t More = 0;    // the same warning at this many further places, not listed
};

struct TCheckOptions {
  uint32_t SessionStart = 0;  // the descriptors are read at SessionStart + 16
  // The ISO 9660 level whose name rules the primary tree is held to: 1 to 3,
  // or 4 for ISO 9660:1999. 0: the level the image shows (4 with an enhanced
  // volume descriptor; 2, or 3 with files in several extents, when a name is
  // longer than 8.3; else 1).
  uint32_t Level = 0;
};

struct TCheckResult {
  std::vector<TFinding> Findings;  // at most kMaxFindings; the counts below count all
  size_t Errors = 0;
  size_t Warnings = 0;
  // "volume X, N sectors, Joliet, El Torito (...), D dirs, F files" (dirs count
  // the root, both count the primary tree).
  std::string Summary;
  size_t Dirs = 0, Files = 0;
  uint32_t Level = 1;  // the name level the primary tree was checked against
};

constexpr size_t kMaxFindings = 2000;

TCheckResult CheckImage(TSectorSource &Source, const TCheckOptions &Options = {});

// Every error line, then every warning line (left out with Quiet), then a
// summary line with the counts.
std::string FormatReport(const TCheckResult &Result, bool Quiet);

// ---- identifier and order rules, shared with the checker's tests ----
// Problems of a primary-tree identifier (raw bytes): errors and warnings.
void PrimaryNameProblems(const std::string &Raw, bool Directory, std::vector<std::string> &Errors,
                         std::vector<std::string> &Warnings, uint32_t Level = 1);
// Whether a primary identifier is longer than level 1 allows (8.3, or 8 for
// a directory).
bool LongerThanLevel1(const std::string &Raw, bool Directory);
constexpr size_t kMaxLevel4Identifier = 207;
// Problems of a Joliet identifier (big-endian UCS-2).
void JolietNameProblems(const std::string &Raw, bool Directory, std::vector<std::string> &Errors,
                        std::vector<std::string> &Warnings);
// Record order of two identifiers of one directory: < 0 when a comes first.
// Primary: name, then extension, each padded with spaces, then descending
// version. Joliet: the whole name without version, by UCS-2 code unit.
int CompareRecordOrder(const std::string &A, const std::string &B, bool Joliet);

} // namespace iso
