// Options and opening of a session to read, shared by `skarvo ls` and
// `skarvo extract`: a drive's disc or an image file, and which session.
#pragma once

#include "CliDrive.h"
#include "ovSessionTree.h"

#include <memory>
#include <string>

namespace skarvo_cli {

struct TSessionOptions {
  TDriveOptions Drive;
  std::string Image;        // --image FILE; empty: the drive
  int Session = -1;         // --session N; -1 the last
  bool Primary = false;     // --primary: the ISO 9660 names even when Rock Ridge or Joliet ones exist
  bool Joliet = false;      // --joliet: the Joliet names even when Rock Ridge ones exist
};

// Help lines of the options above.
extern const char *kSessionHelp;

// Takes the options above out of args. False (after printing why) on a
// missing or bad value.
bool TakeSessionOptions(TArgs &args, TSessionOptions &options, const char *command);

// The start of a command that reads a session: prints Help (a format with
// one %s for the session options) on -h/--help and returns 0, takes the
// session options out of args (2 on a bad one), else returns -1 to go on.
int StartSessionCommand(TArgs &args, TSessionOptions &options, const char *command, const char *Help);

// An open session: where its sectors come from and its tree.
struct TOpenSession {
  std::unique_ptr<TSCSIDevice> Device;
  std::unique_ptr<TSectorSource> Source;
  TSessionExtent Session;
  int SessionCount = 0;
  iso::TSessionTree Tree;
};

// Opens the drive or the image and picks the session, leaving Tree empty.
// False (after printing why) when there is nothing to read.
bool OpenSessionSource(const TSessionOptions &options, TOpenSession &open);
// The tree the options ask for: Rock Ridge names unless --joliet or
// --primary says otherwise.
iso::TTreeChoice TreeChoice(const TSessionOptions &options);
// Opens the drive or the image, picks the session and reads its tree; the
// tree's messages are printed as warnings. False (after printing why) when
// there is nothing to read.
bool OpenSession(const TSessionOptions &options, TOpenSession &open);

} // namespace skarvo_cli
