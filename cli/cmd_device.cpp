// Drive commands: drives, capabilities, info, erase, eject, load, close-track.
#include "CliDrive.h"
#include "CliSignals.h"
#include "CliSpeed.h"
#include "SkarvoCli.h"
#include "ovDateTime.h"
#include "ovDrvLib.h"
#include "ovSync.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>

namespace skarvo_cli {
namespace {

bool WantsHelp(const TArgs &args) {
  for (const std::string &a : args)
    if (a == "--help" || a == "-h")
      return true;
  return false;
}

bool NoExtraArgs(const TArgs &args, const char *command) {
  if (args.empty())
    return true;
  Error(std::string(command) + ": unexpected argument '" + args.front() + "'");
  return false;
}

// Prints why a drive command failed: "what" and the drive's reason.
int DriveError(const TSCSIDevice &dev, const std::string &what) {
  const std::string why = dev.TimedOut() ? std::string("COMMAND TIMEOUT") : dev.ErrorText;
  Error(what + (why.empty() ? std::string() : " (" + why + ")"));
  return 1;
}

// A drive that stopped answering part way through: the figures gathered are
// not to be trusted.
bool Unanswered(const TSCSIDevice &dev) {
  if (!dev.TimedOut())
    return false;
  Error("the drive does not answer (COMMAND TIMEOUT)");
  return true;
}

const char *kDriveHelp =
    "  --drive D   the drive: its index in `skarvo drives` (digits, 0 = first),\n"
    "              a device string, a device node such as /dev/sr0, or a virtual\n"
    "              drive's name (names begin with a letter); default: the first drive\n"
    "  --log       print the library's debug messages on stderr\n";

int CmdDrives(const TArgs &argsIn) {
  if (WantsHelp(argsIn)) {
    std::printf("Usage: skarvo drives [--log]\n\nLists the CD, DVD and BD drives, one device string a line.\n");
    return 0;
  }
  TArgs args = argsIn;
  TDriveOptions options;
  if (!TakeDriveOptions(args, options) || !NoExtraArgs(args, "drives"))
    return 2;
  TSCSIDevice dev;
  if (options.Log) {
    dev.DoDebug = true;
    dev.OnDebugMessage = [](TObject *, const std::string &m, uint8_t) { std::cerr << m << std::endl; };
  }
  if (!dev.InitializeASPI(true, "")) {
    Error("Error initializing ASPI Layer.");
    Error("no CD or DVD drive found");
    return 0;
  }
  if (dev.DeviceList.empty())
    Error("no CD or DVD drive found");
  for (const std::string &s : dev.DeviceList)
    std::printf("%s\n", s.c_str());
  return 0;
}

std::string SpeedText(uint16_t kbps) { return ov::FormatFloat("0 KB/s", kbps); }

int CmdCapabilities(const TArgs &argsIn) {
  if (WantsHelp(argsIn)) {
    std::printf("Usage: skarvo capabilities [--drive D] [--log]\n\n"
                "Shows what the drive reads and writes, its speeds and buffer. Write Speeds\n"
                "lists the speeds `skarvo burn --speed` takes for the loaded medium.\n%s",
                kDriveHelp);
    return 0;
  }
  TArgs args = argsIn;
  TDriveOptions options;
  if (!TakeDriveOptions(args, options) || !NoExtraArgs(args, "capabilities"))
    return 2;
  TSCSIDevice dev;
  if (!OpenDrive(dev, options))
    return 1;
  // Re-read once the quirks of the selected model are known.
  dev.ReadCapabilities();
  if (Unanswered(dev))
    return 1;
  std::printf("Device: %s\n", dev.DeviceID.c_str());
  std::printf("Description: %s\n\n", dev.DeviceDescription.c_str());
  static const struct {
    const char *Caption;
    TCapability Bit;
  } boxes[] = {
      {"Read CDR", capReadCDR},         {"Read CDRW", capReadCDRW},
      {"Read DVD", capReadDVDROM},      {"Read DVD-R", capReadDVDR},
      {"Read DVD-RW", capReadDVDRW},    {"Read DVD-RAM", capReadDVDRAM},
      {"Read DVD+R", capReadDVDPlusR},  {"Read DVD+RW", capReadDVDPlusRW},
      {"Write CDR", capWriteCDR},       {"Write CDRW", capWriteCDRW},
      {"Write Test", capTestWrite},     {"Write DVD-R", capWriteDVDR},
      {"Write DVD-RW", capWriteDVDRW},  {"Write DVD-RAM", capWriteDVDRAM},
      {"Write DVD+R", capWriteDVDPlusR}, {"Write DVD+RW", capWriteDVDPlusRW},
      {"Read BD", capReadBD},           {"Write BD-R", capWriteBDR},
      {"Write BD-RE", capWriteBDRE},
      {"Underrun Protection", capUnderrunProtection},
  };
  for (const auto &b : boxes)
    std::printf("[%c] %s\n", dev.HasCapability(b.Bit) ? 'x' : ' ', b.Caption);
  std::printf("\nMax Write Speed : %s\n", SpeedText(dev.DeviceMaxWriteSpeed()).c_str());
  std::printf("Max Read Speed  : %s\n", SpeedText(dev.DeviceMaxReadSpeed()).c_str());
  std::printf("Current Write Speed : %s\n", SpeedText(dev.CapCurWriteSpeed).c_str());
  const std::vector<TSpeedEntry> speeds = WriteSpeedList(dev, dev.GetDiscType());
  if (Unanswered(dev))
    return 1;
  std::printf("Write Speeds : %s\n", SpeedChoices(speeds).c_str());
  std::printf("Buffer Size : %u KB\n", static_cast<unsigned>(dev.CapBufferSizeKB));
  std::string modes;
  if (dev.WriteModes & wmTAO)
    modes += " TAO";
  if (dev.WriteModes & wmSAO)
    modes += " SAO";
  if (dev.WriteModes & wmRaw)
    modes += " RAW";
  std::printf("Write Modes :%s\n", modes.empty() ? " none" : modes.c_str());
  return 0;
}

std::string MB(uint32_t blocks) { return ov::FormatFloat("#,##0.00 MB", blocks / 1024.0 / 1024.0 * 2048.0); }

int CmdInfo(const TArgs &argsIn) {
  if (WantsHelp(argsIn)) {
    std::printf("Usage: skarvo info [--drive D] [--log]\n\n"
                "Shows the medium, its size, used and free space, status and sessions, and\n"
                "on a blank or appendable sequential disc the sector where the next\n"
                "session starts.\n%s",
                kDriveHelp);
    return 0;
  }
  TArgs args = argsIn;
  TDriveOptions options;
  if (!TakeDriveOptions(args, options) || !NoExtraArgs(args, "info"))
    return 2;
  TSCSIDevice dev;
  if (!OpenDrive(dev, options))
    return 1;
  TDisc disc;
  dev.GetDiscInfo(disc);
  if (!disc.Ready) {
    const TSenseData sense = DecodeSense(dev.LastSense, sizeof dev.LastSense);
    if (sense.Asc == 0x3A) {
      // Medium not present, with the tray open (02) or closed.
      Error(sense.Ascq == 0x02 ? "The tray is open." : "There is no disc in the drive.");
      dev.SetSPTIAutoClose(true);
      return 1;
    }
    DriveError(dev, "Error getting session information.");
    dev.SetSPTIAutoClose(true);
    return 1;
  }
  const uint8_t type = dev.GetDiscType();
  const TDiscSpace space = dev.ReadDiscSpace();
  const int status = space.Status;
  // Where a new session goes on a sequential medium that takes one: the
  // next writable address of its open (invisible) track.
  int64_t nextSession = -1;
  const bool openSession = !TSCSIDevice::IsOverwritable(type) && status == 1 && dev.ReadDiscInformation() &&
                           ((dev.DiscInformation[2] >> 2) & 3) == 1;
  if ((status == 0 || status == 1) && !openSession && !TSCSIDevice::IsOverwritable(type) &&
      dev.ReadTrackInformation(0xFF) && dev.TrackNextWritableValid())
    nextSession = dev.TrackNextWritable();
  // Overwritable media report a complete disc, yet every session adds to it.
  const char *statusText = status == -1                        ? "Disc status unknown"
                           : TSCSIDevice::IsOverwritable(type) ? "Overwritable disc: sessions can be added"
                           : status == 0                       ? "Disc is blank"
                           : openSession ? "Disc is open, its last session unfinished (`skarvo close-track` closes it)"
                           : status == 2                       ? "Disc closed/finalized"
                                                               : "Disc is open";
  if (Unanswered(dev))
    return 1;
  const uint32_t capacity = space.Capacity, used = space.Used;
  const unsigned sessions = static_cast<unsigned>(space.Sessions.size());
  std::printf("Device      : %s\n", dev.DeviceID.c_str());
  std::printf("Medium      : %s\n", DiscTypeName(type));
  std::printf("Disc Size   : %s\n", MB(capacity).c_str());
  std::printf("Used Space  : %s,  Sessions : %u\n", MB(used).c_str(), sessions);
  std::printf("Free Space  : %s, %s\n", MB(space.Free).c_str(), statusText);
  if (nextSession >= 0)
    std::printf("Next Session: starts at sector %lld\n", static_cast<long long>(nextSession));
  if (!space.Sessions.empty()) {
    std::printf("\n%-8s %12s %12s %10s\n", "Number", "Start", "Sectors", "Size");
    for (const TDiscSpace::TSession &r : space.Sessions)
      std::printf("%-8u %12u %12u %7ld MB\n", r.Number, static_cast<unsigned>(r.Start), static_cast<unsigned>(r.Sectors),
                  r.SizeMB());
  }
  dev.SetSPTIAutoClose(true);
  return 0;
}

int CmdErase(const TArgs &argsIn) {
  if (WantsHelp(argsIn)) {
    std::printf("Usage: skarvo erase [--drive D] [--complete] [--yes] [--log]\n\n"
                "Erases a rewritable disc: a quick erase, or with --complete the whole disc.\n"
                "A BD-RE is formatted: quickly, or with --complete certifying every cluster.\n"
                "  --complete  erase the whole disc (may take 10-70 minutes, on BD 45 a layer)\n"
                "  --yes       do not ask for confirmation\n%s",
                kDriveHelp);
    return 0;
  }
  TArgs args = argsIn;
  TDriveOptions options;
  if (!TakeDriveOptions(args, options))
    return 2;
  bool complete = false, yes = false;
  TArgs rest;
  for (const std::string &a : args) {
    if (a == "--complete")
      complete = true;
    else if (a == "--yes" || a == "-y")
      yes = true;
    else
      rest.push_back(a);
  }
  if (!NoExtraArgs(rest, "erase"))
    return 2;
  TSCSIDevice dev;
  if (!OpenDrive(dev, options))
    return 1;
  const std::string drive = DriveName(dev.DeviceID);
  if (!MediumLoaded(dev)) {
    Error("There is no disc in the drive " + drive + ".");
    return 1;
  }
  const uint8_t type = dev.GetDiscType();
  const bool erasable = dev.IsRewritable() || (!complete && type == dtDVDRAM);
  if (Unanswered(dev))
    return 1;
  if (!erasable) {
    Error("This disc is not erasable.");
    return 1;
  }
  const std::string target = std::string(DiscTypeName(type)) + " in the drive " + drive;
  if (!yes) {
    const std::string question =
        complete ? "All data on the " + target + " will be lost\nDo you want to completely erase the disc ?\n"
                   "This may take 10-70 minutes."
                 : "All data on the " + target + " will be lost.\nDo you want to quick erase the disc ?";
    if (!Confirm(question)) {
      Error("erase of the " + target + " not confirmed (use --yes to erase without a question)");
      return 1;
    }
  }
  // From here on an interrupt stops the polling; the erase thread then
  // unlocks the tray and restores the drive before the program ends.
  TInterruptScope scope;
  bool done = false, withError = false;
  dev.OnEraseDone = [&](TObject *, bool error) {
    done = true;
    withError = error;
  };
  std::printf("Erasing the %s...\n", target.c_str());
  std::fflush(stdout);
  if (!dev.EraseDisc(complete ? 0 : 1)) {
    if (Interrupted())
      return InterruptExitCode();
    if (done && withError)
      Error("Erase process completed with errors." +
            (dev.EraseErrorText.empty() ? std::string() : " (" + dev.EraseErrorText + ")"));
    else
      DriveError(dev, "The drive is not ready");
    return 1;
  }
  TProgress progress("Erasing");
  int shown = 0;
  bool aborted = false;
  while (dev.Erasing()) {
    if (Interrupted() && !aborted) {
      dev.AbortErase();
      aborted = true;
    }
    shown = std::max(shown, dev.EraseProgress());
    progress.Update(shown);
    ov::CheckSynchronize(200);
  }
  dev.WaitEraseThread();
  if (!withError)
    progress.Update(100);
  progress.Finish();
  if (Interrupted())
    return InterruptExitCode();
  if (withError) {
    Error("Erase process completed with errors." +
          (dev.EraseErrorText.empty() ? std::string() : " (" + dev.EraseErrorText + ")"));
    return 1;
  }
  std::printf("Erase process completed.\n");
  return 0;
}

int CmdEject(const TArgs &argsIn) {
  if (WantsHelp(argsIn)) {
    std::printf("Usage: skarvo eject [--drive D] [--log]\n\nOpens the tray.\n%s", kDriveHelp);
    return 0;
  }
  TArgs args = argsIn;
  TDriveOptions options;
  if (!TakeDriveOptions(args, options) || !NoExtraArgs(args, "eject"))
    return 2;
  TSCSIDevice dev;
  if (!OpenDrive(dev, options))
    return 1;
  dev.SynchronizeCache(300000, false);
  dev.AllowMediumRemoval(true);
  if (!dev.LoadEject(true))
    return DriveError(dev, "Unable to eject the device.");
  return 0;
}

int CmdLoad(const TArgs &argsIn) {
  if (WantsHelp(argsIn)) {
    std::printf("Usage: skarvo load [--drive D] [--log]\n\nCloses the tray.\n%s", kDriveHelp);
    return 0;
  }
  TArgs args = argsIn;
  TDriveOptions options;
  if (!TakeDriveOptions(args, options) || !NoExtraArgs(args, "load"))
    return 2;
  TSCSIDevice dev;
  if (!OpenDrive(dev, options))
    return 1;
  if (!dev.LoadEject(false))
    return DriveError(dev, "Unable to load the device.");
  return 0;
}

int CmdCloseTrack(const TArgs &argsIn) {
  if (WantsHelp(argsIn)) {
    std::printf("Usage: skarvo close-track [--drive D] [--finalize] [--log]\n\n"
                "Closes the open session of the disc. The disc stays appendable, so that\n"
                "later sessions can be added, unless --finalize is given.\n"
                "  --finalize  close the disc for good: no session can be added afterwards\n%s",
                kDriveHelp);
    return 0;
  }
  TArgs args = argsIn;
  TDriveOptions options;
  if (!TakeDriveOptions(args, options))
    return 2;
  bool finalize = false;
  TArgs rest;
  for (const std::string &a : args) {
    if (a == "--finalize")
      finalize = true;
    else
      rest.push_back(a);
  }
  if (!NoExtraArgs(rest, "close-track"))
    return 2;
  TSCSIDevice dev;
  if (!OpenDrive(dev, options))
    return 1;
  const std::string drive = DriveName(dev.DeviceID);
  if (!MediumLoaded(dev)) {
    Error("There is no disc in the drive " + drive + ".");
    return 1;
  }
  const uint8_t type = dev.GetDiscType();
  const std::string medium = DiscTypeName(type);
  if (IsBDRE(type)) {
    std::printf("Nothing to close: a %s has no tracks or sessions to close.\n", medium.c_str());
    dev.SetSPTIAutoClose(true);
    return 0;
  }
  // A sequential disc tells whether a session is open: closing none would
  // only earn a command sequence error.
  if (!TSCSIDevice::IsOverwritable(type) && dev.ReadDiscInformation()) {
    const uint8_t status = dev.DiscInformation[2] & 3, last = (dev.DiscInformation[2] >> 2) & 3;
    const bool open = status == 1 && last == 1;
    const bool finalizable = finalize && status == 1;
    if (status == 0 || (!open && !finalizable)) {
      std::printf(status == 0 ? "Nothing to close: the disc is blank.\n"
                              : "Nothing to close: the last session of the disc is already closed.\n");
      dev.SetSPTIAutoClose(true);
      return 0;
    }
  }
  if (!dev.CloseSession(finalize))
    return DriveError(dev, "Close track/session failed on the " + medium + " in the drive " + drive + ".");
  std::printf(finalize ? "The %s in the drive %s is finalized.\n"
                       : "The session on the %s in the drive %s is closed; the disc stays appendable.\n",
              medium.c_str(), drive.c_str());
  return 0;
}

} // namespace

SKARVO_CLI_COMMAND("drives", "list the CD and DVD drives", CmdDrives);
SKARVO_CLI_COMMAND("capabilities", "show what a drive reads and writes", CmdCapabilities);
SKARVO_CLI_COMMAND("info", "show the medium, its space, status and sessions", CmdInfo);
SKARVO_CLI_COMMAND("erase", "erase a rewritable disc", CmdErase);
SKARVO_CLI_COMMAND("eject", "open a drive's tray", CmdEject);
SKARVO_CLI_COMMAND("load", "close a drive's tray", CmdLoad);
SKARVO_CLI_COMMAND("close-track", "close the open session of a disc", CmdCloseTrack);

} // namespace skarvo_cli
