// Option parsing shared by the subcommands, and the layout options that
// build a compilation (build-iso and burn take the same ones).
#pragma once

#include "SkarvoCli.h"

#include <cstddef>
#include <string>

class TOrvBurner;

namespace skarvo_cli {

// Walks a command's arguments: options one at a time ("--name value",
// "--name=value", "-x value"), operands collected apart ("-" and everything
// after "--" are operands).
class TArgReader {
public:
  TArgReader(const TArgs &args, std::string command);
  // Moves to the next option; false when none is left.
  bool Next();
  // The current option without its inline value ("--volume").
  const std::string &Option() const { return option_; }
  // The option's value, inline or the next argument. Prints why and returns
  // false when there is none.
  bool Value(std::string &out);
  // Prints "unknown option ..." for the current option.
  void Unknown() const;
  const std::vector<std::string> &Operands() const { return operands_; }
  const std::string &Command() const { return command_; }

private:
  const TArgs &args_;
  std::string command_;
  size_t next_ = 0;
  bool optionsDone_ = false;
  std::string option_;
  std::string inline_;
  bool hasInline_ = false;
  std::vector<std::string> operands_;
};

// What the layout options ask for.
struct TLayoutOptions {
  std::string Volume;
  bool HasVolume = false;
  bool Joliet = true;
  bool RockRidge = true;
  bool KeepPermissions = false;
  bool Symlinks = false;
  std::string Boot;
  std::string SavePath = "none";
  bool ArchiveOnly = false;
  bool Replace = false;
  int CacheMB = 4;
};

// Takes the current option of r when it is a layout option: 1 taken, 0 not
// a layout option, -1 a bad value (the reason is printed).
int TakeLayoutOption(TArgReader &r, TLayoutOptions &o);

// The help lines of the layout options (build-iso and burn print them).
extern const char *const kLayoutHelp;
// What the exit status and names sections of both helps share.
extern const char *const kNamesHelp;

// Absolute, normalised, without a trailing "/".
std::string AbsolutePath(const std::string &p);

// Resets the compilation of b, applies the options and inserts the sources
// as the main window's list does (a folder as a checked row, a file as a
// file row). Prints each source entry left out, renamed or passed over;
// lost is how many were left out. False (after printing why) when the
// compilation cannot be made.
bool FillCompilation(TOrvBurner &b, const TLayoutOptions &o, const std::vector<std::string> &sources, size_t &lost);
// Prints the insertion notes from index From on (renamed, passed over, left
// out); returns how many of them lost an entry.
size_t ReportInsertNotes(const TOrvBurner &b, size_t From = 0);
// One line for the names the Joliet tree holds shortened: how many, and the first.
void ReportJolietCuts(const TOrvBurner &b);

// Drops empty folders; false (after printing why) when no file is left.
bool FinishCompilation(TOrvBurner &b);

// After the layout: says when the boot image was not used or what was
// assumed about it.
void ReportBootNote(const TOrvBurner &b, const TLayoutOptions &o, const std::string &what);

// Prints that the result lacks the lost entries; returns the exit status
// (1 when entries were lost, else 0).
int LostEntriesStatus(size_t lost, const std::string &what);

} // namespace skarvo_cli
