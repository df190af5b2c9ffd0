// Entry of the `skarvo` command-line tool: dispatches to the subcommands.
#include "SkarvoCli.h"
#include "CliSignals.h"
#include "ovSync.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <unistd.h>

namespace skarvo_cli {

static std::vector<TCommand> &Registry() {
  static std::vector<TCommand> commands;
  return commands;
}

TCommandRegistrar::TCommandRegistrar(const char *name, const char *summary, TCommandFn fn) {
  Registry().push_back({name, summary, std::move(fn)});
}

const std::vector<TCommand> &Commands() { return Registry(); }

static double NowSec() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

TProgress::TProgress(std::string label)
    : label_(std::move(label)), tty_(isatty(STDOUT_FILENO) != 0), startSec_(NowSec()) {}

std::string TProgress::Details(double speed, int64_t bytesDone) const {
  std::string out;
  char buf[96];
  if (total_ > 0) {
    std::snprintf(buf, sizeof buf, " of %.1f", static_cast<double>(total_) / 1048576.0);
    out += buf;
  }
  out += " MB";
  out += tty_ ? "  " : ", ";
  std::snprintf(buf, sizeof buf, "%.1f MB/s", speed);
  out += buf;
  if (bufferFill_ >= 0) {
    std::snprintf(buf, sizeof buf, "%sbuffer %d %%", tty_ ? "  " : ", ", bufferFill_);
    out += buf;
  }
  if (total_ > 0) {
    const double bytesPerSec = speed * 1048576.0;
    const int64_t left = std::max<int64_t>(0, total_ - bytesDone);
    if (bytesPerSec > 0) {
      const long secs = std::lround(static_cast<double>(left) / bytesPerSec);
      std::snprintf(buf, sizeof buf, "%s%ld:%02ld left", tty_ ? "  " : ", ", secs / 60, secs % 60);
    } else {
      std::snprintf(buf, sizeof buf, "%s--:-- left", tty_ ? "  " : ", ");
    }
    out += buf;
  }
  return out;
}

void TProgress::Update(double percent, int64_t bytesDone) {
  percent = std::clamp(percent, 0.0, 100.0);
  const double mb = bytesDone >= 0 ? bytesDone / 1048576.0 : 0.0;
  const double elapsed = NowSec() - startSec_;
  const double speed = (bytesDone >= 0 && elapsed > 0.05) ? mb / elapsed : 0.0;
  if (tty_) {
    const int width = 30;
    const int filled = static_cast<int>(std::lround(percent * width / 100.0));
    std::string bar(filled, '#');
    bar.append(width - filled, '-');
    if (bytesDone >= 0 && total_ > 0)
      std::printf("\r%s [%s] %5.1f %%  %.1f%s\033[K", label_.c_str(), bar.c_str(), percent, mb,
                  Details(speed, bytesDone).c_str());
    else if (bytesDone >= 0)
      std::printf("\r%s [%s] %5.1f %%  %8.1f MB  %6.1f MB/s", label_.c_str(), bar.c_str(), percent, mb, speed);
    else
      std::printf("\r%s [%s] %5.1f %%", label_.c_str(), bar.c_str(), percent);
    std::fflush(stdout);
    drawn_ = true;
    return;
  }
  // Off a terminal: a line at each whole 10 %, and one every few seconds in
  // between so that a log shows a long operation is alive.
  const int step = static_cast<int>(percent / 10.0);
  const double now = NowSec();
  if (step == lastStep_ && now - lastLineSec_ < kPlainLineInterval)
    return;
  lastStep_ = step;
  lastLineSec_ = now;
  if (bytesDone >= 0 && total_ > 0)
    std::printf("%s %.1f %% (%.1f%s)\n", label_.c_str(), percent, mb, Details(speed, bytesDone).c_str());
  else if (bytesDone >= 0)
    std::printf("%s %.1f %% (%.1f MB, %.1f MB/s)\n", label_.c_str(), percent, mb, speed);
  else
    std::printf("%s %.1f %%\n", label_.c_str(), percent);
  std::fflush(stdout);
}

void TProgress::Finish() {
  if (tty_ && drawn_)
    std::printf("\n");
  std::fflush(stdout);
  drawn_ = false;
}

void Error(const std::string &text) { std::cerr << "skarvo: " << text << std::endl; }
void Warning(const std::string &text) { std::cerr << "skarvo: warning: " << text << std::endl; }

static void Usage(std::FILE *out) {
  std::fprintf(out, "Usage: skarvo COMMAND [OPTIONS] [ARGS]\n\n"
                    "Writes ISO 9660 / Joliet data discs and images, and manages recorders.\n\nCommands:\n");
  std::vector<TCommand> sorted = Commands();
  std::sort(sorted.begin(), sorted.end(), [](const TCommand &a, const TCommand &b) { return a.Name < b.Name; });
  for (const TCommand &c : sorted)
    std::fprintf(out, "  %-14s %s\n", c.Name.c_str(), c.Summary.c_str());
  std::fprintf(out, "\nRun `skarvo COMMAND --help` for the options of a command.\n"
                    "\nEnvironment: SKARVO_VDRIVES, the folder of the virtual recorders;\n"
                    "SKARVO_TIME_SCALE, a factor of at most 1 for the library's waits (tests).\n");
}

} // namespace skarvo_cli

int main(int argc, char **argv) {
  using namespace skarvo_cli;
  if (argc < 2) {
    Usage(stderr);
    return 2;
  }
  InstallInterruptHandlers();
  // Tests run the library's waits (polling intervals, retry pauses) on a
  // faster clock: 0.01 makes a 5-second wait last 50 ms.
  if (const char *scale = std::getenv("SKARVO_TIME_SCALE"); scale && *scale) {
    char *end = nullptr;
    const double v = std::strtod(scale, &end);
    if (*end != '\0' || !(v > 0 && v <= 1)) {
      Error(std::string("SKARVO_TIME_SCALE must be a number above 0 and at most 1, not \"") + scale + "\"");
      return 2;
    }
    ov::SetTimeScale(v);
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    Usage(stdout);
    return 0;
  }
  if (name == "--version" || name == "-V") {
    std::printf("skarvo %s\n", SKARVO_VERSION);
    return 0;
  }
  for (const TCommand &c : Commands()) {
    if (c.Name == name)
      return c.Run(TArgs(argv + 2, argv + argc));
  }
  Error("unknown command \"" + name + "\" (see skarvo --help)");
  return 2;
}
