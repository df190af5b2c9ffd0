// The header image of a session: system area, volume descriptors, path
// tables, directory extents and boot catalog, in one memory buffer.
#include "ovCDBC.h"
#include "ovCDBC_layout.h"

#include <cmath>
#include <cstring>
#include <unordered_map>

using namespace ovlayout;

namespace {

// Writes one tree's path table (L or M form) at p; returns the bytes used.
template <class Name>
size_t PutPathTable(uint8_t *p, bool big, TDEntry *const *order, size_t n, uint32_t start, bool joliet, Name name) {
  const uint8_t rootName = 0;
  size_t at = PutPathRecord(p, big, start, 1, &rootName, 1);
  // A parent's number is its place in this table (the two trees order
  // their directories apart).
  std::unordered_map<const TDEntry *, size_t> number;
  number.reserve(n);
  number.emplace(order[0], 1);
  for (size_t i = 1; i < n; ++i) {
    const TDEntry *d = order[i];
    number.emplace(d, i + 1);
    const uint32_t extent = start + static_cast<uint32_t>(joliet ? d->JolietAddress : d->ISOAddress);
    const std::string id = name(d);
    const auto parent = number.find(d->Parent);
    at += PutPathRecord(p + at, big, extent, static_cast<uint16_t>(parent != number.end() ? parent->second : 1),
                        id.data(), id.size());
  }
  return at;
}

// The UTC offset of record dates, looked up once per quarter hour of local
// time met (offsets change only on quarter-hour boundaries).
class TZoneOffsets {
public:
  int8_t At(ov::TDateTime dt) {
    const double q = std::floor(dt * 96.0);
    const int64_t key = std::isfinite(q) ? static_cast<int64_t>(q) : 0;
    auto it = units_.find(key);
    if (it == units_.end())
      it = units_.emplace(key, ov::UtcOffsetUnitsAt(dt)).first;
    return it->second;
  }

private:
  std::unordered_map<int64_t, int8_t> units_;
};

struct TExtentWriter {
  uint8_t *Base;       // first byte of the extent
  size_t Capacity;     // bytes the layout gave the extent
  size_t Sector = 0;   // current sector, relative
  size_t Used = 0;     // bytes used in it

  // False when the record would run past the extent the layout computed.
  // su: the system use bytes that follow the identifier.
  bool Add(uint32_t extent, uint32_t length, const uint8_t *date, uint8_t flags, const std::string &name,
           const std::string &su) {
    const size_t l = DirRecordLength(name.size()) + su.size();
    if (Used + l > ISOSectorSize) {
      ++Sector;
      Used = 0;
    }
    if ((Sector + 1) * ISOSectorSize > Capacity)
      return false;
    uint8_t *p = Base + Sector * ISOSectorSize + Used;
    const size_t base = PutDirRecord(p, extent, length, date, flags, name.data(), name.size());
    if (!su.empty()) {
      std::memcpy(p + base, su.data(), su.size());
      p[0] = static_cast<uint8_t>(l);
    }
    Used += l;
    return true;
  }
};

} // namespace

bool TOrvBurner::WriteDirExtents(uint8_t *img, bool joliet) {
  const size_t dirs = DirList.size();
  const uint32_t start = joliet ? JolietDirRecordsStart : DirRecordsStart;
  TZoneOffsets zones;
  const ov::TDateTime nowTime = ov::Now();
  uint8_t now[7];
  PutRecordDate(now, nowTime, zones.At(nowTime));
  const auto extentOf = [&](const TDEntry *d) {
    return start + static_cast<uint32_t>(joliet ? d->JolietAddress : d->ISOAddress);
  };
  const auto sizeOf = [&](const TDEntry *d) { return static_cast<uint32_t>(joliet ? d->JolietSize : d->ISOSize); };
  const std::string dot(1, '\0'), dotdot(1, '\1');
  uint8_t date[7];
  const bool rock = RockRidge && !joliet;
  TRRPass rr(DirList, RockRidgeKeepPermissions);
  const std::string none;
  // The dates Rock Ridge gives "." and "..": those of the directories' own
  // records (the root has none: the present).
  const auto dirDate = [&](const TDEntry *x, uint8_t *out) {
    if (x->SelfEntry)
      PutRecordDate(out, x->SelfEntry->DateTime, zones.At(x->SelfEntry->DateTime));
    else
      std::memcpy(out, now, sizeof now);
    return out;
  };
  uint8_t dotDate[7];
  for (size_t i = 0; i < dirs; ++i) {
    const TDEntry *d = DirList[i];
    const TDEntry *parent = (i == 0 || !d->Parent) ? d : d->Parent;
    TExtentWriter w{img + static_cast<size_t>(extentOf(d) - SessionStart) * ISOSectorSize, sizeOf(d)};
    // The continuation areas run from the end of the extent to the next
    // directory's extent (or the end of all extents).
    const uint32_t contStart = extentOf(d) + sizeOf(d) / ISOSectorSize;
    const uint32_t contEnd = i + 1 < dirs ? extentOf(DirList[i + 1]) : start + DirRecordsSize / ISOSectorSize;
    ovrr::TContinuation cont(contStart, rock ? img + static_cast<size_t>(contStart - SessionStart) * ISOSectorSize : nullptr,
                             rock && contEnd > contStart ? size_t{contEnd - contStart} * ISOSectorSize : 0);
    bool ok =
        w.Add(extentOf(d), sizeOf(d), now, 2, dot, rock ? rr.Dot(d, false, dirDate(d, dotDate), cont) : none) &&
        w.Add(extentOf(parent), sizeOf(parent), now, 2, dotdot,
              rock ? rr.Dot(d, true, dirDate(parent, dotDate), cont) : none);
    for (const TFEntry *e : RecordOrder(d, joliet)) {
      if (!ok)
        break;
      const uint8_t hidden = (e->Attr & 0x02) ? 1 : 0;
      PutRecordDate(date, e->DateTime, zones.At(e->DateTime));
      const std::string name = joliet ? UCS2Bytes(JolietIdentifier(e)) : ISOIdentifier(e);
      if (IsDirEntry(e)) {
        ok = w.Add(extentOf(e->Dir), sizeOf(e->Dir), date, static_cast<uint8_t>(2 | hidden), name,
                   rock ? rr.Entry(e, date, cont) : none);
      } else {
        // A file in several extents: one record per extent, each but the
        // last flagged as continued.
        const uint32_t first =
            e->Imported ? static_cast<uint32_t>(e->ISOAddress)
                        : FirstFileAddress + static_cast<uint32_t>(joliet ? e->JolietAddress : e->ISOAddress);
        const int64_t length = joliet ? e->JolietSize : e->Size;
        const size_t records = RecordCount(e);
        for (size_t k = 0; k < records && ok; ++k) {
          const TFileExtent x = FileRecord(e, k, first, length > 0 ? static_cast<uint64_t>(length) : 0);
          const uint8_t more = k + 1 < records ? kRecordMultiExtent : 0;
          ok = w.Add(x.Lba, x.Length, date, static_cast<uint8_t>(hidden | more), name,
                     rock ? rr.Entry(e, date, cont) : none);
        }
      }
    }
    if (!ok || cont.Failed()) {
      DebugMsg(">>> DIRECTORY " + d->Path + " CHANGED AFTER THE LAYOUT WAS PREPARED", 0);
      return false;
    }
  }
  return true;
}

bool TOrvBurner::BuildHeader(bool ForImageFile, TDEntry *TargetDir) {
  LastTargetDir = TargetDir;
  HeaderImage.Clear();
  // The header is written where the layout put it; with Joliet or booting
  // switched since, the writer would send data to the wrong sectors.
  if (!layoutPrepared_ || layoutJoliet_ != JolietFileSystem || layoutBootable_ != Bootable ||
      layoutRockRidge_ != RockRidge) {
    DebugMsg(">>> THE LAYOUT MUST BE PREPARED AGAIN BEFORE THE HEADER IS BUILT", 0);
    return false;
  }
  // Path-table records name their parent with 16 bits: more directories
  // than that cannot be described.
  if (ISODirOrder.size() > 65535) {
    DebugMsg(">>> TOO MANY DIRECTORIES: " + std::to_string(ISODirOrder.size()) +
                 ", A PATH TABLE HOLDS AT MOST 65535",
             0);
    return false;
  }

  // The header runs from the session start to the last directory extent, or
  // to the boot catalog.
  uint64_t end = static_cast<uint64_t>(DirRecordsStart) + static_cast<uint64_t>(DirRecordsSize) / ISOSectorSize;
  if (JolietFileSystem)
    end = static_cast<uint64_t>(JolietDirRecordsStart) + static_cast<uint64_t>(JolietDirRecordsSize) / ISOSectorSize;
  if (Bootable)
    end = static_cast<uint64_t>(BootCatalogAddress) + 1;
  const size_t size = static_cast<size_t>(end - SessionStart) * ISOSectorSize;
  std::vector<uint8_t> img(size, 0);
  const auto at = [&](uint32_t sector) { return img.data() + static_cast<size_t>(sector - SessionStart) * ISOSectorSize; };

  const ov::TDateTime now = ov::Now();
  TVolumeInfo v;
  v.System = IdSystem;
  v.Volume = IdVolume;
  v.VolumeSet = IdVolumeSet;
  v.Publisher = IdPublisher;
  v.Preparer = IdPreparer;
  v.Application = IdApplication;
  v.Copyright = FileCopyright;
  v.Abstract = FileAbstract;
  v.Bibliographic = FileBibliographic;
  v.VolumeSpaceSize = static_cast<uint32_t>(ImageEnd);
  v.PathTableSize = PathTableSize;
  v.PathTableL = PathTableL;
  v.PathTableM = PathTableM;
  v.RootExtent = DirRecordsStart + static_cast<uint32_t>(DirList[0]->ISOAddress);
  v.RootSize = static_cast<uint32_t>(DirList[0]->ISOSize);
  // Both descriptors carry the same dates: the set ones, else the present.
  v.Creation = DateCreation != 0 ? DateCreation : now;
  v.Modification = DateModification != 0 ? DateModification : now;

  uint32_t sector = SessionStart + 16;
  PutPrimaryDescriptor(at(sector++), v);
  if (Bootable)
    PutBootRecord(at(sector++), BootCatalogAddress);
  if (JolietFileSystem) {
    v.PathTableSize = JolietPathTableSize;
    v.PathTableL = JolietPathTableL;
    v.PathTableM = JolietPathTableM;
    v.RootExtent = JolietDirRecordsStart + static_cast<uint32_t>(DirList[0]->JolietAddress);
    v.RootSize = static_cast<uint32_t>(DirList[0]->JolietSize);
    PutJolietDescriptor(at(sector++), v);
  }
  PutTerminator(at(sector++));

  // The system area and the descriptor set, for media whose sector 0 must
  // always describe the newest session.
  DescriptorCopySize = static_cast<int32_t>(static_cast<size_t>(sector - SessionStart) * ISOSectorSize);
  DescriptorCopy.assign(65537, 0xFF);
  std::memcpy(DescriptorCopy.data(), img.data(), static_cast<size_t>(DescriptorCopySize));

  const size_t dirs = ISODirOrder.size();
  const auto isoName = [](const TDEntry *d) { return ISODirIdentifier(d); };
  PutPathTable(at(PathTableL), false, ISODirOrder.data(), dirs, DirRecordsStart, false, isoName);
  PutPathTable(at(PathTableM), true, ISODirOrder.data(), dirs, DirRecordsStart, false, isoName);
  if (JolietFileSystem) {
    const auto jolietName = [](const TDEntry *d) { return UCS2Bytes(JolietDirIdentifier(d)); };
    PutPathTable(at(JolietPathTableL), false, JolietDirOrder.data(), dirs, JolietDirRecordsStart, true, jolietName);
    PutPathTable(at(JolietPathTableM), true, JolietDirOrder.data(), dirs, JolietDirRecordsStart, true, jolietName);
  }

  if (!WriteDirExtents(img.data(), false) || (JolietFileSystem && !WriteDirExtents(img.data(), true)))
    return false;

  if (Bootable)
    PutBootCatalog(at(BootCatalogAddress), BootImageAddress, BootImageSectors);

  // The header is held once: the stream takes the buffer it was built in.
  HeaderImage.Assign(std::move(img));
  SectorsToWrite = ImageEnd - SessionStart;
  return true;
}
