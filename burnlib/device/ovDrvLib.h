// The device class: the selected recorder, its address, the MMC commands,
// its identity and capabilities, the medium, erase and write set-up.
#pragma once

#include "ovASPI.h"
#include "ovDateTime.h"
#include "ovSPTI.h"
#include "wnaspi32.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TObject {
public:
  virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject *Sender)>;
using TOnDebugMsg = std::function<void(TObject *Sender, const std::string &Message, uint8_t mType)>;
using TEraseDoneEvent = std::function<void(TObject *Sender, bool WithError)>;
using TDeviceChangedEvent = std::function<void(TObject *Sender)>;

// Disc-type codes returned by GetDiscType.
enum TDiscTypeCode : uint8_t {
  dtUnknown = 0,
  dtCDROM = 1,
  dtCDR = 2,
  dtCDRW = 3,
  dtDVDROM = 4,
  dtDVDR = 5,
  dtDVDRAM = 6,
  dtDVDRW = 7,
  dtDVDRWRestricted = 8,
  dtDVDRWSequential = 9,
  dtDVDPlusRW = 10,
  dtDVDPlusR = 11,
  dtDVDPlusRDL = 12,
  dtDDCDROM = 13,
  dtDDCDR = 14,
  dtDDCDRW = 15,
  dtBDROM = 16,
  dtBDR = 17,     // sequential recording mode
  dtBDRDL = 18,
  dtBDRE = 19,
  dtBDREDL = 20,
};

// Blu-ray codes: write-once (BD-R, BD-R DL), overwritable (BD-RE, BD-RE DL).
inline bool IsBD(uint8_t Code) { return Code >= dtBDROM && Code <= dtBDREDL; }
inline bool IsBDR(uint8_t Code) { return Code == dtBDR || Code == dtBDRDL; }
inline bool IsBDRE(uint8_t Code) { return Code == dtBDRE || Code == dtBDREDL; }
// A single BD layer holds this many sectors; more means two layers.
inline constexpr uint32_t kBDLayerSectors = 12219392;
// BD 1x in KB/s.
inline constexpr uint16_t kBDSpeed1x = 4495;

// Bits of TSCSIDevice::Capabilities.
enum TCapability : int {
  capReadCDR = 0,
  capReadCDRW = 1,
  capReadMethod2 = 2,
  capReadDVDROM = 3,
  capReadDVDR = 4,
  capReadDVDRW = 5,
  capReadDVDRAM = 6,
  capReadDVDPlusR = 7,
  capReadDVDPlusRDL = 8,
  capReadDVDPlusRW = 9,
  capWriteCDR = 10,
  capWriteCDRW = 11,
  capTestWrite = 12,
  capWriteDVDR = 13,
  capWriteDVDRW = 14,
  capWriteDVDRAM = 15,
  capWriteDVDPlusR = 16,
  capWriteDVDPlusRDL = 17,
  capWriteDVDPlusRW = 18,
  capUnderrunProtection = 20,
  capReadBD = 21,
  capWriteBDR = 22,
  capWriteBDRE = 23,
};

// WriteModes bits.
inline constexpr uint8_t wmRaw = 1;
inline constexpr uint8_t wmSAO = 2;
inline constexpr uint8_t wmTAO = 4;

// Display names of the disc-type codes 0..15.
extern const char *const DiscTypeNames[16];
// The display name of any disc-type code ("UNKNOWN" past the known ones).
const char *DiscTypeName(uint8_t Code);
// 1x of a medium in KB/s: 176.4 on CD, 1,385 on DVD, 4,495 on BD.
double SpeedUnit(uint8_t Code);
// Command names by opcode 00h..FEh: a 22-character name, or the opcode as
// two upper-case hexadecimal digits.
const std::string &CommandNames(uint8_t opcode);
// Text of an additional sense code pair; empty when the pair is not known.
const char *AdditionalSenseText(uint8_t asc, uint8_t ascq);
// Number of pairs in the additional-sense table.
int AdditionalSenseCount();

// Sense data of a failed command in either format: fixed (response code
// 70h current, 71h deferred) or descriptor (72h current, 73h deferred); bit 7
// of a fixed-format code only says that the information field is valid.
struct TSenseData {
  bool Known = false;       // one of the four response codes above
  bool Descriptor = false;  // 72h/73h
  bool Deferred = false;    // 71h/73h: the error belongs to an earlier command
  uint8_t Key = 0;
  uint8_t Asc = 0;
  uint8_t Ascq = 0;
  bool Filemark = false, EndOfMedium = false, IllegalLength = false;  // fixed format only
  bool HasAdditional = false;  // the additional length reaches the ASC/ASCQ
};
TSenseData DecodeSense(const uint8_t *sense, size_t length);
// The progress indication a drive gives in the sense-key-specific bytes of
// a NOT READY or NO SENSE answer during a long operation (blank, format),
// 0..65535; -1 when the sense data carries none.
int SenseProgress(const uint8_t *sense, size_t length);

// What a caller does about a command that ended with this outcome.
enum class TSenseAction : uint8_t {
  GoOn,   // completed, or only recovered / no-sense information
  Wait,   // the drive is busy with an operation: poll again later
  Retry,  // transient (busy target, unit attention): send the command again
  Fail,   // give up with the error text
  Resend, // lost on the way, no sense data (transport, host adapter): send
          // again at most kResendAttempts times in all, then give up
};
constexpr int32_t kResendAttempts = 3;
// The error text of a command outcome (empty when it completed) and the
// policy for it. sense may be null when there is none.
std::string CommandErrorText(uint8_t srbStatus, uint8_t haStat, uint8_t targStat, const uint8_t *sense,
                             size_t senseLength);
TSenseAction CommandAction(uint8_t srbStatus, uint8_t haStat, uint8_t targStat, const uint8_t *sense,
                           size_t senseLength);

// The ASC of a REQUEST SENSE answer polled while waiting for a drive: a
// current fixed-format answer with the information field valid (F0h) counts
// as not ready (04h).
uint8_t PolledSenseASC(const uint8_t *sense, size_t length);

// The address at the start of a device string, "ha:target:lun," with decimal
// numbers; false when the string does not start with one.
bool ParseDeviceAddress(const std::string &DeviceString, uint8_t &Ha, uint8_t &Target, uint8_t &Lun);

// Where a mode page starts in a MODE SENSE (10) answer: at 16 (after a block
// descriptor) when that byte holds the page code, else at 8; a drive that
// leaves out a header byte has it at 7. The default-values read tries 7 only
// when byte 8 is not the page code; the current-values read tries 8 first.
int LocateModePage(const uint8_t *buf, uint8_t page, bool defaultsOrder);

// Library-wide state shared by the erase, the write set-up and the writer.
extern std::atomic<uint8_t> DiscTypeCode;
// Set for drives that need the slow-ready polling and the long erase wait.
extern std::atomic<bool> QuirkLongErase;
// The writer closes sessions with the immediate bit.
extern std::atomic<bool> CloseImmediate;

// What GetDiscInfo gathers about the loaded medium.
struct TDisc {
  bool Ready = false;
  uint32_t Capacity = 0;
  uint32_t EndAddress = 0;
  uint32_t BlockSize = 0;
  uint8_t FirstSession = 0;
  uint8_t LastSession = 0;
  uint8_t LastSessionState = 0;
  uint8_t Status = 0;
  uint16_t Profile = 0;
  std::string MediumName;
  bool Erasable = false;
};

// The space of the loaded medium. A session's size is what was recorded in
// it; free space is what can still be written (none on a disc whose open
// track a write error damaged).
struct TDiscSpace {
  struct TSession {
    unsigned Number = 0;
    uint32_t Start = 0;
    uint32_t Sectors = 0;
    long SizeMB() const { return (static_cast<long>(Sectors) + 256) / 512; }  // rounded half up
  };
  int Status = -1;  // DiscStatus()
  uint32_t Capacity = 0;
  uint32_t Used = 0;
  uint32_t Free = 0;
  std::vector<TSession> Sessions;
};

class TSCSIDevice;

// Polls the drive while an erase runs, then restores it and raises
// OnEraseDone on the main thread. Owned and joined by its device.
class TEraseThread {
public:
  TEraseThread(TSCSIDevice &device, uint8_t kind, uint16_t seconds, uint8_t quick);
  ~TEraseThread();
  void Start();
  void Join();
  bool Finished() const { return finished_.load(); }

  std::atomic<int32_t> Progress{0};
  const uint8_t EraseKind;
  const uint16_t EraseSeconds;
  // Asks the polling to stop; the drive is then restored and the erase ends
  // with an error.
  void Abort() { abort_ = true; }

private:
  void Execute();
  // The progress after `elapsed` seconds: the drive's own figure where its
  // last answer (or Sense, when given) carries one, else the estimate.
  void Step(double elapsed, const uint8_t *Sense = nullptr, size_t SenseLength = 0);
  // Sleeps in short steps so that an abort is seen at once.
  void Pause(uint32_t ms);
  // After a poll: true (with the reason kept) when the erase cannot go on:
  // aborted, medium gone, drive not answering or a hard error.
  bool Failed();
  // Writes `count` zero blocks of 32 sectors from LBA 0 on; true when every
  // one was accepted, else the reason is kept.
  bool ZeroStart(int count);

  std::atomic<bool> abort_{false};
  bool driveProgress_ = false;  // the drive has reported progress: no estimate from then on
  std::string failure_;  // written and read by the thread only until it ends

  TSCSIDevice &dev_;
  uint8_t quick_;
  std::thread thread_;
  std::atomic<bool> finished_{false};
};

class TSCSIDevice : public TObject {
public:
  TSCSIDevice();
  ~TSCSIDevice() override;
  TSCSIDevice(const TSCSIDevice &) = delete;
  TSCSIDevice &operator=(const TSCSIDevice &) = delete;

  // ---- Address and enumeration ----
  // Current device address; 254 in all three means no device is selected.
  uint8_t HaId = 254;
  uint8_t Target = 254;
  uint8_t Lun = 254;
  uint8_t HostAdapterCount = 0;
  // Device strings: "ha:target:lun,NAME " + vendor, product and revision.
  std::vector<std::string> DeviceList;

  bool InitializeASPI(bool UseSPTI, const std::string &DllPath);
  bool ASPIInitialized() const;
  void HAInquiry(uint8_t Adapter);
  void ScanDevices();
  // Drive letter of the current address: the pass-through slot letter
  // (127 when none), or with a loaded library the letter of the matching
  // /dev/sr node or the library's drive number; 0 when unknown.
  char DriveLetter();
  // The name shown for the current drive in device strings: the library's
  // own name for it, else the device node, else the letter with ":".
  std::string DriveName();
  void SetSPTIAutoClose(bool Value);

  // ---- Command layer ----
  std::string ErrorText;
  uint8_t LastSense[SKARVO_SRB_SENSE_AREA] = {};
  bool TargetBusy = false;
  // The policy for the outcome of the last command.
  TSenseAction LastAction = TSenseAction::GoOn;
  // When set, once a command of the selected drive has timed out every later
  // one fails at once with "COMMAND TIMEOUT" instead of waiting out its own
  // time-out: a drive that stopped answering ends a command sequence within
  // one time-out. Selecting a drive clears the mark.
  bool StopAfterTimeout = false;
  // True once a command of the selected drive timed out.
  bool TimedOut() const { return timedOut_.load(); }
  // Forgets an earlier time-out, so that a new operation starts afresh.
  void ClearTimedOut() { timedOut_.store(false); }
  // Any thread: stops the commands of the operation in progress. A command
  // waiting for the drive is aborted at once and every later one fails at
  // once ("OPERATION ABORTED BY USER"), until ResumeCommands. The drive is
  // not marked as timed out.
  void CancelCommands() { cancelled_.store(true); }
  void ResumeCommands() { cancelled_.store(false); }
  bool CommandsCancelled() const { return cancelled_.load(); }
  // The additional sense code of the last failed command (0 after success),
  // read from either sense format.
  uint8_t SenseASC() const { return DecodeSense(LastSense, sizeof LastSense).Asc; }
  bool NotReady() const { return SenseASC() == 0x04; }
  bool MediumAbsent() const { return SenseASC() == 0x3A; }

  bool DoDebug = false;
  TOnDebugMsg OnDebugMessage;
  TDeviceChangedEvent OnDeviceChange;
  TEraseDoneEvent OnEraseDone;

  // Executes one request on the current device and waits for it; the
  // outcome is SRB_Status (1 = completed).
  void ExecSRB(SRB_ExecSCSICmd &srb, uint32_t timeoutMs);
  void DebugMsg(const std::string &Message, uint8_t mType);

  void Lock() { lock_.lock(); }
  void Unlock() { lock_.unlock(); }

  bool TestUnitReady(uint32_t TimeoutMs = 5000);
  bool RequestSense(uint8_t *Buffer, uint8_t Length);
  bool WaitUnitReady(int TotalMs, int IntervalMs);
  bool RezeroUnit();
  bool FormatUnit(uint8_t Flags, const uint8_t *ParameterList, uint16_t Length);
  bool Inquiry();
  bool LoadEject(bool Eject);
  bool AllowMediumRemoval(bool Allow);
  bool ReadFormatCapacities(uint32_t &Blocks, uint32_t &BlockLength);
  // The first formattable descriptor of format type Type in READ FORMAT
  // CAPACITIES: its number of blocks and type-dependent parameter.
  bool ReadFormatDescriptor(uint8_t Type, uint32_t &Blocks, uint32_t &Parameter);
  // Formats a BD-RE with format type 30h (spare areas, Subtype 00b quick
  // reformat, 10b full certification) or 31h (no spare areas), at the size
  // the drive offers for that type.
  bool FormatBDRE(uint8_t Type, uint8_t Subtype, bool Immediate);
  bool ReadCapacity(uint32_t &LastLBA, uint32_t &BlockLength);
  // ForceUnitAccess: the blocks come from the medium, never from the
  // drive's cache of what it was sent (a verify must read what was recorded).
  bool Read10(uint32_t LBA, uint16_t Blocks, int ByteCount, void *Buffer, bool ForceUnitAccess = false);
  bool Write10(uint32_t LBA, uint16_t Blocks, uint8_t Flags, int ByteCount, void *Buffer);
  // WRITE(12); Streaming asks the drive to skip defect management (BD-RE
  // with spare areas, DVD-RAM), so that it writes at full speed.
  bool Write12(uint32_t LBA, uint32_t Blocks, bool Streaming, int ByteCount, void *Buffer);
  bool SynchronizeCache(uint32_t TimeoutMs, bool Immediate);
  bool ReadTOC(uint8_t Format, void *Buffer, uint8_t Length, uint8_t TrackOrSession, bool MSF,
               uint8_t Control = 0);
  bool GetConfiguration(uint8_t RT, uint16_t StartingFeature, void *Buffer, uint16_t Length);
  bool ReadDiscInformation();
  bool ReadTrackInformation(uint8_t Track);
  bool ReserveTrack(uint32_t Blocks);
  bool SendOPC();
  bool ModeSelect10(const void *ParameterList, uint16_t Length);
  bool ModeSense10(uint8_t PageCode, bool Defaults, void *Buffer, uint16_t Length);
  bool CloseTrackOrSession(bool CloseTrack, bool Immediate, bool Finalize);
  bool CloseTrackSession(bool Immediate, uint8_t CloseFunction, uint8_t Byte3, uint8_t Byte4,
                         uint8_t Byte5);
  bool ReadBufferCapacity(uint32_t &Size, uint32_t &Free);
  bool SetStreaming(const void *Descriptor, uint16_t Length);
  bool SetCDSpeed(uint16_t Read, uint16_t Write);
  // GET PERFORMANCE of Type (00h performance, 03h write speeds), at most
  // MaxDescriptors descriptors; DataType is CDB byte 1 (type 00h: Write 04h,
  // Except 03h).
  bool GetPerformance(uint8_t Type, uint8_t DataType, uint16_t MaxDescriptors, void *Buffer, uint32_t Length);
  bool SendDVDStructure(uint8_t Format, const void *Data, uint16_t Length);
  bool WriteDVDTimestamp(ov::TDateTime When);

  // ---- Identity and capabilities ----
  std::string DeviceID;
  std::string DeviceDescription;
  uint8_t PeripheralType = 127;
  alignas(8) uint8_t InquiryData[128] = {};
  // Mode page 2Ah from its page-code byte on, as the drive sent it.
  alignas(8) uint8_t CapabilitiesPage[516] = {};
  // The page's 16-bit fields in native order (speeds in KB/s).
  uint16_t CapMaxReadSpeed = 0;    // bytes 8-9
  uint16_t CapBufferSizeKB = 0;    // bytes 12-13
  uint16_t CapCurReadSpeed = 0;    // bytes 14-15
  uint16_t CapMaxWriteSpeed = 0;   // bytes 18-19 (0 reads as 1,385)
  uint16_t CapCurWriteSpeed = 0;   // bytes 20-21 (0 reads as 1,385)
  uint32_t Capabilities = 0;       // bits of TCapability
  uint8_t WriteModes = 0;          // wmRaw | wmSAO | wmTAO
  bool QuirkUnderrunForced = false;
  bool QuirkLinkSize = false;
  bool QuirkSlowReady = false;

  bool HasCapability(TCapability c) const { return (Capabilities >> c) & 1u; }
  void SelectDevice(const std::string &DeviceString);
  void IdentifyDevice();
  bool ReadCapabilities();
  bool VendorPage30Present();
  void ProbeWriteModes();

  uint16_t DeviceMaxWriteSpeed() const { return maxWriteSpeed_; }
  uint16_t DeviceMaxReadSpeed() const { return maxReadSpeed_; }
  // These re-read the capabilities first and return 0 when that fails.
  uint16_t GetMaxWriteSpeed();
  uint16_t GetMaxReadSpeed();
  uint16_t GetCurrentWriteSpeed();
  // The write speeds (kB/s, fastest first, no repeats) of the loaded medium
  // as GET PERFORMANCE type 03h lists them, when the drive says it does
  // (feature 0107h, WSPD); empty when it does not or lists none.
  std::vector<uint16_t> MediumWriteSpeeds();

  // Set by every READ BUFFER CAPACITY; written by the write thread and
  // polled by the caller's progress display.
  std::atomic<uint32_t> DeviceBufferSize{0};
  std::atomic<uint32_t> DeviceFreeBufferSize{0};
  bool UnderrunProtection = true;
  uint16_t ReadSpeed = 0;  // KB/s, 0 = the drive's maximum
  uint16_t WriteSpeed() const { return writeSpeed_; }
  void SetWriteSpeed(uint16_t Value);
  bool FinalizeDisc = false;
  bool TestWrite = false;

  // ---- Medium ----
  alignas(8) uint8_t DiscInformation[56] = {};
  alignas(8) uint8_t TrackInfo[40] = {};
  alignas(8) uint8_t ATIP[26] = {};
  TDisc Disc;

  uint8_t GetDiscType();
  void GetDiscInfo(TDisc &Disc);
  int DiscStatus();
  uint8_t SessionCount();
  uint32_t ReadISOVolumeSize();
  uint32_t UsedBlocks();
  uint32_t FreeBlocks();
  uint32_t DiscCapacity();
  // The sessions, capacity, used and free space as `info` and the Disc Info
  // window show them.
  TDiscSpace ReadDiscSpace();
  bool IsRewritable();

  // TrackInfo fields in native order (valid after ReadTrackInformation).
  uint32_t TrackStartAddress() const;
  uint32_t TrackNextWritable() const;
  uint32_t TrackFreeBlocks() const;
  uint32_t TrackSize() const;
  uint32_t TrackLastRecorded() const;
  bool TrackNextWritableValid() const { return (TrackInfo[7] & 0x01) != 0; }
  // DVD-RAM, DVD+RW, restricted-overwrite DVD-RW and BD-RE: one overwritable track.
  static bool IsOverwritable(uint8_t code);
  // READ CAPACITY's last block + 1 (a pressed disc's size); 0 when unknown.
  uint32_t RecordedBlocks();
  // Disc information fields.
  uint8_t DiscLastTrackInLastSession() const { return DiscInformation[6]; }

  // ---- Erase ----
  bool Erasing() const { return erasing_.load(); }
  int EraseProgress() const;
  bool EraseDisc(uint8_t Quick);
  // Ends a running erase early: the polling stops, the drive is restored and
  // OnEraseDone reports an error. The medium may still be blanking.
  void AbortErase();
  // Why the last erase ended with an error (set before OnEraseDone).
  std::string EraseErrorText;
  // Waits until a running erase thread has ended (running queued main-thread
  // calls meanwhile when called on the main thread).
  void WaitEraseThread();

  // ---- Write set-up ----
  alignas(8) uint8_t WriteParamsPage[54] = {};
  bool SetWriteParameters(bool TestWrite, bool UnderrunProtection, uint16_t DiscType, bool Closing);
  // Sends WriteParamsPage as it stands (MODE SELECT with an empty header).
  bool SendWriteParamsPage();
  // Closes the open session of the loaded disc. Without Finalize the disc
  // stays appendable (the write parameters ask for a next session first);
  // with it the disc is closed for good.
  bool CloseSession(bool Finalize);
  // The rule both a burn's close and CloseSession follow: the write
  // parameters with the multisession field for Finalize (a sequential DVD
  // otherwise always asks for a next session), and the close function of
  // the session (DVD+R finalises with 5, DVD+R DL with 6).
  bool SetClosingParameters(uint8_t DiscType, bool Finalize);
  static uint8_t SessionCloseFunction(uint8_t DiscType, bool Finalize);
  // Puts the drive back after a write or an erase: plain write parameters,
  // speeds, tray unlocked, medium loaded.
  void RestoreDrive();
  // Keeps failed commands of this device out of the debug log from now on.
  void SetErrorLogLatch() { errorLogLatch_ = true; }

protected:
  friend class TEraseThread;

  bool Exec(uint8_t cdbLen, const uint8_t *cdb, uint8_t flags, void *buf, uint32_t len,
            uint32_t timeoutMs);
  void BuildErrorText(const SRB_ExecSCSICmd &srb);
  void LogCommand(const SRB_ExecSCSICmd &srb);
  bool TryWriteMode(uint8_t mode);
  void SetWriteParamsForQuery();
  bool ReadATIPLeadOut(uint32_t &blocks);
  void ApplyCapabilitiesPage();

  std::recursive_mutex lock_;
  std::atomic<bool> erasing_{false};
  std::atomic<bool> timedOut_{false};
  std::atomic<bool> cancelled_{false};
  bool errorLogLatch_ = false;
  uint16_t maxWriteSpeed_ = 0;
  uint16_t maxReadSpeed_ = 0;
  uint16_t writeSpeed_ = 0;
  uint8_t eraseQuick_ = 0;
  std::unique_ptr<TEraseThread> eraseThread_;
  // Transfer buffer of MODE SENSE / MODE SELECT.
  std::vector<uint8_t> modeBuffer_;
};
