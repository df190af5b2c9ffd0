// Session import: the tree of a session already on the disc joins the
// compilation, so that the new session describes old and new files; and
// ExtractFile, which copies an imported file back out.
#include "ovCDBC.h"
#include "ovCDBC_layout.h"

#include "ovDiscSource.h"
#include "ovExtract.h"

#include <climits>
#include <fcntl.h>
#include <memory>
#include <unordered_set>

namespace {

// The long name AddFile files an entry under.
// whole: a Rock Ridge session imported for a Rock Ridge compilation, whose
// names are kept whole.
std::string StoredFileName(const std::string &name, bool whole) {
  std::string n = name.find('.') == std::string::npos ? name + "." : name;
  return whole ? SanitizeLongName(n) : FitLongName(SanitizeLongName(n), kMaxJolietFileChars);
}

// What a Rock Ridge session recorded for entry Index, as the writer keeps it;
// false when it recorded nothing.
bool RecordedAttrs(const iso::TSessionTree &Tree, size_t Index, iso::rr::TPosixAttrs &A) {
  if (!Tree.RockRidge || Index >= Tree.Attrs.size())
    return false;
  const iso::TEntryAttrs &x = Tree.Attrs[Index];
  const std::string *link = iso::LinkTarget(Tree, static_cast<int32_t>(Index));
  if (x.Mode == 0 && !link)
    return false;
  A.Mode = x.Mode != 0 ? x.Mode : iso::rr::kTypeSymlink | 0777;
  A.Links = x.Links;
  A.Uid = x.Uid;
  A.Gid = x.Gid;
  A.ModifyTime = x.ModifyTime;
  A.AccessTime = x.AccessTime;
  A.ChangeTime = x.ChangeTime;
  A.HasModify = (x.Stamps & iso::kStampModify) != 0;
  A.HasAccess = (x.Stamps & iso::kStampAccess) != 0;
  A.HasChange = (x.Stamps & iso::kStampChange) != 0;
  A.LinkTarget = link ? *link : std::string();
  return true;
}

// A tree path ("\" or "\A\B") as the user reads disc paths: "/" or "/A/B".
std::string SlashPath(const std::string &treePath) {
  std::string p = treePath;
  for (char &c : p)
    if (c == '\\')
      c = '/';
  return p;
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
  // The Joliet tree is preferred: it carries the long names. One that
  // cannot be read, or is empty while the primary tree is not, gives way to
  // the primary tree (the reader says so among the messages).
  iso::TSessionTree tree;
  std::string err;
  // With Rock Ridge in the new session, an old one's Rock Ridge tree is read
  // so that its names, modes, owners, times and links are written again.
  const auto choice = RockRidge ? iso::TTreeChoice::PreferRockRidge : iso::TTreeChoice::PreferJoliet;
  if (!iso::ReadSessionTree(Source, SessionStart, choice, tree, err)) {
    DebugMsg(">>> ERROR IMPORTING SESSION " + std::to_string(Number) + " (ISO IMAGE NOT FOUND)", 4);
    return false;
  }
  for (const std::string &m : tree.Notices)
    DebugMsg(">>> SESSION " + std::to_string(Number) + ": " + m, 3);
  for (const std::string &m : tree.Messages)
    ImportLeftOut("", m);
  AddImported(tree, Target ? Target : Root());
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
  bool taken = false;
  std::unordered_set<std::string> seen;  // folder and exact name of each file taken
  const bool whole = RockRidge && Tree.RockRidge;
  const auto storedName = [&](const std::string &n) { return StoredFileName(n, whole); };
  iso::rr::TPosixAttrs attrs;
  for (size_t i = 1; i < Tree.Entries.size(); ++i) {
    const iso::TEntry &e = Tree.Entries[i];
    TDEntry *parent = dirs[static_cast<size_t>(e.Parent)];
    if (!parent)
      continue;  // its directory was left out
    const auto discPath = [&] { return iso::EntryPath(Tree, static_cast<int32_t>(i)); };
    TSearchRec rec;
    rec.Name = e.Name;
    // A name longer than a record of the new session holds (only a peer's
    // disc can have one) is kept shortened, never dropped.
    const size_t limit = whole ? kMaxPosixName : e.Directory ? kMaxJolietDirChars : kMaxJolietFileChars;
    const std::string wanted = e.Directory ? SanitizeLongName(e.Name) : storedName(e.Name);
    if (UCS2Length(e.Directory ? e.Name : e.Name + (e.Name.find('.') == std::string::npos ? "." : "")) > limit) {
      DebugMsg(e.Name + "\n\r" + "ERROR IMPORTING SESSION, FILE NAME LENGTH EXCEEDS 120 CHARS", 4);
      rec.Name = e.Directory ? FitLongName(wanted, limit) : wanted;
      Note(TInsertNoteKind::Renamed, importLabel_ + ":" + discPath(), rec.Name);
    }
    // A fresh 8.3 alias by the rules of new entries (unique in its folder
    // once filed), keeping the extension.
    rec.ShortName = ov::BaseAlias(rec.Name, e.Directory);
    rec.Time = e.Date;
    rec.Attr = (e.Hidden ? ov::faHidden : 0) | (e.Directory ? ov::faDirectory : 0);
    if (e.Directory) {
      dirs[i] = AddDir(parent, rec);
      if (dirs[i]) {
        taken = true;
        if (RockRidge && RecordedAttrs(Tree, i, attrs))
          KeepRecordedAttrs(dirs[i], attrs, e.Name);
      } else {
        ImportLeftOut(discPath(), "the directory could not be added");
        if (capacityHit_)
          break;
      }
      continue;
    }
    const uint64_t lba = e.Size > 0 ? e.Extents[0].Lba : 0;
    bool placed = true;
    for (const iso::TExtent &x : e.Extents)
      placed = placed && (x.Length == 0 || (x.Lba >= 16 && x.Lba <= INT32_MAX));
    if (e.Size > 0 && !placed) {
      ImportLeftOut(discPath(), "its data would begin at sector " + std::to_string(lba) + ", where no file can be");
      continue;
    }
    rec.Size = static_cast<int64_t>(e.Size);
    // A new file of the same name wins when ReplaceFile is set, whichever
    // came first; otherwise the disc's file is kept and the new one left out.
    TFEntry *old = FindFile(parent, storedName(rec.Name));
    if (old && old->IsDir())
      old = nullptr;
    const std::string stored = storedName(rec.Name);
    const bool repeat = !seen.insert(std::to_string(reinterpret_cast<uintptr_t>(parent)) + "/" + stored).second;
    if (old && (old->Imported || !old->HasSource())) {
      if (repeat || old->LongName == stored) {
        ImportLeftOut(discPath(), "the session names this file twice: the first is kept");
        continue;
      }
      // Names that differ only by case (a peer's merge can record both):
      // the later one is kept under a numbered name, as case twins of a
      // source folder are.
      std::string twin = stored;
      bool renamed = false;
      TakeNumberedName(parent, twin, std::string(), true, renamed);
      Note(TInsertNoteKind::Renamed, importLabel_ + ":" + discPath(), twin);
      rec.Name = twin;
      rec.ShortName = ov::BaseAlias(twin, false);
      old = nullptr;
    }
    if (old) {
      if (ReplaceFile) {
        DebugMsg(">>> \"" + discPath() + "\" OF THE DISC IS REPLACED BY \"" + old->SourcePath() + "\"", 1);
        continue;
      }
      Note(TInsertNoteKind::NameTaken, old->SourcePath(),
           "\"" + old->LongName + "\" is already on the disc in " + SlashPath(parent->Path) +
               ": the disc's file is kept (--replace takes the new file)");
    }
    const bool replace = ReplaceFile;
    ReplaceFile = replace || old;
    const size_t before = FileList.size();
    const int added = AddFile(parent, rec, false, static_cast<int32_t>(lba), std::string());
    ReplaceFile = replace;
    if (!added) {
      ImportLeftOut(discPath(), "the file could not be added");
      if (capacityHit_)
        break;
      continue;
    }
    taken = true;
    // The entry AddFile filled: the displaced new file, or the one it made.
    TFEntry *entry = old ? old : (FileList.size() > before ? FileList.back() : nullptr);
    if (entry && RockRidge && RecordedAttrs(Tree, i, attrs))
      KeepRecordedAttrs(entry, attrs, rec.Name == e.Name ? e.Name : rec.Name);
    if (e.Extents.size() > 1) {
      if (entry && entry->Imported) {
        entry->Extents.reserve(e.Extents.size());
        for (const iso::TExtent &x : e.Extents)
          entry->Extents.push_back({static_cast<uint32_t>(x.Lba), x.Length});
      }
    }
  }
  return taken;
}

int TOrvBurner::ExtractFile(TFEntry *Entry, const std::string &LocalName, const iso::TCopyProgress &Progress) {
  if (!Entry)
    return 0;
  DebugMsg(">>> EXTRACTING FILE " + Entry->LongName + " TO " + LocalName, 1);
  // Imported files, and the empty ones an import gave no address.
  if (Entry->IsDir() || !(Entry->Imported || (!Entry->HasSource() && Entry->Size == 0))) {
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
  for (const TFileExtent &x : Entry->Extents)
    extents.push_back({x.Lba, x.Length});
  if (extents.empty() && Entry->Size > 0)
    for (size_t k = 0; k < ovlayout::RecordCount(Entry); ++k) {
      const TFileExtent x =
          ovlayout::FileRecord(Entry, k, static_cast<uint32_t>(Entry->ISOAddress), static_cast<uint64_t>(Entry->Size));
      extents.push_back({x.Lba, x.Length});
    }
  std::string err;
  if (!iso::ExtractToFile(*source, extents, static_cast<uint64_t>(Entry->Size), AT_FDCWD, LocalName, Entry->DateTime,
                          Progress, err)) {
    DebugMsg(">>> ERROR EXTRACTING FILE " + Entry->LongName + ": " + err, 4);
    return 0;
  }
  return 1;
}
