// `skarvo ls`: lists a session of a disc or an image file.
#include "CliSession.h"

#include "ovDateTime.h"

#include <cmath>
#include <cstdio>
#include <optional>

namespace {

using namespace skarvo_cli;

const char *kHelp =
    "Usage: skarvo ls [--drive D | --image FILE] [--session N] [-R] [PATH]\n"
    "\n"
    "Lists the folder PATH (default: the root) of a session, one entry a line:\n"
    "type (d folder, - file), size in bytes, date and time (local), the first\n"
    "sector of the data, and the path. A file recorded in several extents shows\n"
    "their number. Long (Joliet) names are read when the session has them.\n"
    "\n"
    "Options:\n"
    "  -R, --recursive  list the folders below PATH as well\n"
    "%s"
    "  -h, --help       show this help\n";

void PrintEntry(const iso::TEntry &e, const std::string &path) {
  const std::string date = std::isfinite(e.Date) ? ov::FormatDateTime("yyyy-mm-dd hh:nn:ss", e.Date)
                                                 : std::string("(no valid date)    ");
  const unsigned long long lba = e.Extents.empty() ? 0 : e.Extents.front().Lba;
  std::printf("%c %12llu  %s %10llu  %s%s", e.Directory ? 'd' : '-', static_cast<unsigned long long>(e.Size),
              date.c_str(), lba, path.c_str(), e.Directory && path != "/" ? "/" : "");
  if (e.Extents.size() > 1)
    std::printf("  [%zu extents]", e.Extents.size());
  std::printf("\n");
}

std::string Join(const std::string &dir, const std::string &name) { return (dir == "/" ? "" : dir) + "/" + name; }

// Lists a folder as its records are read, holding only the folders on the
// way down: a folder of any width costs no more memory than a small one.
void List(iso::TSessionWalk &walk, const iso::TDirRecord &dir, const std::string &path, uint32_t depth,
          bool recursive) {
  walk.List(dir, path, depth, [&](iso::TEntry &e, const iso::TDirRecord &r) {
    const std::string child = Join(path, e.Name);
    PrintEntry(e, child);
    if (recursive && e.Directory)
      List(walk, r, child, depth + 1, true);
  });
}

// An entry found by path, with its record for listing it.
struct TFound {
  iso::TEntry Entry;
  iso::TDirRecord Record;
  std::string Path = "/";
  uint32_t Depth = 0;
};

// Follows Path from the root one folder at a time: names compared as
// recorded, else ignoring ASCII case when that finds one entry.
bool FindPath(iso::TSessionWalk &walk, const std::string &path, TFound &at) {
  at.Entry = walk.Root();
  at.Record = walk.RootRecord();
  for (const std::string &part : iso::PathNames(path)) {
    if (!at.Entry.Directory)
      return false;
    iso::TNameMatch match(part);
    std::optional<TFound> exact, folded;
    walk.List(at.Record, at.Path, at.Depth, [&](iso::TEntry &e, const iso::TDirRecord &r) {
      if (exact)
        return;
      const iso::TNameMatch::TKind kind = match.Offer(e.Name);
      std::optional<TFound> &slot = kind == iso::TNameMatch::Exact ? exact : folded;
      if (kind != iso::TNameMatch::None && !slot)
        slot = TFound{e, r, Join(at.Path, e.Name), at.Depth + 1};
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
  bool recursive = false;
  std::string path;
  for (const std::string &a : args) {
    if (a == "-R" || a == "--recursive") {
      recursive = true;
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
  if (!walk.Open(*open.Source, open.Session.Start,
                 options.Primary ? iso::TTreeChoice::Primary : iso::TTreeChoice::PreferJoliet, err)) {
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
              walk.Joliet() ? "Joliet" : "ISO 9660");
  if (at.Entry.Directory)
    List(walk, at.Record, at.Path, at.Depth, recursive);
  else
    PrintEntry(at.Entry, at.Path);
  return damaged ? 1 : 0;
}

} // namespace

SKARVO_CLI_COMMAND("ls", "list a session of a disc or an image file", CmdLs);
