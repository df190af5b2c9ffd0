// `skarvo ls`: lists a session of a disc or an image file.
#include "CliSession.h"

#include "ovDateTime.h"

#include <cmath>
#include <cstdio>

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

void PrintEntry(const iso::TEntry &e) {
  const std::string date = std::isfinite(e.Date) ? ov::FormatDateTime("yyyy-mm-dd hh:nn:ss", e.Date)
                                                 : std::string("(no valid date)    ");
  const unsigned long long lba = e.Extents.empty() ? 0 : e.Extents.front().Lba;
  std::printf("%c %12llu  %s %10llu  %s%s", e.Directory ? 'd' : '-', static_cast<unsigned long long>(e.Size),
              date.c_str(), lba, e.Path.c_str(), e.Directory && e.Path != "/" ? "/" : "");
  if (e.Extents.size() > 1)
    std::printf("  [%zu extents]", e.Extents.size());
  std::printf("\n");
}

void List(const iso::TSessionTree &tree, int32_t at, bool recursive) {
  const iso::TEntry &dir = tree.Entries[static_cast<size_t>(at)];
  for (int32_t c = dir.FirstChild; c < dir.FirstChild + dir.ChildCount; ++c) {
    PrintEntry(tree.Entries[static_cast<size_t>(c)]);
    if (recursive && tree.Entries[static_cast<size_t>(c)].Directory)
      List(tree, c, true);
  }
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
  if (!OpenSession(options, open))
    return 1;
  const int32_t at = iso::FindPath(open.Tree, path);
  if (at < 0) {
    Error("\"" + path + "\" is not in session " + std::to_string(open.Session.Number));
    return 1;
  }
  std::printf("Session %u of %d, start %u, %s names\n", open.Session.Number, open.SessionCount, open.Session.Start,
              open.Tree.Joliet ? "Joliet" : "ISO 9660");
  const iso::TEntry &e = open.Tree.Entries[static_cast<size_t>(at)];
  if (e.Directory)
    List(open.Tree, at, recursive);
  else
    PrintEntry(e);
  return open.Tree.Messages.empty() ? 0 : 1;
}

} // namespace

SKARVO_CLI_COMMAND("ls", "list a session of a disc or an image file", CmdLs);
