// Interrupts of the `skarvo` tool: SIGINT, SIGTERM, SIGHUP and SIGPIPE.
//
// By default a signal ends the program at once with 128 + its number (130 for
// Ctrl-C). A command that must clean up first (remove a partial image, unlock
// a tray, abort a drive command) holds a TInterruptScope while it works: the
// signal is then only recorded, and the command polls Interrupted() and ends
// within a second with InterruptExitCode().
#pragma once

namespace skarvo_cli {

// Installs the handlers; called once by main before any command runs.
void InstallInterruptHandlers();

// While one exists, signals are recorded instead of ending the program.
class TInterruptScope {
public:
  TInterruptScope();
  ~TInterruptScope();
  TInterruptScope(const TInterruptScope &) = delete;
  TInterruptScope &operator=(const TInterruptScope &) = delete;
};

// True once a signal arrived while a scope was held.
bool Interrupted();
// The recorded signal number, 0 when none.
int InterruptSignal();
// 128 + the recorded signal (130 when none was recorded, as for Ctrl-C).
int InterruptExitCode();

} // namespace skarvo_cli
