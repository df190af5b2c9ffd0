#include "ovSPTI.h"

#include "wnaspi32.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

std::atomic<bool> SPTIAutoClose{false};

namespace {

// 16 characters: the manager id of the emulated adapters.
constexpr char kManagerId[] = "OVASPI32 SG_IO  ";
constexpr unsigned kPassThroughTimeoutMs = 120000;

struct TSPTIState {
  std::mutex M;
  TSPTIDrive Drives[kSPTISlots];
  uint8_t AdapterCount = 0;
  uint8_t NoAddressCounter = 0;
  bool Scanned = false;
};

TSPTIState &State() {
  static TSPTIState s;
  return s;
}

void ClearTable(TSPTIState &s) {
  for (TSPTIDrive &d : s.Drives) {
    if (d.fd >= 0)
      ::close(d.fd);
    d = TSPTIDrive{};
  }
  s.AdapterCount = 0;
  s.NoAddressCounter = 0;
}

// Read-write first, read-only when that is refused.
int OpenDrive(const std::string &path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  return fd;
}

// One command through SG_IO. dir: SG_DXFER_*. Returns false when the ioctl
// itself failed; status, host status and sense are returned on success.
bool PassThrough(int fd, const uint8_t *cdb, uint8_t cdbLen, int dir, void *buf, uint32_t len,
                 uint8_t *sense, uint8_t senseLen, uint8_t &scsiStatus, uint16_t &hostStatus) {
  sg_io_hdr_t io;
  std::memset(&io, 0, sizeof io);
  io.interface_id = 'S';
  io.cmd_len = cdbLen;
  io.cmdp = const_cast<uint8_t *>(cdb);
  io.dxfer_direction = len ? dir : SG_DXFER_NONE;
  io.dxfer_len = len;
  io.dxferp = len ? buf : nullptr;
  io.mx_sb_len = senseLen;
  io.sbp = sense;
  io.timeout = kPassThroughTimeoutMs;
  int rc;
  do
    rc = ::ioctl(fd, SG_IO, &io);
  while (rc < 0 && errno == EINTR);
  if (rc < 0)
    return false;
  scsiStatus = io.status;
  hostStatus = io.host_status;
  return true;
}

// The SCSI address of an open drive: SG_GET_SCSI_ID (sg nodes), else
// SCSI_IOCTL_GET_IDLUN (sr nodes as well).
bool GetAddress(int fd, int &host, uint8_t &target, uint8_t &lun) {
  struct sg_scsi_id id;
  std::memset(&id, 0, sizeof id);
  if (::ioctl(fd, SG_GET_SCSI_ID, &id) == 0) {
    host = id.host_no;
    target = static_cast<uint8_t>(id.scsi_id);
    lun = static_cast<uint8_t>(id.lun);
    return true;
  }
  struct {
    int dev_id;
    int host_unique_id;
  } idlun{};
  if (::ioctl(fd, SCSI_IOCTL_GET_IDLUN, &idlun) == 0) {
    host = (idlun.dev_id >> 24) & 0xff;
    target = static_cast<uint8_t>(idlun.dev_id & 0xff);
    lun = static_cast<uint8_t>((idlun.dev_id >> 8) & 0xff);
    return true;
  }
  return false;
}

// Probes one CD/DVD node: INQUIRY and the SCSI address.
bool Probe(TSPTIState &s, int slot, const std::string &path) {
  int fd = OpenDrive(path);
  if (fd < 0)
    return false;
  uint8_t cdb[6] = {0x12, 0, 0, 0, 0x60, 0};
  uint8_t buf[1025] = {};
  uint8_t sense[32] = {};
  uint8_t st = 0;
  uint16_t hs = 0;
  if (!PassThrough(fd, cdb, 6, SG_DXFER_FROM_DEV, buf, 96, sense, sizeof sense, st, hs)) {
    ::close(fd);
    return false;
  }
  TSPTIDrive &d = s.Drives[slot];
  std::memcpy(d.inqData, buf, sizeof d.inqData);
  int host = -1;
  uint8_t target = 0, lun = 0;
  if (GetAddress(fd, host, target, lun)) {
    d.host = host;
    d.tgt = target;
    d.lun = lun;
  } else {
    d.host = -1;
    d.tgt = s.NoAddressCounter++;
    d.lun = kSPTINoAddressLun;
  }
  d.present = true;
  d.driveNo = static_cast<uint8_t>(slot);
  d.fd = -1;
  ::close(fd);
  return true;
}

bool IsBlockDevice(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

TSPTIDrive *FindDrive(TSPTIState &s, uint8_t ha, uint8_t target, uint8_t lun) {
  for (TSPTIDrive &d : s.Drives)
    if (d.present && d.ha == ha && d.tgt == target && d.lun == lun)
      return &d;
  return nullptr;
}

} // namespace

uint8_t AssignSPTIAdapters(TSPTIDrive *drives, int count) {
  std::vector<int> hosts;
  for (int i = 0; i < count; ++i)
    if (drives[i].present && drives[i].host >= 0)
      hosts.push_back(drives[i].host);
  std::sort(hosts.begin(), hosts.end());
  hosts.erase(std::unique(hosts.begin(), hosts.end()), hosts.end());
  const auto adapters = static_cast<uint8_t>(std::min<size_t>(hosts.size(), 253));
  bool noAddress = false;
  for (int i = 0; i < count; ++i) {
    TSPTIDrive &d = drives[i];
    if (!d.present)
      continue;
    if (d.host >= 0) {
      const auto at = std::lower_bound(hosts.begin(), hosts.end(), d.host) - hosts.begin();
      d.ha = static_cast<uint8_t>(std::min<long>(at, 253));
    } else {
      d.ha = adapters;
      d.lun = 0;
      noAddress = true;
    }
  }
  return static_cast<uint8_t>(adapters + (noAddress ? 1 : 0));
}

bool SPTIQueryAddress(const std::string &path, uint8_t &ha, uint8_t &target, uint8_t &lun) {
  const int fd = OpenDrive(path);
  if (fd < 0)
    return false;
  int host = -1;
  const bool ok = GetAddress(fd, host, target, lun);
  ha = static_cast<uint8_t>(host);
  ::close(fd);
  return ok;
}

std::string SPTIDevicePath(char letter) {
  if (letter < 'C' || letter > 'Z')
    return {};
  return "/dev/sr" + std::to_string(letter - 'C');
}

uint8_t InitSPTI() {
  TSPTIState &s = State();
  std::lock_guard<std::mutex> g(s.M);
  if (s.Scanned)
    return 0;
  ClearTable(s);
  uint8_t found = 0;
  for (int slot = 'C' - 'A'; slot < kSPTISlots; ++slot) {
    const std::string path = SPTIDevicePath(static_cast<char>('A' + slot));
    if (IsBlockDevice(path)) {
      if (Probe(s, slot, path))
        ++found;
    } else {
      s.Drives[slot].tgt = kSPTINotADriveTarget;
    }
  }
  s.AdapterCount = AssignSPTIAdapters(s.Drives, kSPTISlots);
  s.Scanned = true;
  return found;
}

void DoneSPTI() {
  TSPTIState &s = State();
  std::lock_guard<std::mutex> g(s.M);
  ClearTable(s);
  s.Scanned = false;
}

uint32_t SPTIGetSupportInfo() {
  TSPTIState &s = State();
  std::lock_guard<std::mutex> g(s.M);
  if (s.AdapterCount)
    return (static_cast<uint32_t>(SS_COMP) << 8) | s.AdapterCount;
  return static_cast<uint32_t>(SS_NO_ADAPTERS) << 8;
}

char SPTIDriveLetter(uint8_t ha, uint8_t target, uint8_t lun) {
  TSPTIState &s = State();
  std::lock_guard<std::mutex> g(s.M);
  TSPTIDrive *d = FindDrive(s, ha, target, lun);
  return d ? static_cast<char>('A' + d->driveNo) : static_cast<char>(127);
}

TSPTIDrive SPTISlot(char letter) {
  TSPTIState &s = State();
  std::lock_guard<std::mutex> g(s.M);
  if (letter < 'A' || letter > 'Z')
    return {};
  return s.Drives[letter - 'A'];
}

static uint32_t HAInquiry(TSPTIState &s, SRB_HAInquiry &srb) {
  srb.HA_Count = s.AdapterCount;
  if (srb.SRB_HaId >= s.AdapterCount) {
    srb.SRB_Status = SS_INVALID_HA;
    return srb.SRB_Status;
  }
  srb.HA_SCSI_ID = 7;
  std::memcpy(srb.HA_ManagerId, kManagerId, 16);
  char ident[7];
  std::snprintf(ident, sizeof ident, "SPTI %c", '0' + srb.SRB_HaId);
  std::memcpy(srb.HA_Identifier, ident, 6);
  std::memset(srb.HA_Unique, 0, 13);
  srb.HA_Unique[0] = 7;    // buffer alignment mask
  srb.HA_Unique[3] = 8;    // maximum targets
  srb.HA_Unique[6] = 255;  // maximum transfer length 00FF0000h
  srb.SRB_Status = SS_COMP;
  return srb.SRB_Status;
}

static uint32_t Execute(TSPTIState &s, std::unique_lock<std::mutex> &lock, SRB_ExecSCSICmd &srb) {
  TSPTIDrive *d = FindDrive(s, srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun);
  if (!d) {
    srb.SRB_Status = SS_NO_DEVICE;
    return srb.SRB_Status;
  }
  // INQUIRY is answered from the data captured during the scan.
  if (srb.CDBByte[0] == 0x12) {
    if (srb.SRB_HaId < s.AdapterCount) {
      if (srb.SRB_BufPointer)
        std::memcpy(srb.SRB_BufPointer, d->inqData, std::min<uint32_t>(36, srb.SRB_BufLen));
      srb.SRB_Status = SS_COMP;
    } else {
      srb.SRB_Status = SS_INVALID_HA;
    }
    return srb.SRB_Status;
  }
  if (d->fd < 0)
    d->fd = OpenDrive(SPTIDevicePath(static_cast<char>('A' + d->driveNo)));
  const int fd = d->fd;
  const int dir = (srb.SRB_Flags & SRB_DIR_IN)    ? SG_DXFER_FROM_DEV
                  : (srb.SRB_Flags & SRB_DIR_OUT) ? SG_DXFER_TO_DEV
                                                  : SG_DXFER_NONE;
  uint8_t sense[32] = {};
  uint8_t scsiStatus = 0;
  uint16_t hostStatus = 0;
  const uint8_t senseLen = std::min<uint8_t>(srb.SRB_SenseLen, sizeof sense);
  // The table lock is not held while the drive works on the command.
  lock.unlock();
  const bool ok = fd >= 0 && PassThrough(fd, srb.CDBByte, std::min<uint8_t>(srb.SRB_CDBLen, 16), dir,
                                         srb.SRB_BufPointer, srb.SRB_BufLen, sense, sizeof sense,
                                         scsiStatus, hostStatus);
  lock.lock();
  if (ok && scsiStatus == 0 && hostStatus == 0) {
    srb.SRB_Status = SS_COMP;
  } else {
    srb.SRB_Status = SS_ERR;
    std::memcpy(srb.SenseArea, sense, senseLen);
    srb.SRB_TargStat = scsiStatus;
    // A pass-through that timed out is reported like an ASPI time-out.
    if (ok && scsiStatus == 0 && hostStatus == 0x03)
      srb.SRB_HaStat = HASTAT_TIMEOUT;
  }
  if (SPTIAutoClose.load()) {
    // The table may have been rebuilt meanwhile: look the drive up again.
    TSPTIDrive *again = FindDrive(s, srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun);
    if (again && again->fd >= 0) {
      ::close(again->fd);
      again->fd = -1;
    }
  }
  return srb.SRB_Status;
}

uint32_t SPTISendCommand(void *p) {
  if (!p)
    return SS_ERR;
  TSPTIState &s = State();
  std::unique_lock<std::mutex> lock(s.M);
  auto *hdr = static_cast<SRB_Header *>(p);
  switch (hdr->SRB_Cmd) {
  case SC_HA_INQUIRY:
    return HAInquiry(s, *static_cast<SRB_HAInquiry *>(p));
  case SC_GET_DEV_TYPE: {
    auto &srb = *static_cast<SRB_GDEVBlock *>(p);
    if (FindDrive(s, srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun)) {
      srb.SRB_Status = SS_COMP;
      srb.SRB_DeviceType = 5;
    } else {
      srb.SRB_Status = SS_NO_DEVICE;
      srb.SRB_DeviceType = 31;
    }
    return srb.SRB_Status;
  }
  case SC_EXEC_SCSI_CMD:
    return Execute(s, lock, *static_cast<SRB_ExecSCSICmd *>(p));
  case SC_GET_DISK_INFO:
    hdr->SRB_Status = SS_PENDING;
    return SS_ERR;
  default:
    hdr->SRB_Status = SS_ERR;
    return SS_ERR;
  }
}
