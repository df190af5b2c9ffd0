// TSCSIDevice: construction, transport set-up, enumeration, ExecSRB, error
// texts and the command log.
#include "ovDrvLib.h"

#include "ovSync.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

std::atomic<uint8_t> DiscTypeCode{0};
std::atomic<bool> QuirkLongErase{false};
std::atomic<bool> CloseImmediate{true};

namespace {

// How often a command waiting for the drive looks for a cancel.
constexpr int64_t kCancelCheckMs = 50;

std::string Hex2(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "%02X", v & 0xff);
  return b;
}

// Opcodes whose failures never reach the error log.
bool QuietOpcode(uint8_t op) {
  static const uint8_t quiet[] = {0x00, 0x01, 0x04, 0x12, 0x1B, 0x1E, 0x23, 0x35, 0x43,
                                  0x46, 0x51, 0x52, 0x55, 0x5A, 0x5C, 0xB6, 0xBB};
  return std::find(std::begin(quiet), std::end(quiet), op) != std::end(quiet);
}

// The event a layer signals when a posted request completes: one per thread
// (and process), kept for the thread's lifetime instead of one per command.
// A request has ended (completed, or aborted and signalled) before ExecSRB
// returns and the count is drained then, so no signal of an earlier request
// can end the wait of a later one.
class TCompletionEvent {
public:
  ~TCompletionEvent() { Close(); }
  int Fd() {
    // A forked child shares its parent's event: it makes its own.
    if (fd_ >= 0 && pid_ != ::getpid())
      Close();
    if (fd_ < 0) {
      fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      pid_ = ::getpid();
    }
    return fd_;
  }
  void Drain() {
    uint64_t v = 0;
    while (fd_ >= 0 && ::read(fd_, &v, sizeof v) > 0) {
    }
  }

private:
  void Close() {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
  pid_t pid_ = 0;
};
thread_local TCompletionEvent t_completion;

} // namespace

TSCSIDevice::TSCSIDevice() : modeBuffer_(65280) {
  if (ASPIIsInitialized()) {
    HAInquiry(0);
    ScanDevices();
  }
}

TSCSIDevice::~TSCSIDevice() { WaitEraseThread(); }

bool TSCSIDevice::ASPIInitialized() const { return ASPIIsInitialized(); }

bool TSCSIDevice::InitializeASPI(bool UseSPTI, const std::string &DllPath) {
  bool ok = false;
  try {
    ok = InitASPI(UseSPTI, DllPath);
  } catch (...) {
    ok = false;
  }
  if (ok) {
    HAInquiry(0);
    ScanDevices();
  }
  return ok;
}

void TSCSIDevice::SetSPTIAutoClose(bool Value) { SPTIAutoClose = Value; }

void TSCSIDevice::HAInquiry(uint8_t Adapter) {
  SRB_HAInquiry srb;
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Cmd = SC_HA_INQUIRY;
  srb.SRB_HaId = Adapter;
  ASPISendCommand(&srb);
  HostAdapterCount = srb.SRB_Status == SS_COMP ? srb.HA_Count : 255;
  if (HostAdapterCount == 0)
    HostAdapterCount = 7;
}

void TSCSIDevice::ScanDevices() {
  DeviceList.clear();
  const uint8_t savedHa = HaId, savedTarget = Target, savedLun = Lun;
  Lun = 0;
  if (DoDebug)
    DebugMsg(">>> " + ASPILayerName(), 1);
  const uint8_t adapters = HostAdapterCount;
  for (unsigned ha = 0; ha < adapters; ++ha) {
    SRB_HAInquiry inq;
    std::memset(&inq, 0, sizeof inq);
    inq.SRB_Cmd = SC_HA_INQUIRY;
    inq.SRB_HaId = static_cast<uint8_t>(ha);
    ASPISendCommand(&inq);
    HostAdapterCount = inq.SRB_Status == SS_COMP ? inq.HA_Count : 255;
    if (HostAdapterCount == 0)
      HostAdapterCount = 7;
    if (DoDebug) {
      std::string ident(reinterpret_cast<const char *>(inq.HA_Identifier), 16);
      ident.erase(std::find(ident.begin(), ident.end(), '\0'), ident.end());
      const auto b = ident.find_first_not_of(' ');
      const auto e = ident.find_last_not_of(' ');
      ident = b == std::string::npos ? std::string() : ident.substr(b, e - b + 1);
      std::string manager(reinterpret_cast<const char *>(inq.HA_ManagerId), 16);
      std::replace(manager.begin(), manager.end(), '\0', ' ');
      DebugMsg(">>> " + manager + " (" + ident + ")", 1);
    }
    for (uint8_t t = 0; t < 8; ++t)
      for (uint8_t l = 0; l < 8; ++l) {
        HaId = static_cast<uint8_t>(ha);
        Target = t;
        Lun = l;
        if (!Inquiry())
          continue;
        const uint8_t type = InquiryData[0];
        if (type != 5 && type != 4)
          continue;
        std::string ident(reinterpret_cast<const char *>(InquiryData + 8), 28);
        // Control characters (a NUL among them) would cut the string short.
        for (char &c : ident)
          if (static_cast<unsigned char>(c) < 32)
            c = ' ';
        std::string s = std::to_string(ha) + ":" + std::to_string(t) + ":" + std::to_string(l) + "," +
                        DriveName() + " " + ident;
        if (type == 4)
          s += " (not supported)";
        DeviceList.push_back(s);
      }
  }
  HaId = savedHa;
  Target = savedTarget;
  Lun = savedLun;
  ErrorText.clear();
}

char TSCSIDevice::DriveLetter() {
  if (ASPIEmulationActive())
    return SPTIDriveLetter(HaId, Target, Lun);
  for (char letter = 'B'; letter <= 'Z'; ++letter) {
    const std::string path = SPTIDevicePath(letter);
    if (path.empty())
      continue;
    uint8_t ha = 0, target = 0, lun = 0;
    if (SPTIQueryAddress(path, ha, target, lun) && ha == HaId && target == Target)
      return letter;
  }
  SRB_GetDiskInfo srb;
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Cmd = SC_GET_DISK_INFO;
  srb.SRB_HaId = HaId;
  srb.SRB_Target = Target;
  srb.SRB_Lun = Lun;
  ASPISendCommand(&srb);
  if (srb.SRB_Status == SS_COMP)
    return static_cast<char>('A' + srb.SRB_Int13HDriveInfo);
  return 0;
}

std::string TSCSIDevice::DriveName() {
  std::string name;
  if (!ASPIEmulationActive() && ASPIGetDeviceName(HaId, Target, Lun, name))
    return name;
  const char letter = DriveLetter();
  const std::string node = SPTIDevicePath(letter);
  if (!node.empty())
    return node;
  if (letter == 0 || letter == 127)
    return "?:";
  return std::string(1, letter) + ":";
}

void TSCSIDevice::DebugMsg(const std::string &Message, uint8_t mType) {
  if (OnDebugMessage)
    OnDebugMessage(this, Message, mType);
}

void TSCSIDevice::ExecSRB(SRB_ExecSCSICmd &srb, uint32_t timeoutMs) {
  ErrorText.clear();
  TargetBusy = false;
  std::memset(LastSense, 0, sizeof LastSense);
  LastAction = TSenseAction::Fail;
  // No transport or no device: nothing is sent and the status stays 0.
  if (!ASPIIsInitialized() || HaId == 254)
    return;

  int efd = -1;
  if (srb.SRB_Flags & SRB_EVENT_NOTIFY) {
    efd = t_completion.Fd();
    srb.SRB_PostProc = efd;
  } else {
    srb.SRB_PostProc = 0;
  }
  if (cancelled_.load()) {
    // The operation was cancelled: nothing more goes to the drive.
    srb.SRB_Status = SS_ABORTED;
    BuildErrorText(srb);
    LogCommand(srb);
    return;
  }
  if (StopAfterTimeout && timedOut_.load()) {
    // The drive left an earlier command unanswered: do not wait again.
    srb.SRB_Status = SS_ERR;
    srb.SRB_HaStat = HASTAT_TIMEOUT;
    BuildErrorText(srb);
    LogCommand(srb);
    return;
  }
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_HaId = HaId;
  srb.SRB_Target = Target;
  srb.SRB_Lun = Lun;
  srb.SRB_SenseLen = 24;
  srb.CDBByte[1] = static_cast<uint8_t>((srb.CDBByte[1] & 0x1F) | ((Lun & 7) << 5));
  const uint32_t waitMs = std::max<uint32_t>(timeoutMs, 10000);

  const uint32_t rc = ASPISendCommand(&srb);
  bool pending = rc == SS_PENDING;
  bool cancelled = false;
  if (pending && efd >= 0) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
      if (left <= 0)
        break;
      if (cancelled_.load()) {
        cancelled = true;
        break;
      }
      // Short waits: a cancel from another thread is seen within one.
      pollfd p{efd, POLLIN, 0};
      const int n = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, kCancelCheckMs)));
      if (n > 0 && (p.revents & POLLIN)) {
        uint64_t v = 0;
        (void)!::read(efd, &v, sizeof v);
        // The layer stores the status last, with release order: this load
        // makes its writes to the SRB and the data visible here.
        (void)__atomic_load_n(&srb.SRB_Status, __ATOMIC_ACQUIRE);
        pending = false;
        break;
      }
      if (n < 0 && errno != EINTR)
        break;
    }
  }
  if (pending) {
    // Never completed or cancelled: abort it and report a command time-out
    // or the cancel.
    SRB_Abort ab;
    std::memset(&ab, 0, sizeof ab);
    ab.SRB_Cmd = SC_ABORT_SRB;
    ab.SRB_HaId = HaId;
    ab.SRB_ToAbort = &srb;
    ASPISendCommand(&ab);
    if (ab.SRB_Status == SS_ABORT_FAIL && efd >= 0) {
      // The layer is still executing it and will write into the request and
      // its buffer: both must outlive that, so wait for its completion.
      pollfd p{efd, POLLIN, 0};
      while (::poll(&p, 1, 1000) <= 0 || !(p.revents & POLLIN))
        ;
    }
    if (cancelled) {
      srb.SRB_Status = SS_ABORTED;
    } else {
      srb.SRB_Status = SS_ERR;
      srb.SRB_HaStat = HASTAT_TIMEOUT;
      timedOut_ = true;
    }
  }
  if (efd >= 0)
    t_completion.Drain();
  if (srb.SRB_Status != SS_COMP && srb.SRB_Status != SS_PENDING)
    BuildErrorText(srb);
  LastAction = srb.SRB_Status == SS_PENDING
                   ? TSenseAction::GoOn
                   : CommandAction(srb.SRB_Status, srb.SRB_HaStat, srb.SRB_TargStat, srb.SenseArea,
                                   sizeof srb.SenseArea);
  LogCommand(srb);
  if (reinterpret_cast<uintptr_t>(srb.SRB_BufPointer) % 4 != 0)
    DebugMsg("aaaa" + std::to_string(reinterpret_cast<uintptr_t>(srb.SRB_BufPointer)), 0);
}

void TSCSIDevice::BuildErrorText(const SRB_ExecSCSICmd &srb) {
  ErrorText = CommandErrorText(srb.SRB_Status, srb.SRB_HaStat, srb.SRB_TargStat, srb.SenseArea,
                               sizeof srb.SenseArea);
  TargetBusy = srb.SRB_Status == SS_ERR && srb.SRB_HaStat == 0 && srb.SRB_TargStat == 0x08;
  std::memcpy(LastSense, srb.SenseArea, sizeof LastSense);
}

void TSCSIDevice::LogCommand(const SRB_ExecSCSICmd &srb) {
  if (errorLogLatch_)
    return;
  errorLogLatch_ = true;
  const bool failed = srb.SRB_Status != SS_COMP && srb.SRB_Status != SS_PENDING;
  const uint8_t op = srb.CDBByte[0];
  if (!failed || QuietOpcode(op) || (srb.SenseArea[12] == 0x04 && srb.SenseArea[13] == 0x08))
    return;
  char buf[64];
  std::string line = CommandNames(op) + " (" + Hex2(op) + ") {" + Hex2(srb.SRB_Flags) + "|" +
                     Hex2(srb.SRB_CDBLen) + "} - " + std::to_string(srb.SRB_HaId) + ":";
  std::snprintf(buf, sizeof buf, "%X", srb.SRB_Target);
  line += buf;
  line += ":" + std::to_string(srb.SRB_Lun) + " <" + Hex2(srb.SRB_Status) + ">";
  std::snprintf(buf, sizeof buf, " [%05X] ", srb.SRB_BufLen);
  line += buf;
  for (int i = 1; i < 16; ++i)
    line += Hex2(srb.CDBByte[i]) + " ";
  line += " |";
  const uint8_t *s = srb.SenseArea;
  line += "= " + Hex2(srb.SRB_HaStat) + " " + Hex2(srb.SRB_TargStat) + " " + Hex2(s[0]) + " " +
          Hex2(s[2]) + " ASC:" + Hex2(s[12]) + ",ASQ:" + Hex2(s[13]) + " " + ErrorText;
  DebugMsg("<<< " + line, 0);
}

// Builds and sends one command; true when it completed.
bool TSCSIDevice::Exec(uint8_t cdbLen, const uint8_t *cdb, uint8_t flags, void *buf, uint32_t len,
                       uint32_t timeoutMs) {
  SRB_ExecSCSICmd srb;
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Flags = flags;
  srb.SRB_BufLen = len;
  srb.SRB_BufPointer = static_cast<uint8_t *>(buf);
  srb.SRB_CDBLen = cdbLen;
  std::memcpy(srb.CDBByte, cdb, cdbLen);
  ExecSRB(srb, timeoutMs);
  // A medium change is reported once (UNIT ATTENTION 06/28/00) to whatever
  // command comes next; the command itself was not run, so it is sent again.
  if (srb.SRB_Status == SS_ERR && srb.SRB_TargStat == 0x02 && (srb.SenseArea[2] & 0x0F) == 0x06 &&
      srb.SenseArea[12] == 0x28) {
    srb.SRB_Status = 0;
    srb.SRB_HaStat = srb.SRB_TargStat = 0;
    ExecSRB(srb, timeoutMs);
  }
  return srb.SRB_Status == SS_COMP;
}
