// The compilation tree: records, names, lookups, removal and numbering.
#include "ovCDBC.h"
#include "ovCDBC_layout.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

std::string JoinPath(const std::string &parentPath, const std::string &upperName) {
  return parentPath == "\\" ? "\\" + upperName : parentPath + "\\" + upperName;
}

std::string FolderOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string BaseName(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ISO name of a file: the "." separator is always present.
std::string WithDot(std::string name) {
  if (name.find('.') == std::string::npos)
    name += '.';
  return name;
}

// Two different local objects whose image names came out alike, which are
// both kept: siblings of one source folder (names differing only by case,
// or made equal by our cleaning or shortening), or objects of different
// folders whose own names differ beyond ASCII case (":" and "?" both became
// "_", two long names cut to one). Equal names from different folders are
// the same name given twice: the first is kept, or replaced on request.
bool DistinctObjects(const std::string &existingSource, const std::string &newSource) {
  if (existingSource.empty() || newSource.empty() || existingSource == newSource)
    return false;
  if (FolderOf(existingSource) == FolderOf(newSource))
    return true;
  return UpperCase(WithDot(BaseName(existingSource))) != UpperCase(WithDot(BaseName(newSource)));
}

// "name (k).ext" for a file, "name (k)" for a folder, within maxChars.
std::string NumberedName(const std::string &name, int k, bool isFile, size_t maxChars) {
  size_t dot = isFile ? name.rfind('.') : std::string::npos;
  if (dot == 0)
    dot = std::string::npos;
  const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string suffix = " (" + std::to_string(k) + ")" + (dot == std::string::npos ? "" : name.substr(dot));
  const size_t suffixChars = UCS2Length(suffix);
  const std::string cut = maxChars > suffixChars ? FitLongName(stem, maxChars - suffixChars) : std::string();
  return cut + suffix;
}

TDateTime ListingTime(TDateTime t) { return std::isfinite(t) ? t : ov::Now(); }

// The ISO name for a listing record: its alias, else its long name. A long
// name changed by us is no longer the valid 8.3 name an empty alias stood
// for, so it gets an alias of its own.
std::string ShortNameOf(const TSearchRec &rec, const std::string &longName, bool renamed, bool isDir) {
  if (!rec.ShortName.empty())
    return rec.ShortName;
  if (renamed) {
    const std::string alias = ov::BaseAlias(longName, isDir);
    if (!alias.empty())
      return alias;
  }
  return UpperCase(longName);
}

} // namespace

bool TOrvBurner::ResetCompilation(int32_t AMaxFiles, int32_t AMaxDirs) {
  TimeZoneOffset = ov::UtcOffsetUnitsAt(ov::Now());
  HeaderImage.Clear();
  LastTargetDir = nullptr;  // its record is freed below
  store_.Clear();
  dirIndex_.clear();
  RefusedFiles.clear();
  InsertNotes.clear();
  capacityHit_ = false;
  sessionImported_ = false;
  MaxFiles = AMaxFiles;
  MaxDirs = AMaxDirs;
  const size_t dirCap = static_cast<size_t>(std::clamp(MaxDirs, 1, 1 << 22));
  const size_t fileCap = static_cast<size_t>(std::clamp(MaxFiles, 0, 1 << 24));
  DirList.reserve(dirCap);
  ISODirOrder.reserve(dirCap);
  JolietDirOrder.reserve(dirCap);
  FileList.reserve(fileCap);

  TDEntry *root = store_.NewDir();
  root->ISOName = "CD_ROOT";
  root->LongName = "CD Root Directory";
  root->Path = "\\";
  root->Parent = root;
  root->Number = 1;
  DirList.push_back(root);
  ISODirOrder.push_back(root);
  JolietDirOrder.push_back(root);
  return true;
}

int32_t TOrvBurner::DirCount() const { return DirList.empty() ? 0 : static_cast<int32_t>(DirList.size() - 1); }
int32_t TOrvBurner::FileCount() const { return static_cast<int32_t>(FileList.size()); }

bool TOrvBurner::CapacityForDir() {
  if (static_cast<int64_t>(DirList.size()) < MaxDirs)
    return true;
  capacityHit_ = true;
  DebugMsg(">>> MAXIMUM DIRECTORIES CAN BE " + std::to_string(MaxDirs), 3);
  return false;
}

bool TOrvBurner::CapacityForEntry() {
  if (static_cast<int64_t>(FileList.size()) < MaxFiles)
    return true;
  capacityHit_ = true;
  DebugMsg("MAXIMUM FILES CAN BE " + std::to_string(MaxFiles), 3);
  return false;
}

void TOrvBurner::AppendEntry(TDEntry *Dir, TFEntry *E) {
  E->Owner = Dir;
  E->Prev = Dir->LastEntry;
  E->Next = nullptr;
  if (Dir->LastEntry)
    Dir->LastEntry->Next = E;
  else
    Dir->Entries = E;
  Dir->LastEntry = E;
  Dir->NameIndex.Add(E);
}

// Gives E a unique ISO name among the entries of Dir. A directory's name
// has no "." (its identifier takes no extension).
void TOrvBurner::SetEntryISOName(TDEntry *Dir, TFEntry *E, const std::string &Name) {
  if (!E->ISOName.empty())
    Dir->ISONames.Remove(E->ISOName);
  std::string upper = UpperCase(Name);
  if (E->IsDir())
    std::replace(upper.begin(), upper.end(), '.', '_');
  std::string iso = Dir->ISONames.MakeUnique(upper);
  E->ISOName = E->IsDir() ? iso : WithDot(iso);
}

void TOrvBurner::Note(TInsertNoteKind Kind, const std::string &SourcePath, const std::string &Detail) {
  InsertNotes.push_back({Kind, SourcePath, Detail});
  if (Kind == TInsertNoteKind::Renamed)
    DebugMsg(">>> \"" + SourcePath + "\" STORED AS \"" + Detail + "\"", 1);
  else if (Kind == TInsertNoteKind::PassedOver)
    DebugMsg(">>> PASSED OVER \"" + SourcePath + "\": " + Detail, 1);
  else
    DebugMsg(">>> LEFT OUT \"" + SourcePath + "\": " + Detail, 4);
}

// Name already in Dir, taken by another object: the entry this source got
// under a numbered name before, or (nullptr) Name becomes the next free
// "name (k)". One counter per name, so each call costs O(1) amortised
// however many names collide.
TFEntry *TOrvBurner::TakeNumberedName(TDEntry *Dir, std::string &Name, const std::string &SourcePath, bool IsFile,
                                      bool &Renamed) {
  if (!Dir->Numbering)
    Dir->Numbering = std::make_unique<TNameNumbering>();
  TNameNumbering &n = *Dir->Numbering;
  if (!SourcePath.empty()) {
    auto it = n.BySource.find(SourcePath);
    if (it != n.BySource.end()) {
      TFEntry *e = it->second;
      if (IsFile ? (!e->IsDir() && e->SourceIs(SourcePath)) : (e->IsDir() && e->Dir->SourcePath == SourcePath))
        return e;
    }
  }
  const size_t maxChars = IsFile ? kMaxJolietFileChars : kMaxJolietDirChars;
  uint32_t &next = n.Next[UpperCase(Name) + (IsFile ? '/' : '\\')];
  if (next < 2)
    next = 2;
  for (;;) {
    const std::string candidate = NumberedName(Name, static_cast<int>(next++), IsFile, maxChars);
    if (!Dir->NameIndex.Find(candidate)) {
      Name = candidate;
      Renamed = true;
      return nullptr;
    }
  }
}

// Looks up LongName in Dir. An entry found is returned when it is the same
// object again (or another source of the same name: the caller's duplicate
// rules apply). When it is a distinct object (see DistinctObjects), or a
// folder that a file cannot replace, LongName becomes a free numbered name,
// or the entry that this source already got under such a name is returned.
TFEntry *TOrvBurner::ResolveConflict(TDEntry *Dir, std::string &LongName, const std::string &SourcePath,
                                     bool &Renamed) {
  Renamed = false;
  TFEntry *e = Dir->NameIndex.Find(LongName);
  if (!e || (!e->IsDir() && !DistinctObjects(e->SourcePath(), SourcePath)))
    return e;
  return TakeNumberedName(Dir, LongName, SourcePath, true, Renamed);
}

namespace {

// Rock Ridge data captured from a listing record: the permission bits, and
// with KeepPermissions the owners and times too; the POSIX name where the
// long name differs from it only by our cleaning (a dot added, characters
// Joliet forbids replaced). A renamed entry keeps its new name everywhere.
// What the entry carried before (a replaced link's target) is dropped.
// Access and change times are kept either way (0 where they do not fit).
// With shareData, a file the source has under several names records its
// identity, so that the layout stores its data once.
template <class TEntry>
void CaptureRockRidge(TEntry &entry, const TSearchRec &Rec, const std::string &longName, bool isFile,
                      bool keepPermissions, bool shareData = false) {
  uint16_t &perms = entry.Perms;
  std::unique_ptr<TRRInfo> &rr = entry.RR;
  const auto seconds = [](int64_t t) { return t > 0 && t <= int64_t{UINT32_MAX} ? static_cast<uint32_t>(t) : 0u; };
  entry.ATime = seconds(Rec.ATime);
  entry.CTime = seconds(Rec.CTime);
  rr.reset();
  perms = Rec.Mode ? static_cast<uint16_t>(kPermsKnown | (Rec.Mode & iso::rr::kPermissionBits)) : 0;
  const auto info = [&]() -> TRRInfo & {
    if (!rr)
      rr = std::make_unique<TRRInfo>();
    return *rr;
  };
  if (keepPermissions && Rec.Mode) {
    TRRInfo &x = info();
    x.Recorded = true;
    x.Attrs.Mode = Rec.Mode;
    x.Attrs.Uid = Rec.Uid;
    x.Attrs.Gid = Rec.Gid;
    x.Attrs.ModifyTime = Rec.MTime;
    x.Attrs.AccessTime = Rec.ATime;
    x.Attrs.ChangeTime = Rec.CTime;
    x.Attrs.HasModify = x.Attrs.HasAccess = x.Attrs.HasChange = true;
  }
  if (shareData && isFile && Rec.Links > 1 && Rec.Ino != 0) {
    TRRInfo &x = info();
    x.Dev = Rec.Dev;
    x.Ino = Rec.Ino;
  }
  if (Rec.Name == longName || Rec.Name.empty())
    return;
  if (isFile && Rec.Name + "." == longName)
    perms |= kPermsDotAdded;
  else if (SanitizeLongName(isFile ? WithDot(Rec.Name) : Rec.Name) == longName)
    info().Name = Rec.Name;
}

} // namespace

void TOrvBurner::TakeRootAttrs(const std::string &SourceFolder) {
  TDEntry *root = Root();
  if (!root || root->Perms || !RockRidge)
    return;
  std::string path = SourceFolder;
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  TSearchRec rec;
  if (!ov::FindEntry(path, ov::faAnyFile, rec))
    return;
  rec.Name.clear();  // the root has no name of its own
  CaptureRockRidge(*root, rec, root->LongName, false, RockRidgeKeepPermissions);
}

int TOrvBurner::AddFile(TDEntry *Dir, const TSearchRec &Rec, bool ClearArchive, int32_t ImportedAddress,
                        const std::string &SourcePath) {
  return AddEntry(Dir, Rec, ClearArchive, ImportedAddress, SourcePath) ? 1 : 0;
}

TFEntry *TOrvBurner::AddEntry(TDEntry *Dir, const TSearchRec &Rec, bool ClearArchive, int32_t ImportedAddress,
                              const std::string &SourcePath) {
  if (!Dir)
    return nullptr;
  // The name the entry should have; anything else is our doing and is noted.
  std::string wanted = WithDot(Rec.Name);
  std::string longName = SanitizeLongName(wanted);
  TDateTime dt = ListingTime(Rec.Time);
  // With Rock Ridge a name is kept whole up to the POSIX limit; the Joliet
  // record gets a shortened form.
  const auto tooLong = [&](const std::string &n) {
    return RockRidge ? n.size() > kMaxPosixName + 1 : UCS2Length(n) >= kMaxJolietFileChars + 2;
  };
  bool skip = tooLong(longName);
  const std::string listedShort = ShortNameOf(Rec, longName, false, false);
  std::string shortName = listedShort;
  if (OnAddFile) {
    std::string handlerLong = longName;
    OnAddFile(this, SourcePath, handlerLong, shortName, dt, Rec.Attr, Rec.Size, skip);
    if (handlerLong != longName) {
      wanted = handlerLong;
      longName = SanitizeLongName(handlerLong);
    }
  }
  const std::string what = SourcePath.empty() ? wanted : SourcePath;
  if (skip) {
    if (tooLong(longName))
      Note(TInsertNoteKind::TooLong, what, "its name is too long for a directory record");
    return nullptr;
  }
  if (longName.empty())
    return nullptr;
  if (ImportedAddress == 0 && Rec.Size >= kMaxFileSize) {
    RefusedFiles.push_back(what);
    DebugMsg(">>> FILE \"" + what + "\" IS 4 TB OR LARGER AND CANNOT BE WRITTEN", 4);
    return nullptr;
  }
  if (!RockRidge)
    longName = FitLongName(longName, kMaxJolietFileChars);

  bool renamed = false;
  TFEntry *e = ResolveConflict(Dir, longName, SourcePath, renamed);
  if (e) {
    if (!ReplaceFile || e->IsDir()) {
      // The same source given again is no loss; a different file is.
      if (!SourcePath.empty() && !e->SourceIs(SourcePath))
        Note(TInsertNoteKind::NameTaken, SourcePath,
             "\"" + e->LongName + "\" is already taken in " + Dir->Path +
                 (e->HasSource() ? " by " + e->SourcePath() : std::string()));
      return nullptr;
    }
  } else {
    if (!CapacityForEntry())
      return nullptr;
    e = store_.NewEntry();
    e->LongName = longName;
    AppendEntry(Dir, e);
    FileList.push_back(e);
    if (renamed && !SourcePath.empty())
      Dir->Numbering->BySource[SourcePath] = e;
    if (longName != wanted)
      Note(TInsertNoteKind::Renamed, what, longName);
  }
  e->LongName = longName;
  e->Attr = Rec.Attr & ~ov::faDirectory;
  if (shortName == listedShort && longName != WithDot(Rec.Name))
    shortName = ShortNameOf(Rec, longName, true, false);
  SetEntryISOName(Dir, e, shortName);
  e->Size = e->JolietSize = Rec.Size;
  e->DateTime = dt;
  e->SetSource(store_.SourceFolders, SourcePath);
  e->ClearArchive = ClearArchive;
  if (ImportedAddress != 0) {
    e->ISOAddress = e->JolietAddress = ImportedAddress;
    e->Imported = true;
  } else {
    e->Imported = false;
  }
  CaptureRockRidge(*e, Rec, longName, true, RockRidgeKeepPermissions, RockRidge);
  return e;
}

TDEntry *TOrvBurner::FindDirUpper(const std::string &UpperPath) const {
  auto it = dirIndex_.find(UpperPath);
  return it == dirIndex_.end() ? nullptr : it->second;
}

TDEntry *TOrvBurner::NewDirectory(TDEntry *Parent, const std::string &LongName, const std::string &ShortName,
                                  const TSearchRec &Rec, const std::string &SourcePath) {
  TDEntry *d = store_.NewDir();
  TFEntry *e = store_.NewEntry();
  d->Parent = Parent;
  d->LongName = LongName;
  d->Path = JoinPath(Parent->Path, UpperCase(LongName));
  d->SourcePath = SourcePath;
  d->SelfEntry = e;
  e->LongName = LongName;
  e->Attr = Rec.Attr | ov::faDirectory;
  e->Dir = d;
  e->DateTime = ListingTime(Rec.Time);
  CaptureRockRidge(*d, Rec, LongName, false, RockRidgeKeepPermissions);
  SetEntryISOName(Parent, e, ShortName);
  d->ISOName = e->ISOName;
  AppendEntry(Parent, e);
  FileList.push_back(e);
  DirList.push_back(d);
  ISODirOrder.push_back(d);
  JolietDirOrder.push_back(d);
  dirIndex_[d->Path] = d;
  return d;
}

TDEntry *TOrvBurner::AddDir(TDEntry *Parent, const TSearchRec &Rec, const std::string &SourcePath) {
  if (!Parent)
    return nullptr;
  std::string longName = SanitizeLongName(Rec.Name);
  if (!RockRidge || longName.size() > kMaxPosixName)
    longName = FitLongName(longName, kMaxJolietDirChars);
  if (longName.empty())
    return nullptr;
  bool renamed = false;
  if (TFEntry *e = Parent->NameIndex.Find(longName)) {
    // A folder of that path is the same folder again (folders merge), unless
    // it is a distinct object; a file of that name keeps it.
    if (e->IsDir() && !DistinctObjects(e->Dir->SourcePath, SourcePath))
      return e->Dir;
    if (TFEntry *again = TakeNumberedName(Parent, longName, SourcePath, false, renamed))
      return again->Dir;
  }
  if (!CapacityForDir() || !CapacityForEntry())
    return nullptr;
  const bool changed = longName != Rec.Name;
  TDEntry *d = NewDirectory(Parent, longName, ShortNameOf(Rec, longName, changed, true), Rec, SourcePath);
  if (renamed && !SourcePath.empty())
    Parent->Numbering->BySource[SourcePath] = d->SelfEntry;
  if (changed)
    Note(TInsertNoteKind::Renamed, SourcePath.empty() ? Rec.Name : SourcePath, longName);
  return d;
}

TDEntry *TOrvBurner::CreateDir(TDEntry *Parent, const std::string &Name, int32_t Attr) {
  std::string n = Name;
  if (!n.empty() && n.front() == '\\')
    n.erase(0, 1);
  if (!n.empty() && n.back() == '\\')
    n.pop_back();
  TSearchRec rec;
  rec.Name = n;
  // The same 8.3 alias a listed folder gets (empty when n is one already).
  rec.ShortName = ov::BaseAlias(n, true);
  rec.Time = ov::Now();
  rec.Attr = Attr;
  return AddDir(Parent, rec);
}

TDEntry *TOrvBurner::MakeDirPath(const std::string &Path) {
  if (TDEntry *d = FindDir(Path))
    return d;
  const size_t pos = Path.rfind('\\');
  const std::string before = pos == std::string::npos ? std::string() : Path.substr(0, pos);
  const std::string after = pos == std::string::npos ? Path : Path.substr(pos + 1);
  TDEntry *parent = MakeDirPath(before);
  if (!parent || after.empty())
    return parent;
  return CreateDir(parent, after, ov::faDirectory);
}

TDEntry *TOrvBurner::FindDir(const std::string &Path) const {
  if (Path.empty() || Path == "\\")
    return Root();
  std::string p = Path;
  if (p.back() == '\\')
    p.pop_back();
  return FindDirUpper(UpperCase(p));
}

TFEntry *TOrvBurner::FindFile(TDEntry *Dir, const std::string &LongName) const {
  if (!Dir)
    return nullptr;
  return Dir->NameIndex.Find(LongName);
}

// ---- removal ----

void TOrvBurner::MarkSubtree(TDEntry *Dir) {
  std::vector<TDEntry *> pending{Dir};
  while (!pending.empty()) {
    TDEntry *d = pending.back();
    pending.pop_back();
    d->Dead = true;
    deadDirs_.push_back(d);
    for (TFEntry *e = d->Entries; e; e = e->Next) {
      e->Dead = true;
      deadEntries_.push_back(e);
      if (e->IsDir())
        pending.push_back(e->Dir);
    }
  }
}

namespace {

// Removes the marked elements of v in one pass; when they all sit at the
// end (the usual case: a folder just made and found empty), only the tail
// is touched.
template <class T> void EraseDead(std::vector<T *> &v, size_t deadCount) {
  if (deadCount == 0)
    return;
  size_t tail = 0;
  while (tail < v.size() && tail < deadCount && v[v.size() - 1 - tail]->Dead)
    ++tail;
  if (tail == deadCount) {
    v.resize(v.size() - tail);
    return;
  }
  std::erase_if(v, [](T *x) { return x->Dead; });
}

} // namespace

// Takes every record marked Dead out of the chains, indexes and lists and
// frees it. Linear in the lists at worst.
void TOrvBurner::RemoveMarked() {
  std::vector<TFEntry *> deadEntries;
  std::vector<TDEntry *> deadDirs;
  deadEntries.swap(deadEntries_);
  deadDirs.swap(deadDirs_);
  for (TFEntry *e : deadEntries) {
    TDEntry *owner = e->Owner;
    if (!owner || owner->Dead)
      continue;
    if (e->Prev)
      e->Prev->Next = e->Next;
    else
      owner->Entries = e->Next;
    if (e->Next)
      e->Next->Prev = e->Prev;
    else
      owner->LastEntry = e->Prev;
    owner->NameIndex.Remove(e);
    owner->ISONames.Remove(e->ISOName);
    if (owner->Numbering) {
      auto &bySource = owner->Numbering->BySource;
      auto it = bySource.find(e->IsDir() ? e->Dir->SourcePath : e->SourcePath());
      if (it != bySource.end() && it->second == e)
        bySource.erase(it);
    }
  }
  for (TDEntry *d : deadDirs) {
    if (d == LastTargetDir)
      LastTargetDir = nullptr;
    auto it = dirIndex_.find(d->Path);
    if (it != dirIndex_.end() && it->second == d)
      dirIndex_.erase(it);
  }
  EraseDead(FileList, deadEntries.size());
  EraseDead(DirList, deadDirs.size());
  EraseDead(ISODirOrder, deadDirs.size());
  EraseDead(JolietDirOrder, deadDirs.size());
  for (TFEntry *e : deadEntries)
    store_.Free(e);
  for (TDEntry *d : deadDirs)
    store_.Free(d);
}

bool TOrvBurner::RemoveEntry(TDEntry *Dir, TFEntry *Entry) {
  if (!Dir || !Entry || Entry->Owner != Dir)
    return true;
  if (Entry->IsDir())
    MarkSubtree(Entry->Dir);
  Entry->Dead = true;
  deadEntries_.push_back(Entry);
  RemoveMarked();
  return true;
}

bool TOrvBurner::RemoveDir(TDEntry *Dir) {
  if (!Dir || Dir == Root() || !Dir->SelfEntry)
    return false;
  MarkSubtree(Dir);
  Dir->SelfEntry->Dead = true;
  deadEntries_.push_back(Dir->SelfEntry);
  RemoveMarked();
  return true;
}

bool TOrvBurner::RemoveEmptyDirs() {
  // A folder goes when every entry it has is a folder that goes. Children
  // are made after their parents, so one backward pass decides them all.
  bool any = false;
  for (size_t i = DirList.size(); i-- > 1;) {
    TDEntry *d = DirList[i];
    bool empty = true;
    for (TFEntry *e = d->Entries; e && empty; e = e->Next)
      empty = e->IsDir() && e->Dir->Dead;
    if (empty) {
      d->Dead = true;
      deadDirs_.push_back(d);
      if (d->SelfEntry) {
        d->SelfEntry->Dead = true;
        deadEntries_.push_back(d->SelfEntry);
      }
      any = true;
    }
  }
  if (any)
    RemoveMarked();
  return true;
}

// ---- path-table numbering ----

namespace {

// Directories breadth first from the root, siblings in the order of their
// identifiers in one tree (Key gives the identifier, Less compares two).
template <class Key, class Less>
std::vector<TDEntry *> BreadthFirst(TDEntry *root, size_t count, Key key, Less less) {
  std::vector<TDEntry *> order;
  order.reserve(count);
  order.push_back(root);
  std::vector<std::pair<decltype(key(root)), TDEntry *>> children;
  for (size_t i = 0; i < order.size(); ++i) {
    children.clear();
    for (TFEntry *e = order[i]->Entries; e; e = e->Next)
      if (e->IsDir())
        children.emplace_back(key(e->Dir), e->Dir);
    std::stable_sort(children.begin(), children.end(),
                     [&](const auto &a, const auto &b) { return less(a.first, b.first); });
    for (const auto &c : children)
      order.push_back(c.second);
  }
  return order;
}

} // namespace

void TOrvBurner::NumberDirectories() {
  if (DirList.empty())
    return;
  TDEntry *root = DirList[0];
  // Siblings by their identifiers as the records carry them, in the
  // records' order: ISO 9660 identifiers padded, Joliet ones code unit by
  // code unit. The numbers are the ISO 9660 path table's.
  ISODirOrder = BreadthFirst(
      root, DirList.size(), [](const TDEntry *d) { return ovlayout::ISODirIdentifier(d); },
      [](const std::string &a, const std::string &b) { return ovlayout::ISOIdentifierLess(a, b); });
  for (size_t i = 0; i < ISODirOrder.size(); ++i)
    ISODirOrder[i]->Number = static_cast<int32_t>(i + 1);
  JolietDirOrder = BreadthFirst(
      root, DirList.size(), [](const TDEntry *d) { return ovlayout::JolietDirIdentifier(d); },
      [](const std::u16string &a, const std::u16string &b) { return a < b; });
}
