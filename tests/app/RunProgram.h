// Runs the command-line tool from the window tests and waits for it.
//
// Not QProcess: it starts the child with a clone that shares the parent's
// memory, and ThreadSanitizer's handling of that clone runs in the child on
// the parent's own thread state, which leaves the test's main thread with its
// checks switched off (or ends the test). posix_spawn is not seen that way.
#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char **environ;

// Runs `program args...` with the test's environment; true when it exits 0
// within timeoutMs (a program still running then is killed). With stdoutPath,
// the program's output goes to that file.
inline bool RunProgram(const QString &program, const QStringList &args, int timeoutMs = 60000,
                       const QString &stdoutPath = {}) {
  std::vector<QByteArray> bytes{program.toLocal8Bit()};
  for (const QString &a : args)
    bytes.push_back(a.toLocal8Bit());
  std::vector<char *> argv;
  for (QByteArray &b : bytes)
    argv.push_back(b.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const QByteArray outPath = stdoutPath.toLocal8Bit();
  if (!stdoutPath.isEmpty())
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0)
    return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid)
      break;
    if (r < 0)
      return false;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The project's command-line tool, named by $SKARVO.
inline bool RunSkarvo(const QStringList &args, int timeoutMs = 60000, const QString &stdoutPath = {}) {
  return RunProgram(qEnvironmentVariable("SKARVO"), args, timeoutMs, stdoutPath);
}
