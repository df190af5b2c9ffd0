// Test helpers for the process environment: a time zone for one scope, and
// code run as an unprivileged user.
#pragma once

#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <grp.h>

namespace testenv {

// Sets TZ for the lifetime of the object, then restores it.
class TScopedTimeZone {
public:
  explicit TScopedTimeZone(const char *zone) {
    if (const char *old = std::getenv("TZ")) {
      had_ = true;
      old_ = old;
    }
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TScopedTimeZone() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  TScopedTimeZone(const TScopedTimeZone &) = delete;
  TScopedTimeZone &operator=(const TScopedTimeZone &) = delete;

private:
  bool had_ = false;
  std::string old_;
};

// Runs fn where permissions apply: as root (who reads everything) in a child
// process switched to the user and group 65534 ("nobody"), otherwise in this
// process. The text fn returns comes back; nullopt when the child failed.
inline std::optional<std::string> RunUnprivileged(const std::function<std::string()> &fn) {
  if (geteuid() != 0)
    return fn();
  int fds[2];
  if (pipe(fds) != 0)
    return std::nullopt;
  const pid_t pid = fork();
  if (pid < 0)
    return std::nullopt;
  if (pid == 0) {
    close(fds[0]);
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
      _exit(3);
    const std::string out = fn();
    size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0)
        _exit(4);
      done += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0)
    out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return std::nullopt;
  return out;
}

} // namespace testenv
