// The `skarvo` command-line tool: subcommand registry and shared helpers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace skarvo_cli {

using TArgs = std::vector<std::string>;
// A subcommand gets the arguments after its name and returns the exit code.
using TCommandFn = std::function<int(const TArgs &args)>;

struct TCommand {
  std::string Name;
  std::string Summary;   // one line for `skarvo --help`
  TCommandFn Run;
};

// Registers a subcommand; used through SKARVO_CLI_COMMAND at file scope.
struct TCommandRegistrar {
  TCommandRegistrar(const char *name, const char *summary, TCommandFn fn);
};
const std::vector<TCommand> &Commands();

#define SKARVO_CLI_CAT2(a, b) a##b
#define SKARVO_CLI_CAT(a, b) SKARVO_CLI_CAT2(a, b)
#define SKARVO_CLI_COMMAND(name, summary, fn) \
  static ::skarvo_cli::TCommandRegistrar SKARVO_CLI_CAT(skarvoCliReg_, __LINE__)(name, summary, fn)

// Progress on a terminal: a bar with percent, MB done and MB/s, redrawn in
// place; on anything else, a plain line at each whole 10 % and every few
// seconds.
class TProgress {
public:
  explicit TProgress(std::string label);
  // percent 0..100; bytesDone < 0 hides the MB and speed fields.
  void Update(double percent, int64_t bytesDone = -1);
  // Ends the bar line (call once at the end).
  void Finish();
  // Writes to a drive also show "MB of MB" and the time left (totalBytes
  // > 0), and the fill of the drive's buffer (percent; < 0 when unknown).
  void SetTotal(int64_t totalBytes) { total_ = totalBytes; }
  void SetBufferFill(int percent) { bufferFill_ = percent; }

private:
  std::string label_;
  bool tty_;
  static constexpr double kPlainLineInterval = 5.0;  // seconds
  int lastStep_ = -1;
  double lastLineSec_ = 0;
  bool drawn_ = false;
  double startSec_;
  int64_t total_ = 0;
  int bufferFill_ = -1;
  // " of 700.0 MB", ", buffer 80 %", ", 1:05 left" as they apply.
  std::string Details(double speed, int64_t bytesDone) const;
};

// Prints "skarvo: " + text on stderr.
void Error(const std::string &text);
void Warning(const std::string &text);

} // namespace skarvo_cli
