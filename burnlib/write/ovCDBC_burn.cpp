// Burning to a disc: BurnCompilation and BurnImageFile. Both check the
// medium in the caller's thread, fill the cache and start the disc writer.
#include "ovCDBC.h"

#include "ovCache.h"
#include "ovDiscWrite.h"
#include "ovStreamEx.h"
#include "ovSync.h"
#include "ovWrite.h"

#include <cstdio>

namespace {

// FORMAT UNIT lists sent to a DVD-RW before a burn, and the fallback.
constexpr uint8_t kFormatDVDRWSequential[12] = {0x00, 0xA2, 0x00, 0x08, 0x00, 0x00, 0x03, 0xE8, 0x54, 0x00, 0x00, 0x10};
constexpr uint8_t kFormatDVDRWRestricted[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x4C, 0x00, 0x00, 0x10};
constexpr uint8_t kFormatDVDRWFallback[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x54, 0x00, 0x00, 0x10};

std::string SizeText(int64_t sectors) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%lld SECTORS (%.1f MB)", static_cast<long long>(sectors),
                static_cast<double>(sectors) * 2048.0 / 1048576.0);
  return buf;
}

} // namespace

// DVD-RW takes no simulation bit from the write parameters (the page of
// these media always clears it); DVD+R, DVD+RW and DVD-RAM have none.
bool TOrvBurner::TestWritePossible(uint8_t DiscType) const {
  return (DiscType == dtCDR || DiscType == dtCDRW || DiscType == dtDVDR) && HasCapability(capTestWrite);
}

namespace {

// Why this medium cannot take the burn; empty when it can. Image is true
// for an image file, which is burned from sector 0.
std::string MediumRefusal(TOrvBurner &b, uint8_t code, bool Image) {
  if (code == dtUnknown || b.MediumAbsent())
    return "NO DISC IN THE DRIVE";
  if (code == dtCDROM || code == dtDVDROM || code == dtDDCDROM || code == dtBDROM)
    return std::string("THE ") + DiscTypeName(code) + " IS NOT WRITABLE";
  if (b.TestWrite && !b.TestWritePossible(code))
    return std::string("TEST WRITE NOT POSSIBLE ON ") + DiscTypeName(code) + " IN THIS DRIVE";
  if (!TSCSIDevice::IsOverwritable(code)) {
    const int status = b.DiscStatus();
    if (status == 2 || status == 3)
      return "THE DISC IS CLOSED: NOTHING CAN BE ADDED TO IT";
    if (Image && status != 0)
      return "AN IMAGE FILE IS BURNED FROM SECTOR 0: THE DISC MUST BE BLANK";
  }
  return std::string();
}

// The text refusing a burn of Sectors from Start that does not fit on the
// medium; empty when it fits.
std::string SpaceRefusal(TOrvBurner &b, uint8_t code, int64_t Start, int64_t Sectors, const char *What) {
  int64_t free;
  if (TSCSIDevice::IsOverwritable(code))
    free = static_cast<int64_t>(b.DiscCapacity()) - Start;
  else
    free = b.FreeBlocks();
  if (free < 0)
    free = 0;
  if (Sectors <= free)
    return std::string();
  return std::string(What) + " NEEDS " + SizeText(Sectors) + " BUT THE DISC HAS " + SizeText(free) + " FREE";
}

// A sequential disc whose last session holds data but was never closed: an
// earlier write ended early. A new session cannot follow it.
bool LastSessionIncomplete(TOrvBurner &b) {
  if (!b.ReadDiscInformation())
    return false;
  const uint8_t state = b.DiscInformation[2];
  return (state & 3) == 1 && ((state >> 2) & 3) == 1;
}

} // namespace

int64_t SectorsSent(uint8_t DiscType, int64_t Sectors) {
  // A compilation on a DVD goes out in whole 32-sector writes.
  if (DiscType == dtCDR || DiscType == dtCDRW)
    return Sectors;
  return (Sectors + 31) / 32 * 32;
}

// The checks a compilation burn makes before anything is changed on the disc,
// shared by the burn and by callers that ask before they start it. Lays the
// session out on TargetDir (the header too when BuildIt); FormatFirst tells
// whether a DVD-RW is to be formatted once every check has passed.
std::string TOrvBurner::CompilationRefusal(uint8_t code, TDEntry *TargetDir, bool BuildIt, bool &FormatFirst) {
  if (std::string why = MediumRefusal(*this, code, false); !why.empty())
    return why;
  const bool sequential = !TSCSIDevice::IsOverwritable(code);
  if (sequential && LastSessionIncomplete(*this))
    return kSessionIncompleteText;
  // A blank sequential DVD-RW is quick-formatted, a restricted-overwrite one
  // grown; an appendable sequential one takes an incremental session as a
  // DVD-R does (its quick format would erase it).
  FormatFirst = code == dtDVDRWRestricted || (code == dtDVDRWSequential && DiscStatus() == 0);
  QueryNextWritableAddress = true;
  NextWritableAddressKnown = false;
  PrepareLayout(false, TargetDir);
  const bool built = !BuildIt || BuildHeader(false, TargetDir);
  QueryNextWritableAddress = false;
  if (!built)
    return "CAN'T BUILD THE IMAGE HEADER";
  if (sequential && !NextWritableAddressKnown)
    return kNoWritableAddressText;
  return SpaceRefusal(*this, code, SessionStart, SectorsSent(code, SessionSectors()), "THE COMPILATION");
}

std::string TOrvBurner::BurnRefusal(TDEntry *TargetDir) {
  const uint8_t code = GetDiscType();
  DiscTypeCode = code;
  bool formatFirst = false;
  return CompilationRefusal(code, TargetDir, false, formatFirst);
}

bool TOrvBurner::BurnCompilation() {
  if (!BeginWrite())
    return false;
  VerifyText.clear();
  ClearTimedOut();
  ActiveBurner.store(this);
  uint8_t code = GetDiscType();
  DiscTypeCode = code;
  bool formatFirst = false;
  if (std::string why = CompilationRefusal(code, LastTargetDir, true, formatFirst); !why.empty())
    return FailBeforeWrite(why);
  const uint8_t *formatList = nullptr;
  if (formatFirst)
    formatList = code == dtDVDRWRestricted ? kFormatDVDRWRestricted : kFormatDVDRWSequential;

  if (formatList) {
    if (!FormatUnit(0x11, formatList, 12))
      FormatUnit(0x11, kFormatDVDRWFallback, 12);
    if (!WaitDriveSettled(*this, 5000, DiscWriteLimits.FormatWaitMs, false))
      return FailBeforeWrite(kNotRespondingText);
    code = GetDiscType();
    DiscTypeCode = code;
  }
  const int32_t blockSize = (code == dtCDR || code == dtCDRW) ? 55296 : 65536;

  if (!StartCacheAndPrime(blockSize, std::string()))
    return false;
  DiscWriterFactory = MakeDiscWriter;
  if (!StartWriteThread(false)) {
    writeJobs_->Cache->RequestStop();
    return FailBeforeWrite("WRITER ERROR [THE WRITE THREAD DID NOT START]");
  }
  return true;
}

bool TOrvBurner::BurnImageFile(const std::string &FileName) {
  if (!BeginWrite())
    return false;
  VerifyText.clear();
  ClearTimedOut();
  ActiveBurner.store(this);
  const uint8_t code = GetDiscType();
  DiscTypeCode = code;
  const int32_t blockSize = (code == dtCDR || code == dtCDRW) ? 55296 : 65536;

  int64_t size = 0;
  try {
    TFileStreamEx f(FileName, TFileStreamEx::fmOpenRead | TFileStreamEx::fmShareDenyNone);
    size = f.GetSize();
  } catch (const EFOpenError &) {
    return FailBeforeWrite("CAN'T OPEN FILE \"" + FileName + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
  }
  // Every image is a plain sequence of 2048-byte sectors, whatever its name;
  // a partial last sector is sent whole, padded with zeros.
  SectorsToWrite = (size + 2047) / 2048;
  SessionStart = 0;
  SessionTrack = 0;

  if (std::string why = MediumRefusal(*this, code, true); !why.empty())
    return FailBeforeWrite(why);
  if (std::string why = SpaceRefusal(*this, code, 0, SessionSectors(), "THE IMAGE"); !why.empty())
    return FailBeforeWrite(why);

  if (!StartCacheAndPrime(blockSize, FileName))
    return false;
  DiscWriterFactory = MakeImageDiscWriter;
  if (!StartWriteThread(false)) {
    writeJobs_->Cache->RequestStop();
    return FailBeforeWrite("WRITER ERROR [THE WRITE THREAD DID NOT START]");
  }
  return true;
}
