// `skarvo burn` and `skarvo burn-image`: a compilation of folders and files,
// or an image file, written to the disc in a recorder.
#include "CliDrive.h"
#include "CliLayout.h"
#include "CliSignals.h"
#include "CliSpeed.h"
#include "SkarvoCli.h"

#include "ovCDBC.h"
#include "ovDateTime.h"
#include "ovDiscWrite.h"
#include "ovSync.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace skarvo_cli {
namespace {

const char *kBurnUsage =
    "Usage: skarvo burn [--drive D] [--speed S] [BURN OPTIONS] [LAYOUT OPTIONS] SOURCE...\n"
    "\n"
    "Writes the folders and files given as SOURCE to the disc in the drive as a new\n"
    "session with an ISO 9660 file system, Joliet long names and, optionally, an\n"
    "El Torito boot image. A SOURCE folder is added with everything below it (its\n"
    "contents, not the folder itself, unless --save-path says otherwise); a SOURCE\n"
    "file is added as it is. Empty folders are left out. On an appendable disc the\n"
    "session follows the earlier ones; without --import-session it holds only the\n"
    "files given here.\n"
    "\n";

const char *kImageUsage =
    "Usage: skarvo burn-image [--drive D] [--speed S] [BURN OPTIONS] [--cache-size MB] IMAGE\n"
    "\n"
    "Writes the image file IMAGE (an ISO 9660 image, whatever its extension) to the\n"
    "disc in the drive, from the disc's first sector. It must fit the free space\n"
    "of the disc; an image whose size is not a multiple of 2048 bytes ends in a\n"
    "sector completed with zeros.\n"
    "\n";

const char *kDriveOptionsHelp =
    "Drive options:\n"
    "  --drive D            the drive: its index in `skarvo drives` (digits, 0 =\n"
    "                       first), a device string, a device node such as\n"
    "                       /dev/sr0, or a virtual drive's name; default: the\n"
    "                       first drive\n"
    "  --speed S            write speed: max (default) or one of the speeds\n"
    "                       `skarvo capabilities` lists for the loaded medium, by\n"
    "                       factor (16x, 4.0x) or in KB/s (22160, \"22160 KB/s\");\n"
    "                       any other value is refused with the valid ones\n"
    "\n"
    "Burn options:\n"
    "  --test-write         simulate the write: the laser stays off and the disc\n"
    "                       stays as it was. Media whose drives cannot simulate\n"
    "                       (DVD+R, DVD+R DL, DVD+RW, DVD-RAM) are refused before\n"
    "                       anything is sent\n"
    "  --finalize           close the disc: no session can be added afterwards\n"
    "                       (otherwise the disc stays appendable where it can)\n"
    "  --no-underrun-protection\n"
    "                       switch off the drive's buffer-underrun protection\n"
    "  --opc                run the drive's optimum power calibration first\n"
    "  --verify             read the written session back and compare it with\n"
    "                       what was sent (\"VERIFY: n sectors equal\")\n"
    "  --eject              open the tray after a successful write\n"
    "  --yes                write to a rewritable disc that holds data without\n"
    "                       asking (without a terminal such a write needs --yes)\n";

const char *kImportHelp =
    "  --import-session N   keep the files of session N of the disc in the new\n"
    "                       session (-1: the last session)\n";

const char *kImageCacheHelp =
    "  --cache-size MB      memory of the read-ahead cache, 2 to 1024 (default 4)\n";

const char *kCommonEndHelp =
    "  --log                print the library's debug messages on stderr\n"
    "  -h, --help           show this help\n"
    "\n"
    "Progress: on a terminal a bar with percent, MB written of MB, speed, the\n"
    "drive buffer's fill and the time left; otherwise a plain line at each 10 %.\n"
    "\"Closing session...\" follows the writing, and with --verify the read-back\n"
    "has a bar of its own. The end is \"Burn process completed.\" (written,\n"
    "closed and verified) or the error text. Ctrl-C aborts the write\n"
    "(\"OPERATION ABORTED BY USER\"): the track is left open, no close command is\n"
    "sent and the tray is unlocked. A write-once or sequential disc whose last\n"
    "session was left open takes no new session until `skarvo close-track` has\n"
    "closed it; a close that fails after the data is written is retried the\n"
    "same way.\n"
    "\n"
    "Before a disc is written that is rewritable and not blank (CD-RW, DVD-RW,\n"
    "DVD+RW, DVD-RAM holding data), the command asks on the terminal unless\n"
    "--yes is given.\n"
    "\n"
    "Exit status: 0 when everything was written (and verified with --verify);\n"
    "1 when the write failed or was refused";

const char *kBurnExitHelp =
    ", or when a source entry\n"
    "could not be read or was left out because its name was taken (the disc is\n"
    "written with the rest, like tar); 2 for a bad command line; 3 when the write\n"
    "succeeded but the read-back differs (--verify); 130 after Ctrl-C (128 + the\n"
    "signal number).\n";

const char *kImageExitHelp =
    "; 2 for a bad\n"
    "command line; 3 when the write succeeded but the read-back differs\n"
    "(--verify); 130 after Ctrl-C (128 + the signal number).\n";

struct TBurnOptions {
  TDriveOptions Drive;
  std::string Speed;
  bool SpeedGiven = false;
  bool TestWrite = false;
  bool Finalize = false;
  bool NoUnderrunProtection = false;
  bool Opc = false;
  bool Verify = false;
  bool Eject = false;
  bool Yes = false;
  bool ImportGiven = false;
  int ImportSession = 0;
  TLayoutOptions Layout;
  std::vector<std::string> Operands;
};

constexpr int kExitVerify = 3;

void PrintHelp(bool image) {
  std::fputs(image ? kImageUsage : kBurnUsage, stdout);
  std::fputs(kDriveOptionsHelp, stdout);
  if (!image) {
    std::fputs(kImportHelp, stdout);
    std::fputs("\nLayout options:\n", stdout);
    std::fputs(kLayoutHelp, stdout);
  }
  std::fputs("\nOther options:\n", stdout);
  if (image)
    std::fputs(kImageCacheHelp, stdout);
  std::fputs(kCommonEndHelp, stdout);
  std::fputs(image ? kImageExitHelp : kBurnExitHelp, stdout);
  if (!image) {
    std::fputs("\n", stdout);
    std::fputs(kNamesHelp, stdout);
  }
}

bool ParseImportSession(const std::string &v, int &out) {
  char *end = nullptr;
  const long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end != '\0' || n == 0 || n < -1 || n > 99) {
    Error("--import-session takes a session number from 1 to 99 or -1 (the last), not \"" + v + "\"");
    return false;
  }
  out = static_cast<int>(n);
  return true;
}

// Returns -1 to go on, else the exit code.
int ParseArgs(const TArgs &argsIn, bool image, TBurnOptions &o) {
  const char *command = image ? "burn-image" : "burn";
  TArgs args = argsIn;
  for (const std::string &a : args)
    if (a == "--")
      break;
    else if (a == "-h" || a == "--help") {
      PrintHelp(image);
      return 0;
    }
  if (!TakeDriveOptions(args, o.Drive))
    return 2;
  TArgReader r(args, command);
  while (r.Next()) {
    const std::string &a = r.Option();
    // An image burn has no layout, but its read-ahead cache has a size.
    if (!image || a == "--cache-size") {
      const int layout = TakeLayoutOption(r, o.Layout);
      if (layout < 0)
        return 2;
      if (layout > 0)
        continue;
    }
    if (a == "--speed") {
      if (!r.Value(o.Speed))
        return 2;
      o.SpeedGiven = true;
    } else if (a == "--test-write") {
      o.TestWrite = true;
    } else if (a == "--finalize") {
      o.Finalize = true;
    } else if (a == "--no-underrun-protection") {
      o.NoUnderrunProtection = true;
    } else if (a == "--opc") {
      o.Opc = true;
    } else if (a == "--verify") {
      o.Verify = true;
    } else if (a == "--eject") {
      o.Eject = true;
    } else if (a == "--yes" || a == "-y") {
      o.Yes = true;
    } else if (a == "--import-session" && !image) {
      std::string v;
      if (!r.Value(v) || !ParseImportSession(v, o.ImportSession))
        return 2;
      o.ImportGiven = true;
    } else {
      r.Unknown();
      return 2;
    }
  }
  o.Operands = r.Operands();
  if (o.Verify && o.TestWrite) {
    Error("--verify and --test-write exclude each other: a test write records nothing to read back");
    return 2;
  }
  if (image && o.Operands.size() != 1) {
    Error(o.Operands.empty() ? "no IMAGE given (see skarvo burn-image --help)"
                             : "burn-image takes one IMAGE, not " + std::to_string(o.Operands.size()));
    return 2;
  }
  if (!image && o.Operands.empty()) {
    Error("no SOURCE given (see skarvo burn --help)");
    return 2;
  }
  return -1;
}

// The drive is opened, a medium is loaded and the speed is set. Returns -1
// to go on, else the exit code.
int PrepareDrive(TOrvBurner &b, const TBurnOptions &o, std::string &target) {
  if (!OpenDrive(b, o.Drive))
    return 1;
  const std::string drive = DriveName(b.DeviceID);
  if (!MediumLoaded(b)) {
    Error("There is no disc in the drive " + drive + ".");
    return 1;
  }
  const uint8_t type = b.GetDiscType();
  target = std::string(DiscTypeName(type)) + " in the drive " + drive;
  if (o.SpeedGiven) {
    const std::vector<TSpeedEntry> speeds = WriteSpeedList(b, type);
    uint16_t kbps = 0;
    std::string error;
    if (!SpeedFromOption(o.Speed, speeds, type, kbps, error)) {
      Error(error);
      return 2;
    }
    b.SetWriteSpeed(kbps);
  }
  if (b.TimedOut()) {
    Error("the drive " + drive + " does not answer (COMMAND TIMEOUT)");
    return 1;
  }
  return -1;
}

// A rewritable disc that is not blank: an overwritable one (DVD+RW, DVD-RAM,
// restricted-overwrite DVD-RW) with a file system on it, or a CD-RW or
// sequential DVD-RW with a session.
bool HoldsData(TOrvBurner &b) {
  const uint8_t type = b.GetDiscType();
  if (!b.IsRewritable() && type != dtDVDRAM)
    return false;
  if (b.DiscStatus() == 0)
    return false;
  return !TSCSIDevice::IsOverwritable(type) || b.UsedBlocks() > 0;
}

// Asks before data on a rewritable disc is written over. True to go on.
bool ConfirmOverwrite(TOrvBurner &b, const TBurnOptions &o, const std::string &target) {
  if (o.Yes || o.TestWrite || !HoldsData(b))
    return true;
  if (!isatty(STDIN_FILENO)) {
    Error("the " + target + " holds data: writing to it needs --yes (there is no terminal to ask on)");
    return false;
  }
  if (!Confirm("The " + target + " holds data, which the new session may overwrite or hide.\n"
               "Do you want to write to it ?")) {
    Error("write to the " + target + " not confirmed (use --yes to write without a question)");
    return false;
  }
  return true;
}

int Eject(TOrvBurner &b) {
  b.SynchronizeCache(300000, false);
  b.AllowMediumRemoval(true);
  if (!b.LoadEject(true)) {
    Error("Unable to eject the device.");
    return 1;
  }
  return 0;
}

// What the user can do after a burn that ended with Error; nullptr when
// there is nothing to add.
const char *RepairHint(const std::string &Error) {
  if (Error.rfind(kSessionIncompleteText, 0) == 0)
    return "the disc's last session is still open: run `skarvo close-track` to close it, then burn again";
  if (Error.rfind(kNoWritableAddressText, 0) == 0)
    return "if an earlier burn did not finish, `skarvo close-track` closes its session; then burn again";
  if (Error.rfind(kCloseFailedText, 0) == 0)
    return "the session is written but not closed: run `skarvo close-track` to retry the close";
  return nullptr;
}

// The writing phase is complete: its bar at 100 % and the closing named
// (a test write closes nothing).
void EndWriting(TProgress &progress, int64_t total, bool testWrite) {
  progress.Update(100, total);
  progress.Finish();
  if (!testWrite) {
    std::printf("Closing session...\n");
    std::fflush(stdout);
  }
}

// Starts the write with start(), shows its progress until OnWriteDone and
// reports the end. An interrupt aborts the write and waits for its end.
int RunWrite(TOrvBurner &b, const TBurnOptions &o, const std::string &target,
             const std::function<bool()> &start) {
  b.TestWrite = o.TestWrite;
  b.FinalizeDisc = o.Finalize;
  b.UnderrunProtection = !o.NoUnderrunProtection;
  b.PerformOPC = o.Opc;
  b.Verify = o.Verify;
  b.VerifyText.clear();
  // From here an interrupt aborts the write: the write thread then unlocks
  // the tray and restores the drive before OnWriteDone.
  TInterruptScope scope;
  bool done = false;
  std::string error;
  b.OnWriteDone = [&](TObject *, const std::string &e) {
    done = true;
    error = e;
  };
  if (Interrupted())
    return InterruptExitCode();
  const bool started = start();
  if (!started && !done)
    error = b.ErrorText.empty() ? "THE WRITE COULD NOT BE STARTED" : b.ErrorText;
  const int64_t total = b.SessionSectors() * 2048;
  if (started) {
    std::printf("%s %s MB to the %s...\n", o.TestWrite ? "Test writing" : "Writing",
                ov::FormatFloat("#,##0.00", static_cast<double>(total) / 1048576.0).c_str(), target.c_str());
    std::fflush(stdout);
  }
  // One bar per phase: the writing, the closing (the drive records its
  // buffer and the session's lead-out) and the read-back.
  std::unique_ptr<TProgress> progress = std::make_unique<TProgress>(o.TestWrite ? "Test writing" : "Writing");
  progress->SetTotal(total);
  int phase = TOrvBurner::bpWriting;
  while (started && !done) {
    ov::CheckSynchronize(100);
    if (Interrupted())
      b.AbortWrite();
    const int64_t n = b.BytesWritten.load();
    const int now = b.BurnPhase.load();
    // A write that ended early flushes too, but closes nothing.
    if (now != phase && (now != TOrvBurner::bpClosing || n >= total)) {
      // The closing may be over before it is seen; it is named all the same.
      if (phase == TOrvBurner::bpWriting)
        EndWriting(*progress, total, o.TestWrite);
      phase = now;
      if (phase == TOrvBurner::bpVerifying) {
        progress = std::make_unique<TProgress>("Verifying");
        progress->SetTotal(b.VerifyTotal.load() * 2048);
      }
    }
    if (phase == TOrvBurner::bpWriting) {
      const uint32_t size = b.DeviceBufferSize.load();
      const uint32_t free = std::min(b.DeviceFreeBufferSize.load(), size);
      progress->SetBufferFill(size > 0 ? static_cast<int>((uint64_t{size - free} * 100) / size) : -1);
      progress->Update(total > 0 ? 100.0 * static_cast<double>(n) / static_cast<double>(total) : 100.0, n);
    } else if (phase == TOrvBurner::bpVerifying) {
      const int64_t all = b.VerifyTotal.load(), read = b.VerifyDone.load();
      progress->Update(all > 0 ? 100.0 * static_cast<double>(read) / static_cast<double>(all) : 100.0, read * 2048);
    }
  }
  if (error.empty() && phase == TOrvBurner::bpWriting)
    EndWriting(*progress, total, o.TestWrite);
  else if (error.empty() && phase == TOrvBurner::bpVerifying)
    progress->Update(100, b.VerifyTotal.load() * 2048);
  progress->Finish();
  if (!error.empty()) {
    Error(error);
    if (const char *hint = RepairHint(error))
      Error(hint);
    if (Interrupted())
      return InterruptExitCode();
    return error.rfind("VERIFY", 0) == 0 ? kExitVerify : 1;
  }
  if (!b.VerifyText.empty())
    std::printf("%s\n", b.VerifyText.c_str());
  std::printf("Burn process completed.%s\n", o.TestWrite ? " (test write: nothing was recorded)" : "");
  std::fflush(stdout);
  if (o.Eject && !Interrupted())
    return Eject(b);
  return 0;
}

int CmdBurn(const TArgs &args) {
  TBurnOptions o;
  if (const int rc = ParseArgs(args, false, o); rc >= 0)
    return rc;
  TOrvBurner b;
  std::string target;
  if (const int rc = PrepareDrive(b, o, target); rc >= 0)
    return rc;
  size_t lost = 0;
  if (!FillCompilation(b, o.Layout, o.Operands, lost) || !FinishCompilation(b))
    return 1;
  b.ImportSessionNumber = static_cast<int16_t>(o.ImportGiven ? o.ImportSession : 0);
  // The earlier session is imported before anything is asked or written, so
  // that what it leaves out is named while the user can still decide.
  if (o.ImportGiven) {
    const size_t notesBefore = b.InsertNotes.size();
    b.ImportSession(o.ImportSession, b.LastTargetDir);
    lost += ReportInsertNotes(b, notesBefore);
  }
  ReportJolietCuts(b);
  if (!ConfirmOverwrite(b, o, target))
    return 1;
  // Anything the layout itself still leaves out is named at the end.
  const size_t notesBefore = b.InsertNotes.size();
  const int rc = RunWrite(b, o, target, [&] {
    const bool started = b.BurnCompilation();
    ReportBootNote(b, o.Layout, "disc");
    return started;
  });
  lost += ReportInsertNotes(b, notesBefore);
  if (rc != 0)
    return rc;
  // Archive bits mark what is saved: only a write that recorded everything
  // clears them.
  if (o.Layout.ArchiveOnly && !o.TestWrite)
    b.ClearArchiveBits();
  return LostEntriesStatus(lost, "the disc");
}

int CmdBurnImage(const TArgs &args) {
  TBurnOptions o;
  if (const int rc = ParseArgs(args, true, o); rc >= 0)
    return rc;
  const std::string image = AbsolutePath(o.Operands.front());
  struct stat st {};
  if (::stat(image.c_str(), &st) != 0) {
    Error("cannot read the image file " + o.Operands.front() + ": " + std::strerror(errno));
    return 1;
  }
  if (!S_ISREG(st.st_mode)) {
    Error("the image " + o.Operands.front() + " is not a file");
    return 1;
  }
  TOrvBurner b;
  std::string target;
  if (const int rc = PrepareDrive(b, o, target); rc >= 0)
    return rc;
  if (!ConfirmOverwrite(b, o, target))
    return 1;
  b.SetCacheSize(o.Layout.CacheMB * 1048576);
  return RunWrite(b, o, target, [&] { return b.BurnImageFile(image); });
}

} // namespace
} // namespace skarvo_cli

SKARVO_CLI_COMMAND("burn", "burn folders and files to the disc in a drive", skarvo_cli::CmdBurn);
SKARVO_CLI_COMMAND("burn-image", "burn an image file to the disc in a drive", skarvo_cli::CmdBurnImage);
