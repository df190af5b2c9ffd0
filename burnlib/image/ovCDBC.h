// TOrvBurner: the burning component (compilation tree, layout, writing).
#pragma once

#include "ovDrvLib.h"
#include "ovExtract.h"
#include "ovISOLib.h"
#include "ovSessionTree.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

using TAddFileEvent = std::function<void(TObject *Sender, const std::string &FullPath, std::string &LongFileName,
                                         std::string &ShortFileName, TDateTime &DateTime, int32_t Attr,
                                         int64_t FileSize, bool &Skip)>;
using TAddDirEvent = std::function<void(TObject *Sender, std::string &LongName, std::string &ShortName, bool &Skip)>;
using TWriteDoneEvent = std::function<void(TObject *Sender, const std::string &Error)>;

// What happened to one source entry that did not go into the compilation as
// it stands in its folder.
enum class TInsertNoteKind {
  Unreadable,  // left out: it cannot be listed, entered, read, or its status read
  NameTaken,   // left out: a different file already has that name in the folder
  TooLong,     // left out: its name is too long for a directory record
  Renamed,     // kept under a changed or shortened name (Detail holds it)
  PassedOver,  // a dangling or looping link, or a FIFO, socket or device
};
struct TInsertNote {
  TInsertNoteKind Kind = TInsertNoteKind::Unreadable;
  std::string SourcePath;  // the local path concerned
  std::string Detail;      // the reason; for Renamed, the name it was stored under
  // True for the kinds that leave data of the sources out of the image.
  bool IsLoss() const {
    return Kind == TInsertNoteKind::Unreadable || Kind == TInsertNoteKind::NameTaken ||
           Kind == TInsertNoteKind::TooLong;
  }
};

// Owns the tree records; declared before every member that a running write
// may use, so it is destroyed last.
class TTreeStore {
public:
  TTreeStore() = default;
  TTreeStore(const TTreeStore &) = delete;
  TTreeStore &operator=(const TTreeStore &) = delete;
  ~TTreeStore() { Clear(); }
  TDEntry *NewDir() { return new TDEntry(); }
  TFEntry *NewEntry() { return new TFEntry(); }
  void Free(TDEntry *d) { delete d; }
  void Free(TFEntry *f) { delete f; }
  // Frees every record of the lists.
  void Clear();

  std::vector<TDEntry *> DirList;
  std::vector<TDEntry *> ISODirOrder;
  std::vector<TDEntry *> JolietDirOrder;
  std::vector<TFEntry *> FileList;
  TSourceFolders SourceFolders;  // the folders of the files' sources
};

class TOrvBurner : public TSCSIDevice {
public:
  explicit TOrvBurner(TObject *Owner = nullptr);
  ~TOrvBurner() override;

private:
  TTreeStore store_;

public:
  // ---- published properties (device ones live in TSCSIDevice) ----
  bool ReplaceFile = false;
  bool FinalizeTrack = true;
  bool PerformOPC = false;
  std::string IdVolume, IdSystem, IdVolumeSet, IdPublisher, IdPreparer, IdApplication;
  std::string FileCopyright, FileAbstract, FileBibliographic;
  TDateTime DateCreation = 0, DateModification = 0;
  TDateTime DateEffective = 0, DateExpiration = 0;
  bool JolietFileSystem = true;
  // Rock Ridge in the primary tree: POSIX names, modes, owners, times and
  // (with RockRidgeSymlinks) symbolic links. Modes are made rational (owner
  // and group 0, readable by all, no write bits) unless
  // RockRidgeKeepPermissions, which also captures owners and times at
  // insertion. RockRidgeSymlinks stores links met by later insertions as
  // links instead of following them; the Joliet tree leaves them out.
  bool RockRidge = false;
  bool RockRidgeKeepPermissions = false;
  bool RockRidgeSymlinks = false;
  TAddFileEvent OnAddFile;
  TAddDirEvent OnAddDir;
  const std::string &Version() const { return version_; }
  void SetVersion(const std::string &) {}  // the version is fixed
  bool WritePostGap = true;

  // ---- public fields set by the caller ----
  bool Bootable = false;
  std::string BootImage;
  // Set by the layout for the user: why the boot file was not used (Bootable
  // is then off), or what was assumed about it; empty when all is clear.
  std::string BootImageNote;
  bool SavePathLastFolder = false;
  int16_t ImportSessionNumber = 0;

  // ---- compilation tree ----
  std::vector<TDEntry *> &DirList = store_.DirList;          // creation order, [0] = root
  std::vector<TDEntry *> &ISODirOrder = store_.ISODirOrder;  // path-table order after NumberDirectories
  std::vector<TDEntry *> &JolietDirOrder = store_.JolietDirOrder;
  std::vector<TFEntry *> &FileList = store_.FileList;        // creation order = data order
  int32_t MaxDirs = 8191;
  int32_t MaxFiles = 65535;
  // 15-minute units east of UTC in effect at the last reset; every date on
  // disc carries the offset in effect at its own moment.
  int32_t TimeZoneOffset = 0;
  // Paths of files refused since the last reset because they are 4 TiB or larger.
  std::vector<std::string> RefusedFiles;
  // Source entries left out, renamed or passed over since the last reset,
  // in the order met, so that the caller can name them to the user.
  std::vector<TInsertNote> InsertNotes;

  bool ResetCompilation(int32_t AMaxFiles, int32_t AMaxDirs);
  int32_t DirCount() const;   // directories apart from the root
  int32_t FileCount() const;  // TFEntry records
  TDEntry *Root() const { return DirList.empty() ? nullptr : DirList[0]; }

  // 1 source found, -1 not found, 0 no target directory.
  int InsertFile(const std::string &DestPath, const std::string &SourceFile, bool KeepPath);
  // False stops an enclosing insertion (capacity or destination failure).
  bool InsertDir(TDEntry *Target, const std::string &SourceDir, bool ArchiveOnly, bool KeepPath, bool Recursive,
                 int32_t AttrMask = ov::faAnyFile, const std::string &NameMask = "*.*");
  // 1 added, 0 not added. ImportedAddress 0 means a new file.
  int AddFile(TDEntry *Dir, const TSearchRec &Rec, bool ClearArchive, int32_t ImportedAddress,
              const std::string &SourcePath);
  // The new or already present directory, or nullptr. SourcePath (the local
  // folder, optional) tells apart two source folders whose names differ only
  // by case.
  TDEntry *AddDir(TDEntry *Parent, const TSearchRec &Rec, const std::string &SourcePath = std::string());
  TDEntry *CreateDir(TDEntry *Parent, const std::string &Name, int32_t Attr);
  TDEntry *MakeDirPath(const std::string &Path);
  TDEntry *FindDir(const std::string &Path) const;
  TFEntry *FindFile(TDEntry *Dir, const std::string &LongName) const;
  bool RemoveEntry(TDEntry *Dir, TFEntry *Entry);
  bool RemoveDir(TDEntry *Dir);
  bool RemoveEmptyDirs();
  bool ClearArchiveBits();

  // ---- session import and extract (ovCDBC_import*.cpp) ----
  // Reads session Session (1-based; -1 or a number above the count means the
  // last) of the disc in the drive into Target (nullptr: the root), Joliet
  // tree preferred. True when a session tree was found and walked.
  bool ImportSession(int Session, TDEntry *Target);
  // Walk one directory extent and everything below it into Target; true
  // when at least one record was taken.
  bool ImportJolietDir(uint32_t Extent, uint32_t Length, TDEntry *Target);
  bool ImportISODir(uint32_t Extent, uint32_t Length, TDEntry *Target);
  // Copies an imported file from the disc to LocalName: 1 on success; 0 on a
  // failed read or write, with no partial file left. Progress, when set, is
  // called after each piece read with the bytes copied so far; returning
  // false stops the copy (0 is returned, the partial copy removed, and an
  // older file of that name kept).
  int ExtractFile(TFEntry *Entry, const std::string &LocalName, const iso::TCopyProgress &Progress = {});
  // Where import and extract read: an image file (its sessions found by
  // their descriptors) instead of the disc in the drive when set. Not owned.
  TSectorSource *ImportSource = nullptr;
  // Imports the session whose system area starts at SessionStart of Source
  // (Number only names it in messages). True when a descriptor was found
  // and its tree walked.
  bool ImportFrom(TSectorSource &Source, uint32_t SessionStart, int Number, TDEntry *Target);
  int64_t SourceSize(const std::string &Path);
  // Gives an entry taken from an imported session what its Rock Ridge
  // recorded (mode, owners, times, a link's target, the POSIX name when it
  // differs from the entry's long name); the new session writes it back as
  // it is, whatever RockRidgeKeepPermissions says.
  void KeepRecordedAttrs(TFEntry *Entry, const iso::rr::TPosixAttrs &Attrs, const std::string &PosixName);
  void KeepRecordedAttrs(TDEntry *Dir, const iso::rr::TPosixAttrs &Attrs, const std::string &PosixName);
  // Path-table order: breadth first, siblings by ISO name; renumbers every
  // directory (root 1) and puts JolietDirOrder in the same order.
  void NumberDirectories();

  // ---- layout and El Torito (ovCDBC_layout.cpp, ovCDBC_boot.cpp) ----
  int PrepareLayout(bool ForImageFile, TDEntry *TargetDir);
  bool BuildHeader(bool ForImageFile, TDEntry *TargetDir);
  int64_t SessionSectors() const;
  bool ReadNextWritableAddress();
  uint32_t ReadLastVolumeSize();

  uint32_t SessionStart = 0;
  uint32_t PathTableL = 0, PathTableM = 0, JolietPathTableL = 0, JolietPathTableM = 0;
  uint32_t PathTableSize = 0, JolietPathTableSize = 0;
  uint32_t DirRecordsStart = 0, JolietDirRecordsStart = 0;
  uint32_t DirRecordsSize = 0, JolietDirRecordsSize = 0;
  uint32_t BootCatalogAddress = 0, BootImageAddress = 0, BootImageSectors = 0;
  int64_t PadSectors = 0;
  uint32_t FirstFileAddress = 0;
  int64_t ImageEnd = 0;
  int64_t SectorsToWrite = 0;
  TMemoryStream HeaderImage;               // system area, descriptors, path tables, extents, catalog
  std::vector<uint8_t> DescriptorCopy;     // 65537 bytes
  int32_t DescriptorCopySize = 0;
  // Set by BurnCompilation around the preparation it makes right before
  // writing: only that preparation asks the disc where the session starts.
  bool QueryNextWritableAddress = false;
  // Whether that preparation got the address from the drive, and the number
  // of the track the session goes into (sequential media).
  bool NextWritableAddressKnown = false;
  uint16_t SessionTrack = 0;
  // Target directory of the last BuildHeader (a later burn reuses it).
  TDEntry *LastTargetDir = nullptr;

private:
  void PrepareBootImage();
  void PrepareDiscStart(TDEntry *TargetDir);
  bool WriteDirExtents(uint8_t *Image, bool Joliet);
  // What the last PrepareLayout laid out; BuildHeader refuses to write a
  // header for settings that changed since.
  bool layoutPrepared_ = false;
  bool layoutJoliet_ = false;
  bool layoutBootable_ = false;
  bool layoutRockRidge_ = false;

public:

  // ---- write pipeline (burnlib/write) ----
  bool SaveImageFile(const std::string &FileName, bool Quick);
  bool BurnCompilation();
  bool BurnImageFile(const std::string &FileName);
  // Whether a test write can be made on a medium of DiscType (a GetDiscType
  // code) in the selected drive: only CD-R, CD-RW and DVD-R take the
  // simulation bit, and only in a drive that offers test writes; elsewhere
  // the drive would record for real. The burn refuses a test write that
  // fails this rule; a drive may still refuse the write parameters, which
  // the write thread checks when it sends them.
  bool TestWritePossible(uint8_t DiscType) const;
  // Why BurnCompilation would refuse the compilation of TargetDir on the
  // medium now (no disc, closed disc, test write, too little space: the
  // reason with both sizes); empty when it can go ahead. Writes nothing.
  std::string BurnRefusal(TDEntry *TargetDir);
  // The burn's checks of the medium, an open last session, the next writable
  // address and the space; empty when the compilation can be written.
  std::string CompilationRefusal(uint8_t code, TDEntry *TargetDir, bool BuildIt, bool &FormatFirst);
  void AbortWrite();
  TWriteDoneEvent OnWriteDone;
  TNotifyEvent OnFinalizingTrack;
  // After a burn has closed its session, read it back with READ(10) and
  // compare it with the data sent. A mismatch fails the write with a text
  // that begins with "VERIFY"; success leaves "VERIFY: n sectors equal" in
  // VerifyText (empty when no verify ran).
  bool Verify = false;
  std::string VerifyText;
  int32_t CacheSize() const { return cacheSize_; }
  void SetCacheSize(int32_t Value);  // at least 2 MiB, else rounded down to 2048
  std::string ISOFileName;
  // Starts the write thread on the primed cache; false when no writer for
  // the target exists.
  bool StartWriteThread(bool ToFile);
  // Bytes handed to the target in the current write (never more than
  // SessionSectors x 2048); written by the write thread, polled by callers.
  std::atomic<int64_t> BytesWritten{0};
  // The phase of a running burn (TBurnPhase) and, while it verifies, the
  // sectors read back of those to read; written by the write thread.
  enum TBurnPhase { bpWriting = 0, bpClosing = 1, bpVerifying = 2 };
  std::atomic<int> BurnPhase{bpWriting};
  std::atomic<int64_t> VerifyDone{0};
  std::atomic<int64_t> VerifyTotal{0};
  // Source file the cache is reading during a write (a copy, taken under Lock).
  std::string CurrentFile();
  void SetCurrentFile(const std::string &Path);
  // The error text the write thread handed to OnWriteDone.
  std::string WriteDoneText;
  // True from the start of a write until its write thread has ended.
  static bool WriteRunning();

private:
  std::string currentFile_;  // guarded by Lock
  // The cache and write threads of this component's writes; destroyed (and
  // so joined) before the members declared above it.
  struct TWriteJobs;
  struct TWriteJobsDeleter {
    void operator()(TWriteJobs *p) const;
  };
  std::unique_ptr<TWriteJobs, TWriteJobsDeleter> writeJobs_;
  friend class TThWrite;
  bool SaveImageFileQuick(const std::string &FileName);
  // Claims the process's write slot for a new write; false when one runs.
  bool BeginWrite();
  // Ends a write that has not started: releases the slot and raises
  // OnWriteDone with Text. Always false.
  bool FailBeforeWrite(const std::string &Text);
  // Starts the cache on the compilation (or on ImageFile) and waits until it
  // is primed; false (OnWriteDone raised, slot released) when it failed.
  bool StartCacheAndPrime(int32_t BlockSize, const std::string &ImageFile);

private:
  // ---- tree internals (ovCDBC_tree*.cpp) ----
  TFEntry *AddEntry(TDEntry *Dir, const TSearchRec &Rec, bool ClearArchive, int32_t ImportedAddress,
                    const std::string &SourcePath);
  // With RockRidgeSymlinks: adds Path as a symbolic link when it is one;
  // false when it is not a link.
  bool AddLinkIfLink(TDEntry *Dir, const std::string &Path, const std::string &Name);
  // With Rock Ridge, the root takes the mode, owners and times of the first
  // source folder whose contents fill it.
  void TakeRootAttrs(const std::string &SourceFolder);
  bool CapacityForDir();
  bool CapacityForEntry();
  TDEntry *NewDirectory(TDEntry *Parent, const std::string &LongName, const std::string &ShortName,
                        const TSearchRec &Rec, const std::string &SourcePath);
  void AppendEntry(TDEntry *Dir, TFEntry *E);
  void SetEntryISOName(TDEntry *Dir, TFEntry *E, const std::string &Name);
  TFEntry *ResolveConflict(TDEntry *Dir, std::string &LongName, const std::string &SourcePath, bool &Renamed);
  TFEntry *TakeNumberedName(TDEntry *Dir, std::string &Name, const std::string &SourcePath, bool IsFile,
                            bool &Renamed);
  void Note(TInsertNoteKind Kind, const std::string &SourcePath, const std::string &Detail);
  bool NoteIfUnreadable(const std::string &Path, const TSearchRec &Rec);
  TDEntry *FindDirUpper(const std::string &UpperPath) const;
  bool InsertDirWalk(TDEntry *Target, const std::string &SourceDir, bool ArchiveOnly, bool Recursive,
                     int32_t AttrMask, const std::string &NameMask, std::vector<std::pair<uint64_t, uint64_t>> &Stack);
  int64_t SourceSizeWalk(const std::string &Path, std::vector<std::pair<uint64_t, uint64_t>> &Stack);
  void RemoveMarked();
  void MarkSubtree(TDEntry *Dir);
  void FreeTree();

  // ---- session import internals (ovCDBC_import.cpp) ----
  bool ImportDirTree(uint32_t Extent, uint32_t Length, TDEntry *Target, bool Joliet);
  bool AddImported(const iso::TSessionTree &Tree, TDEntry *Target);
  void ImportLeftOut(const std::string &DiscPath, const std::string &Why);
  TSectorSource *importSource_ = nullptr;  // the source of the import running now
  std::string importLabel_;                // "session N" in messages
  bool sessionImported_ = false;           // a session was imported since the last reset

  std::unordered_map<std::string, TDEntry *> dirIndex_;  // upper-cased Path -> directory
  std::vector<TFEntry *> deadEntries_;                   // marked for RemoveMarked
  std::vector<TDEntry *> deadDirs_;
  bool capacityHit_ = false;
  std::string version_ = "1.22";
  int32_t cacheSize_ = 4194304;
};

// The volume label a compilation gets when none is given: the name of the
// folder that holds the first source, or of the source itself when it is a
// folder (a path ending in "/" is one; otherwise the file system says).
// A relative path is taken from the working folder; "/" gives "".
std::string DefaultVolumeLabel(const std::string &FirstSource);
