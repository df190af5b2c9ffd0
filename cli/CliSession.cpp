#include "CliSession.h"

#include "ovDiscSource.h"

#include <cstdio>

namespace skarvo_cli {

const char *kSessionHelp =
    "  --image FILE   read an image file instead of a drive's disc\n"
    "  --session N    the session to read (1 = first; default and -1: the last;\n"
    "                 a number above the count is the last)\n"
    "  --joliet       read the Joliet names even when the session has Rock Ridge\n"
    "  --primary      read the ISO 9660 names even when Rock Ridge or Joliet exist\n"
    "  --drive D      the drive: its index in `skarvo drives`, a device string, a\n"
    "                 device node or a virtual drive's name; default: the first\n"
    "  --log          print the library's debug messages on stderr\n";

namespace {

bool ParseSession(const std::string &text, int &n) {
  if (text == "-1") {
    n = -1;
    return true;
  }
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  n = std::stoi(text);
  return n >= 1;
}

} // namespace

bool TakeSessionOptions(TArgs &args, TSessionOptions &options, const char *command) {
  if (!TakeDriveOptions(args, options.Drive))
    return false;
  TArgs rest;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    auto value = [&](const char *name, std::string &out) {
      const std::string eq = std::string(name) + "=";
      if (a.rfind(eq, 0) == 0) {
        out = a.substr(eq.size());
        return true;
      }
      if (i + 1 >= args.size()) {
        Error(std::string(name) + " needs a value (see skarvo " + command + " --help)");
        return false;
      }
      out = args[++i];
      return true;
    };
    if (a == "--image" || a.rfind("--image=", 0) == 0) {
      if (!value("--image", options.Image))
        return false;
      if (options.Image.empty()) {
        Error("--image needs a file name");
        return false;
      }
    } else if (a == "--session" || a.rfind("--session=", 0) == 0) {
      std::string v;
      if (!value("--session", v))
        return false;
      if (!ParseSession(v, options.Session)) {
        Error("--session: \"" + v + "\" is not a session number (1 or more, or -1 for the last)");
        return false;
      }
    } else if (a == "--primary") {
      options.Primary = true;
    } else if (a == "--joliet") {
      options.Joliet = true;
    } else {
      rest.push_back(a);
    }
  }
  if (options.Primary && options.Joliet) {
    Error("give either --joliet or --primary, not both");
    return false;
  }
  if (!options.Image.empty() && options.Drive.DriveGiven) {
    Error("give either --drive or --image, not both");
    return false;
  }
  args.swap(rest);
  return true;
}

bool OpenSessionSource(const TSessionOptions &options, TOpenSession &open) {
  std::vector<TSessionExtent> sessions;
  if (!options.Image.empty()) {
    auto file = std::make_unique<TFileSectorSource>();
    std::string err;
    if (!file->Open(options.Image, err)) {
      Error(err);
      return false;
    }
    std::vector<std::string> notes;
    if (!iso::FindImageSessions(*file, sessions, &notes)) {
      Error(options.Image + ": " + (notes.empty() ? std::string("no ISO 9660 volume descriptor at sector 16")
                                                  : notes.front()));
      return false;
    }
    for (const std::string &n : notes)
      Warning(options.Image + ": " + n);
    open.Source = std::move(file);
  } else {
    open.Device = std::make_unique<TSCSIDevice>();
    if (!OpenDrive(*open.Device, options.Drive))
      return false;
    if (!ReadDiscSessions(*open.Device, sessions)) {
      Error("the disc in the drive has no session to read" +
            (open.Device->ErrorText.empty() ? std::string() : " (" + open.Device->ErrorText + ")"));
      return false;
    }
    open.Source = std::make_unique<TDiscSectorSource>(*open.Device);
  }
  const TSessionExtent *s = PickSession(sessions, options.Session);
  if (options.Session > static_cast<int>(sessions.size()))
    Warning("there are " + std::to_string(sessions.size()) + " sessions: reading the last");
  if (!s) {
    Error("no session " + std::to_string(options.Session));
    return false;
  }
  if (!s->Known) {
    Error("the track information of session " + std::to_string(s->Number) + " cannot be read");
    return false;
  }
  open.Session = *s;
  open.SessionCount = static_cast<int>(sessions.size());
  return true;
}

iso::TTreeChoice TreeChoice(const TSessionOptions &options) {
  return options.Primary  ? iso::TTreeChoice::Primary
         : options.Joliet ? iso::TTreeChoice::PreferJoliet
                          : iso::TTreeChoice::PreferRockRidge;
}

bool OpenSession(const TSessionOptions &options, TOpenSession &open) {
  if (!OpenSessionSource(options, open))
    return false;
  const TSessionExtent *s = &open.Session;
  std::string err;
  if (!iso::ReadSessionTree(*open.Source, s->Start, TreeChoice(options), open.Tree, err)) {
    Error("session " + std::to_string(s->Number) + ": " + err);
    return false;
  }
  for (const std::string &m : open.Tree.Notices)
    Warning(m);
  for (const std::string &m : open.Tree.Messages)
    Warning(m);
  return true;
}

int StartSessionCommand(TArgs &args, TSessionOptions &options, const char *command, const char *Help) {
  for (const std::string &a : args)
    if (a == "-h" || a == "--help") {
      std::printf(Help, kSessionHelp);
      return 0;
    }
  return TakeSessionOptions(args, options, command) ? -1 : 2;
}

} // namespace skarvo_cli
