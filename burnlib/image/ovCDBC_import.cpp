// Session import: the tree of a session already on the disc joins the
// compilation, so that the new session describes old and new files; and
// ExtractFile, which copies an imported file back out.
#include "ovCDBC.h"

#include "ovDiscSource.h"
#include "ovExtract.h"

#include <climits>
#include <fcntl.h>
#include <memory>

namespace {

// Longest identifiers a directory record of the session may carry for its
// entry to be taken.
constexpr uint32_t kMaxJolietIdentifierBytes = 214;
constexpr uint32_t kMaxISOIdentifierBytes = 239;

// The ISO name an imported entry gets: MakeAlias of its long name, with
// anything but A-Z, 0-9 and "_" made "_", and for a file one "." at most
// (the last).
std::string ImportAlias(const std::string &name, bool isDir) {
  std::string a = MakeAlias(name);
  const size_t lastDot = isDir ? std::string::npos : a.rfind('.');
  for (size_t i = 0; i < a.size(); ++i) {
    const char c = a[i];
    const bool d = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!d && !(c == '.' && i == lastDot))
      a[i] = '_';
  }
  return a;
}

// The long name AddFile files an entry under.
std::string StoredFileName(const std::string &name) {
  std::string n = name.find('.') == std::string::npos ? name + "." : name;
  return FitLongName(SanitizeLongName(n), kMaxJolietFileChars);
}

} // namespace

// Restores the import source of an enclosing import when a nested one ends.
struct TImportSourceScope {
  TSectorSource *&slot;
  TSectorSource *saved;
  TImportSourceScope(TSectorSource *&s, TSectorSource *now) : slot(s), saved(s) { slot = now; }
  ~TImportSourceScope() { slot = saved; }
};

bool TOrvBurner::ImportSession(int Session, TDEntry *Target) {
  std::vector<TSessionExtent> images;
  int count = 0;
  if (ImportSource) {
    iso::FindImageSessions(*ImportSource, images);
    count = static_cast<int>(images.size());
  } else {
    count = SessionCount();
  }
  if (count == 0 || Session == 0)
    return false;
  if (Session < 0 || Session > count)
    Session = count;
  DebugMsg(">>> IMPORTING SESSION # " + std::to_string(Session), 1);
  if (ImportSource)
    return ImportFrom(*ImportSource, images[static_cast<size_t>(Session) - 1].Start, Session, Target);
  if (!ReadTrackInformation(static_cast<uint8_t>(Session))) {
    DebugMsg(">>> ERROR IMPORTING SESSION # " + std::to_string(Session), 4);
    return false;
  }
  const uint32_t start = TrackStartAddress();
  TDiscSectorSource disc(*this);
  return ImportFrom(disc, start, Session, Target);
}

bool TOrvBurner::ImportFrom(TSectorSource &Source, uint32_t SessionStart, int Number, TDEntry *Target) {
  TImportSourceScope scope(importSource_, &Source);
  importLabel_ = "session " + std::to_string(Number);
  iso::TISOReader reader(Source, SessionStart);
  std::string err;
  reader.ReadDescriptors(err);
  // The Joliet tree is preferred: it carries the long names.
  const iso::TVolumeDescriptor *d = reader.Joliet();
  if (!d || !d->RootValid)
    d = reader.Primary();
  if (!d || !d->RootValid) {
    DebugMsg(">>> ERROR IMPORTING SESSION " + std::to_string(Number) + " (ISO IMAGE NOT FOUND)", 4);
    return false;
  }
  if (d->Joliet)
    ImportJolietDir(d->Root.Extent, d->Root.DataLength, Target);
  else
    ImportISODir(d->Root.Extent, d->Root.DataLength, Target);
  sessionImported_ = true;
  return true;
}

bool TOrvBurner::ImportJolietDir(uint32_t Extent, uint32_t Length, TDEntry *Target) {
  return ImportDirTree(Extent, Length, Target, true);
}

bool TOrvBurner::ImportISODir(uint32_t Extent, uint32_t Length, TDEntry *Target) {
  return ImportDirTree(Extent, Length, Target, false);
}

bool TOrvBurner::ImportDirTree(uint32_t Extent, uint32_t Length, TDEntry *Target, bool Joliet) {
  std::unique_ptr<TDiscSectorSource> disc;
  TSectorSource *source = importSource_ ? importSource_ : ImportSource;
  if (!source) {
    disc = std::make_unique<TDiscSectorSource>(*this);
    source = disc.get();
  }
  if (importLabel_.empty())
    importLabel_ = "the disc";
  iso::TISOReader reader(*source);
  iso::TSessionTree tree;
  iso::ReadTreeAt(reader, Extent, Length, Joliet, tree);
  for (const std::string &m : tree.Messages)
    ImportLeftOut("", m);
  return AddImported(tree, Target ? Target : Root());
}

void TOrvBurner::ImportLeftOut(const std::string &DiscPath, const std::string &Why) {
  const std::string where = importLabel_ + (DiscPath.empty() ? std::string() : ":" + DiscPath);
  Note(TInsertNoteKind::Unreadable, where, Why);
}

bool TOrvBurner::AddImported(const iso::TSessionTree &Tree, TDEntry *Target) {
  if (Tree.Entries.empty() || !Target)
    return false;
  std::vector<TDEntry *> dirs(Tree.Entries.size(), nullptr);
  dirs[0] = Target;
  const uint32_t maxName = Tree.Joliet ? kMaxJolietIdentifierBytes : kMaxISOIdentifierBytes;
  bool taken = false;
  for (size_t i = 1; i < Tree.Entries.size(); ++i) {
    const iso::TEntry &e = Tree.Entries[i];
    TDEntry *parent = dirs[static_cast<size_t>(e.Parent)];
    if (!parent)
      continue;  // its directory was left out
    if (e.IdentifierBytes > maxName) {
      DebugMsg(e.Name + "\n\r" + "ERROR IMPORTING SESSION, FILE NAME LENGTH EXCEEDS 120 CHARS", 4);
      ImportLeftOut(e.Path, "its name is longer than a directory record of the new session can hold");
      continue;
    }
    TSearchRec rec;
    rec.Name = e.Name;
    rec.ShortName = ImportAlias(e.Name, e.Directory);
    rec.Time = e.Date;
    rec.Attr = (e.Hidden ? ov::faHidden : 0) | (e.Directory ? ov::faDirectory : 0);
    if (e.Directory) {
      dirs[i] = AddDir(parent, rec);
      if (dirs[i]) {
        taken = true;
      } else {
        ImportLeftOut(e.Path, "the directory could not be added");
        if (capacityHit_)
          break;
      }
      continue;
    }
    if (e.Extents.size() > 1) {
      DebugMsg(">>> FILE \"" + e.Path + "\" IS RECORDED IN SEVERAL EXTENTS AND IS NOT IMPORTED", 4);
      ImportLeftOut(e.Path, "the file is recorded in " + std::to_string(e.Extents.size()) +
                                " extents, which a new session cannot describe");
      continue;
    }
    const uint64_t lba = e.Size > 0 ? e.Extents[0].Lba : 0;
    if (e.Size > 0 && (lba < 16 || lba > INT32_MAX)) {
      ImportLeftOut(e.Path, "its data would begin at sector " + std::to_string(lba) + ", where no file can be");
      continue;
    }
    rec.Size = static_cast<int64_t>(e.Size);
    // A new file of the same name wins when ReplaceFile is set, whichever
    // came first; otherwise the disc's file is kept and the new one left out.
    bool displace = false;
    if (TFEntry *old = FindFile(parent, StoredFileName(e.Name)); old && !old->IsDir()) {
      if (old->Imported || old->SourcePath.empty()) {
        ImportLeftOut(e.Path, "the session names this file twice: the first is kept");
        continue;
      }
      if (ReplaceFile) {
        DebugMsg(">>> \"" + e.Path + "\" OF THE DISC IS REPLACED BY \"" + old->SourcePath + "\"", 1);
        continue;
      }
      Note(TInsertNoteKind::NameTaken, old->SourcePath,
           "\"" + old->LongName + "\" is already on the disc in " + parent->Path);
      displace = true;
    }
    const bool replace = ReplaceFile;
    ReplaceFile = replace || displace;
    const int added = AddFile(parent, rec, false, static_cast<int32_t>(lba), std::string());
    ReplaceFile = replace;
    if (added) {
      taken = true;
    } else {
      ImportLeftOut(e.Path, "the file could not be added");
      if (capacityHit_)
        break;
    }
  }
  return taken;
}

int TOrvBurner::ExtractFile(TFEntry *Entry, const std::string &LocalName, const iso::TCopyProgress &Progress) {
  if (!Entry)
    return 0;
  DebugMsg(">>> EXTRACTING FILE " + Entry->LongName + " TO " + LocalName, 1);
  // Imported files, and the empty ones an import gave no address.
  if (Entry->IsDir() || !(Entry->Imported || (Entry->SourcePath.empty() && Entry->Size == 0))) {
    DebugMsg(">>> ERROR EXTRACTING FILE " + Entry->LongName + ": IT IS NOT ON THE DISC", 4);
    return 0;
  }
  std::unique_ptr<TDiscSectorSource> disc;
  TSectorSource *source = ImportSource;
  if (!source) {
    disc = std::make_unique<TDiscSectorSource>(*this);
    source = disc.get();
  }
  std::vector<iso::TExtent> extents;
  if (Entry->Size > 0)
    extents.push_back({static_cast<uint32_t>(Entry->ISOAddress), static_cast<uint32_t>(Entry->Size)});
  std::string err;
  if (!iso::ExtractToFile(*source, extents, static_cast<uint64_t>(Entry->Size), AT_FDCWD, LocalName, Entry->DateTime,
                          Progress, err)) {
    DebugMsg(">>> ERROR EXTRACTING FILE " + Entry->LongName + ": " + err, 4);
    return 0;
  }
  return 1;
}
