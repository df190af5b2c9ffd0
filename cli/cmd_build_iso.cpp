// `skarvo build-iso`: builds an ISO 9660 / Joliet / El Torito image file from
// folders and files.
#include "CliSignals.h"
#include "SkarvoCli.h"

#include "ovCDBC.h"
#include "ovImageTarget.h"
#include "ovSync.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char *kHelp =
    "Usage: skarvo build-iso -o IMAGE [OPTIONS] SOURCE...\n"
    "\n"
    "Builds an ISO 9660 image file with Joliet long names and, optionally, an\n"
    "El Torito boot image. A SOURCE folder is added with everything below it\n"
    "(its contents, not the folder itself, unless --save-path says otherwise);\n"
    "a SOURCE file is added as it is. Empty folders are left out.\n"
    "\n"
    "Options:\n"
    "  -o, --output IMAGE   the image file to write (created or replaced once the\n"
    "                       new image is complete; it may not be one of the\n"
    "                       SOURCE files)\n"
    "  --volume LABEL       volume label, kept as given in the Joliet descriptor\n"
    "                       (16 characters) and in ISO 9660 d-characters in the\n"
    "                       primary one (32 of A-Z, 0-9 and \"_\", every other\n"
    "                       character \"_\"); a longer label is cut with a warning.\n"
    "                       Default: the name of the first source's folder\n"
    "  --no-joliet          leave out the Joliet tree of long names\n"
    "  --boot IMG           make the image bootable with the El Torito boot image\n"
    "                       IMG: 1,228,800, 1,474,560 or 2,949,120 bytes give\n"
    "                       floppy emulation, any other size hard-disk emulation\n"
    "                       (with a warning unless IMG has a partition table)\n"
    "  --save-path MODE     where the sources go in the image: none (default, in\n"
    "                       the root), full (under their whole source path), last\n"
    "                       (under the last folder of their source path)\n"
    "  --archive-only       take only files whose archive attribute is set, and\n"
    "                       clear it after the image was written successfully\n"
    "  --replace            a later source replaces an earlier file of the same name\n"
    "                       (otherwise the first one is kept)\n"
    "  --quick              copy the files in this thread without the read-ahead\n"
    "                       cache (no 300-sector minimum)\n"
    "  --cache-size MB      memory of the read-ahead cache, 2 to 1024 (default 4)\n"
    "  --log                print the library's debug messages on stderr\n"
    "  -h, --help           show this help\n"
    "\n"
    "Names: every file and folder keeps its name in the Joliet tree, up to 108\n"
    "characters for a file (110 for a folder). Longer names are shortened, keeping\n"
    "the extension; the characters * / : ; ? \\, control characters and characters\n"
    "beyond U+FFFF become \"_\". When two different files or folders of one folder\n"
    "come out with the same name (names differing only by case, or made equal by\n"
    "these changes), the later one is stored as \"name (2).ext\", \"name (3).ext\"...\n"
    "The ISO 9660 tree holds 8.3 aliases (STEM~N.EXT for clashes). A file of the\n"
    "same name from another source folder is left out (or replaces the first one\n"
    "with --replace); giving the same source twice adds it once. Links are\n"
    "followed; dangling or looping links, FIFOs, sockets and devices are passed\n"
    "over. Each name changed, entry passed over and entry left out is named on\n"
    "stderr, one line each.\n"
    "\n"
        "The image is written to a temporary file beside IMAGE and takes its place\n"
    "only when complete, so an earlier IMAGE survives any failure or interrupt.\n"
    "Two builds cannot write the same IMAGE at once.\n"
    "\n"
    "Exit status: 0 when the image was written with everything the sources hold.\n"
    "1 when an entry could not be read (a folder that cannot be listed or\n"
    "entered, a file that cannot be read) or was left out because its name was\n"
    "taken: the image is written with the rest, like tar. On any other error the\n"
    "error is printed, the status is non-zero and no incomplete image is left\n"
    "behind (128 + the signal number after an interrupt, 130 for Ctrl-C).\n";

struct TOptions {
  std::string Output;
  std::string Volume;
  bool HasVolume = false;
  bool Joliet = true;
  std::string Boot;
  std::string SavePath = "none";
  bool ArchiveOnly = false;
  bool Replace = false;
  bool Quick = false;
  int CacheMB = 4;
  bool Log = false;
  std::vector<std::string> Sources;
};

// Returns -1 to go on, else the exit code.
int ParseArgs(const skarvo_cli::TArgs &args, TOptions &o) {
  bool optionsDone = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    if (optionsDone || a.empty() || a[0] != '-' || a == "-") {
      o.Sources.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsDone = true;
      continue;
    }
    std::string value;
    bool hasInline = false;
    if (a.rfind("--", 0) == 0) {
      const size_t eq = a.find('=');
      if (eq != std::string::npos) {
        value = a.substr(eq + 1);
        a = a.substr(0, eq);
        hasInline = true;
      }
    }
    auto takeValue = [&](std::string &out) {
      if (hasInline) {
        out = value;
        return true;
      }
      if (i + 1 >= args.size()) {
        skarvo_cli::Error("option " + a + " needs a value (see skarvo build-iso --help)");
        return false;
      }
      out = args[++i];
      return true;
    };
    if (a == "-h" || a == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "-o" || a == "--output") {
      if (!takeValue(o.Output))
        return 2;
    } else if (a == "--volume") {
      if (!takeValue(o.Volume))
        return 2;
      o.HasVolume = true;
    } else if (a == "--no-joliet") {
      o.Joliet = false;
    } else if (a == "--boot") {
      if (!takeValue(o.Boot))
        return 2;
    } else if (a == "--save-path") {
      if (!takeValue(o.SavePath))
        return 2;
      if (o.SavePath != "none" && o.SavePath != "full" && o.SavePath != "last") {
        skarvo_cli::Error("--save-path takes none, full or last, not \"" + o.SavePath + "\"");
        return 2;
      }
    } else if (a == "--archive-only") {
      o.ArchiveOnly = true;
    } else if (a == "--replace") {
      o.Replace = true;
    } else if (a == "--quick") {
      o.Quick = true;
    } else if (a == "--cache-size") {
      std::string v;
      if (!takeValue(v))
        return 2;
      char *end = nullptr;
      const long mb = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || mb < 2 || mb > 1024) {
        skarvo_cli::Error("--cache-size takes a number of megabytes from 2 to 1024, not \"" + v + "\"");
        return 2;
      }
      o.CacheMB = static_cast<int>(mb);
    } else if (a == "--log") {
      o.Log = true;
    } else {
      skarvo_cli::Error("unknown option " + a + " (see skarvo build-iso --help)");
      return 2;
    }
  }
  if (o.Output.empty()) {
    skarvo_cli::Error("no image file given: use -o IMAGE (see skarvo build-iso --help)");
    return 2;
  }
  if (o.Sources.empty()) {
    skarvo_cli::Error("no SOURCE given (see skarvo build-iso --help)");
    return 2;
  }
  return -1;
}

std::string AbsolutePath(const std::string &p) {
  std::error_code ec;
  std::string s = fs::absolute(fs::path(p), ec).lexically_normal().string();
  while (s.size() > 1 && s.back() == '/')
    s.pop_back();
  return s;
}

// Fills the compilation like the main window's list: a folder as a checked
// row (recursive, every attribute, "*.*"), a file as a file row.
bool FillCompilation(TOrvBurner &b, const TOptions &o) {
  const bool keepPath = o.SavePath != "none";
  b.SavePathLastFolder = o.SavePath == "last";
  for (const std::string &src : o.Sources) {
    const std::string abs = AbsolutePath(src);
    struct stat st {};
    if (::stat(abs.c_str(), &st) != 0) {
      skarvo_cli::Error("source not found: " + src);
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      if (::access(abs.c_str(), R_OK | X_OK) != 0) {
        skarvo_cli::Error("cannot read the folder " + src);
        return false;
      }
      if (!b.InsertDir(b.Root(), abs == "/" ? abs : abs + "/", o.ArchiveOnly, keepPath, true, ov::faAnyFile,
                       "*.*")) {
        skarvo_cli::Error("the folder " + src + " could not be added completely (too many files or folders?)");
        return false;
      }
    } else if (S_ISREG(st.st_mode)) {
      if (b.InsertFile("\\", abs, keepPath) != 1) {
        skarvo_cli::Error("the file " + src + " could not be added");
        return false;
      }
    } else {
      skarvo_cli::Error("not a file or folder: " + src);
      return false;
    }
  }
  return true;
}

// One line on stderr per source entry the compilation left out, renamed or
// passed over; returns how many entries were left out.
size_t ReportInsertNotes(const TOrvBurner &b) {
  size_t lost = 0;
  for (const TInsertNote &n : b.InsertNotes) {
    switch (n.Kind) {
    case TInsertNoteKind::Renamed:
      skarvo_cli::Warning(n.SourcePath + " stored as \"" + n.Detail + "\"");
      break;
    case TInsertNoteKind::PassedOver:
      skarvo_cli::Warning("passed over " + n.SourcePath + ": " + n.Detail);
      break;
    case TInsertNoteKind::Unreadable:
    case TInsertNoteKind::NameTaken:
    case TInsertNoteKind::TooLong:
      skarvo_cli::Error("left out " + n.SourcePath + ": " + n.Detail);
      break;
    }
    if (n.IsLoss())
      ++lost;
  }
  return lost;
}

// The name of the first source's folder (the source itself when it is one).
std::string DefaultVolumeLabel(const std::string &source) {
  const std::string abs = AbsolutePath(source);
  std::error_code ec;
  const std::string folder = fs::is_directory(abs, ec) ? abs : fs::path(abs).parent_path().string();
  return fs::path(folder).filename().string();
}

void WarnIfLabelCut(const std::string &label, bool joliet) {
  const size_t chars = TextUCS2Length(label);
  if (joliet && chars > 16)
    skarvo_cli::Warning("the volume label \"" + label + "\" is cut to 16 characters in the Joliet descriptor" +
                        (chars > 32 ? " and to 32 in the ISO 9660 one" : ""));
  else if (chars > 32)
    skarvo_cli::Warning("the volume label \"" + label + "\" is cut to 32 characters");
}

// Interrupts while the command runs. Before the write starts, an interrupt
// removes what this run created and ends the program at once; during the
// write it aborts the write (the quick path runs in the main thread, so the
// abort has to come from here), and the command cleans up.
class TInterruptWatch {
public:
  TInterruptWatch(TOrvBurner &b, TImageTarget &target) : b_(b), target_(target) {
    thread_ = std::thread([this] { Run(); });
  }
  ~TInterruptWatch() {
    stop_.store(true);
    thread_.join();
  }
  // From here on the command itself ends the work on an interrupt.
  void WriteStarts() {
    std::lock_guard<std::mutex> g(phase_);
    writing_ = true;
  }

private:
  void Run() {
    while (!stop_.load()) {
      if (skarvo_cli::Interrupted()) {
        std::lock_guard<std::mutex> g(phase_);
        if (!writing_) {
          target_.Discard();
          std::_Exit(skarvo_cli::InterruptExitCode());
        }
        b_.AbortWrite();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  TOrvBurner &b_;
  TImageTarget &target_;
  std::mutex phase_;
  bool writing_ = false;   // guarded by phase_
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A SOURCE file or the boot image that is the image itself would be lost
// when the image replaces it.
bool RefuseTargetAsSource(const TImageTarget &target, const TOptions &o) {
  std::vector<std::string> inputs = o.Sources;
  if (!o.Boot.empty())
    inputs.push_back(o.Boot);
  for (const std::string &src : inputs) {
    struct stat st {};
    if (::stat(src.c_str(), &st) == 0 && S_ISREG(st.st_mode) && target.IsTarget(st.st_dev, st.st_ino)) {
      skarvo_cli::Error("the image " + o.Output + " is also given as " + src +
                        ": writing it would destroy that file");
      return true;
    }
  }
  return false;
}

// The image found inside a source folder (an older build, or this run's
// empty stand-in) is not part of the new image.
void LeaveOutTarget(TOrvBurner &b, const TImageTarget &target) {
  const std::string name = fs::path(target.Path()).filename().string();
  for (TFEntry *e : b.FileList) {
    if (e->SourcePath.empty() || fs::path(e->SourcePath).filename() != name)
      continue;
    struct stat st {};
    if (::stat(e->SourcePath.c_str(), &st) == 0 && target.IsTarget(st.st_dev, st.st_ino)) {
      if (!target.CreatedTarget())
        skarvo_cli::Warning("leaving out " + e->SourcePath + ": it is the image being written");
      b.RemoveEntry(e->Owner, e);
      break;
    }
  }
}

int CmdBuildIso(const skarvo_cli::TArgs &args) {
  TOptions o;
  if (const int rc = ParseArgs(args, o); rc >= 0)
    return rc;

  // Signals are recorded from here; the watch acts on them.
  skarvo_cli::TInterruptScope scope;
  TOrvBurner b;
  TImageTarget target;
  // The output is checked, and locked, before the sources are scanned.
  if (!target.Open(AbsolutePath(o.Output))) {
    skarvo_cli::Error(target.Error());
    return 1;
  }
  TInterruptWatch watch(b, target);
  if (RefuseTargetAsSource(target, o))
    return 1;

  if (o.Log)
    b.OnDebugMessage = [](TObject *, const std::string &m, uint8_t level) {
      std::fprintf(stderr, "[%u] %s\n", level, m.c_str());
    };
  // Directory numbers must fit the 16-bit parent field of the path tables.
  b.ResetCompilation(4000000, 65535);
  b.JolietFileSystem = o.Joliet;
  b.ReplaceFile = o.Replace;
  b.IdVolume = o.HasVolume ? o.Volume : DefaultVolumeLabel(o.Sources.front());
  WarnIfLabelCut(b.IdVolume, o.Joliet);
  b.SetCacheSize(o.CacheMB * 1048576);
  if (!o.Boot.empty()) {
    b.Bootable = true;
    b.BootImage = AbsolutePath(o.Boot);
  }

  // Names too long for a Joliet record are shortened rather than left out.
  b.OnAddFile = [](TObject *, const std::string &, std::string &, std::string &, TDateTime &, int32_t, int64_t,
                   bool &skip) { skip = false; };
  if (!FillCompilation(b, o))
    return 1;
  const size_t lost = ReportInsertNotes(b);
  if (!b.RefusedFiles.empty()) {
    for (const std::string &f : b.RefusedFiles)
      skarvo_cli::Error("file is 4 GiB or larger and cannot be written to an ISO 9660 image: " + f);
    return 1;
  }
  LeaveOutTarget(b, target);
  b.RemoveEmptyDirs();
  if (b.FileCount() == 0) {
    skarvo_cli::Error("nothing to write: the sources hold no files");
    return 1;
  }

  b.PrepareLayout(true, nullptr);
  if (!o.Boot.empty() && !b.Bootable)
    skarvo_cli::Warning("boot image " + o.Boot + ": " + b.BootImageNote + ": the image will not be bootable");
  else if (!b.BootImageNote.empty())
    skarvo_cli::Warning("boot image " + o.Boot + " is " + b.BootImageNote);
  const int64_t total = b.SessionSectors() * 2048;

  bool done = false;
  std::string error;
  b.OnWriteDone = [&](TObject *, const std::string &e) {
    done = true;
    error = e;
  };
  watch.WriteStarts();
  if (skarvo_cli::Interrupted())
    return skarvo_cli::InterruptExitCode();
  if (!target.CreateTemp()) {
    skarvo_cli::Error(target.Error());
    return 1;
  }

  skarvo_cli::TProgress progress("Building " + fs::path(o.Output).filename().string());
  progress.Update(0, 0);
  const bool started = b.SaveImageFile(target.TempPath(), o.Quick);
  if (!started && !done)
    error = b.ErrorText.empty() ? "THE IMAGE COULD NOT BE STARTED" : b.ErrorText;
  while (started && !done) {
    ov::CheckSynchronize(100);
    if (skarvo_cli::Interrupted())
      b.AbortWrite();
    const int64_t n = b.BytesWritten.load();
    progress.Update(total > 0 ? 100.0 * static_cast<double>(n) / static_cast<double>(total) : 100.0, n);
  }
  if (error.empty() && !skarvo_cli::Interrupted())
    progress.Update(100, total);
  progress.Finish();

  // Nothing but a complete image replaces the target; what this run
  // created is removed on every other way out (the target's destructor).
  if (skarvo_cli::Interrupted())
    return skarvo_cli::InterruptExitCode();
  if (!error.empty()) {
    // The temporary file's name means nothing to the user.
    const size_t at = error.find(target.TempPath());
    if (at != std::string::npos)
      error.replace(at, target.TempPath().size(), o.Output);
    skarvo_cli::Error(error);
    return 1;
  }
  struct stat st {};
  const int64_t size = ::stat(target.TempPath().c_str(), &st) == 0 ? st.st_size : 0;
  if (!target.Commit()) {
    skarvo_cli::Error(target.Error());
    return 1;
  }
  if (o.ArchiveOnly)
    b.ClearArchiveBits();
  std::printf("%s: %lld sectors (%.2f MB)\n", o.Output.c_str(), static_cast<long long>(size / 2048),
              static_cast<double>(size) / 1048576.0);
  if (lost > 0) {
    skarvo_cli::Error("the image lacks " + std::to_string(lost) + " source entr" + (lost == 1 ? "y" : "ies") +
                      " named above");
    return 1;
  }
  return 0;
}

} // namespace

SKARVO_CLI_COMMAND("build-iso", "build an ISO 9660 / Joliet image file from folders and files", CmdBuildIso);
