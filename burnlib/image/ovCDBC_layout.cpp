// Sector layout of one session: directory numbering, path-table and
// directory-extent sizes, and the addresses of every structure and file.
#include "ovCDBC.h"
#include "ovCDBC_layout.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace ovlayout {

namespace {

// A record holds at most this many identifier bytes; a file keeps room for ";1".
std::string CutISO(const std::string &name, size_t max) {
  if (name.empty())
    return "_";
  return name.size() > max ? name.substr(0, max) : name;
}

// A name longer than a Joliet record holds (kept whole for Rock Ridge) is
// shortened as insertion shortens names, keeping its extension.
std::u16string CutJoliet(const std::string &name, size_t max) {
  std::u16string u = TextToUCS2(name, true);
  if (u.empty())
    u.assign(1, u'_');
  if (u.size() > max) {
    u = TextToUCS2(FitLongName(name, max), true);
    if (u.size() > max)
      u.resize(max);
  }
  return u;
}

size_t CutJolietLength(const std::string &name, size_t max) {
  const size_t n = TextUCS2Length(name);
  return std::min(n == 0 ? size_t{1} : n, max);
}

} // namespace

std::string ISODirIdentifier(const TDEntry *d) { return CutISO(d->ISOName, ISOMaxIdentifier); }

std::string ISOIdentifier(const TFEntry *e) {
  if (IsDirEntry(e))
    return ISODirIdentifier(e->Dir);
  return CutISO(e->ISOName, ISOMaxIdentifier - 2) + ";1";
}

std::u16string JolietDirIdentifier(const TDEntry *d) { return CutJoliet(d->LongName, JolietMaxCharacters); }

std::u16string JolietIdentifier(const TFEntry *e) {
  if (IsDirEntry(e))
    return JolietDirIdentifier(e->Dir);
  return CutJoliet(e->LongName, JolietMaxCharacters - 2) + u";1";
}

size_t JolietDirIdentifierLength(const TDEntry *d) { return CutJolietLength(d->LongName, JolietMaxCharacters); }

size_t JolietIdentifierLength(const TFEntry *e) {
  if (IsDirEntry(e))
    return JolietDirIdentifierLength(e->Dir);
  return CutJolietLength(e->LongName, JolietMaxCharacters - 2) + 2;
}

bool JolietNameCut(const TFEntry *e) {
  return TextUCS2Length(IsDirEntry(e) ? e->Dir->LongName : e->LongName) >
         (IsDirEntry(e) ? JolietMaxCharacters : JolietMaxCharacters - 2);
}

TFileExtent FileRecord(const TFEntry *e, size_t k, uint32_t First, uint64_t Size) {
  if (!e->Extents.empty())
    return e->Extents[k];
  if (Size == 0)
    return {0, 0};
  const uint64_t offset = uint64_t{k} * kMaxExtentBytes;
  const uint64_t length = std::min<uint64_t>(kMaxExtentBytes, Size - offset);
  return {First + static_cast<uint32_t>(offset / ISOSectorSize), static_cast<uint32_t>(length)};
}

std::string UCS2Bytes(const std::u16string &u) {
  std::string out(2 * u.size(), '\0');
  for (size_t k = 0; k < u.size(); ++k) {
    out[2 * k] = static_cast<char>(u[k] >> 8);
    out[2 * k + 1] = static_cast<char>(u[k] & 0xFF);
  }
  return out;
}

namespace {

// Compares two texts as if the shorter were padded with blanks.
int ComparePadded(std::string_view a, std::string_view b) {
  const size_t n = std::max(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char ca = i < a.size() ? static_cast<unsigned char>(a[i]) : ' ';
    const unsigned char cb = i < b.size() ? static_cast<unsigned char>(b[i]) : ' ';
    if (ca != cb)
      return ca < cb ? -1 : 1;
  }
  return 0;
}

// A primary identifier split at its first ".".
std::pair<std::string_view, std::string_view> StemAndExt(std::string_view id) {
  const size_t dot = id.find('.');
  if (dot == std::string_view::npos)
    return {id, std::string_view()};
  return {id.substr(0, dot), id.substr(dot + 1)};
}

std::u16string WithoutVersion(std::u16string id) {
  if (id.size() >= 2 && id[id.size() - 2] == u';' && id.back() == u'1')
    id.resize(id.size() - 2);
  return id;
}

} // namespace

std::vector<const TFEntry *> RecordOrder(const TDEntry *d, bool joliet) {
  std::vector<const TFEntry *> order;
  for (const TFEntry *e = d->Entries; e; e = e->Next)
    if (!joliet || InJoliet(e))
      order.push_back(e);
  if (joliet) {
    std::vector<std::pair<std::u16string, const TFEntry *>> keyed;
    keyed.reserve(order.size());
    for (const TFEntry *e : order)
      keyed.emplace_back(WithoutVersion(JolietIdentifier(e)), e);
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    for (size_t i = 0; i < keyed.size(); ++i)
      order[i] = keyed[i].second;
    return order;
  }
  std::vector<std::pair<std::string, const TFEntry *>> keyed;
  keyed.reserve(order.size());
  for (const TFEntry *e : order) {
    std::string id = ISOIdentifier(e);
    if (!IsDirEntry(e) && id.size() >= 2 && id.compare(id.size() - 2, 2, ";1") == 0)
      id.resize(id.size() - 2);
    keyed.emplace_back(std::move(id), e);
  }
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto &a, const auto &b) { return ISOIdentifierLess(a.first, b.first); });
  for (size_t i = 0; i < keyed.size(); ++i)
    order[i] = keyed[i].second;
  return order;
}

bool ISOIdentifierLess(const std::string &a, const std::string &b) {
  const auto [stemA, extA] = StemAndExt(a);
  const auto [stemB, extB] = StemAndExt(b);
  const int c = ComparePadded(stemA, stemB);
  return c != 0 ? c < 0 : ComparePadded(extA, extB) < 0;
}

} // namespace ovlayout

using namespace ovlayout;

namespace {

// Sectors of one directory extent: "." and ".." open the first sector, and a
// record that does not fit in the rest of a sector starts the next one.
// dots is the length of the "." and ".." records together; length(e) is
// called once per record.
template <class RecordLength>
uint32_t ExtentSectors(const TDEntry *d, bool joliet, size_t dots, RecordLength length) {
  uint32_t sectors = 1;
  size_t used = dots;
  for (const TFEntry *e : RecordOrder(d, joliet)) {
    for (size_t k = RecordCount(e); k > 0; --k) {
      const size_t l = length(e);
      if (used + l > ISOSectorSize) {
        ++sectors;
        used = 0;
      }
      used += l;
    }
  }
  return sectors;
}

} // namespace

int TOrvBurner::PrepareLayout(bool ForImageFile, TDEntry *TargetDir) {
  PrepareBootImage();
  SessionStart = 0;
  if (!ForImageFile)
    PrepareDiscStart(TargetDir);

  NumberDirectories();
  const size_t dirs = DirList.size();
  // Only directories reached from the root are numbered; they are the ones
  // the path tables list.
  const size_t numbered = ISODirOrder.size();

  // From sector 16 of the session: the primary descriptor, the boot record,
  // the Joliet descriptor and the terminator; the path tables follow.
  uint64_t n = static_cast<uint64_t>(SessionStart) + 16 + 1;
  if (Bootable)
    ++n;
  if (JolietFileSystem)
    ++n;
  ++n;

  uint64_t pt = 10;
  for (size_t i = 1; i < numbered; ++i)
    pt += PathRecordLength(ISODirIdentifier(ISODirOrder[i]).size());
  PathTableSize = static_cast<uint32_t>(pt);
  PathTableL = static_cast<uint32_t>(n);
  n += SectorsOf(pt);
  PathTableM = static_cast<uint32_t>(n);
  n += SectorsOf(pt);

  if (JolietFileSystem) {
    uint64_t jpt = 10;
    for (size_t i = 1; i < numbered; ++i)
      jpt += 8 + 2 * JolietDirIdentifierLength(JolietDirOrder[i]);
    JolietPathTableSize = static_cast<uint32_t>(jpt);
    JolietPathTableL = static_cast<uint32_t>(n);
    n += SectorsOf(jpt);
    JolietPathTableM = static_cast<uint32_t>(n);
    n += SectorsOf(jpt);
  } else {
    JolietPathTableSize = 0;
    JolietPathTableL = JolietPathTableM = 0;
  }

  DirRecordsStart = static_cast<uint32_t>(n);
  LinkSharedData(FileList, RockRidge);
  uint64_t total = 0;
  // With Rock Ridge, each directory's continuation areas take the sectors
  // right after its extent.
  TRRPass rr(DirList, RockRidgeKeepPermissions);
  for (size_t i = 0; i < dirs; ++i) {
    TDEntry *d = DirList[i];
    ovrr::TContinuation cont(0, nullptr, SIZE_MAX);
    // "." before "..", as the header writes them.
    size_t dots = 2 * DirRecordLength(1);
    if (RockRidge) {
      dots += rr.Dot(d, false, nullptr, cont).size();
      dots += rr.Dot(d, true, nullptr, cont).size();
    }
    const uint32_t s = ExtentSectors(d, false, dots, [&](const TFEntry *e) {
      return ISORecordLength(e) + (RockRidge ? rr.Entry(e, nullptr, cont).size() : 0);
    });
    d->ISOAddress = static_cast<int32_t>(total);
    d->ISOSize = static_cast<int64_t>(s) * ISOSectorSize;
    total += s + cont.Sectors();
  }
  DirRecordsSize = static_cast<uint32_t>(total * ISOSectorSize);
  n += total;

  if (JolietFileSystem) {
    JolietDirRecordsStart = static_cast<uint32_t>(n);
    total = 0;
    for (size_t i = 0; i < dirs; ++i) {
      TDEntry *d = DirList[i];
      const uint32_t s =
          ExtentSectors(d, true, 2 * DirRecordLength(1), [](const TFEntry *e) { return JolietRecordLength(e); });
      d->JolietAddress = static_cast<int32_t>(total);
      d->JolietSize = static_cast<int64_t>(s) * ISOSectorSize;
      total += s;
    }
    JolietDirRecordsSize = static_cast<uint32_t>(total * ISOSectorSize);
    n += total;
  } else {
    // Without a Joliet tree nothing refers to these; keep them harmless.
    JolietDirRecordsStart = 0;
    JolietDirRecordsSize = 0;
    for (size_t i = 0; i < dirs; ++i) {
      DirList[i]->JolietAddress = 0;
      DirList[i]->JolietSize = 0;
    }
  }

  if (Bootable) {
    BootCatalogAddress = static_cast<uint32_t>(n);
    BootImageAddress = static_cast<uint32_t>(n + 1);
    n = static_cast<uint64_t>(BootImageAddress) + BootImageSectors;
  }

  if (n < 150) {
    PadSectors = static_cast<int64_t>(150 - n);
    n = 150;
  } else {
    PadSectors = 150 - static_cast<int64_t>(n);
  }
  FirstFileAddress = static_cast<uint32_t>(n);

  uint64_t f = 0;
  const size_t files = static_cast<size_t>(FileCount());
  for (size_t i = 0; i < files; ++i) {
    TFEntry *e = FileList[i];
    if (e->Imported)
      continue;
    if (IsDirEntry(e)) {
      e->ISOAddress = e->Dir->ISOAddress;
      e->JolietAddress = e->Dir->JolietAddress;
      e->Size = e->Dir->ISOSize;
      e->JolietSize = e->Dir->JolietSize;
    } else if (e->RR && e->RR->DataOf) {
      e->ISOAddress = e->JolietAddress = e->RR->DataOf->ISOAddress;
    } else if (e->Size > 0) {
      e->ISOAddress = e->JolietAddress = static_cast<int32_t>(f);
      f += SectorsOf(static_cast<uint64_t>(e->Size));
    } else {
      e->ISOAddress = e->JolietAddress = 0;
      e->JolietSize = 0;
    }
  }
  ImageEnd = static_cast<int64_t>(FirstFileAddress + f);
  SectorsToWrite = ImageEnd - SessionStart;
  layoutPrepared_ = true;
  layoutJoliet_ = JolietFileSystem;
  layoutBootable_ = Bootable;
  layoutRockRidge_ = RockRidge;
  return 1;
}

int64_t TOrvBurner::SessionSectors() const {
  if (WritePostGap && SectorsToWrite < 300)
    return 300;
  return SectorsToWrite;
}
