// The compilation tree: records, names, lookups, removal and numbering.
#include "ovCDBC.h"

#include <algorithm>
#include <cmath>

namespace {

std::string JoinPath(const std::string &parentPath, const std::string &upperName) {
  return parentPath == "\\" ? "\\" + upperName : parentPath + "\\" + upperName;
}

std::string FolderOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Two different local objects of one source folder whose image names came out
// alike (names differing only by case, by a character replaced with "_", or
// shortened to the same text).
bool SiblingConflict(const std::string &existingSource, const std::string &newSource) {
  return !existingSource.empty() && !newSource.empty() && existingSource != newSource &&
         FolderOf(existingSource) == FolderOf(newSource);
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

// ISO name of a file: the "." separator is always present.
std::string WithDot(std::string name) {
  if (name.find('.') == std::string::npos)
    name += '.';
  return name;
}

} // namespace

bool TOrvBurner::ResetCompilation(int32_t AMaxFiles, int32_t AMaxDirs) {
  TimeZoneOffset = ov::TimeZoneOffsetMinutes() / 15;
  HeaderImage.Clear();
  LastTargetDir = nullptr;  // its record is freed below
  store_.Clear();
  dirIndex_.clear();
  RefusedFiles.clear();
  capacityHit_ = false;
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

// Gives E a unique ISO name among the entries of Dir.
void TOrvBurner::SetEntryISOName(TDEntry *Dir, TFEntry *E, const std::string &Name) {
  if (!E->ISOName.empty())
    Dir->ISONames.Remove(E->ISOName);
  std::string iso = Dir->ISONames.MakeUnique(UpperCase(Name));
  E->ISOName = E->IsDir() ? iso : WithDot(iso);
}

// Looks up LongName in Dir. An entry found is returned when it is the same
// object again (or another source of the same name: the caller's duplicate
// rules apply). When it is a distinct sibling of the same source folder, or
// a folder that a file cannot replace, LongName becomes the first free
// "name (k)" form, or the entry that this source already got under such a name.
TFEntry *TOrvBurner::ResolveConflict(TDEntry *Dir, std::string &LongName, const std::string &SourcePath,
                                     bool &Renamed) {
  Renamed = false;
  auto find = [Dir](const std::string &n) { return Dir->NameIndex.Find(n); };
  TFEntry *e = find(LongName);
  if (!e || (!e->IsDir() && !SiblingConflict(e->SourcePath, SourcePath)))
    return e;
  for (int k = 2;; ++k) {
    const std::string candidate = NumberedName(LongName, k, true, kMaxJolietFileChars);
    TFEntry *c = find(candidate);
    if (!c) {
      LongName = candidate;
      Renamed = true;
      return nullptr;
    }
    if (!c->IsDir() && c->SourcePath == SourcePath)
      return c;
  }
}

int TOrvBurner::AddFile(TDEntry *Dir, const TSearchRec &Rec, bool ClearArchive, int32_t ImportedAddress,
                        const std::string &SourcePath) {
  if (!Dir)
    return 0;
  std::string longName = SanitizeLongName(WithDot(Rec.Name));
  std::string shortName = Rec.ShortName.empty() ? UpperCase(longName) : Rec.ShortName;
  TDateTime dt = ListingTime(Rec.Time);
  bool skip = UCS2Length(longName) >= 110;
  if (OnAddFile) {
    std::string handlerLong = longName;
    OnAddFile(this, SourcePath, handlerLong, shortName, dt, Rec.Attr, Rec.Size, skip);
    if (handlerLong != longName)
      longName = SanitizeLongName(handlerLong);
  }
  if (skip || longName.empty())
    return 0;
  if (ImportedAddress == 0 && Rec.Size >= kMaxFileSize) {
    const std::string what = SourcePath.empty() ? longName : SourcePath;
    RefusedFiles.push_back(what);
    DebugMsg(">>> FILE \"" + what + "\" IS 4 GB OR LARGER AND CANNOT BE WRITTEN", 4);
    return 0;
  }
  longName = FitLongName(longName, kMaxJolietFileChars);

  bool renamed = false;
  TFEntry *e = ResolveConflict(Dir, longName, SourcePath, renamed);
  if (e) {
    if (!ReplaceFile || e->IsDir())
      return 0;
  } else {
    if (!CapacityForEntry())
      return 0;
    e = store_.NewEntry();
    e->LongName = longName;
    AppendEntry(Dir, e);
    FileList.push_back(e);
  }
  e->LongName = longName;
  e->Attr = Rec.Attr & ~ov::faDirectory;
  SetEntryISOName(Dir, e, shortName);
  e->Size = e->JolietSize = Rec.Size;
  e->DateTime = dt;
  e->SourcePath = SourcePath;
  e->ClearArchive = ClearArchive;
  if (ImportedAddress != 0) {
    e->ISOAddress = e->JolietAddress = ImportedAddress;
    e->Imported = true;
  } else {
    e->Imported = false;
  }
  if (renamed)
    DebugMsg(">>> NAME CONFLICT: \"" + SourcePath + "\" STORED AS \"" + longName + "\"", 1);
  return 1;
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
  const std::string original = FitLongName(SanitizeLongName(Rec.Name), kMaxJolietDirChars);
  if (original.empty())
    return nullptr;
  std::string longName = original;
  for (int k = 1;; ++k) {
    if (k > 1)
      longName = NumberedName(original, k, false, kMaxJolietDirChars);
    const std::string upper = UpperCase(longName);
    if (TDEntry *d = FindDirUpper(JoinPath(Parent->Path, upper))) {
      if (k == 1 && !SiblingConflict(d->SourcePath, SourcePath))
        return d;
      if (k > 1 && !SourcePath.empty() && d->SourcePath == SourcePath)
        return d;
      continue;
    }
    if (Parent->NameIndex.Find(longName))
      continue;  // a file of that name
    break;
  }
  if (!CapacityForDir() || !CapacityForEntry())
    return nullptr;
  const std::string shortName = Rec.ShortName.empty() ? UpperCase(longName) : Rec.ShortName;
  TDEntry *d = NewDirectory(Parent, longName, shortName, Rec, SourcePath);
  if (longName != original)
    DebugMsg(">>> NAME CONFLICT: \"" + (SourcePath.empty() ? original : SourcePath) + "\" STORED AS \"" +
                 longName + "\"",
             1);
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
  rec.ShortName = MakeAlias(n);
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

void TOrvBurner::NumberDirectories() {
  if (DirList.empty())
    return;
  TDEntry *root = DirList[0];
  std::vector<TDEntry *> order;
  order.reserve(DirList.size());
  order.push_back(root);
  std::vector<TDEntry *> children;
  for (size_t i = 0; i < order.size(); ++i) {
    children.clear();
    for (TFEntry *e = order[i]->Entries; e; e = e->Next)
      if (e->IsDir())
        children.push_back(e->Dir);
    std::stable_sort(children.begin(), children.end(),
                     [](const TDEntry *a, const TDEntry *b) { return a->ISOName < b->ISOName; });
    order.insert(order.end(), children.begin(), children.end());
  }
  for (size_t i = 0; i < order.size(); ++i)
    order[i]->Number = static_cast<int32_t>(i + 1);
  ISODirOrder = order;
  JolietDirOrder = std::move(order);
}
