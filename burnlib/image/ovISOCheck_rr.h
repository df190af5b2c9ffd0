// The checker's Rock Ridge part: SUSP and RRIP entries of the primary tree.
#pragma once

#include "ovISORead.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace iso {

struct TRockRidgeCheck {
  bool Present = false;  // the root's "." record starts with SP
  std::vector<std::pair<std::string, std::string>> Errors, Warnings;  // where, what
  // The sectors holding continuation areas, for the overlap test with the
  // rest of the volume: [first, end).
  std::vector<std::pair<uint64_t, uint64_t>> AreaSectors;
};

// Checks SP and ER, every record's entries and continuation areas (inside the
// volume, within a sector, no loop, no overlap), NM and SL chains, PX lengths
// and relocation (RE, CL and PL agreeing).
void CheckRockRidge(TSectorSource &Source, const TTree &Primary, uint64_t VolumeEnd, TRockRidgeCheck &Out);

} // namespace iso
