// The compilation tree: insertion from local folders, sizes, archive bits.
#include "ovCDBC.h"
#include "ovSync.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using TIdentity = std::pair<uint64_t, uint64_t>;

// Image path of a local folder ("/home/ann/Docs/" -> "\home\ann\Docs\"):
// each folder name is made a valid long name first, so a backslash inside a
// Linux name does not split it.
std::string ImagePathOfFolder(const std::string &folder) {
  std::string out = "\\";
  size_t start = 0;
  while (start < folder.size()) {
    size_t slash = folder.find('/', start);
    if (slash == std::string::npos)
      slash = folder.size();
    if (slash > start) {
      const std::string part = folder.substr(start, slash - start);
      if (part != ".")
        out += SanitizeLongName(part) + "\\";
    }
    start = slash + 1;
  }
  return out;
}

// "\A\B\" -> "\B\".
std::string LastFolderOf(const std::string &path) {
  std::string p = path;
  if (p.size() > 1 && p.back() == '\\')
    p.pop_back();
  const size_t pos = p.rfind('\\');
  if (pos == std::string::npos || p.size() <= 1)
    return "\\";
  return p.substr(pos) + "\\";
}

bool Identity(const std::string &path, TIdentity &id) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0)
    return false;
  id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return true;
}

bool OnStack(const std::vector<TIdentity> &stack, const TSearchRec &rec) {
  return std::find(stack.begin(), stack.end(), TIdentity{rec.Dev, rec.Ino}) != stack.end();
}

} // namespace

// A file that cannot be opened for reading is left out and noted now rather
// than failing the write later: the rest of the compilation is kept. The
// status already read answers for the common case (our own readable file,
// or any file for root) without another lookup of the path.
bool TOrvBurner::NoteIfUnreadable(const std::string &Path, const TSearchRec &Rec) {
  static const uid_t euid = ::geteuid();
  if (euid == 0 || (Rec.Uid == euid && (Rec.Mode & S_IRUSR) != 0))
    return true;
  if (faccessat(AT_FDCWD, Path.c_str(), R_OK, AT_EACCESS) == 0)
    return true;
  Note(TInsertNoteKind::Unreadable, Path, std::string("cannot be read: ") + std::strerror(errno));
  return false;
}

int TOrvBurner::InsertFile(const std::string &DestPath, const std::string &SourceFile, bool KeepPath) {
  TDEntry *target;
  if (!KeepPath) {
    target = FindDir(DestPath);
  } else {
    const size_t slash = SourceFile.rfind('/');
    std::string path = ImagePathOfFolder(slash == std::string::npos ? std::string() : SourceFile.substr(0, slash + 1));
    if (SavePathLastFolder)
      path = LastFolderOf(path);
    target = MakeDirPath(path);
  }
  if (!target) {
    DebugMsg("INVALID DESTINATION PATH", 4);
    return 0;
  }
  if (AddLinkIfLink(target, SourceFile, SourceFile.substr(SourceFile.rfind('/') + 1)))
    return 1;
  TSearchRec rec;
  if (!ov::FindEntry(SourceFile, ov::faAnyFile, rec) || (rec.Attr & ov::faDirectory))
    return -1;
  if (!NoteIfUnreadable(SourceFile, rec))
    return 1;
  AddFile(target, rec, false, 0, SourceFile);
  return 1;
}

bool TOrvBurner::InsertDir(TDEntry *Target, const std::string &SourceDir, bool ArchiveOnly, bool KeepPath,
                           bool Recursive, int32_t AttrMask, const std::string &NameMask) {
  std::string src = SourceDir;
  if (src.empty() || src.back() != '/')
    src += '/';
  if (KeepPath && Target) {
    std::string path = ImagePathOfFolder(src);
    if (Target->Path != "\\")
      path = Target->Path + path;
    if (SavePathLastFolder)
      path = LastFolderOf(path);
    Target = MakeDirPath(path);
  }
  if (!Target) {
    DebugMsg("INVALID DESTINATION PATH", 4);
    return false;
  }
  if (Target == Root())
    TakeRootAttrs(src);
  std::vector<TIdentity> stack;
  TIdentity id;
  if (Identity(src, id))
    stack.push_back(id);
  capacityHit_ = false;
  return InsertDirWalk(Target, src, ArchiveOnly, Recursive, AttrMask, NameMask.empty() ? "*.*" : NameMask, stack);
}

bool TOrvBurner::InsertDirWalk(TDEntry *Target, const std::string &SourceDir, bool ArchiveOnly, bool Recursive,
                               int32_t AttrMask, const std::string &NameMask, std::vector<TIdentity> &Stack) {
  // One listing serves both passes, so aliases are those of the whole folder.
  std::vector<TSearchRec> all;
  std::vector<ov::TPassedOver> passedOver;
  // The archive bit is read only where it selects files.
  if (!ov::FindFiles(SourceDir + "*.*", ov::faAnyFile, all, passedOver, ArchiveOnly)) {
    const int err = errno;
    DebugMsg(">>> CAN'T READ FOLDER \"" + SourceDir + "\"", 4);
    Note(TInsertNoteKind::Unreadable, SourceDir.substr(0, SourceDir.size() - 1),
         std::string("folder cannot be read: ") + std::strerror(err));
    return true;
  }
  if (RockRidgeSymlinks) {
    // Links are stored as links: taken out of the listing, and dangling or
    // looping ones are no longer passed over.
    std::erase_if(all, [&](const TSearchRec &rec) { return AddLinkIfLink(Target, SourceDir + rec.Name, rec.Name); });
    std::erase_if(passedOver, [&](const ov::TPassedOver &p) {
      return p.Reason != ov::TPassedOver::Unreadable && p.Reason != ov::TPassedOver::Special &&
             AddLinkIfLink(Target, SourceDir + p.Name, p.Name);
    });
  }
  for (const ov::TPassedOver &p : passedOver)
    Note(p.Reason == ov::TPassedOver::Unreadable ? TInsertNoteKind::Unreadable : TInsertNoteKind::PassedOver,
         SourceDir + p.Name, ov::PassedOverText(p));
  if (Recursive) {
    for (const TSearchRec &rec : all) {
      if (!(rec.Attr & ov::faDirectory))
        continue;
      if (OnStack(Stack, rec)) {
        Note(TInsertNoteKind::PassedOver, SourceDir + rec.Name, "FOLDER LOOP: a link to a folder above it");
        continue;
      }
      std::string longName = rec.Name;
      std::string shortName = rec.ShortName.empty() ? UpperCase(rec.Name) : rec.ShortName;
      bool skip = false;
      if (OnAddDir)
        OnAddDir(this, longName, shortName, skip);
      if (skip)
        continue;
      TDEntry *d = AddDir(Target, rec, SourceDir + rec.Name);
      if (!d)
        return false;
      if (d->LongName == "Installer")
        ov::MessageBeep();
      Stack.emplace_back(rec.Dev, rec.Ino);
      const bool ok =
          InsertDirWalk(d, SourceDir + rec.Name + "/", ArchiveOnly, Recursive, AttrMask, NameMask, Stack);
      Stack.pop_back();
      if (!d->Entries)
        RemoveDir(d);
      if (!ok)
        return false;
    }
  }
  for (const TSearchRec &rec : all) {
    if ((rec.Attr & ov::faDirectory) || !ov::AttrIncluded(rec.Attr, AttrMask) || !ov::MatchesMask(rec.Name, NameMask))
      continue;
    if (ArchiveOnly && !(rec.Attr & ov::faArchive))
      continue;
    if (!NoteIfUnreadable(SourceDir + rec.Name, rec))
      continue;
    if (AddFile(Target, rec, ArchiveOnly, 0, SourceDir + rec.Name) == 0 && capacityHit_)
      return false;
  }
  return true;
}

bool TOrvBurner::AddLinkIfLink(TDEntry *Dir, const std::string &Path, const std::string &Name) {
  if (!RockRidge || !RockRidgeSymlinks || !Dir)
    return false;
  struct stat st {};
  if (lstat(Path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
    return false;
  std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX), '\0');
  const ssize_t n = readlink(Path.c_str(), target.data(), target.size());
  if (n <= 0) {
    Note(TInsertNoteKind::Unreadable, Path, std::string("link cannot be read: ") + std::strerror(errno));
    return true;
  }
  target.resize(static_cast<size_t>(n));
  TSearchRec rec;
  rec.Name = Name;
  rec.ShortName = ov::BaseAlias(Name, false);
  rec.Attr = (!Name.empty() && Name[0] == '.') ? ov::faHidden : 0;
  rec.Time = ov::UnixToDateTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  rec.Mode = static_cast<uint32_t>(st.st_mode);
  rec.Uid = st.st_uid;
  rec.Gid = st.st_gid;
  rec.MTime = st.st_mtim.tv_sec;
  rec.ATime = st.st_atim.tv_sec;
  rec.CTime = st.st_ctim.tv_sec;
  if (TFEntry *e = AddEntry(Dir, rec, false, 0, Path)) {
    if (!e->RR)
      e->RR = std::make_unique<TRRInfo>();
    e->RR->Attrs.LinkTarget = std::move(target);
  }
  return true;
}

namespace {

void KeepRecorded(uint16_t &perms, std::unique_ptr<TRRInfo> &rr, const iso::rr::TPosixAttrs &attrs,
                  const std::string &posixName, const std::string &longName, bool isFile) {
  rr = std::make_unique<TRRInfo>();
  rr->Attrs = attrs;
  rr->Recorded = rr->FromDisc = true;
  perms = static_cast<uint16_t>(kPermsKnown | (attrs.Mode & iso::rr::kPermissionBits));
  if (posixName.empty() || posixName == longName)
    return;
  if (isFile && posixName + "." == longName)
    perms |= kPermsDotAdded;
  else
    rr->Name = posixName;
}

} // namespace

void TOrvBurner::KeepRecordedAttrs(TFEntry *Entry, const iso::rr::TPosixAttrs &Attrs, const std::string &PosixName) {
  if (!Entry)
    return;
  if (Entry->IsDir())
    KeepRecordedAttrs(Entry->Dir, Attrs, PosixName);
  else
    KeepRecorded(Entry->Perms, Entry->RR, Attrs, PosixName, Entry->LongName, true);
}

void TOrvBurner::KeepRecordedAttrs(TDEntry *Dir, const iso::rr::TPosixAttrs &Attrs, const std::string &PosixName) {
  if (Dir)
    KeepRecorded(Dir->Perms, Dir->RR, Attrs, PosixName, Dir->LongName, false);
}

int64_t TOrvBurner::SourceSize(const std::string &Path) {
  std::vector<TIdentity> stack;
  TIdentity id;
  if (!Path.empty() && Path.back() == '/' && Identity(Path, id))
    stack.push_back(id);
  return SourceSizeWalk(Path, stack);
}

int64_t TOrvBurner::SourceSizeWalk(const std::string &Path, std::vector<TIdentity> &Stack) {
  if (Path.empty() || Path.back() != '/') {
    TSearchRec rec;
    return ov::FindEntry(Path, ov::faAnyFile, rec) ? rec.Size : 0;
  }
  std::vector<TSearchRec> all;
  ov::FindFiles(Path + "*.*", ov::faAnyFile, all);
  int64_t total = 0;
  for (const TSearchRec &rec : all) {
    if (rec.Attr & ov::faDirectory) {
      if (OnStack(Stack, rec))
        continue;
      Stack.emplace_back(rec.Dev, rec.Ino);
      total += SourceSizeWalk(Path + rec.Name + "/", Stack);
      Stack.pop_back();
    } else {
      total += rec.Size;
    }
  }
  return total;
}

bool TOrvBurner::ClearArchiveBits() {
  for (TFEntry *e : FileList) {
    if ((e->Attr & ov::faDirectory) || !(e->Attr & ov::faArchive) || !e->ClearArchive || !e->HasSource())
      continue;
    const std::string path = e->SourcePath();
    if (!ov::FileSetAttr(path, e->Attr & ~ov::faArchive))
      DebugMsg(">>> CAN'T CLEAR THE ARCHIVE ATTRIBUTE OF \"" + path + "\"", 4);
  }
  return true;
}
