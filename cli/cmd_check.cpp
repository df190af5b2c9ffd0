// `skarvo check`: strict structural check of an ISO image file.
#include "SkarvoCli.h"

#include "ovISOCheck.h"
#include "ovSectorSource.h"

#include <cstdio>
#include <string>

namespace {

const char *kHelp =
    "Usage: skarvo check [OPTIONS] IMAGE\n"
    "\n"
    "Reads an ISO 9660 image file with Joliet and El Torito and checks its\n"
    "structures strictly: volume descriptors, both-endian fields, directory\n"
    "records (sector boundaries, extent sizes, order, \".\" and \"..\"), the L and\n"
    "M path tables against each other and the directory tree, extents inside the\n"
    "volume and not overlapping, identifier rules (d-characters and 8.3 in the\n"
    "ISO 9660 tree, UCS-2 without \"/\" and the other forbidden characters in the\n"
    "Joliet tree), and the El Torito catalog. A \"~\" in an ISO 9660 name (a\n"
    "collision alias) is a warning. ISO 9660 names are held to the level the\n"
    "image shows: names longer than 8.3 mean level 2 (3 with files in several\n"
    "extents) and are warnings; an ISO 9660:1999 descriptor means level 4.\n"
    "A warning repeated at many places is listed once with their count.\n"
    "\n"
    "Errors are listed first, then warnings, then a summary line.\n"
    "\n"
    "Options:\n"
    "  --session-start LBA  check the session whose descriptors are at LBA + 16\n"
    "                       (a later session of a multisession image)\n"
    "  --level N            hold ISO 9660 names to level N (1 to 4) whatever the\n"
    "                       image shows; this program writes level 1 names\n"
    "  -q, --quiet          leave out the warnings\n"
    "  -h, --help           show this help\n"
    "\n"
    "Exit status: 0 no errors, 1 errors found, 2 usage error or unreadable file.\n";

bool ParseLba(const std::string &text, uint32_t &lba) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long long v = std::stoull(text);
  if (v > 0xFFFFFFFFull)
    return false;
  lba = static_cast<uint32_t>(v);
  return true;
}

// The value of option Name at args[i] ("--name VALUE" or "--name=VALUE"):
// 1 with Value set, 0 when args[i] is another option, -1 (after saying so)
// when the value is missing.
int TakeValue(const skarvo_cli::TArgs &args, size_t &i, const std::string &Name, const char *What,
              std::string &Value) {
  const std::string &a = args[i];
  if (a.rfind(Name + "=", 0) == 0) {
    Value = a.substr(Name.size() + 1);
    return 1;
  }
  if (a != Name)
    return 0;
  if (i + 1 >= args.size()) {
    skarvo_cli::Error("option " + Name + " needs " + What + " (see skarvo check --help)");
    return -1;
  }
  Value = args[++i];
  return 1;
}

int CmdCheck(const skarvo_cli::TArgs &args) {
  iso::TCheckOptions options;
  bool quiet = false;
  std::string image;
  std::string v;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (a == "-q" || a == "--quiet") {
      quiet = true;
    } else if (const int took = TakeValue(args, i, "--level", "a number from 1 to 4", v); took != 0) {
      if (took < 0)
        return 2;
      if (v.size() != 1 || v[0] < '1' || v[0] > '4') {
        skarvo_cli::Error("--level: \"" + v + "\" is not a level from 1 to 4");
        return 2;
      }
      options.Level = static_cast<uint32_t>(v[0] - '0');
    } else if (const int took = TakeValue(args, i, "--session-start", "a sector number", v); took != 0) {
      if (took < 0)
        return 2;
      if (!ParseLba(v, options.SessionStart)) {
        skarvo_cli::Error("--session-start: \"" + v + "\" is not a sector number");
        return 2;
      }
    } else if (a.size() > 1 && a[0] == '-') {
      skarvo_cli::Error("unknown option " + a + " (see skarvo check --help)");
      return 2;
    } else if (image.empty()) {
      image = a;
    } else {
      skarvo_cli::Error("one IMAGE only (see skarvo check --help)");
      return 2;
    }
  }
  if (image.empty()) {
    skarvo_cli::Error("no IMAGE given (see skarvo check --help)");
    return 2;
  }
  TFileSectorSource source;
  std::string err;
  if (!source.Open(image, err)) {
    skarvo_cli::Error(err);
    return 2;
  }
  const iso::TCheckResult result = iso::CheckImage(source, options);
  std::fputs(iso::FormatReport(result, quiet).c_str(), stdout);
  if (source.ByteSize() % TSectorSource::SectorSize)
    skarvo_cli::Warning(image + ": the file size is not a whole number of 2048-byte sectors");
  return result.Errors > 0 ? 1 : 0;
}

} // namespace

SKARVO_CLI_COMMAND("check", "strict structural check of an ISO image file", CmdCheck);
