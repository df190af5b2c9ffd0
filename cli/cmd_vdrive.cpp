// `skarvo vdrive`: manage the virtual recorders of libwnaspi32.so.
#include "SkarvoCli.h"
#include "VRecorder.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

using skarvo_cli::TArgs;

const char *kUsage =
    "Usage: skarvo vdrive COMMAND [OPTIONS]\n\n"
    "Manages the virtual recorders (folder: $SKARVO_VDRIVES, else $XDG_DATA_HOME/skarvo/vdrives,\n"
    "else ~/.local/share/skarvo/vdrives).\n\n"
    "Commands:\n"
    "  list                                   drives by address with their medium and state\n"
    "  add NAME --model M [--vendor V] [--product P] [--revision R]\n"
    "                                         add a drive (models: cdrw-writer, dvd-writer, dvd-reader)\n"
    "  remove NAME                            delete a drive and its medium\n"
    "  insert NAME --media TYPE [--capacity BLOCKS] [--image FILE] [--formatted]\n"
    "                                         load a medium (CD-ROM, CD-R, CD-RW, DVD-ROM, DVD-R,\n"
    "                                         DVD-RW, DVD-RW-RO, DVD+R, DVD+R-DL, DVD+RW, DVD-RAM)\n"
    "  eject NAME [--force]                   take the medium out (a locked tray needs --force)\n"
    "  append-session NAME IMAGE [--at LBA]   record an image as a further closed session\n"
    "  export NAME FILE [--session N]         write the recorded blocks as an image file\n"
    "  fault NAME KIND [--count N] [--skip N] [--op HEX] [--lba N] [--ascq N]\n"
    "  fault NAME --clear | fault NAME        add a fault, clear them, or list them\n"
    "                                         kinds: busy notready nomedium writeerror unformatted opc\n"
    "                                         pending corrupt transport\n"
    "  set NAME KEY VALUE                     change one key of the drive's settings\n"
    "  log NAME [--clear]                     show (or empty) the drive's command log\n\n"
    "A drive's name begins with a letter (then letters, digits, '.', '_', '-'), so it never\n"
    "reads as an index. Each drive keeps the address it was given when it was added\n"
    "(adapter:target:lun, eight targets per adapter).\n\n"
    "Run `skarvo vdrive COMMAND --help` for one command.\n";

const char *kSetHelp =
    "Usage: skarvo vdrive set NAME KEY VALUE\n\n"
    "Sets one key of the drive's settings. An unknown key or a bad value is refused and\n"
    "changes nothing. Keys:\n"
    "  model                 cdrw-writer, dvd-writer or dvd-reader\n"
    "  vendor product revision   INQUIRY identity (8, 16 and 4 characters at most)\n"
    "  reads writes          medium names the drive reads / writes, blank separated\n"
    "  read_speed_cd read_speed_dvd   maximum read speeds, KB/s\n"
    "  write_speeds.MEDIUM   write speed steps for that medium, KB/s, blank separated\n"
    "  buffer_kb             buffer size in KB\n"
    "  underrun_protection test_write   1 or 0\n"
    "  clock                 speed of the drive's clock (2 = twice as fast; 0 = as fast as the host)\n"
    "  medium tray capacity image formatted finalized dao_only closed_sessions max_written\n"
    "  timestamp prevent write_params read_speed write_speed op op_start op_seconds test_nwa\n"
    "                        the loaded medium and the drive's state (see the recorder's README)\n"
    "The address, tracks and faults are not set here: a drive keeps its address, tracks\n"
    "change by recording, and faults are set with `skarvo vdrive fault`.\n"
    "Examples: set w clock 100, set w product CD-W512EB, set w underrun_protection 0.\n";

bool WantsHelp(const TArgs &a) {
  for (const std::string &s : a)
    if (s == "--help" || s == "-h")
      return true;
  return false;
}

int Fail(const std::string &text) {
  skarvo_cli::Error(text);
  return 1;
}

int Usage(const std::string &text) {
  skarvo_cli::Error(text + " (see skarvo vdrive --help)");
  return 2;
}

// Splits arguments into positionals and --key value options; flags take no value.
bool Parse(const TArgs &a, size_t from, std::vector<std::string> &pos, std::vector<std::pair<std::string, std::string>> &opt,
           const std::vector<std::string> &valued, const std::vector<std::string> &flags, std::string &err) {
  for (size_t i = from; i < a.size(); ++i) {
    const std::string &s = a[i];
    if (s.size() > 2 && s.rfind("--", 0) == 0) {
      const std::string k = s.substr(2);
      bool isValued = false, isFlag = false;
      for (const std::string &v : valued)
        isValued = isValued || v == k;
      for (const std::string &f : flags)
        isFlag = isFlag || f == k;
      if (isFlag) {
        opt.emplace_back(k, "");
      } else if (isValued) {
        if (i + 1 >= a.size()) {
          err = "option " + s + " needs a value";
          return false;
        }
        opt.emplace_back(k, a[++i]);
      } else {
        err = "unknown option " + s;
        return false;
      }
    } else {
      pos.push_back(s);
    }
  }
  return true;
}

std::string Opt(const std::vector<std::pair<std::string, std::string>> &opt, const std::string &k, bool *found = nullptr) {
  std::string v;
  bool f = false;
  for (const auto &[key, val] : opt)
    if (key == k)
      v = val, f = true;
  if (found)
    *found = f;
  return v;
}

bool ToNumber(const std::string &s, long long &out, int base = 10) {
  char *end = nullptr;
  out = std::strtoll(s.c_str(), &end, base);
  return !s.empty() && !*end;
}

int List() {
  std::vector<vrec::TDriveSummary> all;
  std::string err;
  if (!vrec::ListDrives(all, err))
    return Fail(err);
  std::printf("%-7s %-12s %-12s %-30s %-10s %-11s %10s %10s %s\n", "ADDRESS", "NAME", "MODEL", "IDENTITY", "MEDIUM",
              "STATUS", "CAPACITY", "RECORDED", "SESSIONS");
  for (const vrec::TDriveSummary &d : all) {
    std::string medium = d.Medium;
    if (d.Medium == "DVD-RW" && d.Formatted)
      medium = "DVD-RW-RO";
    else if (d.Medium == "DVD+RW" && !d.Formatted)
      medium = "DVD+RW*";
    std::string status = d.TrayOpen ? "tray open" : d.DiscStatus;
    if (!d.Operation.empty())
      status += " (" + d.Operation + ")";
    std::printf("%-7s %-12s %-12s %-30s %-10s %-11s %10u %10u %d\n", d.Address.empty() ? "-" : d.Address.c_str(),
                d.Name.c_str(), d.Model.c_str(), (d.Vendor + " " + d.Product + " " + d.Revision).c_str(),
                medium.c_str(), status.c_str(), d.Capacity, d.Recorded, d.Sessions);
    for (const std::string &f : d.Faults)
      std::printf("    fault: %s\n", f.c_str());
  }
  for (const std::string &n : vrec::IgnoredFolders())
    skarvo_cli::Warning("folder \"" + n + "\" is not used: a drive name must begin with a letter (rename the folder)");
  std::printf("(folder %s; DVD+RW* = not formatted)\n", vrec::DrivesFolder().c_str());
  return 0;
}

int Run(const TArgs &a) {
  if (a.empty() || a[0] == "--help" || a[0] == "-h" || a[0] == "help") {
    std::fputs(kUsage, a.empty() ? stderr : stdout);
    return a.empty() ? 2 : 0;
  }
  const std::string cmd = a[0];
  std::vector<std::string> pos;
  std::vector<std::pair<std::string, std::string>> opt;
  std::string err;
  auto help = [&](const char *text) {
    std::fputs(text, stdout);
    return 0;
  };

  if (cmd == "list") {
    if (WantsHelp(a))
      return help("Usage: skarvo vdrive list\n\nLists the virtual drives by address (adapter:target:lun, as `skarvo drives`\n"
                  "shows them): name, model, identity, medium, disc status, capacity, the end of the\n"
                  "recorded area in blocks, and the sessions holding data (as `skarvo info` counts them).\n");
    if (a.size() > 1)
      return Usage("list takes no arguments");
    return List();
  }
  if (cmd == "add") {
    if (WantsHelp(a))
      return help("Usage: skarvo vdrive add NAME --model M [--vendor V] [--product P] [--revision R]\n\n"
                  "Adds a drive without a medium at the lowest free address, which it keeps whatever\n"
                  "is added or removed later (eight targets per adapter). NAME begins with a letter,\n"
                  "then letters, digits, '.', '_' or '-'. Models: cdrw-writer (reads CD and DVD-ROM, writes CD-R/RW),\n"
                  "dvd-writer (all CD and DVD media), dvd-reader (reads only). The identity strings\n"
                  "(8, 16 and 4 characters at most) replace the model's INQUIRY identity.\n");
    if (!Parse(a, 1, pos, opt, {"model", "vendor", "product", "revision"}, {}, err))
      return Usage(err);
    bool hasModel = false;
    const std::string model = Opt(opt, "model", &hasModel);
    if (pos.size() != 1 || !hasModel)
      return Usage("add needs NAME and --model");
    if (!vrec::AddDrive(pos[0], model, Opt(opt, "vendor"), Opt(opt, "product"), Opt(opt, "revision"), err))
      return Fail(err);
    return 0;
  }
  if (cmd == "remove") {
    if (WantsHelp(a))
      return help("Usage: skarvo vdrive remove NAME\n\nDeletes the drive, its medium and its log.\n");
    if (a.size() != 2)
      return Usage("remove needs NAME");
    return vrec::RemoveDrive(a[1], err) ? 0 : Fail(err);
  }
  if (cmd == "insert") {
    if (WantsHelp(a))
      return help("Usage: skarvo vdrive insert NAME --media TYPE [--capacity BLOCKS] [--image FILE] [--formatted]\n\n"
                  "Loads a new medium (the previous one is discarded). Types: CD-ROM, CD-R, CD-RW, DVD-ROM,\n"
                  "DVD-R, DVD-RW (sequential, blank), DVD-RW-RO (restricted overwrite), DVD+R, DVD+R-DL,\n"
                  "DVD+RW (blank, unformatted; --formatted for a formatted one), DVD-RAM.\n"
                  "--capacity: user blocks of 2048 bytes (default: the medium's usual size).\n"
                  "--image: the content of a CD-ROM/DVD-ROM (required for them); on a recordable\n"
                  "medium it becomes a first closed session, on an overwritable one the data at block 0.\n");
    if (!Parse(a, 1, pos, opt, {"media", "capacity", "image"}, {"formatted"}, err))
      return Usage(err);
    bool hasMedia = false, formatted = false;
    const std::string media = Opt(opt, "media", &hasMedia);
    Opt(opt, "formatted", &formatted);
    if (pos.size() != 1 || !hasMedia)
      return Usage("insert needs NAME and --media");
    long long cap = 0;
    bool hasCap = false;
    const std::string capText = Opt(opt, "capacity", &hasCap);
    if (hasCap && (!ToNumber(capText, cap) || cap <= 0 || cap > 0xFFFFFFF0LL))
      return Usage("--capacity needs a positive number of blocks");
    if (!vrec::InsertMedium(pos[0], media, uint32_t(cap), Opt(opt, "image"), formatted, err))
      return Fail(err);
    return 0;
  }
  if (cmd == "eject") {
    if (WantsHelp(a))
      return help("Usage: skarvo vdrive eject NAME [--force]\n\nTakes the medium out; the tray stays open.\n"
                  "A tray locked by a program (PREVENT ALLOW MEDIUM REMOVAL) is refused unless --force.\n");
    if (!Parse(a, 1, pos, opt, {}, {"force"}, err))
      return Usage(err);
    bool force = false;
    Opt(opt, "force", &force);
    if (pos.size() != 1)
      return Usage("eject needs NAME");
    return vrec::EjectMedium(pos[0], err, force) ? 0 : Fail(err);
  }
  if (cmd == "append-session") {
    if (WantsHelp(a))
      return help("Usage: skarvo vdrive append-session NAME IMAGE [--at LBA]\n\n"
                  "Records IMAGE as a further session of the recordable CD or DVD in the drive, closed as\n"
                  "if burned, the disc left appendable. --at: the session's first block (default: the\n"
                  "disc's next writable address; never before it). Sector numbers inside IMAGE are\n"
                  "absolute, as a multisession image made for that address has them.\n");
    if (!Parse(a, 1, pos, opt, {"at"}, {}, err))
      return Usage(err);
    if (pos.size() != 2)
      return Usage("append-session needs NAME and IMAGE");
    long long at = -1;
    bool hasAt = false;
    const std::string atText = Opt(opt, "at", &hasAt);
    if (hasAt && (!ToNumber(atText, at) || at < 0 || at > 0xFFFFFFFFLL))
      return Usage("--at needs a block address");
    return vrec::AppendSession(pos[0], pos[1], at, err) ? 0 : Fail(err);
  }
  if (cmd == "export") {
    if (WantsHelp(a))
      return help("Usage: skarvo vdrive export NAME FILE [--session N]\n\n"
                  "Writes the medium's blocks from block 0 to the end of the recorded area as a\n"
                  "sparse image file; with --session N, up to the end of session N. Blocks keep their\n"
                  "disc addresses, so later sessions are found where the disc has them.\n"
                  "A file is written under a temporary name beside it and renamed when complete: on\n"
                  "failure a previous file of that name is left as it was. A pipe or device (also\n"
                  "/dev/stdout) is written sequentially in place and never truncated or removed.\n");
    if (!Parse(a, 1, pos, opt, {"session"}, {}, err))
      return Usage(err);
    if (pos.size() != 2)
      return Usage("export needs NAME and FILE");
    long long session = 0;
    bool hasSession = false;
    const std::string s = Opt(opt, "session", &hasSession);
    if (hasSession && (!ToNumber(s, session) || session <= 0 || session > 99))
      return Usage("--session needs a session number");
    return vrec::ExportMedium(pos[0], pos[1], int(session), err) ? 0 : Fail(err);
  }
  if (cmd == "fault") {
    if (WantsHelp(a))
      return help("Usage: skarvo vdrive fault NAME KIND [--count N] [--skip N] [--op HEX] [--lba N] [--ascq N]\n"
                  "       skarvo vdrive fault NAME --clear\n"
                  "       skarvo vdrive fault NAME\n\n"
                  "Injects a fault that hits the next matching commands:\n"
                  "  busy         target status BUSY, no sense\n"
                  "  notready     NOT READY 02/04/xx (xx from --ascq, default 01)\n"
                  "  nomedium     NOT READY 02/3A/00\n"
                  "  writeerror   MEDIUM ERROR 03/0C/00 on a WRITE(10) covering --lba (required)\n"
                  "  unformatted  WRITE(10) refused 05/30/10\n"
                  "  opc          SEND OPC INFORMATION refused 03/73/03\n"
                  "  pending      the command never completes (only an abort ends it)\n"
                  "  corrupt      a WRITE(10) covering --lba (required) succeeds, but that block is\n"
                  "               recorded with every byte inverted (for testing verify); reads without\n"
                  "               FUA of the blocks written last come from the drive's cache, unaltered\n"
                  "  transport    the command is lost on the way: host adapter status 13h, no sense data\n"
                  "--count N: commands hit (default 1, -1 for every one); --skip N: matching commands let\n"
                  "through first; --op HEX: only this opcode (default: any except INQUIRY and REQUEST SENSE;\n"
                  "WRITE(10) for writeerror/unformatted, SEND OPC for opc).\n");
    if (!Parse(a, 1, pos, opt, {"count", "skip", "op", "lba", "ascq"}, {"clear"}, err))
      return Usage(err);
    bool clear = false;
    Opt(opt, "clear", &clear);
    if (pos.empty() || pos.size() > 2)
      return Usage("fault needs NAME and KIND, or NAME --clear");
    if (clear)
      return vrec::ClearFaults(pos[0], err) ? 0 : Fail(err);
    if (pos.size() == 1) {
      vrec::TDriveSummary d;
      if (!vrec::GetDrive(pos[0], d, err))
        return Fail(err);
      for (const std::string &f : d.Faults)
        std::printf("%s\n", f.c_str());
      return 0;
    }
    std::string spec = pos[1];
    for (const auto &[k, v] : opt)
      spec += " " + k + "=" + v;
    return vrec::AddFault(pos[0], spec, err) ? 0 : Fail(err);
  }
  if (cmd == "set") {
    if (WantsHelp(a))
      return help(kSetHelp);
    if (a.size() != 4)
      return Usage("set needs NAME KEY VALUE");
    return vrec::SetSetting(a[1], a[2], a[3], err) ? 0 : Fail(err);
  }
  if (cmd == "log") {
    if (WantsHelp(a))
      return help("Usage: skarvo vdrive log NAME [--clear]\n\nPrints the commands the drive received, one per line:\n"
                  "time pid=P cmd=NAME cdb=HEX dir=in|out|none len=BYTES status=GOOD|CHECK|BUSY|PENDING|HOST-ERROR "
                  "sense=KEY/ASC/ASCQ\n");
    if (!Parse(a, 1, pos, opt, {}, {"clear"}, err))
      return Usage(err);
    if (pos.size() != 1)
      return Usage("log needs NAME");
    bool clear = false;
    Opt(opt, "clear", &clear);
    if (clear)
      return vrec::ClearLog(pos[0], err) ? 0 : Fail(err);
    std::string text;
    if (!vrec::ReadLog(pos[0], text, err))
      return Fail(err);
    if (text.empty())
      std::printf("(no commands received)\n");
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
  }
  return Usage("unknown vdrive command \"" + cmd + "\"");
}

}  // namespace

SKARVO_CLI_COMMAND("vdrive", "manage virtual recorders (list, add, remove, insert, eject, append-session, export, fault, set, log)",
                   Run);
