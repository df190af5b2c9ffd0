// `skarvo extract`: copies files and folders of a session to a local folder.
#include "CliSession.h"
#include "CliSignals.h"

#include "ovExtract.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace {

using namespace skarvo_cli;

const char *kHelp =
    "Usage: skarvo extract [--drive D | --image FILE] [--session N] [-C FOLDER] PATH...\n"
    "\n"
    "Copies the files and folders PATH (\"/\" for the whole session) of a session\n"
    "into FOLDER (default: the current folder, made when missing), keeping their\n"
    "dates. Where the session has Rock Ridge, its names are used, files and\n"
    "folders get their recorded modes less the umask (as tar gives them without\n"
    "-p: no set-id bits), symbolic links are made as links, whatever their\n"
    "target, and hard links as hard links; nothing is ever extracted through a\n"
    "link. A folder keeps its name\n"
    "below FOLDER. Names from the disc stay inside\n"
    "FOLDER: \"/\" and control characters in them become \"_\", and entries named\n"
    "\".\" or \"..\" are refused. A file gets its name only when complete, so an\n"
    "error or Ctrl-C leaves no partial file. A file that exists in FOLDER is not\n"
    "overwritten unless --overwrite is given: each one is named, and the exit\n"
    "status is 1.\n"
    "\n"
    "Options:\n"
    "  -C FOLDER        the folder to extract into\n"
    "  --overwrite      replace files that exist in FOLDER\n"
    "  --keep-existing  keep files that exist in FOLDER, naming them, exit 0\n"
    "%s"
    "  -h, --help     show this help\n"
    "\n"
    "Exit status: 0 all copied, 1 something could not be read or written,\n"
    "2 usage error, 130 interrupted.\n";

// What is done with a file that exists in the folder already.
enum class TCollision { Refuse, Keep, Overwrite };

class TExtractor {
public:
  TExtractor(TOpenSession &open, uint64_t total, TCollision collision, uint32_t umask, int rootFd)
      : open_(open), total_(total), collision_(collision), umask_(umask), rootFd_(rootFd), progress_("Extracting") {}

  // Extracts entry `at` into the folder dirFd; false when interrupted.
  bool Extract(int32_t at, int dirFd) {
    const iso::TEntry &e = open_.Tree.Entries[static_cast<size_t>(at)];
    if (const std::string *target = iso::LinkTarget(open_.Tree, at))
      return Link(at, *target, dirFd);
    if (!e.Directory)
      return File(at, dirFd);
    if (at == 0)
      return Children(e, dirFd);
    if (::mkdirat(dirFd, e.Name.c_str(), 0755) != 0 && errno != EEXIST) {
      Fail(iso::EntryPath(open_.Tree, at), std::string("cannot make the folder: ") + std::strerror(errno));
      return true;
    }
    const int fd = ::openat(dirFd, e.Name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      Fail(iso::EntryPath(open_.Tree, at), std::string("cannot open the folder: ") + std::strerror(errno));
      return true;
    }
    ++folders_;
    const size_t outer = rel_.size();
    rel_ += e.Name + "/";
    const bool go = Children(e, fd);
    rel_.resize(outer);
    // The recorded mode only now: a folder without write permission is
    // filled first.
    if (const int mode = Mode(at); mode >= 0 && ::fchmod(fd, static_cast<mode_t>(mode)) != 0)
      Fail(iso::EntryPath(open_.Tree, at), std::string("cannot set the folder's mode: ") + std::strerror(errno));
    iso::SetFileDate(fd, e.Date);
    ::close(fd);
    return go;
  }

  void Finish() { progress_.Finish(); }
  int Failures() const { return failures_; }
  void Summary() const {
    std::printf("%llu files, %llu folders, %llu bytes extracted", files_, folders_,
                static_cast<unsigned long long>(done_));
    if (links_)
      std::printf(", %llu symbolic links made", links_);
    std::printf("\n");
  }

private:
  bool Children(const iso::TEntry &dir, int fd) {
    for (int32_t c = dir.FirstChild; c < dir.FirstChild + dir.ChildCount; ++c)
      if (!Extract(c, fd))
        return false;
    return true;
  }

  // The permission bits of an entry with a Rock Ridge mode; -1 without.
  int Mode(int32_t at) const {
    const auto &attrs = open_.Tree.Attrs;
    if (static_cast<size_t>(at) >= attrs.size() || attrs[static_cast<size_t>(at)].Mode == 0)
      return -1;
    return static_cast<int>(iso::ExtractedMode(attrs[static_cast<size_t>(at)].Mode, umask_));
  }

  // Whether the entry's name is new in its folder; else it is named and
  // the first one kept.
  bool FirstOfItsName(const iso::TEntry &e, const std::function<std::string()> &path) {
    if (written_.insert(std::to_string(e.Parent) + "/" + e.Name).second)
      return true;
    Fail(path(), "the disc names this entry twice: the first is kept");
    return false;
  }

  bool Link(int32_t at, const std::string &target, int dirFd) {
    const iso::TEntry &e = open_.Tree.Entries[static_cast<size_t>(at)];
    const std::function<std::string()> path = [&] { return iso::EntryPath(open_.Tree, at); };
    if (!FirstOfItsName(e, path))
      return true;
    std::string err;
    bool exists = false;
    if (iso::ExtractSymlink(dirFd, e.Name, target, e.Date, err,
                            collision_ == TCollision::Overwrite ? iso::TExisting::Replace : iso::TExisting::Keep,
                            &exists)) {
      ++links_;
      return true;
    }
    if (exists && collision_ == TCollision::Keep) {
      progress_.Finish();
      Warning(path() + ": the existing file is kept");
    } else {
      Fail(path(), exists ? "a file of that name exists and is kept (--overwrite replaces it)" : err);
    }
    return true;
  }

  bool File(int32_t at, int dirFd) {
    const iso::TEntry &e = open_.Tree.Entries[static_cast<size_t>(at)];
    const std::function<std::string()> path = [&] { return iso::EntryPath(open_.Tree, at); };
    // Two records of one name on a disc: the first is copied, the second
    // named, whatever --overwrite says.
    if (!FirstOfItsName(e, path))
      return true;
    // Hard links that Rock Ridge recorded (several names of one data) are
    // made links again: the first name gets the data, the others a link.
    std::string *first = nullptr;
    if (static_cast<size_t>(at) < open_.Tree.Attrs.size() && open_.Tree.Attrs[static_cast<size_t>(at)].Links > 1 &&
        !e.Extents.empty()) {
      auto [it, added] = linked_.try_emplace({e.Extents.front().Lba, e.Size});
      if (!added && ::linkat(rootFd_, it->second.c_str(), dirFd, e.Name.c_str(), 0) == 0) {
        ++files_;
        return true;
      }
      if (added)
        first = &it->second;
    }
    const int mode = Mode(at);
    const uint64_t base = done_;
    std::string err;
    bool exists = false;
    const bool ok = iso::ExtractToFile(
        *open_.Source, e.Extents, e.Size, dirFd, e.Name, e.Date,
        [&](uint64_t bytes) {
          Show(base + bytes);
          return !Interrupted();
        },
        err, collision_ == TCollision::Overwrite ? iso::TExisting::Replace : iso::TExisting::Keep, &exists, mode);
    if (Interrupted())
      return false;
    if (!ok && exists && collision_ == TCollision::Keep) {
      progress_.Finish();
      Warning(path() + ": the existing file is kept");
      return true;
    }
    if (!ok) {
      Fail(path(), exists ? "a file of that name exists and is kept (--overwrite replaces it)" : err);
      return true;
    }
    if (first)
      *first = rel_ + e.Name;
    done_ = base + e.Size;
    ++files_;
    Show(done_);
    return true;
  }

  void Show(uint64_t bytes) {
    progress_.Update(total_ ? 100.0 * static_cast<double>(bytes) / static_cast<double>(total_) : 100.0,
                     static_cast<int64_t>(bytes));
  }

  void Fail(const std::string &path, const std::string &why) {
    progress_.Finish();
    Error(path + ": " + why);
    ++failures_;
  }

  TOpenSession &open_;
  uint64_t total_;
  TCollision collision_;
  uint32_t umask_;
  int rootFd_;       // the folder extracted into
  std::string rel_;  // the folder being filled, relative to rootFd_ ("" or "a/b/")
  // The first file extracted of each data recorded under several names:
  // (sector, size) -> its path relative to rootFd_.
  std::map<std::pair<uint64_t, uint64_t>, std::string> linked_;
  std::unordered_set<std::string> written_;  // parent entry and name of each file or link made
  TProgress progress_;
  uint64_t done_ = 0;
  unsigned long long files_ = 0, folders_ = 0, links_ = 0;
  int failures_ = 0;
};

uint64_t TreeBytes(const iso::TSessionTree &tree, int32_t at) {
  const iso::TEntry &e = tree.Entries[static_cast<size_t>(at)];
  if (!e.Directory)
    return e.Size;
  uint64_t sum = 0;
  for (int32_t c = e.FirstChild; c < e.FirstChild + e.ChildCount; ++c)
    sum += TreeBytes(tree, c);
  return sum;
}

int CmdExtract(const TArgs &argsIn) {
  TArgs args = argsIn;
  TSessionOptions options;
  if (const int rc = StartSessionCommand(args, options, "extract", kHelp); rc >= 0)
    return rc;
  std::string folder = ".";
  TCollision collision = TCollision::Refuse;
  std::vector<std::string> paths;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (a == "-C" || a == "--directory") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        Error(a + " needs a folder (see skarvo extract --help)");
        return 2;
      }
      folder = args[++i];
    } else if (a == "--overwrite") {
      collision = TCollision::Overwrite;
    } else if (a == "--keep-existing") {
      collision = TCollision::Keep;
    } else if (a.size() > 1 && a[0] == '-') {
      Error("unknown option " + a + " (see skarvo extract --help)");
      return 2;
    } else {
      paths.push_back(a);
    }
  }
  if (paths.empty()) {
    Error("no PATH given: name the files or folders to extract, \"/\" for all (see skarvo extract --help)");
    return 2;
  }
  TOpenSession open;
  if (!OpenSession(options, open))
    return 1;
  int status = open.Tree.Messages.empty() ? 0 : 1;
  std::vector<int32_t> picked;
  uint64_t total = 0;
  for (const std::string &p : paths) {
    const int32_t at = iso::FindPath(open.Tree, p);
    if (at < 0) {
      Error("\"" + p + "\" is not in session " + std::to_string(open.Session.Number));
      status = 1;
      continue;
    }
    picked.push_back(at);
    total += TreeBytes(open.Tree, at);
  }
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    Error("cannot open the folder " + folder + ": " + std::strerror(errno));
    return 1;
  }
  TInterruptScope scope;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  TExtractor x(open, total, collision, static_cast<uint32_t>(mask), dirFd);
  bool go = true;
  for (size_t k = 0; k < picked.size() && go; ++k)
    go = x.Extract(picked[k], dirFd);
  ::close(dirFd);
  x.Finish();
  if (!go || Interrupted()) {
    Error("interrupted: the file being copied was removed");
    return InterruptExitCode();
  }
  x.Summary();
  return x.Failures() > 0 ? 1 : status;
}

} // namespace

SKARVO_CLI_COMMAND("extract", "copy files and folders of a session to a local folder", CmdExtract);
