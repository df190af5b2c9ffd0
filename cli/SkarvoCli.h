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

private:
  std::string label_;
  bool tty_;
  static constexpr double kPlainLineInterval = 5.0;  // seconds
  int lastStep_ = -1;
  double lastLineSec_ = 0;
  bool drawn_ = false;
  double startSec_;
};

// Prints "skarvo: " + text on stderr.
void Error(const std::string &text);
void Warning(const std::string &text);

} // namespace skarvo_cli
