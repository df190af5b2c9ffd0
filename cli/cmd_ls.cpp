// `skarvo ls`: lists a session of a disc or an image file.
#include "CliSession.h"

#include "ovDateTime.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

namespace {

using namespace skarvo_cli;

const char *kHelp =
    "Usage: skarvo ls [--drive D | --image FILE] [--session N] [-R] [-l] [PATH]\n"
    "\n"
    "Lists the folder PATH (default: the root) of a session, one entry a line:\n"
    "type (d folder, - file, l symbolic link), size in bytes, date and time\n"
    "(local), the first sector of the data, and the path; a link shows its\n"
    "target after \"->\". A file recorded in several extents shows their number.\n"
    "Rock Ridge names, modes and links are read when the session has them, else\n"
    "long (Joliet) names when it has those.\n"
    "\n"
    "Options:\n"
    "  -R, --recursive  list the folders below PATH as well\n"
    "  -l, --long       show the mode, link count, owner and group of each entry\n"
    "                   (as Rock Ridge recorded them; read-only without it)\n"
    "%s"
    "  -h, --help       show this help\n";

// The mode as `ls -l` shows it: type, then three rwx groups with the
// set-id and sticky bits.
std::string ModeText(uint32_t mode) {
  const uint32_t type = mode & 0170000;
  std::string m(1, type == 0040000 ? 'd' : type == 0120000 ? 'l' : '-');
  const char *rwx = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i)
    m += (mode & (0400u >> i)) ? rwx[i] : '-';
  const auto special = [&](size_t at, uint32_t bit, char on, char off) {
    if (mode & bit)
      m[at] = m[at] == 'x' ? on : off;
  };
  special(3, 04000, 's', 'S');
  special(6, 02000, 's', 'S');
  special(9, 01000, 't', 'T');
  return m;
}

void PrintEntry(const iso::TEntry &e, const std::string &path, const iso::TEntryRock *rock, bool longForm) {
  const std::string *target = rock ? rock->LinkTarget : nullptr;
  if (longForm) {
    iso::TEntryAttrs a;
    if (rock)
      a = rock->Attrs;
    if (a.Mode == 0)  // no Rock Ridge mode: read-only, as a reader without it shows
      a.Mode = e.Directory ? 0040555 : 0100444;
    std::printf("%s %4u %5u %5u ", ModeText(a.Mode).c_str(), a.Links, a.Uid, a.Gid);
  }
  const std::string date = std::isfinite(e.Date) ? ov::FormatDateTime("yyyy-mm-dd hh:nn:ss", e.Date)
                                                 : std::string("(no valid date)    ");
  const unsigned long long lba = e.Extents.empty() ? 0 : e.Extents.front().Lba;
  std::printf("%c %12llu  %s %10llu  %s%s", e.Directory ? 'd' : target ? 'l' : '-',
              static_cast<unsigned long long>(e.Size), date.c_str(), lba, path.c_str(),
              e.Directory && path != "/" ? "/" : "");
  if (target)
    std::printf(" -> %s", target->c_str());
  if (e.Extents.size() > 1)
    std::printf("  [%zu extents]", e.Extents.size());
  std::printf("\n");
}

std::string Join(const std::string &dir, const std::string &name) { return (dir == "/" ? "" : dir) + "/" + name; }

// Lists a folder as its records are read, holding only the folders on the
// way down: a folder of any width costs no more memory than a small one.
void List(iso::TSessionWalk &walk, const iso::TDirRecord &dir, const std::string &path, uint32_t depth,
          bool recursive, bool longForm) {
  walk.List(dir, path, depth, [&](iso::TEntry &e, const iso::TDirRecord &r, const iso::TEntryRock *rock) {
    const std::string child = Join(path, e.Name);
    PrintEntry(e, child, rock, longForm);
    if (recursive && e.Directory)
      List(walk, r, child, depth + 1, true, longForm);
  });
}

// An entry found by path, with its record for listing it.
struct TFound {
  iso::TEntry Entry;
  iso::TDirRecord Record;
  std::string Path = "/";
  uint32_t Depth = 0;
  std::optional<iso::TEntryAttrs> Attrs;
  std::optional<std::string> LinkTarget;
};

// Follows Path from the root one folder at a time: names compared as
// recorded, else ignoring ASCII case when that finds one entry.
bool FindPath(iso::TSessionWalk &walk, const std::string &path, TFound &at) {
  at.Entry = walk.Root();
  at.Record = walk.RootRecord();
  if (walk.RootRock())
    at.Attrs = walk.RootRock()->Attrs;
  for (const std::string &part : iso::PathNames(path)) {
    if (!at.Entry.Directory)
      return false;
    iso::TNameMatch match(part);
    std::optional<TFound> exact, folded;
    walk.List(at.Record, at.Path, at.Depth, [&](iso::TEntry &e, const iso::TDirRecord &r, const iso::TEntryRock *rock) {
      if (exact)
        return;
      const iso::TNameMatch::TKind kind = match.Offer(e.Name);
      std::optional<TFound> &slot = kind == iso::TNameMatch::Exact ? exact : folded;
      if (kind == iso::TNameMatch::None || slot)
        return;
      slot = TFound{e, r, Join(at.Path, e.Name), at.Depth + 1, {}, {}};
      if (rock)
        slot->Attrs = rock->Attrs;
      if (rock && rock->LinkTarget)
        slot->LinkTarget = *rock->LinkTarget;
    });
    if (!match.Found())
      return false;
    at = exact ? std::move(*exact) : std::move(*folded);
  }
  return true;
}

int CmdLs(const TArgs &argsIn) {
  TArgs args = argsIn;
  TSessionOptions options;
  if (const int rc = StartSessionCommand(args, options, "ls", kHelp); rc >= 0)
    return rc;
  bool recursive = false, longForm = false;
  std::string path;
  for (const std::string &a : args) {
    if (a == "-R" || a == "--recursive") {
      recursive = true;
    } else if (a == "-l" || a == "--long") {
      longForm = true;
    } else if (a == "-lR" || a == "-Rl") {
      recursive = longForm = true;
    } else if (a.size() > 1 && a[0] == '-') {
      Error("unknown option " + a + " (see skarvo ls --help)");
      return 2;
    } else if (path.empty()) {
      path = a;
    } else {
      Error("one PATH only (see skarvo ls --help)");
      return 2;
    }
  }
  TOpenSession open;
  if (!OpenSessionSource(options, open))
    return 1;
  bool damaged = false;
  iso::TSessionWalk walk([&](const std::string &m) {
    std::fflush(stdout);
    Warning(m);
    damaged = true;
  });
  std::string err;
  if (!walk.Open(*open.Source, open.Session.Start, TreeChoice(options), err)) {
    Error("session " + std::to_string(open.Session.Number) + ": " + err);
    return 1;
  }
  for (const std::string &m : walk.Notices())
    Warning(m);
  TFound at;
  if (!FindPath(walk, path, at)) {
    Error("\"" + path + "\" is not in session " + std::to_string(open.Session.Number));
    return 1;
  }
  std::printf("Session %u of %d, start %u, %s names\n", open.Session.Number, open.SessionCount, open.Session.Start,
              walk.RockRidge() ? "Rock Ridge" : walk.Joliet() ? "Joliet" : "ISO 9660");
  if (at.Entry.Directory) {
    List(walk, at.Record, at.Path, at.Depth, recursive, longForm);
  } else {
    iso::TEntryRock rock;
    if (at.Attrs)
      rock.Attrs = *at.Attrs;
    if (at.LinkTarget)
      rock.LinkTarget = &*at.LinkTarget;
    PrintEntry(at.Entry, at.Path, at.Attrs ? &rock : nullptr, longForm);
  }
  return damaged ? 1 : 0;
}

} // namespace

SKARVO_CLI_COMMAND("ls", "list a session of a disc or an image file", CmdLs);
