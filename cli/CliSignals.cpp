// Interrupt handling shared by every subcommand (see CliSignals.h).
#include "CliSignals.h"

#include <atomic>
#include <csignal>
#include <unistd.h>

namespace skarvo_cli {

namespace {

std::atomic<int> g_scopes{0};
std::atomic<int> g_signal{0};

extern "C" void OnSignal(int sig) {
  if (g_scopes.load() == 0)
    _exit(128 + sig);
  int expected = 0;
  g_signal.compare_exchange_strong(expected, sig);
}

} // namespace

void InstallInterruptHandlers() {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  // Interrupted system calls restart: the work loops poll Interrupted(), and a
  // read or write cut short by a signal must not look like a failure.
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
    sigaction(sig, &sa, nullptr);
}

TInterruptScope::TInterruptScope() { g_scopes.fetch_add(1); }
TInterruptScope::~TInterruptScope() { g_scopes.fetch_sub(1); }

bool Interrupted() { return g_signal.load() != 0; }
int InterruptSignal() { return g_signal.load(); }
int InterruptExitCode() {
  const int sig = g_signal.load();
  return 128 + (sig != 0 ? sig : SIGINT);
}

} // namespace skarvo_cli
