// Internal model of the virtual recorder: one drive folder = settings file +
// sparse data file. The state is read from disk for every command and written
// back when it changed, under an flock on the drive folder, so that several
// processes see one consistent drive.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <string>
#include <sys/types.h>
#include <vector>

struct inotify_event;

namespace vrec {

// MMC profiles of the media the recorder simulates.
enum : uint16_t {
  PROF_NONE = 0x0000,
  PROF_CDROM = 0x0008,
  PROF_CDR = 0x0009,
  PROF_CDRW = 0x000A,
  PROF_DVDROM = 0x0010,
  PROF_DVDR = 0x0011,
  PROF_DVDRAM = 0x0012,
  PROF_DVDRW_RO = 0x0013,
  PROF_DVDRW_SEQ = 0x0014,
  PROF_DVDPRW = 0x001A,
  PROF_DVDPR = 0x001B,
  PROF_DVDPR_DL = 0x002B,
  PROF_BDROM = 0x0040,
  PROF_BDR = 0x0041,  // sequential recording mode
  PROF_BDRE = 0x0043,
};

// Static description of one medium type.
struct TMediaType {
  const char *Name;       // as in settings and on the command line
  uint16_t Profile;       // profile while blank / as sold
  uint32_t Capacity;      // default user capacity in blocks
  bool Rom;               // pressed medium, loaded from an image file
  bool Cd;
  bool Erasable;
  bool Sequential;        // written at the next writable address only
};
const TMediaType *FindMediaType(const std::string &name);
std::span<const TMediaType> MediaTypes();

// Static description of a drive model (copied into the settings on `add`).
struct TModel {
  const char *Name;
  const char *Product;
  const char *Reads;   // medium names, blank separated
  const char *Writes;
};
std::span<const TModel> Models();
const TModel *FindModel(const std::string &name);

// A CD track closed by the drive ends with two run-out blocks, and a track is
// at least four seconds (300 blocks) long.
constexpr uint32_t kRunOutBlocks = 2;
constexpr uint32_t kMinCdTrack = 300;

// One track of a recordable medium. Track number = index + 1.
struct TTrack {
  int Session = 1;
  uint32_t Start = 0;
  uint32_t Written = 0;     // blocks recorded from Start
  uint32_t Reserved = 0;    // reserved size (RESERVE TRACK), 0 = not reserved
  bool Closed = false;
  // A write error left the track incomplete: it has no next writable address
  // and takes no more data until it is closed.
  bool Damaged = false;
};

// A run of blocks the drive's read cache holds, as they were sent.
struct TCacheRange {
  uint32_t Start = 0, Blocks = 0;
};

// An injected fault.
struct TFault {
  std::string Kind;          // busy, notready, nomedium, writeerror, unformatted, opc, pending, corrupt, transport
  int Count = 1;             // commands still affected (-1 = forever)
  int Skip = 0;              // matching commands to let through first
  int Op = -1;               // opcode filter, -1 = the kind's default
  int64_t Lba = -1;          // writeerror, corrupt: the address
  int Ascq = -1;             // notready: ASCQ (default 04/01)
  std::string Text() const;  // settings syntax
};
bool ParseFault(const std::string &text, TFault &f, std::string &err);

// Addresses: eight targets per adapter, LUN 0. The adapter number is one byte
// of the request (SRB_HaId); 254 and 255 stand for "no adapter" in the device layer.
constexpr int kTargetsPerAdapter = 8;
constexpr int kMaxAdapters = 254;
bool ParseAddress(const std::string &text, int &slot);  // "adapter:target:lun"

// Whole drive state as stored in its settings file.
struct TDrive {
  std::string Name;
  std::string Dir;  // drive folder
  int Slot = -1;    // address: adapter * kTargetsPerAdapter + target (LUN 0); -1 none yet
  std::string AddressText() const;  // "adapter:target:lun", empty without an address

  // identity and capabilities
  std::string Model = "dvd-writer";
  std::string Vendor = "SKARVO", Product = "DVD+-RW SV-1620", Revision = "1.00";
  std::vector<std::string> Reads, Writes;
  uint16_t ReadSpeedCd = 7056, ReadSpeedDvd = 22160;
  std::map<std::string, std::vector<uint16_t>> Speeds;  // medium name -> write speeds, fastest first
  uint32_t BufferKb = 2048;
  bool Underrun = true;
  bool TestWriteCap = true;
  double Clock = 1.0;

  // medium
  std::string Medium = "none";  // a TMediaType name or "none"
  bool TrayOpen = false;
  uint32_t Capacity = 0;
  std::string Image;            // ROM media: the image file
  bool Formatted = false;       // DVD+RW / DVD-RW restricted overwrite / DVD-RAM / BD-RE
  bool NoSpares = false;        // BD-RE formatted without spare areas: no defect management
  // Blocks a BD format gave to spare areas: the user capacity is Capacity,
  // the whole disc Capacity + SpareBlocks.
  uint32_t SpareBlocks = 0;
  bool Finalized = false;
  bool DaoOnly = false;         // DVD-RW after a minimal blank
  int ClosedSessions = 0;
  std::vector<TTrack> Tracks;
  uint32_t MaxWritten = 0;      // overwritable media: end of the highest block written
  std::string Timestamp;        // DVD-R time stamp (SEND DVD STRUCTURE 0Fh)

  // runtime
  bool Prevent = false;
  std::vector<uint8_t> WriteParams;  // page 05h, 52 bytes from the page code
  uint16_t ReadSpeed = 0, WriteSpeed = 0;  // current, 0 = maximum
  std::string Op;                    // long operation: blank, format, close
  double OpStart = 0, OpSeconds = 0;
  int64_t TestNwa = -1;              // next address during a test write
  double BufFill = 0;                // drive buffer: bytes held at BufTime
  double BufTime = 0;
  // Times the buffer ran empty between two writes of a track (the drive
  // had nothing to record: a real one stops, or without underrun
  // protection ruins the disc), and the seconds it stood empty.
  uint32_t Underruns = 0;
  double UnderrunSeconds = 0;
  uint16_t RecordedSpeed = 0;        // kB/s the last write was recorded at
  bool UnitAttention = false;        // a medium change not yet reported
  // The read cache: the blocks written last (a buffer's worth), oldest
  // first. A read without FUA of a cached block gets what was sent; the
  // medium may hold something else behind it (CacheAltered: blocks a
  // `corrupt` fault recorded inverted).
  std::vector<TCacheRange> Cache;
  std::vector<uint32_t> CacheAltered;  // sorted
  std::vector<TFault> Faults;
  int DataFd = -1;                   // the data file, when the caller holds it open (not a setting)

  // derived helpers
  const TMediaType *Type() const;    // nullptr when no medium
  bool HasMedium() const { return Medium != "none" && !TrayOpen; }
  uint16_t Profile() const;          // current profile (0 without a medium)
  bool CanRead(const std::string &medium) const;
  bool CanWrite(const std::string &medium) const;
  bool IsOverwritable() const;       // one random-access track
  bool IsCd() const;
  bool IsDvd() const { return HasMedium() && !IsCd(); }
  int OpenSession() const;           // session number being recorded, 0 when the disc is closed
  int InvisibleTrack() const;        // index of the open (invisible/incomplete) track, -1 when none
  uint32_t RecordedEnd() const;      // end of the recorded area
  uint32_t LastSessionEnd() const;   // end of the last closed session
  // Blocks a track occupies: a closed CD track holds its two run-out blocks
  // and is at least 300 blocks long; a reserved track its reservation.
  uint32_t TrackSize(const TTrack &t) const;
  uint32_t TrackEnd(const TTrack &t) const { return t.Start + TrackSize(t); }
  std::vector<uint16_t> WriteSpeedsForMedium() const;
  uint16_t MaxReadSpeed() const;
  uint32_t RawCapacity() const { return Capacity + SpareBlocks; }
  // Gives `spare` blocks of the whole disc to spare areas (0: none).
  void SetSpareBlocks(uint32_t spare);

  void LoadMedium(const TMediaType &t, uint32_t capacity);
  void ResetRuntime();
  // Leaves the drive without a medium, tray open.
  void RemoveMedium();
};

// Folder resolution and the default drive.
std::string DrivesFolderPath();
bool EnsureDrivesFolder(std::string &err);
std::vector<std::string> DriveNames(const std::string &folder);
bool ValidDriveName(const std::string &name);
// Sub-folders holding a settings file whose name is not a valid drive name.
std::vector<std::string> StrayDriveFolders(const std::string &folder);

// The drives of a folder with their slots, by slot. Drives without a stored
// address get the lowest free slots (in name order) and keep them.
struct TDriveSlot {
  std::string Name;
  int Slot;
};
std::vector<TDriveSlot> DriveSlots(const std::string &folder);
// The same while the caller holds the folder's TDriveLock.
std::vector<TDriveSlot> DriveSlotsLocked(const std::string &folder);
int FreeSlot(const std::set<int> &used);  // lowest slot not in `used`, -1 when none
std::string SettingsPath(const std::string &dir);
// The blank-separated words of a settings value.
std::vector<std::string> Words(const std::string &s);
std::string DataPath(const std::string &dir);
std::string LogPath(const std::string &dir);

bool LoadDrive(const std::string &dir, TDrive &d, std::string &err);
bool SaveDrive(const TDrive &d, std::string &err);
// Changes one settings key of d; an unknown key or a bad value leaves d as it was.
bool SetDriveKey(TDrive &d, const std::string &key, const std::string &value, std::string &err);
std::string SerializeDrive(const TDrive &d);
void InitModel(TDrive &d, const TModel &m);
std::vector<uint8_t> DefaultWriteParams();

// Holds the flock of a drive folder for the lifetime of the object.
class TDriveLock {
public:
  explicit TDriveLock(const std::string &dir);
  ~TDriveLock();
  bool Ok() const { return fd_ >= 0; }
  TDriveLock(const TDriveLock &) = delete;
  TDriveLock &operator=(const TDriveLock &) = delete;

private:
  int fd_ = -1;
};

double NowSeconds();   // wall clock, shared between processes
// This process's id, kept in memory (and renewed in a forked child) rather
// than asked of the kernel for every command.
pid_t ProcessId();
// SKARVO_VDRIVE_CLOCK, else the drive's clock; 0 there means "as fast as the
// host" and gives infinity: nothing then takes any time.
double ClockFactor(const TDrive &d);

// Result of one command.
struct TResult {
  uint8_t TargStat = 0;   // 0 good, 2 check condition, 8 busy
  uint8_t HaStat = 0;
  uint8_t Key = 0, Asc = 0, Ascq = 0;
  int Progress = -1;      // sense-key specific progress (0..65535), -1 none
  bool Pending = false;   // never completes (fault)
  double Delay = 0;       // seconds the command takes (at most an hour), spent by
                          // the caller after the drive is unlocked
};

// Executes one CDB on the drive in `dir` (locks, rereads the state when it
// changed, saves, logs). The time the command takes is in the result's
// Delay; the caller lets it pass before completing the request, so that
// other processes can look at the drive meanwhile. dir: 0 none, 1 in, 2 out.
TResult ExecuteCommand(const std::string &driveDir, const uint8_t *cdb, int cdbLen, int dataDir, uint8_t *buf,
                       uint32_t len);
// Tells the processes that cache a drive's state that its files changed
// (SaveDrive does; so must anything that replaces them).
void DriveFilesChanged(const std::string &dir);
// Closes the files kept open for commands and frees what it kept (the library
// is being unloaded and no command runs any more).
void CloseCommandCaches();
// Reads an inotify instance's queue (non-blocking) and passes each event to
// `each`; true when there was any.
bool ReadInotify(int fd, const std::function<void(const inotify_event &)> &each);
struct TCmd;
void Dispatch(TCmd &c);
const char *CommandName(uint8_t op);
// Fills an 18-byte fixed-format sense block.
void BuildSense(const TResult &r, uint8_t *sense, int len);

// Command implementations (VMedia.cpp, VExec.cpp). `changed` is set when the
// state must be saved.
struct TCmd {
  TDrive &D;
  const uint8_t *Cdb;
  int DataDir;
  uint8_t *Buf;
  uint32_t Len;
  bool Changed = false;
  TResult R;
  void Check(uint8_t key, uint8_t asc, uint8_t ascq) { R.TargStat = 2; R.Key = key; R.Asc = asc; R.Ascq = ascq; }
  void Reply(const std::vector<uint8_t> &data);  // copies up to Len bytes in
  uint32_t Cdb16(int at) const { return (uint32_t(Cdb[at]) << 8) | Cdb[at + 1]; }
  uint32_t Cdb32(int at) const {
    return (uint32_t(Cdb[at]) << 24) | (uint32_t(Cdb[at + 1]) << 16) | (uint32_t(Cdb[at + 2]) << 8) | Cdb[at + 3];
  }
};

// The disc status, state of the last session and number of sessions that READ
// DISC INFORMATION reports (the number includes an empty or incomplete last session).
struct TDiscState {
  int Status = 0;     // 0 empty, 1 incomplete (appendable), 2 complete, 3 random access
  int LastState = 0;  // 0 empty, 1 incomplete, 3 complete
  int Sessions = 1;
  // The sessions holding data: the last one is left out when it is empty.
  int Recorded() const;
};
TDiscState DiscState(const TDrive &d);

void CmdReadDiscInformation(TCmd &c);
void CmdReadTrackInformation(TCmd &c);
void CmdReadToc(TCmd &c);
void CmdReadCapacity(TCmd &c);
void CmdReadFormatCapacities(TCmd &c);
void CmdRead10(TCmd &c);  // READ(10) and READ(12)
void CmdWrite10(TCmd &c);
void CmdCloseTrackSession(TCmd &c);
void CmdBlank(TCmd &c);
void CmdFormatUnit(TCmd &c);
void CmdReserveTrack(TCmd &c);
void CmdSendDvdStructure(TCmd &c);
void CmdGetConfiguration(TCmd &c);
void CmdModeSense(TCmd &c);
void CmdModeSelect(TCmd &c);
void CmdSetCdSpeed(TCmd &c);
void CmdSetStreaming(TCmd &c);
void CmdReadBufferCapacity(TCmd &c);
void CmdSynchronizeCache(TCmd &c);
void CmdSendOpc(TCmd &c);
void CmdGetPerformance(TCmd &c);
// The most bytes a GET PERFORMANCE CDB asks for (its descriptor count).
uint32_t GetPerformanceLength(const uint8_t *cdb);
void StartLongOp(TDrive &d, const std::string &op, double seconds);
// BD spare areas, in blocks of a disc of `raw` blocks (one or two layers of
// 12,219,392): at least the inner zone of each layer (4,096 clusters of 32
// blocks), by default inner and outer zones (12,288 clusters a layer), at
// most what leaves 5,796,864 user blocks a layer.
struct TBdSpares {
  uint32_t Min = 0, Default = 0, Max = 0;
};
TBdSpares BdSpares(uint32_t raw);
// The spare blocks a BD format with spare areas leaves when asked for
// `blocks` user blocks (0 or FFFFFFFFh: the default), rounded to whole
// clusters; -1 when that size is outside the range.
int64_t BdSpareFor(uint32_t raw, uint32_t blocks);

// Blocks from the end of the session just closed (ClosedSessions counts it)
// to the start of the next one.
uint32_t SessionGap(const TDrive &d);
// Records `blocks` at `start` (the next writable address or later) as the
// only track of the open session and closes the session, keeping the disc
// appendable, as a burn would. d is unchanged when err is set.
bool RecordClosedSession(TDrive &d, uint32_t start, uint32_t blocks, std::string &err);

// The drive buffer (VBuffer.cpp): bytes held now, after draining at the
// current write speed on the drive's clock.
double BufferFill(const TDrive &d, double now);
// Takes `bytes` of a WRITE into the buffer; false when they do not fit
// (an empty buffer takes any write).
bool BufferAccept(TDrive &d, double bytes);
void BufferReset(TDrive &d);
// Counts a fault's hit (its skip, then its count, removing it when spent);
// true when the fault acts on this command.
bool FaultFires(TDrive &d, size_t i);
// The write speed in effect (KB/s): the largest step not above the one asked.
uint16_t CurrentWriteSpeed(const TDrive &d);
// The read speed in effect (KB/s): the one asked, at most the medium's maximum.
uint16_t CurrentReadSpeed(const TDrive &d);
// Applies the `corrupt` faults covering blocks [lba, lba + n) just recorded.
void CorruptRecorded(TCmd &c, uint32_t lba, uint32_t n);

// The read cache (VCache.cpp). CacheWritten takes blocks [lba, lba + n)
// just sent, dropping the oldest beyond a buffer's worth; CacheAlter notes a
// block the medium holds differently from what was sent; CacheRead puts
// back, in blocks [lba, lba + n) read from the medium into buf, what the
// cache holds; CacheForget empties it (medium change, blank, format).
void CacheWritten(TDrive &d, uint32_t lba, uint32_t n);
void CacheAlter(TDrive &d, uint32_t lba);
void CacheRead(const TDrive &d, uint32_t lba, uint32_t n, uint8_t *buf);
void CacheForget(TDrive &d);
bool CacheHolds(const TDrive &d, uint32_t lba);

// Helpers shared by the command files.
void Put16(std::vector<uint8_t> &v, size_t at, uint32_t x);
void Put32(std::vector<uint8_t> &v, size_t at, uint32_t x);
void LbaToMsf(int64_t lba, uint8_t *msf3);
uint16_t PickSpeed(const std::vector<uint16_t> &steps, uint32_t wanted);

// Blocks of the data file (ROM media read from their image).
bool ReadBlocks(const TDrive &d, uint32_t lba, uint32_t blocks, uint8_t *buf);
bool WriteBlocks(const TDrive &d, uint32_t lba, uint32_t blocks, const uint8_t *buf);
void ClearData(const TDrive &d);
// Copies `bytes` bytes of `from` (zeros past its end) to `to`. A regular file
// or a new path is written sparse to a new file beside it and renamed over it
// once complete, so a failure leaves a previous file intact and removes only
// what the copy created. Anything else (a pipe, a device, or a path under
// /dev or /proc such as /dev/stdout) is written in place, sequentially, and
// is never truncated or removed.
bool CopyImage(const std::string &from, const std::string &to, uint64_t bytes, std::string &err);

}  // namespace vrec
