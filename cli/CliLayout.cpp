// Option parsing and compilation filling shared by build-iso and burn.
#include "CliLayout.h"

#include "ovCDBC.h"
#include "ovCDBC_layout.h"
#include "ovLayoutNotes.h"

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace skarvo_cli {

TArgReader::TArgReader(const TArgs &args, std::string command) : args_(args), command_(std::move(command)) {}

bool TArgReader::Next() {
  while (next_ < args_.size()) {
    const std::string &a = args_[next_++];
    if (optionsDone_ || a.empty() || a[0] != '-' || a == "-") {
      operands_.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsDone_ = true;
      continue;
    }
    option_ = a;
    hasInline_ = false;
    inline_.clear();
    if (a.rfind("--", 0) == 0) {
      const size_t eq = a.find('=');
      if (eq != std::string::npos) {
        inline_ = a.substr(eq + 1);
        option_ = a.substr(0, eq);
        hasInline_ = true;
      }
    }
    return true;
  }
  return false;
}

bool TArgReader::Value(std::string &out) {
  if (hasInline_) {
    out = inline_;
    return true;
  }
  if (next_ >= args_.size()) {
    Error("option " + option_ + " needs a value (see skarvo " + command_ + " --help)");
    return false;
  }
  out = args_[next_++];
  return true;
}

void TArgReader::Unknown() const { Error("unknown option " + option_ + " (see skarvo " + command_ + " --help)"); }

const char *const kLayoutHelp =
    "  --volume LABEL       volume label, kept as given in the Joliet descriptor\n"
    "                       (16 characters) and in ISO 9660 d-characters in the\n"
    "                       primary one (32 of A-Z, 0-9 and \"_\", every other\n"
    "                       character \"_\"); a longer label is cut with a warning.\n"
    "                       Default: the name of the first source's folder\n"
    "  --no-joliet          leave out the Joliet tree of long names\n"
    "  --no-rock-ridge      leave out the Rock Ridge attributes of the ISO 9660\n"
    "                       tree (POSIX names, modes, owners, times and links)\n"
    "  --keep-permissions   record modes and owners as they are (default: owner\n"
    "                       and group 0, readable by all, no write bits, execute\n"
    "                       bits for all when any is set)\n"
    "  --symlinks           store symbolic links as Rock Ridge links instead of\n"
    "                       following them (the Joliet tree leaves them out)\n"
    "  --boot IMG           make the disc bootable with the El Torito boot image\n"
    "                       IMG: 1,228,800, 1,474,560 or 2,949,120 bytes give\n"
    "                       floppy emulation, any other size hard-disk emulation\n"
    "                       (with a warning unless IMG has a partition table)\n"
    "  --save-path MODE     where the sources go: none (default, in the root),\n"
    "                       full (under their whole source path), last (under the\n"
    "                       last folder of their source path)\n"
    "  --archive-only       take only files whose archive attribute is set, and\n"
    "                       clear it once everything was written successfully\n"
    "  --replace            a later source replaces an earlier file of the same name\n"
    "                       (otherwise the first one is kept)\n"
    "  --cache-size MB      memory of the read-ahead cache, 2 to 1024 (default 4)\n";

const char *const kNamesHelp =
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
    "stderr, one line each. With Rock Ridge (the default) the ISO 9660 tree also\n"
    "carries every name whole, as it is on disk, up to 255 bytes; the Joliet tree\n"
    "keeps the shortened form.\n";

int TakeLayoutOption(TArgReader &r, TLayoutOptions &o) {
  const std::string &a = r.Option();
  if (a == "--volume") {
    if (!r.Value(o.Volume))
      return -1;
    o.HasVolume = true;
  } else if (a == "--no-joliet") {
    o.Joliet = false;
  } else if (a == "--no-rock-ridge") {
    o.RockRidge = false;
  } else if (a == "--keep-permissions") {
    o.KeepPermissions = true;
  } else if (a == "--symlinks") {
    o.Symlinks = true;
  } else if (a == "--boot") {
    if (!r.Value(o.Boot))
      return -1;
  } else if (a == "--save-path") {
    if (!r.Value(o.SavePath))
      return -1;
    if (o.SavePath != "none" && o.SavePath != "full" && o.SavePath != "last") {
      Error("--save-path takes none, full or last, not \"" + o.SavePath + "\"");
      return -1;
    }
  } else if (a == "--archive-only") {
    o.ArchiveOnly = true;
  } else if (a == "--replace") {
    o.Replace = true;
  } else if (a == "--cache-size") {
    std::string v;
    if (!r.Value(v))
      return -1;
    char *end = nullptr;
    const long mb = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || mb < 2 || mb > 1024) {
      Error("--cache-size takes a number of megabytes from 2 to 1024, not \"" + v + "\"");
      return -1;
    }
    o.CacheMB = static_cast<int>(mb);
  } else {
    return 0;
  }
  return 1;
}

std::string AbsolutePath(const std::string &p) {
  std::error_code ec;
  std::string s = fs::absolute(fs::path(p), ec).lexically_normal().string();
  while (s.size() > 1 && s.back() == '/')
    s.pop_back();
  return s;
}

namespace {

bool InsertSources(TOrvBurner &b, const TLayoutOptions &o, const std::vector<std::string> &sources) {
  const bool keepPath = o.SavePath != "none";
  b.SavePathLastFolder = o.SavePath == "last";
  for (const std::string &src : sources) {
    const std::string abs = AbsolutePath(src);
    struct stat st {};
    if (::stat(abs.c_str(), &st) != 0) {
      Error("source not found: " + src);
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      if (::access(abs.c_str(), R_OK | X_OK) != 0) {
        Error("cannot read the folder " + src);
        return false;
      }
      if (!b.InsertDir(b.Root(), abs == "/" ? abs : abs + "/", o.ArchiveOnly, keepPath, true, ov::faAnyFile,
                       "*.*")) {
        Error("the folder " + src + " could not be added completely (too many files or folders?)");
        return false;
      }
    } else if (S_ISREG(st.st_mode)) {
      if (b.InsertFile("\\", abs, keepPath) != 1) {
        Error("the file " + src + " could not be added");
        return false;
      }
    } else {
      Error("not a file or folder: " + src);
      return false;
    }
  }
  return true;
}

void WarnIfLabelCut(const std::string &label, bool joliet) {
  const size_t chars = TextUCS2Length(label);
  if (joliet && chars > 16)
    Warning("the volume label \"" + label + "\" is cut to 16 characters in the Joliet descriptor" +
            (chars > 32 ? " and to 32 in the ISO 9660 one" : ""));
  else if (chars > 32)
    Warning("the volume label \"" + label + "\" is cut to 32 characters");
}

} // namespace

size_t ReportInsertNotes(const TOrvBurner &b, size_t From) {
  size_t lost = 0;
  for (size_t i = From; i < b.InsertNotes.size(); ++i) {
    const TInsertNote &n = b.InsertNotes[i];
    switch (n.Kind) {
    case TInsertNoteKind::Renamed:
      Warning(RenamedNote(n));
      break;
    case TInsertNoteKind::PassedOver:
      Warning("passed over " + n.SourcePath + ": " + n.Detail);
      break;
    case TInsertNoteKind::Unreadable:
    case TInsertNoteKind::NameTaken:
    case TInsertNoteKind::TooLong:
      Error("left out " + n.SourcePath + ": " + n.Detail);
      break;
    }
    if (n.IsLoss())
      ++lost;
  }
  return lost;
}

void ReportJolietCuts(const TOrvBurner &b) {
  if (const std::string note = JolietCutNote(b); !note.empty())
    Warning(note);
}

bool FillCompilation(TOrvBurner &b, const TLayoutOptions &o, const std::vector<std::string> &sources, size_t &lost) {
  // Directory numbers must fit the 16-bit parent field of the path tables.
  b.ResetCompilation(4000000, 65535);
  b.JolietFileSystem = o.Joliet;
  b.RockRidge = o.RockRidge;
  if (!o.RockRidge && (o.KeepPermissions || o.Symlinks))
    Warning("--keep-permissions and --symlinks are Rock Ridge options: without Rock Ridge they do nothing");
  b.RockRidgeKeepPermissions = o.RockRidge && o.KeepPermissions;
  b.RockRidgeSymlinks = o.RockRidge && o.Symlinks;
  b.ReplaceFile = o.Replace;
  b.IdVolume = o.HasVolume ? o.Volume : DefaultVolumeLabel(sources.front());
  WarnIfLabelCut(b.IdVolume, o.Joliet);
  b.SetCacheSize(o.CacheMB * 1048576);
  b.Bootable = !o.Boot.empty();
  b.BootImage = o.Boot.empty() ? std::string() : AbsolutePath(o.Boot);
  // Names too long for a Joliet record are shortened rather than left out.
  b.OnAddFile = [](TObject *, const std::string &, std::string &, std::string &, TDateTime &, int32_t, int64_t,
                   bool &skip) { skip = false; };
  if (!InsertSources(b, o, sources))
    return false;
  lost = ReportInsertNotes(b);
  if (!b.RefusedFiles.empty()) {
    for (const std::string &f : b.RefusedFiles)
      Error("file is 4 TiB or larger and cannot be written to an ISO 9660 image: " + f);
    return false;
  }
  return true;
}

bool FinishCompilation(TOrvBurner &b) {
  b.RemoveEmptyDirs();
  if (b.FileCount() == 0) {
    Error("nothing to write: the sources hold no files");
    return false;
  }
  return true;
}

void ReportBootNote(const TOrvBurner &b, const TLayoutOptions &o, const std::string &what) {
  if (!o.Boot.empty() && !b.Bootable)
    Warning("boot image " + o.Boot + ": " + b.BootImageNote + ": the " + what + " will not be bootable");
  else if (!b.BootImageNote.empty())
    Warning("boot image " + o.Boot + " is " + b.BootImageNote);
}

int LostEntriesStatus(size_t lost, const std::string &what) {
  if (lost == 0)
    return 0;
  Error(what + " lacks " + std::to_string(lost) + " source entr" + (lost == 1 ? "y" : "ies") + " named above");
  return 1;
}

} // namespace skarvo_cli
