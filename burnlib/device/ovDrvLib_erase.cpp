// Erasing rewritable media: EraseDisc starts it, TEraseThread follows it.
#include "ovDrvLib.h"

#include "ovBytes.h"
#include "ovSync.h"

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// FORMAT UNIT parameter lists: header with FOV and immediate, one descriptor.
const uint8_t kFormatDVDRAM[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x22, 0x21, 0x20, 0x00, 0x00, 0x08, 0x00};
const uint8_t kFormatDVDPlusRW[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x23, 0x05, 0x40, 0x98, 0x00, 0x00, 0x00};

constexpr int kZeroBlock = 65536;

uint16_t EraseSecondsFor(uint8_t code, uint8_t quick) {
  const bool cd = code < 4;
  if (quick != 0 && quick != 1)
    return cd ? 4500 : 8880;
  if (cd)
    return quick ? 150 : 4500;
  if (code == dtDVDRW)
    return quick ? 180 : 4440;
  if (IsBDRE(code))  // certification at 2x: about 47 minutes a layer
    return quick ? 600 : (code == dtBDREDL ? 7200 : 3600);
  return quick ? 600 : 4440;
}

// Writes `count` zero blocks of 32 sectors from LBA 0 on; returns how many
// were accepted (stops at the first refusal).
int WriteZeros(TSCSIDevice &dev, int count) {
  std::vector<uint8_t> zeros(kZeroBlock, 0);
  int done = 0;
  for (int i = 0; i < count; ++i) {
    if (!dev.Write10(static_cast<uint32_t>(i) * 32, 32, 0x50, kZeroBlock, zeros.data()))
      break;
    ++done;
  }
  return done;
}

std::string Reason(const TSCSIDevice &dev, const char *fallback) {
  return dev.ErrorText.empty() ? std::string(fallback) : dev.ErrorText;
}

} // namespace

bool TSCSIDevice::FormatBDRE(uint8_t Type, uint8_t Subtype, bool Immediate) {
  uint32_t blocks = 0, parameter = 0;
  if (!ReadFormatDescriptor(Type, blocks, parameter))
    return false;
  // Header (FOV, immediate), one format descriptor.
  uint8_t list[12] = {0x00, static_cast<uint8_t>(Immediate ? 0x82 : 0x80), 0x00, 0x08};
  ov::PutBE32(list + 4, blocks);
  ov::PutBE32(list + 8, parameter);
  list[8] = static_cast<uint8_t>(Type << 2 | (Subtype & 3));
  return FormatUnit(0x11, list, sizeof list);
}

int TSCSIDevice::EraseProgress() const {
  if (!erasing_.load() || !eraseThread_)
    return 0;
  return eraseThread_->Progress.load();
}

void TSCSIDevice::WaitEraseThread() {
  if (!eraseThread_)
    return;
  if (ov::IsMainThread())
    while (!eraseThread_->Finished())
      ov::CheckSynchronize(20);
  eraseThread_->Join();
  eraseThread_.reset();
}

void TSCSIDevice::RestoreDrive() {
  SetWriteParameters(false, false, 1, false);
  SetCDSpeed(CapMaxReadSpeed, 2);
  RezeroUnit();
  AllowMediumRemoval(true);
  LoadEject(false);
  RezeroUnit();
  TestUnitReady(5000);
}

bool TSCSIDevice::EraseDisc(uint8_t Quick) {
  if (erasing_.load())
    return false;
  WaitEraseThread();
  TestUnitReady(5000);
  LoadEject(false);
  DiscTypeCode = GetDiscType();
  eraseQuick_ = Quick;
  const uint8_t code = DiscTypeCode;
  if (!TestUnitReady(5000) && !WaitUnitReady(30000, 5000))
    return false;
  if (code != dtDVDRAM) {
    SetCDSpeed(ReadSpeed, WriteSpeed());
    SetWriteParameters(false, false, code, false);
  }
  const uint16_t S = GetCurrentWriteSpeed();
  if (!TestUnitReady(5000) && !WaitUnitReady(30000, 5000))
    return false;
  std::string speed;
  if ((code >= dtDVDRAM && code <= dtDVDPlusRW) || IsBD(code))
    speed = ov::FormatFloat("0.0X", S / SpeedUnit(code)) + ov::FormatFloat("(#,##0 KB/s)", S);
  else
    speed = ov::FormatFloat("0X", S / 176.4) + ov::FormatFloat("(#,##0 KB/s)", S);
  char line[160];
  std::snprintf(line, sizeof line, "STARTING ERASE PROCESS ON %s AT %s", DiscTypeName(code),
                speed.c_str());
  DebugMsg(std::string(">>> ") + line, 1);

  EraseErrorText.clear();
  // The tray stays locked while the erase runs; every ending unlocks it.
  AllowMediumRemoval(false);
  bool started = false;
  if (IsBDRE(code)) {
    // A quick format without spare areas, or a full one with them that
    // certifies every cluster.
    started = Quick == 1 ? FormatBDRE(0x31, 0, true) : FormatBDRE(0x30, 2, true);
  } else if (code != dtDVDRAM && code != dtDVDPlusRW) {
    SRB_ExecSCSICmd srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Flags = SRB_EVENT_NOTIFY;
    srb.SRB_CDBLen = 12;
    srb.CDBByte[0] = 0xA1;
    srb.CDBByte[1] = static_cast<uint8_t>(Quick + 0x10);
    ExecSRB(srb, 4800000);
    started = srb.SRB_Status == SS_COMP || srb.SRB_Status == SS_PENDING;
  } else if (code == dtDVDPlusRW) {
    started = FormatUnit(0x11, kFormatDVDPlusRW, sizeof kFormatDVDPlusRW);
    if (!started) {
      RezeroUnit();
      ov::Sleep(1000);
      started = FormatUnit(0x11, kFormatDVDPlusRW, sizeof kFormatDVDPlusRW);
    }
  } else if (Quick == 1) {
    started = WriteZeros(*this, 11) == 11;
    if (started)
      SynchronizeCache(30000, false);
  } else {
    started = FormatUnit(0x11, kFormatDVDRAM, sizeof kFormatDVDRAM);
  }
  if (!started) {
    EraseErrorText = Reason(*this, "THE DRIVE REFUSED THE ERASE");
    const std::string why = ErrorText;
    AllowMediumRemoval(true);
    ErrorText = why;
    erasing_ = false;
    if (OnEraseDone)
      OnEraseDone(this, true);
    return false;
  }
  eraseThread_ = std::make_unique<TEraseThread>(*this, code, EraseSecondsFor(code, Quick), Quick);
  erasing_ = true;
  eraseThread_->Start();
  return true;
}

void TSCSIDevice::AbortErase() {
  if (eraseThread_)
    eraseThread_->Abort();
}

TEraseThread::TEraseThread(TSCSIDevice &device, uint8_t kind, uint16_t seconds, uint8_t quick)
    : EraseKind(kind), EraseSeconds(seconds), dev_(device), quick_(quick) {}

TEraseThread::~TEraseThread() { Join(); }

void TEraseThread::Start() { thread_ = std::thread([this] { Execute(); }); }

void TEraseThread::Join() {
  if (thread_.joinable())
    thread_.join();
}

void TEraseThread::Step(double elapsed, const uint8_t *Sense, size_t SenseLength) {
  const int reported = Sense ? SenseProgress(Sense, SenseLength) : SenseProgress(dev_.LastSense, sizeof dev_.LastSense);
  if (reported >= 0) {
    driveProgress_ = true;
    const int32_t pct = static_cast<int32_t>(reported * 100 / 65536);
    if (pct > Progress.load())
      Progress = pct;
    return;
  }
  if (driveProgress_)
    return;  // between two reports the drive's last figure stands
  // Rounded to the nearest integer, halves to even.
  const double pct = std::nearbyint(elapsed / EraseSeconds * 100.0);
  Progress = static_cast<int32_t>(std::min(pct, 100.0));
}

void TEraseThread::Pause(uint32_t ms) {
  constexpr uint32_t kStep = 100;
  while (ms > 0 && !abort_.load()) {
    const uint32_t step = std::min(ms, kStep);
    ov::Sleep(step);
    ms -= step;
  }
}

bool TEraseThread::Failed() {
  if (!failure_.empty())
    return true;
  if (abort_.load())
    failure_ = "OPERATION ABORTED BY USER";
  else if (dev_.MediumAbsent())
    failure_ = Reason(dev_, "MEDIUM NOT PRESENT");
  else if ((dev_.LastAction == TSenseAction::Fail || dev_.LastAction == TSenseAction::Resend) &&
           !DecodeSense(dev_.LastSense, sizeof dev_.LastSense).Known)
    failure_ = Reason(dev_, "THE DRIVE DOES NOT ANSWER");  // time-out, no device: no sense data
  return !failure_.empty();
}

bool TEraseThread::ZeroStart(int count) {
  if (WriteZeros(dev_, count) == count)
    return true;
  failure_ = "WRITE REFUSED: " + Reason(dev_, "UNKNOWN");
  return false;
}

void TEraseThread::Execute() {
  TSCSIDevice &d = dev_;
  const double limit = EraseSeconds;
  double E = 0;
  Progress = 0;
  // Each poll ends the erase when the medium is gone, the drive stops
  // answering or the user aborts, instead of polling to the time limit.
  const auto pollReady = [&](double inc) {
    do {
      Step(E);
      if (!d.TestUnitReady(5000) && !Failed())
        Pause(2000);
      E += inc;
    } while (!Failed() && d.NotReady() && E <= limit);
  };

  if (EraseKind == dtDVDRWRestricted || EraseKind == dtDVDRWSequential) {
    E = 0;
    do {
      Step(E);
      if (!d.TestUnitReady(5000) && !Failed())
        Pause(2000);
      E += 1;
      Step(E);
    } while (!Failed() && d.NotReady() && E <= limit);
    if (!Failed()) {
      Pause(5000);
      pollReady(1);
    }
  } else if (EraseKind == dtDVDPlusRW) {
    E = 0;
    do {
      Pause(2000);
      d.ReadDiscInformation();
      E += 2;
      Step(E);
    } while (!Failed() && d.NotReady() && E <= limit);
    if (!Failed() && ZeroStart(quick_ == 1 ? 65 : 71001)) {
      Pause(300);
      Step(E);
      d.SynchronizeCache(30000, false);
      d.CloseTrackSession(false, 3, 0, 0, 0);
      E += 1;
    }
  } else if (IsBDRE(EraseKind)) {
    // Polled twice a second while the drive reports its progress. A quick
    // format leaves the old data: the volume descriptors are overwritten.
    E = 0;
    do {
      Pause(driveProgress_ ? 500 : 2000);
      d.ReadDiscInformation();
      E += driveProgress_ ? 0.5 : 2;
      Step(E);
    } while (!Failed() && d.NotReady() && E <= limit);
    if (!Failed() && quick_ == 1 && ZeroStart(65))
      d.SynchronizeCache(30000, false);
  } else {
    if (EraseKind == dtDVDRAM && quick_ == 1 && ZeroStart(65))
      d.SynchronizeCache(30000, false);
    E = 0;
  }

  if (QuirkLongErase && !Failed()) {
    pollReady(2);
    d.ReadDiscInformation();
    Pause(5000);
  }

  if (!Failed() && (!d.TestUnitReady(5000) || !d.ReadDiscInformation()) && !Failed()) {
    if (EraseKind != dtDVDRAM) {
      // A drive that reports its progress is polled twice a second, so
      // the bar follows it; otherwise every five seconds.
      do {
        Step(E);
        d.ReadDiscInformation();
        Step(E);
        const double every = driveProgress_ ? 0.5 : 5;
        if (d.NotReady())
          Pause(static_cast<uint32_t>(every * 1000));
        E += every;
      } while (!Failed() && d.NotReady() && E <= limit);
    }
    if (!Failed())
      pollReady(2);
    alignas(8) uint8_t sense[40];
    while (!Failed()) {
      Step(E);
      std::memset(sense, 0, sizeof sense);
      d.RequestSense(sense, sizeof sense);
      Step(E, sense, sizeof sense);
      const uint8_t asc = PolledSenseASC(sense, sizeof sense);
      if (asc == 0x3A || !d.ErrorText.empty()) {
        // The drive reports the medium gone, or does not answer at all.
        failure_ = asc == 0x3A ? "MEDIUM NOT PRESENT" : d.ErrorText;
        break;
      }
      Pause(2000);
      if (asc == 0)
        break;
      E += 2;
      if (E > limit)
        break;
    }
  }

  const bool withError = Failed();
  if (ASPIEmulationActive())
    ReinitASPI();
  if (!withError)
    Progress = 100;
  d.RestoreDrive();
  d.EraseErrorText = withError ? failure_ : std::string();
  if (withError)
    d.DebugMsg(">>> ERASE FAILED: " + failure_, 0);
  d.erasing_ = false;
  ov::Synchronize([&d, withError] {
    if (d.OnEraseDone)
      d.OnEraseDone(&d, withError);
  });
  finished_ = true;
}
