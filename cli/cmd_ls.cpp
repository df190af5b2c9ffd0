// `skarvo ls`: lists a session of a disc or an image file.
#include "CliSession.h"

#include "ovDateTime.h"

#include <cmath>
#include <cstdio>
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

void PrintEntry(const iso::TSessionTree &tree, int32_t index, bool longForm) {
  const iso::TEntry &e = tree.Entries[static_cast<size_t>(index)];
  const std::string *target = iso::LinkTarget(tree, index);
  if (longForm) {
    iso::TEntryAttrs a;
    if (static_cast<size_t>(index) < tree.Attrs.size())
      a = tree.Attrs[static_cast<size_t>(index)];
    if (a.Mode == 0)  // no Rock Ridge mode: read-only, as a reader without it shows
      a.Mode = e.Directory ? 0040555 : 0100444;
    std::printf("%s %4u %5u %5u ", ModeText(a.Mode).c_str(), a.Links, a.Uid, a.Gid);
  }
  const std::string date = std::isfinite(e.Date) ? ov::FormatDateTime("yyyy-mm-dd hh:nn:ss", e.Date)
                                                 : std::string("(no valid date)    ");
  const unsigned long long lba = e.Extents.empty() ? 0 : e.Extents.front().Lba;
  std::printf("%c %12llu  %s %10llu  %s%s", e.Directory ? 'd' : target ? 'l' : '-',
              static_cast<unsigned long long>(e.Size), date.c_str(), lba, e.Path.c_str(),
              e.Directory && e.Path != "/" ? "/" : "");
  if (target)
    std::printf(" -> %s", target->c_str());
  if (e.Extents.size() > 1)
    std::printf("  [%zu extents]", e.Extents.size());
  std::printf("\n");
}

void List(const iso::TSessionTree &tree, int32_t at, bool recursive, bool longForm) {
  const iso::TEntry &dir = tree.Entries[static_cast<size_t>(at)];
  for (int32_t c = dir.FirstChild; c < dir.FirstChild + dir.ChildCount; ++c) {
    PrintEntry(tree, c, longForm);
    if (recursive && tree.Entries[static_cast<size_t>(c)].Directory)
      List(tree, c, true, longForm);
  }
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
  if (!OpenSession(options, open))
    return 1;
  const int32_t at = iso::FindPath(open.Tree, path);
  if (at < 0) {
    Error("\"" + path + "\" is not in session " + std::to_string(open.Session.Number));
    return 1;
  }
  std::printf("Session %u of %d, start %u, %s names\n", open.Session.Number, open.SessionCount, open.Session.Start,
              open.Tree.RockRidge ? "Rock Ridge" : open.Tree.Joliet ? "Joliet" : "ISO 9660");
  const iso::TEntry &e = open.Tree.Entries[static_cast<size_t>(at)];
  if (e.Directory)
    List(open.Tree, at, recursive, longForm);
  else
    PrintEntry(open.Tree, at, longForm);
  return open.Tree.Messages.empty() ? 0 : 1;
}

} // namespace

SKARVO_CLI_COMMAND("ls", "list a session of a disc or an image file", CmdLs);
