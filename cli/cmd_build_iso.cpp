// `skarvo build-iso`: builds an ISO 9660 / Joliet / El Torito image file from
// folders and files.
#include "CliLayout.h"
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

const char *kUsage =
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
    "                       SOURCE files)\n";

const char *kMoreHelp =
    "  --quick              copy the files in this thread without the read-ahead\n"
    "                       cache (no 300-sector minimum)\n"
    "  --log                print the library's debug messages on stderr\n"
    "  -h, --help           show this help\n"
    "\n";

const char *kEndHelp =
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
  skarvo_cli::TLayoutOptions Layout;
  bool Quick = false;
  bool Log = false;
  std::vector<std::string> Sources;
};

// Returns -1 to go on, else the exit code.
int ParseArgs(const skarvo_cli::TArgs &args, TOptions &o) {
  skarvo_cli::TArgReader r(args, "build-iso");
  while (r.Next()) {
    const std::string &a = r.Option();
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      std::fputs(skarvo_cli::kLayoutHelp, stdout);
      std::fputs(kMoreHelp, stdout);
      std::fputs(skarvo_cli::kNamesHelp, stdout);
      std::fputs(kEndHelp, stdout);
      return 0;
    }
    const int layout = skarvo_cli::TakeLayoutOption(r, o.Layout);
    if (layout < 0)
      return 2;
    if (layout > 0)
      continue;
    if (a == "-o" || a == "--output") {
      if (!r.Value(o.Output))
        return 2;
    } else if (a == "--quick") {
      o.Quick = true;
    } else if (a == "--log") {
      o.Log = true;
    } else {
      r.Unknown();
      return 2;
    }
  }
  o.Sources = r.Operands();
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
  if (!o.Layout.Boot.empty())
    inputs.push_back(o.Layout.Boot);
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
  std::string own;
  for (TFEntry *e : b.FileList) {
    if (!e->HasSource())
      continue;
    own.clear();
    e->AppendSourceName(own);
    if (own != name)
      continue;
    const std::string path = e->SourcePath();
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && target.IsTarget(st.st_dev, st.st_ino)) {
      if (!target.CreatedTarget())
        skarvo_cli::Warning("leaving out " + path + ": it is the image being written");
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
  if (!target.Open(skarvo_cli::AbsolutePath(o.Output))) {
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
  size_t lost = 0;
  if (!skarvo_cli::FillCompilation(b, o.Layout, o.Sources, lost))
    return 1;
  LeaveOutTarget(b, target);
  if (!skarvo_cli::FinishCompilation(b))
    return 1;

  b.PrepareLayout(true, nullptr);
  skarvo_cli::ReportBootNote(b, o.Layout, "image");
  skarvo_cli::ReportJolietCuts(b);
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
  if (o.Layout.ArchiveOnly)
    b.ClearArchiveBits();
  std::printf("%s: %lld sectors (%.2f MB)\n", o.Output.c_str(), static_cast<long long>(size / 2048),
              static_cast<double>(size) / 1048576.0);
  return skarvo_cli::LostEntriesStatus(lost, "the image");
}

} // namespace

SKARVO_CLI_COMMAND("build-iso", "build an ISO 9660 / Joliet image file from folders and files", CmdBuildIso);
